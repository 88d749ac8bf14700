// Removes an installed 20,000-file package from a root whose database holds
// 1,500 other packages and 400,000 paths, and compares the wall time with a
// bare "rm -rf" of the same installed tree followed by "sync -f" of the
// root, as zarnout flushes the root's file system before its record. Each
// run works on a fresh copy of one installed root. The same removal from a
// merged root ("bin", "lib" and "sbin" linked into "usr", where a third of
// the recorded paths lie) is set against it.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_common.h"
#include "util/util.h"

namespace {

constexpr int kPackages = 1500;
constexpr long kPaths = 400000;
constexpr int kFiles = 20000;
constexpr int kRounds = 5;

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "failed: %s\n", what.c_str());
  exit(1);
}

// A copy of the installed root, flushed first so that no run pays for the
// copy's writeback.
void fresh_copy(const std::string& installed, const std::string& root) {
  remove_tree(root.c_str());
  if (!bench::shell("cp -a '" + installed + "' '" + root + "'")) fail("cp -a " + installed);
  sync();
}

struct Timing {
  double wall, cpu;
};

// Runs program and waits, its output to /dev/null when quiet; on a machine
// shared with other work the CPU time is the steadier figure.
Timing timed(const char* program, std::vector<const char*> args, bool quiet = false) {
  std::vector<char*> argv;
  for (const char* a : args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);
  double cpu = bench::children_cpu_seconds();
  double start = bench::wall_seconds();
  int status = run_child(ChildSpec{.program = program, .argv = argv.data(), .quiet = quiet});
  Timing took{bench::wall_seconds() - start, bench::children_cpu_seconds() - cpu};
  if (!child_succeeded(status)) fail(program);
  return took;
}

}  // namespace

int main() {
  std::string work = bench::bench_dir() + "/sorn-bench-remove.XXXXXX";
  if (mkdtemp(work.data()) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  unsetenv("TAR_OPTIONS");
  std::string installed = work + "/installed";
  std::string package = work + "/benchpkg#1.0-1.pkg.tar.zst";
  if (!bench::generate_database(work + "/generated", kPackages, kPaths) ||
      !bench::normalise_database(work + "/generated") ||
      make_dirs((installed + "/var/lib/pkg").c_str(), 0755) != 0 ||
      !bench::shell("cp '" + work + "/generated/db' '" + installed + "/var/lib/pkg/db'") ||
      !bench::make_tree(work + "/tree", kFiles, 0) || !bench::pack(work + "/tree", package)) {
    fprintf(stderr, "cannot prepare the benchmark in %s\n", work.c_str());
    remove_tree(work.c_str());
    return 1;
  }
  std::string root = work + "/root";
  std::string dbdir = root + "/var/lib/pkg";
  setenv("PKG_DBDIR", (installed + "/var/lib/pkg").c_str(), 1);
  timed(ZARNIN_BIN, {ZARNIN_BIN, "-r", installed.c_str(), package.c_str()});
  std::string merged = work + "/merged";
  make_dirs((merged + "/var/lib/pkg").c_str(), 0755);
  if (!bench::shell("cp '" + work + "/generated/db' '" + merged + "/var/lib/pkg/db' && cd '" +
                    merged + "' && mkdir -p usr/bin usr/lib usr/sbin && "
                    "ln -s usr/bin bin && ln -s usr/lib lib && ln -s usr/sbin sbin"))
    fail("merged root");
  setenv("PKG_DBDIR", (merged + "/var/lib/pkg").c_str(), 1);
  timed(ZARNIN_BIN, {ZARNIN_BIN, "-r", merged.c_str(), package.c_str()});
  setenv("PKG_DBDIR", dbdir.c_str(), 1);

  // The package's own tree is everything under usr/: the generated
  // database's paths exist only in the database.
  std::string tree = root + "/usr";
  std::vector<double> bare, removal, bare_cpu, removal_cpu, merged_removal, merged_cpu;
  for (int round = 0; round < kRounds; round++) {
    fresh_copy(installed, root);
    std::string floor = "rm -rf '" + tree + "' && sync -f '" + root + "'";
    Timing t = timed("sh", {"sh", "-c", floor.c_str()});
    bare.push_back(t.wall);
    bare_cpu.push_back(t.cpu);
    fresh_copy(installed, root);
    t = timed(ZARNOUT_BIN, {ZARNOUT_BIN, "-r", root.c_str(), "benchpkg"});
    removal.push_back(t.wall);
    removal_cpu.push_back(t.cpu);
    if (bench::shell("test -e '" + tree + "'")) fail("zarnout left " + tree);
    fresh_copy(merged, root);
    // "usr/" stays, with a notice: it holds the merged root's directories.
    t = timed(ZARNOUT_BIN, {ZARNOUT_BIN, "-r", root.c_str(), "benchpkg"}, true);
    merged_removal.push_back(t.wall);
    merged_cpu.push_back(t.cpu);
    if (bench::shell("test -e '" + tree + "/share'")) fail("zarnout left " + tree + "/share");
  }
  remove_tree(work.c_str());

  double rm = bench::median(bare);
  double out = bench::median(removal);
  printf("removal of an installed %d-file package beside %d packages / %ld paths in the "
         "database (median of %d rounds, each on a fresh copy, in %s)\n",
         kFiles, kPackages, kPaths, kRounds,
         work.substr(0, work.rfind('/')).c_str());
  printf("  rm -rf tree && sync -f root  %7.3f s  (CPU %.3f s)\n", rm, bench::median(bare_cpu));
  printf("  zarnout                      %7.3f s  (CPU %.3f s)\n", out, bench::median(removal_cpu));
  printf("  overhead                     %7.3f s  (target <= 0.200 s: %s)\n", out - rm,
         out - rm <= 0.2 ? "met" : "missed");
  printf("  ratio zarnout / rm -rf       %7.2f\n", out / rm);
  double merged_out = bench::median(merged_removal);
  printf("  zarnout, merged root         %7.3f s  (CPU %.3f s)\n", merged_out,
         bench::median(merged_cpu));
  printf("  merged against no links      %+7.3f s  (CPU %+.3f s; target <= +0.030 s)\n",
         merged_out - out, bench::median(merged_cpu) - bench::median(removal_cpu));
  return 0;
}
