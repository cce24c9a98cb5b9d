// Notices that the table file at a path is no longer the file being read: a
// new file renamed over it (another device or inode at the path), the file
// removed, or the file cut or rewritten in place (its record count or size
// fell, below the records already handled or below an earlier count). A
// reader that went on would copy records of another file as if they
// continued the old one, or skip the new file's first records; the owner
// stops instead, naming both counts, and the operator decides what follows.
#pragma once

#include <sys/types.h>

#include <string>

#include "dbf/DBFOperate.h"

namespace kestal::tool {

class FileWatch {
 public:
  // what names the records handled in messages ("copied", "printed").
  FileWatch(std::string path, std::string what);

  // Notes the identity of the file at the path; call before the library
  // opens it, then Confirm after.
  void Arm();
  // Throws ToolError when the file at the path changed while it was being
  // opened: the library may hold the other one.
  void Confirm() const;

  // Throws ToolError when the file at the path is not the one armed, or
  // holds fewer records than done (the records already handled) or than the
  // highest count seen before. count is the header's count just read by
  // table. Returns quietly otherwise.
  void Check(const CDBFOperate& table, long count, long done);

 private:
  std::string path_;
  std::string what_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  long highest_ = 0;  // the highest record count seen in the header
};

}  // namespace kestal::tool
