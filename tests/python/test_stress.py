"""Many calls in a fresh interpreter: memory stays flat over 2,000 calls of
every function, bad arguments of every kind only ever raise, hostile
containers never crash, and declared lengths never reserve memory the input
does not hold."""

import os
import subprocess
import sys
import textwrap
import unittest

from support import SANITIZED

HERE = os.path.dirname(os.path.abspath(__file__))


def run_child(test, script, timeout=900):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], cwd=HERE,
                          capture_output=True, text=True, timeout=timeout)
    test.assertEqual(done.returncode, 0, "stdout:\n%s\nstderr:\n%s" % (done.stdout, done.stderr))
    return done.stdout


LEAK_SCRIPT = r'''
import gc, os, sys, tempfile
import _kelvane as k
from support import ndjson_lines, random_bytes

PAGE = os.sysconf("SC_PAGE_SIZE")

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE

data = ndjson_lines(250)            # about 23 kB
noise = random_bytes(1_000)         # the race is slow; the result size does not matter here
container = k.compress(data)
tmp = tempfile.mkdtemp()
src = os.path.join(tmp, "in")
kvn = os.path.join(tmp, "in.kvn")
out = os.path.join(tmp, "out")
with open(src, "wb") as f:
    f.write(data)
bad = container[:-5]

def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError("no %s from %s" % (exc.__name__, fn.__name__))

calls = {
    "compress": lambda: k.compress(data, turbo=True),
    "compress fast": lambda: k.compress(noise, level=1),
    "decompress": lambda: k.decompress(container),
    "info": lambda: k.info(container),
    "detect_format": lambda: k.detect_format(data),
    "compress_file": lambda: k.compress_file(src, kvn, turbo=True),
    "decompress_file": lambda: k.decompress_file(kvn, out),
    "errors": lambda: (
        expect(ValueError, k.decompress, bad),
        expect(ValueError, k.info, b"short"),
        expect(ValueError, k.compress, data, mode="Turbo"),
        expect(TypeError, k.compress, bytearray(data)),
        expect(TypeError, k.compress, data, turbo=1),
        expect(TypeError, k.compress, data, nope=1),
        expect(TypeError, k.compress_file),
        expect(ValueError, k.compress_file, src + "missing", kvn),
        expect(ValueError, k.decompress_file, src, out),
    ),
}

for name, call in calls.items():
    for _ in range(200):        # warm-up: caches, pool threads, allocator arenas
        call()
    gc.collect()
    before_rss, before_blocks = rss(), sys.getallocatedblocks()
    for _ in range(2000):
        call()
    gc.collect()
    grown_rss = rss() - before_rss
    grown_blocks = sys.getallocatedblocks() - before_blocks
    print("%-16s rss %+8d bytes, blocks %+5d" % (name, grown_rss, grown_blocks))
    assert grown_rss < 4 * 1024 * 1024, (name, grown_rss)
    # One object kept per call would add 2,000 blocks.
    assert grown_blocks < 500, (name, grown_blocks)
print("ok")
'''

BAD_ARGUMENTS_SCRIPT = r'''
import itertools, random
import _kelvane as k

class Weird:
    def __index__(self):
        raise RuntimeError("index")
    def __str__(self):
        raise RuntimeError("str")

class HugeIndex:
    def __index__(self):
        return 10 ** 30

values = [None, 0, -1, 2 ** 63, 2 ** 200, 1.5, True, False, "", "fast", "\udcff", "\x00",
          b"", b"KVN\x03", bytearray(b"x"), memoryview(b"x"), [], {}, (), object(), Weird(),
          HugeIndex(), type, k, k.compress, NotImplemented, Ellipsis, 10 ** 5000]
functions = [k.compress, k.decompress, k.info, k.detect_format, k.compress_file,
             k.decompress_file]
params = ["data", "mode", "format", "level", "turbo", "input_path", "output_path", "x", ""]
allowed = (TypeError, ValueError, OverflowError, UnicodeError, RuntimeError)
rng = random.Random(5)
calls = 0
for fn in functions:
    for count in range(7):
        for _ in range(150):
            args = [rng.choice(values) for _ in range(count)]
            kwargs = {p: rng.choice(values) for p in rng.sample(params, rng.randrange(3))}
            if fn in (k.compress_file, k.decompress_file):
                # Never write somewhere real.
                for i in range(1, len(args)):
                    if isinstance(args[i], str):
                        args[i] = "/nonexistent-dir/x"
                if isinstance(kwargs.get("output_path"), str):
                    kwargs["output_path"] = "/nonexistent-dir/x"
            try:
                fn(*args, **kwargs)
            except allowed:
                pass
            calls += 1

# Hostile containers: random headers and mutations of a valid one.
good = k.compress(b'{"a": 1}\n{"a": 2}\n' * 50)
for i in range(3000):
    data = bytearray(good)
    for _ in range(rng.randrange(1, 6)):
        data[rng.randrange(len(data))] = rng.randrange(256)
    if i % 3 == 0:
        data = data[:rng.randrange(len(data) + 1)]
    for fn in (k.decompress, k.info):
        try:
            fn(bytes(data))
        except ValueError:
            pass
    calls += 2
print("ok", calls)
'''

NO_LARGE_RESERVATION_SCRIPT = r'''
import os, resource, struct, tempfile
import _kelvane as k

# 1 GiB of address space is far more than the interpreter needs and far
# less than any of the declared lengths below.
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
def header(flags, compressed_size, meta_len):
    return b"KVN\x03" + struct.pack("<BBBBQQII", 3, 2, 0, flags, 10, compressed_size, 0,
                                    meta_len)
tmp = tempfile.mkdtemp()
for flags, size, meta in ((0x01, 0, 0xFFFFFFFF), (0x00, 0xFFFFFFFF, 0),
                          (0x01, 0xFFFFFFFF, 0xFFFFFFF0)):
    blob = header(flags, size, meta) + b"x" * 8
    path = os.path.join(tmp, "c.kvn")
    with open(path, "wb") as f:
        f.write(blob)
    for call in (lambda: k.decompress(blob), lambda: k.decompress_file(path, path + ".out")):
        try:
            call()
        except ValueError as e:
            assert str(e) == "decompression failed: failed to fill whole buffer", e
        else:
            raise AssertionError("no error")
    try:
        k.info(blob)
    except ValueError as e:
        assert str(e) == "invalid .kvn data: failed to fill whole buffer" or flags == 0, e
    assert not os.path.exists(path + ".out")
print("ok")
'''


class StressTest(unittest.TestCase):
    @unittest.skipIf(SANITIZED, "AddressSanitizer's quarantine keeps freed memory resident")
    def test_no_memory_growth(self):
        out = run_child(self, LEAK_SCRIPT)
        self.assertTrue(out.endswith("ok\n"), out)

    def test_bad_arguments_never_crash(self):
        out = run_child(self, BAD_ARGUMENTS_SCRIPT)
        self.assertTrue(out.startswith("ok"), out)

    @unittest.skipIf(SANITIZED, "AddressSanitizer reserves terabytes of shadow address space")
    def test_declared_lengths_reserve_nothing_large(self):
        out = run_child(self, NO_LARGE_RESERVATION_SCRIPT)
        self.assertEqual(out, "ok\n")


if __name__ == "__main__":
    unittest.main()
