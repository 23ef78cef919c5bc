'use strict';
// The protocol pieces without a relay: the bytes written and the cutting of
// what is read, where an off-by-one loses or merges frames.

const test = require('node:test');
const assert = require('node:assert/strict');
const protocol = require('../lib/protocol');
const cp1252 = require('../lib/cp1252');
const { ProtocolError } = require('../lib/errors');

const b = (text) => Buffer.from(text, 'latin1');
const JOIN = b('Event: Join\r\nQueue: 10001\r\nCallerIDName: Jos\xe9 \x80 \x81\r\n');
const LEAVE = b('Event: Leave\r\nQueue: 10001\r\nCount: 0\r\n');
// What the relay writes: the last prompt's end, two frames, the stop notice.
const STREAM = Buffer.concat([b('\r\n\r\n'), JOIN, b('\r\n\r\n'), LEAVE, b('\r\n\r\n'), protocol.GOING_DOWN]);
const EXPECTED = [JOIN.toString('latin1'), LEAVE.toString('latin1'), 'notice'];

function cut(data, points) {
  const edges = [0, ...points, data.length];
  return edges.slice(1).map((end, i) => data.subarray(edges[i], end));
}

function splitAll(pieces) {
  const splitter = new protocol.FrameSplitter();
  return pieces.flatMap((piece) => splitter.feed(piece))
    .map((item) => (item === protocol.GOING_DOWN_NOTICE ? 'notice' : item.raw.toString('latin1')));
}

test('the splitter gives the same frames however the reads fall', () => {
  const cases = {
    whole: [STREAM],
    bytewise: cut(STREAM, [...Array(STREAM.length - 1).keys()].map((i) => i + 1)),
    'notice cut': cut(STREAM, [STREAM.length - 5]),
    'inside the CR LF CR LF': cut(STREAM, [4 + JOIN.length + 1]),
    'the second empty line alone': cut(STREAM, [4 + JOIN.length + 4, 4 + JOIN.length + 5]),
  };
  for (const [name, pieces] of Object.entries(cases)) assert.deepEqual(splitAll(pieces), EXPECTED, name);
  for (let point = 1; point < STREAM.length; point++) {
    assert.deepEqual(splitAll(cut(STREAM, [point])), EXPECTED, `cut at ${point}`);
  }
});

test('the splitter keeps an unfinished frame and bounds it', () => {
  const splitter = new protocol.FrameSplitter(64);
  assert.deepEqual(splitter.feed(b('Event: Join\r\nQueue: 1')), []);
  assert.equal(splitter.pending(), 'Event: Join\r\nQueue: 1'.length);
  assert.throws(() => splitter.feed(Buffer.alloc(100, 0x78)), ProtocolError);
});

test('frame fields keep order, duplicates and odd lines', () => {
  const frame = new protocol.Frame(b('Event: Dial\r\nVariable: a=1\r\nVariable: b=2\r\n' +
    'Empty:\r\nno colon here\r\nTime: 12:30\r\n'));
  assert.deepEqual(frame.fields, [['Event', 'Dial'], ['Variable', 'a=1'], ['Variable', 'b=2'],
    ['Empty', ''], ['no colon here', ''], ['Time', '12:30']]);
  assert.equal(frame.event, 'Dial');
  assert.deepEqual(frame.getAll('Variable'), ['a=1', 'b=2']);
  assert.equal(frame.get('Missing', '-'), '-');
});

test('Windows-1252: a frame decodes, every byte round-trips, other text is refused', () => {
  const frame = new protocol.Frame(JOIN);
  assert.equal(frame.get('CallerIDName'), 'Jos\u00e9 \u20ac \x81');
  assert.deepEqual(cp1252.encode(frame.text), JOIN);
  const every = Buffer.from([...Array(256).keys()]);
  assert.deepEqual(cp1252.encode(cp1252.decode(every)), every);
  assert.throws(() => cp1252.encode('\u4e2d'), RangeError);
});

test('handshake bytes', () => {
  const steps = protocol.handshakeSteps({ appId: 'Desk 7', queues: [10002, 10001, 10002], parking: [701] });
  assert.deepEqual(steps.map((s) => [s.name, s.message.toString('latin1'), s.prompt.toString('latin1')]), [
    ['greeting', 'Hi, lets connect...\r\n', 'Welcome to'],
    ['MyAppID', 'MyAppID: Desk 7\r\n', 'Token:  ?'],
    ['MyAppToken', 'MyAppToken: qmRoK8]\r\n', 'QueueInfo:  ?'],
    ['GetQueueInfo', 'GetQueueInfo: (10001,10002)\r\n', 'PeerInfo:  ?'],
    ['GetPeerInfo', 'GetPeerInfo: ()\r\n', 'FeatureParkInfo:  ?'],
    ['GetFeatureParkInfo', 'GetFeatureParkInfo: (701)\r\n', 'Server is ready and up!'],
  ]);
});

test('the handshake refuses what the relay would misread', () => {
  const cases = [
    [{ appId: 'Desk\r\n7' }, RangeError],
    [{ appId: 'Desk \u4e2d' }, RangeError],
    [{ appId: 7 }, TypeError],
    [{ appId: 'Desk', queues: ['10001'] }, TypeError],
    [{ appId: 'Desk', queues: [-1] }, RangeError],
  ];
  for (const [values, error] of cases) assert.throws(() => protocol.handshakeSteps(values), error, JSON.stringify(values));
});

test('change command bytes', () => {
  const cases = [
    ['queue', { 10002: false, 10001: true }, ['ChangeQueueInfo: (10001:TRUE,10002:FALSE)\r\n']],
    ['extension', new Map([[20001, 1]]), ['ChangePeerInfo: (20001:TRUE)\r\n']],
    ['parking', [[701, false]], ['ChangeFeatureParkInfo: (701:FALSE)\r\n']],
    ['queue', {}, []],
  ];
  for (const [family, changes, expected] of cases) {
    assert.deepEqual(protocol.changeCommands(family, changes).map((c) => c.toString('latin1')), expected);
  }
});

test('a long change is cut into commands the relay reads whole', () => {
  const changes = new Map([...Array(2500).keys()].map((i) => [20001 + i, true]));
  const commands = protocol.changeCommands('extension', changes).map((c) => c.toString('latin1'));
  assert.equal(commands.length, 3);
  assert.ok(commands.every((c) => c.startsWith('ChangePeerInfo: (') && c.endsWith(')\r\n')));
  assert.equal(commands.join('').split(':TRUE').length - 1, 2500);
  assert.throws(() => protocol.changeCommands('queues', { 10001: true }), RangeError);
});

test('change entries are checked before a command is built', () => {
  const CURRENT = { queueFirst: 1, extensionFirst: 201, parkingFirst: 70 };
  const CLASSIC = protocol.CLASSIC_RANGES;
  const FIRST = { queue: 'queueFirst', extension: 'extensionFirst', parking: 'parkingFirst' };
  const cases = [
    ['extension', [[30000, true]], CLASSIC, 'ChangePeerInfo: (30000:TRUE)\r\n'],
    ['parking', [[800, false]], CLASSIC, 'ChangeFeatureParkInfo: (800:FALSE)\r\n'],
    ['extension', [[202, true]], CURRENT, 'ChangePeerInfo: (202:TRUE)\r\n'],
    ['queue', [[1000, 1]], CURRENT, 'ChangeQueueInfo: (1000:TRUE)\r\n'],
    // A typo or a text would reach the relay as "off".
    ['queue', [[10001, 'TRUW']], CLASSIC, TypeError],
    ['queue', [[10001, 'FALSE']], CLASSIC, TypeError],
    ['queue', [[10001, null]], CLASSIC, TypeError],
    ['queue', [[10001, undefined]], CLASSIC, TypeError],
    ['queue', [[10001, 2]], CLASSIC, TypeError],
    ['queue', [['10001', true]], CLASSIC, TypeError],
    ['queue', [[10001.5, true]], CLASSIC, TypeError],
    // Accepted by the relay and never served.
    ['queue', [[11001, true]], CLASSIC, RangeError],
    ['extension', [[20000, true]], CLASSIC, RangeError],
    ['extension', [[20001, true]], CURRENT, RangeError],
    ['parking', [[70, true]], CLASSIC, RangeError],
  ];
  for (const [family, pairs, ranges, expected] of cases) {
    const name = `${family} ${JSON.stringify(pairs)}`;
    if (typeof expected === 'string') {
      assert.deepEqual(protocol.changeCommands(family, pairs, ranges).map(String), [expected], name);
      continue;
    }
    // One bad entry among good ones: no command at all, and the message names the entry.
    const good = [ranges[FIRST[family]], true];
    assert.throws(() => protocol.changeCommands(family, [good, ...pairs], ranges), (err) => {
      assert.ok(err instanceof expected, `${name}: ${err}`);
      assert.ok(err.message.includes(JSON.stringify(pairs[0][0])), `${name}: ${err.message}`);
      return true;
    });
  }
});

test('an object names its numbers as texts: only the plain decimal form is a number', () => {
  assert.deepEqual(protocol.checkChanges('queue', { 10002: false, 10001: true }), [[10001, true], [10002, false]]);
  for (const key of ['010001', '10001 ', '1e4', 'sales']) {
    assert.throws(() => protocol.checkChanges('queue', { [key]: true }), TypeError, key);
  }
  assert.throws(() => protocol.checkChanges('queue', '10001:TRUW'), TypeError);
  assert.throws(() => protocol.checkChanges('queue', [[10001, true, 'extra']]), TypeError);
});
