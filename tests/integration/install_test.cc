// The built zarnin against real packages made with tar and every
// compressor, in a scratch root with its own database and TMPDIR.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/support.h"
#include "util/util.h"

using sorn_test::entries_of;
using sorn_test::exists;
using sorn_test::is_symlink;
using sorn_test::mkdir_p;
using sorn_test::PackageTree;
using sorn_test::read_file;
using sorn_test::run;
using sorn_test::RunOptions;
using sorn_test::RunResult;
using sorn_test::run_steps;
using sorn_test::sh;
using sorn_test::shell_quote;
using sorn_test::TempDir;
using sorn_test::tree_state;
using sorn_test::work_leftovers;
using sorn_test::write_file;
using testing::EndsWith;
using testing::HasSubstr;
using testing::Not;

namespace {

constexpr const char kUsage[] =
    "usage: zarnin [-u] [-f] [-r root] <pkg.tar.gz>\n"
    "  -u  upgrade installed package\n"
    "  -f  force install, overwrite conflicts\n"
    "  -r  alternative installation root\n";

// One database record as the save writes it (paths already sorted).
std::string record(const std::string& name, const std::string& version,
                   const std::vector<std::string>& paths) {
  std::string out = name + "\n" + version + "\n";
  for (const auto& p : paths) out += p + "\n";
  return out + "\n";
}

class Install : public testing::Test {
 protected:
  TempDir root_, work_, tmp_;

  ~Install() override {
    // Nothing of a run stays in TMPDIR.
    EXPECT_EQ(std::vector<std::string>{}, entries_of(tmp_.path()));
  }

  std::string dbdir(const std::string& root) const { return root + "/var/lib/pkg"; }
  std::string db() const { return read_file(dbdir(root_.path()) + "/db"); }

  RunOptions options(const std::string& root, RunOptions opts = {}) const {
    opts.env.emplace("PKG_DBDIR", dbdir(root));
    opts.env.emplace("TMPDIR", tmp_.path());
    opts.env.emplace("PKG_ROOT", std::nullopt);
    opts.env.emplace("TAR_OPTIONS", std::nullopt);
    return opts;
  }

  RunResult zarnin_in(const std::string& root, const std::vector<std::string>& args,
                      RunOptions opts = {}) const {
    std::vector<std::string> argv{ZARNIN_BIN, "-r", root};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, options(root, opts));
  }
  RunResult zarnin(const std::vector<std::string>& args, RunOptions opts = {}) const {
    return zarnin_in(root_.path(), args, opts);
  }

  // After a refused or failed run: the tree under dir as it was, nothing of
  // the run left in it.
  void expect_as_before(const std::string& before, const std::string& dir, const std::string& label) const {
    EXPECT_EQ(before, tree_state(dir)) << label;
    EXPECT_EQ("", work_leftovers(dir)) << label;
  }

  std::string foo(const std::string& version, const std::string& text = "foo\n") {
    PackageTree t;
    t.file("usr/bin/foo", text).file("etc/foo.conf", "a=1\n");
    return t.pack(work_.path(), "foo#" + version + ".pkg.tar.zst");
  }
};

const std::vector<std::string> kFooPaths{"etc/", "etc/foo.conf", "usr/", "usr/bin/", "usr/bin/foo"};

TEST_F(Install, EveryCompressionByContent) {
  struct Case {
    std::string file;
    std::string compressor;
  } cases[] = {
      {"foo#1-1.pkg.tar.gz", "gzip"},   {"foo#1-1.pkg.tar.zst", "zstd"},
      {"foo#1-1.pkg.tar.xz", "xz"},     {"foo#1-1.pkg.tar.bz2", "bzip2"},
      {"foo#1-1.pkg.tar.lz", "lzip"},   {"foo#1-1.pkg.tar.zst", "gzip"},
      {"foo#1-1.pkg.tar.gz", "none"},   {"foo#1-1.pkg.tar.none", "zstd"},
  };
  for (const Case& c : cases) {
    PackageTree t;
    t.file("usr/bin/foo", "foo\n").file("etc/foo.conf", "a=1\n");
    TempDir out, root;
    std::string pkg = t.pack(out.path(), c.file, c.compressor);
    RunResult r = zarnin_in(root.path(), {pkg});
    ASSERT_EQ(0, r.status) << c.file << " " << c.compressor << ": " << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ("foo\n", read_file(root / "usr/bin/foo"));
    EXPECT_EQ(record("foo", "1-1", kFooPaths), read_file(dbdir(root.path()) + "/db"));
  }
}

// A PATH holding only some programs: the next candidate is used, and with
// none the decompressor's failure is reported.
TEST_F(Install, DecompressorFallback) {
  struct Case {
    std::string compressor, file;
    std::vector<std::string> present;
    bool works;
  } cases[] = {
      {"gzip", "foo#1.pkg.tar.gz", {"gzip"}, true},
      {"gzip", "foo#1.pkg.tar.gz", {}, false},
      {"bzip2", "foo#1.pkg.tar.bz2", {"pbzip2", "bzip2"}, true},
      {"bzip2", "foo#1.pkg.tar.bz2", {"bzip2"}, true},
      {"lzip", "foo#1.pkg.tar.lz", {"lzip"}, true},
      {"lzip", "foo#1.pkg.tar.lz", {}, false},
      {"xz", "foo#1.pkg.tar.xz", {}, false},
      {"zstd", "foo#1.pkg.tar.zst", {}, false},
  };
  for (const Case& c : cases) {
    TempDir bin, root;
    std::vector<std::string> programs = c.present;
    programs.push_back("tar");
    for (const auto& p : programs)
      sh("ln -s \"$(command -v " + p + ")\" " + shell_quote(bin / p));
    PackageTree t;
    t.file("usr/bin/foo", "foo\n");
    std::string pkg = t.pack(work_.path(), c.file, c.compressor);
    RunOptions opts;
    opts.env["PATH"] = bin.path();
    RunResult r = zarnin_in(root.path(), {pkg}, opts);
    std::string label = c.file + " with " + testing::PrintToString(c.present);
    if (c.works) {
      EXPECT_EQ(0, r.status) << label << ": " << r.err;
      EXPECT_EQ("foo\n", read_file(root / "usr/bin/foo")) << label;
    } else {
      EXPECT_EQ(1, r.status) << label;
      EXPECT_THAT(r.err, EndsWith("zarnin: decompressor failed on " + pkg + "\nzarnin: cannot list " +
                                  pkg + "\n")) << label;
      EXPECT_FALSE(exists(dbdir(root.path()))) << label;
    }
  }
}

TEST_F(Install, UnreadablePackages) {
  // Under two bytes: no magic number, so cat feeds tar, which refuses it.
  std::string tiny = work_ / "tiny#1.pkg.tar.gz";
  write_file(tiny, "\x1f");
  RunResult r = zarnin({tiny});
  EXPECT_EQ(1, r.status);
  EXPECT_THAT(r.err, EndsWith("zarnin: cannot list " + tiny + "\n"));
  EXPECT_THAT(r.err, Not(HasSubstr("decompressor failed")));

  std::string missing = work_ / "missing#1.pkg.tar.gz";
  r = zarnin({missing});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("zarnin: cannot open " + missing + ": No such file or directory\nzarnin: cannot list " +
                missing + "\n",
            r.err);
  EXPECT_FALSE(exists(dbdir(root_.path())));
}

TEST_F(Install, OptionAndOperandErrors) {
  std::string pkg = foo("1.0-1");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err_end;
  } cases[] = {
      {{"-h"}, 1, "", kUsage},
      {{"-v"}, 0, "zarnin (sorn) 1.6.1\n", ""},
      {{"-v", "-x"}, 0, "zarnin (sorn) 1.6.1\n", ""},
      {{"-x", "-v"}, 1, "", kUsage},
      {{"-r"}, 1, "", kUsage},
      {{}, 1, "", "zarnin: no package specified — try -h\n"},
      {{"-r", root_.path()}, 1, "", "zarnin: no package specified — try -h\n"},
      {{pkg, "-f"}, 1, "", "zarnin: too many arguments\n"},
      {{"-u", pkg, pkg}, 1, "", "zarnin: too many arguments\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{ZARNIN_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    RunResult r = run(argv, options(root_.path()));
    std::string label = testing::PrintToString(c.args);
    EXPECT_EQ(c.status, r.status) << label;
    EXPECT_EQ(c.out, r.out) << label;
    EXPECT_THAT(r.err, EndsWith(c.err_end)) << label;
    if (c.args.size() == 1 && c.args[0] == "-h") {
      EXPECT_EQ(156u, r.err.size());
    }
  }
  EXPECT_FALSE(exists(dbdir(root_.path())));
}

TEST_F(Install, NonRootIsRefusedBeforeTheFileIsRead) {
  std::string pkg = foo("1.0-1");
  RunOptions as_nobody;
  as_nobody.uid = 65534;
  as_nobody.gid = 65534;
  RunResult r = zarnin({pkg}, as_nobody);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("zarnin: must be root to install packages\n", r.err);
  r = zarnin({work_ / "does-not-exist"}, as_nobody);
  EXPECT_EQ("zarnin: must be root to install packages\n", r.err);
  r = zarnin({"-v"}, as_nobody);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("zarnin (sorn) 1.6.1\n", r.out);
  EXPECT_FALSE(exists(dbdir(root_.path())));
}

TEST_F(Install, DecisionTable) {
  std::string v1 = foo("1.0-1"), v2 = foo("2.0-1", "two\n");
  struct Step {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string version_after;  // empty: not installed
  } steps[] = {
      {{"-u", v1}, 1, "zarnin: foo is not installed\n", ""},
      {{"-u", "-f", v1}, 1, "zarnin: foo is not installed\n", ""},
      {{v1}, 0, "", "1.0-1"},
      {{v1}, 1, "zarnin: foo 1.0-1 is already installed (use -f to force)\n", "1.0-1"},
      {{"-u", v1}, 1, "zarnin: foo 1.0-1 is already installed (use -f to force)\n", "1.0-1"},
      {{v2}, 1, "zarnin: foo 1.0-1 is installed (use -u to upgrade)\n", "1.0-1"},
      {{"-f", v1}, 0, "", "1.0-1"},
      {{"-u", "-f", v1}, 0, "", "1.0-1"},
      {{"-u", v2}, 0, "", "2.0-1"},
      {{v1}, 1, "zarnin: foo 2.0-1 is installed (use -u to upgrade)\n", "2.0-1"},
      {{"-f", v1}, 0, "", "1.0-1"},  // another version with -f: an upgrade
      {{"-u", "-f", v2}, 0, "", "2.0-1"},
  };
  for (const Step& s : steps) {
    std::string before = tree_state(root_.path());
    RunResult r = zarnin(s.args);
    std::string label = testing::PrintToString(s.args);
    EXPECT_EQ(s.status, r.status) << label;
    EXPECT_EQ(s.err, r.err) << label;
    // Only the database directory, which the lock needs, may be new.
    if (s.status != 0 && before.find("./var/lib/pkg/db ") != std::string::npos)
      expect_as_before(before, root_.path(), label);
    std::string expected = s.version_after.empty() ? "" : record("foo", s.version_after, kFooPaths);
    if (!s.version_after.empty() || exists(dbdir(root_.path()) + "/db")) {
      EXPECT_EQ(expected, db()) << label;
    }
  }
  EXPECT_EQ("two\n", read_file(root_ / "usr/bin/foo"));

  // A forced reinstall brings back what was deleted.
  unlink((root_ / "usr/bin/foo").c_str());
  ASSERT_EQ(0, zarnin({"-f", v2}).status);
  EXPECT_EQ("two\n", read_file(root_ / "usr/bin/foo"));
}

TEST_F(Install, ConflictsAreReportedPerOwner) {
  PackageTree bar, baz, pkg;
  bar.file("usr/lib/shared", "bar\n").file("etc/common", "bar\n").dir("usr/share/doc");
  baz.file("usr/lib/shared", "baz\n").dir("usr/share/doc");
  pkg.file("usr/lib/shared", "foo\n").file("etc/common", "foo\n").dir("usr/share/doc")
      .file("usr/bin/foo", "foo\n");
  ASSERT_EQ(0, zarnin({bar.pack(work_.path(), "bar#1-1.pkg.tar.gz")}).status);
  std::string tree_before = tree_state(root_.path());
  RunResult r = zarnin({baz.pack(work_.path(), "baz#1-1.pkg.tar.gz")});
  ASSERT_EQ(1, r.status);
  EXPECT_EQ("zarnin: error: package baz conflicts with installed files:\n  usr/lib/shared\n"
            "zarnin: use -f to force\n",
            r.err);
  expect_as_before(tree_before, root_.path(), "baz");
  ASSERT_EQ(0, zarnin({"-f", baz.pack(work_.path(), "baz#1-1.pkg.tar.gz")}).status);
  std::string before = db();
  // Saved head first (baz, bar), loaded in reverse: bar's group comes first.
  ASSERT_EQ(0u, before.find("baz\n"));

  std::string foo_pkg = pkg.pack(work_.path(), "foo#1-1.pkg.tar.gz");
  tree_before = tree_state(root_.path());
  r = zarnin({foo_pkg});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("zarnin: error: package foo conflicts with installed files:\n"
            "  etc/common\n  usr/lib/shared\n  usr/lib/shared\n"
            "zarnin: use -f to force\n",
            r.err);
  expect_as_before(tree_before, root_.path(), "foo");
  EXPECT_EQ(before, db());
  EXPECT_EQ("baz\n", read_file(root_ / "usr/lib/shared"));

  r = zarnin({"-f", foo_pkg});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("foo\n", read_file(root_ / "usr/lib/shared"));
  std::string after = db();
  EXPECT_THAT(after, HasSubstr(record("bar", "1-1", {"etc/", "etc/common", "usr/", "usr/lib/",
                                                     "usr/lib/shared", "usr/share/",
                                                     "usr/share/doc/"})));
  EXPECT_THAT(after, HasSubstr(record("baz", "1-1", {"usr/", "usr/lib/", "usr/lib/shared",
                                                     "usr/share/", "usr/share/doc/"})));
}

TEST_F(Install, UpgradeRemovesWhatTheNewVersionDropped) {
  PackageTree v1, v2, bar;
  v1.file("usr/bin/foo", "one\n").file("usr/bin/gone", "x\n")
      .file("usr/share/foo/old/a.txt", "a\n").file("usr/share/busy/data", "d\n")
      .file("usr/lib/shared", "s\n").symlink("usr/bin/link", "foo");
  v2.file("usr/bin/foo", "two\n");
  bar.file("usr/lib/shared", "s\n");
  ASSERT_EQ(0, zarnin({v1.pack(work_.path(), "foo#1.0-1.pkg.tar.xz")}).status);
  ASSERT_EQ(0, zarnin({"-f", bar.pack(work_.path(), "bar#1-1.pkg.tar.xz")}).status);
  write_file(root_ / "usr/share/busy/local", "mine\n");  // not any package's

  RunResult r = zarnin({"-u", v2.pack(work_.path(), "foo#2.0-1.pkg.tar.xz")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("two\n", read_file(root_ / "usr/bin/foo"));
  for (const char* gone : {"usr/bin/gone", "usr/bin/link", "usr/share/foo", "usr/share/busy/data"})
    EXPECT_FALSE(exists(root_ / gone)) << gone;
  EXPECT_EQ("s\n", read_file(root_ / "usr/lib/shared"));  // bar lists it
  EXPECT_EQ("mine\n", read_file(root_ / "usr/share/busy/local"));  // non-empty directory
  EXPECT_EQ(record("foo", "2.0-1", {"usr/", "usr/bin/", "usr/bin/foo"}) +
                record("bar", "1-1", {"usr/", "usr/lib/", "usr/lib/shared"}),
            db());
}

TEST_F(Install, FailedListingOrExtractionLeavesTheDatabase) {
  ASSERT_EQ(0, zarnin({foo("1.0-1")}).status);
  std::string before = db();

  // A truncated package cannot be listed.
  std::string good = foo("2.0-1");
  std::string cut = work_ / "foo#2.0-2.pkg.tar.zst";
  std::string bytes = read_file(good);
  write_file(cut, bytes.substr(0, bytes.size() / 2));
  std::string tree_before = tree_state(root_.path());
  RunResult r = zarnin({"-u", cut});
  EXPECT_EQ(1, r.status);
  EXPECT_THAT(r.err, EndsWith("zarnin: cannot list " + cut + "\n"));
  EXPECT_EQ(before, db());
  expect_as_before(tree_before, root_.path(), "truncated");

  // A non-empty directory where the package has a file: tar fails.
  PackageTree bar;
  bar.file("srv/bar/data", "x\n");
  write_file(root_ / "srv/bar/data/keep", "y\n");
  std::string pkg = bar.pack(work_.path(), "bar#1-1.pkg.tar.bz2");
  tree_before = tree_state(root_.path());
  r = zarnin({pkg});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("tar: srv/bar/data: Cannot open: File exists\n"
            "tar: Exiting with failure status due to previous errors\n"
            "zarnin: extraction failed for " + pkg + "\nzarnin: error: extraction failed: " + pkg + "\n",
            r.err);
  EXPECT_EQ(before, db());
  expect_as_before(tree_before, root_.path(), "blocked");
}

// A refused or failed install changes nothing: every entry of a lived-in
// root (an administrator's files, owners, links, hard links) and the
// database stay as they were, and nothing of the run is left (elsewhere too
// for the decision table, conflicts, truncated and blocked packages).
TEST_F(Install, RefusalsAndFailuresLeaveTheRootAsItWas) {
  std::string v1 = foo("1.0-1");
  PackageTree qux, big;
  qux.file("usr/bin/qux", "q\n");
  mkdir_p(work_ / "fp");
  std::string with_footprint = qux.pack(work_ / "fp", "qux#1-1.pkg.tar.gz");
  write_file(work_ / "fp/.footprint",
             "drwxr-xr-x\troot/root\tusr/\ndrwxr-xr-x\troot/root\tusr/bin/\n"
             "-rw-r--r--\troot/root\tusr/bin/gone\n-rw-r--r--\troot/root\tusr/bin/qux\n");
  std::string plain = qux.pack(work_.path(), "qux#1-1.pkg.tar.gz");
  auto crafted = [&](const std::string& member, const std::string& file) {
    std::string pkg = work_ / file;
    sh("cd " + shell_quote(work_.path()) + " && echo x > payload && tar -cPf - --transform='s|^payload$|" +
       member + "|' payload | gzip -c > " + shell_quote(pkg));
    return pkg;
  };
  std::string escaping = crafted("../escaped", "esc#1-1.pkg.tar.gz");
  std::string staging_name = crafted(".zarnin-staging.AAAAAA/f", "stg#1-1.pkg.tar.gz");
  std::string intent = crafted("var/lib/pkg/intent", "int#1-1.pkg.tar.gz");
  std::string corrupt = work_ / "bad#1-1.pkg.tar.zst";
  std::string bytes = read_file(foo("1.0-2"));
  bytes.replace(bytes.size() / 2, 16, std::string(16, 'X'));
  write_file(corrupt, bytes);
  big.file("usr/share/big/blob", std::string(2 << 20, 'x'));
  std::string too_big = big.pack(work_.path(), "big#1-1.pkg.tar.zst");

  enum How { kPlain, kLocked, kFullDisk };
  struct Case {
    std::string label;
    std::vector<std::string> args;
    std::string err;  // all of standard error, or its end after "..."
    How how = kPlain;
  } cases[] = {
      {"footprint", {with_footprint},
       "zarnin: footprint: missing\n-rw-r--r--\troot/root\tusr/bin/gone\nzarnin: footprint: error\n"},
      {"database locked", {plain}, "zarnin: package database is locked by another process\n", kLocked},
      {"-u, not installed", {"-u", plain}, "zarnin: qux is not installed\n"},
      {"unsafe member", {"-f", escaping}, "...zarnin: unsafe path in package: ../escaped\n"},
      {"staging name", {staging_name}, "zarnin: unsafe path in package: .zarnin-staging.AAAAAA/f\n"},
      {"intent name", {intent}, "zarnin: unsafe path in package: var/lib/pkg/intent\n"},
      {"corrupt archive", {corrupt},
       "...zarnin: decompressor failed on " + corrupt + "\nzarnin: cannot list " + corrupt + "\n"},
      {"full disk", {too_big},
       "...zarnin: extraction failed for " + too_big + "\nzarnin: error: extraction failed: " + too_big + "\n",
       kFullDisk},
  };
  // The whole tree around the root, so that nothing may be written beside it.
  const std::string state = "cd \"$0\" && " + sorn_test::kTreeState;
  for (const Case& c : cases) {
    TempDir top;
    std::string root = top / "root", run_it = c.how == kLocked ? "flock \"$0\"/root/var/lib/pkg " : "";
    run_it += shell_quote(ZARNIN_BIN) + " -r \"$0\"/root";
    for (const std::string& a : c.args) run_it += " " + shell_quote(a);
    // The administrator's own files beside the package's.
    std::vector<RunResult> r = run_steps(
        top.path(),
        {shell_quote(ZARNIN_BIN) + " -r \"$0\"/root " + shell_quote(v1) +
             " && cd \"$0\"/root && mkdir -m 0750 srv && echo n > srv/notes && chmod 0600 srv/notes && "
             "chown 1234:5678 srv srv/notes && ln srv/notes srv/hard && ln -s ../usr/bin/foo srv/foo",
         "cat \"$0\"/root/var/lib/pkg/db", state, run_it, state},
        options(root), c.how == kFullDisk ? "size=512k" : "", "root");
    ASSERT_EQ(0, r[0].status) << c.label << ": " << r[0].err;
    EXPECT_EQ(record("foo", "1.0-1", kFooPaths), r[1].out) << c.label;
    EXPECT_EQ(1, r[3].status) << c.label << ": " << r[3].err;
    if (c.err.starts_with("..."))
      EXPECT_THAT(r[3].err, EndsWith(c.err.substr(3))) << c.label;
    else
      EXPECT_EQ(c.err, r[3].err) << c.label;
    EXPECT_EQ(r[2].out, r[4].out) << c.label;
  }
}

// A root whose "boot" is a file system of its own: an entry headed there is
// copied beside its target and renamed into place, so install, upgrade and
// removal end as they do in a root of one file system (the same tree, owners,
// modes, contents and links), with no copy left behind; only the mount point
// stays.
class SecondFileSystem : public Install {
 protected:
  std::string version(const std::string& v, const std::string& text, bool old, bool hard_link) {
    PackageTree t;
    t.file("boot/vmlinuz", "k" + text, old ? 0644 : 0640).file("boot/grub/grub.cfg", "cfg" + text, 0600)
        .file("boot/a", "same" + text).symlink("boot/current", "vmlinuz")
        .file("usr/bin/tool", "t" + text, 0755).shell("chown 1234:5678 boot/grub/grub.cfg boot/a");
    if (hard_link) t.hardlink("boot/b", "boot/a");
    if (old) t.file("boot/old/x", "x\n");
    std::string pkg = work_ / ("kern#" + v + ".pkg.tar.gz");
    sh("cd " + shell_quote(t.path()) + " && find . -mindepth 1 | sed 's|^\\./||' | LC_ALL=C sort | "
       "tar --numeric-owner --no-recursion -cf - -T - | gzip -c > " + shell_quote(pkg));
    return pkg;
  }

  void steps(bool hard_link) {
    std::string v1 = version("1-1", "1\n", true, hard_link), v2 = version("2-1", "2\n", false, hard_link);
    auto expected_record = [&](const std::string& v, const std::string& old) {
      return "kern\n" + v + "\nboot/\nboot/a\n" + (hard_link ? "boot/b\n" : "") +
             "boot/current\nboot/grub/\nboot/grub/grub.cfg\n" + old + "boot/vmlinuz\nusr/\nusr/bin/\nusr/bin/tool\n\n";
    };
    const std::string show = "cd \"$0\"/boot && stat -c '%n %a %u:%g' vmlinuz grub/grub.cfg a && "
                             "cat vmlinuz grub/grub.cfg a && readlink current",
                      links = hard_link ? " && [ $(stat -c %i.%h a) = $(stat -c %i.%h b) ] && stat -c %h b" : "",
                      state = "cd \"$0\" && " + sorn_test::kTreeState + " && " + sorn_test::kWorkLeftovers,
                      db = "cat \"$0\"/var/lib/pkg/db", in = " -r \"$0\" ";
    // Each step, then the tree, boot's entries and the database.
    const std::vector<std::string> commands{
        shell_quote(ZARNIN_BIN) + in + shell_quote(v1), state, show + " && cat old/x" + links, db,
        shell_quote(ZARNIN_BIN) + in + "-u " + shell_quote(v2), state, show + " && ! test -e old" + links, db,
        shell_quote(ZARNOUT_BIN) + in + "kern", state, db};
    TempDir plain;  // the same steps on one file system
    std::vector<RunResult> one = run_steps(plain.path(), commands, options(plain.path())),
                           two = run_steps(root_.path(), commands, options(root_.path()), "size=4m,mode=0755", "boot");
    for (const std::vector<RunResult>* r : {&one, &two}) {
      for (size_t i : {0, 4, 8}) {
        EXPECT_EQ(0, (*r)[i].status) << i << ": " << (*r)[i].err;
        EXPECT_EQ("trigger: limine-sync\n", (*r)[i].err) << i;
      }
    }
    EXPECT_EQ(one[1].out, two[1].out);
    EXPECT_EQ("vmlinuz 644 0:0\ngrub/grub.cfg 600 1234:5678\na 644 1234:5678\nk1\ncfg1\nsame1\nvmlinuz\nx\n" +
                  std::string(hard_link ? "2\n" : ""),
              two[2].out);
    EXPECT_EQ(expected_record("1-1", "boot/old/\nboot/old/x\n"), two[3].out);
    EXPECT_EQ(one[5].out, two[5].out);
    EXPECT_EQ("vmlinuz 640 0:0\ngrub/grub.cfg 600 1234:5678\na 644 1234:5678\nk2\ncfg2\nsame2\nvmlinuz\n" +
                  std::string(hard_link ? "2\n" : ""),
              two[6].out);
    EXPECT_EQ(expected_record("2-1", ""), two[7].out);
    EXPECT_EQ(". d 700 0 0 4\n./boot d 755 0 0 2\n./var d 755 0 0 3\n./var/lib d 755 0 0 3\n"
              "./var/lib/pkg d 755 0 0 2\n./var/lib/pkg/db f 644 0 0 1 0 \n"
              "d41d8cd98f00b204e9800998ecf8427e  ./var/lib/pkg/db\n",
              two[9].out);
    EXPECT_EQ("", two[10].out);
  }
};

TEST_F(SecondFileSystem, InstallUpgradeRemove) { steps(false); }

// Hard links between members headed for the other file system stay one
// file with two names there, as in a root of one file system.
TEST_F(SecondFileSystem, HardLinksStayLinks) { steps(true); }

// A run killed in the middle is finished by the next run of either program,
// which says so: the root then holds what an uninterrupted run leaves, and
// no intent or staging directory. Killed before its intent, a run leaves
// only its staging directory, which the next run deletes.
TEST_F(Install, InterruptedRunsAreFinishedByTheNext) {
  std::string v1 = foo("1.0-1");
  PackageTree t2, bar;
  t2.file("usr/bin/foo", "two\n").file("etc/foo.conf", "a=1\n").file("usr/bin/new", "n\n");
  bar.file("usr/bin/bar", "b\n").file("usr/share/bar/data", "d\n");
  std::string v2 = t2.pack(work_.path(), "foo#2.0-1.pkg.tar.gz");
  std::string bar1 = bar.pack(work_.path(), "bar#1-1.pkg.tar.gz");
  struct Case {
    std::vector<std::string> killed;  // the program and its arguments
    std::string syscall;              // killed at its when-th call
    int when;
    std::vector<std::string> next;
    std::string err;  // of the next run, which exits 1
    bool finished = true;
  } cases[] = {
      {{ZARNIN_BIN, "-u", v2}, "renameat2", 3, {ZARNOUT_BIN, "nothere"},
       "zarnout: notice: finished interrupted upgrade of foo 2.0-1\nzarnout: nothere is not installed\n"},
      {{ZARNIN_BIN, bar1}, "renameat2", 1, {ZARNOUT_BIN, "nothere"},
       "zarnout: notice: finished interrupted install of bar 1-1\nzarnout: nothere is not installed\n"},
      {{ZARNOUT_BIN, "foo"}, "unlink", 5, {ZARNIN_BIN, "-u", v1},
       "zarnin: notice: finished interrupted removal of foo\nzarnin: foo is not installed\n"},
      {{ZARNIN_BIN, "-u", v2}, "renameat", 1, {ZARNOUT_BIN, "nothere"}, "zarnout: nothere is not installed\n",
       false},
  };
  auto in = [&](const std::string& root, std::vector<std::string> argv, std::vector<std::string> strace = {}) {
    argv.insert(argv.begin() + 1, {"-r", root});
    strace.insert(strace.end(), argv.begin(), argv.end());
    return run(strace, options(root));
  };
  for (const Case& c : cases) {
    std::string label = c.killed[0] + " " + c.syscall;
    TempDir killed, clean;
    for (const TempDir* root : {&killed, &clean}) ASSERT_EQ(0, in(root->path(), {ZARNIN_BIN, v1}).status);
    RunResult r = in(killed.path(), c.killed,
                     {"strace", "-f", "-o", "/dev/null", "-e", "trace=" + c.syscall, "-e",
                      strformat("inject=%s:signal=KILL:when=%d", c.syscall.c_str(), c.when)});
    EXPECT_EQ(128 + SIGKILL, r.status) << label << ": " << r.err;
    EXPECT_EQ(c.finished, exists(dbdir(killed.path()) + "/intent")) << label;
    EXPECT_EQ(c.killed[0] == ZARNIN_BIN, work_leftovers(killed.path()) != "") << label;
    if (c.finished) {
      ASSERT_EQ(0, in(clean.path(), c.killed).status) << label;
    }
    r = in(killed.path(), c.next);
    EXPECT_EQ(1, r.status) << label;
    EXPECT_EQ(c.err, r.err) << label;
    EXPECT_EQ(tree_state(clean.path()), tree_state(killed.path())) << label;
  }

  // A directory with something in it, put where the interrupted run was to
  // rename a file, is never swapped out: the next run refuses and changes
  // nothing. A link to such a directory is only a link: it goes.
  for (bool link : {false, true}) {
    TempDir meddled;
    ASSERT_EQ(0, in(meddled.path(), {ZARNIN_BIN, v1}).status);
    in(meddled.path(), {ZARNIN_BIN, bar1},
       {"strace", "-f", "-o", "/dev/null", "-e", "trace=renameat2", "-e", "inject=renameat2:signal=KILL:when=1"});
    write_file(meddled / "kept/file", "k\n");
    sh(link ? "ln -s ../../kept " + shell_quote(meddled / "usr/bin/bar")
            : "mv " + shell_quote(meddled / "kept") + " " + shell_quote(meddled / "usr/bin/bar"));
    std::string before = tree_state(meddled.path());
    RunResult r = in(meddled.path(), {ZARNOUT_BIN, "nothere"});
    EXPECT_EQ(1, r.status) << link;
    if (link) {
      EXPECT_EQ("zarnout: notice: finished interrupted install of bar 1-1\nzarnout: nothere is not installed\n",
                r.err);
      EXPECT_EQ("b\n", read_file(meddled / "usr/bin/bar"));
      EXPECT_EQ("k\n", read_file(meddled / "kept/file"));
      continue;
    }
    EXPECT_EQ("zarnout: error: cannot finish an interrupted operation: " + meddled.path() +
                  "/usr/bin/bar of bar 1-1 is a directory in the way\nzarnout: error: its record is " +
                  dbdir(meddled.path()) +
                  "/intent: put back what is missing and run again, or repair the root by hand and delete "
                  "that file\n",
              r.err);
    EXPECT_EQ(before, tree_state(meddled.path()));
  }

  // An intent that cannot be read stops every run of either program, and
  // they change nothing.
  std::string intent = dbdir(root_.path()) + "/intent";
  ASSERT_EQ(0, zarnin({v1}).status);
  write_file(intent, "garbage\n");
  std::string before = tree_state(root_.path());
  for (std::string program : {"zarnin", "zarnin", "zarnout"}) {
    RunResult r = program == "zarnin" ? zarnin({"-u", v2}) : in(root_.path(), {ZARNOUT_BIN, "foo"});
    EXPECT_EQ(1, r.status) << program;
    EXPECT_EQ(program + ": error: cannot finish an interrupted operation: cannot read " + intent +
                  ": Bad message\n" + program + ": error: its record is " + intent +
                  ": put back what is missing and run again, or repair the root by hand and delete "
                  "that file\n",
              r.err);
    EXPECT_EQ(before, tree_state(root_.path())) << program;
  }
  unlink(intent.c_str());
}

TEST_F(Install, FailedSaveLeavesThePackageUntracked) {
  ASSERT_EQ(0, zarnin({foo("1.0-1")}).status);
  std::string before = db();
  mkdir_p(dbdir(root_.path()) + "/db.tmp");  // the save cannot create its file
  PackageTree bar;
  bar.file("usr/bin/bar", "bar\n");
  RunResult r = zarnin({bar.pack(work_.path(), "bar#1-1.pkg.tar.gz")});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("zarnin: cannot create " + dbdir(root_.path()) +
                "/db.tmp: Is a directory\n"
                "zarnin: error: extraction succeeded but database write failed — package is "
                "installed but untracked\n",
            r.err);
  EXPECT_EQ("bar\n", read_file(root_ / "usr/bin/bar"));
  EXPECT_EQ(before, db());
}

// Member names that would let a later removal reach outside the root, and
// names the database cannot hold, are refused before the database is
// opened.
TEST_F(Install, UnsafeMembersAndNamesAreRefused) {
  std::string long_name = std::string(4095, 'x') + "etc/shadow";
  struct Case {
    std::string member;
    std::string reported;
  } cases[] = {
      {"/etc/passwd", "/etc/passwd"},
      {"../escaped", "../escaped"},
      {"usr/../../escaped", "usr/../../escaped"},
      {"usr/bin/..", "usr/bin/.."},
      {long_name, std::string(4095, 'x')},
  };
  sh("cd " + shell_quote(work_.path()) + " && echo x > f");
  for (const Case& c : cases) {
    TempDir out;
    std::string pkg = out / "evil#1-1.pkg.tar.gz";
    sh("cd " + shell_quote(work_.path()) + " && tar -cPf - --transform='s|^f$|" + c.member +
       "|' f | gzip -c > " + shell_quote(pkg));
    for (const char* tar_options : {"", "-P"}) {
      RunOptions opts;
      opts.env["TAR_OPTIONS"] = tar_options;
      RunResult r = zarnin_in(root_ / "inner", {pkg}, opts);
      EXPECT_EQ(1, r.status) << c.member.substr(0, 30);
      EXPECT_THAT(r.err, EndsWith("zarnin: unsafe path in package: " + c.reported + "\n"));
    }
  }
  EXPECT_EQ(std::vector<std::string>{"f"}, entries_of(work_.path()));
  EXPECT_EQ(std::vector<std::string>{}, entries_of(root_.path()));

  PackageTree t;
  t.file("usr/bin/foo", "foo\n");
  for (std::string file : {"#1.pkg.tar.gz", "foo#.pkg.tar.gz", "fo\no#1.pkg.tar.gz",
                           "foo#1\n2.pkg.tar.gz"}) {
    std::string pkg = t.pack(work_.path(), file, "gzip");
    RunResult r = zarnin({pkg});
    EXPECT_EQ(1, r.status) << file;
    EXPECT_EQ("zarnin: invalid package filename: " + pkg + "\n", r.err);
  }
  EXPECT_FALSE(exists(dbdir(root_.path())));
}

TEST_F(Install, TarOptionsInTheEnvironmentAreIgnored) {
  RunOptions opts;
  opts.env["TAR_OPTIONS"] = "-v --strip-components=1";
  RunResult r = zarnin({foo("1.0-1")}, opts);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  EXPECT_EQ("foo\n", read_file(root_ / "usr/bin/foo"));
  EXPECT_EQ(record("foo", "1.0-1", kFooPaths), db());
}

// On a merged /usr, "lib" is a link to "usr/lib" and must stay one.
TEST_F(Install, DirectoryLinkInTheRootStays) {
  mkdir_p(root_ / "usr/lib");
  ASSERT_EQ(0, symlink("usr/lib", (root_ / "lib").c_str()));
  PackageTree t;
  t.file("lib/foo.so", "so\n");
  for (const char* args : {"", "-u"}) {
    std::string version = *args ? "2-1" : "1-1";
    std::vector<std::string> argv;
    if (*args) argv.push_back(args);
    argv.push_back(t.pack(work_.path(), "libfoo#" + version + ".pkg.tar.zst"));
    RunResult r = zarnin(argv);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(is_symlink(root_ / "lib"));
    EXPECT_EQ("so\n", read_file(root_ / "usr/lib/foo.so"));
  }
}

TEST_F(Install, RootFromTheEnvironmentOrTheLastOption) {
  std::string pkg = foo("1.0-1");
  RunOptions opts = options(root_.path());
  opts.env["PKG_ROOT"] = root_.path();
  RunResult r = run({ZARNIN_BIN, pkg}, opts);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("foo\n", read_file(root_ / "usr/bin/foo"));

  TempDir other;
  opts.env["PKG_ROOT"] = other / "unused";
  opts.env["PKG_DBDIR"] = dbdir(other.path());
  r = run({ZARNIN_BIN, "-r", other / "first", "-r", other.path(), pkg}, opts);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("foo\n", read_file(other / "usr/bin/foo"));
  std::vector<std::string> top = entries_of(other.path());
  std::sort(top.begin(), top.end());
  EXPECT_EQ((std::vector<std::string>{"etc", "usr", "var"}), top);
}

// Started with standard input and output closed, the pipes would take
// descriptors 0 and 1 and the pipeline would close them under itself.
TEST_F(Install, ClosedStandardDescriptors) {
  std::string pkg = foo("1.0-1");
  RunResult r = run({"sh", "-c", "exec \"$0\" -r \"$1\" \"$2\" <&- >&-", ZARNIN_BIN, root_.path(), pkg},
                    options(root_.path()));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(record("foo", "1.0-1", kFooPaths), db());
}

TEST_F(Install, EmptyPackageIsNotRecorded) {
  std::string pkg = work_ / "empty#1-1.pkg.tar.zst";
  sh("tar -cf - -T /dev/null | zstd -q -c > " + shell_quote(pkg));
  RunResult r = zarnin({pkg});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", db());
}

// Many runs at once on one database: each installs or is turned away by
// the lock, and the database holds exactly the ones that installed.
TEST_F(Install, ConcurrentRunsOnOneDatabase) {
  constexpr int kRuns = 8;
  std::string script;
  for (int i = 0; i < kRuns; i++) {
    PackageTree t;
    for (int f = 0; f < 200; f++) t.file(strformat("usr/share/p%d/f%03d", i, f), "x\n");
    std::string pkg = t.pack(work_.path(), strformat("p%d#1-1.pkg.tar.gz", i));
    script += strformat("(%s -r %s %s >%s 2>&1; echo $? >%s) &\n",
                        shell_quote(ZARNIN_BIN).c_str(),
                        shell_quote(root_.path()).c_str(), shell_quote(pkg).c_str(),
                        shell_quote(work_ / strformat("err%d", i)).c_str(),
                        shell_quote(work_ / strformat("status%d", i)).c_str());
  }
  script += "wait\n";
  RunResult r = run({"sh", "-c", script}, options(root_.path()));
  ASSERT_EQ(0, r.status) << r.err;

  std::string expected;
  int installed = 0;
  for (int i = 0; i < kRuns; i++) {
    std::string status = read_file(work_ / strformat("status%d", i));
    std::string err = read_file(work_ / strformat("err%d", i));
    if (status == "0\n") {
      installed++;
      EXPECT_EQ("", err) << i;
      std::vector<std::string> paths{"usr/", "usr/share/", strformat("usr/share/p%d/", i)};
      for (int f = 0; f < 200; f++) paths.push_back(strformat("usr/share/p%d/f%03d", i, f));
      expected = record(strformat("p%d", i), "1-1", paths) + expected;
    } else {
      EXPECT_EQ("1\n", status) << i;
      EXPECT_EQ("zarnin: package database is locked by another process\n", err) << i;
    }
  }
  EXPECT_GE(installed, 1);
  // Every save writes the newest record first and loads the file reversed,
  // so compare the records as a set.
  auto split = [](const std::string& s) {
    std::multiset<std::string> out;
    size_t at = 0;
    while (at < s.size()) {
      size_t end = s.find("\n\n", at);
      if (end == std::string::npos) {
        out.insert(s.substr(at));  // malformed: kept whole so the comparison fails
        break;
      }
      out.insert(s.substr(at, end + 2 - at));
      at = end + 2;
    }
    return out;
  };
  std::string actual = db();
  EXPECT_TRUE(actual.empty() || actual.ends_with("\n\n"));
  EXPECT_EQ(split(expected), split(actual));
}

}  // namespace
