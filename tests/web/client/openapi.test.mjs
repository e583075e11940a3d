// The OpenAPI description: valid for a maintained validator, served by the
// service exactly as committed, in step with README and the client; and the
// client's type declarations compile.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { Validator } from '@seriousme/openapi-schema-validator';
import { ErrorCode } from '@kestrav/client';
import { SOURCE_DIR, openapi, startService } from '../harness.mjs';

const readme = fs.readFileSync(path.join(SOURCE_DIR, 'README.md'), 'utf8');
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

test('routes and error codes agree with README and the client', () => {
  const endpointTable = readme.slice(readme.indexOf('| Path | Method | Reply |'));
  const readmePaths = new Set([...endpointTable.slice(0, endpointTable.indexOf('\n\n'))
    .matchAll(/`(\/[A-Za-z.]+)`/g)].map((m) => m[1]));
  assert.deepEqual(readmePaths, new Set(Object.keys(openapi.paths)));

  const codeTable = readme.slice(readme.indexOf('| Code | Meaning |'));
  const readmeCodes = [...codeTable.slice(0, codeTable.indexOf('\n\n')).matchAll(/^\| (\d+) \|/gm)].map((m) => Number(m[1]));
  const described = openapi.components.schemas.ErrorCode.oneOf.map((c) => c.const);
  assert.deepEqual(described, readmeCodes);
  assert.deepEqual(Object.values(ErrorCode), readmeCodes);
});

test('the client type declarations compile, and reject misuse', () => {
  const tsc = path.join(import.meta.dirname, '..', 'node_modules', 'typescript', 'bin', 'tsc');
  execFileSync(process.execPath, [tsc, '-p', path.join(import.meta.dirname, '..', 'tsconfig.json')], { stdio: 'pipe' });
});
