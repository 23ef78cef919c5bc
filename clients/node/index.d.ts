// Type declarations of the telvane package (lib/index.js and lib/index.mjs export the same
// objects). Checked by `tsc --noEmit` over test/types in the package's test command.

/// <reference types="node" />

import { EventEmitter } from 'node:events';

// ---- Protocol -----------------------------------------------------------------------------------

/** The relay's first number per family; it serves 1,000 queues, 10,000 extensions, 100 slots. */
export interface KeyRanges {
  readonly queueFirst: number;
  readonly extensionFirst: number;
  readonly parkingFirst: number;
}

/** Queues 10001-11000, extensions 20001-30000, parking 701-800. */
export const CLASSIC_RANGES: Readonly<KeyRanges>;

/** The access code a relay expects unless [PROXY] ACCESSCODE says otherwise. */
export const ACCESS_CODE: string;

export type Family = 'queue' | 'extension' | 'parking';

/** On (true, 1) or off (false, 0). Any other value is refused before anything is sent. */
export type On = boolean | 0 | 1;

/**
 * Changes of one family: { 10001: true }, a Map or an array of [number, on] pairs. An object's
 * keys must be numbers written in plain decimal.
 */
export type Changes = Readonly<Record<number, On>> | ReadonlyMap<number, On> | ReadonlyArray<readonly [number, On]>;

/** One event as the relay sent it. */
export class Frame {
  constructor(raw: Buffer);
  /** The event's bytes as received, each line ended by CR LF. */
  readonly raw: Buffer;
  /** Ordered [key, value] pairs of the decoded lines; a key may repeat. */
  readonly fields: Array<[string, string]>;
  /** The event decoded from Windows-1252. */
  readonly text: string;
  /** The value of its Event line. */
  readonly event: string | undefined;
  get(key: string): string | undefined;
  get<T>(key: string, fallback: T): string | T;
  getAll(key: string): string[];
}

/** Stands in the splitter's output where "Server is going down!" came. */
export interface GoingDownNotice {
  readonly goingDown: true;
}

/** Cuts the running connection's bytes into frames and the stop notice. */
export class FrameSplitter {
  constructor(maxFrameBytes?: number);
  /** The complete frames of what came so far; ProtocolError when a frame passes the bound. */
  feed(chunk: Buffer): Array<Frame | GoingDownNotice>;
  /** Bytes of an unfinished frame. */
  pending(): number;
}

export interface HandshakeStep {
  readonly name: 'greeting' | 'MyAppID' | 'MyAppToken' | 'GetQueueInfo' | 'GetPeerInfo' | 'GetFeatureParkInfo';
  /** The step's one write. */
  readonly message: Buffer;
  /** The text that answers it. */
  readonly prompt: Buffer;
}

export function handshakeSteps(options: {
  appId: string;
  queues?: Iterable<number>;
  extensions?: Iterable<number>;
  parking?: Iterable<number>;
  accessCode?: string;
  ranges?: KeyRanges;
}): HandshakeStep[];

/** [[number, on], ...] sorted, each entry checked; TypeError or RangeError naming a bad one. */
export function checkChanges(family: Family, changes: Changes, ranges?: KeyRanges): Array<[number, boolean]>;

/** The command writes for the changes, at most 1,000 entries each; checked as checkChanges. */
export function changeCommands(family: Family, changes: Changes, ranges?: KeyRanges): Buffer[];

/** Windows-1252, the relay's code page. */
export const cp1252: {
  decode(bytes: Uint8Array): string;
  /** RangeError for a character outside the code page. */
  encode(text: string): Buffer;
};

// ---- Errors -------------------------------------------------------------------------------------

/** Base of every error of the library. */
export class TelvaneError extends Error {
  constructor(message?: string);
}

/** The TCP connection or the TLS handshake failed. */
export class ConnectError extends TelvaneError {}

/** A handshake step got no prompt within its timeout: the relay ignores a rejected step. */
export class HandshakeRejected extends TelvaneError {
  constructor(step: string, prompt: string, timeoutMs: number);
  readonly step: string;
  readonly prompt: string;
  readonly timeoutMs: number;
}

/** The relay sent "Server is going down!": it is stopping or restarting, or its port was stopped. */
export class ServerGoingDown extends TelvaneError {
  constructor(during?: string);
  readonly during: string;
}

/** The relay closed the connection, or it broke. */
export class ConnectionClosed extends TelvaneError {
  constructor(during: string, reason?: string, slowReader?: boolean);
  /** The handshake step, or 'running'. */
  readonly during: string;
  readonly reason: string;
  /** The application had fallen behind and the client had stopped reading. */
  readonly slowReader: boolean;
}

/** The relay sent something no frame can be. */
export class ProtocolError extends TelvaneError {}

/** The client was closed by the application. */
export class ClientClosed extends TelvaneError {}

// ---- The client port ----------------------------------------------------------------------------

export interface ConnectOptions {
  host: string;
  port: number;
  appId: string;
  queues?: Iterable<number>;
  extensions?: Iterable<number>;
  parking?: Iterable<number>;
  /** TLS to the relay's TLS port; the certificate is checked against caFile or Node's store. */
  tls?: boolean;
  caFile?: string;
  /** The name the certificate must carry (default: host, when it is a name). */
  servername?: string;
  /** Milliseconds each handshake step may wait for its prompt (default 5000). */
  stepTimeout?: number;
  connectTimeout?: number;
  /** Renew a lost link (default true). */
  reconnect?: boolean;
  /** Back-off in milliseconds (default { initial: 500, max: 30000 }). */
  backoff?: { initial?: number; max?: number };
  /** Attempts per loss (default Infinity). */
  maxRetries?: number;
  accessCode?: string;
  /** The relay's key ranges (default CLASSIC_RANGES). */
  ranges?: KeyRanges;
}

export interface Subscriptions {
  queue: number[];
  extension: number[];
  parking: number[];
}

export interface ClientEvents {
  ready: [info: { reconnects: number }];
  frame: [frame: Frame];
  lost: [error: TelvaneError];
  reconnecting: [info: { attempt: number; delay: number; error: TelvaneError }];
  retry: [error: TelvaneError];
  error: [error: TelvaneError];
  close: [error: TelvaneError | null];
}

/** Frames as an async iterator, holding at most highWaterMark not yet pulled. */
export class FrameIterator implements AsyncIterableIterator<Frame> {
  private constructor();
  /** True while highWaterMark frames or more wait; the client does not read then. */
  readonly full: boolean;
  next(): Promise<IteratorResult<Frame, undefined>>;
  return(): Promise<IteratorResult<Frame, undefined>>;
  [Symbol.asyncIterator](): FrameIterator;
}

export class Client extends EventEmitter implements AsyncIterable<Frame> {
  constructor(options: ConnectOptions);
  /** Links renewed since connect(). */
  readonly reconnects: number;
  /** The numbers last asked for. */
  readonly subscriptions: Subscriptions;
  /** Resolves once the first handshake is through. */
  ready(): Promise<this>;
  changeQueues(changes: Changes): void;
  changeExtensions(changes: Changes): void;
  changeParking(changes: Changes): void;
  frames(options?: { highWaterMark?: number }): FrameIterator;
  [Symbol.asyncIterator](): FrameIterator;
  close(): void;

  on<E extends keyof ClientEvents>(event: E, listener: (...args: ClientEvents[E]) => void): this;
  once<E extends keyof ClientEvents>(event: E, listener: (...args: ClientEvents[E]) => void): this;
  off<E extends keyof ClientEvents>(event: E, listener: (...args: ClientEvents[E]) => void): this;
  emit<E extends keyof ClientEvents>(event: E, ...args: ClientEvents[E]): boolean;
}

export function connect(options: ConnectOptions): Client;

// ---- Web desks ----------------------------------------------------------------------------------

/** A queue may be a number or a name of the relay's [QUEUENAMES]. */
export type WebKey = number | string;

export interface WebChanges {
  queues?: Readonly<Record<string, On>>;
  extensions?: Readonly<Record<string, On>>;
  parks?: Readonly<Record<string, On>>;
}

export interface WebDeskOptions {
  url: string;
  code?: string;
  app?: string;
  queues?: Iterable<WebKey>;
  extensions?: Iterable<number | string>;
  parks?: Iterable<number | string>;
  /** PEM of the CA for wss:. */
  ca?: string | Buffer;
  minDelayMs?: number;
  maxDelayMs?: number;
  /** When given, numbers are checked against them. */
  ranges?: KeyRanges;
}

export interface WebFrame {
  family: Family;
  key: number;
  /** The frame's exact text, its two empty lines included. */
  frame: string;
  /** Each Name: value line; the first wins when a name repeats. */
  fields: Record<string, string>;
  /** Extension frames: the extension's state after this event. */
  state?: string;
}

export interface WebDeskEvents {
  ready: [];
  frame: [message: WebFrame];
  snapshot: [snapshot: { now: number; queues?: Record<string, unknown[]>; extensions?: Record<string, string> }];
  exchange: [state: 'up' | 'down'];
  dropped: [info: { family: null; key: null; count: number }];
  desks: [counts: { tcp: number; web: number }];
  refused: [why: string];
  disconnect: [info: { code: number; reason: string; wasRunning: boolean }];
  close: [];
}

export class WebDesk extends EventEmitter {
  constructor(options: WebDeskOptions);
  readonly url: string;
  readonly running: boolean;
  readonly ended: boolean;
  readonly subscriptions: { queues: Set<string>; extensions: Set<string>; parks: Set<string> };
  /** Resolves at the next 'ready'. */
  ready(): Promise<void>;
  /** Throws before anything changes when an entry is bad. */
  change(changes: WebChanges): void;
  close(): void;

  on<E extends keyof WebDeskEvents>(event: E, listener: (...args: WebDeskEvents[E]) => void): this;
  once<E extends keyof WebDeskEvents>(event: E, listener: (...args: WebDeskEvents[E]) => void): this;
  off<E extends keyof WebDeskEvents>(event: E, listener: (...args: WebDeskEvents[E]) => void): this;
}

export function webDesk(options: WebDeskOptions): WebDesk;

export interface WebSocketClientEvents {
  open: [];
  message: [text: string];
  close: [code: number, reason: string];
}

/** A minimal WebSocket client (text messages only). */
export class WebSocketClient extends EventEmitter {
  constructor(url: string, options?: { maxMessageBytes?: number; headers?: Record<string, string>; ca?: string | Buffer });
  send(text: string): void;
  close(code?: number): void;

  on<E extends keyof WebSocketClientEvents>(event: E, listener: (...args: WebSocketClientEvents[E]) => void): this;
  once<E extends keyof WebSocketClientEvents>(event: E, listener: (...args: WebSocketClientEvents[E]) => void): this;
}
