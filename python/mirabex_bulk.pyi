"""HL7 v2 files to JSON Lines on every core, and their messages one at a time."""

import os
from collections.abc import Callable, Iterator, Sequence
from typing import final

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

class MessageError(Exception):
    """A message that could not be converted: which file, which message
    (counting from 1) and where it starts (a byte offset in the file);
    message and offset are None when a whole file failed, and unreadable
    says whether it could not be read at all."""

    file: str
    message: int | None
    offset: int | None
    unreadable: bool

@final
class RecordsIterator(Iterator[tuple[int, int, list[dict[str, str]]]]):
    """The records of a file's messages, one message at a time."""

    def __iter__(self) -> RecordsIterator: ...
    def __next__(self) -> tuple[int, int, list[dict[str, str]]]: ...

def iter_records(
    path: _Path,
    *,
    encoding: str = "auto",
    validation_enabled: bool | None = None,
    strict_validation: bool | None = None,
    escaping_enabled: bool | None = None,
) -> RecordsIterator:
    """(number, offset, records) for each message of the file; records as
    Hl7Json(message).hl7_json gives them. A message that fails raises
    MessageError; the next call goes on with the message after it."""

def records_json(
    message: str,
    *,
    validation_enabled: bool | None = None,
    strict_validation: bool | None = None,
    escaping_enabled: bool | None = None,
) -> str:
    """The records of one message as JSON text, written as to-json writes
    them: json.loads of it equals Hl7Json(message).hl7_json. A message that
    fails validation raises Exception with the same text as Hl7Json."""

def convert_files(
    paths: Sequence[_Path | int],
    output: _Path | int,
    *,
    errors: _Path | int | Callable[[MessageError], object] | None = None,
    jobs: int | None = None,
    encoding: str = "auto",
    validation_enabled: bool | None = None,
    strict_validation: bool | None = None,
    escaping_enabled: bool | None = None,
    progress: bool = False,
) -> tuple[int, int]:
    """Write one JSON line per message of the files, in file order, to output
    (a path, or an open file descriptor); return (converted, failed).
    Failures go to stderr as text, to errors (a path or descriptor) as JSON
    Lines, or to errors (a callable) as MessageError objects."""
