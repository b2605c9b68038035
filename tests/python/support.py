"""Shared helpers of the module tests: sample inputs, hand-built container
headers, and which compression modes this build can run."""

import json
import os
import random
import struct
import zlib


SANITIZED = os.environ.get("KELVANE_SANITIZED") == "1"

HEADER_SIZE = 32
MAGIC = b"KVN\x03"


def ndjson_lines(count, seed=1):
    rng = random.Random(seed)
    lines = []
    for i in range(count):
        lines.append(json.dumps({
            "ts": 1700000000 + i,
            "level": rng.choice(["info", "warn", "error"]),
            "host": "web-%d" % rng.randrange(8),
            "latency_ms": rng.randrange(900),
            "path": rng.choice(["/", "/api/v1/items", "/login", "/health"]),
        }))
    return ("\n".join(lines) + "\n").encode()


def random_bytes(count, seed=2):
    return random.Random(seed).randbytes(count)


SMALL_NDJSON = ndjson_lines(20)
# About 1 MB of NDJSON.
LARGE_NDJSON = ndjson_lines(11000)
assert 900_000 < len(LARGE_NDJSON) < 1_200_000

SAMPLES = {
    "empty": b"",
    "one byte": b"x",
    "small ndjson": SMALL_NDJSON,
    "json array": b"[1, 2, 3, {\"a\": [true, null]}]",
    "binary": random_bytes(3000),
    "large ndjson": LARGE_NDJSON,
}


def header(mode=2, fmt=0, flags=0, original_size=0, compressed_size=0, crc=0,
           meta_len=0, magic=MAGIC, version=3):
    """The 32 header bytes of a container."""
    return magic + struct.pack("<BBBBQQII", version, mode, fmt, flags,
                               original_size, compressed_size, crc, meta_len)


def with_header_field(container, offset, fmt, value):
    """A copy of `container` with one header field replaced."""
    data = bytearray(container)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def raw_zstd_frame(data):
    """One zstd frame that stores `data` (at most 128 KiB) as a raw block."""
    assert len(data) <= 128 << 10
    descriptor = 0xE0  # a single segment, its content size in 8 bytes
    block = 1 | (len(data) << 3)  # the last block, raw
    return (b"\x28\xb5\x2f\xfd" + bytes([descriptor]) + struct.pack("<Q", len(data))
            + block.to_bytes(3, "little") + data)


def crc_message(expected, got):
    return "CRC-32 mismatch: expected 0x%08X, got 0x%08X" % (expected, got)


def crc32(data):
    return zlib.crc32(data) & 0xFFFFFFFF


ALL_MODES = ("fast", "balanced", "max")
