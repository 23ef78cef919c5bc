"""Client library for the Telvane CTI relay's client port.

    import telvane
    with telvane.connect("127.0.0.1", 50387, "Wallboard", queues=[10001]) as client:
        for frame in client:
            print(frame.event, frame.fields)

telvane.aio holds the same client for asyncio; telvane.codec the relay's
Windows-1252 text. See docs/client-protocol.md in the Telvane repository for
the protocol itself.
"""

from . import codec
from .client import Client, connect
from .errors import (ClientClosed, ConnectError, ConnectionClosed, HandshakeRejected,
                     ProtocolError, ServerGoingDown, TelvaneError)
from .protocol import (ACCESS_CODE, CLASSIC_RANGES, Frame, FrameSplitter, KeyRanges,
                       change_commands, check_changes, handshake_steps)

__version__ = "1.1.0"

__all__ = [
    "ACCESS_CODE", "CLASSIC_RANGES", "Client", "ClientClosed", "ConnectError",
    "ConnectionClosed", "Frame", "FrameSplitter", "HandshakeRejected", "KeyRanges",
    "ProtocolError", "ServerGoingDown", "TelvaneError", "change_commands", "check_changes",
    "codec", "connect", "handshake_steps",
]
