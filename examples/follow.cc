// follow: a small host of the Kestal library. It follows a table file and a
// database table that other programs append to, and prints each new record
// of either as it arrives, until both have delivered COUNT records (or
// forever without COUNT).
//
//   follow FILE.DBF CONN TABLE [COUNT]
//
// The table file is read in blocks of up to 500 records after the current
// one; the database table is read in windows of rec_num keys that the
// library checks for gaps before it delivers them.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "dbf/DBFOperate.h"
#include "sql/SQLOperate.h"

namespace {

// Prints the records the file gained since the last call; returns how many.
long PollFile(CDBFOperate& dbf) {
  const int n = dbf.ReadToBufferFromFile(CDBFOperate::kSlotCount);
  for (int slot = 0; slot < n; ++slot) {
    dbf.MoveNext();
    std::string line = "file  " + dbf.GetCurrentPos().str() + ":";
    for (int f = 0; f < dbf.m_nFieldCount && f < CDBFOperate::kMaxFields; ++f) {
      line += " " + dbf.GetFieldValue(slot, CString(dbf.m_Fields[f].szName)).str();
    }
    printf("%s\n", line.c_str());
  }
  return n > 0 ? n : 0;
}

// Prints the rows of the next contiguous window after *key; returns how many.
long PollTable(CSQLOperate& sql, std::string* key) {
  const int n = sql.GetRecordsetForBack("", CString(*key), 100, "CJK");
  if (n <= 0) return 0;  // nothing new, a gap still open, or reconnected
  long rows = 0;
  while (sql.SeekToCurrentPos()) {
    *key = sql.GetFieldValue("rec_num").str();
    std::string line = "table " + *key + ":";
    for (int f = 0; f < sql.m_nFieldCount; ++f) {
      line += " " + sql.GetFieldValue(sql.m_FieldInfo[f].strName).str();
    }
    printf("%s\n", line.c_str());
    sql.MoveNextEx();
    ++rows;
  }
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    fprintf(stderr, "usage: %s FILE.DBF CONN TABLE [COUNT]\n", argv[0]);
    return 2;
  }
  const long count = argc == 5 ? atol(argv[4]) : -1;
  auto dbf = std::make_unique<CDBFOperate>();  // each object holds a 256 KB buffer
  auto sql = std::make_unique<CSQLOperate>();
  if (!dbf->Open(argv[1])) {
    fprintf(stderr, "cannot open %s: %s\n", argv[1], dbf->GetLastErrorMsg().c_str());
    return 1;
  }
  if (!sql->Open(argv[2], argv[3])) {
    fprintf(stderr, "cannot open table %s\n", argv[3]);
    return 1;
  }
  std::string key = "0";
  long from_file = 0;
  long from_table = 0;
  while (count < 0 || from_file < count || from_table < count) {
    const long got = PollFile(*dbf) + PollTable(*sql, &key);
    from_file = atol(dbf->GetCurrentPos().c_str());
    from_table = atol(key.c_str());
    fflush(stdout);
    if (got == 0) usleep(100 * 1000);
  }
  sql->Close();
  dbf->Close();
  return 0;
}
