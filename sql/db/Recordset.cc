// Recordset: a static, client-side result. All rows are held in memory,
// already converted to the process code page; positioning never goes back to
// the engine.
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/Codepage.h"
#include "platform/Mbcs.h"
#include "sql/db/Ado.h"
#include "sql/db/Engine.h"

namespace {

// _mbsicmp(a, b) == 0, with the common case (both names ASCII) compared
// here: column lookups run three times per row read. From the first byte of
// either string that is not ASCII, _mbsicmp decides; every byte before it
// was a whole character in both, so both rests start on a character.
bool SameName(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(*a);
    unsigned char cb = static_cast<unsigned char>(*b);
    if ((ca | cb) >= 0x80) return _mbsicmp(a, b) == 0;
    if (ca == 0 || cb == 0) return ca == cb;
    if (ca >= 'a' && ca <= 'z') ca = static_cast<unsigned char>(ca - ('a' - 'A'));
    if (cb >= 'a' && cb <= 'z') cb = static_cast<unsigned char>(cb - ('a' - 'A'));
    if (ca != cb) return false;
  }
}

}  // namespace

using kestal::db::kItemNotFound;
using kestal::db::kNoCurrentRecord;
using kestal::db::kObjectClosed;
using kestal::db::kObjectOpen;

Recordset::Recordset() = default;
Recordset::~Recordset() = default;

void Recordset::RequireOpen() const {
  if (!open_) throw _com_error(kObjectClosed, "the recordset is not open");
}

void Recordset::Open(const CString& sql, const _ConnectionPtr& connection, long /*cursor_type*/,
                     long /*lock_type*/, long /*options*/) {
  if (open_) throw _com_error(kObjectOpen, "the recordset is already open");
  _RecordsetPtr result = connection->Execute(sql);  // kNullObject when unset
  // A statement that yields no rows leaves the recordset closed, as in ADO.
  // The rows are converted already: take them over as they are.
  if (result->open_) {
    rows_ = std::move(result->rows_);
    row_ = 0;
    open_ = true;
  }
}

void Recordset::Close() {
  RequireOpen();
  open_ = false;
  row_ = 0;
  rows_.reset();
}

long Recordset::GetRecordCount() const {
  RequireOpen();
  return static_cast<long>(rows_->rows.size());
}

bool Recordset::IsBOF() const {
  RequireOpen();
  return rows_->rows.empty();
}

bool Recordset::IsEOF() const {
  RequireOpen();
  return row_ >= static_cast<long>(rows_->rows.size());
}

void Recordset::MoveFirst() {
  RequireOpen();
  row_ = 0;
}

void Recordset::MoveNext() {
  RequireOpen();
  if (row_ >= static_cast<long>(rows_->rows.size())) {
    throw _com_error(kNoCurrentRecord, "MoveNext past the end of the recordset");
  }
  ++row_;
}

void Recordset::Move(long rows) {
  RequireOpen();
  const long count = static_cast<long>(rows_->rows.size());
  // Computed in long long so that a huge n cannot wrap around.
  const long long target = static_cast<long long>(row_) + rows;
  if (target < 0 || target > count) {
    throw _com_error(kNoCurrentRecord, "Move outside the recordset");
  }
  row_ = static_cast<long>(target);
}

_variant_t Recordset::GetCollect(const char* name) const {
  RequireOpen();
  size_t column = rows_->columns.size();
  if (name != nullptr) {
    for (size_t i = 0; i < rows_->columns.size(); ++i) {
      if (SameName(rows_->columns[i].c_str(), name)) {
        column = i;
        break;
      }
    }
  }
  if (column == rows_->columns.size()) {
    CString text;
    text.Format("Item cannot be found in the collection: %s", name ? name : "");
    throw _com_error(kItemNotFound, text);
  }
  if (row_ < 0 || row_ >= static_cast<long>(rows_->rows.size())) {
    throw _com_error(kNoCurrentRecord, "either BOF or EOF is true");
  }
  const std::vector<kestal::db::Cell>& row = rows_->rows[static_cast<size_t>(row_)];
  // A short row from an engine reads as NULL rather than past its end.
  if (column >= row.size() || row[column].null) return _variant_t();
  const kestal::db::Cell& cell = row[column];
  return _variant_t(CString(cell.text));
}

std::vector<CString> Recordset::ColumnNames() const {
  std::vector<CString> names;
  if (!open_) return names;
  for (const auto& c : rows_->columns) names.emplace_back(c);
  return names;
}

void Recordset::Attach(std::unique_ptr<kestal::db::ResultTable> rows) {
  if (!rows) rows = std::make_unique<kestal::db::ResultTable>();
  // Engines deliver UTF-8; convert once here so every read is a plain copy.
  for (auto& c : rows->columns) {
    if (!kestal::IsAscii(c)) c = kestal::FromUtf8(c);
  }
  for (auto& row : rows->rows) {
    for (auto& cell : row) {
      if (!cell.null && !kestal::IsAscii(cell.text)) cell.text = kestal::FromUtf8(cell.text);
    }
  }
  rows_ = std::move(rows);
  row_ = 0;
  open_ = true;
}
