#include "tools/Log.h"

#include <iconv.h>
#include <sys/time.h>

#include <atomic>
#include <cstdio>
#include <ctime>

#include "tools/Options.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

std::atomic<LogFormat> g_format{LogFormat::kText};

// Length of the valid UTF-8 sequence at s[i], or 0 when there is none.
size_t Utf8Length(const std::string& s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  size_t n = 0;
  uint32_t min = 0;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF)
    n = 2, min = 0x80;
  else if (c >= 0xE0 && c <= 0xEF)
    n = 3, min = 0x800;
  else if (c >= 0xF0 && c <= 0xF4)
    n = 4, min = 0x10000;
  else
    return 0;
  if (i + n > s.size()) return 0;
  uint32_t cp = c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

bool IsUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const size_t n = Utf8Length(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// GBK text as UTF-8; empty result and false when it is not GBK either.
bool GbkToUtf8(const std::string& in, std::string* out) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string src = in;
  out->assign(src.size() * 3 + 4, '\0');
  char* inp = src.data();
  size_t inleft = src.size();
  char* outp = out->data();
  size_t outleft = out->size();
  const size_t r = iconv(cd, &inp, &inleft, &outp, &outleft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || inleft != 0) return false;
  out->resize(out->size() - outleft);
  return true;
}

// "2026-12-07T15:22:54.123Z".
std::string UtcNow() {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  struct tm tm {};
  gmtime_r(&tv.tv_sec, &tm);
  char buf[96];
  snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec / 1000));
  return buf;
}

// One line to stderr in a single write.
void Emit(const std::string& line) {
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
}

std::string JsonLine(const char* level, const std::string& event, const std::string& subject_key,
                     const std::string& subject, const std::string& message,
                     const std::vector<LogNumber>& numbers) {
  std::string line = "{\"time\":\"" + UtcNow() + "\",\"level\":\"" + level + "\",\"event\":\"" +
                     JsonEscape(event) + "\"";
  if (!subject_key.empty()) {
    line += ",\"" + JsonEscape(subject_key) + "\":\"" + JsonEscape(subject) + "\"";
  }
  line += ",\"message\":\"" + JsonEscape(message) + "\"";
  for (const LogNumber& n : numbers) {
    line += ",\"" + JsonEscape(n.first) + "\":" + std::to_string(n.second);
  }
  return line + "}\n";
}

}  // namespace

void SetLogFormat(const std::string& value) {
  if (value == "text") {
    g_format = LogFormat::kText;
  } else if (value == "json") {
    g_format = LogFormat::kJson;
  } else {
    throw UsageError(BadOptionValue("log-format", "text or json", value));
  }
}

LogFormat CurrentLogFormat() {
  return g_format.load();
}

Logger::Logger(std::string prefix, std::string subject_key, std::string subject)
    : prefix_(std::move(prefix)),
      subject_key_(std::move(subject_key)),
      subject_(std::move(subject)) {}

void Logger::Info(const std::string& event, const std::string& message,
                  const std::vector<LogNumber>& numbers) const {
  Write("info", event, message, numbers);
}

void Logger::Warn(const std::string& event, const std::string& message,
                  const std::vector<LogNumber>& numbers) const {
  Write("warning", event, message, numbers);
}

void Logger::Write(const char* level, const std::string& event, const std::string& message,
                   const std::vector<LogNumber>& numbers) const {
  if (CurrentLogFormat() == LogFormat::kText) {
    Emit(prefix_ + ": " + message + "\n");
  } else {
    Emit(JsonLine(level, event, subject_key_, subject_, message, numbers));
  }
}

void LogFailure(const std::string& path, const std::string& message, const std::string& hint) {
  if (CurrentLogFormat() == LogFormat::kText) {
    Emit(path + ": " + message + "\n" + (hint.empty() ? "" : hint + "\n"));
    return;
  }
  Emit(JsonLine("error", "failed", "command", path, hint.empty() ? message : message + " " + hint,
                {}));
}

std::string JsonEscape(const std::string& text) {
  std::string utf8;
  const std::string* src = &text;
  if (!IsUtf8(text) && GbkToUtf8(text, &utf8)) src = &utf8;
  const std::string& s = *src;
  std::string out;
  out.reserve(s.size() + 8);
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = Utf8Length(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD for a byte of no known encoding
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(s, i, n);
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
    i += n;
  }
  return out;
}

}  // namespace kestal::tool
