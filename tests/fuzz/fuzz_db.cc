// The database loader against a model of the file format, and the round
// trip: what a save writes is well-formed, holds exactly the loaded records
// that have paths (paths sorted), and loads back to the same records.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "db/db.h"
#include "fuzz_support.h"

namespace {

struct Record {
  std::string name, version;
  std::vector<std::string> paths;
  bool operator==(const Record&) const = default;
};

std::string g_dir;

// The records of a database file in file order, by the three-state rule: a
// line ends at its "\n" (or the end of the file) and, as a C string, at its
// first NUL byte.
std::vector<Record> model_load(std::string_view data) {
  enum { kBetween, kAfterName, kInPaths } state = kBetween;
  std::vector<Record> out;
  while (!data.empty()) {
    size_t nl = data.find('\n');
    std::string_view line = data.substr(0, nl);
    data.remove_prefix(nl == std::string_view::npos ? data.size() : nl + 1);
    line = line.substr(0, line.find('\0'));
    switch (state) {
      case kBetween:
        if (line.empty()) break;
        out.push_back({std::string(line), "", {}});
        state = kAfterName;
        break;
      case kAfterName:
        if (line.empty()) {
          state = kBetween;
        } else {
          out.back().version = line;
          state = kInPaths;
        }
        break;
      case kInPaths:
        if (line.empty())
          state = kBetween;
        else
          out.back().paths.emplace_back(line);
        break;
    }
  }
  return out;
}

// The list of an open database, head first.
std::vector<Record> records_of(const PackageDb* db) {
  std::vector<Record> out;
  for (const PackageEntry* e = db->entries; e != nullptr; e = e->next) {
    Record r{e->name, e->version, {}};
    for (uint64_t i = 0; i < e->files->in_use; i++) r.paths.emplace_back(e->files->strings[i]);
    out.push_back(std::move(r));
  }
  return out;
}

std::string read_all(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

void write_all(const std::string& path, const uint8_t* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  close(fd);
}

void remove_dir() {
  unlink((g_dir + "/db").c_str());
  unlink((g_dir + "/db.tmp").c_str());
  rmdir(g_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* shm = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : temp_dir();
  std::string tmpl = std::string(shm) + "/sorn-fuzz-db.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) abort();
  g_dir = tmpl;
  setenv("PKG_DBDIR", g_dir.c_str(), 1);
  atexit(remove_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  write_all(g_dir + "/db", data, size);

  std::vector<Record> model = model_load(input);
  std::reverse(model.begin(), model.end());  // linked at the head in turn
  PackageDb* db = db_open(nullptr, true);
  FUZZ_CHECK(records_of(db) == model);

  // What the save must write: the records with paths, list order, paths
  // sorted byte-wise.
  std::vector<Record> kept;
  std::string expected;
  for (Record r : model) {
    if (r.paths.empty()) continue;
    std::sort(r.paths.begin(), r.paths.end());
    expected += r.name + "\n" + r.version + "\n";
    for (const auto& p : r.paths) expected += p + "\n";
    expected += "\n";
    kept.push_back(std::move(r));
  }
  FUZZ_CHECK(db_save(db) == 0);
  db_close(db);
  FUZZ_CHECK(access((g_dir + "/db.tmp").c_str(), F_OK) != 0);
  std::string saved = read_all(g_dir + "/db");
  FUZZ_CHECK(saved == expected);

  // Loading it back gives the same records, in the reverse order again.
  db = db_open(nullptr, true);
  std::vector<Record> again = records_of(db);
  std::reverse(again.begin(), again.end());
  FUZZ_CHECK(again == kept);
  db_close(db);
  return 0;
}
