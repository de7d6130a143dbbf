"""Generated and hostile texts: everything converts or fails cleanly, the
records keep their shape, and failed calls change nothing."""
import pytest
from hypothesis import given, strategies as st

from mirabex import Hl7Json
from support import OPTIONS, SN, check_shape, normalise, options, raises_hl7, rebuild


def check_records(made, text, escaping):
    """Checks that hold for any text: the stored text is the given one with
    normalised line breaks; plain records join back into their lines; with
    escaping, the whole-message conversion and the single-segment method agree,
    and a text without backslashes reads as it does without escaping."""
    stored = made.hl7_string
    assert stored == normalise(text)
    records = made.hl7_json
    check_shape(records, stored)
    lines = stored.split("\n")
    if not escaping:
        assert [rebuild(r) for r in records] == lines
        return
    assert records == [made._split_hl7_seg_to_json_with_escaping(line) for line in lines]
    if "\\" not in text:
        assert records == [made._split_hl7_seg_to_json(line) for line in lines]


# Pieces that exercise separators, escape codes and line breaks.
PIECES = ["|", "^", "~", "\\", "&", "^~\\&", "\r", "\n", "\r\n", "\n\r", "MSH", "PID", "ZX1", "a", "1", " ",
          "\\F\\", "\\S\\", "\\R\\", "\\E\\", "\\T\\", "\\X0D0A\\", "\\H\\", "\\F", "\u00e9", "\u4e2d",
          "\u0663", "\U0001f600", "\x00", "\ufeff", "2.5", "ADT^A01^ADT_A01"]
hl7ish = st.lists(st.sampled_from(PIECES), max_size=60).map("".join)
any_text = st.text(max_size=200)  # hypothesis leaves out surrogates here
bools = st.booleans()


@given(st.one_of(any_text, hl7ish), bools)
def test_any_text_converts(text, escaping):
    made = Hl7Json(text, escaping_enabled=escaping)
    check_records(made, text, escaping)
    # Nothing is cached and nothing changes: the same request gives the same answer.
    assert made._convert_hl7_to_json() == made.hl7_json


@given(st.sampled_from(OPTIONS), st.tuples(bools, bools, bools),
       st.one_of(st.none(), st.integers(), st.floats(), st.text(max_size=5), st.binary(max_size=5)))
def test_failed_setter_changes_nothing(name, start, bad):
    made = Hl7Json("MSH|a", *start)
    with pytest.raises(TypeError):
        setattr(made, name, bad)
    assert options(made) == start


@given(hl7ish, st.tuples(bools, bools, bools), st.sampled_from([None, True, False]),
       st.sampled_from([None, True, False]))
def test_validate_changes_nothing(text, start, strict_mode, required):
    made = Hl7Json(text, *start)
    stored = made.hl7_string
    try:
        made.validate(strict_mode, required)
    except Exception as error:
        assert type(error) is Exception and len(error.args) == 1 and type(error.args[0]) is str
    assert options(made) == start and made.hl7_string == stored
    made.validation_enabled = False
    assert made.hl7_json == Hl7Json(text, escaping_enabled=start[2]).hl7_json


HOSTILE = {
    "nuls-in-fields": "MSH|\x00|\x00^\x00~\x00\\\x00|\x00",
    "bars": "|" * 100_000,
    "carets": "ZZZ|" + "^" * 100_000,
    "tildes": "ZZZ|" + "~" * 100_000,
    "backslashes-odd": "ZZZ|" + "\\" * 100_001,
    "crlfs": "\r\n" * 50_000,
    "escapes": "ZZZ|" + "\\F\\" * 100_000,
    "open-escapes": "ZZZ|" + "\\X0D0A" * 50_000,
    "guards": "ZZZ|" + "^~\\&" * 25_000,
    # Keys of every shape, on both sides of the positions whose keys are shared.
    "wide": "ZZZ|" + "|".join("~".join(["^" * 40] * (20 if k % 2 else 1)) for k in range(120)) + "|" * 300,
    "astral": "\U0010ffff|\U0001f600^\u200b~\ufeff",
    "long-line-no-fields": "A" * 2_000_000,
}


@pytest.mark.parametrize("escaping", [True, False], ids=["escaping", "plain"])
@pytest.mark.parametrize("text", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_input(text, escaping):
    made = Hl7Json(text, escaping_enabled=escaping)
    check_records(made, text, escaping)
    for strict in (True, False):
        try:
            made.validate(strict, True)
        except Exception as error:
            assert type(error) is Exception and len(error.args) == 1


def test_ten_megabyte_field():
    value = "x" * 10_000_000
    made = Hl7Json("ZZZ|" + value + "|\\F\\")
    assert made.hl7_json == [{"1": value, "2": "|", SN: "ZZZ"}]
    header = "MSH|^~\\&|a|b|c|d|e||ADT^A01^X|m|P|2.5\r"
    made = Hl7Json(header + "ZZZ|" + value, validation_enabled=True)
    with raises_hl7("Field value exceeds maximum length: 10000000 > 65536 characters"):
        made.hl7_json
    assert made._split_hl7_seg_to_json("ZZZ|" + value) == {"1": value, SN: "ZZZ"}
