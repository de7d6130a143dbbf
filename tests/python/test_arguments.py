"""Argument binding and conversion at the call boundary: exact error texts,
the notes that name the offending parameter, and what is accepted."""
import pytest

from mirabex import Hl7Json, JsonHl7
from support import MESSAGE, OPTIONS, options, raises_exactly, raises_hl7

NOWHERE = "/nonexistent/mirabex/message.hl7"
NEW, VALIDATE = "Hl7Json.__new__()", "Hl7Json.validate()"


def obj():
    return Hl7Json(MESSAGE)


BINDING_ERRORS = [
    (lambda: Hl7Json(validation_enabled=True), f"{NEW} missing 1 required positional argument: 'hl7_string'"),
    # Counting happens before any value is converted or any keyword is read.
    (lambda: Hl7Json(1, 2, 3, 4, 5, bogus=1), f"{NEW} takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: Hl7Json(MESSAGE, **{"escaping_enabled\u00e9": True}),
     f"{NEW} got an unexpected keyword argument 'escaping_enabled\u00e9'"),
    # Keywords are examined in the order given; the first problem wins, and
    # keyword problems are found before missing arguments and conversions.
    (lambda: Hl7Json(MESSAGE, bogus=1, hl7_string=MESSAGE), f"{NEW} got an unexpected keyword argument 'bogus'"),
    (lambda: Hl7Json(MESSAGE, hl7_string=MESSAGE, bogus=1),
     f"{NEW} got multiple values for argument 'hl7_string'"),
    (lambda: Hl7Json(bogus=1), f"{NEW} got an unexpected keyword argument 'bogus'"),
    (lambda: Hl7Json(hl7_string=1, bogus=1), f"{NEW} got an unexpected keyword argument 'bogus'"),
    (lambda: obj().validate(),
     f"{VALIDATE} missing 2 required positional arguments: 'strict_mode' and 'validate_required_fields'"),
    (lambda: obj().validate(validate_required_fields=None),
     f"{VALIDATE} missing 1 required positional argument: 'strict_mode'"),
    (lambda: obj().validate(None, None, None), f"{VALIDATE} takes 2 positional arguments but 3 were given"),
    (lambda: obj()._convert_hl7_to_json(1), "Hl7Json._convert_hl7_to_json() takes no arguments (1 given)"),
    (lambda: obj()._convert_hl7_to_json(x=1), "Hl7Json._convert_hl7_to_json() takes no keyword arguments"),
    # Binding fails before the file is looked at.
    (lambda: Hl7Json.from_file(path=NOWHERE, mode="r"),
     "Hl7Json.from_file() got an unexpected keyword argument 'mode'"),
    (lambda: JsonHl7(), "JsonHl7.__new__() missing 1 required positional argument: 'json_data'"),
    (lambda: JsonHl7([], json_data=[]), "JsonHl7.__new__() got multiple values for argument 'json_data'"),
    (lambda: JsonHl7.from_file("a", "b"), "JsonHl7.from_file() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("call, text", BINDING_ERRORS, ids=range(len(BINDING_ERRORS)))
def test_binding_errors(call, text):
    with raises_exactly(TypeError, text):
        call()


# --- text parameters -------------------------------------------------------

class Outer:
    class Inner:
        pass


TEXT_TARGETS = [
    pytest.param(lambda v: Hl7Json(hl7_string=v, escaping_enabled=False), "hl7_string", id="new"),
    pytest.param(lambda v: Hl7Json.from_file(v), "path", id="from_file"),
    pytest.param(lambda v: obj()._split_hl7_seg_to_json(v), "seg", id="split"),
    pytest.param(lambda v: obj()._split_hl7_seg_to_json_with_escaping(seg=v), "seg", id="split-esc"),
]
NOT_TEXT = [(1, "'int' object"), (None, "'None'"), (b"MSH|", "'bytes' object"),
            (Outer.Inner(), "'Outer.Inner' object")]


@pytest.mark.parametrize("value, text", NOT_TEXT, ids=["int", "None", "bytes", "qualified-name"])
@pytest.mark.parametrize("call, param", TEXT_TARGETS)
def test_text_parameter_refuses_non_str(call, param, value, text):
    with raises_exactly(TypeError, f"{text} is not an instance of 'str'", f"while processing '{param}'"):
        call(value)


@pytest.mark.parametrize("call, param", TEXT_TARGETS)
def test_text_with_lone_surrogate_raises_encoding_error(call, param):
    with pytest.raises(UnicodeEncodeError) as info:
        call("MSH|\ud800|x")
    assert type(info.value) is UnicodeEncodeError
    assert info.value.__notes__ == [f"while processing '{param}'"]


class Text(str):
    def __str__(self):
        return "not this"

    def encode(self, *args, **kwargs):
        raise AssertionError("the module must read the text itself")


def test_str_subclass_is_taken_by_its_text():
    made = Hl7Json(Text(MESSAGE))
    assert type(made.hl7_string) is str
    assert made.hl7_string == MESSAGE.replace("\r", "\n")
    assert made.hl7_json == Hl7Json(MESSAGE).hl7_json
    assert obj()._split_hl7_seg_to_json(Text("ZZZ|a")) == {"1": "a", "segment_name": "ZZZ"}


# --- boolean parameters ----------------------------------------------------

def fake_numpy(name, module="numpy", **body):
    """A class that looks like numpy's bool scalar type to the module."""
    return type(name, (), {"__module__": module, "__qualname__": name, **body})


def _raise(exc):
    raise exc


NumpyTrue = fake_numpy("bool_", __bool__=lambda self: True)
NumpyFalse = fake_numpy("bool", __bool__=lambda self: False)
NumpyBoom = fake_numpy("bool_", __bool__=lambda self: _raise(ValueError("no truth")))

BOOL_TARGETS = [
    pytest.param(lambda v: Hl7Json(MESSAGE, v), "validation_enabled", id="new-validation"),
    pytest.param(lambda v: Hl7Json(MESSAGE, strict_validation=v), "strict_validation", id="new-strict"),
    pytest.param(lambda v: Hl7Json(MESSAGE, None, None, v), "escaping_enabled", id="new-escaping"),
    # Arguments are converted before the (missing) file is read.
    pytest.param(lambda v: Hl7Json.from_file(NOWHERE, escaping_enabled=v), "escaping_enabled", id="from-file"),
    pytest.param(lambda v: obj().validate(v, False), "strict_mode", id="validate-strict"),
    pytest.param(lambda v: obj().validate(None, validate_required_fields=v), "validate_required_fields",
                 id="validate-required"),
    *[pytest.param(lambda v, n=n: setattr(obj(), n, v), n, id=f"set-{n}") for n in OPTIONS],
    pytest.param(lambda v: JsonHl7([])._convert_json_to_hl7(v), "escape", id="json-escape"),
]
NOT_BOOL = [
    (1, "'int' object is not an instance of 'bool'"),
    ("true", "'str' object is not an instance of 'bool'"),
    (fake_numpy("int8", __bool__=lambda self: True)(), "'int8' object is not an instance of 'bool'"),
    (fake_numpy("bool_", module="numpy.core", __bool__=lambda self: True)(),
     "'bool_' object is not an instance of 'bool'"),
    (fake_numpy("bool_")(), "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
]


@pytest.mark.parametrize("value, text", NOT_BOOL, ids=["int", "str", "numpy-int8", "not-numpy", "numpy-no-bool"])
@pytest.mark.parametrize("call, param", BOOL_TARGETS)
def test_boolean_parameter_refuses_non_bool(call, param, value, text):
    with raises_exactly(TypeError, text, f"while processing '{param}'"):
        call(value)


@pytest.mark.parametrize("call, param", BOOL_TARGETS)
def test_error_from_numpy_bool_conversion_propagates_with_note(call, param):
    with raises_exactly(ValueError, "no truth", f"while processing '{param}'"):
        call(NumpyBoom())


def test_note_is_dropped_when_add_note_fails():
    class NoNotes(Exception):
        def add_note(self, note):
            raise RuntimeError("refusing notes")

    refusing = fake_numpy("bool_", __bool__=lambda self: _raise(NoNotes("kept")))
    with pytest.raises(NoNotes) as info:
        Hl7Json(MESSAGE, refusing())
    assert info.value.args == ("kept",)
    assert not hasattr(info.value, "__notes__")


def test_conversions_run_in_parameter_order():
    with raises_exactly(TypeError, "'int' object is not an instance of 'str'", "while processing 'hl7_string'"):
        Hl7Json(1, 2)
    with raises_exactly(TypeError, "'int' object is not an instance of 'bool'",
                        "while processing 'validation_enabled'"):
        Hl7Json(MESSAGE, escaping_enabled=1, validation_enabled=2)


def test_numpy_like_bools_are_accepted_by_truth_value():
    made = Hl7Json(MESSAGE, NumpyTrue(), NumpyFalse(), NumpyFalse())
    assert options(made) == (True, False, False)
    made.strict_validation = NumpyTrue()
    made.validation_enabled = NumpyFalse()
    assert options(made) == (False, True, False)
    assert all(type(v) is bool for v in options(made))
    # The sample header carries a two-part message type, which only strict mode rejects.
    assert made.validate(NumpyFalse(), NumpyTrue()) is None
    with raises_hl7("HL7 validation failed: Message type (field 8) must have at least 3 components: "
                    "event^structure^version"):
        made.validate(NumpyTrue(), NumpyFalse())
