"""mirabex serve and mirabex send over loopback: frames cut across reads, the
ACKs read back by the hl7 package as an independent peer, what is stored and
what is refused, the limits, shutdown under load, and the file's repair."""
import asyncio
import errno
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import hl7
import hl7.client
import hl7.mllp
import pytest

import mirabex
from mirabex_mllp.acknowledgment import Reply, acknowledgment, header_fields, read_acknowledgment
from mirabex_mllp.framing import FrameReader, NotMllp, Oversized, frame
from mirabex_mllp.journal import Journal, JournalInUse

PID = "PID|1||123^^^HOSP||DOE^JOHN"
TIMEOUT = 30  # seconds any one wait may take; the sanitized and debug builds are slow


def message(control_id, *segments, header="SND|FAC|RCV|FAC2|20240101||ADT^A01^ADT_A01"):
    return "\r".join([f"MSH|^~\\&|{header}|{control_id}|P|2.5", *(segments or [PID])]) + "\r"


def msa(ack):
    """MSA-1 and MSA-2 as the hl7 package reads them."""
    segment = hl7.parse(ack.decode().strip("\x0b\x1c\r")).segment("MSA")
    return str(segment[1]), str(segment[2])


# --- frames ----------------------------------------------------------------------

def feed_in_pieces(data, size, limit=100):
    reader, frames = FrameReader(limit), []
    for start in range(0, len(data), size):
        frames += reader.feed(data[start:start + size])
    return frames, reader.pending


@pytest.mark.parametrize("data, frames, pending", [
    (frame(b"A") + frame(b"BC"), [b"A", b"BC"], 0),
    (b"\r\n" + frame(b"A") + b"\n" + frame(b"") + b"\r", [b"A", b""], 0),
    (frame(b"x" * 101) + frame(b"y" * 100), [Oversized(101, b"x" * 101), b"y" * 100], 0),
    (frame(b"A" * 200 + b"\rB" * 50) + frame(b"C"), [Oversized(300, b"A" * 200), b"C"], 0),
    (frame(b"A") + b"\x0bhalf", [b"A"], 5),
    (frame(b"A") + b"\x0bhalf\x1c", [b"A"], 6),
], ids=["two", "line-breaks-between", "oversized-then-at-the-limit", "oversized-keeps-its-head",
        "unfinished",
        "unfinished-at-the-end-byte"])
@pytest.mark.parametrize("size", [1, 2, 3, 1000])
def test_frames_whatever_the_reads(data, frames, pending, size):
    assert feed_in_pieces(data, size) == (frames, pending)


@pytest.mark.parametrize("data, error", [
    (b"MSH|" + frame(b"A"), "byte 0x4D outside a frame"),
    (frame(b"A") + b"\x0bA\x1cX", "byte 0x58 after the end byte 0x1C"),
    (frame(b"A") + b"\x0bA\x0bB\x1c\r", "a frame starts (0x0B) inside another frame"),
])
@pytest.mark.parametrize("size", [1, 1000])
def test_bytes_that_are_not_mllp_end_the_frames_after_those_before(data, error, size):
    reader, frames = FrameReader(100), []
    with pytest.raises(NotMllp) as raised:
        for start in range(0, len(data), size):
            frames += reader.feed(data[start:start + size])
    assert str(raised.value).startswith(error)
    assert frames + raised.value.frames == ([] if data.startswith(b"MSH") else [b"A"])


# --- acknowledgments --------------------------------------------------------------

@pytest.mark.parametrize("header, code, error, expected", [
    (message("X1"), "AA", "", {"MSH.3": "RCV", "MSH.4": "FAC2", "MSH.5": "SND", "MSH.6": "FAC",
                               "MSH.9": "ACK^A01^ACK", "MSH.11": "P", "MSH.12": "2.5",
                               "MSA.1": "AA", "MSA.2": "X1"}),
    (message("X2", header="A^x|B|C|D|T||ORU^R01").replace("|P|2.5", "|T|2.3.1"), "AE",
     "bad | ^ & ~ \\ text", {"MSH.3": "C", "MSH.5": "A^x", "MSH.9": "ACK^R01^ACK",
                             "MSH.11": "T", "MSH.12": "2.3.1", "MSA.1": "AE", "MSA.2": "X2",
                             "ERR.8": "bad | ^ & ~ \\ text"}),
    ("not HL7", "AR", "no header", {"MSH.3": "", "MSH.9": "ACK^^ACK", "MSA.1": "AR", "MSA.2": "",
                                    "ERR.8": "no header"}),
], ids=["accepted", "error-escaped", "no-header"])
def test_acknowledgment_as_the_hl7_package_reads_it(header, code, error, expected):
    ack = acknowledgment(header_fields(header), code, "CTRL7", error)
    parsed = hl7.parse(ack)
    for name, value in expected.items():
        segment, position = name.split(".")
        assert parsed.unescape(str(parsed.segment(segment)[int(position)])) == value, name
    assert str(parsed.segment("MSH")[10]) == "CTRL7"
    assert len(str(parsed.segment("MSH")[7])) == len("20240101120000.000+0000")
    assert ("ERR" in [str(s[0]) for s in parsed]) == bool(error)
    assert read_acknowledgment(ack) == Reply(code, expected["MSA.2"], error)


# --- the file ----------------------------------------------------------------------

@pytest.mark.parametrize("content, kept, aside", [
    (b"", b"", None),
    (b'{"a": 1}\n', b'{"a": 1}\n', None),
    (b'{"a": 1}\n{"b": ', b'{"a": 1}\n', b'{"b": \n'),
    (b'{"b": ', b"", b'{"b": \n'),
])
def test_an_incomplete_last_line_is_moved_aside(tmp_path, content, kept, aside):
    path = tmp_path / "out.jsonl"
    path.write_bytes(content)
    (tmp_path / "out.jsonl.partial").write_bytes(b"earlier\n")

    async def reopen():
        Journal.open(path, fsync=True).close()
    asyncio.run(reopen())
    assert path.read_bytes() == kept
    assert (tmp_path / "out.jsonl.partial").read_bytes() == b"earlier\n" + (aside or b"")


def test_a_failed_write_is_cut_back_and_nothing_after_it_is_acknowledged(tmp_path, monkeypatch):
    path = tmp_path / "out.jsonl"
    path.write_bytes(b'{"a": 1}\n')
    real_write = os.write

    def disk_full(descriptor, data):
        real_write(descriptor, bytes(data[:5]))
        raise OSError(errno.ENOSPC, "No space left on device")

    async def store():
        journal, results, failures = Journal.open(path, fsync=False), [], []
        journal.on_failure = failures.append
        journal.submit(b'{"b": 2}\n', results.append)
        await journal.drain()
        monkeypatch.setattr(os, "write", disk_full)
        journal.submit(b'{"c": 3}\n', results.append)
        journal.submit(None, results.append)
        await journal.drain()
        monkeypatch.undo()
        journal.submit(b'{"d": 4}\n', results.append)
        journal.close()
        return results, failures
    results, failures = asyncio.run(store())
    assert results == [True, False, False, False]
    assert [failure.errno for failure in failures] == [errno.ENOSPC]
    assert path.read_bytes() == b'{"a": 1}\n{"b": 2}\n'


def test_one_server_per_file(tmp_path):
    async def open_twice():
        first = Journal.open(tmp_path / "out.jsonl", fsync=False)
        try:
            with pytest.raises(JournalInUse, match="in use by another mirabex serve"):
                Journal.open(tmp_path / "out.jsonl", fsync=False)
        finally:
            first.close()
    asyncio.run(open_twice())


# --- the server, as a process --------------------------------------------------------

class Serving:
    """mirabex serve on a free loopback port; its log lines are collected."""

    def __init__(self, output, *options):
        self.output = output
        self.process = subprocess.Popen(
            [sys.executable, "-m", "mirabex_cli", "serve", "--port", "0", "-o", output, *options],
            stderr=subprocess.PIPE, text=True)
        self.log = []
        self.listening = threading.Event()
        self.collector = threading.Thread(target=self._collect, daemon=True)
        self.collector.start()
        if not self.listening.wait(TIMEOUT):
            self.process.kill()
            raise AssertionError("no listening line: " + "".join(self.log))
        self.port = int(self.log[0].split("listening on 127.0.0.1:")[1].split(",")[0])

    def _collect(self):
        for line in self.process.stderr:
            self.log.append(line)
            if "listening on" in line:
                self.listening.set()

    def connect(self):
        return socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT)

    def stop(self, signal_number=signal.SIGTERM):
        self.process.send_signal(signal_number)
        return self.process.wait(TIMEOUT)

    def stored(self):
        return [json.loads(line) for line in self.output.read_text(encoding="utf-8").splitlines()]

    def logged(self, text):
        deadline = time.monotonic() + TIMEOUT
        while not any(text in line for line in self.log):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.02)
        return True


@pytest.fixture
def serve(tmp_path):
    servers = []

    def start(*options):
        servers.append(Serving(tmp_path / f"out{len(servers)}.jsonl", *options))
        return servers[-1]
    yield start
    for server in servers:
        if server.process.poll() is None:
            server.process.kill()
            server.process.wait(TIMEOUT)
        server.collector.join(TIMEOUT)
        server.process.stderr.close()


class Acks:
    """The ACK frames coming back on a connection, one at a time."""

    def __init__(self, connection):
        self.connection = connection
        self.buffer = b""

    def next(self):
        """One ACK frame, or b"" once the server has closed the connection."""
        while b"\x1c\r" not in self.buffer:
            try:
                chunk = self.connection.recv(65536)
            except ConnectionResetError:
                return b""
            if not chunk:
                return b""
            self.buffer += chunk
        ack, self.buffer = self.buffer.split(b"\x1c\r", 1)
        return ack + b"\x1c\r"


def test_the_hl7_packages_clients_are_answered_after_storing(serve):
    server = serve()
    with hl7.client.MLLPClient("127.0.0.1", server.port) as client:
        client.socket.settimeout(TIMEOUT)
        ack = client.send_message(message("C1"))
        peer = "%s:%d" % client.socket.getsockname()

    async def asyncio_client():
        reader, writer = await hl7.mllp.open_hl7_connection("127.0.0.1", server.port)
        replies = []
        for control_id in ("C2", "C3"):
            writer.writemessage(hl7.parse(message(control_id)))
            reply = await asyncio.wait_for(reader.readmessage(), TIMEOUT)
            replies.append((str(reply.segment("MSA")[1]), str(reply.segment("MSA")[2])))
        writer.close()
        return replies
    assert msa(ack) == ("AA", "C1")
    assert asyncio.run(asyncio_client()) == [("AA", "C2"), ("AA", "C3")]
    assert server.stop() == 0
    lines = server.stored()
    assert [(line["peer"] == peer, line["message"]) for line in lines] == [
        (True, 1), (False, 1), (False, 2)]
    assert lines[0]["records"] == mirabex.Hl7Json(message("C1").rstrip("\r")).hl7_json
    assert lines[0]["received"].endswith("+00:00")


@pytest.mark.parametrize("chunk", [1, 1 << 20], ids=["a-byte-at-a-time", "all-in-one-packet"])
def test_frames_cut_anywhere_are_answered_in_order(serve, chunk):
    server = serve()
    ids = [f"P{n}" for n in range(1 if chunk == 1 else 50)]
    data = b"".join(frame(message(control_id).encode()) for control_id in ids)
    with server.connect() as connection:
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for start in range(0, len(data), chunk):
            connection.sendall(data[start:start + chunk])
        acks = Acks(connection)
        replies = [msa(acks.next()) for _ in ids]
    assert replies == [("AA", control_id) for control_id in ids]
    assert server.stop() == 0
    assert [line["records"][0]["9"] for line in server.stored()] == ids


@pytest.mark.parametrize("options, payload, code, error, stored", [
    ([], b"hello", "AR", "not an HL7 message", False),
    ([], message("U1").replace("DOE", "D\u00d6E").encode("latin-1"), "AR",
     "cannot decode the message: 'utf-8' codec can't decode byte 0xd6", False),
    (["--encoding", "latin-1"], message("U2").replace("DOE", "D\u00d6E").encode("latin-1"), "AA",
     "", True),
    (["--max-message-bytes", "100"], message("B1", "NTE|" + "x" * 100).encode(), "AR",
     "more than --max-message-bytes (100)", False),
    ([], (message("T1") + message("T2")).encode(), "AR", "the frame holds 2 messages", False),
    (["--validate"], message("V1", "P-1|1").encode(), "AE", "Invalid segment name: P-1", True),
    (["--validate", "--strict"], message("V2").encode(), "AA", "", True),
], ids=["not-hl7", "undecodable", "encoding", "too-big", "two-messages", "invalid", "valid"])
def test_what_is_stored_and_how_it_is_answered(serve, options, payload, code, error, stored):
    server = serve(*options)
    with server.connect() as connection:
        connection.sendall(frame(payload) + frame(message("NEXT").encode()))
        acks = Acks(connection)
        ack, following = acks.next(), acks.next()
    parsed = hl7.parse(ack.decode("latin-1").strip("\x0b\x1c\r"))
    control_id = header_fields(payload.decode("latin-1"))[9:10] or [""]
    assert msa(ack) == (code, control_id[0]) and msa(following) == ("AA", "NEXT")
    assert error in parsed.unescape(str(parsed.segment("ERR")[8])) if error else len(parsed) == 2
    assert server.stop() == 0
    lines = server.stored()
    assert [line["message"] for line in lines] == ([1, 2] if stored else [2])
    if stored:
        assert lines[0].get("error", "").startswith(error)
        assert "D\u00d6E" in json.dumps(lines[0], ensure_ascii=False) or "U2" not in str(payload)


def test_a_taken_port_or_file_stops_a_second_server_at_the_start(serve, tmp_path):
    server = serve()
    for options, text in [(["--port", server.port, "-o", tmp_path / "other.jsonl"],
                           f"cannot listen on 127.0.0.1:{server.port}: "),
                          (["--port", 0, "-o", server.output],
                           f"cannot open {server.output}: {server.output} is in use by another "
                           "mirabex serve")]:
        result = subprocess.run([sys.executable, "-m", "mirabex_cli", "serve", *map(str, options)],
                                capture_output=True, text=True, timeout=TIMEOUT)
        assert result.returncode == 2 and text in result.stderr, result.stderr
    assert server.stop() == 0


def test_garbage_and_a_sender_gone_mid_frame_leave_the_server_running(serve):
    server = serve()
    with server.connect() as connection:
        connection.sendall(frame(message("FIRST").encode()) + b"GET / HTTP/1.1\r\n\r\n")
        acks = Acks(connection)
        assert msa(acks.next()) == ("AA", "FIRST") and acks.next() == b""
    with server.connect() as connection:
        connection.sendall(b"\x0b" + message("HALF").encode()[:30])
    assert server.logged("mid-frame: 31 bytes dropped")
    with server.connect() as connection:
        connection.sendall(frame(message("OK").encode()))
        assert msa(Acks(connection).next()) == ("AA", "OK")
    assert server.stop() == 0
    assert [line["records"][0]["9"] for line in server.stored()] == ["FIRST", "OK"]
    assert server.logged("closing, not MLLP: byte 0x47 outside a frame")


def test_idle_timeout_and_connection_limit(serve):
    server = serve("--idle-timeout", "0.3", "--max-connections", "1")
    with server.connect() as first, server.connect() as second:
        assert Acks(second).next() == b""  # refused at once
        assert Acks(first).next() == b""   # closed once idle
    assert server.logged("refused, 1 connections are open (--max-connections)")
    assert server.logged("closing, idle for 0.3 s (--idle-timeout)")
    assert server.stop(signal.SIGINT) == 0
    assert server.logged("SIGINT: stopping")


def senders_until_stopped(server, senders, count, answered):
    """Each sender sends up to count messages, each after the previous ACK,
    until the server closes; answered collects (control ID, MSA-1 and MSA-2)."""
    def sender(name):
        try:
            connection = server.connect()
        except OSError:  # the server stopped first
            return
        with connection:
            acks = Acks(connection)
            for number in range(count):
                control_id = f"{name}-{number}"
                try:
                    connection.sendall(frame(message(control_id).encode()))
                except OSError:
                    return
                ack = acks.next()
                if not ack:
                    return
                answered.append((control_id, msa(ack)))
    threads = [threading.Thread(target=sender, args=(f"S{n}",)) for n in range(senders)]
    for thread in threads:
        thread.start()
    return threads


def acknowledged(answered):
    assert all(reply == ("AA", control_id) for control_id, reply in answered)
    return sorted(control_id for control_id, _ in answered)


def test_sigterm_under_load_loses_nothing_acknowledged(serve):
    server = serve()
    answered = []
    threads = senders_until_stopped(server, 4, 2000, answered)
    deadline = time.monotonic() + TIMEOUT
    while len(answered) < 100 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert server.stop() == 0
    for thread in threads:
        thread.join(TIMEOUT)
    stored = sorted(line["records"][0]["9"] for line in server.stored())
    assert 100 <= len(answered) < 8000
    assert stored == acknowledged(answered)


@pytest.mark.slow
def test_load_of_eight_senders(serve):
    server = serve()
    answered = []
    for thread in senders_until_stopped(server, 8, 2000, answered):
        thread.join(10 * TIMEOUT)
    assert server.stop() == 0
    stored = sorted(line["records"][0]["9"] for line in server.stored())
    assert len(stored) == len(set(stored)) == 16000
    assert stored == acknowledged(answered)


# --- mirabex send -------------------------------------------------------------------

def mirabex_send(*arguments, stdin=""):
    return subprocess.run([sys.executable, "-m", "mirabex_cli", "send", *map(str, arguments)],
                          input=stdin, capture_output=True, text=True, timeout=TIMEOUT)


def test_send_reports_the_codes(serve, tmp_path):
    server = serve("--validate")
    address = f"127.0.0.1:{server.port}"
    (tmp_path / "good.hl7").write_text(message("G1") + message("G2"))
    (tmp_path / "bad.hl7").write_text(message("B1") + message("B2", "P-1|1"))
    result = mirabex_send("--port", server.port, tmp_path / "good.hl7")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == f"{address}: 2 messages acknowledged (2 AA)\n"
    result = mirabex_send("--port", server.port, tmp_path / "bad.hl7")
    assert result.returncode == 1
    assert result.stdout == f"{address}: 2 messages acknowledged (1 AA, 1 AE)\n"
    assert result.stderr == f"{tmp_path / 'bad.hl7'}:2: AE: Invalid segment name: P-1 (must be " \
                            "3 characters: a letter, then letters or digits)\n"
    result = mirabex_send("--port", server.port, "-", tmp_path / "missing.hl7", stdin=message("S1"))
    assert result.returncode == 2
    assert result.stdout == f"{address}: 1 message acknowledged (1 AA)\n"
    assert result.stderr == f"{tmp_path / 'missing.hl7'}: No such file or directory\n"
    assert server.stop() == 0
    assert [line["records"][0]["9"] for line in server.stored()] == ["G1", "G2", "B1", "B2", "S1"]
    refused = mirabex_send("--port", server.port, tmp_path / "good.hl7")
    assert refused.returncode == 2 and refused.stdout == ""
    assert refused.stderr.startswith(f"{address}: cannot connect: ")


@pytest.mark.parametrize("arguments, text", [
    (["serve", "-o", "-"], "-o - is not one"),
    (["serve", "-o", "x", "--port", "-1"], "--port: expected a number of at least 0, not '-1'"),
    (["serve", "-o", "x", "--max-connections", "0"], "expected a number of at least 1, not '0'"),
    (["serve", "-o", "x", "--idle-timeout", "nan"], "expected a number of at least 0, not 'nan'"),
    (["send", "-", "-"], "standard input (-) can be read only once"),
])
def test_usage(arguments, text):
    result = subprocess.run([sys.executable, "-m", "mirabex_cli", *arguments], capture_output=True,
                            text=True, timeout=TIMEOUT)
    assert result.returncode == 2 and text in result.stderr
