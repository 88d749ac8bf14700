// Loads, sorts and saves a generated database of 1,500 packages and 400,000
// paths, and prints the CPU time and peak memory of each step.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_common.h"
#include "db/db.h"

int main() {
  constexpr int kPackages = 1500;
  constexpr long kPaths = 400000;

  std::string dir = std::string(temp_dir()) + "/sorn-bench-db.XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  std::string dbdir = dir + "/db";
  if (!bench::generate_database(dbdir, kPackages, kPaths)) {
    perror("generate");
    return 1;
  }
  setenv("PKG_DBDIR", dbdir.c_str(), 1);

  double start = bench::cpu_seconds();
  PackageDb* db = db_open(dir.c_str(), true);
  double loaded = bench::cpu_seconds();
  long packages = 0, paths = 0;
  for (PackageEntry* e = db->entries; e != nullptr; e = e->next) {
    packages++;
    paths += static_cast<long>(e->files->in_use);
    strlist_sort(e->files);
  }
  double sorted = bench::cpu_seconds();
  int saved = db_save(db);
  double done = bench::cpu_seconds();
  db_close(db);

  printf("database: %ld packages, %ld paths\n", packages, paths);
  printf("db_open:   %.3f s CPU\n", loaded - start);
  printf("sort all:  %.3f s CPU\n", sorted - loaded);
  printf("db_save:   %.3f s CPU (%s)\n", done - sorted, saved == 0 ? "ok" : "FAILED");
  printf("load+save: %.3f s CPU (target < 0.5 s)\n", done - start);
  printf("peak RSS:  %.1f MiB (target < 80 MiB)\n", bench::peak_rss_mib());

  remove_tree(dir.c_str());
  return saved == 0 ? 0 : 1;
}
