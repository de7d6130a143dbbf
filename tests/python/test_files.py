"""from_file of both classes: file errors with the system's texts, unusable
content, what is stored, and the sample messages read from files."""
import json

import pytest

from mirabex import Hl7Json, JsonHl7
from support import CORPUS_DIR, CORPUS_FILES, MESSAGE, corpus_text, options, raises_exactly, raises_hl7, write

LOADERS = [pytest.param(Hl7Json.from_file, id="Hl7Json"), pytest.param(JsonHl7.from_file, id="JsonHl7")]
EMPTY = "HL7 message is empty"
NOT_UTF8 = "I/O error: stream did not contain valid UTF-8"
MISSING = "I/O error: No such file or directory (os error 2)"


@pytest.mark.parametrize("relative, error", [
    ("missing.txt", MISSING),
    ("no/such/dir/x.txt", MISSING),
    ("", "I/O error: Is a directory (os error 21)"),
    ("plain.txt/x.txt", "I/O error: Not a directory (os error 20)"),
    (None, MISSING),  # the empty path
], ids=["missing", "missing-dir", "directory", "file-as-dir", "empty-path"])
@pytest.mark.parametrize("load", LOADERS)
def test_os_errors(tmp_path, load, relative, error):
    write(tmp_path, b"[]", "plain.txt")
    path = "" if relative is None else str(tmp_path / relative)
    with raises_hl7(error):
        load(path)
    with raises_hl7(error):
        load(path=path)


@pytest.mark.parametrize("data, error", [
    (b"", EMPTY),
    # White space of any kind counts: no-break, em and ideographic spaces, NEL.
    (" \t\r\n\x0b\x0c\u00a0\u2003\u3000\u0085\n".encode(), EMPTY),
    (b"[]\r\xc3\x28", NOT_UTF8),
    (b"\xed\xa0\x80", NOT_UTF8),  # an encoded surrogate is not UTF-8
], ids=["empty", "blanks", "bad-tail", "surrogate"])
@pytest.mark.parametrize("load", LOADERS)
def test_unusable_content(tmp_path, load, data, error):
    with raises_hl7(error):
        load(write(tmp_path, data))


@pytest.mark.parametrize("load", LOADERS)
def test_path_must_be_str(tmp_path, load):
    path = write(tmp_path, MESSAGE if load == Hl7Json.from_file else "[]", "nachricht-\u00e4\u4e2d.txt")
    for bad, text in [(tmp_path / "x", f"'{type(tmp_path).__qualname__}' object"),
                      (path.encode(), "'bytes' object"), (None, "'None'")]:
        with raises_exactly(TypeError, f"{text} is not an instance of 'str'", "while processing 'path'"):
            load(bad)
    assert type(load(type("P", (str,), {})(path))) is load.__self__


# --- what is stored -------------------------------------------------------------

@pytest.mark.parametrize("data, stored", [
    (b"  \nMSH|a\r\nPID|1\r\n\t ", "  \nMSH|a\nPID|1\n\t "),  # white space is kept
    (b"\xef\xbb\xbfMSH|a\rPID|\xc3\xa9", "\ufeffMSH|a\nPID|\u00e9"),  # the mark stays part of the name
], ids=["line-breaks", "bom-and-non-ascii"])
def test_stored_text(tmp_path, data, stored):
    made = Hl7Json.from_file(write(tmp_path, data), None, True, escaping_enabled=False)
    assert type(made) is Hl7Json and options(made) == (False, True, False)
    assert made.hl7_string == stored
    assert made.hl7_json == Hl7Json(stored, escaping_enabled=False).hl7_json
    assert options(Hl7Json.from_file(write(tmp_path, data))) == (False, False, True)


def test_validation_waits_for_conversion(tmp_path):
    # Loading never validates; the first conversion does.
    made = Hl7Json.from_file(write(tmp_path, b"PID|1\rMSH|x"), validation_enabled=True)
    with raises_hl7("Missing required segment: MSH (Message Header)"):
        made.hl7_json


@pytest.mark.parametrize("content, error", [
    ('[\n{"1": "a"},\n{"2": null}]', "invalid type: null, expected a string at line 3 column 7"),
    ("[\n{}", "EOF while parsing a list at line 2 column 2"),
])
def test_invalid_json(tmp_path, content, error):
    with raises_hl7("HL7 invalid format: Invalid JSON: " + error):
        JsonHl7.from_file(write(tmp_path, content))


# --- the sample messages -------------------------------------------------------

@pytest.mark.parametrize("name", CORPUS_FILES)
def test_corpus_files_equal_objects(tmp_path, name):
    made = Hl7Json.from_file(str(CORPUS_DIR / name), escaping_enabled=False)
    assert made.hl7_string == Hl7Json(corpus_text(name)).hl7_string
    assert made.hl7_json == Hl7Json(corpus_text(name), escaping_enabled=False).hl7_json
    made.escaping_enabled = True
    records = made.hl7_json
    assert records == Hl7Json(corpus_text(name)).hl7_json
    direct = JsonHl7(records)
    for ascii_only in (True, False):
        loaded = JsonHl7.from_file(write(tmp_path, json.dumps(records, ensure_ascii=ascii_only, indent=1)))
        assert loaded.json_data == records
        assert loaded.hl7_string == direct.hl7_string
        assert loaded.hl7_string_unescaped == direct.hl7_string_unescaped
