"""Shared helpers: sample messages, exception checks, and the invariants that
tests over many texts compare records with."""
import contextlib
import re
from pathlib import Path

import pytest

CORPUS_DIR = Path(__file__).resolve().parent.parent / "data" / "corpus"
CORPUS_FILES = sorted(p.name for p in CORPUS_DIR.glob("*.hl7"))

OPTIONS = ("validation_enabled", "strict_validation", "escaping_enabled")
SN = "segment_name"

HEADER = "MSH|^~\\&|SND|FAC|RCV|FAC2|DT||ADT^A01|MSG1|P|2.5"
PID_LINE = "PID|1||123^^^HOSP~456||DOE^JOHN"
MESSAGE = HEADER + "\r" + PID_LINE


def corpus_text(name):
    return (CORPUS_DIR / name).read_bytes().decode("utf-8")


def options(obj):
    return tuple(getattr(obj, name) for name in OPTIONS)


def write(tmp_path, content, name="data.txt"):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return str(path)


@contextlib.contextmanager
def raises_exactly(exc_type, text, note=None):
    """exc_type exactly, with this text, and the argument note (or none)."""
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value) is exc_type, repr(info.value)
    assert str(info.value) == text
    notes = getattr(info.value, "__notes__", None)
    assert notes == ([note] if note is not None else None)


def raises_hl7(text):
    """The module reports its own errors as the plain built-in Exception."""
    return raises_exactly(Exception, text)


# --- invariants over records -------------------------------------------------

def normalise(text):
    return text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n")


def check_shape(records, stored):
    """One record per stored line, str keys in byte order, the name last."""
    lines = stored.split("\n")
    assert type(records) is list and len(records) == len(lines)
    for record, line in zip(records, lines):
        keys = list(record)
        assert keys == sorted(keys, key=str.encode) and keys[-1] == SN
        assert all(type(k) is str and type(v) is str for k, v in record.items())
        assert record[SN] == line.split("|")[0]


KEY = re.compile(r"([1-9][0-9]*)(?:\[(0|[1-9][0-9]*)\])?(?:\.([1-9][0-9]*))?")


def rebuild(record):
    """Join a plain-mode record back into its line.

    Without escaping nothing is lost, so the join must give the line back;
    it also insists that fields, repetitions and components are numbered
    without gaps, which catches a wrong key as well as a wrong value."""
    fields = {}
    for key, value in record.items():
        if key == SN:
            continue
        match = KEY.fullmatch(key)
        assert match, key
        position, rep, comp = match.groups()
        reps = fields.setdefault(int(position), {})
        reps.setdefault(int(rep) if rep else -1, {})[int(comp) if comp else 0] = value
    assert sorted(fields) == list(range(1, len(fields) + 1))
    line = record[SN]
    for position in sorted(fields):
        reps = fields[position]
        assert sorted(reps) in ([-1], list(range(len(reps)))), position
        texts = []
        for rep in sorted(reps):
            comps = reps[rep]
            assert sorted(comps) in ([0], list(range(1, len(comps) + 1))), (position, rep)
            texts.append("^".join(comps[c] for c in sorted(comps)))
        line += "|" + "~".join(texts)
    return line
