"""Any object that dill can pickle, as lower-case hex text, and back.

The codec lives in the extension module :mod:`hexpickle.text.hex`.
"""
