// wardrun's logic in process: the handled rights per ABI, the dependency
// lists, and the database reader adding rules to a ruleset that restricts
// nobody (only landlock_restrict_self would).
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/support.h"
#include "wardrun/wardrun.h"

using sorn_test::ScopedEnv;
using sorn_test::TempDir;
using sorn_test::write_file;

namespace {

TEST(WardrunMask, PerAbi) {
  const struct {
    int abi;
    uint64_t mask, net;  // REFER (0x2000) from ABI 2; TCP bind and connect from ABI 4
  } cases[] = {{1, 0x1fff, 0}, {2, 0x3fff, 0}, {3, 0x7fff, 0},
               {4, 0x7fff, 3}, {5, 0x7fff, 3}, {7, 0x7fff, 3}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.mask, handled_mask_for_abi(c.abi)) << "abi " << c.abi;
    EXPECT_EQ(c.net, handled_net_for_abi(c.abi)) << "abi " << c.abi;
  }
  EXPECT_EQ(0xdu, READ_EXEC);
}

// The names split_dep_list stores for one value, with the given capacity.
std::vector<std::string> split(const char* value, int capacity = kMaxDeps) {
  ScopedEnv env("SORN_TEST_DEPS", value);
  char* slots[kMaxDeps] = {};
  int n = split_dep_list("SORN_TEST_DEPS", slots, capacity);
  std::vector<std::string> out(slots, slots + n);
  for (int i = 0; i < n; i++) free(slots[i]);
  return out;
}

TEST(WardrunDeps, SplitsAtBlanksAndTabsOnly) {
  using V = std::vector<std::string>;
  EXPECT_EQ(V{}, split(nullptr));
  EXPECT_EQ(V{}, split(""));
  EXPECT_EQ(V{}, split(" \t "));
  EXPECT_EQ((V{"a", "b", "c"}), split("  a \t\t b\tc  "));
  EXPECT_EQ((V{"a\nb", "c,d"}), split("a\nb c,d"));  // a newline is part of a name
  EXPECT_EQ((V{"a", "b"}), split("a b c d", 2));
  EXPECT_EQ(V{}, split("a b", 0));

  std::string many;
  for (int i = 0; i < 300; i++) many += "p" + std::to_string(i) + " ";
  V got = split(many.c_str());
  ASSERT_EQ(256u, got.size());
  EXPECT_EQ("p0", got.front());
  EXPECT_EQ("p255", got.back());
}

// Runs add_db_rules on a fresh ruleset; its standard error and result.
struct DbRun {
  int rc;
  std::string err;
};
DbRun db_rules(const std::vector<std::string>& deps) {
  LandlockRulesetAttr attr{.handled_access_fs = handled_mask_for_abi(3), .handled_access_net = 0,
                           .scoped = 0};
  int ruleset = landlock_create_ruleset(&attr, sizeof attr, 0);
  EXPECT_GE(ruleset, 0) << strerror(errno);
  std::vector<const char*> names(base_packages, base_packages + kBaseCount);
  for (const std::string& d : deps) names.push_back(d.c_str());
  testing::internal::CaptureStderr();
  int lowest_free = dup(2);  // the rules' descriptors are all closed again
  close(lowest_free);
  int rc = add_db_rules(ruleset, names.data(), static_cast<int>(names.size()), kBaseCount);
  EXPECT_EQ(lowest_free, dup(2));
  std::string err = testing::internal::GetCapturedStderr();
  close(lowest_free);
  close(ruleset);
  return {rc, err};
}

// The warnings for every base package but the given ones, in order.
std::string base_warnings_except(const std::vector<std::string>& present) {
  std::string out;
  for (int i = 0; i < kBaseCount; i++)
    if (std::find(present.begin(), present.end(), base_packages[i]) == present.end())
      out += std::string("sorn: warning: warden: base package '") + base_packages[i] +
             "' not in db (renamed? removed?)\n";
  return out;
}

class WardrunDb : public testing::Test {
 protected:
  void SetUp() override {
    LandlockRulesetAttr attr{.handled_access_fs = 0x1fff, .handled_access_net = 0, .scoped = 0};
    int fd = landlock_create_ruleset(&attr, sizeof attr, 0);
    if (fd < 0) GTEST_SKIP() << "no Landlock on this kernel: " << strerror(errno);
    close(fd);
    rel_ = dir_.path().substr(1) + "/";
    write_file(dir_ / "tree/a", "a");
    write_file(dir_ / "tree/b", "b");
    symlink("tree/a", (dir_ / "link").c_str());
    symlink("tree/none", (dir_ / "dangling").c_str());
  }
  void write_db(const std::string& text) { write_file(dir_ / "db/db", text); }

  TempDir dir_;
  ScopedEnv dbdir_{"PKG_DBDIR", (dir_ / "db").c_str()};
  std::string rel_;  // the scratch directory as a database path ("tmp/x/")
};

TEST_F(WardrunDb, ReadsRecordsWhateverTheirSpacing) {
  // Several empty lines, a base package repeated as a dependency, a symbolic
  // link and a dangling one, a last record without its newlines.
  write_db("\n\nbash\n5.2\n" + rel_ + "tree/\n" + rel_ + "tree/a\n" + rel_ + "link\n" + rel_ +
           "dangling\n" + rel_ + "gone\n\n\n\nother\n1\n" + rel_ + "tree/b\n\nlibfoo\n1\n" + rel_ +
           "tree/b\n" + rel_ + "gone");
  DbRun r = db_rules({"libfoo", "bash"});
  EXPECT_EQ(0, r.rc);
  EXPECT_EQ("sorn: warning: warden: dep 'libfoo' missing: /" + rel_ + "gone\n" +
                base_warnings_except({"bash"}) + "sorn: warden: 4 rules added from sorn db\n",
            r.err);
}

TEST_F(WardrunDb, LongLinesStayOneLine) {
  std::string x4095(4095, 'x');
  // A path of 4095 bytes exactly: its "\n" must not end the record, so the
  // next path is still a path of libfoo. A longer path's tail must never
  // become a rule of its own, however it ends.
  write_db("libfoo\n1\n" + x4095 + "\n" + rel_ + "tree/a\n" + x4095 + rel_ + "tree/b\n" +
           std::string(9000, 'y') + "\n" + rel_ + "tree/b\n\n");
  DbRun r = db_rules({"libfoo"});
  EXPECT_EQ(0, r.rc);
  EXPECT_EQ(base_warnings_except({}) + "sorn: warden: 2 rules added from sorn db\n", r.err);
}

TEST_F(WardrunDb, ANameIsComparedWhole) {
  std::string n255(255, 'n');
  write_db(n255 + "x\n1\n" + rel_ + "tree/a\n\n");
  DbRun r = db_rules({n255, "b c"});
  EXPECT_EQ(-1, r.rc);
  EXPECT_EQ(base_warnings_except({}) + "sorn: error: warden: dep '" + n255 +
                "' not installed\nsorn: error: warden: dep 'b c' not installed\n",
            r.err);
}

TEST_F(WardrunDb, DatabaseLocation) {
  DbRun r = db_rules({});
  EXPECT_EQ("sorn: error: warden: cannot open db '" + dir_.path() + "/db/db': " + strerror(ENOENT) +
                "\n",
            r.err);
  EXPECT_EQ(-1, r.rc);
  char path[kPathMax];
  for (const char* value : {"", "var/lib/other", "relative"}) {
    ScopedEnv env("PKG_DBDIR", value);
    EXPECT_TRUE(db_file_path(path, sizeof path));
    EXPECT_STREQ("/var/lib/pkg/db", path) << value;
  }
  {
    ScopedEnv env("PKG_DBDIR", nullptr);
    EXPECT_TRUE(db_file_path(path, sizeof path));
    EXPECT_STREQ("/var/lib/pkg/db", path);
  }
  ScopedEnv env("PKG_DBDIR", ("/" + std::string(4093, 'd')).c_str());
  EXPECT_FALSE(db_file_path(path, sizeof path));
  r = db_rules({});
  EXPECT_EQ(-1, r.rc);
  EXPECT_NE(std::string::npos, r.err.find(strerror(ENAMETOOLONG))) << r.err;
}

}  // namespace
