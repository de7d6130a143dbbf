"""`mirabex send`: messages read from captures as `to-json` reads them, sent
over one MLLP connection, each waiting for its ACK."""

from __future__ import annotations

import asyncio
import collections

from mirabex_cli import Failure, Input, Outcome, Report, Settings, Status, messages_or_failure

from .acknowledgment import ACCEPTED, CONTROL_ID, header_fields, read_acknowledgment
from .framing import frame

END_OF_FRAME = b"\x1c\r"


class Sender:
    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                 settings: Settings, timeout: float, report: Report) -> None:
        self.reader = reader
        self.writer = writer
        self.settings = settings
        self.timeout = timeout
        self.report = report
        self.codes: collections.Counter[str] = collections.Counter()

    async def send_input(self, source: Input) -> None:
        outcome = Outcome()
        messages = messages_or_failure(source, self.settings, outcome)
        self.report.outcome(outcome)
        for number, message in enumerate(messages, 1):
            await self.send_message(message, source.name, number)

    async def send_message(self, message: str, name: str, number: int) -> None:
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
            self.report.failure(Failure(name, f"the ACK answers control ID "
                                              f"{reply.control_id!r}, not {expected!r}", number))
        elif reply.code != ACCEPTED:
            error = f"{reply.code}: {reply.error}" if reply.error else reply.code
            self.report.failure(Failure(name, error, number))

    def summary(self, address: str) -> str:
        total = sum(self.codes.values())
        counts = ", ".join(f"{count} {code}" for code, count in sorted(self.codes.items()))
        noun = "message" if total == 1 else "messages"
        return f"{address}: {total} {noun} acknowledged" + (f" ({counts})" if counts else "")


async def send_all(sources: list[Input], host: str, port: int, settings: Settings,
                   timeout: float, report: Report) -> None:
    address = f"{host}:{port}"
    try:
        reader, writer = await asyncio.wait_for(asyncio.open_connection(host, port), timeout)
    except (OSError, TimeoutError) as error:
        text = getattr(error, "strerror", None) or str(error) or "timed out"
        report.failure(Failure(address, f"cannot connect: {text}", status=Status.UNUSABLE))
        return
    sender = Sender(reader, writer, settings, timeout, report)
    try:
        for source in sources:
            await sender.send_input(source)
    except TimeoutError:
        report.failure(Failure(address, f"no ACK within {timeout:g} s (--timeout); stopped"))
    except (ConnectionError, ValueError) as error:
        report.failure(Failure(address, f"{error}; stopped"))
    finally:
        writer.close()
        try:
            await writer.wait_closed()
        except OSError:
            pass
    print(sender.summary(address))


def send(sources: list[Input], host: str, port: int, settings: Settings, timeout: float,
         report: Report) -> None:
    asyncio.run(send_all(sources, host, port, settings, timeout, report))
