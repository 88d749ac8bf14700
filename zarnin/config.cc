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
#include "db/db.h"

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

namespace {

enum class Merge { kClean, kConflicts, kFailed };

// "diff3 -m mine older yours" into out. diff3 says 0 for a merge without
// conflicts, 1 with them, 2 for trouble; its own words are not shown.
Merge run_diff3(const std::string& mine, const std::string& older, const std::string& yours,
                int out) {
  UniqueFd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
  char* argv[] = {const_cast<char*>("diff3"), const_cast<char*>("-m"),
                  const_cast<char*>(mine.c_str()), const_cast<char*>(older.c_str()),
                  const_cast<char*>(yours.c_str()), nullptr};
  ChildSpec cmd;
  cmd.program = "diff3";
  cmd.argv = argv;
  cmd.stdout_fd = out;
  cmd.stderr_fd = null.get();
  int status = run_child(cmd);
  if (child_succeeded(status)) return Merge::kClean;
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 1) return Merge::kConflicts;
  return Merge::kFailed;
}

bool is_regular(const std::string& path, struct stat* st = nullptr) {
  struct stat own;
  if (st == nullptr) st = &own;
  return lstat(path.c_str(), st) == 0 && S_ISREG(st->st_mode);
}

// A name beside path that nothing holds yet, for its second name.
std::string free_name_beside(const std::string& path) {
  std::string dir = path.substr(0, path.rfind('/'));
  static size_t attempts = 0;
  std::string name;
  do name = strformat("%s/.zarnin-old.%d.%zu", dir.c_str(), static_cast<int>(getpid()), attempts++);
  while (entry_exists(name.c_str()));
  return name;
}

// Merges the edited file disk into a new file in stage_dir that takes the
// place of the staged new version. kClean also when the merge is disk as
// it stands (same is then set and nothing replaced).
Merge merge_into_stage(const std::string& disk, const std::string& pristine,
                       const std::string& staged, const char* stage_dir, bool& same) {
  struct stat st;
  if (lstat(disk.c_str(), &st) != 0) return Merge::kFailed;
  std::string temp = strformat("%s/.zarnin-merge.XXXXXX", stage_dir);
  UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return Merge::kFailed;
  Merge result = run_diff3(disk, pristine, staged, fd.get());
  // The merge keeps the administrator's owner and permission bits.
  if (result == Merge::kClean &&
      (fchown(fd.get(), st.st_uid, st.st_gid) != 0 || fchmod(fd.get(), st.st_mode & 07777) != 0 ||
       close(fd.release()) != 0))
    result = Merge::kFailed;
  same = result == Merge::kClean && config_same_file(temp.c_str(), disk.c_str());
  if (result != Merge::kClean || same || rename(temp.c_str(), staged.c_str()) != 0) {
    unlink(temp.c_str());
    if (result == Merge::kClean && !same) result = Merge::kFailed;
  }
  return result;
}

}  // namespace

void config_plan_upgrade(ConfigUpgrade setting, const PackageDb* db, const char* name,
                         const char* root, const char* stage_dir, StringListPtr& config,
                         StringList* keep, ConfigPlan& plan) {
  if (setting == ConfigUpgrade::kStage) return;
  StringListPtr staged_still(strlist_new());
  bool warned = false;
  for (uint64_t i = 0; i < config->in_use; i++) {
    const char* path = config->strings[i];
    CharPtr full(root_path(root, path));
    std::string disk(full.get()), staged = strformat("%s/%s", stage_dir, path);
    std::string pristine = pristine_path(db, name, path);
    struct stat st;
    // A file already as the new version has it is left to the staging,
    // which says nothing about it, as it always has.
    bool candidate = !pristine.empty() && is_regular(disk, &st) && is_regular(staged) &&
                     is_regular(pristine) && !config_same_file(staged.c_str(), disk.c_str());
    if (candidate && config_same_file(disk.c_str(), pristine.c_str())) {
      plan.updated.emplace_back(path);
      continue;
    }
    if (candidate && setting == ConfigUpgrade::kMerge) {
      bool same = false;
      Merge merge = merge_into_stage(disk, pristine, staged, stage_dir, same);
      if (merge == Merge::kClean && same) {
        strlist_add(keep, path);
        continue;
      }
      if (merge == Merge::kClean) {
        plan.merged.emplace_back(path);
        plan.merges.push_back({disk, free_name_beside(disk), static_cast<uint64_t>(st.st_dev),
                               static_cast<uint64_t>(st.st_ino)});
        continue;
      }
      if (merge == Merge::kFailed && !warned) {
        warnx("cannot merge %s with diff3: edited configuration files are staged", path);
        warned = true;
      }
    }
    strlist_add(staged_still.get(), path);
  }
  config = std::move(staged_still);
}

int config_merges_link(const std::vector<IntentMerge>& merges) {
  for (size_t i = 0; i < merges.size(); i++) {
    if (link(merges[i].path.c_str(), merges[i].keep.c_str()) == 0) continue;
    warn("cannot link %s", merges[i].keep.c_str());
    while (i-- > 0) unlink(merges[i].keep.c_str());
    return -1;
  }
  return 0;
}

void config_merges_unlink(const std::vector<IntentMerge>& merges) {
  for (const IntentMerge& m : merges) unlink(m.keep.c_str());
}

void config_report_changed(const ConfigPlan& plan) {
  for (const auto& [header, paths] :
       {std::pair{"updated", &plan.updated}, std::pair{"merged", &plan.merged}}) {
    if (paths->empty()) continue;
    fprintf(stderr, "zarnin: config: %s\n", header);
    for (const std::string& path : *paths) fprintf(stderr, "%s\n", path.c_str());
  }
}
