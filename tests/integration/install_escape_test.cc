// zarnin writes nothing outside the root through the root's own symbolic
// links: a member below a link that resolves outside the root, or a hard
// link whose target lies through one, is refused before anything is written.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/support.h"

using namespace sorn_test;
using testing::HasSubstr;

namespace {

class EscapeInstall : public testing::Test {
 protected:
  TempDir top_, work_;
  std::string root_ = top_ / "root";
  std::string outside_ = top_ / "outside";

  void SetUp() override {
    mkdir_p(root_ + "/usr/lib");
    write_file(outside_ + "/file", "outside\n");
    // Links an earlier package or the administrator left in the root.
    PackageTree links;
    links.symlink("abs", outside_).symlink("rel", "../outside").symlink("lib", "usr/lib");
    RunResult r = zarnin(links.pack(work_.path(), "links#1-1.pkg.tar.none"));
    ASSERT_EQ(0, r.status) << r.err;
  }

  RunResult zarnin(const std::string& package) const {
    RunOptions opts;
    opts.env.emplace("PKG_DBDIR", root_ + "/var/lib/pkg");
    opts.env.emplace("TMPDIR", work_.path());
    opts.env.emplace("PKG_ROOT", std::nullopt);
    return run({ZARNIN_BIN, "-r", root_, "-f", package}, opts);
  }

  // Names, modes, link counts and contents of the tree beside the root.
  std::string outside_state() const {
    struct stat st;
    stat((outside_ + "/file").c_str(), &st);
    return std::to_string(st.st_nlink) + " " + std::to_string(st.st_mode) + " " +
           read_file(outside_ + "/file") + "|" + testing::PrintToString(entries_of(outside_));
  }
};

TEST_F(EscapeInstall, NothingLandsOutsideTheRoot) {
  struct Case {
    std::string member;  // written through one of the links
    bool refused;
  } cases[] = {
      {"abs/x", true}, {"rel/x", true}, {"abs/", true}, {"rel/sub/x", true},
      {"lib/x", false},  // a link that stays inside the root is followed
  };
  std::string before = outside_state();
  for (const Case& c : cases) {
    PackageTree t;
    if (c.member.ends_with("/"))
      t.dir(c.member);
    else
      t.file(c.member, "x\n");
    std::string db = read_file(root_ + "/var/lib/pkg/db");
    RunResult r = zarnin(t.pack(work_.path(), "p#1-1.pkg.tar.none"));
    if (c.refused) {
      EXPECT_EQ(1, r.status) << c.member;
      // The package's first member below the link, its directory included.
      EXPECT_THAT(r.err, HasSubstr("unsafe path in package: " + c.member.substr(0, 4)))
          << c.member;
      EXPECT_EQ(db, read_file(root_ + "/var/lib/pkg/db")) << c.member;
    } else {
      EXPECT_EQ(0, r.status) << c.member << r.err;
      EXPECT_EQ("x\n", read_file(root_ + "/usr/lib/x"));
    }
    EXPECT_EQ(before, outside_state()) << c.member;
  }
}

TEST_F(EscapeInstall, HardLinkOutOfThePackageIsRefused) {
  // "h" is archived as a hard link to "abs/file": through the root's link,
  // that is the file outside. Also under a directory's name "h/", and with
  // a member after it that would fail the extraction ("f/x" below the
  // regular file "f"). Every run is forced.
  struct Case {
    std::string name_transform;  // of the member "h"
    std::string tail;            // members after it
    int status;
    std::string err;
  } cases[] = {
      {"s,^h$,h,", "", 1, "unsafe path in package: "},
      {"s,^h$,h/,", "", 1, "unsafe path in package: "},
      {"s,^h$,h,", "f/x", 1, "unsafe path in package: "},
  };
  for (const Case& c : cases) {
    PackageTree t;
    t.file("f", "f\n").hardlink("h", "f");
    if (!c.tail.empty()) t.file("t/x", "x\n");
    std::string package = work_ / "hl#1-1.pkg.tar.none";
    sh("cd " + shell_quote(t.path()) +
       " && tar --owner=root --group=root --transform='s,^f$,abs/file,hRS' --transform=" +
       shell_quote(c.name_transform + "rSH") + " --transform='s,^t/x$,f/x,rSH' -cf " +
       shell_quote(package) + " f h" + (c.tail.empty() ? "" : " t/x"));
    std::string before = outside_state();
    std::string db = read_file(root_ + "/var/lib/pkg/db");
    RunResult r = zarnin(package);
    EXPECT_EQ(c.status, r.status) << c.name_transform << r.err;
    EXPECT_THAT(r.err, HasSubstr(c.err)) << c.name_transform;
    EXPECT_FALSE(exists(root_ + "/h")) << c.name_transform;
    EXPECT_EQ(before, outside_state()) << c.name_transform;
    EXPECT_EQ(db, read_file(root_ + "/var/lib/pkg/db")) << c.name_transform;
  }
}

}  // namespace
