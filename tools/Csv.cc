#include "tools/Csv.h"

#include "tools/ToolError.h"

namespace kestal::tool {

std::string CsvLine(const std::vector<std::string>& fields) {
  // A lone empty field would make an empty line, which readers skip: it is
  // written quoted so that the record survives.
  if (fields.size() == 1 && fields[0].empty()) return "\"\"\n";
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    const std::string& f = fields[i];
    if (f.find_first_of(",\"\r\n") == std::string::npos) {
      line += f;
      continue;
    }
    line += '"';
    for (char c : f) {
      if (c == '"') line += '"';
      line += c;
    }
    line += '"';
  }
  line += '\n';
  return line;
}

// Throws ToolError naming the current input line.
void CsvReader::Fail(const std::string& what) const {
  throw ToolError("CSV input line " + std::to_string(line_) + ": " + what);
}

// Moves the field read so far into the current record.
// Handles c when it closes the current field: a comma starts the next field,
// a CR or LF ends the record too. Returns false for any other character.
bool CsvReader::EndsFieldAt(char c) {
  if (c == ',') {
    EndField();
    state_ = State::kFieldStart;
    return true;
  }
  if (c != '\n' && c != '\r') return false;
  EndField();
  EndRecord();
  ++line_;
  state_ = c == '\r' ? State::kAfterCr : State::kFieldStart;
  return true;
}

void CsvReader::EndField() {
  record_.fields.push_back(field_);
  field_.clear();
}

// Queues the current record for Next, unless the line was empty.
void CsvReader::EndRecord() {
  if (record_open_) ready_.push_back(record_);
  record_ = CsvRecord();
  record_open_ = false;
}

void CsvReader::Feed(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (state_ == State::kAfterCr) {
      // A CR ends the record on its own or as part of CRLF.
      state_ = State::kFieldStart;
      if (c == '\n') continue;
    }
    if (!record_open_ && state_ == State::kFieldStart) {
      if (c == '\n' || c == '\r') {  // empty line
        if (c == '\r') state_ = State::kAfterCr;
        ++line_;
        continue;
      }
      record_open_ = true;
      record_.line = line_;
    }
    switch (state_) {
      case State::kFieldStart:
      case State::kUnquoted:
        if (c == '"') {
          if (state_ == State::kUnquoted) Fail("a double quote inside an unquoted field");
          state_ = State::kQuoted;
        } else if (!EndsFieldAt(c)) {
          field_ += c;
          state_ = State::kUnquoted;
        }
        break;
      case State::kQuoted:
        if (c == '"') {
          state_ = State::kQuoteInQuoted;
        } else {
          if (c == '\n') ++line_;
          field_ += c;
        }
        break;
      case State::kQuoteInQuoted:
        if (c == '"') {
          field_ += '"';
          state_ = State::kQuoted;
        } else if (!EndsFieldAt(c)) {
          Fail("text after the closing quote of a field");
        }
        break;
      case State::kAfterCr:
        break;  // handled above
    }
  }
}

void CsvReader::Finish() {
  if (state_ == State::kQuoted) {
    line_ = record_.line;
    Fail("a quoted field is not closed at the end of input");
  }
  if (record_open_) {
    EndField();
    EndRecord();
  }
  state_ = State::kFieldStart;
}

bool CsvReader::Next(CsvRecord* out) {
  if (ready_.empty()) return false;
  *out = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

}  // namespace kestal::tool
