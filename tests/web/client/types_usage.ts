// Compiled with tsc --noEmit (openapi.test.mjs): the declarations resolve
// through the package's "exports" as a page or a server would import them,
// and they reject plain misuse.
import {
  KestravClient, KestravError, ServiceError, discover, type CaptureResult, type Health,
} from '@kestrav/client';
import { decryptTemplate, readTemplateHeader } from '@kestrav/client/server';

export async function page(signal: AbortSignal): Promise<string> {
  const kv = await discover({ signal });
  const found: 'http' | 'https' = kv.found.scheme;
  const health: Health = await kv.health();
  const capture: CaptureResult = await kv.capture({ timeout: 5000, wsqRate: 0.75, templateFormat: 'ANSI', signal });
  const url: string = capture.bmpObjectUrl();
  const nfiq: number | null = capture.nfiq;
  const { score, sameFinger } = await kv.match(capture, capture.template);
  const enc = await new KestravClient({ baseUrl: 'https://127.0.0.1:8443' }).captureEncrypted();
  const key: Uint8Array = enc.sessionKey.key;
  const header = readTemplateHeader(decryptTemplate(enc.templateBase64, key));
  // The server-made key: the page holds only the wrapped key.
  const fromServer = await kv.captureEncrypted({ sessionKey: { wrapped: 'AAAA' }, reader: 'NX51000020240001' });
  // @ts-expect-error a wrapped-only key has no key bytes
  const none: Uint8Array = fromServer.sessionKey.key;
  // @ts-expect-error only the two documented WSQ rates exist
  await kv.capture({ wsqRate: 1.5 });
  // @ts-expect-error the template format is ISO or ANSI
  await kv.capture({ templateFormat: 'XYZ' });
  // @ts-expect-error a template is text, bytes or a capture
  await kv.match(42, capture);
  return `${found} ${health.readers.length} ${url} ${nfiq} ${score} ${sameFinger} ${header.minutiae} ${none}`;
}

export function explain(error: unknown): string {
  if (error instanceof ServiceError) return `${error.reason} ${error.errorCode}`;
  if (!(error instanceof KestravError)) return 'other';
  switch (error.kind) {
    case 'local-network-denied':
    case 'certificate-not-trusted':
    case 'not-reachable':
    case 'host-refused':
    case 'bad-reply':
    case 'client-timeout':
    case 'service-outdated':
    case 'service':
      return error.kind;
  }
}

export async function live(kv: KestravClient): Promise<number> {
  const watch = kv.watch({ onReaders: ({ readers }) => readers.map((r) => r.serialNumber) });
  await watch.opened;
  let frames = 0;
  await kv.capture({
    onProgress: (e) => {
      if (e.event === 'Frame') frames += e.previewBmp.length + e.quality;
      if (e.event === 'Finger') frames += e.present ? 1 : 0;
      // @ts-expect-error guidance values are the documented ones
      if (e.event === 'Frame' && e.guidance === 'Wiggle') frames = 0;
    },
  });
  watch.close();
  return frames;
}
