"""Argument matching and conversion, common to all six functions: the exact
TypeError texts, and the errors of the interpreter's own conversions that
pass unchanged."""

import unittest

import _kelvane
from _kelvane import (compress, compress_file, decompress, decompress_file, detect_format,
                      info)

from support import SMALL_NDJSON


class Holder:
    class Inner:
        pass


def fake_type(name, module, **attrs):
    """A class that calls itself `name` and claims to live in `module`."""
    return type(name, (), dict(attrs, __module__=module))


NumpyTrue = fake_type("bool_", "numpy", __bool__=lambda self: True)
NumpyFalse = fake_type("bool", "numpy", __bool__=lambda self: False)
NumpyNoBool = fake_type("bool_", "numpy")
NotNumpyBool = fake_type("bool_", "numpyish", __bool__=lambda self: True)


def raising_bool(exc):
    def __bool__(self):
        raise exc
    return fake_type("bool_", "numpy", __bool__=__bool__)


class BytesSub(bytes):
    pass


class StrSub(str):
    def lower(self):  # must not be consulted by the mode parser
        return "max"


class MatchingTest(unittest.TestCase):
    CASES = [
        (compress, (), {}, "compress() missing 1 required positional argument: 'data'"),
        (compress, (b"x", "fast", "auto", None, False, 1), {},
         "compress() takes from 1 to 5 positional arguments but 6 were given"),
        (decompress, (b"x", b"y"), {},
         "decompress() takes 1 positional arguments but 2 were given"),
        (decompress_file, ("a", "b", "c"), {},
         "decompress_file() takes 2 positional arguments but 3 were given"),
        (compress_file, (), {},
         "compress_file() missing 2 required positional arguments: 'input_path' and "
         "'output_path'"),
        (compress_file, (), {"output_path": "o"},
         "compress_file() missing 1 required positional argument: 'input_path'"),
        (compress, (b"x",), {"level": 1, "speed": 2},
         "compress() got an unexpected keyword argument 'speed'"),
        (info, (), {"Data": b""}, "info() got an unexpected keyword argument 'Data'"),
        (compress, (b"x", "fast"), {"mode": "max"},
         "compress() got multiple values for argument 'mode'"),
        (detect_format, (b"",), {"data": b""},
         "detect_format() got multiple values for argument 'data'"),
        # Matching comes before any conversion.
        (compress, (bytearray(),), {"nope": 1},
         "compress() got an unexpected keyword argument 'nope'"),
        (decompress, (bytearray(), 2), {},
         "decompress() takes 1 positional arguments but 2 were given"),
    ]

    def test_matching_errors(self):
        for fn, args, kwargs, message in self.CASES:
            with self.subTest(message):
                with self.assertRaises(TypeError) as cm:
                    fn(*args, **kwargs)
                self.assertIs(type(cm.exception), TypeError)
                self.assertEqual(str(cm.exception), message)

    def test_every_parameter_by_keyword(self):
        by_position = compress(SMALL_NDJSON, "fast", "ndjson", None, True)
        by_keyword = compress(turbo=True, level=None, format="ndjson", mode="fast",
                              data=SMALL_NDJSON)
        self.assertEqual(by_position, by_keyword)
        self.assertEqual(decompress(data=by_keyword), SMALL_NDJSON)


def cannot(param, type_name, target):
    return "argument '%s': '%s' object cannot be converted to '%s'" % (param, type_name, target)


class ConversionTest(unittest.TestCase):
    TYPE_ERRORS = [
        (compress, (bytearray(b"x"),), {}, cannot("data", "bytearray", "PyBytes")),
        (compress, (b"x",), {"mode": None}, cannot("mode", "NoneType", "PyString")),
        (compress, (b"x",), {"turbo": 1}, cannot("turbo", "int", "PyBool")),
        (compress, (b"x",), {"turbo": None}, cannot("turbo", "NoneType", "PyBool")),
        (compress, (b"x",), {"format": b"json"}, cannot("format", "bytes", "PyString")),
        (compress, (b"x",), {"format": None}, cannot("format", "NoneType", "PyString")),
        (compress, (b"x",), {"level": "3"},
         "argument 'level': 'str' object cannot be interpreted as an integer"),
        (compress, (b"x",), {"level": 2.0},
         "argument 'level': 'float' object cannot be interpreted as an integer"),
        (decompress, ("text",), {}, cannot("data", "str", "PyBytes")),
        (info, (memoryview(b"KVN"),), {}, cannot("data", "memoryview", "PyBytes")),
        (detect_format, (None,), {}, cannot("data", "NoneType", "PyBytes")),
        (detect_format, (Holder.Inner(),), {}, cannot("data", "Holder.Inner", "PyBytes")),
        (compress_file, (1, "out"), {}, cannot("input_path", "int", "PyString")),
        (compress_file, ("in", None), {}, cannot("output_path", "NoneType", "PyString")),
        (compress_file, ("in", "out"), {"turbo": "yes"}, cannot("turbo", "str", "PyBool")),
        (decompress_file, ("in", b"out"), {}, cannot("output_path", "bytes", "PyString")),
        # The first failing parameter, in parameter order, is reported.
        (compress, (bytearray(),), {"mode": None, "turbo": 0},
         cannot("data", "bytearray", "PyBytes")),
        (compress, (b"x",), {"turbo": 0, "mode": 7}, cannot("mode", "int", "PyString")),
        (compress, (b"x",), {"turbo": NotNumpyBool()},
         cannot("turbo", "bool_", "PyBool")),
        (compress, (b"x",), {"turbo": NumpyNoBool()},
         "argument 'turbo': object of type 'bool_' does not define a '__bool__' conversion"),
        # A TypeError raised by the truth-value slot itself is wrapped too.
        (compress, (b"x",), {"turbo": raising_bool(TypeError("no truth"))()},
         "argument 'turbo': no truth"),
    ]

    def test_type_errors(self):
        for fn, args, kwargs, message in self.TYPE_ERRORS:
            with self.subTest(message):
                with self.assertRaises(TypeError) as cm:
                    fn(*args, **kwargs)
                self.assertIs(type(cm.exception), TypeError)
                self.assertEqual(str(cm.exception), message)

    def test_other_conversion_errors_pass_unchanged(self):
        cases = [
            (compress, (b"x",), {"level": 2 ** 70}, OverflowError,
             "Python int too large to convert to C long"),
            (compress, (b"x",), {"level": 2 ** 40}, OverflowError,
             "signed integer is greater than maximum"),
            (compress, (b"x",), {"level": -2 ** 40}, OverflowError,
             "signed integer is less than minimum"),
            (compress, (b"x",), {"mode": "fa\udc80st"}, UnicodeEncodeError, None),
            (decompress_file, ("\ud800", "out"), {}, UnicodeEncodeError, None),
            (compress, (b"x",), {"turbo": raising_bool(ValueError("bad truth"))()}, ValueError,
             "bad truth"),
        ]
        for fn, args, kwargs, exc_type, message in cases:
            with self.subTest(exc_type=exc_type, kwargs=kwargs, args=args):
                with self.assertRaises(exc_type) as cm:
                    fn(*args, **kwargs)
                self.assertIs(type(cm.exception), exc_type)
                if message is not None:
                    self.assertEqual(str(cm.exception), message)

    def test_accepted_values(self):
        data = SMALL_NDJSON
        turbo_on = compress(data, turbo=True)
        turbo_off = compress(data, level=5)
        cases = [
            ({"turbo": NumpyTrue()}, turbo_on),
            ({"turbo": NumpyFalse(), "level": 5}, turbo_off),
            ({"turbo": False, "level": 5}, turbo_off),
            ({"turbo": True, "level": 12}, turbo_on),
            ({"turbo": True, "mode": StrSub("FAST"), "format": StrSub("Auto")}, turbo_on),
            ({"level": True, "turbo": True}, turbo_on),
        ]
        for kwargs, expected in cases:
            with self.subTest(kwargs=kwargs):
                self.assertEqual(compress(data, **kwargs), expected)
        # Subclasses of bytes are read like bytes.
        self.assertEqual(compress(BytesSub(data), turbo=True), turbo_on)
        self.assertEqual(decompress(BytesSub(turbo_on)), data)
        self.assertEqual(info(BytesSub(turbo_on)), info(turbo_on))
        self.assertEqual(detect_format(BytesSub(data)), "ndjson")

    def test_mode_parser_ignores_str_subclass_lower(self):
        # StrSub.lower() answers "max", but the text itself is what counts.
        with self.assertRaises(ValueError) as cm:
            compress(b"x", mode=StrSub("Quick"))
        self.assertEqual(str(cm.exception),
                         "unknown mode: 'Quick' (expected: fast, balanced, max)")


if __name__ == "__main__":
    unittest.main()
