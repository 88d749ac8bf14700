// The installer's footprint check: the IGNORE_NEW setting, the stored
// footprint's name, line keys, the merge and its reports, and the check with
// a generated footprint.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/etc_namespace.h"
#include "support/support.h"
#include "zarnin/footprint.h"

using namespace sorn_test;

namespace {

TEST(FootprintReportNew, FirstIgnoreNewLineDecides) {
  struct Case {
    std::string conf;
    bool report_new;
  };
  const Case cases[] = {
      {"IGNORE_NEW=yes\n", false},
      {"IGNORE_NEW yes\n", false},
      {"   \t IGNORE_NEW = yes\n", false},
      {"IGNORE_NEW==\t yesplease\n", false},
      {"IGNORE_NEW=yes", false},  // no final newline
      {"# IGNORE_NEW=yes\n\n  \nOTHER=1\nIGNORE_NEW=yes\n", false},
      {"IGNORE_NEW=no\nIGNORE_NEW=yes\n", true},
      {"IGNORE_NEW=\"yes\"\n", true},
      {"IGNORE_NEW=Yes\n", true},
      {"ignore_new=yes\n", true},
      {"IGNORE_NEW=\n", true},
      {"IGNORE_NEWS=yes\n", true},
      {"X IGNORE_NEW=yes\n", true},
      {"", true},
      // The tail of an overlong line is no line of its own.
      {"#" + std::string(4094, 'x') + "IGNORE_NEW=yes\n", true},
  };
  TempDir dir;
  for (const Case& c : cases) {
    write_file(dir / "sorn.conf", c.conf);
    EXPECT_EQ(c.report_new, footprint_read_report_new((dir / "sorn.conf").c_str())) << c.conf;
  }
  EXPECT_TRUE(footprint_read_report_new((dir / "missing.conf").c_str()));
}

TEST(FootprintConfigUpgrade, LastLineDecides) {
  using enum ConfigUpgrade;
  const std::pair<std::string, ConfigUpgrade> cases[] = {
      {"CONFIG_UPGRADE=unedited\n", kUnedited},
      {"CONFIG_UPGRADE unedited\n", kUnedited},
      {" \tCONFIG_UPGRADE = merge", kMerge},
      {"CONFIG_UPGRADE=merge\nIGNORE_NEW=yes\nCONFIG_UPGRADE=stage\n", kStage},
      {"CONFIG_UPGRADE=stage\nCONFIG_UPGRADE=unedited # the skeletons\n", kUnedited},
      {"# CONFIG_UPGRADE=merge\nCONFIG_UPGRADES=merge\nconfig_upgrade=merge\n", kStage},
      {"CONFIG_UPGRADE=merge\nCONFIG_UPGRADE=Merge\n", kStage},  // unknown: a warning
      {"", kStage},
  };
  TempDir dir;
  for (const auto& [conf, setting] : cases) {
    write_file(dir / "sorn.conf", conf);
    EXPECT_EQ(setting, footprint_read_config_upgrade((dir / "sorn.conf").c_str())) << conf;
  }
  EXPECT_EQ(kStage, footprint_read_config_upgrade((dir / "missing.conf").c_str()));
}

TEST(FootprintReportNew, ReadsTheSystemFile) {
  EtcNamespace etc(EtcNamespace::Files{{"sorn.conf", "IGNORE_NEW=yes\n"}});
  if (!etc.ok()) GTEST_SKIP() << "no private /etc: " << etc.error();
  EXPECT_FALSE(footprint_report_new());
  ASSERT_TRUE(etc.set_files(EtcNamespace::Files{{"sorn.conf", std::nullopt}})) << etc.error();
  EXPECT_TRUE(footprint_report_new());
}

TEST(FootprintFile, BesideThePackage) {
  TempDir dir;
  EXPECT_EQ(dir / ".footprint", footprint_file_for((dir / "foo#1-1.pkg.tar.gz").c_str()));
  EXPECT_EQ("./.footprint", footprint_file_for("foo#1-1.pkg.tar.gz"));
  EXPECT_EQ("/.footprint", footprint_file_for("/foo#1-1.pkg.tar.gz"));
  write_file(dir / "SORNBUILD.lock", "");
  EXPECT_EQ(dir / ".footprint.lock", footprint_file_for((dir / "foo#1-1.pkg.tar.gz").c_str()));
}

TEST(FootprintLineKey, IsThePath) {
  struct Case {
    const char* line;
    const char* key;
  };
  const Case cases[] = {
      {"drwxr-xr-x\troot/root\tusr/bin/", "usr/bin/"},
      {"-rw-r--r--\troot/root\tetc/foo.conf (EMPTY)", "etc/foo.conf"},
      {"lrwxrwxrwx\troot/root\tusr/lib/libx.so -> libx.so.1", "usr/lib/libx.so"},
      {"crw-rw-rw-\troot/root\tdev/null (1, 3)", "dev/null"},
      {"-rw-r--r--\troot/root\twith two  spaces", "with two  spaces"},
      {"-rw-r--r--\troot/root\ta ->b", "a ->b"},
      {"-rw-r--r--\troot/root\ta->b", "a->b"},
      {"-rw-r--r--\troot/root\tends in blank ->", "ends in blank ->"},
      {"-rw-r--r--\troot/root\tx (", "x"},
      {"-rw-r--r--\troot/root\t\ttabbed", "\ttabbed"},
      {"one\ttab only (EMPTY)", "one\ttab only"},
      {"no tabs at all -> x", "no tabs at all"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.key, footprint_line_key(c.line)) << c.line;
  std::string long_path(9000, 'p');
  EXPECT_EQ(8191u, footprint_line_key(("m\to\t" + long_path).c_str()).size());
}

TEST(FootprintReadList, SortsByKeyAndDropsEmptyLines) {
  TempDir dir;
  write_file(dir / "fp",
             "-rw-r--r--\tr/r\tusr/b\n\n"
             "lrwxrwxrwx\tr/r\tusr/a -> z\n"
             "-rw-r--r--\tr/r\tusr/a-b (EMPTY)\n"
             "drwxr-xr-x\tr/r\tusr/\n"
             "-rw-r--r--\tr/r\tlast-without-newline");
  StringListPtr list(footprint_read_list((dir / "fp").c_str()));
  ASSERT_TRUE(list);
  std::vector<std::string> got(list->strings, list->strings + list->in_use);
  // By key, not by whole line: "usr/a" sorts before "usr/a-b" although its
  // line continues with " -> ".
  EXPECT_THAT(got, testing::ElementsAre("-rw-r--r--\tr/r\tlast-without-newline",
                                        "drwxr-xr-x\tr/r\tusr/",
                                        "lrwxrwxrwx\tr/r\tusr/a -> z",
                                        "-rw-r--r--\tr/r\tusr/a-b (EMPTY)",
                                        "-rw-r--r--\tr/r\tusr/b"));
  EXPECT_EQ(nullptr, footprint_read_list((dir / "absent").c_str()));
}

StringListPtr make_list(const std::vector<std::string>& lines) {
  TempDir dir;
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  write_file(dir / "fp", text);
  return StringListPtr(footprint_read_list((dir / "fp").c_str()));
}

struct MergeResult {
  int reported;
  std::string out;
};

MergeResult merge(const std::vector<std::string>& expected,
                  const std::vector<std::string>& actual, bool report_new) {
  StringListPtr e = make_list(expected), a = make_list(actual);
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  int n = footprint_compare(e.get(), a.get(), report_new, out);
  fclose(out);
  MergeResult r{n, std::string(buf, len)};
  free(buf);
  return r;
}

TEST(FootprintCompare, ReportsEachCategoryOnceInKeyOrder) {
  const std::vector<std::string> expected = {
      "drwxr-xr-x\troot/root\tusr/",
      "-rw-r--r--\troot/root\tusr/a",
      "-rw-r--r--\troot/root\tusr/c (EMPTY)",
      "lrwxrwxrwx\troot/root\tusr/e -> one",
      "-rw-r--r--\troot/root\tusr/g",
      "-rw-r--r--\troot/root\tusr/h",
  };
  const std::vector<std::string> actual = {
      "drwxr-xr-x\troot/root\tusr/",
      "-rw-r--r--\troot/root\tusr/b",
      "-rw-r--r--\troot/root\tusr/c",
      "-rw-r--r--\troot/root\tusr/d",
      "lrwxrwxrwx\troot/root\tusr/e -> two",
      "-rwxr-xr-x\troot/root\tusr/g",
      "-rw-r--r--\tbin/bin\tusr/h",
      "-rw-r--r--\troot/root\tusr/i",
  };
  MergeResult r = merge(expected, actual, true);
  EXPECT_EQ(8, r.reported);
  EXPECT_EQ(
      "zarnin: footprint: missing\n"
      "-rw-r--r--\troot/root\tusr/a\n"
      "zarnin: footprint: new\n"
      "-rw-r--r--\troot/root\tusr/b\n"
      "zarnin: footprint: changed\n"
      "-rw-r--r--\troot/root\tusr/c\n"
      "-rw-r--r--\troot/root\tusr/d\n"
      "lrwxrwxrwx\troot/root\tusr/e -> two\n"
      "-rwxr-xr-x\troot/root\tusr/g\n"
      "-rw-r--r--\tbin/bin\tusr/h\n"
      "-rw-r--r--\troot/root\tusr/i\n",
      r.out);

  r = merge(expected, actual, false);
  EXPECT_EQ(5, r.reported);
  EXPECT_EQ(
      "zarnin: footprint: missing\n"
      "-rw-r--r--\troot/root\tusr/a\n"
      "zarnin: footprint: changed\n"
      "-rw-r--r--\troot/root\tusr/c\n"
      "lrwxrwxrwx\troot/root\tusr/e -> two\n"
      "-rwxr-xr-x\troot/root\tusr/g\n"
      "-rw-r--r--\tbin/bin\tusr/h\n",
      r.out);
}

TEST(FootprintCompare, TailsAndIdenticalLists) {
  const std::vector<std::string> same = {"d\tr/r\ta/", "-\tr/r\ta/x", "-\tr/r\ta/y (EMPTY)"};
  EXPECT_EQ(0, merge(same, same, true).reported);
  EXPECT_EQ("", merge(same, same, true).out);
  EXPECT_EQ(0, merge({}, {}, true).reported);

  MergeResult r = merge(same, {}, true);
  EXPECT_EQ(3, r.reported);
  EXPECT_EQ("zarnin: footprint: missing\nd\tr/r\ta/\n-\tr/r\ta/x\n-\tr/r\ta/y (EMPTY)\n", r.out);
  r = merge({}, same, true);
  EXPECT_EQ(3, r.reported);
  EXPECT_EQ("zarnin: footprint: new\nd\tr/r\ta/\n-\tr/r\ta/x\n-\tr/r\ta/y (EMPTY)\n", r.out);
  EXPECT_EQ(0, merge({}, same, false).reported);
}

// footprint_check against packages made with the real tar.
class FootprintCheck : public testing::Test {
 protected:
  void SetUp() override {
    tree_.dir("usr/bin").file("usr/bin/foo", "foo\n", 0755).file("etc/foo.conf", "");
    package_ = tree_.pack(work_.path(), "foo#1-1.pkg.tar.gz");
  }
  const std::string footprint_ =
      "drwxr-xr-x\troot/root\tetc/\n"
      "-rw-r--r--\troot/root\tetc/foo.conf (EMPTY)\n"
      "drwxr-xr-x\troot/root\tusr/\n"
      "drwxr-xr-x\troot/root\tusr/bin/\n"
      "-rwxr-xr-x\troot/root\tusr/bin/foo\n";
  TempDir work_;
  PackageTree tree_;
  std::string package_;
};

TEST_F(FootprintCheck, GeneratedFootprintIsSortedByKey) {
  StringListPtr actual(footprint_generate(package_.c_str()));
  ASSERT_TRUE(actual);
  std::string joined;
  for (uint64_t i = 0; i < actual->in_use; i++) joined += std::string(actual->strings[i]) + "\n";
  EXPECT_EQ(footprint_, joined);
}

TEST_F(FootprintCheck, UnreadableFootprint) {
  write_file(work_ / ".footprint", footprint_, 0);
  // Root reads any file, so the check runs as an unprivileged user.
  struct passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  chmod(work_.path().c_str(), 0755);
  uid_t uid = nobody->pw_uid;
  gid_t gid = nobody->pw_gid;
  EXPECT_EXIT(
      {
        if (setgid(gid) != 0 || setuid(uid) != 0) _exit(3);
        setenv("TMPDIR", "/tmp", 1);
        footprint_check(package_.c_str(), true);
        _exit(0);
      },
      testing::ExitedWithCode(1),
      "^zarnin: footprint: cannot read " + work_ / ".footprint" + "\n[^\n]*: footprint: error\n$");
}

TEST_F(FootprintCheck, PackageThatCannotBeListedMissesEverything) {
  write_file(work_ / ".footprint", footprint_);
  write_file(package_, "\x1f\x8b broken");
  EXPECT_EXIT(footprint_check(package_.c_str(), true), testing::ExitedWithCode(1),
              "cannot read " + package_ + "\nzarnin: footprint: missing\n"
              "drwxr-xr-x\troot/root\tetc/\n");
}

TEST_F(FootprintCheck, NoTemporaryFileMeansNoListing) {
  write_file(work_ / ".footprint", footprint_);
  EXPECT_EXIT(
      {
        setenv("TMPDIR", (work_ / "no/such/dir").c_str(), 1);
        footprint_check(package_.c_str(), true);
        _exit(0);
      },
      testing::ExitedWithCode(1),
      "^zarnin: footprint: cannot list " + package_ + "\n[^\n]*: footprint: error\n$");
}

}  // namespace
