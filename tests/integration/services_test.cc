// The service operations on a scratch root: names from crafted metadata,
// and the removal of service directories that a real runsv supervised.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integrate/integrate.h"
#include "support/chroot_root.h"
#include "support/runsv.h"
#include "support/support.h"

using sorn_test::ChrootRoot;
using sorn_test::entries_of;
using sorn_test::exists;
using sorn_test::is_symlink;
using sorn_test::mkdir_p;
using sorn_test::read_file;
using sorn_test::Runsv;
using sorn_test::ScopedEnv;
using sorn_test::TempDir;
using sorn_test::write_file;

namespace {

std::string link_text(const std::string& path) {
  char buf[kPathBuf];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

template <class F>
std::string stderr_of(F f) {
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

template <class F>
std::string stdout_of(F f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

PackageMetaPtr meta_with_services(const std::vector<std::string>& services) {
  PackageMetaPtr meta(meta_new());
  for (const auto& s : services) strlist_add(meta->services, s.c_str());
  return meta;
}

// A crafted metadata file whose service names lead out of "service/" and
// "etc/sv/": every operation skips them with a warning.
TEST(Services, UnsafeNamesAreSkipped) {
  TempDir root;
  std::string r = root.path();
  mkdir_p(root / "lib");
  sorn_test::sh("ln -s ld-real " + sorn_test::shell_quote(root / "lib/ld-musl-x86_64.so.1"));
  mkdir_p(root / "etc/sv/good");
  mkdir_p(root / "keep/supervise");
  write_file(root / "var/lib/pkg/meta/bad",
             "service ../lib/ld-musl-x86_64.so.1\nservice ..\nservice .\n"
             "service ../keep\nservice good\n");
  PackageMetaPtr meta(meta_read((root / "var/lib/pkg/meta/bad").c_str()));
  strlist_add(meta->services, "");
  const std::string warnings =
      "sorn: warning: unsafe service name: ../lib/ld-musl-x86_64.so.1\n"
      "sorn: warning: unsafe service name: ..\n"
      "sorn: warning: unsafe service name: .\n"
      "sorn: warning: unsafe service name: ../keep\n"
      "sorn: warning: unsafe service name: \n";

  EXPECT_EQ(warnings, stderr_of([&] { services_link(meta.get(), r.c_str()); }));
  EXPECT_EQ(std::vector<std::string>{"good"}, entries_of(root / "service"));
  EXPECT_EQ("/etc/sv/good", link_text(root / "service/good"));

  EXPECT_EQ(warnings, stderr_of([&] { services_stop(meta.get(), r.c_str()); }));
  EXPECT_TRUE(is_symlink(root / "lib/ld-musl-x86_64.so.1"));
  EXPECT_FALSE(exists(root / "service/good"));

  std::string err;
  EXPECT_EQ("sorn: removed service directory " + r + "/etc/sv/good\n", stdout_of([&] {
              err = stderr_of([&] { services_remove_dirs(meta.get(), r.c_str()); });
            }));
  EXPECT_EQ(warnings, err);
  EXPECT_TRUE(exists(root / "keep/supervise"));
  write_file(root / "etc/sv/supervise/stat", "run\n");
  EXPECT_FALSE(service_running(r.c_str(), ""));
  EXPECT_FALSE(service_running(r.c_str(), "."));
  // A FIFO for a status file reads as not running instead of blocking.
  mkdir_p(root / "etc/sv/fifo/supervise");
  ASSERT_EQ(0, mkfifo((root / "etc/sv/fifo/supervise/stat").c_str(), 0600));
  EXPECT_FALSE(service_running(r.c_str(), "fifo"));
}

// Real runsv supervisors, each on a service directory of the root. Their
// state files stay behind when they exit; the removal clears them only for
// a service that is not running and whose supervisor is gone.
TEST(Services, RemovedDirectoriesLeaveNoRunitState) {
  if (ChrootRoot::find_program("runsv").empty()) GTEST_SKIP() << "no runit (runsv, sv)";
  ScopedEnv path("PATH", "/usr/sbin:/usr/bin:/sbin:/bin");
  ChrootRoot root;
  ASSERT_TRUE(root.add_program("sv"));
  const std::string r = root.path();
  const std::string script = "#!/bin/sh\nexec sleep 600\n";
  const std::vector<std::string> names = {"plain", "logged", "foreign", "linked", "busy", "down"};
  for (const auto& n : names) root.add_file("etc/sv/" + n + "/run", script, 0755);
  root.add_file("etc/sv/logged/log/run", "#!/bin/sh\nexec cat > /dev/null\n", 0755);
  // Where runit keeps state under /run; relative, so that it resolves on
  // the host and inside the root.
  mkdir_p(root / "run/runit/supervise.linked");
  ASSERT_EQ(0, symlink("../../../run/runit/supervise.linked",
                       (root / "etc/sv/linked/supervise").c_str()));

  std::vector<std::unique_ptr<Runsv>> supervisors;
  for (const auto& n : names) {
    supervisors.push_back(std::make_unique<Runsv>(root / ("etc/sv/" + n)));
    ASSERT_TRUE(supervisors.back()->ok()) << n << ": runsv did not start the service";
  }
  ASSERT_EQ(0, sorn_test::run({"sv", "down", root / "etc/sv/down"}).status);

  PackageMetaPtr stopped = meta_with_services({"plain", "logged", "foreign", "linked"});
  EXPECT_EQ("trigger: sv exit /etc/sv/plain\ntrigger: sv exit /etc/sv/logged\n"
            "trigger: sv exit /etc/sv/foreign\ntrigger: sv exit /etc/sv/linked\n",
            stderr_of([&] { services_stop(stopped.get(), r.c_str()); }));
  // What the package's file removal leaves.
  for (const auto& n : names) unlink((root / ("etc/sv/" + n + "/run")).c_str());
  unlink((root / "etc/sv/logged/log/run").c_str());
  write_file(root / "etc/sv/foreign/extra", "mine\n");

  PackageMetaPtr all = meta_with_services(names);
  EXPECT_EQ("sorn: removed service directory " + r + "/etc/sv/plain\n"
            "sorn: removed service directory " + r + "/etc/sv/logged\n"
            "sorn: removed service directory " + r + "/etc/sv/linked\n",
            stdout_of([&] { services_remove_dirs(all.get(), r.c_str()); }));
  EXPECT_EQ(std::vector<std::string>{"extra"}, entries_of(root / "etc/sv/foreign"));
  // The link went, what it pointed to stays.
  EXPECT_TRUE(exists(root / "run/runit/supervise.linked/stat"));
  // A running service and a live supervisor keep their state.
  const std::vector<std::string> state = {"control", "lock", "ok", "pid", "stat", "status"};
  for (const char* kept : {"busy", "down"}) {
    std::vector<std::string> files = entries_of(root / ("etc/sv/" + std::string(kept) + "/supervise"));
    std::sort(files.begin(), files.end());
    EXPECT_EQ(state, files) << kept;
  }
  EXPECT_EQ("run", read_file(root / "etc/sv/busy/supervise/stat").substr(0, 3));
}

}  // namespace
