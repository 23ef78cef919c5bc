'use strict';
// The async iterator of frames: its order and its end, and its bound against a stand-in relay
// that writes far more than a consumer pulls, where a missing pause would hold every frame here.

const test = require('node:test');
const assert = require('node:assert/strict');
const net = require('node:net');
const telvane = require('../lib');
const { FrameIterator } = require('../lib/frames');
const { freePort, waitUntil } = require('./support');

const PROMPTS = ['Welcome to', 'Token:  ?', 'QueueInfo:  ?', 'PeerInfo:  ?', 'FeatureParkInfo:  ?',
  'Server is ready and up!'];

/** Answers the six handshake steps, one prompt per message, then calls onCommand(socket) for
 * each message that follows. */
async function standInRelay(onCommand) {
  const server = net.createServer((socket) => {
    let step = 0;
    socket.on('error', () => {});
    socket.on('data', () => {
      if (step >= PROMPTS.length) onCommand(socket);
      else socket.write(`${PROMPTS[step++]}\r\n\r\n`);
    });
  });
  const port = await freePort();
  await new Promise((resolve) => server.listen(port, '127.0.0.1', resolve));
  return { server, port };
}

test('an iterator gives what it holds in order, then ends or throws once', async () => {
  const cases = [['after close()', null], ['after an error', new telvane.ConnectionClosed('running')]];
  for (const [name, ending] of cases) {
    const owner = { _iterators: new Set(), _flow() {} };
    const iterator = new FrameIterator(owner, 2);
    owner._iterators.add(iterator);
    const waiting = iterator.next();
    iterator._push('a');
    assert.deepEqual(await waiting, { value: 'a', done: false }, name);
    iterator._push('b');
    iterator._push('c');
    assert.equal(iterator.full, true, name);
    iterator._finish(ending);
    assert.equal(owner._iterators.size, 0, name);
    assert.deepEqual(await iterator.next(), { value: 'b', done: false }, name);
    assert.deepEqual(await iterator.next(), { value: 'c', done: false }, name);
    if (ending) await assert.rejects(iterator.next(), ending, name);
    assert.deepEqual(await iterator.next(), { value: undefined, done: true }, name);
  }
});

test('a consumer that does not pull stops the reading, and the cut-off names the slow reader', async () => {
  const TOTAL = 6000;
  const BODY = 'x'.repeat(4000);
  let relaySide = null;
  const { server, port } = await standInRelay((socket) => {
    relaySide = socket;
    for (let n = 1; n <= TOTAL; n++) socket.write(`Event: Join\r\nPosition: ${n}\r\nFill: ${BODY}\r\n\r\n\r\n`);
  });
  const client = telvane.connect({ host: '127.0.0.1', port, appId: 'Desk7', reconnect: false });
  client.on('error', () => {});
  try {
    let emitted = 0;
    let mostHeld = 0;
    const iterator = client.frames({ highWaterMark: 8 });
    client.on('frame', () => {
      emitted += 1;
      mostHeld = Math.max(mostHeld, iterator._held.length);
    });
    await client.ready();
    client.changeQueues({ 10001: true }); // the stand-in's cue to write, to a running link
    // Without the pause the client reads on at loopback speed, far past the mark.
    await waitUntil(() => iterator.full && (client._socket.isPaused() || emitted >= 100), 'a full iterator');
    assert.ok(client._socket.isPaused(), `${emitted} frames read and still reading`);
    assert.ok(relaySide.writableNeedDrain, 'the stand-in can still write');
    let expected = 1;
    for await (const frame of iterator) {
      assert.equal(frame.get('Position'), String(expected));
      if (++expected > TOTAL / 2) break;
    }
    // One read (at most 64 KiB, 16 frames) may pass the mark.
    assert.ok(mostHeld <= 8 + 16, `${mostHeld} frames held at once`);
    // The relay cuts off a desk that stopped reading: the error says so.
    const ended = new Promise((resolve) => client.once('close', resolve));
    const stalled = client.frames({ highWaterMark: 1 });
    await waitUntil(() => stalled.full, 'the second iterator to fill');
    relaySide.destroy();
    // The close is read after what came before it, as the consumer pulls.
    let pulled = 0;
    await assert.rejects((async () => { for await (const frame of stalled) pulled += frame ? 1 : 0; })(), (err) => {
      assert.ok(err instanceof telvane.ConnectionClosed && err.slowReader, String(err));
      assert.match(err.message, /fallen behind/);
      return true;
    });
    assert.ok(pulled >= 1);
    assert.ok((await ended) instanceof telvane.ConnectionClosed);
  } finally {
    client.close();
    server.close();
  }
});

test('a loop over the frames takes the error that ends the client, with no error listener', async () => {
  const port = await freePort(); // nothing listens there
  const client = telvane.connect({ host: '127.0.0.1', port, appId: 'Desk7' });
  await assert.rejects((async () => { for await (const frame of client) assert.fail(String(frame)); })(),
    telvane.ConnectError);
});
