"""Reference-leak check for a debug interpreter (one with sys.gettotalrefcount).

Runs every member of both classes, on success and on failure, round after
round, and reports how the interpreter's total reference count moves: after
warm-up rounds it must stay flat. In the style of CPython's `-R` option.

    scripts/refleak.sh
"""
import gc
import os
import sys
import tempfile
import threading

import mirabex

MESSAGE = ("MSH|^~\\&|LAB|HOSP|EHR|HOSP|202401011200||ORU^R01^ORU_R01|42|P|2.5\r"
           "PID|1||12345^^^HOSP~67890||DOE\\S\\JOHN||19700101|M\r"
           "OBX|1|ST|^GLUCOSE||5.6\\F\\x|mmol/l|\\H\\3.9-6.1\\N\\|N|||F\r")


class NumpyLikeBool:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


NumpyLikeBool.__module__ = "numpy"
NumpyLikeBool.__name__ = "bool_"


class RecordSequence:
    """A registered Sequence that is neither a list nor a tuple."""

    def __init__(self, records):
        self.records = records

    def __len__(self):
        return len(self.records)

    def __getitem__(self, index):
        return self.records[index]


import collections.abc  # noqa: E402

collections.abc.Sequence.register(RecordSequence)


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call!r} did not raise {error.__name__}")


def successes(folder):
    message = mirabex.Hl7Json(MESSAGE, None, False, NumpyLikeBool(True))
    records = message.hl7_json
    message._convert_hl7_to_json()
    message.validate(False, False)
    message._split_hl7_seg_to_json("PID|1|a^b~c")
    message._split_hl7_seg_to_json_with_escaping("PID|1|a\\T\\b")
    message.escaping_enabled = False
    message.strict_validation = True
    (message.hl7_string, message.validation_enabled, message.strict_validation,
     message.escaping_enabled)
    path = os.path.join(folder, "message.hl7")
    loaded = mirabex.Hl7Json.from_file(path, validation_enabled=True)
    loaded.hl7_json
    assembled = mirabex.JsonHl7(records)
    assembled.hl7_string, assembled.hl7_string_unescaped, assembled.json_data
    assembled._convert_json_to_hl7(escape=True)
    mirabex.JsonHl7(tuple(records)).hl7_string
    mirabex.JsonHl7(RecordSequence(records)).hl7_string
    mirabex.JsonHl7.from_file(os.path.join(folder, "records.json")).hl7_string


def failures(folder):
    message = mirabex.Hl7Json(MESSAGE)
    expect(TypeError, mirabex.Hl7Json)
    expect(TypeError, mirabex.Hl7Json, 1)
    expect(TypeError, mirabex.Hl7Json, MESSAGE, 1)
    expect(TypeError, mirabex.Hl7Json, MESSAGE, hl7_string=MESSAGE)
    expect(TypeError, mirabex.Hl7Json, MESSAGE, nope=True)
    expect(TypeError, mirabex.Hl7Json, MESSAGE, None, None, None, None)
    expect(UnicodeEncodeError, mirabex.Hl7Json, "\ud800")
    expect(TypeError, mirabex.Hl7Json, MESSAGE, NumpyLikeBool)  # a class, not a bool
    expect(TypeError, message.validate, None)
    expect(TypeError, setattr, message, "escaping_enabled", 1)
    expect(AttributeError, delattr, message, "escaping_enabled")
    expect(Exception, mirabex.Hl7Json(MESSAGE + "P-1|1").validate, True, True)
    expect(Exception, mirabex.Hl7Json("PID|1", validation_enabled=True)._convert_hl7_to_json)
    expect(Exception, mirabex.Hl7Json.from_file, os.path.join(folder, "missing"))
    expect(Exception, mirabex.Hl7Json.from_file, os.path.join(folder, "latin1.hl7"))
    expect(Exception, mirabex.Hl7Json.from_file, os.path.join(folder, "blank.hl7"))
    expect(TypeError, mirabex.JsonHl7, "[]")
    expect(TypeError, mirabex.JsonHl7, {"1": "a"})
    expect(TypeError, mirabex.JsonHl7, [{"1": 1}])
    expect(TypeError, mirabex.JsonHl7, [{1: "a"}])
    expect(TypeError, mirabex.JsonHl7, [[("1", "a")]])
    expect(UnicodeEncodeError, mirabex.JsonHl7, [{"1": "\udc80"}])
    expect(Exception, mirabex.JsonHl7([{"1000000": "x"}])._convert_json_to_hl7, False)
    expect(TypeError, mirabex.JsonHl7([])._convert_json_to_hl7, 1)
    expect(Exception, mirabex.JsonHl7.from_file, os.path.join(folder, "bad.json"))
    expect(Exception, mirabex.JsonHl7.from_file, os.path.join(folder, "missing.json"))


def threads():
    shared = mirabex.Hl7Json(MESSAGE * 50)

    def work():
        for _ in range(3):
            shared.hl7_json
            try:
                shared.escaping_enabled = True
            except RuntimeError:
                pass

    workers = [threading.Thread(target=work) for _ in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()


def write_files(folder):
    with open(os.path.join(folder, "message.hl7"), "w", newline="") as f:
        f.write(MESSAGE)
    with open(os.path.join(folder, "latin1.hl7"), "wb") as f:
        f.write(b"MSH|M\xfcller")
    with open(os.path.join(folder, "blank.hl7"), "w") as f:
        f.write(" \r\n\t")
    with open(os.path.join(folder, "records.json"), "w") as f:
        f.write('[{"segment_name": "PID", "3[1].2": "x y", "1": "1"}, {}]')
    with open(os.path.join(folder, "bad.json"), "w") as f:
        f.write('[{"1": 5}]')


def one_round(folder):
    for _ in range(20):
        successes(folder)
        failures(folder)
    threads()


def reference_change(work):
    gc.collect()
    before = sys.gettotalrefcount()
    work()
    gc.collect()
    return sys.gettotalrefcount() - before


def check_flat(name, prepare, one_round, label=""):
    """Runs one_round(folder) after warm-up rounds, folder made by prepare,
    and exits with an error unless the total reference count stays flat."""
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit(f"{name} needs a debug interpreter (python3.15d)")
    warmups, rounds = 3, 6
    # Measuring itself moves the count (the "before" integer is alive): the
    # change seen around doing nothing is the zero to compare with.
    baseline = reference_change(lambda: None)
    deltas = []
    with tempfile.TemporaryDirectory() as folder:
        prepare(folder)
        for index in range(warmups + rounds):
            delta = reference_change(lambda: one_round(folder)) - baseline
            if index >= warmups:
                deltas.append(delta)
    print(f"{label}total reference count change per round after {warmups} warm-up rounds: {deltas}")
    if any(deltas):
        sys.exit("reference count is not flat: a leak (or a release too many)")
    print("no reference leaks")


def main():
    check_flat("refleak.py", write_files, one_round)


if __name__ == "__main__":
    main()
