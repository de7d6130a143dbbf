"""The mirabex command: HL7 v2 files to JSON Lines, record lists to HL7, and
validation, over many files at once."""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import functools
import json
import os
import re
import sys
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TextIO

import mirabex
from mirabex_mllp import commands as mllp_commands

BATCH_SEGMENTS = frozenset({"BHS", "BTS", "FHS", "FTS"})
MLLP_FRAMING = str.maketrans("", "", "\x0b\x1c")
LINE_BREAK = re.compile(r"\r\n|\r|\n")
# Up to this many files no progress bar is shown.
HANDFUL = 5

DESCRIPTION = """\
HL7 v2 files to JSON Lines and back, and validation.

A PATH is a file or a folder; a folder stands for every file under it
(hidden ones excepted), in name order. A file may hold several messages, as
captures from interface engines do: each starts at an MSH line, and batch
and file header and trailer lines (BHS, BTS, FHS, FTS) belong to no message.
MLLP framing (0x0B before a message, 0x1C and CR after it), blank lines and
a leading byte-order mark are removed. Lines before the first MSH line form
a message of their own. Files are read with --encoding.

A file that fails is reported on stderr with the error and the others go on;
the exit status is then 1."""


@dataclass(frozen=True)
class Settings:
    """The command's options, as each file's conversion needs them."""

    encoding: str = "utf-8"
    validation: bool = False
    strict: bool = False
    escaping: bool = True
    required: bool = True
    unescaped: bool = False


@dataclass
class Outcome:
    """What one file gives: lines for stdout and for stderr."""

    output: list[str] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)
    failed: bool = False

    def fail(self, text: str) -> None:
        self.errors.append(text)
        self.failed = True


def split_messages(text: str) -> list[str]:
    """The messages of a file's text, each with CR between its segments."""
    messages: list[list[str]] = []
    for line in LINE_BREAK.split(text.removeprefix("\ufeff").translate(MLLP_FRAMING)):
        if not line.strip() or line.split("|", 1)[0] in BATCH_SEGMENTS:
            continue
        if line.startswith("MSH|") or not messages:
            messages.append([])
        messages[-1].append(line)
    return ["\r".join(lines) for lines in messages]


def read_messages(path: str, encoding: str = "utf-8") -> list[str]:
    messages = split_messages(Path(path).read_bytes().decode(encoding))
    if not messages:
        raise ValueError("HL7 message is empty")
    return messages


def expand(paths: Iterable[str]) -> list[str]:
    """Files as given, and every file under each folder, hidden ones aside."""
    files: list[str] = []
    for path in paths:
        if not Path(path).is_dir():
            files.append(path)
            continue
        for root, folders, names in os.walk(path):
            folders[:] = sorted(name for name in folders if not name.startswith("."))
            files += [os.path.join(root, name) for name in sorted(names) if not name.startswith(".")]
    return files


def messages_or_failure(path: str, settings: Settings, outcome: Outcome) -> list[str]:
    try:
        return read_messages(path, settings.encoding)
    except OSError as error:
        outcome.fail(f"{path}: {error.strerror or error}")
    except UnicodeDecodeError as error:
        outcome.fail(f"{path}: {error} (see --encoding)")
    except ValueError as error:
        outcome.fail(f"{path}: {error}")
    return []


def label(path: str, number: int, count: int) -> str:
    return f"{path} (message {number})" if count > 1 else path


def to_json(path: str, settings: Settings) -> Outcome:
    outcome = Outcome()
    messages = messages_or_failure(path, settings, outcome)
    for number, text in enumerate(messages, 1):
        message = mirabex.Hl7Json(text, settings.validation, settings.strict, settings.escaping)
        try:
            records = message.hl7_json
        except Exception as error:
            outcome.fail(f"{label(path, number, len(messages))}: {error}")
            continue
        line = {"file": path, "message": number, "records": records}
        outcome.output.append(json.dumps(line, ensure_ascii=False))
    return outcome


def to_hl7(path: str, settings: Settings) -> Outcome:
    outcome = Outcome()
    try:
        records = mirabex.JsonHl7.from_file(path)
    except Exception as error:
        outcome.fail(f"{path}: {error}")
        return outcome
    outcome.output.append(records.hl7_string_unescaped if settings.unescaped else records.hl7_string)
    return outcome


def validate(path: str, settings: Settings) -> Outcome:
    outcome = Outcome()
    messages = messages_or_failure(path, settings, outcome)
    for number, text in enumerate(messages, 1):
        try:
            mirabex.Hl7Json(text).validate(settings.strict, settings.required)
        except Exception as error:
            outcome.output.append(f"{label(path, number, len(messages))}: {error}")
            outcome.failed = True
            return outcome
    if messages:
        outcome.output.append(f"{path}: OK")
    return outcome


def free_threaded() -> bool:
    return not getattr(sys, "_is_gil_enabled", lambda: True)()


def run(task: Callable[[str], Outcome], paths: list[str], jobs: int) -> Iterator[Outcome]:
    """The outcome of each file, in the order of the paths."""
    jobs = max(1, min(jobs, len(paths)))
    if jobs == 1:
        yield from map(task, paths)
        return
    pool: concurrent.futures.Executor
    if free_threaded():
        pool = concurrent.futures.ThreadPoolExecutor(jobs)
    else:
        pool = concurrent.futures.ProcessPoolExecutor(jobs)
    # Files go to a process in batches, as one small file is less work than
    # the round trip; only a few batches wait at a time, so memory stays flat
    # and a reader that stops early (| head) does not wait for the rest.
    chunk = max(1, min(32, len(paths) // (4 * jobs)))
    try:
        yield from pool.map(task, paths, chunksize=chunk, buffersize=4 * jobs)
    finally:
        pool.shutdown(cancel_futures=True)


def progress_bar(total: int) -> contextlib.AbstractContextManager[Any]:
    """A tqdm bar on stderr for more than a handful of files when stderr is a
    terminal and tqdm is installed; else nothing (None)."""
    if total > HANDFUL and sys.stderr.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            pass
        else:
            return tqdm(total=total, unit="file", file=sys.stderr)
    return contextlib.nullcontext()


def job_count(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, not {text!r}")
    return int(text)


def add_common(command: argparse.ArgumentParser) -> None:
    command.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of stdout")
    command.add_argument("-j", "--jobs", type=job_count, default=os.process_cpu_count() or 1,
                         metavar="N", help="files converted at once (default: all cores); threads on a "
                              "free-threaded interpreter, processes otherwise")


def add_encoding(command: argparse.ArgumentParser) -> None:
    command.add_argument("--encoding", default="utf-8",
                         help="text encoding of the HL7 files, such as latin-1 or cp1252 "
                              "(default: utf-8)")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="mirabex", description=DESCRIPTION,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    command = commands.add_parser(
        "to-json", help="HL7 files to JSON Lines",
        description="Write one JSON line per message: "
                    '{"file": PATH, "message": N, "records": [...]}, N counting from 1.')
    command.add_argument("paths", nargs="+", metavar="PATH")
    command.add_argument("--validate", action="store_true",
                         help="validate each message first; an invalid one fails")
    command.add_argument("--strict", action="store_true", help="strict validation")
    command.add_argument("--no-escaping", action="store_true",
                         help="keep escape sequences such as \\F\\ in the values")
    add_encoding(command)
    add_common(command)
    command.set_defaults(task=to_json)

    command = commands.add_parser(
        "to-hl7", help="JSON record lists to HL7",
        description="Assemble one message from each JSON file (an array of records, "
                    "such as the \"records\" of a to-json line), one after another.")
    command.add_argument("paths", nargs="+", metavar="FILE.json")
    command.add_argument("--unescaped", action="store_true",
                         help="write values as they are, without escape sequences")
    add_common(command)
    command.set_defaults(task=to_hl7)

    command = commands.add_parser(
        "validate", help="check the structure of HL7 files",
        description="Print one line per file: OK, or the first validation error.")
    command.add_argument("paths", nargs="+", metavar="PATH")
    command.add_argument("--strict", action="store_true",
                         help="also check the version and a three-part message type")
    command.add_argument("--no-pid", action="store_true",
                         help="do not require a PID segment")
    add_encoding(command)
    add_common(command)
    command.set_defaults(task=validate)

    mllp_commands.add_commands(commands, add_encoding)
    return top


def settings_from(arguments: argparse.Namespace) -> Settings:
    return Settings(encoding=getattr(arguments, "encoding", "utf-8"),
                    validation=getattr(arguments, "validate", False),
                    strict=getattr(arguments, "strict", False),
                    escaping=not getattr(arguments, "no_escaping", False),
                    required=not getattr(arguments, "no_pid", False),
                    unescaped=getattr(arguments, "unescaped", False))


def open_output(path: str | None) -> contextlib.AbstractContextManager[TextIO]:
    if path is None:
        return contextlib.nullcontext(sys.stdout)
    return open(path, "w", encoding="utf-8", newline="")


def write_all(outcomes: Iterable[Outcome], out: TextIO, bar: Any) -> bool:
    """Write each outcome as it comes; True when no file failed."""
    report = functools.partial(bar.write if bar else print, file=sys.stderr)
    ok = True
    for outcome in outcomes:
        for line in outcome.output:
            out.write(line + "\n")
        for line in outcome.errors:
            report(line)
        if bar:
            bar.update()
        ok = ok and not outcome.failed
    return ok


def main(argv: list[str] | None = None) -> int:
    top = parser()
    arguments = top.parse_args(argv)
    if "run" in arguments:  # serve and send
        return int(arguments.run(arguments, settings_from(arguments)))
    paths = expand(arguments.paths)
    task = functools.partial(arguments.task, settings=settings_from(arguments))
    try:
        output = open_output(arguments.output)
    except OSError as error:
        top.error(f"cannot write {arguments.output}: {error.strerror}")
    try:
        with output as out, progress_bar(len(paths)) as bar:
            return 0 if write_all(run(task, paths, arguments.jobs), out, bar) else 1
    except BrokenPipeError:  # the reader has gone, as with | head
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
