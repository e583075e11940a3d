// The web client against the real service with the virtual reader: every
// method, every typed error, the session-key round trip through the back-end
// helper. Every reply the service sends is checked against the OpenAPI
// description (harness.mjs).
import assert from 'node:assert/strict';
import http from 'node:http';
import { after, before, describe, test } from 'node:test';
import {
  BadReplyError, BadTemplateError, CaptureTimeoutError, CertificateNotTrustedError, ClientTimeoutError,
  FakeFingerError, HostRefusedError, KestravClient, MATCH_THRESHOLD, NoReaderError, NotReachableError,
  ReaderBusyError, ServiceError, SessionKeyRefusedError, discover, formEncode, toBase64,
} from '@kestrav/client';
import { decryptTemplate, readTemplateHeader } from '@kestrav/client/server';
import { checkingFetch, closedPort, nodeFetch, replyProblems, startService } from '../harness.mjs';

const services = [];
async function service(options) {
  const svc = await startService(options);
  services.push(svc);
  return svc;
}
const client = (svc, options = {}) => new KestravClient({ baseUrl: svc.url, fetch: checkingFetch(options.fetch), ...options.client });

after(async () => {
  await Promise.all(services.map((s) => s.stop()));
  assert.deepEqual(replyProblems, [], 'every reply matches the OpenAPI description');
});

describe('with one reader and a finger', () => {
  let svc;
  let kv;
  before(async () => {
    svc = await service({ virtual: 'readers=NX51;finger=3' });
    kv = client(svc);
  });

  test('discover probes both schemes on each port and reports the one that answers', async () => {
    const dead = await closedPort();
    const found = await discover({ ports: [dead, svc.port], fetch: checkingFetch() });
    assert.equal(found.baseUrl, svc.url);
    assert.deepEqual([found.found.scheme, found.found.port], ['http', svc.port]);
    assert.equal(found.found.health.readers[0].model, 'NX51');
  });

  test('health: version, scheme, bound port, readers; answers in milliseconds', async () => {
    const h = await kv.health();
    assert.equal(h.service, 'Kestrav');
    assert.match(h.version, /^\d+\.\d+\.\d+\.\d+$/);
    assert.deepEqual([h.scheme, h.port, h.readerError, h.certificate], ['http', svc.port, 0, null]);
    assert.equal(h.readers.length, 1);
    assert.match(h.readers[0].serialNumber, /^NX51\d{12}$/);
    // A generous bound: status polling must never feel like a capture.
    for (let i = 0; i < 5; i++) {
      const start = performance.now();
      await kv.health();
      assert.ok(performance.now() - start < 1000);
    }
  });

  test('capture with defaults: numbers, BMP bytes, ISO template', async () => {
    const c = await kv.capture();
    assert.deepEqual([c.manufacturer, c.model, c.width, c.height, c.dpi], ['Kestrav', 'NX51', 300, 400, 500]);
    assert.ok(c.quality >= 50 && c.quality <= 100);
    assert.ok(c.nfiq >= 1 && c.nfiq <= 5);
    assert.equal(String.fromCharCode(c.bmp[0], c.bmp[1]), 'BM');
    assert.equal(c.bmpBlob().size, c.bmp.length);
    assert.match(c.bmpObjectUrl(), /^blob:/);
    assert.deepEqual([c.rawImage, c.wsq, c.wsqSize, c.encrypted], [null, null, null, false]);
    const header = readTemplateHeader(c.template);
    assert.deepEqual([header.format, header.width, header.height, header.recordLength], ['ISO', 300, 400, c.template.length]);
    assert.ok(header.minutiae > 0);
  });

  test('capture with raw image, ANSI template and WSQ', async () => {
    const c = await kv.capture({ rawImage: true, templateFormat: 'ANSI', wsqRate: 0.75, timeout: 5000, quality: 40 });
    assert.equal(c.rawImage.length, c.width * c.height);
    assert.deepEqual([c.wsq[0], c.wsq[1], c.wsqSize], [0xff, 0xa0, c.wsq.length]);
    assert.equal(readTemplateHeader(c.template).format, 'ANSI');
    assert.equal(readTemplateHeader(c.template, 'ANSI').minutiae, (c.template.length - 32) / 6);
  });

  test('match: same finger at the documented threshold; Base64 "+" survives the form', async () => {
    let a;
    for (let i = 0; i < 4 && !a?.templateBase64.includes('+'); i++) a = await kv.capture();
    assert.ok(a.templateBase64.includes('+'), 'precondition: a template whose Base64 has a "+"');
    const b = await kv.capture();
    // Identical records match far above the threshold; a "+" read as a space
    // would cut the record short and fail it.
    const self = await kv.match(a, a.templateBase64);
    assert.ok(self.score >= MATCH_THRESHOLD + 8, `a record against itself scores ${self.score}`);
    const pair = await kv.match(a, b.template);
    assert.deepEqual([pair.sameFinger, pair.threshold], [pair.score >= MATCH_THRESHOLD, MATCH_THRESHOLD]);
    assert.ok(pair.sameFinger, `two impressions of one finger score ${pair.score}`);
    assert.equal(formEncode({ t: 'a+b/c=', n: 5 }), 't=a%2Bb%2Fc%3D&n=5');
  });

  test('session key round trip: wrapped in WebCrypto, decrypted by the back-end helper', async () => {
    const enc = await kv.captureEncrypted({ templateFormat: 'ISO' });
    assert.equal(enc.encrypted, true);
    assert.equal(enc.sessionKey.wrapped.length, 256);
    assert.equal(enc.template.length % 16, 0);
    const record = decryptTemplate(enc.templateBase64, enc.sessionKey.key);
    const header = readTemplateHeader(record);
    assert.deepEqual([header.format, header.recordLength], ['ISO', record.length]);
    const plain = await kv.capture();
    assert.ok((await kv.match(record, plain)).sameFinger);
    assert.throws(() => decryptTemplate(enc.template, new Uint8Array(32)), TypeError, 'a wrong key fails the padding');
    assert.throws(() => decryptTemplate(enc.template.subarray(1), enc.sessionKey.key), TypeError, 'not whole blocks');
    await assert.rejects(kv.match(enc, plain), TypeError, 'an encrypted template cannot be matched');
  });

  test('a key wrapped under a replaced public key is refused with 101, and nothing is captured', async () => {
    const stale = await kv.newSessionKey();
    await kv.publicKey({ generate: true });
    await assert.rejects(kv.capture({ sessionKey: stale }),
      (e) => e instanceof SessionKeyRefusedError && e.errorCode === 101 && e.reason === 'session-key-refused');
    const fresh = await kv.newSessionKey();
    assert.notEqual(fresh.publicKeyPem, stale.publicKeyPem);
  });

  test('templates the service refuses', async () => {
    const rows = [
      ['', 'AAAA', 100, 'an empty template counts as missing'],
      ['AAAA', 'AAAA', 1014, 'three zero bytes are no record'],
      [toBase64(new TextEncoder().encode('FMR\0 20\0\0\0\xff\xff')), 'AAAA', 1014, 'declares more than was sent'],
    ];
    for (const [t1, t2, code, why] of rows) {
      await assert.rejects(kv.match(t1, t2), (e) => e instanceof BadTemplateError && e.errorCode === code, why);
    }
  });

  test('a Host the service does not accept: capture, match and health refused, public key served', async () => {
    const rebound = client(svc, { fetch: nodeFetch({ host: 'localhost.example.net' }) });
    for (const call of [() => rebound.capture(), () => rebound.match('AAAA', 'AAAA'), () => rebound.health()]) {
      await assert.rejects(call(), HostRefusedError);
    }
    assert.match((await rebound.publicKey()).pem, /^-----BEGIN RSA PUBLIC KEY-----/);
  });
});

describe('errors before a reply', () => {
  test('not running: NotReachableError, not a certificate suspect over http', async () => {
    const kv = new KestravClient({ baseUrl: `http://127.0.0.1:${await closedPort()}` });
    await assert.rejects(kv.health(), (e) => e instanceof NotReachableError && !e.certificateSuspected);
    await assert.rejects(discover({ ports: [await closedPort()] }),
      (e) => e instanceof NotReachableError && e.tried.length === 2);
  });

  test('client time-out and caller abort end a capture that waits for a finger', async () => {
    const svc = await service({ virtual: 'placement_ms=5000' });
    const kv = client(svc);
    await assert.rejects(kv.capture({ timeoutMs: 200 }), (e) => e instanceof ClientTimeoutError && e.timeoutMs === 200);
    // The abandoned capture is cancelled while it waits for the finger: the
    // reader is free again within moments, not after the 5 s placement
    // (until then a capture is refused at once with 103).
    const abandoned = Date.now();
    let outcome;
    do {
      await new Promise((resolve) => setTimeout(resolve, 50));
      const controller = new AbortController();
      setTimeout(() => controller.abort(), 100);
      outcome = await kv.capture({ signal: controller.signal }).catch((e) => e);
    } while (outcome instanceof ReaderBusyError);
    assert.equal(outcome.name, 'AbortError');
    assert.ok(Date.now() - abandoned < 3000, 'the reader was held until the finger came');
    await assert.rejects(kv.capture({ signal: AbortSignal.abort() }), { name: 'AbortError' });
  });

  test('replies that are not the documented JSON', async () => {
    const rows = [
      [404, 'not found', 'another server on the port'],
      [200, '<html>', 'not JSON'],
      [200, '[0]', 'not an object'],
      [200, '{"ErrorCode":"0"}', 'ErrorCode is a string'],
      [200, '{"ErrorCode":0,"Readers":"none"}', 'members of the wrong type'],
    ];
    let reply;
    const server = http.createServer((req, res) => {
      res.writeHead(reply[0], { 'Access-Control-Allow-Origin': '*' });
      res.end(reply[1]);
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    try {
      const kv = new KestravClient({ baseUrl: `http://127.0.0.1:${server.address().port}` });
      for (const row of rows) {
        reply = row;
        await assert.rejects(kv.health(), BadReplyError, row[2]);
      }
    } finally {
      server.close();
    }
  });
});

describe('service error codes', () => {
  const rows = [
    ['readers=none', {}, NoReaderError, 55, 'no USB reader and no COM port'],
    ['finger=none', { timeout: 300 }, CaptureTimeoutError, 1009, 'no finger within the time-out'],
    ['fake=1', { fakeDetection: 1 }, FakeFingerError, 1010, 'a fake finger'],
    ['fail=CreateTemplate', {}, ServiceError, 1012, 'any other code: the general class'],
  ];
  for (const [virtual, options, Class, code, why] of rows) {
    test(`${why}: ${Class.name} ${code}`, async () => {
      const kv = client(await service({ virtual }));
      await assert.rejects(kv.capture(options), (e) => e instanceof Class && e.errorCode === code && e.kind === 'service');
    });
  }

  test('health never waits for a finger and reports a failed reader listing', async () => {
    const kv = client(await service({ virtual: 'finger=none;placement_ms=60000' }));
    const start = performance.now();
    assert.equal((await kv.health()).readers.length, 1);
    assert.ok(performance.now() - start < 1000);
    const broken = client(await service({ virtual: 'fail=EnumerateDevice' }));
    const h = await broken.health();
    assert.deepEqual([h.readerError, h.readers], [1008, []]);
  });
});

describe('over HTTPS', () => {
  test('untrusted certificate is told apart; trusted, health shows its state and expiry', async () => {
    const svc = await service({ https: true, days: 20 });
    await assert.rejects(new KestravClient({ baseUrl: svc.url }).health(),
      (e) => e instanceof CertificateNotTrustedError && e.reason === 'DEPTH_ZERO_SELF_SIGNED_CERT');
    const trusting = checkingFetch(nodeFetch({ ca: svc.certPem }));
    const found = await discover({ ports: [svc.port], fetch: trusting });
    assert.equal(found.found.scheme, 'https');
    const h = await found.health();
    assert.deepEqual([h.scheme, h.port, h.certificate.state, h.certificate.expired],
      ['https', svc.port, 'expires-within-30-days', false]);
    const days = (h.certificate.notAfter - Date.now()) / 86400000;
    assert.ok(days > 19 && days < 21, `expiry in ${days} days`);
    assert.ok((await found.capture()).template.length > 0);
  });
});
