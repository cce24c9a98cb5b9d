// How one record of a table file becomes one record image of a database
// table, for the bridge. Fields are matched by name without regard to case;
// each value is checked and converted by its column's declared type
// (ValueCheck.h), never cut; the database's rec_num column carries the
// record's 1-based position in the file, which is what lets the bridge
// resume from the table's highest rec_num.
#pragma once

#include <string>
#include <vector>

#include "dbf/DBFOperate.h"
#include "sql/SQLOperate.h"
#include "tools/BridgeSchema.h"
#include "tools/ColumnTypes.h"
#include "tools/ToolError.h"
#include "tools/ValueCheck.h"

namespace kestal::tool {

// A value of one record that its column cannot hold (Build): the record can
// be set aside while the others go on.
class ValueRefused : public ToolError {
 public:
  explicit ValueRefused(const std::string& what) : ToolError(what) {}
};

// One line of the bridge's plan: a file field and where it goes.
struct FieldPlan {
  std::string field;        // as the file names it
  std::string field_type;   // "C(6)", "N(8,2)"
  std::string column;       // empty for an ignored field
  std::string column_type;  // DescribeColumn
};

class RecordMapper {
 public:
  // Matches the fields of dbf (open) with the columns of the target table,
  // whose declared types are columns (ReadColumnTypes), in column order: each
  // field goes to the column map names for it (its own name unless renamed;
  // ignored fields go nowhere). Throws ToolError starting "bad field list:"
  // and naming every mismatch: a file field without a column or going to a
  // column that inserts leave out (type 37), a column without a file field
  // (type-37 columns and rec_num excepted), or no int column rec_num.
  RecordMapper(const CDBFOperate& dbf, const std::vector<ColumnType>& columns,
               const ValueRules& rules, const FieldMap& map = FieldMap());

  // Bytes of one database record image.
  int length() const { return length_; }

  // Bytes of each column in the record image, in column order: wide enough
  // for every value the column accepts, so that none is cut. The bridge
  // gives its field table these widths.
  std::vector<int> widths() const;

  // The columns no insert fills (row versions, binary columns), described
  // for the notice at start ("stamp (row version or binary)").
  const std::vector<std::string>& unfilled() const { return unfilled_; }

  // Every field of the file, in file order, with its column.
  const std::vector<FieldPlan>& plan() const { return plan_; }

  // Builds into out (length() bytes) the image of the file record dbf_image
  // (deletion flag first) at 1-based position: each value converted for its
  // column by ConvertValue, rec_num the position. Throws ToolError naming
  // the record, the column and the reason for a value its column cannot
  // hold (as ValueRefused), and for a REC_NUM in the file that differs from the position.
  void Build(const char* dbf_image, long position, char* out) const;

 private:
  struct Link {
    ColumnType column;
    int width = 0;        // bytes in the image
    int dbf_offset = -1;  // -1: no file field (omitted column or rec_num)
    int dbf_length = 0;
    bool dbf_numeric = false;  // N or F: padded on the left in the file
    bool rec_num = false;
  };
  std::vector<Link> links_;
  std::vector<std::string> unfilled_;
  std::vector<FieldPlan> plan_;
  ValueRules rules_;
  int length_ = 0;
};

}  // namespace kestal::tool
