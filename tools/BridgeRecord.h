// How one record of a table file becomes one record image of a database
// table, for the bridge. Fields are matched by name without regard to case;
// the database's rec_num column carries the record's 1-based position in the
// file, which is what lets the bridge resume from the table's highest rec_num.
#pragma once

#include <string>
#include <vector>

#include "dbf/DBFOperate.h"
#include "sql/SQLOperate.h"

namespace kestal::tool {

class RecordMapper {
 public:
  // Matches the fields of dbf (open) with the columns of sql (open). Throws
  // ToolError starting "bad field list:" and naming every mismatch: a file
  // field without a column, a column without a file field (columns of type
  // 37, which inserts leave out, and rec_num excepted), or no int column
  // rec_num.
  RecordMapper(const CDBFOperate& dbf, const CSQLOperate& sql);

  // Bytes of one database record image.
  int length() const { return length_; }

  // Builds into out (length() bytes) the image of the file record dbf_image
  // (deletion flag first) at 1-based position. int columns get the field's
  // number (blank is 0), rec_num the position; text columns the text padded
  // with blanks or cut (never inside a double-byte character) to the width;
  // other columns the trimmed text, ended by NUL when shorter. Throws
  // ToolError naming the record and field for a value the column cannot
  // carry unchanged: not a whole number of at most 8 characters for an int
  // column, a number or date longer than its column, or a REC_NUM in the
  // file that differs from the record's position.
  void Build(const char* dbf_image, long position, char* out) const;

 private:
  struct Link {
    int width = 0;
    int type = 0;
    int dbf_offset = -1;  // -1: no file field (omitted column or rec_num)
    int dbf_length = 0;
    bool dbf_numeric = false;  // N or F: padded on the left in the file
    bool rec_num = false;
    std::string name;  // column name, for messages
  };
  std::vector<Link> links_;
  int length_ = 0;
};

}  // namespace kestal::tool
