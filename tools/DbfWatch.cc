#include "tools/DbfWatch.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "tools/DbfHeader.h"
#include "tools/DbfTable.h"
#include "tools/ToolError.h"

namespace kestal::tool {

FileWatch::FileWatch(std::string path, std::string what)
    : path_(std::move(path)), what_(std::move(what)) {}

void FileWatch::Arm() {
  struct stat st {};
  if (stat(path_.c_str(), &st) != 0) return;  // opening names the reason
  dev_ = st.st_dev;
  ino_ = st.st_ino;
}

void FileWatch::Confirm() const {
  struct stat st {};
  if (stat(path_.c_str(), &st) == 0 && (st.st_dev != dev_ || st.st_ino != ino_)) {
    throw ToolError("table file '" + path_ + "' was replaced while it was being opened; run again");
  }
}

void FileWatch::Check(const CDBFOperate& table, long count, long done) {
  struct stat st {};
  if (stat(path_.c_str(), &st) != 0) {
    if (errno != ENOENT) return;  // a passing failure: looked at again next time
    throw ToolError("table file '" + path_ + "' was removed after " + std::to_string(done) +
                    " records were " + what_ + "; nothing more is read from it");
  }
  if (st.st_dev != dev_ || st.st_ino != ino_) {
    DbfHeader header;
    std::string why;
    const std::string now = ReadDbfHeader(path_, &header, &why)
                                ? "the new file counts " + std::to_string(header.count)
                                : "the new file cannot be read yet";
    throw ToolError("table file '" + path_ + "' was replaced by another file: " +
                    std::to_string(done) + " records were " + what_ + " from the old one, which " +
                    "counted " + std::to_string(count) + "; " + now +
                    ". Nothing of the new file is read; start again on it when it is the next "
                    "table (see the README on starting a new day's table)");
  }
  const long held = RecordsHeld(path_, table);
  if (held >= 0 && held < done) {
    throw ToolError("table file '" + path_ + "' now holds " + std::to_string(held) +
                    " records, fewer than the " + std::to_string(done) + " already " + what_ +
                    ": it was cut or rewritten in place");
  }
  if (count < done) {
    throw ToolError("table file '" + path_ + "' now counts " + std::to_string(count) +
                    " records, fewer than the " + std::to_string(done) + " already " + what_ +
                    ": it was cut or rewritten in place");
  }
  if (count < highest_) {
    throw ToolError("the record count of table file '" + path_ + "' fell from " +
                    std::to_string(highest_) + " to " + std::to_string(count) + " (" +
                    std::to_string(done) + " records " + what_ +
                    "): it was cut, packed or rewritten in place, so its records no longer "
                    "stand at the positions read before");
  }
  highest_ = count;
}

}  // namespace kestal::tool
