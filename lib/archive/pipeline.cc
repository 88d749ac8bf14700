// The decompressor | tar pipeline that every archive operation runs, and the
// choice of decompressor by magic number.
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
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
// Without TZ, some libcs look at /etc/localtime again for every time they
// format: once per member of a long listing. Naming that same file keeps
// the listing as it was and reads the file once.
constexpr const char kTarZone[] = "TZ=:/etc/localtime";

char* word(const char* s) { return const_cast<char*>(s); }

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

// Starts tar reading input, or the process's standard input for -1; with
// capture its output is read into the list. True when tar exited normally
// with status 0.
bool run_tar(char* const* tar_argv, StringList* capture, int input = -1) {
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
  ChildSpec cmd{.program = "tar", .argv = tar_argv, .stdin_fd = input,
                 .stdout_fd = out_write.get(), .unset_env = kTarOptions,
                 .set_env = kTarLocale, .default_env = kTarZone};
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

// An unlinked temporary file in TMPDIR, open for reading and writing and
// close-on-exec: O_TMPFILE, or mkstemp and unlink where the file system has
// no O_TMPFILE. -1 when neither works.
int open_unlinked_temp(void) {
  const char* dir = temp_dir();
#ifdef O_TMPFILE
  int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
#endif
  std::string path = strformat("%s/sorn-tar.XXXXXX", dir);
  int made = mkstemp(path.data());
  if (made < 0) return -1;
  unlink(path.c_str());
  fcntl(made, F_SETFD, FD_CLOEXEC);
  return made;
}

// The lines of a file that another process is still appending to, taken
// as they complete (newline cut, empty lines dropped).
class LineTail {
 public:
  explicit LineTail(int fd) : fd_(fd) {}

  // Hands each newly completed line to sink. False when nothing new was
  // there or the file could not be read (finish tells which).
  bool take(const ListingSink& sink) {
    char buf[65536];
    ssize_t n = pread(fd_, buf, sizeof buf, at_);
    if (n < 0 && errno != EINTR) failed_ = true;
    if (n <= 0) return false;
    at_ += n;
    pending_.append(buf, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
      pending_[end] = '\0';
      if (end > start) sink(pending_.c_str() + start);
    }
    pending_.erase(0, start);
    return true;
  }

  // Takes the rest once the writer is gone: the last line may lack its
  // newline. False on a read error.
  bool finish(const ListingSink& sink) {
    while (take(sink)) {
    }
    if (!pending_.empty()) sink(pending_.c_str());
    pending_.clear();
    return !failed_;
  }

 private:
  int fd_;
  off_t at_ = 0;
  std::string pending_;
  bool failed_ = false;
};

// Waits a few milliseconds, or less when the process ends meanwhile (where
// the kernel offers a descriptor for the process), so that a small package
// is not kept waiting for the end of a pause.
class ExitWatch {
 public:
  explicit ExitWatch(pid_t pid) {
#ifdef SYS_pidfd_open
    fd_.reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
#else
    (void)pid;
#endif
  }
  void pause() {
    constexpr int kMillis = 2;
    if (fd_) {
      pollfd ended{fd_.get(), POLLIN, 0};
      poll(&ended, 1, kMillis);
      return;
    }
    const timespec step{0, kMillis * 1000000L};
    nanosleep(&step, nullptr);
  }

 private:
  UniqueFd fd_;
};

}  // namespace

void archive_replay_messages(int fd) {
  char buf[kPathBuf];
  off_t at = 0;
  ssize_t n;
  while ((n = pread(fd, buf, sizeof buf, at)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    at += n;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(STDERR_FILENO, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return;
      done += w;
    }
  }
}

namespace {

// What the decompressor child of archive_decompress needs; built before
// the fork.
struct DecompressJob {
  CompressionTag tag;
  int messages_fd;  // becomes its standard error
};

// Runs in the forked child with the package as stdin and the plain file as
// stdout; returning ends it with status 127.
void decompress_child(const void* arg) {
  const auto* job = static_cast<const DecompressJob*>(arg);
  if (dup2(job->messages_fd, STDERR_FILENO) < 0) return;
  exec_decompressor(job->tag);
}

}  // namespace

int archive_decompress(const PackageFile& package) {
  UniqueFd opened;
  int input = package.fd;
  if (input < 0) {
    opened.reset(open(package.path, O_RDONLY | O_CLOEXEC));
    if (!opened) return -1;
    input = opened.get();
  }
  unsigned char head[6] = {0, 0, 0, 0, 0, 0};
  ssize_t n;
  do n = pread(input, head, sizeof head, 0);
  while (n < 0 && errno == EINTR);
  if (n < 0 || lseek(input, 0, SEEK_SET) != 0) return -1;
  CompressionTag tag = tag_of(head, static_cast<size_t>(n));
  // cat would copy the file into another; tar reads it as it is.
  if (tag == nullptr) return opened ? opened.release() : fcntl(input, F_DUPFD_CLOEXEC, 0);

  UniqueFd plain(open_unlinked_temp());
  UniqueFd messages(open_unlinked_temp());
  if (!plain || !messages) return -1;
  // The decompressor's messages wait in a file of their own: after a
  // failure the caller's first pass runs it again and shows them there, in
  // their place among tar's.
  DecompressJob job{tag, messages.get()};
  ChildSpec cmd{.stdin_fd = input, .stdout_fd = plain.get(), .exec_hook = decompress_child,
                 .exec_arg = &job};
  pid_t pid = spawn_child(cmd);
  if (pid < 0 || !child_succeeded(wait_child(pid))) return -1;
  if (lseek(plain.get(), 0, SEEK_SET) != 0) return -1;
  archive_replay_messages(messages.get());
  return plain.release();
}

bool package_is_plain(const PackageFile& package) {
  CompressionTag tag = nullptr;
  return package.fd >= 0 && rewind_package(package, &tag) >= 0 && tag == nullptr;
}

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
  if (package_file.plain) {
    if (lseek(package_file.fd, 0, SEEK_SET) != 0) {
      warn("cannot read %s", package_path);
      return -1;
    }
    return run_tar(tar_argv, capture, package_file.fd) ? 0 : -1;
  }
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

int archive_extract_listed(const PackageFile& package, const char* dir, StringList* listing,
                           int messages_fd) {
  ListingSink add;
  if (listing != nullptr) add = [listing](const char* line) { strlist_add(listing, line); };
  return archive_extract_listed(package, dir, add, messages_fd);
}

int archive_extract_listed(const PackageFile& package, const char* dir, const ListingSink& sink,
                           int messages_fd) {
  bool listed = static_cast<bool>(sink);
  UniqueFd opened;  // only a file opened here
  PackageFile input = package;
  if (input.fd < 0) {
    opened.reset(open(package.path, O_RDONLY | O_CLOEXEC));
    if (!opened) return -1;
    input.fd = opened.get();
  }
  CompressionTag tag = nullptr;
  if (rewind_package(input, &tag) < 0) return -1;
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return -1;
  UniqueFd data_read(p[0]), data_write(p[1]);
  // tar writes the listing into memory, one write per line; it is read
  // from there every few milliseconds, in large pieces, rather than
  // through a pipe that would wake this process for every line.
  UniqueFd list_fd;
  if (listed) {
    list_fd.reset(memfd_create("tar-listing", MFD_CLOEXEC));
    if (!list_fd) return -1;
  }

  // An uncompressed package is tar's input as it is.
  ChildSpec unpack{.stdin_fd = input.fd, .stdout_fd = data_write.get(),
                   .stderr_fd = messages_fd, .candidates = decompressor_candidates(tag)};
  Child decompressor(tag != nullptr ? spawn_child(unpack) : -1);
  if (tag != nullptr && !decompressor.started()) return -1;
  data_write.reset();
  // Two v's give the long listing that "tar -tv" prints; C quoting makes
  // every name one quoted string, so that a name holding " -> " or
  // " link to " still splits where tar meant it to.
  char* verbose[] = {word("tar"), word("-xvvpf"), word("-"), word("--quoting-style=c"),
                    word("-C"), const_cast<char*>(dir), nullptr};
  char* quiet[] = {word("tar"), word("-xpf"), word("-"), word("-C"), const_cast<char*>(dir), nullptr};
  ChildSpec extract{.program = "tar", .argv = listed ? verbose : quiet,
                    .stdin_fd = tag != nullptr ? data_read.get() : input.fd,
                    .stdout_fd = list_fd.get(),
                    .stderr_fd = messages_fd, .unset_env = kTarOptions, .set_env = kTarLocale,
                    .default_env = kTarZone};
  Child tar(spawn_child(extract));
  data_read.reset();  // before the decompressor is waited for
  if (!tar.started()) return -1;
  bool read_ok = true;
  if (listed) {
    LineTail tail(list_fd.get());
    ExitWatch watch(tar.pid());
    while (!tar.exited())
      if (!tail.take(sink)) watch.pause();
    read_ok = tail.finish(sink);
  }
  bool tar_ok = child_succeeded(tar.wait());
  bool decompressor_ok = tag == nullptr || child_succeeded(decompressor.wait());
  return tar_ok && decompressor_ok && read_ok ? 0 : -1;
}
