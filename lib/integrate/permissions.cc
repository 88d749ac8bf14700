// Permissions and capabilities: owners, modes and file capabilities that a
// package declares for its installed paths.
#include <err.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "integrate/integrate.h"

namespace {

// At most this many bytes of a permission or capability entry are used.
constexpr size_t kEntryMax = 511;
// At most this many bytes of an account file line are looked at.
constexpr size_t kAccountLine = 1023;

std::string entry_cut(const char* entry) {
  std::string_view text(entry);
  return std::string(text.substr(0, kEntryMax));
}

// A ".." component would lead out of the root that the path is joined to.
bool path_leaves_root(std::string_view path) {
  for (;;) {
    size_t slash = path.find('/');
    if (path.substr(0, slash) == "..") return true;
    if (slash == std::string_view::npos) return false;
    path.remove_prefix(slash + 1);
  }
}

// A decimal id: one or more digits, below (id_t)-1, which chown reads as
// "leave unchanged". A larger number is no id, rather than one wrapped
// round to another owner (4294967296 would become root). Sets end after
// the digits.
bool read_decimal_id(const char* text, const char** end, id_t* id) {
  constexpr unsigned long long kLimit = static_cast<id_t>(-1);
  unsigned long long value = 0;
  const char* p = text;
  for (; *p >= '0' && *p <= '9'; p++) {
    value = value * 10 + static_cast<unsigned>(*p - '0');
    if (value >= kLimit) return false;
  }
  if (p == text) return false;
  *end = p;
  *id = static_cast<id_t>(value);
  return true;
}

void permission_apply(const char* raw, const char* root, RootGuard& guard) {
  std::string entry = entry_cut(raw);
  // Split at the first three ':' only: the mode field keeps any further ':'.
  std::string_view parts[4];
  size_t count = split_fields(entry, ':', parts, 4);
  if (entry.empty() || count < 4) {
    warnx("bad permission entry: %s", entry.c_str());
    return;
  }
  const std::string field[4] = {std::string(parts[0]), std::string(parts[1]),
                                std::string(parts[2]), std::string(parts[3])};
  if (path_leaves_root(field[0]) || !guard.parent_inside(field[0])) {
    warnx("unsafe path in permission: %s", entry.c_str());
    return;
  }
  CharPtr path(root_path(root, field[0].c_str()));
  unsigned int mode;
  if (sscanf(field[3].c_str(), "%o", &mode) != 1) {
    warnx("bad mode in permission: %s", field[3].c_str());
    return;
  }
  id_t uid, gid;
  if (lookup_id(root, "etc/passwd", field[1].c_str(), &uid) != 0) {
    warnx("unknown user: %s", field[1].c_str());
    return;
  }
  if (lookup_id(root, "etc/group", field[2].c_str(), &gid) != 0) {
    warnx("unknown group: %s", field[2].c_str());
    return;
  }
  // The owner first: chown clears the set-user-ID and set-group-ID bits
  // that the mode may be about to set.
  if (lchown(path.get(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0)
    warn("chown %s:%s %s", field[1].c_str(), field[2].c_str(), path.get());
  struct stat st;
  if (lstat(path.get(), &st) == 0 && S_ISLNK(st.st_mode)) return;  // chmod would follow it
  if (chmod(path.get(), static_cast<mode_t>(mode)) != 0) warn("chmod %04o %s", mode, path.get());
}

// The path itself, when a link, would take setcap along with it.
bool is_link(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

void capability_apply(const char* raw, const char* root, RootGuard& guard) {
  std::string entry = entry_cut(raw);
  size_t colon = entry.find(':');
  if (colon == std::string::npos) {
    warnx("bad capability entry: %s (need path:caps)", entry.c_str());
    return;
  }
  std::string rel = entry.substr(0, colon);
  std::string caps = entry.substr(colon + 1);
  CharPtr path(root_path(root, rel.c_str()));
  if (path_leaves_root(rel) || !guard.parent_inside(rel) ||
      (guard.confined() && is_link(path.get()))) {
    warnx("unsafe path in capability: %s", entry.c_str());
    return;
  }
  // setcap is the running system's own, given the full path in the root.
  char arg0[] = "setcap";
  char* argv[] = {arg0, caps.data(), path.get(), nullptr};
  ChildSpec cmd;
  cmd.program = "setcap";
  cmd.argv = argv;
  cmd.status_no_exec = 1;
  int status = run_child(cmd);
  if (status == -1) return;  // no child to blame
  if (!child_succeeded(status)) warnx("setcap %s %s failed", caps.c_str(), path.get());
}

}  // namespace

int lookup_id(const char* root, const char* file, const char* name, id_t* id) {
  if (name == nullptr) return -1;
  const char* end;
  id_t number;
  // Digits only: a sign or a blank is no part of a uid.
  if (read_decimal_id(name, &end, &number) && *end == '\0') {
    *id = number;
    return 0;
  }
  bool running = root == nullptr || *root == '\0' || strcmp(root, "/") == 0;
  char path[kPathBuf];
  snprintf(path, sizeof path, "%s/%s", running ? "" : root, file);
  FILE* in = fopen(path, "re");
  if (in == nullptr) return -1;

  int result = -1;
  size_t name_len = strlen(name);
  char* line = nullptr;
  size_t cap = 0;
  ssize_t len;
  // Each line counts with its first kAccountLine bytes; the rest of a longer
  // line is never read as an account line of its own.
  while ((len = getline(&line, &cap, in)) >= 0) {
    if (static_cast<size_t>(len) > kAccountLine) line[kAccountLine] = '\0';
    if (strncmp(line, name, name_len) != 0 || line[name_len] != ':') continue;
    // The first line of the name decides, even when its id is malformed.
    const char* second_end = strchr(line + name_len + 1, ':');
    if (second_end != nullptr && read_decimal_id(second_end + 1, &end, &number) && *end == ':') {
      *id = number;
      result = 0;
    }
    break;
  }
  free(line);
  fclose(in);
  return result;
}

void permissions_apply(const PackageMeta* meta, const char* root) {
  if (meta == nullptr || meta->permissions == nullptr) return;
  RootGuard guard(root);
  for (uint64_t i = 0; i < meta->permissions->in_use; i++)
    if (meta->permissions->strings[i] != nullptr)
      permission_apply(meta->permissions->strings[i], root, guard);
}

void capabilities_apply(const PackageMeta* meta, const char* root) {
  if (meta == nullptr || meta->capabilities == nullptr) return;
  RootGuard guard(root);
  for (uint64_t i = 0; i < meta->capabilities->in_use; i++)
    if (meta->capabilities->strings[i] != nullptr)
      capability_apply(meta->capabilities->strings[i], root, guard);
}
