// The web client against the real service with the virtual reader: every
// method, every typed error, the session-key round trip through the back-end
// helper. Every reply the service sends is checked against the OpenAPI
// description (harness.mjs).
import assert from 'node:assert/strict';
import http from 'node:http';
import { after, before, describe, test } from 'node:test';
import {
  BadReplyError, BadTemplateError, CaptureTimeoutError, CertificateNotTrustedError, ClientTimeoutError,
  FakeFingerError, HostRefusedError, KestravClient, MATCH_THRESHOLD, MATCH_THRESHOLDS, NoReaderError, NotReachableError,
  ReaderBusyError, ReaderNotAttachedError, ServiceError, ServiceOutdatedError, SessionKeyRefusedError, discover,
  formEncode, thresholdForFmr, toBase64,
} from '@kestrav/client';
import { decryptTemplate, newServerSessionKey, readTemplateHeader } from '@kestrav/client/server';
import { checkingFetch, closedPort, nodeFetch, replyProblems, startService } from '../harness.mjs';

const services = [];
async function service(options) {
  const svc = await startService(options);
  services.push(svc);
  return svc;
}
const client = (svc, options = {}) => new KestravClient({ baseUrl: svc.url, fetch: checkingFetch(options.fetch), ...options.client });

// A fetch that records every request's URL and form fields before passing it on.
function recordingFetch(inner = checkingFetch()) {
  const sent = [];
  const fetchImpl = (url, init = {}) => {
    sent.push({ url, fields: Object.fromEntries(new URLSearchParams(init.body ?? '')) });
    return inner(url, init);
  };
  return { sent, fetch: fetchImpl };
}

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

  test('discover probes one URL at a time, likely ones first, and stops at the one that answers', async () => {
    const dead = await closedPort();
    const probes = recordingFetch();
    const found = await discover({ ports: [dead, svc.port], fetch: probes.fetch });
    assert.equal(found.baseUrl, svc.url);
    assert.deepEqual([found.found.scheme, found.found.port], ['http', svc.port]);
    assert.equal(found.found.health.readers[0].model, 'NX51');
    assert.equal(found.found.health.outdated, false);
    assert.deepEqual(probes.sent.map((r) => r.url), [`http://127.0.0.1:${dead}/health`, `${svc.url}/health`]);
    const first = recordingFetch();
    await discover({ ports: [svc.port, dead], fetch: first.fetch });
    assert.equal(first.sent.length, 1, 'found on the first try: no other request');
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

  test('match bodies: the format of capture results or the option, ISO for text; thresholds', async () => {
    const iso = await kv.capture();
    const ansi = await kv.capture({ templateFormat: 'ANSI' });
    const rec = recordingFetch();
    const kvr = client(svc, { fetch: rec.fetch });
    const rows = [
      [iso.templateBase64, iso.templateBase64, {}, 'ISO', 'two Base64 texts'],
      [iso.template, iso, {}, 'ISO', 'bytes and a capture'],
      [ansi.templateBase64, ansi, {}, 'ANSI', 'text first, an ANSI capture second'],
      [ansi, ansi.template, {}, 'ANSI', 'an ANSI capture first'],
      [ansi.templateBase64, ansi.templateBase64, { templateFormat: 'ANSI' }, 'ANSI', 'the option'],
    ];
    for (const [a, b, options, format, why] of rows) {
      const m = await kvr.match(a, b, options);
      assert.equal(rec.sent.at(-1).fields.templateFormat, format, why);
      assert.ok(m.sameFinger && m.threshold === MATCH_THRESHOLD, why);
    }
    const sent = rec.sent.length;
    await assert.rejects(kvr.match(iso, ansi), TypeError, 'ISO against ANSI is refused before any request');
    await assert.rejects(kvr.match(iso, iso, { fmr: 0.01, threshold: 3 }), TypeError);
    await assert.rejects(kvr.match(iso, iso, { fmr: 2 }), RangeError);
    assert.equal(rec.sent.length, sent);
    const self = await kvr.match(iso, iso, { fmr: 0.00001 });
    assert.deepEqual([self.threshold, self.sameFinger], [22, self.score >= 22]);
    assert.equal((await kvr.match(iso, iso, { threshold: 1000 })).sameFinger, false);
    // The calibration: score s means a false match rate of 10^(-(s-2)/4).
    for (const { fmr, score } of MATCH_THRESHOLDS) assert.equal(thresholdForFmr(fmr), score);
    assert.deepEqual([0.002, 0.0011, 0.5].map(thresholdForFmr), [13, 14, 4]);
  });

  test('server-made session key: the page holds only the wrapped key, the server decrypts', async () => {
    // The page's server, with the public key the page forwards to it.
    let serverKey = null;
    const server = (pem) => {
      serverKey = newServerSessionKey(pem);
      return { wrapped: serverKey.wrappedBase64 };
    };
    const page = recordingFetch();
    const kvp = client(svc, { fetch: page.fetch });
    const enc = await kvp.captureEncrypted({ sessionKey: server((await kvp.publicKey()).pem) });
    assert.deepEqual(Object.keys(enc.sessionKey), ['wrapped'], 'the page never sees the key');
    assert.equal(page.sent.at(-1).fields.sessionkey, serverKey.wrappedBase64);
    const record = decryptTemplate(enc.templateBase64, serverKey.key);
    assert.ok((await kv.match(record, await kv.capture())).sameFinger);
    // As a function, it is asked again once when the service's key pair has changed.
    const stale = serverKey;
    await kvp.publicKey({ generate: true });
    let asked = 0;
    const again = await kvp.captureEncrypted({
      sessionKey: async (pem) => (++asked === 1 ? { wrapped: stale.wrapped } : server(pem)),
    });
    assert.equal(asked, 2, 'the key under the old public key was refused and replaced');
    assert.equal(readTemplateHeader(decryptTemplate(again.template, serverKey.key)).format, 'ISO');
    assert.throws(() => newServerSessionKey('not a key'), TypeError);
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

describe('reader choice and a busy reader', () => {
  test('capture({ reader }) uses the named reader; unknown serials are 104, a second of one model 1015', async () => {
    const svc = await service({ virtual: 'readers=NX51,TRV08,NX51;finger=3' });
    const kv = client(svc);
    const { readers } = await kv.health();
    const trv = await kv.capture({ reader: readers[1].serialNumber });
    assert.deepEqual([trv.serialNumber, trv.width], [readers[1].serialNumber, 260]);
    assert.equal((await kv.capture({ reader: readers[0] })).serialNumber, readers[0].serialNumber);
    assert.equal((await kv.capture()).serialNumber, readers[0].serialNumber, 'none named: the first');
    const rows = [
      ['NX51999999999999', ReaderNotAttachedError, 104],
      ['X'.repeat(40), ReaderNotAttachedError, 104],
      [readers[2].serialNumber, ServiceError, 1015],
    ];
    for (const [reader, Class, code] of rows) {
      await assert.rejects(kv.capture({ reader }), (e) => e instanceof Class && e.errorCode === code, reader);
    }
  });

  test('retryWhileBusy waits for the reader; without enough time the busy error comes', async () => {
    const svc = await service({ virtual: 'placement_ms=1200' });
    const kv = client(svc);
    const first = kv.capture();
    await new Promise((resolve) => setTimeout(resolve, 200));
    await assert.rejects(kv.capture({ retryWhileBusy: 300 }), ReaderBusyError);
    const started = Date.now();
    const second = await kv.capture({ retryWhileBusy: 10000 });
    assert.ok((await first).template.length > 0 && second.template.length > 0);
    assert.ok(Date.now() - started >= 500, 'it waited for the first capture');
    await assert.rejects(kv.capture({ retryWhileBusy: -1 }), RangeError);
  });

  test('an older service: health says so, and a reader choice it ignored is an error', async () => {
    const server = http.createServer((req, res) => {
      res.writeHead(200, { 'Access-Control-Allow-Origin': '*' });
      res.end(req.url === '/health'
        ? '{"ErrorCode":0,"Service":"Kestrav","Version":"1.0.9.3","Scheme":"http","Port":1,"ReaderError":0,"Readers":[],"Certificate":null}'
        : '{"ErrorCode":0,"Manufacturer":"Kestrav","Model":"NX51","SerialNumber":"NX51000000000001","ImageWidth":1,' +
          '"ImageHeight":1,"ImageDPI":500,"ImageQuality":60,"NFIQ":2,"ImageDataBase64":null,"BMPBase64":"Qk0=","TemplateBase64":"Rk1S"}');
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    try {
      const kv = new KestravClient({ baseUrl: `http://127.0.0.1:${server.address().port}` });
      await assert.rejects(kv.capture({ reader: 'TRV08000000000001' }), ServiceOutdatedError, 'the reply shows another reader');
      assert.equal((await kv.health()).outdated, true);
      await assert.rejects(kv.capture({ reader: 'TRV08000000000001' }),
        (e) => e instanceof ServiceOutdatedError && e.version === '1.0.9.3', 'known old: refused before capturing');
    } finally {
      server.close();
    }
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
