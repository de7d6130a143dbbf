"""A first look at mirabex: HL7 v2 messages to records, validation, and back.

    scripts/demo.sh        # sets everything up, then runs this file
"""
import json
import pathlib
import textwrap

import mirabex

MESSAGES = pathlib.Path(__file__).resolve().parent / "messages"


def heading(text):
    print(f"\n{text}\n{'=' * len(text)}")


def show_record(record):
    name = record["segment_name"] or "(empty line)"
    filled = {key: value for key, value in record.items() if value and key != "segment_name"}
    print(f"  {name}: {len(record) - 1} positions, {len(filled)} filled")
    print(textwrap.indent(textwrap.fill(json.dumps(filled, ensure_ascii=False), 96), "      "))


def show_conversion(path):
    message = mirabex.Hl7Json.from_file(str(path))
    records = message.hl7_json
    heading(f"{path.name}: {len(records)} records")
    for record in records:
        show_record(record)


def show_validation(path):
    message = mirabex.Hl7Json.from_file(str(path))
    for strict in (False, True):
        mode = "strict " if strict else "lenient"
        try:
            message.validate(strict, False)
            print(f"  {path.name} ({mode}): valid")
        except Exception as error:  # mirabex reports HL7 problems as Exception
            print(f"  {path.name} ({mode}): {error}")


def show_round_trip(path):
    original = mirabex.Hl7Json.from_file(str(path))
    raw_records = mirabex.Hl7Json.from_file(str(path), escaping_enabled=False).hl7_json
    rebuilt_raw = mirabex.JsonHl7(raw_records).hl7_string_unescaped
    rebuilt = mirabex.JsonHl7(original.hl7_json).hl7_string
    same_text = rebuilt_raw == original.hl7_string
    same_records = mirabex.Hl7Json(rebuilt).hl7_json == original.hl7_json
    print(f"  {path.name}: raw records -> same text: {same_text}; "
          f"unescaped records -> escaped text -> same records: {same_records}")


def main():
    paths = sorted(MESSAGES.glob("*.hl7"))
    print("mirabex turns HL7 v2 messages into lists of dicts keyed by position:")
    print("'3' is field 3, '5.2' component 2 of field 5, '11[0].1' component 1 of the")
    print("first repetition of field 11 (repetitions count from 0).")
    show_conversion(paths[0])

    heading("A header record in full (escaping on: MSH-2 is split at '^')")
    header = mirabex.Hl7Json.from_file(str(paths[0])).hl7_json[0]
    print(textwrap.indent(json.dumps(header, indent=2, ensure_ascii=False), "  "))

    heading("Validation (lenient, then strict)")
    for path in paths:
        show_validation(path)

    heading("Round trip: HL7 -> records -> HL7")
    for path in paths:
        show_round_trip(path)


if __name__ == "__main__":
    main()
