// The transform pipeline: which transforms run for each hint and mode, the
// nested flattening after a uniform JSON array layout, and the reverse that
// undoes the chain from its last record to its first within its budget.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/format.hpp"
#include "format/ndjson/ndjson.hpp"

namespace format = kelvane::format;
using format::transform::TransformChain;
using format::transform::TransformRecord;
using kelvane::kvn::ByteSpan;
using kelvane::kvn::Bytes;

namespace {

constexpr std::uint8_t kGeneric = 0, kJson = 1, kNdjson = 3;
constexpr std::uint8_t kMax = 0, kBalanced = 1, kFast = 2;
constexpr std::uint8_t kModes[] = {kMax, kBalanced, kFast};

ByteSpan span_of(const std::string& s) {
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::vector<std::uint8_t> kinds_of(const TransformChain& chain) {
  std::vector<std::uint8_t> kinds;
  for (const auto& record : chain.records) kinds.push_back(record.kind);
  return kinds;
}

std::string ndjson_lines(int rows) {
  std::string out;
  for (int i = 0; i < rows; ++i) {
    out += "{\"host\":\"web-" + std::to_string(i % 4) + "\",\"status\":" + std::to_string(200 + i) +
           ",\"path\":\"/api/v1/items\"}\n";
  }
  return out;
}

// An array of objects inside a document; `element(i)` writes element i.
template <class F>
std::string json_array_of(int elements, F element) {
  std::string out = "{\"items\": [";
  for (int i = 0; i < elements; ++i) out += (i ? ", " : "") + element(i);
  return out + "]}";
}

std::string nested_element(int i) {
  return "{\"id\":" + std::to_string(i) + ",\"position\":{\"lat\":" + std::to_string(40 + i) +
         ".5,\"lon\":-" + std::to_string(70 + i) + ".25}}";
}

Bytes roundtrip(const format::Preprocessed& pre, std::uint64_t budget) {
  return format::reverse_preprocess(pre.data, pre.chain, budget);
}

TEST(Pipeline, OtherHintsLeaveTheInputAlone) {
  const std::string input = ndjson_lines(20);
  for (std::uint8_t hint : {kGeneric, std::uint8_t{2}, std::uint8_t{4}, std::uint8_t{7},
                            std::uint8_t{10}}) {
    for (auto mode : kModes) {
      const auto pre = format::preprocess(span_of(input), hint, mode);
      EXPECT_EQ(pre.data, bytes_of(input));
      EXPECT_TRUE(pre.chain.empty());
    }
  }
}

TEST(Pipeline, InputNoLayoutFitsIsCodedAsItIs) {
  struct Case {
    std::uint8_t hint;
    std::string input;
  } cases[] = {
      {kJson, "{\"a\": [1, 2, 3], \"b\": {\"c\": \"no array of objects here\"}}"},
      {kJson, json_array_of(4, nested_element)},  // fewer than five elements
      {kNdjson, "plain text\nnot json at all\n"},
      {kNdjson, "{\"a\":1}\n\n{\"a\":2}\n"},
  };
  for (const auto& c : cases) {
    for (auto mode : kModes) {
      const auto pre = format::preprocess(span_of(c.input), c.hint, mode);
      EXPECT_EQ(pre.data, bytes_of(c.input)) << c.input;
      EXPECT_TRUE(pre.chain.empty()) << c.input;
    }
  }
}

TEST(Pipeline, ChainsByHintRoundTripInEveryMode) {
  const auto flat_element = [](int i) {
    return "{\"id\":" + std::to_string(i) + ",\"name\":\"item number " + std::to_string(i) + "\"}";
  };
  const auto reordered = [](int i) {
    return i == 3 ? std::string("{\"id\":3,\"position\":{\"lon\":-73.25,\"lat\":43.5}}")
                  : nested_element(i);
  };
  const auto two_shapes = [&](int i) { return i % 2 ? flat_element(i) : nested_element(i); };
  std::string two_shape_lines = ndjson_lines(20);
  for (int i = 0; i < 8; ++i) two_shape_lines += "{\"pid\":" + std::to_string(i) + ",\"state\":\"running\"}\n";
  struct Case {
    std::uint8_t hint;
    std::string input;
    std::vector<std::uint8_t> kinds;
  } cases[] = {
      {kNdjson, ndjson_lines(20), {2}},
      // Grouped layouts end the chain, nested columns or not.
      {kNdjson, two_shape_lines, {2}},
      {kJson, json_array_of(12, two_shapes), {7}},
      {kJson, json_array_of(6, flat_element), {7}},
      {kJson, json_array_of(6, nested_element), {7, 15}},
      // One element lists the nested keys in another order: the flattening
      // does not come back exactly, so it is not kept.
      {kJson, json_array_of(6, reordered), {7}},
  };
  for (const auto& c : cases) {
    for (auto mode : kModes) {
      const auto pre = format::preprocess(span_of(c.input), c.hint, mode);
      EXPECT_EQ(kinds_of(pre.chain), c.kinds) << c.input;
      EXPECT_LT(pre.data.size(), c.input.size());
      EXPECT_EQ(roundtrip(pre, c.input.size()), bytes_of(c.input)) << c.input;
    }
  }
}

TEST(Pipeline, ReverseUndoesTheRecordsLastToFirstAndSkipsUnknownKinds) {
  const std::string input = json_array_of(6, nested_element);
  auto pre = format::preprocess(span_of(input), kJson, kFast);
  ASSERT_EQ(kinds_of(pre.chain), (std::vector<std::uint8_t>{7, 15}));
  // Records of other kinds, anywhere in the chain, are skipped.
  pre.chain.records.insert(pre.chain.records.begin() + 1, TransformRecord{9, {1, 2, 3}});
  pre.chain.records.push_back(TransformRecord{0, {}});
  EXPECT_EQ(roundtrip(pre, input.size()), bytes_of(input));
  // Swapping the two real records undoes them in the wrong order: the
  // result is not the input (the container's checks then report it).
  std::swap(pre.chain.records[0], pre.chain.records[2]);
  EXPECT_NE(roundtrip(pre, input.size()), bytes_of(input));
}

TEST(Pipeline, UnusableNestedFlattenRecordsLeaveTheDataUnchanged) {
  const std::string input = json_array_of(6, nested_element);
  const auto pre = format::preprocess(span_of(input), kJson, kFast);
  ASSERT_EQ(pre.chain.records.size(), 2u);
  const Bytes good = pre.chain.records[1].metadata;
  ASSERT_GE(good.size(), 7u);
  const auto with_level = [&](std::uint8_t level) {
    Bytes m = good;
    m[6] = level;
    return m;
  };
  for (const Bytes& metadata :
       {Bytes(good.begin(), good.begin() + 5), with_level(0), with_level(4), Bytes{}}) {
    TransformChain chain;
    chain.records.push_back(TransformRecord{15, metadata});
    EXPECT_EQ(format::reverse_preprocess(pre.data, chain, ~std::uint64_t{0}), pre.data);
  }
}

TEST(Pipeline, FlatteningIsNotKeptBeyondSixtyFiveThousandColumns) {
  // Two nested columns of 40,000 keys each would flatten to 80,001 columns,
  // more than the kind-15 record can state.
  const auto wide = [](int i) {
    std::string element = "{\"id\":" + std::to_string(i);
    for (const char* name : {"a", "b"}) {
      element += std::string(",\"") + name + "\":{";
      for (int k = 0; k < 40000; ++k) element += (k ? ",\"" : "\"") + std::to_string(k) + "\":1";
      element += "}";
    }
    return element + "}";
  };
  const std::string input = json_array_of(5, wide);
  const auto pre = format::preprocess(span_of(input), kJson, kFast);
  EXPECT_EQ(kinds_of(pre.chain), (std::vector<std::uint8_t>{7}));
  EXPECT_EQ(roundtrip(pre, input.size()), bytes_of(input));
}

TEST(Pipeline, ReverseStaysWithinItsBudget) {
  for (const auto& [hint, input] : {std::pair{kNdjson, ndjson_lines(20)},
                                    std::pair{kJson, json_array_of(6, nested_element)}}) {
    const auto pre = format::preprocess(span_of(input), hint, kFast);
    ASSERT_FALSE(pre.chain.empty());
    EXPECT_EQ(roundtrip(pre, input.size()), bytes_of(input));
    const Bytes short_budget = roundtrip(pre, input.size() - 1);
    EXPECT_NE(short_budget, bytes_of(input));
    EXPECT_LT(short_budget.size(), input.size());
  }
}

}  // namespace
