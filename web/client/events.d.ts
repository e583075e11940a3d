// Types of the /events part of the Kestrav web client (events.js).
// docs/events.md describes the messages these are read from.

/** Advice for the user, from the frame itself. */
export type Guidance =
  | 'NoFinger' | 'TooLight' | 'TooDark' | 'MoveUp' | 'MoveDown' | 'MoveLeft' | 'MoveRight' | 'Hold' | 'Good';

export declare const GUIDANCE_TEXT: Readonly<Record<Guidance, string>>;
/** ws(s)://host:port/events for a client's base URL. */
export declare function eventsUrl(baseUrl: string): string;

export interface ReaderList {
  /** 0, or the SDK's code when the readers could not be listed. */
  readerError: number;
  readers: Array<{ model: string; serialNumber: string }>;
}

export type ServiceEvent =
  | ({ event: 'Readers' } & ReaderList)
  | { event: 'CaptureStarted' }
  | { event: 'FingerNeeded' }
  /** The reader reports a finger put on or lifted (readers that can tell). */
  | { event: 'Finger'; present: boolean }
  | FrameEvent
  | { event: 'Captured' }
  /** A command the service could not take. */
  | { event: 'Error'; errorCode: number; message: string };

/** A preview while the finger is placed (at least 5 a second from readers that deliver images). */
export interface FrameEvent {
  event: 'Frame';
  /** 0-100. */
  quality: number;
  guidance: Guidance;
  /** GUIDANCE_TEXT[guidance]. */
  guidanceText: string;
  /** At most 200 px on the longer side. */
  previewWidth: number;
  previewHeight: number;
  /** An 8-bit grey BMP file. */
  previewBmp: Uint8Array;
}

/** What capture({ onProgress }) reports before its result. */
export type CaptureProgress = Exclude<ServiceEvent, { event: 'Readers' | 'Captured' | 'Error' }>;

export interface WatchOptions {
  onReaders?: (list: ReaderList) => void;
  onEvent?: (event: ServiceEvent) => void;
  onClose?: () => void;
  /** A WebSocket class where the runtime has none (Node.js 20 without --experimental-websocket). */
  WebSocket?: typeof WebSocket;
}

export interface Watch {
  /** Resolves once the socket is open; rejects when it cannot open. */
  opened: Promise<void>;
  close(): void;
}

export interface ProgressOptions {
  /** Run the capture over /events and report its progress here. */
  onProgress?: (event: CaptureProgress) => void;
  WebSocket?: typeof WebSocket;
}
