"""The mirabex command as a user runs it: real files in a temporary folder,
exit codes, and what it prints on stdout and stderr."""
import contextlib
import fcntl
import json
import os
import pty
import struct
import subprocess
import sys
import termios
import tomllib

import pytest

import mirabex
from mirabex_cli import split_messages
from support import CORPUS_DIR, CORPUS_FILES, corpus_text

MSH = "MSH|^~\\&|SND|FAC|RCV|FAC2|DT||ADT^A01^ADT_A01|{}|P|2.5"
PID = "PID|1||123^^^HOSP||DOE^JOHN"
ONE, TWO = MSH.format(1) + "\r" + PID, MSH.format(2) + "\r" + PID
VERSION = tomllib.loads((CORPUS_DIR.parents[2] / "pyproject.toml").read_text())["project"]["version"]


def mirabex_command(*arguments, cwd=None, stderr=subprocess.PIPE, stdin=""):
    """The command's result, its output decoded as UTF-8 with CRs kept."""
    result = subprocess.run([sys.executable, "-m", "mirabex_cli", *map(str, arguments)], cwd=cwd,
                            input=stdin.encode(), stdout=subprocess.PIPE, stderr=stderr)
    result.stdout = result.stdout.decode()
    result.stderr = None if result.stderr is None else result.stderr.decode()
    return result


def piped(*commands, stdin=b""):
    """mirabex commands joined by pipes, as in a shell: the last one's stdout
    (bytes), every command's stderr, and every exit status."""
    processes = []
    for arguments in commands:
        source = processes[-1].stdout if processes else subprocess.PIPE
        processes.append(subprocess.Popen([sys.executable, "-m", "mirabex_cli", *map(str, arguments)],
                                          stdin=source, stdout=subprocess.PIPE, stderr=subprocess.PIPE))
        if len(processes) > 1:
            processes[-2].stdout.close()  # the next command alone reads it
    processes[0].stdin.write(stdin)
    processes[0].stdin.close()
    with processes[-1].stdout as last:
        stdout = last.read()
    stderr = b""
    for process in processes:
        with process.stderr:
            stderr += process.stderr.read()
    return stdout, stderr.decode(), [process.wait() for process in processes]


def json_lines(stdout):
    return [json.loads(line) for line in stdout.splitlines()]


def hl7_file(messages, ending="\r", mllp=False):
    """Messages (CR between segments) as HL7 files hold them: each segment ended."""
    ended = ["".join(segment + ending for segment in message.split("\r")) for message in messages]
    return "".join(f"\x0b{text}\x1c\r" if mllp else text for text in ended)


@pytest.mark.parametrize("text, messages", [
    (ONE, [ONE]),
    ("\ufeff" + ONE + "\r\n\r\n", [ONE]),
    (ONE + "\n" + TWO + "\n", [ONE, TWO]),
    ("FHS|x\rBHS|y\r" + ONE + "\r" + TWO + "\rBTS|2\rFTS|1\r", [ONE, TWO]),
    ("\x0b" + ONE + "\r\x1c\r\x0b" + TWO + "\r\x1c\r", [ONE, TWO]),
    ("NTE|before\r" + ONE, ["NTE|before", ONE]),  # nothing is dropped silently
    ("PID|1\rPV1|2", ["PID|1\rPV1|2"]),
    (" \r\n\x0b\x1c\r", []),
], ids=["one", "bom-and-blank-lines", "two", "batch", "mllp", "lines-before-msh", "no-msh",
        "blank"])
def test_split_messages(text, messages):
    assert split_messages(text) == messages


@pytest.fixture
def folder(tmp_path):
    """One file of each kind a capture folder may hold, and a file that fails."""
    files = {
        "a_single.hl7": corpus_text("fhirconv_ADT04-251.hl7").encode(),
        "b_batch.hl7": corpus_text("pythonhl7_batch_bhs_bts.hl7").encode(),
        "c_mllp.hl7": ("\x0b" + ONE + "\r\x1c\r\x0b" + TWO + "\r\x1c\r").encode(),
        "d_empty.hl7": b" \r\n",
        "sub/e_latin1.hl7": (ONE.replace("DOE", "M\u00dcLLER")).encode("latin-1"),
        ".hidden.hl7": b"not read",
    }
    for name, content in files.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(content)
    return tmp_path


def expected_lines(folder, name, encoding="utf-8", **options):
    text = (folder / name).read_bytes().decode(encoding)
    return [{"file": str(folder / name), "message": number,
             "records": mirabex.Hl7Json(message, **options).hl7_json}
            for number, message in enumerate(split_messages(text), 1)]


def test_to_json_converts_every_message_and_reports_failures(folder):
    result = mirabex_command("to-json", folder, "--jobs", 1)
    assert result.returncode == 1
    expected = [line for name in ("a_single.hl7", "b_batch.hl7", "c_mllp.hl7")
                for line in expected_lines(folder, name)]
    assert json_lines(result.stdout) == expected
    assert [line["message"] for line in expected] == [1, 1, 2, 1, 2]
    assert result.stderr.splitlines() == [
        f"{folder / 'd_empty.hl7'}: HL7 message is empty",
        # Each message is decoded on its own: only the message that holds
        # the byte fails, not its whole file.
        f"{folder / 'sub/e_latin1.hl7'}:1: HL7 encoding error: byte 0xDC in segment 2 is not "
        "valid UTF-8 (see --encoding)"]


@pytest.mark.parametrize("options, keywords", [
    ([], {}),
    (["--no-escaping"], {"escaping_enabled": False}),
    (["--validate"], {"validation_enabled": True}),
], ids=["default", "no-escaping", "validate"])
def test_to_json_options_and_encoding(folder, options, keywords):
    name = "sub/e_latin1.hl7"
    result = mirabex_command("to-json", folder / name, "--encoding", "latin-1", *options)
    assert (result.returncode, result.stderr) == (0, "")
    assert json_lines(result.stdout) == expected_lines(folder, name, "latin-1", **keywords)
    assert "M\u00dcLLER" in result.stdout


def test_to_json_validation_failure_names_the_message(folder):
    two_components = (ONE + "\r" + TWO).replace("ADT^A01^ADT_A01", "ADT^A01")
    (folder / "f_type.hl7").write_text(two_components, encoding="utf-8")
    result = mirabex_command("to-json", "--validate", "--strict", folder / "f_type.hl7")
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.splitlines() == [
        f"{folder / 'f_type.hl7'}:{n}: HL7 validation failed: Message type (field 8) "
        "must have at least 3 components: event^structure^version" for n in (1, 2)]


def test_jobs_and_output_file_keep_the_order(tmp_path):
    for number, name in enumerate(sorted(os.listdir(CORPUS_DIR))):
        (tmp_path / f"{number:02}_{name}").write_bytes((CORPUS_DIR / name).read_bytes())
    serial = mirabex_command("to-json", tmp_path, "--jobs", 1)
    assert serial.returncode == 0 and len(serial.stdout.splitlines()) == len(os.listdir(CORPUS_DIR)) + 1
    out = tmp_path.parent / "out.jsonl"
    parallel = mirabex_command("to-json", tmp_path, "--jobs", 3, "-o", out)
    assert (parallel.returncode, parallel.stdout, parallel.stderr) == (0, "", "")
    assert out.read_text(encoding="utf-8") == serial.stdout


@pytest.mark.parametrize("options, ending, mllp", [
    ([], "\r", False),
    (["--unescaped"], "\r", False),
    (["--line-ending", "lf"], "\n", False),
    (["--line-ending", "crlf", "--mllp"], "\r\n", True),
])
def test_to_hl7_reads_arrays_and_json_lines(tmp_path, options, ending, mllp):
    records = mirabex.Hl7Json(ONE.replace("DOE", "DOE ^X")).hl7_json
    (tmp_path / "a.json").write_text(json.dumps(records, indent=1), encoding="utf-8")
    (tmp_path / "b.json").write_text("[{]", encoding="utf-8")
    to_json = mirabex_command("to-json", "-", stdin=f"{TWO}\n{ONE}")
    lines = to_json.stdout.splitlines()
    stream = "\n".join([lines[0], '{"records": [{"1": 5}]}', "", "[{}]", "{", lines[1]])
    result = mirabex_command("to-hl7", *options, "a.json", "-", "b.json", cwd=tmp_path, stdin=stream)
    assert result.returncode == 1
    assert result.stderr.splitlines() == [
        "-:2: records must be a list of objects with text values "
        "('int' object is not an instance of 'str')",
        '-:4: expected an object with "records", as to-json writes',
        "-:5: invalid JSON: Expecting property name enclosed in double quotes at column 2",
        "b.json: invalid JSON: Expecting property name enclosed in double quotes at line 1 column 3"]
    texts = [mirabex.JsonHl7(each) for each in (records, *(line["records"] for line in json_lines(to_json.stdout)))]
    texts = [text.hl7_string_unescaped if options == ["--unescaped"] else text.hl7_string for text in texts]
    assert result.stdout == hl7_file([text.replace("\n", "\r") for text in texts], ending, mllp)
    assert [mirabex.Hl7Json(text).hl7_json for text in split_messages(result.stdout)][1:] == \
        [mirabex.Hl7Json(text).hl7_json for text in (TWO, ONE)]


FRAMINGS = {
    "cr": lambda messages: hl7_file(messages),
    "lf": lambda messages: hl7_file(messages, "\n"),
    "crlf": lambda messages: hl7_file(messages, "\r\n"),
    "mllp": lambda messages: hl7_file(messages, mllp=True),
    "batch": lambda messages: f"FHS|^~\\&\rBHS|^~\\&\r{hl7_file(messages)}BTS|{len(messages)}\rFTS|1\r",
}


@pytest.mark.parametrize("framing", FRAMINGS)
def test_round_trip_through_pipes(tmp_path, framing):
    messages = [message for name in CORPUS_FILES for message in split_messages(corpus_text(name))]
    archive = tmp_path / "archive.hl7"
    archive.write_bytes(FRAMINGS[framing](messages).encode())
    # Values kept as they are give the messages back byte for byte.
    exact, errors, statuses = piped(["to-json", "--no-escaping", archive],
                                    ["to-hl7", "--unescaped", "-", "-o", "-"])
    assert (statuses, errors) == ([0, 0], "")
    assert exact.decode() == hl7_file(messages)
    # With escaping, the text written may differ (a space as \X20\) but reads
    # back to the same records.
    again, errors, statuses = piped(["to-json", archive], ["to-hl7", "-"], ["to-json", "-"])
    assert (statuses, errors) == ([0, 0, 0], "")
    assert [line["records"] for line in json_lines(again)] == \
        [mirabex.Hl7Json(message).hl7_json for message in messages]


def test_validate_reports_each_message(folder):
    strict = ONE.replace("|2.5", "|2.5.9")
    (folder / "good.hl7").write_text(ONE, encoding="utf-8")
    (folder / "old.hl7").write_text(strict, encoding="utf-8")
    (folder / "no_pid.hl7").write_text(MSH.format(3), encoding="utf-8")
    names = ["good.hl7", "old.hl7", "no_pid.hl7", "c_mllp.hl7", "missing.hl7"]
    messages = ["good.hl7:1", "old.hl7:1", "no_pid.hl7:1", "c_mllp.hl7:1", "c_mllp.hl7:2"]
    no_pid = "Missing required segment: PID (Patient Identification)"
    old_version = ("HL7 version not supported: 2.5.9 (supported versions: 2.1, 2.2, 2.3, 2.4, 2.5, "
                   "2.5.1, 2.6, 2.7, 2.8, 2.9)")
    for options, outcomes in [
        ([], ["OK", "OK", no_pid, "OK", "OK"]),
        (["--no-pid"], ["OK", "OK", "OK", "OK", "OK"]),
        (["--strict"], ["OK", old_version, no_pid, "OK", "OK"]),
    ]:
        result = mirabex_command("validate", *options, *names, cwd=folder)
        assert result.returncode == 2  # an input that cannot be read outweighs a failed message
        assert result.stdout.splitlines() == [f"{m}: {o}" for m, o in zip(messages, outcomes)]
        assert result.stderr == "missing.hl7: No such file or directory\n"
    assert mirabex_command("validate", "good.hl7", "c_mllp.hl7", cwd=folder).returncode == 0
    result = mirabex_command("validate", "--format", "json", "good.hl7", "-", cwd=folder,
                             stdin=f"{strict}\n{MSH.format(3)}")
    assert (result.returncode, result.stderr) == (1, "")
    assert json_lines(result.stdout) == [
        {"file": "good.hl7", "message": 1, "ok": True, "error": None},
        {"file": "-", "message": 1, "ok": True, "error": None},
        {"file": "-", "message": 2, "ok": False, "error": no_pid}]


@pytest.mark.parametrize("arguments, status, text", [
    (["--help"], 0, "MLLP framing"),
    (["--help"], 0, "BHS, BTS, FHS, FTS"),
    (["validate", "--help"], 0, "2  bad usage, or an input that could not be read at all"),
    (["--version"], 0, f"mirabex {VERSION}\n"),
    (["to-json", "--help"], 0, "--no-escaping"),
    ([], 2, "required: COMMAND"),
    (["to-json"], 2, "required: PATH"),
    (["to-json", "x", "--jobs", "0"], 2, "-j/--jobs: expected a whole number of at least 1, not '0'"),
    (["to-json", "x", "-o", "no/such/folder/out"], 2, "cannot write no/such/folder/out: No such file"),
    (["to-json", "x", "--encoding", "klingon"], 2, "--encoding: unknown text encoding 'klingon'"),
    (["validate", "x", "--encoding", "auto"], 2, "--encoding: unknown text encoding 'auto'"),
    (["convert", "x"], 2, "invalid choice: 'convert'"),
    (["to-hl7", "-", "x", "-"], 2, "mirabex to-hl7: error: standard input (-) can be read only once"),
    (["to-hl7", "no-such.json"], 2, "no-such.json: No such file or directory"),
    (["to-json", "-"], 1, "-: HL7 message is empty"),
    (["to-hl7", "-"], 0, ""),  # no lines, no messages
])
def test_usage(arguments, status, text):
    result = mirabex_command(*arguments)
    assert result.returncode == status
    assert text in (result.stdout if status == 0 else result.stderr)


@pytest.mark.parametrize("files, bar", [(3, False), (6, True)])
def test_progress_bar_only_on_a_terminal_for_many_files(tmp_path, files, bar):
    for number in range(files):
        (tmp_path / f"{number}.hl7").write_text(ONE if number else "", encoding="utf-8")
    piped = mirabex_command("to-json", tmp_path)
    assert (piped.returncode, piped.stderr) == (1, f"{tmp_path / '0.hl7'}: HL7 message is empty\n")
    terminal, other_end = pty.openpty()
    fcntl.ioctl(other_end, termios.TIOCSWINSZ, struct.pack("4H", 24, 80, 0, 0))
    result = mirabex_command("to-json", tmp_path, stderr=other_end)
    os.close(other_end)
    shown = b""
    with open(terminal, "rb", buffering=0) as reader:
        with contextlib.suppress(OSError):  # EIO: all read, and the other end is closed
            while chunk := reader.read(4096):
                shown += chunk
    assert result.returncode == 1 and result.stdout == piped.stdout
    # to-json's engine counts messages and megabytes, not files.
    assert (b"5 messages, 0.0 MB" in shown) == bar
    assert b"0.hl7: HL7 message is empty" in shown  # failures go to stderr, bar or not


def test_to_json_errors_file_and_encoding_auto(tmp_path):
    latin = (MSH.format(1) + "|" * 6 + "8859/1\rPID|1||x||M\u00dcLLER").encode("latin-1")
    big = (ONE + "\r").encode() * 3000 + latin + b"\r" + (TWO + "\r").encode() * 3000
    (tmp_path / "big.hl7").write_bytes(big)
    errors = tmp_path / "errors.jsonl"
    result = mirabex_command("to-json", tmp_path / "big.hl7", "--errors", errors, "--jobs", 2)
    assert (result.returncode, result.stderr) == (1, "")
    assert [json.loads(line) for line in errors.read_text().splitlines()] == [{
        "file": str(tmp_path / "big.hl7"), "message": 3001, "offset": len(ONE + "\r") * 3000,
        "error": "HL7 encoding error: byte 0xDC in segment 2 is not valid UTF-8 (see --encoding)"}]
    assert [line["message"] for line in json_lines(result.stdout)] == [
        n for n in range(1, 6002) if n != 3001]
    result = mirabex_command("to-json", tmp_path / "big.hl7", "--encoding", "auto")
    assert (result.returncode, result.stderr) == (0, "")
    lines = json_lines(result.stdout)
    assert lines[3000]["records"] == mirabex.Hl7Json(latin.decode("latin-1")).hl7_json
