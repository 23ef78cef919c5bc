"""The exceptions of the client; each says what happened and what to do.

Every exception derives from TelvaneError, so one except clause catches all.
"""

# What usually makes the relay ignore a step. The relay never says "no": a
# rejected step gets no answer at all, so only the per-step timeout can tell.
_STEP_HINTS = {
    "greeting": "the port is not the relay's client port, or every one of its "
    "100 client slots is taken (a client without a slot is never answered)",
    "MyAppID": "the application name line was not whole in one read",
    "MyAppToken": "the access code is wrong",
    "GetQueueInfo": "the list arrived in two reads (a very long list?) or "
    "lacks its closing parenthesis",
    "GetPeerInfo": "the list arrived in two reads (a very long list?) or "
    "lacks its closing parenthesis",
    "GetFeatureParkInfo": "the list arrived in two reads (a very long list?) "
    "or lacks its closing parenthesis",
}


class TelvaneError(Exception):
    """Base of every error of this package."""


class ConnectError(TelvaneError):
    """The TCP or TLS connection to the relay could not be opened."""


class HandshakeRejected(TelvaneError):
    """A handshake step got no prompt within its timeout.

    Attributes: step (the step's name, e.g. 'MyAppToken'), prompt (the text
    that did not come), timeout (seconds waited).
    """

    def __init__(self, step, prompt, timeout):
        self.step = step
        self.prompt = prompt
        self.timeout = timeout
        super().__init__(
            "handshake step %s was not answered within %.1f s (waited for %r); "
            "the relay ignores a rejected step in silence: probably %s. "
            "The relay expects the greeting again before anything else."
            % (step, timeout, prompt, _STEP_HINTS.get(step, "it was rejected"))
        )


class ServerGoingDown(TelvaneError):
    """The relay sent 'Server is going down!': its client port is closing."""

    def __init__(self, during="running"):
        self.during = during
        super().__init__(
            "the relay announced 'Server is going down!' (%s) and is closing "
            "the connection: its client port is being stopped" % during
        )


class ConnectionClosed(TelvaneError):
    """The relay closed the connection, or the connection broke.

    Attribute during: the handshake step, or 'running'.
    """

    def __init__(self, during, reason="closed by the relay"):
        self.during = during
        hint = ""
        if during == "running":
            hint = (
                "; a client that does not read its frames is cut off once "
                "4 MiB wait for it"
            )
        else:
            hint = (
                "; a connection that is not through the handshake in time "
                "(the relay's handshake deadline), or one address over its "
                "limit of connections in the handshake, is closed"
            )
        self.reason = reason
        super().__init__("connection %s (%s)%s" % (reason, during, hint))


class ProtocolError(TelvaneError):
    """The relay sent something no frame can be: e.g. a frame over the bound."""


class ClientClosed(TelvaneError):
    """The client was closed by the application; no frame follows."""
