// System integration: what a package declares besides its files (groups and
// users, services, owners and modes, file capabilities) and applying it to
// the installation root.
#pragma once

#include <sys/types.h>

#include <array>

#include "archive/archive.h"
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
