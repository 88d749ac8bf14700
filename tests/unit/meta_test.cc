// Package metadata: which lines are declarations, what their values keep,
// and reading the metadata member straight out of a package file.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integrate/integrate.h"
#include "support/support.h"

using sorn_test::PackageTree;
using sorn_test::ScopedEnv;
using sorn_test::TempDir;
using sorn_test::write_file;

namespace {

using Strings = std::vector<std::string>;

Strings contents(const StringList* list) {
  Strings out;
  for (uint64_t i = 0; i < list->in_use; i++) out.push_back(list->strings[i]);
  return out;
}

struct MetaCase {
  const char* what;
  std::string text;
  Strings groups, services, permissions, capabilities;
};

void expect_meta(const MetaCase& c, const PackageMeta* meta) {
  ASSERT_NE(nullptr, meta);
  EXPECT_EQ(c.groups, contents(meta->groups)) << c.what;
  EXPECT_EQ(c.services, contents(meta->services)) << c.what;
  EXPECT_EQ(c.permissions, contents(meta->permissions)) << c.what;
  EXPECT_EQ(c.capabilities, contents(meta->capabilities)) << c.what;
}

TEST(MetaRead, DeclarationLines) {
  const std::string a255(249, 'a');  // "group " + 249 bytes = 255
  const std::string long_line = "group " + a255 + std::string(45, 'b') + "\n";
  const MetaCase cases[] = {
      {"each keyword", "group g\nservice s\npermission p:0:0:0644\ncapability c:cap_net_raw+ep\n",
       {"g"}, {"s"}, {"p:0:0:0644"}, {"c:cap_net_raw+ep"}},
      {"ignored lines",
       "group\ngroup \nGroup g\n group g\n\tservice s\n# group g\n\nservices s\nuser u\n"
       "permission\ncapability \n",
       {}, {}, {}, {}},
      {"two blanks keep the second", "group  g\nservice   s\n", {" g"}, {"  s"}, {}, {}},
      {"value kept byte for byte", "group a b:c \n", {"a b:c "}, {}, {}, {}},
      {"carriage returns stay", "group g\r\nservice s\r\n", {"g\r"}, {"s\r"}, {}, {}},
      {"duplicates in file order", "group b\ngroup a\ngroup b\nservice x\nservice x\n",
       {"b", "a", "b"}, {"x", "x"}, {}, {}},
      {"last line without newline", "service tail", {}, {"tail"}, {}, {}},
      // The first 255 bytes are one line; the other 45 bytes, a line of
      // their own, are ignored unless they form a declaration themselves.
      {"long line cut at 255", long_line, {a255}, {}, {}, {}},
      {"remainder judged on its own",
       "group " + a255 + "service rest\n" + "group " + a255 + "group \n",
       {a255, a255}, {"rest"}, {}, {}},
      {"empty file", "", {}, {}, {}, {}},
  };
  TempDir tmp;
  for (const MetaCase& c : cases) {
    write_file(tmp / "meta", c.text);
    PackageMetaPtr meta(meta_read((tmp / "meta").c_str()));
    expect_meta(c, meta.get());
  }
}

// Only a regular file is read, and only its first MiB: a link, a fifo with
// no writer or an endless device gives empty lists at once.
TEST(MetaRead, RegularFilesOnlyAndAtMostOneMebibyte) {
  TempDir tmp;
  write_file(tmp / "real", "service s\n");
  ASSERT_EQ(0, symlink((tmp / "real").c_str(), (tmp / "link").c_str()));
  ASSERT_EQ(0, symlink("/dev/zero", (tmp / "zero").c_str()));
  ASSERT_EQ(0, mkfifo((tmp / "fifo").c_str(), 0600));
  for (const char* name : {"link", "zero", "fifo"}) {
    PackageMetaPtr meta(meta_read((tmp / name).c_str()));
    expect_meta({name, "", {}, {}, {}, {}}, meta.get());
  }
  PackageMetaPtr dev(meta_read("/dev/zero"));
  expect_meta({"/dev/zero", "", {}, {}, {}, {}}, dev.get());

  // "service b\n" ends exactly at the limit; "service c\n" lies beyond it.
  std::string filler(kMetaMax - 20, '#');
  filler[200] = filler[400] = filler.back() = '\n';
  write_file(tmp / "big", "service a\n" + filler + "service b\nservice c\n");
  PackageMetaPtr big(meta_read((tmp / "big").c_str()));
  expect_meta({"big", "", {}, {"a", "b"}, {}, {}}, big.get());
}

TEST(MetaRead, UnreadableGivesEmptyLists) {
  TempDir tmp;
  for (const std::string& path : {tmp / "absent", tmp.path()}) {
    PackageMetaPtr meta(meta_read(path.c_str()));
    expect_meta({"unreadable", "", {}, {}, {}, {}}, meta.get());
  }
  meta_free(nullptr);
}

class MetaFromPackage : public testing::Test {
 protected:
  TempDir work_, tmp_;
};

TEST_F(MetaFromPackage, ReadsItsOwnMemberOnly) {
  PackageTree tree;
  tree.file("var/lib/pkg/meta/foo", "group foo:200\nservice food\n")
      .file("var/lib/pkg/meta/other", "group other\n")
      .file("usr/bin/foo", "x\n");
  for (const char* name : {"foo#1.0-1.pkg.tar.gz", "foo#1.0-1.pkg.tar.zst"}) {
    std::string pkg = tree.pack(work_.path(), name);
    ScopedEnv env("TMPDIR", tmp_.path().c_str());
    PackageMetaPtr meta(meta_from_package(pkg.c_str(), "foo"));
    expect_meta({name, "", {"foo:200"}, {"food"}, {}, {}}, meta.get());
    EXPECT_EQ(0u, sorn_test::entries_of(tmp_.path()).size()) << "temporary directory left behind";
  }
}

TEST_F(MetaFromPackage, MissingMemberIsEmptyAndSilent) {
  PackageTree tree;
  tree.file("usr/bin/foo", "x\n").file("var/lib/pkg/meta/bar", "group bar\n");
  std::string pkg = tree.pack(work_.path(), "foo#1.0-1.pkg.tar.gz");
  ScopedEnv env("TMPDIR", tmp_.path().c_str());
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  PackageMetaPtr meta(meta_from_package(pkg.c_str(), "foo"));
  PackageMetaPtr garbage(meta_from_package((work_ / "absent#1-1.pkg.tar.gz").c_str(), "absent"));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  expect_meta({"no member", "", {}, {}, {}, {}}, meta.get());
  expect_meta({"no package", "", {}, {}, {}, {}}, garbage.get());
  EXPECT_EQ(0u, sorn_test::entries_of(tmp_.path()).size());
}

TEST_F(MetaFromPackage, TemporaryDirectoryChoice) {
  PackageTree tree;
  tree.file("var/lib/pkg/meta/foo", "permission usr:0:0:0755\n");
  std::string pkg = tree.pack(work_.path(), "foo#1.0-1.pkg.tar.xz");
  {
    ScopedEnv env("TMPDIR", "");  // empty counts as unset: the system's /tmp
    PackageMetaPtr meta(meta_from_package(pkg.c_str(), "foo"));
    expect_meta({"TMPDIR empty", "", {}, {}, {"usr:0:0:0755"}, {}}, meta.get());
  }
  {
    ScopedEnv env("TMPDIR", (work_ / "no-such-dir").c_str());  // mkdtemp fails
    PackageMetaPtr meta(meta_from_package(pkg.c_str(), "foo"));
    expect_meta({"TMPDIR missing", "", {}, {}, {}, {}}, meta.get());
  }
}

}  // namespace
