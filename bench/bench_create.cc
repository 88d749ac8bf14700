// Packs a generated 20,000-file tree with zstd through package_create,
// without and with an observer, and compares the wall time with the bare
// "tar -cf - ... | zstd -q -T0 > file" pipeline over the same tree, all in
// the same run and interleaved round by round.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "bench_common.h"
#include "util/util.h"

namespace {

constexpr int kFiles = 20000;
constexpr int kRounds = 7;

bool write_text(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  fputs(text.c_str(), f);
  return fclose(f) == 0;
}

// The tree of bench_install: files spread over 100 directories.
bool make_tree(const std::string& dir) {
  for (int d = 0; d < 100; d++)
    if (make_dirs(strformat("%s/usr/share/benchpkg/d%02d", dir.c_str(), d).c_str(), 0755) != 0)
      return false;
  std::string body(200, 'x');
  for (int i = 0; i < kFiles; i++) {
    std::string path = strformat("%s/usr/share/benchpkg/d%02d/file-%05d", dir.c_str(), i % 100, i);
    if (!write_text(path, body + std::to_string(i) + "\n")) return false;
  }
  return true;
}

// CPU seconds of this process and of every child it has waited for.
double cpu_all() { return bench::cpu_seconds() + bench::children_cpu_seconds(); }

struct Took {
  double wall, cpu;
};

Took timed_bare(const std::string& tree, const std::string& out) {
  std::string command = "tar -cf - -C '" + tree + "' usr | zstd -q -T0 > '" + out + "'";
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                  const_cast<char*>(command.c_str()), nullptr};
  double start = bench::wall_seconds(), cpu = cpu_all();
  if (!child_succeeded(run_child(ChildSpec{.program = "sh", .argv = argv}))) {
    fprintf(stderr, "failed: %s\n", command.c_str());
    exit(1);
  }
  return {bench::wall_seconds() - start, cpu_all() - cpu};
}

void count_bytes(const void* /*bytes*/, size_t length, void* user_data) {
  *static_cast<size_t*>(user_data) += length;
}

// package_create with its note sent to /dev/null.
Took timed_create(const std::string& tree, const std::string& out, bool observed, size_t* seen) {
  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  dup2(null_fd, STDOUT_FILENO);
  close(null_fd);
  double start = bench::wall_seconds(), cpu = cpu_all();
  int r = package_create(out.c_str(), tree.c_str(), "zst", observed ? count_bytes : nullptr, seen);
  Took took{bench::wall_seconds() - start, cpu_all() - cpu};
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  if (r != 0) {
    fprintf(stderr, "package_create failed on %s\n", tree.c_str());
    exit(1);
  }
  return took;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

off_t file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// A memory file system keeps the disk's write throttling out of the figures
// (as in bench_install); SORN_BENCH_DIR overrides.
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
  std::string work = bench_dir() + "/sorn-bench-create.XXXXXX";
  if (mkdtemp(work.data()) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  unsetenv("TAR_OPTIONS");
  std::string tree = work + "/tree";
  if (!make_tree(tree)) {
    fprintf(stderr, "cannot prepare the benchmark in %s\n", work.c_str());
    remove_tree(work.c_str());
    return 1;
  }
  std::string bare_out = work + "/bare.tar.zst";
  std::string direct_out = work + "/direct#1-1.pkg.tar.zst";
  std::string observed_out = work + "/observed#1-1.pkg.tar.zst";

  std::vector<double> bare, direct, observed, bare_cpu, direct_cpu, observed_cpu;
  size_t seen = 0;
  for (int round = 0; round < kRounds; round++) {
    Took t = timed_bare(tree, bare_out);
    bare.push_back(t.wall);
    bare_cpu.push_back(t.cpu);
    t = timed_create(tree, direct_out, false, nullptr);
    direct.push_back(t.wall);
    direct_cpu.push_back(t.cpu);
    seen = 0;
    t = timed_create(tree, observed_out, true, &seen);
    observed.push_back(t.wall);
    observed_cpu.push_back(t.cpu);
  }
  double b = median(bare), d = median(direct), o = median(observed);
  double bc = median(bare_cpu), dc = median(direct_cpu), oc = median(observed_cpu);
  printf("packing %d files (100 directories) with zstd, medians of %d interleaved rounds:\n",
         kFiles, kRounds);
  printf("  %-34s %8s %8s %9s %9s\n", "", "wall ms", "vs bare", "CPU ms", "bytes");
  printf("  %-34s %8.1f %8s %9.1f %9lld\n", "tar -cf - | zstd -q -T0 > file", b * 1e3, "", bc * 1e3,
         static_cast<long long>(file_size(bare_out)));
  printf("  %-34s %8.1f %+7.1f%% %9.1f %9lld\n", "package_create", d * 1e3, (d / b - 1) * 100,
         dc * 1e3, static_cast<long long>(file_size(direct_out)));
  printf("  %-34s %8.1f %+7.1f%% %9.1f %9lld  (%zu bytes observed)\n",
         "package_create with an observer", o * 1e3, (o / b - 1) * 100, oc * 1e3,
         static_cast<long long>(file_size(observed_out)), seen);
  remove_tree(work.c_str());
  return 0;
}
