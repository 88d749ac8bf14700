// The package database: one text file "db" in the database directory, locked
// with flock on the directory and replaced atomically on every save.
#pragma once

#include <array>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/util.h"

struct PackageEntry {
  char* name;
  char* version;  // empty when the record had no version line
  StringList* files;
  PackageEntry* next;
};

struct PackageDb {
  PackageEntry* entries;  // head of the list; the database owns every entry
  char* root;             // "/" when opened with a null root
  char* dir;              // the database directory
  int lock_fd;            // the locked directory, or -1
};

// Locks and loads the database of root (null means "/"). exclusive takes
// LOCK_EX, otherwise LOCK_SH; never waits. Exits with status 1 on failure
// after printing the cause.
PackageDb* db_open(const char* root, bool exclusive);
// Frees everything and releases the lock; unsaved changes are lost.
void db_close(PackageDb* db);
// Writes every entry with paths to "db" through "db.tmp", fsync and rename.
// 0, or -1 after a warning; "db" is untouched on failure.
int db_save(PackageDb* db);
// The first entry from the head named name, or null.
PackageEntry* db_find(PackageDb* db, const char* name);
// Takes ownership of entry and links it at the head, replacing the first
// entry of the same name. Returns 0.
int db_add(PackageDb* db, PackageEntry* entry);
// Unlinks and frees the first entry named name. 0, or -1 when absent.
int db_remove(PackageDb* db, const char* name);
// A new unlinked entry with copies of both strings and an empty file list.
PackageEntry* db_entry_new(const char* name, const char* version);
// Frees an unlinked entry; null does nothing.
void db_entry_free(PackageEntry* entry);

// The database directory of root, by PKG_DBDIR (newly allocated).
char* db_dir_for(const char* root);

using PackageDbPtr = std::unique_ptr<PackageDb, FreeWith<db_close>>;
using PackageEntryPtr = std::unique_ptr<PackageEntry, FreeWith<db_entry_free>>;

// ---------------------------------------------------------------- directory links

// The symbolic links to directories inside a root through which packages
// reach one file under several spellings ("bin -> usr/bin" makes "bin/sh"
// and "usr/bin/sh" one file). Found once per run where such links are made:
// the first two levels of every recorded path, and every directory that the
// package at hand goes through. A link whose target leads above the root, or
// to something other than a directory, is not one of them; an absolute
// target is read inside the root.
class DirLinks {
 public:
  // own: the paths of the package at hand (its members, its recorded files);
  // null lists are skipped. db may be null.
  DirLinks(const char* root, const PackageDb* db, std::initializer_list<const StringList*> own);

  bool empty() const { return links_.empty(); }
  size_t size() const { return links_.size(); }
  // The canonical form of path: its parent resolved through the links, its
  // last component (and a trailing "/") as written. A view of path itself
  // when no link applies (always, in a root without links), else of buf.
  // used, when given, has size() flags: those of the links gone through are
  // set.
  std::string_view canonical(std::string_view path, std::string& buf,
                             std::vector<bool>* used = nullptr) const;
  // The index of the link that path (no trailing "/") names, or -1.
  int link_at(std::string_view path) const;

 private:
  // The first link, longer than from bytes, that path goes through, or -1.
  int through(std::string_view path, size_t from) const;

  std::vector<std::pair<std::string, std::string>> links_;  // location, target; sorted
  std::array<uint32_t, 257> bucket_{};  // links beginning with byte b: [bucket_[b], bucket_[b + 1])
};

// Of paths, which package name lets go of (removal, or an upgrade's dropped
// paths), appends to kept those whose file another package records under
// another spelling, and to kept_links the directory links among them
// through which another package records a path; both in paths' order. The
// paths of also (may be null: the new version's members on an upgrade)
// count as another package's. Nothing is added in a root without links.
void links_kept(const DirLinks& links, const PackageDb* db, const char* name,
                const StringList* paths, const StringList* also, StringList* kept,
                StringList* kept_links);
