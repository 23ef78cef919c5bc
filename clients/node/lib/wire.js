// The relay's protocol texts without any I/O: Windows-1252, the fields of a frame, the key
// ranges, and the checking and writing of lists and change entries.
//
// One source for two worlds: the Node library requires it as CommonJS, and the browser module
// (clients/browser/telvane.js, which reaches it as wire.js beside itself) imports it as an ES
// module. Node 18 cannot require an ES module and a browser cannot load CommonJS, so the file
// uses neither import nor export: under CommonJS it fills module.exports; as an ES module in a
// browser, where `module` does not exist, it leaves the same object in globalThis.TelvaneWire.
// It uses nothing but the language (no Buffer, no DOM), and keeps no state.
//
// The relay never confirms a subscription and reads any change value other than a yes as "off",
// and it accepts numbers outside its ranges without ever serving them; so every entry is checked
// here before a text is built, and a bad one throws (TypeError, RangeError) naming it, instead of
// unsubscribing or subscribing to nothing in silence.

(function publish(wire) {
  if (typeof module === 'object' && module !== null && typeof module.exports === 'object') {
    module.exports = wire;
  } else {
    globalThis.TelvaneWire = wire;
  }
}((() => {
  'use strict';

  // ---- Windows-1252 ---------------------------------------------------------------------------
  // Bytes below 0x80 and from 0xA0 are the code points of the same number; 0x80..0x9F map through
  // HIGH. The five bytes the code page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the
  // control characters of the same number, as the relay's platform does, so every byte string
  // decodes and encodes back to the same bytes.
  const HIGH = [
    0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021,
    0x02c6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008d, 0x017d, 0x008f,
    0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022, 0x2013, 0x2014,
    0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178,
  ];
  const FROM_CODE = new Map(HIGH.map((code, i) => [code, 0x80 + i]));

  /** Bytes (a Uint8Array, Buffer included) to a string; never fails. */
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

  /** A string to a Uint8Array; RangeError for a character outside the code page. */
  function encode(text) {
    const out = new Uint8Array(text.length);
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

  // ---- Frames ---------------------------------------------------------------------------------

  /**
   * Ordered [key, value] pairs of an event's lines. The key is the text before the first colon,
   * the value the text after it without the blanks that follow the colon; a line without a colon
   * is kept whole as a key with an empty value, so no line is lost. Empty lines are skipped.
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

  // ---- Key ranges -----------------------------------------------------------------------------
  // The relay serves 1,000 queues, 10,000 extensions and 100 parking slots from a first number
  // per family: 10001, 20001 and 701 unless a relay with [AMI] PROFILE=CURRENT moves them with
  // [KEYS] QUEUEFIRST, EXTENFIRST and PARKFIRST.
  const FAMILIES = Object.freeze(['queue', 'extension', 'parking']);
  const SIZES = { queue: 1000, extension: 10000, parking: 100 };
  const FIRST = { queue: 'queueFirst', extension: 'extensionFirst', parking: 'parkingFirst' };
  const CLASSIC_RANGES = Object.freeze({ queueFirst: 10001, extensionFirst: 20001, parkingFirst: 701 });
  const CHANGE_KEYS = { queue: 'ChangeQueueInfo', extension: 'ChangePeerInfo', parking: 'ChangeFeatureParkInfo' };
  // Entries per change command: keeps one command far below what the relay takes in one read,
  // so it is never cut into two messages.
  const MAX_CHANGE_ENTRIES = 1000;

  function checkFamily(family) {
    if (!Object.prototype.hasOwnProperty.call(CHANGE_KEYS, family)) {
      throw new RangeError(`family must be one of ${FAMILIES.join(', ')}, not ${JSON.stringify(family)}`);
    }
  }

  /** { first, last } the relay serves for the family; ranges null: any number. */
  function served(family, ranges) {
    checkFamily(family);
    if (ranges === null) return { first: 0, last: Number.MAX_SAFE_INTEGER };
    const first = (ranges || CLASSIC_RANGES)[FIRST[family]];
    if (!Number.isSafeInteger(first) || first < 0) {
      throw new TypeError(`ranges.${FIRST[family]} must be a non-negative integer`);
    }
    return { first, last: first + SIZES[family] - 1 };
  }

  /** The number itself, checked: TypeError if not an integer, RangeError outside the range. */
  function checkNumber(value, family, ranges) {
    if (typeof value !== 'number' || !Number.isInteger(value)) {
      throw new TypeError(`${family} numbers must be integers, got ${JSON.stringify(value)}`);
    }
    const { first, last } = served(family, ranges);
    if (value < first || value > last) {
      throw new RangeError(`${family} ${value} lies outside ${first}-${last}, ` +
        'the numbers the relay serves (see the ranges option)');
    }
    return value;
  }

  /** Sorted, de-duplicated, checked numbers of one family. */
  function checkNumbers(values, family, ranges) {
    const result = new Set();
    for (const value of values) result.add(checkNumber(value, family, ranges));
    return [...result].sort((a, b) => a - b);
  }

  /** '10001,10002': the text between the parentheses of a list step. */
  function formatList(values, family, ranges) {
    return checkNumbers(values, family, ranges).join(',');
  }

  /**
   * [[key, value], ...] of changes given as an object, a Map or an array of pairs. An object's
   * keys are texts, so only the plain decimal form of a number counts as one there; a Map's and
   * an array's keys are taken as they are, and must be numbers.
   */
  function changePairs(changes) {
    if (changes instanceof Map) return [...changes.entries()];
    if (Array.isArray(changes)) {
      return changes.map((pair) => {
        if (!Array.isArray(pair) || pair.length !== 2) {
          throw new TypeError(`a change must be a [number, on] pair, got ${JSON.stringify(pair)}`);
        }
        return [pair[0], pair[1]];
      });
    }
    if (changes === null || typeof changes !== 'object') {
      throw new TypeError('changes must be an object, a Map or an array of [number, on] pairs');
    }
    return Object.entries(changes).map(([key, on]) => [/^(0|[1-9][0-9]*)$/.test(key) ? Number(key) : key, on]);
  }

  /** true or false (or 1 or 0): anything else would reach the relay as "off". */
  function checkOn(on, family, key) {
    if (on === true || on === false || on === 1 || on === 0) return Boolean(on);
    throw new TypeError(`${family} ${JSON.stringify(key)}: the change must be true or false, ` +
      `got ${typeof on === 'string' ? JSON.stringify(on) : String(on)}`);
  }

  /**
   * [[number, on], ...] sorted by number, each entry checked: TypeError or RangeError naming the
   * first bad one. A number given twice keeps its last value.
   */
  function checkChanges(family, changes, ranges) {
    checkFamily(family);
    const checked = new Map();
    for (const [key, on] of changePairs(changes)) {
      const yes = checkOn(on, family, key);
      checked.set(checkNumber(key, family, ranges), yes);
    }
    return [...checked.entries()].sort((a, b) => a[0] - b[0]);
  }

  /** The command texts for the changes, at most MAX_CHANGE_ENTRIES entries each; one bad entry,
   * and there is none. */
  function changeCommandTexts(family, changes, ranges) {
    const entries = checkChanges(family, changes, ranges).map(([n, on]) => `${n}:${on ? 'TRUE' : 'FALSE'}`);
    const texts = [];
    for (let i = 0; i < entries.length; i += MAX_CHANGE_ENTRIES) {
      texts.push(`${CHANGE_KEYS[family]}: (${entries.slice(i, i + MAX_CHANGE_ENTRIES).join(',')})\r\n`);
    }
    return texts;
  }

  // ---- Web desks --------------------------------------------------------------------------------
  // The WebSocket names the families queues, extensions and parks, and a queue may also be named
  // by a text (a name of the relay's [QUEUENAMES]); numbers, also those written as digits in a
  // text, are checked as on the client port.
  const WEB_FAMILIES = Object.freeze({ queues: 'queue', extensions: 'extension', parks: 'parking' });
  const MAX_QUEUE_NAME = 64;

  /** A web key checked: a number, or for queues a name; returns what the login sends. */
  function checkWebKey(webFamily, key, ranges) {
    const family = WEB_FAMILIES[webFamily];
    const digits = typeof key === 'string' && /^(0|[1-9][0-9]*)$/.test(key);
    if (typeof key === 'number' || digits) return checkNumber(Number(key), family, ranges);
    const isName = typeof key === 'string' && key.trim() === key && key.length > 0 && key.length <= MAX_QUEUE_NAME;
    if (family === 'queue' && isName && !/[\x00-\x1f]/.test(key)) return key;
    throw new TypeError(`${webFamily}: ${JSON.stringify(key)} is not a ${family === 'queue'
      ? `number or a queue name (1 to ${MAX_QUEUE_NAME} characters, no blank at either end)` : 'number'}`);
  }

  /** The login's lists of one family, checked and de-duplicated, in the order given. */
  function checkWebList(webFamily, keys, ranges) {
    if (!Object.prototype.hasOwnProperty.call(WEB_FAMILIES, webFamily)) {
      throw new RangeError(`the families are ${Object.keys(WEB_FAMILIES).join(', ')}, not ${JSON.stringify(webFamily)}`);
    }
    return [...new Set([...keys].map((key) => checkWebKey(webFamily, key, ranges)))];
  }

  /**
   * { queues: { key: on }, extensions: {...}, parks: {...} } checked entry by entry; returns the
   * same shape with every value true or false and every key as the relay reads it (a text).
   */
  function checkWebChanges(changes, ranges) {
    if (changes === null || typeof changes !== 'object') throw new TypeError('changes must be an object');
    const checked = {};
    for (const [webFamily, entries] of Object.entries(changes)) {
      checkWebList(webFamily, [], ranges);
      if (entries === null || typeof entries !== 'object' || Array.isArray(entries)) {
        throw new TypeError(`${webFamily} must be an object of key: true or false`);
      }
      checked[webFamily] = {};
      for (const [key, on] of Object.entries(entries)) {
        const yes = checkOn(on, WEB_FAMILIES[webFamily], key);
        checked[webFamily][String(checkWebKey(webFamily, key, ranges))] = yes;
      }
    }
    return checked;
  }

  return Object.freeze({
    CLASSIC_RANGES, FAMILIES, MAX_CHANGE_ENTRIES, WEB_FAMILIES,
    decode, encode, parseFields, served, checkNumbers, formatList, changePairs, checkChanges,
    changeCommandTexts, checkWebList, checkWebChanges,
  });
})()));
