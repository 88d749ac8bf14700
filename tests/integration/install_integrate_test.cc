// zarnin integrating what a package declares, end to end in chroot roots:
// accounts with the real shadow tools, owners, modes and capabilities with
// the host's setcap, services under a real runsv, triggers with recorder
// programs and the library cache with the host's ldconfig.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/chroot_root.h"
#include "support/runsv.h"
#include "support/support.h"

using sorn_test::ChrootRoot;
using sorn_test::exists;
using sorn_test::file_mode;
using sorn_test::PackageTree;
using sorn_test::read_file;
using sorn_test::run;
using sorn_test::RunOptions;
using sorn_test::RunResult;
using sorn_test::Runsv;
using sorn_test::ScopedEnv;
using sorn_test::sh;
using sorn_test::shell_quote;
using sorn_test::TempDir;
using sorn_test::write_file;
using testing::HasSubstr;
using testing::Not;

namespace {

const std::vector<std::string> kAccountTools = {"groupadd", "useradd", "userdel",
                                                "groupdel", "getent",  "install"};

std::string link_text(const std::string& path) {
  char buf[kPathBuf];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

// The line of an account file that begins with name and ":".
std::string account_line(const std::string& file, const std::string& name) {
  std::istringstream lines(read_file(file));
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind(name + ":", 0) == 0) return line;
  return "";
}

std::string getcap(const std::string& path) { return run({"getcap", path}).out; }

bool have(const char* tool) { return !ChrootRoot::find_program(tool).empty(); }

// Logs "name arg..." to /trigger.log of the root.
constexpr const char kRecorder[] =
    "#!/bin/sh\n"
    "{ printf '%s' \"${0##*/}\"; for a in \"$@\"; do printf ' %s' \"$a\"; done; echo; }"
    " >> /trigger.log\n";

class Integrate : public testing::Test {
 protected:
  RunResult zarnin(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{ZARNIN_BIN, "-r", root_.path()};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions opts;
    opts.env.emplace("PKG_DBDIR", root_ / "var/lib/pkg");
    opts.env.emplace("TMPDIR", tmp_.path());
    opts.env.emplace("PKG_ROOT", std::nullopt);
    opts.env.emplace("TAR_OPTIONS", std::nullopt);
    return run(argv, opts);
  }
  // A package with the metadata file of name; meta empty for none.
  std::string pack(PackageTree& tree, const std::string& file, const std::string& meta = "") {
    if (!meta.empty()) tree.file("var/lib/pkg/meta/" + file.substr(0, file.find('#')), meta);
    return tree.pack(work_.path(), file);
  }
  void add_recorders(const std::vector<std::string>& programs) {
    ASSERT_TRUE(root_.add_program("/bin/sh"));
    for (const auto& p : programs) root_.add_file("usr/bin/" + p, kRecorder, 0755);
  }

  ScopedEnv path_{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"};
  ChrootRoot root_;
  TempDir work_, tmp_;
};

TEST_F(Integrate, AccountsOwnerModeAndCapability) {
  if (!root_.add_programs(kAccountTools)) GTEST_SKIP() << "no account tools (passwd)";
  if (!have("setcap") || !have("getcap")) GTEST_SKIP() << "no setcap (libcap2-bin)";
  root_.add_accounts();
  PackageTree t;
  t.file("usr/bin/pingy", "#!/bin/true\n", 0755);
  std::string pkg = pack(t, "pingy#1-1.pkg.tar.gz",
                         "group pgrp:4100\n"
                         "group pgrp:user:puser:/home/puser:0750:4200:4100\n"
                         "permission usr/bin/pingy:puser:pgrp:4755\n"
                         "capability usr/bin/pingy:cap_net_raw+ep\n");
  RunResult r = zarnin({pkg});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("pgrp:x:4100:", account_line(root_ / "etc/group", "pgrp"));
  EXPECT_EQ("puser:x:4200:4100::/home/puser:/bin/false",
            account_line(root_ / "etc/passwd", "puser"));
  struct stat st;
  ASSERT_EQ(0, lstat((root_ / "home/puser").c_str(), &st));
  EXPECT_EQ(4200u, st.st_uid);
  EXPECT_EQ(0750u, st.st_mode & 07777);
  std::string pingy = root_ / "usr/bin/pingy";
  ASSERT_EQ(0, lstat(pingy.c_str(), &st));
  EXPECT_EQ(4200u, st.st_uid);
  EXPECT_EQ(4100u, st.st_gid);
  EXPECT_EQ(04755u, st.st_mode & 07777);
  EXPECT_EQ(pingy + " cap_net_raw=ep\n", getcap(pingy));
}

// In the running system (zarnin chrooted, root "/"), a member owned by a
// name that only the package's own declaration creates gets that account,
// not the number its header carries, and keeps its set-user-ID bit.
TEST_F(Integrate, MembersOwnedByDeclaredAccountsInTheRunningSystem) {
  if (!root_.add_programs(kAccountTools) || !root_.add_programs({ZARNIN_BIN, "env", "tar", "gzip", "sh"}))
    GTEST_SKIP() << "cannot copy the programs into a root";
  root_.add_accounts();
  root_.add_dir("proc");
  sh("mkdir -p " + shell_quote(work_ / "t/usr/bin") + " " + shell_quote(work_ / "t/var/lib/pkg/meta") +
     " && cd " + shell_quote(work_ / "t") + " && echo x > usr/bin/tool && chmod 4750 usr/bin/tool" +
     " && printf 'group pgrp:4100\\ngroup pgrp:user:puser:/home/puser:0750:4200:4100\\n'" +
     " > var/lib/pkg/meta/owned && tar --owner=puser:4300 --group=pgrp:4300 -czf " +
     shell_quote(root_ / "owned#1-1.pkg.tar.gz") + " usr var");
  RunResult r = run({"unshare", "-m", "sh", "-c",
                     "mount --bind /proc \"$0/proc\" && exec chroot \"$0\" /usr/bin/env " ZARNIN_BIN
                     " /owned#1-1.pkg.tar.gz",
                     root_.path()});
  ASSERT_EQ(0, r.status) << r.err;
  struct stat st;
  ASSERT_EQ(0, lstat((root_ / "usr/bin/tool").c_str(), &st));
  EXPECT_EQ(4200u, st.st_uid);
  EXPECT_EQ(4100u, st.st_gid);
  EXPECT_EQ(04750u, st.st_mode & 07777);
}

// The accounts are made before the extraction and stay when it fails; then
// nothing after it runs: no trigger, link, owner or capability.
TEST_F(Integrate, FailedExtractionKeepsOnlyTheAccounts) {
  if (!root_.add_programs(kAccountTools)) GTEST_SKIP() << "no account tools (passwd)";
  root_.add_accounts();
  add_recorders({"fc-cache"});
  root_.add_file("sbin/ldconfig", "", 0755);
  root_.add_file("srv/x/data/keep", "y\n");  // tar cannot put a file there
  PackageTree t;
  t.file("srv/x/data", "x\n")
      .file("usr/bin/tool", "t\n", 0755)
      .file("usr/share/fonts/f.ttf", "f\n")
      .file("etc/sv/fsvc/run", "#!/bin/sh\n", 0755);
  std::string pkg = pack(t, "fail#1-1.pkg.tar.gz",
                         "group fgrp\n"
                         "service fsvc\n"
                         "permission usr/bin/tool:0:fgrp:4711\n"
                         "capability usr/bin/tool:cap_net_raw+ep\n");
  // A refusal comes before the accounts.
  RunResult r = zarnin({"-u", pkg});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", account_line(root_ / "etc/group", "fgrp"));

  r = zarnin({pkg});
  EXPECT_EQ(1, r.status);
  EXPECT_THAT(r.err, HasSubstr("zarnin: error: extraction failed: " + pkg + "\n"));
  EXPECT_THAT(r.err, Not(HasSubstr("trigger:")));
  EXPECT_NE("", account_line(root_ / "etc/group", "fgrp"));
  EXPECT_FALSE(exists(root_ / "service"));
  EXPECT_FALSE(exists(root_ / "trigger.log"));
  EXPECT_FALSE(exists(root_ / "etc/ld.so.cache"));
  EXPECT_THAT(r.err, HasSubstr("tar: srv/x/data: Cannot open: File exists\n"));
  EXPECT_FALSE(exists(root_ / "usr/bin/tool"));  // nothing of the package
  EXPECT_EQ("y\n", read_file(root_ / "srv/x/data/keep"));
}

// The changed paths: dropped paths first, sorted, then the members, sorted
// when a version was installed before and in listing order otherwise.
TEST_F(Integrate, TriggersSeeDroppedPathsThenMembers) {
  add_recorders({"depmod", "fc-cache"});
  root_.add_file("lib/modules/9.9/local.ko", "l\n");  // keeps 9.9/ after the upgrade
  root_.add_dir("etc");
  root_.add_file("sbin/ldconfig", "", 0755);
  PackageTree v1;
  v1.file("lib/modules/b/x.ko", "x\n").file("lib/modules/a/y.ko", "y\n");
  v1.file("lib/modules/9.9/old.ko", "o\n").file("usr/share/fonts/f.ttf", "f\n");
  // Listing order: b before a.
  std::string pkg1 = work_ / "kmod#1-1.pkg.tar.gz";
  sh("cd " + shell_quote(v1.path()) + " && tar --owner=root --group=root --no-recursion -cf -" +
     " lib lib/modules lib/modules/b lib/modules/b/x.ko lib/modules/a lib/modules/a/y.ko"
     " lib/modules/9.9 lib/modules/9.9/old.ko usr usr/share usr/share/fonts"
     " usr/share/fonts/f.ttf | gzip -c > " + shell_quote(pkg1));

  RunResult r = zarnin({pkg1});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("trigger: depmod -a b\ntrigger: depmod -a a\ntrigger: depmod -a 9.9\n"
            "trigger: fc-cache -s\n",
            r.err);
  EXPECT_TRUE(exists(root_ / "etc/ld.so.cache") || !exists("/sbin/ldconfig"));

  r = zarnin({"-f", pkg1});  // installed before: sorted
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("trigger: depmod -a 9.9\ntrigger: depmod -a a\ntrigger: depmod -a b\n"
            "trigger: fc-cache -s\n",
            r.err);

  // 9.9/old.ko and the fonts are dropped: they come first, and fc-cache
  // runs for them alone.
  PackageTree v2;
  v2.file("lib/modules/b/x.ko", "x\n").file("lib/modules/a/y.ko", "y\n");
  r = zarnin({"-u", pack(v2, "kmod#2-1.pkg.tar.gz")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("trigger: depmod -a 9.9\ntrigger: depmod -a a\ntrigger: depmod -a b\n"
            "trigger: fc-cache -s\n",
            r.err);
  EXPECT_FALSE(exists(root_ / "usr/share/fonts"));

  // A failed save still integrates, and exits 1.
  sorn_test::mkdir_p(root_ / "var/lib/pkg/db.tmp");
  PackageTree fonts;
  fonts.file("usr/share/fonts/g.ttf", "g\n").file("etc/sv/fsv/run", "#!/bin/sh\n", 0755);
  r = zarnin({pack(fonts, "fonts#1-1.pkg.tar.gz", "service fsv\n")});
  EXPECT_EQ(1, r.status);
  EXPECT_THAT(r.err, HasSubstr("installed but untracked\ntrigger: fc-cache -s\n"));
  EXPECT_EQ("/etc/sv/fsv", link_text(root_ / "service/fsv"));
}

// A real runsv supervises the root's service: installs and forced
// reinstalls leave it alone, an upgrade restarts it with the root's sv.
TEST_F(Integrate, UpgradeRestartsARunningService) {
  if (!have("runsv") || !root_.add_program("sv")) GTEST_SKIP() << "no runit (runsv, sv)";
  const std::string run_script = "#!/bin/sh\nexec sleep 600\n";
  root_.add_file("etc/sv/web/run", run_script, 0755);
  Runsv runsv(root_ / "etc/sv/web");
  ASSERT_TRUE(runsv.ok()) << "runsv did not start the service";
  std::string pid = runsv.service_pid();

  auto web = [&](const std::string& version) {
    PackageTree t;
    t.file("etc/sv/web/run", run_script, 0755).file("usr/bin/web", version + "\n");
    return pack(t, "web#" + version + ".pkg.tar.gz", "service web\n");
  };
  RunResult r = zarnin({web("1-1")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("/etc/sv/web", link_text(root_ / "service/web"));
  EXPECT_EQ(0755u, file_mode(root_ / "service"));
  EXPECT_EQ(pid, runsv.service_pid());

  // An existing link stays, wherever it points.
  unlink((root_ / "service/web").c_str());
  ASSERT_EQ(0, symlink("/elsewhere", (root_ / "service/web").c_str()));
  r = zarnin({"-f", web("1-1")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("/elsewhere", link_text(root_ / "service/web"));
  EXPECT_EQ(pid, runsv.service_pid());

  r = zarnin({"-u", web("2-1")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("trigger: sv restart /etc/sv/web\n", r.err);
  std::string restarted = runsv.wait_for_new_pid(pid);
  EXPECT_NE("", restarted);
  EXPECT_NE(pid, restarted);
}

}  // namespace
