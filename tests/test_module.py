import os
import pickle
import shutil
import subprocess
import sys
import textwrap

import pytest

import hexpickle.text.hex
from hexpickle.text import hex as codec

MODULE_ATTRIBUTES = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]


def run_python(code, **env):
    """Runs code in a fresh interpreter; returns its stdout, failing on a non-zero exit."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env={**os.environ, **env},
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_attributes_are_exactly_the_functions_and_pickle_errors():
    assert hexpickle.text.hex is codec
    assert codec.__name__ == "hexpickle.text.hex"
    assert codec.__doc__ is None
    assert list(vars(codec)) == [*MODULE_ATTRIBUTES, "encode", "decode", "valid", "PickleErrors"]


def test_pickle_errors():
    errors = codec.PickleErrors
    assert type(errors) is tuple
    assert errors == (
        ValueError,
        TypeError,
        AttributeError,
        EOFError,
        IndexError,
        KeyError,
        pickle.UnpicklingError,
    )
    assert errors[6] is pickle.UnpicklingError


@pytest.mark.parametrize(
    ("function", "doc"),
    [
        (codec.encode, "encode(value: object) -> str\n\nConvert any pickleable object into a string\n"),
        (
            codec.decode,
            "decode(value: str) -> object\n\nConvert hexadecimal string back into original value\n",
        ),
        (codec.valid, "valid(string: str) -> bool\n\nCheck if string is a valid hexadecimal dump layout\n"),
    ],
)
def test_help_texts(function, doc):
    assert function.__doc__ == doc


SIGNATURES = {
    "encode": "(value: object) -> str",
    "decode": "(value: str) -> object",
    "valid": "(string: str) -> bool",
}


@pytest.mark.parametrize(
    ("name", "args", "kwargs", "invoked"),
    [
        ("encode", (), {}, ""),
        ("encode", (1, 2), {}, "1, 2"),
        ("encode", (1,), {"value": 2}, "1; kwargs: value=2"),
        ("encode", (), {"obj": 1}, "kwargs: obj=1"),
        ("decode", (), {}, ""),
        ("decode", (None,), {}, "None"),
        ("decode", (12,), {}, "12"),
        ("decode", ("\ud800",), {}, "'\\ud800'"),
        ("decode", (memoryview(b"00"),), {}, None),
        ("decode", ("00",), {"string": "00"}, "'00'; kwargs: string='00'"),
        ("valid", (), {}, ""),
        ("valid", ("a", "b"), {}, "'a', 'b'"),
        ("valid", (), {"value": "00"}, "kwargs: value='00'"),
        ("valid", (["00"],), {}, "['00']"),
        ("valid", ("0\udfff",), {}, "'0\\udfff'"),
    ],
)
def test_arguments_that_match_no_signature(name, args, kwargs, invoked):
    with pytest.raises(TypeError) as excinfo:
        getattr(codec, name)(*args, **kwargs)
    if invoked is None:
        invoked = ", ".join(map(repr, args))
    assert str(excinfo.value) == (
        f"{name}(): incompatible function arguments. The following argument types are supported:\n"
        f"    1. {SIGNATURES[name]}\n\nInvoked with: {invoked}"
    )


def test_import_needs_neither_dill_nor_imports_it():
    out = run_python(
        """
        import sys
        sys.modules["dill"] = None
        from hexpickle.text import hex
        print("dill" in sys.modules and sys.modules["dill"] is not None, hex.valid("00"))
        try:
            hex.encode(1)
        except ModuleNotFoundError:
            print("encode needs dill")
        """
    )
    assert out.split("\n")[:2] == ["False True", "encode needs dill"]


def test_import_without_pickle_fails_and_a_later_import_succeeds():
    out = run_python(
        """
        import sys
        sys.modules["pickle"] = None
        try:
            import hexpickle.text.hex
        except ImportError as error:
            cause = error.__cause__
            print(type(error).__name__, error, type(cause).__name__, error.__context__ is cause)
        del sys.modules["pickle"]
        import hexpickle.text.hex as hex
        print(sorted(n for n in vars(hex) if not n.startswith("_")), len(hex.PickleErrors))
        """
    )
    assert out.splitlines() == [
        "ImportError initialization failed ModuleNotFoundError True",
        "['PickleErrors', 'decode', 'encode', 'valid'] 7",
    ]


def test_import_with_a_pickle_lacking_unpickling_error_fails():
    out = run_python(
        """
        import sys, types
        sys.modules["pickle"] = types.ModuleType("pickle")
        try:
            import hexpickle.text.hex
        except ImportError as error:
            print(error, "|", type(error.__cause__).__name__)
        """
    )
    assert out.strip() == "initialization failed | AttributeError"


def test_import_again_gives_the_same_module():
    out = run_python(
        """
        import sys
        import hexpickle.text.hex as first
        first.marker = 1
        encode, errors = first.encode, first.PickleErrors
        del sys.modules["hexpickle.text.hex"]
        import hexpickle.text.hex as second
        print(second is first, second.marker, second.encode is encode, second.PickleErrors is errors)
        """
    )
    assert out.strip() == "True 1 True True"


def test_sub_interpreters_are_refused():
    out = run_python(
        """
        import _interpreters
        interp = _interpreters.create()
        failure = _interpreters.run_string(interp, "import hexpickle.text.hex")
        print(failure.type.__name__, "|", failure.msg)
        _interpreters.destroy(interp)
        """
    )
    assert (
        out.strip() == "ImportError | module hexpickle.text.hex does not support loading in subinterpreters"
    )


@pytest.fixture(scope="module")
def fake_version_library(tmp_path_factory):
    """A library that, preloaded, replaces the interpreter's Py_GetVersion by $FAKE_PY_VERSION."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("needs a C compiler")
    folder = tmp_path_factory.mktemp("fake_version")
    source = folder / "fake_version.c"
    source.write_text(
        '#include <stdlib.h>\nconst char *Py_GetVersion(void) { return getenv("FAKE_PY_VERSION"); }\n'
    )
    library = folder / "fake_version.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    return library


@pytest.mark.parametrize(
    ("version", "accepted"),
    [
        ("3.13.0 (main, Oct  1 2024) [GCC 12.2.0]", True),
        ("3.13", True),
        ("3.12.7 (main)", False),
        ("3.1.0", False),
        ("3.130.0", False),
    ],
)
def test_version_gate(fake_version_library, version, accepted):
    out = run_python(
        """
        import ctypes
        ctypes.pythonapi.Py_GetVersion.restype = ctypes.c_char_p
        print(ctypes.pythonapi.Py_GetVersion().decode())
        try:
            import hexpickle.text.hex
            print("imported")
        except ImportError as error:
            print(error, error.__cause__)
        """,
        # After any library already preloaded (the sanitizer runtime must stay first).
        LD_PRELOAD=f"{os.environ.get('LD_PRELOAD', '')} {fake_version_library}".strip(),
        FAKE_PY_VERSION=version,
    )
    seen, outcome = out.rstrip("\n").split("\n")
    if seen != version:
        pytest.skip("this interpreter does not let a preloaded library replace Py_GetVersion")
    if accepted:
        assert outcome == "imported"
    else:
        assert outcome == (
            "Python version mismatch: module was compiled for Python 3.13, "
            f"but the interpreter version is incompatible: {version}. None"
        )
