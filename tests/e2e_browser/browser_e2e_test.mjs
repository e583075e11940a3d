// A page of another origin, in headless Chromium, uses the service as a web
// developer would: fetches the public key, wraps a fresh AES-256 key with
// WebCrypto (RSA-OAEP, SHA-1), captures with a form-encoded POST and matches
// two captures. The test then decrypts the template with Node's crypto. The
// page's origin is declared public, so Chromium's local-network rules apply
// (the test grants the permission a user would); one capture is sent with an
// upload listener, which makes Chromium send the CORS pre-flight first.
import { spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const bin = process.env.KV_BINARY_DIR ?? path.resolve(import.meta.dirname, '../../build');
const service = path.join(bin, 'host', 'kestrav-service');
const MATCH_THRESHOLD = 14;

let failures = 0;
let passes = 0;
function check(ok, what) {
  if (ok) {
    passes++;
    console.log(`ok - ${what}`);
  } else {
    failures++;
    console.log(`not ok - ${what}`);
  }
}

function startService() {
  fs.mkdirSync('/logs', { recursive: true });
  // The command that starts the service, its last word the executable, as
  // the end-to-end harness takes it (scripts/valgrind-e2e.sh runs valgrind).
  const command = (process.env.KV_SERVICE_COMMAND ?? '').split(' ').filter((w) => w !== '');
  const argv = [...(command.length > 0 ? command : [service]), '-p:127.0.0.1:0', '-dl:99'];
  const child = spawn(argv[0], argv.slice(1), {
    env: { ...process.env, VRFPLIB_VIRTUAL: 'readers=NX51;finger=4' },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  child.stderrText = '';
  child.stderr.on('data', (chunk) => { child.stderrText += chunk; });
  return new Promise((resolve, reject) => {
    const startMs = 1000 * Number(process.env.KV_SERVICE_START_TIMEOUT ?? 30);
    const timer = setTimeout(() => reject(new Error('service did not listen')), startMs);
    let seen = '';
    child.stdout.on('data', (chunk) => {
      seen += chunk;
      const m = /Listening on 127\.0\.0\.1:(\d+)/.exec(seen);
      if (m) {
        clearTimeout(timer);
        resolve({ child, port: Number(m[1]), trace: `/logs/trace-${String(child.pid).padStart(5, '0')}.txt` });
      }
    });
    child.on('exit', (code) => reject(new Error(`service exited with ${code}`)));
  });
}

const page = `<!doctype html><meta charset="utf-8"><title>capture</title>
<script>
function derLength(n) {
  if (n < 128) return [n];
  const bytes = [];
  for (; n > 0; n >>= 8) bytes.unshift(n & 255);
  return [0x80 | bytes.length, ...bytes];
}
function der(tag, content) { return [tag, ...derLength(content.length), ...content]; }
// The service hands out a PKCS #1 "RSA PUBLIC KEY"; WebCrypto imports SPKI.
function pkcs1PemToSpki(pem) {
  const b64 = pem.replace(/-----[^-]+-----/g, '').replace(/\\s+/g, '');
  const pkcs1 = Array.from(atob(b64), (c) => c.charCodeAt(0));
  const rsaEncryption = [0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01, 0x05, 0x00];
  return new Uint8Array(der(0x30, [...der(0x30, rsaEncryption), ...der(0x03, [0, ...pkcs1])]));
}
function toBase64(bytes) { return btoa(String.fromCharCode(...bytes)); }
function toHex(bytes) { return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join(''); }
async function post(url, fields) {
  const reply = await fetch(url, { method: 'POST', body: new URLSearchParams(fields) });
  return reply.json();
}
// An upload progress listener makes the request pre-flighted (XHR standard),
// so this capture goes through the service's OPTIONS reply first.
function postWithProgress(url, fields) {
  return new Promise((resolve, reject) => {
    const xhr = new XMLHttpRequest();
    xhr.open('POST', url);
    xhr.upload.onprogress = () => {};
    xhr.onload = () => resolve(JSON.parse(xhr.responseText));
    xhr.onerror = () => reject(new Error('XHR failed'));
    xhr.send(new URLSearchParams(fields));
  });
}
async function run(base) {
  const pk = await post(base + '/VRNGetPublicKey', {});
  const publicKey = await crypto.subtle.importKey('spki', pkcs1PemToSpki(pk.PublicKey),
      { name: 'RSA-OAEP', hash: 'SHA-1' }, false, ['encrypt']);
  const key = crypto.getRandomValues(new Uint8Array(32));
  const wrapped = new Uint8Array(await crypto.subtle.encrypt({ name: 'RSA-OAEP' }, publicKey, key));
  const capture = await post(base + '/VRNFPCapture', { sessionkey: toBase64(wrapped), timeout: '5000' });
  const plain1 = await postWithProgress(base + '/ZAROZuzoder', {});
  const plain2 = await post(base + '/VRNFPCapture', {});
  const match = await post(base + '/VRNMatchScore',
      { template1: plain1.TemplateBase64, template2: plain2.TemplateBase64 });
  return { keyHex: toHex(key), publicKeyError: pk.ErrorCode, capture, match };
}
</script>`;

function startPageServer() {
  const server = http.createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    res.end(page);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

function isoRecordOk(rec) {
  return rec.subarray(0, 8).equals(Buffer.from('FMR\0 20\0', 'latin1')) && rec.readUInt32BE(8) === rec.length;
}

async function main() {
  const svc = await startService();
  const pages = await startPageServer();
  const pagePort = pages.address().port;
  const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'kv-chromium-'));
  let context;
  try {
    context = await chromium.launchPersistentContext(userDataDir, {
      executablePath: '/usr/bin/chromium',
      headless: true,
      args: [
        '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        `--ip-address-space-overrides=127.0.0.1:${pagePort}=public`,
      ],
    });
    // Chromium asks the user before a public page may reach the loopback
    // address space; the test answers as a user who allows it.
    await context.grantPermissions(['local-network-access'], { origin: `http://127.0.0.1:${pagePort}` });
    const tab = context.pages()[0] ?? (await context.newPage());
    tab.on('console', (m) => console.log(`page: ${m.text()}`));
    await tab.goto(`http://127.0.0.1:${pagePort}/`);
    const result = await tab.evaluate((base) => run(base), `http://127.0.0.1:${svc.port}`);

    check(result.publicKeyError === 0, 'public key fetched from another origin');
    const cap = result.capture;
    check(cap.ErrorCode === 0, `capture with a WebCrypto-wrapped key: ErrorCode ${cap.ErrorCode}`);
    check(cap.ISOTemplateBase64 === cap.TemplateBase64, 'both template members carry the same text');
    const cipher = Buffer.from(cap.TemplateBase64 ?? '', 'base64');
    let rec = Buffer.alloc(0);
    try {
      const decipher = crypto.createDecipheriv('aes-256-ecb', Buffer.from(result.keyHex, 'hex'), null);
      rec = Buffer.concat([decipher.update(cipher), decipher.final()]);
    } catch (e) {
      console.log(`decryption failed: ${e.message}`);
    }
    check(cipher.length % 16 === 0 && isoRecordOk(rec), 'template decrypts (AES-256-ECB, PKCS #7) to an ISO record');
    check(result.match.ErrorCode === 0 && result.match.MatchingScore >= MATCH_THRESHOLD,
        `two captures of one finger match: score ${result.match.MatchingScore}`);
    const trace = fs.existsSync(svc.trace) ? fs.readFileSync(svc.trace, 'latin1') : '';
    check(trace.includes('Request -PREFLIGHT-VRNFPCapture') && result.match.ErrorCode === 0,
        'Chromium sent the pre-flight, accepted the reply and then captured');
  } finally {
    if (svc.child.exitCode !== null) {
      console.log(`service ended by itself with ${svc.child.exitCode}:\n${svc.child.stderrText}`);
    }
    if (context) await context.close();
    pages.close();
    svc.child.kill('SIGTERM');
    fs.rmSync(userDataDir, { recursive: true, force: true });
    if (fs.existsSync(svc.trace)) fs.rmSync(svc.trace);
  }
  console.log(`${passes} passed, ${failures} failed`);
  process.exit(failures === 0 ? 0 : 1);
}

main().catch((e) => {
  console.log(`error: ${e.stack ?? e}`);
  process.exit(1);
});
