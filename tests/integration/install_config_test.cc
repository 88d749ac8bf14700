// zarnin's handling of configuration files on upgrade, forced reinstall and
// fresh install, through the built program with real packages. Every run
// sees a private "/etc" without a sorn.conf.
#include <dirent.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/etc_namespace.h"
#include "support/support.h"

using namespace sorn_test;
using testing::HasSubstr;

namespace {

class ConfigInstall : public testing::Test {
 protected:
  void SetUp() override {
    if (!etc_.ok()) GTEST_SKIP() << "no private /etc: " << etc_.error();
  }
  void TearDown() override {
    EXPECT_EQ(std::vector<std::string>{}, entries_of(tmpdir_)) << "left in TMPDIR";
  }

  RunResult zarnin(std::vector<std::string> args, const char* program = ZARNIN_BIN) {
    args.insert(args.begin(), {program, "-r", root_.path()});
    RunOptions opts;
    opts.env.emplace("PKG_DBDIR", root_ / "var/lib/pkg");
    opts.env.emplace("TMPDIR", tmpdir_);
    opts.env.emplace("PKG_ROOT", std::nullopt);
    return run(args, opts);
  }
  std::string pack(const PackageTree& t, const std::string& version) {
    return t.pack(work_.path(), "foo#" + version + ".pkg.tar.gz");
  }
  std::string file(const std::string& rel) { return read_file(root_ / rel); }
  bool has(const std::string& rel) { return exists(root_ / rel); }

  TempDir root_, work_, tmp_;
  std::string tmpdir_ = tmp_.path();
  EtcNamespace etc_{EtcNamespace::Files{{"sorn.conf", std::nullopt}}};
};

TEST_F(ConfigInstall, UpgradeStagesKeepsAndCleansUp) {
  PackageTree v1, v2;
  v1.file("etc/bits.conf", "b=1\n")
      .file("etc/dangling.conf", "d=1\n")
      .file("etc/dropped.conf", "x=1\n")
      .file("etc/edited.conf", "e=1\n")
      .file("etc/missing.conf", "m=1\n")
      .file("etc/same.conf", "s=1\n")
      .file("usr/bin/foo", "one\n", 0755);
  v2.file("etc/bits.conf", "b=1\n")
      .file("etc/dangling.conf", "d=2\n")
      .file("etc/edited.conf", "e=2\n")
      .file("etc/missing.conf", "m=2\n")
      .file("etc/same.conf", "s=1\n")
      .file("usr/bin/foo", "two\n", 0755);
  RunResult r = zarnin({pack(v1, "1-1")});
  ASSERT_EQ(0, r.status) << r.err;

  // The administrator's changes since.
  write_file(root_ / "etc/bits.conf", "b=1\n", 0600);
  write_file(root_ / "etc/edited.conf", "e=local\n");
  write_file(root_ / "etc/edited.conf.new", "left by an earlier upgrade\n");
  write_file(root_ / "etc/dropped.conf.new", "stale\n");
  write_file(root_ / "etc/same.conf.new", "older\n");
  write_file(root_ / "etc/missing.conf.new", "stays\n");
  sh("rm " + shell_quote(root_ / "etc/missing.conf"));
  sh("rm " + shell_quote(root_ / "etc/dangling.conf") + " && ln -s gone " +
     shell_quote(root_ / "etc/dangling.conf"));

  r = zarnin({"-u", pack(v2, "2-1")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "zarnin: config: staged\n"
      "etc/bits.conf.new\n"
      "etc/dangling.conf.new\n"
      "etc/edited.conf.new\n"
      "zarnin: notice: keeping orphaned config: etc/dropped.conf\n",
      r.err);
  EXPECT_EQ("two\n", file("usr/bin/foo"));
  // Same bytes, other permission bits: staged.
  EXPECT_EQ(0600u, file_mode(root_ / "etc/bits.conf"));
  EXPECT_EQ(0644u, file_mode(root_ / "etc/bits.conf.new"));
  EXPECT_EQ("b=1\n", file("etc/bits.conf.new"));
  // A dangling link counts as present; its ".new" cannot be compared.
  EXPECT_TRUE(is_symlink(root_ / "etc/dangling.conf"));
  EXPECT_EQ("d=2\n", file("etc/dangling.conf.new"));
  // An older ".new" is replaced.
  EXPECT_EQ("e=local\n", file("etc/edited.conf"));
  EXPECT_EQ("e=2\n", file("etc/edited.conf.new"));
  // Missing on disk: restored, nothing staged; the ".new" of a file that
  // is still shipped is not stale.
  EXPECT_EQ("m=2\n", file("etc/missing.conf"));
  EXPECT_EQ("stays\n", file("etc/missing.conf.new"));
  // Identical: nothing staged, and the older ".new" gave way to it.
  EXPECT_EQ("s=1\n", file("etc/same.conf"));
  EXPECT_FALSE(has("etc/same.conf.new"));
  // Dropped by the new version: the file stays, its ".new" goes.
  EXPECT_EQ("x=1\n", file("etc/dropped.conf"));
  EXPECT_FALSE(has("etc/dropped.conf.new"));
}

TEST_F(ConfigInstall, UpgradeWithIdenticalConfigurationIsSilent) {
  PackageTree v1, v2;
  v1.file("etc/a.conf", "a=1\n", 0640).file("etc/b.conf", "").file("usr/bin/foo", "one\n");
  v2.file("etc/a.conf", "a=1\n", 0640).file("etc/b.conf", "").file("usr/bin/foo", "two\n");
  ASSERT_EQ(0, zarnin({pack(v1, "1-1")}).status);
  RunResult r = zarnin({"-u", pack(v2, "2-1")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_FALSE(has("etc/a.conf.new"));
  EXPECT_FALSE(has("etc/b.conf.new"));
  EXPECT_EQ("two\n", file("usr/bin/foo"));
}

TEST_F(ConfigInstall, ForcedReinstallKeepsConfigurationAndRestoresMissing) {
  PackageTree v1;
  v1.file("etc/a.conf", "a=1\n").file("etc/sub/b.conf", "b=1\n").file("usr/bin/foo", "one\n");
  std::string pkg = pack(v1, "1-1");
  ASSERT_EQ(0, zarnin({pkg}).status);
  write_file(root_ / "etc/a.conf", "a=local\n");
  sh("rm " + shell_quote(root_ / "etc/sub/b.conf"));
  write_file(root_ / "usr/bin/foo", "damaged\n");

  RunResult r = zarnin({"-f", pkg});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("a=local\n", file("etc/a.conf"));
  EXPECT_EQ("b=1\n", file("etc/sub/b.conf"));
  EXPECT_EQ("one\n", file("usr/bin/foo"));
  EXPECT_FALSE(has("etc/a.conf.new"));
  EXPECT_FALSE(has("etc/sub/b.conf.new"));

  // -u with -f on the same version is an upgrade: staging happens.
  r = zarnin({"-u", "-f", pkg});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("zarnin: config: staged\netc/a.conf.new\n", r.err);
  EXPECT_EQ("a=1\n", file("etc/a.conf.new"));
}

TEST_F(ConfigInstall, FreshInstallOverwritesExistingFiles) {
  write_file(root_ / "etc/a.conf", "a=local\n", 0600);
  PackageTree v1;
  v1.file("etc/a.conf", "a=1\n").file("usr/bin/foo", "one\n");
  RunResult r = zarnin({pack(v1, "1-1")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("a=1\n", file("etc/a.conf"));
  EXPECT_EQ(0644u, file_mode(root_ / "etc/a.conf"));
  EXPECT_FALSE(has("etc/a.conf.new"));
}

// TMPDIR on a tmpfs: the staged file crosses file systems and is copied.
TEST_F(ConfigInstall, StagingAcrossFilesystems) {
  tmpdir_ = tmp_ / "tmpfs";
  ASSERT_TRUE(etc_.mount_tmpfs(tmpdir_)) << etc_.error();
  PackageTree v1, v2;
  v1.file("etc/a.conf", "a=1\n").file("etc/b.conf", "b=1\n").file("usr/bin/foo", "one\n");
  v2.file("etc/a.conf", "a=2\n" + std::string(200000, '#') + "\n", 0640)
      .file("etc/b.conf", "b=1\n")
      .file("usr/bin/foo", "two\n");
  ASSERT_EQ(0, zarnin({pack(v1, "1-1")}).status);
  write_file(root_ / "etc/a.conf", "a=local\n");
  mode_t old_umask = umask(077);  // the copy's bits do not depend on it
  RunResult r = zarnin({"-u", pack(v2, "2-1")});
  umask(old_umask);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("zarnin: config: staged\netc/a.conf.new\n", r.err);
  EXPECT_EQ("a=local\n", file("etc/a.conf"));
  EXPECT_EQ("a=2\n" + std::string(200000, '#') + "\n", file("etc/a.conf.new"));
  EXPECT_EQ(0640u, file_mode(root_ / "etc/a.conf.new"));
  EXPECT_FALSE(has("etc/b.conf.new"));
  EXPECT_EQ("two\n", file("usr/bin/foo"));
  // TearDown finds the tmpfs empty: the staged copies are gone.
}

// CONFIG_UPGRADE against each state of a configuration file, through an
// install, an upgrade and a removal. "bash.bashrc" and "skel/.bashrc" are
// shaped as the bash package has them.
TEST_F(ConfigInstall, UpgradeModesAgainstFileStates) {
  struct File {
    std::string path, v1, v2, edit, merged;  // edit: "" untouched, "-" deleted
    mode_t mode = 0644;                      // as the administrator left it
  };
  const File files[] = {
      {"etc/bash.bashrc", "PS1=1\n", "PS1=2\n", "PS1=local\n", ""},  // conflicts
      {"etc/clean.conf", "a\nb\nc\nd\ne\n", "a\nb\nc\nd\nE\n", "A\nb\nc\nd\ne\n",
       "A\nb\nc\nd\nE\n"},
      {"etc/mode.conf", "m=1\n", "m=2\n", "", "m=2\n", 0600},
      {"etc/nocopy.conf", "n=1\n", "n=2\n", "", ""},  // its pristine copy is gone
      {"etc/removed.conf", "r=1\n", "r=2\n", "-", ""},
      {"etc/same.conf", "s=1\n", "s=2\n", "s=2\n", ""},
      {"etc/skel/.bashrc", "alias=1\n", "alias=2\n", "", ""},  // unedited
  };
  // Per file: Staged, Updated, Merged, Kept as it is, or Restored.
  struct Mode {
    std::string conf, outcomes, err;
  };
  const std::string staged = "zarnin: config: staged\netc/bash.bashrc.new\n";
  const Mode modes[] = {
      {"CONFIG_UPGRADE=stage\n", "SSSSRKS",
       staged +
           "etc/clean.conf.new\netc/mode.conf.new\netc/nocopy.conf.new\netc/skel/.bashrc.new\n"},
      {"CONFIG_UPGRADE unedited\n", "SSSSRKU",
       staged + "etc/clean.conf.new\netc/mode.conf.new\netc/nocopy.conf.new\n"
                "zarnin: config: updated\netc/skel/.bashrc\n"},
      {"CONFIG_UPGRADE = merge\n", "SMMSRKU",
       staged + "etc/nocopy.conf.new\nzarnin: config: updated\netc/skel/.bashrc\n"
                "zarnin: config: merged\netc/clean.conf\netc/mode.conf\n"},
  };
  PackageTree v1, v2;
  for (const File& f : files) {
    v1.file(f.path, f.v1);
    v2.file(f.path, f.v2);
  }
  std::string pkg1 = pack(v1, "1-1"), pkg2 = pack(v2, "2-1");
  std::string db = root_ / "var/lib/pkg", store = db + "/pristine/foo/";
  auto content = [](const std::string& path) { return exists(path) ? read_file(path) : "-"; };
  for (const Mode& mode : modes) {
    SCOPED_TRACE(mode.conf);
    sh("rm -rf " + shell_quote(root_.path()) + "/*");
    ASSERT_TRUE(etc_.set_files(EtcNamespace::Files{{"sorn.conf", mode.conf}})) << etc_.error();
    ASSERT_EQ(0, zarnin({pkg1}).status);
    for (const File& f : files) {
      EXPECT_EQ(f.v1, read_file(store + f.path)) << f.path;
      if (f.edit == "-") sh("rm " + shell_quote(root_ / f.path));
      if (f.edit != "" && f.edit != "-") write_file(root_ / f.path, f.edit);
      if (f.mode != 0644) chmod((root_ / f.path).c_str(), f.mode);
    }
    sh("rm " + shell_quote(store + "etc/nocopy.conf"));  // as installed before copies were kept

    RunResult r = zarnin({"-u", pkg2});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(mode.err, r.err);
    for (size_t i = 0; i < std::size(files); i++) {
      const File& f = files[i];
      char outcome = mode.outcomes[i];
      SCOPED_TRACE(f.path + " " + outcome);
      std::string before = f.edit.empty() ? f.v1 : f.edit;
      bool replaced = outcome == 'U' || outcome == 'R';
      EXPECT_EQ(outcome == 'M' ? f.merged : replaced ? f.v2 : before, file(f.path));
      EXPECT_EQ(replaced ? 0644u : f.mode, file_mode(root_ / f.path));
      EXPECT_EQ(outcome == 'S' ? f.v2 : "-", content(root_ / (f.path + ".new")));
      EXPECT_EQ(outcome == 'M' ? before : "-", content(root_ / (f.path + ".old")));
      EXPECT_EQ(f.v2, read_file(store + f.path));  // every copy follows the package
    }
    EXPECT_THAT(entries_of(db), testing::UnorderedElementsAre("db", "pristine"));
    ASSERT_EQ(0, zarnin({"foo"}, ZARNOUT_BIN).status);
    EXPECT_EQ(std::vector<std::string>{"db"}, entries_of(db));
  }
}

}  // namespace
