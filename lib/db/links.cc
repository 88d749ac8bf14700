// Directory links inside the root: finding them, and the canonical form of a
// path that goes through them.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
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
// Places probed one by one in a directory before it is read as a whole.
constexpr size_t kListAfter = 8;

// At most this many spellings of one file are told apart; more arise only
// through a link to the root itself, which spells every path endlessly.
constexpr size_t kMaxSpellings = 16;

std::string_view view_of(const char* s) { return s == nullptr ? std::string_view() : s; }

// The directory that holds path, "" at the top.
std::string_view parent_of(std::string_view path) {
  if (path.ends_with('/')) path.remove_suffix(1);
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view("") : path.substr(0, slash);
}

// The directories that path names at its first kShallowLevels levels ("usr"
// and "usr/lib" of "usr/lib/x").
template <class Fn>
void shallow_prefixes(std::string_view path, Fn&& fn) {
  size_t at = 0;
  for (size_t level = 0; level < kShallowLevels; level++) {
    size_t slash = path.find('/', at);
    if (slash == std::string_view::npos) return;
    fn(level, path.substr(0, slash));
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

bool starts_with_dir(std::string_view path, std::string_view dir) {
  return path.size() > dir.size() && path[dir.size()] == '/' && path.starts_with(dir);
}

// starts_with_dir without measuring path first.
bool below(const char* path, std::string_view dir) {
  return path != nullptr && strncmp(path, dir.data(), dir.size()) == 0 && path[dir.size()] == '/';
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
  // found_missing, when given, is set when nothing exists there.
  std::optional<std::string> resolve(std::string_view path, int depth = 0,
                                     bool* found_missing = nullptr) {
    if (depth > kMaxHops) return std::nullopt;
    std::string cur;
    bool missing = false;  // nothing exists at cur, so nothing below it either
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
      size_t parent_len = cur.size();
      if (!cur.empty()) cur += '/';
      cur += name;
      if (missing) continue;
      const Place& place = look_at(cur, parent_len, depth);
      if (place.missing) {
        missing = true;
        continue;
      }
      if (!place.target.has_value()) return std::nullopt;
      // A location that is no directory link stays as it is.
      if (*place.target != cur) {
        trail_.push_back(cur);
        cur = *place.target;
      }
    }
    if (found_missing != nullptr) *found_missing = missing;
    return cur;
  }

  // Looks at the entries names of the directory dir (as recorded): the
  // links among them are found like those that resolve meets.
  void look_among(std::string_view dir, const std::vector<std::string_view>& names) {
    bool missing = false;
    std::optional<std::string> canonical = resolve(dir, 0, &missing);
    // Before an install, the package's own directories are mostly not there.
    if (!canonical.has_value() || missing || !root_fd_) return;
    Dir& listing = dirs_[*canonical];
    if (!listing.listed && names.size() > kListAfter && !list(listing, *canonical)) return;
    std::string at = *canonical;
    size_t parent_len = at.size();
    for (std::string_view name : names) {
      if (listing.listed) {
        auto it = listing.names.find(std::string(name));
        if (it == listing.names.end() || (it->second != DT_LNK && it->second != DT_UNKNOWN)) continue;
      }
      at.resize(parent_len);
      if (!at.empty()) at += '/';
      at += name;
      look_at(at, parent_len, 0);
    }
  }

  std::vector<std::pair<std::string, std::string>> take_links() {
    std::vector<std::pair<std::string, std::string>> found;
    for (auto& [at, place] : seen_)
      if (place.target.has_value() && *place.target != at) found.emplace_back(at, *place.target);
    return found;
  }
  // The links that the text of the link at at goes through itself ("lib64 ->
  // lib" goes through "lib").
  const std::vector<std::string>& via(const std::string& at) { return via_[at]; }

 private:
  // What a canonical location is: missing; itself (no link); the resolved
  // target of a directory link; or null, a link that cannot be resolved
  // inside the root.
  struct Place {
    std::optional<std::string> target;
    bool missing = false;
  };
  // What one directory of the root holds, once it has been read.
  struct Dir {
    bool listed = false;  // names holds every entry
    int probes = 0;
    std::unordered_map<std::string, unsigned char> names;  // name -> d_type
  };
  enum class Kind { kMissing, kLink, kOther };

  const Place& look_at(const std::string& at, size_t parent_len, int depth) {
    auto known = seen_.find(at);
    if (known != seen_.end()) return known->second;
    Place place;
    Kind kind = kind_of(at, parent_len);
    if (kind == Kind::kMissing)
      place.missing = true;
    else if (kind == Kind::kLink)
      place.target = follow(at, parent_len, depth);
    else
      place.target = at;
    return seen_.try_emplace(at, std::move(place)).first->second;
  }

  // A directory probed often is read once instead: a database holds
  // thousands of places side by side, and one fstatat each would cost more
  // than the rest of the run.
  Kind kind_of(const std::string& at, size_t parent_len) {
    if (!root_fd_) return Kind::kOther;
    Dir& dir = dirs_[at.substr(0, parent_len)];
    if (!dir.listed && ++dir.probes > static_cast<int>(kListAfter)) list(dir, at.substr(0, parent_len));
    if (dir.listed) {
      auto it = dir.names.find(at.substr(parent_len == 0 ? 0 : parent_len + 1));
      if (it == dir.names.end()) return Kind::kMissing;
      if (it->second == DT_LNK) return Kind::kLink;
      if (it->second != DT_UNKNOWN) return Kind::kOther;
    }
    struct stat st;
    if (fstatat(root_fd_.get(), at.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return errno == ENOENT || errno == ENOTDIR ? Kind::kMissing : Kind::kOther;
    return S_ISLNK(st.st_mode) ? Kind::kLink : Kind::kOther;
  }

  // Reads the directory parent into dir. False when there is none to read;
  // one that cannot be read is probed name by name from then on.
  bool list(Dir& dir, const std::string& parent) {
    int fd = openat(root_fd_.get(), parent.empty() ? "." : parent.c_str(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    bool gone = fd < 0 && (errno == ENOENT || errno == ENOTDIR);
    DIR* d = fd < 0 ? nullptr : fdopendir(fd);
    if (d == nullptr) {
      if (fd >= 0) close(fd);
      dir.probes = INT_MIN;
      return !gone;
    }
    while (const struct dirent* ent = readdir(d)) dir.names.emplace(ent->d_name, ent->d_type);
    closedir(d);
    dir.listed = true;
    return true;
  }

  std::optional<std::string> follow(const std::string& at, size_t parent_len, int depth) {
    std::string text(kPathBuf, '\0');
    ssize_t n = readlinkat(root_fd_.get(), at.c_str(), text.data(), text.size() - 1);
    if (n <= 0) return std::nullopt;
    text.resize(static_cast<size_t>(n));
    // An absolute target means the root's own tree, as it does for the
    // system running inside it.
    std::string joined = text.starts_with('/') ? text : at.substr(0, parent_len) + "/" + text;
    size_t trail_from = trail_.size();
    std::optional<std::string> target = resolve(joined, depth + 1);
    if (!target.has_value()) return std::nullopt;
    std::vector<std::string>& via = via_[at];
    for (size_t i = trail_from; i < trail_.size(); i++) {
      via.push_back(trail_[i]);
      const std::vector<std::string>& further = via_[trail_[i]];
      via.insert(via.end(), further.begin(), further.end());
    }
    struct stat st;
    bool is_dir = target->empty() ||
                  (fstatat(root_fd_.get(), target->c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode));
    if (!is_dir) return std::nullopt;
    return target;
  }

  UniqueFd root_fd_;
  std::unordered_map<std::string, Place> seen_;
  std::unordered_map<std::string, Dir> dirs_;  // by canonical location, "" the root
  std::vector<std::string> trail_;  // the links that resolve has gone through
  std::unordered_map<std::string, std::vector<std::string>> via_;
};

// The index past the run of paths from i on that lie below dir, in a sorted
// list: they are neighbours there.
uint64_t run_end(const StringList* list, uint64_t i, std::string_view dir) {
  const char* const* first = list->strings + i;
  const char* const* last = list->strings + list->in_use;
  return static_cast<uint64_t>(
      std::partition_point(first, last, [&](const char* p) { return below(p, dir); }) -
      first) + i;
}

// True when some path of list lies below dir.
bool any_below(const StringList* list, std::string_view dir) {
  if (list == nullptr) return false;
  const char* const* first = list->strings;
  const char* const* last = list->strings + list->in_use;
  if (!list->is_sorted) return std::any_of(first, last, [&](const char* p) { return below(p, dir); });
  // The first path not before dir + "/" (a null slot sorts first).
  const char* const* at = std::partition_point(first, last, [&](const char* p) {
    if (p == nullptr) return true;
    int c = strncmp(p, dir.data(), dir.size());
    if (c != 0) return c < 0;
    return static_cast<unsigned char>(p[dir.size()]) < '/';
  });
  return at != last && below(*at, dir);
}

}  // namespace

DirLinks::DirLinks(const char* root, const PackageDb* db,
                   std::initializer_list<const StringList*> own) {
  std::unordered_set<std::string_view> places;
  // Every shallow place of a list; in a sorted one, the paths below the
  // place of the second level are skipped as a run.
  auto scan_shallow = [&](const StringList* list) {
    std::array<std::string_view, kShallowLevels> last{};  // neighbours share them
    for (uint64_t i = 0; i < list->in_use;) {
      std::string_view path = view_of(list->strings[i++]);
      std::string_view second;
      shallow_prefixes(path, [&](size_t level, std::string_view dir) {
        if (dir != last[level]) places.emplace(dir);
        last[level] = second = dir;
      });
      if (second.empty() || second.find('/') == std::string_view::npos) continue;
      if (list->is_sorted)
        i = run_end(list, i, second);
      else
        while (i < list->in_use && below(list->strings[i], second)) i++;
    }
  };
  if (db != nullptr)
    for (const PackageEntry* e = db->entries; e != nullptr; e = e->next)
      if (e->files != nullptr) scan_shallow(e->files);
  // The package's own entries by directory: each may be a link itself.
  std::vector<std::pair<std::string_view, std::vector<std::string_view>>> own_entries;
  for (const StringList* list : own) {
    if (list == nullptr) continue;
    scan_shallow(list);
    std::string_view last_parent;
    for (uint64_t i = 0; i < list->in_use; i++) {
      std::string_view path = view_of(list->strings[i]);
      std::string_view parent = parent_of(path);
      if (parent != last_parent || own_entries.empty()) {
        last_parent = parent;
        parent_prefixes(path, [&](std::string_view dir) { places.emplace(dir); });
        own_entries.emplace_back(parent, std::vector<std::string_view>());
      }
      if (!path.ends_with('/'))
        own_entries.back().second.push_back(path.substr(parent.empty() ? 0 : parent.size() + 1));
    }
  }

  RootWalker walker(root);
  for (std::string_view place : places) walker.resolve(place);
  for (const auto& [dir, names] : own_entries)
    if (!names.empty()) walker.look_among(dir, names);
  links_ = walker.take_links();
  // Sorted, the links that begin with one byte are neighbours.
  std::sort(links_.begin(), links_.end());
  via_.resize(links_.size());
  for (uint32_t i = 0; i < links_.size(); i++) {
    for (const std::string& at : walker.via(links_[i].first)) {
      auto it = std::lower_bound(links_.begin(), links_.end(), at,
                                 [](const auto& link, const std::string& key) { return link.first < key; });
      if (it != links_.end() && it->first == at) via_[i].push_back(static_cast<uint32_t>(it - links_.begin()));
    }
  }
  for (uint32_t i = 0; i < links_.size(); i++) {
    if (links_[i].second.empty())
      to_root_.push_back(i);
    else
      by_target_.push_back(i);
  }
  std::sort(by_target_.begin(), by_target_.end(),
            [&](uint32_t a, uint32_t b) { return links_[a].second < links_[b].second; });
  for (const auto& link : links_) bucket_[static_cast<unsigned char>(link.first[0]) + 1]++;
  for (uint32_t i : by_target_) target_bucket_[static_cast<unsigned char>(links_[i].second[0]) + 1]++;
  for (size_t b = 1; b < bucket_.size(); b++) {
    bucket_[b] += bucket_[b - 1];
    target_bucket_[b] += target_bucket_[b - 1];
  }
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
  size_t slash = parent_of(path).size();
  if (slash == 0) return path;
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

bool DirLinks::into_target(std::string_view form) const {
  if (!to_root_.empty()) return true;
  size_t slash = parent_of(form).size();
  if (slash == 0) return false;
  std::string_view dir = form.substr(0, slash + 1);
  unsigned char first = static_cast<unsigned char>(dir[0]);
  for (uint32_t b = target_bucket_[first]; b < target_bucket_[first + 1u]; b++)
    if (starts_with_dir(dir, links_[by_target_[b]].second)) return true;
  return false;
}

bool DirLinks::spellings(std::string_view path, std::vector<std::string>& out) const {
  out.clear();
  if (links_.empty()) return false;
  std::string buf;
  std::string_view form = canonical(path, buf);
  if (form == path && !into_target(form)) return false;
  // Undo resolution steps: a spelling whose parent begins with a link's
  // target is also spelled with the link in its place.
  std::vector<std::string> found{std::string(form)};
  for (size_t n = 0; n < found.size() && found.size() < kMaxSpellings; n++) {
    std::string spelling = found[n];
    size_t slash = parent_of(spelling).size();
    if (slash == 0 && to_root_.empty()) continue;
    std::string_view dir = slash == 0 ? std::string_view() : std::string_view(spelling).substr(0, slash + 1);
    auto add = [&](std::string other) {
      if (found.size() < kMaxSpellings && std::find(found.begin(), found.end(), other) == found.end())
        found.push_back(std::move(other));
    };
    if (!dir.empty()) {
      unsigned char first = static_cast<unsigned char>(dir[0]);
      for (uint32_t b = target_bucket_[first]; b < target_bucket_[first + 1u]; b++) {
        const auto& [at, target] = links_[by_target_[b]];
        if (starts_with_dir(dir, target)) add(at + spelling.substr(target.size()));
      }
    }
    for (uint32_t i : to_root_) add(links_[i].first + "/" + spelling);
  }
  for (std::string& other : found)
    if (other != path) out.push_back(std::move(other));
  return !out.empty();
}

bool DirLinks::link_used(int k, const PackageDb* db, const char* name,
                         const StringList* also) const {
  if (k < 0 || static_cast<size_t>(k) >= links_.size()) return false;
  // Paths below the link under any spelling, or below a link whose own
  // text goes through it.
  std::vector<std::string> places, more;
  for (uint32_t j = 0; j < links_.size(); j++) {
    if (j != static_cast<uint32_t>(k) &&
        std::find(via_[j].begin(), via_[j].end(), static_cast<uint32_t>(k)) == via_[j].end())
      continue;
    if (spellings(links_[j].first, more)) places.insert(places.end(), more.begin(), more.end());
    places.push_back(links_[j].first);
  }
  auto uses = [&](const StringList* list) {
    return std::any_of(places.begin(), places.end(),
                       [&](const std::string& place) { return any_below(list, place); });
  };
  for (const PackageEntry* e = db == nullptr ? nullptr : db->entries; e != nullptr; e = e->next)
    if ((name == nullptr || strcmp(e->name, name) != 0) && uses(e->files)) return true;
  return also != nullptr && uses(also);
}

FileIndex::FileIndex(const StringList* paths, const DirLinks* links)
    : group_(paths->in_use, kNone) {
  bool respell = links != nullptr && !links->empty();
  group_of_.reserve(paths->in_use);
  std::string buf;
  std::vector<std::string> others;
  for (uint64_t i = 0; i < paths->in_use; i++) {
    const char* path = paths->strings[i];
    if (path == nullptr) continue;
    std::string_view form = respell ? links->canonical(path, buf) : std::string_view(path);
    if (form != path) form = spelled_.emplace_back(form);
    auto [it, fresh] = group_of_.emplace(form, static_cast<uint32_t>(marked_.size()));
    group_[i] = it->second;
    if (!fresh) continue;
    marked_.push_back(false);
    if (!respell) continue;
    // The file's other spellings lead to the same group.
    group_of_.emplace(path, group_[i]);
    if (links->spellings(path, others))
      for (std::string& other : others) group_of_.emplace(spelled_.emplace_back(std::move(other)), group_[i]);
  }
}
