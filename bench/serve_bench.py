"""Throughput of `mirabex serve`: acknowledged messages per second with
concurrent senders over loopback, each waiting for every ACK before its next
message, with flush durability (the default) and with --fsync.

    scripts/bench.sh            # 8 senders x 2,000 messages (x 250 with --fsync), best of 3
    scripts/bench.sh --quick    # 2 senders x 50 messages, once: a smoke test

The server runs in its own process, the senders in this one (asyncio), so
on two cores they share the machine; the server's own CPU time per message
is printed too, since the wall-clock rate follows whatever else the machine
runs. Each run checks that every ACK is AA with the message's control ID and that the
file holds every message exactly once.
"""
import argparse
import asyncio
import functools
import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
CORPUS = REPO / "tests" / "data" / "corpus"
PYTHON_PATH = os.pathsep.join([os.environ.get("PYTHONPATH", str(REPO / "build" / "python")),
                               str(REPO / "python")])


def corpus_messages():
    """The messages of the sample files, as the mirabex command reads them."""
    sys.path.insert(0, str(REPO / "python"))
    from mirabex_cli import split_messages
    return [message for path in sorted(CORPUS.glob("*.hl7"))
            for message in split_messages(path.read_bytes().decode("utf-8"))]


def with_control_id(message, control_id):
    header, *rest = message.split("\r")
    fields = header.split("|")
    fields[9] = control_id
    return "\r".join(["|".join(fields), *rest]) + "\r"


def start_server(output, fsync):
    command = [sys.executable, "-m", "mirabex_cli", "serve", "--port", "0", "-o", str(output)]
    server = subprocess.Popen(command + (["--fsync"] if fsync else []), stderr=subprocess.PIPE,
                              text=True, env={**os.environ, "PYTHONPATH": PYTHON_PATH})
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        line = server.stderr.readline()
        if "listening on" in line:
            return server, int(line.split("listening on ")[1].split(",")[0].rsplit(":", 1)[1])
        if not line:
            break
    server.kill()
    raise RuntimeError("the server did not start")


class Sender(asyncio.Protocol):
    """Sends its frames one at a time, each once the previous one's ACK has
    come back with AA and its control ID. A protocol rather than streams, so
    that the senders take as little of the machine from the server as they can."""

    def __init__(self, frames, done):
        self.frames = iter(frames)
        self.done = done
        self.buffer = b""
        self.control_id = None

    def connection_made(self, transport):
        self.transport = transport
        self.send_next()

    def send_next(self):
        control_id, frame = next(self.frames, (None, None))
        if frame is None:
            self.transport.close()
            self.done.set_result(None)
            return
        self.control_id = control_id.encode()
        self.transport.write(frame)

    def data_received(self, data):
        self.buffer += data
        if not self.buffer.endswith(b"\x1c\r"):
            return
        ack, self.buffer = self.buffer, b""
        msa = ack.split(b"\rMSA|", 1)[1].split(b"\r", 1)[0].split(b"|")
        if msa[:2] != [b"AA", self.control_id]:
            self.done.set_exception(AssertionError(f"{self.control_id}: {ack!r}"))
            self.transport.close()
            return
        self.send_next()

    def connection_lost(self, error):
        if not self.done.done():
            self.done.set_exception(ConnectionError(f"closed before the end: {error}"))


async def send_all(port, plan):
    loop = asyncio.get_running_loop()
    finished = [loop.create_future() for _ in plan]
    start = time.perf_counter()
    for frames, done in zip(plan.values(), finished):
        await loop.create_connection(functools.partial(Sender, frames, done), "127.0.0.1", port)
    await asyncio.wait_for(asyncio.gather(*finished), 600)
    return time.perf_counter() - start


def cpu_seconds(pid):
    """User and system CPU time a process has used so far (Linux)."""
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run_once(folder, fsync, senders, count, corpus):
    """Acknowledged messages per second, and the server's CPU time per message."""
    output = folder / f"run{time.monotonic_ns()}.jsonl"
    plan = {f"s{s}": [(f"S{s}M{m}", b"\x0b" + with_control_id(corpus[m % len(corpus)],
                                                                 f"S{s}M{m}").encode() + b"\x1c\r")
                      for m in range(count)] for s in range(senders)}
    server, port = start_server(output, fsync)
    try:
        cpu_before = cpu_seconds(server.pid)
        seconds = asyncio.run(send_all(port, plan))
        cpu = cpu_seconds(server.pid) - cpu_before
    finally:
        server.send_signal(signal.SIGTERM)
        server.communicate(timeout=60)
    stored = [json.loads(line)["records"][0]["9"] for line in output.read_text().splitlines()]
    expected = sorted(control_id for frames in plan.values() for control_id, _ in frames)
    if sorted(stored) != expected or server.returncode != 0:
        raise AssertionError(f"stored {len(stored)} of {len(expected)}, exit {server.returncode}")
    return senders * count / seconds, cpu / (senders * count)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke test")
    options = parser.parse_args()
    senders, runs = (2, 1) if options.quick else (8, 3)
    # An fsync takes milliseconds: fewer messages keep that run as long as the other.
    modes = [("flush (handed to the OS)", False, 50 if options.quick else 2000),
             ("--fsync (on disk)", True, 50 if options.quick else 250)]
    corpus = corpus_messages()
    size = sum(len(m.encode()) for m in corpus) / len(corpus)
    print(f"\nmirabex serve: {senders} senders over loopback, each waiting for its ACK; messages "
          f"from the {len(corpus)} samples ({size / 1000:.1f} KB average); best of {runs}")
    with tempfile.TemporaryDirectory() as folder:
        for mode, fsync, count in modes:
            results = [run_once(pathlib.Path(folder), fsync, senders, count, corpus)
                       for _ in range(runs)]
            rates = [rate for rate, _ in results]
            cpu = min(cpu for _, cpu in results)
            print(f"  {mode:<26} {senders} x {count:<6,} {max(rates):>8,.0f} acknowledged msg/s  "
                  f"(runs: {', '.join(f'{rate:,.0f}' for rate in rates)}); server CPU "
                  f"{cpu * 1e6:.0f} us/msg, {1 / cpu:,.0f} msg/s on a core of its own")


if __name__ == "__main__":
    main()
