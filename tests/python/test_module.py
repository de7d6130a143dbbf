"""The module object, its two classes and what the interpreter derives from them."""
import gc
import inspect
import os
import subprocess
import sys
import textwrap
import types
import weakref

import pytest

import mirabex
from mirabex import Hl7Json, JsonHl7
from support import MESSAGE


def test_module_publishes_the_two_classes():
    assert type(mirabex.__all__) is list and mirabex.__all__ == ["Hl7Json", "JsonHl7"]
    assert sorted(n for n in vars(mirabex) if not n.startswith("__")) == ["Hl7Json", "JsonHl7"]
    for cls in (Hl7Json, JsonHl7):
        assert isinstance(cls, type) and cls.__mro__ == (cls, object)
        assert cls.__module__ == "builtins" and cls.__doc__ in (None, "")  # only a text signature
        with pytest.raises(TypeError):
            type("Derived", (cls,), {})
    assert Hl7Json.__name__ == Hl7Json.__qualname__ == "Hl7Json"


GETSET, METHOD = types.GetSetDescriptorType, types.MethodDescriptorType
CLASSMETHOD = types.ClassMethodDescriptorType
OPTIONAL = "validation_enabled=None, strict_validation=None, escaping_enabled=None"
SAMPLE_ARGS = {Hl7Json: ("",), JsonHl7: ([],)}
# class, member, its kind, its raw text signature (None: a property)
MEMBERS = [(Hl7Json, n, GETSET, None)
           for n in ("hl7_string", "validation_enabled", "strict_validation", "escaping_enabled", "hl7_json")] + [
    (Hl7Json, "from_file", CLASSMETHOD, f"($cls, path, {OPTIONAL})"),
    (Hl7Json, "_split_hl7_seg_to_json", METHOD, "($self, seg)"),
    (Hl7Json, "_split_hl7_seg_to_json_with_escaping", METHOD, "($self, seg)"),
    (Hl7Json, "_convert_hl7_to_json", METHOD, "($self)"),
    (Hl7Json, "validate", METHOD, "($self, strict_mode, validate_required_fields)"),
    *[(JsonHl7, n, GETSET, None) for n in ("json_data", "hl7_string", "hl7_string_unescaped")],
    (JsonHl7, "from_file", CLASSMETHOD, "($cls, path)"),
    (JsonHl7, "_convert_json_to_hl7", METHOD, "($self, escape)"),
]


@pytest.mark.parametrize("cls, name, kind, signature", MEMBERS, ids=[f"{m[0].__name__}.{m[1]}" for m in MEMBERS])
def test_members(cls, name, kind, signature):
    member = vars(cls)[name]
    assert type(member) is kind
    # Methods carry only a text signature, so the interpreter derives no doc.
    assert member.__doc__ is None
    if signature is not None:
        assert member.__text_signature__ == signature
        owner = cls if kind is CLASSMETHOD else cls(*SAMPLE_ARGS[cls])
        shown = signature.replace("$self, ", "").replace("$cls, ", "").replace("$self", "")
        assert str(inspect.signature(getattr(owner, name))) == shown


@pytest.mark.parametrize("cls, signature", [(Hl7Json, f"(hl7_string, {OPTIONAL})"), (JsonHl7, "(json_data)")])
def test_constructor_signatures(cls, signature):
    assert cls.__text_signature__ == signature and str(inspect.signature(cls)) == signature


READ_ONLY = [(Hl7Json, "hl7_string"), (Hl7Json, "hl7_json"),
             (JsonHl7, "json_data"), (JsonHl7, "hl7_string"), (JsonHl7, "hl7_string_unescaped")]


@pytest.mark.parametrize("cls, name", READ_ONLY, ids=[f"{c.__name__}.{n}" for c, n in READ_ONLY])
def test_read_only_properties_and_no_extra_attributes(cls, name):
    obj = Hl7Json(MESSAGE) if cls is Hl7Json else JsonHl7([{"1": "x y"}])
    before = getattr(obj, name)
    for change in (lambda: setattr(obj, name, before), lambda: delattr(obj, name),
                   lambda: setattr(obj, "extra", 1), lambda: obj.extra):
        with pytest.raises(AttributeError):
            change()
    assert getattr(obj, name) == before
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    # The object holds no Python references, so the collector ignores it.
    assert not gc.is_tracked(obj)


def test_reimport_reuses_class_objects():
    # Run in a child interpreter so that this process keeps its module as is.
    script = textwrap.dedent("""
        import importlib, sys
        import mirabex
        first = (mirabex.Hl7Json, mirabex.JsonHl7)
        del sys.modules["mirabex"]
        again = importlib.import_module("mirabex")
        assert (again.Hl7Json, again.JsonHl7) == first, "new class objects"
        assert again.Hl7Json is first[0] and again.JsonHl7 is first[1]
        assert again.__all__ == ["Hl7Json", "JsonHl7"], again.__all__
        reloaded = importlib.reload(again)
        assert reloaded.Hl7Json is first[0] and reloaded.JsonHl7 is first[1]
        assert again.Hl7Json("A").hl7_string == "A"
        print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env=os.environ.copy(), timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
