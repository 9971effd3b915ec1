import builtins
import random
import types

import pytest

from hexpickle.text import hex as codec


class Pickle(bytes):
    pass


@pytest.mark.parametrize(
    "pickle",
    [
        b"",
        b"\x00",
        b"\x00\x00abc\x00",
        bytes(range(256)),
        bytes(range(255, -1, -1)) * 3,
        Pickle(b"\x80\x7f\x00\xff"),
    ],
    ids=["empty", "zero", "zeros-inside", "all-values", "all-values-reversed", "bytes-subclass"],
)
def test_writes_each_byte_as_two_lower_case_digits(fake_dill, pickle):
    text = codec.encode(pickle)
    assert type(text) is str
    assert text == bytes(pickle).hex()


def test_format_examples(fake_dill):
    assert codec.encode(bytes([0, 10, 127, 128, 255])) == "000a7f80ff"
    text = codec.encode(bytes(range(256)))
    assert len(text) == 512
    assert text.startswith("000102")
    assert text.endswith("fdfeff")


def test_every_length_matches_bytes_hex(fake_dill):
    rng = random.Random(1)
    for size in range(300):
        data = rng.randbytes(size)
        assert codec.encode(data) == data.hex()


@pytest.mark.parametrize(
    ("result", "type_name"),
    [(bytearray(b"ab"), "bytearray"), ("ab", "str"), (None, "NoneType"), (memoryview(b"ab"), "memoryview")],
)
def test_dumps_result_that_is_not_bytes_is_refused(fake_dill, result, type_name):
    fake_dill.dumps = lambda value: result
    with pytest.raises(TypeError) as excinfo:
        codec.encode(1)
    assert str(excinfo.value) == f"Object of type '{type_name}' is not an instance of 'bytes'"


def test_dumps_receives_the_value_itself(fake_dill):
    seen = []
    fake_dill.dumps = lambda *args, **kwargs: seen.append((args, kwargs)) or b"\x01"
    value = object()
    assert codec.encode(value) == "01"
    assert codec.encode(value=None) == "01"
    assert seen == [((value,), {}), ((None,), {})]


def test_errors_of_dumps_pass_through_unchanged(fake_dill):
    error = RuntimeError("cannot pickle this")

    def dumps(value):
        raise error

    fake_dill.dumps = dumps
    with pytest.raises(RuntimeError) as excinfo:
        codec.encode(1)
    assert excinfo.value is error


def test_missing_dumps_raises_attribute_error(fake_dill):
    del fake_dill.dumps
    with pytest.raises(AttributeError, match="dumps"):
        codec.encode(1)


def test_dill_is_looked_up_at_every_call(fake_dill, monkeypatch):
    assert codec.encode(b"\x01") == "01"
    fake_dill.dumps = lambda value: b"\x02"
    assert codec.encode(b"\x01") == "02"

    # The import goes through builtins.__import__, so a replaced one sees every call.
    imported = []
    real_import = builtins.__import__

    def spy(name, *args, **kwargs):
        imported.append(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", spy)
    codec.encode(b"")
    codec.encode(b"")
    assert imported == ["dill", "dill"]


def test_without_dill_every_call_raises_the_import_error(no_dill):
    for _ in range(2):
        with pytest.raises(ModuleNotFoundError):
            codec.encode(1)


def test_errors_of_real_dill_pass_through():
    import dill

    class Unpicklable:
        def __reduce__(self):
            raise dill.PicklingError("no")

    with pytest.raises(dill.PicklingError, match="no"):
        codec.encode(Unpicklable())


def test_dill_is_imported_through_the_callers_builtins(fake_dill):
    # As a Python import statement does: __import__ comes from the __builtins__ of the calling
    # code's globals, whether that is a dict or a module, and is called for an absolute import.
    calls = []

    def spy(name, globals=None, locals=None, fromlist=(), level=0):
        calls.append((name, fromlist, level))
        return builtins.__import__(name, globals, locals, fromlist, level)

    as_dict = {"__import__": spy}
    as_module = types.SimpleNamespace(__import__=spy)
    for custom in (as_dict, as_module):
        exec("codec.encode(b'')", {"__builtins__": custom, "codec": codec})
    assert calls == [("dill", [], 0), ("dill", [], 0)]


@pytest.mark.parametrize(
    ("code", "custom_builtins", "error"),
    [
        ("del __builtins__; codec.encode(b'')", None, KeyError),
        ("codec.encode(b'')", {}, KeyError),
        ("codec.encode(b'')", types.SimpleNamespace(), AttributeError),
    ],
    ids=["no-builtins", "dict-without-import", "module-without-import"],
)
def test_builtins_without_import_raise_what_an_import_statement_would(
    fake_dill, code, custom_builtins, error
):
    namespace = {"codec": codec}
    if custom_builtins is not None:
        namespace["__builtins__"] = custom_builtins
    with pytest.raises(error, match=r"__builtins__|__import__"):
        exec(code, namespace)
