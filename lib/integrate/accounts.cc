// Accounts: the groups and users that packages declare, created and deleted
// with the root's own account tools run inside the root.
#include <dirent.h>
#include <err.h>
#include <sys/wait.h>

#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "integrate/integrate.h"

const std::array<const char*, 32> reserved_groups = {
    "root",   "daemon", "bin",   "sys",    "adm",     "tty",     "disk",  "lp",
    "mail",   "uucp",   "wheel", "kmem",   "cron",    "dialout", "ftp",   "sshd",
    "cdrom",  "floppy", "tape",  "input",  "kvm",     "audio",   "netdev", "render",
    "usb",    "sgx",    "utmp",  "video",  "plugdev", "users",   "rfkill", "nogroup",
};

namespace {

// groupadd and useradd exit with this status when the name already exists.
constexpr int kStatusNameExists = 9;
// Home directories that are never created.
constexpr std::array<const char*, 4> kNoHome = {"/nonexistent", "/var/empty", "/dev/null", "/"};

// Copies at most size - 1 bytes of text into out and terminates it.
template <size_t N>
void copy_cut(char (&out)[N], std::string_view text) {
  size_t n = text.size() < N - 1 ? text.size() : N - 1;
  if (n > 0) memcpy(out, text.data(), n);  // an empty view may have no data
  out[n] = '\0';
}

const char* shown_root(const char* root) {
  return (root == nullptr || *root == '\0') ? "/" : root;
}

int run_tool(const char* root, std::initializer_list<const char*> words) {
  std::vector<char*> argv;
  for (const char* w : words) argv.push_back(const_cast<char*>(w));
  argv.push_back(nullptr);
  return run_in_root(root, argv[0], argv.data());
}

// The group of an entry: the text before the first ':' (all of it without
// one), cut to 255 bytes.
void group_name_of(const char* entry, char (&group)[256]) {
  std::string_view text(entry);
  copy_cut(group, text.substr(0, text.find(':')));
}

// A group declaration "name[:gid]": the gid counts only when everything
// after the first ':' is one or more decimal digits.
void parse_group_entry(const char* entry, char (&group)[256], char (&gid)[32]) {
  std::string_view text(entry);
  size_t colon = text.find(':');
  copy_cut(group, text.substr(0, colon));
  gid[0] = '\0';
  if (colon == std::string_view::npos) return;
  std::string_view digits = text.substr(colon + 1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return;
  copy_cut(gid, digits);
}

// getent's status when the group is certainly there or cannot be checked:
// 0 found, 127 no getent in the root, -1 no answer.
bool getent_inconclusive_or_found(int status) {
  return status == 0 || status == 127 || status == -1;
}

void group_ensure(const char* root, const char* group, const char* gid) {
  if (is_reserved_group(group)) {
    // The root's skeleton brings these; a missing one is its fault, and
    // creating it here could give it an id other than the base system's.
    int found = run_tool(root, {"getent", "group", group});
    if (!getent_inconclusive_or_found(found))
      warnx("reserved group %s is missing from %s — broken filesystem skeleton, not creating it",
            group, shown_root(root));
    return;
  }
  int status = *gid != '\0' ? run_tool(root, {"groupadd", "-r", "-g", gid, group})
                            : run_tool(root, {"groupadd", "-r", group});
  if (status == 0 || status == kStatusNameExists) return;
  // groupadd fails for other reasons too (a gid in use, say) while the group
  // is there all the same; only a group that is missing is worth a warning.
  if (getent_inconclusive_or_found(run_tool(root, {"getent", "group", group}))) return;
  if (*gid != '\0')
    warnx("groupadd -g %s %s failed (exit %d)", gid, group, status);
  else
    warnx("groupadd %s failed (exit %d)", group, status);
}

void user_create(const char* root, const UserEntry& u) {
  int status = *u.uid != '\0'
      ? run_tool(root, {"useradd", "-r", "-s", "/bin/false", "-u", u.uid, "-d", u.home, "-g",
                        u.group, u.user})
      : run_tool(root, {"useradd", "-r", "-s", "/bin/false", "-d", u.home, "-g", u.group, u.user});
  if (status != 0 && status != kStatusNameExists)
    warnx("useradd %s failed (exit %d)", u.user, status);
}

// Runs on every install, so a reinstall or upgrade sets the home's owner,
// group and mode again.
void home_create(const char* root, const UserEntry& u) {
  for (const char* none : kNoHome)
    if (strcmp(u.home, none) == 0) return;
  int status = run_tool(root, {"install", "-d", "-m", u.mode, "-o", u.user, "-g", u.group, u.home});
  if (status != 0) warnx("install -d %s failed (exit %d)", u.home, status);
}

void account_create(const char* entry, const char* root) {
  UserEntry u;
  if (parse_user_entry(entry, &u)) {
    group_ensure(root, u.group, u.gid);
    user_create(root, u);
    home_create(root, u);
    return;
  }
  char group[256], gid[32];
  parse_group_entry(entry, group, gid);
  group_ensure(root, group, gid);
}

// Another installed package's metadata file in metadir names group first in
// one of its group entries. False when metadir cannot be read.
bool group_declared_elsewhere(const char* metadir, const char* package, const char* group) {
  DIR* dir = opendir(metadir);
  if (dir == nullptr) return false;
  bool found = false;
  while (!found) {
    const struct dirent* d = readdir(dir);
    if (d == nullptr) break;
    if (d->d_name[0] == '.' || strcmp(d->d_name, package) == 0) continue;
    CharPtr path(root_path(metadir, d->d_name));
    PackageMetaPtr other(meta_read(path.get()));
    for (uint64_t i = 0; i < other->groups->in_use && !found; i++) {
      char name[256];
      group_name_of(other->groups->strings[i], name);
      found = strcmp(name, group) == 0;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

bool is_reserved_group(const char* group) {
  if (group == nullptr) return false;
  for (const char* reserved : reserved_groups)
    if (strcmp(group, reserved) == 0) return true;
  return false;
}

bool parse_user_entry(const char* entry, UserEntry* out) {
  if (entry == nullptr) return false;
  // At most six splits: the seventh field keeps any further ':'.
  std::string_view fields[7];
  size_t count = split_fields(entry, ':', fields, 7);
  if (count < 5 || fields[1] != "user") return false;

  copy_cut(out->group, fields[0]);
  copy_cut(out->user, fields[2]);
  copy_cut(out->home, fields[3]);
  copy_cut(out->mode, fields[4]);
  bool ids = count == 7 && !fields[5].empty() && !fields[6].empty();
  copy_cut(out->uid, ids ? fields[5] : std::string_view());
  copy_cut(out->gid, ids ? fields[6] : std::string_view());
  return true;
}

int run_in_root(const char* root, const char* program, char* const* argv) {
  ChildSpec cmd;
  cmd.program = program;
  cmd.argv = argv;
  cmd.root = root;
  cmd.quiet = true;
  cmd.status_no_root = 126;
  cmd.status_no_exec = 127;
  int status = run_child(cmd);
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void accounts_create(const PackageMeta* meta, const char* root) {
  if (meta == nullptr || meta->groups == nullptr) return;
  for (uint64_t i = 0; i < meta->groups->in_use; i++)
    if (meta->groups->strings[i] != nullptr) account_create(meta->groups->strings[i], root);
}

void accounts_remove(const PackageMeta* meta, const char* root, const char* name) {
  if (meta == nullptr || meta->groups == nullptr) return;
  CharPtr metadir(root_path(root, kMetaDir));
  for (uint64_t i = 0; i < meta->groups->in_use; i++) {
    const char* entry = meta->groups->strings[i];
    if (entry == nullptr) continue;
    char group[256];
    group_name_of(entry, group);
    // A user whose primary group another package still declares stays too.
    if (group_declared_elsewhere(metadir.get(), name != nullptr ? name : "", group)) continue;
    UserEntry u;
    if (parse_user_entry(entry, &u)) run_tool(root, {"userdel", u.user});
    if (!is_reserved_group(group)) run_tool(root, {"groupdel", group});
  }
}
