// Package file removal on its own: other owners, the keep list and a null
// name; names that do not fit a path buffer, which a cut would turn into
// other names.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/db.h"
#include "support/support.h"
#include "zarnout/remove.h"

using sorn_test::exists;
using sorn_test::list_of;
using sorn_test::strings_of;
using sorn_test::TempDir;
using sorn_test::write_file;

namespace {

// dir followed by "/." components (and one extra "/" for an odd count) up
// to length bytes: the same directory under a longer name.
std::string padded(const std::string& dir, size_t length) {
  std::string out = dir;
  if ((length - out.size()) % 2 != 0) out += "/";
  while (out.size() < length) out += "/.";
  return out;
}

TEST(RemovePackageFiles, OwnersKeepListAndNullName) {
  struct Case {
    const char* name;
    std::vector<std::string> keep;
    bool with_db;
    std::vector<std::string> left;
  } cases[] = {
      {"p", {}, true, {"a/", "a/y"}},
      {"p", {"b"}, true, {"a/", "a/y", "b"}},
      {nullptr, {}, true, {"a/", "a/x", "a/y", "b"}},  // p owns them too
      {"p", {}, false, {}},
  };
  for (const Case& c : cases) {
    TempDir root;
    write_file(root / "a/x", "x\n");
    write_file(root / "a/y", "y\n");
    write_file(root / "b", "b\n");
    PackageDb db{nullptr, must_strdup("/"), must_strdup("/nonexistent"), -1};
    for (const char* name : {"p", "q"}) {
      PackageEntry* e = db_entry_new(name, "1");
      for (const char* path : name[0] == 'p' ? std::vector<const char*>{"b", "a/y", "a/x", "a/"}
                                             : std::vector<const char*>{"a/y", "a/"})
        strlist_add(e->files, path);
      e->next = db.entries;
      db.entries = e;
    }
    StringList* files = db_find(&db, "p")->files;
    StringListPtr keep(c.keep.empty() ? nullptr : list_of(c.keep).release());
    remove_package_files(root.path().c_str(), files, c.with_db ? &db : nullptr, c.name, keep.get());
    std::vector<std::string> left;
    for (const char* path : {"a/", "a/x", "a/y", "b"})
      if (exists(root / path)) left.push_back(path);
    EXPECT_EQ(c.left, left) << (c.name ? c.name : "(null)") << " " << c.keep.size();
    EXPECT_EQ((std::vector<std::string>{"a/", "a/x", "a/y", "b"}), strings_of(files));
    EXPECT_TRUE(files->is_sorted);
    if (c.with_db) {
      EXPECT_TRUE(db_find(&db, "q")->files->is_sorted);
    }
    while (db.entries != nullptr) db_remove(&db, db.entries->name);
    free(db.root);
    free(db.dir);
  }
}

TEST(PruneSitePackages, NamesThatDoNotFitAreLeftAlone) {
  TempDir t;
  write_file(t / "m/extra.txt", "leftover\n");
  write_file(t / "m/_cache/x.pyc", "\n");
  // dir + "/_cache" cut to the buffer would be dir + "/": the directory
  // itself, leftover included.
  std::string dir = padded(t.path(), kPathBuf - 4) + "/m";
  ASSERT_EQ(kPathBuf - 2, dir.size());
  prune_site_packages_dir(dir.c_str());
  EXPECT_TRUE(exists(t / "m/extra.txt"));
  EXPECT_TRUE(exists(t / "m/_cache/x.pyc"));

  prune_site_packages_dir((t / "m").c_str());
  EXPECT_TRUE(exists(t / "m/extra.txt"));
  EXPECT_FALSE(exists(t / "m/_cache"));
}

TEST(StagedCopies, OnlyBesideConfigurationFilesThatFit) {
  TempDir t;
  for (const char* path : {"etc/foo.conf", "etc/foo.conf.new", "etc/d/.new", "usr/x.new"})
    write_file(t / path, "\n");
  StringListPtr files(list_of({"etc/", "etc/d/", "etc/foo.conf", "usr/x"}));
  // With "%s.new" cut to the buffer, the staged name of a path that just
  // fits is the configuration file itself.
  std::string long_root = padded(t.path(), kPathBuf - 1 - strlen("/etc/foo.conf"));
  remove_staged_copies(long_root.c_str(), files.get());
  EXPECT_TRUE(exists(t / "etc/foo.conf"));
  EXPECT_TRUE(exists(t / "etc/foo.conf.new"));

  remove_staged_copies(t.path().c_str(), files.get());
  EXPECT_TRUE(exists(t / "etc/foo.conf"));
  EXPECT_FALSE(exists(t / "etc/foo.conf.new"));
  EXPECT_TRUE(exists(t / "etc/d/.new"));  // never for a directory
  EXPECT_TRUE(exists(t / "usr/x.new"));   // only under etc/
}

}  // namespace
