"""The relay's client protocol without any I/O: handshake messages, list and
command texts, and the splitter that cuts the byte stream into frames.

Wire facts this module relies on:
- The relay has no framing for what a client sends: each read on its side is
  one message. So each handshake step is one write, sent only after the prompt
  of the step before it arrived, and change commands are written one at a time.
- Every text is Windows-1252 (see codec.py); lines end in CR LF.
- A frame is the event's lines, each ended by CR LF, followed by CR LF CR LF:
  the first empty line ends the event, the second is skipped like every empty
  line between frames (the CR LF CR LF after the last prompt too).
- 'Server is going down!' comes as 21 bytes without a line end, where a frame
  could begin.

Nothing here blocks or keeps more than one unfinished frame.
"""

from . import codec
from .errors import ProtocolError

GREETING = b"Hi, lets connect..."
ACCESS_CODE = "qmRoK8]"
GOING_DOWN = b"Server is going down!"
MAX_FRAME_BYTES = 16 * 1024 * 1024
# Entries per change command: keeps one command far below what the relay takes
# in one read, so it is never cut into two messages.
MAX_CHANGE_ENTRIES = 1000

_CHANGE_KEYS = {
    "queue": "ChangeQueueInfo",
    "extension": "ChangePeerInfo",
    "parking": "ChangeFeatureParkInfo",
}


class HandshakeStep:
    """One step: the bytes of its one write and the prompt that answers it."""

    __slots__ = ("name", "message", "prompt")

    def __init__(self, name, message, prompt):
        self.name = name
        self.message = message
        self.prompt = prompt

    def __repr__(self):
        return "HandshakeStep(%r, %r, %r)" % (self.name, self.message, self.prompt)


def _numbers(values, what):
    """Sorted, de-duplicated non-negative integers; TypeError/ValueError else."""
    result = set()
    for value in values:
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError("%s must be integers, got %r" % (what, value))
        if value < 0 or value > 999999999:
            raise ValueError("%s: %d is not a number the relay reads" % (what, value))
        result.add(value)
    return sorted(result)


def format_list(values, what="list"):
    """'10001,10002': the text between the parentheses of a list step."""
    return ",".join(str(n) for n in _numbers(values, what))


def check_app_id(app_id):
    """The application name as bytes; it must fit on one line."""
    if not isinstance(app_id, str):
        raise TypeError("app_id must be a string")
    if "\r" in app_id or "\n" in app_id:
        raise ValueError("app_id must not hold a line end")
    return codec.encode(app_id)


def handshake_steps(app_id, queues=(), extensions=(), parking=(), access_code=ACCESS_CODE):
    """The six steps, greeting first, each with the prompt that ends it."""
    name = check_app_id(app_id)
    code = check_app_id(access_code)

    def lst(key, values, what):
        return ("%s: (%s)\r\n" % (key, format_list(values, what))).encode("ascii")

    return [
        HandshakeStep("greeting", GREETING + b"\r\n", b"Welcome to"),
        HandshakeStep("MyAppID", b"MyAppID: " + name + b"\r\n", b"Token:  ?"),
        HandshakeStep("MyAppToken", b"MyAppToken: " + code + b"\r\n", b"QueueInfo:  ?"),
        HandshakeStep("GetQueueInfo", lst("GetQueueInfo", queues, "queues"), b"PeerInfo:  ?"),
        HandshakeStep("GetPeerInfo", lst("GetPeerInfo", extensions, "extensions"),
                      b"FeatureParkInfo:  ?"),
        HandshakeStep("GetFeatureParkInfo", lst("GetFeatureParkInfo", parking, "parking"),
                      b"Server is ready and up!"),
    ]


def change_commands(family, changes):
    """The command writes for {number: bool}, at most MAX_CHANGE_ENTRIES each.

    family: 'queue', 'extension' or 'parking'. Each entry is written
    number:TRUE or number:FALSE, the two forms the relay accepts.
    """
    if family not in _CHANGE_KEYS:
        raise ValueError("family must be one of %s" % ", ".join(sorted(_CHANGE_KEYS)))
    items = dict(changes).items()
    numbers = _numbers([n for n, _ in items], family)
    on = {n: bool(v) for n, v in items}
    entries = ["%d:%s" % (n, "TRUE" if on[n] else "FALSE") for n in numbers]
    key = _CHANGE_KEYS[family]
    return [
        ("%s: (%s)\r\n" % (key, ",".join(entries[i:i + MAX_CHANGE_ENTRIES]))).encode("ascii")
        for i in range(0, len(entries), MAX_CHANGE_ENTRIES)
    ]


def parse_fields(text):
    """Ordered (key, value) pairs of an event's lines.

    The key is the text before the first colon, the value the text after it
    without the blanks that follow the colon. A line without a colon is kept
    whole as a key with an empty value, so no line is lost.
    """
    fields = []
    for line in text.split("\r\n"):
        if not line:
            continue
        key, colon, value = line.partition(":")
        fields.append((key, value.lstrip(" ") if colon else ""))
    return fields


class Frame:
    """One event as the relay sent it.

    raw: the event's bytes as received, each line with its CR LF (without the
    empty lines that close the frame); fields: ordered (key, value) pairs of
    the decoded text; a key may occur more than once.
    """

    __slots__ = ("raw", "fields")

    def __init__(self, raw):
        self.raw = bytes(raw)
        self.fields = parse_fields(codec.decode(self.raw))

    @property
    def text(self):
        """The event decoded from Windows-1252, lines ended by CR LF."""
        return codec.decode(self.raw)

    @property
    def event(self):
        """The value of its Event field, or None."""
        return self.get("Event")

    def get(self, key, default=None):
        """The first value of key (case-sensitive, as the relay reads keys)."""
        for name, value in self.fields:
            if name == key:
                return value
        return default

    def get_all(self, key):
        """Every value of key, in order."""
        return [value for name, value in self.fields if name == key]

    def __repr__(self):
        return "Frame(%r)" % (self.fields,)


class GoingDown:
    """Stands in the splitter's output where the stop notice came."""

    def __repr__(self):
        return "GoingDown()"


GOING_DOWN_NOTICE = GoingDown()


class FrameSplitter:
    """Cuts the running connection's bytes into Frames and the stop notice.

    One read may hold several frames, a part of one, or both: feed() keeps the
    unfinished frame and returns what is complete, in order.
    """

    def __init__(self, max_frame_bytes=MAX_FRAME_BYTES):
        self._buffer = bytearray()
        self._max = max_frame_bytes
        self._scanned = 0  # the unfinished frame holds no CR LF CR LF before this

    def feed(self, data):
        self._buffer += data
        buf, pos, out = self._buffer, 0, []
        while True:
            while buf.startswith(b"\r\n", pos):  # empty lines between frames
                pos += 2
            if buf.startswith(GOING_DOWN, pos):
                pos += len(GOING_DOWN)
                out.append(GOING_DOWN_NOTICE)
                continue
            end = buf.find(b"\r\n\r\n", max(pos, self._scanned))
            if end < 0:
                break
            out.append(Frame(buf[pos:end + 2]))
            pos = end + 4
        del buf[:pos]
        # Each byte is searched once, however many reads a frame takes.
        self._scanned = max(0, len(buf) - 3)
        if len(buf) > self._max:
            raise ProtocolError(
                "a frame grew past %d bytes without its closing empty line" % self._max
            )
        return out

    def pending(self):
        """Bytes of an unfinished frame (0 when only empty lines are pending)."""
        return len(self._buffer.lstrip(b"\r\n"))
