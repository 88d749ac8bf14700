// Package creation: the walk of a package directory, the archive order of
// its members, and the tar | compressor pipeline that writes the package
// file, optionally through this process so that a caller sees every byte.
#include <dirent.h>
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "archive/archive.h"

namespace {

// ---------------------------------------------------------------- compressors

constexpr const char* kPigz[] = {"pigz", nullptr};
constexpr const char* kGzip[] = {"gzip", nullptr};
constexpr const char* kZstd[] = {"zstd", "-q", "-T0", nullptr};
constexpr const char* kXz[] = {"xz", "-T0", nullptr};
constexpr const char* kLbzip2[] = {"lbzip2", nullptr};
constexpr const char* kPbzip2[] = {"pbzip2", nullptr};
constexpr const char* kBzip2[] = {"bzip2", nullptr};
constexpr const char* kPlzip[] = {"plzip", nullptr};
constexpr const char* kLzip[] = {"lzip", nullptr};

constexpr const char* const* kGzCandidates[] = {kPigz, kGzip, nullptr};
constexpr const char* const* kZstCandidates[] = {kZstd, nullptr};
constexpr const char* const* kXzCandidates[] = {kXz, nullptr};
constexpr const char* const* kBz2Candidates[] = {kLbzip2, kPbzip2, kBzip2, nullptr};
constexpr const char* const* kLzCandidates[] = {kPlzip, kLzip, nullptr};

struct Compressor {
  std::string_view tag;
  const char* name;  // in "%s failed creating package"
  const char* const* const* candidates;
};

constexpr Compressor kGzipCompressor{"gz", "gzip", kGzCandidates};
constexpr std::array<Compressor, 4> kCompressors{{
    {"xz", "xz", kXzCandidates},
    {"zst", "zstd", kZstCandidates},
    {"bz2", "bzip2", kBz2Candidates},
    {"lz", "lzip", kLzCandidates},
}};

// An exact match of the whole word; gzip for null, empty or anything else.
const Compressor& compressor_for(CompressionTag tag) {
  std::string_view word = tag != nullptr ? tag : "";
  for (const Compressor& c : kCompressors)
    if (c.tag == word) return c;
  return kGzipCompressor;
}

// tar reads extra options from TAR_OPTIONS; none may change the archive.
// Unlike the reading side, this tar keeps the caller's locale: it lists
// nothing, it archives each name's bytes under any locale, and the UTF-8
// locale costs it an eighth more time on a tree of 20,000 files.
constexpr const char kTarOptions[] = "TAR_OPTIONS";

// Largest piece of compressed output handled at once, and the list feed's
// buffer (which always holds at least one whole line of kPathBuf + 1 bytes).
constexpr size_t kChunk = 65536;

// ---------------------------------------------------------------- the walk

// The member collection: only one package_create runs in a process.
struct PackageTree {
  const char* package_dir;
  PackageMember* members;
  size_t count;
  size_t capacity;
};
PackageTree package_tree;

constexpr size_t kFirstCapacity = 256;

// A member that cannot be stored ends the program with the allocator's
// message: a package silently missing a file would be worse.
void add_member(const std::string& path, mode_t mode) {
  PackageTree& t = package_tree;
  if (t.count == t.capacity) {
    size_t grown = t.capacity == 0 ? kFirstCapacity : t.capacity * 2;
    t.members = static_cast<PackageMember*>(must_realloc(t.members, grown * sizeof(PackageMember)));
    t.capacity = grown;
  }
  t.members[t.count++] = PackageMember{must_strdup(path.c_str()), mode};
}

void reset_package_tree() {
  PackageTree& t = package_tree;
  for (size_t i = 0; i < t.count; i++) free(t.members[i].path);
  free(t.members);
  t = PackageTree{};
}

// Clears the collection whichever way package_create returns.
struct PackageTreeReset {
  PackageTreeReset() = default;
  PackageTreeReset(const PackageTreeReset&) = delete;
  PackageTreeReset& operator=(const PackageTreeReset&) = delete;
  ~PackageTreeReset() { reset_package_tree(); }
};

using DirPtr = std::unique_ptr<DIR, FreeWith<closedir>>;

// Records every entry of the open directory dir_fd (taken over), which is
// prefix below the package directory ("" for the directory itself):
// directories with a trailing "/" and walked in turn, links not followed.
// Everything is opened relative to its directory, which spares the kernel a
// walk of the whole path per entry. false when a directory cannot be opened
// or read, an entry cannot be examined or a path does not fit kPathBuf.
bool collect_package_tree(const std::string& prefix, int dir_fd) {
  DirPtr d(fdopendir(dir_fd));
  if (!d) {
    close(dir_fd);
    return false;
  }
  size_t dir_len = strlen(package_tree.package_dir) + (prefix.empty() ? 0 : 1 + prefix.size());
  for (;;) {
    errno = 0;
    const dirent* e = readdir(d.get());
    if (e == nullptr) return errno == 0;
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    std::string rel = prefix.empty() ? e->d_name : prefix + "/" + e->d_name;
    // A cut path would name another file (or none): refuse it instead.
    if (dir_len + 1 + strlen(e->d_name) >= kPathBuf || rel.size() + 1 >= kPathBuf) return false;
    // Only the type orders a member, and the directory reports it for
    // nearly every entry: one stat call per file saved, the walk being the
    // only part of packing that runs before tar starts.
    mode_t mode = DTTOIF(e->d_type);
    if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(dirfd(d.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
      mode = st.st_mode;
    }
    if (S_ISDIR(mode)) {
      add_member(rel + "/", mode);
      int sub = openat(dirfd(d.get()), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0 || !collect_package_tree(rel, sub)) return false;
    } else {
      add_member(rel, mode);
    }
  }
}

// The length of everything up to and including the last "/".
size_t directory_part(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
}

int kind_rank(mode_t mode) {
  if (S_ISDIR(mode)) return 0;
  if (S_ISLNK(mode)) return 2;
  return 1;
}

int sign(int v) { return (v > 0) - (v < 0); }

// The first member whose name holds a newline: tar reads one name a line.
const PackageMember* member_with_newline() {
  for (size_t i = 0; i < package_tree.count; i++)
    if (strchr(package_tree.members[i].path, '\n') != nullptr) return &package_tree.members[i];
  return nullptr;
}

// ---------------------------------------------------------------- the pipes

// Keeps SIGPIPE from ending this process while it writes to tar: a write to
// a tar that has gone fails with EPIPE instead. A SIGPIPE raised meanwhile
// is consumed, the caller's mask restored.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;
  ~SigpipeBlock() {
    sigset_t pending;
    if (!was_pending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      struct timespec zero{};
      sigtimedwait(&pipe_, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }

 private:
  sigset_t pipe_, old_;
  bool was_pending_ = false;
};

// Removes the package file on every failure after it was created, so that
// no partial file is later taken for a package. Only the regular file this
// operation opened goes: a device given as the target (or a file that
// replaced it meanwhile) stays.
class TargetFile {
 public:
  TargetFile(const char* path, int fd) : path_(path) {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      removable_ = true;
      dev_ = st.st_dev;
      ino_ = st.st_ino;
    }
  }
  TargetFile(const TargetFile&) = delete;
  TargetFile& operator=(const TargetFile&) = delete;
  ~TargetFile() {
    struct stat st;
    if (removable_ && lstat(path_, &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
      unlink(path_);
  }
  void keep() { removable_ = false; }

 private:
  const char* path_;
  bool removable_ = false;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

// Writes all of buf, retrying after interruptions. false on an error.
bool write_all(int fd, const void* buf, size_t len) {
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// The member list as tar reads it, formatted "%s\n" into a buffer one batch
// of whole lines at a time.
class ListFeed {
 public:
  ListFeed() : buf_(std::make_unique<char[]>(kChunk)) {}
  bool finished() const { return start_ == end_ && next_ == package_tree.count; }
  // The unwritten rest of the current batch, refilled when it is used up.
  std::string_view pending() {
    if (start_ == end_) refill();
    return std::string_view(buf_.get() + start_, end_ - start_);
  }
  void consumed(size_t n) { start_ += n; }

 private:
  void refill() {
    start_ = end_ = 0;
    while (next_ < package_tree.count) {
      const char* path = package_tree.members[next_].path;
      size_t len = strlen(path);
      if (end_ + len + 1 > kChunk) break;
      memcpy(buf_.get() + end_, path, len);
      buf_[end_ + len] = '\n';
      end_ += len + 1;
      next_++;
    }
  }

  std::unique_ptr<char[]> buf_;
  size_t start_ = 0, end_ = 0, next_ = 0;
};

// Feeds the list with blocking writes; a failed write (tar has gone) only
// ends the feed, and tar's exit status tells the rest.
void feed_list(UniqueFd& list) {
  ListFeed feed;
  while (!feed.finished()) {
    std::string_view part = feed.pending();
    if (!write_all(list.get(), part.data(), part.size())) break;
    feed.consumed(part.size());
  }
  list.reset();
}

// Feeds the list and drains the compressor's output in one poll loop, so
// this process never blocks on the list while the compressor waits for its
// output to be read (tar would then wait on the compressor). Each chunk goes
// to the observer, then to the target file. false after a reported failure.
bool feed_and_observe(UniqueFd& list, UniqueFd& output, int target_fd, const char* target,
                      PackageObserver observer, void* user_data) {
  ListFeed feed;
  auto chunk = std::make_unique<unsigned char[]>(kChunk);
  int flags = fcntl(list.get(), F_GETFL);
  if (flags < 0 || fcntl(list.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
    warn("fcntl");
    return false;
  }
  while (list || output) {
    std::array<pollfd, 2> fds{{{list.get(), POLLOUT, 0}, {output.get(), POLLIN, 0}}};
    // A negative descriptor is ignored by poll: a finished side drops out.
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      warn("poll");
      return false;
    }
    if (list && fds[0].revents != 0) {
      if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        list.reset();
      } else {
        std::string_view part = feed.pending();
        ssize_t n = write(list.get(), part.data(), part.size());
        if (n > 0) feed.consumed(static_cast<size_t>(n));
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) list.reset();
        else if (feed.finished()) list.reset();
      }
    }
    if (output && fds[1].revents != 0) {
      ssize_t n = read(output.get(), chunk.get(), kChunk);
      if (n > 0) {
        observer(chunk.get(), static_cast<size_t>(n), user_data);
        if (!write_all(target_fd, chunk.get(), static_cast<size_t>(n))) {
          warn("write %s", target);
          return false;
        }
      } else if (n == 0) {
        output.reset();
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        warn("read from compressor");
        return false;
      }
    }
  }
  return true;
}

bool killed_by_sigpipe(int status) {
  return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE;
}

// Both children have been started; runs the feed (and the observer loop),
// waits for both and reports. 0 / -1.
int finish_pipeline(Child& tar, Child& compressor, UniqueFd& list, UniqueFd& output,
                    UniqueFd& target_fd, const char* target, const Compressor& comp,
                    PackageObserver observer, void* user_data) {
  bool loop_ok = true;
  {
    SigpipeBlock no_sigpipe;
    if (observer == nullptr) {
      target_fd.reset();  // the compressor writes it
      feed_list(list);
    } else {
      loop_ok = feed_and_observe(list, output, target_fd.get(), target, observer, user_data);
      list.reset();
      output.reset();  // a compressor still writing gets a broken pipe
    }
  }
  // Closing a file of a remote or full file system can report a lost write.
  if (target_fd && close(target_fd.release()) != 0 && loop_ok) {
    warn("write %s", target);
    loop_ok = false;
  }
  reset_package_tree();
  int tar_status = tar.wait();
  int comp_status = compressor.wait();
  if (!loop_ok) return -1;
  if (!child_succeeded(tar_status)) {
    // A tar killed by a broken archive pipe has lost its compressor, whose
    // failure is the cause worth naming.
    if (killed_by_sigpipe(tar_status) && !child_succeeded(comp_status))
      warnx("%s failed creating package", comp.name);
    else
      warnx("tar failed creating package");
    return -1;
  }
  if (!child_succeeded(comp_status)) {
    warnx("%s failed creating package", comp.name);
    return -1;
  }
  return 0;
}

// Makes a close-on-exec pipe into two owned ends. false with errno set.
bool make_pipe(UniqueFd& read_end, UniqueFd& write_end) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return false;
  read_end.reset(p[0]);
  write_end.reset(p[1]);
  return true;
}

}  // namespace

int compare_package_members(const void* a, const void* b) {
  const auto* x = static_cast<const PackageMember*>(a);
  const auto* y = static_cast<const PackageMember*>(b);
  size_t dx = directory_part(x->path), dy = directory_part(y->path);
  // memcmp compares as unsigned bytes.
  int c = memcmp(x->path, y->path, dx < dy ? dx : dy);
  if (c != 0) return sign(c);
  if (dx != dy) return dx < dy ? -1 : 1;
  int kx = kind_rank(x->mode), ky = kind_rank(y->mode);
  if (kx != ky) return kx < ky ? -1 : 1;
  return sign(strcmp(x->path, y->path));
}

void exec_compressor(CompressionTag tag) {
  for (const char* const* const* c = compressor_for(tag).candidates; *c != nullptr; c++)
    execvp((*c)[0], const_cast<char* const*>(*c));
}

int package_create(const char* target, const char* package_dir, CompressionTag tag,
                   PackageObserver observer, void* user_data) {
  const Compressor& comp = compressor_for(tag);
  PackageTreeReset clear_tree;
  package_tree.package_dir = package_dir;
  log_note("compressing package");
  int top = open(package_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top < 0 || !collect_package_tree("", top)) {
    warnx("cannot read package directory: %s", package_dir);
    return -1;
  }
  if (package_tree.count == 0) {
    warnx("empty package directory: %s", package_dir);
    return -1;
  }
  qsort(package_tree.members, package_tree.count, sizeof(PackageMember), compare_package_members);
  if (const PackageMember* m = member_with_newline()) {
    std::string_view name = m->path;
    if (name.ends_with('/')) name.remove_suffix(1);
    warnx("cannot package a name with a newline: %.*s", static_cast<int>(name.size()), name.data());
    return -1;
  }

  UniqueFd target_fd(open(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!target_fd) {
    warn("cannot create %s", target);
    return -1;
  }
  TargetFile created(target, target_fd.get());
  UniqueFd list_read, list_write, archive_read, archive_write, output_read, output_write;
  if (!make_pipe(list_read, list_write) || !make_pipe(archive_read, archive_write) ||
      (observer != nullptr && !make_pipe(output_read, output_write))) {
    warn("pipe");
    return -1;
  }

  // "--verbatim-files-from": a name beginning with "-" is a name, not an
  // option ("-C/etc" or "--checkpoint-action=exec=..." in a package).
  const char* tar_argv[] = {"tar", "--no-recursion", "--verbatim-files-from", "-cf", "-",
                            "-C", package_dir, "-T", "-", nullptr};
  ChildSpec tar_cmd{.program = "tar", .argv = const_cast<char* const*>(tar_argv),
                    .stdin_fd = list_read.get(), .stdout_fd = archive_write.get(),
                    .unset_env = kTarOptions};
  Child tar(spawn_child(tar_cmd));
  ChildSpec comp_cmd{.stdin_fd = archive_read.get(),
                     .stdout_fd = observer != nullptr ? output_write.get() : target_fd.get(),
                     .candidates = comp.candidates};
  Child compressor(tar.started() ? spawn_child(comp_cmd) : -1);
  int fork_errno = errno;
  // Only the children hold these now; tar sees the list end when this
  // process closes its end, the compressor the archive end when tar exits.
  list_read.reset();
  archive_read.reset();
  archive_write.reset();
  output_write.reset();
  if (!tar.started() || !compressor.started()) {
    list_write.reset();  // before tar is waited for
    errno = fork_errno;
    warn("fork");
    return -1;
  }
  if (finish_pipeline(tar, compressor, list_write, output_read, target_fd, target, comp,
                      observer, user_data) != 0)
    return -1;
  created.keep();
  return 0;
}
