// The intent record: NUL-terminated fields, a key and its values, between a
// header and an end marker, so that a path may hold any other byte and a
// record cut short is told from a whole one.
#include <dirent.h>
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "db/db.h"

namespace {

constexpr std::string_view kHeader = "sorn-intent 1";
constexpr const char* kIntentTemp = "intent.tmp";

bool write_all(int fd, std::string_view bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes the fields to a file through a buffer of a fixed size: an intent
// of a large package is megabytes, and memory touched for the first time
// costs more than the writes.
class IntentWriter {
 public:
  explicit IntentWriter(int fd) : fd_(fd), buf_(new char[kSize]) {}

  void field(std::string_view text) {
    while (!text.empty() && ok_) {
      size_t n = std::min(text.size(), kSize - used_);
      memcpy(buf_.get() + used_, text.data(), n);
      used_ += n;
      text.remove_prefix(n);
      if (used_ == kSize) flush();
    }
    if (used_ == kSize) flush();
    buf_[used_++] = '\0';
  }
  void pair(std::string_view key, std::string_view value) {
    field(key);
    field(value);
  }
  void list(std::string_view key, const std::vector<std::string>& values) {
    for (const std::string& v : values) pair(key, v);
  }
  // Writes what is buffered. False once a write has failed (errno set).
  bool flush() {
    if (ok_ && used_ > 0) ok_ = write_all(fd_, std::string_view(buf_.get(), used_));
    used_ = 0;
    return ok_;
  }

 private:
  static constexpr size_t kSize = 65536;
  int fd_;
  bool ok_ = true;
  size_t used_ = 0;
  std::unique_ptr<char[]> buf_;
};

int dir_of(const PackageDb* db) { return db->lock_fd >= 0 ? db->lock_fd : AT_FDCWD; }

std::string name_in(const PackageDb* db, const char* name) {
  return db->lock_fd >= 0 ? std::string(name) : strformat("%s/%s", db->dir, name);
}

void flush_dir(const PackageDb* db) {
  if (db->lock_fd >= 0) {
    fsync(db->lock_fd);
  } else if (int fd = open(db->dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace

int intent_write(const PackageDb* db, const Intent& intent) {
  int dir = dir_of(db);
  std::string temp = name_in(db, kIntentTemp), target = name_in(db, kIntentFile);
  UniqueFd fd(openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  IntentWriter w(fd.get());
  w.field(kHeader);
  w.pair("op", intent.op);
  w.pair("name", intent.name);
  w.pair("version", intent.version);
  w.pair("stage", intent.stage);
  w.pair("prepared", intent.prepared ? "1" : "0");
  for (const IntentMove& m : intent.moves) {
    char numbers[64];
    int n = snprintf(numbers, sizeof numbers, "%d %" PRIu64 " %" PRIu64, m.exchange ? 1 : 0, m.dev, m.ino);
    w.pair("move", std::string_view(numbers, static_cast<size_t>(n)));
    w.field(m.from);
    w.field(m.to);
  }
  w.list("temp", intent.temps);
  w.list("file", intent.files);
  w.list("dropped", intent.dropped);
  w.list("delete", intent.deletions);
  w.list("unlink", intent.unlinks);
  w.list("config", intent.config_new);
  // Keys that an older run never wrote, so that its intents read as before.
  if (!intent.pristine.empty()) w.pair("pristine", intent.pristine);
  for (const IntentMerge& m : intent.merges) {
    w.pair("merge", strformat("%" PRIu64 " %" PRIu64, m.dev, m.ino));
    w.field(m.path);
    w.field(m.keep);
  }
  w.field("end");
  bool ok = fd && w.flush() && fsync(fd.get()) == 0;
  int saved = errno;
  if (fd && close(fd.release()) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && renameat(dir, temp.c_str(), dir, target.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlinkat(dir, temp.c_str(), 0);
    errno = saved;
    warn("cannot write %s/%s", db->dir, kIntentFile);
    return -1;
  }
  flush_dir(db);
  return 0;
}

int intent_read(const PackageDb* db, Intent& intent) {
  std::string target = name_in(db, kIntentFile);
  UniqueFd fd(openat(dir_of(db), target.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd && errno == ENOENT) {
    unlinkat(dir_of(db), name_in(db, kIntentTemp).c_str(), 0);
    return 0;
  }
  if (!fd) return -1;
  std::string bytes;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  std::vector<std::string_view> fields;
  for (size_t at = 0; at < bytes.size();) {
    size_t end = bytes.find('\0', at);
    if (end == std::string::npos) break;  // a field cut short
    fields.emplace_back(bytes.data() + at, end - at);
    at = end + 1;
  }
  intent = Intent();
  if (fields.size() < 2 || fields.front() != kHeader || fields.back() != "end") {
    errno = EBADMSG;
    return -1;
  }
  std::unordered_map<std::string_view, std::vector<std::string>*> lists{
      {"temp", &intent.temps},         {"file", &intent.files},   {"dropped", &intent.dropped},
      {"delete", &intent.deletions},   {"unlink", &intent.unlinks}, {"config", &intent.config_new}};
  for (size_t i = 1; i + 1 < fields.size(); i += 2) {
    std::string_view key = fields[i], value = fields[i + 1];
    if (key == "op") {
      intent.op = value;
    } else if (key == "name") {
      intent.name = value;
    } else if (key == "version") {
      intent.version = value;
    } else if (key == "stage") {
      intent.stage = value;
    } else if (key == "prepared") {
      intent.prepared = value == "1";
    } else if (key == "move" && i + 3 < fields.size()) {
      IntentMove m{std::string(fields[i + 2]), std::string(fields[i + 3]), false, 0, 0};
      int exchange = 0;
      if (sscanf(std::string(value).c_str(), "%d %" SCNu64 " %" SCNu64, &exchange, &m.dev, &m.ino) != 3) {
        errno = EBADMSG;
        return -1;
      }
      m.exchange = exchange != 0;
      intent.moves.push_back(std::move(m));
      i += 2;
    } else if (key == "pristine" && (value == "swap" || value == "drop")) {
      intent.pristine = value;
    } else if (key == "merge" && i + 3 < fields.size()) {
      IntentMerge m{std::string(fields[i + 2]), std::string(fields[i + 3]), 0, 0};
      if (sscanf(std::string(value).c_str(), "%" SCNu64 " %" SCNu64, &m.dev, &m.ino) != 2) {
        errno = EBADMSG;
        return -1;
      }
      intent.merges.push_back(std::move(m));
      i += 2;
    } else if (auto it = lists.find(key); it != lists.end()) {
      it->second->emplace_back(value);
    } else {
      errno = EBADMSG;
      return -1;
    }
  }
  if (intent.op.empty() || intent.name.empty()) {
    errno = EBADMSG;
    return -1;
  }
  return 1;
}

void intent_remove(const PackageDb* db) {
  unlinkat(dir_of(db), name_in(db, kIntentTemp).c_str(), 0);
  unlinkat(dir_of(db), name_in(db, kIntentFile).c_str(), 0);
  flush_dir(db);
}

void stage_leftovers_remove(const char* root, const char* keep) {
  DIR* dir = opendir(root);
  if (dir == nullptr) return;
  std::vector<std::string> gone;
  while (const dirent* e = readdir(dir)) {
    if (!has_prefix(e->d_name, kStagePrefix)) continue;
    std::string path = strformat("%s%s%s", root, has_suffix(root, "/") ? "" : "/", e->d_name);
    if (keep != nullptr && path == keep) continue;
    // A run that still unpacks into it holds its lock.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd && flock(fd.get(), LOCK_EX | LOCK_NB) == 0) gone.push_back(path);
  }
  closedir(dir);
  for (const std::string& path : gone) remove_tree(path.c_str());
}
