'use strict';
// One connection to the relay's client port through the six handshake steps.
//
// openLink() connects (TCP, or TLS with an optional CA file), writes each step
// as one write only after the prompt of the step before it arrived (the relay
// takes every read as one message), and resolves with the socket and the bytes
// that followed the last prompt, or rejects with the error that names the step.
// The socket's 'data', 'error' and 'close' listeners are removed and the socket
// paused before it is handed over; the caller attaches its own and resumes it.

const fs = require('node:fs');
const net = require('node:net');
const tls = require('node:tls');
const protocol = require('./protocol');
const {
  ConnectError, ConnectionClosed, HandshakeRejected, ServerGoingDown, TelvaneError,
} = require('./errors');

function openSocket(settings) {
  const { host, port } = settings;
  if (!settings.tls) return net.connect({ host, port });
  let ca;
  if (settings.caFile) {
    try {
      ca = fs.readFileSync(settings.caFile);
    } catch (err) {
      throw new ConnectError(`cannot read the CA file ${settings.caFile}: ${err.message}`);
    }
  }
  return tls.connect({ host, port, ca, servername: settings.servername || (net.isIP(host) ? undefined : host) });
}

function openLink(settings, subscriptions) {
  const steps = protocol.handshakeSteps({
    appId: settings.appId, accessCode: settings.accessCode, ranges: settings.ranges, ...subscriptions,
  });
  return new Promise((resolve, reject) => {
    let socket;
    try {
      socket = openSocket(settings);
    } catch (err) {
      reject(err instanceof TelvaneError ? err : new ConnectError(err.message));
      return;
    }
    let step = -1;           // -1 while connecting
    let reply = Buffer.alloc(0);
    let timer = null;
    let settled = false;

    const finish = (err, rest) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      socket.removeListener('data', onData);
      socket.removeListener('error', onError);
      socket.removeListener('close', onClose);
      socket.removeListener(settings.tls ? 'secureConnect' : 'connect', onConnect);
      if (err) {
        socket.destroy();
        reject(err);
      } else {
        socket.pause(); // the caller resumes once its own listeners are on
        resolve({ socket, rest });
      }
    };
    const arm = (ms, onTimeout) => {
      clearTimeout(timer);
      timer = setTimeout(onTimeout, ms);
    };
    const send = () => {
      reply = Buffer.alloc(0);
      socket.write(steps[step].message); // one step, one write: one read on the relay's side
      arm(settings.stepTimeout, () => finish(new HandshakeRejected(
        steps[step].name, steps[step].prompt.toString('latin1'), settings.stepTimeout)));
    };
    function onConnect() {
      socket.setNoDelay(true); // each write leaves at once
      socket.setKeepAlive(true);
      step = 0;
      send();
    }
    function onData(chunk) {
      if (step < 0) return;
      reply = Buffer.concat([reply, chunk]);
      const found = reply.indexOf(steps[step].prompt);
      if (found < 0) {
        if (reply.includes(protocol.GOING_DOWN)) finish(new ServerGoingDown(steps[step].name));
        return;
      }
      if (++step < steps.length) {
        send();
        return;
      }
      finish(null, reply.subarray(found + steps[step - 1].prompt.length));
    }
    function onError(err) {
      const how = settings.tls ? ' over TLS' : '';
      if (step < 0) finish(new ConnectError(`cannot connect to ${settings.host}:${settings.port}${how}: ${err.message}`));
      else finish(new ConnectionClosed(steps[step].name, `broken: ${err.message}`));
    }
    function onClose() {
      finish(step < 0 ? new ConnectError(`connection to ${settings.host}:${settings.port} closed while opening`)
        : new ConnectionClosed(steps[step].name));
    }
    socket.on(settings.tls ? 'secureConnect' : 'connect', onConnect);
    socket.on('data', onData);
    socket.on('error', onError);
    socket.on('close', onClose);
    arm(settings.connectTimeout, () => finish(new ConnectError(
      `no connection to ${settings.host}:${settings.port} within ${settings.connectTimeout} ms`)));
  });
}

module.exports = { openLink };
