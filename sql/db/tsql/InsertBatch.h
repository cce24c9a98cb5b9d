// A batch made only of single-row plain inserts, as the order buffer writes
// a record batch ("insert into T (c, ...) values (v, ...);" again and again),
// read in one pass into the places of its statements and of their values,
// so that an engine can insert the rows through a prepared statement instead
// of cutting, rewriting, joining and parsing the text. Internal to the
// engine sessions.
//
// What must hold: Read accepts a batch only when every statement of it is
// one that IsPlainInsert (FastPath.h) accepts, with exactly one value list,
// and the statements are those SplitBatch would cut, with the same text.
// The shape accepted is narrower than IsPlainInsert's wherever that keeps
// the reading simple: blanks are only space, tab, CR and LF; a sign is
// written next to its number; a whole number has at most 18 digits (it fits
// 64 bits whatever they are); a string holds no NUL byte. Anything else makes
// Read refuse the whole batch, and the caller takes its general path.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kestal::db::tsql {

// How an engine takes one literal of a plain insert.
enum class LiteralKind {
  kNull,     // NULL
  kInteger,  // a whole number: integer() holds it
  kDecimal,  // a number with a decimal point: text() is its text, sign included
  kText,     // a '...' string: text() is its content, '' still doubled when quoted()
};

struct Literal {
  LiteralKind kind = LiteralKind::kNull;
  size_t at = 0;    // offset of the text in the batch
  size_t size = 0;  // bytes of the text
  long long integer = 0;
  bool quoted = false;  // a kText holding '' for a quotation mark
};

struct PlainStatement {
  size_t text_at = 0;  // the statement as SplitBatch cuts it: from after the last ';'
  size_t text_size = 0;
  size_t head_at = 0;  // INSERT INTO name [(columns)] VALUES, without blanks around it
  size_t head_size = 0;
  size_t first_value = 0;  // index of its first value in InsertBatch::values()
  size_t value_count = 0;
};

class InsertBatch {
 public:
  // Reads batch (kept by reference until the next Read; it must outlive
  // every use of the places). False, with the batch taken as empty, when any
  // statement is not of the shape above; also for a batch with no statement.
  bool Read(const std::string& batch);
  bool Read(std::string&&) = delete;  // the places would outlive the text

  const std::string& batch() const { return *batch_; }
  const std::vector<PlainStatement>& statements() const { return statements_; }
  const std::vector<Literal>& values() const { return values_; }

  // The text of statement i as SplitBatch gives it.
  std::string Text(size_t i) const;
  // True when statements i and j have the same head, byte for byte.
  bool SameHead(size_t i, size_t j) const;
  // The content of a kText literal with every '' made one quotation mark.
  std::string Unquoted(const Literal& value) const;

 private:
  const std::string* batch_ = &empty_;
  std::vector<PlainStatement> statements_;
  std::vector<Literal> values_;
  static const std::string empty_;
};

}  // namespace kestal::db::tsql
