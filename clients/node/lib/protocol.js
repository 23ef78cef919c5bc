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
// - The relay never confirms a change command and reads any value other than a
//   yes as "off": every entry is checked (wire.js) before a command is built.
// - "Server is going down!" comes as 21 bytes without a line end, where a frame
//   could begin.

const cp1252 = require('./cp1252');
const wire = require('./wire');
const { ProtocolError } = require('./errors');

const GREETING = 'Hi, lets connect...';
const ACCESS_CODE = 'qmRoK8]';
const GOING_DOWN = Buffer.from('Server is going down!', 'latin1');
const MAX_FRAME_BYTES = 16 * 1024 * 1024;
const END = Buffer.from('\r\n\r\n', 'latin1');
const { CLASSIC_RANGES, FAMILIES, MAX_CHANGE_ENTRIES, parseFields } = wire;

/** The application name (or access code) as bytes; it must fit on one line. */
function lineText(text, what) {
  if (typeof text !== 'string') throw new TypeError(`${what} must be a string`);
  if (/[\r\n]/.test(text)) throw new RangeError(`${what} must not hold a line end`);
  return cp1252.encode(text);
}

/**
 * The six steps, greeting first: { name, message (Buffer), prompt (Buffer) }. The lists are
 * checked against ranges (the classic ones by default).
 */
function handshakeSteps({
  appId, queues = [], extensions = [], parking = [], accessCode = ACCESS_CODE, ranges = CLASSIC_RANGES,
}) {
  const name = lineText(appId, 'appId');
  const code = lineText(accessCode, 'accessCode');
  const ascii = (text) => Buffer.from(text, 'latin1');
  const list = (key, values, family) => ascii(`${key}: (${wire.formatList(values, family, ranges)})\r\n`);
  const step = (stepName, message, prompt) => ({ name: stepName, message, prompt: ascii(prompt) });
  return [
    step('greeting', ascii(`${GREETING}\r\n`), 'Welcome to'),
    step('MyAppID', Buffer.concat([ascii('MyAppID: '), name, ascii('\r\n')]), 'Token:  ?'),
    step('MyAppToken', Buffer.concat([ascii('MyAppToken: '), code, ascii('\r\n')]), 'QueueInfo:  ?'),
    step('GetQueueInfo', list('GetQueueInfo', queues, 'queue'), 'PeerInfo:  ?'),
    step('GetPeerInfo', list('GetPeerInfo', extensions, 'extension'), 'FeatureParkInfo:  ?'),
    step('GetFeatureParkInfo', list('GetFeatureParkInfo', parking, 'parking'), 'Server is ready and up!'),
  ];
}

/**
 * [[number, on], ...] checked entry by entry (an object, a Map or an array of pairs): only true
 * and false (or 1 and 0) say on or off, and each number must lie in its family's range;
 * TypeError or RangeError naming the first bad entry.
 */
function checkChanges(family, changes, ranges = CLASSIC_RANGES) {
  return wire.checkChanges(family, changes, ranges);
}

/**
 * The command writes for the changes, at most MAX_CHANGE_ENTRIES entries each. Every entry is
 * checked first (checkChanges): one bad entry, and there is no command.
 */
function changeCommands(family, changes, ranges = CLASSIC_RANGES) {
  return wire.changeCommandTexts(family, changes, ranges).map((text) => Buffer.from(text, 'latin1'));
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
  ACCESS_CODE, CLASSIC_RANGES, FAMILIES, GOING_DOWN, GOING_DOWN_NOTICE, MAX_CHANGE_ENTRIES, MAX_FRAME_BYTES,
  Frame, FrameSplitter, changeCommands, checkChanges, handshakeSteps, parseFields,
};
