// "kestal dbf info FILE": the header as the library reads it, the bytes it
// does not read (version, date), and the field table.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dbf/DBFOperate.h"
#include "tools/Commands.h"
#include "tools/DbfTable.h"
#include "tools/Options.h"
#include "tools/TerminalText.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

const char kUsage[] =
    "Usage: kestal dbf info FILE\n"
    "\n"
    "Shows the header of the table file FILE (version, last update, record count,\n"
    "header and record lengths) and its field table (name, type, length,\n"
    "decimals, offset in the record image).\n";

// The first four header bytes (version and date), read straight from the
// file: the library has no use for them.
void ReadVersionAndDate(const std::string& path, unsigned char out[4]) {
  std::memset(out, 0, 4);
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return;
  if (fread(out, 1, 4, f) != 4) std::memset(out, 0, 4);
  fclose(f);
}

}  // namespace

int RunDbfInfo(const Args& args) {
  Options opts(args, {});
  if (opts.help()) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  opts.ExpectPositional(1, "FILE");
  const std::string& path = opts.positional()[0];
  auto table = std::make_unique<CDBFOperate>();
  OpenTable(table.get(), path);
  const long count = atol(table->GetTotalRecord().c_str());
  unsigned char head[4];
  ReadVersionAndDate(path, head);

  printf("File:           %s\n", path.c_str());
  printf("Version:        0x%02X\n", head[0]);
  printf("Last update:    %04d-%02d-%02d\n", 1900 + head[1], head[2], head[3]);
  printf("Records:        %ld\n", count);
  printf("Header length:  %u\n", static_cast<unsigned>(table->m_nHeadLen));
  printf("Record length:  %u\n", static_cast<unsigned>(table->m_nRecLen));
  printf("Fields:         %u\n", static_cast<unsigned>(table->m_nFieldCount));
  struct stat st {};
  const long long expected =
      static_cast<long long>(table->m_nHeadLen) + static_cast<long long>(count) * table->m_nRecLen;
  if (stat(path.c_str(), &st) == 0 && st.st_size < expected) {
    printf("Warning:        the file is %lld bytes, its records need %lld\n",
           static_cast<long long>(st.st_size), expected);
  }
  printf("\n  #  %-10s  %-4s  %6s  %3s  %6s\n", "NAME", "TYPE", "LENGTH", "DEC", "OFFSET");
  const std::vector<std::string> names = FieldNames(*table);
  for (size_t i = 0; i < names.size(); ++i) {
    const DBFFIELD& f = table->m_Fields[i];
    const char type = f.cType >= 0x20 && f.cType < 0x7F ? f.cType : '?';
    printf("%3zu  %-10s  %-4c  %6u  %3u  %6u\n", i + 1, ToTerminal(names[i]).c_str(), type,
           static_cast<unsigned>(f.nLength), static_cast<unsigned>(f.nDecimal),
           static_cast<unsigned>(f.nOffset));
  }
  if (fflush(stdout) != 0) throw ToolError("cannot write the output");
  return kExitOk;
}

}  // namespace kestal::tool
