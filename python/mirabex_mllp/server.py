"""The MLLP listener: each message is converted, stored as one JSON line, and
acknowledged only once the line is stored."""

from __future__ import annotations

import asyncio
import datetime
import functools
import json
import logging
import signal
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import mirabex
import mirabex_bulk
from mirabex_cli import Settings, Status, split_messages

from .acknowledgment import ACCEPTED, ERROR, REJECTED, ControlIds, acknowledgment, header_fields
from .framing import Frame, FrameReader, NotMllp, Oversized
from .journal import Journal, JournalInUse

log = logging.getLogger("mirabex.serve")

# A connection stops reading while this many of its messages wait to be
# stored, so a sender that does not wait for its ACKs cannot fill the memory.
IN_FLIGHT_PER_CONNECTION = 1000
# After the last ACK at shutdown, how long a peer has to close its end.
CLOSING_GRACE_SECONDS = 2.0
# For the members before the records, as json.dumps(..., ensure_ascii=False).
JSON = json.JSONEncoder(ensure_ascii=False, check_circular=False)


@dataclass(frozen=True)
class Limits:
    max_message_bytes: int = 16 << 20
    idle_seconds: float = 600.0  # 0: no idle timeout
    max_connections: int = 100


@dataclass(frozen=True)
class Verdict:
    """What becomes of one frame: its records as JSON text (None: not
    stored), the header the ACK is built from, the ACK code and the error
    text."""

    records_json: str | None
    header: list[str]
    code: str
    error: str = ""


def examine(frame: Frame, settings: Settings, limits: Limits) -> Verdict:
    if isinstance(frame, Oversized):
        header = header_fields(frame.head.decode(settings.encoding, errors="replace"))
        return Verdict(None, header, REJECTED, f"the message has {frame.size} bytes, more than "
                                           f"--max-message-bytes ({limits.max_message_bytes})")
    try:
        text = frame.decode(settings.encoding)
    except UnicodeDecodeError as error:
        header = header_fields(frame.decode(settings.encoding, errors="replace"))
        return Verdict(None, header, REJECTED, f"cannot decode the message: {error} (see --encoding)")
    messages = split_messages(text)
    header = header_fields(messages[0]) if messages else []
    if not header:
        return Verdict(None, [], REJECTED, "not an HL7 message: the frame does not start with "
                                           "an MSH segment")
    if len(messages) > 1:
        return Verdict(None, header, REJECTED, f"the frame holds {len(messages)} messages; "
                                               "send one message per frame")
    return convert(messages[0], header, settings)


def convert(text: str, header: list[str], settings: Settings) -> Verdict:
    # The records are written as JSON by the core, with no Python object per
    # value; an invalid message is stored too, converted without validation.
    try:
        records = mirabex_bulk.records_json(text, validation_enabled=False,
                                            strict_validation=settings.strict,
                                            escaping_enabled=settings.escaping)
    except Exception as error:
        return Verdict(None, header, REJECTED, str(error))
    if settings.validation:
        try:
            mirabex.Hl7Json(text, False, settings.strict, settings.escaping).validate(
                settings.strict, False)
        except Exception as error:
            return Verdict(records, header, ERROR, str(error))
    return Verdict(records, header, ACCEPTED)


def json_line(verdict: Verdict, received: datetime.datetime, peer: str, number: int) -> bytes:
    assert verdict.records_json is not None
    members: dict[str, Any] = {"received": received.isoformat(timespec="milliseconds"),
                               "peer": peer, "message": number}
    if verdict.error:
        members["error"] = verdict.error
    head = JSON.encode(members)[:-1]  # the members, without the closing brace
    return f'{head}, "records": {verdict.records_json}}}\n'.encode()


def peer_name(address: Any) -> str:
    if isinstance(address, tuple) and len(address) >= 2:
        host, port = address[:2]
        return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    return str(address)


class Server:
    """Owns the listening socket, the open connections and the journal."""

    def __init__(self, journal: Journal, settings: Settings, limits: Limits) -> None:
        self.journal = journal
        self.settings = settings
        self.limits = limits
        self.connections: set[Connection] = set()
        self.control_ids = ControlIds()
        self.stop_requested = asyncio.Event()
        self.stopping = False
        journal.on_failure = lambda error: self.stop_requested.set()

    async def run(self, host: str, port: int) -> Status:
        loop = asyncio.get_running_loop()
        listener = await loop.create_server(lambda: Connection(self), host, port)
        addresses = ", ".join(peer_name(s.getsockname()) for s in listener.sockets)
        log.info("listening on %s, storing to %s%s", addresses, self.journal.path,
                 " (fsync)" if self.journal.fsync else "")
        for number in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(number, self.request_stop, signal.Signals(number).name)
        await self.stop_requested.wait()
        listener.close()
        await self.finish_connections()
        self.journal.close()
        log.info("stopped: %d messages stored", self.journal.stored)
        return Status.FAILED if self.journal.failure else Status.OK

    def request_stop(self, reason: str) -> None:
        if not self.stop_requested.is_set():
            in_flight = sum(connection.in_flight for connection in self.connections)
            log.info("%s: stopping; %d connections, %d messages in flight", reason,
                     len(self.connections), in_flight)
            self.stop_requested.set()

    async def finish_connections(self) -> None:
        """Takes no more messages, stores and acknowledges those in flight,
        then waits for the connections to close."""
        self.stopping = True
        for connection in list(self.connections):
            connection.finish()
        await self.journal.drain()
        closing = [connection.closed for connection in self.connections]
        if closing:
            await asyncio.wait(closing, timeout=2 * CLOSING_GRACE_SECONDS)


class Connection(asyncio.Protocol):
    def __init__(self, server: Server) -> None:
        self.server = server
        self.reader = FrameReader(server.limits.max_message_bytes)
        self.transport: asyncio.Transport | None = None
        self.peer = "?"
        self.messages = 0
        self.in_flight = 0
        self.finishing = False  # no more frames are read: close once in flight is done
        self.peer_closed = False
        self.writing_paused = False
        self.reading_paused = False
        self.last_activity = 0.0
        self.closed: asyncio.Future[None] = asyncio.get_running_loop().create_future()

    # --- the transport's events ----------------------------------------------

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.transport = transport
        self.peer = peer_name(transport.get_extra_info("peername"))
        if self.server.stopping:
            transport.abort()
            return
        limit = self.server.limits.max_connections
        if len(self.server.connections) >= limit:
            log.warning("%s: refused, %d connections are open (--max-connections)", self.peer, limit)
            transport.abort()
            return
        self.server.connections.add(self)
        log.info("%s: connected", self.peer)
        self.last_activity = asyncio.get_running_loop().time()
        self._watch_idle()

    def data_received(self, data: bytes) -> None:
        if self.finishing:
            return
        self.last_activity = asyncio.get_running_loop().time()
        try:
            frames, garbage = self.reader.feed(data), None
        except NotMllp as error:
            frames, garbage = error.frames, error
        for frame in frames:
            self._take(frame)
        if garbage:
            log.warning("%s: closing, not MLLP: %s", self.peer, garbage)
            self.finish()

    def eof_received(self) -> bool:
        self.peer_closed = True
        self.finish()
        return self.in_flight > 0  # stay open to write the remaining ACKs

    def connection_lost(self, error: Exception | None) -> None:
        if self not in self.server.connections:
            return
        self.server.connections.discard(self)
        dropped = f", mid-frame: {self.reader.pending} bytes dropped" if self.reader.pending else ""
        unanswered = f", {self.in_flight} ACKs not sent" if self.in_flight else ""
        log.info("%s: closed after %d messages%s%s", self.peer, self.messages, dropped, unanswered)
        self.closed.set_result(None)

    def pause_writing(self) -> None:
        self.writing_paused = True
        self._update_reading()

    def resume_writing(self) -> None:
        self.writing_paused = False
        self._update_reading()

    # --- messages --------------------------------------------------------------

    def _take(self, frame: Frame) -> None:
        self.messages += 1
        received = datetime.datetime.now(datetime.UTC)
        verdict = examine(frame, self.server.settings, self.server.limits)
        if verdict.code != ACCEPTED:
            log.warning("%s: message %d: %s: %s", self.peer, self.messages, verdict.code,
                        verdict.error)
        line = None
        if verdict.records_json is not None:
            line = json_line(verdict, received, self.peer, self.messages)
        self.in_flight += 1
        self._update_reading()
        self.server.journal.submit(line, functools.partial(self._stored, verdict))

    def _stored(self, verdict: Verdict, stored: bool) -> None:
        self.in_flight -= 1
        assert self.transport is not None
        if not stored:
            self.transport.abort()  # no ACK: the sender will send the message again
            return
        if not self.transport.is_closing():
            ack = acknowledgment(verdict.header, verdict.code, self.server.control_ids.next(),
                                 verdict.error)
            self.transport.write(b"\x0b" + ack.encode(self.server.settings.encoding,
                                                      errors="replace") + b"\x1c\r")
        self._update_reading()
        if self.finishing and not self.in_flight:
            self._close()

    # --- flow, idleness and closing --------------------------------------------

    def _update_reading(self) -> None:
        assert self.transport is not None
        pause = self.writing_paused or self.in_flight >= IN_FLIGHT_PER_CONNECTION
        if pause != self.reading_paused and not self.transport.is_closing():
            self.reading_paused = pause
            (self.transport.pause_reading if pause else self.transport.resume_reading)()

    def _watch_idle(self) -> None:
        idle = self.server.limits.idle_seconds
        if not idle:
            return
        loop = asyncio.get_running_loop()
        quiet = loop.time() - self.last_activity
        if self.finishing or self.transport is None or self.transport.is_closing():
            return
        if quiet >= idle and not self.in_flight:
            log.warning("%s: closing, idle for %g s (--idle-timeout)", self.peer, idle)
            self.finish()
            return
        loop.call_later(max(idle - quiet, 0.05), self._watch_idle)

    def finish(self) -> None:
        """Reads no more frames; closes once the messages in flight are answered."""
        if self.finishing:
            return
        self.finishing = True
        if not self.in_flight:
            self._close()

    def _close(self) -> None:
        """Ends our side and gives the peer a moment to close its own, so
        that ACKs still in the socket are not lost to a reset."""
        assert self.transport is not None
        if self.transport.is_closing():
            return
        if not self.peer_closed and self.transport.can_write_eof():
            self.transport.write_eof()
            loop = asyncio.get_running_loop()
            loop.call_later(CLOSING_GRACE_SECONDS, self.transport.close)
        else:
            self.transport.close()


def serve(host: str, port: int, output: str, fsync: bool, settings: Settings,
          limits: Limits) -> Status:
    """Runs the listener until SIGTERM or SIGINT."""
    async def run() -> Status:
        try:
            journal = Journal.open(Path(output), fsync)
        except (OSError, JournalInUse) as error:
            log.error("cannot open %s: %s", output, getattr(error, "strerror", None) or error)
            return Status.UNUSABLE
        server = Server(journal, settings, limits)
        try:
            return await server.run(host, port)
        except OSError as error:
            log.error("cannot listen on %s:%s: %s", host, port, error.strerror or error)
            journal.close()
            return Status.UNUSABLE
    return asyncio.run(run())
