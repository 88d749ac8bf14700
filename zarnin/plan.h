// The decisions of one install that need no process: the install mode, the
// member names that are refused or were never extracted, conflicts with
// other packages' files and the paths an upgrade leaves behind.
#pragma once

#include "db/db.h"
#include "util/util.h"

enum class InstallMode {
  kFresh,            // not installed: plain install
  kReinstall,        // same version again with -f: plain install, keep list
  kUpgrade,          // configuration files are staged as ".new"
  kNotInstalled,     // refused: -u for a package that is not installed
  kAlreadyInstalled, // refused: same version without -f
  kOtherInstalled,   // refused: another version without -u or -f
};

// The mode for a package of the given version; installed may be null.
InstallMode install_decide(const PackageEntry* installed, const char* version,
                           bool upgrade, bool force);

// True for a member name that is refused: one that could address something
// outside the root once it is recorded (path_is_unsafe: absolute, with a
// ".." component, or a listing line that did not fit the capture buffer),
// or one that would be recorded otherwise than it is on disk: escaped by tar
// (it holds a backslash), not canonical (a leading "./", an empty or "."
// component), or a name under "etc/" ending in a blank or a tab.
bool install_path_unsafe(const char* path);
// The first unsafe member, or null.
const char* install_first_unsafe(const StringList* members);
// True when the package name or version cannot be stored in the database:
// empty, or holding a newline.
bool install_name_unstorable(const char* name, const char* version);

// The member paths (directories excepted) whose file packages other than
// name list, under any spelling that links (when given) make the same:
// grouped by owner in database list order, each group in member order, a
// path once per owner, as the member spells it. One pass over the database.
// A new list.
StringList* install_conflicts(const PackageDb* db, const char* name,
                              const StringList* members, const DirLinks* links = nullptr);
// The installed paths that members lacks, in ascending byte order (sorts
// installed). A new list.
StringList* install_dropped(StringList* installed, const StringList* members);
// The dropped paths that no package other than name lists, in descending
// byte order, so that a directory's contents come before the directory.
// Where links (when given) make one file of several spellings, a path whose
// file another package lists, or members (the new version's) name, stays
// too. Recorded paths that are unsafe are left out. A new list.
StringList* install_obsolete(const PackageDb* db, const char* name, const StringList* dropped,
                             const DirLinks* links = nullptr,
                             const StringList* members = nullptr);
