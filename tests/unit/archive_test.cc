// Package archive access with the real tar: magic numbers, the decompressor
// candidates, file names, listing, and the extractions.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "support/support.h"

using sorn_test::CandidateRun;
using sorn_test::entries_of;
using sorn_test::run_candidates;
using sorn_test::exists;
using sorn_test::is_symlink;
using sorn_test::mkdir_p;
using sorn_test::PackageTree;
using sorn_test::read_file;
using sorn_test::sh;
using sorn_test::ScopedEnv;
using sorn_test::shell_quote;
using sorn_test::strings_of;
using sorn_test::TempDir;
using sorn_test::write_file;

namespace {

// The pipeline swaps standard input; a test run without one would hand
// descriptor 0 to a pipe.
void ensure_stdin() {
  if (fcntl(STDIN_FILENO, F_GETFD) < 0) open("/dev/null", O_RDONLY);
}

class Archive : public testing::Test {
 protected:
  Archive() { ensure_stdin(); }
  TempDir work_, tmp_;
  ScopedEnv tmpdir_{"TMPDIR", tmp_.path().c_str()};
  ScopedEnv tar_options_{"TAR_OPTIONS", nullptr};

  // Exclusion files left in TMPDIR.
  int exclusion_files() {
    int n = 0;
    for (const std::string& e : entries_of(tmp_.path())) n += e.starts_with("sorn-excl.");
    return n;
  }

  std::string sample(const std::string& file_name = "foo#1.0-1.pkg.tar.zst") {
    PackageTree t;
    t.file("usr/bin/foo", "foo\n").file("etc/foo.conf", "a=1\n").dir("usr/share/foo/");
    return t.pack(work_.path(), file_name);
  }
};

TEST_F(Archive, CompressionComesFromTheMagicNumberOnly) {
  struct Case {
    std::string bytes;
    const char* tag;
  } cases[] = {
      {std::string("\x1f\x8b\x08", 3), "gz"},  {std::string("\x1f\x8b", 2), "gz"},
      {std::string("\x1f", 1), nullptr},       {std::string("\x28\xb5\x2f\xfd", 4), "zst"},
      {std::string("\x28\xb5\x2f", 3), nullptr},
      {std::string("\xfd\x37\x7a\x58\x5a\x00", 6), "xz"},
      {std::string("\xfd\x37\x7a\x58\x5a", 5), nullptr},  // the zero byte must be read
      {"BZh91AY", "bz2"},                      {"BZ", nullptr},
      {"LZIP\x01", "lz"},                      {"LZI", nullptr},
      {std::string("\x5d\x00\x00", 3), nullptr},  // lzma-alone goes through cat
      {"usr/bin/foo\0\0\0", nullptr},          {"", nullptr},
  };
  for (const Case& c : cases) {
    std::string path = work_ / "x#1.pkg.tar.zst";
    write_file(path, c.bytes);
    CompressionTag tag = detect_compression(path.c_str());
    if (c.tag == nullptr)
      EXPECT_EQ(nullptr, tag) << testing::PrintToString(c.bytes);
    else
      EXPECT_STREQ(c.tag, tag) << testing::PrintToString(c.bytes);
  }
  EXPECT_EQ(nullptr, detect_compression((work_ / "missing").c_str()));
}

// Each fake program prints its name and arguments, so the vector that
// exec_decompressor chose shows on its output.
TEST_F(Archive, DecompressorCandidatesInOrder) {
  struct Case {
    const char* tag;
    std::vector<std::string> present;
    std::string started;  // empty: none could be started
  } cases[] = {
      {"gz", {"pigz", "gzip"}, "pigz -dc"},
      {"gz", {"gzip"}, "gzip -dc"},
      {"gz", {}, ""},
      {"zst", {"zstd"}, "zstd -dcq"},
      {"xz", {"xz"}, "xz -dc -T0"},
      {"bz2", {"lbzip2", "pbzip2", "bzip2"}, "lbzip2 -dc"},
      {"bz2", {"pbzip2", "bzip2"}, "pbzip2 -dc"},
      {"bz2", {"bzip2"}, "bzip2 -dc"},
      {"lz", {"plzip", "lzip"}, "plzip -dc"},
      {"lz", {"lzip"}, "lzip -dc"},
      {nullptr, {"cat", "gzip"}, "cat"},
      {"", {"cat"}, "cat"},
      {"lzma", {"cat", "xz"}, "cat"},
      {"GZ", {"cat", "pigz"}, "cat"},
  };
  for (const Case& c : cases) {
    CandidateRun r = run_candidates(exec_decompressor, c.tag, c.present);
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

TEST_F(Archive, TarballNames) {
  const char* yes[] = {"a.tar", "a.tar.gz", "a.tgz", "a.tar.bz2", "a.tbz2", "a.tar.xz",
                       "a.txz", "a.tar.lz", "a.tar.lzma", "a.tar.zst", "a.tzst", "a.tar.Z",
                       "foo#1.pkg.tar.zst", ".tar"};
  const char* no[] = {"a.zip", "a.tar.z", "a.tar.gz.sig", "a.TAR", "tar", "a.tar.bz", ""};
  for (const char* n : yes) EXPECT_TRUE(is_tarball_name(n)) << n;
  for (const char* n : no) EXPECT_FALSE(is_tarball_name(n)) << n;
  EXPECT_FALSE(is_tarball_name(nullptr));
}

TEST_F(Archive, InspectSplitsTheFileName) {
  std::string pkg = sample("plain.tar");
  struct Case {
    std::string file;
    const char* name;  // null: invalid
    const char* version;
  } cases[] = {
      {"foo#1.0-1.pkg.tar.zst", "foo", "1.0-1"},
      {"sub/dir/foo#1.0-1.pkg.tar.gz", "foo", "1.0-1"},
      {"a#b#c.pkg.tar.xz", "a", "b#c"},
      {"#1.pkg.tar.gz", "", "1"},
      {"foo#.pkg.tar.gz", "foo", ""},
      {"foo#1.pkg.tar.pkg.tar.gz", "foo", "1"},
      {"foo#1.pkg.tar.", "foo", "1"},
      {"a.b#2.pkg.tar.zst", "a.b", "2"},
      {"foo-1.0.pkg.tar.gz", nullptr, nullptr},
      {"foo#1.0.pkg.tar", nullptr, nullptr},
      {"foo.pkg.tar.#1.pkg.tar.gz", nullptr, nullptr},
      {"dir#1/foo.pkg.tar.gz", nullptr, nullptr},  // the '#' is in a directory
  };
  for (const Case& c : cases) {
    std::string path = work_ / c.file;
    mkdir_p(path.substr(0, path.rfind('/')));
    sh("cp " + shell_quote(pkg) + " " + shell_quote(path));
    char* name = nullptr;
    char* version = nullptr;
    StringList* members = nullptr;
    int r = package_inspect(path.c_str(), &name, &version, &members);
    if (c.name == nullptr) {
      EXPECT_EQ(-1, r) << c.file;
      EXPECT_EQ(nullptr, name);
      EXPECT_EQ(nullptr, members);
      continue;
    }
    ASSERT_EQ(0, r) << c.file;
    EXPECT_STREQ(c.name, name) << c.file;
    EXPECT_STREQ(c.version, version) << c.file;
    EXPECT_EQ((std::vector<std::string>{"etc/", "etc/foo.conf", "usr/", "usr/bin/", "usr/bin/foo",
                                        "usr/share/", "usr/share/foo/"}),
              strings_of(members));
    EXPECT_FALSE(members->is_sorted);
    free(name);
    free(version);
    strlist_free(members);
  }
}

TEST_F(Archive, ListingEdgeCases) {
  // An archive without members lists as empty, and that is success.
  std::string empty = work_ / "empty#1.pkg.tar.gz";
  sh("tar -cf - -T /dev/null | gzip -c > " + shell_quote(empty));
  StringListPtr list(strlist_new());
  char* argv[] = {const_cast<char*>("tar"), const_cast<char*>("-tf"), const_cast<char*>("-"), nullptr};
  EXPECT_EQ(0, run_tar_pipeline(empty.c_str(), argv, list.get()));
  EXPECT_EQ(0u, list->in_use);

  // A name longer than the capture buffer arrives in pieces, the first
  // exactly 4095 bytes long.
  std::string long_name = std::string(4095, 'x') + "etc/shadow";
  std::string pkg = work_ / "long#1.pkg.tar";
  sh("cd " + shell_quote(work_.path()) + " && echo x > f && tar -cf " + shell_quote(pkg) +
     " --transform='s|^f$|" + long_name + "|' f");
  list.reset(strlist_new());
  EXPECT_EQ(0, run_tar_pipeline(pkg.c_str(), argv, list.get()));
  EXPECT_EQ((std::vector<std::string>{std::string(4095, 'x'), "etc/shadow"}), strings_of(list.get()));

  // A corrupt stream: the decompressor's failure is reported.
  std::string bad = work_ / "bad#1.pkg.tar.zst";
  write_file(bad, std::string("\x28\xb5\x2f\xfd garbage", 12));
  list.reset(strlist_new());
  EXPECT_EQ(-1, run_tar_pipeline(bad.c_str(), argv, list.get()));
  EXPECT_EQ(-1, run_tar_pipeline((work_ / "missing").c_str(), argv, list.get()));
}

// The one-pass extraction's listing, unquoted, reads exactly as "tar -tv"
// and "tar -t" list the same archive, whatever the names hold.
TEST_F(Archive, ExtractionListingReadsAsTheListings) {
  PackageTree t;
  t.file("usr/a b\tc", "x").file("usr/q\"uote", "").file("usr/back\\slash", "x")
      .file("usr/nl\nx", "x").file("usr/utf\xc3\xa9", "x").file("usr/bad\xff", "x")
      .file("usr/apo's ?\?=", "x").file("usr/ctl\x01\x7f", "x")
      .symlink("usr/ l -> x", "t \" -> y").hardlink("usr/h link to z", "usr/q\"uote")
      .shell("mknod dev-null c 1 3 && mknod blk b 8 1 && mkfifo usr/fifo");
  std::string pkg = t.pack(work_.path(), "names#1.pkg.tar.xz");
  char tv[] = "-tvf", tf[] = "-tf", dash[] = "-", tar[] = "tar";
  char* long_argv[] = {tar, tv, dash, nullptr};
  char* name_argv[] = {tar, tf, dash, nullptr};
  StringListPtr long_listing(strlist_new()), names(strlist_new()), quoted(strlist_new());
  ASSERT_EQ(0, run_tar_pipeline(pkg.c_str(), long_argv, long_listing.get()));
  ASSERT_EQ(0, run_tar_pipeline(pkg.c_str(), name_argv, names.get()));
  TempDir into;
  UniqueFd messages(open("/dev/null", O_WRONLY | O_CLOEXEC));
  ASSERT_EQ(0, archive_extract_listed(pkg.c_str(), into.path().c_str(), quoted.get(), messages.get()));
  std::vector<std::string> lines, listed;
  std::string line, name;
  for (const std::string& q : strings_of(quoted.get())) {
    ASSERT_TRUE(listing_line_unquote(q.c_str(), line, name)) << q;
    lines.push_back(line);
    listed.push_back(name);
  }
  EXPECT_EQ(strings_of(long_listing.get()), lines);
  EXPECT_EQ(strings_of(names.get()), listed);
  EXPECT_TRUE(exists(into / "usr/h link to z"));
}

TEST_F(Archive, PipelineRestoresStandardInputAndLeaksNothing) {
  std::string pkg = sample();
  struct stat before, after;
  ASSERT_EQ(0, fstat(STDIN_FILENO, &before));
  size_t fds_before = entries_of("/proc/self/fd").size();
  char* name = nullptr;
  char* version = nullptr;
  StringList* members = nullptr;
  ASSERT_EQ(0, package_inspect(pkg.c_str(), &name, &version, &members));
  TempDir root;
  EXPECT_EQ(0, archive_extract_excluding(pkg.c_str(), root.path().c_str(), nullptr, members));
  EXPECT_EQ(-1, archive_extract_member_quiet(pkg.c_str(), "no/such", root.path().c_str()));
  ASSERT_EQ(0, fstat(STDIN_FILENO, &after));
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_dev, after.st_dev);
  EXPECT_EQ(fds_before, entries_of("/proc/self/fd").size());
  EXPECT_EQ(0, exclusion_files());
  free(name);
  free(version);
  strlist_free(members);
}

TEST_F(Archive, ExclusionsSkipMembersAndLeaveNoFile) {
  std::string pkg = sample();
  TempDir root;
  write_file(root / "etc/foo.conf", "mine\n");
  StringListPtr conditional(strlist_new()), unconditional(strlist_new());
  strlist_add(conditional.get(), "etc/foo.conf");  // exists: skipped
  strlist_add(conditional.get(), "usr/share/foo/");  // missing: extracted
  strlist_add(unconditional.get(), "usr/bin/foo");
  ASSERT_EQ(0, archive_extract_excluding(pkg.c_str(), root.path().c_str(), conditional.get(),
                                         unconditional.get()));
  EXPECT_EQ("mine\n", read_file(root / "etc/foo.conf"));
  EXPECT_FALSE(exists(root / "usr/bin/foo"));
  EXPECT_TRUE(exists(root / "usr/share/foo"));
  EXPECT_EQ(0, exclusion_files());

  // The root and its parents are created.
  std::string deep = root / "a/b/c";
  ASSERT_EQ(0, archive_extract_excluding(pkg.c_str(), deep.c_str(), nullptr, nullptr));
  EXPECT_EQ("a=1\n", read_file(deep + "/etc/foo.conf"));

  EXPECT_EQ(-1, archive_extract_excluding((work_ / "missing").c_str(), deep.c_str(), nullptr,
                                          unconditional.get()));
  EXPECT_EQ(0, exclusion_files());
}

// Runs in a death-test child: the exclusion list does not fit under the
// file size limit. Exits with 3 when the extraction reported failure.
[[noreturn]] void extract_with_small_file_limit(const std::string& pkg, const std::string& root) {
  signal(SIGXFSZ, SIG_IGN);
  // Room for the death test's own capture of standard error, not for the
  // whole exclusion list.
  struct rlimit limit = {4096, 4096};
  setrlimit(RLIMIT_FSIZE, &limit);
  StringListPtr skip(strlist_new());
  for (int i = 0; i < 400; i++) strlist_add(skip.get(), strformat("etc/other-%04d", i).c_str());
  strlist_add(skip.get(), "etc/foo.conf");
  int r = archive_extract_excluding(pkg.c_str(), root.c_str(), nullptr, skip.get());
  _exit(r == -1 ? 3 : 4);
}

// A short exclusion file would let tar overwrite what it was told to skip.
TEST_F(Archive, ExclusionWriteErrorFailsTheExtraction) {
  std::string pkg = sample();
  TempDir root;
  write_file(root / "etc/foo.conf", "mine\n");
  EXPECT_EXIT(extract_with_small_file_limit(pkg, root.path()), testing::ExitedWithCode(3),
              "write error on .*/sorn-excl\\.");
  EXPECT_EQ("mine\n", read_file(root / "etc/foo.conf"));
  EXPECT_EQ(0, exclusion_files());
}

TEST_F(Archive, SelectedAndQuietExtraction) {
  std::string pkg = sample();
  TempDir dir;
  EXPECT_EQ(0, archive_extract_members(pkg.c_str(), nullptr, "/nonexistent"));
  StringListPtr none(strlist_new());
  EXPECT_EQ(0, archive_extract_members(pkg.c_str(), none.get(), "/nonexistent"));

  StringListPtr some(strlist_new());
  strlist_add(some.get(), "etc/foo.conf");
  ASSERT_EQ(0, archive_extract_members(pkg.c_str(), some.get(), dir.path().c_str()));
  EXPECT_EQ(std::vector<std::string>{"etc"}, entries_of(dir.path()));
  strlist_add(some.get(), "not/there");
  EXPECT_EQ(-1, archive_extract_members(pkg.c_str(), some.get(), dir.path().c_str()));

  // Nothing of the quiet extraction reaches standard error, which is
  // restored afterwards.
  std::string errors = work_ / "stderr";
  int saved = dup(STDERR_FILENO);
  int file = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(file, STDERR_FILENO);
  close(file);
  TempDir quiet;
  int missing = archive_extract_member_quiet(pkg.c_str(), "no/such", quiet.path().c_str());
  int missing_pkg = archive_extract_member_quiet((work_ / "nope").c_str(), "etc/foo.conf",
                                                 quiet.path().c_str());
  int found = archive_extract_member_quiet(pkg.c_str(), "usr/bin/foo", quiet.path().c_str());
  fputs("after\n", stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  EXPECT_EQ(-1, missing);
  EXPECT_EQ(-1, missing_pkg);
  EXPECT_EQ(0, found);
  EXPECT_EQ("after\n", read_file(errors));
  EXPECT_EQ("foo\n", read_file(quiet / "usr/bin/foo"));
}

// On a merged /usr, "lib" is a link to "usr/lib"; extracting a package that
// has "lib/" must keep the link and put the files behind it.
TEST_F(Archive, DirectoryLinksInTheTargetStay) {
  PackageTree t;
  t.file("lib/foo.so", "so\n").file("etc/x.conf", "x\n");
  std::string pkg = t.pack(work_.path(), "libfoo#1-1.pkg.tar.gz");
  StringListPtr skip(strlist_new());
  strlist_add(skip.get(), "etc/x.conf");
  StringListPtr pick(strlist_new());
  strlist_add(pick.get(), "lib/");  // its contents come along
  struct Case {
    const char* label;
    int (*extract)(const std::string& pkg, const std::string& root, const StringList* skip,
                   const StringList* pick);
  } cases[] = {
      {"excluding, plain", [](const std::string& p, const std::string& r, const StringList*,
                              const StringList*) {
         return archive_extract_excluding(p.c_str(), r.c_str(), nullptr, nullptr);
       }},
      {"excluding, with a list", [](const std::string& p, const std::string& r,
                                    const StringList* s, const StringList*) {
         return archive_extract_excluding(p.c_str(), r.c_str(), nullptr, s);
       }},
      {"members", [](const std::string& p, const std::string& r, const StringList*,
                     const StringList* m) {
         return archive_extract_members(p.c_str(), m, r.c_str());
       }},
      {"to root", [](const std::string& p, const std::string& r, const StringList*,
                     const StringList*) { return archive_extract_to_root(p.c_str(), r.c_str()); }},
  };
  for (const Case& c : cases) {
    TempDir root;
    mkdir_p(root / "usr/lib");
    ASSERT_EQ(0, symlink("usr/lib", (root / "lib").c_str()));
    testing::internal::CaptureStdout();  // the "extracting" note
    EXPECT_EQ(0, c.extract(pkg, root.path(), skip.get(), pick.get())) << c.label;
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(is_symlink(root / "lib")) << c.label;
    EXPECT_EQ("so\n", read_file(root / "usr/lib/foo.so")) << c.label;
  }
}

// tar gives up before reading anything; the decompressor must then get a
// broken pipe rather than wait forever on a full one.
TEST_F(Archive, EarlyTarExitDoesNotBlockTheDecompressor) {
  PackageTree t;
  t.shell("head -c 2000000 /dev/urandom > big");
  std::string pkg = t.pack(work_.path(), "big#1.pkg.tar.gz");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, archive_extract_to_root(pkg.c_str(), (work_ / "no/such/dir").c_str()));
  testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find(": decompressor failed on " + pkg + "\n")) << err;
  EXPECT_NE(std::string::npos, err.find(": failed to extract: " + pkg + "\n")) << err;
}

TEST_F(Archive, PlainExtractionNotesAndFails) {
  std::string pkg = sample();
  TempDir root;
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, archive_extract_to_root(pkg.c_str(), root.path().c_str()));
  EXPECT_EQ("sorn: extracting " + pkg + "\n", testing::internal::GetCapturedStdout());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, archive_extract_to_root(pkg.c_str(), (root / "missing-dir").c_str()));
  testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos,
            testing::internal::GetCapturedStderr().find(": failed to extract: " + pkg + "\n"));
}

}  // namespace

namespace {

// The bytes that can be read from fd, from its current offset.
std::string read_all(int fd) {
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

}  // namespace

TEST_F(Archive, DecompressOnceIntoAnUnlinkedFile) {
  PackageTree t;
  t.file("usr/bin/foo", "foo\n").file("etc/foo.conf", "a=1\n").dir("usr/share/foo/");
  std::string plain = read_file(t.pack(work_.path(), "plain#1.pkg.tar.x", "none"));
  for (const char* suffix : {"gz", "zst", "xz", "bz2", "lz", "tar"}) {
    std::string pkg = t.pack(work_.path(), std::string("foo#1.pkg.tar.") + suffix);
    testing::internal::CaptureStderr();
    UniqueFd fd(archive_decompress(pkg.c_str()));
    EXPECT_EQ("", testing::internal::GetCapturedStderr()) << suffix;
    ASSERT_TRUE(fd) << suffix;
    EXPECT_EQ(FD_CLOEXEC, fcntl(fd.get(), F_GETFD) & FD_CLOEXEC) << suffix;
    EXPECT_EQ(plain, read_all(fd.get())) << suffix;
    for (const std::string& e : entries_of(tmp_.path()))
      EXPECT_TRUE(e.starts_with("sorn-test.")) << suffix << ": " << e;
    // Each pass reads it from the start, without a decompressor.
    for (int pass = 0; pass < 2; pass++) {
      StringListPtr members(strlist_new());
      char* argv[] = {const_cast<char*>("tar"), const_cast<char*>("-tf"), const_cast<char*>("-"),
                      nullptr};
      ScopedEnv path("PATH", "/usr/bin:/bin");
      EXPECT_EQ(0, run_tar_pipeline(PackageFile(pkg.c_str(), fd.get(), true), argv, members.get()));
      EXPECT_EQ((std::vector<std::string>{"etc/", "etc/foo.conf", "usr/", "usr/bin/", "usr/bin/foo",
                                           "usr/share/", "usr/share/foo/"}),
                strings_of(members.get()))
          << suffix;
    }
  }

  // Failures print nothing: the caller's pipeline reports them.
  std::string pkg = t.pack(work_.path(), "foo#1.pkg.tar.xz");
  std::string bytes = read_file(pkg);
  write_file(pkg, bytes.substr(0, bytes.size() / 2));
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, archive_decompress(pkg.c_str()));
  EXPECT_EQ(-1, archive_decompress((work_ / "missing#1.pkg.tar.xz").c_str()));
  {
    ScopedEnv missing("TMPDIR", (tmp_ / "missing").c_str());
    EXPECT_EQ(-1, archive_decompress(t.pack(work_.path(), "foo#2.pkg.tar.zst").c_str()));
  }
  EXPECT_EQ("", testing::internal::GetCapturedStderr());

  // What a decompressor that succeeds says is shown once.
  std::string noisy = t.pack(work_.path(), "foo#3.pkg.tar.zst");
  TempDir bin;
  write_file(bin / "zstd", "#!/bin/sh\necho 'zstd: a note' >&2\nexec /usr/bin/zstd \"$@\"\n", 0755);
  std::string path = bin.path() + ":" + getenv("PATH");
  ScopedEnv with_wrapper("PATH", path.c_str());
  testing::internal::CaptureStderr();
  UniqueFd fd(archive_decompress(noisy.c_str()));
  EXPECT_EQ("zstd: a note\n", testing::internal::GetCapturedStderr());
  EXPECT_EQ(plain, read_all(fd.get()));
}
