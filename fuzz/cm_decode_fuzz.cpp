// Any "max" or "balanced" container decodes to its declared bytes or fails
// with an error: never a crash, a hang, or an allocation bought by a forged
// length.
//
// The input's magic and version are set and its mode byte cut to 0 or 1, so
// that nearly every input reaches a context-mixing decoder. The fuzzer
// decodes the payload with tiny tables (the tests' kTinyConfig): every model
// runs the same code as at full size, collisions are frequent, and an engine
// is cheap enough for many executions a second. Declarations above what the
// stream could hold must be refused by the reader before anything is built;
// honest-looking ones of more than a few hundred bytes are skipped for speed
// ("balanced" spends far more per byte in its GRU, so it gets fewer). The
// replay program (CI) also decodes every seed through the reader itself,
// with the full-size engine.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cm_test_config.hpp"
#include "codec/cm_codec.hpp"
#include "codec/codec.hpp"
#include "kvn/bytes.hpp"
#include "kvn/container.hpp"

namespace codec = kelvane::codec;
namespace kvn = kelvane::kvn;

namespace {
constexpr std::size_t kMaxInput = 256;
constexpr std::uint32_t kMaxDecodedForSpeed[2] = {512, 128};  // by mode
constexpr std::size_t kLengthPrefix = 8;

#ifdef KELVANE_FUZZ_REPLAY
// The reader's own road at full size: its length checks, the engine, the
// CRC-32 and length comparison.
void decode_full_size(const std::vector<std::uint8_t>& container) {
  auto restored = codec::decompress_from_slice(container);
  if (restored.ok() && restored->size() != codec::read_header(container)->original_size) {
    __builtin_trap();  // the reader checks the length; a mismatch is a reader fault
  }
}
#endif
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kvn::HEADER_SIZE || size > kMaxInput) return 0;
  std::vector<std::uint8_t> container(data, data + size);
  for (int i = 0; i < 4; ++i) container[i] = static_cast<std::uint8_t>(kvn::KVN_MAGIC >> (8 * i));
  container[4] = kvn::KVN_VERSION;
  container[5] &= 1;  // "max" or "balanced"
  const std::uint8_t mode = container[5];

  auto view = codec::parse_container(container);
  if (!view.ok() || view->payload.size() < kLengthPrefix) return 0;
  const std::uint32_t out_len = kvn::load_u32_le(view->payload.data());
  const kvn::ByteSpan stream = view->payload.subspan(kLengthPrefix);
  if (out_len > codec::cm_max_decoded_length(stream.size())) {
    // The reader must refuse this before building an engine.
    if (codec::decompress_from_slice(container).ok()) __builtin_trap();
    return 0;
  }
  if (out_len > kMaxDecodedForSpeed[mode]) return 0;

  constexpr auto& tiny = kelvane::testing::kTinyConfig;
  auto decoded = mode == 0 ? codec::cm_decompress(stream, out_len, tiny)
                           : codec::gru_decompress(stream, out_len, tiny);
  // Decoding cannot fail on its data: any stream gives exactly out_len bytes.
  if (!decoded.ok() || decoded->size() != out_len) __builtin_trap();
#ifdef KELVANE_FUZZ_REPLAY
  decode_full_size(container);
#endif
  return 0;
}
