'use strict';
// Windows-1252, the relay's single-byte text on the wire, as Buffers; the table itself is in
// wire.js, shared with the browser module.

const wire = require('./wire');

/** Bytes from the relay to a string; never fails. */
function decode(bytes) {
  return wire.decode(bytes);
}

/** A string to the relay's bytes; RangeError for a character outside the code page. */
function encode(text) {
  const bytes = wire.encode(text);
  return Buffer.from(bytes.buffer, bytes.byteOffset, bytes.length);
}

module.exports = { decode, encode };
