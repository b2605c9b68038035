// The Grouped reverse: every group's lines are rebuilt by the Uniform or
// Selective reverse into a buffer of their own, then cut at LF into line
// slots named by the group's indices (a slot named again keeps the later
// part); the residual lines fill their slots from the end of the text; the
// slots are written in order.
//
// A group whose lines cannot be rebuilt gives the text they were to come
// from (its text, or its unflattened text), cut the same way. Counts read
// from the metadata reserve nothing before the metadata is known to hold
// the bytes they need. The rebuilds together write at most
// kGroupWorkPerBudget times the budget, each group within what is left of
// that; the final output is checked against the budget itself before
// anything is written.
#include <algorithm>
#include <cstring>
#include <optional>

#include "format/ndjson/grouped.hpp"
#include "kvn/saturating.hpp"

namespace kelvane::format::ndjson {
namespace {

constexpr std::uint8_t kLf = 0x0A;

// The next part of `rest` up to an LF (or its end), and what follows it.
struct PartCursor {
  const std::uint8_t* pos;
  const std::uint8_t* end;
  bool more = true;  // splitting gives one part more than it finds LFs

  kvn::ByteSpan next() noexcept {
    const auto* lf = static_cast<const std::uint8_t*>(
        pos == end ? nullptr : std::memchr(pos, kLf, static_cast<std::size_t>(end - pos)));
    const std::uint8_t* stop = lf == nullptr ? end : lf;
    const kvn::ByteSpan part(pos, static_cast<std::size_t>(stop - pos));
    pos = lf == nullptr ? end : lf + 1;
    more = lf != nullptr;
    return part;
  }
};

// All group rebuilds together write at most this many times the budget.
// Valid data needs less: its lines fit the budget, and the unflattened
// texts of its nested groups are shorter than the lines rebuilt from them.
// Forged groups that name the same lines again rebuild more than is kept;
// the bound keeps them from writing without limit.
constexpr std::uint64_t kGroupWorkPerBudget = 2;

// One group's lines: `bytes` when the group wrote a buffer (its rebuilt
// lines, or the unflattened text they could not be rebuilt from), else its
// text itself; `charge` is what the group wrote, a copy of its text when it
// could not rebuild.
struct GroupLines {
  std::optional<kvn::Bytes> bytes;
  std::uint64_t charge = 0;
};

// Nothing when the whole text must come back: Selective metadata that does
// not read or states another row count, or a group whose rebuild or copy
// does not fit in what is left of the groups' allowance, `allowance.output()`.
std::optional<GroupLines> group_lines(kvn::ByteSpan text, kvn::ByteSpan metadata,
                                      std::uint32_t rows, Budget allowance) {
  GroupLines out;
  if (!metadata.empty() && metadata[0] == static_cast<std::uint8_t>(ColumnarLayout::Selective)) {
    const auto parsed = parse_selective_metadata(metadata);
    if (!parsed || parsed->row_count != rows) return std::nullopt;
    out.bytes = rebuild_selective(text, *parsed, allowance);
    out.charge = out.bytes ? out.bytes->size() : text.size();
  } else {
    UniformResult uniform = undo_uniform(text, metadata, allowance, true);
    out.bytes = std::move(uniform.bytes);
    out.charge = uniform.written + (out.bytes ? 0 : text.size());
  }
  if (out.charge > allowance.output()) return std::nullopt;
  return out;
}

// A line's part, found again from where it starts: it runs to the next LF
// or the end of its source, as the cut at LF made it. A slot is one u64:
// the source's number in the top 16 bits (the groups that fill slots and
// the residual lines, at most 65,536 sources) and the part's start within
// it in the low 48. A source is a buffer or a stretch of the text, far
// below 2^48 bytes, so a start (at most the source's size) never has all
// 48 bits set: the all-ones value marks a slot not yet filled.
class Slot {
 public:
  static constexpr std::uint64_t kMaxSources = std::uint64_t{1} << 16;
  static constexpr std::uint64_t kMaxSourceBytes = (std::uint64_t{1} << 48) - 2;

  Slot() = default;
  Slot(std::uint32_t source, std::uint64_t start) noexcept
      : bits_(std::uint64_t{source} << 48 | start) {}
  bool filled() const noexcept { return bits_ != kUnfilled; }
  std::uint32_t source() const noexcept { return static_cast<std::uint32_t>(bits_ >> 48); }
  std::uint64_t start() const noexcept { return bits_ & kStartBits; }

 private:
  static constexpr std::uint64_t kStartBits = (std::uint64_t{1} << 48) - 1;
  static constexpr std::uint64_t kUnfilled = ~std::uint64_t{0};
  std::uint64_t bits_ = kUnfilled;
};

// The slots and the sources their parts are cut from: a group's buffer (its
// rebuilt lines, or the unflattened text they could not be rebuilt from),
// a group's text, or the residual lines. A buffer is released once no slot
// holds one of its parts.
class LineSlots {
 public:
  LineSlots(std::uint32_t lines, std::size_t sources) : slots_(lines) {
    sources_.reserve(sources);
  }

  std::uint32_t line_count() const noexcept { return static_cast<std::uint32_t>(slots_.size()); }

  // Adds the bytes the next parts are cut from; nothing when the sources or
  // their sizes outgrow a slot's fields.
  std::optional<std::uint32_t> add_text(kvn::ByteSpan bytes) { return add(bytes, kNoBuffer); }
  std::optional<std::uint32_t> add_buffer(kvn::Bytes buffer) {
    buffers_.push_back(std::move(buffer));
    return add(buffers_.back(), static_cast<std::uint32_t>(buffers_.size() - 1));
  }
  kvn::ByteSpan bytes(std::uint32_t source) const { return sources_[source].bytes; }

  void fill(std::uint32_t index, std::uint32_t source, std::uint64_t start) {
    Slot& slot = slots_[index];
    ++sources_[source].kept;  // before the release: the source may be the same
    if (slot.filled()) release_one(slot.source());
    slot = Slot(source, start);
  }
  // Releases the source's buffer when none of its parts was kept.
  void settle(std::uint32_t source) {
    const Source& s = sources_[source];
    if (s.kept == 0 && s.buffer != kNoBuffer) kvn::Bytes().swap(buffers_[s.buffer]);
  }

  const std::vector<Slot>& slots() const noexcept { return slots_; }
  // The part a filled slot holds.
  kvn::ByteSpan part(Slot slot) const noexcept {
    const kvn::ByteSpan from = sources_[slot.source()].bytes.subspan(slot.start());
    const void* lf = from.empty() ? nullptr : std::memchr(from.data(), kLf, from.size());
    if (lf == nullptr) return from;
    return from.first(static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - from.data()));
  }

 private:
  static constexpr std::uint32_t kNoBuffer = UINT32_MAX;
  struct Source {
    kvn::ByteSpan bytes;
    std::uint32_t kept = 0;  // slots holding one of its parts
    std::uint32_t buffer = kNoBuffer;
  };

  std::optional<std::uint32_t> add(kvn::ByteSpan bytes, std::uint32_t buffer) {
    if (sources_.size() == Slot::kMaxSources || bytes.size() > Slot::kMaxSourceBytes) {
      return std::nullopt;
    }
    sources_.push_back({bytes, 0, buffer});
    return static_cast<std::uint32_t>(sources_.size() - 1);
  }
  void release_one(std::uint32_t source) {
    --sources_[source].kept;
    settle(source);
  }

  std::vector<Slot> slots_;
  std::vector<Source> sources_;
  std::vector<kvn::Bytes> buffers_;
};

// Fills the slots of `indices` (u32 each, `count` of them) with the LF
// parts of the source, as many as there are parts; an index not below the
// line count is skipped.
void fill_parts(LineSlots& slots, std::uint32_t source, kvn::ByteSpan indices,
                std::uint32_t count) {
  const kvn::ByteSpan lines = slots.bytes(source);
  PartCursor parts{lines.data(), lines.data() + lines.size()};
  for (std::uint32_t i = 0; i < count && parts.more; ++i) {
    const kvn::ByteSpan part = parts.next();
    const std::uint32_t index = kvn::load_u32_le(indices.data() + 4 * std::size_t{i});
    if (index < slots.line_count()) {
      slots.fill(index, source, static_cast<std::uint64_t>(part.data() - lines.data()));
    }
  }
}

}  // namespace

bool read_group_entry(kvn::ByteReader& meta, GroupEntry& entry) {
  std::uint32_t metadata_length = 0;
  return meta.read_u32(entry.rows) && meta.read_bytes(std::uint64_t{entry.rows} * 4, entry.indices) &&
         meta.read_u32(metadata_length) && meta.read_bytes(metadata_length, entry.metadata);
}

kvn::Bytes reverse_grouped(kvn::ByteSpan text, kvn::ByteSpan metadata, Budget budget) {
  const auto unchanged = [&] { return budget.copy_of(text); };
  if (metadata.size() < 8) return unchanged();
  const bool trailing_newline = metadata[1] != 0;
  const std::uint32_t lines = kvn::load_u32_le(metadata.data() + 2);
  const std::uint16_t groups = kvn::load_u16_le(metadata.data() + 6);
  if (lines > (metadata.size() - 8) / 4) return unchanged();

  // A group that fills a slot takes at least 12 bytes of metadata: its row
  // count, an index and its metadata's length.
  LineSlots slots(lines, std::min<std::size_t>(groups, (metadata.size() - 8) / 12) + 1);
  kvn::ByteReader meta(metadata.subspan(8));
  kvn::ByteReader body(text);
  std::uint64_t allowance = kvn::saturating_mul(budget.output(), kGroupWorkPerBudget);

  for (std::uint16_t g = 0; g < groups; ++g) {
    GroupEntry entry;
    std::uint32_t text_length = 0;
    kvn::ByteSpan group_text;
    if (!read_group_entry(meta, entry) || !body.read_u32(text_length) ||
        !body.read_bytes(text_length, group_text)) {
      return unchanged();
    }
    auto group = group_lines(group_text, entry.metadata, entry.rows, budget.with_output(allowance));
    if (!group) return unchanged();
    allowance -= group->charge;
    if (entry.rows == 0) continue;  // it names no line
    const auto source =
        group->bytes ? slots.add_buffer(std::move(*group->bytes)) : slots.add_text(group_text);
    if (!source) return unchanged();
    fill_parts(slots, *source, entry.indices, entry.rows);
    slots.settle(*source);
  }

  std::uint32_t residual = 0;
  kvn::ByteSpan indices;
  if (!meta.read_u32(residual) || !meta.read_bytes(std::uint64_t{residual} * 4, indices)) {
    return unchanged();
  }
  const kvn::ByteSpan residual_text = body.rest();
  if (residual > 0 && !residual_text.empty()) {
    const auto* begin = residual_text.data();
    const auto* end = begin + residual_text.size();
    if (static_cast<std::uint64_t>(std::count(begin, end, kLf)) + 1 != residual) return unchanged();
    const auto source = slots.add_text(residual_text);
    if (!source) return unchanged();
    fill_parts(slots, *source, indices, residual);
  }

  // What the slots hold: parts of the group buffers and the text, less
  // than 2^64 bytes together. Each part's end is found again, here and
  // when it is written; a slot keeps only where the part starts.
  std::uint64_t size = lines == 0 ? 0 : std::uint64_t{lines} - 1 + (trailing_newline ? 1 : 0);
  for (const Slot slot : slots.slots()) {
    if (!slot.filled()) return unchanged();
    size += slots.part(slot).size();
    if (size > budget.output()) return unchanged();
  }
  if (!budget.take(size)) return {};
  kvn::Bytes out(static_cast<std::size_t>(size));
  std::uint8_t* w = out.data();
  for (std::uint32_t i = 0; i < lines; ++i) {
    const kvn::ByteSpan part = slots.part(slots.slots()[i]);
    if (!part.empty()) std::memcpy(w, part.data(), part.size());
    w += part.size();
    if (i + 1 < lines || trailing_newline) *w++ = kLf;
  }
  return out;
}

}  // namespace kelvane::format::ndjson
