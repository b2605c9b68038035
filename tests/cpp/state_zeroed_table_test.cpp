// ZeroedTable: zeroed memory, empty tables, refused sizes, and ownership.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <utility>

#include "state/zeroed_table.hpp"

namespace state = kelvane::state;
namespace kvn = kelvane::kvn;

TEST(ZeroedTable, AllocatesZeroedElementsFromTheHeapOrAsFreshPages) {
  // Below and above the size from which tables are mapped; a heap block that
  // was written and freed first must not leak its contents into a new table.
  for (std::size_t count : {std::size_t{16}, std::size_t{1000}, std::size_t{1} << 20}) {
    {
      auto dirty = state::ZeroedTable<std::uint32_t>::allocate(count);
      ASSERT_TRUE(dirty.ok());
      for (std::size_t i = 0; i < count; ++i) (*dirty)[i] = 0xA5A5A5A5u;
    }
    auto table = state::ZeroedTable<std::uint32_t>::allocate(count);
    ASSERT_TRUE(table.ok());
    ASSERT_EQ(table->size(), count);
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ((*table)[i], 0u) << count << " at " << i;
  }
}

TEST(ZeroedTable, CountZeroIsAnEmptyTable) {
  auto table = state::ZeroedTable<std::uint8_t>::allocate(0);
  ASSERT_TRUE(table.ok());
  EXPECT_TRUE(table->empty());
  EXPECT_EQ(table->data(), nullptr);
}

TEST(ZeroedTable, SizesThatCannotBeHadAreOutOfMemory) {
  // One whose byte size overflows, and one larger than the address space.
  for (std::size_t count :
       {std::numeric_limits<std::size_t>::max() / 4 + 1, std::size_t{1} << 45}) {
    auto table = state::ZeroedTable<std::uint32_t>::allocate(count);
    ASSERT_FALSE(table.ok()) << count;
    EXPECT_EQ(table.error().kind, kvn::ErrorKind::Other);
    EXPECT_EQ(table.error().message, kvn::kOutOfMemory);
  }
}

TEST(ZeroedTable, MovingHandsOverTheMemory) {
  auto made = state::ZeroedTable<std::uint16_t>::allocate(16);
  ASSERT_TRUE(made.ok());
  state::ZeroedTable<std::uint16_t> a = std::move(*made);
  a[3] = 7;
  const std::uint16_t* memory = a.data();
  state::ZeroedTable<std::uint16_t> b;
  b = std::move(a);
  EXPECT_EQ(b.data(), memory);
  EXPECT_EQ(b[3], 7u);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(a.data(), nullptr);
}

TEST(HugePageScope, OffersHugePagesOnlyWhileOpenAndNests) {
  EXPECT_FALSE(state::HugePageScope::enabled());
  {
    const state::HugePageScope outer(true);
    EXPECT_TRUE(state::HugePageScope::enabled());
    {
      const state::HugePageScope inner(false);
      EXPECT_FALSE(state::HugePageScope::enabled());
    }
    EXPECT_TRUE(state::HugePageScope::enabled());
    // A table mapped under the hint is zeroed and usable all the same.
    auto table = state::ZeroedTable<std::uint64_t>::allocate(std::size_t{1} << 19);
    ASSERT_TRUE(table.ok());
    (*table)[(std::size_t{1} << 19) - 1] = 7;
    EXPECT_EQ((*table)[0], 0u);
  }
  EXPECT_FALSE(state::HugePageScope::enabled());
}
