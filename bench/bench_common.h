// Shared pieces of the benchmark programs: a generated package database, a
// generated package, the working directory, and CPU/memory/wall figures.
#pragma once

#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "db/db.h"
#include "util/util.h"

namespace bench {

// The path of package p's file i: spread over a few shared directories and
// one of the package's own, as a real system's database is. A third lie
// under "bin/", "lib/" and "sbin/", which a merged root links into "usr/".
inline std::string generated_path(int p, int i) {
  static const char* const kTops[] = {"usr/bin/",    "usr/lib/", "usr/share/doc/",
                                      "usr/share/man/man1/", "usr/include/", "etc/",
                                      "bin/",        "lib/",     "sbin/"};
  constexpr int kTopCount = sizeof kTops / sizeof kTops[0];
  const char* top = kTops[(p + i) % kTopCount];
  char buf[160];
  snprintf(buf, sizeof buf, "%spkg%04d/sub%02d/file-%05d.dat", top, p, i % 17, i);
  return buf;
}

// Writes "<dbdir>/db" with `packages` records holding `paths` paths in all,
// in the file format (name, version, paths, empty line) but with each
// record's paths in generation order: a save sorts them.
inline bool generate_database(const std::string& dbdir, int packages, long paths) {
  mkdir(dbdir.c_str(), 0755);
  std::string file = dbdir + "/db";
  FILE* out = fopen(file.c_str(), "w");
  if (out == nullptr) return false;
  long per = paths / packages;
  for (int p = 0; p < packages; p++) {
    long count = per + (p < paths % packages ? 1 : 0);
    fprintf(out, "pkg%04d\n%d.%d-1\n", p, 1 + p % 7, p % 13);
    for (long i = 0; i < count; i++) fprintf(out, "%s\n", generated_path(p, static_cast<int>(i)).c_str());
    fputc('\n', out);
  }
  return fclose(out) == 0;
}

// The generator writes each package's paths unsorted; a real database has
// been through a save, which sorts them. One load and save makes it so.
inline bool normalise_database(const std::string& dbdir) {
  setenv("PKG_DBDIR", dbdir.c_str(), 1);
  PackageDbPtr db(db_open("/", true));
  return db_save(db.get()) == 0;
}

inline bool write_text(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  fputs(text.c_str(), f);
  return fclose(f) == 0;
}

inline bool shell(const std::string& command) {
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                  const_cast<char*>(command.c_str()), nullptr};
  return child_succeeded(run_child(ChildSpec{.program = "sh", .argv = argv}));
}

// The tree of the package "benchpkg": `files` files spread over 100
// directories below usr/share/benchpkg; the first `skip` files are left out.
inline bool make_tree(const std::string& dir, int files, int skip) {
  for (int d = 0; d < 100; d++)
    if (make_dirs(strformat("%s/usr/share/benchpkg/d%02d", dir.c_str(), d).c_str(), 0755) != 0)
      return false;
  std::string body(200, 'x');
  for (int i = skip; i < files; i++) {
    std::string path = strformat("%s/usr/share/benchpkg/d%02d/file-%05d", dir.c_str(), i % 100, i);
    if (!write_text(path, body + std::to_string(i) + "\n")) return false;
  }
  return true;
}

// Packs tree into out with tar and zstd, members in name order.
inline bool pack(const std::string& tree, const std::string& out) {
  return shell("cd '" + tree + "' && find usr | LC_ALL=C sort | "
               "tar --owner=root --group=root --no-recursion -cf - -T - | zstd -q -c > '" + out + "'");
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The disk of a virtual machine throttles bursts of writes, which would make
// the file system's time a measure of the throttle; a memory file system,
// when there is one, leaves the programs' own costs. SORN_BENCH_DIR
// overrides.
inline std::string bench_dir() {
  const char* chosen = getenv("SORN_BENCH_DIR");
  if (chosen != nullptr && *chosen != '\0') return chosen;
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
    return "/dev/shm";
  return temp_dir();
}

// CPU seconds (user + system) of getrusage's who: RUSAGE_SELF for this
// process, RUSAGE_CHILDREN for the children waited for so far.
inline double rusage_seconds(int who) {
  struct rusage ru;
  getrusage(who, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}
inline double cpu_seconds() { return rusage_seconds(RUSAGE_SELF); }
inline double children_cpu_seconds() { return rusage_seconds(RUSAGE_CHILDREN); }

// Peak resident memory of this process, in MiB.
inline double peak_rss_mib() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

inline double wall_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace bench
