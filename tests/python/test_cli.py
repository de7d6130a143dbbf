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

import pytest

import mirabex
from mirabex_cli import split_messages
from support import CORPUS_DIR, corpus_text

MSH = "MSH|^~\\&|SND|FAC|RCV|FAC2|DT||ADT^A01^ADT_A01|{}|P|2.5"
PID = "PID|1||123^^^HOSP||DOE^JOHN"
ONE, TWO = MSH.format(1) + "\r" + PID, MSH.format(2) + "\r" + PID


def mirabex_command(*arguments, cwd=None, stderr=subprocess.PIPE):
    return subprocess.run([sys.executable, "-m", "mirabex_cli", *map(str, arguments)], cwd=cwd,
                          stdout=subprocess.PIPE, stderr=stderr, text=True, encoding="utf-8")


def json_lines(stdout):
    return [json.loads(line) for line in stdout.splitlines()]


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
        f"{folder / 'sub/e_latin1.hl7'}: 'utf-8' codec can't decode byte 0xdc in position "
        f"{ONE.index('DOE') + 1}: invalid continuation byte (see --encoding)"]


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
        f"{folder / 'f_type.hl7'} (message {n}): HL7 validation failed: Message type (field 8) "
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


def test_to_hl7(tmp_path):
    records = mirabex.Hl7Json(ONE.replace("DOE", "DOE ^X")).hl7_json
    (tmp_path / "a.json").write_text(json.dumps(records), encoding="utf-8")
    (tmp_path / "b.json").write_text("[{]", encoding="utf-8")
    assembled = mirabex.JsonHl7(records)
    for options, text in [([], assembled.hl7_string), (["--unescaped"], assembled.hl7_string_unescaped)]:
        result = mirabex_command("to-hl7", *options, "a.json", "b.json", "a.json", cwd=tmp_path)
        assert result.returncode == 1
        assert result.stdout == f"{text}\n{text}\n"
        assert result.stderr == "b.json: HL7 invalid format: Invalid JSON: key must be a string " \
                                "at line 1 column 3\n"
        assert split_messages(result.stdout) == [text.replace("\n", "\r")] * 2


def test_validate_prints_one_line_per_file(folder):
    strict = ONE.replace("|2.5", "|2.5.9")
    (folder / "good.hl7").write_text(ONE, encoding="utf-8")
    (folder / "old.hl7").write_text(strict, encoding="utf-8")
    (folder / "no_pid.hl7").write_text(MSH.format(3), encoding="utf-8")
    names = ["good.hl7", "old.hl7", "no_pid.hl7", "c_mllp.hl7", "missing.hl7"]
    for options, outcomes in [
        ([], ["OK", "OK", "Missing required segment: PID (Patient Identification)", "OK"]),
        (["--no-pid"], ["OK", "OK", "OK", "OK"]),
        (["--strict"], ["OK", "HL7 version not supported: 2.5.9 (supported versions: 2.1, 2.2, "
                        "2.3, 2.4, 2.5, 2.5.1, 2.6, 2.7, 2.8, 2.9)",
                        "Missing required segment: PID (Patient Identification)", "OK"]),
    ]:
        result = mirabex_command("validate", *options, *names, cwd=folder)
        assert result.returncode == 1
        assert result.stdout.splitlines() == [f"{n}: {o}" for n, o in zip(names, outcomes)]
        assert result.stderr == "missing.hl7: No such file or directory\n"
    assert mirabex_command("validate", "good.hl7", "c_mllp.hl7", cwd=folder).returncode == 0


@pytest.mark.parametrize("arguments, status, text", [
    (["--help"], 0, "MLLP framing"),
    (["--help"], 0, "BHS, BTS, FHS, FTS"),
    (["to-json", "--help"], 0, "--no-escaping"),
    ([], 2, "required: COMMAND"),
    (["to-json"], 2, "required: PATH"),
    (["to-json", "x", "--jobs", "0"], 2, "-j/--jobs: expected a whole number of at least 1, not '0'"),
    (["to-json", "x", "-o", "no/such/folder/out"], 2, "cannot write no/such/folder/out: No such file"),
    (["convert", "x"], 2, "invalid choice: 'convert'"),
])
def test_usage(arguments, status, text):
    result = mirabex_command(*arguments)
    assert result.returncode == status
    assert text in (result.stdout if status == 0 else result.stderr)


@pytest.mark.parametrize("files, bar", [(3, False), (6, True)])
def test_progress_bar_only_on_a_terminal_for_many_files(tmp_path, files, bar):
    for number in range(files):
        (tmp_path / f"{number}.hl7").write_text(ONE, encoding="utf-8")
    piped = mirabex_command("to-json", tmp_path)
    assert (piped.returncode, piped.stderr) == (0, "")
    terminal, other_end = pty.openpty()
    fcntl.ioctl(other_end, termios.TIOCSWINSZ, struct.pack("4H", 24, 80, 0, 0))
    result = mirabex_command("to-json", tmp_path, stderr=other_end)
    os.close(other_end)
    shown = b""
    with open(terminal, "rb", buffering=0) as reader:
        with contextlib.suppress(OSError):  # EIO: all read, and the other end is closed
            while chunk := reader.read(4096):
                shown += chunk
    assert result.returncode == 0 and result.stdout == piped.stdout
    assert (f"{files}/{files}".encode() in shown) == bar
