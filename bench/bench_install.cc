// Installs a generated 20,000-file zstd package into a root whose database
// holds 1,500 packages and 400,000 paths, and compares the wall time with
// the bare passes over the same package that any install needs: one
// "tar -tf" listing and one "zstd -dc | tar -xpf" extraction.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"
#include "db/db.h"
#include "util/util.h"

namespace {

constexpr int kPackages = 1500;
constexpr long kPaths = 400000;
constexpr int kFiles = 20000;
constexpr int kDropped = 2000;  // files the second version no longer has
constexpr int kRounds = 5;

bool write_text(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  fputs(text.c_str(), f);
  return fclose(f) == 0;
}

bool shell(const std::string& command) {
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                  const_cast<char*>(command.c_str()), nullptr};
  return child_succeeded(run_child(ChildSpec{.program = "sh", .argv = argv}));
}

// The package tree: files spread over 100 directories; the first `skip`
// files are left out.
bool make_tree(const std::string& dir, int skip) {
  for (int d = 0; d < 100; d++)
    if (make_dirs(strformat("%s/usr/share/benchpkg/d%02d", dir.c_str(), d).c_str(), 0755) != 0)
      return false;
  std::string body(200, 'x');
  for (int i = skip; i < kFiles; i++) {
    std::string path = strformat("%s/usr/share/benchpkg/d%02d/file-%05d", dir.c_str(), i % 100, i);
    if (!write_text(path, body + std::to_string(i) + "\n")) return false;
  }
  return true;
}

bool pack(const std::string& tree, const std::string& out) {
  return shell("cd '" + tree + "' && find usr | LC_ALL=C sort | "
               "tar --owner=root --group=root --no-recursion -cf - -T - | zstd -q -c > '" + out + "'");
}

// The generator writes each package's paths unsorted; a real database has
// been through a save, which sorts them. One load and save makes it so.
bool normalise_database(const std::string& dbdir) {
  setenv("PKG_DBDIR", dbdir.c_str(), 1);
  PackageDbPtr db(db_open("/", true));
  return db_save(db.get()) == 0;
}

double timed_shell(const std::string& command) {
  double start = bench::wall_seconds();
  if (!shell(command)) {
    fprintf(stderr, "failed: %s\n", command.c_str());
    exit(1);
  }
  return bench::wall_seconds() - start;
}

// A fresh root holding a copy of the generated database. The writeback and
// discards of the previous round are flushed first, so that no round pays
// for another's.
void fresh_root(const std::string& root, const std::string& dbfile) {
  remove_tree(root.c_str());
  make_dirs((root + "/var/lib/pkg").c_str(), 0755);
  shell("cp '" + dbfile + "' '" + root + "/var/lib/pkg/db'");
  sync();
}

// The zarnin under test: SORN_BENCH_ZARNIN names another build to compare.
const char* zarnin_bin() {
  const char* chosen = getenv("SORN_BENCH_ZARNIN");
  return chosen != nullptr && *chosen != '\0' ? chosen : ZARNIN_BIN;
}

double timed_zarnin(const std::string& root, const std::string& package, bool upgrade) {
  std::vector<char*> argv{const_cast<char*>(zarnin_bin()), const_cast<char*>("-r"),
                          const_cast<char*>(root.c_str())};
  if (upgrade) argv.push_back(const_cast<char*>("-u"));
  argv.push_back(const_cast<char*>(package.c_str()));
  argv.push_back(nullptr);
  double start = bench::wall_seconds();
  int status = run_child(ChildSpec{.program = argv[0], .argv = argv.data()});
  double took = bench::wall_seconds() - start;
  if (!child_succeeded(status)) {
    fprintf(stderr, "zarnin failed on %s\n", package.c_str());
    exit(1);
  }
  return took;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The disk of a virtual machine throttles bursts of writes, which would make
// the extraction time a measure of the throttle; a memory file system, when
// there is one, leaves the programs' own costs. SORN_BENCH_DIR overrides.
std::string bench_dir() {
  const char* chosen = getenv("SORN_BENCH_DIR");
  if (chosen != nullptr && *chosen != '\0') return chosen;
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
    return "/dev/shm";
  return temp_dir();
}

}  // namespace

int main() {
  std::string work = bench_dir() + "/sorn-bench-install.XXXXXX";
  if (mkdtemp(work.data()) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  unsetenv("TAR_OPTIONS");
  std::string dbfile = work + "/generated/db";
  std::string v1 = work + "/benchpkg#1.0-1.pkg.tar.zst";
  std::string v2 = work + "/benchpkg#2.0-1.pkg.tar.zst";
  if (!bench::generate_database(work + "/generated", kPackages, kPaths) ||
      !normalise_database(work + "/generated") ||
      !make_tree(work + "/tree1", 0) || !pack(work + "/tree1", v1) ||
      !make_tree(work + "/tree2", kDropped) || !pack(work + "/tree2", v2)) {
    fprintf(stderr, "cannot prepare the benchmark in %s\n", work.c_str());
    remove_tree(work.c_str());
    return 1;
  }
  std::string root = work + "/root";
  setenv("PKG_DBDIR", (root + "/var/lib/pkg").c_str(), 1);

  std::vector<double> listing, extraction, install, upgrade;
  for (int round = 0; round < kRounds; round++) {
    fresh_root(root, dbfile);
    listing.push_back(timed_shell("zstd -dcq '" + v1 + "' | tar -tf - > /dev/null"));
    extraction.push_back(timed_shell("zstd -dcq '" + v1 + "' | tar -xpf - -C '" + root + "'"));
    fresh_root(root, dbfile);
    install.push_back(timed_zarnin(root, v1, false));
    sync();
    upgrade.push_back(timed_zarnin(root, v2, true));
  }
  remove_tree(work.c_str());

  double bare = median(listing) + median(extraction);
  double inst = median(install);
  printf("install of a %d-file zstd package, database of %d packages / %ld paths "
         "(median of %d rounds, in %s)\n", kFiles, kPackages, kPaths, kRounds,
         work.substr(0, work.rfind('/')).c_str());
  printf("  zarnin: %s\n", zarnin_bin());
  printf("  bare tar -tf                 %7.3f s\n", median(listing));
  printf("  bare zstd -dc | tar -xpf     %7.3f s\n", median(extraction));
  printf("  bare listing + extraction    %7.3f s\n", bare);
  printf("  zarnin install               %7.3f s\n", inst);
  printf("  overhead                     %7.3f s  (target <= 0.300 s: %s)\n", inst - bare,
         inst - bare <= 0.3 ? "met" : "missed");
  printf("  ratio install / bare         %7.2f\n", inst / bare);
  printf("  zarnin -u (drops %d files)  %7.3f s\n", kDropped, median(upgrade));
  return 0;
}
