"""Differential fuzzer of encode, decode and valid against the standard library.

With a stand-in dill whose dumps and loads return their argument, encode(b) must equal b.hex(),
and decode(x) must return bytes.fromhex of the text or raise the ValueError that the layout
predicts (odd length first, then any byte outside string.hexdigits); valid(x) must say whether
the text is non-empty, of even length and all hex digits. Each input is tried as str, bytes and
bytearray.

usage: python fuzz/fuzz_hex.py [libFuzzer options] [corpus directories]
"""

import string
import sys
import types

import atheris

stand_in = types.ModuleType("dill")
stand_in.dumps = lambda value: value
stand_in.loads = lambda data: data
sys.modules["dill"] = stand_in

from hexpickle.text import hex  # noqa: E402 - after the stand-in, like a user who swaps dill

HEX_DIGITS = frozenset(string.hexdigits.encode())
ODD = "Hex string must have an even length"
INVALID = "String contains invalid hexadecimal characters"


def expected_decode(raw):
    """What decode must give for text whose UTF-8 form (or bytes) is raw."""
    if len(raw) % 2:
        return ValueError(ODD)
    if not HEX_DIGITS.issuperset(raw):
        return ValueError(INVALID)
    return bytes.fromhex(raw.decode("ascii"))


def shown(argument):
    """A failing argument, short enough for a report."""
    return f"{type(argument).__name__} of length {len(argument)}: {argument[:40]!r}..{argument[-40:]!r}"


def check(argument, raw):
    expected = expected_decode(raw)
    try:
        result = hex.decode(argument)
    except ValueError as error:
        assert str(error) == str(expected), f"decode raised {error!r} for {shown(argument)}"
    else:
        assert result == expected, f"decode gave a wrong result for {shown(argument)}"
    is_valid = len(raw) > 0 and not isinstance(expected, ValueError)
    assert hex.valid(argument) is is_valid, f"valid is not {is_valid} for {shown(argument)}"


def test_one_input(data):
    provider = atheris.FuzzedDataProvider(data)
    shape = provider.ConsumeIntInRange(0, 3)
    if shape == 0:
        # Text of valid layout, from a few bytes up to tens of KiB (a short input repeated, so
        # that every vector loop and tail is reached), often with one byte changed anywhere.
        payload = provider.ConsumeBytes(provider.ConsumeIntInRange(0, 300))
        raw = bytearray(payload.hex().encode() * provider.ConsumeIntInRange(1, 128))
        if raw and provider.ConsumeBool():
            raw[provider.ConsumeIntInRange(0, len(raw) - 1)] = provider.ConsumeIntInRange(0, 255)
        if provider.ConsumeBool():
            raw = raw.upper()
        raw = bytes(raw)
    elif shape == 1:
        raw = provider.ConsumeBytes(provider.ConsumeIntInRange(0, 2000))
    else:
        text = provider.ConsumeUnicode(provider.ConsumeIntInRange(0, 300))
        try:
            raw = text.encode()
        except UnicodeEncodeError:  # a lone surrogate has no UTF-8 form: refused as an argument
            for function in (hex.decode, hex.valid):
                try:
                    function(text)
                except TypeError:
                    continue
                raise AssertionError(f"{function.__name__} accepted {shown(text)}") from None
            return
        check(text, raw)
    check(raw, raw)
    check(bytearray(raw), raw)
    assert hex.encode(raw) == raw.hex(), f"encode gave a wrong result for {shown(raw)}"


if __name__ == "__main__":
    # The harness's own branches (shape of input, outcome predicted) guide the search; the
    # compiled module is not instrumented.
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
