"""The `serve` and `send` subcommands of the mirabex command."""

from __future__ import annotations

import argparse
from typing import Any

from mirabex_cli import (EXIT_STATUSES, STDIN, Commands, Report, Status, UsageError,
                         add_conversion_options, add_encoding, inputs, settings_from)

DEFAULT_PORT = 2575


def at_least(minimum: int, kind: type[Any] = int) -> Any:
    """An argument type: an int (or float) of at least `minimum`."""
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            value = minimum - 1
        if not value >= minimum:  # NaN too
            raise argparse.ArgumentTypeError(f"expected a number of at least {minimum}, not {text!r}")
        return value
    return parse


def add_address(command: argparse.ArgumentParser) -> None:
    command.add_argument("--host", default="127.0.0.1", help="default: 127.0.0.1")
    command.add_argument("--port", type=at_least(0), default=DEFAULT_PORT,
                         help=f"default: {DEFAULT_PORT}; 0: any free port")


def add_serve(commands: Commands) -> None:
    command = commands.add_parser(
        "serve", help="receive HL7 over MLLP into a JSON Lines file", epilog=SERVE_STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Listen for MLLP connections; store each message as one JSON line\n"
                    '{"received": TIME, "peer": "HOST:PORT", "message": N, "records": [...]}\n'
                    "(N counting the frames of the connection from 1), then acknowledge it.\n"
                    "Runs until SIGTERM or SIGINT; logs go to stderr.")
    command.add_argument("-o", "--output", required=True, metavar="FILE.jsonl",
                         help="the file to append to (created if missing)")
    add_address(command)
    command.add_argument("--fsync", action="store_true",
                         help="acknowledge only once the line is on disk, not only handed to the OS")
    add_conversion_options(command, "validate each message; an invalid one is stored with its "
                                    "error and answered AE")
    add_encoding(command, "messages received")
    command.add_argument("--max-message-bytes", type=at_least(1), default=16 << 20,
                         metavar="N", help="answer AR to a larger message (default: 16 MiB)")
    command.add_argument("--idle-timeout", type=at_least(0, float), default=600.0,
                         metavar="SECONDS", help="close a connection silent this long "
                                                 "(default: 600; 0: never)")
    command.add_argument("--max-connections", type=at_least(1), default=100, metavar="N",
                         help="refuse connections beyond N open ones (default: 100)")
    command.set_defaults(run=serve, usage=command)


SERVE_STATUSES = """\
exit status:
  0  stopped by SIGTERM or SIGINT, every message received stored and answered
  1  the output could not be written (the messages not stored were not answered)
  2  bad usage, or it could not start (the output cannot be opened, the port is taken)"""


# The server, the sender and logging are imported when run: importing them
# takes longer than a small to-json run.

def serve(arguments: argparse.Namespace) -> Status:
    import logging

    from . import server
    if arguments.output == STDIN:
        raise UsageError("serve appends to a file, which it locks and repairs: -o - is not one")
    logging.basicConfig(format="%(asctime)s %(levelname)s %(message)s", level=logging.INFO)
    limits = server.Limits(arguments.max_message_bytes, arguments.idle_timeout,
                           arguments.max_connections)
    return server.serve(arguments.host, arguments.port, arguments.output, arguments.fsync,
                        settings_from(arguments), limits)


def add_send(commands: Commands) -> None:
    command = commands.add_parser(
        "send", help="send HL7 files over MLLP", epilog=EXIT_STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Send every message of the PATHs (read as to-json reads them), one frame\n"
                    "each over one connection, waiting for each ACK. Print the count of each\n"
                    'ACK code; each message not answered AA is reported as "PATH:N: CODE: ERROR".')
    command.add_argument("paths", nargs="+", metavar="PATH", help="a file, a folder, or - for stdin")
    add_address(command)
    add_encoding(command, "files")
    command.add_argument("--timeout", type=at_least(0, float), default=30.0, metavar="SECONDS",
                         help="wait this long for each ACK (default: 30)")
    command.set_defaults(run=send, usage=command)


def send(arguments: argparse.Namespace) -> Status:
    from . import sender
    report = Report()
    sender.send(inputs(arguments.paths), arguments.host, arguments.port, settings_from(arguments),
                arguments.timeout, report)
    return report.status
