"""The same client for asyncio: one task per client instead of a thread.

    import asyncio, telvane.aio

    async def main() -> None:
        async with await telvane.aio.connect("127.0.0.1", 50387, "Wallboard",
                                             queues=[10001]) as client:
            async for frame in client:
                print(frame.event)

    asyncio.run(main())

connect() goes through the handshake in the caller's task and raises if the
first link cannot be made. Then one task per client reads the link, cuts
frames onto a bounded queue, writes the change commands one per write at
least COMMAND_GAP apart, and renews a lost link with back-off, redoing the
handshake with the subscriptions as last changed: the rules and states of the
blocking client (client.py), with the same errors. Everything runs on the
event loop that called connect(); nothing here is thread-safe.
"""

import asyncio
import socket
import ssl
from typing import AsyncIterator, Iterable, List, Mapping, Optional, Tuple, Union

from . import protocol
from .client import (COMMAND_GAP, FRAME_QUEUE, READ_BYTES, StatusCallback, Subscriptions,
                     _Settings, backoff_delay, new_subscriptions)
from .errors import (ClientClosed, ConnectError, ConnectionClosed, HandshakeRejected,
                     ServerGoingDown, TelvaneError)

_Link = Tuple[asyncio.StreamReader, asyncio.StreamWriter, bytes]


async def _open_streams(settings: _Settings) -> Tuple[asyncio.StreamReader, asyncio.StreamWriter]:
    context = ssl.create_default_context(cafile=settings.ca_file) if settings.tls else None
    try:
        reader, writer = await asyncio.wait_for(
            asyncio.open_connection(settings.host, settings.port, ssl=context,
                                    server_hostname=settings.server_hostname if context else None),
            settings.connect_timeout)
    except ssl.SSLError as error:
        raise ConnectError("TLS with %s:%s failed: %s"
                           % (settings.host, settings.port, error)) from error
    except (OSError, asyncio.TimeoutError) as error:
        raise ConnectError("cannot connect to %s:%s: %s"
                           % (settings.host, settings.port, error or "timed out")) from error
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # each write leaves at once
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)
    return reader, writer


async def _await_prompt(reader: asyncio.StreamReader, step: protocol.HandshakeStep,
                        timeout: float) -> bytes:
    """Reads until step.prompt came; returns the bytes after it."""
    loop = asyncio.get_running_loop()
    reply = bytearray()
    deadline = loop.time() + timeout
    while True:
        found = reply.find(step.prompt)
        if found >= 0:
            return bytes(reply[found + len(step.prompt):])
        if protocol.GOING_DOWN in reply:
            raise ServerGoingDown(during=step.name)
        left = deadline - loop.time()
        if left <= 0:
            raise HandshakeRejected(step.name, step.prompt.decode("ascii"), timeout)
        try:
            data = await asyncio.wait_for(reader.read(READ_BYTES), left)
        except asyncio.TimeoutError:
            continue
        except OSError as error:
            raise ConnectionClosed(step.name, "broken: %s" % error) from error
        if not data:
            raise ConnectionClosed(step.name)
        reply += data


async def open_link(settings: _Settings, subscriptions: Subscriptions) -> _Link:
    """Streams through the six handshake steps, and the bytes that followed."""
    steps = settings.steps(subscriptions)
    reader, writer = await _open_streams(settings)
    try:
        rest = b""
        for step in steps:
            writer.write(step.message)  # one step, one write: one read on the relay's side
            await writer.drain()
            rest = await _await_prompt(reader, step, settings.step_timeout)
        return reader, writer, rest
    except OSError as error:
        writer.close()
        raise ConnectionClosed("handshake", "broken: %s" % error) from error
    except BaseException:
        writer.close()
        raise


class _End:
    """Queued after the last frame: why the client ended (None: close())."""

    def __init__(self, error: Optional[BaseException]) -> None:
        self.error = error


class AsyncClient:
    """A running link to the relay; see connect()."""

    def __init__(self, settings: _Settings, subscriptions: Subscriptions, link: _Link,
                 reconnect: bool, backoff: Tuple[float, float], max_retries: Optional[int],
                 on_status: Optional[StatusCallback]) -> None:
        self._settings = settings
        self._subs = {family: set(numbers) for family, numbers in subscriptions.items()}
        self._reconnect, self._backoff, self._max_retries = reconnect, backoff, max_retries
        self._on_status = on_status
        self._reader, self._writer, self._pending = link
        self._commands: List[bytes] = []          # command writes not yet sent, in order
        self._command_due = asyncio.Event()       # set while _commands holds one
        self._stalled = False                     # this link's reading waited for the application
        self._frames: "asyncio.Queue[Union[protocol.Frame, _End]]" = asyncio.Queue(FRAME_QUEUE)
        self._closing = False
        self.reconnects = 0                       # links renewed since connect()
        self._task = asyncio.ensure_future(self._run())

    # ---- the application's side -------------------------------------------

    async def recv(self, timeout: Optional[float] = None) -> protocol.Frame:
        """The next Frame; TimeoutError when none came within timeout seconds.

        Raises the error that ended the client, or ClientClosed after close().
        """
        if self._closing:
            raise ClientClosed("the client is closed")
        try:
            item = await asyncio.wait_for(self._frames.get(), timeout)
        except asyncio.TimeoutError:
            raise TimeoutError("no frame within %s s" % timeout) from None
        if isinstance(item, _End):
            self._frames.put_nowait(item)  # later calls end the same way
            raise item.error or ClientClosed("the client is closed")
        return item

    def __aiter__(self) -> AsyncIterator[protocol.Frame]:
        return self._frames_until_closed()

    async def _frames_until_closed(self) -> AsyncIterator[protocol.Frame]:
        while True:
            try:
                yield await self.recv()
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
        return {family: set(numbers) for family, numbers in self._subs.items()}

    async def close(self) -> None:
        """Ends the client: the link is closed and recv() raises ClientClosed."""
        self._closing = True
        self._task.cancel()
        try:
            await self._task
        except asyncio.CancelledError:
            pass

    async def __aenter__(self) -> "AsyncClient":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    def _change(self, family: str, changes: Mapping[int, bool]) -> None:
        if self._closing:
            raise ClientClosed("the client is closed")
        checked = protocol.check_changes(family, changes, self._settings.ranges)
        commands = protocol.change_commands(family, checked, self._settings.ranges)
        for number, on in checked.items():
            (self._subs[family].add if on else self._subs[family].discard)(number)
        self._commands.extend(commands)
        if self._commands:
            self._command_due.set()

    # ---- the client's task ---------------------------------------------------

    async def _run(self) -> None:
        error: Optional[BaseException] = None
        try:
            while True:
                error = await self._serve()
                if error is None or not self._reconnect:
                    break
                self._status("lost", error)
                error = await self._relink(error)
                if error is not None or self._closing:
                    break
        except asyncio.CancelledError:
            error = None
        except Exception as unexpected:  # a fault of this package: end, do not hide it
            error = unexpected
        finally:
            self._drop_link()
            if not self._closing:
                await self._frames.put(_End(error))

    async def _serve(self) -> Optional[TelvaneError]:
        """Runs one link until it is lost (returns why)."""
        splitter = protocol.FrameSplitter()
        data, self._pending = self._pending, b""
        self._stalled = False
        writing = asyncio.ensure_future(self._write_commands())
        try:
            while True:
                for item in splitter.feed(data):
                    if not isinstance(item, protocol.Frame):
                        return ServerGoingDown()
                    if self._frames.full():
                        self._stalled = True
                    await self._frames.put(item)
                data = await self._reader.read(READ_BYTES)
                if not data:
                    raise ConnectionClosed("running")
        except ConnectionClosed as error:
            return ConnectionClosed(error.during, error.reason, self._stalled)
        except TelvaneError as error:
            return error
        except OSError as error:
            return ConnectionClosed("running", "broken: %s" % error, self._stalled)
        finally:
            writing.cancel()

    async def _write_commands(self) -> None:
        """Writes the queued commands one per write, COMMAND_GAP apart."""
        while True:
            await self._command_due.wait()
            while self._commands:
                self._writer.write(self._commands.pop(0))
                await self._writer.drain()
                await asyncio.sleep(COMMAND_GAP)
            self._command_due.clear()

    async def _relink(self, lost: TelvaneError) -> Optional[TelvaneError]:
        """Renews the link with back-off; None when through, else the loss (see client.py)."""
        attempt = 0
        while True:
            attempt += 1
            if self._max_retries is not None and attempt > self._max_retries:
                return lost
            delay = backoff_delay(self._backoff, attempt)
            self._status("waiting", delay)
            await asyncio.sleep(delay)
            self._drop_link()
            self._commands.clear()  # the handshake carries them
            self._command_due.clear()
            try:
                self._reader, self._writer, self._pending = await open_link(self._settings,
                                                                            self._subs)
            except TelvaneError as failure:
                lost.__cause__ = failure
                self._status("retry", failure)
                continue
            self.reconnects += 1
            self._status("ready", None)
            return None

    def _drop_link(self) -> None:
        self._writer.close()

    def _status(self, state: str, detail: object) -> None:
        if self._on_status is None:
            return
        try:
            self._on_status(state, detail)
        except Exception:  # the application's callback must not end the link
            pass


async def connect(host: str, port: int, app_id: str, queues: Iterable[int] = (),
                  extensions: Iterable[int] = (), parking: Iterable[int] = (), *,
                  tls: bool = False, ca_file: Optional[str] = None,
                  server_hostname: Optional[str] = None, step_timeout: float = 5.0,
                  connect_timeout: float = 10.0, reconnect: bool = True,
                  backoff: Tuple[float, float] = (0.5, 30.0), max_retries: Optional[int] = None,
                  on_status: Optional[StatusCallback] = None,
                  access_code: str = protocol.ACCESS_CODE,
                  ranges: protocol.KeyRanges = protocol.CLASSIC_RANGES) -> AsyncClient:
    """Connects and goes through the handshake; the arguments of telvane.connect().

    on_status is called on the event loop. Raises ConnectError,
    HandshakeRejected, ServerGoingDown or ConnectionClosed when the first
    link cannot be made.
    """
    settings = _Settings(host, port, app_id, tls, ca_file, server_hostname,
                         step_timeout, connect_timeout, access_code, ranges)
    subscriptions = new_subscriptions(queues, extensions, parking)
    link = await open_link(settings, subscriptions)
    return AsyncClient(settings, subscriptions, link, reconnect, backoff, max_retries, on_status)
