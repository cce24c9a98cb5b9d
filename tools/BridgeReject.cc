// Appending and reading the bridge's reject file. The file is opened with
// O_APPEND, so a line goes in one write at the end even when an operator's
// tool has the file open too; every line is fsync'ed before the bridge moves on.
#include "tools/BridgeReject.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/Mbcs.h"
#include "tools/ToolError.h"
#include "tools/WriteAll.h"

namespace kestal::tool {
namespace {

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// text with tabs and line breaks as blanks: one field of one line.
std::string OneField(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t from = 0;
  for (;;) {
    const size_t tab = line.find('\t', from);
    fields.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
    if (tab == std::string::npos) return fields;
    from = tab + 1;
  }
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// Flushes the folder entry of a new file to the disk, so that the lines
// flushed into the file are not lost with its name after a power failure.
// Best effort: a folder that cannot be opened leaves the file as it is.
void SyncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

RejectLog::RejectLog(const std::string& path, const std::string& table, bool create)
    : path_(path), table_(table) {
  struct stat st {};
  const bool is_new = create && stat(path.c_str(), &st) != 0 && errno == ENOENT;
  fd_ = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | (create ? O_CREAT : 0), 0640);
  if (fd_ < 0) {
    throw ToolError("cannot open the reject file '" + path + "': " + strerror(errno));
  }
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd_);
    // Lines are read back at the next start to skip what was set aside: a
    // pipe or device cannot give them back.
    throw ToolError("the reject file '" + path + "' is not a regular file");
  }
  if (is_new) SyncFolderOf(path);
  std::string content;
  char block[65536];
  for (;;) {
    const ssize_t n = pread(fd_, block, sizeof block, static_cast<off_t>(content.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      close(fd_);
      throw ToolError("cannot read the reject file '" + path + "': " + strerror(err));
    }
    if (n == 0) break;
    content.append(block, static_cast<size_t>(n));
  }
  if (create && !content.empty() && content.back() != '\n') {
    // The tail of a line cut short by a kill or a full disk: its record was
    // never passed over, so it is rejected again and logged in full. Left in
    // place, the next line would complete it into a second line for one
    // record.
    const size_t keep = content.rfind('\n') == std::string::npos ? 0 : content.rfind('\n') + 1;
    if (ftruncate(fd_, static_cast<off_t>(keep)) != 0) {
      const int err = errno;
      close(fd_);
      throw ToolError("cannot cut the unfinished last line of the reject file '" + path +
                      "': " + strerror(err));
    }
    content.resize(keep);
  }
  size_t from = 0;
  for (size_t end; (end = content.find('\n', from)) != std::string::npos; from = end + 1) {
    const std::vector<std::string> f = SplitTabs(content.substr(from, end - from));
    if (f.size() < 5 || _mbsicmp(f[2].c_str(), table_.c_str()) != 0) continue;
    char* rest = nullptr;
    const long position = strtol(f[0].c_str(), &rest, 10);
    if (position <= 0 || rest == f[0].c_str() || *rest != '\0') continue;
    images_.emplace(position, f[3]);
  }
}

RejectLog::~RejectLog() {
  if (fd_ >= 0) close(fd_);
}

void RejectLog::Settle(long resume, const std::function<bool(long, std::string*)>& image_at,
                       const std::function<void(const std::string&)>& note) {
  for (const auto& [position, hex] : images_) {
    if (position <= resume || positions_.count(position) != 0) continue;
    std::string image;
    const bool held = image_at(position, &image);
    if (held && Hex(image) == hex) {
      positions_.insert(position);
    } else if (held) {
      note("the reject file '" + path_ + "' names record " + std::to_string(position) +
           ", but the file holds another record there; it is copied, not skipped");
    } else {
      note("the reject file '" + path_ + "' names record " + std::to_string(position) +
           ", which the file does not hold (yet); the line is left aside");
    }
  }
  images_.clear();
}

void RejectLog::Append(long position, const std::string& image, const std::string& reason) {
  const std::string line = std::to_string(position) + "\t" + UtcNow() + "\t" + OneField(table_) +
                           "\t" + Hex(image) + "\t" + OneField(reason) + "\n";
  if (!WriteAll(fd_, line) || fdatasync(fd_) != 0) {
    // The bridge stops; the next start cuts what reached the file short of
    // a line feed, or finds the whole line and passes the record over.
    throw ToolError("cannot write the reject file '" + path_ + "': " + strerror(errno));
  }
  positions_.insert(position);
  ++appended_;
}

long RejectLog::NextAfter(long position) const {
  const auto it = positions_.upper_bound(position);
  return it == positions_.end() ? 0 : *it;
}

long RejectLog::Past(long position) const {
  while (positions_.count(position + 1) != 0) ++position;
  return position;
}

}  // namespace kestal::tool
