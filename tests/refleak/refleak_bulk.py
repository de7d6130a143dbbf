"""Reference-leak check of mirabex_bulk for a debug interpreter, as
refleak.py does for mirabex: every function on success and failure, round
after round; after warm-up rounds the total reference count must stay flat.

    scripts/refleak.sh
"""
import os

import mirabex_bulk
from refleak import check_flat, expect

MESSAGE = ("MSH|^~\\&|LAB|HOSP|EHR|HOSP|202401011200||ORU^R01^ORU_R01|42|P|2.5\r"
           "PID|1||12345^^^HOSP~67890||DOE\\S\\JOHN||19700101|M\r").encode()
BAD = b"MSH|^~\\&|A\rPID|M\xfcller\r"


def drain(iterator):
    """Every message, and every MessageError, to the end."""
    while True:
        try:
            next(iterator)
        except mirabex_bulk.MessageError:
            continue
        except StopIteration:
            return


def one_round(folder):
    capture = os.path.join(folder, "capture.hl7")
    output = os.path.join(folder, "out.jsonl")
    failures = []
    for _ in range(10):
        mirabex_bulk.convert_files([capture, capture], output, jobs=2, errors=os.devnull)
        mirabex_bulk.convert_files([capture, os.path.join(folder, "missing")], output,
                                   errors=failures.append, validation_enabled=True)
        mirabex_bulk.convert_files([capture], output, errors=os.path.join(folder, "errors.jsonl"))
        drain(mirabex_bulk.iter_records(capture))
        drain(mirabex_bulk.iter_records(capture, validation_enabled=True, escaping_enabled=False))
        expect(FileNotFoundError, mirabex_bulk.iter_records, os.path.join(folder, "missing"))
        expect(LookupError, mirabex_bulk.iter_records, capture, encoding="no-such-set")
        expect(TypeError, mirabex_bulk.convert_files, [capture], output, strict_validation=1)
        expect(ZeroDivisionError, mirabex_bulk.convert_files, [capture], output,
               errors=lambda error: 1 / 0)
        mirabex_bulk.records_json(MESSAGE.decode(), escaping_enabled=False)
        expect(Exception, mirabex_bulk.records_json, "PID|1", validation_enabled=True)
        expect(TypeError, mirabex_bulk.records_json, MESSAGE)
    failures.clear()


def write_capture(folder):
    with open(os.path.join(folder, "capture.hl7"), "wb") as file:
        file.write((MESSAGE * 50 + BAD + MESSAGE * 50) * 4)


def main():
    check_flat("refleak_bulk.py", write_capture, one_round, label="mirabex_bulk: ")


if __name__ == "__main__":
    main()
