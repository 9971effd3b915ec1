import string

import pytest

from hexpickle.text import hex as codec


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("", False),
        ("0", False),
        ("012", False),
        ("ab cd", False),
        ("00", True),
        ("ff", True),
        ("0123456789abcdef", True),
        ("AB", True),
        ("aBcD", True),
        ("0x00", False),
        ("00 0", False),
        ("00\n", False),
        ("+1", False),
        ("aa:b", False),
        ("0g", False),
        ("G0", False),
        ("00\x00\x00", False),
        ("é1", False),
        ("éé", False),
        ("٠١", False),
        ("ＡＢ", False),
    ],
)
def test_layout(text, expected):
    raw = text.encode()
    assert codec.valid(text) is expected
    assert codec.valid(string=text) is expected
    assert codec.valid(raw) is expected
    assert codec.valid(bytearray(raw)) is expected


def test_every_byte_value_against_string_hexdigits():
    digits = string.hexdigits.encode()
    for value in range(256):
        char = bytes([value])
        expected = value in digits
        for raw in (char * 2, char + b"0", b"0" + char, b"ab" * 50 + char + b"c"):
            assert codec.valid(raw) is expected, raw


def test_every_length_around_the_block_size():
    for size in range(0, 300):
        text = ("0123456789abcdefABCDEF" * 20)[:size]
        assert codec.valid(text) is (size > 0 and size % 2 == 0)
        if size >= 2 and size % 2 == 0:
            for position in (0, size // 2, size - 1):
                assert codec.valid(text[:position] + "g" + text[position + 1 :]) is False


def test_works_without_dill(no_dill):
    assert codec.valid("00") is True
    assert codec.valid("0") is False
