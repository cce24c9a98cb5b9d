#include "tools/DbfSchema.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/Mbcs.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

// The parts of text between the separators (empty parts included).
std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// 1 to 10 ASCII letters, digits or '_', starting with a letter.
bool IsValidName(const std::string& name) {
  if (name.empty() || name.size() > 10) return false;
  if (!std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

// A decimal number within [min, max], or -1.
int ParseSmall(const std::string& text, int min, int max) {
  if (text.empty() || text.size() > 4) return -1;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
  }
  int v = std::atoi(text.c_str());
  return v < min || v > max ? -1 : v;
}

// Stores v as a little-endian 16-bit number at out[at].
void PutLe16(std::string* out, size_t at, unsigned v) {
  (*out)[at] = static_cast<char>(v & 0xFF);
  (*out)[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

// One "NAME:TYPE:LEN[:DEC]" entry; throws UsageError naming it.
FieldDef ParseOne(const std::string& entry) {
  const std::vector<std::string> parts = Split(entry, ':');
  const std::string where = "field '" + entry + "': ";
  if (parts.size() < 3 || parts.size() > 4) {
    throw UsageError(where + "want NAME:TYPE:LEN or NAME:TYPE:LEN:DEC");
  }
  FieldDef f;
  f.name = parts[0];
  if (!IsValidName(f.name)) {
    throw UsageError(where + "a name is 1 to 10 letters, digits or '_', starting with a letter");
  }
  for (char& c : f.name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (parts[1].size() != 1) throw UsageError(where + "the type is one letter: C, N, F, D or L");
  f.type = static_cast<char>(std::toupper(static_cast<unsigned char>(parts[1][0])));
  int max_length = 0;
  switch (f.type) {
    case 'C':
      max_length = 254;
      break;
    case 'N':
    case 'F':
      max_length = 20;
      break;
    case 'D':
      max_length = 8;
      break;
    case 'L':
      max_length = 1;
      break;
    default:
      throw UsageError(where + "unknown type; use C, N, F, D or L");
  }
  const int min_length = f.type == 'D' ? 8 : 1;
  f.length = ParseSmall(parts[2], min_length, max_length);
  if (f.length < 0) {
    throw UsageError(where + "length must be " +
                     (min_length == max_length
                          ? std::to_string(max_length)
                          : std::to_string(min_length) + " to " + std::to_string(max_length)));
  }
  f.decimals = 0;
  if (parts.size() == 4) {
    const bool numeric = f.type == 'N' || f.type == 'F';
    f.decimals = numeric ? ParseSmall(parts[3], 0, f.length > 2 ? f.length - 2 : 0) : -1;
    if (f.decimals < 0) {
      throw UsageError(where + (numeric ? "decimals must leave room for digits and the point"
                                        : "only N and F fields have decimals"));
    }
  }
  return f;
}

}  // namespace

std::vector<FieldDef> ParseFieldList(const std::string& text) {
  if (text.empty()) throw UsageError("the field list is empty");
  std::vector<FieldDef> fields;
  int record_length = 1;
  for (const std::string& entry : Split(text, ',')) {
    FieldDef f = ParseOne(entry);
    for (const FieldDef& g : fields) {
      if (_mbsicmp(g.name.c_str(), f.name.c_str()) == 0) {
        throw UsageError("field name '" + f.name + "' appears twice");
      }
    }
    record_length += f.length;
    fields.push_back(f);
  }
  if (fields.size() > static_cast<size_t>(kMaxFieldCount)) {
    throw UsageError("at most " + std::to_string(kMaxFieldCount) + " fields");
  }
  if (record_length > kMaxRecordLength) {
    throw UsageError("the record would be " + std::to_string(record_length) +
                     " bytes long; at most " + std::to_string(kMaxRecordLength) +
                     " with the deletion flag");
  }
  return fields;
}

std::string BuildEmptyTable(const std::vector<FieldDef>& fields, std::time_t when) {
  const size_t n = fields.size();
  const size_t header_length = 32 + 32 * n + 1;
  unsigned record_length = 1;
  for (const FieldDef& f : fields) record_length += static_cast<unsigned>(f.length);

  std::string out(header_length + 1, '\0');
  std::tm local{};
  localtime_r(&when, &local);
  out[0] = 0x03;
  out[1] = static_cast<char>(local.tm_year % 256);  // years since 1900
  out[2] = static_cast<char>(local.tm_mon + 1);
  out[3] = static_cast<char>(local.tm_mday);
  // Bytes 4-7: record count 0.
  PutLe16(&out, 8, static_cast<unsigned>(header_length));
  PutLe16(&out, 10, record_length);
  for (size_t i = 0; i < n; ++i) {
    const size_t at = 32 + 32 * i;
    out.replace(at, fields[i].name.size(), fields[i].name);
    out[at + 11] = fields[i].type;
    out[at + 16] = static_cast<char>(fields[i].length);
    out[at + 17] = static_cast<char>(fields[i].decimals);
  }
  out[header_length - 1] = 0x0D;
  out[header_length] = 0x1A;
  return out;
}

void CreateEmptyTable(const std::string& path, const std::vector<FieldDef>& fields) {
  const std::string bytes = BuildEmptyTable(fields, std::time(nullptr));
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == EEXIST) throw ToolError("'" + path + "' already exists");
    throw ToolError("cannot create '" + path + "': " + strerror(errno));
  }
  size_t done = 0;
  int err = 0;
  while (done < bytes.size() && err == 0) {
    ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
    if (w < 0 && errno != EINTR) err = errno;
    if (w > 0) done += static_cast<size_t>(w);
  }
  if (close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    unlink(path.c_str());
    throw ToolError("cannot write '" + path + "': " + strerror(err));
  }
}

}  // namespace kestal::tool
