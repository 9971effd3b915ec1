"""The type stub describes the module as it is at run time.

pybind11 functions carry no inspectable signature, so mypy's stubtest sees names only; this test
compares the stub's parameter names and docstrings with the module's help texts.
"""

import ast
import importlib.resources

from hexpickle.text import hex as codec


def test_stub_matches_the_help_texts():
    stub = ast.parse(importlib.resources.files("hexpickle.text").joinpath("hex.pyi").read_text())
    functions = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    assert list(functions) == ["encode", "decode", "valid"]
    for name, node in functions.items():
        signature, _, docstring = getattr(codec, name).__doc__.splitlines()
        parameters = [arg.arg for arg in node.args.args]
        assert signature.startswith(f"{name}({parameters[0]}: ")
        assert len(parameters) == 1
        assert ast.get_docstring(node) == docstring
    assert importlib.resources.files("hexpickle").joinpath("py.typed").is_file()
