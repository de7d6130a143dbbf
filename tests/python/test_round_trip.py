"""Message -> records -> message, on the sample messages and on generated records."""
import collections.abc
import json

import pytest
from hypothesis import given, settings, strategies as st

from mirabex import Hl7Json, JsonHl7
from support import CORPUS_FILES, SN, check_shape, corpus_text


def test_corpus_is_present():
    assert len(CORPUS_FILES) == 22


@pytest.mark.parametrize("name", CORPUS_FILES)
def test_corpus_round_trip(name):
    text = corpus_text(name)
    # A final CR would make an extra empty segment; leave it out.
    text = text[:-1] if text.endswith("\r") else text
    made = Hl7Json(text, escaping_enabled=False)
    plain = made.hl7_json
    check_shape(plain, made.hl7_string)
    # Plain records put back without escaping give the text itself.
    assert JsonHl7(plain).hl7_string_unescaped == made.hl7_string
    # Unescaped records, escaped again, read back to the same records (the
    # text may differ: e.g. '\H\' comes back as '\\H\\').
    made.escaping_enabled = True
    records = made.hl7_json
    check_shape(records, made.hl7_string)
    assert Hl7Json(JsonHl7(records).hl7_string).hl7_json == records


# --- generated records -------------------------------------------------------
#
# Generated records read back exactly as long as: values hold no '^' (reading
# unescapes before it cuts components, so an escaped '^' would split again);
# a field given by components has at least two, and a repeated field at least
# two repetitions (a lone component 1 or repetition 0 is written without a
# separator and reads back as a plain field); names are three capitals other
# than MSH, whose field 1 is written unescaped; and there is at least one record.

CHARS = st.characters(exclude_categories=("Cs",), exclude_characters="^")
VALUE = st.text(st.one_of(st.sampled_from("|~&\\ \t\r\nXFST0A9\u00e9"), CHARS), max_size=6)
PART = st.one_of(VALUE, st.lists(VALUE, min_size=2, max_size=5))  # a list: components
FIELD = st.one_of(PART, st.lists(PART, min_size=2, max_size=3).map(tuple))  # a tuple: repetitions
NAME = st.text("ABCDEFGHIJKLMNOPQRSTUVWXYZ", min_size=3, max_size=3).filter(lambda n: n != "MSH")


def keys(prefix, field):
    if isinstance(field, str):
        return [(prefix, field)]
    if isinstance(field, list):
        return [(f"{prefix}.{c}", value) for c, value in enumerate(field, 1)]
    return [pair for r, part in enumerate(field) for pair in keys(f"{prefix}[{r}]", part)]


@settings(max_examples=150)
@given(st.lists(st.tuples(NAME, st.lists(FIELD, max_size=6)), min_size=1, max_size=4))
def test_generated_records_read_back(segments):
    records = [{SN: name, **dict(pair for k, field in enumerate(fields, 1) for pair in keys(str(k), field))}
               for name, fields in segments]
    text = JsonHl7(records).hl7_string
    assert Hl7Json(text).hl7_json == records
    reader = Hl7Json("")
    assert [reader._split_hl7_seg_to_json_with_escaping(line) for line in text.split("\n")] == records


# --- the module's own key objects ---------------------------------------------
#
# Records from Hl7Json carry key objects the module made, whose positions it
# knows without reading them. Such records must assemble exactly like the
# same records with keys built elsewhere.

def fresh(key):
    """An equal str that is another object (one-character strs are shared)."""
    return (key + ".")[:-1]


@pytest.mark.parametrize("name", CORPUS_FILES)
def test_own_key_objects_assemble_like_any_other_keys(name):
    records = Hl7Json(corpus_text(name)).hl7_json
    copied = [{fresh(k): v for k, v in r.items()} for r in records]
    mixed = [{(fresh(k) if i % 2 else k): v for i, (k, v) in enumerate(reversed(r.items()))}
             for r in records]
    shared = json.loads(json.dumps(copied))  # one key object for each text, across records
    expected = JsonHl7(copied)
    for variant in (records, mixed, shared):
        made = JsonHl7(variant)
        assert made.hl7_string == expected.hl7_string
        assert made.hl7_string_unescaped == expected.hl7_string_unescaped
        assert made.json_data == records
    # Own keys with values that are not ASCII, among others that are.
    widened = [{k: v + "\u00e9" * (i % 2) for i, (k, v) in enumerate(r.items())} for r in records]
    assert (JsonHl7(widened).hl7_string
            == JsonHl7([{fresh(k): v for k, v in r.items()} for r in widened]).hl7_string)


@pytest.mark.parametrize("other_key, text", [
    ("+3.1", "ZZZ|||own"),     # "3.1" sorts after "+3.1": the own key's value wins
    ("03.1", "ZZZ|||own"),
    ("3[0].1", "ZZZ|||other"),  # "3[0].1" sorts after "3.1"
    ("3", "ZZZ|||own"),         # the whole field gives way to a component of it
])
def test_own_and_other_keys_for_one_position(other_key, text):
    own = next(k for k in Hl7Json("MSH|^~\\&|A\rZZZ|x|y|p^q").hl7_json[1] if k == "3.1")
    assert JsonHl7([{own: "own", fresh(other_key): "other", SN: "ZZZ"}]).hl7_string == text


class MadeOnRead(collections.abc.Sequence):
    """Records made anew on each read and dropped after: their key objects
    die, and the next ones are likely to take their addresses."""

    def __len__(self):
        return 60

    def __getitem__(self, i):
        if i >= len(self):
            raise IndexError(i)
        return {fresh(f"{i % 9 + 1}.1"): str(i), SN: "ZZZ"}


def test_key_objects_that_die_while_taken_in():
    expected = [{f"{i % 9 + 1}.1": str(i), SN: "ZZZ"} for i in range(60)]
    assert JsonHl7(MadeOnRead()).hl7_string == JsonHl7(expected).hl7_string


def test_more_key_texts_than_are_remembered():
    """Keys from json.loads are remembered by text, up to a bound: past it,
    and on every call after the first, each key still lands at its place."""
    fields, components = range(1, 151), range(1, 41)
    record = {f"{f}.{c}": f"{f}-{c}" for f in fields for c in components}
    expected = "ZZZ|" + "|".join("^".join(f"{f}-{c}" for c in components) for f in fields)
    for _ in range(3):
        loaded = json.loads(json.dumps([{SN: "ZZZ", **record}]))
        assert JsonHl7(loaded).hl7_string == expected
