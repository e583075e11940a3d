// The demo page and the client in headless Chromium, on the kinds of page a
// web developer meets: on this machine (localhost, and plain HTTP under
// another name that resolves here), and public (HTTPS and plain HTTP under a
// name Chromium is told to count as public). Capture, match, reader choice,
// encrypted mode, no request before the first click, and the client's
// diagnosis of every failure with the service running and stopped.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';
import { decryptTemplate, readTemplateHeader } from '@kestrav/client/server';
import { SOURCE_DIR, checkReply, closedPort, replyProblems, startService } from '../harness.mjs';

const WEB_DIR = path.join(SOURCE_DIR, 'web');
const SCREENSHOT = process.env.KV_DEMO_SCREENSHOT ?? null;  // where to write the picture in docs/web.md
const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.css': 'text/css' };
// Public pages live on a second loopback address, so that nothing of theirs
// answers on 127.0.0.1 as a page from another machine would not.
const PUBLIC_IP = '127.0.0.2';
const PUBLIC_NAME = 'kyc.test';
const LOCAL_NAME = 'kyc-local.test';  // resolves to 127.0.0.1: a page on this machine

// Serves web/ (the demo and the client beside it).
async function startPageServer(host, tls = null) {
  const serve = (req, res) => {
    const file = path.join(WEB_DIR, path.normalize(decodeURIComponent(new URL(req.url, 'http://x').pathname)));
    if (!file.startsWith(WEB_DIR) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] ?? 'application/octet-stream' });
    res.end(fs.readFileSync(file));
  };
  const server = tls ? https.createServer(tls, serve) : http.createServer(serve);
  await new Promise((resolve) => server.listen(0, host, resolve));
  return server;
}

let svc;
let stoppedUrl;
let origins;
let servers;
let tlsDir;
const contexts = [];
const serviceRequests = [];  // every request a page sent to the service, in order

// A fresh browser profile that maps the names and counts the public pages' addresses as public.
async function browser() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kv-demo-'));
  const [, publicHttp, publicHttps] = servers.map((s) => s.address().port);
  const context = await chromium.launchPersistentContext(dir, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    ignoreHTTPSErrors: true,
    viewport: { width: 1000, height: 700 },
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync',
      `--host-resolver-rules=MAP ${PUBLIC_NAME} ${PUBLIC_IP}, MAP ${LOCAL_NAME} 127.0.0.1`,
      `--ip-address-space-overrides=${PUBLIC_IP}:${publicHttp}=public,${PUBLIC_IP}:${publicHttps}=public`],
  });
  contexts.push({ context, dir });
  context.on('request', (request) => {
    if (new URL(request.url()).port === String(svc.port)) serviceRequests.push(request.url());
  });
  // Every reply a page receives from the service is checked against the
  // OpenAPI description.
  context.on('response', async (response) => {
    const url = new URL(response.url());
    if (url.port !== String(svc.port) || response.request().method() === 'OPTIONS') return;
    try {
      checkReply(url.pathname, response.request().method(), response.status(), await response.text());
    } catch { /* the page was closed meanwhile */ }
  });
  return context;
}

// Opens the demo; console errors are collected in tab.consoleErrors.
async function openDemo(context, origin, query = `?service=${encodeURIComponent(svc.url)}`) {
  const tab = await context.newPage();
  tab.consoleErrors = [];
  tab.on('console', (m) => { if (m.type() === 'error') tab.consoleErrors.push(m.text()); });
  await tab.goto(origin.startsWith('file:') ? origin + query : `${origin}/demo/index.html${query}`);
  return tab;
}

async function waitIdle(tab) {
  await tab.waitForFunction(() => !document.querySelector('#connect').disabled);
}

async function captureInto(tab, slot) {
  await tab.click(`#capture${slot} button`);
  await tab.waitForFunction((n) => ['done', 'failed'].includes(document.querySelector(`#capture${n}`).dataset.state), slot);
  await waitIdle(tab);
  return tab.evaluate(async (n) => {
    // The state turns "done" when the image is given its source; decoding
    // it may take longer (it did under the sanitizer build).
    const img = document.querySelector(`#capture${n} img`);
    if (!img.hidden) await img.decode().catch(() => {});
    return {
      state: document.querySelector(`#capture${n}`).dataset.state,
      figures: document.querySelector(`#capture${n} .figures`).textContent,
      image: img.naturalWidth,
      error: document.querySelector('#error').hidden ? null : document.querySelector('#error').textContent,
    };
  }, slot);
}

// What the client says about a health() call from this page: "ok" or the error's facts.
function diagnose(tab, baseUrl) {
  return tab.evaluate((url) => new globalThis.Kestrav.KestravClient({ baseUrl: url }).health().then(() => 'ok',
    (e) => `${e.name} permission=${e.permission} insecurePage=${e.insecurePage}`), baseUrl);
}

before(async () => {
  svc = await startService({ virtual: 'readers=NX51,TRV08;finger=5;placement_ms=400' });
  stoppedUrl = `http://127.0.0.1:${await closedPort()}`;
  tlsDir = fs.mkdtempSync(path.join(os.tmpdir(), 'kv-demo-tls-'));
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', `/CN=${PUBLIC_NAME}`,
    '-addext', `subjectAltName=DNS:${PUBLIC_NAME}`, '-keyout', path.join(tlsDir, 'key.pem'),
    '-out', path.join(tlsDir, 'cert.pem')], { stdio: 'ignore' });
  const tls = { key: fs.readFileSync(path.join(tlsDir, 'key.pem')), cert: fs.readFileSync(path.join(tlsDir, 'cert.pem')) };
  servers = [await startPageServer('127.0.0.1'), await startPageServer(PUBLIC_IP), await startPageServer(PUBLIC_IP, tls)];
  const [local, publicHttp, publicHttps] = servers.map((s) => s.address().port);
  origins = {
    localhost: `http://localhost:${local}`,
    localName: `http://${LOCAL_NAME}:${local}`,
    publicHttp: `http://${PUBLIC_NAME}:${publicHttp}`,
    publicHttps: `https://${PUBLIC_NAME}:${publicHttps}`,
  };
});

after(async () => {
  for (const { context, dir } of contexts) {
    await context.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
  for (const server of servers ?? []) server.close();
  if (tlsDir) fs.rmSync(tlsDir, { recursive: true, force: true });
  await svc?.stop();
  assert.deepEqual(replyProblems, [], 'every reply matches the OpenAPI description');
});

describe('a public HTTPS page with the local-network permission granted', () => {
  let context;
  let tab;
  before(async () => {
    context = await browser();
    // The answer a user gives to Chromium's question: allow.
    await context.grantPermissions(['local-network-access'], { origin: origins.publicHttps });
    tab = await openDemo(context, origins.publicHttps);
  });

  test('nothing goes to the service before the first click; Find lists the readers', async () => {
    await tab.waitForLoadState('networkidle');
    assert.deepEqual(serviceRequests, [], 'no request at page load');
    assert.equal(await tab.textContent('#status'), 'Not connected yet');
    await tab.click('#connect');
    await waitIdle(tab);
    assert.equal(await tab.textContent('#status'), 'Ready');
    assert.deepEqual(serviceRequests, [`${svc.url}/health`]);
    assert.match(await tab.textContent('#readers'), /^NX51 \(NX51\d{12}\), TRV08 \(TRV08\d{11}\)$/);
    assert.deepEqual(await tab.$$eval('#reader option', (o) => o.map((e) => e.textContent)),
      ['first attached', 'NX51 NX51000020240001', 'TRV08 TRV0800020240001']);
  });

  test('two captures with image, quality, NFIQ and WSQ size, and a match at threshold 14', async () => {
    for (const slot of [1, 2]) {
      const shown = await captureInto(tab, slot);
      assert.equal(shown.state, 'done', shown.error);
      assert.equal(shown.image, 300, 'the BMP is decoded and shown');
      assert.match(shown.figures, /ReaderNX51\d{12}Quality\d+ \/ 100NFIQ[1-5] .*WSQ[\d,]+ bytes/);
    }
    await tab.click('#match');
    await tab.waitForFunction(() => document.querySelector('#verdict').dataset.same);
    assert.equal(await tab.textContent('#verdict'), 'Same finger');
    assert.match(await tab.textContent('#score'), /^Score \d+ \(same finger from 14\)$/);
    if (SCREENSHOT) await tab.screenshot({ path: SCREENSHOT, type: 'png', fullPage: true });
  });

  test('the reader picker captures with the chosen reader; the countdown shows meanwhile', async () => {
    await tab.selectOption('#reader', { label: 'TRV08 TRV0800020240001' });
    await tab.click('#capture1 button');
    await tab.waitForFunction(() => document.querySelector('#capture1').dataset.state === 'waiting');
    assert.match(await tab.textContent('#capture1 .prompt'), /^Place your finger on the reader… \d+ s$/);
    await tab.waitForFunction(() => document.querySelector('#capture1').dataset.state === 'done');
    assert.equal((await tab.evaluate(() => globalThis.demo.captures()))[0].serialNumber, 'TRV0800020240001');
    assert.equal(await tab.textContent('#score'), '', 'a new print clears the old score');
    await tab.selectOption('#reader', '');
  });

  test('ISO against ANSI: the page says why instead of the service\'s 1014', async () => {
    await tab.selectOption('#format', 'ANSI');
    assert.equal((await captureInto(tab, 2)).state, 'done');
    await tab.selectOption('#format', 'ISO');
    await tab.click('#match');
    await waitIdle(tab);
    assert.match(await tab.textContent('#error'), /template1 is ISO and template2 is ANSI/);
  });

  test('encrypted mode: the template decrypts on the back end with the page\'s key; no stale score', async () => {
    await tab.check('#encrypted');
    assert.equal((await captureInto(tab, 2)).state, 'done');
    const [, enc] = await tab.evaluate(() => globalThis.demo.captures());
    assert.equal(enc.encrypted, true);
    const record = decryptTemplate(enc.templateBase64, enc.keyBase64);
    assert.equal(readTemplateHeader(record).format, 'ISO');
    assert.equal(await tab.isDisabled('#match'), true, 'an encrypted template is not sent to match');
    assert.match(await tab.textContent('#verdict'), /^Encrypted templates are matched on your server/);
    assert.equal(await tab.textContent('#score'), '');
    await tab.uncheck('#encrypted');
  });

  test('the Address field takes host:port, and says what is wrong with anything else', async () => {
    await tab.fill('#address', `127.0.0.1:${svc.port}`);
    await tab.click('#connect');
    await waitIdle(tab);
    assert.equal(await tab.textContent('#status'), 'Ready');
    assert.equal(await tab.inputValue('#address'), svc.url);
    await tab.fill('#address', 'http://[bad');
    await tab.click('#connect');
    await waitIdle(tab);
    assert.match(await tab.textContent('#error'), /is not a service address; write it like 127\.0\.0\.1:8000/);
    await tab.fill('#address', svc.url);
  });

  test('a pre-flighted call from the public page passes the service\'s CORS reply', async () => {
    // An upload listener makes a request pre-flighted (XHR standard); the
    // client never needs one, but pages with their own requests may.
    const reply = await tab.evaluate((url) => new Promise((resolve, reject) => {
      const xhr = new XMLHttpRequest();
      xhr.open('POST', `${url}/VRNFPCapture`);
      xhr.upload.onprogress = () => {};
      xhr.onload = () => resolve(JSON.parse(xhr.responseText).ErrorCode);
      xhr.onerror = () => reject(new Error('pre-flighted request failed'));
      xhr.send(new URLSearchParams({ timeout: '5000' }));
    }), svc.url);
    assert.equal(reply, 0);
    assert.match(svc.traceText(), /Request -PREFLIGHT-VRNFPCapture/);
  });

  test('the diagnosis on every kind of page, with the service running and stopped', async () => {
    const notRunning = 'NotReachableError permission=not-needed insecurePage=undefined';
    const blocked = 'LocalNetworkDeniedError permission=undefined insecurePage=true';
    const rows = [
      ['localhost', 'ok', notRunning],
      ['localName', 'ok', notRunning],
      ['publicHttps', 'ok', 'NotReachableError permission=granted insecurePage=undefined'],
      ['publicHttp', blocked, blocked],
    ];
    for (const [kind, running, stopped] of rows) {
      const page = await openDemo(context, origins[kind]);
      assert.equal(await diagnose(page, svc.url), running, `${kind}, service running`);
      assert.equal(await diagnose(page, stoppedUrl), stopped, `${kind}, service stopped`);
      await page.close();
    }
  });

  test('discover() found on the first try prints no console error', async () => {
    const page = await openDemo(context, origins.publicHttps);
    const dead = Number(new URL(stoppedUrl).port);
    const found = await page.evaluate((ports) => globalThis.Kestrav.discover({ ports }).then((kv) => kv.baseUrl), [svc.port, dead]);
    assert.equal(found, svc.url);
    await page.evaluate(() => new Promise((resolve) => setTimeout(resolve, 200)));
    assert.deepEqual(page.consoleErrors, []);
    await page.close();
  });
});

describe('a public HTTPS page whose user has not allowed, or has blocked, the local network', () => {
  test('not asked yet: "prompt"; blocked: the page says so instead of "not running"', async () => {
    // Headless Chromium cannot show the question (it turns it into a
    // block), so the unanswered state is read before any call.
    const context = await browser();
    const unanswered = await openDemo(context, origins.publicHttps);
    assert.equal(await unanswered.evaluate(() => globalThis.Kestrav.effectivePermission()), 'prompt');

    // What "Block" in the question or the site settings stores for the origin.
    const cdp = await context.newCDPSession(context.pages()[0] ?? await context.newPage());
    await cdp.send('Browser.setPermission', {
      permission: { name: 'local-network-access' }, setting: 'denied', origin: origins.publicHttps,
    });
    const tab = await openDemo(context, origins.publicHttps);
    assert.equal(await diagnose(tab, svc.url), 'LocalNetworkDeniedError permission=undefined insecurePage=false');
    await tab.click('#connect');
    await waitIdle(tab);
    assert.equal(await tab.getAttribute('#error', 'data-kind'), 'local-network-denied');
    assert.match(await tab.textContent('#error'), /local-network permission is blocked/);
  });
});

describe('the page opened from a file', () => {
  test('loads the client without modules and captures', async () => {
    const context = await browser();
    const tab = await openDemo(context, pathToFileURL(path.join(WEB_DIR, 'demo', 'index.html')).href);
    const shown = await captureInto(tab, 1);
    assert.equal(shown.state, 'done', shown.error);
  });
});
