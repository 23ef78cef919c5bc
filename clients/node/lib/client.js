'use strict';
// A connection to the relay's client port that stays up by itself.
//
// Everything runs on Node's event loop; there is one link (socket through its
// handshake) at a time. States:
//
//   CONNECTING --handshake through--> RUNNING --lost (closed, broken, stop notice)--> WAITING
//       ^                                                                               |
//       +------------------------------ back-off timer ---------------------------------+
//   the first attempt failing, a loss without reconnect, or maxRetries failed attempts
//   --> ENDED ('error', then 'close');  close() --> ENDED ('close')
//
// Invariants:
// - Commands leave one write each, at least COMMAND_GAP_MS apart, because the
//   relay acts only on the first command of a read.
// - The subscriptions held here follow every change command, so a new link's
//   handshake asks for what the application last asked for; commands still
//   queued when a link is lost are dropped, since the handshake carries them.
// - After close() or the end no event other than the one 'close' is emitted.
// - The socket is read only while no frame iterator (frames.js) is full: a
//   consumer that does not pull makes the frames wait in the relay, not here.

const { EventEmitter } = require('node:events');
const protocol = require('./protocol');
const { openLink } = require('./link');
const { FrameIterator } = require('./frames');
const { ClientClosed, ConnectionClosed, ServerGoingDown } = require('./errors');

const COMMAND_GAP_MS = 100;

function settingsFrom(options) {
  if (!options || !options.host || !options.port) throw new TypeError('connect() needs host and port');
  return {
    host: options.host,
    port: options.port,
    appId: options.appId,
    accessCode: options.accessCode || protocol.ACCESS_CODE,
    tls: Boolean(options.tls),
    caFile: options.caFile,
    servername: options.servername,
    stepTimeout: options.stepTimeout || 5000,
    connectTimeout: options.connectTimeout || 10000,
    reconnect: options.reconnect !== false,
    backoff: { initial: 500, max: 30000, ...options.backoff },
    maxRetries: options.maxRetries === undefined ? Infinity : options.maxRetries,
    ranges: options.ranges || protocol.CLASSIC_RANGES,
  };
}

class Client extends EventEmitter {
  constructor(options) {
    super();
    this._settings = settingsFrom(options);
    this._subs = {
      queue: new Set(options.queues || []),
      extension: new Set(options.extensions || []),
      parking: new Set(options.parking || []),
    };
    // Checks the name and lists now, so that a mistake throws here and not later.
    protocol.handshakeSteps({ appId: this._settings.appId, ranges: this._settings.ranges, ...this._lists() });
    this._socket = null;        // the running link's socket, else null
    this._commands = [];        // command writes not yet sent, in order
    this._lastCommand = 0;      // Date.now() of the last command write
    this._timer = null;         // the command pump's or the back-off's timer
    this._ended = false;
    this._everReady = false;
    this._readyWaiters = [];
    this._iterators = new Set(); // open FrameIterators
    this._paused = false;       // the running link's socket is paused for a full iterator
    this._stalled = false;      // the running link's reading has waited for the application
    this.reconnects = 0;        // links renewed since connect()
    this._attempt(0);
  }

  /** Resolves once the first handshake is through; rejects if the client ends before. */
  ready() {
    if (this._everReady) return Promise.resolve(this);
    if (this._ended) return Promise.reject(this._endError || new ClientClosed());
    return new Promise((resolve, reject) => this._readyWaiters.push({ resolve, reject }));
  }

  /** Switches queues on (true) or off (false): { 10001: true, 10002: false }. */
  changeQueues(changes) { this._change('queue', changes); }

  /** Switches extensions on or off: { 20001: true }. */
  changeExtensions(changes) { this._change('extension', changes); }

  /** Switches parking slots on or off: { 701: true }. */
  changeParking(changes) { this._change('parking', changes); }

  /** { queue, extension, parking }: arrays of the numbers last asked for. */
  get subscriptions() {
    const lists = this._lists();
    return { queue: lists.queues, extension: lists.extensions, parking: lists.parking };
  }

  /**
   * An async iterator of the frames that arrive from now on, beside the 'frame' events; it holds
   * at most highWaterMark frames not yet pulled, and while it is full the socket is not read
   * (see frames.js). It ends after close(), and throws the error that ended the client.
   */
  frames({ highWaterMark } = {}) {
    const iterator = new FrameIterator(this, highWaterMark);
    if (this._ended) iterator._finish(this._endError || null);
    else this._iterators.add(iterator);
    return iterator;
  }

  [Symbol.asyncIterator]() { return this.frames(); }

  /** Ends the client: the link is closed and 'close' is emitted. */
  close() {
    this._end(null);
  }

  _lists() {
    const sorted = (set) => [...set].sort((a, b) => a - b);
    return { queues: sorted(this._subs.queue), extensions: sorted(this._subs.extension), parking: sorted(this._subs.parking) };
  }

  _change(family, changes) {
    if (this._ended) throw new ClientClosed();
    // Checks every entry before anything changes: one bad entry, and nothing is sent.
    const checked = protocol.checkChanges(family, changes, this._settings.ranges);
    const commands = protocol.changeCommands(family, checked, this._settings.ranges);
    for (const [number, on] of checked) {
      if (on) this._subs[family].add(number);
      else this._subs[family].delete(number);
    }
    this._commands.push(...commands);
    this._pump();
  }

  // ---- links --------------------------------------------------------------

  /** Opens a link; attempt 0 is the first, whose failure ends the client. */
  _attempt(attempt) {
    this._commands = []; // the handshake carries the subscriptions
    openLink(this._settings, this._lists()).then(({ socket, rest }) => {
      if (this._ended) {
        socket.destroy();
        return;
      }
      if (attempt > 0) this.reconnects += 1;
      this._attach(socket, rest);
    }, (err) => {
      if (this._ended) return;
      if (attempt === 0) {
        this._end(err);
        return;
      }
      this.emit('retry', err);
      this._wait(attempt + 1, err);
    });
  }

  _attach(socket, rest) {
    this._socket = socket;
    const splitter = new protocol.FrameSplitter();
    const onData = (chunk) => {
      let items;
      try {
        items = splitter.feed(chunk);
      } catch (err) {
        this._lost(err);
        return;
      }
      for (const item of items) {
        if (this._socket !== socket) return;
        if (item === protocol.GOING_DOWN_NOTICE) {
          this._lost(new ServerGoingDown());
        } else {
          this.emit('frame', item);
          for (const iterator of this._iterators) iterator._push(item);
        }
      }
      this._flow();
    };
    socket.on('data', onData);
    // The relay cuts off only a desk that does not read: name that case only when it was ours.
    socket.on('error', (err) => this._lost(
      new ConnectionClosed('running', `broken: ${err.message}`, this._stalled), socket));
    socket.on('close', () => this._lost(new ConnectionClosed('running', undefined, this._stalled), socket));
    this._everReady = true;
    this.emit('ready', { reconnects: this.reconnects });
    for (const waiter of this._readyWaiters.splice(0)) waiter.resolve(this);
    if (this._socket !== socket) return;
    this._paused = true; // as openLink hands it over
    this._stalled = false;
    if (rest.length) onData(rest);
    else this._flow();
    this._pump();
  }

  /** Reads the socket while no iterator is full, and stops reading while one is. */
  _flow() {
    if (!this._socket) return;
    let full = false;
    for (const iterator of this._iterators) full = full || iterator.full;
    if (full && !this._paused) {
      this._socket.pause();
      this._stalled = true;
    }
    if (!full && this._paused) this._socket.resume();
    this._paused = full;
  }

  /** The running link is gone: renew it or end. */
  _lost(err, socket = this._socket) {
    if (this._ended || !socket || socket !== this._socket) return;
    this._socket = null;
    this._paused = false;
    socket.destroy();
    clearTimeout(this._timer);
    this._timer = null;
    this.emit('lost', err);
    if (this._ended) return;
    if (!this._settings.reconnect) this._end(err);
    else this._wait(1, err);
  }

  /** Waits the back-off of the given attempt, then tries it. */
  _wait(attempt, err) {
    if (attempt > this._settings.maxRetries) {
      this._end(err);
      return;
    }
    const { initial, max } = this._settings.backoff;
    const delay = Math.min(max, initial * 2 ** Math.min(attempt - 1, 30)) * (0.5 + Math.random() / 2);
    this.emit('reconnecting', { attempt, delay, error: err });
    if (this._ended) return;
    this._timer = setTimeout(() => {
      this._timer = null;
      this._attempt(attempt);
    }, delay);
  }

  /** Writes the next command when its time has come. */
  _pump() {
    if (!this._socket || this._timer || this._commands.length === 0) return;
    const wait = this._lastCommand + COMMAND_GAP_MS - Date.now();
    if (wait > 0) {
      this._timer = setTimeout(() => { this._timer = null; this._pump(); }, wait);
      return;
    }
    this._socket.write(this._commands.shift());
    this._lastCommand = Date.now();
    if (this._commands.length) {
      this._timer = setTimeout(() => { this._timer = null; this._pump(); }, COMMAND_GAP_MS);
    }
  }

  _end(err) {
    if (this._ended) return;
    this._ended = true;
    this._endError = err;
    clearTimeout(this._timer);
    this._timer = null;
    if (this._socket) this._socket.destroy();
    this._socket = null;
    const iterators = [...this._iterators];
    for (const iterator of iterators) iterator._finish(err);
    const waiters = this._readyWaiters.splice(0);
    // An 'error' nobody listens to throws (the EventEmitter rule), unless a
    // ready() promise or an iterator takes it.
    const taken = waiters.length > 0 || iterators.length > 0;
    if (err && (this.listenerCount('error') > 0 || !taken)) this.emit('error', err);
    for (const waiter of waiters) waiter.reject(err || new ClientClosed('the client was closed before it was ready'));
    this.emit('close', err);
  }
}

/**
 * Connects to the relay's client port and goes through the handshake.
 *
 * options: host, port, appId, queues, extensions, parking (arrays of numbers),
 * tls (boolean), caFile (PEM file of the CA; default: Node's trust store),
 * servername (the name the certificate must carry), stepTimeout (ms each
 * handshake step may wait for its prompt, default 5000), connectTimeout (ms),
 * reconnect (default true), backoff ({ initial: 500, max: 30000 } ms),
 * maxRetries (attempts per loss, default Infinity), accessCode, ranges (the
 * relay's first numbers per family, { queueFirst, extensionFirst, parkingFirst };
 * default CLASSIC_RANGES: every list and change is checked against them).
 *
 * Events: 'ready' ({ reconnects }), 'frame' (Frame), 'lost' (error: the link
 * went; renewal follows when reconnect is on), 'reconnecting' ({ attempt,
 * delay, error }), 'retry' (error of a failed renewal), 'error' (the client
 * ended: the first attempt failed, or the loss was final), 'close' (error or
 * null, once). client.frames() (or for await over the client) iterates the
 * same frames.
 */
function connect(options) {
  return new Client(options);
}

module.exports = { Client, connect, COMMAND_GAP_MS };
