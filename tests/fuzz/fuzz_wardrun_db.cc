// wardrun's own database reader against the library's loader: over the same
// bytes, both find the same records for names up to 255 bytes, and wardrun
// asks for a rule on exactly the recorded paths of those records ("/" and the
// path; a directory without its trailing "/"), paths too long for its line
// buffer aside. The rules are caught here instead of reaching Landlock.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "db/db.h"
#include "fuzz_support.h"
#include "wardrun/wardrun.h"

namespace {

std::string g_dir;
std::vector<std::pair<std::string, uint64_t>> g_rules;

void remove_dir() {
  unlink((g_dir + "/db").c_str());
  rmdir(g_dir.c_str());
}

// What the reader reports on standard error while it runs.
std::string capture_stderr(int (*fn)(const std::vector<const char*>&),
                           const std::vector<const char*>& names, int* result) {
  static sorn_fuzz::MemFile sink;
  sink.fill("", 0);
  fflush(stderr);
  int saved = dup(STDERR_FILENO);
  int fd = open(sink.path(), O_WRONLY | O_CLOEXEC);
  dup2(fd, STDERR_FILENO);
  close(fd);
  *result = fn(names);
  fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string out;
  fd = open(sink.path(), O_RDONLY | O_CLOEXEC);
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

int run_reader(const std::vector<const char*>& names) {
  int count = static_cast<int>(names.size());
  // Every name counts as a base package: a missing file is then no reason
  // to skip a rule, so every recorded path reaches add_path_rule.
  return add_db_rules(-1, names.data(), count, count);
}

}  // namespace

// Takes the place of the Landlock rule in wardrun's reader.
int add_path_rule(int, const char* path, uint64_t access, bool* added, RuleFds*) {
  g_rules.emplace_back(path, access);
  if (added != nullptr) *added = true;
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* shm = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : temp_dir();
  std::string tmpl = std::string(shm) + "/sorn-fuzz-ward.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) abort();
  g_dir = tmpl;
  setenv("PKG_DBDIR", g_dir.c_str(), 1);
  atexit(remove_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = open((g_dir + "/db").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  close(fd);

  // The library's records; the names asked for are theirs (up to 255
  // bytes) and one that no record can have.
  PackageDb* db = db_open(nullptr, true);
  std::set<std::string> names{"no such\npackage"};
  std::multiset<std::pair<std::string, uint64_t>> want;
  for (const PackageEntry* e = db->entries; e != nullptr; e = e->next)
    if (strlen(e->name) <= 255) names.insert(e->name);
  for (const PackageEntry* e = db->entries; e != nullptr; e = e->next) {
    if (!names.count(e->name)) continue;
    for (uint64_t i = 0; i < e->files->in_use; i++) {
      std::string path = std::string("/") + e->files->strings[i];
      if (path.size() > 4095) continue;  // beyond wardrun's line buffer
      bool dir = path.size() > 1 && path.back() == '/';
      if (dir) path.pop_back();
      want.emplace(path, dir ? LANDLOCK_ACCESS_FS_READ_DIR
                             : LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE);
    }
  }
  db_close(db);

  std::vector<const char*> list;
  for (const auto& n : names) list.push_back(n.c_str());
  g_rules.clear();
  int result;
  std::string err = capture_stderr(run_reader, list, &result);
  FUZZ_CHECK(result == 0);
  std::multiset<std::pair<std::string, uint64_t>> got(g_rules.begin(), g_rules.end());
  FUZZ_CHECK(got == want);
  // Only the name without a record is reported missing.
  for (const auto& n : names) {
    bool reported = err.find("base package '" + n + "' not in db") != std::string::npos;
    FUZZ_CHECK(reported == (n == "no such\npackage"));
  }
  return 0;
}
