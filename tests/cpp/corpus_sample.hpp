// Reads a prefix of a file of the shared corpus of real logs. Returns empty
// bytes when the corpus is absent, so the tests that use it can skip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kelvane::testing {

// At most `limit` bytes of the corpus file `name`, cut back to whole lines
// so an NDJSON sample stays NDJSON.
inline std::vector<std::uint8_t> read_corpus_prefix(const char* name, std::size_t limit) {
  std::ifstream in(std::string(KELVANE_CORPUS_DIR) + "/" + name, std::ios::binary);
  if (!in) return {};
  std::vector<std::uint8_t> data(limit);
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(limit));
  data.resize(static_cast<std::size_t>(in.gcount()));
  while (!data.empty() && data.back() != '\n') data.pop_back();
  return data;
}

// The whole corpus file `name`, or empty bytes when the corpus is absent.
inline std::vector<std::uint8_t> read_corpus_file(const char* name) {
  std::ifstream in(std::string(KELVANE_CORPUS_DIR) + "/" + name, std::ios::binary);
  if (!in) return {};
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace kelvane::testing
