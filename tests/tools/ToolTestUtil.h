// Small helpers shared by the tool tests: table files made through the tool
// and raw reads of their headers.
#pragma once

#include <cstdint>
#include <string>

#include "support/TestSupport.h"
#include "tools/ToolRunner.h"

namespace kestal::test {

// The order table used by most tool tests.
inline constexpr const char* kOrderFields = "REC_NUM:N:8,STOCK:C:6,BS:C:1,QTY:N:8,NOTE:C:20";
inline constexpr const char* kOrderHeader = "REC_NUM,STOCK,BS,QTY,NOTE\n";

// Creates path with fields through "kestal dbf create"; fails the test otherwise.
void CreateTable(const std::string& path, const std::string& fields = kOrderFields);

// Little-endian numbers of a byte string.
uint32_t Le32(const std::string& bytes, size_t at);
uint16_t Le16(const std::string& bytes, size_t at);

// The record count in the header of the table file at path.
uint32_t HeaderCount(const std::string& path);

// CSV of n orders numbered from first (REC_NUM left empty for WTK).
std::string Orders(int first, int n, bool with_rec_num = false);

}  // namespace kestal::test
