// Packages made by package_create install with the built zarnin and are
// recorded with exactly their members, whatever the compression.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "support/support.h"

using sorn_test::entries_of;
using sorn_test::file_mode;
using sorn_test::is_symlink;
using sorn_test::PackageTree;
using sorn_test::read_file;
using sorn_test::run;
using sorn_test::RunOptions;
using sorn_test::RunResult;
using sorn_test::TempDir;

namespace {

TEST(PackageRoundTrip, InstallsAndRecordsExactlyItsMembers) {
  PackageTree t;
  t.file("usr/bin/tool", "#!/bin/sh\necho tool\n", 0755)
      .file("usr/share/tool/.defaults", "")
      .file("usr/share/tool/-dash", "dash\n")
      .file("usr/share/tool/caf\xc3\xa9", "utf-8\n")
      .symlink("usr/bin/tool-alias", "tool")
      .dir("var/lib/tool")
      .file("etc/tool.conf", "a=1\n");
  const std::string record =
      "tool\n1.0-1\n"
      "etc/\netc/tool.conf\nusr/\nusr/bin/\nusr/bin/tool\nusr/bin/tool-alias\n"
      "usr/share/\nusr/share/tool/\nusr/share/tool/-dash\nusr/share/tool/.defaults\n"
      "usr/share/tool/caf\xc3\xa9\n"
      "var/\nvar/lib/\nvar/lib/tool/\n\n";
  for (const char* tag : {"gz", "zst", "xz", "bz2", "lz"}) {
    TempDir work, root, tmp;
    std::string pkg = work / (std::string("tool#1.0-1.pkg.tar.") + tag);
    testing::internal::CaptureStdout();
    int created = package_create(pkg.c_str(), t.path().c_str(), tag, nullptr, nullptr);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(0, created) << tag;

    RunOptions opts;
    opts.env.emplace("PKG_DBDIR", root / "var/lib/pkg");
    opts.env.emplace("TMPDIR", tmp.path());
    opts.env.emplace("PKG_ROOT", std::nullopt);
    opts.env.emplace("TAR_OPTIONS", std::nullopt);
    RunResult r = run({ZARNIN_BIN, "-r", root.path(), pkg}, opts);
    ASSERT_EQ(0, r.status) << tag << ": " << r.err;
    EXPECT_EQ("", r.err) << tag;
    EXPECT_EQ(record, read_file(root / "var/lib/pkg/db")) << tag;
    EXPECT_EQ("#!/bin/sh\necho tool\n", read_file(root / "usr/bin/tool")) << tag;
    EXPECT_EQ(0755, file_mode(root / "usr/bin/tool")) << tag;
    EXPECT_TRUE(is_symlink(root / "usr/bin/tool-alias")) << tag;
    EXPECT_EQ("dash\n", read_file(root / "usr/share/tool/-dash")) << tag;
    EXPECT_EQ(std::vector<std::string>{}, entries_of(root / "var/lib/tool")) << tag;
    EXPECT_EQ(std::vector<std::string>{}, entries_of(tmp.path())) << tag;
  }
}

}  // namespace
