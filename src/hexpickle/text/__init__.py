"""Text encodings of pickled objects; :mod:`hexpickle.text.hex` is the hex one."""
