#include "tools/ObserveTestUtil.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <stdexcept>

#include "support/TestSupport.h"

namespace kestal::test {
namespace {

// A strict recursive-descent JSON reader over one text.
class JsonReader {
 public:
  explicit JsonReader(const std::string& s) : s_(s) {}

  bool Object(std::map<std::string, std::string>* fields, std::string* error) {
    Space();
    if (!Take('{')) return Fail("expected '{'", error);
    Space();
    if (!Take('}')) {
      for (;;) {
        Space();
        std::string key, value;
        if (!String(&key)) return Fail("expected a member name", error);
        Space();
        if (!Take(':')) return Fail("expected ':'", error);
        Space();
        const size_t start = i_;
        if (Peek() == '"') {
          if (!String(&value)) return Fail("bad string", error);
        } else {
          if (!Value()) return Fail("bad value", error);
          value = s_.substr(start, i_ - start);
        }
        if (fields->count(key) != 0) return Fail("member '" + key + "' twice", error);
        (*fields)[key] = value;
        Space();
        if (Take('}')) break;
        if (!Take(',')) return Fail("expected ',' or '}'", error);
      }
    }
    Space();
    if (i_ != s_.size()) return Fail("text after the object", error);
    return true;
  }

 private:
  char Peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
  bool Take(char c) {
    if (Peek() != c) return false;
    ++i_;
    return true;
  }
  void Space() {
    while (i_ < s_.size() && strchr(" \t\r\n", s_[i_]) != nullptr) ++i_;
  }
  bool Fail(const std::string& what, std::string* error) const {
    *error = what + " at byte " + std::to_string(i_);
    return false;
  }
  bool Value() {
    Space();
    const char c = Peek();
    if (c == '"') {
      std::string ignored;
      return String(&ignored);
    }
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++i_;
      Space();
      if (Take(close)) return true;
      for (;;) {
        Space();
        if (c == '{') {
          std::string key;
          if (!String(&key)) return false;
          Space();
          if (!Take(':')) return false;
        }
        if (!Value()) return false;
        Space();
        if (Take(close)) return true;
        if (!Take(',')) return false;
      }
    }
    for (const char* word : {"true", "false", "null"}) {
      if (s_.compare(i_, strlen(word), word) == 0) {
        i_ += strlen(word);
        return true;
      }
    }
    return Number();
  }
  bool Number() {
    const size_t start = i_;
    Take('-');
    if (Take('0')) {
    } else if (isdigit(static_cast<unsigned char>(Peek()))) {
      while (isdigit(static_cast<unsigned char>(Peek()))) ++i_;
    } else {
      return false;
    }
    if (Take('.')) {
      if (!isdigit(static_cast<unsigned char>(Peek()))) return false;
      while (isdigit(static_cast<unsigned char>(Peek()))) ++i_;
    }
    if (Peek() == 'e' || Peek() == 'E') {
      ++i_;
      if (!Take('+')) Take('-');
      if (!isdigit(static_cast<unsigned char>(Peek()))) return false;
      while (isdigit(static_cast<unsigned char>(Peek()))) ++i_;
    }
    return i_ > start;
  }
  static void PutUtf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
      *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out += static_cast<char>(0xC0 | (cp >> 6));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out += static_cast<char>(0xE0 | (cp >> 12));
      *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (cp >> 18));
      *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool Hex4(uint32_t* v) {
    if (i_ + 4 > s_.size()) return false;
    *v = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      if (!isxdigit(static_cast<unsigned char>(c))) return false;
      *v = *v * 16 + static_cast<uint32_t>(isdigit(static_cast<unsigned char>(c))
                                               ? c - '0'
                                               : (tolower(c) - 'a' + 10));
    }
    return true;
  }
  // A string; raw bytes must be valid UTF-8 and no control character.
  bool String(std::string* out) {
    if (!Take('"')) return false;
    while (i_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        ++i_;
        const char e = Peek();
        ++i_;
        switch (e) {
          case '"':
            *out += '"';
            break;
          case '\\':
            *out += '\\';
            break;
          case '/':
            *out += '/';
            break;
          case 'b':
            *out += '\b';
            break;
          case 'f':
            *out += '\f';
            break;
          case 'n':
            *out += '\n';
            break;
          case 'r':
            *out += '\r';
            break;
          case 't':
            *out += '\t';
            break;
          case 'u': {
            uint32_t cp = 0;
            if (!Hex4(&cp)) return false;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
              uint32_t low = 0;
              if (!Take('\\') || !Take('u') || !Hex4(&low) || low < 0xDC00 || low > 0xDFFF) {
                return false;
              }
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
              return false;
            }
            PutUtf8(cp, out);
            break;
          }
          default:
            return false;
        }
        continue;
      }
      size_t n = c < 0x80                   ? 1
                 : (c >= 0xC2 && c <= 0xDF) ? 2
                 : (c >= 0xE0 && c <= 0xEF) ? 3
                 : (c >= 0xF0 && c <= 0xF4) ? 4
                                            : 0;
      if (n == 0 || i_ + n > s_.size()) return false;
      for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(s_[i_ + k]) & 0xC0) != 0x80) return false;
      }
      out->append(s_, i_, n);
      i_ += n;
    }
    return false;
  }

  const std::string& s_;
  size_t i_ = 0;
};

}  // namespace

HttpReply HttpGet(const std::string& address, const std::string& path) {
  HttpReply reply;
  const size_t colon = address.rfind(':');
  std::string host = address.substr(0, colon);
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  const std::string port = address.substr(colon + 1);
  struct addrinfo hints {};
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0) return reply;
  const int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected = fd >= 0 && connect(fd, res->ai_addr, res->ai_addrlen) == 0;
  freeaddrinfo(res);
  if (!connected) {
    if (fd >= 0) close(fd);
    return reply;
  }
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: " + address + "\r\nConnection: close\r\n\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    close(fd);
    return reply;
  }
  std::string raw;
  char buf[65536];
  const long long end = NowMs() + 10000;
  while (NowMs() < end) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    const ssize_t r = read(fd, buf, sizeof buf);
    if (r <= 0) break;
    raw.append(buf, static_cast<size_t>(r));
  }
  close(fd);
  const size_t head_end = raw.find("\r\n\r\n");
  if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || head_end == std::string::npos) return reply;
  reply.status = atoi(raw.c_str() + 9);
  reply.body = raw.substr(head_end + 4);
  return reply;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

std::map<std::string, double> ParseMetrics(const std::string& body) {
  std::map<std::string, double> samples;
  std::set<std::string> helped, typed;
  EXPECT_TRUE(!body.empty() && body.back() == '\n') << "the body must end with a line feed";
  for (const std::string& line : Lines(body)) {
    if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
      const std::string rest = line.substr(7);
      const std::string name = rest.substr(0, rest.find(' '));
      EXPECT_EQ(name.rfind("kestal_", 0), 0u) << line;
      (line[2] == 'H' ? helped : typed).insert(name);
      if (line[2] == 'T') {
        const std::string type = rest.substr(rest.find(' ') + 1);
        EXPECT_TRUE(type == "counter" || type == "gauge") << line;
        EXPECT_EQ(type == "counter", name.size() > 6 && name.substr(name.size() - 6) == "_total")
            << "counters and only counters end in _total: " << line;
      }
      continue;
    }
    const size_t brace = line.find('{');
    const size_t close = line.find("} ");
    if (brace == std::string::npos || close == std::string::npos || close < brace) {
      ADD_FAILURE() << "not a labelled sample: " << line;
      continue;
    }
    const std::string name = line.substr(0, brace);
    EXPECT_TRUE(helped.count(name) && typed.count(name)) << "no HELP or TYPE before " << line;
    char* end = nullptr;
    const std::string value = line.substr(close + 2);
    const double v = strtod(value.c_str(), &end);
    EXPECT_TRUE(end != nullptr && *end == '\0' && !value.empty()) << line;
    EXPECT_EQ(samples.count(line.substr(0, close + 1)), 0u) << "series twice: " << line;
    samples[line.substr(0, close + 1)] = v;
  }
  return samples;
}

bool ParseJsonObject(const std::string& text, std::map<std::string, std::string>* fields,
                     std::string* error) {
  return JsonReader(text).Object(fields, error);
}

std::string WaitForMetricsAddress(RunningTool& tool, int timeout_ms) {
  const std::string mark = "metrics on http://";
  const long long end = NowMs() + timeout_ms;
  while (NowMs() < end) {
    tool.DrainErr();
    const size_t at = tool.err().find(mark);
    if (at != std::string::npos) {
      const size_t start = at + mark.size();
      const size_t stop = tool.err().find("/metrics", start);
      if (stop != std::string::npos) return tool.err().substr(start, stop - start);
    }
    usleep(20000);
  }
  return "";
}

NotifySocket::NotifySocket(const std::string& path) : path_(path) {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  if (fd_ < 0 || path.size() >= sizeof addr.sun_path) throw std::runtime_error("notify socket");
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("cannot bind " + path + ": " + strerror(errno));
  }
}

NotifySocket::~NotifySocket() {
  if (fd_ >= 0) close(fd_);
  unlink(path_.c_str());
}

std::string NotifySocket::Receive(int timeout_ms) {
  struct pollfd p = {fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return "";
  char buf[4096];
  const ssize_t r = recv(fd_, buf, sizeof buf, 0);
  return r > 0 ? std::string(buf, static_cast<size_t>(r)) : std::string();
}

}  // namespace kestal::test
