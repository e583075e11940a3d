// The demo page: everything goes through the client (../client/kestrav.js,
// loaded as a plain script so that the page also works from file://).
// Nothing is sent to the service before the user presses a button: on a
// public site the browser's local-network question must answer a click.
// ?service=URL names the service; without it the page probes the default ports.
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
  if (error instanceof K.NotReachableError && error.permission === 'prompt') {
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
  if (error instanceof K.ReaderNotAttachedError) return 'The chosen reader is not connected any more; press Find and pick another.';
  if (error instanceof K.ReaderBusyError) return 'The reader is busy with another page or tab. Try again when it is done.';
  if (error instanceof K.CaptureTimeoutError) return 'No finger was placed in time. Try again.';
  if (error instanceof K.FakeFingerError) return 'The finger was not accepted as real.';
  if (error instanceof K.SessionKeyRefusedError) return 'The service refused the session key; try again.';
  if (error instanceof K.BadTemplateError && error.errorCode === K.ErrorCode.BAD_TEMPLATE) {
    return 'The service could not read one of the templates (a damaged record, or one of the other format).';
  }
  if (error instanceof K.ClientTimeoutError) return 'The service did not answer in time.';
  if (error instanceof K.KestravError || error instanceof TypeError || error instanceof RangeError) return error.message;
  return String(error);
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

// The Address field as a service URL: "localhost:8000" means http.
function addressUrl(text) {
  const url = /^[a-z][a-z0-9+.-]*:\/\//i.test(text) ? text : `http://${text}`;
  try {
    return new URL(url).origin;
  } catch {
    throw new TypeError(`"${text}" is not a service address; write it like 127.0.0.1:8000 or https://127.0.0.1:8443`);
  }
}

function showReaders(h) {
  $('readers').textContent = h.readers.length
    ? h.readers.map((r) => `${r.model} (${r.serialNumber})`).join(', ')
    : h.readerError ? `listing failed (ErrorCode ${h.readerError})` : 'none connected';
  const picker = $('reader');
  const chosen = picker.value;
  picker.replaceChildren(new Option('first attached', ''),
    ...h.readers.map((r) => new Option(`${r.model} ${r.serialNumber}`, r.serialNumber)));
  if (h.readers.some((r) => r.serialNumber === chosen)) picker.value = chosen;
}

async function showHealth() {
  const h = await client.health();
  $('service').textContent = `Kestrav ${h.version} at ${client.baseUrl}` + (h.outdated ? ` (older than this page needs: ${K.SERVICE_VERSION_NEEDED})` : '');
  showReaders(h);
  $('certificate').textContent = h.certificate === null ? 'none (HTTP)'
    : `${h.certificate.state}${h.certificate.notAfter ? `, expires ${h.certificate.notAfter.toISOString().slice(0, 10)}` : ''}`;
  return h;
}

async function connectService() {
  const param = $('address').value.trim() || new URLSearchParams(location.search).get('service');
  setStatus('searching', 'Looking for the service…');
  client = null;
  const found = param ? new K.KestravClient({ baseUrl: addressUrl(param) }) : await K.discover();
  client = found;
  $('address').value = client.baseUrl;
  const h = await showHealth();
  setStatus('ready', h.readers.length ? 'Ready' : 'No reader');
}

// Runs one user action with the buttons held; its failure goes to the error box.
async function act(work, onError) {
  if (busy) return;
  busy = true;
  showError(null);
  updateButtons();
  try {
    await work();
  } catch (error) {
    onError?.(error);
    if (!client) setStatus('error', 'Service not found');
    showError(error);
  } finally {
    busy = false;
    updateButtons();
  }
}

function connect() {
  return act(connectService, () => setStatus('error', 'Service not found'));
}

function capture(slot) {
  const card = $(`capture${slot + 1}`);
  const img = card.querySelector('img');
  const prompt = card.querySelector('.prompt');
  let timer;
  return act(async () => {
    if (!client) await connectService();
    const seconds = Math.max(1, Number($('timeout').value) || 10);
    const options = {
      timeout: seconds * 1000,
      templateFormat: $('format').value,
      wsqRate: $('wsq').checked ? 0.75 : undefined,
      reader: $('reader').value || undefined,
      retryWhileBusy: 2000,
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
    timer = setInterval(tick, 250);
    setStatus('busy', 'Capturing');
    const result = $('encrypted').checked ? await client.captureEncrypted(options) : await client.capture(options);
    clearInterval(timer);
    if (slots[slot]?.imageUrl) URL.revokeObjectURL(slots[slot].imageUrl);
    slots[slot] = { result, imageUrl: result.bmpObjectUrl() };
    img.src = slots[slot].imageUrl;
    img.alt = `Fingerprint ${slot + 1}`;
    img.hidden = false;
    prompt.hidden = true;
    fill(card.querySelector('.figures'), [
      ['Reader', result.serialNumber],
      ['Quality', `${result.quality} / 100`],
      ['NFIQ', result.nfiq === null ? 'n/a' : `${result.nfiq} (1 best, 5 worst)`],
      ['Image', `${result.width} × ${result.height} px, ${result.dpi} dpi`],
      ['WSQ', result.wsqSize === null ? 'not asked for' : `${result.wsqSize.toLocaleString('en')} bytes`],
      ['Template', `${result.templateFormat}, ${result.template.length} bytes${result.encrypted ? ', encrypted' : ''}`],
    ]);
    card.dataset.state = 'done';
    // A new print: the last verdict no longer applies.
    $('verdict').removeAttribute('data-same');
    $('verdict').textContent = 'Capture two prints, then match them.';
    $('score').textContent = '';
    setStatus('ready', 'Ready');
  }, () => {
    clearInterval(timer);
    card.dataset.state = 'failed';
    prompt.hidden = false;
    prompt.textContent = 'Capture failed';
    if (client) setStatus('error', 'Error');
  });
}

function updateButtons() {
  document.querySelectorAll('button').forEach((b) => { b.disabled = busy; });
  const plain = slots.every((s) => s && !s.result.encrypted);
  $('match').disabled = busy || !plain;
  if (slots.every((s) => s) && !plain) {
    $('verdict').removeAttribute('data-same');
    $('verdict').textContent = 'Encrypted templates are matched on your server, after decryption.';
    $('score').textContent = '';
  }
}

function match() {
  return act(async () => {
    const m = await client.match(slots[0].result, slots[1].result);
    $('verdict').dataset.same = m.sameFinger ? 'yes' : 'no';
    $('verdict').textContent = m.sameFinger ? 'Same finger' : 'Different fingers';
    $('score').textContent = `Score ${m.score} (same finger from ${m.threshold})`;
  });
}

document.querySelectorAll('button[data-slot]').forEach((b) => {
  b.addEventListener('click', () => capture(Number(b.dataset.slot)));
});
$('match').addEventListener('click', match);
$('connect').addEventListener('click', connect);
$('address').addEventListener('change', () => { client = null; });
$('address').value = new URLSearchParams(location.search).get('service') ?? '';
updateButtons();

// A state the tests (and curious developers) can read: the last captures,
// with the session key of an encrypted one.
globalThis.demo = {
  captures: () => slots.map((s) => s && {
    templateBase64: s.result.templateBase64,
    encrypted: s.result.encrypted,
    serialNumber: s.result.serialNumber,
    keyBase64: s.result.sessionKey ? K.toBase64(s.result.sessionKey.key) : null,
  }),
};
