"""Runs every example session of docs/client-protocol.md against the real relay
and simulator, so the protocol reference cannot drift from what the relay does.

An example is a fenced block tagged `session`; each line is one of:
    > "..."            the desk writes these bytes, as one write
    < "..."            the relay sends these bytes (however its reads fall)
      "..."            an indented line continues the line above
    (exchange) "..."   the exchange sends this event block
    (log) "..."        the relay's log shows this text
    (silence 1 s)      nothing arrives for that long
    (stop)             the operator stops the relay's client port
    (half-close)       the desk shuts down its sending side
    (closed)           the relay closes the connection, after nothing more
Strings are written as Python byte literals without the b. Each example runs
on a fresh relay.
"""

import ast
import re
import signal
import socket
import time
from pathlib import Path

import pytest

from conftest import DEADLINE, REPO

DOC = REPO / "docs" / "client-protocol.md"
_STRING = re.compile(r'"((?:[^"\\]|\\.)*)"')


def _bytes(text):
    return b"".join(ast.literal_eval('b"%s"' % m) for m in _STRING.findall(text))


def _sessions():
    """(name, [(kind, payload)]) for every session block of the document."""
    sessions, section, block = [], "", None
    for line in DOC.read_text(encoding="utf-8").splitlines():
        if block is None:
            if line.startswith("#"):
                section = re.sub(r"^#+\s*(\d+\.\s*)?", "", line)
            elif line.strip() == "```session":
                block = []
            continue
        if line.strip() == "```":
            sessions.append(("%s #%d" % (section, sum(s[0].startswith(section + " #")
                                                      for s in sessions) + 1), block))
            block = None
        elif line.startswith(" ") and block:
            kind, payload = block[-1]
            block[-1] = (kind, payload + " " + line.strip())
        else:
            kind, _, payload = line.partition(" ")
            if line.startswith("("):
                inner, _, rest = line[1:].partition(")")
                word, _, arg = inner.partition(" ")
                kind, payload = "(%s)" % word, arg + " " + rest
            block.append((kind, payload.strip()))
    return sessions


SESSIONS = _sessions()


class _Desk:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.received = b""

    def read_for(self, seconds):
        """Reads what comes within seconds; False once the relay closed."""
        self.sock.settimeout(seconds)
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            return True
        self.received += data
        return bool(data)

    def expect(self, wanted):
        end = time.monotonic() + DEADLINE
        while len(self.received) < len(wanted) and time.monotonic() < end:
            if not self.read_for(0.2):
                break
        got, self.received = self.received[:len(wanted)], self.received[len(wanted):]
        assert got == wanted

    def closed(self):
        end = time.monotonic() + DEADLINE
        while time.monotonic() < end:
            if not self.read_for(0.2):
                break
        else:
            raise AssertionError("the relay did not close the connection")
        assert self.received == b"", "more came before the close"


def test_the_document_has_examples():
    assert len(SESSIONS) >= 5, [name for name, _ in SESSIONS]


@pytest.mark.parametrize("steps", [s for _, s in SESSIONS], ids=[n for n, _ in SESSIONS])
def test_example_session(relay, steps):
    desk = _Desk(relay.port)
    try:
        for kind, payload in steps:
            if kind == ">":
                assert desk.received == b"", "the relay sent more than the example shows"
                desk.sock.sendall(_bytes(payload))
            elif kind == "<":
                desk.expect(_bytes(payload))
            elif kind == "(exchange)":
                block = _bytes(payload)
                assert block.endswith(b"\r\n\r\n"), "an event block ends in its empty line"
                relay.sim.send(block[:-2])
            elif kind == "(log)":
                relay.wait_log(ast.literal_eval(payload))
            elif kind == "(silence)":
                seconds = float(payload.split()[0])
                end = time.monotonic() + seconds
                while time.monotonic() < end:
                    desk.read_for(end - time.monotonic())
                assert desk.received == b""
            elif kind == "(stop)":
                relay.stop(signal.SIGTERM)
            elif kind == "(half-close)":
                desk.sock.shutdown(socket.SHUT_WR)
            elif kind == "(closed)":
                desk.closed()
            else:
                raise AssertionError("unknown line in the example: %s %s" % (kind, payload))
        assert desk.received == b"", "the relay sent more than the example shows"
    finally:
        desk.sock.close()
