// Unpacking a package once into its staging directory, and what the
// listing of that one pass tells.
#include "zarnin/stage.h"

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <unordered_set>

namespace {

// A capture of tar's output cuts a line into pieces of this many bytes;
// records, footprints and refusals have always seen names and lines cut so.
constexpr size_t kPiece = kPathBuf - 1;

// Staging directories that go when the process exits, whichever way.
std::vector<std::string>& leftovers() {
  static std::vector<std::string> dirs;
  return dirs;
}

void remove_leftovers(void) {
  for (const std::string& dir : leftovers()) remove_tree(dir.c_str());
  leftovers().clear();
}

void forget_leftover(const std::string& dir) {
  std::erase(leftovers(), dir);
}

void add_pieces(StringList* list, std::string_view text) {
  for (size_t at = 0; at < text.size(); at += kPiece) strlist_add(list, std::string(text.substr(at, kPiece)).c_str());
}

// An unlinked file in dir for the messages of the pass, so that a failed
// pass can still show them where the install used to.
int open_messages(int dir_fd) {
#ifdef O_TMPFILE
  int fd = openat(dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
#endif
  char name[] = "messages";
  int made = openat(dir_fd, name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
  if (made >= 0) unlinkat(dir_fd, name, 0);
  return made;
}

// The staged name of a listing name ("usr/" is "usr"); empty for a name
// that does not name a staged entry as it is (an escape, an absolute path).
std::string staged_name(std::string_view name) {
  if (name.find('\\') != std::string_view::npos || name.starts_with('/')) return {};
  while (name.ends_with('/')) name.remove_suffix(1);
  return std::string(name);
}

// tar -xvv also notes each directory it creates for a member whose own
// directory the archive lacks: "drwxr-xr-x  Creating directory: "x"". A
// member's line has a "user/group" column where that note has a word.
bool is_directory_note(const char* line) {
  if (strlen(line) < 10) return false;
  line += 10;
  while (*line == ' ') line++;
  return has_prefix(line, "Creating directory: ");
}

}  // namespace

namespace {

// The staging directory under root, open and locked in staging. False when
// it cannot be made (errno in staging.error).
bool make_staging_dir(const char* root, Staging& staging) {
  std::string dir = strformat("%s%s%sXXXXXX", root, has_suffix(root, "/") ? "" : "/", kStagePrefix);
  if (mkdtemp(dir.data()) == nullptr) {
    staging.error = errno;
    return false;
  }
  if (leftovers().empty()) atexit(remove_leftovers);
  leftovers().push_back(dir);
  staging.dir = dir;
  staging.dir_fd.reset(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!staging.dir_fd) {
    staging.error = errno;
    stage_remove(staging);
    return false;
  }
  // The lock tells a later run that this directory belongs to a live one.
  flock(staging.dir_fd.get(), LOCK_EX);
  return true;
}

}  // namespace

void stage_package(const PackageFile& package, const char* root, Staging& staging) {
  staging.listing.reset(strlist_new());
  staging.members.reset(strlist_new());
  if (!make_staging_dir(root, staging)) return;
  staging.messages.reset(open_messages(staging.dir_fd.get()));
  // Each line is taken apart while tar goes on extracting.
  std::string line, name;
  bool readable = true;
  auto take = [&](const char* quoted) {
    if (!readable || is_directory_note(quoted)) return;
    if (!listing_line_unquote(quoted, line, name)) {
      readable = false;
      return;
    }
    add_pieces(staging.listing.get(), line);
    add_pieces(staging.members.get(), name);
    const char* owner = quoted + 10;
    while (*owner == ' ') owner++;
    staging.owners.emplace_back(owner, strcspn(owner, " "));
    staging.names.push_back(std::move(name));
    staging.types.push_back(quoted[0]);
  };
  if (!staging.messages ||
      archive_extract_listed(package, staging.dir.c_str(), take, staging.messages.get()) != 0 ||
      !readable) {
    // What a failed pass listed is no listing of the package.
    staging.listing.reset(strlist_new());
    staging.members.reset(strlist_new());
    staging.owners.clear();
    staging.names.clear();
    staging.types.clear();
    stage_remove(staging);
    return;
  }
  staging.unpacked = true;
}

void stage_package_quietly(const PackageFile& package, const char* root, Staging& staging) {
  make_dirs(root, 0755);  // a failure shows as the staging directory's
  if (!make_staging_dir(root, staging)) {
    errno = staging.error;
    warn("cannot create a staging directory in %s", root);
    return;
  }
  if (archive_extract_listed(package, staging.dir.c_str(), nullptr, -1) != 0) {
    stage_remove(staging);
    return;
  }
  staging.unpacked = true;
}

void stage_remove(Staging& staging) {
  staging.dir_fd.reset();
  if (staging.dir.empty()) return;
  remove_tree(staging.dir.c_str());
  forget_leftover(staging.dir);
  staging.dir.clear();
}

StringList* stage_extracted(const Staging& staging, const StringList* members,
                            StringList* not_written) {
  StringList* extracted = strlist_new();
  // After a pass that succeeded, tar has written every member of a type it
  // extracts; only the others (a volume label, "V") need looking for.
  bool typed = staging.types.size() == members->in_use;
  struct stat st;
  std::vector<std::string> misnamed;
  for (uint64_t i = 0; i < members->in_use; i++) {
    const char* path = members->strings[i];
    if (path == nullptr) continue;
    // A listed name that ends in "/" says directory: a link or a file
    // that tar wrote under such a name is not what the record would say.
    bool as_dir = has_suffix(path, "/");
    if (typed && strchr("-dlhcbp", staging.types[i]) != nullptr && as_dir == (staging.types[i] == 'd')) {
      strlist_add(extracted, path);
      continue;
    }
    std::string name = staged_name(path);
    bool there =
        !name.empty() && fstatat(staging.dir_fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    bool written = there && (!as_dir || S_ISDIR(st.st_mode));
    strlist_add(written ? extracted : not_written, path);
    if (there && !written) misnamed.push_back(std::move(name));
  }
  // What stands under a misnamed member's name goes, unless another
  // member wrote it, so that the commit cannot carry it along.
  if (!misnamed.empty()) {
    std::unordered_set<std::string> kept;
    for (uint64_t i = 0; i < extracted->in_use; i++) kept.insert(staged_name(extracted->strings[i]));
    for (const std::string& name : misnamed)
      if (!kept.contains(name)) unlinkat(staging.dir_fd.get(), name.c_str(), 0);
  }
  return extracted;
}

StageOwners stage_unresolved_owners(const Staging& staging) {
  StageOwners unresolved;
  for (const std::string& owner : staging.owners) {
    size_t slash = owner.find('/');
    if (slash == std::string::npos) continue;
    std::string user = owner.substr(0, slash), group = owner.substr(slash + 1);
    if (!unresolved.users.contains(user) && getpwnam(user.c_str()) == nullptr)
      unresolved.users.insert(user);
    if (!unresolved.groups.contains(group) && getgrnam(group.c_str()) == nullptr)
      unresolved.groups.insert(group);
  }
  return unresolved;
}

void stage_fix_owners(const Staging& staging, const StageOwners& unresolved) {
  if (unresolved.users.empty() && unresolved.groups.empty()) return;
  for (size_t i = 0; i < staging.owners.size(); i++) {
    const std::string& owner = staging.owners[i];
    size_t slash = owner.find('/');
    if (slash == std::string::npos) continue;
    std::string user = owner.substr(0, slash), group_name = owner.substr(slash + 1);
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    if (unresolved.users.contains(user))
      if (const passwd* pw = getpwnam(user.c_str())) uid = pw->pw_uid;
    if (unresolved.groups.contains(group_name))
      if (const struct group* gr = getgrnam(group_name.c_str())) gid = gr->gr_gid;
    if (uid == static_cast<uid_t>(-1) && gid == static_cast<gid_t>(-1)) continue;
    std::string name = staged_name(staging.names[i]);
    struct stat st;
    int dfd = staging.dir_fd.get();
    if (name.empty() || fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    fchownat(dfd, name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW);
    // A change of owner clears the set-user-ID and set-group-ID bits.
    if (!S_ISLNK(st.st_mode)) fchmodat(dfd, name.c_str(), st.st_mode & 07777, 0);
  }
}
