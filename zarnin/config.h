// Configuration files (package paths under "etc/") on reinstall and upgrade.
#pragma once

#include <string>
#include <vector>

#include "archive/archive.h"
#include "integrate/integrate.h"
#include "util/util.h"

// The keep list of a forced reinstall: members under "etc/" that exist
// under root (access F_OK). A new list owned by the caller.
StringList* config_keep_list(const char* root, const StringList* members);
// The configuration files of an upgrade that already exist under root
// (lstat), in member order: the commit puts their new versions beside them
// as "<path>.new". A path whose directory leads out of root is skipped with
// a warning and added to keep instead. A new list.
StringList* config_existing(const char* root, const StringList* members, StringList* keep);
// After the commit: deletes each "<path>.new" that is identical to path;
// prints "zarnin: config: staged" once and then each other "<path>.new".
void config_report_staged(const char* root, const StringList* staged);
// For an obsolete configuration file (under "etc/", not a directory): it is
// never deleted; a notice is printed when it exists.
void config_keep_orphan(const char* root, const char* path);
// Deletes "<path>.new" for each installed file under "etc/" that is not
// among the members (members sorted for the look-ups); a path whose
// directory leads out of root is skipped with a warning.
void config_remove_stale_new(const char* root, const StringList* installed,
                             const StringList* members);
// The same as a plan: the "<path>.new" files to unlink (full paths), and
// the paths to skip with that warning, in order.
void config_stale_new(const char* root, const StringList* installed, const StringList* members,
                      std::vector<std::string>& unlinks, std::vector<std::string>& unsafe);

// Moves the staged copy at source to target, copying across file systems
// (the copy gets source's permission bits exactly). 0, or -1 with errno set
// by the step that failed; a partial target is removed.
int config_move_staged(const char* source, const char* target);

