// The points of small order of edwards25519 and edwards448 in every encoding a lenient decoder takes,
// the group orders, and the Curve448 field elements 0, 1 and p - 1, read from
// tests/data/crypto/pubkey/small_order_points.txt.
#pragma once

#include <string>
#include <vector>

#include "tests/vector_file.h"

namespace velmora::testing_support {

struct SmallOrderTable {
  std::string order;                   // L, little-endian
  std::vector<std::string> encodings;  // points of small order
  std::vector<std::string> elements;   // field elements (Curve448 only)
};

// SmallOrderPoints returns the table of curve: "edwards25519", "edwards448" or "curve448-field".
inline SmallOrderTable SmallOrderPoints(const std::string& curve) {
  SmallOrderTable table;
  const std::string path = std::string(VELMORABLE_SOURCE_DIR) + "/tests/data/crypto/pubkey/small_order_points.txt";
  for (VectorEntry& v : ReadVectors(path, {"Curve", "Order", "Encoding", "Element"})) {
    const bool mine = v.Get("Curve") == curve;
    for (const char* key : {"Order", "Encoding", "Element"}) {
      if (!v.Has(key)) continue;
      const std::string bytes = v.Bytes(key);
      if (!mine) continue;
      if (std::string(key) == "Order") table.order = bytes;
      if (std::string(key) == "Encoding") table.encodings.push_back(bytes);
      if (std::string(key) == "Element") table.elements.push_back(bytes);
    }
  }
  return table;
}

}  // namespace velmora::testing_support
