// The reject file of the bridge (--reject FILE): the records the database
// refuses for good, each on a line of its own, so that the bridge goes on
// past them and no record is lost without a trace.
//
// A line is five fields separated by tabs, ended by a line feed:
//   POSITION  TIME  TABLE  IMAGE  REASON
// POSITION is the record's 1-based position in the file, TIME the UTC time
// of the rejection (2026-12-07T09:30:00Z), TABLE the target table as given,
// IMAGE the record's raw bytes in the file (deletion flag first) as
// lower-case hex, REASON the refusal in the terminal's encoding with tabs
// and line breaks turned into blanks.
//
// Exactly once across kill -9: a line is appended and flushed to the disk
// (fsync) before the bridge moves past its record, so the table's highest
// rec_num together with this file always tells where to go on. A run that
// starts behind a logged record skips it instead of rejecting it again, once
// the record in the file still has the logged image (a stale line, from
// another file, is set aside with a notice). A line cut short by a kill has
// no line feed; it is ignored, and the next line starts on a line of its own.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>

namespace kestal::tool {

class RejectLog {
 public:
  // Opens path for appending (creating it, mode 0640, when create), and
  // reads the lines it holds for table; when create, an unfinished last
  // line is cut off. Throws ToolError naming the path and
  // errno text.
  RejectLog(const std::string& path, const std::string& table, bool create);
  ~RejectLog();
  RejectLog(const RejectLog&) = delete;
  RejectLog& operator=(const RejectLog&) = delete;

  // Keeps the logged positions after resume whose logged image image_at
  // gives again; the others are set aside and told through note. Positions
  // at or below resume are forgotten: the table is past them.
  void Settle(long resume, const std::function<bool(long, std::string*)>& image_at,
              const std::function<void(const std::string&)>& note);

  // Appends the line of the record at position and waits until it is on the
  // disk. Throws ToolError naming the path and errno text.
  void Append(long position, const std::string& image, const std::string& reason);

  // Whether the record at position is logged (settled or appended).
  bool Holds(long position) const { return positions_.count(position) != 0; }
  // The smallest logged position above position, or 0 when there is none.
  long NextAfter(long position) const;
  // position advanced past every logged position that follows it in a row.
  long Past(long position) const;

  const std::string& path() const { return path_; }
  long appended() const { return appended_; }  // lines this run wrote

 private:
  std::string path_;
  std::string table_;
  int fd_ = -1;
  std::set<long> positions_;
  std::multimap<long, std::string> images_;  // logged position -> image (hex), until settled
  long appended_ = 0;
};

}  // namespace kestal::tool
