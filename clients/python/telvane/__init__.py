"""Client library for the Telvane CTI relay's client port.

    import telvane
    with telvane.connect("127.0.0.1", 50387, "Wallboard", queues=[10001]) as client:
        for frame in client:
            print(frame.event, frame.fields)

See docs/client-protocol.md in the Telvane repository for the protocol itself.
"""

from .client import Client, connect
from .errors import (ClientClosed, ConnectError, ConnectionClosed, HandshakeRejected,
                     ProtocolError, ServerGoingDown, TelvaneError)
from .protocol import ACCESS_CODE, Frame, FrameSplitter, change_commands, handshake_steps

__version__ = "1.0.0"

__all__ = [
    "ACCESS_CODE", "Client", "ClientClosed", "ConnectError", "ConnectionClosed", "Frame",
    "FrameSplitter", "HandshakeRejected", "ProtocolError", "ServerGoingDown", "TelvaneError",
    "change_commands", "connect", "handshake_steps",
]
