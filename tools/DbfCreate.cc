// "kestal dbf create FILE --fields NAME:TYPE:LEN[,...]": writes the header of
// an empty table. An existing file is never overwritten.
#include <cstdio>

#include "tools/Commands.h"
#include "tools/DbfSchema.h"
#include "tools/Options.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

const char kUsage[] =
    "Usage: kestal dbf create FILE --fields NAME:TYPE:LEN[:DEC][,...]\n"
    "\n"
    "Creates FILE as an empty dBASE III table. FILE must not exist yet.\n"
    "Each field is NAME:TYPE:LEN with an optional :DEC for decimals:\n"
    "  NAME  1 to 10 letters, digits or '_', starting with a letter (kept in upper case)\n"
    "  TYPE  C (text, 1-254), N or F (number, 1-20), D (date, 8), L (logical, 1)\n"
    "The record (deletion flag included) may be at most 512 bytes, with at most\n"
    "100 fields. Tables whose first field is REC_NUM get record numbers when\n"
    "appended with the tag WTK.\n"
    "\n"
    "Example: kestal dbf create wtk.dbf --fields REC_NUM:N:8,STOCK:C:6,BS:C:1,QTY:N:8\n";

}  // namespace

int RunDbfCreate(const Args& args) {
  Options opts(args, {{"fields", true}});
  if (opts.help()) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  opts.ExpectPositional(1, "FILE");
  if (!opts.Has("fields")) throw UsageError("missing --fields");
  const std::vector<FieldDef> fields = ParseFieldList(opts.Get("fields"));
  CreateEmptyTable(opts.positional()[0], fields);
  return kExitOk;
}

}  // namespace kestal::tool
