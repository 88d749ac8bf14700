// The service operations on a scratch root with names from crafted
// metadata.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "integrate/integrate.h"
#include "support/support.h"

using sorn_test::entries_of;
using sorn_test::exists;
using sorn_test::is_symlink;
using sorn_test::mkdir_p;
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

// A supervisor that holds its lock keeps the service's state and so its
// directory, and is not waited for; one whose service was told to exit in
// this run is given the time to let go.
TEST(Services, OnlySupervisorsToldToExitAreWaitedFor) {
  TempDir root;
  std::string r = root.path();
  write_file(root / "var/lib/pkg/meta/d", "service held\n");
  PackageMetaPtr meta(meta_read((root / "var/lib/pkg/meta/d").c_str()));
  write_file(root / "etc/sv/held/supervise/stat", "down\n");
  write_file(root / "etc/sv/held/supervise/lock", "");
  UniqueFd lock(open((root / "etc/sv/held/supervise/lock").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(0, flock(lock.get(), LOCK_EX));
  EXPECT_EQ("", stdout_of([&] { services_remove_dirs(meta.get(), r.c_str()); }));
  EXPECT_EQ(2u, entries_of(root / "etc/sv/held/supervise").size());

  StringListPtr told(strlist_new());
  strlist_add(told.get(), "held");
  std::thread exiting([&lock] { usleep(100000); lock.reset(); });
  std::string out = stdout_of([&] { services_remove_dirs(meta.get(), r.c_str(), told.get()); });
  exiting.join();
  EXPECT_EQ("sorn: removed service directory " + r + "/etc/sv/held\n", out);
}

}  // namespace
