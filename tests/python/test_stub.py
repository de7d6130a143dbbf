"""The type stub beside the module: what stubtest cannot see, namely which
properties can be assigned, and that every member says what it does."""
import ast
from pathlib import Path

import pytest

import mirabex

STUB = ast.parse((Path(__file__).resolve().parents[2] / "python" / "mirabex.pyi").read_text())
CLASSES = {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}


def members(cls):
    return [node for node in CLASSES[cls].body if isinstance(node, ast.FunctionDef)]


def decorators(node):
    return {ast.unparse(decorator) for decorator in node.decorator_list}


def stub_properties(cls):
    """Each property's name, and whether the stub gives it a setter."""
    nodes = members(cls)
    setters = {node.name for node in nodes if f"{node.name}.setter" in decorators(node)}
    return {node.name: node.name in setters for node in nodes if "property" in decorators(node)}


INSTANCES = {"Hl7Json": mirabex.Hl7Json("MSH|x"), "JsonHl7": mirabex.JsonHl7([])}


@pytest.mark.parametrize("cls, name, writable", [
    (cls, name, writable) for cls in CLASSES for name, writable in stub_properties(cls).items()])
def test_property_assignment_matches_the_module(cls, name, writable):
    instance = INSTANCES[cls]
    value = getattr(instance, name)
    if writable:
        setattr(instance, name, value)
    else:
        with pytest.raises(AttributeError):
            setattr(instance, name, value)


def test_every_member_has_a_docstring():
    undocumented = [f"{cls}.{node.name}" for cls in CLASSES for node in [CLASSES[cls], *members(cls)]
                    if ast.get_docstring(node) is None and not any(
                        d.endswith(".setter") for d in decorators(node))]
    assert undocumented == []
    assert set(CLASSES) == set(mirabex.__all__)
