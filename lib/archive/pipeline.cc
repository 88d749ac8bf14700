// The decompressor | tar pipeline that every archive operation runs, and the
// choice of decompressor by magic number.
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "archive/archive.h"

namespace {

struct Magic {
  CompressionTag tag;
  std::string_view bytes;  // the magic number at offset 0
};

// Tested in this order; a format matches only when all its bytes were read,
// so the xz test needs the full six (its last byte is zero).
constexpr std::array<Magic, 5> kMagics{{
    {"gz", std::string_view("\x1f\x8b", 2)},
    {"zst", std::string_view("\x28\xb5\x2f\xfd", 4)},
    {"xz", std::string_view("\xfd\x37\x7a\x58\x5a\x00", 6)},
    {"bz2", std::string_view("BZh", 3)},
    {"lz", std::string_view("LZIP", 4)},
}};

// Candidate argument vectors of each tag, tried in order (the program name
// is argument zero); each list ends with a null.
constexpr const char* kPigz[] = {"pigz", "-dc", nullptr};
constexpr const char* kGzip[] = {"gzip", "-dc", nullptr};
constexpr const char* kZstd[] = {"zstd", "-dcq", nullptr};
constexpr const char* kXz[] = {"xz", "-dc", "-T0", nullptr};
constexpr const char* kLbzip2[] = {"lbzip2", "-dc", nullptr};
constexpr const char* kPbzip2[] = {"pbzip2", "-dc", nullptr};
constexpr const char* kBzip2[] = {"bzip2", "-dc", nullptr};
constexpr const char* kPlzip[] = {"plzip", "-dc", nullptr};
constexpr const char* kLzip[] = {"lzip", "-dc", nullptr};
constexpr const char* kCat[] = {"cat", nullptr};

constexpr const char* const* kGzCandidates[] = {kPigz, kGzip, nullptr};
constexpr const char* const* kZstCandidates[] = {kZstd, nullptr};
constexpr const char* const* kXzCandidates[] = {kXz, nullptr};
constexpr const char* const* kBz2Candidates[] = {kLbzip2, kPbzip2, kBzip2, nullptr};
constexpr const char* const* kLzCandidates[] = {kPlzip, kLzip, nullptr};
constexpr const char* const* kCatCandidates[] = {kCat, nullptr};

struct Decompressor {
  std::string_view tag;
  const char* const* const* candidates;
};

constexpr std::array<Decompressor, 5> kDecompressors{{
    {"gz", kGzCandidates},
    {"zst", kZstCandidates},
    {"xz", kXzCandidates},
    {"bz2", kBz2Candidates},
    {"lz", kLzCandidates},
}};

// The candidates of a tag: an exact match of the whole word, cat otherwise.
const char* const* const* decompressor_candidates(CompressionTag tag) {
  std::string_view word = tag != nullptr ? tag : "";
  for (const Decompressor& d : kDecompressors)
    if (d.tag == word) return d.candidates;
  return kCatCandidates;
}

// tar reads extra options from TAR_OPTIONS: "-v" there would corrupt the
// captured listing and "-P" would let members escape the target directory.
constexpr const char kTarOptions[] = "TAR_OPTIONS";
// tar quotes the names it prints by the locale: under "C" every byte outside
// ASCII becomes an octal escape. With one UTF-8 locale for every tar, a
// UTF-8 name is listed, recorded and footprinted as it is on disk, whatever
// the caller's locale; what tar still escapes holds a backslash.
constexpr const char kTarLocale[] = "LC_ALL=C.UTF-8";

// Appends tar's output lines to capture: a 4096-byte buffer, each piece cut
// at its first newline, empty pieces dropped. A line that does not fit
// therefore arrives as several entries, the first exactly 4095 bytes long.
void capture_lines(int fd, StringList* capture) {
  FILE* in = fdopen(fd, "r");
  if (in == nullptr) {
    close(fd);
    return;
  }
  // A larger stream buffer means fewer reads and fewer wake-ups of this
  // process per listing; the pieces stay those of the 4096-byte line buffer.
  setvbuf(in, nullptr, _IOFBF, 65536);
  char buf[kPathBuf];
  while (fgets(buf, sizeof buf, in) != nullptr) {
    buf[strcspn(buf, "\n")] = '\0';
    if (buf[0] != '\0') strlist_add(capture, buf);
  }
  fclose(in);
}

// Restores the process's standard input when it goes out of scope; declared
// after the decompressor's Child so it runs first and the decompressor sees
// a broken pipe instead of blocking on a pipe nobody reads.
class StdinRestore {
 public:
  explicit StdinRestore(int saved) : saved_(saved) {}
  StdinRestore(const StdinRestore&) = delete;
  StdinRestore& operator=(const StdinRestore&) = delete;
  ~StdinRestore() {
    if (saved_ >= 0) {
      dup2(saved_, STDIN_FILENO);
      close(saved_);
    }
  }

 private:
  int saved_;
};

// Starts tar reading the process's standard input; with capture its output
// is read into the list. True when tar exited normally with status 0.
bool run_tar(char* const* tar_argv, StringList* capture) {
  UniqueFd out_read, out_write;
  if (capture != nullptr) {
    int q[2];
    if (pipe2(q, O_CLOEXEC) != 0) {
      warn("pipe");
      return false;
    }
    out_read.reset(q[0]);
    out_write.reset(q[1]);
  }
  ChildSpec cmd{.program = "tar", .argv = tar_argv, .stdout_fd = out_write.get(),
                 .unset_env = kTarOptions, .set_env = kTarLocale};
  Child tar(spawn_child(cmd));
  if (!tar.started()) {
    warn("fork");
    return false;
  }
  if (capture != nullptr) {
    out_write.reset();
    capture_lines(out_read.release(), capture);
  }
  return child_succeeded(tar.wait());
}

// The tag of the first n bytes of a package (buf zero-filled to six).
CompressionTag tag_of(const unsigned char* buf, size_t n) {
  std::string_view head(reinterpret_cast<const char*>(buf), 6);
  for (const Magic& m : kMagics) {
    if (n >= m.bytes.size() && head.starts_with(m.bytes)) return m.tag;
  }
  return nullptr;
}

// The open package rewound for the next pass, its tag from its first bytes.
// The descriptor stays the caller's; -1 after a warning.
int rewind_package(const PackageFile& package, CompressionTag* tag) {
  unsigned char buf[6] = {0, 0, 0, 0, 0, 0};
  ssize_t n;
  do n = pread(package.fd, buf, sizeof buf, 0);
  while (n < 0 && errno == EINTR);
  if (n < 0 || lseek(package.fd, 0, SEEK_SET) != 0) {
    warn("cannot read %s", package.path);
    return -1;
  }
  *tag = tag_of(buf, static_cast<size_t>(n));
  return package.fd;
}

}  // namespace

CompressionTag detect_compression(const char* package_path) {
  FILE* f = fopen(package_path, "rb");
  if (f == nullptr) return nullptr;
  unsigned char buf[6] = {0, 0, 0, 0, 0, 0};
  size_t n = fread(buf, 1, sizeof buf, f);
  fclose(f);
  return tag_of(buf, n);
}

void exec_decompressor(CompressionTag tag) {
  for (const char* const* const* c = decompressor_candidates(tag); *c != nullptr; c++)
    execvp((*c)[0], const_cast<char* const*>(*c));
}

int run_tar_pipeline(const PackageFile& package_file, char* const* tar_argv,
                     StringList* capture) {
  const char* package_path = package_file.path;
  CompressionTag tag = nullptr;
  int input = -1;
  UniqueFd package;  // only a file opened here
  if (package_file.fd >= 0) {
    input = rewind_package(package_file, &tag);
    if (input < 0) return -1;
  } else {
    tag = detect_compression(package_path);
    package.reset(open(package_path, O_RDONLY | O_CLOEXEC));
    if (!package) {
      warn("cannot open %s", package_path);
      return -1;
    }
    input = package.get();
  }
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    warn("pipe");
    return -1;
  }
  UniqueFd pipe_read(p[0]), pipe_write(p[1]);

  ChildSpec cmd{.stdin_fd = input, .stdout_fd = pipe_write.get(),
                 .candidates = decompressor_candidates(tag)};
  Child decompressor(spawn_child(cmd));
  if (!decompressor.started()) {
    warn("fork");
    return -1;
  }
  package.reset();
  pipe_write.reset();

  // The saved copy is close-on-exec so that tar holds no stray descriptor.
  int saved = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
  if (saved < 0 || dup2(pipe_read.get(), STDIN_FILENO) < 0) {
    warn("dup2");
    if (saved >= 0) close(saved);
    pipe_read.reset();  // before the decompressor is waited for
    return -1;
  }
  bool tar_ok;
  {
    StdinRestore restore(saved);
    pipe_read.reset();
    tar_ok = run_tar(tar_argv, capture);
  }
  if (!child_succeeded(decompressor.wait())) {
    warnx("decompressor failed on %s", package_path);
    return -1;
  }
  return tar_ok ? 0 : -1;
}
