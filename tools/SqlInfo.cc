// "kestal sql info CONN TABLE": the field table that CSQLOperate builds from
// the catalog (name, type code, width, offset in the record image) and the
// row count it takes when opening the table.
#include <cstdio>
#include <memory>
#include <vector>

#include "sql/SQLOperate.h"
#include "tools/ColumnTypes.h"
#include "tools/Commands.h"
#include "tools/Options.h"
#include "tools/SqlTable.h"
#include "tools/TerminalText.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

const char kUsage[] =
    "Usage: kestal sql info CONN TABLE\n"
    "\n"
    "Shows the table TABLE of the database named by the connection string CONN as\n"
    "the library maps it: every column with its type code (56 int, written as a\n"
    "number; 37 left out of inserts; others written as text), its width and offset\n"
    "in the record image, the declared type the bridge judges values by, and the\n"
    "number of rows.\n"
    "  CONN  'Provider=SQLite;Data Source=FILE' or\n"
    "        'Provider=PostgreSQL;Server=HOST;Port=N;Database=DB;User ID=U;Password=P'\n";

// A word for the type codes the library treats apart.
const char* TypeWord(int code) {
  switch (code) {
    case 56:
      return "int";
    case 37:
      return "omitted";
    default:
      return "text";
  }
}

}  // namespace

int RunSqlInfo(const Args& args) {
  Options opts(args, {});
  if (opts.help()) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  opts.ExpectPositional(2, "CONN and TABLE");
  auto sql = std::make_unique<CSQLOperate>();
  OpenSqlTable(sql.get(), opts.positional()[0], opts.positional()[1], true);

  printf("Table:          %s\n", opts.positional()[1].c_str());
  printf("Rows:           %ld\n", static_cast<long>(sql->m_lTotalRecord));
  printf("Record length:  %d\n", SqlRecordLength(*sql));
  printf("Fields:         %u\n", static_cast<unsigned>(sql->m_nFieldCount));
  const std::vector<ColumnType> declared = ReadColumnTypes(*sql, opts.positional()[1]);
  printf("\n  #  %-20s  %4s  %-7s  %5s  %6s  %s\n", "NAME", "TYPE", "", "WIDTH", "OFFSET",
         "DECLARED");
  int offset = 0;
  for (int i = 0; i < sql->m_nFieldCount; ++i) {
    const FIELDINFO& f = sql->m_FieldInfo[i];
    printf("%3d  %-20s  %4u  %-7s  %5d  %6d  %s\n", i + 1, ToTerminal(f.strName.str()).c_str(),
           static_cast<unsigned>(f.nType), TypeWord(f.nType), f.nWidth, offset,
           DescribeColumn(declared[static_cast<size_t>(i)]).c_str());
    offset += f.nWidth;
  }
  sql->Close();
  if (fflush(stdout) != 0) throw ToolError("cannot write the output");
  return kExitOk;
}

}  // namespace kestal::tool
