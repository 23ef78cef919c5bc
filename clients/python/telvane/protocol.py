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
- The relay never confirms a change command, and reads any value other than a
  yes (TRUE, YES, 1, ...) as "off": so every entry is checked here before a
  command is built, and a bad one raises instead of unsubscribing in silence.

Nothing here blocks or keeps more than one unfinished frame.
"""

from typing import Dict, Iterable, List, Mapping, NamedTuple, Optional, Tuple, Union

from . import codec
from .errors import ProtocolError

GREETING = b"Hi, lets connect..."
ACCESS_CODE = "qmRoK8]"
GOING_DOWN = b"Server is going down!"
MAX_FRAME_BYTES = 16 * 1024 * 1024
# Entries per change command: keeps one command far below what the relay takes
# in one read, so it is never cut into two messages.
MAX_CHANGE_ENTRIES = 1000

FAMILIES = ("queue", "extension", "parking")
_CHANGE_KEYS = {
    "queue": "ChangeQueueInfo",
    "extension": "ChangePeerInfo",
    "parking": "ChangeFeatureParkInfo",
}


class KeyRanges(NamedTuple):
    """The numbers the relay serves per family.

    The defaults are the relay's classic ranges (10001-11000, 20001-30000,
    701-800). A relay with [AMI] PROFILE=CURRENT may move them with [KEYS]
    QUEUEFIRST, EXTENFIRST and PARKFIRST: give the same first numbers here.
    The sizes are fixed (1,000 queues, 10,000 extensions, 100 slots). A
    number outside its range is accepted by the relay and never served, so
    this library refuses it.
    """

    queue_first: int = 10001
    extension_first: int = 20001
    parking_first: int = 701

    def served(self, family: str) -> range:
        first, count = {
            "queue": (self.queue_first, 1000),
            "extension": (self.extension_first, 10000),
            "parking": (self.parking_first, 100),
        }[family]
        return range(first, first + count)


CLASSIC_RANGES = KeyRanges()


class HandshakeStep(NamedTuple):
    """One step: the bytes of its one write and the prompt that answers it."""

    name: str
    message: bytes
    prompt: bytes


def _check_family(family: str) -> None:
    if family not in _CHANGE_KEYS:
        raise ValueError("family must be one of %s, not %r" % (", ".join(FAMILIES), family))


def _numbers(values: Iterable[object], family: str, ranges: KeyRanges) -> List[int]:
    """Sorted, de-duplicated numbers of the family's range; TypeError/ValueError else."""
    served = ranges.served(family)
    result = set()
    for value in values:
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError("%s numbers must be integers, got %r" % (family, value))
        if value not in served:
            raise ValueError("%s %d lies outside %d-%d, the numbers the relay serves (see KeyRanges)"
                             % (family, value, served.start, served.stop - 1))
        result.add(value)
    return sorted(result)


def format_list(values: Iterable[int], family: str = "queue",
                ranges: KeyRanges = CLASSIC_RANGES) -> str:
    """'10001,10002': the text between the parentheses of a list step."""
    _check_family(family)
    return ",".join(str(n) for n in _numbers(values, family, ranges))


def check_app_id(app_id: str) -> bytes:
    """The application name as bytes; it must fit on one line."""
    if not isinstance(app_id, str):
        raise TypeError("app_id must be a string")
    if "\r" in app_id or "\n" in app_id:
        raise ValueError("app_id must not hold a line end")
    return codec.encode(app_id)


def handshake_steps(app_id: str, queues: Iterable[int] = (), extensions: Iterable[int] = (),
                    parking: Iterable[int] = (), access_code: str = ACCESS_CODE,
                    ranges: KeyRanges = CLASSIC_RANGES) -> List[HandshakeStep]:
    """The six steps, greeting first, each with the prompt that ends it."""
    name = check_app_id(app_id)
    code = check_app_id(access_code)

    def lst(key: str, values: Iterable[int], family: str) -> bytes:
        return ("%s: (%s)\r\n" % (key, format_list(values, family, ranges))).encode("ascii")

    return [
        HandshakeStep("greeting", GREETING + b"\r\n", b"Welcome to"),
        HandshakeStep("MyAppID", b"MyAppID: " + name + b"\r\n", b"Token:  ?"),
        HandshakeStep("MyAppToken", b"MyAppToken: " + code + b"\r\n", b"QueueInfo:  ?"),
        HandshakeStep("GetQueueInfo", lst("GetQueueInfo", queues, "queue"), b"PeerInfo:  ?"),
        HandshakeStep("GetPeerInfo", lst("GetPeerInfo", extensions, "extension"),
                      b"FeatureParkInfo:  ?"),
        HandshakeStep("GetFeatureParkInfo", lst("GetFeatureParkInfo", parking, "parking"),
                      b"Server is ready and up!"),
    ]


def check_changes(family: str, changes: Mapping[int, bool],
                  ranges: KeyRanges = CLASSIC_RANGES) -> Dict[int, bool]:
    """{number: on} checked entry by entry: TypeError or ValueError naming the bad one.

    Only True and False (or 1 and 0) say on or off: a string such as "FALSE"
    or a typo such as "TRUW" would reach the relay as an unsubscription.
    """
    _check_family(family)
    checked: Dict[int, bool] = {}
    for number, on in dict(changes).items():
        if on not in (True, False) or not isinstance(on, int):
            raise TypeError("%s %r: the change must be True or False, got %r" % (family, number, on))
        _numbers([number], family, ranges)
        checked[number] = bool(on)
    return checked


def change_commands(family: str, changes: Mapping[int, bool],
                    ranges: KeyRanges = CLASSIC_RANGES) -> List[bytes]:
    """The command writes for {number: bool}, at most MAX_CHANGE_ENTRIES each.

    family: 'queue', 'extension' or 'parking'. Each entry is written
    number:TRUE or number:FALSE, the two forms the relay accepts. Every entry
    is checked first (check_changes): one bad entry, and there is no command.
    """
    on = check_changes(family, changes, ranges)
    entries = ["%d:%s" % (n, "TRUE" if on[n] else "FALSE") for n in sorted(on)]
    key = _CHANGE_KEYS[family]
    return [
        ("%s: (%s)\r\n" % (key, ",".join(entries[i:i + MAX_CHANGE_ENTRIES]))).encode("ascii")
        for i in range(0, len(entries), MAX_CHANGE_ENTRIES)
    ]


def parse_fields(text: str) -> List[Tuple[str, str]]:
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

    def __init__(self, raw: Union[bytes, bytearray, memoryview]) -> None:
        self.raw = bytes(raw)
        self.fields = parse_fields(codec.decode(self.raw))

    @property
    def text(self) -> str:
        """The event decoded from Windows-1252, lines ended by CR LF."""
        return codec.decode(self.raw)

    @property
    def event(self) -> Optional[str]:
        """The value of its Event field, or None."""
        return self.get("Event")

    def get(self, key: str, default: Optional[str] = None) -> Optional[str]:
        """The first value of key (case-sensitive, as the relay reads keys)."""
        for name, value in self.fields:
            if name == key:
                return value
        return default

    def get_all(self, key: str) -> List[str]:
        """Every value of key, in order."""
        return [value for name, value in self.fields if name == key]

    def __repr__(self) -> str:
        return "Frame(%r)" % (self.fields,)


class GoingDown:
    """Stands in the splitter's output where the stop notice came."""

    def __repr__(self) -> str:
        return "GoingDown()"


GOING_DOWN_NOTICE = GoingDown()


class FrameSplitter:
    """Cuts the running connection's bytes into Frames and the stop notice.

    One read may hold several frames, a part of one, or both: feed() keeps the
    unfinished frame and returns what is complete, in order.
    """

    def __init__(self, max_frame_bytes: int = MAX_FRAME_BYTES) -> None:
        self._buffer = bytearray()
        self._max = max_frame_bytes
        self._scanned = 0  # the unfinished frame holds no CR LF CR LF before this

    def feed(self, data: bytes) -> List[Union[Frame, GoingDown]]:
        self._buffer += data
        buf, pos = self._buffer, 0
        out: List[Union[Frame, GoingDown]] = []
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

    def pending(self) -> int:
        """Bytes of an unfinished frame (0 when only empty lines are pending)."""
        return len(self._buffer.lstrip(b"\r\n"))
