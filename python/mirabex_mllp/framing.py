"""MLLP frames (0x0B, message, 0x1C 0x0D) cut from a byte stream that arrives
in reads of any size: a frame may span many reads, a read may hold many
frames."""

from __future__ import annotations

from dataclasses import dataclass

START = 0x0B
END = 0x1C
CARRIAGE_RETURN = 0x0D
# Line breaks between frames are tolerated: some senders end each frame with
# an extra LF or CR.
BETWEEN_FRAMES = frozenset(b"\r\n")


class NotMllp(Exception):
    """Bytes that cannot be MLLP framing: the connection cannot be resynchronised.
    `frames` holds the frames completed before them."""

    frames: list[Frame] = []


@dataclass(frozen=True)
class Oversized:
    """A frame whose message exceeded the limit: its size, and its first line
    (up to HEAD_BYTES), kept for the ACK; the rest was dropped."""

    size: int
    head: bytes = b""


HEAD_BYTES = 4096


Frame = bytes | Oversized


def frame(message: bytes) -> bytes:
    return b"\x0b" + message + b"\x1c\r"


class FrameReader:
    """Feed it the bytes of a connection as they come; it returns the frames
    completed so far and keeps the rest. A message of more than `limit` bytes
    is not kept: its frame comes out as Oversized once it ends."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.inside = False
        self.awaiting_cr = False  # the end byte was the last byte of a read
        self.message = bytearray()
        self.size = 0

    @property
    def pending(self) -> int:
        """Bytes of an unfinished frame, framing bytes included."""
        return self.size + 1 + self.awaiting_cr if self.inside else 0

    def feed(self, data: bytes) -> list[Frame]:
        frames: list[Frame] = []
        position = 0
        try:
            while position < len(data):
                if self.awaiting_cr:
                    position = self._close(data, position, frames)
                elif self.inside:
                    position = self._read_message(data, position)
                else:
                    position = self._open(data, position)
        except NotMllp as error:
            error.frames = frames
            raise
        return frames

    def _open(self, data: bytes, position: int) -> int:
        byte = data[position]
        if byte == START:
            self.inside = True
            self.message.clear()
            self.size = 0
        elif byte not in BETWEEN_FRAMES:
            raise NotMllp(f"byte 0x{byte:02X} outside a frame (a frame starts with 0x0B)")
        return position + 1

    def _read_message(self, data: bytes, position: int) -> int:
        end = data.find(END, position)
        stop = len(data) if end < 0 else end
        if data.find(START, position, stop) >= 0:
            raise NotMllp("a frame starts (0x0B) inside another frame")
        self._keep(data[position:stop])
        if end < 0:
            return stop
        self.awaiting_cr = True
        return end + 1

    def _keep(self, piece: bytes) -> None:
        """Keeps the message up to the limit; past it, only its first line."""
        within = self.size <= self.limit
        self.size += len(piece)
        if self.size <= self.limit:
            self.message += piece
            return
        if within:
            del self.message[HEAD_BYTES:]
        if len(self.message) < HEAD_BYTES and CARRIAGE_RETURN not in self.message:
            self.message += piece[:HEAD_BYTES - len(self.message)]

    def _close(self, data: bytes, position: int, frames: list[Frame]) -> int:
        if data[position] != CARRIAGE_RETURN:
            raise NotMllp(f"byte 0x{data[position]:02X} after the end byte 0x1C (expected 0x0D)")
        if self.size <= self.limit:
            frames.append(bytes(self.message))
        else:
            frames.append(Oversized(self.size, bytes(self.message).split(b"\r", 1)[0]))
        self.inside = self.awaiting_cr = False
        self.message.clear()
        self.size = 0
        return position + 1
