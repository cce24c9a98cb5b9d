#include "tools/Bridge.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dbf/DBFOperate.h"
#include "sql/SQLOperate.h"
#include "tools/BridgeClaim.h"
#include "tools/BridgeRecord.h"
#include "tools/BridgeReject.h"
#include "tools/BridgeSchema.h"
#include "tools/ColumnTypes.h"
#include "tools/DbfTable.h"
#include "tools/DbfWatch.h"
#include "tools/Metrics.h"
#include "tools/Options.h"
#include "tools/SqlTable.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

// Failed sends in a row at one position before the batch is cut to single
// records, and then before a single record counts as refused for good.
constexpr int kFailuresBeforeNarrowing = 3;
constexpr int kFailuresBeforeGivingUp = 5;
// Send's answer when the file could not be read: nothing was sent.
constexpr long kNotRead = -1;
// Send's answer when the first record holds a value its column cannot hold
// and a reject file takes such records: nothing was sent.
constexpr long kRefused = -2;
// Reconnection attempts handed to the library after a failed send.
constexpr int kReOpenCount = 1;

// Bytes one record can take in the order buffer as an INSERT statement:
// the statement head and table name, and per field its text with every
// quote doubled, the quotes and the separator, or a number.
long EntryBound(const CSQLOperate& sql) {
  long bytes = sql.m_strInsertSQL.GetLength() + sql.m_strTableName.GetLength() + 64;
  for (int i = 0; i < sql.m_nFieldCount; ++i) bytes += 2L * sql.m_FieldInfo[i].nWidth + 16;
  return bytes;
}

// Letters, digits, '_' and '-': the tag becomes part of a file name.
bool IsSafeTag(const std::string& tag) {
  if (tag.empty() || tag.size() > 32) return false;
  for (char c : tag) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
  }
  return true;
}

}  // namespace

struct Bridge::Tables {
  std::unique_ptr<CDBFOperate> dbf = std::make_unique<CDBFOperate>();
  std::unique_ptr<CSQLOperate> sql = std::make_unique<CSQLOperate>();
  std::unique_ptr<RecordMapper> mapper;
  std::unique_ptr<TableClaim> claim;  // held for as long as the bridge runs
  std::unique_ptr<RejectLog> reject;  // with --reject
  std::vector<char> images;           // the database images of the current batch
  std::unique_ptr<FileWatch> watch;   // the file at the path is still the one open
};

Bridge::Bridge(const BridgeConfig& config, BridgeNotice notice)
    : config_(config), notice_(std::move(notice)), t_(std::make_unique<Tables>()) {}

Bridge::~Bridge() {
  if (t_->sql) t_->sql->FreeOrderBuff();
}

void Bridge::Notice(const std::string& text) const {
  if (notice_) notice_(text);
}

void Bridge::OpenSides(bool inspect) {
  if (config_.mode < 0 || config_.mode > 2) {
    throw UsageError(BadOptionValue("mode", "0, 1 or 2", std::to_string(config_.mode)));
  }
  if (!IsSafeTag(config_.tag)) {
    throw UsageError(
        BadOptionValue("load-name", "1 to 32 letters, digits, '_' or '-'", config_.tag));
  }
  if (config_.skip_deleted && config_.mode == 1) {
    throw UsageError(
        "option '--deleted skip' wants --mode 0 or 2: in mode 1 the server numbers rec_num, and "
        "a skipped record would shift the number of every record after it");
  }
  const FieldMap map = ParseFieldMap(config_.maps, config_.ignores);
  t_->watch = std::make_unique<FileWatch>(config_.dbf_path, "copied");
  t_->watch->Arm();
  OpenTable(t_->dbf.get(), config_.dbf_path);
  t_->watch->Confirm();
  CheckMapAgainstFile(map, *t_->dbf);
  auto claim = [this] {
    t_->claim = std::make_unique<TableClaim>(config_.connect, config_.table,
                                             [this](const std::string& text) { Notice(text); });
  };
  ValueRules rules;
  rules.keep_padding = config_.keep_padding;
  if (config_.create_table) {
    // The claim comes before the table is created: of two bridges started
    // together, one creates it and the other is refused.
    claim();
    if (PrepareTable(inspect) && inspect) {
      // The table does not exist yet: the plan is the design's. Inspecting
      // holds the claim only to learn that no other bridge has it.
      t_->claim.reset();
      t_->mapper = std::make_unique<RecordMapper>(
          *t_->dbf, DesignTable(*t_->dbf, map, config_.table).columns, rules, map);
      return;
    }
  }
  OpenSqlTable(t_->sql.get(), config_.connect, config_.table);
  if (!t_->claim) claim();
  if (inspect) t_->claim.reset();
  const std::vector<ColumnType> columns = ReadColumnTypes(*t_->sql, config_.table);
  CheckMapAgainstTable(map, columns);
  t_->mapper = std::make_unique<RecordMapper>(*t_->dbf, columns, rules, map);
  ApplyWidths();
  const long fit = (CSQLOperate::kOrderBuffSize - 1) / EntryBound(*t_->sql);
  limit_ = static_cast<int>(std::max(1L, std::min<long>({config_.batch, fit, 500})));
  config_.batch = limit_;
}

bool Bridge::PrepareTable(bool inspect) {
  if (!config_.create_table || TableExists(config_.connect, config_.table)) return false;
  const TableDesign design =
      DesignTable(*t_->dbf, ParseFieldMap(config_.maps, config_.ignores), config_.table);
  create_statement_ = design.create_table + "; " + design.create_index;
  if (inspect) return true;
  CreateTable(config_.connect, design);
  Notice("created the table: " + create_statement_);
  return true;
}

void Bridge::Open() {
  OpenSides(false);
  for (const std::string& column : t_->mapper->unfilled()) {
    Notice("column " + column + " is left out of every insert; the database fills it");
  }

  if (config_.mode == 2) {
    // The library writes log/OrderTemp_<tag>.txt below the working directory
    // and lets the database read it back; the folder must exist. The library
    // keeps the file locked until the load is done, so bridges (and hosts)
    // sharing a tag take turns.
    const std::string dir = std::string(t_->sql->m_szCurrentDir) + "/log";
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
      throw ToolError("cannot make the bulk-load folder '" + dir + "': " + strerror(errno));
    }
  }
  if (!t_->sql->AllocOrderBuff()) throw ToolError("cannot allocate the order buffer");

  position_ = ReadResumePoint();
  if (position_ < 0) {  // one reconnection for a connection lost since Open
    t_->sql->ReOpenEx(kReOpenCount);
    position_ = ReadResumePoint();
  }
  if (position_ < 0) throw ToolError("cannot read the highest rec_num of the table");
  file_count_ = atol(t_->dbf->GetTotalRecord().c_str());
  if (position_ > file_count_) {
    throw ToolError("the table already holds rec_num " + std::to_string(position_) +
                    " but the file has only " + std::to_string(file_count_) +
                    " records: is this the table of another file?");
  }
  if (!config_.reject_path.empty()) {
    t_->reject = std::make_unique<RejectLog>(config_.reject_path, config_.table, true);
    SettleRejects();
  }
}

void Bridge::Inspect() {
  OpenSides(true);
  position_ = 0;
  if (create_statement_.empty()) {
    position_ = ReadResumePoint();
    if (position_ < 0) throw ToolError("cannot read the highest rec_num of the table");
  }
  file_count_ = atol(t_->dbf->GetTotalRecord().c_str());
  if (t_->dbf->m_nLastError != 0) {
    throw ToolError("cannot read the record count of the file: " +
                    t_->dbf->GetLastErrorMsg().str());
  }
  if (position_ > file_count_) {
    throw ToolError("the table already holds rec_num " + std::to_string(position_) +
                    " but the file has only " + std::to_string(file_count_) +
                    " records: is this the table of another file?");
  }
  // A reject file that does not exist yet is left uncreated.
  if (!config_.reject_path.empty() && access(config_.reject_path.c_str(), F_OK) == 0) {
    t_->reject = std::make_unique<RejectLog>(config_.reject_path, config_.table, false);
    SettleRejects();
  }
}

void Bridge::SettleRejects() {
  t_->reject->Settle(
      position_, [this](long at, std::string* image) { return ReadImage(at, image); },
      [this](const std::string& text) { Notice(text); });
  position_ = t_->reject->Past(position_);
}

const std::vector<FieldPlan>& Bridge::plan() const {
  return t_->mapper->plan();
}

const std::vector<std::string>& Bridge::unfilled() const {
  return t_->mapper->unfilled();
}

bool Bridge::ReadImage(long position, std::string* image) {
  CDBFOperate& dbf = *t_->dbf;
  if (position < 1 || !dbf.MoveTo(position - 2) || dbf.ReadToBufferFromFile(1) != 1) return false;
  image->assign(dbf.m_szRecordBuf,
                std::min<size_t>(dbf.m_nRecLen, static_cast<size_t>(CDBFOperate::kSlotSize)));
  return true;
}

void Bridge::Reject(long position, const std::string& reason) {
  std::string image;
  if (!ReadImage(position, &image)) {
    throw ToolError("cannot read record " + std::to_string(position) +
                    " of the file for the reject file; it is refused: " + reason);
  }
  t_->reject->Append(position, image, reason);
  Notice("record " + std::to_string(position) + " is set aside in the reject file '" +
         config_.reject_path + "': " + reason);
  position_ = position;
  ++rejected_;
  failures_ = 0;
  if (limit_ < config_.batch && position_ >= narrow_until_) limit_ = config_.batch;
}

long Bridge::ReadResumePoint() {
  const long next = atol(t_->sql->GetMaxNum().c_str());
  return next > 0 ? next - 1 : -1;
}

bool Bridge::ReadFileCount() {
  CDBFOperate& dbf = *t_->dbf;
  const long count = atol(dbf.GetTotalRecord().c_str());
  if (dbf.m_nLastError != 0) {
    Notice("cannot read the record count of the file: " + dbf.GetLastErrorMsg().str());
    return false;
  }
  file_count_ = count;
  if (stats_ != nullptr) stats_->Saw(position_, file_count_);
  return true;
}

long Bridge::Step() {
  // The count is read first, also while the database is lost: the lag it
  // gives is what an operator watches during an outage.
  if (!ReadFileCount()) return 0;
  // A file replaced or cut at its path stops the bridge before any of it is
  // read as if it continued the records already copied.
  t_->watch->Check(*t_->dbf, file_count_, position_);
  if (!reachable_ && !Recover()) return 0;
  if (!KeepClaim()) return 0;
  if (file_count_ < position_) {
    throw ToolError("the file has " + std::to_string(file_count_) +
                    " records, fewer than the table's " + std::to_string(position_) +
                    ": it was replaced or cut");
  }
  long n = std::min<long>(limit_, file_count_ - position_);
  if (t_->reject) {
    // A batch ends before a record set aside earlier (a restart after a
    // rejection) and goes on after it.
    position_ = t_->reject->Past(position_);
    n = std::min<long>(limit_, file_count_ - position_);
    const long next = t_->reject->NextAfter(position_);
    if (next > 0) n = std::min(n, next - position_ - 1);
  }
  if (n <= 0) return 0;

  const long at = position_;
  const long sent = Send(n);
  if (sent == kNotRead) return 0;  // the file is read again at the next step
  if (sent == kRefused) {
    Reject(at + 1, refused_);
    return 0;
  }
  if (sent > 0) {
    if (!busy_.empty()) Notice("the database takes writes again");
    busy_.clear();
    position_ += sent;
    copied_ += sent - last_skipped_;
    skipped_ += last_skipped_;
    failures_ = 0;
    if (stats_ != nullptr) {
      stats_->copied += static_cast<uint64_t>(sent - last_skipped_);
      ++stats_->batches;
      stats_->last_batch_ms = WallMs();
      stats_->progress_mono_ms = MonoMs();
      stats_->Saw(position_, file_count_);
    }
    if (limit_ < config_.batch && position_ >= narrow_until_) limit_ = config_.batch;
    return sent;
  }
  // The engine's reason, read before anything else runs on the connection.
  const _com_error why = LastFailure();
  if (stats_ != nullptr) ++stats_->resends;
  if (!Recover()) return 0;
  if (position_ != at) {  // the batch had committed after all
    failures_ = 0;
    return 0;
  }
  switch (why.Kind()) {
    case db::FailureKind::kBusy:
      // Another connection holds the database: wait as long as it does.
      if (busy_.empty()) Notice("the database is busy: " + Reason(why) + "; waiting");
      busy_ = Reason(why);
      failures_ = 0;
      return 0;
    case db::FailureKind::kLink:
      if (stats_ != nullptr) ++stats_->reconnections;
      failures_ = 0;  // reconnected already; the batch goes again
      return 0;
    case db::FailureKind::kResource:
    case db::FailureKind::kStatement:
      // No record can mend these: the batch is not cut down to find one.
      if (++failures_ < kFailuresBeforeGivingUp) return 0;
      throw ToolError("the database refuses every write, whatever the record: " + Reason(why));
    case db::FailureKind::kValue:
    case db::FailureKind::kUnknown:
      break;
  }
  if (++failures_ < (limit_ > 1 ? kFailuresBeforeNarrowing : kFailuresBeforeGivingUp)) return 0;
  failures_ = 0;
  if (limit_ > 1) {
    Notice("the batch after record " + std::to_string(at) +
           " keeps failing while the database is reachable; sending its records one by one");
    narrow_until_ = at + n;
    limit_ = 1;
    return 0;
  }
  // Only a refusal of the values is a record's fault; anything the engine
  // did not classify still stops the bridge.
  if (t_->reject && why.Kind() == db::FailureKind::kValue) {
    Reject(at + 1, "refused by the database: " + Reason(why));
    return 0;
  }
  throw ToolError("record " + std::to_string(at + 1) +
                  " is refused by the database again and again while it is reachable" +
                  (why.Error() != 0 ? ": " + Reason(why) : std::string()) +
                  "; check its values against the columns (kestal dbf cat FILE --from " +
                  std::to_string(at + 1) + " --limit 1)");
}

long Bridge::Send(long n) {
  CDBFOperate& dbf = *t_->dbf;
  CSQLOperate& sql = *t_->sql;
  // Read the block from the file: records position_+1 .. position_+n.
  if (!dbf.MoveTo(position_ - 1)) return kNotRead;
  int got = dbf.ReadToBufferFromFile(static_cast<int>(n));
  if (got <= 0) {
    // Records missing below the header's count stop the bridge once those
    // the file holds are copied: only records that exist are ever copied.
    StopIfFileIsShort(dbf, config_.dbf_path);
    Notice("cannot read records after " + std::to_string(position_) + " from the file" +
           (dbf.m_nLastError != 0 ? ": " + dbf.GetLastErrorMsg().str() : ""));
    return kNotRead;
  }
  const int length = t_->mapper->length();
  t_->images.assign(static_cast<size_t>(got) * length, ' ');
  long kept = 0;              // images built: the records of the block not skipped
  std::vector<long> numbers;  // the record number of each image
  for (int k = 0; k < got; ++k) {
    const char* record = dbf.m_szRecordBuf + static_cast<size_t>(k) * CDBFOperate::kSlotSize;
    // A skipped record keeps its position: its rec_num is a hole, and the
    // resume point (the highest rec_num) never counts it as copied.
    if (config_.skip_deleted && IsDeleted(record)) continue;
    try {
      t_->mapper->Build(record, position_ + 1 + k, &t_->images[static_cast<size_t>(kept) * length]);
    } catch (const ValueRefused& e) {
      if (k == 0 && t_->reject) {
        refused_ = e.what();
        return kRefused;
      }
      if (k == 0) throw;
      got = k;
      break;
    } catch (const ToolError&) {
      if (k == 0) throw;
      got = k;  // the records before it go first; the next step stops at it
      break;
    }
    ++kept;
    numbers.push_back(position_ + 1 + k);
  }
  last_skipped_ = got - kept;
  // A block of deleted records only: nothing to send, the position moves on.
  // A restart (or a recovery) reads the resume point below them and looks at
  // them again, which skips them again.
  if (kept == 0) return got;

  int mode = config_.mode;
  if (mode == 1 && t_->reject && t_->reject->Holds(position_)) {
    // The server numbers a mode-1 record max(rec_num)+1, which would close
    // the hole a rejected record leaves: the batch after a hole carries its
    // positions itself, as plain statements in one transaction.
    mode = 0;
  }
  long count = Fill(t_->images, kept, mode);
  if (count < kept && mode == 2) {
    // A bulk-load line cannot carry a comma or a line break in a value; this
    // batch goes as plain statements instead, in one transaction.
    if (!told_comma_) {
      Notice("record " + std::to_string(numbers[static_cast<size_t>(count)]) +
             " holds a comma or line break, which a bulk-load line cannot carry; such batches "
             "are sent as insert statements");
      told_comma_ = true;
    }
    mode = 0;
    count = Fill(t_->images, kept, mode);
  }
  if (count == 0) {
    throw ToolError("record " + std::to_string(numbers[0]) + " does not fit the order buffer");
  }
  if (count < kept) return 0;  // cannot happen: the batch size leaves room

  if (sql.m_pConnection.get() != nullptr) sql.m_pConnection.get()->ClearErrors();
  try {
    if (mode != 2) sql.BeginTrans();
    if (!sql.ExecBatchInsert(kReOpenCount, mode, CString(config_.tag))) return 0;
    if (mode != 2) sql.CommitTrans();
  } catch (const _com_error& e) {
    // The first failure is the reason; what reopening meets comes after it.
    if (sql.m_pConnection.get() != nullptr) sql.m_pConnection.get()->NoteError(e);
    // Reopening ends the connection and with it an open transaction.
    sql.BuffInit();
    sql.ReOpenEx(kReOpenCount);
    return 0;
  }
  sql.m_strTrace.Empty();
  return got;
}

bool Bridge::KeepClaim() {
  // The claim lives on a connection of its own, which a database outage ends
  // too; it is looked at every few seconds, not per batch.
  const auto now = std::chrono::steady_clock::now();
  if (now - claim_checked_ < std::chrono::seconds(2)) return true;
  claim_checked_ = now;
  if (t_->claim->Keep()) return true;
  // Nothing is copied without the claim: it is looked at again next step.
  claim_checked_ = std::chrono::steady_clock::time_point();
  if (reachable_) Notice("the database cannot be reached; retrying");
  reachable_ = false;
  return false;
}

void Bridge::ApplyWidths() {
  const std::vector<int> widths = t_->mapper->widths();
  CSQLOperate& sql = *t_->sql;
  for (size_t i = 0; i < widths.size() && i < static_cast<size_t>(sql.m_nFieldCount); ++i) {
    sql.m_FieldInfo[i].nWidth = widths[i];
  }
}

long Bridge::Fill(const std::vector<char>& images, long n, int mode) {
  CSQLOperate& sql = *t_->sql;
  // A reconnection opens the table again, which rebuilds the field table
  // with the catalog's widths: the images' layout is set again each time.
  ApplyWidths();
  // A sent or failed batch leaves the buffer cleared already; clearing its
  // whole block again would cost as much as filling it.
  if (sql.m_lOrderBuffLen != 0) sql.BuffInit();
  const int length = t_->mapper->length();
  long k = 0;
  for (; k < n; ++k) {
    char* image = const_cast<char*>(&images[static_cast<size_t>(k) * length]);
    if (!sql.AddInsertRecordToBuff(image, mode, 0)) break;
  }
  return k;
}

_com_error Bridge::LastFailure() const {
  const Connection* connection = t_->sql->m_pConnection.get();
  return connection != nullptr ? connection->LastError() : _com_error(0);
}

std::string Bridge::Reason(const _com_error& e) {
  if (e.Error() == 0) return "no reason given";
  return DescribeComError(e);
}

bool Bridge::Recover() {
  CSQLOperate& sql = *t_->sql;
  long resume = ReadResumePoint();
  if (resume < 0) {
    sql.ReOpenEx(kReOpenCount);
    resume = ReadResumePoint();
  }
  sql.m_strTrace.Empty();
  if (resume < 0) {
    if (reachable_) {
      const _com_error why = LastFailure();
      Notice("the database cannot be reached" +
             (why.Error() != 0 ? ": " + Reason(why) : std::string()) + "; retrying");
    }
    reachable_ = false;
    return false;
  }
  if (!reachable_) {
    Notice("reconnected to the database");
    if (stats_ != nullptr) ++stats_->reconnections;
  }
  reachable_ = true;
  if (t_->reject) resume = t_->reject->Past(resume);
  if (resume != position_) {
    Notice("the table holds records up to " + std::to_string(resume) + "; going on from there");
  }
  position_ = resume;
  return true;
}

}  // namespace kestal::tool
