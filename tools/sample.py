#!/usr/bin/env python3
"""Compresses a JSON or NDJSON file through _kelvane in "fast" and in turbo
mode, prints sizes, ratio, time and the container's info, then decompresses
each container and checks that the bytes are identical.

Usage: tools/sample.py INPUT   (with the built module's folder on PYTHONPATH)
Exits 1 when a round trip does not give back the input, 2 on bad usage.
"""

import sys
import time

import _kelvane


def run(name, data, **kwargs):
    start = time.perf_counter()
    container = _kelvane.compress(data, **kwargs)
    encode = time.perf_counter() - start
    start = time.perf_counter()
    restored = _kelvane.decompress(container)
    decode = time.perf_counter() - start
    ratio = len(data) / len(container) if container else 0.0
    print("%-6s %12d -> %10d bytes  ratio %7.2f  encode %7.3f s  decode %7.3f s"
          % (name, len(data), len(container), ratio, encode, decode))
    print("       info: %s" % _kelvane.info(container))
    if restored != data:
        print("       MISMATCH: decompressed bytes differ from the input", file=sys.stderr)
        return False
    return True


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1], "rb") as f:
        data = f.read()
    print("_kelvane %s, %s: %d bytes, detected as %s"
          % (_kelvane.__version__, argv[1], len(data), _kelvane.detect_format(data)))
    ok = run("fast", data, mode="fast")
    ok = run("turbo", data, turbo=True) and ok
    print("round trips: %s" % ("identical" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
