'use strict';
// The library against the real relay and simulator: the handshake, frames as
// the relay writes them, change commands, rejected steps, the stop notice,
// the renewal of a lost link, and TLS.

const test = require('node:test');
const assert = require('node:assert/strict');
const net = require('node:net');
const telvane = require('../lib');
const { nextEvent, startRelay, startTlsProxy, waitUntil } = require('./support');

const b = (text) => Buffer.from(text, 'latin1');
const event = (name, keyLine, ...extra) =>
  b([`Event: ${name}`, 'Privilege: call,all', ...extra, keyLine].join('\r\n') + '\r\n');
const queueEvent = (name, queue, ...extra) => event(name, `Queue: ${queue}`, 'File: app_queue.c', ...extra);
const PARK = event('ParkedCall', 'Exten: 701', 'File: features.c', 'Channel: SIP/20002-0000000a');
const PEER = event('PeerStatus', 'Peer: SIP/20001', 'File: chan_sip.c', 'PeerStatus: Registered');

/** A client whose frames are collected; ended by the relay fixture's clean-up. */
async function collecting(options) {
  const client = telvane.connect({ host: '127.0.0.1', appId: 'Desk7', ...options });
  client.received = [];
  client.on('frame', (frame) => client.received.push(frame));
  await client.ready();
  return client;
}

function withRelay(name, body) {
  test(name, async () => {
    const relay = await startRelay();
    const clients = [];
    try {
      await body(relay, clients);
    } finally {
      for (const client of clients) client.close();
      await relay.shutdown();
    }
  });
}

withRelay('frames arrive whole, parsed and in order per key', async (relay, clients) => {
  const calls = [1, 2, 3].map((n) => queueEvent('Join', 10001, 'CallerIDName: Jos\xe9 \x80', `Position: ${n}`));
  const client = await collecting({ port: relay.port, queues: [10001], extensions: [20001], parking: [701] });
  clients.push(client);
  relay.sim.send(...calls, PARK, PEER);
  await waitUntil(() => client.received.length >= 5, 'five frames');
  const byKey = {};
  for (const frame of client.received) {
    const key = frame.get('Queue') || frame.get('Exten') || frame.get('Peer');
    (byKey[key] = byKey[key] || []).push(frame.raw);
  }
  assert.deepEqual(byKey['10001'], calls);
  assert.deepEqual(byKey['701'], [PARK]);
  assert.deepEqual(byKey['SIP/20001'], [PEER]);
  const first = client.received.find((f) => f.get('Queue') === '10001');
  assert.deepEqual(first.fields.slice(0, 2), [['Event', 'Join'], ['Privilege', 'call,all']]);
  assert.equal(first.get('CallerIDName'), 'Jos\u00e9 \u20ac');
});

withRelay('change commands reach the relay one per read', async (relay, clients) => {
  const client = await collecting({ port: relay.port, queues: [10001] });
  clients.push(client);
  // Written back to back by the application: each must arrive in a read of its own.
  client.changeQueues({ 10001: false, 10002: true });
  client.changeExtensions({ 20001: true });
  client.changeParking({ 701: true });
  await relay.waitLog('Changing Queue: 10002 to True');
  await relay.waitLog('Changing Peer: 20001 to True');
  await relay.waitLog('Changing FeaturePark: 701 to True');
  relay.sim.send(queueEvent('Join', 10001), queueEvent('Join', 10002));
  await waitUntil(() => client.received.length >= 1, 'a frame');
  assert.equal(client.received[0].get('Queue'), '10002');
  assert.deepEqual(client.subscriptions, { queue: [10002], extension: [20001], parking: [701] });
});

withRelay('a rejected step is named', async (relay) => {
  const silent = net.createServer(() => {}); // accepts and never answers, like a relay with every slot taken
  await new Promise((resolve) => silent.listen(0, '127.0.0.1', resolve));
  const cases = [
    ['wrong access code', { port: relay.port, accessCode: 'letmein' }, 'MyAppToken'],
    ['no answer at all', { port: silent.address().port }, 'greeting'],
  ];
  try {
    for (const [name, options, step] of cases) {
      const client = telvane.connect({ host: '127.0.0.1', appId: 'Desk7', stepTimeout: 1000, ...options });
      await assert.rejects(client.ready(), (err) => {
        assert.ok(err instanceof telvane.HandshakeRejected, name);
        assert.equal(err.step, step, name);
        assert.match(err.message, new RegExp(step));
        return true;
      });
    }
  } finally {
    silent.close();
  }
});

for (const [signal, error] of [['SIGTERM', telvane.ServerGoingDown], ['SIGKILL', telvane.ConnectionClosed]]) {
  withRelay(`the end of the relay is reported (${signal})`, async (relay, clients) => {
    const client = await collecting({ port: relay.port, queues: [10001], reconnect: false });
    clients.push(client);
    const failed = nextEvent(client, 'error');
    const closed = nextEvent(client, 'close');
    await relay.stop(signal);
    const err = await failed;
    assert.ok(err instanceof error);
    assert.ok((await closed) instanceof error);
    // The client was keeping up: the message names the end of the relay, not a slow reader.
    assert.match(err.message, /stopped or restarted|killed, crashed or restarted/);
    assert.equal(err.slowReader || false, false);
  });
}

withRelay('frames are iterated until the client is closed', async (relay, clients) => {
  const client = await collecting({ port: relay.port, queues: [10001] });
  clients.push(client);
  relay.sim.send(queueEvent('Join', 10001, 'Position: 1'), queueEvent('Join', 10001, 'Position: 2'));
  const positions = [];
  for await (const frame of client) {
    positions.push(frame.get('Position'));
    if (positions.length === 2) client.close();
  }
  assert.deepEqual(positions, ['1', '2']);
  assert.throws(() => client.changeQueues({ 10002: true }), telvane.ClientClosed);
});

withRelay('a lost link is renewed with the current subscriptions', async (relay, clients) => {
  const client = await collecting({ port: relay.port, queues: [10001], backoff: { initial: 200, max: 1000 } });
  clients.push(client);
  const losses = [];
  client.on('lost', (err) => losses.push(err));
  client.changeQueues({ 10001: false, 10003: true });
  await relay.waitLog('Changing Queue: 10003 to True');
  await relay.stop('SIGTERM');
  await waitUntil(() => losses.length > 0, 'the loss');
  const renewed = nextEvent(client, 'ready');
  await relay.start();
  assert.deepEqual(await renewed, { reconnects: 1 });
  await relay.waitLog('"GetQueueInfo: (10003)"');
  relay.sim.send(queueEvent('Join', 10001), queueEvent('Join', 10003));
  await waitUntil(() => client.received.length >= 1, 'a frame');
  assert.equal(client.received[0].get('Queue'), '10003');
  assert.ok(losses[0] instanceof telvane.ServerGoingDown);
});

withRelay('TLS', async (relay, clients) => {
  const proxy = await startTlsProxy(relay.tmp, relay.port);
  try {
    const client = await collecting({ port: proxy.port, queues: [10001], tls: true, caFile: proxy.ca });
    clients.push(client);
    relay.sim.send(queueEvent('Join', 10001));
    await waitUntil(() => client.received.length >= 1, 'a frame over TLS');
    assert.equal(client.received[0].event, 'Join');
    const untrusted = telvane.connect({ host: '127.0.0.1', port: proxy.port, appId: 'Desk7', tls: true });
    await assert.rejects(untrusted.ready(), (err) => err instanceof telvane.ConnectError && /TLS/.test(err.message));
  } finally {
    proxy.close();
  }
});

