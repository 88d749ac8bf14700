// Install mode, refused member names and the path indexes of one install.
#include "zarnin/plan.h"

#include <err.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

bool is_directory(const char* path) { return has_suffix(path, "/"); }

// Member paths (directories excepted) by every spelling of their files. A
// file the archive holds twice keeps every position: same_next chains the
// later ones.
class MemberIndex {
 public:
  MemberIndex(const StringList* members, const DirLinks* links)
      : members_(members), same_next_(members->in_use, kNone) {
    bool respell = links != nullptr && !links->empty();
    first_.reserve(members->in_use);
    std::string buf;
    std::vector<std::string> others;
    for (uint64_t i = 0; i < members->in_use; i++) {
      const char* path = members->strings[i];
      if (path == nullptr || is_directory(path)) continue;
      std::string_view form = respell ? links->canonical(path, buf) : std::string_view(path);
      if (form != path) form = spelled_.emplace_back(form);
      auto [it, fresh] = first_.emplace(form, static_cast<uint32_t>(i));
      if (fresh) {
        if (!respell) continue;
        // The other spellings lead to the first position.
        first_.emplace(path, static_cast<uint32_t>(i));
        if (links->spellings(path, others))
          for (std::string& other : others)
            first_.emplace(spelled_.emplace_back(std::move(other)), static_cast<uint32_t>(i));
        continue;
      }
      uint32_t at = it->second;
      while (same_next_[at] != kNone) at = same_next_[at];
      same_next_[at] = static_cast<uint32_t>(i);
    }
  }
  // Appends every member position of the file that path names.
  void positions(const char* path, std::vector<uint32_t>& into) const {
    auto it = first_.find(path);
    if (it == first_.end()) return;
    for (uint32_t at = it->second; at != kNone; at = same_next_[at]) into.push_back(at);
  }
  const char* at(uint32_t i) const { return members_->strings[i]; }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  const StringList* members_;
  std::deque<std::string> spelled_;  // spellings that are none of the members
  std::unordered_map<std::string_view, uint32_t> first_;
  std::vector<uint32_t> same_next_;
};

std::unordered_set<std::string_view> set_of(const StringList* list) {
  std::unordered_set<std::string_view> set;
  set.reserve(list->in_use);
  for (uint64_t i = 0; i < list->in_use; i++)
    if (list->strings[i] != nullptr) set.emplace(list->strings[i]);
  return set;
}

}  // namespace

InstallMode install_decide(const PackageEntry* installed, const char* version,
                           bool upgrade, bool force) {
  if (installed == nullptr) return upgrade ? InstallMode::kNotInstalled : InstallMode::kFresh;
  bool same = strcmp(installed->version, version) == 0;
  if (same) {
    if (!force) return InstallMode::kAlreadyInstalled;
    return upgrade ? InstallMode::kUpgrade : InstallMode::kReinstall;
  }
  if (upgrade || force) return InstallMode::kUpgrade;
  return InstallMode::kOtherInstalled;
}

bool install_path_unsafe(const char* path) {
  if (path == nullptr) return false;
  if (path_is_unsafe(path)) return true;
  std::string_view rest(path);
  // tar escapes what it cannot print as it is (a backslash itself included),
  // so a name holding one is not the name on disk.
  if (rest.find('\\') != std::string_view::npos) return true;
  // tar drops trailing blanks from the lines of an exclusion file, so such a
  // configuration file could never be kept out of an extraction.
  if (rest.starts_with("etc/") && (rest.ends_with(' ') || rest.ends_with('\t'))) return true;
  // One spelling per file: no leading "/", no empty, "." or ".." component;
  // a single trailing "/" marks a directory.
  if (rest.ends_with('/')) rest.remove_suffix(1);
  for (;;) {
    std::string_view component = rest.substr(0, rest.find('/'));
    if (component.empty() || component == "." || component == "..") return true;
    if (component.size() == rest.size()) return false;
    rest.remove_prefix(component.size() + 1);
  }
}

const char* install_first_unsafe(const StringList* members) {
  for (uint64_t i = 0; i < members->in_use; i++)
    if (install_path_unsafe(members->strings[i])) return members->strings[i];
  return nullptr;
}

bool install_name_unstorable(const char* name, const char* version) {
  return *name == '\0' || *version == '\0' || strchr(name, '\n') != nullptr ||
         strchr(version, '\n') != nullptr;
}

StringList* install_conflicts(const PackageDb* db, const char* name,
                              const StringList* members, const DirLinks* links) {
  StringList* conflicts = strlist_new();
  // Into a root where no other package has paths, nothing can conflict.
  bool others = false;
  for (const PackageEntry* e = db->entries; e != nullptr && !others; e = e->next)
    others = strcmp(e->name, name) != 0 && e->files != nullptr && e->files->in_use > 0;
  if (!others) return conflicts;
  MemberIndex index(members, links);
  std::vector<uint32_t> hits;
  for (const PackageEntry* e = db->entries; e != nullptr; e = e->next) {
    if (strcmp(e->name, name) == 0 || e->files == nullptr) continue;
    hits.clear();
    for (uint64_t i = 0; i < e->files->in_use; i++)
      if (e->files->strings[i] != nullptr) index.positions(e->files->strings[i], hits);
    // Member order within the group; a path the owner lists twice counts once.
    std::sort(hits.begin(), hits.end());
    hits.erase(std::unique(hits.begin(), hits.end()), hits.end());
    for (uint32_t at : hits) strlist_add(conflicts, index.at(at));
  }
  return conflicts;
}

StringList* install_dropped(StringList* installed, const StringList* members) {
  strlist_sort(installed);
  std::unordered_set<std::string_view> kept = set_of(members);
  StringList* dropped = strlist_new();
  for (uint64_t i = 0; i < installed->in_use; i++) {
    const char* path = installed->strings[i];
    if (path != nullptr && !kept.contains(path)) strlist_add(dropped, path);
  }
  dropped->is_sorted = 1;  // a subsequence of a sorted list
  return dropped;
}

StringList* install_obsolete(const PackageDb* db, const char* name, const StringList* dropped,
                             const DirLinks* links, const StringList* members) {
  FileIndex index(dropped, links);
  for (const PackageEntry* e = db->entries; e != nullptr; e = e->next) {
    if (strcmp(e->name, name) == 0 || e->files == nullptr) continue;
    for (uint64_t i = 0; i < e->files->in_use; i++)
      if (e->files->strings[i] != nullptr) index.mark(e->files->strings[i]);
  }
  // Only through links can a member name a dropped file.
  if (links != nullptr && !links->empty() && members != nullptr)
    for (uint64_t i = 0; i < members->in_use; i++)
      if (members->strings[i] != nullptr) index.mark(members->strings[i]);
  StringList* obsolete = strlist_new();
  for (uint64_t i = dropped->in_use; i-- > 0;) {
    const char* path = dropped->strings[i];
    // A record made before members were checked may still hold such a path;
    // deleting it would reach outside the root.
    if (path == nullptr || index.marked(i) || install_path_unsafe(path)) continue;
    strlist_add(obsolete, path);
  }
  return obsolete;
}
