"""The mirabex command: HL7 v2 files to JSON Lines, JSON records back to HL7,
and validation, over many files at once or through pipes.

Every command that reads inputs takes one path through here: its PATH
arguments become Inputs, an engine reads them and writes the output, each
failure goes to the Report, and the worst of them is the exit status. The
engine of to-json, to-hl7 and validate runs a per-input task on --jobs
workers (each_input); any other engine that takes a Run can replace it."""

from __future__ import annotations

import argparse
import codecs
import contextlib
import enum
import functools
import json
import os
import re
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, BinaryIO, Protocol, TextIO, TypeAlias

import mirabex
import mirabex_bulk

STDIN = "-"
BATCH_SEGMENTS = frozenset({"BHS", "BTS", "FHS", "FTS"})
MLLP_FRAMING = str.maketrans("", "", "\x0b\x1c")
MLLP_START, MLLP_END = "\x0b", "\x1c\r"
LINE_BREAK = re.compile(r"\r\n|\r|\n")
LINE_ENDINGS = {"cr": "\r", "lf": "\n", "crlf": "\r\n"}
JSON_WHITESPACE = " \t\r\n"
ENCODING_ERROR = "HL7 encoding error: "
# Up to this many files no progress bar is shown, nor for less input than
# this many bytes.
HANDFUL = 5
LONG_RUN_BYTES = 20_000_000


class Status(enum.IntEnum):
    """The exit status, the same for every command: a run ends with the worst
    status that any of its inputs met."""

    OK = 0
    FAILED = 1
    UNUSABLE = 2


EXIT_STATUSES = """\
exit status:
  0  all good
  1  some message or line failed (the others were done)
  2  bad usage, or an input that could not be read at all"""

DESCRIPTION = """\
HL7 v2 files to JSON Lines and back, and validation.

A PATH is a file, a folder, or - for standard input (once at most); a
folder stands for every file under it (hidden ones excepted), in name order.
Output goes to stdout, or to the file that -o names (-o - is stdout).

An HL7 file may hold several messages, as captures from interface engines
do: each starts at an MSH line, and batch and file header and trailer lines
(BHS, BTS, FHS, FTS) belong to no message. MLLP framing (0x0B before a
message, 0x1C and CR after it), blank lines and a leading byte-order mark
are removed. Lines before the first MSH line form a message of their own.
HL7 files are read with --encoding.

Failures go to stderr, one line each: "PATH: ERROR" for a whole input,
"PATH:N: ERROR" for its message N (line N for to-hl7), counting from 1.
The other inputs, messages and lines go on. to-json --errors FILE writes
them to FILE instead, as JSON Lines with each message's byte offset."""


class UsageError(Exception):
    """Arguments that parse but cannot be used together."""


@dataclass(frozen=True)
class Settings:
    """The command's options, as each input's conversion needs them."""

    encoding: str = "utf-8"
    validation: bool = False
    strict: bool = False
    escaping: bool = True
    required: bool = True
    unescaped: bool = False
    line_ending: str = "cr"
    mllp: bool = False
    form: str = "text"


@dataclass(frozen=True)
class Input:
    """An input as the user named it: a file, or standard input ("-")."""

    name: str
    # The bytes, once read ahead: standard input is read in the main process,
    # since a worker process has none of its own.
    content: bytes | None = None

    def read_bytes(self) -> bytes:
        if self.content is not None:
            return self.content
        if self.name == STDIN:
            return sys.stdin.buffer.read()
        return Path(self.name).read_bytes()

    def read_ahead(self) -> Input:
        if self.name == STDIN and self.content is None:
            return replace(self, content=self.read_bytes())
        return self


@dataclass(frozen=True)
class Failure:
    """One error report: an input, or its message or line `number`, and why."""

    name: str
    error: str
    number: int | None = None
    status: Status = Status.FAILED
    offset: int | None = None  # of the message in its input, when known

    def as_json(self) -> str:
        return json.dumps({"file": self.name, "message": self.number, "offset": self.offset,
                           "error": self.error}, ensure_ascii=False)

    def __str__(self) -> str:
        where = self.name if self.number is None else f"{self.name}:{self.number}"
        return f"{where}: {self.error}"


@dataclass
class Outcome:
    """What one input gives: the bytes to write, its failures, and its status."""

    output: list[bytes] = field(default_factory=list)
    errors: list[Failure] = field(default_factory=list)
    status: Status = Status.OK

    @property
    def failed(self) -> bool:
        return self.status != Status.OK

    def write_line(self, text: str) -> None:
        self.output.append(text.encode() + b"\n")

    def fail(self, name: str, error: str, number: int | None = None,
             status: Status = Status.FAILED) -> None:
        self.errors.append(Failure(name, error, number, status))
        self.status = max(self.status, status)


class Report:
    """Failures as they come, one line each on stderr (or through `echo`),
    or as JSON Lines to `json_lines`, and the exit status they add up to."""

    def __init__(self, json_lines: TextIO | None = None) -> None:
        self.status = Status.OK
        self.echo: Callable[[str], object] = functools.partial(print, file=sys.stderr)
        self.json_lines = json_lines

    def failure(self, failure: Failure) -> None:
        if self.json_lines is not None:
            self.json_lines.write(failure.as_json() + "\n")
        else:
            self.echo(str(failure))
        self.status = max(self.status, failure.status)

    def outcome(self, outcome: Outcome) -> None:
        for failure in outcome.errors:
            self.failure(failure)
        self.status = max(self.status, outcome.status)


@dataclass
class Run:
    """What an engine works on: the inputs in order, the stream its output
    goes to, the report its failures go to, and the options."""

    inputs: list[Input]
    out: BinaryIO
    report: Report
    settings: Settings
    jobs: int


class Task(Protocol):
    """What converts or checks one input."""

    def __call__(self, source: Input, settings: Settings) -> Outcome: ...


Engine: TypeAlias = Callable[[Run], None]
Commands: TypeAlias = "argparse._SubParsersAction[argparse.ArgumentParser]"


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


def read_messages(source: Input, encoding: str = "utf-8") -> list[str]:
    messages = split_messages(source.read_bytes().decode(encoding))
    if not messages:
        raise ValueError("HL7 message is empty")
    return messages


def expand(paths: Iterable[str]) -> list[str]:
    """Files as given, and every file under each folder, hidden ones aside."""
    files: list[str] = []
    for path in paths:
        if path == STDIN or not Path(path).is_dir():
            files.append(path)
            continue
        for root, folders, names in os.walk(path):
            folders[:] = sorted(name for name in folders if not name.startswith("."))
            files += [os.path.join(root, name) for name in sorted(names) if not name.startswith(".")]
    return files


def inputs(paths: Iterable[str]) -> list[Input]:
    names = expand(paths)
    if names.count(STDIN) > 1:
        raise UsageError("standard input (-) can be read only once")
    return [Input(name) for name in names]


def os_error_text(error: OSError) -> str:
    return error.strerror or str(error)


def messages_or_failure(source: Input, settings: Settings, outcome: Outcome) -> list[str]:
    try:
        return read_messages(source, settings.encoding)
    except OSError as error:
        outcome.fail(source.name, os_error_text(error), status=Status.UNUSABLE)
    except UnicodeDecodeError as error:
        outcome.fail(source.name, f"{error} (see --encoding)")
    except ValueError as error:
        outcome.fail(source.name, str(error))
    return []


def to_json(source: Input, settings: Settings) -> Outcome:
    outcome = Outcome()
    for number, text in enumerate(messages_or_failure(source, settings, outcome), 1):
        message = mirabex.Hl7Json(text, settings.validation, settings.strict, settings.escaping)
        try:
            records = message.hl7_json
        except Exception as error:
            outcome.fail(source.name, str(error), number)
            continue
        line = {"file": source.name, "message": number, "records": records}
        outcome.write_line(json.dumps(line, ensure_ascii=False))
    return outcome


def validate(source: Input, settings: Settings) -> Outcome:
    outcome = Outcome()
    for number, text in enumerate(messages_or_failure(source, settings, outcome), 1):
        error: str | None = None
        try:
            mirabex.Hl7Json(text).validate(settings.strict, settings.required)
        except Exception as failure:
            error = str(failure)
            outcome.status = max(outcome.status, Status.FAILED)
        if settings.form == "json":
            verdict = {"file": source.name, "message": number, "ok": error is None, "error": error}
            outcome.write_line(json.dumps(verdict, ensure_ascii=False))
        else:
            outcome.write_line(f"{source.name}:{number}: {error or 'OK'}")
    return outcome


def json_text_or_failure(source: Input, outcome: Outcome) -> str:
    try:
        return source.read_bytes().decode("utf-8-sig")
    except OSError as error:
        outcome.fail(source.name, os_error_text(error), status=Status.UNUSABLE)
    except UnicodeDecodeError as error:
        outcome.fail(source.name, f"{error} (JSON is UTF-8)")
    return ""


def json_messages(text: str) -> Iterator[tuple[int | None, str]]:
    """The pieces of a JSON input that each hold one message, with their line
    numbers: the whole text when it is one array of records (no number), else
    each non-blank line of JSON Lines."""
    if text.lstrip(JSON_WHITESPACE).startswith("["):
        yield None, text
        return
    # Only LF ends a line: JSON text may hold U+2028 and the like unescaped.
    for number, line in enumerate(text.split("\n"), 1):
        if line.strip(JSON_WHITESPACE):
            yield number, line


def parse_json(text: str, whole: bool) -> Any:
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        where = f"line {error.lineno} column {error.colno}" if whole else f"column {error.colno}"
        raise ValueError(f"invalid JSON: {error.msg} at {where}") from None


def records_in(piece: str, number: int | None) -> Any:
    """A JSON array of records, or the "records" of a to-json line."""
    if number is None:
        return parse_json(piece, whole=True)
    line = parse_json(piece, whole=False)
    if not isinstance(line, dict) or "records" not in line:
        raise ValueError('expected an object with "records", as to-json writes')
    return line["records"]


def hl7_message(records: Any, settings: Settings) -> bytes:
    """The message that the records make, each segment ended by the chosen
    line ending, framed for MLLP when asked; nothing for no records."""
    try:
        assembled = mirabex.JsonHl7(records)
    except TypeError as error:
        raise ValueError(f"records must be a list of objects with text values ({error})") from None
    text = assembled.hl7_string_unescaped if settings.unescaped else assembled.hl7_string
    if not text:
        return b""
    ending = LINE_ENDINGS[settings.line_ending]
    # The assembly puts LF between segments; an escaped value holds no LF.
    message = "".join(segment + ending for segment in text.split("\n"))
    if settings.mllp:
        message = MLLP_START + message + MLLP_END
    return message.encode(settings.encoding)


def to_hl7(source: Input, settings: Settings) -> Outcome:
    outcome = Outcome()
    for number, piece in json_messages(json_text_or_failure(source, outcome)):
        try:
            outcome.output.append(hl7_message(records_in(piece, number), settings))
        except UnicodeEncodeError as error:
            outcome.fail(source.name, f"{error} (see --encoding)", number)
        except ValueError as error:
            outcome.fail(source.name, str(error), number)
    return outcome


def free_threaded() -> bool:
    return not getattr(sys, "_is_gil_enabled", lambda: True)()


def in_order(task: Callable[[Input], Outcome], sources: list[Input], jobs: int) -> Iterator[Outcome]:
    """The outcome of each input, in the order of the inputs."""
    jobs = max(1, min(jobs, len(sources)))
    ready = (source.read_ahead() for source in sources)
    if jobs == 1:
        yield from map(task, ready)
        return
    import concurrent.futures  # only here: it takes longer to import than a small run
    pool: concurrent.futures.Executor
    if free_threaded():
        pool = concurrent.futures.ThreadPoolExecutor(jobs)
    else:
        pool = concurrent.futures.ProcessPoolExecutor(jobs)
    # Files go to a process in batches, as one small file is less work than
    # the round trip; only a few batches wait at a time, so memory stays flat
    # and a reader that stops early (| head) does not wait for the rest.
    chunk = max(1, min(32, len(sources) // (4 * jobs)))
    try:
        yield from pool.map(task, ready, chunksize=chunk, buffersize=4 * jobs)
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


def each_input(task: Task) -> Engine:
    """The engine that runs `task` on each input, --jobs at once, and writes
    the outcomes in input order."""
    def engine(run: Run) -> None:
        work = functools.partial(task, settings=run.settings)
        with progress_bar(len(run.inputs)) as bar:
            if bar:
                run.report.echo = functools.partial(bar.write, file=sys.stderr)
            for outcome in in_order(work, run.inputs, run.jobs):
                run.out.writelines(outcome.output)
                run.report.outcome(outcome)
                if bar:
                    bar.update()
    return engine


def bulk_encoding(name: str) -> str | None:
    """The name mirabex_bulk takes for an encoding: "auto", or Python's own
    name for the codec (which iconv knows by the same name); None for a name
    Python does not know."""
    if name == "auto":
        return name
    try:
        return codecs.lookup(name).name
    except LookupError:
        return None


def output_descriptor(out: BinaryIO) -> int | None:
    try:
        return out.fileno()
    except (AttributeError, OSError, ValueError):
        return None


def failure_of(error: mirabex_bulk.MessageError) -> Failure:
    """The report of a message or input that mirabex_bulk could not convert."""
    status = Status.UNUSABLE if error.unreadable else Status.FAILED
    text = str(error)
    if text.startswith(ENCODING_ERROR):
        text += " (see --encoding)"
    return Failure(error.file, text, error.message, status, error.offset)


def long_run(sources: list[Input]) -> bool:
    """More than a handful of inputs, or many bytes (standard input counts as many)."""
    if len(sources) > HANDFUL:
        return True
    total = 0
    for source in sources:
        if source.name == STDIN:
            return True
        with contextlib.suppress(OSError):
            total += os.stat(source.name).st_size
    return total > LONG_RUN_BYTES


def bulk_to_json(run: Run) -> None:
    """to-json on mirabex_bulk: the inputs read in chunks and converted on
    --jobs threads that run without the interpreter, one big file split
    across them, lines written in input order. Runs it cannot take (an
    output with no descriptor, an encoding whose line breaks are not ASCII
    bytes, such as UTF-16) go through the per-input engine instead."""
    encoding = bulk_encoding(run.settings.encoding)
    descriptor = output_descriptor(run.out)
    fallback = each_input(to_json)
    if encoding is None or descriptor is None:
        return fallback(run)
    try:
        mirabex_bulk.convert_files([], descriptor, encoding=encoding)
    except LookupError:
        return fallback(run)
    run.out.flush()

    def report(error: mirabex_bulk.MessageError) -> None:
        run.report.failure(failure_of(error))

    mirabex_bulk.convert_files(
        [0 if source.name == STDIN else source.name for source in run.inputs], descriptor,
        errors=report, jobs=run.jobs, encoding=encoding,
        validation_enabled=run.settings.validation, strict_validation=run.settings.strict,
        escaping_enabled=run.settings.escaping, progress=long_run(run.inputs) and sys.stderr.isatty())


def settings_from(arguments: argparse.Namespace) -> Settings:
    return Settings(encoding=getattr(arguments, "encoding", "utf-8"),
                    validation=getattr(arguments, "validate", False),
                    strict=getattr(arguments, "strict", False),
                    escaping=not getattr(arguments, "no_escaping", False),
                    required=not getattr(arguments, "no_pid", False),
                    unescaped=getattr(arguments, "unescaped", False),
                    line_ending=getattr(arguments, "line_ending", "cr"),
                    mllp=getattr(arguments, "mllp", False),
                    form=getattr(arguments, "format", "text"))


def open_output(path: str | None) -> contextlib.AbstractContextManager[BinaryIO]:
    if path is None or path == STDIN:
        return contextlib.nullcontext(sys.stdout.buffer)
    try:
        return open(path, "wb")
    except OSError as error:
        raise UsageError(f"cannot write {path}: {os_error_text(error)}") from None


def open_errors(path: str | None) -> contextlib.AbstractContextManager[TextIO | None]:
    if path is None:
        return contextlib.nullcontext(None)
    try:
        return open(path, "w", encoding="utf-8")
    except OSError as error:
        raise UsageError(f"cannot write {path}: {os_error_text(error)}") from None


def run_inputs(arguments: argparse.Namespace) -> Status:
    """A command that reads PATHs: its engine over the inputs, to the output."""
    sources = inputs(arguments.paths)
    with open_errors(getattr(arguments, "errors", None)) as errors, \
            open_output(arguments.output) as out:
        report = Report(errors)
        arguments.engine(Run(sources, out, report, settings_from(arguments), arguments.jobs))
        out.flush()
    return report.status


def job_count(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, not {text!r}")
    return int(text)


def encoding_name(text: str) -> str:
    """A text encoding Python knows, so a misspelt name is a usage error
    before any input is read."""
    try:
        codecs.lookup(text)
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown text encoding {text!r}") from None
    return text


def encoding_name_or_auto(text: str) -> str:
    return text if text == "auto" else encoding_name(text)


def input_command(commands: Commands, name: str, task: Task, summary: str,
                  description: str) -> argparse.ArgumentParser:
    """A command that runs `task` on each PATH, with the options all such commands share."""
    command = commands.add_parser(name, help=summary, description=description, epilog=EXIT_STATUSES,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    command.add_argument("paths", nargs="+", metavar="PATH", help="a file, a folder, or - for stdin")
    command.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of stdout")
    command.add_argument("-j", "--jobs", type=job_count, default=os.process_cpu_count() or 1,
                         metavar="N", help="files converted at once (default: all cores); threads on a "
                              "free-threaded interpreter, processes otherwise")
    command.set_defaults(run=run_inputs, engine=each_input(task), usage=command)
    return command


def add_encoding(command: argparse.ArgumentParser, what: str) -> None:
    command.add_argument("--encoding", default="utf-8", type=encoding_name,
                         help=f"text encoding of the HL7 {what}, such as latin-1 or cp1252 "
                              "(default: utf-8)")


def add_conversion_options(command: argparse.ArgumentParser, validate_help: str) -> None:
    """The options of Hl7Json, for the commands that turn messages into records."""
    command.add_argument("--validate", action="store_true", help=validate_help)
    command.add_argument("--strict", action="store_true", help="strict validation")
    command.add_argument("--no-escaping", action="store_true",
                         help="keep escape sequences such as \\F\\ in the values")


def add_to_json(commands: Commands) -> None:
    command = input_command(
        commands, "to-json", to_json, "HL7 files to JSON Lines",
        "Write one JSON line per message:\n"
        '{"file": PATH, "message": N, "records": [...]}, N counting from 1.')
    add_conversion_options(command, "validate each message first; an invalid one fails")
    command.add_argument("--errors", metavar="FILE",
                         help='write failures to FILE as JSON Lines: {"file": PATH, "message": N, '
                              '"offset": BYTE, "error": TEXT} (message and offset null for a '
                              "whole input)")
    command.add_argument("--encoding", default="utf-8", type=encoding_name_or_auto,
                         help="text encoding of the HL7 files, such as latin-1 or cp1252, or auto: "
                              "each message's own, as its MSH-18 names it (UTF-8 when it names "
                              "none) (default: utf-8)")
    command.set_defaults(engine=bulk_to_json)


def add_to_hl7(commands: Commands) -> None:
    command = input_command(
        commands, "to-hl7", to_hl7, "JSON records to HL7",
        "Write one HL7 message per JSON line that to-json wrote (its \"records\"),\n"
        "in order. An input whose first character is [ is instead one JSON array\n"
        "of records, one message.")
    command.add_argument("--unescaped", action="store_true",
                         help="write values as they are, without escape sequences")
    command.add_argument("--line-ending", choices=LINE_ENDINGS, default="cr",
                         help="what ends each segment (default: cr, as in HL7 files)")
    command.add_argument("--mllp", action="store_true",
                         help="frame each message for MLLP: 0x0B before it, 0x1C and CR after it")
    add_encoding(command, "written")


def add_validate(commands: Commands) -> None:
    command = input_command(
        commands, "validate", validate, "check the structure of HL7 messages",
        'Print one line per message: "PATH:N: OK" or "PATH:N: ERROR", the\n'
        "message's first validation error, N counting from 1 within the file.")
    command.add_argument("--strict", action="store_true",
                         help="also check the version and a three-part message type")
    command.add_argument("--no-pid", action="store_true",
                         help="do not require a PID segment")
    command.add_argument("--format", choices=("text", "json"), default="text",
                         help='json: one object per message, {"file": PATH, "message": N, '
                              '"ok": true or false, "error": null or ERROR}')
    add_encoding(command, "files")


def add_serve_and_send(commands: Commands) -> None:
    # Imported here, as the MLLP package builds on this module.
    from mirabex_mllp.commands import add_send, add_serve
    add_serve(commands)
    add_send(commands)


# Each adds one subcommand; its `run` default takes the parsed arguments and
# gives the exit status.
COMMANDS: list[Callable[[Commands], None]] = [add_to_json, add_to_hl7, add_validate,
                                              add_serve_and_send]


def package_version() -> str:
    """This source tree's version, or the installed package's."""
    import importlib.metadata
    import tomllib
    pyproject = Path(__file__).resolve().parent.parent / "pyproject.toml"
    with contextlib.suppress(OSError, tomllib.TOMLDecodeError, KeyError):
        project = tomllib.loads(pyproject.read_text(encoding="utf-8"))["project"]
        if project["name"] == "mirabex":
            return str(project["version"])
    try:
        return importlib.metadata.version("mirabex")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


class PrintVersion(argparse.Action):
    """--version, looked up only when asked for (package metadata is slow to import)."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 help: str | None = "print the version and exit") -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        print(parser.prog, package_version())
        parser.exit()


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="mirabex", description=DESCRIPTION, epilog=EXIT_STATUSES,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action=PrintVersion)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for add in COMMANDS:
        add(commands)
    return top


def main(argv: list[str] | None = None) -> int:
    top = parser()
    arguments = top.parse_args(argv)
    try:
        return int(arguments.run(arguments))
    except UsageError as error:
        usage: argparse.ArgumentParser = getattr(arguments, "usage", top)
        usage.error(str(error))
    except BrokenPipeError:  # the reader has gone, as with | head
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return Status.FAILED


if __name__ == "__main__":
    # Modules that build on this one (mirabex_mllp) import it by name: they
    # get this module, not a second copy with its own exception classes.
    sys.modules.setdefault("mirabex_cli", sys.modules[__name__])
    sys.exit(main())
