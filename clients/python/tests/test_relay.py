"""The library against the real relay and simulator: the handshake, frames as
the relay writes them, change commands, rejected steps, the stop notice, the
renewal of a lost link, and TLS."""

import signal
import socket
import threading

import pytest

import telvane
from conftest import DEADLINE, wait_until
from tlsproxy import TlsProxy


def event(name, key_line, *extra):
    lines = [b"Event: " + name, b"Privilege: call,all", *extra, key_line]
    return b"\r\n".join(lines) + b"\r\n"


def queue_event(name, queue, *extra):
    return event(name, b"Queue: %d" % queue, b"File: app_queue.c", *extra)


PARK = event(b"ParkedCall", b"Exten: 701", b"File: features.c", b"Channel: SIP/20002-0000000a")
PEER = event(b"PeerStatus", b"Peer: SIP/20001", b"File: chan_sip.c", b"PeerStatus: Registered")


def receive(client, count):
    return [client.recv(timeout=DEADLINE) for _ in range(count)]


def test_frames_arrive_whole_parsed_and_in_order_per_key(relay):
    calls = [queue_event(b"Join", 10001, b"CallerIDName: Jos\xe9 \x80", b"Position: %d" % n)
             for n in (1, 2, 3)]
    with telvane.connect("127.0.0.1", relay.port, "Desk7", queues=[10001],
                         extensions=[20001], parking=[701]) as client:
        relay.sim.send(*calls, PARK, PEER)
        frames = receive(client, 5)
    by_key = {}
    for frame in frames:
        key = frame.get("Queue") or frame.get("Exten") or frame.get("Peer")
        by_key.setdefault(key, []).append(frame)
    assert [f.raw for f in by_key["10001"]] == calls
    assert [f.raw for f in by_key["701"]] == [PARK]
    assert [f.raw for f in by_key["SIP/20001"]] == [PEER]
    first = by_key["10001"][0]
    assert first.fields[:2] == [("Event", "Join"), ("Privilege", "call,all")]
    assert first.get("CallerIDName") == "Jos\u00e9 \u20ac"


def test_change_commands_reach_the_relay_one_per_read(relay):
    with telvane.connect("127.0.0.1", relay.port, "Desk7", queues=[10001]) as client:
        # Written back to back by the application: each must arrive in a read of its own.
        client.change_queues({10001: False, 10002: True})
        client.change_extensions({20001: True})
        client.change_parking({701: True})
        relay.wait_log("Changing Queue: 10002 to True")
        relay.wait_log("Changing Peer: 20001 to True")
        relay.wait_log("Changing FeaturePark: 701 to True")
        relay.sim.send(queue_event(b"Join", 10001), queue_event(b"Join", 10002))
        assert client.recv(timeout=DEADLINE).get("Queue") == "10002"
        assert client.subscriptions == {"queue": {10002}, "extension": {20001}, "parking": {701}}


def silent_listener():
    """A port that accepts and never answers, like a relay with every slot taken."""
    listener = socket.create_server(("127.0.0.1", 0))
    return listener, listener.getsockname()[1]


@pytest.mark.parametrize("case, step", [
    ("wrong access code", "MyAppToken"),
    ("no answer at all", "greeting"),
])
def test_a_rejected_step_is_named(relay, case, step):
    port, code = relay.port, "qmRoK8]"
    listener = None
    if case == "wrong access code":
        code = "letmein"
    else:
        listener, port = silent_listener()
    try:
        with pytest.raises(telvane.HandshakeRejected) as caught:
            telvane.connect("127.0.0.1", port, "Desk7", access_code=code, step_timeout=1.0)
        assert caught.value.step == step
        assert step in str(caught.value)
    finally:
        if listener:
            listener.close()


@pytest.mark.parametrize("sig, error", [
    (signal.SIGTERM, telvane.ServerGoingDown),   # the client port is stopped: notice first
    (signal.SIGKILL, telvane.ConnectionClosed),  # gone without a word
])
def test_the_end_of_the_relay_is_reported(relay, sig, error):
    client = telvane.connect("127.0.0.1", relay.port, "Desk7", queues=[10001], reconnect=False)
    try:
        relay.stop(sig)
        with pytest.raises(error) as caught:
            client.recv(timeout=DEADLINE)
        # A client that kept up was not cut off as a slow reader: the error names the restart.
        assert "restarted" in str(caught.value)
        assert "4 MiB" not in str(caught.value)
        with pytest.raises(error):  # and stays ended
            client.recv(timeout=DEADLINE)
    finally:
        client.close()


def test_a_malformed_change_raises_and_sends_nothing(relay):
    with telvane.connect("127.0.0.1", relay.port, "Desk7", queues=[10001]) as client:
        with pytest.raises(TypeError, match="TRUW"):
            client.change_queues({10002: True, 10001: "TRUW"})
        assert client.subscriptions["queue"] == {10001}
        relay.sim.send(queue_event(b"Join", 10001))
        assert client.recv(timeout=DEADLINE).get("Queue") == "10001"
    assert "Changing Queue" not in relay.log()


def test_the_asyncio_client_serves_changes_and_renews_a_lost_link(relay):
    import asyncio
    import telvane.aio

    states = []

    async def scenario():
        client = await telvane.aio.connect("127.0.0.1", relay.port, "Desk7", queues=[10001],
                                           backoff=(0.2, 1.0),
                                           on_status=lambda s, d: states.append((s, d)))
        async with client:
            relay.sim.send(queue_event(b"Join", 10001))
            assert (await client.recv(timeout=DEADLINE)).get("Queue") == "10001"
            client.change_queues({10001: False})
            client.change_queues({10003: True})  # back to back: one read each on the relay
            await asyncio.get_running_loop().run_in_executor(
                None, relay.wait_log, "Changing Queue: 10003 to True")
            assert "Changing Queue: 10001 to False" in relay.log()
            relay.stop(signal.SIGTERM)
            await asyncio.get_running_loop().run_in_executor(None, relay.start)
            while not any(s == "ready" for s, _ in states):
                await asyncio.sleep(0.05)
            relay.sim.send(queue_event(b"Join", 10001), queue_event(b"Join", 10003))
            frames = [f async for f in _take(client, 1)]
            assert frames[0].get("Queue") == "10003"
            assert client.reconnects == 1
        with pytest.raises(telvane.ClientClosed):
            await client.recv()

    asyncio.run(asyncio.wait_for(scenario(), 3 * DEADLINE))
    assert isinstance(states[0][1], telvane.ServerGoingDown)


async def _take(client, count):
    async for frame in client:
        yield frame
        count -= 1
        if not count:
            return


def test_a_lost_link_is_renewed_with_the_current_subscriptions(relay):
    states = []
    ready = threading.Event()

    def on_status(state, detail):
        states.append((state, detail))
        if state == "ready":
            ready.set()

    with telvane.connect("127.0.0.1", relay.port, "Desk7", queues=[10001],
                         backoff=(0.2, 1.0), on_status=on_status) as client:
        client.change_queues({10001: False, 10003: True})
        relay.wait_log("Changing Queue: 10003 to True")
        relay.stop(signal.SIGTERM)
        wait_until(lambda: any(s == "lost" for s, _ in states), what="the loss")
        relay.start()
        assert ready.wait(DEADLINE)
        relay.wait_log('"GetQueueInfo: (10003)"')
        relay.sim.send(queue_event(b"Join", 10001), queue_event(b"Join", 10003))
        assert client.recv(timeout=DEADLINE).get("Queue") == "10003"
        assert client.reconnects == 1
    assert isinstance(states[0][1], telvane.ServerGoingDown)


def test_tls(relay, tmp_path):
    proxy = TlsProxy(tmp_path, relay.port)
    try:
        with telvane.connect("127.0.0.1", proxy.port, "Desk7", queues=[10001], tls=True,
                             ca_file=str(proxy.ca)) as client:
            relay.sim.send(queue_event(b"Join", 10001))
            assert client.recv(timeout=DEADLINE).event == "Join"
        with pytest.raises(telvane.ConnectError, match="TLS"):
            telvane.connect("127.0.0.1", proxy.port, "Desk7", tls=True)  # CA not trusted
    finally:
        proxy.close()
