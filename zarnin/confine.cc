// The refusals that keep an install inside its root and away from the
// package database.
#include "zarnin/confine.h"

#include <unistd.h>

#include <cstring>
#include <deque>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "db/db.h"
#include "zarnin/plan.h"

namespace {

// The path with empty and "." components dropped: "./usr//bin/" is "usr/bin".
std::string canonical(std::string_view path) {
  std::string out;
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") {
      if (!out.empty()) out += '/';
      out += part;
    }
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return out;
}

std::string absolute(const char* path) {
  if (path[0] == '/') return path;
  std::string cwd(kPathBuf, '\0');
  if (getcwd(cwd.data(), cwd.size()) == nullptr) return path;
  return std::string(cwd.c_str()) + "/" + path;
}

// path is at or below dir, component-wise.
bool at_or_below(std::string_view path, std::string_view dir) {
  return path == dir || (path.size() > dir.size() && path.starts_with(dir) && path[dir.size()] == '/');
}

// A member name that is already canonical but for a trailing "/": no
// empty or "." component.
bool is_plain(std::string_view path) {
  if (path.ends_with('/')) path.remove_suffix(1);
  return !path.empty() && path != "." && !path.starts_with('/') && !path.starts_with("./") &&
         !path.ends_with("/.") && path.find("//") == std::string_view::npos &&
         path.find("/./") == std::string_view::npos;
}

std::string_view dirname_of(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

// The checks of one install. Members come in archive order, so consecutive
// members mostly share their directory, which is then looked at once.
class Confinement {
 public:
  Confinement(const char* root, const char* db_dir)
      : guard_(root), db_(install_db_inside(root, db_dir)) {
    if (db_) {
      for (const char* file : {"db", "db.tmp", kIntentFile, "intent.tmp", kPristineDirs[0],
                               kPristineDirs[1], kPristineDirs[2]})
        db_files_.push_back(db_->empty() ? file : *db_ + "/" + file);
    }
  }

  // False when path may not be extracted as the root stands. Notes the
  // directories above it for below_non_dir.
  bool allows(const char* path, bool member) {
    std::string_view canon = canonical_view(path);
    bool is_dir = has_suffix(path, "/");
    if (member && db_ && !db_allows(canon, is_dir)) return false;
    // The next run deletes staging directories that no live run holds.
    if (member && canon.starts_with(kStagePrefix)) return false;
    std::string_view parent = dirname_of(canon);
    if (parent != last_parent_) {
      for (std::string_view dir = parent; !dir.empty() && !dirs_.contains(dir); dir = dirname_of(dir))
        dirs_.insert(dir);
      last_parent_ = parent;
    }
    std::string_view dir = is_dir ? canon : parent;
    if (!checked_dir_ || dir != last_dir_) {
      if (!guard_.dir_inside(dir)) return false;
      last_dir_ = dir;
      checked_dir_ = true;
    }
    return true;
  }

  // Notes a non-directory member; false when a path passed to allows lies
  // below it.
  bool directory_free(const char* member) {
    std::string_view canon = canonical_view(member);
    if (!dirs_.contains(canon)) return true;
    non_dir_parents_.insert(canon);
    return false;
  }

  // path lies below a member that directory_free turned down.
  bool below_non_dir(const char* path) {
    for (std::string_view dir = dirname_of(canonical_view(path)); !dir.empty(); dir = dirname_of(dir))
      if (non_dir_parents_.contains(dir)) return true;
    return false;
  }

 private:
  // The canonical form of path, viewed in path itself when it is plain,
  // else in a copy kept for the life of the checks.
  std::string_view canonical_view(const char* path) {
    std::string_view raw(path);
    if (is_plain(raw)) return raw.ends_with('/') ? raw.substr(0, raw.size() - 1) : raw;
    return copies_.emplace_back(canonical(raw));
  }

  bool db_allows(std::string_view canon, bool is_dir) const {
    for (const std::string& file : db_files_)
      if (at_or_below(canon, file)) return false;
    return is_dir || !at_or_below(*db_, canon);
  }

  RootGuard guard_;
  std::optional<std::string> db_;
  std::vector<std::string> db_files_;
  std::deque<std::string> copies_;  // stable storage for views
  std::unordered_set<std::string_view> dirs_;  // every directory above a path
  std::unordered_set<std::string_view> non_dir_parents_;
  std::string_view last_parent_, last_dir_;
  bool checked_dir_ = false;
};

}  // namespace

std::optional<std::string> install_db_inside(const char* root, const char* db_dir) {
  std::string r = canonical(absolute(root));
  std::string d = canonical(absolute(db_dir));
  if (r.empty()) return d;
  if (d == r) return std::string();
  if (!at_or_below(d, r)) return std::nullopt;
  return d.substr(r.size() + 1);
}

const char* install_first_escaping(const StringList* members, const StringList* link_targets,
                                   const char* root, const char* db_dir) {
  Confinement confinement(root, db_dir);
  for (uint64_t i = 0; i < members->in_use; i++) {
    const char* m = members->strings[i];
    if (m != nullptr && !confinement.allows(m, true)) return m;
  }
  uint64_t targets = link_targets != nullptr ? link_targets->in_use : 0;
  for (uint64_t i = 0; i < targets; i++) {
    const char* t = link_targets->strings[i];
    if (t != nullptr && (install_path_unsafe(t) || !confinement.allows(t, false))) return t;
  }
  // Only directories seen above some path need looking up among the
  // non-directory members; the offending path is named only when there is
  // one.
  bool clear = true;
  for (uint64_t i = 0; i < members->in_use; i++) {
    const char* m = members->strings[i];
    if (m != nullptr && !has_suffix(m, "/") && !confinement.directory_free(m)) clear = false;
  }
  if (clear) return nullptr;
  for (uint64_t i = 0; i < members->in_use + targets; i++) {
    const char* p = i < members->in_use ? members->strings[i] : link_targets->strings[i - members->in_use];
    if (p != nullptr && confinement.below_non_dir(p)) return p;
  }
  return nullptr;
}
