// print_footprint against real GNU tar listings, and its line parsing
// against listings that a stand-in tar prints verbatim.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "archive/archive.h"
#include "support/support.h"

using namespace sorn_test;
using testing::HasSubstr;

namespace {

struct Printed {
  int status = -1;
  std::string out, err;
};

// Runs print_footprint in a child (it prints on stdout), with bin_dir in
// front of PATH when given.
Printed footprint_of(const std::string& package, const std::string& bin_dir = "") {
  TempDir scratch;
  std::string out = scratch / "out", err = scratch / "err";
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(100);
    if (!bin_dir.empty()) setenv("PATH", (bin_dir + ":" + getenv("PATH")).c_str(), 1);
    int r = print_footprint(package.c_str());
    fflush(stdout);
    fflush(stderr);
    _exit(r == 0 ? 0 : r == -1 ? 1 : 2);
  }
  Printed p;
  int status = wait_child(pid);
  p.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  p.out = read_file(out);
  p.err = read_file(err);
  return p;
}

TEST(PrintFootprint, RealTarListingByteExact) {
  TempDir work;
  PackageTree t;
  t.dir("usr/bin")
      .file("usr/bin/foo", "binary\n", 0755)
      .hardlink("usr/bin/foo2", "usr/bin/foo")
      .symlink("usr/bin/foo-link", "foo")
      .file("usr/bin/with two  spaces", "x", 0700)
      .file("etc/foo.conf", "", 0640)
      .hardlink("etc/foo.conf.hard", "etc/foo.conf")
      .dir("var")
      .dir("var/empty", 01777)
      .shell("mkdir dev && mknod dev/null c 1 3 && mknod dev/sda4 b 8 4 && chmod 0666 dev/null");
  // Archive order (the packer sorts by name); hard links refer to the first
  // name of their file.
  const std::string expected =
      "drwxr-xr-x\troot/root\tdev/\n"
      "crw-rw-rw-\troot/root\tdev/null (1, 3)\n"
      "brw-r--r--\troot/root\tdev/sda4 (8, 4)\n"
      "drwxr-xr-x\troot/root\tetc/\n"
      "-rw-r-----\troot/root\tetc/foo.conf (EMPTY)\n"
      "hrw-r-----\troot/root\tetc/foo.conf.hard -> etc/foo.conf\n"
      "drwxr-xr-x\troot/root\tusr/\n"
      "drwxr-xr-x\troot/root\tusr/bin/\n"
      "-rwxr-xr-x\troot/root\tusr/bin/foo\n"
      "lrwxrwxrwx\troot/root\tusr/bin/foo-link -> foo\n"
      "hrwxr-xr-x\troot/root\tusr/bin/foo2 -> usr/bin/foo\n"
      "-rwx------\troot/root\tusr/bin/with two  spaces\n"
      "drwxr-xr-x\troot/root\tvar/\n"
      "drwxrwxrwt\troot/root\tvar/empty/\n";
  for (const char* name : {"foo#1-1.pkg.tar.gz", "foo#1-1.pkg.tar.zst", "foo#1-1.pkg.tar.xz",
                           "foo#1-1.pkg.tar.none"}) {
    Printed p = footprint_of(t.pack(work.path(), name));
    EXPECT_EQ(0, p.status) << name << p.err;
    EXPECT_EQ(expected, p.out) << name;
    EXPECT_EQ("", p.err) << name;
  }
}

TEST(PrintFootprint, EmptyArchivePrintsNothing) {
  TempDir work;
  std::string pkg = work / "empty#1-1.pkg.tar.gz";
  sh("tar -cf - -T /dev/null | gzip -c > " + shell_quote(pkg));
  Printed p = footprint_of(pkg);
  EXPECT_EQ(0, p.status);
  EXPECT_EQ("", p.out);
}

TEST(PrintFootprint, UnreadablePackageFailsWithoutOutput) {
  TempDir work;
  std::string missing = work / "gone#1-1.pkg.tar.gz";
  Printed p = footprint_of(missing);
  EXPECT_EQ(1, p.status);
  EXPECT_EQ("", p.out);
  EXPECT_THAT(p.err, HasSubstr(": cannot read " + missing + "\n"));

  std::string garbage = work / "junk#1-1.pkg.tar.gz";
  write_file(garbage, "\x1f\x8bnot really gzip");
  p = footprint_of(garbage);
  EXPECT_EQ(1, p.status);
  EXPECT_EQ("", p.out);
  EXPECT_THAT(p.err, HasSubstr(": cannot read " + garbage + "\n"));
}

// Lines that no real tar produces on demand (long owners, odd size tokens,
// carriage returns) come from a stand-in tar that prints a fixed listing.
struct LineCase {
  const char* name;
  std::string line;
  std::string printed;
};

std::vector<LineCase> line_cases() {
  const std::string long_owner(300, 'o');
  return {
      {"directory", "drwxr-xr-x root/root         0 2024-01-01 00:00 usr/bin/",
       "drwxr-xr-x\troot/root\tusr/bin/\n"},
      {"empty file", "-rw-r--r-- root/root 0 2024-01-01 00:00 etc/foo.conf",
       "-rw-r--r--\troot/root\tetc/foo.conf (EMPTY)\n"},
      {"non-empty file", "-rw-r--r-- root/root 12 2024-01-01 00:00 a",
       "-rw-r--r--\troot/root\ta\n"},
      {"empty hard link", "hrw-r--r-- root/root 0 2024-01-01 00:00 b link to a",
       "hrw-r--r--\troot/root\tb -> a\n"},
      {"link words in a plain line", "-rw-r--r-- root/root 0 2024-01-01 00:00 b link to a",
       "-rw-r--r--\troot/root\tb -> a\n"},
      {"only the first link words", "hrw-r--r-- u/g 0 d t x link to y link to z",
       "hrw-r--r--\tu/g\tx -> y link to z\n"},
      {"empty symlink", "lrwxrwxrwx root/root 0 2024-01-01 00:00 l -> t",
       "lrwxrwxrwx\troot/root\tl -> t\n"},
      {"character device", "crw-rw-rw- root/root 1,3 2024-01-01 00:00 dev/null",
       "crw-rw-rw-\troot/root\tdev/null (1, 3)\n"},
      {"block device", "brw-rw---- root/disk 4,64 2024-01-01 00:00 dev/x",
       "brw-rw----\troot/disk\tdev/x (4, 64)\n"},
      {"device without comma", "crw-rw-rw- root/root 0 2024-01-01 00:00 dev/y",
       "crw-rw-rw-\troot/root\tdev/y\n"},
      {"owner cut at 255", "-rw-r--r-- " + long_owner + " 5 d t f",
       "-rw-r--r--\t" + long_owner.substr(0, 255) + "\tf\n"},
      {"size cut at 63 loses the comma",
       "crw-rw-rw- u/g " + std::string(62, '0') + "1,5 d t dev/z", "crw-rw-rw-\tu/g\tdev/z\n"},
      {"size cut at 63 keeps the numbers", "crw-rw-rw- u/g " + std::string(60, '0') + "1,5 d t dev/w",
       "crw-rw-rw-\tu/g\tdev/w (1, 5)\n"},
      {"carriage returns", "-rw-r--r-- u/g 3 d t dos\r\r", "-rw-r--r--\tu/g\tdos\n"},
      {"runs of blanks", "-rw-r--r--   u/g    0   d     t      spaced  name",
       "-rw-r--r--\tu/g\tspaced  name (EMPTY)\n"},
      {"line ends after the mode", "-rw-r--r--", "-rw-r--r--\t\t (EMPTY)\n"},
      {"line ends after the owner", "drwxr-xr-x u/g", "drwxr-xr-x\tu/g\t\n"},
      {"too short", "-rw-r--r-", ""},
  };
}

class FootprintLines : public testing::Test {
 protected:
  // A tar that swallows the archive and prints listing.
  Printed list(const std::string& listing) {
    write_file(bin_ / "listing", listing);
    write_file(bin_ / "tar", "#!/bin/sh\ncat >/dev/null\ncat " + shell_quote(bin_ / "listing") + "\n",
               0755);
    write_file(bin_ / "pkg", "plain bytes\n");
    return footprint_of(bin_ / "pkg", bin_.path());
  }
  TempDir bin_;
};

TEST_F(FootprintLines, EachLineShape) {
  for (const LineCase& c : line_cases()) {
    Printed p = list(c.line + "\n");
    EXPECT_EQ(0, p.status) << c.name;
    EXPECT_EQ(c.printed, p.out) << c.name;
  }
}

TEST_F(FootprintLines, ArchiveOrderIsKept) {
  std::string listing, printed;
  for (const LineCase& c : line_cases()) {
    listing += c.line + "\n";
    printed += c.printed;
  }
  listing += "\n";  // an empty line never reaches the parser
  Printed p = list(listing);
  EXPECT_EQ(0, p.status);
  EXPECT_EQ(printed, p.out);

  p = list("-rw-r--r-- u/g 1 d t z\n-rw-r--r-- u/g 1 d t a\n");
  EXPECT_EQ("-rw-r--r--\tu/g\tz\n-rw-r--r--\tu/g\ta\n", p.out);
}

}  // namespace
