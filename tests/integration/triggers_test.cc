// Triggers run for real inside a chroot root whose trigger programs are
// recorders (each logs its argument vector), the library cache with the
// host's own ldconfig.
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integrate/integrate.h"
#include "support/chroot_root.h"
#include "support/support.h"

using sorn_test::ChrootRoot;
using sorn_test::exists;
using sorn_test::list_of;
using sorn_test::mkdir_p;
using sorn_test::read_file;
using sorn_test::ScopedEnv;
using sorn_test::TempDir;
using sorn_test::write_file;

namespace {

// Logs "name arg..." to /trigger.log of the root, then behaves as told.
std::string recorder(const std::string& then = "") {
  return "#!/bin/sh\n"
         "{ printf '%s' \"${0##*/}\"; for a in \"$@\"; do printf ' %s' \"$a\"; done; echo; }"
         " >> /trigger.log\n" + then + "\n";
}

template <class F>
std::string stderr_of(F f) {
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

class Triggers : public testing::Test {
 protected:
  void SetUp() override {
    if (!root_.add_program("/bin/sh")) GTEST_SKIP() << "no /bin/sh to copy";
    for (const TriggerRule* rule = trigger_table.data(); rule->prefix != nullptr; rule++)
      root_.add_file(std::string("usr/bin/") + rule->program, recorder(), 0755);
    root_.add_dir("lib/modules/6.1.0");
    root_.add_dir("lib/modules/6.2.0");
    root_.add_dir("lib/modules/real");
    sorn_test::sh("ln -s real " + sorn_test::shell_quote(root_ / "lib/modules/6.3.0"));
    running("web");
    root_.add_file("etc/sv/idle/supervise/stat", "down\n");
  }
  void running(const std::string& service) {
    root_.add_file("etc/sv/" + service + "/supervise/stat", "run\n");
  }
  // The "trigger:" lines and warnings on stderr, and what ran.
  std::pair<std::string, std::string> run(const std::vector<std::string>& files, bool upgrade) {
    unlink((root_ / "trigger.log").c_str());
    StringListPtr list = list_of(files);
    std::string err = stderr_of([&] { triggers_run(root_.path().c_str(), list.get(), upgrade); });
    return {err, read_file(root_ / "trigger.log")};
  }
  ScopedEnv path_{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"};
  ChrootRoot root_;
};

TEST_F(Triggers, EveryRowWithItsArgumentVector) {
  auto [err, log] = run({"etc/sv/web/run", "usr/share/applications/a.desktop",
                         "lib/modules/6.2.0/kernel/x.ko", "etc/sv/", "lib/modules/",
                         "usr/share/icons/hicolor/i.png", "usr/share/mime/packages/m.xml",
                         "lib/modules/6.1.0/y.ko", "lib/modules/6.2.0/z.ko",
                         "lib/modules/gone/a.ko", "lib/modules/6.3.0/b.ko",
                         "usr/lib/gdk-pixbuf-2.0/2.10.0/loaders/l.so", "etc/sv/idle/run",
                         "usr/share/glib-2.0/schemas/s.xml", "usr/share/fonts/f.ttf",
                         "etc/udev/hwdb.d/h.hwdb", "usr/lib/udev/hwdb.d/h.hwdb",
                         "usr/share/limine/x", "boot/vmlinuz", "etc/sv/web/log/run",
                         "lib/modules/" + std::string(256, 'k') + "/m.ko"},
                        true);
  // Kernel versions once each, in first-occurrence order; a missing one, a
  // link to a directory and an over-long name are no items. Limine and hwdb
  // run once, from their first rows; only the running service restarts.
  const std::vector<std::string> ran = {
      "depmod -a 6.2.0",
      "depmod -a 6.1.0",
      "limine-sync",
      "systemd-hwdb update",
      "fc-cache -s",
      "glib-compile-schemas /usr/share/glib-2.0/schemas/",
      "gdk-pixbuf-query-loaders --update-cache",
      "update-mime-database /usr/share/mime",
      "gtk-update-icon-cache -q /usr/share/icons/hicolor",
      "update-desktop-database /usr/share/applications",
      "sv restart /etc/sv/web",
  };
  std::string lines, trigger_lines;
  for (const auto& r : ran) {
    lines += r + "\n";
    trigger_lines += "trigger: " + r + "\n";
  }
  EXPECT_EQ(trigger_lines, err);
  EXPECT_EQ(lines, log);
}

TEST_F(Triggers, OnceOnlyRowsAndTheUpgradeFlag) {
  struct Case {
    std::vector<std::string> files;
    bool upgrade;
    std::string ran;
  } cases[] = {
      {{"usr/share/limine/a", "usr/share/limine/b"}, false, "limine-sync\n"},
      {{"etc/udev/hwdb.d/a"}, false, "systemd-hwdb update\n"},
      {{"etc/udev/hwdb.d/a", "usr/lib/udev/hwdb.d/b"}, false, "systemd-hwdb update\n"},
      {{"etc/sv/web/run"}, false, ""},  // a fresh install never restarts
      {{"etc/sv/web/run", "etc/sv/web/finish"}, true, "sv restart /etc/sv/web\n"},
      {{"usr/share/fonts"}, false, ""},  // not below the prefix
      {{}, true, ""},
  };
  for (const Case& c : cases) {
    auto [err, log] = run(c.files, c.upgrade);
    EXPECT_EQ(c.ran, log) << testing::PrintToString(c.files);
  }
}

TEST_F(Triggers, FailuresAreWarningsAndMissingProgramsSilent) {
  root_.add_file("usr/bin/fc-cache", recorder("exit 3"), 0755);
  root_.add_file("usr/bin/update-mime-database", recorder("kill -TERM $$"), 0755);
  unlink((root_ / "usr/bin/gtk-update-icon-cache").c_str());
  auto [err, log] = run({"usr/share/fonts/f", "usr/share/mime/m", "usr/share/icons/i",
                         "usr/share/applications/a"},
                        false);
  EXPECT_EQ("trigger: fc-cache -s\n"
            "sorn: warning: trigger fc-cache exited 3\n"
            "trigger: update-mime-database /usr/share/mime\n"
            "sorn: warning: trigger update-mime-database killed by signal " +
                std::to_string(SIGTERM) + "\n"
            "trigger: gtk-update-icon-cache -q /usr/share/icons/hicolor\n"
            "trigger: update-desktop-database /usr/share/applications\n",
            err);
  EXPECT_EQ("fc-cache -s\nupdate-mime-database /usr/share/mime\n"
            "update-desktop-database /usr/share/applications\n",
            log);
}

TEST_F(Triggers, RootThatCannotBeEnteredPrintsOnlyTheLine) {
  StringListPtr list = list_of({"usr/share/fonts/f"});
  std::string missing = root_ / "no-such-root";
  EXPECT_EQ("trigger: fc-cache -s\n",
            stderr_of([&] { triggers_run(missing.c_str(), list.get(), false); }));
}

TEST(Ldconfig, BuildsTheRootsCacheWithTheHostTool) {
  if (!exists("/sbin/ldconfig")) GTEST_SKIP() << "no /sbin/ldconfig on this system";
  TempDir root;
  std::string lib = ChrootRoot::find_program("/usr/lib/x86_64-linux-gnu/libz.so.1");
  if (lib.empty()) lib = "/lib/x86_64-linux-gnu/libz.so.1";
  if (!exists(lib)) GTEST_SKIP() << "no libz.so.1 to copy";
  write_file(root / "usr/lib/libz.so.1", read_file(lib), 0755);
  mkdir_p(root / "etc");
  run_ldconfig(root.path().c_str());
  EXPECT_FALSE(exists(root / "etc/ld.so.cache"));  // no sbin/ldconfig in the root

  write_file(root / "sbin/ldconfig", "", 0755);
  testing::internal::CaptureStdout();
  std::string err = stderr_of([&] { run_ldconfig(root.path().c_str()); });
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ("", err);
  EXPECT_NE(std::string::npos, read_file(root / "etc/ld.so.cache").find("libz.so.1"));
}

}  // namespace
