// zarnout removing packages whose services a real runsv supervised: the
// service directories go with runit's state, unless something else is left
// in them or the service still runs.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/chroot_root.h"
#include "support/runsv.h"
#include "support/support.h"

using sorn_test::ChrootRoot;
using sorn_test::entries_of;
using sorn_test::exists;
using sorn_test::mkdir_p;
using sorn_test::PackageTree;
using sorn_test::read_file;
using sorn_test::run;
using sorn_test::RunOptions;
using sorn_test::RunResult;
using sorn_test::Runsv;
using sorn_test::TempDir;
using sorn_test::write_file;
using testing::HasSubstr;
using testing::Not;

namespace {

// A service that stops as daemons do, a moment after TERM (when its
// current sleep ends), so that it still runs while zarnout goes on.
const std::string kScript = "#!/bin/sh\ntrap 'exit 0' TERM\nwhile :; do sleep 1; done\n";

class RemoveServices : public testing::Test {
 protected:
  void SetUp() override {
    if (ChrootRoot::find_program("runsv").empty()) GTEST_SKIP() << "no runit (runsv, sv)";
  }
  RunResult program(const char* bin, const ChrootRoot& root, const std::string& arg) const {
    RunOptions opts;
    opts.env.emplace("PKG_DBDIR", root / "var/lib/pkg");
    opts.env.emplace("TMPDIR", tmp_.path());
    opts.env.emplace("PKG_ROOT", std::nullopt);
    opts.env.emplace("TAR_OPTIONS", std::nullopt);
    opts.env.emplace("PATH", "/usr/sbin:/usr/bin:/sbin:/bin");
    return run({bin, "-r", root.path(), arg}, opts);
  }
  // Installs a package of the given services (each with a run script) and
  // starts a runsv on each.
  void install(const ChrootRoot& root, const std::string& name, const std::vector<std::string>& services,
               PackageTree& t) {
    std::string meta;
    for (const auto& s : services) {
      t.file("etc/sv/" + s + "/run", kScript, 0755);
      meta += "service " + s + "\n";
    }
    t.file("var/lib/pkg/meta/" + name, meta);
    RunResult r = program(ZARNIN_BIN, root, t.pack(work_.path(), name + "#1-1.pkg.tar.gz"));
    ASSERT_EQ(0, r.status) << r.err;
    for (const auto& s : services) {
      supervisors_.push_back(std::make_unique<Runsv>(root / ("etc/sv/" + s)));
      ASSERT_TRUE(supervisors_.back()->ok()) << s << ": runsv did not start the service";
    }
  }

  ChrootRoot root_;
  TempDir work_, tmp_;
  std::vector<std::unique_ptr<Runsv>> supervisors_;  // stopped before the root goes
};

// After zarnout, runit's state no longer keeps the emptied service
// directories of services that were running and were told to exit: a plain
// service, one with a log service and one whose supervise is a link go,
// with the note, once their runsv has gone; a foreign file keeps its
// directory, with no note.
TEST_F(RemoveServices, EmptiedDirectoriesGoWithTheirState) {
  ASSERT_TRUE(root_.add_program("sv"));
  PackageTree t;
  t.file("etc/sv/logged/log/run", "#!/bin/sh\nexec cat > /dev/null\n", 0755);
  // runit's state under /run; relative, so that it resolves on the host
  // and inside the root.
  mkdir_p(root_ / "run/runit/supervise.linked");
  mkdir_p(root_ / "etc/sv/linked");
  ASSERT_EQ(0, symlink("../../../run/runit/supervise.linked",
                       (root_ / "etc/sv/linked/supervise").c_str()));
  install(root_, "daemon", {"plain", "logged", "foreign", "linked"}, t);
  write_file(root_ / "etc/sv/foreign/extra", "mine\n");

  RunResult r = program(ZARNOUT_BIN, root_, "daemon");
  ASSERT_EQ(0, r.status) << r.err;
  const std::string r0 = root_.path();
  for (const char* told : {"plain", "logged", "foreign", "linked"})
    EXPECT_THAT(r.err, HasSubstr("trigger: sv exit /etc/sv/" + std::string(told) + "\n"));
  for (const char* gone : {"plain", "logged", "linked"}) {
    EXPECT_THAT(r.out, HasSubstr("sorn: removed service directory " + r0 + "/etc/sv/" + gone + "\n"));
    EXPECT_FALSE(exists(root_ / ("etc/sv/" + std::string(gone)))) << gone;
  }
  EXPECT_THAT(r.out, Not(HasSubstr("/etc/sv/foreign\n")));
  EXPECT_EQ(std::vector<std::string>{"extra"}, entries_of(root_ / "etc/sv/foreign"));
  EXPECT_TRUE(exists(root_ / "run/runit/supervise.linked/stat"));
}

// A service that keeps running (the root has no sv to stop it), and one
// that is down under a runsv that is still alive (not told to exit, so not
// waited for), keep their state files and so their directories.
TEST_F(RemoveServices, LiveServicesKeepTheirState) {
  PackageTree t;
  install(root_, "busy", {"busy", "down"}, t);
  ASSERT_EQ(0, run({"sv", "-w", "5", "-v", "down", root_ / "etc/sv/down"}).status);
  RunResult r = program(ZARNOUT_BIN, root_, "busy");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_THAT(r.err, HasSubstr("trigger: sv exit /etc/sv/busy\n"));
  EXPECT_THAT(r.err, Not(HasSubstr("/etc/sv/down")));
  EXPECT_THAT(r.out, Not(HasSubstr("removed service directory")));
  for (const char* kept : {"busy", "down"}) {
    std::vector<std::string> files = entries_of(root_ / ("etc/sv/" + std::string(kept) + "/supervise"));
    std::sort(files.begin(), files.end());
    EXPECT_EQ((std::vector<std::string>{"control", "lock", "ok", "pid", "stat", "status"}), files)
        << kept;
  }
  EXPECT_EQ("run", read_file(root_ / "etc/sv/busy/supervise/stat").substr(0, 3));
}

}  // namespace
