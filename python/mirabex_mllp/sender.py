"""`mirabex send`: messages read from captures as `to-json` reads them, sent
over one MLLP connection, each waiting for its ACK."""

from __future__ import annotations

import asyncio
import collections
import sys

from mirabex_cli import Outcome, Settings, expand, label, messages_or_failure

from .acknowledgment import ACCEPTED, CONTROL_ID, header_fields, read_acknowledgment
from .framing import frame

END_OF_FRAME = b"\x1c\r"


class Sender:
    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                 settings: Settings, timeout: float) -> None:
        self.reader = reader
        self.writer = writer
        self.settings = settings
        self.timeout = timeout
        self.codes: collections.Counter[str] = collections.Counter()
        self.failed = False

    def report(self, text: str) -> None:
        print(text, file=sys.stderr)
        self.failed = True

    async def send_file(self, path: str) -> None:
        outcome = Outcome()
        messages = messages_or_failure(path, self.settings, outcome)
        for text in outcome.errors:
            self.report(text)
        for number, message in enumerate(messages, 1):
            await self.send_message(message, label(path, number, len(messages)))

    async def send_message(self, message: str, name: str) -> None:
        """Raises ConnectionError or TimeoutError when no ACK comes back."""
        self.writer.write(frame(message.encode(self.settings.encoding)))
        try:
            data = await asyncio.wait_for(self.reader.readuntil(END_OF_FRAME), self.timeout)
        except asyncio.IncompleteReadError:
            raise ConnectionError("the server closed the connection") from None
        reply = read_acknowledgment(data.lstrip(b"\r\n\x0b")[:-2].decode(self.settings.encoding,
                                                                          errors="replace"))
        self.codes[reply.code] += 1
        header = header_fields(message)
        expected = header[CONTROL_ID] if len(header) > CONTROL_ID else ""
        if reply.control_id != expected:
            self.report(f"{name}: the ACK answers control ID {reply.control_id!r}, not {expected!r}")
        elif reply.code != ACCEPTED:
            self.report(f"{name}: {reply.code}" + (f": {reply.error}" if reply.error else ""))

    def summary(self, address: str) -> str:
        total = sum(self.codes.values())
        counts = ", ".join(f"{count} {code}" for code, count in sorted(self.codes.items()))
        return f"{address}: {total} messages acknowledged" + (f" ({counts})" if counts else "")


async def send_all(paths: list[str], host: str, port: int, settings: Settings,
                   timeout: float) -> int:
    address = f"{host}:{port}"
    try:
        reader, writer = await asyncio.wait_for(asyncio.open_connection(host, port), timeout)
    except (OSError, TimeoutError) as error:
        print(f"cannot connect to {address}: {getattr(error, 'strerror', None) or error}",
              file=sys.stderr)
        return 2
    sender = Sender(reader, writer, settings, timeout)
    try:
        for path in expand(paths):
            await sender.send_file(path)
    except TimeoutError:
        sender.report(f"{address}: no ACK within {timeout:g} s (--timeout); stopped")
    except (ConnectionError, ValueError) as error:
        sender.report(f"{address}: {error}; stopped")
    finally:
        writer.close()
        try:
            await writer.wait_closed()
        except OSError:
            pass
    print(sender.summary(address))
    return 1 if sender.failed else 0


def send(paths: list[str], host: str, port: int, settings: Settings, timeout: float) -> int:
    return asyncio.run(send_all(paths, host, port, settings, timeout))
