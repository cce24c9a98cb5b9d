// Shared pieces of the fuzz targets: the invariant check that stops the run
// with a message (libFuzzer keeps the input that caused it), a private
// scratch folder per process, and whole-file helpers.
//
// A failed check calls abort(), never throws: libFuzzer reports an abort as
// a crash, saves the input as crash-<sha1> and exits non-zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestal::fuzz {

// Prints "invariant failed: what (file:line)" and the detail, then aborts.
[[noreturn]] void Fail(const char* what, const char* file, int line, const std::string& detail);

// A folder of its own for this process (under $TMPDIR, else /dev/shm, else
// /tmp), made on first use and removed at exit.
const std::string& ScratchDir();

// Replaces the file at path with size bytes of data. Aborts on failure: the
// scratch folder is ours, so an error there is the harness's fault.
void WriteWholeFile(const std::string& path, const void* data, size_t size);
// The whole content of the file at path; aborts on failure.
std::string ReadWholeFile(const std::string& path);

}  // namespace kestal::fuzz

// Aborts with a message when cond is false; detail is any std::string
// expression, evaluated only on failure.
#define FUZZ_CHECK(cond, detail)                                                       \
  do {                                                                                 \
    if (!(cond)) ::kestal::fuzz::Fail(#cond, __FILE__, __LINE__, std::string(detail)); \
  } while (0)
