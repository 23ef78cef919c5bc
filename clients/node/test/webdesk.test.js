'use strict';
// The WebSocket side: the frame codec byte by byte, and a web desk against the real relay and
// simulator: login, frames, a refused code, and re-subscription after the relay restarts.

const test = require('node:test');
const assert = require('node:assert/strict');
const telvane = require('../lib');
const { FrameDecoder, encodeFrame, OP } = require('../lib/websocket');
const { freePort, nextEvent, startRelay, waitUntil } = require('./support');

test('the frame decoder cuts frames of every length form, split anywhere, and bounds them', () => {
  const cases = [
    { name: 'short, unmasked', bytes: Buffer.from([0x81, 0x02, 0x68, 0x69]), payload: 'hi' },
    { name: '16-bit length', bytes: Buffer.concat([Buffer.from([0x81, 126, 0x01, 0x00]), Buffer.alloc(256, 0x61)]), payload: 'a'.repeat(256) },
    { name: '64-bit length', bytes: Buffer.concat([Buffer.from([0x81, 127, 0, 0, 0, 0, 0, 1, 0, 0]), Buffer.alloc(65536, 0x62)]), payload: 'b'.repeat(65536) },
    { name: 'masked (as a client writes)', bytes: encodeFrame(OP.TEXT, Buffer.from('é€')), payload: 'é€' },
  ];
  for (const c of cases) {
    for (const split of [1, 3, c.bytes.length]) {
      const decoder = new FrameDecoder(1 << 20);
      const frames = [];
      for (let n = 0; n < c.bytes.length; n += split) frames.push(...decoder.push(c.bytes.subarray(n, n + split)));
      assert.equal(frames.length, 1, `${c.name}, split ${split}`);
      assert.equal(frames[0].payload.toString('utf8'), c.payload, `${c.name}, split ${split}`);
    }
  }
  assert.throws(() => new FrameDecoder(1000).push(Buffer.from([0x81, 126, 0x10, 0x00])), RangeError);
  assert.throws(() => new FrameDecoder(1000).push(Buffer.from([0x81, 127, 0x7f, 0xff, 0xff, 0xff, 0, 0, 0, 0])), RangeError);
});

const b = (text) => Buffer.from(text, 'latin1');
const join = (queue, id) => b(`Event: Join\r\nPrivilege: call,all\r\nFile: app_queue.c\r\nQueue: ${queue}\r\n` +
  `CallerIDName: Jos\xe9\r\nUniqueid: 1700000000.${id}\r\n`);

test('a web desk logs in, gets frames, is refused a wrong code and re-subscribes after a restart', async () => {
  const webPort = await freePort();
  const relay = await startRelay(`[WEB]\r\nPORT=${webPort}\r\n`);
  try {
    await relay.waitLog('Web server listening on');
    const url = `ws://127.0.0.1:${webPort}/events`;

    const refused = telvane.webDesk({ url, code: 'wrong', queues: [10001] });
    const [why] = await Promise.all([nextEvent(refused, 'refused'), nextEvent(refused, 'close')]);
    assert.equal(why, 'wrong access code');

    const desk = telvane.webDesk({ url, code: 'qmRoK8]', app: 'node', queues: [10001], minDelayMs: 200 });
    const frames = [];
    desk.on('frame', (m) => frames.push(m));
    const snapshot = nextEvent(desk, 'snapshot');
    await desk.ready();
    assert.deepEqual((await snapshot).queues, { 10001: [] });
    relay.sim.send(join(10001, 1), join(10002, 2));
    await waitUntil(() => frames.length === 1, 'the frame of queue 10001');
    assert.equal(frames[0].fields.CallerIDName, 'José');
    assert.match(frames[0].frame, /^Event: Join\r\n[^]*Uniqueid: 1700000000\.1\r\n\r\n\r\n$/);

    // The change is kept: the login after the restart asks for 10002 too.
    desk.change({ queues: { 10002: true } });
    await nextEvent(desk, 'snapshot');
    await relay.stop();
    await nextEvent(desk, 'disconnect');
    await relay.start();
    await desk.ready();
    relay.sim.send(join(10002, 3));
    await waitUntil(() => frames.some((m) => m.key === 10002 && m.fields.Uniqueid === '1700000000.3'),
      'a frame of the queue added before the restart');
    desk.close();
    await nextEvent(desk, 'close');
  } finally {
    await relay.shutdown();
  }
});
