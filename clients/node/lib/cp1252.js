'use strict';
// Windows-1252, the relay's single-byte text on the wire, without a dependency.
//
// Bytes 0xA0..0xFF and below 0x80 are the Unicode code points of the same
// number; 0x80..0x9F map through the table below. The five bytes the code page
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the control characters
// of the same number, as the relay's platform does, so every byte string
// decodes and encodes back to the same bytes.

const HIGH = [
  0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021,
  0x02c6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008d, 0x017d, 0x008f,
  0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022, 0x2013, 0x2014,
  0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178,
];
const FROM_CODE = new Map(HIGH.map((code, i) => [code, 0x80 + i]));

/** Bytes from the relay to a string; never fails. */
function decode(bytes) {
  let text = '';
  for (let i = 0; i < bytes.length; i += 8192) {
    const piece = bytes.subarray(i, i + 8192);
    const codes = new Array(piece.length);
    for (let j = 0; j < piece.length; j++) {
      const b = piece[j];
      codes[j] = b >= 0x80 && b <= 0x9f ? HIGH[b - 0x80] : b;
    }
    text += String.fromCharCode(...codes);
  }
  return text;
}

/** A string to the relay's bytes; RangeError for a character outside the code page. */
function encode(text) {
  const out = Buffer.alloc(text.length);
  for (let i = 0; i < text.length; i++) {
    const code = text.charCodeAt(i);
    if (code < 0x80 || (code >= 0xa0 && code <= 0xff)) {
      out[i] = code;
    } else if (FROM_CODE.has(code)) {
      out[i] = FROM_CODE.get(code);
    } else {
      throw new RangeError(
        `${JSON.stringify(text[i])} cannot be written in Windows-1252, the relay's code page`);
    }
  }
  return out;
}

module.exports = { decode, encode };
