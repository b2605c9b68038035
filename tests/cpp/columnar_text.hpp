// ColumnarText written out in tests: columns joined by 0x00, the values of
// each column by 0x01.
#pragma once

#include <string>
#include <vector>

#include "kvn/bytes.hpp"

namespace test_support {

inline kelvane::kvn::Bytes columnar(const std::vector<std::vector<std::string>>& columns) {
  kelvane::kvn::Bytes out;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (c > 0) out.push_back(0x00);
    for (std::size_t r = 0; r < columns[c].size(); ++r) {
      if (r > 0) out.push_back(0x01);
      out.insert(out.end(), columns[c][r].begin(), columns[c][r].end());
    }
  }
  return out;
}

}  // namespace test_support
