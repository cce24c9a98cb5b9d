// The Kestal side of the scale benchmark's follow case: CSQLOperate opened on
// the table, then GetRecordsetForBack from key 0 in windows of kWindow rows
// until it delivers nothing, every column of every row read by name with
// GetFieldValue. Only the follow is timed; Open has a case of its own.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Scale.h"
#include "sql/SQLOperate.h"

namespace kestal::scale {

// kestal-follow CONN TABLE: prints "cpu=C seconds=S rows=N bytes=B"; exit status 1 when a
// call fails or a row comes out of order.
int KestalFollow(const std::vector<std::string>& args) {
  auto op = std::make_unique<CSQLOperate>();
  if (op->Open(args.at(0).c_str(), args.at(1).c_str()) != 1) {
    std::fprintf(stderr, "scale: Open failed on %s\n", args.at(1).c_str());
    return 1;
  }
  std::vector<CString> names;
  for (int i = 0; i < op->m_nFieldCount; ++i) names.emplace_back(op->m_FieldInfo[i].strName);
  const auto start = std::chrono::steady_clock::now();
  const double cpu = ProcessCpuSeconds();
  const CString filter(""), tag("CJK");
  CString last = "0";
  long rows = 0;
  long long bytes = 0;  // of every value read, for the driver to hold against the raw side's
  bool ordered = true;
  int got = 0;
  while ((got = op->GetRecordsetForBack(filter, last, kWindow, tag)) > 0) {
    while (op->SeekToCurrentPos() == 1) {
      CString key = op->GetFieldValue(names[0]);
      bytes += key.GetLength();
      for (size_t c = 1; c < names.size(); ++c) bytes += op->GetFieldValue(names[c]).GetLength();
      if (std::atol(key.c_str()) != std::atol(last.c_str()) + 1) ordered = false;
      last = key;
      ++rows;
      op->MoveNextEx();
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("cpu=%.3f seconds=%.3f rows=%ld bytes=%lld\n", ProcessCpuSeconds() - cpu, seconds,
              rows, bytes);
  return got == 0 && ordered ? 0 : 1;
}

}  // namespace kestal::scale
