// Starts "wardrun true" against a database of 1,500 packages and 400,000
// paths in which the 39 base packages record about 30,000 real paths of this
// machine under /usr, and compares it with a plain "true": the difference is
// what every package build pays for its sandbox (database pass, rules,
// restriction).
#include <ftw.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"
#include "util/util.h"

namespace {

constexpr int kPackages = 1500;
constexpr long kPaths = 400000;
constexpr size_t kRealPaths = 30000;
constexpr int kRounds = 20;

const char* const kBase[] = {
    "llvm", "libffi", "libedit", "ncurses", "libxml2", "musl", "linux-headers", "mawk",
    "bash", "dash", "coreutils", "gmp", "tar", "acl", "attr", "libcap2", "grep", "pcre2",
    "sed", "gzip", "xz", "bzip2", "zstd", "findutils", "diffutils", "patch", "file", "make",
    "autoconf", "automake", "libtool", "m4", "perl", "sorn", "pkgconf", "libressl",
    "signify-openbsd", "zlib", "readline"};
constexpr int kBaseCount = sizeof kBase / sizeof kBase[0];

std::vector<std::string>* walked;

int collect(const char* path, const struct stat*, int type, struct FTW*) {
  if (walked->size() >= kRealPaths) return 1;
  if (type == FTW_D)
    walked->push_back(std::string(path + 1) + "/");
  else if (type == FTW_F || type == FTW_SL)
    walked->push_back(path + 1);
  return 0;
}

// The paths "true" needs to run (the program, its libraries, the loader, and
// what their names lead to), then /usr in walk order up to kRealPaths.
std::vector<std::string> real_paths() {
  std::vector<std::string> out;
  std::string libs;
  FILE* ldd = popen("ldd /usr/bin/true", "r");
  char word[PATH_MAX];
  std::vector<std::string> needed{"/usr/bin/true"};
  while (ldd != nullptr && fscanf(ldd, "%4095s", word) == 1)
    if (word[0] == '/') needed.push_back(word);
  if (ldd != nullptr) pclose(ldd);
  for (const std::string& p : needed) {
    out.push_back(p.substr(1));
    char real[PATH_MAX];
    if (realpath(p.c_str(), real) != nullptr) out.push_back(real + 1);
  }
  walked = &out;
  nftw("/usr", collect, 32, FTW_PHYS);
  return out;
}

// The database: the base packages share the real paths, the other packages
// hold generated ones, 400,000 paths in all.
bool write_database(const std::string& dbdir, const std::vector<std::string>& real) {
  mkdir(dbdir.c_str(), 0755);
  FILE* out = fopen((dbdir + "/db").c_str(), "w");
  if (out == nullptr) return false;
  for (int b = 0; b < kBaseCount; b++) {
    fprintf(out, "%s\n1.0-1\n", kBase[b]);
    for (size_t i = static_cast<size_t>(b); i < real.size(); i += kBaseCount)
      fprintf(out, "%s\n", real[i].c_str());
    fputc('\n', out);
  }
  long rest = kPaths - static_cast<long>(real.size());
  int others = kPackages - kBaseCount;
  for (int p = 0; p < others; p++) {
    long count = rest / others + (p < rest % others ? 1 : 0);
    fprintf(out, "pkg%04d\n1.%d-1\n", p, p % 13);
    for (long i = 0; i < count; i++)
      fprintf(out, "%s\n", bench::generated_path(p, static_cast<int>(i)).c_str());
    fputc('\n', out);
  }
  return fclose(out) == 0;
}

// Wall seconds of the fastest of kRounds runs (the least disturbed by the
// other work of a shared machine) and of their median, and the mean CPU
// seconds of one run.
struct Timing {
  double best, median, cpu;
};
Timing time_runs(char* const* argv) {
  std::vector<double> t;
  double cpu_start = bench::children_cpu_seconds();
  for (int i = 0; i < kRounds; i++) {
    double start = bench::wall_seconds();
    int status = run_child(ChildSpec{.program = argv[0], .argv = argv, .quiet = true});
    t.push_back(bench::wall_seconds() - start);
    if (!child_succeeded(status)) {
      fprintf(stderr, "%s exited with status %d\n", argv[0], status);
      exit(1);
    }
  }
  double cpu = (bench::children_cpu_seconds() - cpu_start) / kRounds;
  std::sort(t.begin(), t.end());
  return {t.front(), t[t.size() / 2], cpu};
}

}  // namespace

int main() {
  std::string dir = std::string(temp_dir()) + "/sorn-bench-wardrun.XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  std::vector<std::string> real = real_paths();
  std::string dbdir = dir + "/db";
  if (!write_database(dbdir, real)) {
    perror("database");
    remove_tree(dir.c_str());
    return 1;
  }
  setenv("PKG_DBDIR", dbdir.c_str(), 1);
  for (const char* v : {"SORN_MAKEDEPENDS", "SORN_DEPENDS", "SRC", "PKG", "SORN_WORK_DIR",
                        "TARVO_SOURCE_DIR"})
    unsetenv(v);

  // The summary line of one run gives the number of rules.
  long rules = -1;
  FILE* one = popen(WARDRUN_BIN " true 2>&1 >/dev/null", "r");
  char line[512];
  while (one != nullptr && fgets(line, sizeof line, one) != nullptr)
    sscanf(line, "sorn: warden: %ld rules added", &rules);
  if (one != nullptr) pclose(one);

  char* wardrun_argv[] = {const_cast<char*>(WARDRUN_BIN), const_cast<char*>("true"), nullptr};
  char* true_argv[] = {const_cast<char*>("true"), nullptr};
  Timing plain = time_runs(true_argv);
  Timing sandboxed = time_runs(wardrun_argv);
  remove_tree(dir.c_str());

  printf("database: %d packages, %ld paths; base packages record %zu real paths\n", kPackages,
         kPaths, real.size());
  printf("rules added:   %ld\n", rules);
  printf("true:          %.4f s wall (median %.4f s), %.4f s CPU\n", plain.best, plain.median,
         plain.cpu);
  printf("wardrun true:  %.4f s wall (median %.4f s), %.4f s CPU (target < 0.2 s)\n",
         sandboxed.best, sandboxed.median, sandboxed.cpu);
  double cost = sandboxed.best - plain.best;
  double cpu_cost = sandboxed.cpu - plain.cpu;
  printf("sandbox cost:  %.4f s wall, %.2f us per rule; %.4f s CPU, %.2f us per rule\n", cost,
         rules > 0 ? cost * 1e6 / static_cast<double>(rules) : 0.0, cpu_cost,
         rules > 0 ? cpu_cost * 1e6 / static_cast<double>(rules) : 0.0);
  return 0;
}
