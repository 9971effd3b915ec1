import sys
import types

import pytest


@pytest.fixture
def fake_dill(monkeypatch):
    """A stand-in dill in sys.modules whose dumps and loads hand back their argument.

    With it, encode(data) is data.hex() and decode(text) is bytes.fromhex(text); tests replace
    dumps or loads to return, raise or record what they need.
    """
    module = types.ModuleType("dill")
    module.dumps = lambda value: value
    module.loads = lambda data: data
    monkeypatch.setitem(sys.modules, "dill", module)
    return module


@pytest.fixture
def no_dill(monkeypatch):
    """dill cannot be imported: the import raises ModuleNotFoundError."""
    monkeypatch.setitem(sys.modules, "dill", None)
