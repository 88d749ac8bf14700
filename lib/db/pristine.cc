// The pristine copies of configuration files: built beside the store while
// an install is prepared, swapped in by renames once its files are in
// place, so that a kill leaves either the old copies or the new ones.
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "db/db.h"

namespace {

// The store is readable by root alone, whatever the files' own bits say.
constexpr mode_t kStoreDirMode = 0700;

bool name_fits(const char* name) {
  return name != nullptr && *name != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
         strchr(name, '/') == nullptr;
}

std::string store_of(const PackageDb* db, const char* dir, const char* name) {
  return strformat("%s/%s/%s", db->dir, dir, name);
}

void flush_dir(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) fsync(fd.get());
}

}  // namespace

std::string pristine_path(const PackageDb* db, const char* name, const char* path) {
  if (!name_fits(name)) return std::string();
  return strformat("%s/%s/%s/%s", db->dir, kPristineDirs[0], name, path);
}

int pristine_build(const PackageDb* db, const char* name, const char* stage_dir,
                   const StringList* members) {
  if (!name_fits(name)) return 0;
  std::string fresh = store_of(db, kPristineDirs[1], name);
  remove_tree(fresh.c_str());
  bool any = false;
  for (uint64_t i = 0; i < members->in_use; i++) {
    const char* path = members->strings[i];
    if (path == nullptr || !has_prefix(path, "etc/") || has_suffix(path, "/")) continue;
    std::string from = strformat("%s/%s", stage_dir, path);
    struct stat st;
    if (lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    std::string to = fresh + "/" + path;
    std::string dir = to.substr(0, to.rfind('/'));
    unlink(to.c_str());  // a member listed twice: the later one counts
    if (make_dirs(dir.c_str(), kStoreDirMode) != 0 ||
        copy_regular_file(from.c_str(), to.c_str(), st.st_mode & 07777) != 0) {
      int saved = errno;
      pristine_discard(db, name);
      errno = saved;
      warn("cannot write %s", to.c_str());
      return -1;
    }
    any = true;
  }
  if (!any) return 0;
  // The copies are on disk before the intent that names them.
  UniqueFd fd(open(fresh.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || syncfs(fd.get()) != 0) {
    int saved = errno;
    fd.reset();
    pristine_discard(db, name);
    errno = saved;
    warn("cannot flush %s", fresh.c_str());
    return -1;
  }
  return 1;
}

void pristine_swap(const PackageDb* db, const char* name, bool built) {
  if (!name_fits(name)) return;
  std::string place = store_of(db, kPristineDirs[0], name);
  std::string fresh = store_of(db, kPristineDirs[1], name);
  std::string trash = store_of(db, kPristineDirs[2], name);
  // Without a fresh store a swap has put it in place already; then only
  // the old one may be left to delete.
  if (!built || entry_exists(fresh.c_str())) {
    remove_tree(trash.c_str());
    if (entry_exists(place.c_str())) {
      make_dirs(strformat("%s/%s", db->dir, kPristineDirs[2]).c_str(), kStoreDirMode);
      rename(place.c_str(), trash.c_str());
    }
    if (built) {
      make_dirs(strformat("%s/%s", db->dir, kPristineDirs[0]).c_str(), kStoreDirMode);
      if (rename(fresh.c_str(), place.c_str()) != 0) warn("cannot rename %s", fresh.c_str());
    }
  }
  remove_tree(trash.c_str());
  // The directories that hold no store any more go (rmdir leaves the
  // others).
  for (const char* dir : kPristineDirs) {
    std::string path = strformat("%s/%s", db->dir, dir);
    if (rmdir(path.c_str()) != 0) flush_dir(path);
  }
  flush_dir(db->dir);
}

void pristine_discard(const PackageDb* db, const char* name) {
  if (!name_fits(name)) return;
  remove_tree(store_of(db, kPristineDirs[1], name).c_str());
  rmdir(strformat("%s/%s", db->dir, kPristineDirs[1]).c_str());
}

void pristine_leftovers_remove(const PackageDb* db) {
  for (const char* dir : {kPristineDirs[1], kPristineDirs[2]}) {
    std::string path = strformat("%s/%s", db->dir, dir);
    if (entry_exists(path.c_str())) remove_tree(path.c_str());
  }
}
