// The browser module's checks without a browser: a stand-in WebSocket records what the desk
// would send. A bad list or change entry throws before anything is sent or kept, and a frame's
// lines are parsed by the same code as the Node library's.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { TelvaneDesk, parseFields } from '../../clients/browser/telvane.js';

// Node 18 (Debian 12's) has EventTarget but no global CustomEvent, which browsers all have.
globalThis.CustomEvent ??= class CustomEvent extends Event {
  constructor(type, { detail = null } = {}) {
    super(type);
    this.detail = detail;
  }
};

class StandInSocket extends EventTarget {
  static last = null;
  constructor(url) {
    super();
    this.url = url;
    this.sent = [];
    StandInSocket.last = this;
  }
  send(text) { this.sent.push(JSON.parse(text)); }
  close() {}
  receive(message) { this.onmessage({ data: JSON.stringify(message) }); }
}

function loggedIn(login = { code: 'c', queues: [10001] }, options = {}) {
  const desk = new TelvaneDesk('ws://relay/events', login, { WebSocketImpl: StandInSocket, ...options });
  desk.connect();
  const socket = StandInSocket.last;
  socket.onopen();
  socket.receive({ ready: true });
  return { desk, socket };
}

test('a bad login list is refused before a socket opens', () => {
  const cases = [
    [{ queues: [10001, 'sales'] }, null, null],
    [{ queues: ['10001'] }, null, null],
    [{ queues: [10001.5] }, null, TypeError],
    [{ queues: [' sales'] }, null, TypeError],
    [{ extensions: ['front desk'] }, null, TypeError],
    [{ parks: [true] }, null, TypeError],
    [{ extensions: [20001] }, { queueFirst: 1, extensionFirst: 201, parkingFirst: 70 }, RangeError],
  ];
  for (const [lists, ranges, error] of cases) {
    const make = () => new TelvaneDesk('ws://relay/events', { code: 'c', ...lists }, { WebSocketImpl: StandInSocket, ranges });
    if (error) assert.throws(make, error, JSON.stringify(lists));
    else make();
  }
});

test('a bad change entry throws, and nothing is sent or kept', () => {
  const cases = [
    [{ queues: { 10002: 'TRUW' } }, TypeError],
    [{ queues: { 10002: 'false' } }, TypeError],
    [{ extensions: { 20001: null } }, TypeError],
    [{ parks: { x701: true } }, TypeError],
    [{ queue: { 10002: true } }, RangeError],
    [{ queues: [10002] }, TypeError],
  ];
  for (const [changes, error] of cases) {
    const { desk, socket } = loggedIn();
    assert.throws(() => desk.change({ queues: { 10003: true }, ...changes }), error, JSON.stringify(changes));
    assert.equal(socket.sent.length, 1, 'only the login was sent');
    assert.deepEqual([...desk.subscriptions.queues], ['10001']);
  }
  const { desk, socket } = loggedIn();
  desk.change({ queues: { 10001: false, sales: 1 }, parks: { 701: true } });
  assert.deepEqual(socket.sent[1], { queues: { 10001: false, sales: true }, parks: { 701: true } });
  assert.deepEqual([...desk.subscriptions.queues], ['sales']);
});

test('a frame carries its lines in order, repeated keys included', () => {
  const { desk, socket } = loggedIn();
  const frames = [];
  desk.addEventListener('frame', (e) => frames.push(e.detail));
  const text = 'Event: Dial\r\nVariable: a=1\r\nVariable: b=2\r\nno colon\r\n\r\n\r\n';
  socket.receive({ family: 'queue', key: 10001, frame: text, fields: { Event: 'Dial', Variable: 'a=1' } });
  assert.deepEqual(frames[0].pairs, [['Event', 'Dial'], ['Variable', 'a=1'], ['Variable', 'b=2'], ['no colon', '']]);
  assert.deepEqual(parseFields(text), frames[0].pairs);
});
