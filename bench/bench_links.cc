// Installs a generated 20,000-file zstd package into a root whose database
// holds 1,500 packages and 400,000 paths, in a merged root ("bin", "lib" and
// "sbin" linked into "usr", where a third of the recorded paths lie) against
// a root without links: through the programs and, alone, the work that the
// directory links add. The plain install figures are printed beside them.
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
#include "zarnin/plan.h"

namespace {

constexpr int kPackages = 1500;
constexpr long kPaths = 400000;
constexpr int kFiles = 20000;
constexpr int kDropped = 2000;  // files the second version no longer has
constexpr int kRounds = 5;
// The in-process passes take a fraction of a second: more rounds, and the
// quickest counts, as the one least disturbed by other work on the machine.
constexpr int kCostRounds = 15;

double timed_shell(const std::string& command) {
  double start = bench::wall_seconds();
  if (!bench::shell(command)) {
    fprintf(stderr, "failed: %s\n", command.c_str());
    exit(1);
  }
  return bench::wall_seconds() - start;
}

// A fresh root holding a copy of the generated database; a merged one has
// "bin", "lib" and "sbin" linked into "usr". The writeback and discards of
// the previous round are flushed first, so that no round pays for another's.
void fresh_root(const std::string& root, const std::string& dbfile, bool merged = false) {
  remove_tree(root.c_str());
  make_dirs((root + "/var/lib/pkg").c_str(), 0755);
  bench::shell("cp '" + dbfile + "' '" + root + "/var/lib/pkg/db'");
  if (merged)
    bench::shell("cd '" + root + "' && mkdir -p usr/bin usr/lib usr/sbin && "
                 "ln -s usr/bin bin && ln -s usr/lib lib && ln -s usr/sbin sbin");
  sync();
}

struct Took {
  double wall, cpu;
};

// The zarnin under test: SORN_BENCH_ZARNIN names another build to compare.
const char* zarnin_bin() {
  const char* chosen = getenv("SORN_BENCH_ZARNIN");
  return chosen != nullptr && *chosen != '\0' ? chosen : ZARNIN_BIN;
}

Took timed_run(const char* program, const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(program)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  double start = bench::wall_seconds(), cpu = bench::children_cpu_seconds();
  int status = run_child(ChildSpec{.program = program, .argv = argv.data()});
  Took took{bench::wall_seconds() - start, bench::children_cpu_seconds() - cpu};
  if (!child_succeeded(status)) {
    fprintf(stderr, "%s failed on %s\n", program, args.back().c_str());
    exit(1);
  }
  return took;
}

Took median(const std::vector<Took>& v) {
  std::vector<double> wall, cpu;
  for (const Took& t : v) {
    wall.push_back(t.wall);
    cpu.push_back(t.cpu);
  }
  return {bench::median(wall), bench::median(cpu)};
}

// The member list of the package as tar gives it: each directory before
// what it holds. With in_bin, the files of its first 10 directories lie in
// "usr/bin" instead, where a merged root gives them a second spelling.
StringListPtr package_members(bool in_bin) {
  StringListPtr members(strlist_new());
  for (const char* dir : {"usr/", "usr/bin/", "usr/share/", "usr/share/benchpkg/"})
    strlist_add(members.get(), dir);
  for (int d = 0; d < 100; d++) {
    strlist_add(members.get(), strformat("usr/share/benchpkg/d%02d/", d).c_str());
    for (int i = d; i < kFiles; i += 100) {
      std::string path = in_bin && d < 10 ? strformat("usr/bin/file-%05d", i)
                                          : strformat("usr/share/benchpkg/d%02d/file-%05d", d, i);
      strlist_add(members.get(), path.c_str());
    }
  }
  return members;
}

// What links add to one run, in process, in CPU milliseconds: finding them,
// the conflict collection and the ownership pass of a removal (here: of
// every member), each against the same pass without links.
struct LinkCosts {
  double find, conflicts, plain_conflicts, owners, plain_owners;
  size_t links;
};

LinkCosts link_costs(const std::string& root, const StringList* members) {
  PackageDbPtr db(db_open(root.c_str(), true));
  db_sort_lists(db.get());
  double t0 = bench::cpu_seconds();
  DirLinks links(root.c_str(), db.get(), {members});
  double t1 = bench::cpu_seconds();
  StringListPtr with(install_conflicts(db.get(), "benchpkg", members, &links));
  double t2 = bench::cpu_seconds();
  StringListPtr without(install_conflicts(db.get(), "benchpkg", members));
  double t3 = bench::cpu_seconds();
  StringListPtr kept(install_obsolete(db.get(), "benchpkg", members, &links));
  double t4 = bench::cpu_seconds();
  StringListPtr plain_kept(install_obsolete(db.get(), "benchpkg", members));
  double t5 = bench::cpu_seconds();
  return {(t1 - t0) * 1e3, (t2 - t1) * 1e3, (t3 - t2) * 1e3, (t4 - t3) * 1e3, (t5 - t4) * 1e3,
          links.size()};
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

  std::vector<double> listing, extraction;
  std::vector<Took> install[2], upgrade[2];  // [merged]
  for (int round = 0; round < kRounds; round++) {
    fresh_root(root, dbfile);
    listing.push_back(timed_shell("zstd -dcq '" + v1 + "' | tar -tf - > /dev/null"));
    extraction.push_back(timed_shell("zstd -dcq '" + v1 + "' | tar -xpf - -C '" + root + "'"));
    for (bool merged : {false, true}) {
      fresh_root(root, dbfile, merged);
      install[merged].push_back(timed_run(zarnin_bin(), {"-r", root, v1}));
      sync();
      upgrade[merged].push_back(timed_run(zarnin_bin(), {"-r", root, "-u", v2}));
    }
  }
  std::vector<LinkCosts> costs[2][2];  // [merged][in_bin]
  for (bool merged : {false, true}) {
    fresh_root(root, dbfile, merged);
    for (bool in_bin : {false, true}) {
      StringListPtr members = package_members(in_bin);
      for (int round = 0; round < kCostRounds; round++)
        costs[merged][in_bin].push_back(link_costs(root, members.get()));
    }
  }
  remove_tree(work.c_str());

  double bare = bench::median(listing) + bench::median(extraction);
  double inst = median(install[0]).wall;
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
  printf("  zarnin -u (drops %d files)  %7.3f s\n", kDropped, median(upgrade[0]).wall);

  printf("merged root (bin, lib, sbin -> usr/...; a third of the recorded paths below them)\n"
         "against a root without links           no links    merged   difference\n");
  auto row = [](const char* what, double plain, double merged) {
    printf("  %-36s %7.3f s %7.3f s %+8.3f s\n", what, plain, merged, merged - plain);
  };
  row("zarnin install, wall", median(install[0]).wall, median(install[1]).wall);
  row("zarnin install, CPU with children", median(install[0]).cpu, median(install[1]).cpu);
  row("zarnin -u, wall", median(upgrade[0]).wall, median(upgrade[1]).wall);
  row("zarnin -u, CPU with children", median(upgrade[0]).cpu, median(upgrade[1]).cpu);
  for (bool in_bin : {false, true}) {
    auto cost = [&](bool merged, double LinkCosts::*field) {
      double least = 1e9;
      for (const LinkCosts& c : costs[merged][in_bin]) least = std::min(least, c.*field);
      return least;
    };
    printf("  in process, least CPU ms of %d rounds%s\n", kCostRounds,
           in_bin ? ", 2,000 of the files in usr/bin" : "");
    printf("  %-36s no links    merged   difference\n", "");
    auto ms_row = [&](const char* what, double LinkCosts::*field) {
      printf("  %-36s %7.1f   %7.1f   %+8.1f\n", what, cost(false, field), cost(true, field),
             cost(true, field) - cost(false, field));
    };
    ms_row("finding the links", &LinkCosts::find);
    ms_row("conflicts", &LinkCosts::conflicts);
    ms_row("conflicts, today's collection", &LinkCosts::plain_conflicts);
    ms_row("other owners of a removal", &LinkCosts::owners);
    ms_row("other owners, today's pass", &LinkCosts::plain_owners);
    printf("  links found                          %7zu   %7zu\n", costs[0][in_bin][0].links,
           costs[1][in_bin][0].links);
    for (bool merged : {false, true}) {
      double added = cost(merged, &LinkCosts::find) +
                     std::max(cost(merged, &LinkCosts::conflicts) - cost(merged, &LinkCosts::plain_conflicts),
                              cost(merged, &LinkCosts::owners) - cost(merged, &LinkCosts::plain_owners));
      printf("  added to an install or removal, %-8s %+6.1f ms (target <= 30 ms: %s)\n",
             merged ? "merged" : "no links", added, added <= 30 ? "met" : "missed");
    }
  }
  return 0;
}
