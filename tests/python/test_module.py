"""The module object: attributes, __all__, docstrings and signatures,
re-import and sub-interpreters."""

import importlib
import inspect
import subprocess
import sys
import textwrap
import unittest

import _kelvane

FUNCTIONS = ["compress", "decompress", "compress_file", "decompress_file", "info",
             "detect_format"]

SIGNATURES = {
    "compress": "(data, mode='fast', format='auto', level=None, turbo=False)",
    "decompress": "(data)",
    "compress_file": "(input_path, output_path, mode='fast', level=None, turbo=False)",
    "decompress_file": "(input_path, output_path)",
    "info": "(data)",
    "detect_format": "(data)",
}

DOCS = {
    "compress": (
        "Compress JSON/NDJSON data.\n\nArgs:\n"
        "    data: Input bytes to compress.\n"
        "    mode: Compression mode - \"fast\" (default), \"balanced\", or \"max\".\n"
        "    format: Format hint - \"auto\" (default), \"json\", \"ndjson\", \"generic\".\n"
        "    level: Optional zstd level override (fast mode only).\n"
        "    turbo: Use turbo mode for ~30x faster encode with ~2% ratio loss (fast mode only).\n"
        "\nReturns:\n    Compressed bytes in .kvn format."),
    "decompress": (
        "Decompress .kvn data back to the original bytes.\n\nArgs:\n"
        "    data: Compressed .kvn bytes.\n\nReturns:\n    Original decompressed bytes."),
    "compress_file": (
        "Compress a file to .kvn format.\n\nArgs:\n"
        "    `input_path`: Path to the input file.\n"
        "    `output_path`: Path for the compressed output file.\n"
        "    mode: Compression mode - \"fast\" (default), \"balanced\", or \"max\".\n"
        "    level: Optional zstd level override (fast mode only).\n"
        "    turbo: Use turbo mode for ~30x faster encode with ~2% ratio loss (fast mode only)."),
    "decompress_file": (
        "Decompress a .kvn file back to the original.\n\nArgs:\n"
        "    `input_path`: Path to the .kvn file.\n"
        "    `output_path`: Path for the decompressed output file."),
    "info": (
        "Get metadata from compressed .kvn bytes.\n\nArgs:\n"
        "    data: Compressed .kvn bytes.\n\nReturns:\n"
        "    Dict with mode, format, `original_size`, `compressed_size`, crc32, `entropy_coder`."),
    "detect_format": (
        "Detect the format of input data.\n\nArgs:\n    data: Input bytes.\n\nReturns:\n"
        "    Detected format string: \"json\", \"ndjson\", \"generic\", etc."),
}


class ModuleTest(unittest.TestCase):
    def test_attributes(self):
        self.assertEqual(_kelvane.__version__, "0.6.0")
        self.assertEqual(_kelvane.__doc__, "")
        self.assertEqual(_kelvane.__all__, FUNCTIONS + ["__version__"])
        self.assertEqual(_kelvane.__name__, "_kelvane")

    def test_functions_signatures_and_docs(self):
        for name in FUNCTIONS:
            with self.subTest(name):
                fn = getattr(_kelvane, name)
                self.assertEqual(fn.__name__, name)
                self.assertEqual(fn.__module__, "_kelvane")
                self.assertIs(fn.__self__, _kelvane)
                self.assertEqual(str(inspect.signature(fn)), SIGNATURES[name])
                self.assertEqual(fn.__doc__, DOCS[name])
                for param in inspect.signature(fn).parameters.values():
                    self.assertEqual(param.kind, param.POSITIONAL_OR_KEYWORD)

    def test_reimport_returns_the_same_module(self):
        first = sys.modules.pop("_kelvane")
        try:
            again = importlib.import_module("_kelvane")
            self.assertIs(again, first)
        finally:
            sys.modules["_kelvane"] = first

    def test_sub_interpreter_import_fails(self):
        try:
            import _testcapi  # noqa: F401
        except ImportError:
            self.skipTest("_testcapi is not available")
        script = textwrap.dedent('''
            import _kelvane, _testcapi, os, sys
            r, w = os.pipe()
            code = (
                "import os\\n"
                "try:\\n"
                "    import _kelvane\\n"
                "    msg = 'imported'\\n"
                "except ImportError as e:\\n"
                "    msg = 'ImportError: ' + str(e)\\n"
                "os.write(%d, msg.encode())\\n" % w)
            _testcapi.run_in_subinterp(code)
            os.close(w)
            print(os.read(r, 4096).decode())
            print(_kelvane.detect_format(b"[1]"))
        ''')
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.splitlines()
        self.assertTrue(lines[0].startswith("ImportError: "), lines)
        self.assertIn("sub-interpreters", lines[0])
        # The first interpreter keeps a working module.
        self.assertEqual(lines[1], "json")


if __name__ == "__main__":
    unittest.main()
