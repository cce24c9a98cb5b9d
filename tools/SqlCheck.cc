// "kestal sql check CONN [--table NAME]": proves the library against a
// database end to end, the way a site proves it against its own server
// before trusting it. On a scratch table (dropped at the end, also after a
// failure) it runs the schema mapping, a numbered insert, a statement batch
// and a bulk load, a window follow across a gap and across the gap closing,
// an identity reseed and a reconnection, and prints one line per step with
// its result and time. Exit status 0 only when every step passes.
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sql/SQLOperate.h"
#include "tools/Commands.h"
#include "tools/Options.h"
#include "tools/SqlTable.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

const char kUsage[] =
    "Usage: kestal sql check CONN [--table NAME]\n"
    "\n"
    "Creates the scratch table NAME (default kestal_check_<pid>) and NAME_id on the\n"
    "database named by CONN, runs the library's operations on them (schema mapping,\n"
    "numbered insert, statement batch and bulk load, window follow across a gap,\n"
    "identity reseed, reconnection), prints one line per step with its result and\n"
    "time, and drops both tables. The bulk load writes log/OrderTemp_<tag>.txt below\n"
    "the current folder, as the library does. Exit status 0 only when every step\n"
    "passes.\n";

// A step failed: the reason is printed on its line.
struct StepFailed {
  std::string reason;
};

void Require(bool ok, const std::string& reason) {
  if (!ok) throw StepFailed{reason};
}

// A record image of the scratch table: rec_num (8, blank when the server
// numbers it), stock (6), bs (1).
std::string Image(long rec_num, const char* stock, char bs) {
  char key[16];
  snprintf(key, sizeof key, "%8s", rec_num > 0 ? std::to_string(rec_num).c_str() : "");
  return std::string(key, 8) + (std::string(stock) + "      ").substr(0, 6) + bs;
}

// The keys of the window GetRecordsetForBack opened, in order.
std::vector<long> WindowKeys(CSQLOperate* sql) {
  std::vector<long> keys;
  while (sql->SeekToCurrentPos() == 1) {
    keys.push_back(std::atol(sql->GetFieldValue(CString("rec_num")).c_str()));
    sql->MoveNextEx();
  }
  return keys;
}

std::string Keys(const std::vector<long>& keys) {
  std::string text;
  for (long k : keys) text += (text.empty() ? "" : ",") + std::to_string(k);
  return text;
}

// Runs statement through AddCJHBRecord; true when the answer is not a
// failure ("-" and the database's reason, kept in *reason).
bool Statement(CSQLOperate* sql, const std::string& statement, std::string* reason = nullptr) {
  const std::string answer = sql->AddCJHBRecord(CString(statement)).str();
  if (!answer.empty() && answer[0] == '-') {
    if (reason) *reason = answer;
    return false;
  }
  return true;
}

class Check {
 public:
  Check(std::string connect, std::string table)
      : connect_(std::move(connect)), table_(std::move(table)), ident_(table_ + "_id") {}

  // Runs every step; returns the number that failed.
  int Run() {
    Step("schema mapping", [this] { Schema(); });
    const bool open = opened_;
    Step("numbered insert", [this, open] {
      Require(open, "skipped: the table could not be opened");
      NumberedInsert();
    });
    Step("batch and bulk load", [this, open] {
      Require(open, "skipped: the table could not be opened");
      BatchAndBulk();
    });
    Step("window follow across a gap", [this, open] {
      Require(open, "skipped: the table could not be opened");
      FollowAcrossGap();
    });
    Step("identity reseed", [this] { Reseed(); });
    Step("reconnection", [this, open] {
      Require(open, "skipped: the table could not be opened");
      Reconnection();
    });
    Step("drop scratch tables", [this] { Drop(); });
    return failed_;
  }

 private:
  void Step(const char* name, const std::function<void()>& body) {
    const auto start = std::chrono::steady_clock::now();
    std::string result = "ok";
    try {
      body();
    } catch (const StepFailed& f) {
      result = "FAILED: " + f.reason;
    } catch (const _com_error& e) {
      result = "FAILED: " + DescribeComError(e);
    } catch (const ToolError& e) {
      result = std::string("FAILED: ") + e.what();
    }
    if (result != "ok") ++failed_;
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    printf("%-28s %-4s %6lld ms%s%s\n", name, result == "ok" ? "ok" : "FAIL", ms,
           result == "ok" ? "" : "  ", result == "ok" ? "" : result.c_str() + 8);
    fflush(stdout);
  }

  void Schema() {
    admin_.m_pConnection.CreateInstance();
    admin_.m_pConnection->PutConnectionTimeout(8);
    try {
      admin_.m_pConnection->Open(CString(connect_));
    } catch (const _com_error& e) {
      throw StepFailed{"cannot connect: " + DescribeComError(e)};
    }
    connected_ = true;
    std::string reason;
    Statement(&admin_, "drop table " + table_);
    Require(
        Statement(&admin_,
                  "create table " + table_ + " (rec_num int not null, stock char(6), bs char(1))",
                  &reason),
        "create table: " + reason);
    created_ = true;
    OpenSqlTable(&sql_, connect_, table_);
    opened_ = true;
    Require(sql_.m_nFieldCount == 3,
            "3 fields expected, the library maps " + std::to_string(sql_.m_nFieldCount));
    const struct {
      const char* name;
      int type;
      int width;
    } expected[] = {{"rec_num", 56, 8}, {"stock", 47, 6}, {"bs", 47, 1}};
    for (int i = 0; i < 3; ++i) {
      const FIELDINFO& f = sql_.m_FieldInfo[i];
      Require(strcasecmp(f.strName.c_str(), expected[i].name) == 0 && f.nType == expected[i].type &&
                  f.nWidth == expected[i].width,
              "field " + std::to_string(i + 1) + " is " + f.strName.str() + " type " +
                  std::to_string(f.nType) + " width " + std::to_string(f.nWidth) + ", expected " +
                  expected[i].name + " type " + std::to_string(expected[i].type) + " width " +
                  std::to_string(expected[i].width));
    }
  }

  void NumberedInsert() {
    for (int i = 0; i < 3; ++i) {
      std::string image = Image(0, "600000", 'B');
      Require(sql_.AddNewRecordBase(&image[0], 0, 1, 1, 0) == 1,
              "numbered insert " + std::to_string(i + 1) + " refused");
    }
    Require(sql_.GetRecordsetForBack("", "0", 100, "CJK") == 3, "3 rows expected");
    const std::string keys = Keys(WindowKeys(&sql_));
    Require(keys == "1,2,3", "keys " + keys + ", expected 1,2,3");
  }

  void BatchAndBulk() {
    Require(sql_.AllocOrderBuff() == 1, "no order buffer");
    for (long k : {4L, 5L}) {
      std::string image = Image(k, "600001", 'S');
      Require(sql_.AddInsertRecordToBuff(&image[0], 0, 0) == 1, "batch entry refused");
    }
    Require(sql_.ExecBatchInsert(1, 0, "") == 1, "statement batch refused");
    const std::string tag = "KCHK" + std::to_string(getpid());
    // The library writes the bulk-load file below log/ of the folder it was
    // opened in; a log/ made here goes again afterwards.
    const bool made_log = mkdir("log", 0755) == 0;
    for (long k : {6L, 7L}) {
      std::string image = Image(k, "600002", 'B');
      Require(sql_.AddInsertRecordToBuff(&image[0], 2, 0) == 1, "bulk-load line refused");
    }
    const int loaded = sql_.ExecBatchInsert(1, 2, CString(tag));
    unlink(("log/OrderTemp_" + tag + ".txt").c_str());
    if (made_log) rmdir("log");
    sql_.FreeOrderBuff();
    Require(loaded == 1, "bulk load refused");
    Require(sql_.GetRecordsetForBack("", "3", 100, "CJK") == 4, "4 rows expected after key 3");
    const std::string keys = Keys(WindowKeys(&sql_));
    Require(keys == "4,5,6,7", "keys " + keys + ", expected 4,5,6,7");
  }

  void FollowAcrossGap() {
    std::string reason;
    Require(Statement(&admin_, "insert into " + table_ + " values (9, '600003', 'S')", &reason),
            reason);
    const int held = sql_.GetRecordsetForBack("", "7", 100, "CJK");
    Require(held == CSQLOperate::kGapCode,
            "the gap at key 8 was not held back (" + std::to_string(held) + ")");
    Require(Statement(&admin_, "insert into " + table_ + " values (8, '600003', 'B')", &reason),
            reason);
    Require(sql_.GetRecordsetForBack("", "7", 100, "CJK") == 2,
            "2 rows expected once the gap closed");
    const std::string keys = Keys(WindowKeys(&sql_));
    Require(keys == "8,9", "keys " + keys + ", expected 8,9");
  }

  void Reseed() {
    Require(connected_, "skipped: no connection");
    Statement(&admin_, "drop table " + ident_);
    // The identity column as each server declares one: SQL Server, SQLite,
    // PostgreSQL (the first the database takes).
    std::string reason;
    bool made = false;
    for (const char* column : {"id int identity(1,1) primary key",
                               "id INTEGER PRIMARY KEY AUTOINCREMENT", "id serial primary key"}) {
      if (Statement(&admin_, "create table " + ident_ + " (" + column + ", v varchar(8))",
                    &reason)) {
        made = true;
        break;
      }
    }
    Require(made, "create table with an identity column: " + reason);
    ident_created_ = true;
    Require(Statement(&admin_, "insert into " + ident_ + " (v) values ('a')", &reason), reason);
    admin_.SetCurrentIdent(CString(ident_), 100);
    const std::string current = admin_.GetCurrentIdent(CString(ident_)).str();
    Require(current == "100", "IDENT_CURRENT gives " + current + " after reseeding to 100");
    Require(Statement(&admin_, "insert into " + ident_ + " (v) values ('b')", &reason), reason);
    _RecordsetPtr rs = admin_.m_pConnection->Execute(CString("select max(id) as m from " + ident_));
    const std::string next = rs->GetCollect("m").ToString().str();
    Require(next == "101", "the next identity is " + next + ", expected 101");
  }

  void Reconnection() {
    Require(sql_.ReOpen() == 1, "ReOpen failed");
    Require(sql_.IsOpenAlive() == 1, "the connection is not alive after ReOpen");
    Require(sql_.GetRecordsetForBack("", "9", 100, "CJK") == 0, "rows past key 9 after reopening");
    std::string image = Image(0, "600004", 'S');
    Require(sql_.AddNewRecordBase(&image[0], 0, 1, 1, 0) == 1, "insert after reopening refused");
    Require(sql_.GetRecordsetForBack("", "9", 100, "CJK") == 1,
            "the row after reopening is missing");
  }

  void Drop() {
    if (opened_) sql_.Close();
    std::string reason;
    if (created_) Require(Statement(&admin_, "drop table " + table_, &reason), reason);
    if (ident_created_) Require(Statement(&admin_, "drop table " + ident_, &reason), reason);
  }

  const std::string connect_;
  const std::string table_;
  const std::string ident_;
  CSQLOperate admin_;  // connection only: scratch tables and caller statements
  CSQLOperate sql_;    // the scratch table, as a host opens it
  bool connected_ = false;
  bool created_ = false;
  bool ident_created_ = false;
  bool opened_ = false;
  int failed_ = 0;
};

}  // namespace

int RunSqlCheck(const Args& args) {
  Options opts(args, {{"table", true}});
  if (opts.help()) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  opts.ExpectPositional(1, "CONN");
  std::string table = opts.Get("table", "kestal_check_" + std::to_string(getpid()));
  for (char c : table) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_') {
      throw ToolError("--table takes letters, digits and '_' only");
    }
  }
  Check check(opts.positional()[0], table);
  const int failed = check.Run();
  if (failed > 0) {
    fprintf(stderr, "kestal sql check: %d step(s) failed\n", failed);
    return kExitError;
  }
  return kExitOk;
}

}  // namespace kestal::tool
