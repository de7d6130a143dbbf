"""The JSON Lines file the server stores messages in.

Lines are appended whole: each write holds complete lines only, so a reader
never sees part of a line unless the machine stops in the middle of a write.
Messages ready at the same time are committed together (group commit): their
lines go out in one write, then one fsync when asked for, and only then is
each message's callback told it is stored."""

from __future__ import annotations

import asyncio
import concurrent.futures
import fcntl
import logging
import os
from collections.abc import Callable
from pathlib import Path

log = logging.getLogger("mirabex.serve")

Done = Callable[[bool], None]
TAIL_CHUNK = 1 << 16


class JournalInUse(Exception):
    pass


class Journal:
    """Open it with Journal.open, inside a running event loop."""

    def __init__(self, path: Path, descriptor: int, fsync: bool) -> None:
        self.path = path
        self.descriptor = descriptor
        self.fsync = fsync
        self.size = os.fstat(descriptor).st_size
        self.pending: list[tuple[bytes | None, Done]] = []
        self.idle = asyncio.Event()
        self.idle.set()
        self.failure: OSError | None = None
        self.on_failure: Callable[[OSError], None] = lambda error: None
        self.disk = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="fsync")
        self.stored = 0
        self.commit_task: asyncio.Task[None] | None = None  # held, as the loop holds tasks weakly

    @classmethod
    def open(cls, path: Path, fsync: bool) -> Journal:
        """Opens the file for appending, creating it, and takes an exclusive
        lock on it; a last line cut short by a crash is moved aside first."""
        descriptor = os.open(path, os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(descriptor)
            raise JournalInUse(f"{path} is in use by another mirabex serve") from None
        try:
            move_incomplete_line_aside(path, descriptor)
            if fsync:
                os.fsync(descriptor)
                sync_folder(path)
        except OSError:
            os.close(descriptor)
            raise
        return cls(path, descriptor, fsync)

    def submit(self, line: bytes | None, done: Done) -> None:
        """Stores the line (None: nothing to store, but keep the order of the
        callbacks) and then calls done(True), or done(False) if it cannot."""
        if self.failure:
            done(False)
            return
        self.pending.append((line, done))
        if self.idle.is_set():
            # The commit runs once the event loop has taken in everything
            # that is ready now, so those messages share one write.
            self.idle.clear()
            loop = asyncio.get_running_loop()
            if self.fsync:
                self.commit_task = loop.create_task(self._commit_to_disk())
            else:
                loop.call_soon(self._commit)

    def _commit(self) -> None:
        batch, self.pending = self.pending, []
        lines = joined(batch)
        self._settle(batch, self._write(lines) and self._count(lines))
        self.idle.set()

    async def _commit_to_disk(self) -> None:
        """Commits until nothing waits: what arrives during an fsync goes
        into the next write."""
        while self.pending:
            batch, self.pending = self.pending, []
            lines = joined(batch)
            stored = self._write(lines) and (not lines or await self._sync()) and self._count(lines)
            self._settle(batch, stored)
        self.idle.set()

    def _write(self, lines: bytes) -> bool:
        try:
            write_whole(self.descriptor, lines)
        except OSError as error:
            self._fail(error)
            return False
        return True

    async def _sync(self) -> bool:
        try:
            await asyncio.get_running_loop().run_in_executor(self.disk, os.fsync, self.descriptor)
        except OSError as error:
            self._fail(error)
            return False
        return True

    def _count(self, lines: bytes) -> bool:
        self.size += len(lines)
        return True

    def _settle(self, batch: list[tuple[bytes | None, Done]], stored: bool) -> None:
        if stored:
            self.stored += sum(line is not None for line, _ in batch)
        for _, done in batch:
            done(stored)

    def _fail(self, error: OSError) -> None:
        """After a failed write the file may end in part of the batch: cut it
        back to the last line stored. Nothing more is accepted."""
        log.error("cannot store in %s: %s", self.path, error.strerror or error)
        self.failure = error
        try:
            os.ftruncate(self.descriptor, self.size)
        except OSError as truncation:
            log.error("cannot cut %s back to its last whole line: %s", self.path, truncation)
        for _, done in self.pending:
            done(False)
        self.pending = []
        self.on_failure(error)

    async def drain(self) -> None:
        await self.idle.wait()

    def close(self) -> None:
        self.disk.shutdown()
        if self.fsync and not self.failure:
            os.fsync(self.descriptor)
        os.close(self.descriptor)


def joined(batch: list[tuple[bytes | None, Done]]) -> bytes:
    return b"".join(line for line, _ in batch if line)


def write_whole(descriptor: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(descriptor, view):]


def move_incomplete_line_aside(path: Path, descriptor: int) -> None:
    """A file that does not end with a line break ends in part of a line from
    a write the machine did not finish. That part is appended to PATH.partial
    (with a line break after it) and cut from the file, so readers of the file
    see whole lines only and no byte is thrown away."""
    size = os.fstat(descriptor).st_size
    keep = last_line_end(descriptor, size)
    if keep == size:
        return
    tail = os.pread(descriptor, size - keep, keep)
    aside = path.with_name(path.name + ".partial")
    with open(aside, "ab") as partial:
        partial.write(tail + b"\n")
        partial.flush()
        os.fsync(partial.fileno())
    os.ftruncate(descriptor, keep)
    log.warning("%s ended in an incomplete line (%d bytes from an interrupted write): "
                "moved to %s", path, len(tail), aside)


def last_line_end(descriptor: int, size: int) -> int:
    """The offset just after the file's last line break (0 without one)."""
    end = size
    while end > 0:
        start = max(0, end - TAIL_CHUNK)
        chunk = os.pread(descriptor, end - start, start)
        newline = chunk.rfind(b"\n")
        if newline >= 0:
            return start + newline + 1
        end = start
    return 0


def sync_folder(path: Path) -> None:
    """Makes the file's own entry in its folder durable."""
    folder = os.open(path.resolve().parent, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)
