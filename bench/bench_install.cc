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

double timed_shell(const std::string& command) {
  double start = bench::wall_seconds();
  if (!bench::shell(command)) {
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
  bench::shell("cp '" + dbfile + "' '" + root + "/var/lib/pkg/db'");
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

}  // namespace

int main() {
  std::string work = bench::bench_dir() + "/sorn-bench-install.XXXXXX";
  if (mkdtemp(work.data()) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  unsetenv("TAR_OPTIONS");
  std::string dbfile = work + "/generated/db";
  std::string v1 = work + "/benchpkg#1.0-1.pkg.tar.zst";
  std::string v2 = work + "/benchpkg#2.0-1.pkg.tar.zst";
  if (!bench::generate_database(work + "/generated", kPackages, kPaths) ||
      !bench::normalise_database(work + "/generated") ||
      !bench::make_tree(work + "/tree1", kFiles, 0) || !bench::pack(work + "/tree1", v1) ||
      !bench::make_tree(work + "/tree2", kFiles, kDropped) || !bench::pack(work + "/tree2", v2)) {
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

  double bare = bench::median(listing) + bench::median(extraction);
  double inst = bench::median(install);
  printf("install of a %d-file zstd package, database of %d packages / %ld paths "
         "(median of %d rounds, in %s)\n", kFiles, kPackages, kPaths, kRounds,
         work.substr(0, work.rfind('/')).c_str());
  printf("  zarnin: %s\n", zarnin_bin());
  printf("  bare tar -tf                 %7.3f s\n", bench::median(listing));
  printf("  bare zstd -dc | tar -xpf     %7.3f s\n", bench::median(extraction));
  printf("  bare listing + extraction    %7.3f s\n", bare);
  printf("  zarnin install               %7.3f s\n", inst);
  printf("  overhead                     %7.3f s  (target <= 0.300 s: %s)\n", inst - bare,
         inst - bare <= 0.3 ? "met" : "missed");
  printf("  ratio install / bare         %7.2f\n", inst / bare);
  printf("  zarnin -u (drops %d files)  %7.3f s\n", kDropped, bench::median(upgrade));
  return 0;
}
