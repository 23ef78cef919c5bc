"""Fixtures that run the real relay and the exchange simulator on loopback.

The binaries come from a build folder: TELVANE_BUILD, or <repo>/build. The
simulator listens on a free port and sends events only on command (`send
PATH` on its stdin); the relay is copied into a folder of its own with a
Lib/Config.ini pointing at it, and runs with -app (no terminal: nothing is
drawn), so that a SIGTERM closes its client port with the stop notice.
Everything waits for conditions with generous deadlines: the machines that
run this are shared and slow at times.
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

REPO = Path(__file__).resolve().parents[3]
BUILD = Path(os.environ.get("TELVANE_BUILD", REPO / "build"))
DEADLINE = 20.0


def wait_until(condition, deadline=DEADLINE, what="condition"):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("timed out after %.0f s waiting for %s" % (deadline, what))


def _port_window():
    """Ports outside the kernel's range for outgoing connections: a port read from bind(0) comes
    from that range, and any connect could take it before the relay binds it."""
    low, high = 32768, 60999
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low, high = (int(x) for x in f.read().split()[:2])
    except (OSError, ValueError):
        pass
    if low - 10000 >= 2000:
        return 10000, low - 10000
    if 65535 - high >= 2000:
        return high + 1, 65535 - high
    return 0, 0


_WINDOW = _port_window()
_next = os.getpid() * 7919


def _listen_once(host, port):
    """Binds a listener as the relay does (SO_REUSEADDR), lets it go; its port, or None if taken."""
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((host, port))
            s.listen(1)
        except OSError:
            return None
        return s.getsockname()[1]


def free_port():
    """A port no listener holds now, on every address (as the relay binds)."""
    global _next
    first, count = _WINDOW
    if not count:
        return _listen_once("127.0.0.1", 0)
    for _ in range(count):
        port = _listen_once("0.0.0.0", first + _next % count)
        _next += 1
        if port is not None:
            return port
    raise AssertionError("no free port")


class Simulator:
    """telvane-exchange on a free port, silent until told to send."""

    def __init__(self, folder):
        self.folder = folder
        self.proc = subprocess.Popen(
            [str(BUILD / "telvane-exchange"), "--port", "0", "--silent"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self._first_line()
        assert line.startswith(b"LISTENING "), line
        self.port = int(line.split()[1])
        self._sent = 0

    def _first_line(self):
        result = []
        reader = threading.Thread(target=lambda: result.append(self.proc.stdout.readline()))
        reader.start()
        reader.join(DEADLINE)
        assert result, "the simulator printed no LISTENING line"
        return result[0]

    def send(self, *blocks):
        """Sends event blocks (bytes, CR LF line ends, no closing empty line)."""
        self._sent += 1
        path = self.folder / ("events%d.txt" % self._sent)
        path.write_bytes(b"".join(block + b"\r\n" for block in blocks))
        self.proc.stdin.write(b"send %s\n" % str(path).encode())
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.close()
            try:
                self.proc.wait(DEADLINE)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Relay:
    """The relay binary in a folder of its own; start() may be called again."""

    def __init__(self, folder, exchange_port):
        self.folder = folder
        self.port = free_port()
        (folder / "Lib").mkdir()
        shutil.copy(BUILD / "telvane", folder / "telvane")
        (folder / "Lib" / "Config.ini").write_bytes(
            b"[LOG]\r\nVERBOSE=3\r\n[AMI]\r\nSERVERIP=127.0.0.1\r\nSERVERPORT=%d\r\n"
            b"[PROXY]\r\nSERVERPORT=%d\r\n" % (exchange_port, self.port))
        self.proc = None

    def start(self):
        """Starts the relay and waits until it is logged in to the exchange."""
        done = self.log().count("Cliente conectado e recebendo eventos do servidor AMI")
        self.proc = subprocess.Popen([str(self.folder / "telvane"), "-app"], cwd=self.folder,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        wait_until(lambda: self.log().count(
            "Cliente conectado e recebendo eventos do servidor AMI") > done,
            what="the relay's login to the simulator")

    def log(self):
        text = ""
        for path in sorted((self.folder / "Log").glob("GENERAL_*.log")):
            text += path.read_text(encoding="utf-8", errors="replace")
        return text

    def wait_log(self, text, count=1):
        wait_until(lambda: self.log().count(text) >= count, what=repr(text))

    def stop(self, sig=signal.SIGTERM):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(DEADLINE)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def relay(tmp_path):
    """A running relay logged in to a silent simulator; relay.sim sends events."""
    sim = Simulator(tmp_path)
    folder = tmp_path / "relay"
    folder.mkdir()
    relay = Relay(folder, sim.port)
    relay.sim = sim
    try:
        relay.start()
        yield relay
    finally:
        relay.stop(signal.SIGKILL)
        sim.stop()
