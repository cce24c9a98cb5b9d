// Recordset: a static, client-side result. All rows are held in memory in
// one packed ResultTable, already converted to the process code page;
// positioning never goes back to the engine. A deferred set holds its
// statement and connection until the first read or move runs it (Fetch);
// from then on it is an ordinary static set. Values become _variant_t only
// when GetCollect is asked for one.
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
  if (!rows_) Fetch();
}

void Recordset::Open(const CString& sql, const _ConnectionPtr& connection, long /*cursor_type*/,
                     long /*lock_type*/, long /*options*/) {
  if (open_) throw _com_error(kObjectOpen, "the recordset is already open");
  _RecordsetPtr result = connection->Execute(sql);  // kNullObject when unset
  // A statement that yields no rows leaves the recordset closed, as in ADO.
  // The rows are converted already: take them over as they are.
  if (result->open_) {
    rows_ = std::move(result->rows_);
    asked_.clear();
    row_ = 0;
    open_ = true;
  }
}

void Recordset::OpenDeferred(const CString& sql, const _ConnectionPtr& connection) {
  if (open_) throw _com_error(kObjectOpen, "the recordset is already open");
  deferred_sql_ = sql;
  deferred_connection_ = connection;
  row_ = 0;
  open_ = true;
}

void Recordset::Fetch() const {
  if (!open_) throw _com_error(kObjectClosed, "the recordset is not open");
  if (rows_) return;
  // kNullObject for an unset connection; the statement stays for a retry
  // when it fails.
  _RecordsetPtr result = deferred_connection_->Execute(deferred_sql_);
  // A statement without rows reads as an empty result without columns.
  rows_ = result->open_ ? std::move(result->rows_) : std::make_unique<kestal::db::ResultTable>();
  asked_.clear();
  deferred_connection_.Release();
  deferred_sql_ = CString();
}

void Recordset::Close() {
  if (!open_) throw _com_error(kObjectClosed, "the recordset is not open");
  open_ = false;
  row_ = 0;
  rows_.reset();
  asked_.clear();
  deferred_connection_.Release();
  deferred_sql_ = CString();
}

long Recordset::GetRecordCount() const {
  RequireOpen();
  return static_cast<long>(rows_->RowCount());
}

bool Recordset::IsBOF() const {
  RequireOpen();
  return rows_->RowCount() == 0;
}

bool Recordset::IsEOF() const {
  RequireOpen();
  return row_ >= static_cast<long>(rows_->RowCount());
}

void Recordset::MoveFirst() {
  RequireOpen();
  row_ = 0;
}

void Recordset::MoveNext() {
  RequireOpen();
  if (row_ >= static_cast<long>(rows_->RowCount())) {
    throw _com_error(kNoCurrentRecord, "MoveNext past the end of the recordset");
  }
  ++row_;
}

void Recordset::Move(long rows) {
  RequireOpen();
  const long count = static_cast<long>(rows_->RowCount());
  // Computed in long long so that a huge n cannot wrap around.
  const long long target = static_cast<long long>(row_) + rows;
  if (target < 0 || target > count) {
    throw _com_error(kNoCurrentRecord, "Move outside the recordset");
  }
  row_ = static_cast<long>(target);
}

size_t Recordset::ColumnIndex(const char* name) const {
  const std::vector<std::string>& columns = rows_->columns;
  if (name != nullptr) {
    // The same bytes find the same column as last time.
    for (const auto& [asked, column] : asked_) {
      const char* a = asked.c_str();
      const char* b = name;
      while (*a != 0 && *a == *b) ++a, ++b;
      if (*a == *b) return column;
    }
    for (size_t i = 0; i < columns.size(); ++i) {
      if (!SameName(columns[i].c_str(), name)) continue;
      constexpr size_t kAskedNames = 8;
      if (asked_.size() < kAskedNames) asked_.emplace_back(name, i);
      return i;
    }
  }
  CString text;
  text.Format("Item cannot be found in the collection: %s", name ? name : "");
  throw _com_error(kItemNotFound, text);
}

_variant_t Recordset::GetCollect(const char* name) const {
  RequireOpen();
  const size_t column = ColumnIndex(name);
  if (row_ < 0 || row_ >= static_cast<long>(rows_->RowCount())) {
    throw _com_error(kNoCurrentRecord, "either BOF or EOF is true");
  }
  const size_t row = static_cast<size_t>(row_);
  std::string_view text;
  if (!rows_->Cell(row, column, &text)) return _variant_t();
  return _variant_t(CString(text.data(), static_cast<int>(text.size())));
}

std::vector<CString> Recordset::ColumnNames() const {
  std::vector<CString> names;
  if (!open_) return names;
  Fetch();
  for (const auto& c : rows_->columns) names.emplace_back(c);
  return names;
}

void Recordset::Attach(std::unique_ptr<kestal::db::ResultTable> rows) {
  if (!rows) rows = std::make_unique<kestal::db::ResultTable>();
  // Engines deliver UTF-8; convert once here so every read is a plain copy.
  for (auto& c : rows->columns) {
    if (!kestal::IsAscii(c)) c = kestal::FromUtf8(c);
  }
  rows->ConvertText([](const std::string& text) { return kestal::FromUtf8(text); });
  rows_ = std::move(rows);
  asked_.clear();
  row_ = 0;
  open_ = true;
  deferred_connection_.Release();
  deferred_sql_ = CString();
}
