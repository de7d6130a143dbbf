"""JsonHl7 built from Python objects: what the records become, which inputs
are taken in and which refused, and the object's surface.  The assembly
rules and the key grammar themselves are tested on the core; the rows here
show that keys and values cross into it and back out unchanged."""
import collections.abc

import pytest

from mirabex import Hl7Json, JsonHl7
from support import SN, raises_exactly, raises_hl7

JSON_DATA_NOTE = "while processing 'json_data'"

# records -> text without escaping, text with escaping (None: the same)
ASSEMBLY = {
    "no-records": ([], "", None),
    # Keys that name no position ("0", a full-width digit, ...) are ignored.
    "three-lines": ([{SN: "EVN"}, {}, {SN: "X", "0": "z", "+02": "b", "\uff13": "c", "-4": "d", "5.1[2]": "e"}],
                    "EVN\n\nX||b", None),
    "patient": ([{SN: "PID", "1": "1", "3": "12345", "5.1": "Doe", "5.2": "John",
                  "11[0].1": "Main St", "11[1].1": "Side St", "13[1]": "555"}],
                "PID|1||12345||Doe^John||||||Main St~Side St||~555",
                r"PID|1||12345||Doe^John||||||Main\X20\St~Side\X20\St||~555"),
    "parsed-record-back": (Hl7Json("PID|1||123^^^HOSP~456|A&B", escaping_enabled=False).hl7_json,
                           "PID|1||123^^^HOSP~456|A&B", r"PID|1||123^^^HOSP~456|A\T\B"),
    "non-ascii": ([{SN: "\u00e9\u4e2d", "1": "\U0001f600|\x00"}], "\u00e9\u4e2d|\U0001f600|\x00",
                  "\u00e9\u4e2d|\U0001f600\\F\\\x00"),
    # Pairs that are not plain ASCII strs amid plain ones, and a str subclass.
    "mixed-texts": ([{"1": "a", "2": "\u00e9", "3": "b", "4": type("Text", (str,), {})("c d"), "5": "e"}],
                    "a|\u00e9|b|c d|e", "a|\u00e9|b|c\\X20\\d|e"),
    # The header's field 1 is the separator list: written whole, never escaped.
    "header": ([{SN: "MSH", "1": "^~\\&", "2": "A|B"}], "MSH|^~\\&|A|B", r"MSH|^~\&|A\F\B"),
    "name-escaped": ([{SN: "A|B^C", "1": "x"}], "A|B^C|x", r"A\F\B\S\C|x"),
    # Far more text than the values' own bytes: the text's memory grows.
    "grows": ([{SN: "A", "300": " " * 3000}], "A" + "|" * 300 + " " * 3000,
              "A" + "|" * 300 + "\\X20\\" * 3000),
}


@pytest.mark.parametrize("records, plain, escaped", ASSEMBLY.values(), ids=ASSEMBLY.keys())
def test_assembly(records, plain, escaped):
    escaped = plain if escaped is None else escaped
    made = JsonHl7(records)
    assert made.hl7_string_unescaped == plain
    assert made.hl7_string == escaped
    assert made._convert_json_to_hl7(escape=False) == plain
    assert made._convert_json_to_hl7(True) == escaped


LIMIT = "HL7 field error in segment {}, field {}: {} exceeds the limit of 100000"


@pytest.mark.parametrize("key, error", [
    ("100001", LIMIT.format("S", 100001, "position 100001")),
    ("2[100001]", LIMIT.format("S", 2, "repetition 100001")),
    ("2[3].100001", LIMIT.format("S", 2, "component 100001")),
])
def test_size_bound(key, error):
    made = JsonHl7([{SN: "P"}, {SN: "S", key: "v", "1": "a"}])
    for read in (lambda: made.hl7_string, lambda: made.hl7_string_unescaped,
                 lambda: made._convert_json_to_hl7(True), lambda: made._convert_json_to_hl7(False)):
        with raises_hl7(error):
            read()
    assert made.json_data == [{SN: "P"}, {"1": "a", SN: "S", key: "v"}]


# --- taking the records in ---------------------------------------------------

class GetItemOnly:
    def __getitem__(self, index):
        if index:
            raise IndexError
        return {"1": "a"}


class Registered(GetItemOnly):
    pass


collections.abc.Sequence.register(Registered)


class Records(collections.abc.Sequence):
    def __init__(self, *items, fail=None):
        self.items, self.fail = items, fail

    def __len__(self):
        return len(self.items) + 1

    def __getitem__(self, index):
        if index == len(self.items) and self.fail is not None:
            raise self.fail("boom")
        return self.items[index]  # IndexError past the end


class BrokenIter(Records):
    def __iter__(self):
        raise KeyError("iter")


Text = type("Text", (str,), {})


@pytest.mark.parametrize("data, stored", [
    ((), []),
    (({"1": "a"}, {}), [{"1": "a"}, {}]),
    (Registered(), [{"1": "a"}]),
    (Records({"2": "b"}), [{"2": "b"}]),
    ([type("Record", (dict,), {})(b="1", a="2")], [{"a": "2", "b": "1"}]),
    ([{Text("k"): Text("v"), "": ""}], [{"": "", "k": "v"}]),
], ids=["tuple", "tuple-of-dicts", "registered", "sequence-subclass", "dict-subclass", "str-subclass"])
def test_accepted_inputs(data, stored):
    records = JsonHl7(data).json_data
    assert records == stored
    assert all(type(r) is dict and all(type(k) is str and type(v) is str for k, v in r.items()) for r in records)


SURROGATE = "'utf-8' codec can't encode character '\\u{}' in position 0: surrogates not allowed"
NOT_SEQUENCE = "object is not an instance of 'Sequence'"

REFUSED = {
    "str": ("[]", TypeError, "Can't extract `str` to `Vec`"),
    "str-subclass": (Text("[{}]"), TypeError, "Can't extract `str` to `Vec`"),
    "dict": ({"1": "a"}, TypeError, f"'dict' {NOT_SEQUENCE}"),
    "generator": (({} for _ in "x"), TypeError, f"'generator' {NOT_SEQUENCE}"),
    "getitem-only": (GetItemOnly(), TypeError, f"'GetItemOnly' {NOT_SEQUENCE}"),
    "none": (None, TypeError, "'None' is not an instance of 'Sequence'"),
    "item-int": ([{"1": "a"}, 5], TypeError, "'int' object is not an instance of 'dict'"),
    "bytes-items": (b"ab", TypeError, "'int' object is not an instance of 'dict'"),
    "key-int": ([{1: "a"}], TypeError, "'int' object is not an instance of 'str'"),
    "value-none": ([{"1": None}], TypeError, "'None' is not an instance of 'str'"),
    "value-surrogate": ([{"1": "\ud800"}], UnicodeEncodeError, SURROGATE.format("d800")),
    "key-surrogate": ([{}, {"\udc00": "a"}], UnicodeEncodeError, SURROGATE.format("dc00")),
    "iteration-fails": (Records({}, fail=ZeroDivisionError), ZeroDivisionError, "boom"),
    "iter-fails": (BrokenIter({}), KeyError, "'iter'"),
}


@pytest.mark.parametrize("data, exc_type, text", REFUSED.values(), ids=REFUSED.keys())
def test_refused_inputs(data, exc_type, text):
    with raises_exactly(exc_type, text, JSON_DATA_NOTE):
        JsonHl7(data)
    with raises_exactly(exc_type, text, JSON_DATA_NOTE):
        JsonHl7(json_data=data)


def test_json_data_is_new_sorted_and_detached():
    keys = ["segment_name", "10", "2", "1.1", "1[0]", "\U0001f600", "\uffff", "Z", "a", "", "3.10", "3.2"]
    source = [{k: f"<{k}>" for k in keys}, {"b": "1", "a": "2"}]
    made = JsonHl7(source)
    text = made.hl7_string
    source[0].clear()
    source.append({"1": "x"})
    first, second = made.json_data, made.json_data
    assert first == second and first is not second and first[0] is not second[0]
    assert list(first[0]) == sorted(keys, key=str.encode)
    assert list(first[1]) == ["a", "b"]
    first[0]["1"] = "changed"
    first.append({SN: "NEW"})
    assert made.json_data == second
    assert made.hl7_string == text
    assert made.hl7_string is not made.hl7_string


def test_escape_argument_has_no_default():
    with raises_exactly(TypeError, "'None' is not an instance of 'bool'", "while processing 'escape'"):
        JsonHl7([])._convert_json_to_hl7(None)
