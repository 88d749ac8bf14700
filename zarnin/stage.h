// The staging area of an install: the package unpacked once, by one pass
// of the decompressor and tar, into a private directory on the root's file
// system, from which the commit renames each entry into place.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "archive/archive.h"
#include "db/db.h"
#include "util/util.h"


struct Staging {
  std::string dir;       // the staging directory; empty once it is gone
  UniqueFd dir_fd;       // open on dir and flock'ed while this run lives
  bool unpacked = false; // the pass succeeded: listing and members are whole
  StringListPtr listing; // tar's long listing as "tar -tv" prints it, cut as a capture cuts it
  StringListPtr members; // the member names as "tar -t" lists them, cut the same way
  std::vector<std::string> owners;  // each listing line's "user/group" column
  std::vector<std::string> names;   // each listing line's member name, uncut
  std::string types;                // each listing line's first byte: its type
  UniqueFd messages;     // what the decompressor and tar printed during the pass
  int error = 0;         // errno of a staging directory that could not be made
};

// Creates the staging directory under root and unpacks the package into
// it, listed. unpacked is false when the directory cannot be made or the
// pass fails; the directory is then already gone, and messages holds what
// the pass printed. The directory is removed at exit, however the process
// exits, unless stage_remove came first. Prints nothing.
void stage_package(const PackageFile& package, const char* root, Staging& staging);
// The same without a listing, for a package already listed otherwise: root
// is made when missing, and tar and the decompressor print what they have
// to say as they always have. unpacked tells whether it worked; a staging
// directory that cannot be made is reported.
void stage_package_quietly(const PackageFile& package, const char* root, Staging& staging);
// Removes the staging directory and everything in it now.
void stage_remove(Staging& staging);
// The members that exist in the staging area (lstat), in order; each other
// one (a volume label, or a link listed under a directory's name, which is
// taken out of the staging area) goes to not_written. A new list.
StringList* stage_extracted(const Staging& staging, const StringList* members,
                            StringList* not_written);

// User and group names of the listing that do not resolve on this system.
struct StageOwners {
  std::unordered_set<std::string> users, groups;
};
// Called before the package's accounts are created.
StageOwners stage_unresolved_owners(const Staging& staging);
// Gives each staged entry whose owner names only now resolve (the accounts
// were just created) those owners, as tar would have given them, keeping
// its permission bits.
void stage_fix_owners(const Staging& staging, const StageOwners& unresolved);
