"""Several threads on shared and private objects of both classes."""
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from mirabex import Hl7Json, JsonHl7
from support import CORPUS_FILES, HEADER, PID_LINE, corpus_text


# With the GIL, a conversion holds it from start to end: no other thread
# runs in the middle of one, so these races cannot happen there.
free_threaded_only = pytest.mark.skipif(
    sys._is_gil_enabled(), reason="with the GIL no other thread runs while a call converts, "
                                  "so the race under test cannot happen")


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_shared_readers_and_private_builders_agree():
    expected = {(name, esc): Hl7Json(corpus_text(name), escaping_enabled=esc).hl7_json
                for name in CORPUS_FILES for esc in (True, False)}
    shared = Hl7Json(corpus_text("hl7apy_oml_o33.hl7"))  # two-part message type: fails strict
    segment = "PID|1||123^^^HOSP~456||DOE\\S\\JOHN"
    assembled = JsonHl7(shared.hl7_json)

    def read():
        return (shared.hl7_json, shared._convert_hl7_to_json(), shared.escaping_enabled,
                shared._split_hl7_seg_to_json_with_escaping(segment),
                assembled.hl7_string, assembled.hl7_string_unescaped, assembled.json_data)

    first = read()
    start = threading.Barrier(12)

    def reader(_):
        start.wait()
        for _ in range(40):
            assert read() == first
            with pytest.raises(Exception):
                shared.validate(True, False)

    def builder(index):
        start.wait()
        for step in range(40):
            key = CORPUS_FILES[(index * 7 + step) % len(CORPUS_FILES)], bool(step % 2)
            assert Hl7Json(corpus_text(key[0]), None, None, key[1]).hl7_json == expected[key]
            assert JsonHl7(expected[key]).json_data == expected[key]

    with ThreadPoolExecutor(12) as pool:
        jobs = [pool.submit(reader, i) for i in range(6)] + [pool.submit(builder, i) for i in range(6)]
        for job in jobs:
            job.result()
    assert read() == first


@free_threaded_only
def test_setters_against_a_busy_reader():
    # The reader keeps converting a large message while the main thread flips
    # an option.  Whether the two ever meet depends on scheduling; when they
    # do, each side must fail cleanly with its own error and change nothing.
    made = Hl7Json("\r".join([HEADER] + [PID_LINE] * 3000))
    with_escaping = made.hl7_json
    made.escaping_enabled = False
    without_escaping = made.hl7_json
    made.escaping_enabled = True
    reader_errors, reader_results = [], []
    done = threading.Event()

    def reader():
        try:
            for _ in range(30):
                try:
                    records = made.hl7_json
                except RuntimeError as error:
                    reader_errors.append(error)
                else:
                    reader_results.append(records == with_escaping or records == without_escaping)
        finally:
            done.set()

    thread = threading.Thread(target=reader)
    thread.start()
    last_set, value, setter_errors = True, True, []
    while not done.is_set():
        value = not value
        try:
            made.escaping_enabled = value
        except RuntimeError as error:
            setter_errors.append(error)
        else:
            last_set = value
    thread.join()

    assert all(type(e) is RuntimeError and e.args == ("Already borrowed",) for e in setter_errors)
    assert all(type(e) is RuntimeError and e.args == ("Already mutably borrowed",) for e in reader_errors)
    assert all(reader_results) and len(reader_results) + len(reader_errors) == 30
    assert made.escaping_enabled is last_set
    made.escaping_enabled = False
    assert made.hl7_json == without_escaping


@free_threaded_only
def test_record_changed_while_taken_in():
    # Another thread keeps adding and removing a key of the record being taken
    # in.  Whether they ever meet depends on scheduling; if they do, the
    # conversion must stop with the runtime's internal-failure exception, and
    # otherwise it must hold a consistent copy.  It must never crash.
    big = {str(i): "v" for i in range(20000)}
    stop = threading.Event()

    def mutate():
        while not stop.is_set():
            big["x"] = "y"
            del big["x"]

    worker = threading.Thread(target=mutate)
    worker.start()
    try:
        for _ in range(20):
            try:
                records = JsonHl7([big]).json_data
            except BaseException as error:
                assert type(error).__qualname__ == "PanicException", repr(error)
                assert type(error).__module__ == "mirabex_runtime"
                assert not isinstance(error, Exception)
                assert str(error) in ("dictionary changed size during iteration",
                                      "dictionary keys changed during iteration")
            else:
                assert len(records) == 1 and set(records[0]) - {"x"} == {str(i) for i in range(20000)}
    finally:
        stop.set()
        worker.join()
