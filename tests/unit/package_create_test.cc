// package_create with the real tar and compressors: the archive order read
// back from the package, every compression tag with and without an
// observer, the compressor candidates, and every failure leaving no file.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "support/support.h"

using sorn_test::CandidateRun;
using sorn_test::exists;
using sorn_test::run_candidates;
using sorn_test::PackageTree;
using sorn_test::read_file;
using sorn_test::run;
using sorn_test::ScopedEnv;
using sorn_test::sh;
using sorn_test::shell_quote;
using sorn_test::strings_of;
using sorn_test::TempDir;
using sorn_test::write_file;

namespace {

struct Created {
  int result;
  std::string out, err;
};

// What the observer saw; before each chunk the file on disk must hold
// exactly the bytes seen so far.
struct Seen {
  explicit Seen(std::string file) : target(std::move(file)) {}
  std::string target;
  std::string bytes;
  size_t calls = 0;
  bool written_before = false;
};

void observe(const void* bytes, size_t length, void* user_data) {
  auto* seen = static_cast<Seen*>(user_data);
  struct stat st;
  if (stat(seen->target.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) != seen->bytes.size())
    seen->written_before = true;
  seen->bytes.append(static_cast<const char*>(bytes), length);
  seen->calls++;
}

class PackageCreate : public testing::Test {
 protected:
  PackageCreate() {
    // The listing below swaps standard input; a run without one would hand
    // descriptor 0 to a pipe.
    if (fcntl(STDIN_FILENO, F_GETFD) < 0) open("/dev/null", O_RDONLY);
  }

  TempDir work_;
  ScopedEnv tar_options_{"TAR_OPTIONS", nullptr};
  std::string prefix_ = std::string(program_invocation_short_name) + ": ";

  Created create(const std::string& target, const std::string& dir, CompressionTag tag,
                 Seen* seen = nullptr) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int r = package_create(target.c_str(), dir.c_str(), tag, seen != nullptr ? observe : nullptr,
                           seen);
    std::string out = testing::internal::GetCapturedStdout();
    return {r, out, testing::internal::GetCapturedStderr()};
  }

  // The members of a package in archive order, as tar lists them.
  std::vector<std::string> members(const std::string& package) {
    const char* argv[] = {"tar", "-tf", "-", nullptr};
    StringListPtr list(strlist_new());
    EXPECT_EQ(0, run_tar_pipeline(package.c_str(), const_cast<char* const*>(argv), list.get()))
        << package;
    return strings_of(list.get());
  }

  // A directory for PATH holding the real tar (when wanted) and the given
  // scripts.
  std::string path_with(const TempDir& bin, bool real_tar,
                        const std::vector<std::pair<std::string, std::string>>& scripts = {}) {
    if (real_tar) {
      std::string tar = run({"sh", "-c", "command -v tar"}).out;
      tar.erase(tar.find_last_not_of('\n') + 1);
      EXPECT_EQ(0, symlink(tar.c_str(), (bin / "tar").c_str()));
    }
    for (const auto& [name, body] : scripts) write_file(bin / name, "#!/bin/sh\n" + body, 0755);
    return bin.path();
  }
};

TEST_F(PackageCreate, ArchiveOrderGroupsByDirectory) {
  PackageTree t;
  t.file("README", "read me\n")
      .file(".hidden", "")
      .file("usr/bin/foo", "foo\n")
      .symlink("usr/bin/foo2", "foo")
      .symlink("usr/bin/a-link", "foo")  // a smaller name, still after the files
      .file("usr/bin/sub/x", "x\n")
      .file("usr/bin-x/a", "a\n")
      .file("usr/bin0/b", "b\n")
      .file("usr/lib/libx.so.1", "elf\n")
      .symlink("usr/lib/libx.so", "libx.so.1")
      .symlink("usr/aaa", "lib")  // a link to a directory is not followed
      .dir("usr/share/empty");
  std::string pkg = work_ / "order#1-1.pkg.tar.zst";
  Created c = create(pkg, t.path(), "zst");
  ASSERT_EQ(0, c.result) << c.err;
  EXPECT_EQ("sorn: compressing package\n", c.out);
  EXPECT_EQ("", c.err);
  std::vector<std::string> expected{
      ".hidden",      "README",          "usr/",          "usr/aaa",
      "usr/bin-x/",   "usr/bin-x/a",     "usr/bin/",      "usr/bin/foo",
      "usr/bin/a-link", "usr/bin/foo2",  "usr/bin/sub/",  "usr/bin/sub/x",
      "usr/bin0/",    "usr/bin0/b",      "usr/lib/",      "usr/lib/libx.so.1",
      "usr/lib/libx.so", "usr/share/",   "usr/share/empty/",
  };
  EXPECT_EQ(expected, members(pkg));
}

// GNU tar takes a name from -T that begins with "-" for an option unless
// told otherwise: these would run a command or pack the host's /etc.
TEST_F(PackageCreate, NamesThatLookLikeOptionsAreNames) {
  PackageTree t;
  t.file("--checkpoint=1", "")
      .file("--checkpoint-action=exec=touch pwned", "")
      .file("-C/etc", "not the host's\n")
      .file("back\\slash", "");
  std::string pkg = work_ / "dash#1-1.pkg.tar.gz";
  Created c = create(pkg, t.path(), "gz");
  ASSERT_EQ(0, c.result) << c.err;
  std::vector<std::string> expected{"--checkpoint-action=exec=touch pwned", "--checkpoint=1",
                                    "back\\\\slash", "-C/", "-C/etc"};
  EXPECT_EQ(expected, members(pkg));
  EXPECT_FALSE(exists(t.path() + "/pwned"));
}

TEST_F(PackageCreate, EveryTagWithAndWithoutObserver) {
  PackageTree t;
  t.file("etc/foo.conf", "a=1\n").file("usr/bin/foo", std::string(100000, 'f')).dir("var/empty");
  const std::vector<std::string> expected{"etc/", "etc/foo.conf", "usr/", "usr/bin/",
                                          "usr/bin/foo", "var/", "var/empty/"};
  struct Case {
    CompressionTag tag;
    const char* detected;
  } cases[] = {
      {nullptr, "gz"}, {"", "gz"},     {"bz", "gz"},   {"GZ", "gz"}, {"gz", "gz"},
      {"zst", "zst"},  {"xz", "xz"},   {"bz2", "bz2"}, {"lz", "lz"},
  };
  for (const Case& k : cases) {
    for (bool observed : {false, true}) {
      std::string label = std::string(k.tag != nullptr ? k.tag : "(none)") +
                          (observed ? " observed" : " direct");
      std::string pkg = work_ / "foo#1-1.pkg.tar.x";
      Seen seen(pkg);
      Created c = create(pkg, t.path(), k.tag, observed ? &seen : nullptr);
      ASSERT_EQ(0, c.result) << label << ": " << c.err;
      EXPECT_EQ("", c.err) << label;
      CompressionTag detected = detect_compression(pkg.c_str());
      EXPECT_STREQ(k.detected, detected) << label;
      EXPECT_EQ(expected, members(pkg)) << label;
      EXPECT_EQ(0644, sorn_test::file_mode(pkg)) << label;
      if (observed) {
        EXPECT_EQ(read_file(pkg), seen.bytes) << label;
        EXPECT_LE(1u, seen.calls) << label;
        EXPECT_FALSE(seen.written_before) << label << ": a chunk reached the file first";
      }
      unlink(pkg.c_str());
    }
  }
}

// Each fake program prints its name and arguments, so the vector that
// exec_compressor chose shows on its output.
TEST_F(PackageCreate, CompressorCandidatesInOrder) {
  struct Case {
    const char* tag;
    std::vector<std::string> present;
    std::string started;  // empty: none could be started
  } cases[] = {
      {"xz", {"xz"}, "xz -T0"},
      {"zst", {"zstd"}, "zstd -q -T0"},
      {"zst", {"gzip"}, ""},
      {"bz2", {"lbzip2", "pbzip2", "bzip2"}, "lbzip2"},
      {"bz2", {"pbzip2", "bzip2"}, "pbzip2"},
      {"bz2", {"bzip2"}, "bzip2"},
      {"lz", {"plzip", "lzip"}, "plzip"},
      {"lz", {"lzip"}, "lzip"},
      {"gz", {"pigz", "gzip"}, "pigz"},
      {"gz", {"gzip"}, "gzip"},
      {nullptr, {"gzip"}, "gzip"},
      {"", {"pigz"}, "pigz"},
      {"bz", {"bzip2", "gzip"}, "gzip"},
      {"gz", {}, ""},
  };
  for (const Case& c : cases) {
    CandidateRun r = run_candidates(exec_compressor, c.tag, c.present);
    std::string label = std::string(c.tag ? c.tag : "(none)") + " with " +
                        testing::PrintToString(c.present);
    if (c.started.empty()) {
      EXPECT_EQ(127, WEXITSTATUS(r.status)) << label;
    } else {
      EXPECT_TRUE(child_succeeded(r.status)) << label;
      EXPECT_EQ(c.started + "\n", r.out) << label;
    }
  }
}

// With an observer this process feeds tar and drains the compressor at
// once; a list far larger than a pipe must not stall either side.
TEST_F(PackageCreate, HundredThousandMembersWithAnObserver) {
  TempDir tree;
  sh("cd " + shell_quote(tree.path()) +
     " && for d in $(seq 100 199); do mkdir d$d && (cd d$d && "
     "seq -f 'member-with-a-name-long-enough-to-fill-pipes-%06g' 1000 | xargs touch); done");
  std::string pkg = work_ / "many#1-1.pkg.tar.zst";
  Seen seen(pkg);
  Created c = create(pkg, tree.path(), "zst", &seen);
  ASSERT_EQ(0, c.result) << c.err;
  EXPECT_EQ(read_file(pkg), seen.bytes);
  std::vector<std::string> listed = members(pkg);
  ASSERT_EQ(100100u, listed.size());
  EXPECT_EQ("d100/", listed[0]);
  EXPECT_EQ("d100/member-with-a-name-long-enough-to-fill-pipes-000001", listed[1]);
  EXPECT_EQ("d199/member-with-a-name-long-enough-to-fill-pipes-001000", listed.back());
}

TEST_F(PackageCreate, FailuresReportOnceAndLeaveNoFile) {
  PackageTree small;
  small.file("usr/bin/foo", "foo\n");
  // A list much longer than a pipe holds, and an archive too: a tar that
  // has gone breaks the feed, and a missing compressor breaks tar.
  TempDir large;
  sh("cd " + shell_quote(large.path()) +
     " && seq -f 'a-rather-long-file-name-to-make-the-list-long-%05g' 3000 | xargs touch"
     " && head -c 1000000 /dev/urandom > noise");
  TempDir empty, bin_fake_tar, bin_no_zstd, bin_fake_tar_no_zstd;
  PackageTree newline_file, newline_dir;
  newline_file.file("usr/ok", "").file("usr/bad\nname", "");
  newline_dir.file("x\ny/inner", "");
  std::string zstd = run({"sh", "-c", "command -v zstd"}).out;
  zstd.erase(zstd.find_last_not_of('\n') + 1);
  std::string fake_tar = path_with(bin_fake_tar, false, {{"tar", "exit 2\n"}});
  ASSERT_EQ(0, symlink(zstd.c_str(), (bin_fake_tar / "zstd").c_str()));
  std::string no_zstd = path_with(bin_no_zstd, true);
  std::string neither = path_with(bin_fake_tar_no_zstd, false, {{"tar", "exit 2\n"}});
  std::string target = work_ / "pkg#1-1.pkg.tar.zst";

  struct Case {
    const char* label;
    std::string dir;
    std::string target;
    std::string path;  // PATH, unchanged when empty
    std::string err;   // after the program name
  } cases[] = {
      {"missing directory", work_ / "missing", target, "",
       "cannot read package directory: " + work_ / "missing"},
      {"empty directory", empty.path(), target, "", "empty package directory: " + empty.path()},
      {"target not creatable", small.path(), work_ / "no/such/p.zst", "",
       "cannot create " + work_ / "no/such/p.zst" + ": No such file or directory"},
      {"newline in a file name", newline_file.path(), target, "",
       "cannot package a name with a newline: usr/bad\nname"},
      {"newline in a directory name", newline_dir.path(), target, "",
       "cannot package a name with a newline: x\ny"},
      {"tar fails", small.path(), target, fake_tar, "tar failed creating package"},
      {"tar fails early on a long list", large.path(), target, fake_tar,
       "tar failed creating package"},
      {"tar and the compressor fail", large.path(), target, neither,
       "tar failed creating package"},
      {"compressor missing", small.path(), target, no_zstd, "zstd failed creating package"},
      {"compressor missing, large archive", large.path(), target, no_zstd,
       "zstd failed creating package"},
  };
  for (const Case& k : cases) {
    for (bool observed : {false, true}) {
      std::string label = std::string(k.label) + (observed ? " observed" : " direct");
      std::optional<ScopedEnv> path;
      if (!k.path.empty()) path.emplace("PATH", k.path.c_str());
      Seen seen(k.target);
      Created c = create(k.target, k.dir, "zst", observed ? &seen : nullptr);
      path.reset();
      EXPECT_EQ(-1, c.result) << label;
      EXPECT_EQ(prefix_ + k.err + "\n", c.err) << label;
      EXPECT_EQ("sorn: compressing package\n", c.out) << label;
      EXPECT_FALSE(exists(k.target)) << label;
    }
  }
}

// The observer's own writes: a device that refuses them is reported, and,
// not being a file this operation made, stays in place.
TEST_F(PackageCreate, TargetWriteErrorKeepsADevice) {
  std::string full = work_ / "full";
  if (mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0)
    GTEST_SKIP() << "cannot make a device node here: " << strerror(errno);
  PackageTree t;
  t.file("usr/bin/foo", "foo\n");
  Seen seen(full);
  Created c = create(full, t.path(), "gz", &seen);
  EXPECT_EQ(-1, c.result);
  EXPECT_EQ(prefix_ + "write " + full + ": No space left on device\n", c.err);
  EXPECT_TRUE(exists(full));
}

TEST_F(PackageCreate, OnlyEmptyDirectoriesAreMembers) {
  PackageTree t;
  t.dir("a/b").dir("c");
  std::string pkg = work_ / "dirs#1-1.pkg.tar.xz";
  Created c = create(pkg, t.path(), "xz");
  ASSERT_EQ(0, c.result) << c.err;
  EXPECT_EQ((std::vector<std::string>{"a/", "a/b/", "c/"}), members(pkg));
}

TEST(PackageMemberOrder, ComparesLikeTheArchive) {
  struct Case {
    PackageMember a, b;
    int expected;
  } cases[] = {
      {{const_cast<char*>("usr/bin-x/"), S_IFDIR}, {const_cast<char*>("usr/bin/"), S_IFDIR}, -1},
      {{const_cast<char*>("usr/bin/z/q"), S_IFREG}, {const_cast<char*>("usr/bin0/"), S_IFDIR}, -1},
      {{const_cast<char*>("README"), S_IFREG}, {const_cast<char*>("a/"), S_IFDIR}, -1},
      {{const_cast<char*>("usr/a"), S_IFLNK}, {const_cast<char*>("usr/z"), S_IFREG}, 1},
      {{const_cast<char*>("usr/fifo"), S_IFIFO}, {const_cast<char*>("usr/file"), S_IFREG}, -1},
      {{const_cast<char*>("usr/"), S_IFDIR}, {const_cast<char*>("usr/a"), S_IFREG}, -1},
      {{const_cast<char*>("\xc3\xa9"), S_IFREG}, {const_cast<char*>("z"), S_IFREG}, 1},
      {{const_cast<char*>("same"), S_IFREG}, {const_cast<char*>("same"), S_IFREG}, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, compare_package_members(&c.a, &c.b)) << c.a.path << " " << c.b.path;
    EXPECT_EQ(-c.expected, compare_package_members(&c.b, &c.a)) << c.b.path << " " << c.a.path;
  }
}

}  // namespace
