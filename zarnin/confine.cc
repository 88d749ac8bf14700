// The refusals that keep an install inside its root and away from the
// package database.
#include "zarnin/confine.h"

#include <unistd.h>

#include <cstring>
#include <string_view>
#include <unordered_set>

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

class Confinement {
 public:
  Confinement(const StringList* members, const char* root, const char* db_dir)
      : guard_(root), db_(install_db_inside(root, db_dir)) {
    for (uint64_t i = 0; i < members->in_use; i++) {
      const char* m = members->strings[i];
      if (m != nullptr && !has_suffix(m, "/")) non_dirs_.insert(canonical(m));
    }
  }

  // False when the install must not extract path.
  bool allows(const char* path, bool member) {
    std::string canon = canonical(path);
    bool is_dir = has_suffix(path, "/");
    if (member && db_ && !db_allows(canon, is_dir)) return false;
    if (!parents_are_dirs(canon)) return false;
    std::string_view dir(path);
    if (!is_dir) {
      size_t slash = dir.rfind('/');
      dir = slash == std::string_view::npos ? std::string_view() : dir.substr(0, slash);
    }
    return guard_.dir_inside(dir);
  }

 private:
  bool db_allows(const std::string& canon, bool is_dir) const {
    for (const char* file : {"db", "db.tmp"})
      if (at_or_below(canon, db_->empty() ? file : *db_ + "/" + file)) return false;
    return is_dir || !at_or_below(*db_, canon);
  }

  // No directory above canon is a non-directory member. Each directory is
  // looked at once.
  bool parents_are_dirs(const std::string& canon) {
    for (size_t end = canon.rfind('/'); end != std::string::npos && end > 0;
         end = canon.rfind('/', end - 1)) {
      std::string dir = canon.substr(0, end);
      if (dirs_seen_.contains(dir)) break;
      if (non_dirs_.contains(dir)) return false;
      dirs_seen_.insert(std::move(dir));
    }
    return true;
  }

  RootGuard guard_;
  std::optional<std::string> db_;
  std::unordered_set<std::string> non_dirs_;
  std::unordered_set<std::string> dirs_seen_;
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
  Confinement confinement(members, root, db_dir);
  for (uint64_t i = 0; i < members->in_use; i++) {
    const char* m = members->strings[i];
    if (m != nullptr && !confinement.allows(m, true)) return m;
  }
  for (uint64_t i = 0; link_targets != nullptr && i < link_targets->in_use; i++) {
    const char* t = link_targets->strings[i];
    if (t != nullptr && (install_path_unsafe(t) || !confinement.allows(t, false))) return t;
  }
  return nullptr;
}
