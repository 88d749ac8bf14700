// The foundation: StringList, path helpers, tree removal, the process helper
// and the diagnostics.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/support.h"
#include "util/util.h"

using sorn_test::strings_of;
using sorn_test::TempDir;

namespace {

TEST(StringList, GrowsByDoublingAndKeepsOrder) {
  StringListPtr list(strlist_new());
  EXPECT_EQ(32u, list->allocated);
  EXPECT_EQ(0u, list->in_use);
  EXPECT_TRUE(list->is_sorted);
  for (int i = 0; i < 65; i++) {
    strlist_add(list.get(), std::to_string(i).c_str());
    if (i == 31) { EXPECT_EQ(32u, list->allocated); }
    if (i == 32) { EXPECT_EQ(64u, list->allocated); }
  }
  EXPECT_EQ(128u, list->allocated);
  EXPECT_EQ(65u, list->in_use);
  EXPECT_FALSE(list->is_sorted);
  for (int i = 0; i < 65; i++) EXPECT_STREQ(std::to_string(i).c_str(), list->strings[i]);
  EXPECT_TRUE(strlist_contains(list.get(), "64"));
  EXPECT_FALSE(strlist_contains(list.get(), "65"));
}

TEST(StringList, BisectsOnlyWhenSortedAndLarger) {
  // A list marked sorted whose strings are not in order shows which search
  // runs: the linear scan finds "a" wherever it is, the bisection does not.
  for (int n : {16, 17}) {
    StringListPtr list(strlist_new());
    strlist_add(list.get(), "z");
    for (int i = 1; i < n - 1; i++) {
      std::string name = "m";  // appended: see the -Wrestrict note in plan_test.cc
      name += std::to_string(100 + i);
      strlist_add(list.get(), name.c_str());
    }
    strlist_add(list.get(), "a");
    list->is_sorted = 1;
    EXPECT_EQ(n <= 16, strlist_contains(list.get(), "a")) << n << " strings";
    strlist_add(list.get(), "b");  // clears is_sorted: linear again
    EXPECT_TRUE(strlist_contains(list.get(), "a"));
    strlist_sort(list.get());
    EXPECT_TRUE(list->is_sorted);
    EXPECT_STREQ("a", list->strings[0]);
    EXPECT_STREQ("z", list->strings[list->in_use - 1]);
    for (const char* s : {"a", "b", "m101", "z"}) EXPECT_TRUE(strlist_contains(list.get(), s)) << s;
    EXPECT_FALSE(strlist_contains(list.get(), "m"));
  }
}

TEST(StringList, NullsAndByteOrder) {
  StringListPtr list(strlist_new());
  strlist_add(list.get(), nullptr);
  strlist_add(list.get(), "B");
  strlist_add(list.get(), "a");
  strlist_add(list.get(), "\xc3\xa9");
  strlist_add(list.get(), "");
  EXPECT_FALSE(strlist_contains(list.get(), nullptr));
  EXPECT_FALSE(strlist_contains(nullptr, "a"));
  EXPECT_TRUE(strlist_contains(list.get(), ""));
  strlist_sort(list.get());
  EXPECT_EQ((std::vector<std::string>{"<null>", "", "B", "a", "\xc3\xa9"}), strings_of(list.get()));
  strlist_sort(nullptr);
  strlist_free(nullptr);
}

TEST(StringList, RemoveMovesTheLastIntoTheSlot) {
  StringListPtr list(strlist_new());
  for (const char* s : {"a", "b", "c", "b", "d"}) strlist_add(list.get(), s);
  strlist_sort(list.get());
  EXPECT_EQ(0, strlist_remove(list.get(), "b"));
  EXPECT_FALSE(list->is_sorted);
  EXPECT_EQ((std::vector<std::string>{"a", "d", "b", "c"}), strings_of(list.get()));
  EXPECT_EQ(-1, strlist_remove(list.get(), "x"));
  EXPECT_EQ(0, strlist_remove(list.get(), "c"));
  EXPECT_EQ((std::vector<std::string>{"a", "d", "b"}), strings_of(list.get()));
}

TEST(Strings, TrimAndAffixes) {
  char buf[] = " \t\n\v\f\r value  x \r\n";
  EXPECT_STREQ("value  x", trim_space(buf));
  char blank[] = " \t ";
  EXPECT_STREQ("", trim_space(blank));
  EXPECT_EQ(nullptr, trim_space(nullptr));
  EXPECT_TRUE(has_prefix("etc/foo", "etc/"));
  EXPECT_TRUE(has_prefix("etc", ""));
  EXPECT_FALSE(has_prefix("et", "etc"));
  EXPECT_FALSE(has_prefix(nullptr, "a"));
  EXPECT_FALSE(has_prefix("a", nullptr));
  EXPECT_TRUE(has_suffix("x.tar.gz", ".tar.gz"));
  EXPECT_FALSE(has_suffix("gz", ".gz"));
  EXPECT_FALSE(has_suffix(nullptr, ""));
  EXPECT_EQ(nullptr, must_strdup(nullptr));

  std::string_view f[4];
  ASSERT_EQ(4u, split_fields("a::b:c:d", ':', f, 4));
  EXPECT_EQ((std::vector<std::string_view>{"a", "", "b", "c:d"}), std::vector<std::string_view>(f, f + 4));
  ASSERT_EQ(1u, split_fields("", ':', f, 4));
  EXPECT_EQ("", f[0]);
  EXPECT_EQ(2u, split_fields("x:", ':', f, 4));
}

TEST(RootPath, Joins) {
  struct Case {
    const char* root;
    const char* rel;
    const char* want;
  } cases[] = {
      {"/", "usr/bin/ls", "/usr/bin/ls"}, {"/mnt", "etc/x", "/mnt/etc/x"},
      {"/mnt/", "etc/x", "/mnt/etc/x"},   {"/mnt", "/etc/x", "/mnt/etc/x"},
      {"/mnt/", "/etc/x", "/mnt//etc/x"}, {nullptr, "etc/x", "etc/x"},
      {"", "etc/x", "etc/x"},             {nullptr, nullptr, ""},
      {"/mnt", nullptr, "/mnt"},          {"/mnt", "", "/mnt"},
      {"rel", "a/", "rel/a/"},
  };
  for (const Case& c : cases) {
    CharPtr got(root_path(c.root, c.rel));
    EXPECT_STREQ(c.want, got.get()) << (c.root ? c.root : "(null)") << " + " << (c.rel ? c.rel : "(null)");
  }
}

// Only what could lead outside the root; zarnin refuses more member names.
TEST(PathIsUnsafe, AbsoluteParentAndOverlong) {
  struct Case {
    std::string path;
    bool unsafe;
  } cases[] = {
      {"usr/bin/foo", false},     {"usr/", false},          {"./usr/bin", false},
      {"..foo/bar", false},       {"a/...", false},         {"a//b", false},
      {"a\\b", false},            {"etc/x ", false},        {"/etc/passwd", true},
      {"/", true},                {"..", true},             {"usr/../../x", true},
      {"usr/..", true},           {"a/../", true},          {std::string(4094, 'a'), false},
      {std::string(4095, 'a'), true},
  };
  for (const Case& c : cases) EXPECT_EQ(c.unsafe, path_is_unsafe(c.path.c_str())) << c.path.substr(0, 40);
  EXPECT_FALSE(path_is_unsafe(nullptr));
}

TEST(MakeDirs, CreatesParentsAndAcceptsWhatExists) {
  TempDir t;
  EXPECT_EQ(0, make_dirs((t / "a/b/c/").c_str(), 0750));
  struct stat st;
  ASSERT_EQ(0, stat((t / "a/b/c").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0, make_dirs((t / "a/b/c").c_str(), 0755));
  sorn_test::write_file(t / "file", "x");
  EXPECT_EQ(0, make_dirs((t / "file").c_str(), 0755)) << "an existing file is no error";
  EXPECT_EQ(-1, make_dirs((t / "file/sub").c_str(), 0755));
  EXPECT_EQ(ENOTDIR, errno);
  errno = 0;
  EXPECT_EQ(-1, make_dirs("", 0755));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, make_dirs(nullptr, 0755));
  EXPECT_EQ(0, make_dirs("/", 0755));
}

TEST(RemoveTree, RemovesWithoutFollowingLinks) {
  TempDir t;
  sorn_test::write_file(t / "outside/keep", "x");
  sorn_test::write_file(t / "tree/a/b/file", "y");
  ASSERT_EQ(0, symlink((t / "outside").c_str(), (t / "tree/a/link").c_str()));
  ASSERT_EQ(0, symlink("/nonexistent", (t / "tree/dangling").c_str()));
  // Wide enough below for a few threads to share it.
  for (int d = 0; d < 12; d++) {
    std::string dir = t / ("tree/wide/d" + std::to_string(d));
    sorn_test::write_file(dir + "/sub/file", "z");
    ASSERT_EQ(0, symlink((t / "outside").c_str(), (dir + "/link").c_str()));
  }
  EXPECT_EQ(0, remove_tree((t / "tree").c_str()));
  EXPECT_FALSE(sorn_test::exists(t / "tree"));
  EXPECT_EQ("x", sorn_test::read_file(t / "outside/keep"));

  EXPECT_EQ(0, remove_tree((t / "outside/keep").c_str()));
  EXPECT_FALSE(sorn_test::exists(t / "outside/keep"));
  EXPECT_EQ(0, remove_tree((t / "missing").c_str()));
  EXPECT_EQ(0, remove_tree(""));
  EXPECT_EQ(0, remove_tree(nullptr));
  sorn_test::write_file(t / "outside/file", "x");
  EXPECT_EQ(-1, remove_tree((t / "outside/file/below").c_str())) << "ENOTDIR is a failure";
}

TEST(RemoveTree, FallsBackToRmWhenTheWalkFails) {
  // Paths deeper than PATH_MAX stop the walk; rm works relative to each
  // directory and gets through.
  TempDir t;
  std::string name(200, 'd');
  sorn_test::sh("cd " + sorn_test::shell_quote(t.path()) + " && mkdir deep && bash -c 'cd deep && " +
                "for i in $(seq 25); do mkdir " + name + " && cd " + name + "; done && touch f'");
  EXPECT_EQ(0, remove_tree((t / "deep").c_str()));
  EXPECT_FALSE(sorn_test::exists(t / "deep"));
}

TEST(RemoveTree, ReportsAFailureThatRmCannotMendEither) {
  // As an unprivileged user a read-only directory stops both the walk and rm.
  TempDir t;
  sorn_test::write_file(t / "ro/sub/file", "x");
  sorn_test::sh("chown -R 65534:65534 " + t.path() + " && chmod 0555 " + t.path() + "/ro/sub");
  chmod(t.path().c_str(), 0755);
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    int fd = open("/dev/null", O_WRONLY);
    dup2(fd, STDERR_FILENO);  // rm's complaint
    _exit(remove_tree((t / "ro").c_str()) == -1 ? 0 : 1);
  }
  EXPECT_EQ(0, wait_child(pid));
  EXPECT_TRUE(sorn_test::exists(t / "ro/sub/file"));
}

TEST(Process, StatusesOfTheChild) {
  EXPECT_TRUE(child_succeeded(0));
  EXPECT_TRUE(child_succeeded(0x80)) << "a core-dump bit alone is masked";
  EXPECT_FALSE(child_succeeded(1 << 8));
  EXPECT_FALSE(child_succeeded(SIGKILL));
  EXPECT_FALSE(child_succeeded(-1));

  char a0[] = "true";
  char* argv_true[] = {a0, nullptr};
  EXPECT_EQ(0, run_child({.program = "true", .argv = argv_true}));

  char b0[] = "no-such-program-here";
  char* argv_missing[] = {b0, nullptr};
  int st = run_child({.program = b0, .argv = argv_missing, .status_no_exec = 42});
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(42, WEXITSTATUS(st));

  TempDir t;
  st = run_child({.program = "true", .argv = argv_true, .root = (t / "missing-root").c_str(),
                  .status_no_root = 126});
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(126, WEXITSTATUS(st));
}

TEST(Process, CandidatesAndEnvironment) {
  TempDir t;
  int out = open((t / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(out, 0);
  const char* missing[] = {"no-such-program-here", nullptr};
  const char* env[] = {"sh", "-c",
                       "echo \"${SORN_DROP-unset} ${SORN_KEEP-unset} ${SORN_SET-unset} ${SORN_NEW-unset}\"; "
                       "env | grep -c ^SORN_SET=",
                       nullptr};
  const char* const* candidates[] = {missing, env, nullptr};
  setenv("SORN_DROP", "x", 1);
  setenv("SORN_KEEP", "y", 1);
  setenv("SORN_SET", "old", 1);
  // A default applies where nothing is inherited.
  EXPECT_EQ(0, run_child({.stdout_fd = out, .candidates = candidates, .unset_env = "SORN_DROP",
                          .set_env = "SORN_SET=new value", .default_env = "SORN_NEW=default"}));
  // The same through a forked child, which quiet output needs.
  std::string to_file = "(" + std::string(env[2]) + ") > " + (t / "forked");
  const char* env_forked[] = {"sh", "-c", to_file.c_str(), nullptr};
  const char* const* forked[] = {missing, env_forked, nullptr};
  EXPECT_EQ(0, run_child({.quiet = true, .candidates = forked, .unset_env = "SORN_DROP",
                          .set_env = "SORN_SET=new value", .default_env = "SORN_KEEP=default"}));
  EXPECT_EQ("unset y new value default\n1\n", sorn_test::read_file(t / "out"));
  EXPECT_EQ("unset y new value unset\n1\n", sorn_test::read_file(t / "forked"));
  EXPECT_STREQ("x", getenv("SORN_DROP")) << "the parent keeps its environment";
  EXPECT_STREQ("old", getenv("SORN_SET"));
  unsetenv("SORN_DROP");
  unsetenv("SORN_KEEP");
  unsetenv("SORN_SET");
  close(out);

  const char* const* none[] = {missing, missing, nullptr};
  int st = run_child({.candidates = none});
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(127, WEXITSTATUS(st)) << "no candidate starts";
}

TEST(Process, DescriptorsAndQuietOutput) {
  TempDir t;
  int out = open((t / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  int in = open("/etc/hostname", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(out, 0);
  char a0[] = "sh", a1[] = "-c", a2[] = "echo out; echo err >&2; wc -c >/dev/null";
  char* argv[] = {a0, a1, a2, nullptr};
  EXPECT_EQ(0, run_child({.program = "sh", .argv = argv, .stdin_fd = in, .stdout_fd = out}));
  EXPECT_EQ("out\n", sorn_test::read_file(t / "out"));
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, run_child({.program = "sh", .argv = argv, .quiet = true}));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  close(out);
  if (in >= 0) close(in);

  Child c(spawn_child({.program = "true", .argv = argv}));
  EXPECT_TRUE(c.started());
  EXPECT_EQ(0, c.wait());
  EXPECT_EQ(0, c.wait()) << "waits once, remembers the status";
}

TEST(Diagnostics, PrefixesAndExit) {
  testing::internal::CaptureStdout();
  log_note("extracting %s", "x.pkg");
  EXPECT_EQ("sorn: extracting x.pkg\n", testing::internal::GetCapturedStdout());
  testing::internal::CaptureStderr();
  log_warning("trigger %d failed", 3);
  set_program_name("zarnin");
  prog_error("extraction failed: %s", "p");
  set_program_name("sorn");
  EXPECT_EQ("sorn: warning: trigger 3 failed\nzarnin: error: extraction failed: p\n",
            testing::internal::GetCapturedStderr());
  EXPECT_EXIT(die("bad %s", "thing"), testing::ExitedWithCode(1), "^sorn: error: bad thing\n$");
  EXPECT_EQ("a/b 7", strformat("%s/%s %d", "a", "b", 7));
}

TEST(Allocation, FailureEndsTheProgramWithTheSize) {
  EXPECT_EXIT(must_malloc(SIZE_MAX / 2), testing::ExitedWithCode(1),
              ": malloc\\([0-9]+\\): Cannot allocate memory\n$");
}

}  // namespace

namespace {

// One tree of links and directories, resolved by openat2 and by the lstat
// walk that stands in for it: both give the same answer for every path.
TEST(Confinement, ResolvesBeneathTheRootOnly) {
  TempDir top;
  std::string root = top / "root";
  sorn_test::mkdir_p(root + "/usr/lib");
  sorn_test::mkdir_p(top / "canary");
  sorn_test::write_file(root + "/file", "x\n");
  struct Link {
    const char* path;
    std::string target;
  } links[] = {
      {"lib", "usr/lib"},           {"abs", top / "canary"},  {"up", "../canary"},
      {"usr/lib/back", "../../usr"}, {"usr/climb", "../../canary"}, {"loop", "loop"},
      {"dangling", "nothere"},      {"tofile", "file"},       {"chain", "lib/back/lib"},
  };
  for (const Link& l : links) ASSERT_EQ(0, symlink(l.target.c_str(), (root + "/" + l.path).c_str()));
  struct Case {
    const char* rel;
    int error;
    bool inside;  // RootGuard's answer
  } cases[] = {
      {"", 0, true},
      {"usr/lib", 0, true},
      {"lib", 0, true},
      {"chain", 0, true},
      {"usr/lib/back/lib", 0, true},
      {"usr/../usr/lib", 0, true},
      {"abs", EXDEV, false},
      {"abs/new/deeper", EXDEV, false},
      {"up", EXDEV, false},
      {"usr/climb", EXDEV, false},
      {"..", EXDEV, false},
      {"usr/../..", EXDEV, false},
      {"loop", ELOOP, false},
      {"dangling", ENOENT, false},
      {"dangling/x", ENOENT, false},
      {"missing/new", ENOENT, true},
      {"lib/missing", ENOENT, true},
      {"file", ENOTDIR, true},
      {"file/x", ENOTDIR, true},
      {"tofile", ENOTDIR, true},
  };
  UniqueFd fd(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(fd);
  RootGuard guard(root.c_str());
  for (const Case& c : cases) {
    EXPECT_EQ(c.error, beneath_resolve_dir(fd.get(), c.rel, false)) << c.rel;
    EXPECT_EQ(c.error, beneath_resolve_dir(fd.get(), c.rel, true)) << c.rel << " (walk)";
    EXPECT_EQ(c.inside, guard.dir_inside(c.rel)) << c.rel;
    EXPECT_EQ(c.inside, guard.parent_inside(std::string(c.rel) + "/member")) << c.rel;
  }
  // The running system and a root not made yet hold nothing that leads out.
  RootGuard running("/"), absent((top / "absent").c_str());
  for (const char* rel : {"abs", "..", "etc/x"}) {
    EXPECT_TRUE(running.dir_inside(rel)) << rel;
    EXPECT_TRUE(absent.dir_inside(rel)) << rel;
  }
  EXPECT_EQ(std::vector<std::string>{}, sorn_test::entries_of(top / "canary"));
}

}  // namespace
