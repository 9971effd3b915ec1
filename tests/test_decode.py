import random
import string
import sys
import types
from unittest import mock

import pytest
from hypothesis import given
from hypothesis import strategies as st

from hexpickle.text import hex as codec

ODD = "Hex string must have an even length"
INVALID = "String contains invalid hexadecimal characters"


class Text(str):
    pass


class Data(bytes):
    pass


def as_types(text):
    """The same text as each type decode accepts."""
    raw = text.encode()
    return [text, Text(text), raw, Data(raw), bytearray(raw)]


def test_loads_gets_exactly_the_bytes_of_the_text(fake_dill):
    received = []
    fake_dill.loads = lambda *args, **kwargs: received.append((args, kwargs)) or "result"
    assert codec.decode("00ff7F80") == "result"
    assert codec.decode(value="") == "result"
    assert received == [((b"\x00\xff\x7f\x80",), {}), ((b"",), {})]
    assert all(type(args[0]) is bytes for args, _ in received)


def test_every_length_matches_bytes_fromhex(fake_dill):
    rng = random.Random(2)
    for size in range(300):
        data = rng.randbytes(size)
        for text in (data.hex(), data.hex().upper(), "".join(rng.choice([c.upper(), c]) for c in data.hex())):
            assert codec.decode(text) == data


@pytest.mark.parametrize("argument", as_types("0a1B2c"), ids=lambda a: type(a).__name__)
def test_str_bytes_bytearray_and_subclasses_decode_alike(fake_dill, argument):
    assert codec.decode(argument) == b"\x0a\x1b\x2c"


@pytest.mark.parametrize("text", ["0", "abc", "xyz", "g", "0x1", "é0", "\x00", "00 "])
def test_odd_length_is_refused_before_the_characters_are_looked_at(fake_dill, text):
    for argument in as_types(text):
        with pytest.raises(ValueError) as excinfo:
            codec.decode(argument)
        assert str(excinfo.value) == ODD


def test_every_byte_value_in_the_first_and_the_last_pair(fake_dill):
    # A text of even length decodes exactly when all its bytes are in string.hexdigits.
    for value in range(256):
        char = bytes([value])
        for raw in (char + b"a0000", b"0000" + char + b"F", b"00" * 40 + b"0" + char):
            if chr(value) in string.hexdigits:
                assert codec.decode(raw) == bytes.fromhex(raw.decode())
                assert codec.decode(bytearray(raw)) == bytes.fromhex(raw.decode())
            else:
                for argument in (raw, bytearray(raw)):
                    with pytest.raises(ValueError) as excinfo:
                        codec.decode(argument)
                    assert str(excinfo.value) == INVALID


@pytest.mark.parametrize(
    "text",
    ["0x00", " 00 ", "+1", "-1", "aa:b", "0g", "G0", "\n0", "00\x00\x00", "é", "٠١", "ＡＢ", "\u20ac0"],
)
def test_anything_but_hex_digits_is_refused(fake_dill, text):
    assert len(text.encode()) % 2 == 0
    with pytest.raises(ValueError) as excinfo:
        codec.decode(text)
    assert str(excinfo.value) == INVALID


def test_length_counts_utf8_bytes(fake_dill):
    with pytest.raises(ValueError, match=INVALID):
        codec.decode("é")  # two bytes
    with pytest.raises(ValueError, match=ODD):
        codec.decode("é0")  # three bytes


def test_malformed_text_is_refused_without_importing_dill(no_dill):
    for text, message in [("abc", ODD), ("zz", INVALID)]:
        with pytest.raises(ValueError, match=message):
            codec.decode(text)
    for text in ["", "00"]:
        with pytest.raises(ModuleNotFoundError):
            codec.decode(text)


def test_errors_of_loads_pass_through_unchanged(fake_dill):
    error = KeyError("inside loads")

    def loads(data):
        raise error

    fake_dill.loads = loads
    with pytest.raises(KeyError) as excinfo:
        codec.decode("00")
    assert excinfo.value is error


def test_missing_loads_raises_attribute_error(fake_dill):
    del fake_dill.loads
    with pytest.raises(AttributeError, match="loads"):
        codec.decode("00")


def test_pickle_errors_catch_the_decoder_errors(fake_dill):
    for text in ["abc", "zz"]:
        with pytest.raises(codec.PickleErrors):
            codec.decode(text)


HEX_HEAVY_TEXT = st.text(
    alphabet=st.sampled_from(string.hexdigits) | st.characters(codec="utf-8"), max_size=300
)


@given(text=HEX_HEAVY_TEXT | st.binary(max_size=300).map(bytes.hex))
def test_decode_and_valid_agree_with_the_standard_library(text):
    raw = text.encode()
    if len(raw) % 2:
        expected = ODD
    elif not set(raw) <= set(string.hexdigits.encode()):
        expected = INVALID
    else:
        expected = bytes.fromhex(text)
    # Hypothesis runs many examples per test call, so the stand-in is set here, not by a fixture.
    identity = types.ModuleType("dill")
    identity.loads = lambda data: data
    with mock.patch.dict(sys.modules, {"dill": identity}):
        for argument in (text, raw, bytearray(raw)):
            assert codec.valid(argument) is (isinstance(expected, bytes) and len(raw) > 0)
            try:
                assert codec.decode(argument) == expected
            except ValueError as error:
                assert str(error) == expected
