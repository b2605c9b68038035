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
// does not fit in `allowance`.
std::optional<GroupLines> group_lines(kvn::ByteSpan text, kvn::ByteSpan metadata,
                                      std::uint32_t rows, std::uint64_t allowance) {
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
  if (out.charge > allowance) return std::nullopt;
  return out;
}

// A line slot and where its part lives: a group buffer, or the text.
constexpr std::uint32_t kUnfilled = UINT32_MAX;
constexpr std::uint32_t kInText = UINT32_MAX - 1;
struct Slot {
  kvn::ByteSpan part;
  std::uint32_t owner = kUnfilled;
};

// The slots and the group buffers they point into; a buffer is released
// once no slot holds one of its parts.
class LineSlots {
 public:
  LineSlots(std::uint32_t lines, std::size_t buffers) : slots_(lines) { buffers_.reserve(buffers); }

  // Keeps `bytes` as the next buffer; gives its owner number.
  std::uint32_t keep(kvn::Bytes bytes) {
    buffers_.push_back(std::move(bytes));
    kept_.push_back(0);
    return static_cast<std::uint32_t>(buffers_.size() - 1);
  }
  kvn::ByteSpan buffer(std::uint32_t owner) const { return buffers_[owner]; }

  void fill(std::uint32_t index, kvn::ByteSpan part, std::uint32_t owner) {
    Slot& slot = slots_[index];
    if (owner < kInText) ++kept_[owner];  // before the release: the owner may be the same
    if (slot.owner < kInText) release_one(slot.owner);
    slot = {part, owner};
  }
  // Releases `owner`'s buffer when none of its parts was kept.
  void settle(std::uint32_t owner) {
    if (kept_[owner] == 0) kvn::Bytes().swap(buffers_[owner]);
  }
  const std::vector<Slot>& slots() const { return slots_; }

 private:
  void release_one(std::uint32_t owner) {
    --kept_[owner];
    settle(owner);
  }
  std::vector<Slot> slots_;
  std::vector<kvn::Bytes> buffers_;
  std::vector<std::uint32_t> kept_;
};

// Fills the slots of `indices` (u32 each, `count` of them) with the LF
// parts of `lines`, as many as there are parts; an index not below the
// line count is skipped.
void fill_parts(LineSlots& slots, kvn::ByteSpan lines, kvn::ByteSpan indices, std::uint32_t count,
                std::uint32_t owner) {
  const std::uint32_t line_count = static_cast<std::uint32_t>(slots.slots().size());
  PartCursor parts{lines.data(), lines.data() + lines.size()};
  for (std::uint32_t i = 0; i < count && parts.more; ++i) {
    const kvn::ByteSpan part = parts.next();
    const std::uint32_t index = kvn::load_u32_le(indices.data() + 4 * std::size_t{i});
    if (index < line_count) slots.fill(index, part, owner);
  }
}

}  // namespace

bool read_group_entry(kvn::ByteReader& meta, GroupEntry& entry) {
  std::uint32_t metadata_length = 0;
  return meta.read_u32(entry.rows) && meta.read_bytes(std::uint64_t{entry.rows} * 4, entry.indices) &&
         meta.read_u32(metadata_length) && meta.read_bytes(metadata_length, entry.metadata);
}

kvn::Bytes reverse_grouped(kvn::ByteSpan text, kvn::ByteSpan metadata, std::uint64_t budget) {
  const auto unchanged = [&] { return kvn::Bytes(text.begin(), text.end()); };
  if (metadata.size() < 8) return unchanged();
  const bool trailing_newline = metadata[1] != 0;
  const std::uint32_t lines = kvn::load_u32_le(metadata.data() + 2);
  const std::uint16_t groups = kvn::load_u16_le(metadata.data() + 6);
  if (lines > (metadata.size() - 8) / 4) return unchanged();

  LineSlots slots(lines, std::min<std::size_t>(groups, (metadata.size() - 8) / 8));
  kvn::ByteReader meta(metadata.subspan(8));
  kvn::ByteReader body(text);
  std::uint64_t allowance = kvn::saturating_mul(budget, kGroupWorkPerBudget);

  for (std::uint16_t g = 0; g < groups; ++g) {
    GroupEntry entry;
    std::uint32_t text_length = 0;
    kvn::ByteSpan group_text;
    if (!read_group_entry(meta, entry) || !body.read_u32(text_length) ||
        !body.read_bytes(text_length, group_text)) {
      return unchanged();
    }
    auto group = group_lines(group_text, entry.metadata, entry.rows, allowance);
    if (!group) return unchanged();
    allowance -= group->charge;
    if (!group->bytes) {
      fill_parts(slots, group_text, entry.indices, entry.rows, kInText);
      continue;
    }
    const std::uint32_t owner = slots.keep(std::move(*group->bytes));
    fill_parts(slots, slots.buffer(owner), entry.indices, entry.rows, owner);
    slots.settle(owner);
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
    fill_parts(slots, residual_text, indices, residual, kInText);
  }

  // What the slots hold: parts of the group buffers and the text, less
  // than 2^64 bytes together.
  std::uint64_t size = lines == 0 ? 0 : std::uint64_t{lines} - 1 + (trailing_newline ? 1 : 0);
  for (const Slot& slot : slots.slots()) {
    if (slot.owner == kUnfilled) return unchanged();
    size += slot.part.size();
  }
  if (size > budget) return unchanged();
  kvn::Bytes out(static_cast<std::size_t>(size));
  std::uint8_t* w = out.data();
  for (std::uint32_t i = 0; i < lines; ++i) {
    const kvn::ByteSpan part = slots.slots()[i].part;
    if (!part.empty()) std::memcpy(w, part.data(), part.size());
    w += part.size();
    if (i + 1 < lines || trailing_newline) *w++ = kLf;
  }
  return out;
}

}  // namespace kelvane::format::ndjson
