"""Hl7Json: records of a message and of single segments, the options and their setters."""
import pytest

from mirabex import Hl7Json, JsonHl7
from support import MESSAGE, OPTIONS, SN, options, raises_hl7

MSH_ESCAPED = [
    ("1.1", ""), ("1.2", "~\\&"), ("10", "P"), ("11", "2.5"), ("2", "SND"), ("3", "FAC"),
    ("4", "RCV"), ("5", "FAC2"), ("6", "DT"), ("7", ""), ("8.1", "ADT"), ("8.2", "A01"),
    ("9", "MSG1"), ("segment_name", "MSH"),
]
MSH_PLAIN = [("1", "^~\\&")] + MSH_ESCAPED[2:]
PID_RECORD = [
    ("1", "1"), ("2", ""), ("3[0].1", "123"), ("3[0].2", ""), ("3[0].3", ""), ("3[0].4", "HOSP"),
    ("3[1]", "456"), ("4", ""), ("5.1", "DOE"), ("5.2", "JOHN"), ("segment_name", "PID"),
]


def items(records):
    return [list(r.items()) for r in records]


@pytest.mark.parametrize("escaping, expected", [(None, [MSH_ESCAPED, PID_RECORD]),
                                                (False, [MSH_PLAIN, PID_RECORD])], ids=["escaping", "plain"])
def test_two_segment_message(escaping, expected):
    made = Hl7Json(MESSAGE, escaping_enabled=escaping)
    records = made.hl7_json
    assert type(records) is list and all(type(r) is dict for r in records)
    assert items(records) == expected
    assert items(made._convert_hl7_to_json()) == expected
    # Every read builds new objects: changing one result changes nothing else.
    assert records is not made.hl7_json and records[0] is not made.hl7_json[0]
    records[0]["1.1"] = "changed"
    records.append({})
    # The header ends at the version field; it is a valid lenient message.
    made.validation_enabled = True
    assert items(made.hl7_json) == expected
    assert made.validate(False, True) is None


# 1..12 in byte order, as the keys of fields and of components sort.
BYTE_ORDER = (1, 10, 11, 12, *range(2, 10))

# line, record without escaping, record with escaping (None: same as without).
# The module makes the keys and shares those of common positions between
# calls, so these rows check exact keys and their order past position 9.
SEGMENTS = [
    ("ZZZ|A\\S\\B~C|x^~\\&y", [("1[0]", "A\\S\\B"), ("1[1]", "C"), ("2", "x^~\\&y"), (SN, "ZZZ")],
     [("1[0].1", "A"), ("1[0].2", "B"), ("1[1]", "C"), ("2.1", "x"), ("2.2", "~\\&y"), (SN, "ZZZ")]),
    ("ZZZ|" + "|".join(str(n) for n in range(1, 13)),
     [(str(n), str(n)) for n in BYTE_ORDER] + [(SN, "ZZZ")], None),
    ("ZZZ||" + "^".join("ABCDEFGHIJKL"),
     [("1", "")] + [(f"2.{c}", "ABCDEFGHIJKL"[c - 1]) for c in BYTE_ORDER] + [(SN, "ZZZ")], None),
    # Repetitions of field 1 sort after fields 10 and 11 ("1[" > "10"), and 1 after 10 ("1]" > "10").
    ("ZZZ|" + "~".join(str(r) for r in range(12)) + "|||||||||x|y",
     [("10", "x"), ("11", "y")] + [(f"1[{r}]", str(r)) for r in (0, 10, 11, *range(1, 10))]
     + [(str(n), "") for n in range(2, 10)] + [(SN, "ZZZ")], None),
]


@pytest.mark.parametrize("line, plain, escaped", SEGMENTS, ids=["escaping", "fields", "components", "repetitions"])
def test_segment_records(line, plain, escaped):
    escaped = plain if escaped is None else escaped
    # The single-segment methods ignore the object's own text and options.
    for made in (Hl7Json("OTHER|x", escaping_enabled=False), Hl7Json("OTHER|x")):
        assert list(made._split_hl7_seg_to_json(line).items()) == plain
        assert list(made._split_hl7_seg_to_json_with_escaping(line).items()) == escaped
    assert items(Hl7Json(line, escaping_enabled=False).hl7_json) == [plain]
    assert items(Hl7Json(line).hl7_json) == [escaped]


def test_single_segment_methods_keep_line_breaks():
    made = Hl7Json("")
    assert made._split_hl7_seg_to_json("PID|A\nPV1|B") == {"1": "A\nPV1", "2": "B", SN: "PID"}
    assert made._split_hl7_seg_to_json_with_escaping("PID|A\r\nPV1|B") == {"1": "A\r\nPV1", "2": "B", SN: "PID"}
    assert made._split_hl7_seg_to_json("A\rB") == {SN: "A\rB"}


# --- options and properties -----------------------------------------------

@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, (False, False, True)),
    ((None, None, None), {}, (False, False, True)),
    ((), dict.fromkeys(OPTIONS), (False, False, True)),
    ((False, True, False), {}, (False, True, False)),
    ((None, True), {"escaping_enabled": False}, (False, True, False)),
])
def test_constructor_options(args, kwargs, expected):
    made = Hl7Json(MESSAGE, *args, **kwargs)
    assert options(made) == expected
    assert all(type(v) is bool for v in options(made))


@pytest.mark.parametrize("name", OPTIONS)
def test_options_read_back_and_do_not_touch_each_other(name):
    made = Hl7Json(MESSAGE)
    for value in (True, False, True, True, False):
        before = options(made)
        setattr(made, name, value)
        assert getattr(made, name) is value
        assert options(made) == tuple(value if n == name else v for n, v in zip(OPTIONS, before))
    with pytest.raises(AttributeError) as info:
        delattr(made, name)
    assert type(info.value) is AttributeError and str(info.value) == "property has no deleter"
    assert getattr(made, name) is False


def test_setters_work_after_failed_calls():
    # A failed call must give back the access it took; a setter needs the
    # object to itself and would report "Already borrowed" otherwise.
    made = Hl7Json("", validation_enabled=True)
    with raises_hl7("Missing required segment: MSH (Message Header)"):
        made.hl7_json
    made.escaping_enabled = False
    with raises_hl7("Missing required segment: MSH (Message Header)"):
        made.validate(True, True)
    made.strict_validation = True
    with pytest.raises(TypeError):
        made._split_hl7_seg_to_json(1)
    with pytest.raises(TypeError):
        made.validation_enabled = 1
    made.validation_enabled = False
    assert options(made) == (False, True, False)
    assert made.hl7_json == [{SN: ""}]


@pytest.mark.parametrize("length", [1, 7, 8, 9, 16, 17, 24])
@pytest.mark.parametrize("wide", ["é", "€", "😀"])
def test_non_ascii_anywhere_in_a_value_survives_both_ways(length, wide):
    # Values and whole messages are checked for ASCII eight bytes at a time;
    # a wide character at any offset, tail included, must not be mistaken.
    for position in range(length):
        text = "a" * position + wide + "a" * (length - position - 1)
        records = Hl7Json("PID|" + text).hl7_json
        assert records[0]["1"] == text
        assert JsonHl7(records).hl7_string == "PID|" + text
