"""Reference counts and memory over many calls of both classes, on success and error paths."""
import gc
import os
import sys
import tracemalloc

import pytest

from mirabex import Hl7Json, JsonHl7
from support import CORPUS_DIR, MESSAGE, corpus_text, write

SAMPLE = "fhirconv_LAB-ORU-1.hl7"  # valid in lenient mode


def exercise(text, path):
    made = Hl7Json(text, None, False, True)
    made.hl7_json
    made.escaping_enabled = False
    made._convert_hl7_to_json()
    made._split_hl7_seg_to_json(text)
    made._split_hl7_seg_to_json_with_escaping(text)
    made.validate(False, False)
    records = Hl7Json.from_file(path).hl7_json
    assembled = JsonHl7(records)
    assembled.hl7_string, assembled.hl7_string_unescaped, assembled.json_data


def exercise_errors(text):
    made = Hl7Json(text, validation_enabled=True)
    for call in (lambda: Hl7Json(text, 1), lambda: made.validate(None, None),
                 lambda: setattr(made, "strict_validation", "yes"), lambda: made.hl7_json,
                 lambda: Hl7Json.from_file("/nonexistent/x.hl7"), lambda: Hl7Json(text + "\ud800"),
                 lambda: JsonHl7([{"1": "a"}, {"2": text, "3": 5}]),
                 lambda: JsonHl7([{"100001": text}]).hl7_string, lambda: JsonHl7.from_file("/nonexistent")):
        try:
            call()
        except Exception:
            pass


def test_input_reference_counts_are_unchanged(tmp_path):
    path = write(tmp_path, MESSAGE)
    text = "".join([MESSAGE, "\r", "ZZZ|x"])  # fresh, uninterned objects
    bad = "".join(["PID|", "1"])
    before = [sys.getrefcount(o) for o in (text, bad, path)]
    for _ in range(200):
        exercise(text, path)
        exercise_errors(bad)
    assert [sys.getrefcount(o) for o in (text, bad, path)] == before


def test_no_object_growth():
    path, text = str(CORPUS_DIR / SAMPLE), corpus_text(SAMPLE)

    def run(n):
        for _ in range(n):
            exercise(text, path)
            exercise_errors("PID|1")

    run(200)
    gc.collect()
    objects = len(gc.get_objects())
    tracemalloc.start()
    try:
        run(50)
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        run(1000)
        gc.collect()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert len(gc.get_objects()) - objects < 100
    assert second - first < 64 * 1024


# AddressSanitizer keeps freed memory in quarantine: resident memory grows.
UNDER_SANITIZER = bool(os.environ.get("MIRABEX_SANITIZED"))


@pytest.mark.skipif(not os.path.exists("/proc/self/statm") or UNDER_SANITIZER,
                    reason="needs /proc and an unsanitized allocator")
def test_resident_memory_is_flat_over_many_conversions():
    def resident_bytes():
        gc.collect()
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    text = corpus_text(SAMPLE)  # about 1.4 kB: a leak of any copy of it shows
    for _ in range(2000):
        JsonHl7(Hl7Json(text).hl7_json).hl7_string
    before = resident_bytes()
    for i in range(20000):
        records = Hl7Json(text, None, None, bool(i % 2)).hl7_json
        if i % 4 == 0:
            JsonHl7(records).hl7_string
    assert resident_bytes() - before < 8 * 1024 * 1024
