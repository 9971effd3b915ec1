from typing import Any

def encode(value: object) -> str:
    """Convert any pickleable object into a string"""

def decode(value: str | bytes | bytearray) -> Any:
    """Convert hexadecimal string back into original value"""

def valid(string: str | bytes | bytearray) -> bool:
    """Check if string is a valid hexadecimal dump layout"""

PickleErrors: tuple[type[Exception], ...]
"""The exception classes to catch around decode: ValueError, TypeError, AttributeError,
EOFError, IndexError, KeyError and pickle.UnpicklingError."""
