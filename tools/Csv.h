// CSV after RFC 4180: fields separated by commas, records by CRLF or LF; a
// field holding a comma, a double quote, CR or LF is written in double quotes
// with its quotes doubled. The reader accepts the same, incrementally, so that
// records can be taken from a stream as they arrive.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace kestal::tool {

// One record as a line, quoted where needed, ending in "\n". A record of one
// empty field is written as "" so that it is not an empty line.
std::string CsvLine(const std::vector<std::string>& fields);

struct CsvRecord {
  std::vector<std::string> fields;
  long line = 0;  // 1-based line of the input where the record starts
};

class CsvReader {
 public:
  // Adds input bytes; every record completed by them becomes available to
  // Next. Throws ToolError (naming the line) for a quote inside an unquoted
  // field or text after a closing quote.
  void Feed(const char* data, size_t size);
  // Marks the end of input: a last record without a line end is completed.
  // Throws ToolError for a quoted field still open.
  void Finish();
  // Takes the oldest completed record; false when none is waiting. Empty
  // lines are skipped, they make no record.
  bool Next(CsvRecord* out);

 private:
  enum class State { kFieldStart, kUnquoted, kQuoted, kQuoteInQuoted, kAfterCr };
  bool EndsFieldAt(char c);
  void EndField();
  void EndRecord();
  void Fail(const std::string& what) const;

  State state_ = State::kFieldStart;
  std::string field_;
  CsvRecord record_;
  bool record_open_ = false;  // the current record has at least one byte
  long line_ = 1;
  std::deque<CsvRecord> ready_;
};

}  // namespace kestal::tool
