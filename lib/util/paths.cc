// String and path helpers.
#include <dirent.h>
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "util/util.h"

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Deeper trees are left to rm, so that the walk holds few descriptors.
constexpr int kRemoveDepth = 64;

bool remove_in(int dir_fd, const char* name, unsigned char type, int depth);

// Removes everything in the directory open at fd (which it closes). The
// listing's types spare a stat per entry. Passes go on until one finds
// nothing to remove, since entries may shift while a directory shrinks.
bool empty_dir(int fd, int depth) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return false;
  }
  bool removed, failed;
  do {
    removed = failed = false;
    rewinddir(dir);
    while (const dirent* e = readdir(dir)) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      if (remove_in(dirfd(dir), e->d_name, e->d_type, depth))
        removed = true;
      else
        failed = true;
    }
  } while (removed);
  closedir(dir);
  return !failed;
}

bool remove_in(int dir_fd, const char* name, unsigned char type, int depth) {
  if (type != DT_DIR) {
    if (unlinkat(dir_fd, name, 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR || type != DT_UNKNOWN) return false;
  }
  if (depth >= kRemoveDepth) return false;
  int fd = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  if (!empty_dir(fd, depth + 1)) return false;
  return unlinkat(dir_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

// A directory's entries: the others go at once, the subdirectories are
// added to subdirs as (dir_fd, name). False when the directory cannot be
// read.
bool take_level(int dir_fd, std::vector<std::pair<int, std::string>>& subdirs) {
  int fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    return false;
  }
  while (const dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (e->d_type == DT_DIR || (unlinkat(dir_fd, e->d_name, 0) != 0 && errno == EISDIR))
      subdirs.emplace_back(dir_fd, e->d_name);
  }
  closedir(dir);
  return true;
}

// Subdirectories in hand before threads share out the work, and the levels
// read to find them.
constexpr size_t kShareAt = 8;
constexpr int kShareLevels = 6;

// Removes most of a wide tree below the directory open at top_fd with a few
// threads: the top levels are read breadth first until enough
// subdirectories are in hand, then the threads take whole ones of those off
// one list. The plain walk after removes what is left: the levels read
// here, and whatever a thread could not remove.
void share_removal(int top_fd) {
  unsigned threads = std::min(std::thread::hardware_concurrency(), 4u);
  if (threads < 2) return;
  std::vector<UniqueFd> opened;
  std::vector<std::pair<int, std::string>> level;
  if (!take_level(top_fd, level)) return;
  int depth = 1;
  for (; level.size() < kShareAt && !level.empty() && depth < kShareLevels; depth++) {
    std::vector<std::pair<int, std::string>> next;
    for (const auto& [parent, name] : level) {
      int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) continue;
      opened.emplace_back(fd);
      take_level(fd, next);
    }
    level = std::move(next);
  }
  if (level.size() < kShareAt) return;
  std::atomic<size_t> taken{0};
  auto work = [&] {
    for (size_t i; (i = taken++) < level.size();)
      remove_in(level[i].first, level[i].second.c_str(), DT_DIR, depth);
  };
  std::vector<std::thread> helpers;
  try {
    while (helpers.size() + 1 < threads) helpers.emplace_back(work);
  } catch (const std::system_error&) {
    // Fewer helpers, or none: the work is the same.
  }
  work();
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace

char* trim_space(char* str) {
  if (str == nullptr) return nullptr;
  while (is_space(*str)) str++;
  size_t len = strlen(str);
  while (len > 0 && is_space(str[len - 1])) str[--len] = '\0';
  return str;
}

bool has_prefix(const char* str, const char* prefix) {
  if (str == nullptr || prefix == nullptr) return false;
  return strncmp(str, prefix, strlen(prefix)) == 0;
}

bool has_suffix(const char* str, const char* suffix) {
  if (str == nullptr || suffix == nullptr) return false;
  size_t n = strlen(str);
  size_t m = strlen(suffix);
  return n >= m && memcmp(str + n - m, suffix, m) == 0;
}

size_t split_fields(std::string_view text, char sep, std::string_view* fields,
                    size_t max_fields) {
  size_t count = 0;
  while (count + 1 < max_fields) {
    size_t at = text.find(sep);
    if (at == std::string_view::npos) break;
    fields[count++] = text.substr(0, at);
    text.remove_prefix(at + 1);
  }
  fields[count++] = text;
  return count;
}

char* root_path(const char* root, const char* rel) {
  if (root == nullptr || *root == '\0') return must_strdup(rel != nullptr ? rel : "");
  if (rel == nullptr || *rel == '\0') return must_strdup(root);
  size_t rlen = strlen(root);
  size_t plen = strlen(rel);
  bool joined = root[rlen - 1] == '/' || rel[0] == '/';
  char* out = static_cast<char*>(must_malloc(rlen + plen + 2));
  memcpy(out, root, rlen);
  size_t at = rlen;
  if (!joined) out[at++] = '/';
  memcpy(out + at, rel, plen + 1);
  return out;
}

int make_dirs(const char* path, mode_t mode) {
  if (path == nullptr || *path == '\0') {
    errno = EINVAL;
    return -1;
  }
  std::string p(path);
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  for (size_t i = 1; i < p.size(); i++) {
    if (p[i] != '/') continue;
    p[i] = '\0';
    if (mkdir(p.c_str(), mode) != 0 && errno != EEXIST) return -1;
    p[i] = '/';
  }
  if (mkdir(p.c_str(), mode) != 0 && errno != EEXIST) return -1;
  return 0;
}

bool entry_exists(const char* path) {
  struct stat st;
  return path != nullptr && lstat(path, &st) == 0;
}

int remove_tree(const char* path) {
  if (path == nullptr || *path == '\0') return 0;
  struct stat st;
  if (lstat(path, &st) != 0) return errno == ENOENT ? 0 : -1;
  if (!S_ISDIR(st.st_mode)) return remove(path) == 0 ? 0 : -1;
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) share_removal(fd);
  if (fd >= 0 && empty_dir(fd, 0) && (rmdir(path) == 0 || errno == ENOENT)) return 0;

  // The walk stopped (a read-only or unreadable subtree, a very deep one):
  // rm -rf may still get further, for example after permissions that it
  // can work with.
  char arg0[] = "rm", arg1[] = "-rf";
  char* argv[] = {arg0, arg1, const_cast<char*>(path), nullptr};
  ChildSpec cmd;
  cmd.program = "/bin/rm";
  cmd.argv = argv;
  pid_t pid = spawn_child(cmd);
  if (pid < 0) return -1;
  return child_succeeded(wait_child(pid)) ? 0 : -1;
}

const char* choose_root(const char* root_arg, const char* pkg_root_env) {
  const char* root = root_arg != nullptr ? root_arg : pkg_root_env;
  return root == nullptr || *root == '\0' ? "/" : root;
}

bool path_is_unsafe(const char* path) {
  if (path == nullptr) return false;
  size_t len = strlen(path);
  if (len >= kPathBuf - 1 || path[0] == '/') return true;
  for (const char* c = path; c != nullptr; c = strchr(c, '/')) {
    if (*c == '/') c++;
    if (c[0] == '.' && c[1] == '.' && (c[2] == '/' || c[2] == '\0')) return true;
  }
  return false;
}

const char* temp_dir(void) {
  const char* dir = getenv("TMPDIR");
  return (dir != nullptr && *dir != '\0') ? dir : "/tmp";
}

void flush_file_systems(const char* root, const StringList* paths) {
  std::unordered_set<std::string> tops{""};
  for (uint64_t i = 0; paths != nullptr && i < paths->in_use; i++)
    if (const char* path = paths->strings[i]) tops.emplace(path, strcspn(path, "/"));
  std::vector<dev_t> done;
  for (const std::string& top : tops) {
    CharPtr full(root_path(root, top.c_str()));
    UniqueFd fd(open(full.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0) continue;
    if (std::find(done.begin(), done.end(), st.st_dev) != done.end()) continue;
    done.push_back(st.st_dev);
    syncfs(fd.get());
  }
}

int copy_regular_file(const char* from, const char* to, mode_t mode) {
  UniqueFd in(open(from, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in) return -1;
  UniqueFd out(open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out) return -1;
  std::string buf(1 << 16, '\0');
  for (;;) {
    ssize_t n = read(in.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out.get(), buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return -1;
      done += w;
    }
  }
  if (fchmod(out.get(), mode) != 0) return -1;
  return close(out.release());
}
