"""The protocol pieces without a relay: the bytes written and the cutting of
what is read, where an off-by-one loses or merges frames."""

import pytest

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
