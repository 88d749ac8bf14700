// Whether paths named relative to an installation root stay inside it as
// the root stands: an image root may hold links such as "var/run -> /run"
// that would take a write on the running system's own files.
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "util/util.h"

namespace {

// As many links as the kernel follows in one resolution.
constexpr int kMaxLinks = 40;
// RESOLVE_BENEATH gives EAGAIN when a rename elsewhere raced the walk.
constexpr int kRaceRetries = 8;

#ifndef SYS_openat2
#define SYS_openat2 437
#endif

int sys_openat2(int dirfd, const char* path, const open_how* how) {
  return static_cast<int>(syscall(SYS_openat2, dirfd, path, how, sizeof *how));
}

void split_into(std::string_view path, std::deque<std::string>& out, bool front) {
  std::vector<std::string> parts;
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  if (front)
    out.insert(out.begin(), parts.begin(), parts.end());
  else
    out.insert(out.end(), parts.begin(), parts.end());
}

// The lstat walk: resolves rel the way openat2 with RESOLVE_BENEATH and
// O_DIRECTORY does, with every path handed to the kernel made only of real
// directories, so that the kernel follows no link of its own.
int walk_beneath(int root_fd, const char* rel) {
  std::deque<std::string> todo;
  split_into(rel, todo, false);
  std::string done;  // real directories only, relative to root_fd
  std::vector<size_t> marks;  // where each component of done begins
  int links = 0;
  bool is_dir = true;
  while (!todo.empty()) {
    std::string part = std::move(todo.front());
    todo.pop_front();
    if (!is_dir) return ENOTDIR;
    if (part == "..") {
      if (marks.empty()) return EXDEV;
      done.resize(marks.back() == 0 ? 0 : marks.back() - 1);
      marks.pop_back();
      continue;
    }
    std::string path = done.empty() ? part : done + "/" + part;
    struct stat st;
    if (fstatat(root_fd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return ELOOP;
      std::string target(kPathBuf, '\0');
      ssize_t n = readlinkat(root_fd, path.c_str(), target.data(), target.size());
      if (n < 0) return errno;
      if (static_cast<size_t>(n) >= target.size()) return ENAMETOOLONG;
      target.resize(static_cast<size_t>(n));
      if (target.empty()) return ENOENT;
      if (target[0] == '/') return EXDEV;
      split_into(target, todo, true);
      continue;
    }
    is_dir = S_ISDIR(st.st_mode);
    marks.push_back(done.empty() ? 0 : done.size() + 1);
    done = std::move(path);
  }
  return is_dir ? 0 : ENOTDIR;
}

bool is_running_system(const char* root) {
  return root == nullptr || *root == '\0' || strcmp(root, "/") == 0;
}

// rel without its leading and trailing slashes: it names a directory
// relative to the root whatever it begins with.
std::string_view trim_slashes(std::string_view rel) {
  while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
  while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
  return rel;
}

}  // namespace

int beneath_resolve_dir(int root_fd, const char* rel, bool walk) {
  if (walk) return walk_beneath(root_fd, rel);
  if (*rel == '\0') rel = ".";
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH;
  for (int attempt = 0;; attempt++) {
    int fd = sys_openat2(root_fd, rel, &how);
    if (fd >= 0) {
      close(fd);
      return 0;
    }
    if (errno != EAGAIN || attempt == kRaceRetries) return errno;
  }
}

RootGuard::RootGuard(const char* root) {
  if (is_running_system(root)) return;
  root_fd_.reset(open(root, O_PATH | O_DIRECTORY | O_CLOEXEC));
  // A root that does not exist yet holds nothing that could lead out.
  if (!root_fd_ && errno == ENOENT) return;
  confined_ = true;
}

bool RootGuard::dir_inside(std::string_view rel) {
  if (!confined_) return true;
  if (!root_fd_) return false;
  std::string dir(trim_slashes(rel));
  if (dir.empty()) return true;
  auto known = checked_.find(dir);
  if (known != checked_.end()) return known->second;
  bool inside = resolve(dir);
  checked_.emplace(std::move(dir), inside);
  return inside;
}

bool RootGuard::parent_inside(std::string_view rel) {
  rel = trim_slashes(rel);
  size_t slash = rel.rfind('/');
  return dir_inside(slash == std::string_view::npos ? std::string_view() : rel.substr(0, slash));
}

bool RootGuard::resolve(const std::string& dir) {
  int error = beneath_resolve_dir(root_fd_.get(), dir.c_str(), walk_);
  if (error == ENOSYS && !walk_) {  // a kernel before 5.6
    walk_ = true;
    error = beneath_resolve_dir(root_fd_.get(), dir.c_str(), true);
  }
  if (error == 0) return true;
  if (error != ENOENT && error != ENOTDIR) return false;  // leads out, loops, unreadable
  // Something on the way is missing or not a directory. That is fine (tar
  // creates or replaces it inside the root) when everything before it
  // resolves inside and the name itself is absent or a real file; a link
  // there dangles, and what it names could be made to lead out.
  if (!parent_inside(dir)) return false;
  struct stat st;
  if (fstatat(root_fd_.get(), dir.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
  return !(S_ISLNK(st.st_mode) && error == ENOENT);
}
