#include "BenchTable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace kestal::bench {
namespace {

struct Field {
  const char* name;
  char type;
  int length;
  int decimals;
};

constexpr Field kFields[kFieldCount] = {{"REC_NUM", 'N', 10, 0}, {"STOCK", 'C', 6, 0},
                                        {"BS", 'C', 1, 0},       {"PRICE", 'N', 10, 2},
                                        {"QTY", 'N', 8, 0},      {"NOTE", 'C', 20, 0}};

// Owns the scratch folder; removes it at program exit.
class Scratch {
 public:
  Scratch() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/kestal-bench-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = templ;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

std::string Header(long records) {
  std::string h(kHeaderLength, '\0');
  h[0] = 0x03;
  h[1] = 126;
  h[2] = 1;
  h[3] = 1;
  for (int b = 0; b < 4; ++b) h[4 + b] = static_cast<char>((records >> (8 * b)) & 0xFF);
  h[8] = static_cast<char>(kHeaderLength & 0xFF);
  h[9] = static_cast<char>(kHeaderLength >> 8);
  h[10] = static_cast<char>(kRecordLength & 0xFF);
  h[11] = static_cast<char>(kRecordLength >> 8);
  for (int i = 0; i < kFieldCount; ++i) {
    char* d = &h[32 + 32 * i];
    std::memcpy(d, kFields[i].name, std::strlen(kFields[i].name));
    d[11] = kFields[i].type;
    d[16] = static_cast<char>(kFields[i].length);
    d[17] = static_cast<char>(kFields[i].decimals);
  }
  h[kHeaderLength - 1] = 0x0D;
  return h;
}

void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
    if (w <= 0) throw std::runtime_error("write of a scratch table failed");
    done += static_cast<size_t>(w);
  }
}

}  // namespace

std::string ScratchFile(const std::string& name) {
  static Scratch scratch;
  return scratch.dir() + "/" + name;
}

std::string OrderRecord(long i) {
  static const char* const kStocks[] = {"600000", "600036", "000001", "000858", "601318"};
  char rec[kRecordLength + 1];
  snprintf(rec, sizeof rec, " %10ld%s%c%10.2f%8ld%-20s", i, kStocks[i % 5], i % 2 ? 'B' : 'S',
           10.0 + static_cast<double>(i % 100) / 100.0, 100 * (1 + i % 10), "bench order");
  return std::string(rec, kRecordLength);
}

std::string MakeTable(const std::string& path, long records) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  std::string chunk = Header(records);
  for (long i = 1; i <= records; ++i) {
    chunk += OrderRecord(i);
    if (chunk.size() >= (1u << 20)) {
      WriteAll(fd, chunk);
      chunk.clear();
    }
  }
  chunk += '\x1A';
  WriteAll(fd, chunk);
  close(fd);
  // Read it once so that every run below starts from the page cache.
  const int rd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char buf[1 << 16];
  while (rd >= 0 && read(rd, buf, sizeof buf) > 0) {
  }
  if (rd >= 0) close(rd);
  return path;
}

}  // namespace kestal::bench
