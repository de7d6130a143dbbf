"""Inputs built to hurt: huge runs of one separator, masses of segments or
members, files that are not plain files. Each converts or raises the error
users are told about; none crashes or hangs."""
import json
import os
import subprocess
import sys
import threading

import pytest

from mirabex import Hl7Json, JsonHl7
from support import SN, raises_hl7, write

MB = 1_000_000


@pytest.mark.slow
@pytest.mark.parametrize("character", ["|", "^", "~", "\\", "&", "\r"])
def test_hundred_megabytes_of_one_character(character):
    made = Hl7Json(character * (100 * MB))
    with raises_hl7("Missing required segment: MSH (Message Header)"):
        made.validate(False, True)
    # The same run behind a valid header: the checks walk the whole text.
    header = "MSH|^~\\&|a|b|c|d|e||ADT^A01^X|1|P|2.5\r"
    made = Hl7Json(header + "ZZZ|" + character * (100 * MB))
    try:
        made.validate(False, False)
    except Exception as error:
        assert type(error) is Exception


# Two million separators make two million positions: past the assembly's
# limit of 100000, so the way back is refused with the documented error.
@pytest.mark.parametrize("character, back", [
    ("|", "position"), ("^", "component"), ("~", "repetition"), ("\\", None), ("&", None), ("\r", None),
])
def test_two_megabytes_of_one_character_convert(character, back):
    records = Hl7Json("ZZZ|" + character * (2 * MB)).hl7_json
    assert records[0][SN] == "ZZZ"
    made = JsonHl7(records)
    if back is None:
        assert len(made.hl7_string_unescaped) >= MB
        return
    with pytest.raises(Exception, match=f"^HL7 field error in segment ZZZ, field [0-9]+: {back} "):
        made.hl7_string


def test_a_million_empty_segments():
    made = Hl7Json("\r" * MB)
    records = made.hl7_json
    assert len(records) == MB + 1 and records[-1] == {SN: ""}
    assert JsonHl7(records).hl7_string == "\n" * MB
    with raises_hl7("Missing required segment: MSH (Message Header)"):
        made.validate(None, None)


def test_json_with_a_million_members(tmp_path):
    record = {str(k): "v" for k in range(1, MB + 1)}
    path = write(tmp_path, json.dumps([record]), "records.json")
    loaded = JsonHl7.from_file(path)
    assert loaded.json_data == [dict(sorted(record.items(), key=lambda i: i[0].encode()))]
    with pytest.raises(Exception, match="^HL7 field error in segment , field [0-9]+: position "):
        loaded.hl7_string


@pytest.mark.parametrize("depth", [129, 100_000])
def test_deeply_nested_json(tmp_path, depth):
    for text in ("[" * depth + "]" * depth, "[{\"a\":" * depth + "}]" * depth):
        path = write(tmp_path, text, "nested.json")
        with pytest.raises(Exception, match="^HL7 invalid format: Invalid JSON: invalid type: "):
            JsonHl7.from_file(path)


@pytest.mark.parametrize("key, outcome", [
    ("100000", "placed"), ("100000[100000].100000", "placed"),
    ("100001", "refused"), ("1[100001]", "refused"), ("1.100001", "refused"),
    ("18446744073709551615", "refused"), ("18446744073709551616", "ignored"),
    ("1[18446744073709551616]", "ignored"),
])
def test_keys_at_the_numeric_bounds(key, outcome):
    made = JsonHl7([{SN: "ZZZ", key: "x"}])
    if outcome == "refused":
        with pytest.raises(Exception, match="^HL7 field error in segment ZZZ, field "):
            made.hl7_string
    elif outcome == "ignored":
        assert made.hl7_string == "ZZZ"
    else:
        assert made.hl7_string.endswith("x") and len(made.hl7_string) > 100_000


# Two megabytes of JSON asking for about two gigabytes of separators: refused
# before anything is written, so the peak memory of the process barely moves.
def test_an_assembly_past_one_gibibyte_is_refused_without_writing(tmp_path):
    keys = json.dumps({f"{field}[0].100000": "x" for field in range(1, 20_001)})
    path = write(tmp_path, f'[{{"segment_name": "PID", {keys[1:]}]', "records.json")
    script = f"""if True:
        import resource, mirabex
        made = mirabex.JsonHl7.from_file({path!r})
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for read in (lambda: made.hl7_string, lambda: made.hl7_string_unescaped):
            try:
                read()
            except Exception as error:
                print(error)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    *errors, growth_kb = run.stdout.splitlines()
    assert errors == ["HL7 field error in segment PID, field 10738: the assembled message would "
                      "exceed 1073741824 bytes"] * 2
    assert int(growth_kb) < 64 * 1024


def test_a_fifo_is_read_like_a_file(tmp_path):
    fifo = tmp_path / "incoming"
    os.mkfifo(fifo)

    def send():
        with open(fifo, "w") as f:
            f.write("MSH|^~\\&|SENDER\rPID|1")

    sender = threading.Thread(target=send)
    sender.start()
    made = Hl7Json.from_file(str(fifo))
    sender.join()
    assert [r[SN] for r in made.hl7_json] == ["MSH", "PID"]


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every file")
def test_a_file_without_read_permission(tmp_path):
    path = write(tmp_path, "MSH|x", "secret.hl7")
    os.chmod(path, 0)
    with raises_hl7("I/O error: Permission denied (os error 13)"):
        Hl7Json.from_file(path)


@pytest.mark.parametrize("name", ["with\x00nul.hl7", "with\x00nul.json"])
def test_a_path_with_a_nul_names_no_file(tmp_path, name):
    write(tmp_path, "MSH|x", "with")
    load = JsonHl7.from_file if name.endswith(".json") else Hl7Json.from_file
    with raises_hl7("I/O error: file name contained an unexpected NUL byte"):
        load(str(tmp_path / name))
