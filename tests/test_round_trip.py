"""encode and decode with the real dill."""

import math

import pytest

from hexpickle.text import hex as codec


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y

    def __eq__(self, other):
        return (self.x, self.y) == (other.x, other.y)


VALUES = [
    None,
    42,
    -(2**100),
    3.5,
    "héllo, wörld \u20ac \U0001f600",
    b"\x00\xff" * 10,
    [1, [2, [3]]],
    {"a": 1, "b": [1, 2, 3], "c": "hello"},
    {1, 2, 3},
    (1, "x", None),
    Point(1, 2),
    bytes(range(256)) * 100,
]


@pytest.mark.parametrize("value", VALUES, ids=lambda v: type(v).__name__)
def test_decode_restores_what_encode_wrote(value):
    text = codec.encode(value)
    assert text == text.lower()
    assert len(text) % 2 == 0
    assert codec.valid(text)
    assert codec.decode(text) == value
    assert codec.decode(text.upper()) == value
    assert codec.decode(text.encode()) == value
    assert codec.encode(value) == text


def test_lambdas_local_classes_and_the_module_functions_survive():
    def make():
        class Local:
            scale = 3

        return Local

    square = codec.decode(codec.encode(lambda x: x * x))
    assert square(7) == 49
    local = codec.decode(codec.encode(make()))
    assert local.scale == 3
    assert codec.decode(codec.encode(math.sqrt)) is math.sqrt
    # The module's own functions pickle by reference.
    assert codec.decode(codec.encode(codec.valid)) is codec.valid


def test_text_that_is_not_a_pickle_fails_in_dill_with_an_error_of_pickle_errors():
    for text in ["", "00", "ff" * 8]:
        with pytest.raises(codec.PickleErrors):
            codec.decode(text)
