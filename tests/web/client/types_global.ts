// A plain-script page's code (no imports): window.Kestrav is typed through
// the client's global declarations.
/// <reference path="../node_modules/@kestrav/client/kestrav.d.ts" />

async function plainPage(): Promise<string> {
  const kv = await window.Kestrav.discover();
  const c = await kv.capture({ reader: kv.found.health.readers[0], retryWhileBusy: 5000 });
  const m = await kv.match(c, c, { fmr: 0.0001 });
  // @ts-expect-error threshold and fmr exclude each other
  await kv.match(c, c, { fmr: 0.01, threshold: 10 });
  return `${m.threshold} ${Kestrav.thresholdForFmr(0.001)} ${Kestrav.MATCH_THRESHOLDS[1].score}`;
}
void plainPage;
