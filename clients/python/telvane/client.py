"""A connection to the relay's client port that stays up by itself.

Threads: connect() opens the first link (TCP, optional TLS, the six handshake
steps) in the caller's thread and raises if that fails, so a wrong port, name
or access code shows at once. From then on one I/O thread per Client owns the
socket: it reads, cuts frames, puts them on a bounded queue, and writes the
queued change commands. The caller's thread takes frames from the queue
(recv() or iteration); change_*() and close() may be called from any thread.

States of the I/O thread:

    RUNNING --lost (closed, broken, stop notice)--> WAITING (back-off)
       ^                                              |
       +------ handshake through <-- CONNECTING <-----+
    any state --close()--> ENDED;  attempts used up, or reconnect off --> ENDED
    with the error queued for the reader

Invariants:
- Commands leave one write each, at least COMMAND_GAP apart, because the relay
  acts only on the first command of a read.
- The subscriptions held here follow every change command, so a new link's
  handshake asks for what the application last asked for; commands still
  queued when a link is lost are dropped, since the handshake carries them.
- A full frame queue stops the reading, never drops a frame: the relay then
  cuts the connection off once 4 MiB wait for it, and the link is renewed.
  Whether that happened on the link is remembered, so the error of a lost
  link says "slow reader" only when the application was behind.
"""

import queue
import random
import select
import socket
import ssl
import threading
import time
from typing import (Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Set, Tuple,
                    Union)

from . import protocol
from .errors import (ClientClosed, ConnectError, ConnectionClosed, HandshakeRejected,
                     ProtocolError, ServerGoingDown, TelvaneError)

COMMAND_GAP = 0.1      # seconds between two command writes
READ_BYTES = 65536
FRAME_QUEUE = 10000    # frames held for a reader that is behind

# on_status(state, detail): 'lost' (the error), 'waiting' (seconds), 'retry'
# (the error), 'ready' (None).
StatusCallback = Callable[[str, object], None]
Subscriptions = Dict[str, Set[int]]


class _Settings:
    """What a link needs; constant after connect()."""

    def __init__(self, host: str, port: int, app_id: str, tls: bool, ca_file: Optional[str],
                 server_hostname: Optional[str], step_timeout: float, connect_timeout: float,
                 access_code: str, ranges: protocol.KeyRanges) -> None:
        self.host, self.port, self.app_id = host, port, app_id
        self.tls, self.ca_file = tls, ca_file
        self.server_hostname = server_hostname or host
        self.step_timeout, self.connect_timeout = step_timeout, connect_timeout
        self.access_code = access_code
        self.ranges = ranges

    def steps(self, subscriptions: Subscriptions) -> List[protocol.HandshakeStep]:
        return protocol.handshake_steps(self.app_id, subscriptions["queue"],
                                        subscriptions["extension"], subscriptions["parking"],
                                        self.access_code, self.ranges)


def new_subscriptions(queues: Iterable[int], extensions: Iterable[int],
                      parking: Iterable[int]) -> Subscriptions:
    return {"queue": set(queues), "extension": set(extensions), "parking": set(parking)}


def backoff_delay(backoff: Tuple[float, float], attempt: int) -> float:
    """Seconds before attempt (from 1): doubling from the first delay up to the
    longest, each drawn from its upper half so that desks part after a restart."""
    initial, ceiling = backoff
    return float(min(ceiling, initial * 2 ** min(attempt - 1, 30)) * random.uniform(0.5, 1.0))


def _open_socket(settings: _Settings) -> socket.socket:
    try:
        sock = socket.create_connection((settings.host, settings.port),
                                        timeout=settings.connect_timeout)
    except OSError as error:
        raise ConnectError("cannot connect to %s:%s: %s"
                           % (settings.host, settings.port, error)) from error
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # each write leaves at once
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)
    if not settings.tls:
        return sock
    context = ssl.create_default_context(cafile=settings.ca_file)
    try:
        return context.wrap_socket(sock, server_hostname=settings.server_hostname)
    except (OSError, ssl.SSLError) as error:
        sock.close()
        raise ConnectError("TLS with %s:%s failed: %s"
                           % (settings.host, settings.port, error)) from error


def _await_prompt(sock: socket.socket, step: protocol.HandshakeStep, timeout: float) -> bytes:
    """Reads until step.prompt came; returns the bytes after it."""
    reply = bytearray()
    deadline = time.monotonic() + timeout
    while True:
        found = reply.find(step.prompt)
        if found >= 0:
            return bytes(reply[found + len(step.prompt):])
        if protocol.GOING_DOWN in reply:
            raise ServerGoingDown(during=step.name)
        left = deadline - time.monotonic()
        if left <= 0:
            raise HandshakeRejected(step.name, step.prompt.decode("ascii"), timeout)
        sock.settimeout(left)
        try:
            data = sock.recv(READ_BYTES)
        except socket.timeout:
            continue
        except OSError as error:
            raise ConnectionClosed(step.name, "broken: %s" % error) from error
        if not data:
            raise ConnectionClosed(step.name)
        reply += data


def open_link(settings: _Settings,
              subscriptions: Subscriptions) -> Tuple[socket.socket, bytes]:
    """A socket through the six handshake steps, and the bytes that followed."""
    steps = settings.steps(subscriptions)
    sock = _open_socket(settings)
    try:
        rest = b""
        for step in steps:
            sock.settimeout(settings.step_timeout)
            sock.sendall(step.message)  # one step, one write: one read on the relay's side
            rest = _await_prompt(sock, step, settings.step_timeout)
        return sock, rest
    except OSError as error:
        sock.close()
        raise ConnectionClosed("handshake", "broken: %s" % error) from error
    except BaseException:
        sock.close()
        raise


class _End:
    """Queued after the last frame: why the client ended (None: close())."""

    def __init__(self, error: Optional[BaseException]) -> None:
        self.error = error


class Client:
    """A running link to the relay; see connect()."""

    def __init__(self, settings: _Settings, subscriptions: Subscriptions,
                 link: Tuple[socket.socket, bytes], reconnect: bool,
                 backoff: Tuple[float, float], max_retries: Optional[int],
                 on_status: Optional[StatusCallback]) -> None:
        self._settings = settings
        self._subs = {family: set(numbers) for family, numbers in subscriptions.items()}
        self._reconnect, self._backoff, self._max_retries = reconnect, backoff, max_retries
        self._on_status = on_status
        self._sock: Optional[socket.socket] = link[0]
        self._pending = link[1]
        self._lock = threading.Lock()          # guards _subs and _commands
        self._commands: List[bytes] = []       # command writes not yet sent, in order
        self._last_command = 0.0               # monotonic time of the last command write
        self._stalled = False                  # this link's reading waited for the application
        self._frames: "queue.Queue[Union[protocol.Frame, _End]]" = queue.Queue(FRAME_QUEUE)
        self._closing = threading.Event()
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_w.setblocking(False)        # one pending byte wakes; more are not needed
        self.reconnects = 0                    # links renewed since connect()
        self._thread = threading.Thread(target=self._run, name="telvane-client", daemon=True)
        self._thread.start()

    # ---- the application's side -------------------------------------------

    def recv(self, timeout: Optional[float] = None) -> protocol.Frame:
        """The next Frame; TimeoutError when none came within timeout seconds.

        Raises the error that ended the client (ServerGoingDown,
        ConnectionClosed, ... once reconnection is off or used up), or
        ClientClosed after close().
        """
        if self._closing.is_set():
            raise ClientClosed("the client is closed")
        try:
            item = self._frames.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError("no frame within %s s" % timeout) from None
        if isinstance(item, _End):
            self._frames.put(item)  # later calls end the same way
            raise item.error or ClientClosed("the client is closed")
        return item

    def __iter__(self) -> Iterator[protocol.Frame]:
        """Frames until close(); raises what ended the client otherwise."""
        while True:
            try:
                yield self.recv()
            except ClientClosed:
                return

    def change_queues(self, changes: Mapping[int, bool]) -> None:
        """Switches queues on (True) or off (False): {10001: True, 10002: False}."""
        self._change("queue", changes)

    def change_extensions(self, changes: Mapping[int, bool]) -> None:
        """Switches extensions on or off: {20001: True}."""
        self._change("extension", changes)

    def change_parking(self, changes: Mapping[int, bool]) -> None:
        """Switches parking slots on or off: {701: True}."""
        self._change("parking", changes)

    @property
    def subscriptions(self) -> Subscriptions:
        """{'queue': set, 'extension': set, 'parking': set} as last asked for."""
        with self._lock:
            return {family: set(numbers) for family, numbers in self._subs.items()}

    def close(self) -> None:
        """Ends the client: the link is closed and recv() raises ClientClosed."""
        self._closing.set()
        self._wake()
        if threading.current_thread() is not self._thread:
            self._thread.join(self._settings.step_timeout + 5)

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _change(self, family: str, changes: Mapping[int, bool]) -> None:
        if self._closing.is_set():
            raise ClientClosed("the client is closed")
        checked = protocol.check_changes(family, changes, self._settings.ranges)
        commands = protocol.change_commands(family, checked, self._settings.ranges)
        with self._lock:
            for number, on in checked.items():
                (self._subs[family].add if on else self._subs[family].discard)(number)
            self._commands.extend(commands)
        self._wake()

    def _wake(self) -> None:
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass  # a wake-up is pending already, or the thread has ended

    # ---- the I/O thread -----------------------------------------------------

    def _run(self) -> None:
        error: Optional[BaseException] = None
        try:
            while True:
                error = self._serve()  # None once close() was called
                if error is None or not self._reconnect:
                    break
                self._status("lost", error)
                error = self._relink(error)
                if error is not None or self._closing.is_set():
                    break
        except Exception as unexpected:  # a fault of this package: end, do not hide it
            error = unexpected
        finally:
            self._drop_link()
            self._wake_r.close()
            self._wake_w.close()
            self._put(_End(error))

    def _serve(self) -> Optional[TelvaneError]:
        """Runs one link until it is lost (returns why) or close() (None)."""
        splitter = protocol.FrameSplitter()
        data, self._pending = self._pending, b""
        self._stalled = False
        try:
            while not self._closing.is_set():
                for item in splitter.feed(data):
                    if not isinstance(item, protocol.Frame):
                        return ServerGoingDown()
                    if not self._put(item):
                        return None
                data = self._read(self._send_due_command())
            return None
        except ConnectionClosed as error:
            return ConnectionClosed(error.during, error.reason, self._stalled)
        except TelvaneError as error:
            return error
        except OSError as error:
            return ConnectionClosed("running", "broken: %s" % error, self._stalled)

    def _read(self, wait: Optional[float]) -> bytes:
        """Bytes read, or b'' when woken or when wait seconds passed."""
        sock = self._sock
        assert sock is not None, "a link is open while serving"
        if not (isinstance(sock, ssl.SSLSocket) and sock.pending()):
            ready = select.select([sock, self._wake_r], [], [], wait)[0]
            if self._wake_r in ready:
                self._wake_r.recv(4096)
            if sock not in ready:
                return b""
        sock.settimeout(30)  # the rest of a TLS record is on its way
        data = sock.recv(READ_BYTES)
        if not data:
            raise ConnectionClosed("running")
        return data

    def _send_due_command(self) -> Optional[float]:
        """Writes the next command if its time has come; seconds until the next."""
        with self._lock:
            if not self._commands:
                return None
            wait = self._last_command + COMMAND_GAP - time.monotonic()
            if wait > 0:
                return wait
            command = self._commands.pop(0)
            more = bool(self._commands)
        assert self._sock is not None, "a link is open while serving"
        self._sock.settimeout(30)
        self._sock.sendall(command)
        self._last_command = time.monotonic()
        return COMMAND_GAP if more else None

    def _relink(self, lost: TelvaneError) -> Optional[TelvaneError]:
        """Renews the link with back-off; None when through (or closing), else the error.

        Once the attempts are used up the error is the loss itself (a stop
        notice names the restart), with the last failed attempt as its cause.
        """
        attempt = 0
        while not self._closing.is_set():
            attempt += 1
            if self._max_retries is not None and attempt > self._max_retries:
                return lost
            delay = backoff_delay(self._backoff, attempt)
            self._status("waiting", delay)
            if self._closing.wait(delay):
                return None
            self._drop_link()
            with self._lock:
                subs = {family: set(numbers) for family, numbers in self._subs.items()}
                self._commands.clear()  # the handshake carries them
            try:
                self._sock, self._pending = open_link(self._settings, subs)
            except TelvaneError as failure:
                lost.__cause__ = failure
                self._status("retry", failure)
                continue
            self.reconnects += 1
            self._status("ready", None)
            return None
        return None

    def _put(self, item: Union[protocol.Frame, _End]) -> bool:
        """Queues item for the reader; False when close() came while waiting."""
        while True:
            try:
                self._frames.put(item, timeout=0.2)
                return True
            except queue.Full:
                self._stalled = True
                if self._closing.is_set():
                    return False

    def _drop_link(self) -> None:
        if self._sock is not None:
            try:
                self._sock.close()
            except OSError:
                pass
            self._sock = None

    def _status(self, state: str, detail: object) -> None:
        if self._on_status is None:
            return
        try:
            self._on_status(state, detail)
        except Exception:  # the application's callback must not end the link
            pass


def connect(host: str, port: int, app_id: str, queues: Iterable[int] = (),
            extensions: Iterable[int] = (), parking: Iterable[int] = (), *, tls: bool = False,
            ca_file: Optional[str] = None, server_hostname: Optional[str] = None,
            step_timeout: float = 5.0, connect_timeout: float = 10.0, reconnect: bool = True,
            backoff: Tuple[float, float] = (0.5, 30.0), max_retries: Optional[int] = None,
            on_status: Optional[StatusCallback] = None, access_code: str = protocol.ACCESS_CODE,
            ranges: protocol.KeyRanges = protocol.CLASSIC_RANGES) -> Client:
    """Connects to the relay's client port and goes through the handshake.

    queues, extensions, parking: the numbers to receive events for. tls: speak
    TLS (the relay's TLS port); ca_file: the CA to verify it with (default: the
    system's trust store); server_hostname: the name the certificate must
    carry (default: host). step_timeout: seconds each handshake step may wait
    for its prompt. reconnect: renew a lost link with back-off (backoff =
    (first delay, longest delay) in seconds, max_retries attempts per loss,
    None for no limit), redoing the handshake. on_status(state, detail) is
    called from the I/O thread on 'lost', 'waiting', 'retry' and 'ready'.
    ranges: the relay's key ranges (KeyRanges; the classic ones by default):
    lists and change commands with a number outside them raise ValueError.

    Raises ConnectError, HandshakeRejected, ServerGoingDown or
    ConnectionClosed when the first link cannot be made.
    """
    settings = _Settings(host, port, app_id, tls, ca_file, server_hostname,
                         step_timeout, connect_timeout, access_code, ranges)
    subscriptions = new_subscriptions(queues, extensions, parking)
    link = open_link(settings, subscriptions)
    return Client(settings, subscriptions, link, reconnect, backoff, max_retries, on_status)
