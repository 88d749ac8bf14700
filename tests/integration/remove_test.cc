// The built zarnout removing packages that the built zarnin installed, in
// scratch roots with their own database and TMPDIR; the kernel guard for
// the live root with zarnout chrooted into a scratch root; services under a
// real runsv and accounts with the real userdel and groupdel.
#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/chroot_root.h"
#include "support/support.h"
#include "util/util.h"

using sorn_test::ChrootRoot;
using sorn_test::entries_of;
using sorn_test::exists;
using sorn_test::is_symlink;
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
using testing::HasSubstr;

namespace {

constexpr const char kUsage[] =
    "usage: zarnout [-f] [-r root] <package>\n"
    "  -r  alternative installation root\n"
    "  -f  override the kernel refusals\n";
constexpr const char kSystemPath[] = "/usr/sbin:/usr/bin:/sbin:/bin";

std::string record(const std::string& name, const std::string& version,
                   const std::vector<std::string>& paths) {
  std::string out = name + "\n" + version + "\n";
  for (const auto& p : paths) out += p + "\n";
  return out + "\n";
}

std::string running_release() {
  struct utsname uts;
  return uname(&uts) == 0 ? uts.release : "";
}

// Installs with zarnin and removes with zarnout in one root (a directory
// below a scratch directory, so that "../" out of it stays in scratch).
class Remove : public testing::Test {
 protected:
  TempDir outer_, work_, tmp_;
  std::string root_ = outer_ / "root";

  ~Remove() override { EXPECT_EQ(std::vector<std::string>{}, entries_of(tmp_.path())); }

  std::string dbdir(const std::string& root) const { return root + "/var/lib/pkg"; }
  std::string db(const std::string& root) const { return read_file(dbdir(root) + "/db"); }
  std::string db() const { return db(root_); }

  RunOptions options(const std::string& root, RunOptions opts = {}) const {
    opts.env.emplace("PKG_DBDIR", dbdir(root));
    opts.env.emplace("TMPDIR", tmp_.path());
    opts.env.emplace("PKG_ROOT", std::nullopt);
    opts.env.emplace("TAR_OPTIONS", std::nullopt);
    opts.env.emplace("PATH", kSystemPath);
    return opts;
  }
  RunResult zarnin_in(const std::string& root, const std::vector<std::string>& args) const {
    std::vector<std::string> argv{ZARNIN_BIN, "-r", root};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, options(root));
  }
  RunResult zarnout_in(const std::string& root, const std::vector<std::string>& args,
                       RunOptions opts = {}) const {
    std::vector<std::string> argv{ZARNOUT_BIN, "-r", root};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, options(root, opts));
  }
  RunResult zarnout(const std::vector<std::string>& args, RunOptions opts = {}) const {
    return zarnout_in(root_, args, opts);
  }
  // Packs tree as name#version and installs it (with -f, so that shared
  // files are accepted) into root.
  void install_in(const std::string& root, const PackageTree& tree, const std::string& name,
                  const std::string& version = "1-1") {
    std::string pkg = tree.pack(work_.path(), name + "#" + version + ".pkg.tar.zst");
    RunResult r = zarnin_in(root, {"-f", pkg});
    ASSERT_EQ(0, r.status) << name << ": " << r.err;
  }
  void install(const PackageTree& tree, const std::string& name) { install_in(root_, tree, name); }
};

// Operand errors come before the user id, the user id before the database.
TEST_F(Remove, ChecksInTheirOrder) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {{"-h"}, 1, "", kUsage},
      {{"-v", "foo"}, 0, "zarnout (sorn) 1.6.1\n", ""},
      {{"-v", "-x"}, 0, "zarnout (sorn) 1.6.1\n", ""},
      {{}, 1, "", "zarnout: no package specified — try -h\n"},
      {{"-f", "-r", "/nonexistent"}, 1, "", "zarnout: no package specified — try -h\n"},
      {{"foo", "bar"}, 1, "", "zarnout: too many arguments\n"},
      {{"foo", "-f"}, 1, "", "zarnout: too many arguments\n"},
      {{"foo"}, 1, "", "zarnout: must be root to remove packages\n"},
  };
  RunOptions as_nobody;
  as_nobody.uid = 65534;
  as_nobody.gid = 65534;
  for (const Case& c : cases) {
    std::vector<std::string> argv{ZARNOUT_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    RunResult r = run(argv, options(root_, as_nobody));
    std::string label = testing::PrintToString(c.args);
    EXPECT_EQ(c.status, r.status) << label;
    EXPECT_EQ(c.out, r.out) << label;
    EXPECT_EQ(c.err, r.err) << label;
  }
  // getopt's own diagnostic, then the usage text.
  for (std::vector<std::string> args : {std::vector<std::string>{"-x", "foo"}, {"-r"}}) {
    RunResult r = run({ZARNOUT_BIN, args[0]}, options(root_));
    EXPECT_EQ(1, r.status);
    EXPECT_THAT(r.err, testing::EndsWith(std::string("\n") + kUsage));
  }
  EXPECT_FALSE(exists(root_));  // nothing opened or created

  RunResult r = zarnout({"foo"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("zarnout: foo is not installed\n", r.err);
}

// Shared directories and files, leftovers, links, pruning, staged copies:
// one removal, checked path by path.
TEST_F(Remove, WhatGoesAndWhatStays) {
  const std::string site = "usr/lib/lang/site-packages/";
  PackageTree a;
  a.file("usr/bin/a", "a\n")
      .file("usr/share/common.txt", "shared\n")
      .file("usr/bin/gone", "deleted before the removal\n")
      .file("opt/x/f", "x\n")
      .dir("srv/data")
      .symlink("usr/lib/data", "../../srv/data")
      .file("etc/a.conf", "a=1\n")
      .file("etc/common.conf", "c=1\n")
      .dir("etc/d")
      .file(site + "m/__init__.py", "\n")
      .file(site + "n/__init__.py", "\n")
      .file("site-packages/q/__init__.py", "\n");
  PackageTree b;
  b.file("usr/bin/b", "b\n").file("usr/share/common.txt", "shared\n").file("etc/common.conf", "c=1\n");
  install(b, "b");
  std::string b_record = db();
  install(a, "a");

  // What the system and the administrator left beside the package.
  sh("rm " + shell_quote(root_ + "/usr/bin/gone"));
  write_file(root_ + "/srv/data/keep", "target of the link\n");
  write_file(root_ + "/opt/x/local", "not recorded\n");
  write_file(root_ + "/etc/a.conf.new", "staged\n");
  write_file(root_ + "/etc/common.conf.new", "staged\n");
  write_file(root_ + "/etc/d/.new", "not a staged copy\n");
  write_file(root_ + "/" + site + "m/_cache/x.pyc", "\n");
  write_file(root_ + "/" + site + "m/_cache/deep/y.pyc", "\n");
  write_file(root_ + "/" + site + "n/_cache/x.pyc", "\n");
  write_file(root_ + "/" + site + "n/extra.txt", "leftover\n");
  write_file(root_ + "/" + site + "other/_x/z.pyc", "\n");
  write_file(root_ + "/" + site + "other/sub/_y/z.pyc", "\n");
  mkdir_p(root_ + "/" + site + "other/empty");
  write_file(root_ + "/site-packages/q/_cache/x.pyc", "\n");

  RunResult r = zarnout({"a"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  // Descending byte order; shared directories need no notice.
  EXPECT_EQ("zarnout: notice: keeping non-empty: " + site + "n/\n"
            "zarnout: notice: keeping non-empty: " + site + "\n"
            "zarnout: notice: keeping non-empty: usr/lib/lang/\n"
            "zarnout: notice: keeping non-empty: usr/lib/\n"
            "zarnout: notice: keeping non-empty: srv/data/\n"
            "zarnout: notice: keeping non-empty: srv/\n"
            "zarnout: notice: keeping non-empty: site-packages/q/\n"
            "zarnout: notice: keeping non-empty: site-packages/\n"
            "zarnout: notice: keeping non-empty: opt/x/\n"
            "zarnout: notice: keeping non-empty: opt/\n"
            "zarnout: notice: keeping non-empty: etc/d/\n",
            r.err);
  EXPECT_EQ(b_record, db());

  struct Expect {
    std::string path;
    bool present;
  } expected[] = {
      {"usr/bin/a", false},
      {"usr/bin/b", true},
      {"usr/share/common.txt", true},  // recorded by b too
      {"usr/lib/data", false},         // the link, not its target
      {"srv/data/keep", true},
      {"opt/x/local", true},
      {"etc/a.conf", false},
      {"etc/a.conf.new", false},
      {"etc/common.conf", true},
      {"etc/common.conf.new", false},  // unlinked although the file stays
      {"etc/d/.new", true},            // never for a directory
      {site + "m", false},             // _cache/ went, then m/ itself
      {site + "n/_cache", false},
      {site + "n/extra.txt", true},
      {site + "other/_x", false},
      {site + "other/sub", false},     // emptied by the pruning
      {site + "other/empty", false},
      {"site-packages/q/_cache/x.pyc", true},  // no pruning at the top level
      {"var/lib/pkg/db", true},
  };
  for (const Expect& e : expected) EXPECT_EQ(e.present, exists(root_ + "/" + e.path)) << e.path;
  std::vector<std::string> other = entries_of(root_ + "/" + site);
  EXPECT_EQ(std::vector<std::string>{"n"}, other);
}

TEST_F(Remove, RemovingAgainAfterACrashIsSilent) {
  PackageTree a;
  a.file("usr/bin/a", "a\n");
  install(a, "a");
  std::string before = db();
  ASSERT_EQ(0, zarnout({"a"}).status);
  // The files are gone but the record was not saved.
  write_file(dbdir(root_) + "/db", before);
  RunResult r = zarnout({"a"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ("", db());
}

TEST_F(Remove, FailedSaveKeepsTheRecord) {
  PackageTree a;
  a.file("usr/bin/a", "a\n");
  install(a, "a");
  std::string before = db();
  mkdir_p(dbdir(root_) + "/db.tmp");
  RunResult r = zarnout({"a"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("zarnout: cannot create " + dbdir(root_) +
                "/db.tmp: Is a directory\n"
                "zarnout: error: files removed but database write failed — package may still "
                "appear as installed\n",
            r.err);
  EXPECT_FALSE(exists(root_ + "/usr/bin/a"));
  EXPECT_EQ(before, db());
}

// A record written by another tool or edited by hand: nothing outside the
// root is deleted, and no staged copy is unlinked there.
TEST_F(Remove, UnsafeRecordedPathsAreSkipped) {
  PackageTree a;
  a.file("usr/bin/a", "a\n");
  install(a, "a");
  for (const char* victim : {"victim", "victim.conf", "victim.conf.new", "root/abs"})
    write_file(outer_ / victim, "outside\n");
  write_file(dbdir(root_) + "/db",
             record("evil", "1",
                    {"usr/../../victim", "etc/../../victim.conf", "/abs",
                     "etc/x/..", "usr/", "usr/bin/", "usr/bin/a"}));
  RunResult r = zarnout({"evil"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("zarnout: notice: skipping unsafe path: usr/../../victim\n"
            "zarnout: notice: skipping unsafe path: etc/x/..\n"
            "zarnout: notice: skipping unsafe path: etc/../../victim.conf\n"
            "zarnout: notice: skipping unsafe path: /abs\n",
            r.err);
  for (const char* victim : {"victim", "victim.conf", "victim.conf.new", "root/abs"})
    EXPECT_TRUE(exists(outer_ / victim)) << victim;
  EXPECT_FALSE(exists(root_ + "/usr"));
  EXPECT_EQ("", db());
}

// The live root "/" seen from zarnout chrooted into a scratch root, where
// uname still gives the host's release.
class LiveRoot : public Remove {
 protected:
  void SetUp() override {
    if (running_release().empty()) GTEST_SKIP() << "uname failed";
    if (!live_.add_program(ZARNOUT_BIN) || !live_.add_program("env"))
      GTEST_SKIP() << "cannot copy zarnout and env into a root";
    live_.add_dir("proc");
  }
  // zarnout inside the root with args, from the working directory cwd.
  RunResult chrooted(const std::vector<std::string>& args, const std::string& cwd = "/",
                     const std::optional<std::string>& pkg_root = std::nullopt) {
    // The sanitizers that a test build carries read /proc: a bind mount in
    // a mount namespace of the child's own, gone when it exits.
    std::vector<std::string> argv{"unshare", "-m", "sh", "-c",
                                  "mount --bind /proc \"$0/proc\" && exec chroot \"$0\" \"$@\"",
                                  live_.path(), "/usr/bin/env", "-C", cwd};
    if (pkg_root) argv.push_back("PKG_ROOT=" + *pkg_root);
    argv.push_back(ZARNOUT_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions opts;
    opts.env.emplace("PKG_DBDIR", std::nullopt);
    opts.env.emplace("PKG_ROOT", std::nullopt);
    opts.env.emplace("PATH", kSystemPath);
    return run(argv, opts);
  }
  void install_live(const PackageTree& tree, const std::string& name) {
    install_in(live_.path(), tree, name);
  }
  ChrootRoot live_;
};

TEST_F(LiveRoot, RunningKernelAndLastModuleTree) {
  const std::string release = running_release();
  PackageTree linux_pkg, old_pkg;
  linux_pkg.file("lib/modules/" + release + "/kernel/x.ko", "x\n");
  old_pkg.file("lib/modules/5.0.0-old/kernel/y.ko", "y\n").file("lib/modules/" + release + "/extra/z.ko", "");
  install_live(linux_pkg, "linux");
  const std::string running =
      "zarnout: linux owns the running kernel's modules (lib/modules/" + release +
      ") -- boot another kernel first, or -f to override\n";
  const std::string last =
      "zarnout: linux owns the last module tree under lib/modules/ -- removing it leaves no "
      "bootable kernel, or -f to override\n";

  // Alone in the root: both refusals apply; the running kernel's wins. Any
  // name of the live root counts as the live root.
  for (std::vector<std::string> args : {std::vector<std::string>{"linux"},
                                        {"-r", "/", "linux"}, {"-r", "/.", "linux"},
                                        {"-r", "//", "linux"}, {"-r", "", "linux"}}) {
    RunResult r = chrooted(args);
    EXPECT_EQ(1, r.status) << testing::PrintToString(args);
    EXPECT_EQ(running, r.err) << testing::PrintToString(args);
  }
  // From outside the same root is not the running system.
  RunResult r = zarnout_in(live_.path(), {"linux"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(last, r.err);
  EXPECT_TRUE(exists(live_ / ("lib/modules/" + release + "/kernel/x.ko")));

  // Another package with a module tree: the live root still refuses, the
  // other root lets it go, and depmod runs for the version that stays.
  install_live(old_pkg, "linux-old");
  EXPECT_EQ(running, chrooted({"linux"}).err);
  r = zarnout_in(live_.path(), {"linux"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("trigger: depmod -a " + release + "\n", r.err);
  EXPECT_FALSE(exists(live_ / ("lib/modules/" + release + "/kernel")));

  // linux-old itself holds files of the running release.
  r = chrooted({"linux-old"});
  EXPECT_EQ(1, r.status);
  EXPECT_THAT(r.err, HasSubstr("linux-old owns the running kernel's modules"));
  r = chrooted({"-f", "linux-old"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(exists(live_ / "lib/modules"));
  EXPECT_EQ("", db(live_.path()));
}

TEST_F(Remove, ModuleTreesInAnotherRoot) {
  PackageTree k1, k2, dir_only;
  k1.file("lib/modules/1.0/kernel/a.ko", "a\n");
  k2.file("lib/modules/2.0/kernel/b.ko", "b\n");
  dir_only.dir("lib/modules");
  install(k1, "k1");
  install(k2, "k2");
  struct Step {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string install_after;
  } steps[] = {
      {{"k1"}, 0, "", ""},
      {{"k2"}, 1,
       "zarnout: k2 owns the last module tree under lib/modules/ -- removing it leaves no "
       "bootable kernel, or -f to override\n",
       "dir_only"},
      // A package recording only the directory lib/modules/ counts.
      {{"k2"}, 0, "", ""},
      // Which then is the last itself: its refusal names it.
      {{"dir_only"}, 1,
       "zarnout: dir_only owns the last module tree under lib/modules/ -- removing it leaves "
       "no bootable kernel, or -f to override\n",
       ""},
      {{"-f", "dir_only"}, 0, "", ""},
  };
  for (const Step& s : steps) {
    RunResult r = zarnout(s.args);
    EXPECT_EQ(s.status, r.status) << testing::PrintToString(s.args);
    EXPECT_EQ(s.err, r.err) << testing::PrintToString(s.args);
    if (!s.install_after.empty()) install(dir_only, s.install_after);
  }
  EXPECT_EQ("", db());
  EXPECT_FALSE(exists(root_ + "/lib"));
}

// PKG_ROOT or -r set to the empty string mean the running system, not the
// working directory.
TEST_F(LiveRoot, EmptyRootIsTheRunningSystem) {
  PackageTree a;
  a.file("usr/bin/a", "a\n");
  for (std::vector<std::string> args : {std::vector<std::string>{"-r", "", "a"}, {"a"}}) {
    install_live(a, "a");
    live_.add_file("decoy/usr/bin/a", "decoy\n");
    RunResult r = chrooted(args, "/decoy", args.size() == 1 ? std::optional<std::string>("") : std::nullopt);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_FALSE(exists(live_ / "usr/bin/a"));
    EXPECT_EQ("decoy\n", read_file(live_ / "decoy/usr/bin/a"));
    EXPECT_EQ("", db(live_.path()));
  }
}

// A real runsv supervises ROOT/etc/sv/web; it is always stopped again.
class Supervised {
 public:
  explicit Supervised(const std::string& dir) : dir_(dir) {
    pid_ = fork();
    if (pid_ == 0) {
      execlp("runsv", "runsv", dir.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Supervised() {
    if (pid_ <= 0 || exited_) return;
    kill(pid_, SIGTERM);  // runsv stops the service, then itself
    waitpid(pid_, nullptr, 0);
  }
  Supervised(const Supervised&) = delete;
  Supervised& operator=(const Supervised&) = delete;
  // Waits up to seconds for the status file to begin with text.
  bool wait_for_stat(const std::string& text, int seconds) const {
    for (int i = 0; i < seconds * 20; i++) {
      if (read_file(dir_ + "/supervise/stat").rfind(text, 0) == 0) return true;
      usleep(50000);
    }
    return false;
  }
  // Waits up to seconds for runsv to exit by itself.
  bool wait_exit(int seconds) {
    for (int i = 0; i < seconds * 20 && pid_ > 0; i++) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return exited_ = true;
      usleep(50000);
    }
    return false;
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  bool exited_ = false;
};

TEST_F(Remove, ServicesUnderRunsv) {
  if (ChrootRoot::find_program("runsv").empty()) GTEST_SKIP() << "runit is not installed";
  ChrootRoot root;
  if (!root.add_programs({"sv", "/bin/sh"})) GTEST_SKIP() << "cannot copy sv and sh";
  // sv logs whether the link is still there, then does its work (under its
  // own name: called otherwise, it acts as an init script).
  root.add_dir("opt/real");
  sh("mv " + shell_quote(root / "usr/bin/sv") + " " + shell_quote(root / "opt/real/sv"));
  root.add_file("usr/bin/sv",
                "#!/bin/sh\n"
                "if [ -L /service/web ]; then echo link-present; else echo link-gone; fi >> /sv.log\n"
                "exec /opt/real/sv \"$@\"\n",
                0755);
  PackageTree d;
  d.file("etc/sv/web/run", "#!/bin/sh\nexec sleep 1000\n", 0755)
      .file("etc/sv/idle/run", "#!/bin/sh\nexec sleep 1000\n", 0755)
      .file("var/lib/pkg/meta/daemon", "service web\nservice idle\nservice ../escape\n");
  install_in(root.path(), d, "daemon");
  ASSERT_TRUE(is_symlink(root / "service/web"));  // zarnin's
  ASSERT_TRUE(is_symlink(root / "service/idle"));
  mkdir_p(root / "etc/sv/idle/supervise");  // a supervisor ran here once
  write_file(outer_ / "escape", "outside\n");

  Supervised web(root / "etc/sv/web");
  ASSERT_TRUE(web.wait_for_stat("run", 10)) << "runsv did not start the service";
  RunResult r = zarnout_in(root.path(), {"daemon"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("link-gone\n", read_file(root / "sv.log"));
  EXPECT_TRUE(web.wait_exit(10)) << "runsv is still running";
  EXPECT_THAT(r.out, HasSubstr("sorn: removed service directory " + root.path() + "/etc/sv/idle\n"));
  // The package records var/lib/pkg/, which holds the database.
  EXPECT_EQ("trigger: sv exit /etc/sv/web\n"
            "sorn: warning: unsafe service name: ../escape\n"
            "zarnout: notice: keeping non-empty: var/lib/pkg/\n"
            "zarnout: notice: keeping non-empty: var/lib/\n"
            "zarnout: notice: keeping non-empty: var/\n"
            "zarnout: notice: keeping non-empty: etc/sv/web/\n"
            "zarnout: notice: keeping non-empty: etc/sv/idle/\n"
            "zarnout: notice: keeping non-empty: etc/sv/\n"
            "zarnout: notice: keeping non-empty: etc/\n"
            "sorn: warning: unsafe service name: ../escape\n",
            r.err);
  EXPECT_TRUE(exists(outer_ / "escape"));
  EXPECT_FALSE(exists(root / "service/web"));
  EXPECT_FALSE(exists(root / "service/idle"));
  EXPECT_FALSE(exists(root / "etc/sv/web/run"));
  // runsv's state goes with the directory once runsv has let go of it, which
  // on a busy machine may take longer than the removal waits.
  if (exists(root / "etc/sv/web")) {
    EXPECT_EQ(std::vector<std::string>{"supervise"}, entries_of(root / "etc/sv/web"));
  } else {
    EXPECT_THAT(r.out, HasSubstr("sorn: removed service directory " + root.path() + "/etc/sv/web\n"));
  }
  EXPECT_FALSE(exists(root / "etc/sv/idle"));
  EXPECT_EQ("", db(root.path()));
}

TEST_F(Remove, AccountsWithUserdelAndGroupdel) {
  ChrootRoot root;
  if (!root.add_programs({"groupadd", "useradd", "userdel", "groupdel", "getent", "install"}))
    GTEST_SKIP() << "the account tools are not installed";
  root.add_accounts();
  PackageTree svc, other;
  svc.file("usr/bin/svc", "svc\n")
      .file("var/lib/pkg/meta/svc",
            "group svcgrp:user:svcuser:/var/lib/svc:0750\ngroup shared\n"
            "group sharedgrp:user:shareduser:/var/empty:0755\ngroup wheel:user:wheeluser:/var/empty:0755\n");
  other.file("usr/bin/other", "other\n").file("var/lib/pkg/meta/other", "group shared\ngroup sharedgrp\n");
  install_in(root.path(), svc, "svc");
  install_in(root.path(), other, "other");
  auto names = [&](const std::string& file) {
    std::string out;
    std::istringstream lines(read_file(root / file));
    std::string line;
    while (std::getline(lines, line)) out += line.substr(0, line.find(':')) + " ";
    return out;
  };
  // zarnin has created them.
  ASSERT_EQ("root wheel svcgrp shared sharedgrp ", names("etc/group"));
  ASSERT_EQ("root svcuser shareduser wheeluser ", names("etc/passwd"));

  RunResult r = zarnout_in(root.path(), {"svc"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  // svcgrp and svcuser go; wheel stays (reserved), its user goes; shared
  // and sharedgrp with its user stay, declared by other.
  EXPECT_EQ("root wheel shared sharedgrp ", names("etc/group"));
  EXPECT_EQ("root shareduser ", names("etc/passwd"));
  EXPECT_TRUE(exists(root / "var/lib/svc"));  // the home stays
}

}  // namespace
