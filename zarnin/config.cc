#include "zarnin/config.h"

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/archive.h"

namespace {

constexpr mode_t kPermissionBits = 0xfff;
constexpr size_t kCopyChunk = 65536;

bool is_config_path(const char* path) { return has_prefix(path, "etc/"); }

bool is_config_file(const char* path) { return is_config_path(path) && !has_suffix(path, "/"); }

// Writes all of buf, continuing after short and interrupted writes.
int write_all(int fd, const char* buf, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, buf, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    buf += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int copy_bytes(int in, int out) {
  std::string buf(kCopyChunk, '\0');
  for (;;) {
    ssize_t n = read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return 0;
    if (write_all(out, buf.data(), static_cast<size_t>(n)) != 0) return -1;
  }
}

// A staged symbolic link stays a link; copying what it points at would read
// a file outside the package (and outside the root).
int copy_link(const char* source, const char* target) {
  std::string dest(kPathBuf, '\0');
  ssize_t n = readlink(source, dest.data(), dest.size() - 1);
  if (n < 0) return -1;
  dest.resize(static_cast<size_t>(n));
  return symlink(dest.c_str(), target);
}

// The copy of a regular file when rename cannot cross file systems. The
// target gets exactly the source's permission bits, whatever the umask.
int copy_across(const char* source, const char* target) {
  struct stat st;
  if (lstat(source, &st) != 0) return -1;
  if (S_ISLNK(st.st_mode)) return copy_link(source, target);
  // O_NONBLOCK so that a fifo is refused below instead of hanging the open.
  UniqueFd in(open(source, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!in || fstat(in.get(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  mode_t mode = st.st_mode & kPermissionBits;
  UniqueFd out(open(target, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!out) return -1;
  int copied = copy_bytes(in.get(), out.get());
  if (copied == 0) {
    fchmod(out.get(), mode);
    copied = close(out.release());
  }
  if (copied != 0) {
    int saved = errno;
    out.reset();
    unlink(target);
    errno = saved;
    return -1;
  }
  in.reset();
  unlink(source);
  return 0;
}

}  // namespace

StringList* config_keep_list(const char* root, const StringList* members) {
  StringList* keep = strlist_new();
  for (uint64_t i = 0; i < members->in_use; i++) {
    const char* path = members->strings[i];
    if (!is_config_path(path)) continue;
    CharPtr full(root_path(root, path));
    if (access(full.get(), F_OK) == 0) strlist_add(keep, path);
  }
  return keep;
}

StringList* config_existing(const char* root, const StringList* members, StringList* keep) {
  StringList* existing = strlist_new();
  RootGuard guard(root);
  for (uint64_t i = 0; i < members->in_use; i++) {
    const char* path = members->strings[i];
    if (path == nullptr || !is_config_file(path)) continue;
    CharPtr full(root_path(root, path));
    if (!entry_exists(full.get())) continue;
    if (guard.parent_inside(path)) {
      strlist_add(existing, path);
      continue;
    }
    warnx("skipping unsafe path: %s", path);
    strlist_add(keep, path);
  }
  return existing;
}

void config_report_staged(const char* root, const StringList* staged) {
  bool header_done = false;
  for (uint64_t i = 0; i < staged->in_use; i++) {
    const char* path = staged->strings[i];
    std::string target = strformat("%s/%s.new", root, path);
    CharPtr current(root_path(root, path));
    if (config_same_file(target.c_str(), current.get())) {
      unlink(target.c_str());
      continue;
    }
    if (!header_done) {
      fputs("zarnin: config: staged\n", stderr);
      header_done = true;
    }
    fprintf(stderr, "%s.new\n", path);
  }
}

void config_keep_orphan(const char* root, const char* path) {
  CharPtr full(root_path(root, path));
  if (entry_exists(full.get()))
    fprintf(stderr, "zarnin: notice: keeping orphaned config: %s\n", path);
}

void config_stale_new(const char* root, const StringList* installed, const StringList* members,
                      std::vector<std::string>& unlinks, std::vector<std::string>& unsafe) {
  RootGuard guard(root);
  for (uint64_t i = 0; i < installed->in_use; i++) {
    const char* path = installed->strings[i];
    // A directory has no staged copy; "<dir>/.new" would be someone's file.
    if (!is_config_file(path) || strlist_contains(members, path)) continue;
    if (guard.parent_inside(path))
      unlinks.push_back(strformat("%s/%s.new", root, path));
    else
      unsafe.emplace_back(path);
  }
}

void config_remove_stale_new(const char* root, const StringList* installed,
                             const StringList* members) {
  std::vector<std::string> unlinks, unsafe;
  config_stale_new(root, installed, members, unlinks, unsafe);
  for (const std::string& path : unsafe) warnx("skipping unsafe path: %s", path.c_str());
  for (const std::string& staged : unlinks) unlink(staged.c_str());
}

int config_move_staged(const char* source, const char* target) {
  if (rename(source, target) == 0) return 0;
  if (errno != EXDEV) return -1;
  return copy_across(source, target);
}
