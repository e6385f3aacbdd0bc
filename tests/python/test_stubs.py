"""The type stubs name what the compiled module has, class by class and member by member."""

import ast
import inspect
import pathlib

from daqhost import _daqhost


def public(names):
    return {n for n in names if not n.startswith("_")}


def test_stubs_name_every_class_function_and_member_of_the_module():
    stubs = ast.parse((pathlib.Path(_daqhost.__file__).parent / "_daqhost.pyi").read_text())
    stubbed = {}
    for node in stubs.body:
        if isinstance(node, ast.ClassDef):
            stubbed[node.name] = public(
                getattr(item, "name", None) or getattr(getattr(item, "target", None), "id", "_")
                for item in node.body)
        elif isinstance(node, ast.FunctionDef):
            stubbed[node.name] = set()
    compiled = {n: getattr(_daqhost, n) for n in public(dir(_daqhost)) if n != "MODULE_PORT"}
    assert set(compiled) == set(stubbed)
    for name, item in compiled.items():
        if inspect.isclass(item) and not issubclass(item, BaseException):
            assert public(item.__dict__) == stubbed[name], name
