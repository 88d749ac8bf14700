// System integration: what a package declares besides its files (groups and
// users, services, owners and modes, file capabilities) and applying it to
// the installation root.
#pragma once

#include <sys/types.h>

#include <array>

#include "archive/archive.h"
#include "db/db.h"
#include "util/util.h"

// ---------------------------------------------------------------- metadata

// The declarations of one package's metadata file, in file order,
// duplicates kept. A record built here always has all four lists.
struct PackageMeta {
  StringList* groups;        // "group " values: group and user declarations
  StringList* services;      // "service " values: directories under etc/sv
  StringList* permissions;   // "permission " values: path:user:group:mode
  StringList* capabilities;  // "capability " values: path:caps
};

// The directory of the metadata files, relative to the root; each file is
// named after its package.
inline constexpr const char* kMetaDir = "var/lib/pkg/meta";
// At most this many bytes of a metadata file are read.
inline constexpr size_t kMetaMax = 1 << 20;

// A record with four empty lists.
PackageMeta* meta_new(void);
// The declarations of the metadata file at path: its first kMetaMax bytes,
// read only when path names a regular file itself (not a link, a fifo or a
// device). Never null; an unreadable or absent file gives four empty lists.
// Prints nothing.
PackageMeta* meta_read(const char* path);
// The declarations of the package file's member kMetaDir/name, extracted
// quietly into a temporary directory that is removed again. Never null; a
// package without the member gives four empty lists. Prints nothing.
PackageMeta* meta_from_package(const PackageFile& package, const char* name);
// Frees the four lists and the record; null does nothing.
void meta_free(PackageMeta* meta);

using PackageMetaPtr = std::unique_ptr<PackageMeta, FreeWith<meta_free>>;

// ---------------------------------------------------------------- accounts

// The base-system groups: never created nor deleted for a package.
extern const std::array<const char*, 32> reserved_groups;
// Exact, case-sensitive membership in reserved_groups.
bool is_reserved_group(const char* group);

// The fields of a user declaration "group:user:name:home:mode[:uid:gid]",
// each cut to its buffer. uid and gid are both empty unless all seven
// fields are present and both are non-empty.
struct UserEntry {
  char group[256];
  char user[256];
  char home[kPathBuf];
  char mode[8];
  char uid[32];
  char gid[32];
};

// True when entry is a user declaration (at least five fields, the second
// exactly "user"), with out filled; out is unspecified otherwise.
bool parse_user_entry(const char* entry, UserEntry* out);

// Runs program (searched on PATH inside the root) with argv, chrooted into
// root unless it is null, "" or "/", with stdout and stderr on the root's
// /dev/null. The exit status (126 when the root cannot be entered, 127 when
// the program cannot be started), or -1 when no child was created, the wait
// failed or the child was killed by a signal.
int run_in_root(const char* root, const char* program, char* const* argv);

// Creates the groups and users of meta's group entries inside root with
// the root's own groupadd, useradd and install. Failures are warnings.
void accounts_create(const PackageMeta* meta, const char* root);
// Deletes the users and groups of package name with userdel and groupdel
// inside root, except those whose group another package's metadata file in
// root still declares. Prints nothing.
void accounts_remove(const PackageMeta* meta, const char* root, const char* name);

// ---------------------------------------------------------------- permissions

// Resolves name against root's account file ("etc/passwd" or "etc/group"):
// a decimal name is the id itself and reads no file. 0 with id set, or -1.
int lookup_id(const char* root, const char* file, const char* name, id_t* id);
// Applies meta's "path:user:group:mode" entries inside root, owner before
// mode, never changing a symbolic link's mode. Failures are warnings; an
// entry whose path has a ".." component, or whose directory leads out of
// root as it stands, is refused.
void permissions_apply(const PackageMeta* meta, const char* root);
// Runs the running system's setcap for each "path:caps" entry on the path
// inside root. Failures are warnings; an entry whose path has a ".."
// component, whose directory leads out of root as it stands, or (for a
// root other than "/") that names a link, is refused.
void capabilities_apply(const PackageMeta* meta, const char* root);

// ---------------------------------------------------------------- services

// A service name is one path component: empty, ".", ".." or a name with a
// "/" is skipped with the warning "unsafe service name: %s". A link path in
// "service", or a service directory, that leads out of the root as it
// stands is skipped with the warning "skipping unsafe path: %s".

// Links "service/N" in root to "/etc/sv/N" (the directory as seen from
// inside the root) for each of meta's services, creating "service" with
// mode 0755; anything already at the link path stays. Starts nothing.
void services_link(const PackageMeta* meta, const char* root);
// For each of meta's services: unlinks the symbolic link "service/N" (and
// nothing else there), then tells a running service to exit with
// "sv exit /etc/sv/N" inside root and adds N to told_to_exit (may be null).
void services_stop(const PackageMeta* meta, const char* root,
                   StringList* told_to_exit = nullptr);
// Removes each of meta's service directories "etc/sv/N" that the package's
// files have left, with the note "removed service directory %s". For a
// service that is not running and whose runsv is gone, runsv's state files
// in "supervise" and "log/supervise" go first (a "supervise" link itself,
// not its target), and then an emptied "log". The runsv of a service in
// told_to_exit (may be null) is given up to 3 s to go; no other is waited for.
void services_remove_dirs(const PackageMeta* meta, const char* root,
                          const StringList* told_to_exit = nullptr);
// The first line of "etc/sv/N/supervise/stat" in root begins with "run".
// False for an unsafe name.
bool service_running(const char* root, const char* name);

// ---------------------------------------------------------------- triggers

// One row of trigger_table: the program that paths below prefix call for.
struct TriggerRule {
  const char* prefix;              // relative to the root, ends in "/"; null ends the table
  const char* program;             // searched on PATH inside the root
  std::array<const char*, 6> argv; // argv[0] first; ends at the first null
  bool per_item;       // once per first component below prefix, appended
  bool upgrade_only;   // only when the caller reports an upgrade
  bool needs_running;  // an item counts only when its service is running
  bool absolute_item;  // append "/" + prefix + item instead of the item
  bool item_is_dir;    // an item counts only when it is a directory (lstat)
};

// The twelve rows, then a row with a null prefix.
extern const std::array<TriggerRule, 13> trigger_table;

// Runs the rows of trigger_table that the changed paths files (relative to
// root, read only) call for, in table order. A once-only row runs at most
// once and not at all when an earlier row with the same program matched.
void triggers_run(const char* root, const StringList* files, bool upgrade);
// Prints "trigger:" and the arguments on stderr, runs program inside root
// and waits. A non-zero exit or a signal is a warning; a program missing
// from the root, or a root that cannot be entered, prints nothing more.
void run_trigger(const char* root, const char* program, char* const* argv);
// Runs the running system's "/sbin/ldconfig -r root" when root has
// "sbin/ldconfig". Prints nothing; the status is ignored.
void run_ldconfig(const char* root);

// ---------------------------------------------------------------- removal and recovery

// The removal of an installed package after its checks, but for the save:
// stops its services, deletes its recorded paths and staged ".new" copies,
// removes its service directories, refreshes the library cache, runs the
// triggers, deletes its accounts, flushes the file systems, deletes its
// pristine copies and drops the entry from db. Each step reports its own failures and the next one runs.
void package_remove(PackageDb* db, PackageEntry* entry, const char* root, const char* name);
// Both stat (following links) with equal sizes and permission bits, and
// equal bytes.
bool config_same_file(const char* a, const char* b);
// After a merge is in place: the administrator's version, kept under its
// second name, becomes "<path>.old" (a warning when it cannot).
void config_merges_finish(const std::vector<IntentMerge>& merges);
// Finishes the operation that an interrupted run recorded in db's
// directory, before this run does its own: the rest of an install's
// renames, its deletions, the record, its integration; or the whole of a
// removal. Then removes the intent and the staging area and notes
// "<program>: notice: finished interrupted install of %s %s" ("upgrade",
// or "removal of %s"). An install interrupted before its commit is rolled
// back silently. When the staged data is gone or the intent cannot be
// read, says what it found and what to do, and exits with status 1,
// leaving the intent in place.
void recover_interrupted(PackageDb* db, const char* root);
