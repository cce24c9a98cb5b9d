// "kestal dbf info FILE": the header as the library reads it, the bytes it
// does not read (version, date, language driver), the records marked
// deleted, and the field table. A file of another dBASE-family version that
// the library would misread is still described from its own header, then
// refused with what cannot be read (exit status 1), never with a field error
// that follows from reading its header the dBASE III way.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dbf/DBFOperate.h"
#include "tools/Commands.h"
#include "tools/DbfCodepage.h"
#include "tools/DbfHeader.h"
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
    "records marked deleted, header and record lengths, the code page its\n"
    "language-driver byte names and the one its text is read in) and its field\n"
    "table (name, type, length, decimals, offset in the record image). A file of a\n"
    "dBASE-family version the tool cannot read is described, then refused with\n"
    "what it cannot read (status 1).\n";

// "0x4D (GBK)", "0x00 (none)", "0x99 (unknown)".
std::string DriverText(unsigned char driver) {
  char byte[8];
  snprintf(byte, sizeof byte, "0x%02X", driver);
  const std::string named = CodepageOfDriver(driver);
  return std::string(byte) + " (" +
         (driver == 0     ? "none"
          : named.empty() ? "unknown"
                          : named) +
         ")";
}

// The lines every file gets, from its own header.
void PrintHeader(const std::string& path, const DbfHeader& h, const CodepageChoice& cp) {
  printf("File:           %s\n", path.c_str());
  printf("Version:        0x%02X (%s)\n", h.version, VersionName(h.version).c_str());
  printf("Last update:    %04d-%02d-%02d\n", 1900 + h.year, h.month, h.day);
  printf("Code page:      %s; text read as %s (%s)\n", DriverText(h.language_driver).c_str(),
         cp.codeset.c_str(), cp.source.c_str());
}

// The descriptors as the file's own version lays them out, for a file the
// library cannot read.
void PrintRawFields(const DbfHeader& h) {
  printf("Records:        %u\n", static_cast<unsigned>(h.count));
  printf("Header length:  %u\n", static_cast<unsigned>(h.header_length));
  printf("Record length:  %u\n", static_cast<unsigned>(h.record_length));
  printf("Fields:         %zu\n", h.fields.size());
  printf("\n  #  %-10s  %-4s  %6s  %3s\n", "NAME", "TYPE", "LENGTH", "DEC");
  for (size_t i = 0; i < h.fields.size(); ++i) {
    const RawField& f = h.fields[i];
    const char type = f.type >= 0x20 && f.type < 0x7F ? f.type : '?';
    printf("%3zu  %-10s  %-4c  %6u  %3u\n", i + 1, f.name.c_str(), type, f.length, f.decimals);
  }
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
  DbfHeader head;
  std::string why;
  // Chosen before the open, which passes the choice on through the
  // environment.
  CodepageChoice cp;
  if (ReadDbfHeader(path, &head, &why)) {
    cp = ChooseCodepage(head.language_driver);
    const std::string unreadable = UnreadableLayout(head);
    if (!unreadable.empty()) {
      PrintHeader(path, head, cp);
      PrintRawFields(head);
      fflush(stdout);
      throw ToolError(UnreadableMessage(path, head, unreadable));
    }
  }
  auto table = std::make_unique<CDBFOperate>();
  OpenTable(table.get(), path);
  const long count = atol(table->GetTotalRecord().c_str());
  // Read again after the open: the count and size agree with the table's.
  if (!ReadDbfHeader(path, &head, &why)) throw ToolError(why);

  if (cp.codeset.empty()) cp = ChooseCodepage(head.language_driver);
  PrintHeader(path, head, cp);
  printf("Records:        %ld\n", count);
  const long deleted = CountDeleted(path, head);
  if (deleted >= 0) printf("Deleted:        %ld (marked '*')\n", deleted);
  printf("Header length:  %u\n", static_cast<unsigned>(table->m_nHeadLen));
  printf("Record length:  %u\n", static_cast<unsigned>(table->m_nRecLen));
  printf("Fields:         %u\n", static_cast<unsigned>(table->m_nFieldCount));
  const std::string unread = UnreadParts(head);
  if (!unread.empty()) printf("Not read:       %s\n", unread.c_str());
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
