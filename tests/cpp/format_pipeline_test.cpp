// The transform pipeline: which transforms run for each hint and mode, the
// nested flattening after a uniform JSON array layout, and the reverse that
// undoes the chain from its last record to its first within its budget.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "corpus_sample.hpp"
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
  return format::reverse_preprocess(pre.data, pre.chain, budget).value();
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

TEST(Pipeline, InputNoLayoutFitsIsCodedAsItIsInFastMode) {
  struct Case {
    std::uint8_t hint;
    std::string input;
    bool keys_repeat;  // the key dictionary takes it in "max" and "balanced"
  } cases[] = {
      {kJson, "{\"a\": [1, 2, 3], \"b\": {\"c\": \"no array of objects here\"}}", false},
      {kJson, json_array_of(4, nested_element), true},  // fewer than five elements
      {kNdjson, "plain text\nnot json at all\n", false},
      {kNdjson, "{\"a\":1}\n\n{\"a\":2}\n", true},
  };
  for (const auto& c : cases) {
    for (auto mode : kModes) {
      const auto pre = format::preprocess(span_of(c.input), c.hint, mode);
      if (mode != kFast && c.keys_repeat) {
        EXPECT_EQ(kinds_of(pre.chain), (std::vector<std::uint8_t>{1})) << c.input;
        EXPECT_LT(pre.data.size(), c.input.size());
        EXPECT_EQ(roundtrip(pre, c.input.size()), bytes_of(c.input)) << c.input;
        continue;
      }
      EXPECT_EQ(pre.data, bytes_of(c.input)) << c.input;
      EXPECT_TRUE(pre.chain.empty()) << c.input;
    }
  }
}

TEST(Pipeline, ChainsByHintRoundTripInEveryMode) {
  const auto flat_element = [](int i) {
    return "{\"id\":" + std::to_string(i) + ",\"name\":\"item number " + std::to_string(i) + "\"}";
  };
  const auto repeating_element = [](int i) {
    return "{\"id\":" + std::to_string(i) + ",\"kind\":\"widget\",\"state\":\"active\"}";
  };
  const auto nested_repeating = [](int i) {
    return "{\"id\":" + std::to_string(i) +
           ",\"at\":{\"site\":\"north-campus\",\"room\":\"lab-" + std::to_string(i % 2) + "\"}}";
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
    std::vector<std::uint8_t> kinds;       // "max" and "balanced"
    std::vector<std::uint8_t> fast_kinds;  // "fast": the typed column stream too
  } cases[] = {
      {kNdjson, ndjson_lines(20), {2, 13}, {2, 14}},  // hosts and paths repeat
      // Grouped layouts end the chain, nested columns or not.
      {kNdjson, two_shape_lines, {2}, {2}},
      {kJson, json_array_of(12, two_shapes), {7}, {7}},
      {kJson, json_array_of(6, repeating_element), {7, 13}, {7, 14}},
      {kJson, json_array_of(6, nested_element), {7, 15}, {7, 15}},
      {kJson, json_array_of(8, nested_repeating), {7, 15, 13}, {7, 15, 14}},
      {kJson, json_array_of(40, nested_element), {7, 15}, {7, 15, 14}},
      // One element lists the nested keys in another order: the flattening
      // does not come back exactly, so it is not kept; the objects, all
      // distinct texts, then make an Enum column longer than the text.
      {kJson, json_array_of(40, reordered), {7}, {7}},
      // Few rows: the typed stream's header outweighs what it saves.
      {kJson, json_array_of(6, flat_element), {7}, {7}},
  };
  for (const auto& c : cases) {
    for (auto mode : kModes) {
      const auto pre = format::preprocess(span_of(c.input), c.hint, mode);
      EXPECT_EQ(kinds_of(pre.chain), mode == kFast ? c.fast_kinds : c.kinds) << c.input;
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
    EXPECT_EQ(format::reverse_preprocess(pre.data, chain, ~std::uint64_t{0}).value(), pre.data);
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
  const auto kinds = kinds_of(pre.chain);
  ASSERT_FALSE(kinds.empty());
  EXPECT_EQ(kinds[0], 7);
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), 15), 0);
  EXPECT_EQ(roundtrip(pre, input.size()), bytes_of(input));
}

TEST(Pipeline, ReverseStaysWithinItsBudget) {
  struct Case {
    std::uint8_t hint;
    std::uint8_t mode;
    std::string input;
  } cases[] = {
      {kNdjson, kFast, ndjson_lines(20)},                     // [2, 13]
      {kJson, kFast, json_array_of(6, nested_element)},       // [7, 15]
      {kJson, kMax, json_array_of(4, nested_element)},        // [1]
  };
  for (const auto& c : cases) {
    const auto pre = format::preprocess(span_of(c.input), c.hint, c.mode);
    ASSERT_FALSE(pre.chain.empty());
    EXPECT_EQ(roundtrip(pre, c.input.size()), bytes_of(c.input));
    const Bytes short_budget = roundtrip(pre, c.input.size() - 1);
    EXPECT_NE(short_budget, bytes_of(c.input));
    EXPECT_LT(short_budget.size(), c.input.size());
  }
}

// The value dictionary states its column count in 16 bits. Text of more
// columns than that (the typed stream's 0x00 bytes count as column breaks)
// must never be stored in a record that rebuilds fewer columns. Run through
// preprocess and reverse_preprocess directly: the "fast" race would hide a
// broken candidate behind a raw one.
TEST(Pipeline, WideTextsComeBackWholeInFastMode) {
  std::string repeated, strings;
  for (int i = 0; i < 70000; ++i) repeated += "{\"id\":1,\"v\":0.5}\n";
  for (int i = 0; i < 20000; ++i) {
    strings += "{\"msg\":\"request " + std::to_string(i % 300) + " served from cache node " +
               std::to_string(i % 7) + "\",\"n\":" + std::to_string(i) + "}\n";
  }
  for (const std::string* input : {&repeated, &strings}) {
    const auto pre = format::preprocess(span_of(*input), kNdjson, kFast);
    ASSERT_FALSE(pre.chain.empty());
    const Bytes chain_bytes = pre.chain.serialize();
    auto stored = TransformChain::deserialize(chain_bytes);
    ASSERT_TRUE(stored.ok());
    EXPECT_EQ(format::reverse_preprocess(pre.data, *stored, input->size()).value(), bytes_of(*input));
  }
}

TEST(Pipeline, FlatTextLongerThanTheInputStillGetsItsTypedStream) {
  // Each nested object holds one of eight keys, written compactly, so the
  // flat text fills seven sub-columns of every row with `null`: it is longer
  // than the whole document, and the reverse of the typed stream must be
  // allowed to give it back.
  const auto sparse = [](int i) {
    return "{\"id\":" + std::to_string(i) + ",\"m\":{\"k" + std::to_string(i % 8) + "\":" +
           std::to_string(i % 3) + "}}";
  };
  const std::string input = json_array_of(300, sparse);
  const auto pre = format::preprocess(span_of(input), kJson, kFast);
  ASSERT_EQ(kinds_of(pre.chain), (std::vector<std::uint8_t>{7, 15, 14}));
  TransformChain typed_only;
  typed_only.records.push_back(pre.chain.records[2]);
  const Bytes flat = format::reverse_preprocess(pre.data, typed_only, ~std::uint64_t{0}).value();
  EXPECT_GT(flat.size(), input.size());
  EXPECT_EQ(roundtrip(pre, input.size()), bytes_of(input));
  EXPECT_NE(roundtrip(pre, input.size() - 1), bytes_of(input));
}

// The budgets grant a text room beyond the declared size S only for the
// cells a flattening record declares: 5 bytes ("null" and a separator) for
// each (row, key) of its nested infos, once per chain, at most 32 x S.
TEST(Pipeline, BudgetsGrowOnlyByTheCellsAFlatteningRecordDeclares) {
  std::string two_shapes;
  for (int i = 0; i < 6; ++i) {
    two_shapes += "{\"a\":" + std::to_string(i) + ",\"p\":{\"x\":1,\"y\":" +
                  std::to_string(i) + "}}\n{\"b\":\"s\",\"q\":{\"z\":" + std::to_string(i) +
                  "}}\n";
  }
  std::string nested_lines;
  for (int i = 0; i < 20; ++i) {
    nested_lines += "{\"id\":" + std::to_string(i) + ",\"geo\":{\"lat\":" + std::to_string(i) +
                    ",\"lon\":2}}\n";
  }
  const struct {
    const char* name;
    std::uint8_t hint;
    std::string input;
    std::vector<std::uint8_t> kinds;
    std::uint64_t cells;
  } cases[] = {
      {"NDJSON Uniform, 20 rows x 2 keys", kNdjson, nested_lines, {2}, 40},
      {"NDJSON Grouped, 6 x 2 and 6 x 1", kNdjson, two_shapes, {2}, 18},
      {"JSON array then kind 15, 6 x 2", kJson, json_array_of(6, nested_element), {7, 15}, 12},
      {"NDJSON without nesting", kNdjson, ndjson_lines(20), {2, 13}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto pre = format::preprocess(span_of(c.input), c.hint, kMax);
    ASSERT_EQ(kinds_of(pre.chain), c.kinds);
    const std::uint64_t s = c.input.size();
    const auto budgets = format::reverse_budgets(pre.chain.view(), s);
    EXPECT_EQ(budgets.stream, s + 5 * c.cells);
    EXPECT_EQ(budgets.outputs, std::vector<std::uint64_t>(c.kinds.size(), s));
    EXPECT_LE(pre.data.size(), budgets.stream);
    // Capped at 32 x S, whatever the infos declare.
    EXPECT_EQ(format::reverse_budgets(pre.chain.view(), c.cells / 8).stream, 32 * (c.cells / 8));
  }

  // Records whose metadata does not parse grant nothing; a second
  // flattening record nothing more.
  const auto nested = format::preprocess(span_of(nested_lines), kNdjson, kMax);
  TransformChain chain;
  chain.records.push_back({2, {2}});
  chain.records.push_back({15, {1, 2, 3, 4, 5}});
  chain.records.push_back({9, {}});
  chain.records.push_back(nested.chain.records[0]);
  chain.records.push_back(nested.chain.records[0]);
  const auto budgets = format::reverse_budgets(chain.view(), 1000);
  EXPECT_EQ(budgets.outputs, (std::vector<std::uint64_t>{1000, 1000, 1000, 1000, 1200}));
  EXPECT_EQ(budgets.stream, 1200u);
}

// The budgets never refuse what this writer stores: on every corpus file,
// in every mode, the transformed text fits the stream budget (the bound a
// CM length must meet) and the chain comes back whole within its budgets.
TEST(Pipeline, BudgetsHoldEveryCorpusFileInEveryMode) {
  const struct {
    const char* name;
    std::uint8_t hint;
  } files[] = {{"zeek_dns.ndjson", kNdjson},         {"zeek_mixed.ndjson", kNdjson},
               {"nginxplus_status.ndjson", kNdjson}, {"movies-2010s.json", kJson},
               {"apache_access.log", kGeneric}};
  for (const auto& file : files) {
    const Bytes input = kelvane::testing::read_corpus_file(file.name);
    if (input.empty()) GTEST_SKIP() << "the shared corpus is absent: " << KELVANE_CORPUS_DIR;
    for (const std::uint8_t mode : kModes) {
      SCOPED_TRACE(std::string(file.name) + " in mode " + std::to_string(mode));
      const auto pre = format::preprocess(input, file.hint, mode);
      EXPECT_EQ(pre.chain.empty(), file.hint == kGeneric);
      EXPECT_LE(pre.data.size(), format::reverse_budgets(pre.chain.view(), input.size()).stream);
      EXPECT_EQ(roundtrip(pre, input.size()), input);
    }
  }
}

}  // namespace
