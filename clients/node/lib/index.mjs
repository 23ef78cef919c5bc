// The ES module entry: the CommonJS library's own objects under their names, so that a program
// (or two of its dependencies) loading the library both ways meets one Client, one set of error
// classes, and `instanceof` works across.
import telvane from './index.js';

export const {
  connect, Client, Frame, FrameIterator, FrameSplitter, changeCommands, checkChanges, handshakeSteps,
  ACCESS_CODE, CLASSIC_RANGES, cp1252,
  TelvaneError, ConnectError, HandshakeRejected, ServerGoingDown, ConnectionClosed, ProtocolError, ClientClosed,
  WebDesk, webDesk, WebSocketClient,
} = telvane;
export default telvane;
