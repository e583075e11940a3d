// The demo page: everything goes through the client (../client/kestrav.js,
// loaded as a plain script so that the page also works from file://).
// ?service=URL picks the service; without it the page probes the default ports.
'use strict';

const K = globalThis.Kestrav;
const $ = (id) => document.getElementById(id);
const slots = [null, null];     // the two captures
let client = null;
let busy = false;

function setStatus(state, text) {
  $('status').dataset.state = state;
  $('status').textContent = text;
}

// What a page should tell its user for each failure the client tells apart.
function advice(error) {
  if (error instanceof K.LocalNetworkDeniedError && error.insecurePage) {
    return 'This page must be served over HTTPS to reach the fingerprint service on this computer.';
  }
  if (error instanceof K.LocalNetworkDeniedError) {
    return 'This site may not reach the fingerprint service on this computer: the browser\'s ' +
      'local-network permission is blocked. Allow it in the site settings (the icon left of the address) and reload.';
  }
  if (error instanceof K.CertificateNotTrustedError) {
    return `The browser does not trust the service's HTTPS certificate (${error.reason}).`;
  }
  if (error instanceof K.NotReachableError && error.permission === 'prompt' && !isLocalPage()) {
    return 'This site needs your permission to reach the fingerprint service on this computer: ' +
      'choose "Allow" when the browser asks, then try again.';
  }
  if (error instanceof K.NotReachableError) {
    return 'The fingerprint service is not running on this computer' +
      (error.certificateSuspected ? ', or the browser does not trust its HTTPS certificate (open ' +
        `${error.url ? new URL('/health', error.url) : 'https://127.0.0.1:8443/health'} once to check).` : '.');
  }
  if (error instanceof K.HostRefusedError) return 'The service refused this address; use 127.0.0.1 or localhost.';
  if (error instanceof K.NoReaderError) return 'No fingerprint reader is connected.';
  if (error instanceof K.CaptureTimeoutError) return 'No finger was placed in time. Try again.';
  if (error instanceof K.FakeFingerError) return 'The finger was not accepted as real.';
  if (error instanceof K.SessionKeyRefusedError) return 'The service refused the session key; try again.';
  if (error instanceof K.ClientTimeoutError) return 'The service did not answer in time.';
  if (error instanceof K.KestravError) return error.message;
  return String(error);
}

// Pages on this machine (or files) need no permission to reach it.
function isLocalPage() {
  return location.protocol === 'file:' || ['localhost', '127.0.0.1', '[::1]'].includes(location.hostname);
}

function showError(error) {
  const box = $('error');
  if (!error) {
    box.hidden = true;
    box.removeAttribute('data-kind');
    return;
  }
  box.hidden = false;
  box.dataset.kind = error.kind ?? 'other';
  box.textContent = advice(error);
}

function fill(dl, rows) {
  dl.replaceChildren(...rows.flatMap(([term, value]) => {
    const dt = document.createElement('dt');
    const dd = document.createElement('dd');
    dt.textContent = term;
    dd.textContent = value;
    return [dt, dd];
  }));
}

async function showHealth() {
  const h = await client.health();
  $('service').textContent = `Kestrav ${h.version} at ${client.baseUrl}`;
  $('readers').textContent = h.readers.length
    ? h.readers.map((r) => `${r.model} (${r.serialNumber})`).join(', ')
    : h.readerError ? `listing failed (ErrorCode ${h.readerError})` : 'none connected';
  $('certificate').textContent = h.certificate === null ? 'none (HTTP)'
    : `${h.certificate.state}${h.certificate.notAfter ? `, expires ${h.certificate.notAfter.toISOString().slice(0, 10)}` : ''}`;
  return h;
}

async function connectService() {
  const param = new URLSearchParams(location.search).get('service') || $('address').value.trim();
  setStatus('searching', 'Looking for the service…');
  client = param ? new K.KestravClient({ baseUrl: param }) : await K.discover();
  if (param) $('address').value = client.baseUrl;
  const h = await showHealth();
  setStatus('ready', h.readers.length ? 'Ready' : 'No reader');
}

async function capture(slot) {
  if (busy) return;
  busy = true;
  showError(null);
  const card = $(`capture${slot + 1}`);
  const img = card.querySelector('img');
  const prompt = card.querySelector('.prompt');
  const seconds = Math.max(1, Number($('timeout').value) || 10);
  const options = {
    timeout: seconds * 1000,
    templateFormat: $('format').value,
    wsqRate: $('wsq').checked ? 0.75 : undefined,
  };
  const started = Date.now();
  card.dataset.state = 'waiting';
  img.hidden = true;
  prompt.hidden = false;
  const tick = () => {
    const left = Math.max(0, seconds - Math.floor((Date.now() - started) / 1000));
    prompt.textContent = `Place your finger on the reader… ${left} s`;
  };
  tick();
  const timer = setInterval(tick, 250);
  setStatus('busy', 'Capturing');
  document.querySelectorAll('button').forEach((b) => { b.disabled = true; });
  try {
    if (!client) await connectService();
    const result = $('encrypted').checked ? await client.captureEncrypted(options) : await client.capture(options);
    if (slots[slot]?.imageUrl) URL.revokeObjectURL(slots[slot].imageUrl);
    slots[slot] = { result, imageUrl: result.bmpObjectUrl() };
    img.src = slots[slot].imageUrl;
    img.alt = `Fingerprint ${slot + 1}`;
    img.hidden = false;
    prompt.hidden = true;
    fill(card.querySelector('.figures'), [
      ['Quality', `${result.quality} / 100`],
      ['NFIQ', result.nfiq === null ? 'n/a' : `${result.nfiq} (1 best, 5 worst)`],
      ['Image', `${result.width} × ${result.height} px, ${result.dpi} dpi`],
      ['WSQ', result.wsqSize === null ? 'not asked for' : `${result.wsqSize.toLocaleString('en')} bytes`],
      ['Template', `${result.templateFormat}, ${result.template.length} bytes${result.encrypted ? ', encrypted' : ''}`],
    ]);
    card.dataset.state = 'done';
    setStatus('ready', 'Ready');
  } catch (error) {
    card.dataset.state = 'failed';
    prompt.textContent = 'Capture failed';
    setStatus('error', 'Error');
    showError(error);
  } finally {
    clearInterval(timer);
    busy = false;
    updateButtons();
  }
}

function updateButtons() {
  document.querySelectorAll('button[data-slot]').forEach((b) => { b.disabled = busy; });
  const plain = slots.every((s) => s && !s.result.encrypted);
  $('match').disabled = busy || !plain;
  if (slots.every((s) => s) && !plain) {
    $('verdict').removeAttribute('data-same');
    $('verdict').textContent = 'Encrypted templates are matched on your server, after decryption.';
  }
}

async function match() {
  if (busy) return;
  busy = true;
  showError(null);
  updateButtons();
  try {
    const m = await client.match(slots[0].result, slots[1].result);
    $('verdict').dataset.same = m.sameFinger ? 'yes' : 'no';
    $('verdict').textContent = m.sameFinger ? 'Same finger' : 'Different fingers';
    $('score').textContent = `Score ${m.score} (same finger from ${m.threshold})`;
  } catch (error) {
    showError(error);
  } finally {
    busy = false;
    updateButtons();
  }
}

document.querySelectorAll('button[data-slot]').forEach((b) => {
  b.addEventListener('click', () => capture(Number(b.dataset.slot)));
});
$('match').addEventListener('click', match);
$('address').addEventListener('change', () => { client = null; connectService().catch(failedToConnect); });

function failedToConnect(error) {
  setStatus('error', 'Service not found');
  showError(error);
}

// A state the tests (and curious developers) can read: the last captures,
// with the session key of an encrypted one.
globalThis.demo = {
  captures: () => slots.map((s) => s && {
    templateBase64: s.result.templateBase64,
    encrypted: s.result.encrypted,
    keyBase64: s.result.sessionKey ? K.toBase64(s.result.sessionKey.key) : null,
  }),
  ready: connectService().catch(failedToConnect),
};
