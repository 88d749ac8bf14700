// The removal sequence that zarnout runs and a later run finishes, and the
// recovery of an operation that a kill or a power cut interrupted.
#include <dirent.h>
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "integrate/integrate.h"

namespace {

constexpr mode_t kPermissionBits = 0xfff;
constexpr size_t kCompareChunk = 8192;
constexpr unsigned kRenameExchange = 2;  // RENAME_EXCHANGE

// Refuses to go on with an intent it cannot finish: says what it found,
// names the intent file and what an administrator can do.
[[noreturn]] void refuse_intent(const PackageDb* db, const std::string& found) {
  prog_error("cannot finish an interrupted operation: %s", found.c_str());
  prog_error("its record is %s/%s: put back what is missing and run again, or repair the "
             "root by hand and delete that file",
             db->dir, kIntentFile);
  exit(1);
}

// The move is done when its target is the entry it names.
bool holds(const std::string& path, const IntentMove& m) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == m.dev &&
         static_cast<uint64_t>(st.st_ino) == m.ino;
}

// path is a directory itself (not a link to one) with something in it.
bool holds_entries(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    return false;
  }
  int seen = 0;
  while (readdir(dir) != nullptr && seen < 3) seen++;
  closedir(dir);
  return seen > 2;  // more than "." and ".."
}

// A configuration file's new version that was identical to the file in
// place went again once everything was in place.
bool dropped_as_identical(const Intent& intent, const IntentMove& m) {
  for (const std::string& path : intent.config_new)
    if (std::string_view(m.to).ends_with("/" + path + ".new")) return !entry_exists(m.to.c_str());
  return false;
}

void finish_moves(const PackageDb* db, const Intent& intent) {
  for (const IntentMove& m : intent.moves) {
    if (holds(m.to, m)) continue;
    if (!holds(m.from, m) && dropped_as_identical(intent, m)) continue;
    if (!holds(m.from, m)) refuse_intent(db, strformat("%s of %s %s is missing", m.from.c_str(),
                                                       intent.name.c_str(), intent.version.c_str()));
    // The old entry, where there is one, goes to the source's place; a
    // directory with something in it was never planned to.
    if (holds_entries(m.to))
      refuse_intent(db, strformat("%s of %s %s is a directory in the way", m.to.c_str(),
                                  intent.name.c_str(), intent.version.c_str()));
    if (syscall(SYS_renameat2, AT_FDCWD, m.from.c_str(), AT_FDCWD, m.to.c_str(), kRenameExchange) != 0 &&
        rename(m.from.c_str(), m.to.c_str()) != 0)
      refuse_intent(db, strformat("%s: cannot rename %s: %s", intent.name.c_str(), m.to.c_str(),
                                  strerror(errno)));
  }
}

StringListPtr list_of(const std::vector<std::string>& items) {
  StringListPtr list(strlist_new());
  for (const std::string& item : items) strlist_add(list.get(), item.c_str());
  return list;
}

// The database already holds the record that the intent would save.
bool recorded(PackageDb* db, const Intent& intent) {
  const PackageEntry* e = db_find(db, intent.name.c_str());
  if (e == nullptr || intent.version != e->version || e->files->in_use != intent.files.size())
    return false;
  for (size_t i = 0; i < intent.files.size(); i++)
    if (e->files->strings[i] == nullptr || intent.files[i] != e->files->strings[i]) return false;
  return true;
}

void finish_install(PackageDb* db, const char* root, const Intent& intent) {
  // The administrator's version of a merged file gets its second name
  // before the merge replaces it, if the kill came first.
  for (const IntentMerge& m : intent.merges) {
    struct stat st;
    if (!entry_exists(m.keep.c_str()) && lstat(m.path.c_str(), &st) == 0 &&
        static_cast<uint64_t>(st.st_dev) == m.dev && static_cast<uint64_t>(st.st_ino) == m.ino)
      link(m.path.c_str(), m.keep.c_str());
  }
  finish_moves(db, intent);
  for (const std::string& temp : intent.temps) remove_tree(temp.c_str());
  config_merges_finish(intent.merges);
  for (const std::string& path : intent.config_new) {
    std::string staged = strformat("%s/%s.new", root, path.c_str());
    CharPtr current(root_path(root, path.c_str()));
    if (config_same_file(staged.c_str(), current.get())) unlink(staged.c_str());
  }
  for (const std::string& path : intent.deletions) remove(path.c_str());
  for (const std::string& path : intent.unlinks) unlink(path.c_str());
  if (!intent.pristine.empty()) pristine_swap(db, intent.name.c_str(), intent.pristine == "swap");
  StringListPtr files = list_of(intent.files), changed = list_of(intent.dropped);
  for (const std::string& path : intent.files) strlist_add(changed.get(), path.c_str());
  flush_file_systems(root, changed.get());

  // A run killed after its save has nothing more to record: saving again
  // would only reorder the database.
  if (!recorded(db, intent)) {
    db_remove(db, intent.name.c_str());
    PackageEntry* entry = db_entry_new(intent.name.c_str(), intent.version.c_str());
    for (const std::string& path : intent.files) strlist_add(entry->files, path.c_str());
    db_add(db, entry);
    if (db_save(db) != 0) exit(1);  // db_save has printed the cause; the intent stays
  }
  if (!intent.stage.empty()) remove_tree(intent.stage.c_str());
  intent_remove(db);

  CharPtr metadir(root_path(root, kMetaDir));
  CharPtr metafile(root_path(metadir.get(), intent.name.c_str()));
  PackageMetaPtr meta(meta_read(metafile.get()));
  run_ldconfig(root);
  triggers_run(root, changed.get(), intent.op == "upgrade");
  services_link(meta.get(), root);
  permissions_apply(meta.get(), root);
  capabilities_apply(meta.get(), root);
  fprintf(stderr, "%s: notice: finished interrupted %s of %s %s\n", get_program_name(),
          intent.op.c_str(), intent.name.c_str(), intent.version.c_str());
}

void finish_removal(PackageDb* db, const char* root, const Intent& intent) {
  if (PackageEntry* entry = db_find(db, intent.name.c_str())) {
    package_remove(db, entry, root, intent.name.c_str());
    if (db_save(db) != 0) exit(1);  // db_save has printed the cause; the intent stays
  }
  intent_remove(db);
  fprintf(stderr, "%s: notice: finished interrupted removal of %s\n", get_program_name(),
          intent.name.c_str());
}

}  // namespace

void package_remove(PackageDb* db, PackageEntry* entry, const char* root, const char* name) {
  // Read before the files go: the metadata file is one of them.
  CharPtr metadir(root_path(root, kMetaDir));
  CharPtr metafile(root_path(metadir.get(), name));
  metadir.reset();
  PackageMetaPtr meta(meta_read(metafile.get()));

  StringListPtr told_to_exit(strlist_new());
  services_stop(meta.get(), root, told_to_exit.get());
  // One file may have several spellings where the root has directory links.
  db_sort_lists(db);
  DirLinks links(root, db, {entry->files});
  remove_package_files(root, entry->files, db, name, nullptr, &links);
  remove_staged_copies(root, entry->files);
  services_remove_dirs(meta.get(), root, told_to_exit.get());
  run_ldconfig(root);
  triggers_run(root, entry->files, false);
  accounts_remove(meta.get(), root, name);
  meta.reset();
  // The deletions reach the disk before the record that no longer names
  // them.
  flush_file_systems(root, entry->files);
  pristine_swap(db, name, false);
  db_remove(db, name);
}

void config_merges_finish(const std::vector<IntentMerge>& merges) {
  for (const IntentMerge& m : merges) {
    if (!entry_exists(m.keep.c_str())) continue;
    std::string old = m.path + ".old";
    if (rename(m.keep.c_str(), old.c_str()) != 0) {
      warn("cannot rename %s", old.c_str());
      unlink(m.keep.c_str());
    }
  }
}

bool config_same_file(const char* a, const char* b) {
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
  // Only regular files are read: opening a fifo would wait for a writer.
  if (!S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode)) return false;
  if (sa.st_size != sb.st_size) return false;
  if ((sa.st_mode & kPermissionBits) != (sb.st_mode & kPermissionBits)) return false;
  FILE* fa = fopen(a, "rbe");
  FILE* fb = fopen(b, "rbe");
  bool same = fa != nullptr && fb != nullptr;
  std::string ba(kCompareChunk, '\0'), bb(kCompareChunk, '\0');
  while (same) {
    size_t na = fread(ba.data(), 1, ba.size(), fa);
    size_t nb = fread(bb.data(), 1, bb.size(), fb);
    same = na == nb && memcmp(ba.data(), bb.data(), na) == 0;
    if (na == 0) break;
  }
  if (fa != nullptr) fclose(fa);
  if (fb != nullptr) fclose(fb);
  return same;
}

void recover_interrupted(PackageDb* db, const char* root) {
  Intent intent;
  int found = intent_read(db, intent);
  if (found == 0) {
    pristine_leftovers_remove(db);
    return;
  }
  if (found < 0)
    refuse_intent(db, strformat("cannot read %s/%s: %s", db->dir, kIntentFile, strerror(errno)));
  if (intent.op == "remove") {
    finish_removal(db, root, intent);
  } else if (!intent.prepared) {
    // Killed while it copied to other file systems: nothing was in place.
    for (const std::string& temp : intent.temps) remove_tree(temp.c_str());
    if (!intent.stage.empty()) remove_tree(intent.stage.c_str());
    pristine_discard(db, intent.name.c_str());
    intent_remove(db);
  } else if (intent.op == "install" || intent.op == "upgrade") {
    finish_install(db, root, intent);
  } else {
    refuse_intent(db, strformat("%s/%s names an unknown operation \"%s\"", db->dir, kIntentFile,
                                intent.op.c_str()));
  }
}
