// The package database file: loading, locking and the atomic save.
#include "db/db.h"

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>

namespace {

enum class LoadState { kBetweenRecords, kAfterName, kInPaths };

constexpr size_t kSaveBuffer = size_t{1} << 18;

int clear_nonblock(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

void link_at_head(PackageDb* db, PackageEntry* entry) {
  entry->next = db->entries;
  db->entries = entry;
}

// Reads "db" line by line with no limit on line length, up to the line
// that begins end bytes in (the whole stream for -1). Every complete
// record is linked at the head, so the list ends up in reverse file order.
void db_load(PackageDb* db, FILE* in, off_t end = -1) {
  char* line = nullptr;
  size_t cap = 0;
  LoadState state = LoadState::kBetweenRecords;
  PackageEntry* current = nullptr;

  off_t at = 0;  // bytes read: only compared with end
  ssize_t got;
  while ((end < 0 || at < end) && (got = getline(&line, &cap, in)) >= 0) {
    at += got;
    // A NUL byte ends the line as every string holding it will end it; a
    // line judged non-empty by its bytes but stored empty would be written
    // back as a blank line, splitting its record on the next load.
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\n') line[--len] = '\0';
    bool empty = len == 0;
    switch (state) {
      case LoadState::kBetweenRecords:
        if (empty) break;
        current = db_entry_new(line, "");
        state = LoadState::kAfterName;
        break;
      case LoadState::kAfterName:
        if (empty) {
          link_at_head(db, current);
          current = nullptr;
          state = LoadState::kBetweenRecords;
        } else {
          free(current->version);
          current->version = must_strdup(line);
          state = LoadState::kInPaths;
        }
        break;
      case LoadState::kInPaths:
        if (empty) {
          link_at_head(db, current);
          current = nullptr;
          state = LoadState::kBetweenRecords;
        } else {
          strlist_add(current->files, line);
        }
        break;
    }
  }
  if (current != nullptr) link_at_head(db, current);
  free(line);
}

// Writes every entry that has paths; false on the first stream error.
bool db_write(PackageDb* db, FILE* out) {
  for (PackageEntry* e = db->entries; e != nullptr; e = e->next) {
    if (e->files == nullptr || e->files->in_use == 0) continue;
    strlist_sort(e->files);
    fputs(e->name, out);
    fputc('\n', out);
    fputs(e->version, out);
    fputc('\n', out);
    for (uint64_t i = 0; i < e->files->in_use; i++) {
      const char* path = e->files->strings[i];
      if (path == nullptr) continue;
      fputs(path, out);
      fputc('\n', out);
    }
    if (fputc('\n', out) == EOF) return false;
  }
  return true;
}

// "db.tmp" opened for writing: used as it is only when it is a regular file
// with one link. A link, fifo, device or second hard link found there
// (written into it, the save would land in another file) is removed and
// the file made anew. -1 with errno set when neither works.
int open_temp(int dir_fd, const char* name) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = openat(dir_fd, name, kFlags, 0644);
  if (fd >= 0) {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && ftruncate(fd, 0) == 0)
      return clear_nonblock(fd);
    close(fd);
  } else if (errno != ELOOP && errno != ENXIO && errno != EISDIR && errno != ETXTBSY &&
             errno != EWOULDBLOCK) {
    return -1;
  }
  if (unlinkat(dir_fd, name, 0) != 0 && errno != ENOENT) return -1;
  fd = openat(dir_fd, name, kFlags | O_EXCL, 0644);
  return fd < 0 ? -1 : clear_nonblock(fd);
}

}  // namespace

bool db_dir_inside(const char* root, const char* dir) {
  const char* env = getenv("PKG_DBDIR");
  if (env != nullptr && env[0] == '/') return true;  // chosen outside the root on purpose
  if (root == nullptr || *root == '\0' || strcmp(root, "/") == 0) return true;
  size_t len = strlen(root);
  std::string_view rel(dir);
  if (rel.substr(0, len) != root) return false;
  RootGuard guard(root);
  return guard.dir_inside(rel.substr(len));
}

char* db_dir_for(const char* root) {
  const char* env = getenv("PKG_DBDIR");
  if (env == nullptr || *env == '\0') return root_path(root, "/var/lib/pkg");
  if (env[0] == '/') return must_strdup(env);
  return root_path(root, env);
}

namespace {

// Everything of db_open but reading "db": the directory made and locked.
PackageDb* db_lock(const char* root, bool exclusive) {
  auto* db = static_cast<PackageDb*>(must_malloc(sizeof(PackageDb)));
  db->entries = nullptr;
  db->root = must_strdup(root != nullptr ? root : "/");
  db->dir = db_dir_for(db->root);
  db->lock_fd = -1;

  // make_dirs would follow a link such as "var -> /var" out of the root and
  // create the directories there.
  if (!db_dir_inside(db->root, db->dir)) errx(1, "database directory outside the root: %s", db->dir);
  if (make_dirs(db->dir, 0755) != 0) err(1, "cannot create %s", db->dir);
  // Close-on-exec: a child that outlives us (a daemon started by a trigger)
  // must not keep the database locked.
  db->lock_fd = open(db->dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (db->lock_fd < 0) err(1, "cannot open %s", db->dir);
  if (flock(db->lock_fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) errx(1, "package database is locked by another process");
    err(1, "cannot lock %s", db->dir);
  }
  return db;
}

// "db" of the locked directory, not through a link: it is the suite's own
// file. A missing one is an empty database (-1, errno ENOENT).
int open_db_file(const PackageDb* db) {
  int fd = openat(db->lock_fd, "db", O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno != ENOENT) err(1, "cannot open database");
  return fd;
}

// Reads "db" from fd (which it closes) into db. False on a read error.
bool load_from(PackageDb* db, int fd) {
  FILE* in = fdopen(fd, "r");
  if (in == nullptr) {
    close(fd);
    return false;
  }
  db_load(db, in);
  bool ok = !ferror(in);
  fclose(in);
  return ok;
}

// Below this size a database is read at once: a thread would cost more.
constexpr off_t kReadAheadFrom = off_t{1} << 20;
constexpr off_t kSplitFrom = off_t{4} << 20;

// The offset of the first line after a blank line at or after from, where
// a reader is between records; -1 when there is none.
off_t record_start_after(int fd, off_t from) {
  char buf[65536];
  char last = '\0';
  for (off_t at = from;;) {
    ssize_t n = pread(fd, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    for (ssize_t i = 0; i < n; i++) {
      if (buf[i] == '\n' && last == '\n') return at + i + 1;
      last = buf[i];
    }
    at += n;
  }
}

// Reads a large "db" (open at fd, closed here) in two parts at once, split
// between records, the second by a thread of its own: the time goes into
// memory touched for the first time, which two processors take side by
// side. The list is the one a single reader makes. False on a read error.
bool load_split(PackageDb* db, int fd) {
  struct stat st;
  off_t split = -1;
  if (fstat(fd, &st) == 0 && st.st_size >= kSplitFrom) split = record_start_after(fd, st.st_size / 2);
  // The second part needs an offset of its own.
  int other = split > 0 ? openat(db->lock_fd, "db", O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
  if (other < 0) return load_from(db, fd);
  PackageDb second{};
  bool second_ok = false;
  std::thread reader;
  try {
    reader = std::thread([&] {
      FILE* in = fdopen(other, "r");
      if (in == nullptr) {
        close(other);
        return;
      }
      if (fseeko(in, split, SEEK_SET) == 0) {
        db_load(&second, in);
        second_ok = !ferror(in);
      }
      fclose(in);
    });
  } catch (const std::system_error&) {
    close(other);
    return load_from(db, fd);
  }
  FILE* in = fdopen(fd, "r");
  bool ok = in != nullptr;
  if (in != nullptr) {
    db_load(db, in, split);
    ok = !ferror(in);
    fclose(in);
  } else {
    close(fd);
  }
  reader.join();
  // The second part's records come first, as they were read last.
  if (second.entries != nullptr) {
    PackageEntry* tail = second.entries;
    while (tail->next != nullptr) tail = tail->next;
    tail->next = db->entries;
    db->entries = second.entries;
  }
  return ok && second_ok;
}

}  // namespace

PackageDb* db_open(const char* root, bool exclusive) {
  PackageDb* db = db_lock(root, exclusive);
  int fd = open_db_file(db);
  if (fd >= 0 && !load_split(db, fd)) err(1, "error reading database");
  return db;
}

DbReadAhead::DbReadAhead(const char* root) : root_(root != nullptr ? root : "/"), read_{} {
  CharPtr dir(db_dir_for(root_.c_str()));
  std::string path = strformat("%s/db", dir.get());
  struct stat there;
  if (stat(path.c_str(), &there) != 0 || there.st_size < kReadAheadFrom) return;
  try {
    reader_ = std::thread([this, path] {
      // Read as db_open reads it; only the lock is missing, and open()
      // checks that this is still the file.
      int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      struct stat st;
      if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0) close(fd);
        return;
      }
      PackageDb scratch{};
      read_ok_ = load_from(&scratch, fd);
      entries_ = scratch.entries;
      read_ = st;
    });
  } catch (const std::system_error&) {
    // No thread: open() reads it.
  }
}

DbReadAhead::~DbReadAhead() {
  if (reader_.joinable()) reader_.join();
  while (entries_ != nullptr) {
    PackageEntry* next = entries_->next;
    db_entry_free(entries_);
    entries_ = next;
  }
}

PackageDb* DbReadAhead::open(bool exclusive) {
  PackageDb* db = db_lock(root_.c_str(), exclusive);
  if (reader_.joinable()) reader_.join();
  int fd = open_db_file(db);
  if (fd < 0) return db;
  struct stat st;
  if (read_ok_ && fstat(fd, &st) == 0 && st.st_dev == read_.st_dev && st.st_ino == read_.st_ino &&
      st.st_size == read_.st_size && st.st_mtim.tv_sec == read_.st_mtim.tv_sec &&
      st.st_mtim.tv_nsec == read_.st_mtim.tv_nsec) {
    close(fd);
    db->entries = entries_;
    entries_ = nullptr;
    return db;
  }
  if (!load_split(db, fd)) err(1, "error reading database");
  return db;
}

void db_close(PackageDb* db) {
  if (db == nullptr) return;
  PackageEntry* e = db->entries;
  while (e != nullptr) {
    PackageEntry* next = e->next;
    db_entry_free(e);
    e = next;
  }
  if (db->lock_fd >= 0) {
    flock(db->lock_fd, LOCK_UN);
    close(db->lock_fd);
  }
  free(db->root);
  free(db->dir);
  free(db);
}

int db_save(PackageDb* db) {
  CharPtr target(root_path(db->dir, "db"));
  CharPtr temp(root_path(db->dir, "db.tmp"));
  // Every name is taken relative to the locked directory, so a directory
  // renamed or replaced by a link meanwhile is never written through.
  int dir_fd = db->lock_fd >= 0 ? db->lock_fd : AT_FDCWD;
  const char* temp_name = dir_fd == AT_FDCWD ? temp.get() : "db.tmp";
  const char* target_name = dir_fd == AT_FDCWD ? target.get() : "db";

  int fd = open_temp(dir_fd, temp_name);
  if (fd < 0) {
    warn("cannot create %s", temp.get());
    return -1;
  }
  FILE* out = fdopen(fd, "w");
  if (out == nullptr) {
    close(fd);
    unlinkat(dir_fd, temp_name, 0);  // only the lock holder writes it: nobody else's
    return -1;
  }
  // A database of many paths goes out in large writes rather than one per
  // block of the file system.
  std::unique_ptr<char[]> buffer(new char[kSaveBuffer]);
  setvbuf(out, buffer.get(), _IOFBF, kSaveBuffer);

  // A full disk or an I/O error may show only at the flush, the fsync or the
  // close; each is a failed save, never a truncated "db".
  bool ok = db_write(db, out) && fflush(out) == 0 && !ferror(out);
  int saved_errno = errno;
  if (ok && fsync(fd) != 0) {
    ok = false;
    saved_errno = errno;
  }
  if (fclose(out) != 0 && ok) {
    ok = false;
    saved_errno = errno;
  }
  if (!ok) {
    errno = saved_errno;
    warn("write error on %s", temp.get());
    unlinkat(dir_fd, temp_name, 0);
    return -1;
  }

  if (renameat(dir_fd, temp_name, dir_fd, target_name) != 0) {
    warn("cannot rename %s to %s", temp.get(), target.get());
    unlinkat(dir_fd, temp_name, 0);
    return -1;
  }
  if (dir_fd != AT_FDCWD) {
    fsync(dir_fd);
  } else if (int dfd = open(db->dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}

PackageEntry* db_find(PackageDb* db, const char* name) {
  for (PackageEntry* e = db->entries; e != nullptr; e = e->next)
    if (strcmp(e->name, name) == 0) return e;
  return nullptr;
}

int db_add(PackageDb* db, PackageEntry* entry) {
  for (PackageEntry* e = db->entries; e != nullptr; e = e->next)
    if (e == entry) return 0;
  db_remove(db, entry->name);
  link_at_head(db, entry);
  return 0;
}

int db_remove(PackageDb* db, const char* name) {
  for (PackageEntry** link = &db->entries; *link != nullptr; link = &(*link)->next) {
    PackageEntry* e = *link;
    if (strcmp(e->name, name) != 0) continue;
    *link = e->next;
    db_entry_free(e);
    return 0;
  }
  return -1;
}

PackageEntry* db_entry_new(const char* name, const char* version) {
  auto* e = static_cast<PackageEntry*>(must_malloc(sizeof(PackageEntry)));
  e->name = must_strdup(name);
  e->version = must_strdup(version);
  e->files = strlist_new();
  e->next = nullptr;
  return e;
}

void db_entry_free(PackageEntry* entry) {
  if (entry == nullptr) return;
  free(entry->name);
  free(entry->version);
  strlist_free(entry->files);
  free(entry);
}

void db_sort_lists(PackageDb* db) {
  for (PackageEntry* e = db->entries; e != nullptr; e = e->next) {
    StringList* files = e->files;
    if (files == nullptr || files->is_sorted) continue;
    bool in_order = true;
    for (uint64_t i = 1; i < files->in_use && in_order; i++) {
      const char* a = files->strings[i - 1];
      const char* b = files->strings[i];
      in_order = a != nullptr && b != nullptr && strcmp(a, b) <= 0;
    }
    if (in_order)
      files->is_sorted = 1;
    else
      strlist_sort(files);
  }
}
