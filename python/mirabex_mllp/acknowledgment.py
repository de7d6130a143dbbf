"""Acknowledgments in original mode: an ACK built from the header of the
message it answers, and the code, control ID and error text read back from
an ACK.

In the header, a field's position is one less than its HL7 number, since
MSH-1 is the field separator itself: position 2 is MSH-3, 9 is MSH-10."""

from __future__ import annotations

import datetime
import itertools
import re
from dataclasses import dataclass

SENDING_APPLICATION, SENDING_FACILITY = 2, 3
RECEIVING_APPLICATION, RECEIVING_FACILITY = 4, 5
MESSAGE_TYPE, CONTROL_ID, PROCESSING_ID, VERSION = 8, 9, 10, 11

ACCEPTED, ERROR, REJECTED = "AA", "AE", "AR"
# ERR-3, from HL7 table 0357; ERR-4 is the severity, ERR-8 the text.
ERROR_CODE = "207^Application internal error^HL70357"
SEPARATORS = {"F": "|", "S": "^", "R": "~", "T": "&", "E": "\\"}
UNESCAPE = re.compile(r"\\([FSRTE])\\")
ESCAPES = str.maketrans({"\\": "\\E\\", "|": "\\F\\", "^": "\\S\\", "~": "\\R\\", "&": "\\T\\",
                         "\r": " ", "\n": " "})


def header_fields(message: str) -> list[str]:
    """The raw fields of a message's first line, by position ([] without an MSH line)."""
    first_line = message.split("\r", 1)[0].split("\n", 1)[0]
    return first_line.split("|") if first_line.startswith("MSH|") else []


class ControlIds:
    """MSH-10 for each ACK: unique across restarts (the start time in
    milliseconds, base 36) and short enough for the 20 characters of v2.5."""

    def __init__(self) -> None:
        start = int(datetime.datetime.now(datetime.UTC).timestamp() * 1000)
        self.prefix = "M" + base36(start) + "-"
        self.numbers = itertools.count(1)

    def next(self) -> str:
        return self.prefix + str(next(self.numbers))


def base36(number: int) -> str:
    digits = ""
    while number:
        number, digit = divmod(number, 36)
        digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[digit] + digits
    return digits or "0"


def hl7_time(moment: datetime.datetime) -> str:
    return moment.strftime("%Y%m%d%H%M%S") + f".{moment.microsecond // 1000:03d}+0000"


def acknowledgment(header: list[str], code: str, control_id: str, error: str = "") -> str:
    """The ACK of a message with these header fields; an error text goes into ERR."""
    def field(position: int) -> str:
        return header[position] if position < len(header) else ""

    trigger = (field(MESSAGE_TYPE).split("^") + [""])[1]
    msh = ["MSH", "^~\\&", field(RECEIVING_APPLICATION), field(RECEIVING_FACILITY),
           field(SENDING_APPLICATION), field(SENDING_FACILITY),
           hl7_time(datetime.datetime.now(datetime.UTC)), "", f"ACK^{trigger}^ACK", control_id,
           field(PROCESSING_ID), field(VERSION)]
    segments = ["|".join(msh), f"MSA|{code}|{field(CONTROL_ID)}"]
    if error:
        segments.append(f"ERR|||{ERROR_CODE}|E||||{error.translate(ESCAPES)}")
    return "\r".join(segments) + "\r"


@dataclass(frozen=True)
class Reply:
    """What an ACK says: MSA-1, MSA-2 and its error text, if any."""

    code: str
    control_id: str
    error: str = ""


def read_acknowledgment(text: str) -> Reply:
    """MSA-1 and MSA-2, and the error text from MSA-3, ERR-8 or ERR-7; raises
    ValueError when the text holds no MSA segment."""
    segments: dict[str, list[str]] = {}
    for line in reversed(text.replace("\n", "\r").split("\r")):
        fields = line.split("|")
        segments[fields[0]] = fields + [""] * 9
    if "MSA" not in segments:
        raise ValueError(f"the acknowledgment has no MSA segment: {text[:200]!r}")
    msa, err = segments["MSA"], segments.get("ERR", [""] * 10)
    error = msa[3] or err[8] or err[7]
    return Reply(msa[1], msa[2], UNESCAPE.sub(lambda match: SEPARATORS[match[1]], error))
