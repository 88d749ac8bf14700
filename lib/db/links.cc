// Directory links inside the root: finding them, and the canonical form of a
// path that goes through them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "db/db.h"

namespace {

// As many links as the kernel follows in one path walk before ELOOP.
constexpr int kMaxHops = 40;
// Directory links that the root's maker sets up ("bin -> usr/bin",
// "usr/lib64 -> lib", "var/run -> ../run") sit this close to the root.
constexpr size_t kShallowLevels = 2;

std::string_view view_of(const char* s) { return s == nullptr ? std::string_view() : s; }

// The directories that path names at its first kShallowLevels levels ("usr"
// and "usr/lib" of "usr/lib/x"); one (or none) for shorter paths.
template <class Fn>
void shallow_prefixes(std::string_view path, Fn&& fn) {
  size_t at = 0;
  for (size_t level = 0; level < kShallowLevels; level++) {
    size_t slash = path.find('/', at);
    if (slash == std::string_view::npos) return;
    fn(path.substr(0, slash));
    at = slash + 1;
  }
}

// Every directory that path goes through ("a" and "a/b" of "a/b/c" and of
// "a/b/c/").
template <class Fn>
void parent_prefixes(std::string_view path, Fn&& fn) {
  if (path.ends_with('/')) path.remove_suffix(1);
  for (size_t slash = path.find('/'); slash != std::string_view::npos;
       slash = path.find('/', slash + 1))
    fn(path.substr(0, slash));
}

// The directory that holds path ("" at the top).
std::string_view parent_of(std::string_view path) {
  if (path.ends_with('/')) path.remove_suffix(1);
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view("") : path.substr(0, slash);
}

bool starts_with_dir(std::string_view path, std::string_view dir) {
  return path.size() > dir.size() && path[dir.size()] == '/' && path.starts_with(dir);
}

// Walks relative paths inside the root component by component, reading the
// links it meets, and remembers every location it has looked at.
class RootWalker {
 public:
  explicit RootWalker(const char* root)
      : root_fd_(open(root == nullptr || *root == '\0' ? "/" : root,
                      O_PATH | O_DIRECTORY | O_CLOEXEC)) {}

  // path with every component resolved: canonical, free of links. Null when
  // a link leads above the root, the walk loops, or a link to something other
  // than a directory is gone through.
  std::optional<std::string> resolve(std::string_view path, int depth = 0) {
    if (depth > kMaxHops) return std::nullopt;
    std::string cur;
    while (!path.empty()) {
      size_t slash = path.find('/');
      std::string_view name = path.substr(0, slash);
      path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
      if (name.empty() || name == ".") continue;
      if (name == "..") {
        if (cur.empty()) return std::nullopt;
        size_t up = cur.rfind('/');
        cur.resize(up == std::string::npos ? 0 : up);
        continue;
      }
      size_t keep = cur.size();
      if (!cur.empty()) cur += '/';
      cur += name;
      std::optional<std::string> target = look_at(cur, keep, depth);
      if (!target.has_value()) return std::nullopt;
      // A location that is no directory link stays as it is.
      if (*target != cur) cur = std::move(*target);
    }
    return cur;
  }

  std::vector<std::pair<std::string, std::string>> take_links() {
    std::vector<std::pair<std::string, std::string>> found;
    for (auto& [at, target] : seen_)
      if (target.has_value() && *target != at) found.emplace_back(at, *target);
    return found;
  }

 private:
  // For a canonical location: itself when it is no link (or does not exist),
  // the resolved target of a directory link, null when a link cannot be
  // resolved inside the root.
  std::optional<std::string> look_at(const std::string& at, size_t parent_len, int depth) {
    auto known = seen_.find(at);
    if (known != seen_.end()) return known->second;
    std::optional<std::string> result = at;
    struct stat st;
    if (root_fd_ && fstatat(root_fd_.get(), at.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
      result = follow(at, parent_len, depth);
    }
    seen_.emplace(at, result);
    return result;
  }

  std::optional<std::string> follow(const std::string& at, size_t parent_len, int depth) {
    std::string text(kPathBuf, '\0');
    ssize_t n = readlinkat(root_fd_.get(), at.c_str(), text.data(), text.size() - 1);
    if (n <= 0) return std::nullopt;
    text.resize(static_cast<size_t>(n));
    // An absolute target means the root's own tree, as it does for the
    // system running inside it.
    std::string joined = text.starts_with('/') ? text : at.substr(0, parent_len) + "/" + text;
    std::optional<std::string> target = resolve(joined, depth + 1);
    if (!target.has_value()) return std::nullopt;
    struct stat st;
    bool is_dir = target->empty() ||
                  (fstatat(root_fd_.get(), target->c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode));
    if (!is_dir) return std::nullopt;
    return target;
  }

  UniqueFd root_fd_;
  std::unordered_map<std::string, std::optional<std::string>> seen_;
};

}  // namespace

DirLinks::DirLinks(const char* root, const PackageDb* db,
                   std::initializer_list<const StringList*> own) {
  std::unordered_set<std::string_view> places;
  // Recorded lists are sorted, so neighbours mostly share their first levels.
  std::string_view last;
  auto add_shallow = [&](std::string_view dir) { places.emplace(dir); };
  auto scan_shallow = [&](const StringList* list) {
    last = {};
    for (uint64_t i = 0; i < list->in_use; i++) {
      std::string_view path = view_of(list->strings[i]);
      if (!last.empty() && starts_with_dir(path, last)) continue;
      shallow_prefixes(path, add_shallow);
      size_t first = path.find('/');
      size_t second = first == std::string_view::npos ? first : path.find('/', first + 1);
      last = second == std::string_view::npos ? std::string_view() : path.substr(0, second);
    }
  };
  if (db != nullptr)
    for (const PackageEntry* e = db->entries; e != nullptr; e = e->next)
      if (e->files != nullptr) scan_shallow(e->files);
  for (const StringList* list : own) {
    if (list == nullptr) continue;
    scan_shallow(list);
    std::string_view last_parent;
    for (uint64_t i = 0; i < list->in_use; i++) {
      std::string_view path = view_of(list->strings[i]);
      std::string_view trimmed = path.ends_with('/') ? path.substr(0, path.size() - 1) : path;
      size_t slash = trimmed.rfind('/');
      std::string_view parent = slash == std::string_view::npos ? std::string_view()
                                                                 : trimmed.substr(0, slash);
      if (parent == last_parent) continue;
      last_parent = parent;
      parent_prefixes(path, [&](std::string_view dir) { places.emplace(dir); });
    }
  }

  RootWalker walker(root);
  for (std::string_view place : places) walker.resolve(place);
  links_ = walker.take_links();
  // Sorted, the links that begin with one byte are neighbours.
  std::sort(links_.begin(), links_.end());
  bucket_.fill(0);
  for (const auto& link : links_) bucket_[static_cast<unsigned char>(link.first[0]) + 1]++;
  for (size_t i = 1; i < bucket_.size(); i++) bucket_[i] += bucket_[i - 1];
}

int DirLinks::through(std::string_view path, size_t from) const {
  if (path.size() <= from) return -1;
  unsigned char first = static_cast<unsigned char>(path[0]);
  for (uint32_t i = bucket_[first]; i < bucket_[first + 1u]; i++) {
    const std::string& at = links_[i].first;
    if (at.size() > from && starts_with_dir(path, at)) return static_cast<int>(i);
  }
  return -1;
}

std::string_view DirLinks::canonical(std::string_view path, std::string& buf,
                                     std::vector<bool>* used) const {
  if (links_.empty()) return path;
  std::string_view trimmed = path.ends_with('/') ? path.substr(0, path.size() - 1) : path;
  size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return path;
  // Only the parent is resolved: a link at the last place stays itself.
  int hit = through(path.substr(0, slash + 1), 0);
  if (hit < 0) return path;
  // buf holds the parent and a "/", so that a link the whole parent names
  // is found like one it merely begins with.
  buf.assign(path.substr(0, slash + 1));
  std::string_view last = path.substr(slash + 1);  // "name", or "name/"
  for (int hops = 0; hit >= 0 && hops < kMaxHops; hops++) {
    const auto& [at, target] = links_[static_cast<size_t>(hit)];
    if (used != nullptr) (*used)[static_cast<size_t>(hit)] = true;
    // A link to the root itself leaves no directory in front of the rest.
    if (target.empty())
      buf.erase(0, at.size() + 1);
    else
      buf.replace(0, at.size(), target);
    // The target is free of links: only a longer place can be one.
    hit = through(buf, target.size());
  }
  buf += last;
  return buf;
}

int DirLinks::link_at(std::string_view path) const {
  if (links_.empty() || path.empty() || path.ends_with('/')) return -1;
  std::string buf;
  std::string_view at = canonical(path, buf);
  auto it = std::lower_bound(links_.begin(), links_.end(), at,
                             [](const auto& link, std::string_view key) { return link.first < key; });
  return it != links_.end() && it->first == at ? static_cast<int>(it - links_.begin()) : -1;
}

void links_kept(const DirLinks& links, const PackageDb* db, const char* name,
                const StringList* paths, const StringList* also, StringList* kept,
                StringList* kept_links) {
  if (links.empty() || paths == nullptr) return;
  constexpr uint64_t kNone = UINT64_MAX;
  // The paths by canonical form, a form held twice chained through
  // same_next. Another package's path that goes through no link can share
  // its form only with a path of ours that does: unless we have such paths,
  // those cost no look-up, and most recorded paths are those.
  std::string buf;
  std::deque<std::string> respelled;
  std::unordered_map<std::string_view, uint64_t> by_form;
  std::vector<uint64_t> same_next(paths->in_use, kNone);
  std::vector<std::pair<int, uint64_t>> own_links;  // link, path index
  by_form.reserve(paths->in_use);
  for (uint64_t i = 0; i < paths->in_use; i++) {
    const char* path = paths->strings[i];
    if (path == nullptr) continue;
    std::string_view form = links.canonical(path, buf);
    if (form != path) form = respelled.emplace_back(form);
    auto [it, fresh] = by_form.emplace(form, i);
    if (!fresh) {
      uint64_t at = it->second;
      while (same_next[at] != kNone) at = same_next[at];
      same_next[at] = i;
    }
    if (int k = links.link_at(path); k >= 0) own_links.emplace_back(k, i);
  }
  // Their directories, so that a recorded path outside them is passed over
  // after one look-up per directory (recorded lists are sorted).
  std::unordered_set<std::string_view> respelled_dirs;
  for (const std::string& form : respelled) respelled_dirs.emplace(parent_of(form));
  std::string_view last_dir;
  bool last_dir_hit = false;

  std::vector<bool> keep(paths->in_use, false);
  std::vector<bool> used(links.size(), false);
  auto look = [&](const char* other) {
    if (other == nullptr) return;
    std::string_view form = links.canonical(other, buf, &used);
    if (form == other) {
      if (respelled.empty()) return;
      std::string_view dir = parent_of(form);
      if (dir != last_dir || last_dir.data() == nullptr) {
        last_dir = dir;
        last_dir_hit = respelled_dirs.contains(dir);
      }
      if (!last_dir_hit) return;
    }
    auto it = by_form.find(form);
    if (it == by_form.end()) return;
    for (uint64_t at = it->second; at != kNone; at = same_next[at]) keep[at] = true;
  };
  for (const PackageEntry* e = db == nullptr ? nullptr : db->entries; e != nullptr; e = e->next) {
    if ((name != nullptr && strcmp(e->name, name) == 0) || e->files == nullptr) continue;
    for (uint64_t i = 0; i < e->files->in_use; i++) look(e->files->strings[i]);
  }
  if (also != nullptr)
    for (uint64_t i = 0; i < also->in_use; i++) look(also->strings[i]);
  for (uint64_t i = 0; i < paths->in_use; i++)
    if (keep[i]) strlist_add(kept, paths->strings[i]);
  for (const auto& [k, i] : own_links)
    if (used[static_cast<size_t>(k)]) strlist_add(kept_links, paths->strings[i]);
}
