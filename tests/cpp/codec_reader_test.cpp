// The container reader: every check with its kind and message, the flag
// rules, each payload kind decoding to its input, and corrupt or cut
// containers of each kind failing cleanly.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include "codec/brotli_coder.hpp"
#include "codec/codec.hpp"
#include "codec/dict_coder.hpp"
#include "codec/driver.hpp"
#include "codec/zstd_util.hpp"
#include "codec_test_support.hpp"

namespace kelvane::codec {
namespace {

using kvn::ErrorKind;
using namespace test;

Bytes zstd(ByteSpan data, int level = 3) { return zstd_compress(data, level).value(); }

const Bytes kText = to_bytes("hello, container reader\n");

struct FailureCase {
  const char* name;
  Bytes input;
  ErrorKind kind;
  std::string message;
};

std::vector<FailureCase> failure_cases() {
  std::vector<FailureCase> cases;
  auto add = [&](const char* name, Bytes input, ErrorKind kind, std::string message) {
    cases.push_back({name, std::move(input), kind, std::move(message)});
  };
  const Bytes good = container_for(kText, 0, {}, zstd(kText));
  const std::string eof = "failed to fill whole buffer";
  const std::string cm_short = "CM mode compressed data too short";

  add("31 bytes", Bytes(good.begin(), good.begin() + 31), ErrorKind::UnexpectedEof, eof);
  add("empty", {}, ErrorKind::UnexpectedEof, eof);
  Fields s;
  s.magic = 0x044E564B;
  add("magic", container(s, {}, {}), ErrorKind::InvalidData, "not a .kvn file");
  s = Fields{};
  s.version = 2;
  add("version", container(s, {}, {}), ErrorKind::InvalidData,
      "unsupported .kvn version: 2 (expected 3)");
  s = Fields{};
  s.mode = 3;
  s.format = 11;  // the mode is looked at first
  add("mode", container(s, {}, {}), ErrorKind::InvalidData, "unknown mode: 3");
  s = Fields{};
  s.format = 11;
  add("format", container(s, {}, {}), ErrorKind::InvalidData, "unknown format: 11");
  s = Fields{};
  s.flags = kvn::FLAG_HAS_METADATA;
  s.meta_len = 0xFFFFFFFF;
  add("metadata section past the end", container(s, {}, {}), ErrorKind::UnexpectedEof, eof);
  {
    Bytes cut = good;
    kvn::Bytes size;
    kvn::append_u64_le(size, 0xFFFFFFFF);
    std::copy(size.begin(), size.end(), cut.begin() + 16);
    add("payload past the end", cut, ErrorKind::UnexpectedEof, eof);
  }
  for (std::uint8_t mode : {0, 1}) {
    s = Fields{};
    s.mode = mode;
    add("cm 7 bytes", container(s, {}, Bytes(7, 0)), ErrorKind::InvalidData, cm_short);
    s.flags = kvn::FLAG_HAS_METADATA;  // the payload is checked before the chain is read
    add("cm 7 bytes before a cut chain", container(s, Bytes{1, 200, 0}, Bytes(7, 0)),
        ErrorKind::InvalidData, cm_short);
    s.flags = 0;
    const auto cm_payload = [](std::uint32_t out_len) {
      Bytes payload;
      kvn::append_u32_le(payload, out_len);
      kvn::append_u32_le(payload, 0);
      kvn::append_bytes(payload, Bytes(10, 0x55));
      return payload;
    };
    s.original_size = 0xFFFFFFFF;
    add("cm length beyond what the stream holds", container(s, {}, cm_payload(0xFFFFFFFF)),
        ErrorKind::InvalidData, cm_short);
    // No engine is built for a length that cannot be the original's...
    s.original_size = 100;
    add("cm length other than the declared size, no chain", container(s, {}, cm_payload(101)),
        ErrorKind::InvalidData, "size mismatch: header says 100 bytes, got 101");
    // ...nor for one longer than the chain's transforms can rebuild it from
    // (a record of an unknown kind changes nothing, so the text is at most
    // the original), nor when the chain travels inside the stream.
    s.flags = kvn::FLAG_HAS_METADATA;
    add("cm length beyond the chain's budget", container(s, opaque_chain({}), cm_payload(101)),
        ErrorKind::InvalidData,
        "CM stream length 101 exceeds the 100 bytes its transforms can rebuild the original from");
    s.flags = kvn::FLAG_EMBEDDED_METADATA;
    add("cm length beyond any embedded chain", container(s, {}, cm_payload(68841)),
        ErrorKind::InvalidData,
        "CM stream length 68841 exceeds the 68840 bytes its transforms can rebuild the original "
        "from");  // 4 + (100 + 65536) of metadata + 32 x 100 of text
  }
  {
    s = Fields{};
    s.original_size = (std::uint64_t{1} << 47) + 1;  // more than a process can hold
    add("declared size beyond 2^47", container(s, {}, zstd(kText)), ErrorKind::InvalidData,
        "size mismatch: header says 140737488355329 bytes, got 0");
  }
  {
    s = Fields{};
    s.mode = 0;
    Bytes prefix = {4, 0, 0, 0, 0, 0, 0, 0x80, 1, 2, 3, 4, 5, 6};
    add("neural flag", container(s, {}, prefix), ErrorKind::Other,
        "file was compressed with neural mode but this build lacks the `neural` feature. "
        "Rebuild with --features neural.");
  }
  add("brotli empty payload", container_for(kText, kvn::FLAG_BROTLI, {}, {}),
      ErrorKind::UnexpectedEof, "Unexpected EOF");
  add("dict payload too short", container_for(kText, kvn::FLAG_DICT, {}, Bytes{1, 2, 3}),
      ErrorKind::InvalidData, "dict payload too short for dict_size");
  add("zstd garbage", container_for(kText, 0, {}, Bytes(20, 0x41)), ErrorKind::InvalidData,
      ZSTD_getErrorString(ZSTD_error_prefix_unknown));
  {
    const Bytes big(70000, 'a');  // decodes to more than 2 x 1 + 65536 bytes
    Fields over;
    over.original_size = 1;
    add("zstd beyond the capacity", container(over, {}, zstd(big)), ErrorKind::InvalidData,
        ZSTD_getErrorString(ZSTD_error_dstSize_tooSmall));
  }
  add("embedded 3 bytes", container_for(kText, kvn::FLAG_EMBEDDED_METADATA, {}, zstd(Bytes{1, 2, 3})),
      ErrorKind::InvalidData, "embedded metadata: decompressed stream too short for meta_len");
  {
    Bytes block = {0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6};
    add("embedded meta_len 2^32-1", container_for(kText, kvn::FLAG_EMBEDDED_METADATA, {}, zstd(block)),
        ErrorKind::InvalidData,
        "embedded metadata: stream too short for metadata (4294967299 bytes needed, 10 available)");
  }
  {
    // More than any chain holds (the declared size and 64 KiB), though the
    // block has the bytes.
    Fields over;
    over.flags = kvn::FLAG_EMBEDDED_METADATA;
    over.original_size = 10;
    Bytes block;
    kvn::append_u32_le(block, 10 + 65536 + 1);
    block.resize(block.size() + 10 + 65536 + 1, 0);
    add("embedded meta_len over the chain cap", container(over, {}, zstd(block)),
        ErrorKind::InvalidData,
        "embedded metadata: meta_len 65547 exceeds the 65546 bytes a transform chain may hold");
  }
  add("metadata stream corrupt",
      container_for(kText, kvn::FLAG_HAS_METADATA | kvn::FLAG_METADATA_ZSTD, Bytes(16, 0x33),
                    zstd(kText)),
      ErrorKind::InvalidData,
      std::string("failed to decompress transform metadata: ") +
          ZSTD_getErrorString(ZSTD_error_prefix_unknown));
  {
    Bytes meta = opaque_chain(Bytes(100, 'm'));
    meta.resize(meta.size() - 1);  // cut inside the record's metadata
    const Bytes zmeta = zstd(meta);
    add("metadata stream cut",
        container_for(kText, kvn::FLAG_HAS_METADATA | kvn::FLAG_METADATA_ZSTD,
                      ByteSpan(zmeta).first(zmeta.size() - 2), zstd(kText)),
        ErrorKind::InvalidData,
        std::string("failed to decompress transform metadata: ") +
            ZSTD_getErrorString(ZSTD_error_srcSize_wrong));
    add("chain record cut", container_for(kText, kvn::FLAG_HAS_METADATA, Bytes{1, 200, 0}, zstd(kText)),
        ErrorKind::InvalidData, "transform record truncated");
    add("chain metadata cut", container_for(kText, kvn::FLAG_HAS_METADATA, meta, zstd(kText)),
        ErrorKind::InvalidData, "transform metadata truncated");
  }
  {
    s = Fields{};
    s.original_size = kText.size() + 5;  // wrong length and wrong CRC: CRC reported
    s.crc = 0x0000ABCD;
    add("crc", container(s, {}, zstd(kText)), ErrorKind::InvalidData,
        "CRC-32 mismatch: expected 0x0000ABCD, got 0x" + [] {
          char buf[16];
          std::snprintf(buf, sizeof buf, "%08X", crc32(kText));
          return std::string(buf);
        }());
    s.crc = crc32(kText);
    s.original_size = (std::uint64_t{1} << 32) + kText.size();  // the whole u64 is compared
    add("size", container(s, {}, zstd(kText)), ErrorKind::InvalidData,
        "size mismatch: header says 4294967320 bytes, got 24");
  }
  return cases;
}

TEST(Reader, EveryFailureHasItsKindAndMessage) {
  for (const FailureCase& c : failure_cases()) {
    SCOPED_TRACE(c.name);
    auto result = decompress_from_slice(c.input);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, c.kind);
    EXPECT_EQ(result.error().message, c.message);
  }
}

#if !defined(__SANITIZE_ADDRESS__)
// None of those failures costs an engine or an output of the size a header
// or a CM prefix declares: with the address space capped far below a
// full-size engine (over 2 GiB), each still fails with its own message
// rather than running out of memory. In a child process, so that the cap
// does not reach the other tests.
TEST(Reader, NoFailureBuildsAnEngineOrReservesADeclaredSize) {
  const std::vector<FailureCase> cases = failure_cases();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit cap{std::size_t{512} << 20, std::size_t{512} << 20};
    if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(255);
    for (std::size_t i = 0; i < cases.size(); ++i) {
      auto result = decompress_from_slice(cases[i].input);
      if (result.ok() || result.error().message != cases[i].message) _exit(static_cast<int>(i + 1));
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  const int code = WEXITSTATUS(status);
  EXPECT_EQ(code, 0) << (code > 0 && static_cast<std::size_t>(code) <= cases.size()
                             ? cases[static_cast<std::size_t>(code) - 1].name
                             : "the cap could not be set");
}
#endif

TEST(Reader, HeaderAndSectionsAreReadAsDeclared) {
  // info's view: header fields, sections borrowed from the input.
  Fields s;
  s.format = 10;
  s.flags = kvn::FLAG_HAS_METADATA | kvn::FLAG_BROTLI;
  s.original_size = 77;
  s.crc = 0xDEADBEEF;
  s.compressed_size_high = 5;
  const Bytes section = {1, 2, 3};
  const Bytes payload = {9, 8, 7, 6};
  const Bytes in = container(s, section, payload, Bytes{0xEE});
  auto view = parse_container(in);
  ASSERT_TRUE(view.ok());
  EXPECT_EQ(view->header.format, kvn::FormatHint::Xml);
  EXPECT_EQ(view->header.original_size, 77u);
  EXPECT_EQ(view->header.compressed_size, (std::uint64_t{5} << 32) | 4);
  EXPECT_EQ(view->header.crc32, 0xDEADBEEFu);
  EXPECT_TRUE(view->header.brotli());
  EXPECT_EQ(Bytes(view->metadata.begin(), view->metadata.end()), section);
  EXPECT_EQ(Bytes(view->payload.begin(), view->payload.end()), payload);

  // Capacity is 64-bit and saturates.
  ContainerHeader h;
  h.original_size = std::uint64_t{3} << 30;
  EXPECT_EQ(h.decode_capacity(), (std::uint64_t{6} << 30) + 65536);
  EXPECT_EQ(h.metadata_capacity(), (std::uint64_t{3} << 30) + 65536);
  h.original_size = UINT64_MAX - 10;
  EXPECT_EQ(h.decode_capacity(), UINT64_MAX);
  EXPECT_EQ(h.metadata_capacity(), UINT64_MAX);
}

// Every payload kind, each decoding to `original`.
struct KindCase {
  const char* name;
  Bytes container;
};

std::vector<KindCase> kind_cases(const Bytes& original) {
  std::vector<KindCase> cases;
  const Bytes chain = opaque_chain(Bytes(300, 'k'));  // compresses well
  const PackedMetadata packed = pack_metadata(chain);
  EXPECT_TRUE(packed.zstd);
  const std::uint8_t meta = kvn::FLAG_HAS_METADATA;
  const std::uint8_t meta_z = kvn::FLAG_HAS_METADATA | kvn::FLAG_METADATA_ZSTD;
  auto add = [&](const char* name, std::uint8_t flags, ByteSpan section, ByteSpan payload) {
    cases.push_back({name, container_for(original, flags, section, payload)});
  };
  add("zstd raw", 0, {}, zstd(original, 19));
  add("zstd transformed", meta, chain, zstd(original));
  add("zstd transformed, zstd metadata", meta_z, packed.section, zstd(original));
  add("embedded zstd", kvn::FLAG_EMBEDDED_METADATA, {}, zstd(embedded_block(chain, original)));
  add("embedded brotli", kvn::FLAG_EMBEDDED_METADATA | kvn::FLAG_BROTLI, {},
      brotli_compress(embedded_block(chain, original), 10, BROTLI_MODE_GENERIC).value());
  add("brotli text", kvn::FLAG_BROTLI, {},
      brotli_compress(original, 11, BROTLI_MODE_TEXT).value());
  add("brotli generic", meta | kvn::FLAG_BROTLI, chain, brotli_compress(original, 9, BROTLI_MODE_GENERIC).value());
  add("dictionary", meta_z | kvn::FLAG_DICT, packed.section,
      try_dict_compress(original, 3, UINT64_MAX).value());
  return cases;
}

TEST(Reader, EveryPayloadKindRoundTrips) {
  const Bytes original = log_lines(2000);
  for (const KindCase& c : kind_cases(original)) {
    SCOPED_TRACE(c.name);
    auto result = decompress_from_slice(c.container);
    ASSERT_TRUE(result.ok()) << result.error().message;
    EXPECT_EQ(*result, original);
  }
}

TEST(Reader, FlagRulesAndIgnoredFields) {
  const Bytes z = zstd(kText);
  auto decodes = [&](const Bytes& in) {
    auto r = decompress_from_slice(in);
    return r.ok() && *r == kText;
  };
  Fields s;
  s.original_size = kText.size();
  s.crc = crc32(kText);
  struct Case {
    const char* name;
    Bytes container;
  };
  std::vector<Case> cases;
  {
    Fields t = s;
    t.meta_len = 1000;  // without the metadata flag meta_len is not looked at
    cases.push_back({"meta_len without flag", container(t, {}, z)});
    t = s;
    t.flags = kvn::FLAG_HAS_METADATA;  // with meta_len 0: no section
    cases.push_back({"flag with meta_len 0", container(t, {}, z)});
    t = s;
    t.flags = 0xE0;  // bits 5-7
    cases.push_back({"high flag bits", container(t, {}, z)});
    t = s;
    t.compressed_size_high = 0xFFFFFFFF;
    cases.push_back({"high half of compressed_size", container(t, {}, z, Bytes(9, 0xAB))});
    t = s;
    t.flags = kvn::FLAG_BROTLI | kvn::FLAG_DICT;  // brotli first
    cases.push_back({"brotli and dict", container(t, {}, brotli_compress(kText, 11, 1).value())});
    t = s;
    t.flags = kvn::FLAG_METADATA_ZSTD;  // empty section: no metadata
    cases.push_back({"zstd metadata flag, no section", container(t, {}, z)});
    t = s;
    t.flags = kvn::FLAG_EMBEDDED_METADATA | kvn::FLAG_HAS_METADATA;  // section not used
    cases.push_back({"embedded, meta_len 0", container(t, Bytes{0xFF}, zstd(embedded_block({}, kText)))});
    t = s;
    Bytes frames = zstd({});  // an empty frame first: nothing to size the buffer by
    kvn::append_bytes(frames, zstd(ByteSpan(kText).first(10)));
    kvn::append_bytes(frames, zstd(ByteSpan(kText).subspan(10)));
    cases.push_back({"concatenated frames", container(t, {}, frames)});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(decodes(c.container));
  }
  Fields empty;  // no frames at all: the empty input
  EXPECT_TRUE(decompress_from_slice(container(empty, {}, {})).ok());
}

TEST(Reader, ForgedSizesReserveNothing) {
  // A frame header declaring 1 TiB of content, in a container declaring as
  // much: it fails on its data, without reserving what it declares.
  Bytes frame;
  kvn::append_u32_le(frame, 0xFD2FB528);
  kvn::append_u8(frame, 0xC0);  // 8-byte content size, window descriptor present
  kvn::append_u8(frame, 0x00);  // window 1 KiB
  kvn::append_u64_le(frame, std::uint64_t{1} << 40);
  kvn::append_u8(frame, (10 << 3) | 1);  // last raw block of 10 bytes
  kvn::append_u8(frame, 0);
  kvn::append_u8(frame, 0);
  kvn::append_bytes(frame, Bytes(10, 'x'));
  Fields s;
  s.original_size = std::uint64_t{1} << 40;
  for (std::uint8_t flags : {std::uint8_t{0}, kvn::FLAG_DICT}) {
    Bytes payload = frame;
    if (flags == kvn::FLAG_DICT) {
      payload.clear();
      kvn::append_u32_le(payload, 0);  // no dictionary
      kvn::append_u32_le(payload, 1);
      kvn::append_u32_le(payload, static_cast<std::uint32_t>(frame.size()));
      kvn::append_bytes(payload, frame);
    }
    s.flags = flags;
    auto r = decompress_from_slice(container(s, {}, payload));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidData) << r.error().message;
  }
}

TEST(Reader, OutputGrowsToTheDeclaredSizeAndNoFurther) {
  // 16 MiB of zeros code to a few hundred bytes: the buffer grows from a
  // small start and stops at the frame's declared size.
  const Bytes zeros(16u << 20, 0);
  auto r = decompress_from_slice(container_for(zeros, 0, {}, zstd(zeros)));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->size(), zeros.size());
  EXPECT_EQ(r->capacity(), zeros.size());
}

TEST(Reader, CorruptOrCutContainersOfEveryKindFailCleanly) {
  const Bytes original = log_lines(2000);
  for (const KindCase& c : kind_cases(original)) {
    SCOPED_TRACE(c.name);
    auto view = parse_container(c.container).value();
    const Bytes section(view.metadata.begin(), view.metadata.end());
    const Bytes payload(view.payload.begin(), view.payload.end());
    Fields s;
    s.flags = view.header.flags;
    s.original_size = view.header.original_size;
    s.crc = view.header.crc32;
    // Cut payloads, with the header's length following the cut.
    for (std::size_t keep = 0; keep < payload.size(); keep += 1 + payload.size() / 40) {
      auto r = decompress_from_slice(container(s, section, ByteSpan(payload).first(keep)));
      EXPECT_FALSE(r.ok()) << "kept " << keep;
    }
    // Flipped bytes: an error or, rarely, the right bytes; never anything else.
    for (std::size_t at = 0; at < payload.size(); at += 1 + payload.size() / 60) {
      Bytes bad = payload;
      bad[at] ^= 0x5A;
      auto r = decompress_from_slice(container(s, section, bad));
      if (r.ok()) {
        EXPECT_EQ(*r, original) << "flipped " << at;
      }
    }
    // A cut container is refused at the header or sections.
    for (std::size_t keep : {std::size_t{0}, std::size_t{31}, c.container.size() - 1}) {
      EXPECT_FALSE(decompress_from_slice(ByteSpan(c.container).first(keep)).ok());
    }
  }
}

}  // namespace
}  // namespace kelvane::codec
