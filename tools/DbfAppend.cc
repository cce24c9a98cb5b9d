// "kestal dbf append FILE [--numbered]": CSV records from stdin, appended in
// batches of up to 500 under the lock on the record count. Input is taken as
// a stream: a batch is written when it is full or when no more input is
// waiting, so records fed slowly through a pipe land as they come.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "dbf/DBFOperate.h"
#include "platform/Mbcs.h"
#include "tools/Commands.h"
#include "tools/Csv.h"
#include "tools/DbfTable.h"
#include "tools/Options.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

const char kUsage[] =
    "Usage: kestal dbf append FILE [--numbered]\n"
    "\n"
    "Reads CSV records (RFC 4180, in the terminal's encoding) from stdin, one value\n"
    "per field in field order, and appends them to the table file FILE in batches\n"
    "of up to 500 under the lock on the record count. A first line that repeats\n"
    "the field names (as 'kestal dbf cat' prints it) is skipped.\n"
    "Numbers are written right-aligned with the field's decimals ('12.5' in an\n"
    "N:10:3 field is '12.500'); a number with more decimals than the field keeps\n"
    "is refused, not rounded. On success the count appended goes to stdout.\n"
    "  --numbered  number the records in a first field named REC_NUM, under the\n"
    "              lock (formerly --tag WTK); a record with a REC_NUM value of its\n"
    "              own is refused: leave that value empty\n"
    "Every value is checked before its batch is written. At a bad record the\n"
    "records before it are appended, and the command stops with status 1.\n";

constexpr int kBatch = CDBFOperate::kSlotCount;

// "1 record", "2 records".
std::string Records(long n) {
  return std::to_string(n) + (n == 1 ? " record" : " records");
}

class Appender {
 public:
  Appender(CDBFOperate& table, const std::string& tag)
      : table_(table),
        tag_(tag),
        numbered_(_mbsicmp(tag.c_str(), "WTK") == 0 && !FieldNames(table).empty() &&
                  _mbsicmp(FieldNames(table)[0].c_str(), "REC_NUM") == 0),
        names_(FieldNames(table)),
        batch_(static_cast<size_t>(kBatch) * table.m_nRecLen) {}

  // Reads stdin to its end. Throws ToolError at the first bad record, after
  // appending the records before it.
  void Run() {
    std::string error;
    try {
      Pump();
    } catch (const ToolError& e) {
      error = e.what();
    }
    Flush();
    if (!error.empty()) {
      throw ToolError(error + " (" + Records(appended_) + " appended before it)");
    }
    printf("%s appended\n", Records(appended_).c_str());
    if (fflush(stdout) != 0) throw ToolError("cannot write the output");
  }

 private:
  // Feeds stdin to the reader, writing a pending batch whenever input pauses.
  void Pump() {
    char buf[65536];
    for (;;) {
      if (pending_ > 0 && !InputWaiting()) Flush();
      const ssize_t r = read(STDIN_FILENO, buf, sizeof buf);
      if (r < 0) {
        if (errno == EINTR) continue;
        throw ToolError(std::string("cannot read stdin: ") + strerror(errno));
      }
      if (r == 0) {
        Parse([&] { reader_.Finish(); });
        return;
      }
      Parse([&] { reader_.Feed(buf, static_cast<size_t>(r)); });
    }
  }

  // Runs a reader step, then takes the records it completed. The records
  // completed before a syntax error are still good and are taken first.
  template <typename Step>
  void Parse(Step step) {
    try {
      step();
    } catch (const ToolError&) {
      TakeRecords();
      throw;
    }
    TakeRecords();
  }

  // Encodes the completed records into the batch; a full batch is written.
  void TakeRecords() {
    CsvRecord rec;
    while (reader_.Next(&rec)) {
      if (first_) {
        first_ = false;
        if (IsHeader(rec.fields)) continue;
      }
      if (numbered_ && !rec.fields.empty() &&
          rec.fields[0].find_first_not_of(' ') != std::string::npos) {
        throw ToolError("CSV input line " + std::to_string(rec.line) + ": field " + names_[0] +
                        ": '" + rec.fields[0] +
                        "' given, but --numbered numbers the records itself; leave it empty");
      }
      EncodeRecord(table_, rec.fields, rec.line,
                   &batch_[static_cast<size_t>(pending_) * table_.m_nRecLen]);
      if (++pending_ == kBatch) Flush();
    }
  }

  // True when fields repeat the table's field names (case-insensitive).
  bool IsHeader(const std::vector<std::string>& fields) const {
    if (fields.size() != names_.size()) return false;
    for (size_t i = 0; i < fields.size(); ++i) {
      if (_mbsicmp(fields[i].c_str(), names_[i].c_str()) != 0) return false;
    }
    return true;
  }

  // True when stdin has input (or its end) ready to read at once.
  static bool InputWaiting() {
    struct pollfd p {};
    p.fd = STDIN_FILENO;
    p.events = POLLIN;
    return poll(&p, 1, 0) > 0;
  }

  // Appends the pending records under the lock; throws ToolError on failure.
  void Flush() {
    if (pending_ == 0) return;
    if (!table_.AddNewRecord(batch_.data(), pending_, CString(tag_))) {
      const std::string why = table_.GetLastErrorMsg().str();
      throw ToolError("appending " + Records(pending_) + " failed: " +
                      (why.empty() ? "the lock on the record count was not obtained or the "
                                     "file could not be written"
                                   : why) +
                      " (" + Records(appended_) + " appended before)");
    }
    appended_ += pending_;
    pending_ = 0;
  }

  CDBFOperate& table_;
  const std::string tag_;
  const bool numbered_;  // the library numbers REC_NUM (tag WTK, first field REC_NUM)
  const std::vector<std::string> names_;
  std::vector<char> batch_;
  CsvReader reader_;
  long pending_ = 0;
  long appended_ = 0;
  bool first_ = true;
};

}  // namespace

int RunDbfAppend(const Args& args) {
  Options opts(args, {{"numbered", false}, {"tag", true}});
  if (opts.help()) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  opts.ExpectPositional(1, "FILE");
  // The old spelling: the tag went to the library as it was given.
  std::string tag = opts.Has("numbered") ? "WTK" : "";
  if (opts.Has("tag")) {
    fprintf(stderr,
            "kestal dbf append: '--tag' is now '--numbered' (for --tag WTK); the old spelling "
            "goes in the next release\n");
    if (!opts.Has("numbered")) tag = opts.Get("tag");
  }
  auto table = std::make_unique<CDBFOperate>();
  OpenTableForAppend(table.get(), opts.positional()[0]);
  Appender(*table, tag).Run();
  return kExitOk;
}

}  // namespace kestal::tool
