'use strict';
// Client library for the Telvane CTI relay's client port and its web desks' WebSocket; see
// README.md. This is the CommonJS entry; index.mjs re-exports these very objects for `import`,
// so an error class is the same object whichever way the library was loaded.

const { Client, connect } = require('./client');
const errors = require('./errors');
const { FrameIterator } = require('./frames');
const {
  ACCESS_CODE, CLASSIC_RANGES, Frame, FrameSplitter, changeCommands, checkChanges, handshakeSteps,
} = require('./protocol');
const cp1252 = require('./cp1252');
const { WebDesk, webDesk } = require('./webdesk');
const { WebSocketClient } = require('./websocket');

module.exports = {
  connect, Client, Frame, FrameIterator, FrameSplitter, changeCommands, checkChanges, handshakeSteps,
  ACCESS_CODE, CLASSIC_RANGES, cp1252, ...errors, WebDesk, webDesk, WebSocketClient,
};
