// Fuzz target: the tool's CSV writer and incremental reader.
//
// Two round trips. Reader first: the input read as CSV (fed in pieces whose
// sizes the input chooses) gives the same records as when fed whole, and
// those records written and read again come back unchanged. Writer first:
// records built from the input (0x00 ends a field, 0x01 a record) written
// with CsvLine and read back are the same records, in order, one per line
// written. A refusal is a ToolError naming a line, never another exception.
#include <exception>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "tools/Csv.h"
#include "tools/ToolError.h"

using kestal::tool::CsvLine;
using kestal::tool::CsvReader;
using kestal::tool::CsvRecord;
using kestal::tool::ToolError;
using Records = std::vector<std::vector<std::string>>;

namespace {

std::string Show(const Records& records) {
  std::string out;
  for (const auto& r : records) {
    out += "{";
    for (const auto& f : r) out += "[" + f + "]";
    out += "} ";
  }
  return out.size() > 600 ? out.substr(0, 600) + "..." : out;
}

// Reads text in pieces of the given sizes (cycled; 0 means 1). False when
// the reader refused the text.
bool ReadCsv(const std::string& text, const std::string& pieces, Records* out) {
  CsvReader reader;
  CsvRecord record;
  long lastLine = 0;
  try {
    size_t at = 0;
    size_t k = 0;
    while (at < text.size()) {
      size_t n =
          pieces.empty() ? text.size() : static_cast<unsigned char>(pieces[k++ % pieces.size()]);
      if (n == 0) n = 1;
      if (n > text.size() - at) n = text.size() - at;
      reader.Feed(text.data() + at, n);
      at += n;
      while (reader.Next(&record)) {
        FUZZ_CHECK(record.line > lastLine, "record lines do not increase");
        lastLine = record.line;
        out->push_back(record.fields);
      }
    }
    reader.Finish();
  } catch (const ToolError& e) {
    FUZZ_CHECK(std::string(e.what()).rfind("CSV input line ", 0) == 0,
               std::string("refusal without its line: ") + e.what());
    return false;
  } catch (const std::exception& e) {
    FUZZ_CHECK(false, std::string("reader threw ") + e.what());
  }
  while (reader.Next(&record)) {
    FUZZ_CHECK(record.line > lastLine, "record lines do not increase");
    lastLine = record.line;
    out->push_back(record.fields);
  }
  for (const auto& r : *out) FUZZ_CHECK(!r.empty(), "a record without fields");
  return true;
}

// Writes records and reads them back; they must come back as they were.
void WriteAndReadBack(const Records& records, const std::string& pieces) {
  std::string text;
  for (const auto& r : records) {
    const std::string line = CsvLine(r);
    FUZZ_CHECK(!line.empty() && line.back() == '\n', "a written line does not end in LF");
    text += line;
  }
  Records back;
  FUZZ_CHECK(ReadCsv(text, pieces, &back), "written CSV is refused: " + Show(records));
  FUZZ_CHECK(back == records, "round trip: " + Show(records) + "-> " + Show(back));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8192) return 0;
  // Byte 0: how many of the next bytes choose piece sizes.
  const size_t np = std::min<size_t>(data[0] % 16, size - 1);
  const std::string pieces(reinterpret_cast<const char*>(data) + 1, np);
  const std::string text(reinterpret_cast<const char*>(data) + 1 + np, size - 1 - np);

  Records whole;
  Records split;
  const bool okWhole = ReadCsv(text, "", &whole);
  const bool okSplit = ReadCsv(text, pieces, &split);
  FUZZ_CHECK(okWhole == okSplit, "fed in pieces, the input is judged differently");
  if (okWhole) {
    FUZZ_CHECK(whole == split, "fed in pieces: " + Show(whole) + "vs " + Show(split));
    WriteAndReadBack(whole, pieces);
  }

  // Records of any bytes: 0x00 ends a field, 0x01 a record.
  Records built(1, std::vector<std::string>(1));
  for (char c : text) {
    if (c == '\0') {
      built.back().emplace_back();
    } else if (c == '\x01') {
      built.emplace_back(1);
    } else {
      built.back().back() += c;
    }
  }
  WriteAndReadBack(built, pieces);
  return 0;
}
