"""compress, decompress, info and detect_format on bytes in memory."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

import _kelvane
from _kelvane import compress, decompress, detect_format, info

from support import (ALL_MODES, LARGE_NDJSON, SAMPLES, SMALL_NDJSON, crc32, crc_message,
                     header, raw_zstd_frame, with_header_field)

UNKNOWN_MODE = "unknown mode: '%s' (expected: fast, balanced, max)"
UNKNOWN_FORMAT = "unknown format: '%s' (expected: auto, json, ndjson, generic)"
CM_SAMPLES = ("empty", "one byte", "small ndjson", "json array")


class RoundTripTest(unittest.TestCase):
    def test_fast_and_turbo(self):
        for name, data in SAMPLES.items():
            for kwargs in ({}, {"turbo": True}, {"level": 1}, {"format": "generic"}):
                with self.subTest(sample=name, **kwargs):
                    container = compress(data, **kwargs)
                    self.assertIsInstance(container, bytes)
                    self.assertEqual(decompress(container), data)
                    fields = info(container)
                    self.assertEqual(fields["mode"], "fast")
                    self.assertEqual(fields["original_size"], len(data))
                    self.assertEqual(fields["crc32"], crc32(data))
                    self.assertEqual(fields["compressed_size"] + 32, len(container) -
                                     _section_length(container))

    def test_max_and_balanced(self):
        for mode in ("max", "balanced"):
            for name in CM_SAMPLES:
                data = SAMPLES[name]
                with self.subTest(mode=mode, sample=name):
                    container = compress(data, mode=mode)
                    self.assertEqual(decompress(container), data)
                    fields = info(container)
                    self.assertEqual(fields["mode"], mode)
                    self.assertEqual(fields["entropy_coder"], "zstd")


    def test_balanced_decodes_in_a_fresh_process(self):
        # Nothing the encoding process left behind (memory, floating-point
        # state) may be needed to decode.
        container = compress(SMALL_NDJSON, mode="balanced")
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "small.kvn")
            with open(path, "wb") as f:
                f.write(container)
            script = ("import sys, _kelvane\n"
                      "with open(sys.argv[1], 'rb') as f:\n"
                      "    sys.stdout.buffer.write(_kelvane.decompress(f.read()))\n")
            run = subprocess.run([sys.executable, "-c", script, path], capture_output=True,
                                 timeout=600)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout, SMALL_NDJSON)


def _section_length(container):
    flags = container[7]
    meta_len = struct.unpack_from("<I", container, 28)[0]
    return meta_len if flags & 1 else 0


class ModeAndFormatTest(unittest.TestCase):
    def test_names_are_lower_cased(self):
        for kwargs in ({"mode": "FAST"}, {"mode": "Fast", "format": "JSONL"},
                       {"format": "NDJSON"}, {"format": "Json"}, {"format": "AUTO"}):
            with self.subTest(**kwargs):
                self.assertEqual(decompress(compress(SMALL_NDJSON, **kwargs)), SMALL_NDJSON)

    def test_format_argument_selects_hint(self):
        cases = [("", "ndjson"), ("auto", "ndjson"), ("generic", "ndjson"), ("json", "json"),
                 ("ndjson", "ndjson"), ("jsonl", "ndjson")]
        for fmt, stored in cases:
            with self.subTest(format=fmt):
                container = compress(SMALL_NDJSON, format=fmt, turbo=True)
                self.assertEqual(info(container)["format"], stored)
                self.assertEqual(decompress(container), SMALL_NDJSON)
        # Detection of a non-JSON input stores "generic".
        self.assertEqual(info(compress(b"plain text", format="generic"))["format"], "generic")

    def test_value_errors(self):
        cases = [
            ({"mode": "Turbo"}, UNKNOWN_MODE % "Turbo"),
            ({"mode": ""}, UNKNOWN_MODE % ""),
            ({"mode": "fast "}, UNKNOWN_MODE % "fast "),
            ({"mode": "fa\x00st"}, UNKNOWN_MODE % "fa\x00st"),
            ({"mode": "Turbo", "turbo": True}, UNKNOWN_MODE % "Turbo"),
            ({"format": "XML"}, UNKNOWN_FORMAT % "XML"),
            ({"format": "csv", "turbo": True}, UNKNOWN_FORMAT % "csv"),
            ({"mode": "max", "format": "yaml"}, UNKNOWN_FORMAT % "yaml"),
            ({"mode": "MAXIMUM", "format": "yaml"}, UNKNOWN_MODE % "MAXIMUM"),
            ({"mode": "Ünknown"}, UNKNOWN_MODE % "Ünknown"),
        ]
        for kwargs, message in cases:
            with self.subTest(**kwargs):
                with self.assertRaises(ValueError) as cm:
                    compress(SMALL_NDJSON, **kwargs)
                self.assertIs(type(cm.exception), ValueError)
                self.assertEqual(str(cm.exception), message)

    def test_turbo_always_fast_and_ignores_level(self):
        reference = compress(LARGE_NDJSON, turbo=True)
        for kwargs in ({"mode": "max"}, {"mode": "balanced"}, {"level": 1}, {"level": 19},
                       {"mode": "max", "level": -5}):
            with self.subTest(**kwargs):
                container = compress(LARGE_NDJSON, turbo=True, **kwargs)
                self.assertEqual(info(container)["mode"], "fast")
                self.assertEqual(container, reference)

    def test_level_none_is_no_level(self):
        data = b"hello world " * 50
        self.assertEqual(compress(data, level=None), compress(data))
        self.assertEqual(compress(data, level=None, turbo=True), compress(data, turbo=True))


class DecompressErrorTest(unittest.TestCase):
    def test_reader_failures(self):
        good = compress(SMALL_NDJSON, turbo=True)
        original_crc = crc32(SMALL_NDJSON)
        wrong_crc = original_crc ^ 0x5A5A0001
        cases = [
            (b"", "failed to fill whole buffer"),
            (good[:31], "failed to fill whole buffer"),
            (good[:-1], "failed to fill whole buffer"),
            (b"XVN\x03" + good[4:], "not a .kvn file"),
            (with_header_field(good, 4, "<B", 2), "unsupported .kvn version: 2 (expected 3)"),
            (with_header_field(good, 5, "<B", 3), "unknown mode: 3"),
            (with_header_field(good, 6, "<B", 11), "unknown format: 11"),
            (with_header_field(good, 24, "<I", wrong_crc), crc_message(wrong_crc, original_crc)),
        ]
        for data, message in cases:
            with self.subTest(message=message, size=len(data)):
                with self.assertRaises(ValueError) as cm:
                    decompress(data)
                self.assertEqual(str(cm.exception), "decompression failed: " + message)

    def test_a_chain_past_its_work_limit(self):
        # 253 value-dictionary records whose one entry holds two codes: each
        # doubles the text until it passes the declared size, then copies it.
        dictionary = b"\x01" + struct.pack("<HBI", 1, 1, 3) + b"\x02\x01\x02"
        chain = bytes([253]) + (b"\x0d" + struct.pack("<I", len(dictionary)) + dictionary) * 253
        payload = raw_zstd_frame(b"\x02")
        size = 1 << 20
        container = (header(flags=0x01, original_size=size, compressed_size=len(payload),
                            meta_len=len(chain)) + chain + payload)
        with self.assertRaises(ValueError) as cm:
            decompress(container)
        self.assertEqual(str(cm.exception),
                         "decompression failed: transform chain exceeds its work limit: undoing it "
                         "would write more than %d bytes (4 x the %d bytes of text it can rebuild "
                         "the original from)" % (4 * size, size))

    def test_trailing_bytes_are_ignored(self):
        good = compress(SMALL_NDJSON)
        self.assertEqual(decompress(good + b"\x00garbage" * 10), SMALL_NDJSON)


class InfoTest(unittest.TestCase):
    def test_fields_in_order(self):
        data = LARGE_NDJSON
        container = compress(data)
        fields = info(container)
        self.assertEqual(list(fields), ["mode", "format", "original_size", "compressed_size",
                                        "crc32", "entropy_coder"])
        self.assertEqual(fields["mode"], "fast")
        self.assertEqual(fields["format"], "ndjson")
        self.assertEqual(fields["original_size"], len(data))
        self.assertEqual(fields["crc32"], crc32(data))
        self.assertEqual(fields["entropy_coder"],
                         "brotli" if container[7] & 0x08 else "zstd")

    def test_header_fields_read_whole(self):
        cases = [
            (header(mode=0, fmt=3, original_size=2 ** 64 - 1, compressed_size=(7 << 32) | 5,
                    crc=0xFFFFFFFF),
             {"mode": "max", "format": "ndjson", "original_size": 2 ** 64 - 1,
              "compressed_size": (7 << 32) | 5, "crc32": 0xFFFFFFFF, "entropy_coder": "zstd"}),
            (header(mode=1, fmt=10, flags=0x08),
             {"mode": "balanced", "format": "xml", "original_size": 0, "compressed_size": 0,
              "crc32": 0, "entropy_coder": "brotli"}),
            (header(mode=2, fmt=2, flags=0x08 | 0xE0),
             {"mode": "fast", "format": "markdown", "original_size": 0, "compressed_size": 0,
              "crc32": 0, "entropy_coder": "brotli"}),
            # A metadata length without the flag is not looked at.
            (header(flags=0x02, meta_len=1000),
             {"mode": "fast", "format": "generic", "original_size": 0, "compressed_size": 0,
              "crc32": 0, "entropy_coder": "zstd"}),
            # A present metadata section; the payload it declares is absent.
            (header(flags=0x01, meta_len=3, compressed_size=100) + b"abc",
             {"mode": "fast", "format": "generic", "original_size": 0, "compressed_size": 100,
              "crc32": 0, "entropy_coder": "zstd"}),
        ]
        for data, expected in cases:
            with self.subTest(expected=expected):
                self.assertEqual(info(data), expected)

    def test_cut_payload_is_fine(self):
        container = compress(LARGE_NDJSON)
        # Keep the header and any metadata section; cut the payload.
        flags, meta_len = container[7], struct.unpack_from("<I", container, 28)[0]
        section = meta_len if flags & 0x01 else 0
        self.assertEqual(info(container[:32 + section + 8]), info(container))

    def test_header_failures(self):
        cases = [
            (b"", "failed to fill whole buffer"),
            (b"K" * 31, "failed to fill whole buffer"),
            (header(magic=b"KVN\x02"), "not a .kvn file"),
            (header(version=4), "unsupported .kvn version: 4 (expected 3)"),
            (header(mode=3, fmt=99), "unknown mode: 3"),
            (header(fmt=12), "unknown format: 12"),
            (header(flags=0x01, meta_len=4) + b"abc", "failed to fill whole buffer"),
            (header(flags=0x01, meta_len=0xFFFFFFFF) + b"abc", "failed to fill whole buffer"),
        ]
        for data, message in cases:
            with self.subTest(message=message, size=len(data)):
                with self.assertRaises(ValueError) as cm:
                    info(data)
                self.assertEqual(str(cm.exception), "invalid .kvn data: " + message)


class DetectFormatTest(unittest.TestCase):
    CASES = [
        (b"", "generic"),
        (b" \t\r\n\x0c", "generic"),
        (b"\x0b{\"a\": 1}", "generic"),
        (b"hello", "generic"),
        (b"  [1, 2, 3]", "json"),
        (b"{\"a\": 1}\n{\"a\": 2}\n", "ndjson"),
        (b"{\"a\": 1}", "json"),
        (b"{}\n{}\n{}\n{}\n[]\n", "json"),
        (b"[\n{}\n{}\n]\n", "json"),
        (b"[\n" + b"{}\n" * 10 + b"]\n", "ndjson"),
        (SMALL_NDJSON, "ndjson"),
    ]

    def test_detection(self):
        for data, name in self.CASES:
            with self.subTest(data=data[:20]):
                self.assertEqual(detect_format(data), name)


if __name__ == "__main__":
    unittest.main()
