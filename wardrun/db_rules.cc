// Read rules from the package database: one streaming pass over "db" that
// keeps only the current record's name, without the lock the writers take
// (they replace the file by a rename, so one whole version is read).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "wardrun/wardrun.h"

const char* const base_packages[kBaseCount] = {
    "llvm",      "libffi",    "libedit",   "ncurses",  "libxml2",  "musl",
    "linux-headers", "mawk",  "bash",      "dash",     "coreutils", "gmp",
    "tar",       "acl",       "attr",      "libcap2",  "grep",     "pcre2",
    "sed",       "gzip",      "xz",        "bzip2",    "zstd",     "findutils",
    "diffutils", "patch",     "file",      "make",     "autoconf", "automake",
    "libtool",   "m4",        "perl",      "sorn",     "pkgconf",  "libressl",
    "signify-openbsd", "zlib", "readline",
};

namespace {

constexpr size_t kLineMax = kPathMax - 1;  // bytes of a line that are kept
constexpr size_t kNameMax = 255;           // bytes of a record name

// Lines of the database, each without its "\n". A line longer than kLineMax
// stays one line: its first kLineMax bytes are kept and it is marked
// overlong, so its tail can never pass for a path or a record of its own.
class DbLineReader {
 public:
  explicit DbLineReader(int fd) : fd_(fd) {}

  bool next(std::string_view* line, bool* overlong) {
    size_t kept = 0;
    bool any = false;
    *overlong = false;
    for (;;) {
      if (pos_ == len_ && !fill()) {
        if (!any) return false;  // end of file
        break;                   // a last line without "\n"
      }
      any = true;
      const char* start = buf_ + pos_;
      size_t avail = len_ - pos_;
      const char* nl = static_cast<const char*>(memchr(start, '\n', avail));
      size_t n = nl != nullptr ? static_cast<size_t>(nl - start) : avail;
      if (nl != nullptr && kept == 0 && !*overlong) {  // the whole line is in the buffer
        pos_ += n + 1;
        *overlong = n > kLineMax;
        *line = std::string_view(start, *overlong ? kLineMax : n);
        return true;
      }
      size_t take = n < kLineMax - kept ? n : kLineMax - kept;
      memcpy(line_ + kept, start, take);
      kept += take;
      if (take < n) *overlong = true;
      pos_ += n + (nl != nullptr ? 1 : 0);
      if (nl != nullptr) break;
    }
    *line = std::string_view(line_, kept);
    return true;
  }

 private:
  // A read error ends the pass like the end of the file: the build then
  // gets fewer rules, never more.
  bool fill() {
    ssize_t n;
    do n = read(fd_, buf_, sizeof buf_);
    while (n < 0 && errno == EINTR);
    pos_ = 0;
    len_ = n > 0 ? static_cast<size_t>(n) : 0;
    return len_ > 0;
  }

  int fd_;
  size_t pos_ = 0, len_ = 0;
  char buf_[1 << 16];
  char line_[kLineMax];
};

struct FreeFound {
  void operator()(bool* p) const noexcept { free(p); }
};

}  // namespace

bool db_file_path(char* buf, size_t size) {
  const char* dir = getenv("PKG_DBDIR");
  if (dir == nullptr || dir[0] != '/') dir = "/var/lib/pkg";  // no root applies
  int n = snprintf(buf, size, "%s/db", dir);
  return n >= 0 && static_cast<size_t>(n) < size;
}

int add_db_rules(int ruleset, const char* const* names, int count, int base_count) {
  char file[kPathMax];
  int fd = -1;
  // A cut path would name another file: too long is as good as missing.
  if (!db_file_path(file, sizeof file))
    errno = ENAMETOOLONG;
  else
    fd = open(file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int saved = errno;
    fprintf(stderr, "sorn: error: warden: cannot open db '%s': %s\n", file, strerror(saved));
    return -1;
  }
  std::unique_ptr<bool, FreeFound> found;
  if (count > 0) {
    found.reset(static_cast<bool*>(calloc(static_cast<size_t>(count), sizeof(bool))));
    if (!found) {
      int saved = errno;
      fprintf(stderr, "sorn: error: warden: calloc: %s\n", strerror(saved));
      close(fd);
      return -1;
    }
  }

  DbLineReader reader(fd);  // 68 KiB on the stack: no allocation per run
  RuleFds rule_fds;
  enum class Expect { kName, kVersion, kPath } expect = Expect::kName;
  char name[kNameMax + 1] = "";
  bool matched = false;
  int first = -1;
  int rules = 0;
  std::string_view line;
  bool overlong;
  while (reader.next(&line, &overlong)) {
    // A line ends at a NUL byte, as it does for the library's loader and for
    // every path built from it: "/" and a path line of "\0..." would
    // otherwise ask for a rule on "/" itself.
    if (size_t nul = line.find('\0'); nul != std::string_view::npos) {
      line = line.substr(0, nul);
      overlong = false;
    }
    if (line.empty()) {  // the end of a record
      name[0] = '\0';
      matched = false;
      first = -1;
      expect = Expect::kName;
      continue;
    }
    if (expect == Expect::kName) {
      size_t n = line.size() < kNameMax ? line.size() : kNameMax;
      memcpy(name, line.data(), n);
      name[n] = '\0';
      // A longer name is some other package: its cut form must not match.
      if (line.size() <= kNameMax) {
        for (int i = 0; i < count; i++) {
          if (strcmp(name, names[i]) != 0) continue;
          found.get()[i] = true;
          if (!matched) first = i;
          matched = true;
        }
      }
      expect = Expect::kVersion;
      continue;
    }
    if (expect == Expect::kVersion) {  // not looked at
      expect = Expect::kPath;
      continue;
    }
    // "/" + the line must fit whole; a cut path would name another file,
    // and a longer one cannot be opened anyway.
    if (!matched || overlong || line.size() + 1 > kLineMax) continue;
    char path[kPathMax];
    path[0] = '/';
    memcpy(path + 1, line.data(), line.size());
    size_t len = line.size() + 1;
    path[len] = '\0';
    uint64_t access;
    if (len > 1 && path[len - 1] == '/') {
      path[--len] = '\0';
      access = LANDLOCK_ACCESS_FS_READ_DIR;
    } else {
      access = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE;
      struct stat st;
      if (first >= base_count && stat(path, &st) != 0 && errno == ENOENT) {
        fprintf(stderr, "sorn: warning: warden: dep '%s' missing: %s\n", name, path);
        continue;
      }
    }
    bool added;
    if (add_path_rule(ruleset, path, access, &added, &rule_fds) != 0) {
      int saved = errno;
      fprintf(stderr, "sorn: error: warden: ll_add_path '%s': %s\n", path, strerror(saved));
      close(fd);
      return -1;
    }
    if (added) rules++;
  }
  close(fd);

  if (found) {
    for (int i = 0; i < base_count && i < count; i++)
      if (!found.get()[i])
        fprintf(stderr, "sorn: warning: warden: base package '%s' not in db (renamed? removed?)\n",
                names[i]);
    int missing = 0;
    for (int i = base_count; i < count; i++) {
      if (found.get()[i]) continue;
      fprintf(stderr, "sorn: error: warden: dep '%s' not installed\n", names[i]);
      missing++;
    }
    if (missing > 0) return -1;
  }
  fprintf(stderr, "sorn: warden: %d rules added from sorn db\n", rules);
  return 0;
}
