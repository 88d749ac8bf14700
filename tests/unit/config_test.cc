// Configuration files on reinstall and upgrade: the keep list, staging of
// ".new" files (also across file systems), the identical test, orphans and
// stale ".new" files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "archive/archive.h"
#include "support/etc_namespace.h"
#include "support/support.h"
#include "zarnin/commit.h"
#include "zarnin/config.h"
#include "zarnin/stage.h"

using namespace sorn_test;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

TEST(ConfigKeepList, ExistingConfigurationPathsFollowingLinks) {
  TempDir root;
  mkdir_p(root / "etc/sub");
  write_file(root / "etc/present", "x");
  sh("ln -s nowhere " + shell_quote(root / "etc/dangling"));
  sh("ln -s present " + shell_quote(root / "etc/linked"));
  write_file(root / "usr/present", "x");
  StringListPtr members = list_of({"etc/", "etc/present", "etc/absent", "etc/dangling",
                                   "etc/linked", "etc/sub/", "usr/", "usr/present", "etcetera"});
  StringListPtr keep(config_keep_list(root.path().c_str(), members.get()));
  EXPECT_THAT(strings_of(keep.get()), ElementsAre("etc/", "etc/present", "etc/linked", "etc/sub/"));
}

TEST(ConfigSameFile, SizeBitsAndBytes) {
  TempDir d;
  std::string big(3 * 8192 + 5, 'a');
  std::string big_other = big;
  big_other[8192 + 7] = 'b';  // differs in the second chunk only
  struct Case {
    const char* name;
    std::string a, b;
    mode_t mode_a, mode_b;
    bool same;
  };
  const Case cases[] = {
      {"identical", "k=1\n", "k=1\n", 0644, 0644, true},
      {"both empty", "", "", 0600, 0600, true},
      {"identical large", big, big, 0644, 0644, true},
      {"other bits", "k=1\n", "k=1\n", 0644, 0600, false},
      {"setuid bit", "k=1\n", "k=1\n", 04755, 0755, false},
      {"other size", "k=1\n", "k=10\n", 0644, 0644, false},
      {"same size other bytes", "k=1\n", "k=2\n", 0644, 0644, false},
      {"later chunk differs", big, big_other, 0644, 0644, false},
  };
  for (const Case& c : cases) {
    write_file(d / "a", c.a, c.mode_a);
    write_file(d / "b", c.b, c.mode_b);
    EXPECT_EQ(c.same, config_same_file((d / "a").c_str(), (d / "b").c_str())) << c.name;
  }
  EXPECT_FALSE(config_same_file((d / "a").c_str(), (d / "missing").c_str()));
  sh("ln -s missing " + shell_quote(d / "dangling"));
  EXPECT_FALSE(config_same_file((d / "a").c_str(), (d / "dangling").c_str()));
  sh("ln -s a " + shell_quote(d / "link-to-a"));
  EXPECT_TRUE(config_same_file((d / "a").c_str(), (d / "link-to-a").c_str()));
  sh("mkfifo " + shell_quote(d / "fifo"));
  write_file(d / "empty", "", file_mode(d / "fifo"));
  EXPECT_FALSE(config_same_file((d / "empty").c_str(), (d / "fifo").c_str()));
}

// Staging across file systems: the staging directory on a tmpfs of a private
// mount namespace, the target on the test's own file system.
class ConfigAcrossFilesystems : public testing::Test {
 protected:
  void SetUp() override {
    if (!mounts_.ok()) GTEST_SKIP() << "no private mount namespace: " << mounts_.error();
    ASSERT_TRUE(mounts_.mount_tmpfs(stage_ / "fs")) << mounts_.error();
  }
  std::string staged(const std::string& name) { return stage_ / ("fs/" + name); }

  TempDir stage_, target_;
  EtcNamespace mounts_;  // after the directories: unmounted before they go
};

TEST_F(ConfigAcrossFilesystems, CopyKeepsContentAndExactBits) {
  const struct {
    const char* name;
    std::string content;
    mode_t mode;
  } cases[] = {
      {"small", "a=2\n", 0640},
      {"empty", "", 0600},
      {"large", std::string(3 * 65536 + 17, 'z'), 0644},
      {"special bits", "#!/bin/sh\n", 04751},
  };
  mode_t old_umask = umask(077);
  for (const auto& c : cases) {
    write_file(staged(c.name), c.content, c.mode);
    std::string target = target_ / (std::string(c.name) + ".new");
    ASSERT_EQ(0, config_move_staged(staged(c.name).c_str(), target.c_str()))
        << c.name << ": " << strerror(errno);
    EXPECT_EQ(c.content, read_file(target)) << c.name;
    EXPECT_EQ(c.mode, file_mode(target)) << c.name;
    EXPECT_FALSE(exists(staged(c.name))) << c.name;
  }
  umask(old_umask);
}

TEST_F(ConfigAcrossFilesystems, LinkStaysALink) {
  sh("ln -s /etc/hostname " + shell_quote(staged("link")));
  std::string target = target_ / "link.new";
  ASSERT_EQ(0, config_move_staged(staged("link").c_str(), target.c_str())) << strerror(errno);
  EXPECT_TRUE(is_symlink(target));
  char buf[64] = {};
  ASSERT_GT(readlink(target.c_str(), buf, sizeof buf - 1), 0);
  EXPECT_STREQ("/etc/hostname", buf);
}

TEST_F(ConfigAcrossFilesystems, FailuresLeaveNoTarget) {
  // A fifo cannot be copied (and must not hang the copy).
  sh("mkfifo " + shell_quote(staged("fifo")));
  std::string target = target_ / "fifo.new";
  errno = 0;
  EXPECT_EQ(-1, config_move_staged(staged("fifo").c_str(), target.c_str()));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_FALSE(exists(target));

  write_file(staged("orphan"), "x");
  errno = 0;
  EXPECT_EQ(-1, config_move_staged(staged("orphan").c_str(), (target_ / "no/dir/x.new").c_str()));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_TRUE(exists(staged("orphan")));
}

TEST(ConfigMoveStaged, RenameOnOneFilesystem) {
  TempDir d;
  write_file(d / "src", "a=1\n", 0640);
  ASSERT_EQ(0, config_move_staged((d / "src").c_str(), (d / "dst").c_str()));
  EXPECT_EQ("a=1\n", read_file(d / "dst"));
  EXPECT_EQ(0640u, file_mode(d / "dst"));
  EXPECT_FALSE(exists(d / "src"));
  errno = 0;
  EXPECT_EQ(-1, config_move_staged((d / "src").c_str(), (d / "dst2").c_str()));
  EXPECT_EQ(ENOENT, errno);
}

TEST(ConfigOrphan, KeptWithANoticeWhenPresent) {
  TempDir root;
  write_file(root / "etc/old.conf", "mine\n");
  sh("ln -s nowhere " + shell_quote(root / "etc/old.link"));
  testing::internal::CaptureStderr();
  config_keep_orphan(root.path().c_str(), "etc/old.conf");
  config_keep_orphan(root.path().c_str(), "etc/old.link");
  config_keep_orphan(root.path().c_str(), "etc/never.conf");
  EXPECT_EQ(
      "zarnin: notice: keeping orphaned config: etc/old.conf\n"
      "zarnin: notice: keeping orphaned config: etc/old.link\n",
      testing::internal::GetCapturedStderr());
  EXPECT_EQ("mine\n", read_file(root / "etc/old.conf"));
  EXPECT_TRUE(is_symlink(root / "etc/old.link"));
}

TEST(ConfigStaleNew, OnlyForDroppedConfigurationFiles) {
  TempDir root;
  for (const char* f : {"etc/dropped.conf.new", "etc/kept.conf.new", "etc/dir/.new",
                        "usr/dropped.new", "etc/dropped.conf"})
    write_file(root / f, "x");
  StringListPtr installed =
      list_of({"etc/", "etc/dir/", "etc/dropped.conf", "etc/kept.conf", "usr/", "usr/dropped"});
  StringListPtr members = list_of({"etc/", "etc/kept.conf"});
  strlist_sort(members.get());
  config_remove_stale_new(root.path().c_str(), installed.get(), members.get());
  EXPECT_FALSE(exists(root / "etc/dropped.conf.new"));
  EXPECT_TRUE(exists(root / "etc/dropped.conf"));
  EXPECT_TRUE(exists(root / "etc/kept.conf.new"));
  EXPECT_TRUE(exists(root / "etc/dir/.new"));
  EXPECT_TRUE(exists(root / "usr/dropped.new"));
}

// The upgrade's configuration rules through the staging area and the
// commit, with real packages.
class ConfigUpgrade : public testing::Test {
 protected:
  struct Outcome {
    int status;
    std::string err;
  };
  Outcome upgrade(const PackageTree& pkg, const std::vector<std::string>& keep = {}) {
    std::string path = pkg.pack(work_.path(), "foo#2-1.pkg.tar.gz");
    Staging staging;
    stage_package(path.c_str(), root_.path().c_str(), staging);
    EXPECT_TRUE(staging.unpacked);
    StringListPtr keep_list = list_of(keep);
    testing::internal::CaptureStderr();
    StringListPtr config(config_existing(root_.path().c_str(), staging.members.get(), keep_list.get()));
    CommitRequest request{root_.path().c_str(), &staging, staging.members.get(), keep_list.get(),
                          config.get(), {}};
    CommitResult result;
    int status = install_commit(request, result);
    if (status == 0) config_report_staged(root_.path().c_str(), result.staged_new.get());
    stage_remove(staging);
    return {status, testing::internal::GetCapturedStderr()};
  }
  // Nothing of a staging area is left in the root.
  void expect_no_staging() { EXPECT_EQ("", run({"find", root_.path(), "-name", ".zarnin-*"}).out); }

  TempDir work_, root_;
};

TEST_F(ConfigUpgrade, KeepListStillExcludes) {
  write_file(root_ / "etc/a.conf", "local\n");
  write_file(root_ / "usr/share/kept", "local\n");
  PackageTree v2;
  v2.file("etc/a.conf", "packaged\n").file("usr/share/kept", "packaged\n");
  Outcome o = upgrade(v2, {"usr/share/kept"});
  EXPECT_EQ(0, o.status);
  EXPECT_EQ("local\n", read_file(root_ / "usr/share/kept"));
  EXPECT_EQ("packaged\n", read_file(root_ / "etc/a.conf.new"));
}

TEST_F(ConfigUpgrade, UnstageableFileIsWarnedAndSkipped) {
  write_file(root_ / "etc/a.conf", "local a\n");
  write_file(root_ / "etc/b.conf", "local b\n");
  mkdir_p(root_ / "etc/a.conf.new/in-the-way");  // a directory cannot be replaced
  PackageTree v2;
  v2.file("etc/a.conf", "packaged a\n").file("etc/b.conf", "packaged b\n");
  Outcome o = upgrade(v2);
  EXPECT_EQ(0, o.status);
  EXPECT_THAT(o.err, HasSubstr(": cannot stage etc/a.conf.new: "));
  EXPECT_THAT(o.err, HasSubstr("zarnin: config: staged\netc/b.conf.new\n"));
  EXPECT_EQ("local a\n", read_file(root_ / "etc/a.conf"));
  EXPECT_EQ("packaged b\n", read_file(root_ / "etc/b.conf.new"));
  expect_no_staging();
}

TEST_F(ConfigUpgrade, FailedExtractionStagesNothing) {
  write_file(root_ / "etc/a.conf", "local\n");
  PackageTree v2;
  v2.file("etc/a.conf", "packaged\n");
  std::string path = v2.pack(work_.path(), "foo#2-1.pkg.tar.gz");
  write_file(path, "\x1f\x8b broken");
  Staging staging;
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  stage_package(PackageFile(path.c_str(), fd.get()), root_.path().c_str(), staging);
  EXPECT_FALSE(staging.unpacked);
  EXPECT_EQ("local\n", read_file(root_ / "etc/a.conf"));
  EXPECT_FALSE(exists(root_ / "etc/a.conf.new"));
  expect_no_staging();
}

}  // namespace
