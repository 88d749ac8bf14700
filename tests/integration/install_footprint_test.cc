// zarnin's footprint check through the built program: the stored footprint
// beside the package, IGNORE_NEW from a private "/etc/sorn.conf", the build
// lock marker, the database lock and -f.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/etc_namespace.h"
#include "support/support.h"

using namespace sorn_test;
using testing::HasSubstr;

namespace {

// The footprint of the package that the fixture builds.
const std::string kFootprint =
    "drwxr-xr-x\troot/root\tetc/\n"
    "-rw-r--r--\troot/root\tetc/foo.conf (EMPTY)\n"
    "drwxr-xr-x\troot/root\tusr/\n"
    "drwxr-xr-x\troot/root\tusr/bin/\n"
    "-rwxr-xr-x\troot/root\tusr/bin/foo\n"
    "lrwxrwxrwx\troot/root\tusr/bin/fu -> foo\n";

class FootprintInstall : public testing::Test {
 protected:
  void SetUp() override {
    if (!etc_.ok()) GTEST_SKIP() << "no private /etc: " << etc_.error();
    PackageTree t;
    t.file("etc/foo.conf", "").file("usr/bin/foo", "foo\n", 0755).symlink("usr/bin/fu", "foo");
    package_ = t.pack(work_.path(), "foo#1-1.pkg.tar.gz");
  }

  RunResult zarnin(const std::vector<std::string>& args, const std::string& cwd = "") {
    return zarnin_in(root_.path(), args, cwd);
  }
  // A run on another root, each with its own database.
  RunResult zarnin_in(const std::string& root, std::vector<std::string> args,
                      const std::string& cwd = "") {
    args.insert(args.begin(), {ZARNIN_BIN, "-r", root});
    RunOptions opts;
    opts.env.emplace("PKG_DBDIR", root + "/var/lib/pkg");
    opts.env.emplace("TMPDIR", tmp_.path());
    opts.env.emplace("PKG_ROOT", std::nullopt);
    opts.cwd = cwd;
    RunResult r = run(args, opts);
    EXPECT_EQ("", run({"ls", "-A", tmp_.path()}).out) << "left in TMPDIR";
    return r;
  }
  std::string dbdir() { return root_ / "var/lib/pkg"; }
  void set_conf(const std::optional<std::string>& conf) {
    ASSERT_TRUE(etc_.set_files(EtcNamespace::Files{{"sorn.conf", conf}})) << etc_.error();
  }
  // The stored footprint with one line changed, one dropped, one added.
  void store_different_footprint(const std::string& name = ".footprint") {
    write_file(work_ / name,
               "drwxr-xr-x\troot/root\tetc/\n"
               "-rw-r--r--\troot/root\tetc/foo.conf (EMPTY)\n"
               "-rw-r--r--\troot/root\tetc/gone.conf\n"
               "drwxr-xr-x\troot/root\tusr/\n"
               "drwxr-xr-x\troot/root\tusr/bin/\n"
               "-rwxr-xr-x\troot/root\tusr/bin/foo\n"
               "lrwxrwxrwx\troot/root\tusr/bin/fu -> bar\n");
  }

  TempDir root_, work_, tmp_;
  EtcNamespace etc_{EtcNamespace::Files{{"sorn.conf", std::nullopt}}};
  std::string package_;
};

const char kDifferences[] =
    "zarnin: footprint: missing\n"
    "-rw-r--r--\troot/root\tetc/gone.conf\n"
    "zarnin: footprint: changed\n"
    "lrwxrwxrwx\troot/root\tusr/bin/fu -> foo\n"
    "zarnin: footprint: error\n";

TEST_F(FootprintInstall, NoFootprintOrAMatchingOneIsSilent) {
  RunResult r = zarnin({package_});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  write_file(work_ / ".footprint", kFootprint);
  TempDir other_root;
  r = zarnin_in(other_root.path(), {package_});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
}

TEST_F(FootprintInstall, DifferencesRefuseBeforeTheDatabase) {
  store_different_footprint();
  RunResult r = zarnin({package_});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(kDifferences, r.err);
  EXPECT_FALSE(exists(dbdir()));
  EXPECT_FALSE(exists(root_ / "usr"));
}

TEST_F(FootprintInstall, NewPathsAndIgnoreNew) {
  // Stored footprint lacks etc/ and etc/foo.conf: two new paths.
  write_file(work_ / ".footprint", kFootprint.substr(kFootprint.find("drwxr-xr-x\troot/root\tusr/")));
  const std::string new_report =
      "zarnin: footprint: new\n"
      "drwxr-xr-x\troot/root\tetc/\n"
      "-rw-r--r--\troot/root\tetc/foo.conf (EMPTY)\n"
      "zarnin: footprint: error\n";
  struct Case {
    std::optional<std::string> conf;
    bool accepted;
  };
  const Case cases[] = {
      {std::nullopt, false},
      {"IGNORE_NEW=yes\n", true},
      {"# local settings\nIGNORE_NEW yes\n", true},
      {"  \tIGNORE_NEW = yes\n", true},
      {"IGNORE_NEW=no\nIGNORE_NEW=yes\n", false},
      {"IGNORE_NEW=\"yes\"\n", false},
  };
  for (const Case& c : cases) {
    set_conf(c.conf);
    TempDir root;
    RunResult r = zarnin_in(root.path(), {package_});
    const std::string conf = c.conf.value_or("(none)");
    if (c.accepted) {
      EXPECT_EQ(0, r.status) << conf << r.err;
      EXPECT_EQ("", r.err) << conf;
    } else {
      EXPECT_EQ(1, r.status) << conf;
      EXPECT_EQ(new_report, r.err) << conf;
    }
  }
  // Missing and changed paths fail whatever IGNORE_NEW says.
  set_conf("IGNORE_NEW=yes\n");
  store_different_footprint();
  RunResult r = zarnin({package_});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(kDifferences, r.err);
}

TEST_F(FootprintInstall, BuildLockMarkerSwitchesTheFile) {
  store_different_footprint();
  write_file(work_ / "SORNBUILD.lock", "");
  RunResult r = zarnin({package_});  // ".footprint" is not consulted
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);

  TempDir root;
  store_different_footprint(".footprint.lock");
  r = zarnin_in(root.path(), {package_});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(kDifferences, r.err);
}

TEST_F(FootprintInstall, PackagePathWithoutDirectory) {
  store_different_footprint();
  RunResult r = zarnin({"foo#1-1.pkg.tar.gz"}, work_.path());
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(kDifferences, r.err);
}

TEST_F(FootprintInstall, CheckRunsBeforeTheDatabaseLock) {
  mkdir_p(dbdir());
  int fd = open(dbdir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, flock(fd, LOCK_EX | LOCK_NB));
  store_different_footprint();
  RunResult r = zarnin({package_});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(kDifferences, r.err);

  write_file(work_ / ".footprint", kFootprint);
  r = zarnin({package_});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("zarnin: package database is locked by another process\n", r.err);
  close(fd);
}

TEST_F(FootprintInstall, ForceSkipsTheCheck) {
  store_different_footprint();
  RunResult r = zarnin({"-f", package_});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("foo\n", read_file(root_ / "usr/bin/foo"));
}

}  // namespace
