// zarnin decompresses a package once per install, in the one pass that
// unpacks it into the staging area, and needs no temporary file for it: a
// TMPDIR that cannot be written changes nothing. The decompressors' runs are
// counted by wrappers put first on PATH.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "archive/archive.h"
#include "support/support.h"

using sorn_test::entries_of;
using sorn_test::mkdir_p;
using sorn_test::PackageTree;
using sorn_test::read_file;
using sorn_test::run;
using sorn_test::RunOptions;
using sorn_test::RunResult;
using sorn_test::sh;
using sorn_test::shell_quote;
using sorn_test::TempDir;
using sorn_test::write_file;
using testing::EndsWith;

namespace {

constexpr const char* kDecompressors[] = {"pigz",  "gzip",  "zstd", "xz",   "lbzip2",
                                          "pbzip2", "bzip2", "plzip", "lzip", "cat"};

// The package file suffixes and the compressor that PackageTree uses.
struct Kind {
  const char* suffix;
  const char* compressor;
};
constexpr Kind kKinds[] = {{"gz", "gzip"},   {"zst", "zstd"}, {"xz", "xz"},
                           {"bz2", "bzip2"}, {"lz", "lzip"},  {"tar", "none"}};

// Every file of a tree, with its mode and content, one line each.
std::string tree_of(const std::string& dir) {
  RunResult r = run({"sh", "-c",
                     "cd " + shell_quote(dir) +
                         " && find . -printf '%p %M %s\\n' | LC_ALL=C sort && "
                         "find . -type f | LC_ALL=C sort | xargs -r md5sum"});
  return r.out;
}

class Once : public testing::Test {
 protected:
  TempDir work_, bin_, tmp_;
  std::string log_ = bin_ / "runs.log";

  Once() {
    // A wrapper for each decompressor this machine has logs its name and
    // runs the real one.
    for (const char* program : kDecompressors) {
      RunResult found = run({"sh", "-c", std::string("command -v ") + program});
      if (found.status != 0) continue;
      std::string real = found.out.substr(0, found.out.find('\n'));
      write_file(bin_ / program,
                 "#!/bin/sh\necho " + std::string(program) + " >> " + shell_quote(log_) +
                     "\nexec " + shell_quote(real) + " \"$@\"\n",
                 0755);
    }
  }

  ~Once() override { EXPECT_EQ(std::vector<std::string>{}, entries_of(tmp_.path())); }

  // Runs zarnin on root with the wrappers first on PATH; prefix (a shell
  // command such as "ulimit -f 16;") runs before it. Returns the result and
  // sets runs to the number of decompressor runs.
  RunResult zarnin(const std::string& root, const std::vector<std::string>& args, int* runs,
                   const std::string& tmpdir = "", const std::string& prefix = "") const {
    unlink(log_.c_str());
    std::string command = prefix + " exec " + shell_quote(ZARNIN_BIN) + " -r " + shell_quote(root);
    for (const auto& a : args) command += " " + shell_quote(a);
    RunOptions opts;
    opts.env["PATH"] = bin_.path() + ":" + getenv("PATH");
    opts.env["PKG_DBDIR"] = root + "/var/lib/pkg";
    opts.env["TMPDIR"] = tmpdir.empty() ? tmp_.path() : tmpdir;
    opts.env["PKG_ROOT"] = std::nullopt;
    opts.env["TAR_OPTIONS"] = std::nullopt;
    RunResult r = run({"sh", "-c", command}, opts);
    std::string log = sorn_test::exists(log_) ? read_file(log_) : "";
    *runs = static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    return r;
  }

  // Writes the package's footprint beside it, as the build leaves it.
  static void store_footprint(const std::string& package) {
    std::string stored = package.substr(0, package.rfind('/')) + "/.footprint";
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int fd = open(stored.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    int result = print_footprint(package.c_str());
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    ASSERT_EQ(0, result);
  }
};

// Ten files of 4 KiB: more than 16 KiB of tar, while no file that an
// install writes reaches 8 KiB.
PackageTree& fill(PackageTree& t, const std::string& version) {
  t.file("etc/foo.conf", "version=" + version + "\n").file("usr/bin/foo", version + "\n");
  for (int i = 0; i < 10; i++)
    t.file("usr/share/foo/part" + std::to_string(i), std::string(4000, static_cast<char>('a' + i)) +
                                                        version + "\n");
  return t;
}

TEST_F(Once, EachInstallDecompressesOnceAndMatchesThePassByPassRun) {
  for (const Kind& k : kKinds) {
    bool none = std::string(k.compressor) == "none";
    if (!none && !sorn_test::exists(bin_ / k.compressor)) continue;
    PackageTree v1, v2;
    fill(v1, "1");
    fill(v2, "2");
    v2.file("usr/bin/bar", "bar\n");
    std::string file1 = std::string("foo#1-1.pkg.tar.") + k.suffix;
    std::string file2 = std::string("foo#2-1.pkg.tar.") + k.suffix;
    TempDir plain_dir, fp_dir;
    std::string plain = v1.pack(plain_dir.path(), file1, k.compressor);
    std::string with_fp = v1.pack(fp_dir.path(), file1, k.compressor);
    store_footprint(with_fp);
    TempDir up_dir;
    std::string upgrade = v2.pack(up_dir.path(), file2, k.compressor);
    store_footprint(upgrade);

    struct Step {
      int root;  // 0 or 1
      const char* what;
      std::vector<std::string> args;
      const char* err;
    };
    const Step steps[] = {
        {0, "fresh install", {plain}, ""},
        {0, "forced reinstall", {"-f", plain}, ""},
        {1, "install with a footprint", {with_fp}, ""},
        {1, "upgrade with a footprint", {"-u", upgrade}, "zarnin: config: staged\netc/foo.conf.new\n"},
    };
    // The same steps in two roots each: once as installs run, once with
    // every file beyond 8 KiB refused, which no file of the install needs.
    TempDir once_roots[2], again_roots[2];
    for (const Step& s : steps) {
      std::string label = std::string(k.suffix) + ": " + s.what;
      const std::string& once_root = once_roots[s.root].path();
      const std::string& again_root = again_roots[s.root].path();
      int once_runs = -1, again_runs = -1;
      RunResult once = zarnin(once_root, s.args, &once_runs);
      RunResult again = zarnin(again_root, s.args, &again_runs, "", "ulimit -f 16;");
      ASSERT_EQ(0, once.status) << label << ": " << once.err;
      EXPECT_EQ(s.err, once.err) << label;
      EXPECT_EQ(none ? 0 : 1, once_runs) << label;
      EXPECT_EQ(again.status, once.status) << label;
      EXPECT_EQ(again.out, once.out) << label;
      EXPECT_EQ(again.err, once.err) << label;
      EXPECT_EQ(read_file(again_root + "/var/lib/pkg/db"), read_file(once_root + "/var/lib/pkg/db"))
          << label;
      EXPECT_EQ(tree_of(again_root), tree_of(once_root)) << label;
      EXPECT_EQ(once_runs, again_runs) << label;
    }
  }
}

TEST_F(Once, CorruptAndTruncatedPackagesAreRefusedAsBefore) {
  TempDir root;
  std::string no_tmp = tmp_ / "missing";  // every temporary file fails
  for (const Kind& k : kKinds) {
    bool none = std::string(k.compressor) == "none";
    if (!none && !sorn_test::exists(bin_ / k.compressor)) continue;
    PackageTree t;
    fill(t, "1");
    std::string good = t.pack(work_.path(), std::string("good#1.pkg.tar.") + k.suffix, k.compressor);
    std::string bytes = read_file(good);
    std::string corrupt_bytes = bytes;
    // Plain tar: its first header; compressed: the middle of the stream.
    size_t from = none ? 0 : bytes.size() / 2;
    for (size_t i = from; i < from + 64; i++) corrupt_bytes[i] ^= 0x55;
    std::string truncated = work_ / (std::string("cut#1.pkg.tar.") + k.suffix);
    std::string corrupt = work_ / (std::string("bad#1.pkg.tar.") + k.suffix);
    write_file(truncated, bytes.substr(0, bytes.size() / 2 + 100));
    write_file(corrupt, corrupt_bytes);
    for (const std::string& pkg : {truncated, corrupt}) {
      std::string label = pkg;
      int runs = -1, again_runs = -1;
      RunResult once = zarnin(root.path(), {pkg}, &runs);
      RunResult again = zarnin(root.path(), {pkg}, &again_runs, no_tmp);
      EXPECT_EQ(1, once.status) << label;
      EXPECT_EQ(1, again.status) << label;
      EXPECT_THAT(once.err, EndsWith("zarnin: cannot list " + pkg + "\n")) << label;
      if (none) {
        // Read as it is, as tar reads it from cat.
        RunResult direct = run({"sh", "-c", "cat " + shell_quote(pkg) + " | tar -tf - > /dev/null"});
        EXPECT_EQ(direct.err + "zarnin: cannot list " + pkg + "\n", once.err) << label;
        EXPECT_EQ(once.err, again.err) << label;
        EXPECT_EQ(0, runs) << label;
      } else if (pkg == truncated) {
        EXPECT_EQ(again.err, once.err) << label;
      } else {
        // How the decompressor's and tar's messages over a corrupt stream
        // interleave, and whether the decompressor finishes before tar
        // gives up, is theirs to choose, run by run.
        EXPECT_THAT(again.err, EndsWith("zarnin: cannot list " + pkg + "\n")) << label;
      }
      if (!none) {
        EXPECT_THAT(once.err, EndsWith("zarnin: decompressor failed on " + pkg +
                                       "\nzarnin: cannot list " + pkg + "\n")) << label;
      }
    }
  }
  EXPECT_FALSE(sorn_test::exists(root / "var/lib/pkg/db"));
}

TEST_F(Once, WithoutTemporaryFilesNothingChanges) {
  TempDir once_root, again_root;
  PackageTree t;
  fill(t, "1");
  std::string pkg = t.pack(work_.path(), "foo#1-1.pkg.tar.zst");
  int runs = -1, again_runs = -1;
  RunResult once = zarnin(once_root.path(), {pkg}, &runs);
  RunResult again = zarnin(again_root.path(), {pkg}, &again_runs, tmp_ / "missing");
  ASSERT_EQ(0, again.status) << again.err;
  EXPECT_EQ(once.out, again.out);
  EXPECT_EQ("", again.err);
  EXPECT_EQ(1, runs);
  EXPECT_EQ(1, again_runs);
  EXPECT_EQ(tree_of(once_root.path()), tree_of(again_root.path()));
  EXPECT_EQ(read_file(once_root / "var/lib/pkg/db"), read_file(again_root / "var/lib/pkg/db"));
}

}  // namespace
