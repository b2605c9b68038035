#include "mixer/final_stage.hpp"

namespace kelvane::mixer {

kvn::Result<FinalStage> FinalStage::create() {
  FinalStage stage;
  KVN_ASSIGN_OR_RETURN(stage.mixer_, MultiSetMixer::create());
  for (std::size_t k = 0; k < APM_COUNT; ++k) {
    KVN_ASSIGN_OR_RETURN(stage.apms_[k],
                         Apm::create(APM_SHAPES[k].row_count, APM_SHAPES[k].weight));
  }
  return stage;
}

std::array<std::uint32_t, FinalStage::APM_COUNT> FinalStage::apm_contexts(
    const History& h, std::uint32_t match_bucket) noexcept {
  const std::uint32_t c0 = h.c0;
  const std::uint32_t c1 = h.c1;
  const std::uint32_t c2 = h.c2;
  const std::uint32_t c3 = h.c3;
  const std::uint32_t bp = h.bp;
  const std::uint32_t class1 = byte_class(h.c1);
  const std::uint32_t class2 = byte_class(h.c2);
  const std::uint32_t runs = run_bucket(h.run);
  const std::uint32_t nuls = h.nul_count & 15u;
  return {
      (((c0 << 3) | bp) * 5 + runs) & 0x7FF,
      ((((c1 << 6) | (bp << 3)) + class1) * 17 + (c2 >> 4)) & 0x3FFF,
      ((((c1 >> 1) & 0x78) + bp + (c2 & 0xC0) * 2 + match_bucket * 512) * 5 + match_bucket) &
          0xFFF,
      ((runs | (bp << 2)) + (class2 + class1 * 8) * 33) & 0xFFF,
      (((c3 >> 4) * 67 + (c2 >> 4)) * 67 + ((c1 >> 6) & 3) * 8 + bp) & 0xFFF,
      bp + class1 * 8 + match_bucket * 64,
      ((((nuls << 2) | column_bucket(h.column)) * 67 + c0) * 67 + bp) & 0xFFF,
  };
}

void FinalStage::prefetch(const History& h, std::uint32_t match_bucket) const noexcept {
  mixer_.prefetch(h, match_bucket);
  const auto contexts = apm_contexts(h, match_bucket);
  for (std::size_t k = 0; k < APM_COUNT; ++k) apms_[k].prefetch(contexts[k]);
}

std::uint32_t FinalStage::predict(const MixerInput& inputs, const History& h,
                                  std::uint32_t match_bucket) noexcept {
  // The Apm rows are known before the mix; fetching them now overlaps their
  // cache misses with the mixing.
  const auto contexts = apm_contexts(h, match_bucket);
  for (std::size_t k = 0; k < APM_COUNT; ++k) apms_[k].prefetch(contexts[k]);
  mixer_.inputs = inputs;
  std::uint32_t p = mixer_.mix(h, match_bucket);
  for (std::size_t k = 0; k < APM_COUNT; ++k) p = apms_[k].refine(p, contexts[k]);
  return p;
}

void FinalStage::update(std::uint32_t bit) noexcept {
  for (std::size_t k = APM_COUNT; k-- > 0;) apms_[k].update(bit);
  mixer_.update(bit);
}

}  // namespace kelvane::mixer
