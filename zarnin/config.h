// Configuration files (package paths under "etc/") on reinstall and upgrade.
#pragma once

#include <string>
#include <vector>

#include "archive/archive.h"
#include "integrate/integrate.h"
#include "util/util.h"
#include "zarnin/footprint.h"

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


// What an upgrade does with the existing configuration files beyond staging
// them, under CONFIG_UPGRADE "unedited" or "merge".
struct ConfigPlan {
  std::string pristine;               // the intent's "swap", "drop" or nothing
  std::vector<std::string> updated;   // replaced by the new version, in member order
  std::vector<std::string> merged;    // replaced by a merge, in member order
  std::vector<IntentMerge> merges;    // the same, with their second names
};
// Sorts the existing configuration files of an upgrade of package name
// (config, in member order) before the commit. A regular file equal to its
// pristine copy (config_same_file) goes off config, so that the commit
// swaps its new version in. Under kMerge an edited one is merged with
// "diff3 -m" (the file, its pristine copy, the new version): the result
// without conflicts replaces the staged new version, with the file's owner
// and permission bits, and goes off config too, or onto keep when it is
// the file as it stands. Every other file stays on config. Prints one
// warning when diff3 cannot be run or fails.
void config_plan_upgrade(ConfigUpgrade setting, const PackageDb* db, const char* name,
                         const char* root, const char* stage_dir, StringListPtr& config,
                         StringList* keep, ConfigPlan& plan);
// Once the intent names them: gives each administrator's version that a
// merge replaces its second name. 0, or -1 after a warning with none left.
int config_merges_link(const std::vector<IntentMerge>& merges);
// Deletes those second names again (a failed commit).
void config_merges_unlink(const std::vector<IntentMerge>& merges);
// After the commit: "zarnin: config: updated" and "zarnin: config: merged",
// each once and followed by its paths, when there are any.
void config_report_changed(const ConfigPlan& plan);
