// The container reader: every header field checked in a fixed order, the
// sections cut out of the input without reserving anything for them, then
// the payload decoded by mode and flags, the metadata split off and applied,
// and the result verified by CRC-32 and length.
#include <cstdio>
#include <memory>
#include <string>

#include <zstd.h>

#include "codec/brotli_coder.hpp"
#include "codec/cm_codec.hpp"
#include "codec/codec.hpp"
#include "codec/crc32.hpp"
#include "codec/dict_coder.hpp"
#include "codec/zstd_util.hpp"
#include "format/format.hpp"
#include "kvn/saturating.hpp"
#include "model/cm_config.hpp"

namespace kelvane::codec {

namespace {

constexpr const char* kFillBuffer = "failed to fill whole buffer";
constexpr const char* kCmTooShort = "CM mode compressed data too short";
constexpr const char* kNeural =
    "file was compressed with neural mode but this build lacks the `neural` feature. "
    "Rebuild with --features neural.";
constexpr std::size_t kCmPrefixSize = 8;
// What both capacities add to the sizes they start from: 64 KiB.
constexpr std::uint64_t kCapacitySlack = 65536;

struct DStreamFree {
  void operator()(ZSTD_DStream* d) const noexcept { ZSTD_freeDStream(d); }
};

std::string size_mismatch(std::uint64_t declared, std::uint64_t got) {
  return "size mismatch: header says " + std::to_string(declared) + " bytes, got " +
         std::to_string(got);
}

std::string cm_length_exceeds(std::uint64_t out_len, std::uint64_t bound) {
  return "CM stream length " + std::to_string(out_len) + " exceeds the " + std::to_string(bound) +
         " bytes its transforms can rebuild the original from";
}

// Modes 0 and 1: the CM length prefix must be there, without the neural flag
// in mode 0.
Status check_cm_prefix(const ContainerHeader& header, ByteSpan payload) {
  KVN_RETURN_ERROR_IF(payload.size() < kCmPrefixSize, InvalidData, kCmTooShort);
  const auto high = static_cast<std::int32_t>(kvn::load_u32_le(payload.data() + 4));
  KVN_RETURN_ERROR_IF(header.mode == 0 && high < 0, Other, kNeural);
  return {};
}

// Whether a CM stream of `out_len` bytes, of which `front` come before the
// text (an embedded block's length field and chain), can hold the text of
// `chain`: with no chain the text is the original itself and its length
// must be the declared size; with one, it is at most what the chain's
// transforms can rebuild the original from (the budget of the text the
// chain's last reverse is given).
Status check_cm_text(const ContainerHeader& header, const format::transform::TransformChainView& chain,
                     std::uint64_t out_len, std::uint64_t front) {
  const std::uint64_t text = out_len - front;
  if (chain.empty()) {
    KVN_RETURN_ERROR_IF(text != header.original_size, InvalidData,
                        size_mismatch(header.original_size, text));
    return {};
  }
  const std::uint64_t budget = format::reverse_budgets(chain, header.original_size).stream;
  KVN_RETURN_ERROR_IF(text > budget, InvalidData, cm_length_exceeds(out_len, front + budget));
  return {};
}

// The most bytes a CM stream may code when its chain travels inside it:
// the block's length field, the most metadata a chain holds, and the
// largest text any chain can be given.
std::uint64_t embedded_text_bound(const ContainerHeader& header) noexcept {
  return kvn::saturating_add(kvn::saturating_add(4, header.metadata_capacity()),
                             format::max_chain_budget(header.original_size));
}

// Before any engine is built: whether the length the prefix declares is one
// the container can honestly hold, with the chain of its metadata section
// or, when the chain is embedded, with any chain.
Status check_cm_length(const ContainerHeader& header, ByteSpan payload,
                       const format::transform::TransformChainView& section_chain) {
  const std::uint32_t out_len = kvn::load_u32_le(payload.data());
  if (header.embedded()) {
    const std::uint64_t bound = embedded_text_bound(header);
    KVN_RETURN_ERROR_IF(out_len > bound, InvalidData, cm_length_exceeds(out_len, bound));
  } else {
    KVN_RETURN_IF_ERROR(check_cm_text(header, section_chain, out_len, 0));
  }
  // A stream this short cannot hold out_len bytes either.
  KVN_RETURN_ERROR_IF(out_len > cm_max_decoded_length(payload.size() - kCmPrefixSize),
                      InvalidData, kCmTooShort);
  return {};
}

// Mode 2: brotli, else a DictPayload, else concatenated zstd frames.
Result<Bytes> decode_fast(const ContainerHeader& header, ByteSpan payload) {
  const std::uint64_t capacity = header.decode_capacity();
  if (header.brotli()) return brotli_decompress(payload, capacity);
  if (header.dict()) return decompress_with_dict(payload, capacity);
  return zstd_decompress_bounded(payload, capacity);
}

// The zstd-compressed metadata section, read as one stream to its end, into
// a buffer of exactly its inflated length (measured first), so that a
// section's memory is its own size and never a growing buffer's slack. The
// records of the chain then borrow this buffer.
Result<Bytes> inflate_metadata(ByteSpan section, std::uint64_t limit) {
  std::unique_ptr<ZSTD_DStream, DStreamFree> stream(ZSTD_createDStream());
  KVN_RETURN_ERROR_IF(!stream, InvalidData,
                      std::string("failed to init metadata decompressor: ") +
                          zstd_error_text(ZSTD_error_memory_allocation));
  const std::size_t init = ZSTD_initDStream(stream.get());
  KVN_RETURN_ERROR_IF(ZSTD_isError(init), InvalidData,
                      std::string("failed to init metadata decompressor: ") +
                          ZSTD_getErrorName(init));
  std::uint64_t length = 0;
  std::string error = zstd_decoded_length(stream.get(), section, limit, length);
  Bytes out;
  if (error.empty()) {
    ZSTD_DCtx_reset(stream.get(), ZSTD_reset_session_only);
    out.reserve(static_cast<std::size_t>(length) + 1);  // the decoder's room never passes length + 1
    error = zstd_decompress_into(stream.get(), section, length, out);
  }
  KVN_RETURN_ERROR_IF(!error.empty(), InvalidData,
                      "failed to decompress transform metadata: " + error);
  return out;
}

std::string hex32(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// The chain of the metadata section, and the inflated bytes its records
// borrow (a moved vector keeps its buffer, so the views stay valid).
struct SectionChain {
  Bytes inflated;
  format::transform::TransformChainView chain;
};

// Steps 9 and 10 for a container without an embedded block: the section
// inflated when it is zstd, then read as a chain (empty when it is empty).
Result<SectionChain> read_section_chain(const ContainerHeader& header, ByteSpan section) {
  SectionChain out;
  ByteSpan metadata = section;
  if (header.metadata_zstd() && !section.empty()) {
    KVN_ASSIGN_OR_RETURN(out.inflated, inflate_metadata(section, header.metadata_capacity()));
    metadata = out.inflated;
  }
  if (!metadata.empty()) {
    KVN_ASSIGN_OR_RETURN(out.chain, format::transform::TransformChain::deserialize(metadata));
  }
  return out;
}

// The length field of an EmbeddedMetadataBlock of `length` decoded bytes
// whose first four are `prefix`: the chain's length, once it is known to
// fit the block and to stay within what a chain's metadata may hold.
Result<std::uint32_t> embedded_metadata_length(const ContainerHeader& header, ByteSpan prefix,
                                               std::uint64_t length) {
  const std::uint32_t meta_len = kvn::load_u32_le(prefix.data());
  const std::uint64_t needed = std::uint64_t{meta_len} + 4;
  KVN_RETURN_ERROR_IF(length < needed, InvalidData,
                      "embedded metadata: stream too short for metadata (" +
                          std::to_string(needed) + " bytes needed, " + std::to_string(length) +
                          " available)");
  KVN_RETURN_ERROR_IF(meta_len > header.metadata_capacity(), InvalidData,
                      "embedded metadata: meta_len " + std::to_string(meta_len) +
                          " exceeds the " + std::to_string(header.metadata_capacity()) +
                          " bytes a transform chain may hold");
  return meta_len;
}

// Step 9 with an EmbeddedMetadataBlock: the chain bytes are copied out and
// `decoded` is cut down to the text after them, so that the reverse can
// take that text over and release it.
Result<Bytes> split_embedded(const ContainerHeader& header, Bytes& decoded) {
  KVN_RETURN_ERROR_IF(decoded.size() < 4, InvalidData,
                      "embedded metadata: decompressed stream too short for meta_len");
  KVN_ASSIGN_OR_RETURN(const std::uint32_t meta_len,
                       embedded_metadata_length(header, decoded, decoded.size()));
  const auto end = decoded.begin() + 4 + static_cast<std::ptrdiff_t>(meta_len);
  Bytes chain(decoded.begin() + 4, end);
  decoded.erase(decoded.begin(), end);
  return chain;
}

// A CM stream that carries its chain in front of the text: the block's
// length is checked as soon as its four bytes are decoded, and the
// declared length against what that chain can rebuild the original from as
// soon as the chain is, before the rest of the text is decoded.
class EmbeddedChainWatch final : public DecodeWatch {
 public:
  EmbeddedChainWatch(const ContainerHeader& header, std::uint32_t out_len) noexcept
      : header_(header), out_len_(out_len) {}

  std::uint64_t next_check() const noexcept override { return next_; }

  Status check(ByteSpan decoded) override {
    if (next_ == 4) {
      KVN_ASSIGN_OR_RETURN(meta_len_, embedded_metadata_length(header_, decoded, out_len_));
      next_ = 4 + std::uint64_t{meta_len_};
      return {};
    }
    next_ = kNoCheck;
    KVN_ASSIGN_OR_RETURN(const auto chain,
                         format::transform::TransformChain::deserialize(decoded.subspan(4)));
    return check_cm_text(header_, chain, out_len_, 4 + std::uint64_t{meta_len_});
  }

 private:
  const ContainerHeader& header_;
  std::uint32_t out_len_;
  std::uint32_t meta_len_ = 0;
  std::uint64_t next_ = 4;
};

// The CM stream; with an embedded chain, watched as it is decoded.
Result<Bytes> decode_cm(const ContainerHeader& header, ByteSpan payload) {
  const std::uint32_t out_len = kvn::load_u32_le(payload.data());
  const ByteSpan stream = payload.subspan(kCmPrefixSize);
  const bool max = header.mode == 0;
  const model::CMConfig& config = max ? model::CM_CONFIG_MAX : model::CM_CONFIG_BALANCED;
  if (!header.embedded()) {
    return max ? cm_decompress(stream, out_len, config) : gru_decompress(stream, out_len, config);
  }
  EmbeddedChainWatch watch(header, out_len);
  return max ? cm_decompress_watched(stream, out_len, config, watch)
             : gru_decompress_watched(stream, out_len, config, watch);
}

Result<Bytes> decode_container(const ContainerHeader& header, ByteSpan section, ByteSpan payload) {
  // More than one process can hold: no decoding could give it back.
  KVN_RETURN_ERROR_IF(header.original_size > kvn::kMaxOriginalSize, InvalidData,
                      size_mismatch(header.original_size, 0));

  // Step 8: the payload by mode. A CM stream costs time in proportion to
  // the length it declares, so the chain is read first and bounds it.
  SectionChain stored;
  Bytes decoded;
  if (header.mode <= 1) {
    KVN_RETURN_IF_ERROR(check_cm_prefix(header, payload));
    if (!header.embedded()) {
      KVN_ASSIGN_OR_RETURN(stored, read_section_chain(header, section));
    }
    KVN_RETURN_IF_ERROR(check_cm_length(header, payload, stored.chain));
    KVN_ASSIGN_OR_RETURN(decoded, decode_cm(header, payload));
  } else {
    KVN_ASSIGN_OR_RETURN(decoded, decode_fast(header, payload));
    if (!header.embedded()) {
      KVN_ASSIGN_OR_RETURN(stored, read_section_chain(header, section));
    }
  }

  // Steps 9 and 10: the embedded chain, then the transforms undone.
  Bytes embedded_chain;
  if (header.embedded()) {
    KVN_ASSIGN_OR_RETURN(embedded_chain, split_embedded(header, decoded));
    if (!embedded_chain.empty()) {
      KVN_ASSIGN_OR_RETURN(stored.chain,
                           format::transform::TransformChain::deserialize(embedded_chain));
    }
  }
  Bytes result;
  if (stored.chain.empty()) {
    result = std::move(decoded);
  } else {
    KVN_ASSIGN_OR_RETURN(result, format::reverse_preprocess(std::move(decoded), stored.chain,
                                                            header.original_size));
  }

  // Steps 11 and 12: verify.
  const std::uint32_t crc = crc32(result);
  KVN_RETURN_ERROR_IF(crc != header.crc32, InvalidData,
                      "CRC-32 mismatch: expected " + hex32(header.crc32) + ", got " + hex32(crc));
  KVN_RETURN_ERROR_IF(result.size() != header.original_size, InvalidData,
                      size_mismatch(header.original_size, result.size()));
  return result;
}

}  // namespace

std::uint64_t ContainerHeader::decode_capacity() const noexcept {
  return kvn::saturating_add(kvn::saturating_mul(original_size, 2), kCapacitySlack);
}

std::uint64_t ContainerHeader::metadata_capacity() const noexcept {
  return kvn::saturating_add(original_size, kCapacitySlack);
}

Result<ContainerHeader> read_header(ByteSpan data) {
  KVN_RETURN_ERROR_IF(data.size() < kvn::HEADER_SIZE, UnexpectedEof, kFillBuffer);
  const std::uint8_t* p = data.data();
  KVN_RETURN_ERROR_IF(kvn::load_u32_le(p) != kvn::KVN_MAGIC, InvalidData, "not a .kvn file");
  KVN_RETURN_ERROR_IF(p[4] != kvn::KVN_VERSION, InvalidData,
                      "unsupported .kvn version: " + std::to_string(p[4]) + " (expected " +
                          std::to_string(kvn::KVN_VERSION) + ")");
  KVN_RETURN_ERROR_IF(p[5] > 2, InvalidData, "unknown mode: " + std::to_string(p[5]));
  KVN_ASSIGN_OR_RETURN(const kvn::FormatHint format, kvn::format_hint_from_u8(p[6]));

  ContainerHeader header;
  header.mode = p[5];
  header.format = format;
  header.flags = p[7];
  header.original_size = kvn::load_u64_le(p + 8);
  header.compressed_size = kvn::load_u64_le(p + 16);
  header.crc32 = kvn::load_u32_le(p + 24);
  header.meta_len = kvn::load_u32_le(p + 28);
  return header;
}

Result<ContainerView> parse_container(ByteSpan data) {
  KVN_ASSIGN_OR_RETURN(const ContainerHeader header, read_header(data));
  kvn::ByteReader in(data.subspan(kvn::HEADER_SIZE));
  ContainerView view{header, {}, {}};
  KVN_RETURN_ERROR_IF(!in.read_bytes(header.section_length(), view.metadata), UnexpectedEof,
                      kFillBuffer);
  KVN_RETURN_ERROR_IF(!in.read_bytes(header.payload_length(), view.payload), UnexpectedEof,
                      kFillBuffer);
  return view;
}

Result<Bytes> decompress_with_model(const ContainerHeader& header, ByteSpan metadata,
                                    ByteSpan payload) {
  return kvn::guard_alloc([&] { return decode_container(header, metadata, payload); });
}

Result<Bytes> decompress_from_slice(ByteSpan data) {
  KVN_ASSIGN_OR_RETURN(const ContainerView view, parse_container(data));
  return decompress_with_model(view.header, view.metadata, view.payload);
}

}  // namespace kelvane::codec
