// The demo's live section in headless Chromium: the reader list from
// /events, and a capture whose preview and advice update while the finger
// is placed.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { chromium } from 'playwright-core';
import { SOURCE_DIR, startService } from '../harness.mjs';

const WEB_DIR = path.join(SOURCE_DIR, 'web');
const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.css': 'text/css' };
let svc;
let server;
let context;
let dir;

before(async () => {
  svc = await startService({ virtual: 'readers=NX51;finger=5;placement_ms=2000' });
  server = http.createServer((req, res) => {
    const file = path.join(WEB_DIR, path.normalize(new URL(req.url, 'http://x').pathname));
    if (!file.startsWith(WEB_DIR) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] ?? 'application/octet-stream' });
    res.end(fs.readFileSync(file));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kv-live-'));
  context = await chromium.launchPersistentContext(dir, {
    executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'],
  });
});

after(async () => {
  await context?.close();
  if (dir) fs.rmSync(dir, { recursive: true, force: true });
  server?.close();
  await svc?.stop();
});

test('live section: readers listed, preview frames with guidance, then the result', async () => {
  const tab = context.pages()[0] ?? (await context.newPage());
  await tab.goto(`http://127.0.0.1:${server.address().port}/demo/index.html?service=${encodeURIComponent(svc.url)}`);
  await tab.click('#connect');  // the list starts with the user's first click
  await tab.waitForFunction(() => document.querySelector('#live-readers').dataset.count === '1');
  assert.match(await tab.textContent('#live-readers'), /^NX51 \(NX51\d{12}\)$/);
  await tab.click('#live-capture');
  await tab.waitForFunction(() => ['done', 'failed'].includes(document.querySelector('#live-section').dataset.state),
    null, { timeout: 30000 });
  assert.equal(await tab.getAttribute('#live-section', 'data-state'), 'done');
  const frames = Number(await tab.getAttribute('#live-section', 'data-frames'));
  assert.ok(frames >= 5, `${frames} frames shown`);
  assert.ok(await tab.evaluate(() => document.querySelector('#live-preview').naturalWidth <= 200));
  assert.ok(await tab.getAttribute('#live-guidance', 'textContent') !== '');
  assert.match(await tab.textContent('#live-result'), /^Quality \d+ \/ 100, template \d+ bytes$/);
});
