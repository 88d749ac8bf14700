// Moving a staged package into its root: the plan in archive order, the
// copies that another file system needs, one flush, then the renames, each
// of which can be taken back until the last has succeeded.
#include "zarnin/commit.h"

#include <dirent.h>
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr unsigned kRenameNoReplace = 1;  // RENAME_NOREPLACE
constexpr unsigned kRenameExchange = 2;   // RENAME_EXCHANGE
constexpr unsigned kStatxMntId = 0x1000;  // STATX_MNT_ID

// The kernel's statx record, as far as the mount it reports (the layout is
// fixed; libcs differ in whether and how they declare it).
struct KernelStatx {
  uint32_t mask;
  uint8_t skipped[132];
  uint32_t dev_major, dev_minor;
  uint64_t mnt_id;
  uint8_t rest[104];
};
static_assert(offsetof(KernelStatx, dev_major) == 136 && offsetof(KernelStatx, mnt_id) == 144 &&
              sizeof(KernelStatx) == 256);

int rename2(const char* from, const char* to, unsigned flags) {
  return static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, flags));
}

// The directory of a path, held open while paths in it come one after the
// other, so that each rename looks up one name instead of the whole path.
class ParentDir {
 public:
  // The descriptor and the name within it to use for path; AT_FDCWD and
  // the path itself when the directory cannot be opened.
  std::pair<int, const char*> of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return {AT_FDCWD, path.c_str()};
    std::string_view dir(path.data(), slash);
    if (dir != dir_) {
      dir_.assign(dir);
      fd_.reset(open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (!fd_) return {AT_FDCWD, path.c_str()};
    return {fd_.get(), path.c_str() + slash + 1};
  }

 private:
  std::string dir_;
  UniqueFd fd_;
};

int rename2(ParentDir& from_dir, ParentDir& to_dir, const IntentMove& move, unsigned flags) {
  auto [from_fd, from] = from_dir.of(move.from);
  auto [to_fd, to] = to_dir.of(move.to);
  return static_cast<int>(syscall(SYS_renameat2, from_fd, from, to_fd, to, flags));
}

// Which mounted file system path (links followed) is on: a rename works
// only within one mount, even between two mounts of the same device. 0
// when path cannot be looked at.
uint64_t mount_of(const char* path) {
  KernelStatx sx{};
  if (syscall(SYS_statx, AT_FDCWD, path, 0, kStatxMntId, &sx) == 0) {
    if (sx.mask & kStatxMntId) return sx.mnt_id + 1;
    return (uint64_t{1} << 63) | (uint64_t{sx.dev_major} << 32) | sx.dev_minor;
  }
  struct stat st;
  if (stat(path, &st) != 0) return 0;
  return (uint64_t{1} << 63) | static_cast<uint64_t>(st.st_dev);
}

bool dir_is_empty(const char* path) {
  DIR* d = opendir(path);
  if (d == nullptr) return false;
  bool empty = true;
  while (const dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(d);
  return empty;
}

std::string_view parent_of(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

// Copies the entry at from (links not followed; a directory with all it
// holds) to the new name to, with its owner, permission bits and times.
// Names of one file copied by one TreeCopy to one file system stay one
// file. 0, or -1 with errno set.
class TreeCopy {
 public:
  int copy(const std::string& from, const std::string& to) {
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) {
      if (mkdir(to.c_str(), 0700) != 0) return -1;
      DIR* d = opendir(from.c_str());
      if (d == nullptr) return -1;
      int result = 0;
      while (const dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        if ((result = copy(from + "/" + e->d_name, to + "/" + e->d_name)) != 0) break;
      }
      closedir(d);
      if (result != 0) return -1;
    } else if (!S_ISDIR(st.st_mode) && st.st_nlink > 1 && linked_.contains(key(st)) &&
               link(linked_[key(st)].c_str(), to.c_str()) == 0) {
      return 0;  // a name of a file already copied, on the same file system
    } else if (S_ISREG(st.st_mode)) {
      if (copy_regular_file(from.c_str(), to.c_str(), st.st_mode & 07777) != 0) return -1;
    } else if (S_ISLNK(st.st_mode)) {
      std::string target(kPathBuf, '\0');
      ssize_t n = readlink(from.c_str(), target.data(), target.size() - 1);
      if (n < 0) return -1;
      target.resize(static_cast<size_t>(n));
      if (symlink(target.c_str(), to.c_str()) != 0) return -1;
    } else if (mknod(to.c_str(), st.st_mode, st.st_rdev) != 0) {
      return -1;
    }
    if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) linked_.emplace(key(st), to);
    if (lchown(to.c_str(), st.st_uid, st.st_gid) != 0) return -1;
    if (!S_ISLNK(st.st_mode) && chmod(to.c_str(), st.st_mode & 07777) != 0) return -1;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    return utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }

 private:
  static std::string key(const struct stat& st) {
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }

  std::unordered_map<std::string, std::string> linked_;
};

// What lstat would say of staged entries, as far as the plan needs it, read
// from one listing per staged directory instead of one lstat per entry.
// The staging area is one fresh directory tree on one file system, so one
// device serves all; a directory whose listing's inode numbers disagree
// with lstat (some file systems number them differently) is looked at
// entry by entry instead.
class StagedEntries {
 public:
  explicit StagedEntries(int stage_fd) : stage_fd_(stage_fd) {
    struct stat st;
    if (fstat(stage_fd, &st) == 0) dev_ = static_cast<uint64_t>(st.st_dev);
  }

  // False when name is not staged.
  bool look(const std::string& name, struct stat& st) {
    size_t slash = name.rfind('/');
    std::string_view dir =
        slash == std::string::npos ? std::string_view(".") : std::string_view(name).substr(0, slash);
    // Members come directory by directory: the last listing is at hand.
    if (last_ == nullptr || dir != last_dir_) {
      auto found = dirs_.find(std::string(dir));
      if (found == dirs_.end()) found = dirs_.emplace(std::string(dir), read(std::string(dir))).first;
      last_dir_ = found->first;  // map nodes stay where they are
      last_ = &found->second;
    }
    const Listing& listing = *last_;
    std::string base = name.substr(slash + 1);
    if (!listing.trusted || base == "." || base == "..")
      return fstatat(stage_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    auto entry = listing.entries.find(base);
    if (entry == listing.entries.end()) return false;
    if (entry->second.second == DT_UNKNOWN)
      return fstatat(stage_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    st = {};
    st.st_dev = static_cast<dev_t>(dev_);
    st.st_ino = static_cast<ino_t>(entry->second.first);
    st.st_mode = entry->second.second == DT_DIR ? S_IFDIR : S_IFREG;  // only "directory?" is asked
    return true;
  }

 private:
  struct Listing {
    bool trusted = false;
    std::unordered_map<std::string, std::pair<uint64_t, unsigned char>> entries;
  };

  Listing read(const std::string& dir) {
    Listing listing;
    int fd = openat(stage_fd_, dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (d == nullptr) {
      if (fd >= 0) close(fd);
      return listing;
    }
    bool checked = false;
    listing.trusted = dev_ != 0;
    while (const dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      listing.entries.emplace(e->d_name, std::make_pair(static_cast<uint64_t>(e->d_ino), e->d_type));
      struct stat st;
      if (!checked && listing.trusted) {
        checked = true;
        listing.trusted = fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                          static_cast<uint64_t>(st.st_ino) == static_cast<uint64_t>(e->d_ino) &&
                          static_cast<uint64_t>(st.st_dev) == dev_;
      }
    }
    closedir(d);
    return listing;
  }

  int stage_fd_;
  uint64_t dev_ = 0;
  std::unordered_map<std::string, Listing> dirs_;
  std::string_view last_dir_;
  const Listing* last_ = nullptr;
};

// Whether an entry stands at a path of the root, and whether it is a
// directory, as lstat would say. A directory that receives many members is
// listed once instead of an lstat per member, unless its listing turns out
// much longer than the members it serves.
class RootEntries {
 public:
  RootEntries(const std::string& root, const StringList* members) : root_(root) {
    for (uint64_t i = 0; i < members->in_use; i++) {
      if (members->strings[i] == nullptr) continue;
      std::string_view name(members->strings[i]);
      while (name.ends_with('/')) name.remove_suffix(1);
      counts_[std::string(parent_of(name))]++;
    }
  }

  bool look(const std::string& target, bool& is_dir) {
    size_t slash = target.rfind('/');
    std::string_view dir =
        slash == std::string::npos ? std::string_view() : std::string_view(target).substr(0, slash);
    std::string_view base = std::string_view(target).substr(slash + 1);
    const Listing* listing = listing_of(dir);
    if (listing != nullptr && base != "." && base != "..") {
      auto entry = listing->types.find(std::string(base));
      if (entry == listing->types.end()) return false;
      if (entry->second != DT_UNKNOWN) {
        is_dir = entry->second == DT_DIR;
        return true;
      }
    }
    struct stat st;
    if (lstat((root_ + target).c_str(), &st) != 0) return false;
    is_dir = S_ISDIR(st.st_mode);
    return true;
  }

 private:
  static constexpr size_t kListAt = 16;     // members in one directory
  static constexpr size_t kListRatio = 64;  // entries listed per member, at most

  struct Listing {
    bool listed = false;
    std::unordered_map<std::string, unsigned char> types;
  };

  // The listing of dir where the members it receives make one worth it
  // and it could be read whole; null otherwise. Members come directory by
  // directory: the last answer is at hand.
  const Listing* listing_of(std::string_view dir) {
    if (looked_ && dir == last_dir_) return last_;
    auto count = counts_.find(std::string(dir));
    if (count == counts_.end()) return nullptr;  // no member's directory
    looked_ = true;
    last_dir_ = count->first;  // map nodes stay where they are
    last_ = nullptr;
    if (count->second < kListAt) return nullptr;
    auto found = dirs_.find(count->first);
    if (found == dirs_.end())
      found = dirs_.emplace(count->first, read(count->first, count->second * kListRatio)).first;
    if (found->second.listed) last_ = &found->second;
    return last_;
  }

  Listing read(const std::string& dir, size_t limit) {
    Listing listing;
    DIR* d = opendir((root_ + dir).c_str());
    if (d == nullptr) return listing;  // lstat tells
    listing.listed = true;
    while (const dirent* e = readdir(d)) {
      if (listing.types.size() >= limit) {
        listing.listed = false;
        listing.types.clear();
        break;
      }
      listing.types.emplace(e->d_name, e->d_type);
    }
    closedir(d);
    return listing;
  }

  std::string root_;  // ends in "/"
  std::unordered_map<std::string, size_t> counts_;
  std::unordered_map<std::string, Listing> dirs_;  // nodes stay where they are
  bool looked_ = false;
  std::string_view last_dir_;
  const Listing* last_ = nullptr;
};

// What became of one rename of the commit (its plan is an IntentMove), so
// that it can be taken back.
struct MoveState {
  std::string copy;  // another file system: from is copied to this temporary name first
  enum class Done { kNot, kRenamed, kExchanged, kReplaced } done = Done::kNot;
};

class Committer {
 public:
  Committer(const CommitRequest& request, CommitResult& result)
      : request_(request), result_(result),
        root_(strformat("%s%s", request.root, has_suffix(request.root, "/") ? "" : "/")),
        stage_(request.staging->dir) {
    stage_mount_ = mount_of(stage_.c_str());
    for (const StringList* list : {request.keep, request.config})
      for (uint64_t i = 0; list != nullptr && i < list->in_use; i++)
        if (list->strings[i] != nullptr && !has_suffix(list->strings[i], "/"))
          (list == request.keep ? keep_ : config_).insert(list->strings[i]);
    dirs_.emplace("", DirState{true, mount_of(request.root)});
    result_.mounts.emplace_back(fcntl(request.staging->dir_fd.get(), F_DUPFD_CLOEXEC, 0));
    mount_ids_.push_back(stage_mount_);
  }

  ~Committer() {
    for (const std::string& temp : temps_) remove_tree(temp.c_str());
  }

  int run() {
    result_.staged_new.reset(strlist_new());
    const StringList* members = request_.members;
    moves_.reserve(members->in_use);
    seen_.reserve(members->in_use);
    states_.reserve(members->in_use);
    for (uint64_t i = 0; i < members->in_use; i++)
      if (members->strings[i] != nullptr) plan_member(members->strings[i]);
    if (!blocked_.empty()) {
      // tar's own words, as when it met the same directory in the root.
      for (const std::string& path : blocked_) fprintf(stderr, "tar: %s: Cannot open: File exists\n", path.c_str());
      fputs("tar: Exiting with failure status due to previous errors\n", stderr);
      return -1;
    }
    if (!temps_.empty() && record(false) != 0) return -1;
    for (size_t i = 0; i < moves_.size(); i++)
      if (!states_[i].copy.empty() && copy_beside(moves_[i], states_[i].copy) != 0) return -1;
    // Every byte of the package is on disk before anything is in place.
    for (const UniqueFd& fd : result_.mounts) {
      if (syncfs(fd.get()) != 0) {
        warn("cannot flush %s", stage_.c_str());
        return -1;
      }
    }
    if (record(true) != 0) return -1;
    ParentDir from_dir, to_dir;
    for (size_t i = 0; i < moves_.size(); i++) {
      if (apply(moves_[i], states_[i], from_dir, to_dir) == 0) continue;
      warn("cannot rename %s", moves_[i].to.c_str());
      while (i-- > 0) undo(moves_[i], states_[i]);
      return -1;
    }
    // What the copies swapped out of other file systems is old now.
    for (const std::string& temp : temps_) remove_tree(temp.c_str());
    temps_.clear();
    return 0;
  }

 private:
  struct DirState {
    bool is_dir;     // a directory, or a link to one
    uint64_t mount;  // where entries renamed into it must come from
  };

  const DirState& dir_state(std::string_view rel) {
    // Members come directory by directory: the last answer is at hand.
    if (last_state_ != nullptr && rel == last_state_dir_) return *last_state_;
    auto it = dirs_.find(std::string(rel));
    if (it == dirs_.end()) {
      std::string full = root_ + std::string(rel);
      struct stat st;
      bool is_dir = stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      it = dirs_.emplace(std::string(rel), DirState{is_dir, is_dir ? mount_of(full.c_str()) : 0}).first;
    }
    last_state_dir_ = it->first;  // map nodes stay where they are
    last_state_ = &it->second;
    return *last_state_;
  }

  // An ancestor of path, or path itself, already moves whole.
  bool covered(std::string_view path) const {
    if (moved_.empty()) return false;
    for (std::string_view p = path; !p.empty(); p = parent_of(p))
      if (moved_.contains(std::string(p))) return true;
    return false;
  }

  int plan_member(const char* member) {
    std::string_view view(member);
    while (view.ends_with('/')) view.remove_suffix(1);
    if (view.empty() || !seen_.insert(view).second) return 0;
    std::string name(view);
    if (covered(name) || keep_.contains(member)) return 0;
    struct stat staged;
    if (!staged_.look(name, staged)) return 0;  // listed but never written
    // The first directory on the way that the root lacks arrives whole,
    // with this member in it.
    std::string_view parent = parent_of(name);
    if (parent != last_parent_) {
      size_t at = 0;
      while (at < parent.size()) {
        size_t slash = parent.find('/', at);
        std::string_view dir = parent.substr(0, slash == std::string_view::npos ? parent.size() : slash);
        if (!dir_state(dir).is_dir) {
          struct stat st;
          std::string staged_dir(dir);
          if (fstatat(request_.staging->dir_fd.get(), staged_dir.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return 0;
          return plan_entry(staged_dir, staged_dir, st);
        }
        at = dir.size() + 1;
      }
      last_parent_ = std::string(parent);
    }
    if (config_.contains(member)) {
      // A directory in the way of the ".new" costs only that copy, as it
      // always has.
      std::string target = root_ + name + ".new";
      struct stat st;
      if (lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        warn("cannot stage %s.new", member);
        return 0;
      }
      strlist_add(result_.staged_new.get(), member);
      return plan_entry(name, name + ".new", staged);
    }
    return plan_entry(name, name, staged);
  }

  // Plans the move of the staged entry name (staged, as lstat saw it) to
  // the root's target.
  int plan_entry(const std::string& name, const std::string& target, const struct stat& staged) {
    bool staged_dir = S_ISDIR(staged.st_mode);
    std::string to = root_ + target;
    IntentMove move{stage_ + "/" + name, to, false, static_cast<uint64_t>(staged.st_dev),
                    static_cast<uint64_t>(staged.st_ino)};
    bool there_dir = false;
    if (root_entries_.look(target, there_dir)) {
      if (staged_dir) {
        struct stat through;
        if (stat(to.c_str(), &through) == 0 && S_ISDIR(through.st_mode)) return 0;  // stays
      } else if (there_dir && !dir_is_empty(to.c_str())) {
        blocked_.push_back(target);
        return 0;
      }
      move.exchange = true;
    }
    if (staged_dir) moved_.insert(name);
    const DirState& parent = dir_state(parent_of(target));
    MoveState& state = states_.emplace_back();
    if (parent.mount != stage_mount_) plan_copy(parent, move, state);
    moves_.push_back(std::move(move));
    return 0;
  }

  // Another file system: the entry is copied beside its target first, to a
  // name chosen now so that the intent can name it before it exists.
  void plan_copy(const DirState& parent, const IntentMove& move, MoveState& state) {
    std::string dir = move.to.substr(0, move.to.rfind('/'));
    if (std::find(mount_ids_.begin(), mount_ids_.end(), parent.mount) == mount_ids_.end()) {
      result_.mounts.emplace_back(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      mount_ids_.push_back(parent.mount);
    }
    do state.copy = strformat("%s/.zarnin-new.%d.%zu", dir.c_str(), static_cast<int>(getpid()), attempts_++);
    while (entry_exists(state.copy.c_str()));
    temps_.push_back(state.copy);
  }

  int copy_beside(IntentMove& move, const std::string& copy) {
    struct stat st;
    if (copier_.copy(move.from, copy) != 0 || lstat(copy.c_str(), &st) != 0) {
      warn("cannot copy %s", move.to.c_str());
      return -1;
    }
    move.from = copy;
    move.dev = static_cast<uint64_t>(st.st_dev);
    move.ino = static_cast<uint64_t>(st.st_ino);
    return 0;
  }

  // Lends the plan to the caller's record.
  int record(bool prepared) {
    if (!request_.record) return 0;
    std::vector<IntentMove> none;
    return request_.record(prepared, prepared ? moves_ : none, temps_);
  }

  // The rename the plan chose; the other kind when the target came or
  // went meanwhile; a plain rename on a file system without either flag.
  static int apply(const IntentMove& move, MoveState& state, ParentDir& from_dir,
                   ParentDir& to_dir) {
    unsigned flags = move.exchange ? kRenameExchange : kRenameNoReplace;
    for (int tries = 0; tries < 2; tries++) {
      if (rename2(from_dir, to_dir, move, flags) == 0) {
        state.done = flags == kRenameExchange ? MoveState::Done::kExchanged
                                              : MoveState::Done::kRenamed;
        return 0;
      }
      if (errno == EINVAL) break;
      if (errno != (flags == kRenameExchange ? ENOENT : EEXIST)) return -1;
      // What appeared meanwhile is swapped out only when it is no
      // directory: a directory holds what the plan never looked at.
      struct stat st;
      if (flags == kRenameNoReplace && (lstat(move.to.c_str(), &st) != 0 || S_ISDIR(st.st_mode))) {
        errno = EEXIST;
        return -1;
      }
      flags = flags == kRenameExchange ? kRenameNoReplace : kRenameExchange;
    }
    if (errno != EINVAL) return -1;
    // Nothing can take this one back where it replaced an entry.
    bool replaces = entry_exists(move.to.c_str());
    if (rename(move.from.c_str(), move.to.c_str()) != 0) return -1;
    state.done = replaces ? MoveState::Done::kReplaced : MoveState::Done::kRenamed;
    return 0;
  }

  static void undo(const IntentMove& move, const MoveState& state) {
    if (state.done == MoveState::Done::kRenamed) rename(move.to.c_str(), move.from.c_str());
    if (state.done == MoveState::Done::kExchanged)
      rename2(move.from.c_str(), move.to.c_str(), kRenameExchange);
  }

  const CommitRequest& request_;
  CommitResult& result_;
  std::string root_;   // ends in "/"
  std::string stage_;
  uint64_t stage_mount_;
  std::unordered_set<std::string> keep_, config_, moved_;
  std::unordered_set<std::string_view> seen_;  // views of the members
  std::unordered_map<std::string, DirState> dirs_;
  std::string_view last_state_dir_;
  const DirState* last_state_ = nullptr;
  std::string last_parent_ = std::string(1, '\0');
  std::vector<IntentMove> moves_;  // the plan, in order
  std::vector<MoveState> states_;  // one for each of moves_
  std::vector<std::string> blocked_;
  std::vector<std::string> temps_;
  std::vector<uint64_t> mount_ids_;  // of result_.mounts
  TreeCopy copier_;  // one for the commit, so that hard links stay links
  StagedEntries staged_{request_.staging->dir_fd.get()};
  RootEntries root_entries_{root_, request_.members};
  size_t attempts_ = 0;
};

}  // namespace

int install_commit(const CommitRequest& request, CommitResult& result) {
  Committer committer(request, result);
  return committer.run();
}

void install_commit_flush(const CommitResult& result) {
  for (const UniqueFd& fd : result.mounts) syncfs(fd.get());
}
