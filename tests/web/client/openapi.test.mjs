// The OpenAPI description: valid for a maintained validator, served by the
// service exactly as committed, in step with docs/api.md, docs/web.md and the
// client; and the client's type declarations compile.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { Validator } from '@seriousme/openapi-schema-validator';
import { ErrorCode, serviceError } from '@kestrav/client';
import { SOURCE_DIR, openapi, startService } from '../harness.mjs';

const apiDoc = fs.readFileSync(path.join(SOURCE_DIR, 'docs', 'api.md'), 'utf8');
const webDoc = fs.readFileSync(path.join(SOURCE_DIR, 'docs', 'web.md'), 'utf8');
const CLIENT_DIR = path.join(SOURCE_DIR, 'web', 'client');

// The rows of the markdown table that starts with header, as arrays of cells.
function tableRows(text, header) {
  const at = text.indexOf(header);
  assert.ok(at >= 0, `no table "${header}"`);
  const table = text.slice(at, text.indexOf('\n\n', at));
  return table.split('\n').slice(2).map((line) => line.split('|').slice(1, -1).map((c) => c.trim()));
}
let svc;
before(async () => { svc = await startService(); });
after(async () => { await svc?.stop(); });

test('the description passes the OpenAPI 3.1 validator', async () => {
  const result = await new Validator().validate(openapi);
  assert.equal(result.valid, true, JSON.stringify(result.errors, null, 1));
  assert.equal(openapi.openapi, '3.1.0');
});

test('served with CORS, byte for byte the committed description', async () => {
  const served = await fetch(`${svc.url}/openapi.json`);
  assert.equal(served.headers.get('access-control-allow-origin'), '*');
  assert.deepEqual(await served.json(), openapi);
  const health = await fetch(`${svc.url}/health`);
  assert.equal(health.headers.get('access-control-allow-origin'), '*');
});

test('an unknown path gets 404', async () => {
  const reply = await fetch(`${svc.url}/health/`, { signal: AbortSignal.timeout(5000) });
  assert.equal(reply.status, 404);
});

test('routes and error codes agree with docs/api.md, docs/web.md and the client', () => {
  const endpointTable = apiDoc.slice(apiDoc.indexOf('| Path | Method | Reply |'));
  const docPaths = new Set([...endpointTable.slice(0, endpointTable.indexOf('\n\n'))
    .matchAll(/`(\/[A-Za-z.]+)`/g)].map((m) => m[1]));
  assert.deepEqual(docPaths, new Set(Object.keys(openapi.paths)));

  const rows = tableRows(webDoc, '| Code | Client error | Meaning |');
  const codes = rows.map(([code]) => Number(code));
  const described = openapi.components.schemas.ErrorCode.oneOf.map((c) => c.const);
  assert.deepEqual(described, codes);
  assert.deepEqual(Object.values(ErrorCode), codes);
  assert.deepEqual(tableRows(apiDoc, '| Code | Meaning |').map(([code]) => Number(code)), codes);
  for (const [code, className] of rows.slice(1)) {
    assert.equal(`\`${serviceError(Number(code)).constructor.name}\``, className, `ErrorCode ${code}`);
  }
});

// The /** ... */ comment right before marker.
function docComment(text, marker) {
  const m = new RegExp(`/\\*\\*((?:(?!\\*/)[\\s\\S])*)\\*/\\s*(?:export declare )?${marker}`).exec(text);
  assert.ok(m, `no comment before ${marker}`);
  return m[1];
}

test('the busy reader and a cancelled capture: docs, error table, OpenAPI and client say the same', () => {
  const busyRow = tableRows(webDoc, '| Code | Client error | Meaning |').find(([code]) => code === '103')[2];
  const cancel = webDoc.slice(webDoc.indexOf('Calls take `signal`'), webDoc.indexOf('\n\n', webDoc.indexOf('Calls take `signal`')));
  const described = openapi.components.schemas.ErrorCode.oneOf.find((c) => c.const === 103).description;
  const declared = fs.readFileSync(path.join(CLIENT_DIR, 'index.d.ts'), 'utf8');
  const client = fs.readFileSync(path.join(CLIENT_DIR, 'kestrav.js'), 'utf8');
  const texts = { 'docs/web.md cancel paragraph': cancel, 'docs/web.md error table': busyRow, 'openapi.json': described,
    'index.d.ts': docComment(declared, 'class ReaderBusyError'), 'kestrav.js': docComment(client, 'class ReaderBusyError') };
  for (const [where, text] of Object.entries(texts)) {
    const flat = text.replace(/\s*\n\s*(\* )?/g, ' ');
    assert.match(flat, /nothing was done/i, where);
    assert.match(flat, /even while it waits for a finger/, where);
    assert.match(flat, /frees the reader within a fraction of a second/, where);
    assert.doesNotMatch(flat, /finishes that wait|after the (finger )?wait/, where);
  }
});

test('the client type declarations compile, and reject misuse', () => {
  const tsc = path.join(import.meta.dirname, '..', 'node_modules', 'typescript', 'bin', 'tsc');
  execFileSync(process.execPath, [tsc, '-p', path.join(import.meta.dirname, '..', 'tsconfig.json')], { stdio: 'pipe' });
});
