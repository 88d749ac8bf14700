// Canonical forms through the directory links of a scratch root.
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/db.h"
#include "support/support.h"

using namespace sorn_test;

namespace {

TEST(DirLinks, CanonicalForms) {
  TempDir root;
  for (const char* dir : {"usr/bin", "usr/lib", "opt/x", "run"}) mkdir_p(root / dir);
  write_file(root / "usr/bin/file", "");
  struct LinkSpec {
    const char* at;
    const char* target;
  } made[] = {
      {"bin", "usr/bin"},          {"lib", "/usr/lib"},    // absolute: inside the root
      {"lib64", "lib"},            {"usr/lib/alias", "../bin"},
      {"var", "opt/x/.."},         {"up", "../.."},        // above the root: no link
      {"loop", "loop/a"},          {"exe", "usr/bin/file"},  // a file: no link
      {"dangling", "nowhere"},     {"opt/x/run", "../../run"},
  };
  for (const LinkSpec& l : made) ASSERT_EQ(0, symlink(l.target, (root / l.at).c_str())) << l.at;

  StringListPtr own(list_of({"bin/sh", "lib/alias/su", "lib64/alias/", "var/x/run/y", "up/z",
                             "loop/b", "exe/c", "dangling/d", "usr/lib/alias/deep/er"}));
  DirLinks links(root.path().c_str(), nullptr, {own.get()});
  struct Case {
    std::string path, form;
  } cases[] = {
      {"bin/sh", "usr/bin/sh"},
      {"bin", "bin"},                      // the link itself
      {"bin/", "bin/"},
      {"usr/bin/sh", "usr/bin/sh"},
      {"lib/alias/su", "usr/bin/su"},      // two links in a row
      {"lib64/alias/", "usr/lib/alias/"},  // the last place kept as written
      {"lib64/alias/x/y", "usr/bin/x/y"},
      {"usr/lib/alias/deep/er", "usr/bin/deep/er"},
      {"var/x/run/y", "run/y"},            // ".." inside the root
      {"up/z", "up/z"},
      {"loop/b", "loop/b"},
      {"exe/c", "exe/c"},
      {"dangling/d", "dangling/d"},
      {"sh", "sh"},
      {"", ""},
  };
  std::string buf;
  for (const Case& c : cases) EXPECT_EQ(c.form, links.canonical(c.path, buf)) << c.path;
  // Every other spelling of a file, and none for a file that has one.
  struct Spelled {
    std::string path;
    std::vector<std::string> others;
  } spelled[] = {
      {"usr/bin/su", {"bin/su", "usr/lib/alias/su", "lib/alias/su", "lib64/alias/su"}},
      {"lib/alias/su", {"usr/bin/su", "bin/su", "usr/lib/alias/su", "lib64/alias/su"}},
      {"usr/lib/x", {"lib/x", "lib64/x"}},
      {"usr/lib/", {}},  // the last place as written: only the parent is spelled again
      {"usr/share/x", {}},
      {"run/y", {"opt/x/run/y", "var/x/run/y"}},
  };
  std::vector<std::string> others;
  for (const Spelled& c : spelled) {
    EXPECT_EQ(!c.others.empty(), links.spellings(c.path, others)) << c.path;
    std::sort(others.begin(), others.end());
    std::vector<std::string> expected = c.others;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, others) << c.path;
  }

  EXPECT_GE(links.link_at("bin"), 0);
  EXPECT_GE(links.link_at("lib64"), 0);
  EXPECT_EQ(-1, links.link_at("bin/"));
  EXPECT_EQ(-1, links.link_at("usr/bin"));
  EXPECT_EQ(-1, links.link_at("up"));

  // Packages that go through a link, under any spelling, use it.
  PackageDb db{};
  auto add = [&](const char* name, std::vector<std::string> paths) {
    PackageEntry* e = db_entry_new(name, "1");
    for (const auto& p : paths) strlist_add(e->files, p.c_str());
    strlist_sort(e->files);
    db_add(&db, e);
  };
  add("fs", {"bin", "lib", "lib64", "usr/lib/alias"});
  add("su", {"lib64/alias/su"});
  add("sh", {"bin/", "bin/sh"});
  EXPECT_TRUE(links.link_used(links.link_at("bin"), &db, "fs", nullptr));
  EXPECT_FALSE(links.link_used(links.link_at("bin"), &db, "sh", nullptr));  // only its own
  EXPECT_TRUE(links.link_used(links.link_at("usr/lib/alias"), &db, "fs", nullptr));
  EXPECT_TRUE(links.link_used(links.link_at("lib"), &db, "fs", nullptr));  // lib64 leads through it
  StringListPtr members(list_of({"usr/lib/alias/x"}));
  EXPECT_FALSE(links.link_used(links.link_at("usr/lib/alias"), &db, "su", nullptr));
  EXPECT_TRUE(links.link_used(links.link_at("usr/lib/alias"), &db, "su", members.get()));

  // One look-up finds a file under any spelling.
  StringListPtr paths(list_of({"bin/sh", "usr/bin/su", "usr/share/doc", "usr/bin/sh"}));
  FileIndex index(paths.get(), &links);
  index.mark("usr/bin/sh");
  index.mark("lib64/alias/su");
  EXPECT_TRUE(index.marked(0));
  EXPECT_TRUE(index.marked(1));
  EXPECT_FALSE(index.marked(2));
  EXPECT_TRUE(index.marked(3));
  FileIndex exact(paths.get(), nullptr);
  exact.mark("usr/bin/sh");
  exact.mark("lib64/alias/su");
  EXPECT_FALSE(exact.marked(0));
  EXPECT_FALSE(exact.marked(1));
  EXPECT_TRUE(exact.marked(3));
  for (PackageEntry* e = db.entries; e != nullptr;) {
    PackageEntry* next = e->next;
    db_entry_free(e);
    e = next;
  }

  // A directory probed often is read as a whole: its links are found all
  // the same.
  TempDir wide;
  std::vector<std::string> through_wide;
  for (int i = 0; i < 100; i++) {
    std::string name = "opt/d" + std::to_string(i);
    if (i % 10 == 3)
      ASSERT_EQ(0, symlink("../target", (wide / name).c_str()));
    else if (i % 10 != 7)  // and some are missing
      mkdir_p(wide / name);
    through_wide.push_back(name + "/f");
  }
  mkdir_p(wide / "target");
  StringListPtr wide_paths(list_of(through_wide));
  DirLinks wide_links(wide.path().c_str(), nullptr, {wide_paths.get()});
  EXPECT_EQ(10u, wide_links.size());
  EXPECT_EQ("target/f", wide_links.canonical("opt/d93/f", buf));
  EXPECT_EQ("opt/d94/f", wide_links.canonical("opt/d94/f", buf));

  // A root without links: every path is its own form, as the same view.
  TempDir plain;
  mkdir_p(plain / "usr/bin");
  DirLinks none(plain.path().c_str(), nullptr, {own.get()});
  EXPECT_TRUE(none.empty());
  std::string_view path = "bin/sh";
  EXPECT_EQ(path.data(), none.canonical(path, buf).data());
}

}  // namespace
