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

// One rename of the commit; done says how, so that it can be taken back.
struct Move {
  std::string from, to;
  bool exchange;     // the plan: the target exists and is swapped out
  std::string copy;  // another file system: from is copied to this temporary name first
  uint64_t dev = 0, ino = 0;  // the entry at from
  enum class Done { kNot, kRenamed, kExchanged, kReplaced } done = Done::kNot;
};

class Committer {
 public:
  Committer(const CommitRequest& request, CommitResult& result)
      : request_(request), result_(result), root_(request.root),
        stage_(request.staging->dir) {
    if (!root_.ends_with('/')) root_ += '/';
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
    for (uint64_t i = 0; i < members->in_use; i++)
      if (members->strings[i] != nullptr) plan_member(members->strings[i]);
    if (!blocked_.empty()) {
      // tar's own words, as when it met the same directory in the root.
      for (const std::string& path : blocked_) fprintf(stderr, "tar: %s: Cannot open: File exists\n", path.c_str());
      fputs("tar: Exiting with failure status due to previous errors\n", stderr);
      return -1;
    }
    if (!temps_.empty() && record(false) != 0) return -1;
    for (Move& move : moves_)
      if (!move.copy.empty() && copy_beside(move) != 0) return -1;
    // Every byte of the package is on disk before anything is in place.
    for (const UniqueFd& fd : result_.mounts) {
      if (syncfs(fd.get()) != 0) {
        warn("cannot flush %s", stage_.c_str());
        return -1;
      }
    }
    if (record(true) != 0) return -1;
    for (size_t i = 0; i < moves_.size(); i++) {
      if (apply(moves_[i]) == 0) continue;
      warn("cannot rename %s", moves_[i].to.c_str());
      while (i-- > 0) undo(moves_[i]);
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
    auto it = dirs_.find(std::string(rel));
    if (it != dirs_.end()) return it->second;
    std::string full = root_ + std::string(rel);
    struct stat st;
    bool is_dir = stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    return dirs_.emplace(std::string(rel), DirState{is_dir, is_dir ? mount_of(full.c_str()) : 0})
        .first->second;
  }

  // An ancestor of path, or path itself, already moves whole.
  bool covered(std::string_view path) const {
    if (moved_.empty()) return false;
    for (std::string_view p = path; !p.empty(); p = parent_of(p))
      if (moved_.contains(std::string(p))) return true;
    return false;
  }

  int plan_member(const char* member) {
    std::string name(member);
    while (name.ends_with('/')) name.pop_back();
    if (name.empty() || !seen_.insert(name).second || covered(name) || keep_.contains(member))
      return 0;
    struct stat staged;
    if (fstatat(request_.staging->dir_fd.get(), name.c_str(), &staged, AT_SYMLINK_NOFOLLOW) != 0)
      return 0;  // listed but never written
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
    Move move{stage_ + "/" + name, to, false, {}, static_cast<uint64_t>(staged.st_dev),
              static_cast<uint64_t>(staged.st_ino)};
    struct stat st;
    if (lstat(to.c_str(), &st) == 0) {
      if (staged_dir) {
        struct stat through;
        if (stat(to.c_str(), &through) == 0 && S_ISDIR(through.st_mode)) return 0;  // stays
      } else if (S_ISDIR(st.st_mode) && !dir_is_empty(to.c_str())) {
        blocked_.push_back(target);
        return 0;
      }
      move.exchange = true;
    }
    if (staged_dir) moved_.insert(name);
    const DirState& parent = dir_state(parent_of(target));
    if (parent.mount != stage_mount_) plan_copy(parent, move);
    moves_.push_back(std::move(move));
    return 0;
  }

  // Another file system: the entry is copied beside its target first, to a
  // name chosen now so that the intent can name it before it exists.
  void plan_copy(const DirState& parent, Move& move) {
    std::string dir = move.to.substr(0, move.to.rfind('/'));
    if (std::find(mount_ids_.begin(), mount_ids_.end(), parent.mount) == mount_ids_.end()) {
      result_.mounts.emplace_back(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      mount_ids_.push_back(parent.mount);
    }
    do move.copy = strformat("%s/.zarnin-new.%d.%zu", dir.c_str(), static_cast<int>(getpid()), attempts_++);
    while (entry_exists(move.copy.c_str()));
    temps_.push_back(move.copy);
  }

  int copy_beside(Move& move) {
    struct stat st;
    if (copier_.copy(move.from, move.copy) != 0 || lstat(move.copy.c_str(), &st) != 0) {
      warn("cannot copy %s", move.to.c_str());
      return -1;
    }
    move.from = move.copy;
    move.dev = static_cast<uint64_t>(st.st_dev);
    move.ino = static_cast<uint64_t>(st.st_ino);
    return 0;
  }

  // Hands the plan to the caller's record.
  int record(bool prepared) {
    if (!request_.record) return 0;
    std::vector<IntentMove> moves;
    if (prepared)
      for (const Move& m : moves_) moves.push_back({m.from, m.to, m.exchange, m.dev, m.ino});
    return request_.record(prepared, moves, temps_);
  }

  // The rename the plan chose; the other kind when the target came or
  // went meanwhile; a plain rename on a file system without either flag.
  static int apply(Move& move) {
    unsigned flags = move.exchange ? kRenameExchange : kRenameNoReplace;
    for (int tries = 0; tries < 2; tries++) {
      if (rename2(move.from.c_str(), move.to.c_str(), flags) == 0) {
        move.done = flags == kRenameExchange ? Move::Done::kExchanged : Move::Done::kRenamed;
        return 0;
      }
      if (errno == EINVAL) break;
      if (errno != (flags == kRenameExchange ? ENOENT : EEXIST)) return -1;
      flags = flags == kRenameExchange ? kRenameNoReplace : kRenameExchange;
    }
    if (errno != EINVAL) return -1;
    // Nothing can take this one back where it replaced an entry.
    bool replaces = entry_exists(move.to.c_str());
    if (rename(move.from.c_str(), move.to.c_str()) != 0) return -1;
    move.done = replaces ? Move::Done::kReplaced : Move::Done::kRenamed;
    return 0;
  }

  static void undo(const Move& move) {
    if (move.done == Move::Done::kRenamed) rename(move.to.c_str(), move.from.c_str());
    if (move.done == Move::Done::kExchanged) rename2(move.from.c_str(), move.to.c_str(), kRenameExchange);
  }

  const CommitRequest& request_;
  CommitResult& result_;
  std::string root_;   // ends in "/"
  std::string stage_;
  uint64_t stage_mount_;
  std::unordered_set<std::string> keep_, config_, seen_, moved_;
  std::unordered_map<std::string, DirState> dirs_;
  std::string last_parent_ = std::string(1, '\0');
  std::vector<Move> moves_;
  std::vector<std::string> blocked_;
  std::vector<std::string> temps_;
  std::vector<uint64_t> mount_ids_;  // of result_.mounts
  TreeCopy copier_;  // one for the commit, so that hard links stay links
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
