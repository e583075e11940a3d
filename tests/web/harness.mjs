// Shared by the web tests: starts the real service with the virtual reader,
// loads the OpenAPI description, and checks every reply a test receives
// against the schema of its route.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import os from 'node:os';
import path from 'node:path';
import { Ajv2020 } from 'ajv/dist/2020.js';
import addFormats from 'ajv-formats';

export const SOURCE_DIR = process.env.KV_SOURCE_DIR ?? path.resolve(import.meta.dirname, '../..');
export const BINARY_DIR = process.env.KV_BINARY_DIR ?? path.join(SOURCE_DIR, 'build');
export const SERVICE = path.join(BINARY_DIR, 'host', 'kestrav-service');
export const OPENAPI_FILE = path.join(SOURCE_DIR, 'api', 'openapi.json');
const START_TIMEOUT_MS = 30000;

/**
 * Starts kestrav-service on a free loopback port. `virtual` is the virtual
 * reader's configuration; `https` runs it with -s and a fresh self-signed
 * certificate valid for `days` (the executable is copied into a temporary
 * folder, because the service reads server.pem beside itself).
 */
export async function startService({ virtual = '', args = [], https: tls = false, days = 365 } = {}) {
  fs.mkdirSync('/logs', { recursive: true });
  let executable = SERVICE;
  let dir = null;
  let certPem = null;
  if (tls) {
    dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kv-web-tls-'));
    execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', String(days),
      '-subj', '/CN=localhost', '-addext', 'subjectAltName=IP:127.0.0.1,DNS:localhost',
      '-keyout', path.join(dir, 'key.pem'), '-out', path.join(dir, 'cert.pem')], { stdio: 'ignore' });
    certPem = fs.readFileSync(path.join(dir, 'cert.pem'), 'latin1');
    fs.writeFileSync(path.join(dir, 'server.pem'), fs.readFileSync(path.join(dir, 'key.pem'), 'latin1') + certPem);
    executable = path.join(dir, 'kestrav-service');
    // A copy, not a link: the certificate check looks beside the resolved
    // executable, TLS beside the path it was started as.
    fs.copyFileSync(SERVICE, executable);
    fs.chmodSync(executable, 0o755);
  }
  const child = spawn(executable, ['-p:127.0.0.1:0', '-dl:99', ...(tls ? ['-s'] : []), ...args], {
    env: { ...process.env, VRFPLIB_VIRTUAL: virtual },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let stderr = '';
  child.stderr.on('data', (chunk) => { stderr += chunk; });
  const port = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('the service did not listen')), START_TIMEOUT_MS);
    let seen = '';
    child.stdout.on('data', (chunk) => {
      seen += chunk;
      const m = /Listening on 127\.0\.0\.1:(\d+)/.exec(seen);
      if (m) {
        clearTimeout(timer);
        resolve(Number(m[1]));
      }
    });
    child.on('exit', (code) => reject(new Error(`the service ended with ${code}: ${stderr}`)));
  });
  const trace = `/logs/trace-${String(child.pid).padStart(5, '0')}.txt`;
  return {
    port,
    url: `${tls ? 'https' : 'http'}://127.0.0.1:${port}`,
    certPem,
    trace,
    traceText: () => (fs.existsSync(trace) ? fs.readFileSync(trace, 'latin1') : ''),
    async stop() {
      if (child.exitCode === null) {
        const ended = new Promise((resolve) => child.once('exit', resolve));
        child.kill('SIGTERM');
        await ended;
      }
      fs.rmSync(trace, { force: true });
      if (dir) fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

/** A port nothing listens on (bound, read, released). */
export async function closedPort() {
  const server = http.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

/**
 * A fetch over node:http(s) for what the global one cannot do: trust a given
 * certificate, or send a Host header of the test's choosing. Errors carry the
 * socket's or TLS's code as the global fetch's do.
 */
export function nodeFetch({ ca, host } = {}) {
  return (url, init = {}) => new Promise((resolve, reject) => {
    const target = new URL(url);
    const lib = target.protocol === 'https:' ? https : http;
    const headers = { ...(init.headers ?? {}) };
    if (host) headers.Host = host;
    if (init.body !== undefined) headers['Content-Length'] = Buffer.byteLength(init.body);
    const req = lib.request(target, { method: init.method ?? 'GET', headers, ca, signal: init.signal }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve(new Response(res.statusCode === 204 ? null : Buffer.concat(chunks),
        { status: res.statusCode })));
    });
    req.on('error', (error) => reject(new TypeError('fetch failed', { cause: error })));
    if (init.body !== undefined) req.write(init.body);
    req.end();
  });
}

export const openapi = JSON.parse(fs.readFileSync(OPENAPI_FILE, 'utf8'));

const ajv = new Ajv2020({ allErrors: true, strict: true, strictTypes: false });
addFormats(ajv);
// The description's own keywords around its schemas are not JSON Schema.
for (const keyword of ['openapi', 'info', 'servers', 'paths', 'components']) ajv.addKeyword(keyword);
ajv.addSchema({ ...openapi, $id: 'openapi.json' });

const validators = new Map();
function replyValidator(route, method) {
  const key = `${method} ${route}`;
  if (!validators.has(key)) {
    const op = openapi.paths[route]?.[method.toLowerCase()];
    const pointer = `#/paths/${route.replaceAll('~', '~0').replaceAll('/', '~1')}/${method.toLowerCase()}` +
      '/responses/200/content/application~1json/schema';
    validators.set(key, op ? ajv.getSchema(`openapi.json${pointer}`) : null);
  }
  return validators.get(key);
}

/** Problems found in replies so far ("METHOD /path: ..."); tests assert it stays empty. */
export const replyProblems = [];
export let repliesChecked = 0;

/** Checks one 200 reply body against the description; records what is wrong. */
export function checkReply(route, method, status, text) {
  if (status !== 200) return;
  const validate = replyValidator(route, method);
  if (!validate) {
    replyProblems.push(`${method} ${route}: no such operation in the OpenAPI description`);
    return;
  }
  let body;
  try {
    body = JSON.parse(text);
  } catch {
    replyProblems.push(`${method} ${route}: not JSON: ${text.slice(0, 80)}`);
    return;
  }
  repliesChecked++;
  if (!validate(body)) {
    replyProblems.push(`${method} ${route}: ${ajv.errorsText(validate.errors)} in ${text.slice(0, 200)}`);
  }
}

/** Wraps a fetch so that every reply it returns is checked with checkReply. */
export function checkingFetch(inner = globalThis.fetch) {
  return async (url, init = {}) => {
    const response = await inner(url, init);
    const text = await response.clone().text();
    checkReply(new URL(url).pathname, init.method ?? 'GET', response.status, text);
    return response;
  };
}
