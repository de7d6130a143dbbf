"""How validation is wired to the object: validate() with its arguments and
fallbacks, and validation during conversion.  Which texts pass which check is
the core's business; these few texts only need to fail one way or another."""
import pytest

from mirabex import Hl7Json
from support import options, raises_hl7

PID = "PID|1||123^^^HOSP"
PID_MISSING = "Missing required segment: PID (Patient Identification)"
BAD_NAME = "Invalid segment name: Z-1 (must be 3 characters: a letter, then letters or digits)"
UNSUPPORTED = ("HL7 version not supported: 9 (supported versions: "
               "2.1, 2.2, 2.3, 2.4, 2.5, 2.5.1, 2.6, 2.7, 2.8, 2.9)")
EMPTY_NAME = "HL7 validation failed: Segment 3 has empty segment name"


def header(version="2.5"):
    return f"MSH|^~\\&|SND|FAC|RCV|FAC2|20240101||ADT^A01^ADT_A01|MSG1|P|{version}"


def check(call, expected):
    if expected is None:
        return call()
    with raises_hl7(expected):
        call()


# text, error in lenient mode (None: valid), error in strict mode when it differs
CASES = {
    "valid": (header() + "\r" + PID, None, None),
    "header-not-first": (PID + "\r" + header(), "Missing required segment: MSH (Message Header)", None),
    "bad-name": (header() + "\rZ-1|a\r" + PID, BAD_NAME, None),
    "names-with-digits": (header() + "\rPV1|1\rZX1|a\r" + PID, None, None),
    "strict-only": (header("9") + "\r" + PID, None, UNSUPPORTED),
    # One line break after the last segment ends the message; a second is an empty segment.
    "crlf-terminated": (header() + "\r" + PID + "\r\n", None, None),
    "two-trailing-crs": (header() + "\r" + PID + "\r\r", EMPTY_NAME, None),
}


@pytest.mark.parametrize("text, lenient, strict", CASES.values(), ids=CASES.keys())
def test_validate_and_conversion_agree(text, lenient, strict):
    strict = strict or lenient
    made = Hl7Json(text)
    check(lambda: made.validate(False, False), lenient)
    check(lambda: made.validate(True, False), strict)
    plain = made.hl7_json  # validation is off by default
    for strict_mode, expected in ((False, lenient), (True, strict)):
        made = Hl7Json(text, validation_enabled=True, strict_validation=strict_mode)
        records = check(lambda: made.hl7_json, expected)
        check(lambda: made._convert_hl7_to_json(), expected)
        assert expected is not None or records == plain


def test_validate_arguments_and_their_fallbacks():
    made = Hl7Json(header("9") + "\rEVN|A01", validation_enabled=True)
    check(lambda: made.validate(False, True), PID_MISSING)
    check(lambda: made.validate(None, None), PID_MISSING)  # None: PID required
    assert made.validate(None, False) is None  # None: the object's setting, lenient
    assert len(made.hl7_json) == 2  # conversion never asks for a PID segment
    made.strict_validation = True
    check(lambda: made.validate(None, False), UNSUPPORTED)
    assert made.validate(False, False) is None
    assert options(made) == (True, True, True)


@pytest.mark.parametrize("escaping", [True, False])
def test_validation_option_governs_conversion_only(escaping):
    made = Hl7Json(header() + "\rZ-1|a", validation_enabled=False, escaping_enabled=escaping)
    check(lambda: made.validate(False, False), BAD_NAME)
    plain = made.hl7_json
    made.validation_enabled = True
    check(lambda: made.hl7_json, BAD_NAME)
    made.validation_enabled = False
    assert made.hl7_json == plain
