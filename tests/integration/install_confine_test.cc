// zarnin against crafted packages and image roots whose links lead out of
// the root: nothing outside the root changes, and no package reaches the
// package database. A "canary" directory beside the root stands for the
// world outside it.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/support.h"
#include "integrate/integrate.h"
#include "util/util.h"
#include "zarnin/footprint.h"

using sorn_test::entries_of;
using sorn_test::exists;
using sorn_test::file_mode;
using sorn_test::mkdir_p;
using sorn_test::PackageTree;
using sorn_test::read_file;
using sorn_test::run;
using sorn_test::RunOptions;
using sorn_test::RunResult;
using sorn_test::sh;
using sorn_test::shell_quote;
using sorn_test::TempDir;
using sorn_test::write_file;
using testing::EndsWith;
using testing::HasSubstr;

namespace {

class Confine : public testing::Test {
 protected:
  TempDir top_, work_, tmp_;
  std::string root_ = top_ / "root";
  std::string canary_ = top_ / "canary";

  void SetUp() override {
    mkdir_p(root_);
    if (!exists(canary_ + "/dir")) {
      mkdir_p(canary_ + "/dir");
      write_file(canary_ + "/secret", "outside\n", 0600);
    }
    before_ = canary();
  }
  void TearDown() override {
    EXPECT_EQ(before_, canary()) << "something outside the root changed";
    EXPECT_EQ(std::vector<std::string>{}, entries_of(tmp_.path()));
  }

  // Names, kinds, modes, owners, link counts, sizes and contents of the
  // canary tree.
  std::string canary() const {
    return run({"sh", "-c",
                "cd \"$0\" && find . -printf '%p %y %m %U %G %n %s\\n' | LC_ALL=C sort && "
                "find . -type f -exec cat {} +",
                canary_})
        .out;
  }

  std::string dbdir() const { return root_ + "/var/lib/pkg"; }
  std::string db() const { return exists(dbdir() + "/db") ? read_file(dbdir() + "/db") : ""; }

  RunResult zarnin(const std::vector<std::string>& args, bool default_dbdir = false) const {
    RunOptions opts;
    if (default_dbdir)
      opts.env.emplace("PKG_DBDIR", std::nullopt);
    else
      opts.env.emplace("PKG_DBDIR", dbdir());
    opts.env.emplace("TMPDIR", tmp_.path());
    opts.env.emplace("PKG_ROOT", std::nullopt);
    opts.env.emplace("TAR_OPTIONS", std::nullopt);
    std::vector<std::string> argv{ZARNIN_BIN, "-r", root_};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, opts);
  }

  void link_in_root(const std::string& path, const std::string& target) const {
    std::string full = root_ + "/" + path;
    mkdir_p(full.substr(0, full.rfind('/')));
    ASSERT_EQ(0, symlink(target.c_str(), full.c_str())) << path;
  }

  void expect_refused(const RunResult& r, const std::string& path) const {
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_THAT(r.err, EndsWith("zarnin: unsafe path in package: " + path + "\n"));
  }

 private:
  std::string before_;
};

// Directories of the root that lead out through a link: absolute, climbing,
// dangling or looping. The package is refused before anything is written.
TEST_F(Confine, ParentLinksLeadingOutAreRefused) {
  PackageTree t;
  t.dir("var/run/app", 0777).file("var/run/app/app.pid", "123\n");
  std::string pkg = t.pack(work_.path(), "app#1-1.pkg.tar.gz");
  struct Case {
    std::string target;  // of the root's "var/run"
    std::string refused;
  } cases[] = {
      {canary_ + "/dir", "var/run/"},
      {"../../canary/dir", "var/run/"},
      {"nowhere", "var/run/"},
      {"run2", "var/run/"},
  };
  for (const Case& c : cases) {
    sh("rm -rf " + shell_quote(root_) + " && mkdir " + shell_quote(root_));
    link_in_root("var/run", c.target);
    if (c.target == "run2") link_in_root("var/run2", "run");  // a loop
    std::string before = sorn_test::tree_state(root_);
    RunResult r = zarnin({pkg});
    expect_refused(r, c.refused);
    EXPECT_EQ(before, sorn_test::tree_state(root_)) << c.target;
    EXPECT_EQ("", sorn_test::work_leftovers(root_)) << c.target;
  }

  // A deeper member under a link that leads out, and a link that stays in.
  sh("rm -rf " + shell_quote(root_) + " && mkdir " + shell_quote(root_));
  link_in_root("srv", canary_);
  mkdir_p(root_ + "/usr/lib");
  link_in_root("lib", "usr/lib");
  PackageTree deep;
  deep.file("lib/foo.so", "so\n");
  std::string deep_pkg = deep.pack(work_.path(), "deep#1-1.pkg.tar.zst");
  sh("cd " + shell_quote(work_.path()) + " && echo x > f && tar -cf - --transform='s|^f$|srv/dir/new/f|' f"
     " | gzip -c > evil#1-1.pkg.tar.gz");
  std::string before = sorn_test::tree_state(root_);
  expect_refused(zarnin({work_ / "evil#1-1.pkg.tar.gz"}), "srv/dir/new/f");
  EXPECT_EQ(before, sorn_test::tree_state(root_));
  RunResult r = zarnin({deep_pkg});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("so\n", read_file(root_ + "/usr/lib/foo.so"));
}

// One package's link is another package's directory: the second is refused.
// Within one package, a path below a non-directory member is refused in
// every root.
TEST_F(Confine, LinksOfInstalledPackagesAndOfThePackageItself) {
  PackageTree a, b;
  a.symlink("usr/share/lnk", "../../../canary/dir");
  b.file("usr/share/lnk/file", "b\n");
  ASSERT_EQ(0, zarnin({a.pack(work_.path(), "a#1-1.pkg.tar.gz")}).status);
  std::string before = db();
  expect_refused(zarnin({b.pack(work_.path(), "b#1-1.pkg.tar.gz")}), "usr/share/lnk/");
  EXPECT_EQ(before, db());

  // "opt/x" a file and "lnk" a link in the package, then members below both.
  sh("cd " + shell_quote(work_.path()) + " && mkdir -p t/opt && echo x > t/opt/x && ln -s ../etc t/lnk && "
     "mkdir -p u/opt/x u/lnk && echo y > u/opt/x/y && echo z > u/lnk/z && "
     "tar -C t -cf self.tar opt/x lnk && tar -C u -rf self.tar opt/x/y lnk/z && "
     "gzip -c self.tar > 'self#1-1.pkg.tar.gz'");
  expect_refused(zarnin({work_ / "self#1-1.pkg.tar.gz"}), "opt/x/y");
  EXPECT_EQ(before, db());
}

// A hard link is made to its target as the root has it: a target below a
// link that leads out is refused, whether the targets come from the
// footprint pass or from a listing of their own.
TEST_F(Confine, HardLinkTargetsBelowLinksLeadingOut) {
  link_in_root("var/run", canary_);
  sh("cd " + shell_quote(work_.path()) + " && mkdir h && cd h && echo x > f && ln f g && "
     "tar -cf - --transform='s|^f$|var/run/secret|RS' f g | gzip -c > '../hl#1-1.pkg.tar.gz'");
  std::string pkg = work_ / "hl#1-1.pkg.tar.gz";
  expect_refused(zarnin({pkg}), "var/run/secret");
  expect_refused(zarnin({"-f", pkg}), "var/run/secret");

  StringListPtr lines(footprint_generate(pkg.c_str()));
  ASSERT_TRUE(lines);
  std::string footprint;
  for (const std::string& line : sorn_test::strings_of(lines.get())) footprint += line + "\n";
  ASSERT_THAT(footprint, HasSubstr("g -> var/run/secret"));
  write_file(work_ / ".footprint", footprint);
  expect_refused(zarnin({pkg}), "var/run/secret");
  EXPECT_FALSE(exists(root_ + "/g"));
}

// No member may name the database files or put anything but a directory at
// the database directory or above it.
TEST_F(Confine, MembersCannotReachTheDatabase) {
  PackageTree good;
  good.file("usr/bin/good", "g\n");
  ASSERT_EQ(0, zarnin({good.pack(work_.path(), "good#1-1.pkg.tar.gz")}).status);
  std::string before = db();
  struct Case {
    std::string make;  // shell commands in a fresh tree
    std::string members;
    std::string refused;
  } cases[] = {
      {"mkdir -p var/lib/pkg && ln -s ../../../../canary/secret var/lib/pkg/db.tmp",
       "var/lib/pkg/db.tmp", "var/lib/pkg/db.tmp"},
      {"mkdir -p var/lib/pkg && printf 'evil\\n1\\netc/passwd\\n\\n' > var/lib/pkg/db && "
       "mkdir -p srv/x/y && echo z > srv/x/y/z",
       "var/lib/pkg/db srv/x/y/z", "var/lib/pkg/db"},
      {"mkdir -p ./var/lib/pkg/db && echo x > ./var/lib/pkg/db/x", "./var/lib/pkg/db/x",
       "./var/lib/pkg/db/x"},
      {"mkdir -p var/lib && ln -s ../../canary var/lib/pkg", "var/lib/pkg", "var/lib/pkg"},
      {"ln -s ../canary var", "var", "var"},
      {"mkdir -p var && echo x > var/lib", "var/lib", "var/lib"},
      // The pristine copies of configuration files.
      {"mkdir -p var/lib/pkg/pristine/good/etc && echo x > var/lib/pkg/pristine/good/etc/x",
       "var/lib/pkg/pristine/good/etc/x", "var/lib/pkg/pristine/good/etc/x"},
      {"mkdir -p var/lib/pkg/pristine.new", "var/lib/pkg/pristine.new", "var/lib/pkg/pristine.new/"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string dir = work_ / strformat("t%d", n);
    std::string pkg = work_ / strformat("evil%d#1-1.pkg.tar.gz", n++);
    sh("mkdir " + shell_quote(dir) + " && cd " + shell_quote(dir) + " && " + c.make +
       " && tar -cf - " + c.members + " | gzip -c > " + shell_quote(pkg));
    expect_refused(zarnin({"-f", pkg}), c.refused);
    EXPECT_EQ(before, db()) << c.members;
    EXPECT_FALSE(exists(dbdir() + "/db.tmp")) << c.members;
  }

  // A package's own metadata file lives in the database directory.
  PackageTree meta;
  meta.file("var/lib/pkg/meta/meta", "service x\n");
  ASSERT_EQ(0, zarnin({meta.pack(work_.path(), "meta#1-1.pkg.tar.gz")}).status);
}

// The default database directory of a root whose "var" leads out is
// refused before it is created; a "db" that is a link is not read.
TEST_F(Confine, DatabaseDirectoryOutsideTheRoot) {
  PackageTree t;
  t.file("usr/bin/foo", "foo\n");
  std::string pkg = t.pack(work_.path(), "foo#1-1.pkg.tar.gz");
  link_in_root("var", "../canary/dir");
  RunResult r = zarnin({pkg}, true);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("zarnin: database directory outside the root: " + root_ + "/var/lib/pkg\n", r.err);
  EXPECT_FALSE(exists(root_ + "/usr"));

  sh("rm " + shell_quote(root_ + "/var"));
  mkdir_p(dbdir());
  ASSERT_EQ(0, symlink((canary_ + "/secret").c_str(), (dbdir() + "/db").c_str()));
  r = zarnin({pkg}, true);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("zarnin: cannot open database: Too many levels of symbolic links\n", r.err);
}

// Directories that exist keep their owner and mode; new ones get the
// package's.
TEST_F(Confine, ExistingDirectoriesKeepOwnerAndMode) {
  mkdir_p(root_ + "/usr/bin", 0755);
  ASSERT_EQ(0, chown((root_ + "/usr/bin").c_str(), 1234, 1234));
  PackageTree t;
  t.dir("usr/bin", 0777).file("usr/bin/tool", "t\n").dir("opt/new", 0700).file("opt/new/f", "f\n");
  t.dir("var/lib/pkg", 0777);
  RunResult r = zarnin({t.pack(work_.path(), "tool#1-1.pkg.tar.xz")});
  ASSERT_EQ(0, r.status) << r.err;
  struct stat st;
  ASSERT_EQ(0, stat((root_ + "/usr/bin").c_str(), &st));
  EXPECT_EQ(1234u, st.st_uid);
  EXPECT_EQ(0755u, st.st_mode & 07777);
  EXPECT_EQ(0755u, file_mode(dbdir()));
  EXPECT_EQ(0700u, file_mode(root_ + "/opt/new"));
}

// The package file is opened once: a fifo is refused instead of waited on,
// and an archive renamed over the name after the first pass is never read.
TEST_F(Confine, PackageFileIsOpenedOnce) {
  std::string fifo = work_ / "fifo#1-1.pkg.tar.gz";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  RunResult r = run({"timeout", "20", ZARNIN_BIN, "-r", root_, fifo});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("zarnin: not a regular file: " + fifo + "\n", r.err);

  PackageTree good, evil;
  good.file("usr/bin/foo", "good\n");
  evil.file("usr/bin/foo", "evil\n").file("usr/bin/evil", "evil\n");
  std::string pkg = good.pack(work_.path(), "foo#1-1.pkg.tar.zst");
  std::string swap = evil.pack(tmp_.path(), "swap.pkg.tar.zst");
  // The first zstd run renames the other archive over the package.
  TempDir bin;
  std::string zstd = run({"sh", "-c", "command -v zstd"}).out;
  zstd.pop_back();
  write_file(bin / "zstd",
             "#!/bin/sh\n[ -e " + shell_quote(swap) + " ] && mv " + shell_quote(swap) + " " +
                 shell_quote(pkg) + "\nexec " + shell_quote(zstd) + " \"$@\"\n",
             0755);
  RunOptions opts;
  opts.env.emplace("PATH", bin.path() + ":" + getenv("PATH"));
  opts.env.emplace("PKG_DBDIR", dbdir());
  opts.env.emplace("TMPDIR", tmp_.path());
  r = run({ZARNIN_BIN, "-r", root_, pkg}, opts);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(exists(tmp_ / "swap.pkg.tar.zst"));  // the swap did happen
  EXPECT_EQ("good\n", read_file(root_ + "/usr/bin/foo"));
  EXPECT_FALSE(exists(root_ + "/usr/bin/evil"));
  EXPECT_EQ("foo\n1-1\nusr/\nusr/bin/\nusr/bin/foo\n\n", db());
}

// An upgrade after directories of the package were turned into links that
// lead out: the dropped paths and the stale ".new" files behind them are
// skipped with a warning; a new version whose staged copies would land
// behind such a link is refused.
TEST_F(Confine, UpgradeThroughLinksLeadingOut) {
  PackageTree v1, v2, v3;
  v1.file("usr/bin/app", "1\n").file("usr/share/app/data", "d\n").file("etc/app/x.conf", "x\n")
      .file("etc/keep/k.conf", "k\n");
  v2.file("usr/bin/app", "2\n").file("etc/keep/k.conf", "k2\n");
  v3.file("usr/bin/app", "3\n");
  ASSERT_EQ(0, zarnin({v1.pack(work_.path(), "app#1-1.pkg.tar.gz")}).status);
  std::string before = db();
  sh("cd " + shell_quote(canary_) + " && echo o > data && echo o > x.conf.new && echo o > dir/k.conf");
  sh("cd " + shell_quote(root_) + " && rm -r usr/share/app etc/app etc/keep && "
     "ln -s ../../../canary usr/share/app && ln -s ../../canary etc/app && "
     "ln -s ../../canary/dir etc/keep");
  SetUp();  // the canary as it stands now

  expect_refused(zarnin({"-u", v2.pack(work_.path(), "app#2-1.pkg.tar.gz")}), "etc/keep/");
  EXPECT_EQ(before, db());

  RunResult r = zarnin({"-u", v3.pack(work_.path(), "app#3-1.pkg.tar.gz")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_THAT(r.err, HasSubstr("zarnin: skipping unsafe path: usr/share/app/data\n"));
  EXPECT_THAT(r.err, HasSubstr("zarnin: skipping unsafe path: etc/app/x.conf\n"));
  EXPECT_EQ("3\n", read_file(root_ + "/usr/bin/app"));
  EXPECT_EQ("app\n3-1\nusr/\nusr/bin/\nusr/bin/app\n\n", db());
}

// Service links and directories behind links that lead out: skipped with a
// warning, whether zarnin links the service or the library stops it and
// removes its directory.
TEST_F(Confine, ServicesBehindLinksLeadingOut) {
  link_in_root("service", "../canary/dir");
  PackageTree t;
  t.file("etc/sv/svc/run", "#!/bin/sh\n", 0755).file("var/lib/pkg/meta/svc", "service svc\n");
  RunResult r = zarnin({t.pack(work_.path(), "svc#1-1.pkg.tar.gz")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("sorn: warning: skipping unsafe path: service/svc\n", r.err);

  sh("cd " + shell_quote(root_) + " && rm -r etc/sv/svc && ln -s ../../../canary/dir etc/sv/svc");
  mkdir_p(canary_ + "/dir/supervise");
  SetUp();  // the canary as it stands now
  PackageMetaPtr meta(meta_new());
  strlist_add(meta->services, "svc");
  testing::internal::CaptureStderr();
  services_stop(meta.get(), root_.c_str());
  services_remove_dirs(meta.get(), root_.c_str());
  EXPECT_EQ("sorn: warning: skipping unsafe path: service/svc\n"
            "sorn: warning: skipping unsafe path: etc/sv/svc\n",
            testing::internal::GetCapturedStderr());
}

// Declared owners and modes behind links that lead out are refused; a
// metadata member that is a link to an endless device or a fifo is not
// read, and the install goes on as for a package that declares nothing.
TEST_F(Confine, MetadataActsInsideTheRootOnly) {
  link_in_root("srv", "../canary");
  PackageTree t;
  t.file("usr/bin/p", "p\n").file("var/lib/pkg/meta/perm", "permission srv/secret:0:0:0777\n");
  RunResult r = zarnin({t.pack(work_.path(), "perm#1-1.pkg.tar.gz")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("zarnin: unsafe path in permission: srv/secret:0:0:0777\n", r.err);

  for (const char* kind : {"zero", "fifo"}) {
    std::string dir = work_ / kind;
    std::string make = std::string(kind) == "zero" ? "ln -s /dev/zero var/lib/pkg/meta/" + std::string(kind)
                                                 : "mkfifo var/lib/pkg/meta/" + std::string(kind);
    std::string pkg = work_ / (std::string(kind) + "#1-1.pkg.tar.gz");
    sh("mkdir -p " + shell_quote(dir + "/var/lib/pkg/meta") + " && cd " + shell_quote(dir) + " && " + make +
       " && tar -cf - var/lib/pkg/meta/" + kind + " | gzip -c > " + shell_quote(pkg));
    RunOptions opts;
    opts.env.emplace("PKG_DBDIR", dbdir());
    opts.env.emplace("TMPDIR", tmp_.path());
    RunResult e = run({"timeout", "60", ZARNIN_BIN, "-r", root_, pkg}, opts);
    EXPECT_EQ(0, e.status) << kind << ": " << e.err;
    EXPECT_EQ("", e.err) << kind;
  }
}

// zarnout after directories of the package were turned into links that
// lead out: its deletions and ".new" cleanup behind them are skipped with
// a notice, and the record goes.
TEST_F(Confine, RemovalThroughLinksLeadingOut) {
  PackageTree t;
  t.file("usr/share/app/data", "d\n").file("etc/app/x.conf", "x\n").file("usr/bin/app", "a\n");
  ASSERT_EQ(0, zarnin({t.pack(work_.path(), "app#1-1.pkg.tar.gz")}).status);
  sh("cd " + shell_quote(canary_) + " && echo o > data && echo o > x.conf && echo o > x.conf.new");
  sh("cd " + shell_quote(root_) + " && rm -r usr/share/app etc/app && "
     "ln -s ../../../canary usr/share/app && ln -s ../../canary etc/app");
  SetUp();  // the canary as it stands now
  RunOptions opts;
  opts.env.emplace("PKG_DBDIR", dbdir());
  opts.env.emplace("TMPDIR", tmp_.path());
  RunResult r = run({ZARNOUT_BIN, "-r", root_, "app"}, opts);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_THAT(r.err, HasSubstr("zarnout: notice: skipping unsafe path: usr/share/app/data\n"));
  EXPECT_THAT(r.err, HasSubstr("zarnout: notice: skipping unsafe path: etc/app/x.conf\n"));
  EXPECT_FALSE(exists(root_ + "/usr/bin/app"));
  EXPECT_EQ("", db());
}

}  // namespace
