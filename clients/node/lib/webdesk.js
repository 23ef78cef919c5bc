'use strict';
// A web desk: the relay's WebSocket protocol (GET /events, JSON) with reconnection and
// re-subscription, the counterpart of Client for the client port. See docs/client-protocol.md,
// section 15.
//
//   const desk = webDesk({ url: 'ws://relay:8080/events', code: '...', app: 'crm', queues: [10004] });
//   desk.on('frame', (m) => ...);   // { family, key, frame, fields, state? }
//   desk.change({ queues: { 10005: true } });
//
// Events: 'ready', 'frame', 'snapshot', 'exchange', 'dropped', 'desks', 'refused' (the relay's
// {"error"}), 'disconnect' (a link lost; another is tried after a growing delay), 'close' (last).
// A refused login ends the desk: the relay would refuse it again.
// Lists and changes are checked before anything is sent (wire.js, as in the browser module): a
// change value other than true or false would otherwise be read as "off". Numbers are checked
// against options.ranges when given; the relay's ranges are not known here otherwise.

const { EventEmitter } = require('node:events');
const { WebSocketClient } = require('./websocket');
const wire = require('./wire');

const FAMILIES = ['queues', 'extensions', 'parks'];
const NOTICES = ['snapshot', 'exchange', 'dropped', 'desks'];

class WebDesk extends EventEmitter {
  constructor(options) {
    super();
    if (!options || !options.url) throw new TypeError('webDesk() needs a url');
    this.url = options.url;
    this.app = options.app || '';
    this.code = options.code || '';
    this.ca = options.ca;
    this.minDelayMs = options.minDelayMs || 1000;
    this.maxDelayMs = options.maxDelayMs || 30000;
    this.delayMs = this.minDelayMs;
    this.ranges = options.ranges || null;
    this.subscriptions = {};
    for (const f of FAMILIES) {
      this.subscriptions[f] = new Set(wire.checkWebList(f, options[f] || [], this.ranges).map(String));
    }
    this.running = false;
    this.ended = false;
    this.#open();
  }

  /** Resolves at the next 'ready'. */
  ready() {
    return this.running ? Promise.resolve() : new Promise((resolve) => this.once('ready', resolve));
  }

  /** { queues: { 10005: true }, extensions: {...}, parks: {...} }; throws before anything
   * changes when an entry is bad. */
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

  close() {
    if (this.ended) return;
    this.ended = true;
    clearTimeout(this.timer);
    this.socket.close();
  }

  #login() {
    const login = { app: this.app, code: this.code };
    for (const f of FAMILIES) login[f] = [...this.subscriptions[f]].map((k) => (/^\d+$/.test(k) ? Number(k) : k));
    return JSON.stringify(login);
  }

  #open() {
    const socket = new WebSocketClient(this.url, { ca: this.ca });
    this.socket = socket;
    socket.on('open', () => socket.send(this.#login()));
    socket.on('message', (text) => this.#receive(text));
    socket.on('close', (code, reason) => {
      const wasRunning = this.running;
      this.running = false;
      if (this.ended) return this.emit('close');
      this.emit('disconnect', { code, reason, wasRunning });
      this.timer = setTimeout(() => this.#open(), this.delayMs);
      this.delayMs = Math.min(this.delayMs * 2, this.maxDelayMs);
    });
  }

  #receive(text) {
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      return;
    }
    if ('family' in message) return this.emit('frame', message);
    if ('ready' in message) {
      this.running = true;
      this.delayMs = this.minDelayMs;
      return this.emit('ready');
    }
    if ('error' in message) {
      if (!this.running) this.ended = true;
      return this.emit('refused', message.error);
    }
    for (const kind of NOTICES) if (kind in message) return this.emit(kind, message[kind]);
  }
}

function webDesk(options) { return new WebDesk(options); }

module.exports = { WebDesk, webDesk };
