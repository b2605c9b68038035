// Writes the seed corpora of the fuzz targets:
//   kelvane_fuzz_seeds <seeds-dir>
// fills <seeds-dir>/fuzz_decompress (containers: valid ones of every payload
// kind, containers cut short, headers with forged lengths and fields),
// <seeds-dir>/fuzz_fast_roundtrip (inputs to compress),
// <seeds-dir>/typed_reverse_fuzz (columnar texts, their typed streams and
// streams forged by hand) and the typed-column inputs of
// <seeds-dir>/transform_roundtrip_fuzz. Containers are built
// by hand with zstd, brotli and zlib, so each seed holds exactly the field it
// is named after, and also by the driver for the round-trip inputs.
#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/codec.hpp"
#include "columnar_text.hpp"
#include "format/format.hpp"
#include "format/transform.hpp"
#include "format/typed_encoding/typed_encoding.hpp"
#include "kvn/bytes.hpp"
#include "kvn/container.hpp"

namespace kvn = kelvane::kvn;
namespace codec = kelvane::codec;
namespace fs = std::filesystem;
using kvn::Bytes;

namespace {

fs::path g_dir;

void write_seed(const std::string& name, const Bytes& bytes) {
  std::ofstream out(g_dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", (g_dir / name).c_str());
    std::exit(1);
  }
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::uint32_t crc_of(const Bytes& b) {
  return static_cast<std::uint32_t>(crc32_z(0L, b.data(), b.size()));
}

Bytes zstd_frame(const Bytes& data, int level = 3) {
  Bytes out(ZSTD_compressBound(data.size()));
  const std::size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), level);
  if (ZSTD_isError(n)) std::exit(1);
  out.resize(n);
  return out;
}

Bytes brotli_stream(const Bytes& data, int mode = BROTLI_MODE_TEXT) {
  std::size_t n = BrotliEncoderMaxCompressedSize(data.size());
  Bytes out(n == 0 ? data.size() + 1024 : n);
  n = out.size();
  if (!BrotliEncoderCompress(11, 22, static_cast<BrotliEncoderMode>(mode), data.size(),
                             data.data(), &n, out.data())) {
    std::exit(1);
  }
  out.resize(n);
  return out;
}

struct Header {
  std::uint32_t magic = kvn::KVN_MAGIC;
  std::uint8_t version = kvn::KVN_VERSION;
  std::uint8_t mode = 2;
  std::uint8_t format = 0;
  std::uint8_t flags = 0;
  std::uint64_t original_size = 0;
  std::optional<std::uint64_t> compressed_size;  // default: the payload length
  std::uint32_t crc = 0;
  std::optional<std::uint32_t> meta_len;  // default: the section length
};

Bytes container(const Header& h, const Bytes& section, const Bytes& payload) {
  Bytes out;
  kvn::append_u32_le(out, h.magic);
  kvn::append_u8(out, h.version);
  kvn::append_u8(out, h.mode);
  kvn::append_u8(out, h.format);
  kvn::append_u8(out, h.flags);
  kvn::append_u64_le(out, h.original_size);
  kvn::append_u64_le(out, h.compressed_size.value_or(payload.size()));
  kvn::append_u32_le(out, h.crc);
  kvn::append_u32_le(out, h.meta_len.value_or(static_cast<std::uint32_t>(section.size())));
  kvn::append_bytes(out, section);
  kvn::append_bytes(out, payload);
  return out;
}

// A correct header for `original` with the given payload.
Bytes valid(const Bytes& original, std::uint8_t flags, const Bytes& section, const Bytes& payload) {
  Header h;
  h.flags = flags;
  h.original_size = original.size();
  h.crc = crc_of(original);
  return container(h, section, payload);
}

Bytes cut(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

// u32 |M|, M, T.
Bytes embedded_block(const Bytes& meta, const Bytes& data) {
  Bytes block;
  kvn::append_u32_le(block, static_cast<std::uint32_t>(meta.size()));
  kvn::append_bytes(block, meta);
  kvn::append_bytes(block, data);
  return block;
}

// A DictPayload with a raw-content dictionary and `chunk`-byte chunks.
Bytes dict_payload(const Bytes& data, std::size_t chunk) {
  const Bytes dict(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(256, data.size())));
  Bytes out;
  kvn::append_u32_le(out, static_cast<std::uint32_t>(dict.size()));
  kvn::append_bytes(out, dict);
  const std::size_t chunks = (data.size() + chunk - 1) / chunk;
  kvn::append_u32_le(out, static_cast<std::uint32_t>(chunks));
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  for (std::size_t at = 0; at < data.size(); at += chunk) {
    const std::size_t len = std::min(chunk, data.size() - at);
    Bytes frame(ZSTD_compressBound(len));
    const std::size_t n = ZSTD_compress_usingDict(cctx, frame.data(), frame.size(), data.data() + at,
                                                  len, dict.data(), dict.size(), 3);
    if (ZSTD_isError(n)) std::exit(1);
    kvn::append_u32_le(out, static_cast<std::uint32_t>(n));
    out.insert(out.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(n));
  }
  ZSTD_freeCCtx(cctx);
  return out;
}

const char* const kNdjson =
    "{\"ts\":\"2024-03-01T12:00:00.000Z\",\"host\":\"a1\",\"status\":200,\"bytes\":512,\"ok\":true}\n"
    "{\"ts\":\"2024-03-01T12:00:01.250Z\",\"host\":\"a2\",\"status\":404,\"bytes\":0,\"ok\":false}\n"
    "{\"ts\":\"2024-03-01T12:00:02.500Z\",\"host\":\"a1\",\"status\":200,\"bytes\":2048,\"ok\":true}\n"
    "{\"ts\":\"2024-03-01T12:00:03.750Z\",\"host\":\"a3\",\"status\":500,\"bytes\":17,\"ok\":null}\n";

const char* const kNested =
    "{\"id\":1,\"req\":{\"method\":\"GET\",\"path\":\"/a\"},\"tags\":[\"x\",\"y\"],\"lat\":0.25}\n"
    "{\"id\":2,\"req\":{\"method\":\"POST\",\"path\":\"/b\"},\"tags\":[],\"lat\":1.5e3}\n"
    "{\"id\":3,\"req\":{\"method\":\"GET\",\"path\":\"/a\\\"q\\\\\"},\"tags\":[\"z\"],\"lat\":-7}\n";

const char* const kMixedShapes =
    "{\"a\":1,\"b\":\"x\"}\n{\"a\":2,\"b\":\"y\"}\n{\"c\":[1,2]}\n{\"a\":3,\"b\":\"z\"}\n"
    "{\"c\":[3]}\n{\"a\":4}\n";

const char* const kJsonArray =
    "[{\"name\":\"alpha\",\"n\":1,\"v\":1.25},{\"name\":\"beta\",\"n\":2,\"v\":2.5},"
    "{\"name\":\"gamma\",\"n\":3,\"v\":null}]";

// `lines` NDJSON records of one shape with varying values: large enough for
// the columnar transforms and the dictionary coder to be chosen.
std::string generated_ndjson(int lines) {
  std::uint32_t x = 12345;
  auto next = [&x](std::uint32_t n) {
    x = x * 1103515245u + 12345u;
    return (x >> 16) % n;
  };
  const char* methods[] = {"GET", "POST", "PUT"};
  const int statuses[] = {200, 200, 200, 404, 500};
  std::string out;
  char line[256];
  for (int i = 0; i < lines; ++i) {
    std::snprintf(line, sizeof(line),
                  "{\"ts\":\"2024-03-01T12:%02d:%02d.%03uZ\",\"host\":\"h%u\",\"status\":%d,"
                  "\"bytes\":%u,\"req\":{\"m\":\"%s\",\"p\":\"/x/%u\"}}\n",
                  (i / 60) % 60, i % 60, next(1000), next(4), statuses[next(5)], next(100000),
                  methods[next(3)], next(50));
    out += line;
  }
  return out;
}

void write_roundtrip_seeds() {
  write_seed("empty", {});
  write_seed("one_byte", text("x"));
  write_seed("blanks", text(" \t\r\n\f "));
  write_seed("vt_then_brace", text("\x0b{\"a\":1}\n{\"a\":2}\n"));
  write_seed("text_31", text("thirty-one bytes of plain text."));
  write_seed("number_array", text("[1,2,3,4.5,-6e7]"));
  write_seed("object", text("{\"k\":{\"n\":[true,false,null]}}"));
  // '{' and '[' are odd bytes (turbo); a leading blank or newline runs the race.
  write_seed("ndjson_turbo", text(kNdjson));
  write_seed("ndjson_race", text(std::string("\n") + kNdjson));
  write_seed("nested_race", text(std::string(" ") + kNested));
  write_seed("mixed_shapes_race", text(std::string("\n") + kMixedShapes));
  write_seed("json_array_race", text(std::string(" ") + kJsonArray));
  write_seed("json_array_turbo", text(kJsonArray));
  write_seed("columns_race", text("\n" + generated_ndjson(200)));
  write_seed("columns_turbo", text(generated_ndjson(120)));
  Bytes binary;
  for (int i = 0; i < 300; ++i) binary.push_back(static_cast<std::uint8_t>((i * 37) ^ (i >> 3)));
  write_seed("binary", binary);
}

void write_decompress_seeds() {
  const Bytes data = text(kNdjson);
  const Bytes zstd_payload = zstd_frame(data);
  const Bytes zstd_container = valid(data, 0, {}, zstd_payload);
  const Bytes brotli_container = valid(data, kvn::FLAG_BROTLI, {}, brotli_stream(data));

  write_seed("empty", {});
  write_seed("short_31", cut(zstd_container, 31));
  write_seed("header_only", valid({}, 0, {}, {}));  // empty payload: no frames, empty result
  write_seed("zstd", zstd_container);
  write_seed("zstd_empty_input", valid({}, 0, {}, zstd_frame({})));
  {
    Bytes two = zstd_frame(cut(data, 100));
    kvn::append_bytes(two, zstd_frame(Bytes(data.begin() + 100, data.end())));
    write_seed("zstd_two_frames", valid(data, 0, {}, two));
  }
  {
    Bytes trailing = zstd_container;
    kvn::append_bytes(trailing, text("trailing bytes are ignored"));
    write_seed("zstd_trailing", trailing);
  }
  write_seed("brotli", brotli_container);
  write_seed("brotli_generic", valid(data, kvn::FLAG_BROTLI, {}, brotli_stream(data, BROTLI_MODE_GENERIC)));
  write_seed("brotli_and_dict_flags", valid(data, kvn::FLAG_BROTLI | kvn::FLAG_DICT, {}, brotli_stream(data)));
  write_seed("high_flag_bits", valid(data, 0xE0, {}, zstd_payload));
  {
    Bytes big;
    for (int i = 0; i < 40; ++i) kvn::append_bytes(big, data);
    write_seed("dict", valid(big, kvn::FLAG_DICT, {}, dict_payload(big, 4096)));
  }

  // Metadata: a chain with one record of a kind no reader knows (skipped).
  kelvane::format::transform::TransformChain chain;
  chain.records.push_back({200, text("opaque")});
  const Bytes meta = chain.serialize();
  write_seed("metadata_raw", valid(data, kvn::FLAG_HAS_METADATA, meta, zstd_payload));
  write_seed("metadata_zstd",
             valid(data, kvn::FLAG_HAS_METADATA | kvn::FLAG_METADATA_ZSTD, zstd_frame(meta, 19), zstd_payload));
  write_seed("metadata_zstd_flag_no_section", valid(data, kvn::FLAG_METADATA_ZSTD, {}, zstd_payload));
  {
    // A section that inflates past original_size + 64 KiB.
    kelvane::format::transform::TransformChain large;
    large.records.push_back({200, Bytes(std::size_t{1} << 20, 0)});
    write_seed("metadata_zstd_beyond_capacity",
               valid(data, kvn::FLAG_HAS_METADATA | kvn::FLAG_METADATA_ZSTD,
                     zstd_frame(large.serialize(), 19), zstd_payload));
  }
  write_seed("metadata_bad_chain", valid(data, kvn::FLAG_HAS_METADATA, text("\x02\x01\xff\xff"), zstd_payload));
  write_seed("embedded_zstd", valid(data, kvn::FLAG_EMBEDDED_METADATA, {}, zstd_frame(embedded_block(meta, data))));
  write_seed("embedded_brotli", valid(data, kvn::FLAG_EMBEDDED_METADATA | kvn::FLAG_BROTLI, {},
                                      brotli_stream(embedded_block(meta, data))));
  write_seed("embedded_empty_meta", valid(data, kvn::FLAG_EMBEDDED_METADATA, {}, zstd_frame(embedded_block({}, data))));
  write_seed("embedded_3_bytes", valid(data, kvn::FLAG_EMBEDDED_METADATA, {}, zstd_frame(text("abc"))));
  {
    Bytes forged;
    kvn::append_u32_le(forged, 0xFFFFFFFFu);
    kvn::append_bytes(forged, text("ten bytes!"));
    write_seed("embedded_meta_len_max", valid(data, kvn::FLAG_EMBEDDED_METADATA, {}, zstd_frame(forged)));
  }

  // Header fields.
  {
    Header h;
    h.magic = 0x034E5641u;
    write_seed("bad_magic", container(h, {}, zstd_payload));
    h = Header{};
    h.version = 2;
    write_seed("version_2", container(h, {}, zstd_payload));
    h = Header{};
    h.mode = 3;
    h.format = 11;
    write_seed("mode_3", container(h, {}, zstd_payload));
    h = Header{};
    h.format = 11;
    write_seed("format_11", container(h, {}, zstd_payload));
  }

  // Context-mixing modes: only the checks before any engine is built.
  for (std::uint8_t mode : {0, 1}) {
    Header h;
    h.mode = mode;
    const std::string m = std::to_string(mode);
    write_seed("mode" + m + "_payload_7", container(h, {}, text(std::string_view("\x05\0\0\0\0\0\0", 7))));
    Bytes neural;
    kvn::append_u64_le(neural, kvn::NEURAL_FLAG | 5);
    kvn::append_bytes(neural, text("abcdefgh"));
    write_seed("mode" + m + "_neural", container(h, {}, neural));
  }

  // Forged lengths.
  {
    Header h;
    h.flags = kvn::FLAG_HAS_METADATA;
    h.meta_len = 0xFFFFFFFFu;
    write_seed("meta_len_max", container(h, {}, zstd_payload));
    h.meta_len = 0xFFFFFFF0u;
    h.flags = 0;
    h.original_size = data.size();
    h.crc = crc_of(data);
    write_seed("meta_len_ignored", container(h, {}, zstd_payload));
    h.meta_len = 0;
    h.flags = kvn::FLAG_HAS_METADATA;
    write_seed("meta_len_zero_with_flag", container(h, {}, zstd_payload));
  }
  {
    Header h;
    h.original_size = data.size();
    h.crc = crc_of(data);
    h.compressed_size = 0xFFFFFFFFu;
    write_seed("compressed_size_max", container(h, {}, zstd_payload));
    h.compressed_size = (std::uint64_t{1} << 32) | zstd_payload.size();
    write_seed("compressed_size_high_bits", container(h, {}, zstd_payload));
    h.compressed_size = std::nullopt;
    h.original_size = ~std::uint64_t{0};
    write_seed("original_size_max", container(h, {}, zstd_payload));
    h.original_size = data.size() + 1;
    write_seed("original_size_off_by_one", container(h, {}, zstd_payload));
    h.original_size = data.size();
    h.crc ^= 1;
    write_seed("crc_wrong", container(h, {}, zstd_payload));
  }
  {
    // A frame that declares 2^40 bytes of content but carries 5.
    Bytes frame = {0x28, 0xB5, 0x2F, 0xFD, 0xE0};
    kvn::append_u64_le(frame, std::uint64_t{1} << 40);
    kvn::append_bytes(frame, Bytes{0x29, 0x00, 0x00});
    kvn::append_bytes(frame, text("hello"));
    write_seed("zstd_declared_huge", valid(text("hello"), 0, {}, frame));
  }
  {
    // Output far beyond 2 x original_size + 65536.
    const Bytes zeros(8u << 20, 0);
    Header h;
    h.original_size = 10;
    write_seed("zstd_bomb", container(h, {}, zstd_frame(zeros, 19)));
    h.flags = kvn::FLAG_BROTLI;
    write_seed("brotli_bomb", container(h, {}, brotli_stream(zeros)));
  }
  {
    Bytes forged;
    kvn::append_u32_le(forged, 0xFFFFFFFFu);
    kvn::append_bytes(forged, text("dictionary?"));
    write_seed("dict_size_max", valid(data, kvn::FLAG_DICT, {}, forged));
    forged.clear();
    kvn::append_u32_le(forged, 0);
    kvn::append_u32_le(forged, 0xFFFFFFFFu);
    kvn::append_u32_le(forged, 0xFFFFFFF0u);
    write_seed("dict_chunks_max", valid(data, kvn::FLAG_DICT, {}, forged));
  }

  // Cut containers.
  write_seed("zstd_cut_33", cut(zstd_container, 33));
  write_seed("zstd_cut_half", cut(zstd_container, 32 + zstd_payload.size() / 2));
  write_seed("zstd_cut_last", cut(zstd_container, zstd_container.size() - 1));
  write_seed("brotli_cut_half", cut(brotli_container, brotli_container.size() / 2 + 16));
  {
    const Bytes with_meta = valid(data, kvn::FLAG_HAS_METADATA, meta, zstd_payload);
    write_seed("metadata_cut", cut(with_meta, 32 + meta.size() / 2));
    Bytes cut_frame = zstd_frame(embedded_block(meta, data));
    cut_frame.resize(cut_frame.size() - 3);
    write_seed("embedded_frame_cut", valid(data, kvn::FLAG_EMBEDDED_METADATA, {}, cut_frame));
  }
}

// Containers written by the driver itself, for each round-trip input, with
// and without turbo.
void write_driver_seeds(const fs::path& inputs) {
  for (const auto& entry : fs::directory_iterator(inputs)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const Bytes input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (bool turbo : {false, true}) {
      Bytes out;
      if (!codec::compress_with_all_options(input, 2, kvn::FORMAT_AUTO, std::nullopt, turbo, out).ok()) {
        std::fprintf(stderr, "driver failed on %s\n", entry.path().c_str());
        std::exit(1);
      }
      write_seed("driver_" + entry.path().filename().string() + (turbo ? "_turbo" : "_race"), out);
    }
  }
}

}  // namespace

// ---- the typed column stream ----

using test_support::columnar;

// Row `i` of a log record whose fields cover every value class the typed
// stream encodes; `nulls` puts null into some of them.
struct TypedRow {
  std::string ts, uuid, method, status, bytes, ok, rtt, note;
};
TypedRow typed_row(int i, bool nulls) {
  char buf[64];
  TypedRow row;
  std::snprintf(buf, sizeof buf, "\"2024-03-01T12:%02d:%02d.%03dZ\"", (i / 60) % 60, i % 60, (i * 37) % 1000);
  row.ts = buf;
  std::snprintf(buf, sizeof buf, "\"%08x-e89b-12d3-a456-%012x\"", 0x1234567u * static_cast<unsigned>(i + 1),
                static_cast<unsigned>(i * 7919));
  row.uuid = buf;
  const char* methods[] = {"\"GET\"", "\"POST\"", "\"PUT\""};
  row.method = methods[i % 3];
  row.status = std::to_string(200 + (i % 5 == 0 ? 300 : 0));
  row.bytes = std::to_string(static_cast<long long>(i) * 1000003 - 5000);
  row.ok = i % 4 ? "true" : "false";
  row.rtt = std::to_string(i % 10) + "." + std::to_string(i % 7) + "5";
  row.note = "\"n" + std::to_string(i) + "\"";
  if (nulls && i % 3 == 1) row.ts = row.status = row.ok = row.note = "null";
  if (nulls && i % 5 == 2) row.uuid = row.method = "null";
  return row;
}

std::vector<std::vector<std::string>> typed_columns(int rows, bool nulls) {
  std::vector<std::vector<std::string>> columns(8);
  for (int i = 0; i < rows; ++i) {
    const TypedRow r = typed_row(i, nulls);
    for (const auto& [c, v] : {std::pair{0, r.ts}, {1, r.uuid}, {2, r.method}, {3, r.status},
                               {4, r.bytes}, {5, r.ok}, {6, r.rtt}, {7, r.note}}) {
      columns[c].push_back(v);
    }
  }
  return columns;
}

void append_record(Bytes& stream, std::uint8_t tag, const Bytes& body) {
  stream.push_back(tag);
  kvn::append_u32_le(stream, static_cast<std::uint32_t>(body.size()));
  kvn::append_bytes(stream, body);
}

// A stream of the given (tag, body) records, its schema one String entry per column.
Bytes forged_stream(const std::vector<std::pair<std::uint8_t, Bytes>>& records) {
  Bytes schema;
  kvn::append_u16_le(schema, static_cast<std::uint16_t>(records.size()));
  for (std::size_t i = 0; i < records.size(); ++i) kvn::append_bytes(schema, Bytes{9, 0});
  Bytes stream;
  kvn::append_u16_le(stream, static_cast<std::uint16_t>(records.size()));
  kvn::append_u32_le(stream, static_cast<std::uint32_t>(schema.size()));
  kvn::append_bytes(stream, schema);
  for (const auto& [tag, body] : records) append_record(stream, tag, body);
  return stream;
}

void write_typed_reverse_seeds() {
  const std::vector<std::pair<std::string, Bytes>> texts = {
      {"log", columnar(typed_columns(40, false))},
      {"log_nulls", columnar(typed_columns(40, true))},
      {"one_row", columnar(typed_columns(1, false))},
      {"extremes", columnar({{"9223372036854775807", "-9223372036854775808", "0", "-1", "1"},
                             {"\"0000-01-01T00:00:00+14:59\"", "\"9999-12-31T23:59:59-14:59\"",
                              "\"1969-12-31T23:59:59-14:59\"", "\"2024-02-29T00:00:00-14:59\"",
                              "\"2024-02-29T00:00:00-14:59\""},
                             {"946684800", "4102444800000", "1.5e3", "null", "\"\""}})},
  };
  for (const auto& [name, text] : texts) {
    write_seed("text_" + name, text);
    if (auto stream = kelvane::format::typed_encoding::preprocess(text)) write_seed("stream_" + name, *stream);
  }

  Bytes fsst;  // symbols "ab", "xyz", "q"; values abxyzq! and qq
  kvn::append_u16_le(fsst, 3);
  for (const char* symbol : {"ab", "xyz", "q"}) {
    Bytes padded = text(symbol);
    padded.resize(8, 0);
    kvn::append_bytes(fsst, padded);
  }
  kvn::append_bytes(fsst, Bytes{2, 3, 1});
  kvn::append_u32_le(fsst, 2);
  for (const Bytes& codes : {Bytes{0, 1, 2, 255, '!'}, Bytes{2, 2}}) {
    kvn::append_u32_le(fsst, static_cast<std::uint32_t>(codes.size()));
    kvn::append_bytes(fsst, codes);
  }
  Bytes fsst_bad = fsst;
  fsst_bad[fsst_bad.size() - 1] = 200;  // no symbol 200
  const auto hex = [](std::uint8_t digits, std::uint32_t count, const Bytes& bytes) {
    Bytes body = {4, 0, '"', 'i', 'd', '-', digits};
    kvn::append_u32_le(body, count);
    kvn::append_bytes(body, bytes);
    return body;
  };
  const auto nullable = [](std::uint8_t inner, std::uint32_t count, const Bytes& bits, const Bytes& body) {
    Bytes out = {inner};
    kvn::append_u32_le(out, count);
    kvn::append_u32_le(out, static_cast<std::uint32_t>(bits.size()));
    kvn::append_bytes(out, bits);
    kvn::append_bytes(out, body);
    return out;
  };
  Bytes enum_bomb = {1};
  kvn::append_u32_le(enum_bomb, 200);
  kvn::append_bytes(enum_bomb, Bytes(200, 'e'));
  kvn::append_u32_le(enum_bomb, 400);
  kvn::append_bytes(enum_bomb, Bytes(400, 0));
  Bytes far_timestamp;  // base in the year 10000, then plain deltas
  kvn::append_u64_le(far_timestamp, 253402300800000000ull);
  kvn::append_bytes(far_timestamp, Bytes{1, 0, 0, 0});
  kvn::append_u32_le(far_timestamp, 3);
  kvn::append_bytes(far_timestamp, Bytes{2, 0x81, 0x01, 0x7F});
  Bytes last_timestamp;  // 9999-12-31T23:59:59Z, then one second on: past 9999
  kvn::append_u64_le(last_timestamp, 253402300799000000ull);
  kvn::append_bytes(last_timestamp, Bytes{0, 0, 0, 3});
  kvn::append_u32_le(last_timestamp, 3);
  kvn::append_bytes(last_timestamp, Bytes{1, 0x00, 0x80, 0x89, 0x7A, 0x7F});

  write_seed("forged_fsst", forged_stream({{8, fsst}, {9, hex(3, 2, {0xAB, 0xC0, 0x12, 0x30})}}));
  write_seed("forged_fsst_bad_code", forged_stream({{8, fsst_bad}}));
  write_seed("forged_hex_zero_digits", forged_stream({{9, hex(0, 100000, {})}}));
  write_seed("forged_nullable_inner",
             forged_stream({{3, nullable(8, 3, {0x05}, fsst)}, {3, nullable(9, 3, {0x03}, hex(2, 2, {1, 2}))},
                            {3, nullable(1, 20, {0xFF, 0x00, 0x0F}, {0x02, 0x80})}}));
  write_seed("forged_enum_bomb", forged_stream({{5, enum_bomb}, {3, nullable(5, 800, Bytes(100, 0xFF), enum_bomb)}}));
  write_seed("forged_timestamps", forged_stream({{4, far_timestamp}, {4, last_timestamp}}));
  write_seed("forged_unknown_tags", forged_stream({{12, text("a\x01b")}, {0, {}}, {2, {9, 0, 0, 0, 0xA5}}}));
}

// Inputs of the transforms' round trip in "fast" mode (control byte 5:
// NDJSON, 4: JSON) whose uniform layouts get typed columns.
void write_typed_transform_seeds() {
  std::string ndjson, array = "[", sparse = "{\"rows\": [";
  for (int i = 0; i < 60; ++i) {
    const TypedRow r = typed_row(i, true);
    const std::string fields = "\"ts\":" + r.ts + ",\"id\":" + r.uuid + ",\"method\":" + r.method +
                               ",\"status\":" + r.status + ",\"bytes\":" + r.bytes + ",\"ok\":" + r.ok +
                               ",\"rtt\":" + r.rtt + ",\"note\":" + r.note;
    ndjson += "{" + fields + "}\n";
    array += std::string(i ? ", " : "") + "{" + fields + ",\"geo\":{\"lat\":" + std::to_string(i % 90) +
             ".5,\"lon\":" + std::to_string(i % 7) + "}}";
    sparse += std::string(i ? "," : "") + "{\"id\":" + std::to_string(i) + ",\"m\":{\"k" +
              std::to_string(i % 8) + "\":" + std::to_string(i % 3) + "}}";
  }
  write_seed("ndjson_typed_fast", text("\x05" + ndjson));
  write_seed("json_array_typed_nested_fast", text("\x04" + array + "]"));
  write_seed("json_array_sparse_nested_fast", text("\x04" + sparse + "]}"));

  // The same, transformed, for the reverse of arbitrary chains: u16 chain
  // length, the chain's bytes, then the transformed text.
  g_dir = g_dir.parent_path() / "reverse_preprocess_fuzz";
  fs::create_directories(g_dir);
  const auto transformed = [](const std::string& input, kvn::FormatHint hint) {
    const auto pre = kelvane::format::preprocess(text(input), static_cast<std::uint8_t>(hint),
                                                 static_cast<std::uint8_t>(kvn::CompressionMode::Fast));
    const Bytes chain = pre.chain.serialize();
    Bytes seed;
    kvn::append_u16_le(seed, static_cast<std::uint16_t>(chain.size()));
    kvn::append_bytes(seed, chain);
    kvn::append_bytes(seed, pre.data);
    return seed;
  };
  write_seed("ndjson_typed_stream", transformed(ndjson, kvn::FormatHint::Ndjson));
  write_seed("json_array_nested_typed_stream", transformed(sparse + "]}", kvn::FormatHint::Json));
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <seeds-dir>\n", argv[0]);
    return 2;
  }
  const fs::path root(argv[1]);
  g_dir = root / "fuzz_fast_roundtrip";
  fs::create_directories(g_dir);
  write_roundtrip_seeds();
  g_dir = root / "fuzz_decompress";
  fs::create_directories(g_dir);
  write_decompress_seeds();
  write_driver_seeds(root / "fuzz_fast_roundtrip");
  g_dir = root / "typed_reverse_fuzz";
  fs::create_directories(g_dir);
  write_typed_reverse_seeds();
  g_dir = root / "transform_roundtrip_fuzz";
  fs::create_directories(g_dir);
  write_typed_transform_seeds();
  return 0;
}
