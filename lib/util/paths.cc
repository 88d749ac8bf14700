// String and path helpers.
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "util/util.h"

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// At most this many descriptors are held open by the nftw walk.
constexpr int kWalkDescriptors = 64;

int remove_entry(const char* path, const struct stat*, int type, struct FTW*) {
  int r = (type == FTW_DP) ? rmdir(path) : remove(path);
  // Something else may have removed it meanwhile.
  if (r != 0 && errno == ENOENT) return 0;
  return r == 0 ? 0 : -1;
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
  int walked = nftw(path, remove_entry, kWalkDescriptors, FTW_DEPTH | FTW_PHYS);
  if (walked == 0) return 0;

  // The walk stopped (a read-only or unreadable subtree, say): rm -rf may
  // still get further, for example after permissions that it can work with.
  char arg0[] = "rm", arg1[] = "-rf";
  char* argv[] = {arg0, arg1, const_cast<char*>(path), nullptr};
  ChildSpec cmd;
  cmd.program = "/bin/rm";
  cmd.argv = argv;
  pid_t pid = spawn_child(cmd);
  if (pid < 0) return walked;
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
