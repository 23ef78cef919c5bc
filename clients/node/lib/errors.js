'use strict';
// The errors of the client; each says what happened and what to do. All are
// TelvaneError, so one instanceof test catches them.

// What usually makes the relay ignore a step. The relay never says "no": a
// rejected step gets no answer at all, so only the per-step timeout can tell.
const LIST_HINT = 'the list arrived in two reads (a very long list?) or lacks its closing parenthesis';
const STEP_HINTS = {
  greeting: "the port is not the relay's client port, or every one of its 100 client slots " +
    'is taken (a client without a slot is never answered)',
  MyAppID: 'the application name line was not whole in one read',
  MyAppToken: 'the access code is wrong',
  GetQueueInfo: LIST_HINT,
  GetPeerInfo: LIST_HINT,
  GetFeatureParkInfo: LIST_HINT,
};

class TelvaneError extends Error {
  constructor(message) {
    super(message);
    this.name = this.constructor.name;
  }
}

/** The TCP or TLS connection could not be opened. */
class ConnectError extends TelvaneError {}

/** A handshake step got no prompt within its timeout; step names it. */
class HandshakeRejected extends TelvaneError {
  constructor(step, prompt, timeoutMs) {
    super(`handshake step ${step} was not answered within ${(timeoutMs / 1000).toFixed(1)} s ` +
      `(waited for ${JSON.stringify(prompt)}); the relay ignores a rejected step in silence: ` +
      `probably ${STEP_HINTS[step] || 'it was rejected'}. ` +
      'The relay expects the greeting again before anything else.');
    this.step = step;
    this.prompt = prompt;
    this.timeoutMs = timeoutMs;
  }
}

/**
 * The relay sent "Server is going down!": its client port is closing, because the operator
 * stopped it or the relay is stopping or restarting. Reconnection (the default) brings the link
 * back once the relay listens again.
 */
class ServerGoingDown extends TelvaneError {
  constructor(during = 'running') {
    super(`the relay announced 'Server is going down!' (${during}) and closed the connection: ` +
      'it is being stopped or restarted, or its operator stopped the client port; ' +
      'connect again once it is back');
    this.during = during;
  }
}

/**
 * The relay closed the connection, or it broke. during: the handshake step, or 'running';
 * slowReader: true when this client had stopped reading because the application did not take
 * its frames, the one case where the relay cuts a desk off on its own (once 4 MiB wait for it).
 */
class ConnectionClosed extends TelvaneError {
  constructor(during, reason = 'closed by the relay', slowReader = false) {
    let hint;
    if (during !== 'running') {
      hint = "a connection that is not through the handshake in time (the relay's handshake " +
        'deadline), or one address over its limit of connections in the handshake, is closed';
    } else if (slowReader) {
      hint = 'the application had fallen behind and this client had stopped reading: the relay ' +
        'cuts a desk off once 4 MiB wait for it (the last frame may have been cut in the middle)';
    } else {
      hint = 'the client was keeping up, so the relay probably ended without its stop notice ' +
        '(killed, crashed or restarted) or the network dropped the connection';
    }
    super(`connection ${reason} (${during}); ${hint}`);
    this.during = during;
    this.reason = reason;
    this.slowReader = slowReader;
  }
}

/** The relay sent something no frame can be, e.g. a frame over the bound. */
class ProtocolError extends TelvaneError {}

/** The client was closed by the application; no frame follows. */
class ClientClosed extends TelvaneError {
  constructor(message = 'the client is closed') {
    super(message);
  }
}

module.exports = {
  TelvaneError, ConnectError, HandshakeRejected, ServerGoingDown, ConnectionClosed, ProtocolError, ClientClosed,
};
