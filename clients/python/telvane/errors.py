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

    def __init__(self, step: str, prompt: str, timeout: float) -> None:
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
    """The relay sent 'Server is going down!': its client port is closing.

    The relay sends it when its client port is stopped: the operator's
    "Stop Server", or the relay stopping or restarting. Reconnecting (the
    default) brings the link back once the relay listens again.
    """

    def __init__(self, during: str = "running") -> None:
        self.during = during
        super().__init__(
            "the relay announced 'Server is going down!' (%s) and closed the "
            "connection: it is being stopped or restarted, or its operator "
            "stopped the client port; connect again once it is back" % during
        )


class ConnectionClosed(TelvaneError):
    """The relay closed the connection, or the connection broke.

    Attributes: during (the handshake step, or 'running'), reason, and
    slow_reader: True when this client had stopped reading because the
    application did not take its frames, the one case where the relay cuts a
    desk off on its own (once 4 MiB wait for it).
    """

    def __init__(self, during: str, reason: str = "closed by the relay",
                 slow_reader: bool = False) -> None:
        self.during = during
        self.reason = reason
        self.slow_reader = slow_reader
        if during != "running":
            hint = (
                "; a connection that is not through the handshake in time "
                "(the relay's handshake deadline), or one address over its "
                "limit of connections in the handshake, is closed"
            )
        elif slow_reader:
            hint = (
                "; the application had fallen behind and this client had "
                "stopped reading: the relay cuts a desk off once 4 MiB wait "
                "for it (the last frame may have been cut in the middle)"
            )
        else:
            hint = (
                "; the client was keeping up, so the relay probably ended "
                "without its stop notice (killed, crashed or restarted) or "
                "the network dropped the connection"
            )
        super().__init__("connection %s (%s)%s" % (reason, during, hint))


class ProtocolError(TelvaneError):
    """The relay sent something no frame can be: e.g. a frame over the bound."""


class ClientClosed(TelvaneError):
    """The client was closed by the application; no frame follows."""

