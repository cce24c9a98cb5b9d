// ResultTable: the packed storage of one statement's rows (see Engine.h).
// What must hold: a row's bytes are contiguous inside one block, a block never
// moves once allocated, and the end offsets hold exactly width_ entries per
// finished row (the row being filled is finished by the next AddRow or by
// ConvertText). Offsets are kept in 16 bits while every row is shorter than
// 32 KiB, and all widened to 32 bits by the first row that is not.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "sql/db/Engine.h"

namespace kestal::db {
namespace {

constexpr uint32_t kNull = 0x80000000u;    // top bit of an end offset: NULL
constexpr uint32_t kOffset = 0x7fffffffu;  // the offset bits
constexpr uint16_t kNarrowNull = 0x8000u;  // the same in a 16-bit offset
constexpr uint32_t kNarrowOffset = 0x7fffu;
// Blocks grow from small (a one-row window costs little) to a bound that
// keeps the unused tail of the last block small beside a large result.
constexpr size_t kFirstBlock = 1024;
constexpr size_t kLargestBlock = 1024 * 1024;

// True when some byte of text is outside ASCII. Eight bytes at a time: every
// result is scanned once before its code-page conversion.
bool HasHighByte(const char* data, size_t size) {
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    if (word & 0x8080808080808080ull) return true;
  }
  for (; i < size; ++i) {
    if (static_cast<unsigned char>(data[i]) >= 0x80) return true;
  }
  return false;
}

}  // namespace

ResultTable::ResultTable() : next_block_(kFirstBlock) {}
ResultTable::~ResultTable() = default;

size_t ResultTable::EndCount() const {
  return wide_ ? wide_ends_.size() : narrow_ends_.size();
}

uint32_t ResultTable::EndAt(size_t at) const {
  if (wide_) return wide_ends_[at];
  const uint16_t end = narrow_ends_[at];
  return (end & kNarrowOffset) | ((end & kNarrowNull) != 0 ? kNull : 0);
}

void ResultTable::SetEnd(size_t at, uint32_t end) {
  if (!wide_ && (end & kOffset) > kNarrowOffset) Widen();
  if (wide_) {
    wide_ends_[at] = end;
  } else {
    narrow_ends_[at] =
        static_cast<uint16_t>((end & kNarrowOffset) | ((end & kNull) ? kNarrowNull : 0));
  }
}

void ResultTable::PushEnd(uint32_t end) {
  if (!wide_ && (end & kOffset) > kNarrowOffset) Widen();
  if (wide_) {
    wide_ends_.push_back(end);
  } else {
    narrow_ends_.push_back(
        static_cast<uint16_t>((end & kNarrowOffset) | ((end & kNull) ? kNarrowNull : 0)));
  }
}

void ResultTable::Widen() {
  wide_ends_.reserve(narrow_ends_.size() + width_);
  for (size_t at = 0; at < narrow_ends_.size(); ++at) wide_ends_.push_back(EndAt(at));
  std::vector<uint16_t>().swap(narrow_ends_);
  wide_ = true;
}

uint32_t ResultTable::LastEnd() const {
  return filled_ == 0 ? 0 : (EndAt(EndCount() - 1) & kOffset);
}

void ResultTable::FinishRow() {
  if (starts_.empty()) return;
  const uint32_t end = LastEnd();
  for (; filled_ < width_; ++filled_) PushEnd(end | kNull);
}

void ResultTable::AddRow() {
  if (starts_.empty()) width_ = columns.size();
  FinishRow();
  if (write_ == nullptr) Reserve(0, false);
  starts_.push_back(write_);
  filled_ = 0;
}

void ResultTable::Reserve(size_t size, bool move_row) {
  if (write_ != nullptr && static_cast<size_t>(block_end_ - write_) >= size) return;
  // The current row's bytes so far move along with it to the new block.
  move_row = move_row && !starts_.empty();
  char* row = move_row ? starts_.back() : nullptr;
  const size_t kept = move_row ? static_cast<size_t>(write_ - row) : 0;
  size_t bytes = next_block_;
  while (bytes < kept + size) bytes *= 2;
  if (next_block_ < kLargestBlock) next_block_ *= 2;
  auto block = std::make_unique<char[]>(bytes);
  if (kept > 0) std::memcpy(block.get(), row, kept);
  write_ = block.get() + kept;
  block_end_ = block.get() + bytes;
  if (move_row) starts_.back() = block.get();
  block_bytes_ += bytes;
  blocks_.push_back(std::move(block));
}

void ResultTable::AddText(const char* data, size_t size) {
  if (starts_.empty()) throw std::logic_error("result cell before its row");
  if (filled_ >= width_) throw std::logic_error("result row has more cells than columns");
  const size_t used = static_cast<size_t>(write_ - starts_.back());
  if (size > kOffset - used) throw std::length_error("result row of 2 GiB or more");
  Reserve(size, true);
  if (size > 0) std::memcpy(write_, data, size);
  write_ += size;
  PushEnd(static_cast<uint32_t>(used + size));
  ++filled_;
}

void ResultTable::AddNull() {
  if (starts_.empty()) throw std::logic_error("result cell before its row");
  if (filled_ >= width_) throw std::logic_error("result row has more cells than columns");
  PushEnd(LastEnd() | kNull);
  ++filled_;
}

uint32_t ResultTable::CellEnd(size_t row, size_t column) const {
  const size_t at = row * width_ + column;
  // The row being filled may not have all its cells yet.
  if (at >= EndCount() || column >= width_) return kNull;
  return EndAt(at);
}

bool ResultTable::IsNull(size_t row, size_t column) const {
  return (CellEnd(row, column) & kNull) != 0;
}

std::string_view ResultTable::Text(size_t row, size_t column) const {
  std::string_view text;  // stays empty for NULL
  Cell(row, column, &text);
  return text;
}

bool ResultTable::Cell(size_t row, size_t column, std::string_view* text) const {
  const uint32_t end = CellEnd(row, column);
  if (end & kNull) return false;
  const uint32_t start = column == 0 ? 0 : (EndAt(row * width_ + column - 1) & kOffset);
  *text = std::string_view(starts_[row] + start, end - start);
  return true;
}

void ResultTable::ConvertText(const std::function<std::string(const std::string&)>& convert) {
  FinishRow();
  std::string rebuilt;
  std::vector<uint32_t> ends(width_);
  const size_t rows = starts_.size();
  for (size_t r = 0; r < rows; ++r) {
    const uint32_t length = width_ == 0 ? 0 : (EndAt((r + 1) * width_ - 1) & kOffset);
    if (!HasHighByte(starts_[r], length)) continue;
    rebuilt.clear();
    for (size_t c = 0; c < width_; ++c) {
      const uint32_t end = EndAt(r * width_ + c);
      if (end & kNull) {
        ends[c] = static_cast<uint32_t>(rebuilt.size()) | kNull;
        continue;
      }
      const std::string_view text = Text(r, c);
      if (HasHighByte(text.data(), text.size())) {
        rebuilt += convert(std::string(text));
      } else {
        rebuilt.append(text.data(), text.size());
      }
      if (rebuilt.size() > kOffset) throw std::length_error("result row of 2 GiB or more");
      ends[c] = static_cast<uint32_t>(rebuilt.size());
    }
    char* target = starts_[r];
    if (rebuilt.size() > length) {
      // Grown: stored again after the last row; the old bytes stay unused.
      Reserve(rebuilt.size(), false);
      target = write_;
      write_ += rebuilt.size();
      starts_[r] = target;
    }
    std::memcpy(target, rebuilt.data(), rebuilt.size());
    for (size_t c = 0; c < width_; ++c) SetEnd(r * width_ + c, ends[c]);
  }
}

size_t ResultTable::HeldBytes() const {
  return block_bytes_ + starts_.capacity() * sizeof(char*) +
         narrow_ends_.capacity() * sizeof(uint16_t) + wide_ends_.capacity() * sizeof(uint32_t);
}

}  // namespace kestal::db
