"""The `serve` and `send` subcommands of the mirabex command."""

from __future__ import annotations

import argparse
import logging
from typing import Any

DEFAULT_PORT = 2575


def positive(kind: type[Any]) -> Any:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            value = -1
        if value < 0:
            raise argparse.ArgumentTypeError(f"expected a number of at least 0, not {text!r}")
        return value
    return parse


def add_conversion_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("--validate", action="store_true",
                         help="validate each message; an invalid one is stored with its error "
                              "and answered AE")
    command.add_argument("--strict", action="store_true", help="strict validation")
    command.add_argument("--no-escaping", action="store_true",
                         help="keep escape sequences such as \\F\\ in the values")


def add_address(command: argparse.ArgumentParser) -> None:
    command.add_argument("--host", default="127.0.0.1", help="default: 127.0.0.1")
    command.add_argument("--port", type=positive(int), default=DEFAULT_PORT,
                         help=f"default: {DEFAULT_PORT}")


def add_commands(commands: Any, add_encoding: Any) -> None:
    """Adds serve and send to the mirabex command's subparsers; each sets
    `run`, which takes the parsed arguments and the to-json settings."""
    command = commands.add_parser(
        "serve", help="receive HL7 over MLLP into a JSON Lines file",
        description="Listen for MLLP connections; store each message as one JSON line "
                    '{"received": TIME, "peer": "HOST:PORT", "message": N, "records": [...]} '
                    "(N counting the frames of the connection from 1), then acknowledge it. "
                    "Runs until SIGTERM or SIGINT.")
    command.add_argument("-o", "--output", required=True, metavar="FILE.jsonl",
                         help="the file to append to (created if missing)")
    add_address(command)
    command.add_argument("--fsync", action="store_true",
                         help="acknowledge only once the line is on disk, not only handed to the OS")
    add_conversion_options(command)
    add_encoding(command)
    command.add_argument("--max-message-bytes", type=positive(int), default=16 << 20, metavar="N",
                         help="answer AR to a larger message (default: 16 MiB)")
    command.add_argument("--idle-timeout", type=positive(float), default=600.0,
                         metavar="SECONDS", help="close a connection silent this long "
                                                 "(default: 600; 0: never)")
    command.add_argument("--max-connections", type=positive(int), default=100, metavar="N",
                         help="refuse connections beyond N open ones (default: 100)")
    command.set_defaults(run=serve)

    command = commands.add_parser(
        "send", help="send HL7 files over MLLP",
        description="Send every message of the files, one frame each, and wait for each ACK. "
                    "Print the count of each ACK code; the exit status is 1 when any was "
                    "not AA or a file could not be read.")
    command.add_argument("paths", nargs="+", metavar="PATH")
    add_address(command)
    add_encoding(command)
    command.add_argument("--timeout", type=positive(float), default=30.0, metavar="SECONDS",
                         help="wait this long for each ACK (default: 30)")
    command.set_defaults(run=send)


# The server and the sender are imported when run: they use the mirabex
# command's own reading of messages, and that command imports this module.

def serve(arguments: argparse.Namespace, settings: Any) -> int:
    from .server import Limits, serve as run_server
    logging.basicConfig(format="%(asctime)s %(levelname)s %(message)s", level=logging.INFO)
    limits = Limits(arguments.max_message_bytes, arguments.idle_timeout, arguments.max_connections)
    return run_server(arguments.host, arguments.port, arguments.output, arguments.fsync,
                      settings, limits)


def send(arguments: argparse.Namespace, settings: Any) -> int:
    from .sender import send as run_sender
    return run_sender(arguments.paths, arguments.host, arguments.port, settings, arguments.timeout)
