// What an install must never do to its root: write through a link that
// leads out of it, or put its own files in place of the package database.
#pragma once

#include <optional>
#include <string>

#include "util/util.h"

// The database directory relative to root, in canonical form ("var/lib/pkg"),
// when it lies inside root; nullopt otherwise.
std::optional<std::string> install_db_inside(const char* root, const char* db_dir);

// The first member, then the first hard-link target, that the install
// refuses; null when there is none:
// - a path below a non-directory member of the same package ("x" a file or
//   link and "x/y");
// - for a root other than "/", a path whose directory (a directory
//   member's own path) as it stands in root leads out of it, loops or
//   dangles;
// - a member that names the database files "db", "db.tmp", "intent" or
//   "intent.tmp" in db_dir, or that would put a non-directory at db_dir or
//   one of its parents, when db_dir is inside root;
// - a member at or below a top-level name that begins like a staging
//   directory (kStagePrefix);
// - a hard-link target that install_path_unsafe refuses.
const char* install_first_escaping(const StringList* members, const StringList* link_targets,
                                   const char* root, const char* db_dir);
