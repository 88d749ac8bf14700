// Shared pieces of the benchmark programs: a generated package database and
// CPU/memory figures of the running process.
#pragma once

#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <string>

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

// CPU seconds (user + system) used by this process so far.
inline double cpu_seconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

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
