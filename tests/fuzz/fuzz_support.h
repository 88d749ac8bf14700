// Helpers of the fuzz targets: a scratch file that the library's readers
// open by path, and a failure that libFuzzer reports with its input.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace sorn_fuzz {

// A regular file in a private directory under TMPDIR (readers refuse to
// follow links, so a "/proc/self/fd/N" name would not do); refilled for
// every input and removed with its directory at exit.
class MemFile {
 public:
  MemFile() {
    const char* tmp = getenv("TMPDIR");
    dir_ = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/sorn-fuzz.XXXXXX";
    if (mkdtemp(dir_.data()) == nullptr) {
      perror("mkdtemp");
      abort();
    }
    name_ = "input";
    path_ = dir_ + "/" + name_;
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      perror("open");
      abort();
    }
  }
  ~MemFile() {
    close(fd_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  void fill(const void* data, size_t size) {
    if (ftruncate(fd_, 0) != 0 || pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) {
      perror("scratch file write");
      abort();
    }
  }
  void fill(const std::string& text) { fill(text.data(), text.size()); }
  const char* path() const { return path_.c_str(); }
  const char* dir() const { return dir_.c_str(); }
  const char* name() const { return name_.c_str(); }

 private:
  int fd_ = -1;
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
