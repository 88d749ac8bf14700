// Installs a generated 20,000-file package (about 80 MB of tar) compressed
// with zstd, gzip and xz into a root whose database holds 1,500 packages and
// 400,000 paths, and compares each install with the bare
// "DECOMPRESSOR | tar -xpf" extraction of the same package: a fresh install
// without and with a ".footprint" beside the package, and an upgrade (with
// its footprint) whose configuration files exist and are staged. CPU time
// counts every process of a run (user + system of the waited-for children);
// on a shared machine it is the steadier figure, so the ratios are given
// for both.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "bench_common.h"
#include "db/db.h"
#include "util/util.h"

namespace {

constexpr int kPackages = 1500;
constexpr long kPaths = 400000;
constexpr int kFiles = 20000;
constexpr int kConfigs = 40;    // files under etc/, all existing on upgrade
constexpr int kDropped = 2000;  // files the second version no longer has
constexpr int kRounds = 3;

bool write_bytes(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  fwrite(bytes.data(), 1, bytes.size(), f);
  return fclose(f) == 0;
}

// Text-like file contents: words of a fixed vocabulary in a pseudo-random
// order, so that the package compresses about as well as real ones do.
class Text {
 public:
  Text() {
    for (int w = 0; w < 1024; w++) {
      std::string word;
      int len = 2 + static_cast<int>(next() % 9);
      for (int c = 0; c < len; c++) word += static_cast<char>('a' + next() % 26);
      words_.push_back(word);
    }
  }
  std::string body(size_t size) {
    std::string out;
    while (out.size() < size) {
      out += words_[next() % words_.size()];
      out += next() % 12 == 0 ? '\n' : ' ';
    }
    out.resize(size);
    return out;
  }
  uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }

 private:
  uint64_t state_ = 0x9e3779b97f4a7c15ull;
  std::vector<std::string> words_;
};

// The package tree: files of 0 to 7,000 bytes spread over 100 directories,
// and configuration files under etc/; the first `skip` files are left out
// and `version` is written into every configuration file.
bool make_text_tree(const std::string& dir, int skip, int version) {
  Text text;
  for (int d = 0; d < 100; d++)
    if (make_dirs(strformat("%s/usr/share/benchpkg/d%02d", dir.c_str(), d).c_str(), 0755) != 0)
      return false;
  if (make_dirs((dir + "/etc/benchpkg").c_str(), 0755) != 0) return false;
  for (int i = 0; i < kFiles; i++) {
    std::string body = text.body(text.next() % 7001);
    if (i < skip) continue;
    std::string path = strformat("%s/usr/share/benchpkg/d%02d/file-%05d", dir.c_str(), i % 100, i);
    if (!write_bytes(path, body)) return false;
  }
  for (int i = 0; i < kConfigs; i++) {
    std::string path = strformat("%s/etc/benchpkg/conf-%02d.conf", dir.c_str(), i);
    if (!write_bytes(path, strformat("version=%d\nsetting=%d\n", version, i))) return false;
  }
  return true;
}

struct Compression {
  const char* name;
  const char* suffix;
  std::string compress;    // reads tar on stdin
  std::string decompress;  // the program zarnin picks, as it runs it
};

bool on_path(const char* program) {
  return bench::shell(strformat("command -v %s > /dev/null", program));
}

std::vector<Compression> compressions() {
  const char* gz = on_path("pigz") ? "pigz" : "gzip";
  return {{"zstd", "zst", "zstd -q -T0 -c", "zstd -dcq"},
          {"gzip", "gz", strformat("%s -c", gz), strformat("%s -dc", gz)},
          {"xz", "xz", "xz -T0 -c", "xz -dc -T0"}};
}

bool pack_with(const std::string& tree, const std::string& out, const Compression& c) {
  return bench::shell("cd '" + tree + "' && find etc usr | LC_ALL=C sort | "
               "tar --owner=root --group=root --no-recursion -cf - -T - | " + c.compress +
               " > '" + out + "'");
}

// Writes the package's footprint into "<dir>/.footprint" with the library's
// own print_footprint.
bool write_footprint(const std::string& package, const std::string& dir) {
  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  int fd = open((dir + "/.footprint").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (saved < 0 || fd < 0) return false;
  dup2(fd, STDOUT_FILENO);
  close(fd);
  int result = print_footprint(package.c_str());
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  return result == 0;
}

struct Took {
  double wall, cpu;
};

Took timed(const char* what, const ChildSpec& cmd) {
  double start = bench::wall_seconds(), cpu = bench::children_cpu_seconds();
  int status = run_child(cmd);
  Took took{bench::wall_seconds() - start, bench::children_cpu_seconds() - cpu};
  if (!child_succeeded(status)) {
    fprintf(stderr, "failed: %s\n", what);
    exit(1);
  }
  return took;
}

Took timed_shell(const std::string& command) {
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                  const_cast<char*>(command.c_str()), nullptr};
  return timed(command.c_str(), ChildSpec{.program = "sh", .argv = argv});
}

// The zarnin under test: SORN_BENCH_ZARNIN names another build to compare.
const char* zarnin_bin() {
  const char* chosen = getenv("SORN_BENCH_ZARNIN");
  return chosen != nullptr && *chosen != '\0' ? chosen : ZARNIN_BIN;
}

// zarnin's notes and the staging report go to /dev/null through sh.
Took timed_zarnin(const std::string& root, const std::string& package, bool upgrade) {
  std::string command = std::string("exec '") + zarnin_bin() + "' -r '" + root + "' " +
                        (upgrade ? "-u " : "") + "'" + package + "' > /dev/null 2>&1";
  return timed_shell(command);
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

Took median(std::vector<Took> v) {
  std::vector<double> wall, cpu;
  for (const Took& t : v) {
    wall.push_back(t.wall);
    cpu.push_back(t.cpu);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

struct Packages {
  std::string v1, v1_fp, v2_fp;  // the *_fp ones lie beside a ".footprint"
};

struct Figures {
  std::vector<Took> bare, install, install_fp, upgrade;
};

void print_row(const char* what, Took t, Took bare) {
  printf("  %-34s %7.3f s wall %7.3f s cpu   ratio %5.2f wall %5.2f cpu\n", what, t.wall, t.cpu,
         t.wall / bare.wall, t.cpu / bare.cpu);
}

}  // namespace

int main() {
  std::string work = bench::bench_dir() + "/sorn-bench-install.XXXXXX";
  if (mkdtemp(work.data()) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  unsetenv("TAR_OPTIONS");
  // zarnin's temporary files go where the root is, as on a system whose
  // /tmp is a memory file system.
  setenv("TMPDIR", work.c_str(), 1);
  std::vector<Compression> kinds = compressions();
  std::string dbfile = work + "/generated/db";
  bool ready = bench::generate_database(work + "/generated", kPackages, kPaths) &&
               bench::normalise_database(work + "/generated") && make_text_tree(work + "/tree1", 0, 1) &&
               make_text_tree(work + "/tree2", kDropped, 2);
  std::vector<Packages> packages;
  for (const Compression& c : kinds) {
    if (!ready) break;
    std::string plain = work + "/" + c.name, fp1 = plain + "-fp1", fp2 = plain + "-fp2";
    Packages p{plain + "/benchpkg#1.0-1.pkg.tar." + c.suffix,
               fp1 + "/benchpkg#1.0-1.pkg.tar." + c.suffix,
               fp2 + "/benchpkg#2.0-1.pkg.tar." + c.suffix};
    ready = make_dirs(plain.c_str(), 0755) == 0 && make_dirs(fp1.c_str(), 0755) == 0 &&
            make_dirs(fp2.c_str(), 0755) == 0 && pack_with(work + "/tree1", p.v1, c) &&
            bench::shell("cp '" + p.v1 + "' '" + p.v1_fp + "'") && pack_with(work + "/tree2", p.v2_fp, c) &&
            write_footprint(p.v1_fp, fp1) && write_footprint(p.v2_fp, fp2);
    packages.push_back(p);
  }
  if (!ready) {
    fprintf(stderr, "cannot prepare the benchmark in %s\n", work.c_str());
    remove_tree(work.c_str());
    return 1;
  }
  std::string root = work + "/root";
  setenv("PKG_DBDIR", (root + "/var/lib/pkg").c_str(), 1);

  std::vector<Figures> figures(kinds.size());
  for (int round = 0; round < kRounds; round++) {
    for (size_t k = 0; k < kinds.size(); k++) {
      const Packages& p = packages[k];
      Figures& f = figures[k];
      fresh_root(root, dbfile);
      f.bare.push_back(timed_shell(kinds[k].decompress + " < '" + p.v1 + "' | tar -xpf - -C '" +
                                   root + "'"));
      fresh_root(root, dbfile);
      f.install.push_back(timed_zarnin(root, p.v1, false));
      fresh_root(root, dbfile);
      f.install_fp.push_back(timed_zarnin(root, p.v1_fp, false));
      sync();
      f.upgrade.push_back(timed_zarnin(root, p.v2_fp, true));
    }
  }
  remove_tree(work.c_str());

  printf("install of a %d-file package, database of %d packages / %ld paths "
         "(median of %d rounds, in %s)\n", kFiles, kPackages, kPaths, kRounds,
         work.substr(0, work.rfind('/')).c_str());
  printf("zarnin: %s\n", zarnin_bin());
  for (size_t k = 0; k < kinds.size(); k++) {
    const Figures& f = figures[k];
    Took bare = median(f.bare);
    printf("%s\n", kinds[k].name);
    printf("  %-34s %7.3f s wall %7.3f s cpu\n", (kinds[k].decompress + " | tar -xpf").c_str(),
           bare.wall, bare.cpu);
    print_row("zarnin install", median(f.install), bare);
    print_row("zarnin install, .footprint", median(f.install_fp), bare);
    print_row(strformat("zarnin -u, .footprint, %d configs", kConfigs).c_str(),
              median(f.upgrade), bare);
  }
  printf("targets: install <= 1.15, upgrade <= 1.25 times the bare extraction\n");
  return 0;
}
