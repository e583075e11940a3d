// The demo page in headless Chromium, served from its own local port that
// Chromium is told to treat as a public site, as a real web app would be:
// capture, match, encrypted mode, the local-network permission granted and
// denied the way a user answers it, and the page opened from file://.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';
import { decryptTemplate, readTemplateHeader } from '@kestrav/client/server';
import { SOURCE_DIR, checkReply, replyProblems, startService } from '../harness.mjs';

const WEB_DIR = path.join(SOURCE_DIR, 'web');
const SCREENSHOT = process.env.KV_DEMO_SCREENSHOT ?? null;  // where to write the picture in docs/web.md
const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.css': 'text/css' };

// Serves web/ (the demo and the client beside it) on a port of its own.
async function startPageServer() {
  const server = http.createServer((req, res) => {
    const file = path.join(WEB_DIR, path.normalize(decodeURIComponent(new URL(req.url, 'http://x').pathname)));
    if (!file.startsWith(WEB_DIR) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] ?? 'application/octet-stream' });
    res.end(fs.readFileSync(file));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return server;
}

let svc;
let pages;
let pageOrigin;
const contexts = [];

// A fresh browser profile in which the page's origin counts as public, so
// that Chromium's local-network rules apply to its calls to the service.
async function browser() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kv-demo-'));
  const context = await chromium.launchPersistentContext(dir, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1000, height: 656 },
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync',
      `--ip-address-space-overrides=127.0.0.1:${pages.address().port}=public`],
  });
  contexts.push({ context, dir });
  // Every reply the page receives from the service is checked against the
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

async function openDemo(context, base = `${pageOrigin}/demo/index.html`) {
  const tab = context.pages()[0] ?? (await context.newPage());
  tab.on('console', (m) => { if (m.type() === 'error') console.log(`page: ${m.text()}`); });
  await tab.goto(`${base}?service=${encodeURIComponent(svc.url)}`);
  await tab.evaluate(() => globalThis.demo.ready);
  return tab;
}

async function captureInto(tab, slot) {
  await tab.click(`#capture${slot} button`);
  await tab.waitForFunction((n) => ['done', 'failed'].includes(document.querySelector(`#capture${n}`).dataset.state), slot);
  return tab.evaluate(async (n) => {
    // The state turns "done" when the image is given its source; decoding
    // it may take longer (it did under the sanitizer build).
    const img = document.querySelector(`#capture${n} img`);
    if (!img.hidden) await img.decode().catch(() => {});
    return {
      state: document.querySelector(`#capture${n}`).dataset.state,
      figures: document.querySelector(`#capture${n} .figures`).textContent,
      image: img.naturalWidth,
    };
  }, slot);
}

before(async () => {
  svc = await startService({ virtual: 'readers=NX51;finger=5;placement_ms=400' });
  pages = await startPageServer();
  pageOrigin = `http://127.0.0.1:${pages.address().port}`;
});

after(async () => {
  for (const { context, dir } of contexts) {
    await context.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
  pages?.close();
  await svc?.stop();
  assert.deepEqual(replyProblems, [], 'every reply matches the OpenAPI description');
});

describe('a public page with the local-network permission granted', () => {
  let context;
  let tab;
  before(async () => {
    context = await browser();
    // The answer a user gives to Chromium's prompt: allow.
    await context.grantPermissions(['local-network-access'], { origin: pageOrigin });
    tab = await openDemo(context);
  });

  test('status from /health, two captures with image, quality, NFIQ and WSQ size, and a match', async () => {
    assert.equal(await tab.textContent('#status'), 'Ready');
    assert.match(await tab.textContent('#readers'), /^NX51 \(NX51\d{12}\)$/);
    for (const slot of [1, 2]) {
      const shown = await captureInto(tab, slot);
      assert.equal(shown.state, 'done');
      assert.equal(shown.image, 300, 'the BMP is decoded and shown');
      assert.match(shown.figures, /Quality\d+ \/ 100NFIQ[1-5] .*WSQ[\d,]+ bytes/);
    }
    await tab.click('#match');
    await tab.waitForFunction(() => document.querySelector('#verdict').dataset.same);
    assert.equal(await tab.textContent('#verdict'), 'Same finger');
    assert.match(await tab.textContent('#score'), /^Score \d+ \(same finger from 14\)$/);
    if (SCREENSHOT) await tab.screenshot({ path: SCREENSHOT, type: 'png' });
  });

  test('the countdown shows while the finger is awaited', async () => {
    await tab.click('#capture1 button');
    await tab.waitForFunction(() => document.querySelector('#capture1').dataset.state === 'waiting');
    assert.match(await tab.textContent('#capture1 .prompt'), /^Place your finger on the reader… \d+ s$/);
    await tab.waitForFunction(() => document.querySelector('#capture1').dataset.state === 'done');
  });

  test('encrypted mode: the template decrypts on the back end with the page\'s key', async () => {
    await tab.check('#encrypted');
    assert.equal((await captureInto(tab, 2)).state, 'done');
    const [, enc] = await tab.evaluate(() => globalThis.demo.captures());
    assert.equal(enc.encrypted, true);
    const record = decryptTemplate(enc.templateBase64, enc.keyBase64);
    assert.equal(readTemplateHeader(record).format, 'ISO');
    assert.equal(await tab.isDisabled('#match'), true, 'an encrypted template is not sent to match');
    await tab.uncheck('#encrypted');
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
});

describe('a public page whose local-network permission the user blocked', () => {
  test('the page says so instead of "not running"', async () => {
    const context = await browser();
    // What "Block" in the prompt or the site settings stores for the origin.
    const cdp = await context.newCDPSession(context.pages()[0] ?? await context.newPage());
    await cdp.send('Browser.setPermission', {
      permission: { name: 'local-network-access' }, setting: 'denied', origin: pageOrigin,
    });
    const tab = await openDemo(context);
    assert.equal(await tab.getAttribute('#error', 'data-kind'), 'local-network-denied');
    assert.match(await tab.textContent('#error'), /local-network permission is blocked/);
  });
});

describe('the page opened from a file', () => {
  test('loads the client without modules and captures', async () => {
    const context = await browser();
    const tab = await openDemo(context, pathToFileURL(path.join(WEB_DIR, 'demo', 'index.html')).href);
    const status = await tab.textContent('#status');
    const error = await tab.textContent('#error');
    assert.equal(status, 'Ready', error);
    assert.equal((await captureInto(tab, 1)).state, 'done');
  });
});
