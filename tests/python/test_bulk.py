"""mirabex_bulk: every JSON line, every iterated message and every message's
JSON text against Hl7Json on the command's own splitting of the same bytes,
in every framing, and the failures of bad messages in the middle of a file."""
import json
import os

import pytest

import mirabex
import mirabex_bulk
from mirabex_cli import split_messages
from support import CORPUS_FILES, corpus_text

MSH = "MSH|^~\\&|SND|FAC|RCV|FAC2|DT||ADT^A01^ADT_A01|{}|P|2.5"
BAD_UTF8 = (MSH.format("BAD") + "\rPID|1||x||M\u00dcLLER").encode("latin-1")


def segments(text):
    return [line for line in text.replace("\r\n", "\r").replace("\n", "\r").split("\r") if line]


FRAMINGS = {
    "cr": lambda lines, i: "\r".join(lines) + "\r",
    "lf": lambda lines, i: "\n".join(lines) + "\n",
    "crlf": lambda lines, i: "\r\n".join(lines) + "\r\n",
    "mllp": lambda lines, i: "\x0b" + "\r".join(lines) + "\r\x1c\r",
    "batch": lambda lines, i: ("BHS|^~\\&|A\r" if i == 0 else "") + "\r".join(lines) + "\r",
    "mixed": lambda lines, i: [FRAMINGS["cr"], FRAMINGS["mllp"], FRAMINGS["crlf"],
                               FRAMINGS["lf"]][i % 4](lines, i) + ("\r\n" if i % 3 else ""),
}


def capture(framing):
    text = "".join(FRAMINGS[framing](segments(corpus_text(name)), i)
                   for i, name in enumerate(CORPUS_FILES))
    return ("\ufeff" if framing == "mixed" else "") + text + ("BTS|1\r" if framing == "batch" else "")


def expected_lines(label, text, **options):
    lines = []
    for number, message in enumerate(split_messages(text), 1):
        records = mirabex.Hl7Json(message, options.get("validation_enabled"),
                                  options.get("strict_validation"),
                                  options.get("escaping_enabled")).hl7_json
        lines.append({"file": label, "message": number, "records": records})
    return lines


def read_json_lines(path):
    with open(path, encoding="utf-8") as file:
        return [json.loads(line) for line in file]


@pytest.mark.parametrize("framing", FRAMINGS)
@pytest.mark.parametrize("escaping", [True, False])
@pytest.mark.parametrize("jobs", [1, 2])
def test_every_line_is_hl7jsons_records(tmp_path, framing, escaping, jobs):
    text = capture(framing)
    source = tmp_path / "capture.hl7"
    source.write_bytes(text.encode())
    output = tmp_path / "out.jsonl"
    counts = mirabex_bulk.convert_files([str(source)], output, jobs=jobs, escaping_enabled=escaping)
    expected = expected_lines(str(source), text, escaping_enabled=escaping)
    assert read_json_lines(output) == expected
    assert counts == (len(expected), 0)


@pytest.mark.parametrize("framing", ["mixed", "mllp"])
def test_iterator_yields_hl7jsons_records(tmp_path, framing):
    text = capture(framing)
    source = tmp_path / "capture.hl7"
    source.write_bytes(text.encode())
    got = [(number, records) for number, _, records in mirabex_bulk.iter_records(source)]
    expected = [(line["message"], line["records"]) for line in expected_lines("", text)]
    assert got == expected


@pytest.mark.parametrize("escaping", [True, False])
def test_records_json_holds_hl7jsons_records(escaping):
    for name in CORPUS_FILES:
        for message in split_messages(corpus_text(name)):
            written = mirabex_bulk.records_json(message, escaping_enabled=escaping)
            assert json.loads(written) == mirabex.Hl7Json(message, None, None, escaping).hl7_json


def big_file_with_a_bad_message(tmp_path):
    good = capture("cr").encode()
    (tmp_path / "big.hl7").write_bytes(good * 20 + BAD_UTF8 + b"\r" + good * 20)
    bad_number = len(split_messages(good.decode())) * 20 + 1
    return str(tmp_path / "big.hl7"), bad_number, len(good) * 20


def test_a_bad_message_in_a_big_file_is_reported_and_the_rest_go_on(tmp_path):
    path, bad_number, bad_offset = big_file_with_a_bad_message(tmp_path)
    output, errors = tmp_path / "out.jsonl", tmp_path / "errors.jsonl"
    converted, failed = mirabex_bulk.convert_files([path], output, errors=errors, jobs=2)
    assert failed == 1 and converted == 2 * bad_number - 2
    assert read_json_lines(errors) == [{
        "file": path, "message": bad_number, "offset": bad_offset,
        "error": "HL7 encoding error: byte 0xDC in segment 2 is not valid UTF-8"}]
    numbers = [line["message"] for line in read_json_lines(output)]
    assert numbers == [n for n in range(1, 2 * bad_number) if n != bad_number]


def test_the_iterator_raises_for_a_bad_message_and_goes_on(tmp_path):
    path, bad_number, bad_offset = big_file_with_a_bad_message(tmp_path)
    iterator = mirabex_bulk.iter_records(path)
    numbers = []
    while True:
        try:
            numbers.append(next(iterator)[0])
        except mirabex_bulk.MessageError as error:
            assert (error.file, error.message, error.offset) == (path, bad_number, bad_offset)
            assert str(error).startswith("HL7 encoding error: byte 0xDC")
        except StopIteration:
            break
    assert numbers == [n for n in range(1, 2 * bad_number) if n != bad_number]


@pytest.mark.parametrize("encoding, header, content", [
    ("auto", "8859/1", "M\u00dcLLER".encode("latin-1")),
    ("auto", "CP1252", "\u20ac5".encode("cp1252")),
    ("auto", "UNICODE UTF-8", "\u00e9\u00e8".encode()),
    ("latin-1", "", "M\u00dcLLER".encode("latin-1")),
    ("cp1252", "", "\u20ac5".encode("cp1252")),
])
def test_character_sets(tmp_path, encoding, header, content):
    message = (MSH.format(1) + "|" * 6 + header).encode() + b"\rPID|1||" + content
    assert message.split(b"\r")[0].split(b"|")[17] == header.encode()
    path = tmp_path / "m.hl7"
    path.write_bytes(message)
    python_encoding = {"auto": {"8859/1": "latin-1", "CP1252": "cp1252"}.get(header, "utf-8")}.get(
        encoding, encoding)
    expected = mirabex.Hl7Json(message.decode(python_encoding)).hl7_json
    assert next(mirabex_bulk.iter_records(path, encoding=encoding))[2] == expected
    mirabex_bulk.convert_files([path], tmp_path / "out.jsonl", encoding=encoding)
    assert read_json_lines(tmp_path / "out.jsonl")[0]["records"] == expected


def test_validation_failures_unreadable_and_empty_files(tmp_path):
    (tmp_path / "m.hl7").write_bytes((MSH.format(1) + "\rPID|1\rMSH|^~\\&|A\r").encode())
    (tmp_path / "e.hl7").write_bytes(b" \r\n")
    paths = [tmp_path / "missing.hl7", tmp_path / "m.hl7", tmp_path / "e.hl7"]
    errors = tmp_path / "errors.jsonl"
    counts = mirabex_bulk.convert_files(paths, tmp_path / "out.jsonl", errors=errors,
                                        validation_enabled=True)
    assert counts == (1, 3)
    assert [(e["file"], e["message"], e["error"]) for e in read_json_lines(errors)] == [
        (str(paths[0]), None, "No such file or directory"),
        (str(paths[1]), 2, "HL7 validation failed: MSH segment must have at least 12 fields"),
        (str(paths[2]), None, "HL7 message is empty"),
    ]


def test_descriptors_in_and_out(tmp_path):
    (tmp_path / "m.hl7").write_bytes((MSH.format(1) + "\rPID|1").encode())
    read_end, write_end = os.pipe()
    with open(tmp_path / "m.hl7", "rb") as source, open(write_end, "wb") as sink:
        assert mirabex_bulk.convert_files([source.fileno()], sink.fileno()) == (1, 0)
    with open(read_end, encoding="utf-8") as result:
        assert json.loads(result.read())["file"] == "-"


@pytest.mark.parametrize("call, error, text", [
    (lambda p: mirabex_bulk.iter_records(p / "missing"), FileNotFoundError, "No such file"),
    (lambda p: mirabex_bulk.iter_records(p, encoding="no-such-set"), LookupError,
     "unknown encoding: no-such-set"),
    (lambda p: mirabex_bulk.convert_files([], p / "o", encoding="UTF-16"), LookupError,
     "encoding UTF-16 is not supported"),
    (lambda p: mirabex_bulk.convert_files([], p / "o", jobs=0), ValueError, "jobs must be"),
    (lambda p: mirabex_bulk.convert_files([], p / "o", escaping_enabled=1), TypeError,
     "escaping_enabled must be a bool or None, not int"),
    (lambda p: mirabex_bulk.convert_files([], p / "no" / "o"), FileNotFoundError, "No such file"),
    (lambda p: mirabex_bulk.convert_files(3, p / "o"), TypeError, "paths must be a sequence"),
    (lambda p: mirabex_bulk.records_json("PID|1", validation_enabled=True), Exception,
     r"^Missing required segment: MSH \(Message Header\)$"),
    (lambda p: mirabex_bulk.records_json(b"MSH|"), TypeError, "must be str, not bytes"),
])
def test_argument_errors(tmp_path, call, error, text):
    with pytest.raises(error, match=text):
        call(tmp_path)


def test_module_keeps_to_itself():
    assert sorted(name for name in dir(mirabex_bulk) if not name.startswith("_")) == [
        "MessageError", "RecordsIterator", "convert_files", "iter_records", "records_json"]
    assert sorted(mirabex.__all__) == ["Hl7Json", "JsonHl7"]
