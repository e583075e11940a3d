// kv.watch() and capture({ onProgress }) over /events against the real
// service with the virtual reader, and the client's types against the
// message tables of docs/events.md.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { KestravClient, ReaderBusyError, eventsUrl } from '@kestrav/client';
import { SOURCE_DIR, startService } from '../harness.mjs';

const services = [];
after(async () => { await Promise.all(services.map((s) => s.stop())); });

describe('over /events with a finger placed for 2 s', () => {
  let svc;
  let kv;
  before(async () => {
    svc = await startService({ virtual: 'readers=NX51;finger=3;placement_ms=2000' });
    services.push(svc);
    kv = new KestravClient({ baseUrl: svc.url });
  });

  test('progress: started, finger needed, frames with guidance, then the HTTP result', async () => {
    const seen = [];
    const result = await kv.capture({ timeout: 10000, onProgress: (e) => seen.push(e) });
    assert.deepEqual(seen.slice(0, 2).map((e) => e.event), ['CaptureStarted', 'FingerNeeded']);
    const frames = seen.filter((e) => e.event === 'Frame');
    assert.ok(frames.length >= 10, `${frames.length} frames in 2 s`);
    for (const f of frames) {
      assert.ok(Math.max(f.previewWidth, f.previewHeight) <= 200);
      assert.equal(String.fromCharCode(f.previewBmp[0], f.previewBmp[1]), 'BM');
      assert.equal(typeof f.guidanceText, 'string');
    }
    assert.equal(result.model, 'NX51');
    assert.ok(result.template.length > 0);
  });

  test('a second page is refused as busy; an abort cancels and frees the reader', async () => {
    const controller = new AbortController();
    let needed;
    const waiting = new Promise((resolve) => { needed = resolve; });
    const first = kv.capture({
      signal: controller.signal,
      onProgress: (e) => { if (e.event === 'FingerNeeded') needed(); },
    });
    await waiting;
    await assert.rejects(kv.capture({ onProgress: () => {} }), ReaderBusyError);
    controller.abort(new Error('stop'));
    await assert.rejects(first, /stop/);
    const after = await new KestravClient({ baseUrl: svc.url }).capture({ timeout: 10000 });
    assert.equal(after.model, 'NX51');
  });

  test('falls back to the HTTP capture when the socket cannot open', async () => {
    class Refused { constructor() { throw new Error('no sockets here'); } }
    const seen = [];
    const result = await kv.capture({ timeout: 10000, onProgress: (e) => seen.push(e), WebSocket: Refused });
    assert.deepEqual(seen, []);
    assert.equal(result.model, 'NX51');
  });

  test('a foreign Host gets 403 and no upgrade', async () => {
    const status = await new Promise((resolve, reject) => {
      const req = http.request(`${svc.url}/events`, {
        headers: {
          Host: 'attacker.example', Connection: 'Upgrade', Upgrade: 'websocket',
          'Sec-WebSocket-Version': '13', 'Sec-WebSocket-Key': 'dGhlIHNhbXBsZSBub25jZQ==',
        },
      });
      req.on('upgrade', () => reject(new Error('upgraded')));
      req.on('response', (res) => { res.resume(); resolve(res.statusCode); });
      req.on('error', reject);
      req.end();
    });
    assert.equal(status, 403);
  });

  test('watch() starts with the reader list', async () => {
    const lists = [];
    const watch = kv.watch({ onReaders: (l) => lists.push(l) });
    await watch.opened;
    while (lists.length === 0) await new Promise((r) => setTimeout(r, 20));
    watch.close();
    assert.equal(lists[0].readerError, 0);
    assert.deepEqual(lists[0].readers.map((r) => r.model), ['NX51']);
    assert.equal(eventsUrl('https://127.0.0.1:8443'), 'wss://127.0.0.1:8443/events');
  });
});

test('the client names the events, guidance values and members docs/events.md lists', () => {
  const doc = fs.readFileSync(path.join(SOURCE_DIR, 'docs', 'events.md'), 'utf8');
  const types = fs.readFileSync(path.join(SOURCE_DIR, 'web', 'client', 'events.d.ts'), 'utf8');
  const section = (title) => doc.split(`### ${title}`)[1].split('\n### ')[0].split('\n## ')[0];
  const rows = (text) => text.split('\n').filter((l) => /^\| `/.test(l)).map((l) => l.split('|').map((c) => c.trim()));
  const events = rows(section('From the service')).map((r) => r[1].replaceAll('`', ''));
  const declared = [...types.matchAll(/event: '(\w+)'/g)].map((m) => m[1]);
  assert.deepEqual([...new Set(declared)].sort(), [...events].sort());
  const guidance = rows(doc.split('## Guidance')[1].split('\n## ')[0])
    .flatMap((r) => r[1].split(/,| or /).map((g) => g.trim().replaceAll('`', ''))).filter(Boolean);
  const guidanceType = types.match(/export type Guidance =([^;]+);/)[1];
  assert.deepEqual([...new Set(guidance)].sort(), [...guidanceType.matchAll(/'(\w+)'/g)].map((m) => m[1]).sort());
  // Every member a frame carries is read by the client.
  const frameRow = rows(section('From the service')).find((r) => r[1] === '`Frame`');
  const client = fs.readFileSync(path.join(SOURCE_DIR, 'web', 'client', 'events.js'), 'utf8');
  for (const m of frameRow[3].split(',').map((c) => c.trim().replaceAll('`', ''))) {
    assert.ok(client.includes(`message.${m}`), m);
  }
});
