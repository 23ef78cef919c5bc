"""The protocol pieces without a relay: the bytes written and the cutting of
what is read, where an off-by-one loses or merges frames."""

import pytest

import telvane
from telvane import protocol
from telvane.codec import decode, encode
from telvane.errors import ProtocolError

JOIN = b"Event: Join\r\nQueue: 10001\r\nCallerIDName: Jos\xe9 \x80 \x81\r\n"
LEAVE = b"Event: Leave\r\nQueue: 10001\r\nCount: 0\r\n"
# What the relay writes: the last prompt's end, two frames, the stop notice.
STREAM = b"\r\n\r\n" + JOIN + b"\r\n\r\n" + LEAVE + b"\r\n\r\n" + protocol.GOING_DOWN


def cut(data, points):
    edges = [0, *points, len(data)]
    return [data[a:b] for a, b in zip(edges, edges[1:])]


def split_all(pieces):
    splitter = protocol.FrameSplitter()
    out = []
    for piece in pieces:
        out += splitter.feed(piece)
    return [("notice" if item is protocol.GOING_DOWN_NOTICE else item.raw) for item in out]


EXPECTED = [JOIN, LEAVE, "notice"]


@pytest.mark.parametrize("pieces", [
    [STREAM],
    cut(STREAM, range(1, len(STREAM))),                       # one byte per read
    cut(STREAM, [len(STREAM) - 5]),                           # notice cut by a read
    cut(STREAM, [4 + len(JOIN) + 1]),                         # inside the CR LF CR LF
    cut(STREAM, [4 + len(JOIN) + 4, 4 + len(JOIN) + 5]),      # the second empty line alone
], ids=["whole", "bytewise", "notice-cut", "mid-terminator", "lone-crlf"])
def test_splitter_gives_the_same_frames_however_reads_fall(pieces):
    assert split_all(pieces) == EXPECTED


def test_splitter_every_two_piece_cut():
    for point in range(1, len(STREAM)):
        assert split_all(cut(STREAM, [point])) == EXPECTED, point


def test_splitter_keeps_an_unfinished_frame_and_bounds_it():
    splitter = protocol.FrameSplitter(max_frame_bytes=64)
    assert splitter.feed(b"Event: Join\r\nQueue: 1") == []
    assert splitter.pending() == len(b"Event: Join\r\nQueue: 1")
    with pytest.raises(ProtocolError):
        splitter.feed(b"x" * 100)


def test_frame_fields_keep_order_duplicates_and_odd_lines():
    frame = protocol.Frame(b"Event: Dial\r\nVariable: a=1\r\nVariable: b=2\r\n"
                           b"Empty:\r\nno colon here\r\nTime: 12:30\r\n")
    assert frame.fields == [("Event", "Dial"), ("Variable", "a=1"), ("Variable", "b=2"),
                            ("Empty", ""), ("no colon here", ""), ("Time", "12:30")]
    assert frame.event == "Dial"
    assert frame.get_all("Variable") == ["a=1", "b=2"]
    assert frame.get("Missing", "-") == "-"


def test_frame_decodes_windows_1252_and_keeps_the_raw_bytes():
    frame = protocol.Frame(JOIN)
    assert frame.get("CallerIDName") == "Jos\u00e9 \u20ac \x81"
    assert frame.raw == JOIN
    assert encode(frame.text) == JOIN


def test_codec_round_trips_every_byte():
    every = bytes(range(256))
    assert encode(decode(every)) == every
    with pytest.raises(ValueError):
        encode("\u4e2d")
    # The error handler is there for code that decodes the relay's bytes itself.
    assert every.decode("cp1252", errors=telvane.codec.ERROR_HANDLER) == decode(every)


def test_handshake_bytes():
    steps = protocol.handshake_steps("Desk 7", [10002, 10001, 10002], [], [701])
    assert [(s.name, s.message, s.prompt) for s in steps] == [
        ("greeting", b"Hi, lets connect...\r\n", b"Welcome to"),
        ("MyAppID", b"MyAppID: Desk 7\r\n", b"Token:  ?"),
        ("MyAppToken", b"MyAppToken: qmRoK8]\r\n", b"QueueInfo:  ?"),
        ("GetQueueInfo", b"GetQueueInfo: (10001,10002)\r\n", b"PeerInfo:  ?"),
        ("GetPeerInfo", b"GetPeerInfo: ()\r\n", b"FeatureParkInfo:  ?"),
        ("GetFeatureParkInfo", b"GetFeatureParkInfo: (701)\r\n", b"Server is ready and up!"),
    ]


@pytest.mark.parametrize("app_id, queues, error", [
    ("Desk\r\n7", [], ValueError),
    ("Desk \u4e2d", [], ValueError),
    ("Desk", ["10001"], TypeError),
    ("Desk", [True], TypeError),
    ("Desk", [-1], ValueError),
])
def test_handshake_refuses_what_the_relay_would_misread(app_id, queues, error):
    with pytest.raises(error):
        protocol.handshake_steps(app_id, queues)


@pytest.mark.parametrize("family, changes, expected", [
    ("queue", {10002: False, 10001: True}, [b"ChangeQueueInfo: (10001:TRUE,10002:FALSE)\r\n"]),
    ("extension", {20001: 1}, [b"ChangePeerInfo: (20001:TRUE)\r\n"]),
    ("parking", {701: False}, [b"ChangeFeatureParkInfo: (701:FALSE)\r\n"]),
    ("queue", {}, []),
])
def test_change_command_bytes(family, changes, expected):
    assert protocol.change_commands(family, changes) == expected


def test_long_change_is_cut_into_commands_the_relay_reads_whole():
    commands = protocol.change_commands("extension", {n: True for n in range(20001, 22501)})
    assert len(commands) == 3
    assert all(c.startswith(b"ChangePeerInfo: (") and c.endswith(b")\r\n") for c in commands)
    assert sum(c.count(b":TRUE") for c in commands) == 2500
    with pytest.raises(ValueError):
        protocol.change_commands("queues", {10001: True})


CURRENT = protocol.KeyRanges(queue_first=1, extension_first=201, parking_first=70)


@pytest.mark.parametrize("family, changes, ranges, expected", [
    ("extension", {30000: True}, protocol.CLASSIC_RANGES, b"ChangePeerInfo: (30000:TRUE)\r\n"),
    ("parking", {800: False}, protocol.CLASSIC_RANGES, b"ChangeFeatureParkInfo: (800:FALSE)\r\n"),
    ("extension", {202: True}, CURRENT, b"ChangePeerInfo: (202:TRUE)\r\n"),
    ("queue", {1000: True}, CURRENT, b"ChangeQueueInfo: (1000:TRUE)\r\n"),
    # A typo or a text would reach the relay as "off".
    ("queue", {10001: "TRUW"}, protocol.CLASSIC_RANGES, TypeError),
    ("queue", {10001: "FALSE"}, protocol.CLASSIC_RANGES, TypeError),
    ("queue", {10001: None}, protocol.CLASSIC_RANGES, TypeError),
    ("queue", {10001: 2}, protocol.CLASSIC_RANGES, TypeError),
    ("queue", {"10001": True}, protocol.CLASSIC_RANGES, TypeError),
    # Accepted by the relay and never served.
    ("queue", {11001: True}, protocol.CLASSIC_RANGES, ValueError),
    ("extension", {20000: True}, protocol.CLASSIC_RANGES, ValueError),
    ("extension", {20001: True}, CURRENT, ValueError),
    ("parking", {70: True}, protocol.CLASSIC_RANGES, ValueError),
], ids=lambda v: repr(v)[:30])
def test_change_entries_are_checked_before_a_command_is_built(family, changes, ranges, expected):
    if isinstance(expected, bytes):
        assert protocol.change_commands(family, changes, ranges) == [expected]
        return
    with pytest.raises(expected) as caught:
        # One bad entry among good ones: no command at all.
        protocol.change_commands(family, {**{ranges.served(family)[0]: True}, **changes}, ranges)
    assert repr(list(changes)[0]) in str(caught.value)
