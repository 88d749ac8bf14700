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

// The database directory of root, by PKG_DBDIR (newly allocated).
char* db_dir_for(const char* root);
// False when dir, the database directory that db_dir_for gave for root, is
// placed under a root other than "/" (PKG_DBDIR unset, empty or relative)
// and leads out of it as the root stands.
bool db_dir_inside(const char* root, const char* dir);

using PackageDbPtr = std::unique_ptr<PackageDb, FreeWith<db_close>>;
using PackageEntryPtr = std::unique_ptr<PackageEntry, FreeWith<db_entry_free>>;
