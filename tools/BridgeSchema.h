// How the fields of a table file meet the columns of the bridge's target
// table: the operator's renames (--map FIELD=COLUMN) and left-out fields
// (--ignore FIELD), and the table the bridge creates from the file's header
// when asked (--create-table). Names are compared without regard to case.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "dbf/DBFOperate.h"
#include "tools/ColumnTypes.h"

namespace kestal::tool {

struct FieldMap {
  std::vector<std::pair<std::string, std::string>> renames;  // file field, column
  std::vector<std::string> ignored;                          // file fields copied nowhere

  // The column that field goes to: its rename, or its own name; empty when
  // the field is ignored.
  std::string TargetOf(const std::string& field) const;
  bool Ignores(const std::string& field) const;
};

// Parses the values of --map ("FIELD=COLUMN") and --ignore ("FIELD"). Throws
// UsageError naming a value without '=' or with an empty side, and a field
// given twice (mapped twice, or mapped and ignored).
FieldMap ParseFieldMap(const std::vector<std::string>& maps,
                       const std::vector<std::string>& ignores);

// Throws UsageError naming every field of map the file does not have, and
// every column that two fields would go to.
void CheckMapAgainstFile(const FieldMap& map, const CDBFOperate& dbf);

// Throws UsageError naming every --map target that columns (the table's)
// lacks.
void CheckMapAgainstTable(const FieldMap& map, const std::vector<ColumnType>& columns);

// The field name of a descriptor, without its NUL padding.
std::string FieldName(const DBFFIELD& f);

// What the bridge creates for a file: the CREATE TABLE and CREATE INDEX
// statements (T-SQL), and the columns as the catalog will then list them.
struct TableDesign {
  std::string create_table;
  std::string create_index;
  std::vector<ColumnType> columns;
};

// The target table for the fields of dbf under map: rec_num int first (or
// where a file field goes to rec_num), then one column per field that is not
// ignored, named by its target in lower case when not renamed: C(n) gives
// varchar(n); N without decimals and at most 9 wide gives int, other N(w,d)
// numeric(w,d); F float; D char(8); L char(1). The index is TABLE_rec_num on
// rec_num. Throws UsageError for a name that is not a plain identifier
// (letters, digits, '_'), ToolError for a field of another type.
TableDesign DesignTable(const CDBFOperate& dbf, const FieldMap& map, const std::string& table);

// Whether the database named by connect lists table in its catalog. Throws
// ToolError when the database cannot be reached or the catalog read.
bool TableExists(const std::string& connect, const std::string& table);

// Runs the statements of design on the database named by connect. Throws
// ToolError with the engine's reason.
void CreateTable(const std::string& connect, const TableDesign& design);

}  // namespace kestal::tool
