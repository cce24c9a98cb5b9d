#include "tools/ToolTestUtil.h"

#include <gtest/gtest.h>

namespace kestal::test {

void CreateTable(const std::string& path, const std::string& fields) {
  const ToolResult r = RunKestal({"dbf", "create", path, "--fields", fields});
  ASSERT_EQ(r.status, 0) << r.err;
}

uint32_t Le32(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes.at(at + i));
  return v;
}

uint16_t Le16(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(bytes.at(at)) |
                               (static_cast<unsigned char>(bytes.at(at + 1)) << 8));
}

uint32_t HeaderCount(const std::string& path) {
  return Le32(ReadFile(path), 4);
}

std::string Orders(int first, int n, bool with_rec_num) {
  std::string csv;
  for (int i = first; i < first + n; ++i) {
    csv += (with_rec_num ? std::to_string(i) : std::string()) + ",60" +
           std::to_string(1000 + i % 9000) + "," + (i % 2 ? "B" : "S") + "," +
           std::to_string(100 * i) + ",order " + std::to_string(i) + "\n";
  }
  return csv;
}

}  // namespace kestal::test
