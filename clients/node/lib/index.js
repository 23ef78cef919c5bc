'use strict';
// Client library for the Telvane CTI relay's client port and its web desks' WebSocket; see README.md.

const { Client, connect } = require('./client');
const errors = require('./errors');
const { ACCESS_CODE, Frame, FrameSplitter, changeCommands, handshakeSteps } = require('./protocol');
const cp1252 = require('./cp1252');
const { WebDesk, webDesk } = require('./webdesk');
const { WebSocketClient } = require('./websocket');

module.exports = {
  connect, Client, Frame, FrameSplitter, changeCommands, handshakeSteps, ACCESS_CODE, cp1252, ...errors,
  WebDesk, webDesk, WebSocketClient,
};
