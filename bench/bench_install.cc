// Sets zarnin and zarnout against the durable floor, each case in one table
// of one run. A generated 20,000-file package (about 80 MB of tar) is
// installed fresh with zstd, gzip and xz, upgraded to a second version and
// removed; the floor is "DECOMPRESSOR < package | tar -xpf - -C root &&
// sync -f root" (for the upgrade, version 2 extracted over the version 1
// tree) and, for the removal, "rm -rf" of the package's tree followed by
// "sync -f root". The install, upgrade and removal are run again with a
// database of 400,000 paths and set against the same runs with an empty
// one. Last, a package of 30 small files goes into a root whose database
// holds a few hundred packages: its wall time beside the floor's, and the
// processes a run starts, show the fixed cost of one run.
//
// Every figure is the median of a few rounds. CPU time counts every process
// of a run (user + system of the waited-for children); on a shared machine
// it is the steadier figure, so it is printed beside the wall time, which
// the verdicts read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "bench_common.h"
#include "util/util.h"

namespace {

constexpr int kFiles = 20000;
constexpr int kConfigs = 40;     // files under etc/, all existing on upgrade
constexpr int kDropped = 2000;   // files the second version no longer has
constexpr int kBigPackages = 1500;
constexpr long kBigPaths = 400000;
constexpr int kFewPackages = 300;  // the small package's root
constexpr long kFewPaths = 15000;
constexpr int kSmallFiles = 30;
constexpr int kRounds = 3;
constexpr int kSmallRounds = 9;

constexpr double kInstallRatio = 1.15;
constexpr double kUpgradeRatio = 1.3;
constexpr double kDatabaseExtra = 0.15;  // seconds
constexpr double kRemovalExtra = 0.2;    // seconds

// The work directory, removed on every way out.
std::string g_work;

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "failed: %s\n", what.c_str());
  if (!g_work.empty()) remove_tree(g_work.c_str());
  exit(1);
}

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
// and `version` is written into every configuration file. Adds the bytes
// written to *bytes.
bool make_text_tree(const std::string& dir, int skip, int version, double* bytes) {
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
    *bytes += static_cast<double>(body.size());
  }
  for (int i = 0; i < kConfigs; i++) {
    std::string path = strformat("%s/etc/benchpkg/conf-%02d.conf", dir.c_str(), i);
    if (!write_bytes(path, strformat("version=%d\nsetting=%d\n", version, i))) return false;
  }
  return true;
}

// The small package: a program, a library and documentation of a few
// hundred bytes each.
bool make_small_tree(const std::string& dir) {
  Text text;
  for (const char* sub : {"usr/bin", "usr/lib", "usr/share/doc/smallpkg"})
    if (make_dirs((dir + "/" + sub).c_str(), 0755) != 0) return false;
  for (int i = 0; i < kSmallFiles; i++) {
    const char* sub = i < 4    ? "usr/bin/small"
                      : i < 10 ? "usr/lib/libsmall"
                               : "usr/share/doc/smallpkg/page";
    std::string body = text.body(200 + text.next() % 800);
    if (!write_bytes(strformat("%s/%s-%02d", dir.c_str(), sub, i), body)) return false;
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

// xz at its default level takes minutes for each package here; its fastest
// level compresses these files as well and decompresses about as fast.
std::vector<Compression> compressions() {
  const char* gz = on_path("pigz") ? "pigz" : "gzip";
  return {{"zstd", "zst", "zstd -q -T0 -c", "zstd -dcq"},
          {"gzip", "gz", strformat("%s -c", gz), strformat("%s -dc", gz)},
          {"xz", "xz", "xz -0 -T0 -c", "xz -dc -T0"}};
}

bool pack_with(const std::string& tree, const std::string& out, const std::string& compress) {
  return bench::shell("cd '" + tree + "' && find * | LC_ALL=C sort | "
                      "tar --owner=root --group=root --no-recursion -cf - -T - | " + compress +
                      " > '" + out + "'");
}

double megabytes(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_size) / 1e6 : 0.0;
}

struct Took {
  double wall, cpu;
};

// Runs argv (its output to /dev/null) and waits; a failure ends the bench.
Took timed(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  UniqueFd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
  ChildSpec cmd{.program = argv[0], .argv = argv.data(), .stdout_fd = null.get(),
                .stderr_fd = null.get()};
  double start = bench::wall_seconds(), cpu = bench::children_cpu_seconds();
  int status = run_child(cmd);
  Took took{bench::wall_seconds() - start, bench::children_cpu_seconds() - cpu};
  if (!child_succeeded(status)) {
    std::string command;
    for (const std::string& a : args) command += (command.empty() ? "" : " ") + a;
    fail(command);
  }
  return took;
}

Took timed_shell(const std::string& command) { return timed({"sh", "-c", command}); }

// The programs under test: SORN_BENCH_ZARNIN names another zarnin to
// compare.
std::string zarnin_bin() {
  const char* chosen = getenv("SORN_BENCH_ZARNIN");
  return chosen != nullptr && *chosen != '\0' ? chosen : ZARNIN_BIN;
}
std::string zarnout_bin() { return ZARNOUT_BIN; }

std::string floor_extract(const Compression& c, const std::string& package,
                          const std::string& root) {
  return c.decompress + " < '" + package + "' | tar -xpf - -C '" + root + "' && sync -f '" +
         root + "'";
}

// An empty root, or one holding a copy of dbfile. The writeback of the
// previous run is flushed first, so that no run pays for another's.
void fresh_root(const std::string& root, const std::string& dbfile) {
  remove_tree(root.c_str());
  if (make_dirs((root + "/var/lib/pkg").c_str(), 0755) != 0) fail("mkdir " + root);
  if (!dbfile.empty() && !bench::shell("cp '" + dbfile + "' '" + root + "/var/lib/pkg/db'"))
    fail("cp " + dbfile);
  sync();
}

void expect(const std::string& path, bool present) {
  if (entry_exists(path.c_str()) != present)
    fail(path + (present ? " missing" : " left behind"));
}

// The programs a run of argv exec'd, itself not counted, from strace's
// record of every execve that succeeded.
struct Started {
  bool counted = false;
  std::vector<std::string> programs;
};

Started count_started(const std::string& log, std::vector<std::string> argv) {
  Started started;
  std::vector<std::string> traced = {"strace", "-f", "-qq", "-e", "trace=execve", "-o", log, "--"};
  traced.insert(traced.end(), argv.begin(), argv.end());
  timed(traced);
  FILE* in = fopen(log.c_str(), "r");
  if (in == nullptr) return started;
  std::map<long, std::string> program_of;  // pid: the last program it tried
  bool own = true;                         // the first success is argv itself
  char* line = nullptr;
  size_t cap = 0;
  ssize_t len;
  while ((len = getline(&line, &cap, in)) >= 0) {
    std::string_view text(line, static_cast<size_t>(len));
    while (text.ends_with('\n') || text.ends_with(' ')) text.remove_suffix(1);
    long pid = strtol(line, nullptr, 10);
    size_t at = text.find("execve(\"");
    if (at != std::string_view::npos) {
      std::string_view path = text.substr(at + 8);
      path = path.substr(0, path.find('"'));
      program_of[pid] = std::string(path.substr(path.rfind('/') + 1));
    }
    if (!text.ends_with(") = 0")) continue;
    if (!own) started.programs.push_back(program_of[pid]);
    own = false;
  }
  free(line);
  fclose(in);
  unlink(log.c_str());
  started.counted = !own;
  return started;
}

std::string describe(const Started& s) {
  if (!s.counted) return "not counted";
  std::string text = std::to_string(s.programs.size());
  for (size_t i = 0; i < s.programs.size(); i++) text += (i == 0 ? " (" : ", ") + s.programs[i];
  return text + (s.programs.empty() ? "" : ")");
}

Took median(const std::vector<Took>& v) {
  std::vector<double> wall, cpu;
  for (const Took& t : v) {
    wall.push_back(t.wall);
    cpu.push_back(t.cpu);
  }
  return {bench::median(wall), bench::median(cpu)};
}

// The runs of one chain: a fresh install, the upgrade over it, the removal.
struct Chain {
  std::vector<Took> install, upgrade, remove;
};

enum class Target { kRatio, kExtra, kNone };

// One row: the case and its floor, each wall and cpu, then by the target's
// kind the ratio of the wall times or their difference in seconds, the
// target and the verdict.
void print_row(const std::string& what, Took t, const std::string& floor, Took f, Target kind,
               double target) {
  double ratio = t.wall / f.wall, extra = t.wall - f.wall;
  std::string result, goal;
  const char* verdict = "-";
  switch (kind) {
    case Target::kRatio:
      result = strformat("x%.2f (cpu x%.2f)", ratio, t.cpu / f.cpu);
      goal = strformat("<= x%.2f", target);
      verdict = ratio <= target ? "ok" : "OVER";
      break;
    case Target::kExtra:
      result = strformat("%+.3f s (cpu %+.3f)", extra, t.cpu - f.cpu);
      goal = strformat("<= %+.2f s", target);
      verdict = extra <= target ? "ok" : "OVER";
      break;
    case Target::kNone:
      result = strformat("%+.3f s (x%.2f)", extra, ratio);
      goal = "fixed cost";
      break;
  }
  printf("%-30s %6.3f %6.3f | %-18s %6.3f %6.3f | %-22s %-11s %s\n", what.c_str(), t.wall, t.cpu,
         floor.c_str(), f.wall, f.cpu, result.c_str(), goal.c_str(), verdict);
}

// The files of one run of the bench, all below the work directory.
struct Setup {
  std::vector<Compression> kinds;
  std::vector<std::string> v1, v2;  // benchpkg 1.0 and 2.0 of each kind
  std::string small;                // the 30-file package, zstd
  std::string big_db, few_db;       // 400,000 paths; a few hundred packages
  std::string root;
  double bytes1 = 0, bytes2 = 0;    // the file contents of 1.0 and 2.0
};

bool prepare(const std::string& work, Setup& s) {
  s.kinds = compressions();
  s.big_db = work + "/big/db";
  s.few_db = work + "/few/db";
  s.small = work + "/smallpkg#1.0-1.pkg.tar.zst";
  s.root = work + "/root";
  bool ready = bench::generate_database(work + "/big", kBigPackages, kBigPaths) &&
               bench::normalise_database(work + "/big") &&
               bench::generate_database(work + "/few", kFewPackages, kFewPaths) &&
               bench::normalise_database(work + "/few") &&
               make_text_tree(work + "/tree1", 0, 1, &s.bytes1) &&
               make_text_tree(work + "/tree2", kDropped, 2, &s.bytes2) &&
               make_small_tree(work + "/small") &&
               pack_with(work + "/small", s.small, s.kinds[0].compress);
  for (const Compression& c : s.kinds) {
    s.v1.push_back(work + "/benchpkg#1.0-1.pkg.tar." + c.suffix);
    s.v2.push_back(work + "/benchpkg#2.0-1.pkg.tar." + c.suffix);
    ready = ready && pack_with(work + "/tree1", s.v1.back(), c.compress) &&
            pack_with(work + "/tree2", s.v2.back(), c.compress);
  }
  remove_tree((work + "/tree1").c_str());
  remove_tree((work + "/tree2").c_str());
  return ready;
}

struct Figures {
  std::vector<Chain> floors, empty;  // of each kind
  Chain big;                         // zstd, with the 400,000-path database
  std::vector<Took> small_floor, small;
  Started small_started, floor_started;
  bool counted = false;
};

// The install, upgrade and removal of benchpkg with each kind, and their
// floors; a round is over every case, so that a slow spell of the machine
// spreads over them. One removal of each is enough: the tree is the same.
void run_rounds(const Setup& s, Figures& f) {
  const std::string& root = s.root;
  std::string first = root + "/usr/share/benchpkg/d00/file-00000";  // dropped by 2.0
  std::string last = strformat("%s/usr/share/benchpkg/d%02d/file-%05d", root.c_str(),
                               (kFiles - 1) % 100, kFiles - 1);
  std::string tree_rm = "rm -rf '" + root + "/usr/share/benchpkg' '" + root +
                        "/etc/benchpkg' && sync -f '" + root + "'";
  f.floors.resize(s.kinds.size());
  f.empty.resize(s.kinds.size());
  for (int round = 0; round < kRounds; round++) {
    for (size_t k = 0; k < s.kinds.size(); k++) {
      fresh_root(root, "");
      f.floors[k].install.push_back(timed_shell(floor_extract(s.kinds[k], s.v1[k], root)));
      sync();
      f.floors[k].upgrade.push_back(timed_shell(floor_extract(s.kinds[k], s.v2[k], root)));
      sync();
      if (k == 0) f.floors[k].remove.push_back(timed_shell(tree_rm));

      fresh_root(root, "");
      f.empty[k].install.push_back(timed({zarnin_bin(), "-r", root, s.v1[k]}));
      expect(first, true);
      sync();
      f.empty[k].upgrade.push_back(timed({zarnin_bin(), "-r", root, "-u", s.v2[k]}));
      expect(first, false);
      if (k != 0) continue;
      sync();
      f.empty[k].remove.push_back(timed({zarnout_bin(), "-r", root, "benchpkg"}));
      expect(last, false);
    }
    fresh_root(root, s.big_db);
    f.big.install.push_back(timed({zarnin_bin(), "-r", root, s.v1[0]}));
    sync();
    f.big.upgrade.push_back(timed({zarnin_bin(), "-r", root, "-u", s.v2[0]}));
    sync();
    f.big.remove.push_back(timed({zarnout_bin(), "-r", root, "benchpkg"}));
    expect(last, false);
  }
}

// The small package into the root of a few hundred packages, and the
// processes that one run of it and of its floor start.
void run_small(const std::string& work, const Setup& s, Figures& f) {
  const std::string& root = s.root;
  std::string floor = floor_extract(s.kinds[0], s.small, root);
  for (int round = 0; round < kSmallRounds; round++) {
    fresh_root(root, s.few_db);
    f.small_floor.push_back(timed_shell(floor));
    fresh_root(root, s.few_db);
    f.small.push_back(timed({zarnin_bin(), "-r", root, s.small}));
    expect(root + "/usr/bin/small-00", true);
  }
  f.counted = on_path("strace");
  if (!f.counted) return;
  fresh_root(root, s.few_db);
  f.small_started = count_started(work + "/strace.log", {zarnin_bin(), "-r", root, s.small});
  fresh_root(root, s.few_db);
  f.floor_started = count_started(work + "/strace.log", {"sh", "-c", floor});
}

void print_header(const std::string& work, const Setup& s) {
  printf("zarnin and zarnout against the durable floor, median of %d rounds in %s\n", kRounds,
         work.substr(0, work.rfind('/')).c_str());
  printf("package 1.0: %d files, %.1f MB; 2.0 drops %d of them (%.1f MB) and has its %d "
         "configuration files staged beside the existing ones\n",
         kFiles, s.bytes1 / 1e6, kDropped, s.bytes2 / 1e6, kConfigs);
  printf("zarnin: %s\nzarnout: %s\n", zarnin_bin().c_str(), zarnout_bin().c_str());
  printf("floors: install  DECOMPRESSOR < 1.0 | tar -xpf - -C root && sync -f root, into an "
         "empty root\n"
         "        upgrade  the same with 2.0, over the 1.0 tree\n"
         "        removal  rm -rf root/usr/share/benchpkg root/etc/benchpkg && sync -f root\n"
         "        empty db the same zarnin or zarnout run with an empty database\n");
  for (size_t k = 0; k < s.kinds.size(); k++)
    printf("packages, %-4s  1.0 %5.1f MB, 2.0 %5.1f MB, \"%s\"\n", s.kinds[k].name,
           megabytes(s.v1[k]), megabytes(s.v2[k]), s.kinds[k].decompress.c_str());
  printf("wall and cpu in seconds; the verdict reads the wall time\n\n");
  printf("%-30s %6s %6s | %-18s %6s %6s | %-22s %-11s %s\n", "case", "wall", "cpu", "floor",
         "wall", "cpu", "result", "target", "verdict");
}

void print_table(const Setup& s, const Figures& f) {
  for (size_t k = 0; k < s.kinds.size(); k++)
    print_row(strformat("install %s, empty db", s.kinds[k].name), median(f.empty[k].install),
              strformat("extract %s", s.kinds[k].name), median(f.floors[k].install),
              Target::kRatio, kInstallRatio);
  for (size_t k = 0; k < s.kinds.size(); k++)
    print_row(strformat("upgrade %s, empty db", s.kinds[k].name), median(f.empty[k].upgrade),
              strformat("extract over %s", s.kinds[k].name), median(f.floors[k].upgrade),
              Target::kRatio, kUpgradeRatio);
  Took rm = median(f.floors[0].remove);
  print_row("removal, empty db", median(f.empty[0].remove), "rm -rf, sync -f", rm,
            Target::kExtra, kRemovalExtra);
  print_row("removal, 400,000-path db", median(f.big.remove), "rm -rf, sync -f", rm,
            Target::kExtra, kRemovalExtra);
  print_row("install zstd, 400,000 paths", median(f.big.install), "empty db",
            median(f.empty[0].install), Target::kExtra, kDatabaseExtra);
  print_row("upgrade zstd, 400,000 paths", median(f.big.upgrade), "empty db",
            median(f.empty[0].upgrade), Target::kExtra, kDatabaseExtra);
  print_row("removal, 400,000 paths", median(f.big.remove), "empty db",
            median(f.empty[0].remove), Target::kExtra, kDatabaseExtra);
  print_row(strformat("%d files, %d-package db", kSmallFiles, kFewPackages), median(f.small),
            "extract zstd", median(f.small_floor), Target::kNone, 0);
  printf("\nthe %d-file package, median of %d rounds; processes a run starts:\n", kSmallFiles,
         kSmallRounds);
  if (f.counted)
    printf("  zarnin: %s\n  floor:  %s, started by sh\n", describe(f.small_started).c_str(),
           describe(f.floor_started).c_str());
  else
    printf("  not counted: strace is not installed\n");
}

}  // namespace

int main() {
  g_work = bench::bench_dir() + "/sorn-bench-install.XXXXXX";
  if (mkdtemp(g_work.data()) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  unsetenv("TAR_OPTIONS");
  // Whatever a run might put in TMPDIR stays in the work directory.
  setenv("TMPDIR", g_work.c_str(), 1);
  Setup setup;
  if (!prepare(g_work, setup)) fail("preparing the benchmark in " + g_work);
  // Each root's database lies inside it.
  setenv("PKG_DBDIR", "var/lib/pkg", 1);
  Figures figures;
  run_rounds(setup, figures);
  run_small(g_work, setup, figures);
  print_header(g_work, setup);
  print_table(setup, figures);
  remove_tree(g_work.c_str());
  return 0;
}
