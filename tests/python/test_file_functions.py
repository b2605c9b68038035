"""compress_file and decompress_file: round trips, their messages, and what
they leave on disk when they fail."""

import os
import stat
import subprocess
import sys
import tempfile
import unittest

from _kelvane import compress, compress_file, decompress, decompress_file, info

from support import (LARGE_NDJSON, SAMPLES, SANITIZED, SMALL_NDJSON, crc32, crc_message, header,
                     random_bytes, with_header_field)

HERE = os.path.dirname(os.path.abspath(__file__))

DRIVER_FAILURE_SCRIPT = r'''
import resource
import _kelvane as k
resource.setrlimit(resource.RLIMIT_AS, (1 << 29, 1 << 29))
src, out, new = %r, %r, %r
for target in (out, new, src):
    try:
        k.compress_file(src, target, mode="max")
    except ValueError as e:
        assert str(e) == "compression failed: out of memory", e
    else:
        raise AssertionError("no error")
print("ok")
'''

ENOENT = "No such file or directory (os error 2)"
EISDIR = "Is a directory (os error 21)"
ENOSPC = "No space left on device (os error 28)"
NUL_IN_PATH = "file name contained an unexpected NUL byte"
SHORT = "failed to fill whole buffer"
UNKNOWN_MODE = "unknown mode: '%s' (expected: fast, balanced, max)"


class FileTestCase(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory()
        self.dir = self._dir.name

    def tearDown(self):
        self._dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def assertValueError(self, message, fn, *args, **kwargs):
        with self.assertRaises(ValueError) as cm:
            fn(*args, **kwargs)
        self.assertIs(type(cm.exception), ValueError)
        self.assertEqual(str(cm.exception), message)


class RoundTripTest(FileTestCase):
    def test_round_trips(self):
        for name, data in SAMPLES.items():
            for kwargs in ({}, {"turbo": True}):
                with self.subTest(sample=name, **kwargs):
                    src = self.write("in", data)
                    kvn = self.path("out.kvn")
                    back = self.path("back")
                    self.assertIsNone(compress_file(src, kvn, **kwargs))
                    container = self.read(kvn)
                    self.assertEqual(decompress(container), data)
                    self.assertIsNone(decompress_file(kvn, back))
                    self.assertEqual(self.read(back), data)
                    # Built like compress with format "auto".
                    in_memory = compress(data, **kwargs)
                    self.assertEqual(info(container), info(in_memory))
                    if kwargs.get("turbo"):
                        self.assertEqual(container, in_memory)

    def test_mode_level_and_turbo_reach_the_driver_unchanged(self):
        src = self.write("in", LARGE_NDJSON)
        kvn = self.path("out.kvn")
        compress_file(src, kvn, turbo=True)
        self.assertEqual(self.read(kvn), compress(LARGE_NDJSON, turbo=True))
        # compress drops the level of a turbo call; compress_file keeps it.
        compress_file(src, kvn, turbo=True, level=1)
        level_one = self.read(kvn)
        self.assertNotEqual(level_one, compress(LARGE_NDJSON, turbo=True, level=1))
        self.assertEqual(decompress(level_one), LARGE_NDJSON)

    def test_cm_mode_with_turbo_keeps_the_mode(self):
        src = self.write("in", SMALL_NDJSON)
        kvn = self.path("out.kvn")
        for mode in ("max", "balanced"):
            with self.subTest(mode=mode):
                compress_file(src, kvn, mode=mode, turbo=True)
                self.assertEqual(info(self.read(kvn))["mode"], mode)
                self.assertEqual(info(compress(SMALL_NDJSON, mode=mode, turbo=True))["mode"],
                                 "fast")
                self.assertEqual(decompress(self.read(kvn)), SMALL_NDJSON)

    def test_in_place(self):
        src = self.write("data.ndjson", LARGE_NDJSON)
        os.chmod(src, 0o640)
        link = self.path("link")
        os.symlink(src, link)
        compress_file(src, src)
        container = self.read(src)
        self.assertEqual(decompress(container), LARGE_NDJSON)
        decompress_file(link, link)
        self.assertEqual(self.read(src), LARGE_NDJSON)
        self.assertTrue(os.path.islink(link))
        self.assertEqual(stat.S_IMODE(os.stat(src).st_mode), 0o640)
        self.assertEqual(sorted(os.listdir(self.dir)), ["data.ndjson", "link"])

    def test_trailing_bytes_ignored_and_output_replaced(self):
        kvn = self.write("x.kvn", compress(SMALL_NDJSON) + b"trailing bytes")
        out = self.write("out", b"old content that is longer than nothing" * 100)
        decompress_file(kvn, out)
        self.assertEqual(self.read(out), SMALL_NDJSON)


class CompressFileErrorTest(FileTestCase):
    def test_failures_before_the_output(self):
        readable = self.write("in", SMALL_NDJSON)
        missing = self.path("missing")
        folder = self.path("folder")
        os.mkdir(folder)
        cases = [
            ((missing,), {}, "cannot read '%s': %s" % (missing, ENOENT)),
            ((missing,), {"mode": "Turbo"}, "cannot read '%s': %s" % (missing, ENOENT)),
            ((folder,), {}, "cannot read '%s': %s" % (folder, EISDIR)),
            ((readable + "\0x",), {}, "cannot read '%s\0x': %s" % (readable, NUL_IN_PATH)),
            ((readable,), {"mode": "Turbo"}, UNKNOWN_MODE % "Turbo"),
        ]
        for args, kwargs, message in cases:
            for existing in (None, b"keep me"):
                with self.subTest(message=message, existing=existing):
                    out = self.path("out.kvn")
                    if existing is not None:
                        self.write("out.kvn", existing)
                    elif os.path.exists(out):
                        os.remove(out)
                    self.assertValueError(message, compress_file, *args, out, **kwargs)
                    if existing is None:
                        self.assertFalse(os.path.exists(out))
                    else:
                        self.assertEqual(self.read(out), existing)

    @unittest.skipIf(SANITIZED, "AddressSanitizer reserves terabytes of shadow address space")
    def test_driver_failure_leaves_the_output_alone(self):
        # A "max" engine cannot be built in 512 MiB of address space, so the
        # driver fails after the input was read and before anything is written.
        src = self.write("in", SMALL_NDJSON)
        out = self.write("out.kvn", b"keep me")
        script = DRIVER_FAILURE_SCRIPT % (src, out, self.path("new"))
        done = subprocess.run([sys.executable, "-c", script], cwd=HERE, capture_output=True,
                              text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, "ok\n")
        self.assertEqual(self.read(out), b"keep me")
        self.assertFalse(os.path.exists(self.path("new")))
        self.assertEqual(self.read(src), SMALL_NDJSON)  # in place: the input survives

    def test_output_failures(self):
        small = self.write("small", SMALL_NDJSON)
        # Incompressible, so the payload is larger than the writer's buffer.
        large = self.write("large", random_bytes(64 * 1024))
        absent_dir = self.path("no/such/dir/out.kvn")
        nul_out = self.path("out\0.kvn")
        cases = [
            (small, absent_dir, "cannot create '%s': %s" % (absent_dir, ENOENT)),
            (small, self.dir, "cannot create '%s': %s" % (self.dir, EISDIR)),
            (small, nul_out, "cannot create '%s': %s" % (nul_out, NUL_IN_PATH)),
        ]
        if os.path.exists("/dev/full"):
            cases += [
                # Header and payload stay in the buffer until the final flush.
                (small, "/dev/full", "flush failed: " + ENOSPC),
                (large, "/dev/full", "compression failed: " + ENOSPC),
            ]
        for src, out, message in cases:
            with self.subTest(message=message):
                self.assertValueError(message, compress_file, src, out)


class DecompressFileErrorTest(FileTestCase):
    def test_failures_leave_the_output_alone(self):
        good = compress(SMALL_NDJSON)
        wrong_crc = crc32(SMALL_NDJSON) ^ 0xFF
        missing = self.path("missing")
        folder = self.path("folder")
        os.mkdir(folder)
        inputs = {
            "empty": b"",
            "short header": good[:20],
            "cut payload": good[:-3],
            "huge section": header(flags=0x01, meta_len=0xFFFFFFFF) + b"12345678",
            "huge payload": header(compressed_size=0xFFFFFFFF) + b"12345678",
            "bad magic": b"JSON" + good[4:],
            "bad version": with_header_field(good, 4, "<B", 9),
            "bad format": with_header_field(good, 6, "<B", 12),
            "bad crc": with_header_field(good, 24, "<I", wrong_crc),
        }
        messages = {
            "empty": SHORT, "short header": SHORT, "cut payload": SHORT,
            "huge section": SHORT, "huge payload": SHORT,
            "bad magic": "not a .kvn file",
            "bad version": "unsupported .kvn version: 9 (expected 3)",
            "bad format": "unknown format: 12",
            "bad crc": crc_message(wrong_crc, crc32(SMALL_NDJSON)),
        }
        # A damaged payload fails with the reader's own message.
        damaged = bytearray(good)
        damaged[-2] ^= 0x55
        inputs["damaged payload"] = bytes(damaged)
        try:
            decompress(inputs["damaged payload"])
        except ValueError as e:
            messages["damaged payload"] = str(e)[len("decompression failed: "):]
        else:
            self.fail("a damaged payload decompressed")
        cases = [(self.write(name, data), "decompression failed: " + messages[name])
                 for name, data in inputs.items()]
        cases += [
            (missing, "cannot open '%s': %s" % (missing, ENOENT)),
            (missing + "\0", "cannot open '%s\0': %s" % (missing, NUL_IN_PATH)),
            (folder, "decompression failed: " + EISDIR),
        ]
        for src, message in cases:
            with self.subTest(message=message, src=src):
                out = self.write("out", b"keep me")
                self.assertValueError(message, decompress_file, src, out)
                self.assertEqual(self.read(out), b"keep me")
                os.remove(out)
                self.assertValueError(message, decompress_file, src, out)
                self.assertFalse(os.path.exists(out))
                # decompress gives the same message for the same bytes.
                if os.path.isfile(src):
                    self.assertValueError(message, decompress, self.read(src))

    def test_output_failures(self):
        kvn = self.write("x.kvn", compress(SMALL_NDJSON))
        absent_dir = self.path("no/such/out")
        nul_out = self.path("o\0ut")
        cases = [
            (absent_dir, "cannot write '%s': %s" % (absent_dir, ENOENT)),
            (nul_out, "cannot write '%s': %s" % (nul_out, NUL_IN_PATH)),
        ]
        if os.path.exists("/dev/full"):
            cases.append(("/dev/full", "cannot write '/dev/full': " + ENOSPC))
        for out, message in cases:
            with self.subTest(message=message):
                self.assertValueError(message, decompress_file, kvn, out)


if __name__ == "__main__":
    unittest.main()
