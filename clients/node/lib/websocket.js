'use strict';
// A minimal WebSocket client (RFC 6455) over node:http and node:https, standard library only:
// Node 20 has no WebSocket client without a flag. Text messages only, as the relay's web desk
// protocol uses; binary messages are ignored. Pings are answered, fragmented messages joined.
//
//   const ws = new WebSocketClient('ws://127.0.0.1:8080/events');
//   ws.on('open', ...); ws.on('message', (text) => ...); ws.on('close', (code, reason) => ...);
//   ws.send(JSON.stringify(...)); ws.close();
//
// Bounds: a message the peer sends may be at most maxMessageBytes (16 MiB by default); a larger
// one ends the connection (close code 1009). 'close' is emitted exactly once, last.

const crypto = require('node:crypto');
const { EventEmitter } = require('node:events');
const http = require('node:http');
const https = require('node:https');

const GUID = '258EAFA5-E914-47DA-95CA-C5AB0DC85B11';
const OP = { CONTINUATION: 0x0, TEXT: 0x1, BINARY: 0x2, CLOSE: 0x8, PING: 0x9, PONG: 0xa };

/** One frame as a client writes it: final, masked. */
function encodeFrame(opcode, payload) {
  const length = payload.length;
  const header = length < 126 ? Buffer.alloc(2) : length < 65536 ? Buffer.alloc(4) : Buffer.alloc(10);
  header[0] = 0x80 | opcode;
  if (length < 126) {
    header[1] = 0x80 | length;
  } else if (length < 65536) {
    header[1] = 0x80 | 126;
    header.writeUInt16BE(length, 2);
  } else {
    header[1] = 0x80 | 127;
    header.writeBigUInt64BE(BigInt(length), 2);
  }
  const mask = crypto.randomBytes(4);
  const masked = Buffer.alloc(length);
  for (let n = 0; n < length; n++) masked[n] = payload[n] ^ mask[n & 3];
  return Buffer.concat([header, mask, masked]);
}

/**
 * Cuts frames from bytes as they come. push() returns the whole frames so far as
 * { fin, opcode, payload }; throws RangeError when a frame announces more than maxBytes.
 */
class FrameDecoder {
  constructor(maxBytes) {
    this.maxBytes = maxBytes;
    this.buffer = Buffer.alloc(0);
  }

  push(chunk) {
    this.buffer = this.buffer.length ? Buffer.concat([this.buffer, chunk]) : chunk;
    const frames = [];
    for (;;) {
      const b = this.buffer;
      if (b.length < 2) break;
      let length = b[1] & 0x7f;
      let offset = 2;
      if (length === 126) {
        if (b.length < 4) break;
        length = b.readUInt16BE(2);
        offset = 4;
      } else if (length === 127) {
        if (b.length < 10) break;
        const big = b.readBigUInt64BE(2);
        if (big > BigInt(this.maxBytes)) throw new RangeError('frame too large');
        length = Number(big);
        offset = 10;
      }
      if (length > this.maxBytes) throw new RangeError('frame too large');
      const masked = (b[1] & 0x80) !== 0;
      const maskOffset = offset;
      if (masked) offset += 4;
      if (b.length < offset + length) break;
      let payload = b.subarray(offset, offset + length);
      if (masked) {
        payload = Buffer.from(payload);
        for (let n = 0; n < length; n++) payload[n] ^= b[maskOffset + (n & 3)];
      }
      frames.push({ fin: (b[0] & 0x80) !== 0, opcode: b[0] & 0x0f, payload });
      this.buffer = b.subarray(offset + length);
    }
    return frames;
  }
}

class WebSocketClient extends EventEmitter {
  constructor(url, { maxMessageBytes = 16 * 1024 * 1024, headers = {}, ca } = {}) {
    super();
    const target = new URL(url);
    if (target.protocol !== 'ws:' && target.protocol !== 'wss:') throw new TypeError(`not a ws: or wss: URL: ${url}`);
    this.maxMessageBytes = maxMessageBytes;
    this.decoder = new FrameDecoder(maxMessageBytes);
    this.fragments = [];
    this.fragmentBytes = 0;
    this.socket = null;
    this.closed = false;
    const key = crypto.randomBytes(16).toString('base64');
    const request = (target.protocol === 'wss:' ? https : http).request({
      host: target.hostname, port: target.port || (target.protocol === 'wss:' ? 443 : 80),
      path: target.pathname + target.search, ca,
      headers: { ...headers, Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Key': key,
        'Sec-WebSocket-Version': '13' },
    });
    request.on('upgrade', (response, socket, head) => {
      const accept = crypto.createHash('sha1').update(key + GUID).digest('base64');
      if (response.headers['sec-websocket-accept'] !== accept) {
        socket.destroy();
        return this.#end(1002, 'bad Sec-WebSocket-Accept');
      }
      this.socket = socket;
      socket.setNoDelay(true);
      socket.on('data', (chunk) => this.#receive(chunk));
      socket.on('close', () => this.#end(1006, 'connection lost'));
      socket.on('error', () => {});  // the close that follows says it
      this.emit('open');
      if (head.length) this.#receive(head);
    });
    request.on('response', (response) => {
      response.resume();
      this.#end(1002, `HTTP ${response.statusCode} instead of an upgrade`);
    });
    request.on('error', (error) => this.#end(1006, error.message));
    request.end();
  }

  send(text) {
    if (!this.socket || this.closed) return false;
    return this.socket.write(encodeFrame(OP.TEXT, Buffer.from(String(text), 'utf8')));
  }

  close(code = 1000) {
    if (!this.socket || this.closed) return this.#end(code, '');
    const payload = Buffer.alloc(2);
    payload.writeUInt16BE(code);
    this.socket.end(encodeFrame(OP.CLOSE, payload));
  }

  #receive(chunk) {
    let frames;
    try {
      frames = this.decoder.push(chunk);
    } catch {
      this.socket.destroy();
      return this.#end(1009, 'message too large');
    }
    for (const frame of frames) {
      if (this.closed) return;
      switch (frame.opcode) {
        case OP.PING: this.socket.write(encodeFrame(OP.PONG, frame.payload)); break;
        case OP.PONG: break;
        case OP.CLOSE: {
          const code = frame.payload.length >= 2 ? frame.payload.readUInt16BE(0) : 1005;
          this.socket.end(encodeFrame(OP.CLOSE, frame.payload.subarray(0, 2)));
          this.#end(code, frame.payload.subarray(2).toString('utf8'));
          break;
        }
        default: this.#fragment(frame);
      }
    }
  }

  #fragment(frame) {
    if (frame.opcode !== OP.CONTINUATION) this.fragments = [frame];
    else if (this.fragments.length) this.fragments.push(frame);
    else return;
    this.fragmentBytes += frame.payload.length;
    if (this.fragmentBytes > this.maxMessageBytes) {
      this.socket.destroy();
      return this.#end(1009, 'message too large');
    }
    if (!frame.fin) return;
    const [first] = this.fragments;
    const payload = Buffer.concat(this.fragments.map((f) => f.payload));
    this.fragments = [];
    this.fragmentBytes = 0;
    if (first.opcode === OP.TEXT) this.emit('message', payload.toString('utf8'));
  }

  #end(code, reason) {
    if (this.closed) return;
    this.closed = true;
    if (this.socket) this.socket.destroy();
    this.emit('close', code, reason);
  }
}

module.exports = { WebSocketClient, FrameDecoder, encodeFrame, OP };
