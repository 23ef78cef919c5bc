'use strict';
// The relay's client protocol without any I/O: handshake messages, list and
// command texts, and the splitter that cuts the byte stream into frames.
//
// Wire facts this file relies on:
// - The relay has no framing for what a client sends: each read on its side is
//   one message. So each handshake step is one write, sent only after the
//   prompt of the step before it arrived, and change commands go one at a time.
// - Every text is Windows-1252 (cp1252.js); lines end in CR LF.
// - A frame is the event's lines, each ended by CR LF, followed by CR LF CR LF:
//   the first empty line ends the event, the second is skipped like every empty
//   line between frames (the CR LF CR LF after the last prompt too).
// - "Server is going down!" comes as 21 bytes without a line end, where a frame
//   could begin.

const cp1252 = require('./cp1252');
const { ProtocolError } = require('./errors');

const GREETING = 'Hi, lets connect...';
const ACCESS_CODE = 'qmRoK8]';
const GOING_DOWN = Buffer.from('Server is going down!', 'latin1');
const MAX_FRAME_BYTES = 16 * 1024 * 1024;
// Entries per change command: keeps one command far below what the relay takes
// in one read, so it is never cut into two messages.
const MAX_CHANGE_ENTRIES = 1000;
const END = Buffer.from('\r\n\r\n', 'latin1');
const CHANGE_KEYS = { queue: 'ChangeQueueInfo', extension: 'ChangePeerInfo', parking: 'ChangeFeatureParkInfo' };

/** Sorted, de-duplicated non-negative integers; TypeError/RangeError otherwise. */
function numbers(values, what) {
  const result = new Set();
  for (const value of values) {
    if (!Number.isInteger(value)) throw new TypeError(`${what} must be integers, got ${JSON.stringify(value)}`);
    if (value < 0 || value > 999999999) throw new RangeError(`${what}: ${value} is not a number the relay reads`);
    result.add(value);
  }
  return [...result].sort((a, b) => a - b);
}

/** The application name (or access code) as bytes; it must fit on one line. */
function lineText(text, what) {
  if (typeof text !== 'string') throw new TypeError(`${what} must be a string`);
  if (/[\r\n]/.test(text)) throw new RangeError(`${what} must not hold a line end`);
  return cp1252.encode(text);
}

/** The six steps, greeting first: { name, message (Buffer), prompt (Buffer) }. */
function handshakeSteps({ appId, queues = [], extensions = [], parking = [], accessCode = ACCESS_CODE }) {
  const name = lineText(appId, 'appId');
  const code = lineText(accessCode, 'accessCode');
  const ascii = (text) => Buffer.from(text, 'latin1');
  const list = (key, values, what) => ascii(`${key}: (${numbers(values, what).join(',')})\r\n`);
  const step = (stepName, message, prompt) => ({ name: stepName, message, prompt: ascii(prompt) });
  return [
    step('greeting', ascii(`${GREETING}\r\n`), 'Welcome to'),
    step('MyAppID', Buffer.concat([ascii('MyAppID: '), name, ascii('\r\n')]), 'Token:  ?'),
    step('MyAppToken', Buffer.concat([ascii('MyAppToken: '), code, ascii('\r\n')]), 'QueueInfo:  ?'),
    step('GetQueueInfo', list('GetQueueInfo', queues, 'queues'), 'PeerInfo:  ?'),
    step('GetPeerInfo', list('GetPeerInfo', extensions, 'extensions'), 'FeatureParkInfo:  ?'),
    step('GetFeatureParkInfo', list('GetFeatureParkInfo', parking, 'parking'), 'Server is ready and up!'),
  ];
}

/** [[number, on], ...] from an object, a Map or an array of pairs. */
function changeEntries(changes) {
  if (changes instanceof Map) return [...changes.entries()];
  if (Array.isArray(changes)) return changes.map(([n, on]) => [n, on]);
  return Object.entries(changes).map(([n, on]) => [Number(n), on]);
}

/** The command writes for the changes, at most MAX_CHANGE_ENTRIES entries each. */
function changeCommands(family, changes) {
  const key = CHANGE_KEYS[family];
  if (!key) throw new RangeError(`family must be one of ${Object.keys(CHANGE_KEYS).join(', ')}`);
  const pairs = changeEntries(changes);
  const on = new Map(pairs.map(([n, v]) => [n, Boolean(v)]));
  const entries = numbers(pairs.map(([n]) => n), family).map((n) => `${n}:${on.get(n) ? 'TRUE' : 'FALSE'}`);
  const commands = [];
  for (let i = 0; i < entries.length; i += MAX_CHANGE_ENTRIES) {
    const part = entries.slice(i, i + MAX_CHANGE_ENTRIES).join(',');
    commands.push(Buffer.from(`${key}: (${part})\r\n`, 'latin1'));
  }
  return commands;
}

/**
 * Ordered [key, value] pairs of an event's lines. The key is the text before
 * the first colon, the value the text after it without the blanks that follow
 * the colon; a line without a colon is kept whole as a key with an empty value.
 */
function parseFields(text) {
  const fields = [];
  for (const line of text.split('\r\n')) {
    if (!line) continue;
    const colon = line.indexOf(':');
    if (colon < 0) fields.push([line, '']);
    else fields.push([line.slice(0, colon), line.slice(colon + 1).replace(/^ +/, '')]);
  }
  return fields;
}

/**
 * One event as the relay sent it. raw: its bytes as received, each line with
 * its CR LF (without the empty lines that close the frame); fields: ordered
 * [key, value] pairs of the decoded text; a key may occur more than once.
 */
class Frame {
  constructor(raw) {
    this.raw = raw;
    this.fields = parseFields(cp1252.decode(raw));
  }

  get text() { return cp1252.decode(this.raw); }

  get event() { return this.get('Event'); }

  /** The first value of key (case-sensitive, as the relay reads keys). */
  get(key, fallback = undefined) {
    const field = this.fields.find(([name]) => name === key);
    return field ? field[1] : fallback;
  }

  getAll(key) { return this.fields.filter(([name]) => name === key).map(([, value]) => value); }
}

/** Stands in the splitter's output where the stop notice came. */
const GOING_DOWN_NOTICE = Object.freeze({ goingDown: true });

/**
 * Cuts the running connection's bytes into Frames and the stop notice. One
 * read may hold several frames, a part of one, or both: feed() keeps the
 * unfinished frame and returns what is complete, in order.
 */
class FrameSplitter {
  constructor(maxFrameBytes = MAX_FRAME_BYTES) {
    this.buffer = Buffer.alloc(0);
    this.maxFrameBytes = maxFrameBytes;
    this.scanned = 0; // the unfinished frame holds no CR LF CR LF before this
  }

  feed(chunk) {
    const buf = this.buffer.length ? Buffer.concat([this.buffer, chunk]) : chunk;
    const out = [];
    let pos = 0;
    for (;;) {
      while (buf[pos] === 0x0d && buf[pos + 1] === 0x0a) pos += 2; // empty lines between frames
      if (buf.length - pos >= GOING_DOWN.length &&
          buf.compare(GOING_DOWN, 0, GOING_DOWN.length, pos, pos + GOING_DOWN.length) === 0) {
        pos += GOING_DOWN.length;
        out.push(GOING_DOWN_NOTICE);
        continue;
      }
      const end = buf.indexOf(END, Math.max(pos, this.scanned));
      if (end < 0) break;
      out.push(new Frame(Buffer.from(buf.subarray(pos, end + 2))));
      pos = end + 4;
    }
    this.buffer = Buffer.from(buf.subarray(pos));
    // Each byte is searched once, however many reads a frame takes.
    this.scanned = Math.max(0, this.buffer.length - 3);
    if (this.buffer.length > this.maxFrameBytes) {
      throw new ProtocolError(`a frame grew past ${this.maxFrameBytes} bytes without its closing empty line`);
    }
    return out;
  }

  /** Bytes of an unfinished frame (0 when only empty lines are pending). */
  pending() {
    let pos = 0;
    while (this.buffer[pos] === 0x0d || this.buffer[pos] === 0x0a) pos++;
    return this.buffer.length - pos;
  }
}

module.exports = {
  ACCESS_CODE, GOING_DOWN, GOING_DOWN_NOTICE, MAX_FRAME_BYTES, Frame, FrameSplitter,
  changeCommands, changeEntries, handshakeSteps, parseFields,
};
