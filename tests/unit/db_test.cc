// The package database: directory resolution, loading, saving, the list
// operations and the lock between real processes.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/db.h"
#include "support/support.h"

using sorn_test::read_file;
using sorn_test::ScopedEnv;
using sorn_test::TempDir;
using sorn_test::write_file;

namespace {

// "name version path,path" per entry, in list order.
std::vector<std::string> describe(const PackageDb* db) {
  std::vector<std::string> out;
  for (PackageEntry* e = db->entries; e != nullptr; e = e->next) {
    std::string s = std::string(e->name) + "|" + e->version + "|";
    for (uint64_t i = 0; i < e->files->in_use; i++) s += std::string(i ? "," : "") + e->files->strings[i];
    out.push_back(s);
  }
  return out;
}

// The stderr and exit status of fn run in a child process.
struct Exit {
  int status;
  std::string err;
};
template <class Fn>
Exit exit_of(Fn fn) {
  int fds[2];
  EXPECT_EQ(0, pipe(fds));
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDERR_FILENO);
    fn();
    _exit(0);
  }
  close(fds[1]);
  std::string err;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) err.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int st = wait_child(pid);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, err};
}

class Db : public testing::Test {
 protected:
  TempDir root_;
  std::string dbdir_ = root_ / "var/lib/pkg";
  ScopedEnv env_{"PKG_DBDIR", nullptr};

  PackageDbPtr open_with(const std::string& content) {
    write_file(dbdir_ + "/db", content);
    return PackageDbPtr(db_open(root_.path().c_str(), true));
  }
};

TEST_F(Db, DirectoryFollowsPkgDbDir) {
  TempDir other;
  struct Case {
    const char* env;
    std::string want;
  } cases[] = {
      {nullptr, root_ / "var/lib/pkg"},
      {"", root_ / "var/lib/pkg"},
      {"state/pkgdb", root_ / "state/pkgdb"},
      {strdup((other / "abs").c_str()), other / "abs"},
  };
  for (const Case& c : cases) {
    ScopedEnv env("PKG_DBDIR", c.env);
    PackageDbPtr db(db_open(root_.path().c_str(), true));
    EXPECT_EQ(c.want, db->dir);
    EXPECT_TRUE(sorn_test::exists(c.want)) << "created with its parents";
    EXPECT_EQ(0755u, sorn_test::file_mode(c.want));
    EXPECT_EQ(nullptr, db->entries);
  }
  free(const_cast<char*>(cases[3].env));
  CharPtr dflt(db_dir_for(nullptr));
  EXPECT_STREQ("/var/lib/pkg", dflt.get());
}

TEST_F(Db, LoaderEdgeCases) {
  struct Case {
    const char* name;
    std::string file;
    std::vector<std::string> want;  // list order: reverse of the file
  } cases[] = {
      {"plain", "a\n1\nx\ny\n\nb\n2\nz\n\n", {"b|2|z", "a|1|x,y"}},
      {"blank runs", "\n\n\na\n1\nx\n\n\n\n\nb\n2\nz\n\n\n", {"b|2|z", "a|1|x"}},
      {"no final empty line", "a\n1\nx\nb\n", {"a|1|x,b"}},
      {"no final newline", "a\n1\nx\n\nb\n2\nlast", {"b|2|last", "a|1|x"}},
      {"name alone at end", "a\n1\nx\n\nb", {"b||", "a|1|x"}},
      {"name alone then blank", "b\n\na\n1\nx\n\n", {"a|1|x", "b||"}},
      {"empty version ends the record", "a\n\nfirst/path\nsecond\n\n", {"first/path|second|", "a||"}},
      {"duplicates", "a\n1\nx\n\na\n2\ny\n\n", {"a|2|y", "a|1|x"}},
      {"bytes taken literally", "n\r\n 1 \n\tp q\r\n\n", {"n\r| 1 |\tp q\r"}},
      {"empty file", "", {}},
  };
  for (const Case& c : cases) {
    PackageDbPtr db = open_with(c.file);
    EXPECT_EQ(c.want, describe(db.get())) << c.name;
  }
}

// A database read ahead of the lock counts only while "db" is still the
// file read; replaced, rewritten or removed meanwhile, the locked one does.
TEST_F(Db, ReadAheadCountsOnlyWhileTheFileStays) {
  std::string big = "big\n1\n";
  for (int i = 0; i < 40000; i++) big += "usr/share/big/file-" + std::to_string(i) + "\n";
  big += "\n";  // over a MiB: read by a thread of its own
  const std::string small = "small\n2\nusr/bin/small\n\n";
  const std::string db = dbdir_ + "/db";
  struct Case {
    const char* name;
    std::string first;
    std::function<void()> meanwhile;
  } cases[] = {
      {"big, unchanged", big, [] {}},
      {"big, replaced", big, [&] {
         write_file(db + ".new", small);
         ASSERT_EQ(0, rename((db + ".new").c_str(), db.c_str()));
       }},
      {"big, appended in place", big, [&] {
         int fd = open(db.c_str(), O_WRONLY | O_APPEND);
         ASSERT_EQ(6, write(fd, "x\n1\ny\n", 6));
         close(fd);
       }},
      {"big, removed", big, [&] { unlink(db.c_str()); }},
      {"small, replaced", small, [&] { write_file(db, big); }},
  };
  for (const Case& c : cases) {
    write_file(db, c.first);
    std::vector<std::string> ahead;
    {
      DbReadAhead reader(root_.path().c_str());
      usleep(100000);  // mostly after the thread has read
      c.meanwhile();
      PackageDbPtr opened(reader.open(true));
      ahead = describe(opened.get());
    }
    PackageDbPtr locked(db_open(root_.path().c_str(), true));
    EXPECT_EQ(describe(locked.get()), ahead) << c.name;
  }
}

// A database of over 4 MiB is read in two parts at once; the list is the
// one a single reader makes (the read-ahead thread is one), whatever lines
// surround the split.
TEST_F(Db, SplitReadEqualsOneReader) {
  for (const char* gap : {"\n", "\n\n\n", "\n\x01\n"}) {
    std::string file;
    for (int p = 0; p < 2000; p++) {
      file += "pkg" + std::to_string(p) + "\n" + std::to_string(p % 7) + "\n";
      for (int i = 0; i < 90; i++) file += "usr/share/pkg" + std::to_string(p) + "/file-" + std::to_string(i) + "\n";
      file += gap;
    }
    file += "last\n1\nno/final/newline";
    write_file(dbdir_ + "/db", file);
    std::vector<std::string> one;
    {
      DbReadAhead reader(root_.path().c_str());
      PackageDbPtr db(reader.open(true));
      one = describe(db.get());
    }
    PackageDbPtr split(db_open(root_.path().c_str(), true));
    EXPECT_EQ(one, describe(split.get())) << testing::PrintToString(gap);
    EXPECT_GE(one.size(), 2001u);
  }
}

// The intent names the store swap and the merged files; an intent written
// before either existed reads as it did.
TEST_F(Db, IntentRoundTripsPristineAndMerges) {
  PackageDbPtr db = open_with("");
  Intent in;
  in.op = "upgrade";
  in.name = "foo";
  in.pristine = "swap";
  in.merges = {{"/r/etc/a.conf", "/r/etc/.zarnin-old.1.0", 7, 9}};
  ASSERT_EQ(0, intent_write(db.get(), in));
  Intent out;
  ASSERT_EQ(1, intent_read(db.get(), out));
  EXPECT_EQ("swap", out.pristine);
  ASSERT_EQ(1u, out.merges.size());
  EXPECT_EQ("/r/etc/.zarnin-old.1.0", out.merges[0].keep);
  EXPECT_EQ(9u, out.merges[0].ino);
  const char older[] = "sorn-intent 1\0op\0remove\0name\0foo\0end\0";
  write_file(dbdir_ + "/intent", std::string(older, sizeof older - 1));
  ASSERT_EQ(1, intent_read(db.get(), out));
  EXPECT_EQ("", out.pristine);
  EXPECT_TRUE(out.merges.empty());
  intent_remove(db.get());
}

// A swap killed at any step is finished by the next call: the new copies
// in place, nothing left beside them.
TEST_F(Db, PristineSwapFinishesWhatAKillLeft) {
  PackageDbPtr db = open_with("");
  TempDir stage;
  write_file(stage / "etc/a.conf", "a=2\n", 0600);
  StringListPtr members = sorn_test::list_of({"etc/", "etc/a.conf", "usr/bin/a"});
  for (const char* step : {"none", "old gone", "done"}) {
    write_file(pristine_path(db.get(), "foo", "etc/a.conf"), "a=1\n");
    ASSERT_EQ(1, pristine_build(db.get(), "foo", stage.path().c_str(), members.get()));
    std::string at = dbdir_ + "/pristine";
    if (std::string(step) != "none") sorn_test::sh("mkdir -p " + at + ".old && mv " + at + "/foo " + at + ".old/");
    if (std::string(step) == "done") sorn_test::sh("mv " + at + ".new/foo " + at + "/");
    pristine_swap(db.get(), "foo", true);
    EXPECT_EQ("a=2\n", read_file(pristine_path(db.get(), "foo", "etc/a.conf"))) << step;
    EXPECT_EQ(0600u, sorn_test::file_mode(pristine_path(db.get(), "foo", "etc/a.conf"))) << step;
    EXPECT_THAT(sorn_test::entries_of(dbdir_), testing::UnorderedElementsAre("db", "pristine")) << step;
  }
  pristine_swap(db.get(), "foo", false);
  EXPECT_EQ(std::vector<std::string>{"db"}, sorn_test::entries_of(dbdir_));
}

TEST_F(Db, LongLinesLoadWhole) {
  std::string path(100000, 'p');
  PackageDbPtr db = open_with("a\n1\n" + path + "\n\n");
  ASSERT_NE(nullptr, db->entries);
  EXPECT_EQ(path, db->entries->files->strings[0]);
}

TEST_F(Db, SaveReversesSortsAndDropsEmptyRecords) {
  PackageDbPtr db = open_with("a\n1\nz\nb/\nb/c\n\nempty\n\nb\n2\nq\n\n");
  ASSERT_EQ(0, db_save(db.get()));
  EXPECT_EQ("b\n2\nq\n\na\n1\nb/\nb/c\nz\n\n", read_file(dbdir_ + "/db"));
  EXPECT_FALSE(sorn_test::exists(dbdir_ + "/db.tmp"));
  EXPECT_TRUE(db_find(db.get(), "a")->files->is_sorted) << "sorted in memory too";

  // Saving again without a reload changes nothing.
  ASSERT_EQ(0, db_save(db.get()));
  EXPECT_EQ("b\n2\nq\n\na\n1\nb/\nb/c\nz\n\n", read_file(dbdir_ + "/db"));
}

TEST_F(Db, SaveOfNothingWritesAnEmptyFile) {
  PackageDbPtr db(db_open(root_.path().c_str(), true));
  EXPECT_FALSE(sorn_test::exists(dbdir_ + "/db"));
  ASSERT_EQ(0, db_save(db.get()));
  EXPECT_EQ("", read_file(dbdir_ + "/db"));
}

TEST_F(Db, FindAddRemove) {
  PackageDbPtr db = open_with("a\n1\nx\n\na\n2\ny\n\nb\n1\nz\n\n");
  EXPECT_STREQ("2", db_find(db.get(), "a")->version) << "the later record wins";
  EXPECT_EQ(nullptr, db_find(db.get(), "A"));

  PackageEntry* fresh = db_entry_new("a", "3");
  strlist_add(fresh->files, "w");
  EXPECT_EQ(0, db_add(db.get(), fresh));
  EXPECT_EQ((std::vector<std::string>{"a|3|w", "b|1|z", "a|1|x"}), describe(db.get()));
  EXPECT_EQ(0, db_add(db.get(), fresh)) << "already linked: no change";
  EXPECT_EQ(3u, describe(db.get()).size());

  EXPECT_EQ(0, db_remove(db.get(), "a"));
  EXPECT_EQ((std::vector<std::string>{"b|1|z", "a|1|x"}), describe(db.get()));
  EXPECT_EQ(-1, db_remove(db.get(), "missing"));
  EXPECT_EQ(2u, describe(db.get()).size());

  PackageEntryPtr loose(db_entry_new("n", ""));
  EXPECT_STREQ("", loose->version);
  EXPECT_EQ(0u, loose->files->in_use);
  db_entry_free(nullptr);
  db_close(nullptr);
}

TEST_F(Db, FailedRenameKeepsTheOldFile) {
  PackageDbPtr db = open_with("a\n1\nx\n\n");
  std::string old = read_file(dbdir_ + "/db");
  // Swap "db" for a non-empty directory so the rename must fail.
  ASSERT_EQ(0, rename((dbdir_ + "/db").c_str(), (dbdir_ + "/db.keep").c_str()));
  write_file(dbdir_ + "/db/inside", "x");
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, db_save(db.get()));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find(": cannot rename " + dbdir_ + "/db.tmp to " + dbdir_ + "/db: "))
      << err;
  EXPECT_FALSE(sorn_test::exists(dbdir_ + "/db.tmp"));
  EXPECT_EQ("x", read_file(dbdir_ + "/db/inside"));
  EXPECT_EQ(old, read_file(dbdir_ + "/db.keep"));
}

// The database directory on a tiny tmpfs that fills up during the save.
class DbFullDisk : public Db {
 protected:
  void SetUp() override {
    sorn_test::mkdir_p(dbdir_);
    if (mount("tmpfs", dbdir_.c_str(), "tmpfs", 0, "size=16k") != 0)
      GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2(dbdir_.c_str(), MNT_DETACH);
  }
  bool mounted_ = false;
};

TEST_F(DbFullDisk, FailedSaveLeavesTheOldDatabase) {
  PackageDbPtr db = open_with("a\n1\nx\n\n");
  const std::string old = read_file(dbdir_ + "/db");
  PackageEntry* big = db_entry_new("big", "1");
  for (int i = 0; i < 4000; i++) strlist_add(big->files, ("usr/share/big/file-" + std::to_string(i)).c_str());
  db_add(db.get(), big);

  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, db_save(db.get()));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find(": write error on " + dbdir_ + "/db.tmp: No space left on device\n"))
      << err;
  EXPECT_EQ(old, read_file(dbdir_ + "/db"));
  EXPECT_FALSE(sorn_test::exists(dbdir_ + "/db.tmp"));

  // Still open and locked: a save that fits succeeds.
  db_remove(db.get(), "big");
  EXPECT_EQ(0, db_save(db.get()));
  EXPECT_EQ(old, read_file(dbdir_ + "/db"));
}

TEST_F(Db, SecondProcessIsRefusedAtOnce) {
  // A real holder in its own process; it keeps the lock until told to go.
  int go[2], ready[2];
  ASSERT_EQ(0, pipe(go));
  ASSERT_EQ(0, pipe(ready));
  pid_t holder = fork();
  if (holder == 0) {
    close(go[1]);
    close(ready[0]);
    PackageDb* db = db_open(root_.path().c_str(), true);
    char c = 1;
    if (write(ready[1], &c, 1) != 1) _exit(2);
    if (read(go[0], &c, 1) < 0) _exit(2);
    db_close(db);
    _exit(0);
  }
  close(ready[1]);
  close(go[0]);
  char c;
  ASSERT_EQ(1, read(ready[0], &c, 1));

  Exit second = exit_of([&] { db_open(root_.path().c_str(), true); });
  EXPECT_EQ(1, second.status);
  EXPECT_EQ(std::string(program_invocation_short_name) +
                ": package database is locked by another process\n",
            second.err);
  Exit shared = exit_of([&] { db_open(root_.path().c_str(), false); });
  EXPECT_EQ(1, shared.status) << "a shared lock waits for nobody either";

  close(go[1]);
  EXPECT_EQ(0, wait_child(holder));
  close(ready[0]);
  EXPECT_EQ(0, exit_of([&] { db_close(db_open(root_.path().c_str(), true)); }).status);
}

TEST_F(Db, ChildrenDoNotInheritTheLock) {
  PackageDb* db = db_open(root_.path().c_str(), true);
  char a0[] = "sleep", a1[] = "30";
  char* argv[] = {a0, a1, nullptr};
  pid_t sleeper = spawn_child({.program = "sleep", .argv = argv});
  ASSERT_GT(sleeper, 0);
  db_close(db);

  // The child still runs; another process can take the lock all the same.
  int fd = open(dbdir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(0, flock(fd, LOCK_EX | LOCK_NB)) << strerror(errno);
  close(fd);
  kill(sleeper, SIGKILL);
  wait_child(sleeper);
}

TEST_F(Db, OpenFailuresExitWithTheirMessage) {
  const std::string prog = program_invocation_short_name;
  write_file(root_ / "blocker", "x");
  {
    ScopedEnv env("PKG_DBDIR", "blocker/db");
    Exit e = exit_of([&] { db_open(root_.path().c_str(), true); });
    EXPECT_EQ(1, e.status);
    EXPECT_EQ(prog + ": cannot create " + root_.path() + "/blocker/db: Not a directory\n", e.err);
  }
  {
    ScopedEnv env("PKG_DBDIR", "blocker");
    Exit e = exit_of([&] { db_open(root_.path().c_str(), true); });
    EXPECT_EQ(prog + ": cannot open " + root_.path() + "/blocker: Not a directory\n", e.err);
  }
  sorn_test::mkdir_p(dbdir_ + "/db");  // "db" is a directory: open works, reading fails
  Exit e = exit_of([&] { db_open(root_.path().c_str(), true); });
  EXPECT_EQ(1, e.status);
  EXPECT_EQ(prog + ": error reading database: Is a directory\n", e.err);
}

// Whatever a package or anybody else left at "db.tmp" is never written
// through: a link, a fifo or a second hard link is replaced by a new file.
TEST_F(Db, SaveReplacesWhatStandsAtTheTemporaryName) {
  TempDir outside;
  std::string canary = outside / "canary";
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
  } cases[] = {
      {"link", [&](const std::string& p) { ASSERT_EQ(0, symlink(canary.c_str(), p.c_str())); }},
      {"dangling link", [&](const std::string& p) { ASSERT_EQ(0, symlink((outside / "new").c_str(), p.c_str())); }},
      {"hard link", [&](const std::string& p) { ASSERT_EQ(0, link(canary.c_str(), p.c_str())); }},
      {"fifo", [&](const std::string& p) { ASSERT_EQ(0, mkfifo(p.c_str(), 0600)); }},
  };
  for (const Case& c : cases) {
    write_file(canary, "untouched\n");
    PackageDbPtr db = open_with("a\n1\nx\n\n");
    c.make(dbdir_ + "/db.tmp");
    ASSERT_EQ(0, db_save(db.get())) << c.what;
    EXPECT_EQ("a\n1\nx\n\n", read_file(dbdir_ + "/db")) << c.what;
    EXPECT_EQ("untouched\n", read_file(canary)) << c.what;
    EXPECT_FALSE(sorn_test::exists(outside / "new")) << c.what;
    EXPECT_FALSE(sorn_test::exists(dbdir_ + "/db.tmp")) << c.what;
    struct stat st;
    ASSERT_EQ(0, lstat((dbdir_ + "/db").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1) << c.what;
  }
}

// A database directory under the root that leads out of it is refused
// before it is created; a "db" that is a link is not read.
TEST_F(Db, DirectoryAndFileOutsideTheRoot) {
  const std::string prog = program_invocation_short_name;
  TempDir outside;
  write_file(outside / "db", "evil\n1\netc/passwd\n\n");
  ASSERT_EQ(0, symlink(outside.path().c_str(), (root_ / "var").c_str()));
  Exit e = exit_of([&] { db_open(root_.path().c_str(), true); });
  EXPECT_EQ(1, e.status);
  EXPECT_EQ(prog + ": database directory outside the root: " + dbdir_ + "\n", e.err);
  EXPECT_EQ(std::vector<std::string>{"db"}, sorn_test::entries_of(outside.path()));
  {
    ScopedEnv env("PKG_DBDIR", (outside / "chosen").c_str());  // chosen by the administrator
    PackageDbPtr db(db_open(root_.path().c_str(), true));
    EXPECT_EQ(outside / "chosen", db->dir);
  }
  ASSERT_EQ(0, unlink((root_ / "var").c_str()));
  sorn_test::mkdir_p(dbdir_);
  ASSERT_EQ(0, symlink((outside / "db").c_str(), (dbdir_ + "/db").c_str()));
  e = exit_of([&] { db_open(root_.path().c_str(), true); });
  EXPECT_EQ(1, e.status);
  EXPECT_EQ(prog + ": cannot open database: Too many levels of symbolic links\n", e.err);
}

}  // namespace
