// The install decisions without a process: the mode table, refused member
// names, and the conflict and obsolete-path indexes checked against the
// straightforward search they replace.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/db.h"
#include "support/support.h"
#include "zarnin/plan.h"

using sorn_test::list_of;
using sorn_test::strings_of;

namespace {

// A database in memory only: entries in the given order from the head.
PackageDb* memory_db(const std::vector<std::pair<std::string, std::vector<std::string>>>& pkgs) {
  PackageDb* db = static_cast<PackageDb*>(must_malloc(sizeof(PackageDb)));
  *db = PackageDb{nullptr, must_strdup("/"), must_strdup("/nonexistent"), -1};
  for (auto it = pkgs.rbegin(); it != pkgs.rend(); ++it) {
    PackageEntry* e = db_entry_new(it->first.c_str(), "1");
    for (const auto& p : it->second) strlist_add(e->files, p.c_str());
    e->next = db->entries;  // db_add would replace equal names
    db->entries = e;
  }
  return db;
}

TEST(InstallRoot, OptionThenEnvironmentThenSlash) {
  struct Case {
    const char* arg;
    const char* env;
    const char* root;
  } cases[] = {
      {"/mnt", "/srv", "/mnt"}, {nullptr, "/srv", "/srv"}, {nullptr, nullptr, "/"},
      {"rel", nullptr, "rel"},  {"", "/srv", "/"},        {nullptr, "", "/"},
  };
  for (const Case& c : cases)
    EXPECT_STREQ(c.root, choose_root(c.arg, c.env)) << (c.arg ? c.arg : "-") << " " << (c.env ? c.env : "-");
}

TEST(InstallDecide, EveryRowOfTheTable) {
  PackageEntryPtr installed(db_entry_new("foo", "1.0-1"));
  struct Row {
    bool is_installed;
    const char* version;
    bool upgrade, force;
    InstallMode mode;
  } rows[] = {
      {false, "1.0-1", false, false, InstallMode::kFresh},
      {false, "1.0-1", false, true, InstallMode::kFresh},
      {false, "1.0-1", true, false, InstallMode::kNotInstalled},
      {false, "1.0-1", true, true, InstallMode::kNotInstalled},
      {true, "1.0-1", false, false, InstallMode::kAlreadyInstalled},
      {true, "1.0-1", true, false, InstallMode::kAlreadyInstalled},
      {true, "1.0-1", false, true, InstallMode::kReinstall},
      {true, "1.0-1", true, true, InstallMode::kUpgrade},
      {true, "1.1-1", false, false, InstallMode::kOtherInstalled},
      {true, "1.1-1", true, false, InstallMode::kUpgrade},
      {true, "1.1-1", true, true, InstallMode::kUpgrade},
      {true, "1.1-1", false, true, InstallMode::kUpgrade},
      // Versions are opaque strings: an older one is just another version.
      {true, "0.9-1", true, false, InstallMode::kUpgrade},
      {true, "1.0-1 ", false, false, InstallMode::kOtherInstalled},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.mode, install_decide(r.is_installed ? installed.get() : nullptr, r.version,
                                     r.upgrade, r.force))
        << r.is_installed << " " << r.version << " u=" << r.upgrade << " f=" << r.force;
  }
}

TEST(InstallPaths, UnsafeNames) {
  struct Case {
    std::string path;
    bool unsafe;
  } cases[] = {
      {"usr/bin/foo", false},     {"usr/", false},          {"./usr/bin", true},
      {"..foo/bar", false},       {"foo../bar", false},     {"a/...", false},
      {"a//b", true},             {"/etc/passwd", true},    {"/", true},
      {"..", true},               {"../x", true},           {"usr/../../x", true},
      {"usr/..", true},           {"usr//../x", true},      {"a/../", true},
      {std::string(4094, 'a'), false}, {std::string(4095, 'a'), true},
      {std::string(5000, 'a'), true},
      // Other spellings of one path.
      {"./", true},               {".", true},              {"a/./b", true},
      {"a/.", true},              {"a/./", true},           {"a//", true},
      {"//a", true},              {".a/b", false},          {"a/.b/", false},
      // What tar escapes, and configuration names an exclusion file cuts.
      {"usr/share/caf\\303\\251", true}, {"usr/back\\\\slash", true},
      {"usr/share/caf\xc3\xa9", false},  {"etc/trail.conf ", true},
      {"etc/tab.conf\t", true},          {"etc/dir /", false},
      {"etc/ lead.conf", false},         {"usr/share/trail ", false},
      {"etc ", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.unsafe, install_path_unsafe(c.path.c_str())) << c.path.substr(0, 40);

  StringListPtr members(list_of({"usr/", "usr/bin/x", "../y", "/z"}));
  EXPECT_STREQ("../y", install_first_unsafe(members.get()));
  StringListPtr safe(list_of({"usr/", "usr/bin/x"}));
  EXPECT_EQ(nullptr, install_first_unsafe(safe.get()));
}

TEST(InstallPaths, NamesTheDatabaseCannotHold) {
  struct Case {
    const char* name;
    const char* version;
    bool refused;
  } cases[] = {
      {"foo", "1.0-1", false}, {"a", "b#c", false},    {"foo bar", "1\r", false},
      {"", "1.0", true},       {"foo", "", true},      {"fo\no", "1", true},
      {"foo", "1\n2", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.refused, install_name_unstorable(c.name, c.version)) << c.name << "/" << c.version;
}

TEST(InstallSortLists, OrderedListsAreOnlyMarked) {
  PackageDbPtr db(memory_db({
      {"a", {"etc/", "etc/x", "etc/x", "usr/"}},
      {"b", {"usr/", "etc/x", "etc/"}},
      {"c", {}},
      {"d", {"only"}},
  }));
  db_sort_lists(db.get());
  std::vector<std::vector<std::string>> expected{
      {"etc/", "etc/x", "etc/x", "usr/"}, {"etc/", "etc/x", "usr/"}, {}, {"only"}};
  size_t i = 0;
  for (PackageEntry* e = db->entries; e != nullptr; e = e->next, i++) {
    EXPECT_TRUE(e->files->is_sorted) << e->name;
    EXPECT_EQ(expected[i], strings_of(e->files)) << e->name;
  }
}

TEST(InstallConflicts, GroupedByOwnerInMemberOrder) {
  PackageDb* db = memory_db({
      {"bar", {"usr/lib/b", "usr/", "usr/lib/a", "usr/lib/a"}},
      {"foo", {"usr/bin/foo"}},  // the package itself never conflicts
      {"baz", {"usr/lib/a", "etc/x"}},
  });
  PackageDbPtr owner(db);
  StringListPtr members(list_of({"usr/", "usr/lib/a", "usr/bin/foo", "etc/x", "usr/lib/b"}));
  StringListPtr conflicts(install_conflicts(db, "foo", members.get()));
  EXPECT_EQ((std::vector<std::string>{"usr/lib/a", "usr/lib/b", "usr/lib/a", "etc/x"}),
            strings_of(conflicts.get()));
}

// The search the index replaces, step by step.
std::vector<std::string> naive_conflicts(PackageDb* db, const char* name, const StringList* members) {
  std::vector<std::string> out;
  for (PackageEntry* e = db->entries; e != nullptr; e = e->next) strlist_sort(e->files);
  for (PackageEntry* e = db->entries; e != nullptr; e = e->next) {
    if (strcmp(e->name, name) == 0) continue;
    for (uint64_t i = 0; i < members->in_use; i++) {
      const char* m = members->strings[i];
      if (!has_suffix(m, "/") && strlist_contains(e->files, m)) out.push_back(m);
    }
  }
  return out;
}

std::vector<std::string> naive_obsolete(PackageDb* db, const char* name, StringList* installed,
                                        StringList* members) {
  std::vector<std::string> out;
  strlist_sort(installed);
  strlist_sort(members);
  for (uint64_t i = installed->in_use; i-- > 0;) {
    const char* p = installed->strings[i];
    if (strlist_contains(members, p)) continue;
    bool owned = false;
    for (PackageEntry* e = db->entries; e != nullptr; e = e->next)
      if (strcmp(e->name, name) != 0 && strlist_contains(e->files, p)) owned = true;
    if (!owned) out.push_back(p);
  }
  return out;
}

TEST(InstallConflicts, IndexAgreesWithTheSearchOnRandomDatabases) {
  std::mt19937 rng(20240601);
  auto random_path = [&rng]() {
    static const char* const kDirs[] = {"usr/", "usr/bin/", "etc/", "usr/lib/"};
    std::string dir = kDirs[rng() % 4];
    return rng() % 5 == 0 ? dir : dir + "f" + std::to_string(rng() % 40);
  };
  for (int round = 0; round < 50; round++) {
    std::vector<std::pair<std::string, std::vector<std::string>>> pkgs;
    int count = 1 + static_cast<int>(rng() % 25);
    for (int p = 0; p < count; p++) {
      // Some names repeat, as a hand-edited database may have them.
      // Appended rather than `"p" + std::to_string(...)`: g++ 12 inlines that
      // operator+ into a memcpy it then misjudges as overlapping (-Wrestrict).
      std::string name = "p";
      name += std::to_string(rng() % 20);
      std::vector<std::string> files;
      for (int i = static_cast<int>(rng() % 30); i > 0; i--) files.push_back(random_path());
      pkgs.emplace_back(name, files);
    }
    PackageDbPtr db(memory_db(pkgs));
    std::vector<std::string> member_paths;
    for (int i = static_cast<int>(rng() % 40); i > 0; i--) member_paths.push_back(random_path());
    StringListPtr members(list_of(member_paths));
    const char* name = "p3";

    StringListPtr conflicts(install_conflicts(db.get(), name, members.get()));
    ASSERT_EQ(naive_conflicts(db.get(), name, members.get()), strings_of(conflicts.get()))
        << "round " << round;

    PackageEntry* installed = db_find(db.get(), name);
    if (installed == nullptr) continue;
    StringListPtr dropped(install_dropped(installed->files, members.get()));
    StringListPtr obsolete(install_obsolete(db.get(), name, dropped.get()));
    ASSERT_EQ(naive_obsolete(db.get(), name, installed->files, members.get()),
              strings_of(obsolete.get()))
        << "round " << round;
  }
}

TEST(InstallObsolete, DescendingWithoutOthersOrUnsafePaths) {
  PackageDbPtr db(memory_db({
      {"foo", {"usr/", "usr/bin/", "usr/bin/a", "usr/bin/b", "usr/lib/x", "../evil", "/abs",
               "usr//lib/x", "./etc/app.conf"}},
      {"bar", {"usr/lib/x", "usr/"}},
  }));
  PackageEntry* installed = db_find(db.get(), "foo");
  StringListPtr members(list_of({"usr/", "usr/bin/", "usr/bin/b"}));
  StringListPtr dropped(install_dropped(installed->files, members.get()));
  EXPECT_EQ((std::vector<std::string>{"../evil", "./etc/app.conf", "/abs", "usr//lib/x",
                                      "usr/bin/a", "usr/lib/x"}),
            strings_of(dropped.get()));
  // Another spelling of bar's "usr/lib/x", recorded before such names were
  // refused, is not deleted either.
  StringListPtr obsolete(install_obsolete(db.get(), "foo", dropped.get()));
  EXPECT_EQ((std::vector<std::string>{"usr/bin/a"}), strings_of(obsolete.get()));
}

}  // namespace
