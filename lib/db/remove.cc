// Removal of a package's recorded paths from the installation root.
#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "db/db.h"

namespace {

using PathSet = std::unordered_set<std::string_view>;

// The paths of files that a package other than name records (any package,
// for a null name). One pass over the database with a hash look-up per
// recorded path, where a bisection of every other list for every path of
// a large package would cost tens of millions of comparisons.
PathSet owned_elsewhere(const PackageDb* db, const char* name, const StringList* files) {
  PathSet candidates;
  candidates.reserve(files->in_use);
  for (uint64_t i = 0; i < files->in_use; i++)
    if (files->strings[i] != nullptr) candidates.emplace(files->strings[i]);
  PathSet owned;
  for (const PackageEntry* e = db->entries; e != nullptr; e = e->next) {
    if ((name != nullptr && strcmp(e->name, name) == 0) || e->files == nullptr) continue;
    for (uint64_t i = 0; i < e->files->in_use; i++) {
      const char* path = e->files->strings[i];
      if (path != nullptr && candidates.contains(path)) owned.emplace(path);
    }
  }
  return owned;
}

// Deletes one path; a directory that stays non-empty is reported.
void remove_path(const char* root, const char* path) {
  CharPtr full(root_path(root, path));
  // POSIX lets a non-empty directory be reported with either error.
  if (remove(full.get()) == 0 || (errno != ENOTEMPTY && errno != EEXIST)) return;
  if (strstr(path, "/site-packages/") != nullptr) {
    prune_site_packages_dir(full.get());
    remove(full.get());
  }
  if (access(full.get(), F_OK) == 0)
    fprintf(stderr, "zarnout: notice: keeping non-empty: %s\n", path);
}

}  // namespace

void remove_package_files(const char* root, StringList* files, PackageDb* db,
                          const char* name, const StringList* keep) {
  if (files == nullptr) return;
  if (db != nullptr) db_sort_lists(db);
  strlist_sort(files);
  PathSet owned = db != nullptr ? owned_elsewhere(db, name, files) : PathSet{};
  // Descending byte order: a directory's contents before the directory.
  for (uint64_t i = files->in_use; i-- > 0;) {
    const char* path = files->strings[i];
    // An empty path would name the root itself.
    if (path == nullptr || *path == '\0') continue;
    // A record written by another tool or edited by hand; joined to the root
    // it would reach outside it.
    if (path_is_unsafe(path)) {
      fprintf(stderr, "zarnout: notice: skipping unsafe path: %s\n", path);
      continue;
    }
    if ((keep != nullptr && strlist_contains(keep, path)) || owned.contains(path)) continue;
    remove_path(root, path);
  }
}

void prune_site_packages_dir(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return;
  while (const struct dirent* ent = readdir(d)) {
    const char* entry = ent->d_name;
    if (strcmp(entry, ".") == 0 || strcmp(entry, "..") == 0) continue;
    char child[kPathBuf];
    int len = snprintf(child, sizeof child, "%s/%s", dir, entry);
    // A name cut to the buffer would be another one: a shorter sibling, or
    // the directory itself.
    if (len < 0 || static_cast<size_t>(len) >= sizeof child) continue;
    struct stat st;
    if (lstat(child, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (entry[0] == '_') {
      remove_tree(child);
    } else {
      prune_site_packages_dir(child);
      rmdir(child);  // stays while something is left in it
    }
  }
  closedir(d);
}
