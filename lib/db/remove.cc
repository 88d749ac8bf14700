// Removal of a package's recorded paths from the installation root.
#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "db/db.h"

namespace {

// Marks the paths whose files a package other than name records (any
// package, for a null name), under any spelling that links make the same.
// One pass over the database with a hash look-up per recorded path, where a
// bisection of every other list for every path of a large package would
// cost tens of millions of comparisons.
void mark_owned_elsewhere(const PackageDb* db, const char* name, FileIndex& owned) {
  for (const PackageEntry* e = db->entries; e != nullptr; e = e->next) {
    if ((name != nullptr && strcmp(e->name, name) == 0) || e->files == nullptr) continue;
    for (uint64_t i = 0; i < e->files->in_use; i++)
      if (e->files->strings[i] != nullptr) owned.mark(e->files->strings[i]);
  }
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
                          const char* name, const StringList* keep, const DirLinks* links) {
  if (files == nullptr) return;
  if (db != nullptr) db_sort_lists(db);
  strlist_sort(files);
  FileIndex owned(files, links);
  if (db != nullptr) mark_owned_elsewhere(db, name, owned);
  RootGuard guard(root);
  // Descending byte order: a directory's contents before the directory.
  for (uint64_t i = files->in_use; i-- > 0;) {
    const char* path = files->strings[i];
    // An empty path would name the root itself.
    if (path == nullptr || *path == '\0') continue;
    // A record written by another tool or edited by hand; joined to the root
    // it would reach outside it.
    // So is one whose directory, as the root stands, leads out of it.
    if (path_is_unsafe(path) || !guard.parent_inside(path)) {
      fprintf(stderr, "zarnout: notice: skipping unsafe path: %s\n", path);
      continue;
    }
    if ((keep != nullptr && strlist_contains(keep, path)) || owned.marked(i)) continue;
    if (links != nullptr && links->link_used(links->link_at(path), db, name, nullptr)) {
      fprintf(stderr, "zarnout: notice: keeping link used by other packages: %s\n", path);
      continue;
    }
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

void remove_staged_copies(const char* root, const StringList* files) {
  RootGuard guard(root);
  for (uint64_t i = 0; i < files->in_use; i++) {
    const char* path = files->strings[i];
    if (!has_prefix(path, "etc/") || has_suffix(path, "/")) continue;
    // remove_package_files has said so
    if (path_is_unsafe(path) || !guard.parent_inside(path)) continue;
    CharPtr full(root_path(root, path));
    char staged[kPathBuf];
    int len = snprintf(staged, sizeof staged, "%s.new", full.get());
    // A name cut to the buffer would be another file: the configuration
    // file itself, say.
    if (len < 0 || static_cast<size_t>(len) >= sizeof staged) continue;
    unlink(staged);  // normally there is none
  }
}
