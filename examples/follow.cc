// follow: a small host of the Kestal library. It follows a table file and a
// database table that other programs append to, and prints each new record
// of either as it arrives, in UTF-8 (the tables hold GBK text), until it has
// printed COUNT records of each (or forever without COUNT).
//
//   follow FILE.DBF CONN TABLE [COUNT]
//
// The table file is read in blocks of up to 500 records after the current
// one; the database table is read in windows of rec_num keys that the
// library checks for gaps before it delivers them.
#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "dbf/DBFOperate.h"
#include "sql/SQLOperate.h"

namespace {

// GBK text (the tables' code page) as UTF-8 for the terminal; bytes that are
// not GBK become '?'.
std::string Utf8(const std::string& gbk) {
  static iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
  std::string out;
  char buf[256];
  char* in = const_cast<char*>(gbk.data());
  size_t left = gbk.size();
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  while (left > 0) {
    char* to = buf;
    size_t room = sizeof buf;
    const size_t r = iconv(cd, &in, &left, &to, &room);
    out.append(buf, static_cast<size_t>(to - buf));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      out += '?';  // skip the byte that cannot be converted
      ++in;
      --left;
    }
  }
  return out;
}

// Prints at most limit records the file gained since the last call; returns
// how many.
long PollFile(CDBFOperate& dbf, long limit) {
  const int n = dbf.ReadToBufferFromFile(CDBFOperate::kSlotCount);
  long printed = 0;
  for (int slot = 0; slot < n && printed < limit; ++slot, ++printed) {
    dbf.MoveNext();
    std::string line = "file  " + dbf.GetCurrentPos().str() + ":";
    for (int f = 0; f < dbf.m_nFieldCount && f < CDBFOperate::kMaxFields; ++f) {
      line += " " + Utf8(dbf.GetFieldValue(slot, CString(dbf.m_Fields[f].szName)).str());
    }
    printf("%s\n", line.c_str());
  }
  return printed;
}

// Prints at most limit rows of the next contiguous window after *key;
// returns how many.
long PollTable(CSQLOperate& sql, std::string* key, long limit) {
  const int n = sql.GetRecordsetForBack("", CString(*key), 100, "CJK");
  if (n <= 0) return 0;  // nothing new, a gap still open, or reconnected
  long rows = 0;
  while (rows < limit && sql.SeekToCurrentPos()) {
    *key = sql.GetFieldValue("rec_num").str();
    std::string line = "table " + *key + ":";
    for (int f = 0; f < sql.m_nFieldCount; ++f) {
      line += " " + Utf8(sql.GetFieldValue(sql.m_FieldInfo[f].strName).str());
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
  // COUNT: the number of records to print from each source, then stop.
  const long count = argc == 5 ? atol(argv[4]) : -1;
  if (argc == 5 && count <= 0) {
    fprintf(stderr, "%s: COUNT wants a whole number above 0, not '%s'\n", argv[0], argv[4]);
    return 2;
  }
  const long limit = count < 0 ? LONG_MAX : count;
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
  while (from_file < limit || from_table < limit) {
    const long file_rows = from_file < limit ? PollFile(*dbf, limit - from_file) : 0;
    const long table_rows = from_table < limit ? PollTable(*sql, &key, limit - from_table) : 0;
    from_file += file_rows;
    from_table += table_rows;
    const long got = file_rows + table_rows;
    fflush(stdout);
    if (got == 0) usleep(100 * 1000);
  }
  sql->Close();
  dbf->Close();
  return 0;
}
