// Random NDJSON and JSON array documents always come back exactly: through
// preprocess / reverse_preprocess in every mode, and through a whole "fast"
// container.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.hpp"
#include "format/format.hpp"
#include "kvn/container.hpp"

namespace format = kelvane::format;
using namespace std::string_literals;
using kelvane::kvn::ByteSpan;
using kelvane::kvn::Bytes;

namespace {

constexpr std::uint8_t kJson = 1, kNdjson = 3;

ByteSpan span_of(const std::string& s) {
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// Builds random documents whose lines or elements mostly share a shape, or
// mix several shapes, with the variations that stress the transforms:
// blanks, escapes, CRLF, nested objects alike or not, ids as keys, stray
// lines, shapes that differ only in key order, a type column with repeated
// values.
class DocumentGenerator {
 public:
  explicit DocumentGenerator(std::uint64_t seed) : rng_(seed) {}

  std::string ndjson() {
    const Shape shape = random_shape();
    const int rows = between(2, 40);
    const std::string eol = chance(4) ? "\r\n" : "\n";
    std::string out;
    for (int r = 0; r < rows; ++r) {
      if (chance(40)) {
        out += chance(2) ? "[1,2]" : "";  // a stray line, sometimes empty
      } else {
        out += object(shape, r);
      }
      if (r + 1 < rows || chance(2)) out += eol;
    }
    return out;
  }

  // Lines of several shapes: some differ only in the order of their keys,
  // most start with a "type" key of a few repeated values, and rare shapes
  // and stray lines stay raw.
  std::string mixed_ndjson() {
    const std::vector<Shape> shapes = mixed_shapes();
    const int rows = between(5, 80);
    const std::string eol = chance(4) ? "\r\n" : "\n";
    std::string out;
    for (int r = 0; r < rows; ++r) {
      if (chance(15)) {
        out += pick({"[1,2]", " ", "\r", "not json", "{}", "{\"rare\":1}"});
      } else {
        out += object(shapes[static_cast<std::size_t>(between(0, static_cast<int>(shapes.size()) - 1))], r);
      }
      if (r + 1 < rows || chance(2)) out += eol;
    }
    return out;
  }

  std::string mixed_json_array() {
    const std::vector<Shape> shapes = mixed_shapes();
    const int elements = between(5, 60);
    const std::string separator = pick({",", ", ", ",\n  "});
    std::string out = pick({"[", "{\"data\": [", "  ["});
    for (int e = 0; e < elements; ++e) {
      if (e) out += chance(10) ? pick({",", " , "}) : separator;
      out += chance(12) ? pick({"{}", "{\"rare\":1}", "{ \"x\" : [1,{\"y\":2}] }"})
                        : object(shapes[static_cast<std::size_t>(between(0, static_cast<int>(shapes.size()) - 1))], e);
    }
    out += out[0] == '{' ? "]}" : "]";
    if (chance(3)) out += "\n";
    return out;
  }

  std::string json_array() {
    const Shape shape = random_shape();
    const int elements = between(4, 30);
    const std::string separator = pick({",", ", ", ",\n  ", " ,\t"});
    std::string out = pick({"[", "{\"data\": [", " {\"meta\":{\"n\":1},\"rows\":[\n"});
    for (int e = 0; e < elements; ++e) {
      if (e) out += chance(8) ? pick({",", ",  "}) : separator;
      out += object(shape, e);
    }
    out += out[0] == '[' ? "]" : "]}";
    if (chance(3)) out += "\n";
    return out;
  }

 private:
  enum class Nesting { None, Alike, MissingKeys, IdKeys, WithNulls };
  struct Shape {
    std::vector<std::string> keys;
    std::string colon, comma, open, close;
    int nested_column = -1;
    Nesting nesting = Nesting::None;
    int long_column = -1;  // long, mostly distinct strings: kept row-wise
    bool type_column = false;  // column 0 holds one of a few type names
  };

  int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool chance(int one_in) { return between(1, one_in) == 1; }
  std::string pick(std::initializer_list<const char*> options) {
    return *(options.begin() + between(0, static_cast<int>(options.size()) - 1));
  }

  std::vector<Shape> mixed_shapes() {
    std::vector<Shape> shapes;
    const int count = between(2, 5);
    for (int i = 0; i < count; ++i) {
      Shape s = random_shape();
      if (chance(3)) {  // the keys of another shape in another order
        s.keys = shapes.empty() ? s.keys : shapes.back().keys;
        std::shuffle(s.keys.begin(), s.keys.end(), rng_);
      }
      if (!chance(4)) {
        s.keys.insert(s.keys.begin(), "type");
        s.type_column = true;
        if (s.nested_column >= 0) ++s.nested_column;
        if (s.long_column >= 0) ++s.long_column;
      }
      shapes.push_back(std::move(s));
    }
    return shapes;
  }

  Shape random_shape() {
    Shape s;
    const int keys = between(1, 6);
    for (int k = 0; k < keys; ++k) {
      s.keys.push_back(chance(5) ? pick({"k\\\"q", "a\\\\b", "\\u00e9t\\u00e9", "12345", ""})
                                 : "key_"s + std::to_string(k) + std::string(between(0, 8), 'x'));
    }
    s.colon = pick({":", ": ", " : ", ":\t"});
    s.comma = pick({",", ", ", " ,  "});
    s.open = pick({"{", "{ ", "  {"});
    s.close = pick({"}", " }", "}  ", "} \t"});
    if (chance(2)) {
      s.nested_column = between(0, keys - 1);
      s.nesting = static_cast<Nesting>(between(1, 4));
    }
    if (chance(4)) s.long_column = between(0, keys - 1);
    return s;
  }

  std::string string_value() {
    std::string v = "\"";
    const int n = between(0, 12);
    for (int i = 0; i < n; ++i) {
      v += chance(6) ? pick({"\\\"", "\\\\", "\\n", "\\u0041", "}", "]", "{", "[", ",", " "})
                     : std::string(1, static_cast<char>('a' + between(0, 25)));
    }
    return v + "\"";
  }

  std::string scalar() {
    switch (between(0, 7)) {
      case 0: return std::to_string(between(-1000, 100000));
      case 1: return std::to_string(between(0, 999)) + "."s + std::to_string(between(0, 99));
      case 2: return "1.5e"s + std::to_string(between(-20, 20));
      case 3: return pick({"true", "false", "null"});
      case 4: return "["s + string_value() + ",[1,{\"x\":\"]\"}]]";
      case 5: return "{}";
      default: return string_value();
    }
  }

  std::string nested(const Shape& s, int row) {
    switch (s.nesting) {
      case Nesting::Alike:
        return "{\"lat\":"s + scalar() + ",\"lon\":"s + scalar() + "}";
      case Nesting::MissingKeys:
        return chance(3) ? "{\"lat\":"s + scalar() + "}" : "{\"lat\":1,\"lon\":"s + scalar() + "}";
      case Nesting::IdKeys:
        return "{\""s + std::to_string(100000 + row) + "\":"s + scalar() + "}";
      case Nesting::WithNulls:
        return chance(3) ? "null" : "{\"a\": "s + scalar() + ", \"b\": "s + string_value() + "}";
      case Nesting::None:
        break;
    }
    return scalar();
  }

  std::string object(const Shape& s, int row) {
    std::string out = s.open;
    for (std::size_t k = 0; k < s.keys.size(); ++k) {
      if (k) out += chance(30) ? std::string(",") : s.comma;
      out += "\""s + s.keys[k] + "\""s + s.colon;
      if (k == 0 && s.type_column) {
        out += pick({"\"dns\"", "\"http\"", "\"ssl\""});
      } else if (static_cast<int>(k) == s.long_column) {
        out += '"';
        out.append(static_cast<std::size_t>(between(130, 200)), static_cast<char>('a' + row % 26));
        out += std::to_string(row) + '"';
      } else {
        out += static_cast<int>(k) == s.nested_column ? nested(s, row) : scalar();
      }
    }
    return out + s.close;
  }

  std::mt19937_64 rng_;
};

TEST(RoundTripProperty, TransformsRestoreEveryDocumentExactly) {
  DocumentGenerator gen(0x6b656c76616e65ULL);
  int transformed = 0;
  int grouped = 0;
  const int documents = 2000;
  for (int i = 0; i < documents; ++i) {
    const bool lines = i % 2 == 0;
    const bool mixed = i % 4 >= 2;
    const std::string doc = lines ? (mixed ? gen.mixed_ndjson() : gen.ndjson())
                                  : (mixed ? gen.mixed_json_array() : gen.json_array());
    for (const std::uint8_t hint : {kJson, kNdjson}) {
      for (const std::uint8_t mode : {0, 1, 2}) {
        const auto pre = format::preprocess(span_of(doc), hint, mode);
        if (!pre.chain.empty() && mode == 2 && hint == (lines ? kNdjson : kJson)) {
          ++transformed;
          if (pre.chain.records[0].metadata.at(0) == 2) ++grouped;
        }
        const Bytes back = format::reverse_preprocess(pre.data, pre.chain, doc.size()).value();
        ASSERT_EQ(std::string(back.begin(), back.end()), doc)
            << "hint " << int(hint) << " mode " << int(mode);
      }
    }
  }
  // The generator must exercise the layouts, not only their declines.
  EXPECT_GT(transformed, documents / 4);
  EXPECT_GT(grouped, documents / 8);
}

TEST(RoundTripProperty, FastContainersRestoreEveryDocumentExactly) {
  DocumentGenerator gen(0x636f6e7461696eULL);
  for (int i = 0; i < 40; ++i) {
    const std::string doc = i % 4 == 0   ? gen.ndjson()
                            : i % 4 == 1 ? gen.json_array()
                            : i % 4 == 2 ? gen.mixed_ndjson()
                                         : gen.mixed_json_array();
    Bytes container;
    const auto status = kelvane::codec::compress_with_all_options(
        span_of(doc), static_cast<std::uint8_t>(kelvane::kvn::CompressionMode::Fast),
        kelvane::kvn::FORMAT_AUTO, std::nullopt, false, container);
    ASSERT_TRUE(status.ok()) << status.error().message;
    const auto back = kelvane::codec::decompress_from_slice(container);
    ASSERT_TRUE(back.ok()) << back.error().message;
    ASSERT_EQ(std::string(back->begin(), back->end()), doc);
  }
}

// A corpus log, as NDJSON and as one JSON array of its lines; each file is
// its own test, so that a missing one shows as skipped.
class CorpusLog : public ::testing::TestWithParam<const char*> {};

TEST_P(CorpusLog, RestoresExactly) {
  const char* name = GetParam();
  const std::filesystem::path path = std::filesystem::path(KELVANE_CORPUS_DIR) / name;
  std::ifstream in(path, std::ios::binary);
  if (!in) GTEST_SKIP() << "corpus file " << path << " absent";
  const std::string lines((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string array = "[";
  for (std::size_t pos = 0; pos < lines.size();) {
    std::size_t end = lines.find('\n', pos);
    if (end == std::string::npos) end = lines.size();
    if (pos != 0) array += ',';
    array.append(lines, pos, end - pos);
    pos = end + 1;
  }
  array += "]";
  const std::string* docs[] = {&lines, &array};
  for (const std::string* doc : docs) {
    const std::uint8_t hint = doc == &lines ? kNdjson : kJson;
    const auto pre = format::preprocess(span_of(*doc), hint, 2);
    const Bytes back = format::reverse_preprocess(pre.data, pre.chain, doc->size()).value();
    EXPECT_TRUE(std::equal(back.begin(), back.end(), doc->begin(), doc->end()))
        << name << " hint " << int(hint);
  }
}

INSTANTIATE_TEST_SUITE_P(RoundTripProperty, CorpusLog,
                         ::testing::Values("zeek_dns.ndjson", "zeek_mixed.ndjson",
                                           "nginxplus_status.ndjson"),
                         [](const ::testing::TestParamInfo<const char*>& file) {
                           std::string id = file.param;
                           std::replace(id.begin(), id.end(), '.', '_');
                           return id;
                         });

}  // namespace
