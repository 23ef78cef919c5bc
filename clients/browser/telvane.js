// Telvane web desk client: one ES module, no dependencies, for browsers (and any runtime with a
// standard WebSocket). It logs in to the relay's GET /events WebSocket, re-connects with a growing
// delay when the link drops, and logs in again with the subscriptions in force then (those of the
// login plus every change since), so a desk application never re-subscribes by hand.
//
//   import { TelvaneDesk } from './telvane.js';
//   const desk = new TelvaneDesk('ws://relay:8080/events', { app: 'crm', code: '...', queues: [10004] });
//   desk.addEventListener('frame', (e) => console.log(e.detail.key, e.detail.fields));
//   desk.connect();
//   desk.change({ queues: { 10005: true, 10004: false } });
//
// Events (CustomEvent, the message in detail): open, ready, frame, snapshot, exchange, dropped,
// desks, error (the relay's {"error"}), close ({ code, reason, willRetry }).
// A refused login (wrong code, bad list) is not retried: the relay would refuse it again.
//
// The lists of the login and every change are checked before anything is sent, with the Node
// library's own code (wire.js): a change value other than true or false would reach the relay as
// "off", so it throws (TypeError, RangeError naming the entry) instead. Numbers are checked
// against options.ranges ({ queueFirst, extensionFirst, parkingFirst }) when given: a page does
// not otherwise know the relay's [KEYS]. A 'frame' detail also carries pairs: the frame's
// [key, value] lines in order, repeated keys included, as the Node library parses them.

import * as wireModule from './wire.js';

// wire.js is one file for both libraries and has no export statement: in a browser it leaves its
// functions in globalThis.TelvaneWire; where it loads as CommonJS (Node) they are its default.
const wire = wireModule.default ?? globalThis.TelvaneWire;

/** The frame's lines as ordered [key, value] pairs; Windows-1252 to bytes and back. */
export const { parseFields, encode: encodeWindows1252, decode: decodeWindows1252, CLASSIC_RANGES } = wire;

const FAMILIES = ['queues', 'extensions', 'parks'];
const KINDS = ['ready', 'snapshot', 'exchange', 'dropped', 'desks', 'error'];

export class TelvaneDesk extends EventTarget {
  constructor(url, login, {
    minDelayMs = 1000, maxDelayMs = 30000, WebSocketImpl = globalThis.WebSocket, ranges = null,
  } = {}) {
    super();
    this.url = url;
    this.app = login.app ?? '';
    this.code = login.code ?? '';
    this.ranges = ranges;
    this.subscriptions = {};
    for (const f of FAMILIES) this.subscriptions[f] = new Set(wire.checkWebList(f, login[f] ?? [], ranges).map(String));
    this.minDelayMs = minDelayMs;
    this.maxDelayMs = maxDelayMs;
    this.WebSocketImpl = WebSocketImpl;
    this.delayMs = minDelayMs;
    this.socket = null;
    this.running = false;   // logged in on the current socket
    this.stopped = true;    // close() was called, or a login was refused
    this.timer = null;
  }

  connect() {
    this.stopped = false;
    this.#open();
  }

  close() {
    this.stopped = true;
    clearTimeout(this.timer);
    if (this.socket) this.socket.close(1000);
  }

  // { queues: { "10004": true, ... }, extensions: {...}, parks: {...} }: kept for re-connection,
  // and sent at once when logged in. Throws before anything changes when an entry is bad.
  change(changes) {
    const message = wire.checkWebChanges(changes, this.ranges);
    for (const [f, entries] of Object.entries(message)) {
      for (const [key, on] of Object.entries(entries)) {
        if (on) this.subscriptions[f].add(key);
        else this.subscriptions[f].delete(key);
      }
    }
    if (this.running) this.socket.send(JSON.stringify(message));
  }

  #loginMessage() {
    const login = { app: this.app, code: this.code };
    for (const f of FAMILIES) login[f] = [...this.subscriptions[f]].map((k) => (/^\d+$/.test(k) ? Number(k) : k));
    return JSON.stringify(login);
  }

  #open() {
    const socket = new this.WebSocketImpl(this.url);
    this.socket = socket;
    this.running = false;
    socket.onopen = () => {
      this.#emit('open', {});
      socket.send(this.#loginMessage());
    };
    socket.onmessage = (event) => this.#receive(event.data);
    socket.onclose = (event) => {
      if (this.socket !== socket) return;
      this.running = false;
      const willRetry = !this.stopped;
      this.#emit('close', { code: event.code, reason: event.reason, willRetry });
      if (willRetry) {
        this.timer = setTimeout(() => this.#open(), this.delayMs);
        this.delayMs = Math.min(this.delayMs * 2, this.maxDelayMs);
      }
    };
    socket.onerror = () => {};  // the close that follows says it
  }

  #receive(text) {
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      return;
    }
    if ('family' in message) {
      if (typeof message.frame === 'string') message.pairs = parseFields(message.frame);
      return this.#emit('frame', message);
    }
    for (const kind of KINDS) {
      if (!(kind in message)) continue;
      if (kind === 'ready') {
        this.running = true;
        this.delayMs = this.minDelayMs;
      }
      // Refused before the login went through: trying again would be refused again.
      if (kind === 'error' && !this.running) this.stopped = true;
      return this.#emit(kind, kind === 'ready' ? message : message[kind]);
    }
  }

  #emit(type, detail) {
    this.dispatchEvent(new CustomEvent(type, { detail }));
  }
}
