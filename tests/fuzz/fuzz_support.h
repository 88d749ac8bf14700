// Helpers of the fuzz targets: an in-memory file that the library's readers
// open by path, and a failure that libFuzzer reports with its input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace sorn_fuzz {

// A memfd reachable as "/proc/self/fd/N"; refilled for every input, so no
// file system is touched and nothing is left behind.
class MemFile {
 public:
  MemFile() : fd_(memfd_create("sorn-fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0) {
      perror("memfd_create");
      abort();
    }
    dir_ = "/proc/self/fd";
    name_ = std::to_string(fd_);
    path_ = dir_ + "/" + name_;
  }
  ~MemFile() { close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  void fill(const void* data, size_t size) {
    if (ftruncate(fd_, 0) != 0 || pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) {
      perror("memfd write");
      abort();
    }
  }
  void fill(const std::string& text) { fill(text.data(), text.size()); }
  const char* path() const { return path_.c_str(); }
  const char* dir() const { return dir_.c_str(); }    // "/proc/self/fd"
  const char* name() const { return name_.c_str(); }  // the descriptor number

 private:
  int fd_;
  std::string dir_, name_, path_;
};

// A broken property: say which and let libFuzzer save the input.
[[noreturn]] inline void fuzz_fail(const char* what) {
  fprintf(stderr, "property violated: %s\n", what);
  abort();
}

#define FUZZ_CHECK(cond)                 \
  do {                                   \
    if (!(cond)) sorn_fuzz::fuzz_fail(#cond); \
  } while (0)

}  // namespace sorn_fuzz
