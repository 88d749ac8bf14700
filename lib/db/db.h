// The package database: one text file "db" in the database directory, locked
// with flock on the directory and replaced atomically on every save.
#pragma once

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
// after printing the cause, also for a database directory under the root
// that leads out of it.
PackageDb* db_open(const char* root, bool exclusive);
// Frees everything and releases the lock; unsaved changes are lost.
void db_close(PackageDb* db);
// Writes every entry with paths to "db" through "db.tmp", fsync and rename,
// every name taken relative to the locked directory. 0, or -1 after a
// warning; "db" is untouched on failure.
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

// Sorts the file list of every entry (strlist_sort). A list that is already
// in order, as every list read back from a saved database is, is only marked
// sorted, so this costs one comparison per path; a save then sorts nothing.
void db_sort_lists(PackageDb* db);

// Deletes a package's recorded paths from root, in descending byte order so
// that a directory's contents go before it. A path that keep lists or that
// another entry than name records (every entry, for a null name) stays, and
// so does an unsafe path (path_is_unsafe), with the notice "skipping unsafe
// path". A directory that is not empty stays with the notice "keeping
// non-empty", after site-packages pruning where its path lies below a
// "/site-packages/". Other failures are silent. Sorts files and every
// entry's list.
void remove_package_files(const char* root, StringList* files, PackageDb* db,
                          const char* name, const StringList* keep);
// Below dir, deletes every subdirectory whose name begins with "_" with its
// contents and every other subdirectory that is or thereby becomes empty.
// Files and symbolic links stay.
void prune_site_packages_dir(const char* dir);

// The database directory of root, by PKG_DBDIR (newly allocated).
char* db_dir_for(const char* root);
// False when dir, the database directory that db_dir_for gave for root, is
// placed under a root other than "/" (PKG_DBDIR unset, empty or relative)
// and leads out of it as the root stands.
bool db_dir_inside(const char* root, const char* dir);

using PackageDbPtr = std::unique_ptr<PackageDb, FreeWith<db_close>>;
using PackageEntryPtr = std::unique_ptr<PackageEntry, FreeWith<db_entry_free>>;
