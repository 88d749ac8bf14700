// The package database: one text file "db" in the database directory, locked
// with flock on the directory and replaced atomically on every save.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "util/util.h"

class DirLinks;

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

// A large database read by a thread of its own while the caller does other
// work, before the lock is taken: open() then locks as db_open does and
// keeps what was read when "db" is still the file that was read (a save
// replaces "db" by a rename, never in place), else reads it again. A small
// or missing database is simply read by open().
class DbReadAhead {
 public:
  explicit DbReadAhead(const char* root);
  DbReadAhead(const DbReadAhead&) = delete;
  DbReadAhead& operator=(const DbReadAhead&) = delete;
  ~DbReadAhead();
  // db_open(root, exclusive), once.
  PackageDb* open(bool exclusive);

 private:
  void read();

  std::string root_;
  std::thread reader_;
  PackageEntry* entries_ = nullptr;  // what the thread read, in load order
  bool read_ok_ = false;
  struct stat read_;                  // the file it read
};
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
// so does an unsafe path (path_is_unsafe, or a directory that leads out of
// root as it stands), with the notice "skipping unsafe path". A directory that is not empty stays with the notice "keeping
// non-empty", after site-packages pruning where its path lies below a
// "/site-packages/". Other failures are silent. Sorts files and every
// entry's list. With links (may be null), a path whose file another entry
// records under another spelling stays too, and so does a directory link
// through which another entry records a path, with the notice "keeping link
// used by other packages".
void remove_package_files(const char* root, StringList* files, PackageDb* db,
                          const char* name, const StringList* keep,
                          const DirLinks* links = nullptr);
// Unlinks the staged copy ("%s.new") beside each recorded configuration
// file under "etc/" of root, in list order; failures are ignored. Unsafe
// paths and names that do not fit a path buffer are left alone.
void remove_staged_copies(const char* root, const StringList* files);
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

// ---------------------------------------------------------------- intent

// What a run that changes the root is about to do, kept as "intent" in the
// database directory from before its first change to the root until its
// record is saved, so that the next run can finish it.
struct IntentMove {
  std::string from, to;  // absolute paths
  bool exchange;         // to held an entry, swapped out to from
  uint64_t dev, ino;     // the entry that goes to to
};
// A configuration file merged with the package's changes: the
// administrator's version gets the second name keep before the merge
// replaces it, and keep becomes "<path>.old" once all is in place.
struct IntentMerge {
  std::string path, keep;  // absolute paths
  uint64_t dev, ino;       // the administrator's version
};
struct Intent {
  std::string op;        // "install", "upgrade" or "remove"
  std::string name, version;
  std::string stage;     // the staging directory of an install
  bool prepared = true;  // false while copies for other file systems are made
  std::vector<IntentMove> moves;
  std::vector<std::string> temps;      // copies made beside their targets
  std::vector<std::string> files;      // the record to save
  std::vector<std::string> dropped;    // paths of the old version that this one lacks
  std::vector<std::string> deletions;  // absolute paths deleted once all is in place
  std::vector<std::string> unlinks;    // absolute paths unlinked then (stale ".new")
  std::vector<std::string> config_new; // configuration paths put beside as ".new"
  std::string pristine;  // "swap": the pristine copies built for this install replace the
                         // old ones; "drop": the old ones go; empty: none of either
  std::vector<IntentMerge> merges;
};

// The intent file's name in the database directory; "intent.tmp" while it
// is written.
inline constexpr const char* kIntentFile = "intent";
// Writes the intent through "intent.tmp", fsync, rename and a directory
// fsync. 0, or -1 after a warning (nothing is then left).
int intent_write(const PackageDb* db, const Intent& intent);
// 1 with intent filled, 0 when there is none (a stray "intent.tmp" of a
// run killed while it wrote one is then deleted), -1 when it cannot be read
// or is damaged (errno set; EBADMSG for the contents).
int intent_read(const PackageDb* db, Intent& intent);
// Removes the intent (and a stray "intent.tmp"), flushing the directory.
void intent_remove(const PackageDb* db);

// The name of an install's staging directory, directly under the root,
// before mkdtemp's six random characters. No package may name it.
inline constexpr const char* kStagePrefix = ".zarnin-staging.";
// Deletes the staging directories under root that no live run holds (a
// run killed before its intent left them), but for keep (may be null).
void stage_leftovers_remove(const char* root, const char* keep);
using PackageEntryPtr = std::unique_ptr<PackageEntry, FreeWith<db_entry_free>>;

// ---------------------------------------------------------------- pristine copies

// The configuration files of each installed package (its regular files
// under "etc/") as the package shipped them, kept in the database directory
// under "pristine/<name>/<path>". An install builds the next copies under
// "pristine.new/<name>" and swaps them in, the old ones passing through
// "pristine.old/<name>". No package may name these directories.
inline constexpr std::array<const char*, 3> kPristineDirs = {"pristine", "pristine.new",
                                                             "pristine.old"};
// The copy of path (a member name) for package name; empty when name
// cannot name a directory, which then has no copies.
std::string pristine_path(const PackageDb* db, const char* name, const char* path);
// Copies the regular files under "etc/" among members (as staged below
// stage_dir) to "pristine.new/<name>" and flushes them. 1 when there were
// any, 0 when there were none (nothing is made), -1 after a warning with
// nothing left.
int pristine_build(const PackageDb* db, const char* name, const char* stage_dir,
                   const StringList* members);
// Puts what pristine_build made in place of the package's copies (built),
// or deletes its copies (!built). Calling it again finishes what a killed
// call began.
void pristine_swap(const PackageDb* db, const char* name, bool built);
// Deletes what pristine_build made.
void pristine_discard(const PackageDb* db, const char* name);
// Deletes what killed runs left in "pristine.new" and "pristine.old"; only
// while no intent is pending.
void pristine_leftovers_remove(const PackageDb* db);

// ---------------------------------------------------------------- directory links

// The symbolic links to directories inside a root through which packages
// reach one file under several spellings ("bin -> usr/bin" makes "bin/sh"
// and "usr/bin/sh" one file). Found once per run where such links are made:
// the first two levels of every recorded path, every directory that the
// package at hand goes through, and its own entries (a directory read once
// where it holds many). A link whose target leads above the root, or
// to something other than a directory, is not one of them; an absolute
// target is read inside the root.
class DirLinks {
 public:
  // own: the paths of the package at hand (its members, its recorded files);
  // null lists are skipped. db may be null. Sorted lists are scanned faster.
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
  // The other spellings of the file that path names (its canonical form
  // among them when that differs): true when there are any. At most 16.
  bool spellings(std::string_view path, std::vector<std::string>& out) const;
  // The index of the link that path (no trailing "/") names, or -1.
  int link_at(std::string_view path) const;
  // True when a package other than name (every package, for a null name),
  // or the list also (may be null), records a path through link k under
  // any spelling, or through another link whose own text goes through k.
  // False for k = -1.
  bool link_used(int k, const PackageDb* db, const char* name, const StringList* also) const;

 private:
  // The first link, longer than from bytes, that path goes through, or -1.
  int through(std::string_view path, size_t from) const;
  // True when the parent of a canonical form lies in some link's target.
  bool into_target(std::string_view form) const;

  std::vector<std::pair<std::string, std::string>> links_;  // location, target; sorted
  std::array<uint32_t, 257> bucket_{};  // links beginning with byte b: [bucket_[b], bucket_[b + 1])
  std::vector<uint32_t> by_target_;     // links with a target, in target order
  std::array<uint32_t, 257> target_bucket_{};  // the same for targets, into by_target_
  std::vector<uint32_t> to_root_;       // links to the root itself
  std::vector<std::vector<uint32_t>> via_;  // the links each link's own text goes through
};

// The paths of one package by every spelling of their files, so that one
// look-up tells whether another package's path names one of those files. In
// a root without links (or with null links) the spellings are the paths.
class FileIndex {
 public:
  FileIndex(const StringList* paths, const DirLinks* links);
  // Marks the paths that name the file other names.
  void mark(const char* other) {
    auto it = group_of_.find(other);
    if (it != group_of_.end()) marked_[it->second] = true;
  }
  // Path i of the list was marked.
  bool marked(uint64_t i) const { return group_[i] != kNone && marked_[group_[i]]; }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  std::deque<std::string> spelled_;  // spellings that are none of the paths
  std::unordered_map<std::string_view, uint32_t> group_of_;  // spelling -> file
  std::vector<uint32_t> group_;  // path -> file
  std::vector<bool> marked_;     // file -> marked
};
