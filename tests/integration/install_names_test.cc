// What zarnin records names exactly the files on disk: the same database
// whatever the caller's locale, names that tar escapes or that have another
// spelling refused before anything is written, and members that tar lists
// but never writes left out of the record. Every run sees a private "/etc"
// without a sorn.conf.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/etc_namespace.h"
#include "support/support.h"

using namespace sorn_test;
using testing::EndsWith;

namespace {

// Caller environments: the bare C locale of cron and scripts, and UTF-8
// locales given each way a shell gives them.
using Locale = std::map<std::string, std::optional<std::string>>;
const Locale kLocaleC{{"LC_ALL", "C"}, {"LANG", std::nullopt}, {"LC_CTYPE", std::nullopt}};
const std::vector<Locale> kLocales{
    kLocaleC,
    {{"LC_ALL", "POSIX"}, {"LANG", "C.UTF-8"}, {"LC_CTYPE", std::nullopt}},
    {{"LC_ALL", "C.UTF-8"}, {"LANG", std::nullopt}, {"LC_CTYPE", std::nullopt}},
    {{"LC_ALL", std::nullopt}, {"LANG", "C.UTF-8"}, {"LC_CTYPE", std::nullopt}},
    {{"LC_ALL", std::nullopt}, {"LANG", std::nullopt}, {"LC_CTYPE", "C.UTF-8"}},
};
const Locale& kLocaleUtf8 = kLocales[2];

std::string label(const Locale& locale) {
  std::string out;
  for (const auto& [name, value] : locale)
    if (value) out += name + "=" + *value + " ";
  return out;
}

// The paths of a database file, all records together.
std::vector<std::string> recorded_paths(const std::string& db) {
  std::vector<std::string> paths;
  int line_of_record = 0;
  size_t at = 0;
  while (at < db.size()) {
    size_t end = db.find('\n', at);
    std::string line = db.substr(at, end - at);
    at = end + 1;
    if (line.empty()) {
      line_of_record = 0;
      continue;
    }
    if (++line_of_record > 2) paths.push_back(line);
  }
  return paths;
}

class NamesInstall : public testing::Test {
 protected:
  void SetUp() override {
    if (!etc_.ok()) GTEST_SKIP() << "no private /etc: " << etc_.error();
  }
  void TearDown() override {
    EXPECT_EQ(std::vector<std::string>{}, entries_of(tmp_.path())) << "left in TMPDIR";
  }

  RunResult zarnin_in(const std::string& root, std::vector<std::string> args,
                      const Locale& locale = kLocaleC) {
    args.insert(args.begin(), {ZARNIN_BIN, "-r", root});
    RunOptions opts;
    opts.env = locale;
    opts.env.emplace("PKG_DBDIR", root + "/var/lib/pkg");
    opts.env.emplace("TMPDIR", tmp_.path());
    opts.env.emplace("PKG_ROOT", std::nullopt);
    opts.env.emplace("TAR_OPTIONS", std::nullopt);
    return run(args, opts);
  }
  RunResult zarnin(std::vector<std::string> args, const Locale& locale = kLocaleC) {
    return zarnin_in(root_.path(), std::move(args), locale);
  }
  std::string db_of(const std::string& root) { return read_file(root + "/var/lib/pkg/db"); }
  std::string db() { return db_of(root_.path()); }
  // Every name under root with its content, for "nothing was written".
  std::string tree() {
    return run({"sh", "-c", "cd \"$0\" && find . | LC_ALL=C sort && find . -type f -exec cat {} +",
                root_.path()})
        .out;
  }
  // Every recorded path exists under root.
  void expect_recorded_exist(const std::string& root, const std::string& why) {
    std::vector<std::string> paths = recorded_paths(db_of(root));
    EXPECT_FALSE(paths.empty()) << why;
    for (const std::string& path : paths) EXPECT_TRUE(exists(root + "/" + path)) << why << path;
  }
  // A package of one file named by tar's --transform, so that any spelling
  // can be made.
  std::string crafted(const std::string& member, const std::string& file_name) {
    write_file(work_ / "payload", "evil\n");
    std::string pkg = work_ / file_name;
    sh("cd " + shell_quote(work_.path()) + " && tar -cf - --transform='s|^payload$|" + member +
       "|' payload | gzip -c > " + shell_quote(pkg));
    return pkg;
  }

  TempDir root_, work_, tmp_;
  EtcNamespace etc_{EtcNamespace::Files{{"sorn.conf", std::nullopt}}};
};

// Under every caller locale the same bytes are recorded, and they name the
// files on disk; so conflicts, configuration staging and the removal of
// dropped files work on UTF-8 names across locales.
TEST_F(NamesInstall, LocaleNeverChangesTheRecord) {
  PackageTree v1, v2, other;
  v1.file("etc/café.conf", "c=1\n").file("usr/share/café", "1\n").file("usr/share/日本/語.txt", "j\n");
  v2.file("etc/café.conf", "c=2\n").file("usr/share/café", "2\n");
  other.file("usr/share/café", "other\n");
  std::string pkg1 = v1.pack(work_.path(), "uni#1-1.pkg.tar.zst");
  std::string pkg2 = v2.pack(work_.path(), "uni#2-1.pkg.tar.xz");
  std::string pkg_other = other.pack(work_.path(), "other#1-1.pkg.tar.gz");
  const std::string expected =
      "uni\n1-1\netc/\netc/café.conf\nusr/\nusr/share/\nusr/share/café\nusr/share/日本/\n"
      "usr/share/日本/語.txt\n\n";
  for (const Locale& locale : kLocales) {
    TempDir root;
    RunResult r = zarnin_in(root.path(), {pkg1}, locale);
    ASSERT_EQ(0, r.status) << label(locale) << r.err;
    EXPECT_EQ("", r.err) << label(locale);
    EXPECT_EQ(expected, db_of(root.path())) << label(locale);
    expect_recorded_exist(root.path(), label(locale));
  }

  // Installed under a UTF-8 locale, the rest under C.
  ASSERT_EQ(0, zarnin({pkg1}, kLocaleUtf8).status);
  RunResult r = zarnin({pkg_other});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(
      "zarnin: error: package other conflicts with installed files:\n  usr/share/café\n"
      "zarnin: use -f to force\n",
      r.err);
  write_file(root_ / "etc/café.conf", "c=local\n");
  r = zarnin({"-u", pkg2});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("zarnin: config: staged\netc/café.conf.new\n", r.err);
  EXPECT_EQ("c=local\n", read_file(root_ / "etc/café.conf"));
  EXPECT_EQ("c=2\n", read_file(root_ / "etc/café.conf.new"));
  EXPECT_FALSE(exists(root_ / "usr/share/日本")) << "dropped by the new version";
  EXPECT_EQ("uni\n2-1\netc/\netc/café.conf\nusr/\nusr/share/\nusr/share/café\n\n", db());
  expect_recorded_exist(root_.path(), "after the upgrade");
}

// Names that tar prints escaped in every locale are refused, each spelt as
// tar lists it, before anything is written.
TEST_F(NamesInstall, EscapedNamesAreRefused) {
  PackageTree base;
  base.file("usr/bin/base", "base\n");
  ASSERT_EQ(0, zarnin({base.pack(work_.path(), "base#1-1.pkg.tar.gz")}).status);
  const std::string db_before = db();
  const std::string tree_before = tree();
  struct Case {
    std::string name, listed;
  } cases[] = {
      {"usr/share/back\\slash", "usr/share/back\\\\slash"},
      {"usr/share/tab\tname", "usr/share/tab\\tname"},
      {"usr/share/ctl\x01", "usr/share/ctl\\001"},
      {"usr/share/latin1-caf\xe9", "usr/share/latin1-caf\\351"},
      {"etc/bad\xff.conf", "etc/bad\\377.conf"},
  };
  for (const Case& c : cases) {
    PackageTree t;
    t.file(c.name, "x\n");
    std::string pkg = t.pack(work_.path(), "esc#1-1.pkg.tar.zst");
    for (const Locale* locale : {&kLocaleC, &kLocaleUtf8}) {
      for (bool force : {false, true}) {
        std::vector<std::string> args{pkg};
        if (force) args.insert(args.begin(), "-f");
        RunResult r = zarnin(args, *locale);
        EXPECT_EQ(1, r.status) << c.listed;
        EXPECT_EQ("zarnin: unsafe path in package: " + c.listed + "\n", r.err) << label(*locale);
      }
    }
  }
  EXPECT_EQ(db_before, db());
  EXPECT_EQ(tree_before, tree());
}

// An exclusion file cannot hold a trailing blank, so a configuration file
// named so could never be kept on upgrade: refused. Elsewhere such a name
// installs and is recorded as it is.
TEST_F(NamesInstall, ConfigurationNamesEndingInABlankAreRefused) {
  PackageTree ok;
  ok.file("usr/share/doc/trail ", "t\n").file("etc/ lead.conf", "l\n");
  ASSERT_EQ(0, zarnin({ok.pack(work_.path(), "ok#1-1.pkg.tar.gz")}).status);
  EXPECT_EQ("ok\n1-1\netc/\netc/ lead.conf\nusr/\nusr/share/\nusr/share/doc/\n"
            "usr/share/doc/trail \n\n",
            db());
  expect_recorded_exist(root_.path(), "blank names outside etc/");
  const std::string db_before = db();
  const std::string tree_before = tree();
  for (const char* name : {"etc/trail.conf ", "etc/sub/two  "}) {
    PackageTree t;
    t.file(name, "a=1\n").file("usr/bin/trail", "x\n");
    RunResult r = zarnin({"-f", t.pack(work_.path(), "trail#1-1.pkg.tar.gz")});
    EXPECT_EQ(1, r.status) << name;
    EXPECT_EQ(std::string("zarnin: unsafe path in package: ") + name + "\n", r.err);
  }
  EXPECT_EQ(db_before, db());
  EXPECT_EQ(tree_before, tree());
}

// Another spelling of an owned path would slip past the conflict check;
// "./etc/app.conf" would not count as configuration. Refused, with -f too.
TEST_F(NamesInstall, OtherSpellingsAreRefused) {
  PackageTree owner;
  owner.file("usr/bin/tool", "owner\n").file("etc/app.conf", "mine\n");
  ASSERT_EQ(0, zarnin({owner.pack(work_.path(), "owner#1-1.pkg.tar.gz")}).status);
  const std::string db_before = db();
  const std::string tree_before = tree();

  std::vector<std::pair<std::string, std::string>> cases;  // package, reported name
  for (std::string member : {"usr//bin/tool", "usr/./bin/tool", "usr/bin/./tool", "usr/bin//"}) {
    std::string file = "intruder#" + std::to_string(cases.size()) + ".pkg.tar.gz";
    cases.emplace_back(crafted(member, file), member);
  }
  mkdir_p(work_ / "tree/etc");
  write_file(work_ / "tree/etc/app.conf", "theirs\n");
  std::string dot = work_ / "dot#1-1.pkg.tar.gz";
  sh("tar -C " + shell_quote(work_ / "tree") + " -cf - . | gzip -c > " + shell_quote(dot));
  cases.emplace_back(dot, "./");

  for (const auto& [pkg, reported] : cases) {
    for (bool force : {false, true}) {
      std::vector<std::string> args{pkg};
      if (force) args.insert(args.begin(), "-f");
      RunResult r = zarnin(args);
      EXPECT_EQ(1, r.status) << reported;
      EXPECT_EQ("zarnin: unsafe path in package: " + reported + "\n", r.err);
    }
  }
  EXPECT_EQ(db_before, db());
  EXPECT_EQ(tree_before, tree());
}

// A volume label is listed by tar but never written: it is not recorded,
// so no upgrade can delete the administrator's file of that name, whether
// the file was there before the package or came after it.
TEST_F(NamesInstall, VolumeLabelIsNotRecorded) {
  const std::string label = "usr/local/bin/admintool", admin = root_ / label;
  auto pack = [&](const std::string& version, bool labelled) {
    std::string tree = work_ / version, pkg = work_ / ("tool#" + version + ".pkg.tar.zst");
    write_file(tree + "/usr/bin/tool", version + "\n");
    sh("tar --no-recursion " + (labelled ? "-V " + label : "") + " --owner=root --group=root -C " +
       shell_quote(tree) + " -cf - usr/ usr/bin/ usr/bin/tool | zstd -q -c > " + shell_quote(pkg));
    return pkg;
  };
  const std::string warning = "zarnin: not extracted, not recorded: " + label + "\n";
  ASSERT_EQ(label + "\nusr/\nusr/bin/\nusr/bin/tool\n",
            run({"sh", "-c", "zstd -dcq \"$0\" | tar -tf -", pack("1-1", true)}).out);
  for (bool there_first : {true, false}) {
    sh("rm -rf " + shell_quote(root_.path()) + "/*");
    if (there_first) write_file(admin, "the administrator's\n", 0750);
    for (std::string version : {"1-1", "2-1", "3-1"}) {  // the last one without a label
      std::string trace = version + (there_first ? ", the file there first" : "");
      bool labelled = version != "3-1";
      std::vector<std::string> args{pack(version, labelled)};
      if (version != "1-1") args.insert(args.begin(), "-u");
      RunResult r = zarnin(args);
      ASSERT_EQ(0, r.status) << trace << ": " << r.err;
      EXPECT_EQ(labelled ? warning : "", r.err) << trace;
      EXPECT_EQ(version + "\n", read_file(root_ / "usr/bin/tool")) << trace;
      EXPECT_EQ("tool\n" + version + "\nusr/\nusr/bin/\nusr/bin/tool\n\n", db()) << trace;
      expect_recorded_exist(root_.path(), trace);
      if (version == "1-1" && !there_first) write_file(admin, "the administrator's\n", 0750);
      EXPECT_EQ("the administrator's\n", read_file(admin)) << trace;
      EXPECT_EQ(0750u, file_mode(admin)) << trace;
      EXPECT_EQ("", work_leftovers(root_.path())) << trace;
    }
  }
  // A symbolic link listed under a directory's name ("usr/link/") is not
  // what that record would say either: neither recorded nor put in place.
  std::string tree = work_ / "slash", pkg = work_ / "slash#1-1.pkg.tar.gz";
  write_file(tree + "/usr/bin/tool", "t\n");
  sh("ln -s plain " + shell_quote(tree + "/usr/link") + " && tar --no-recursion --owner=root "
     "--group=root --transform='s,^usr/link$,usr/link/,' -C " + shell_quote(tree) +
     " -czf " + shell_quote(pkg) + " usr/ usr/bin/ usr/bin/tool usr/link");
  sh("rm -rf " + shell_quote(root_.path()) + "/*");
  RunResult r = zarnin({pkg});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("zarnin: not extracted, not recorded: usr/link/\n", r.err);
  EXPECT_EQ("slash\n1-1\nusr/\nusr/bin/\nusr/bin/tool\n\n", db());
  EXPECT_FALSE(entry_exists((root_ / "usr/link").c_str()));
  EXPECT_EQ("", work_leftovers(root_.path()));
}

// The footprint shows UTF-8 names as they are under every caller locale: a
// stored footprint matches everywhere, and a difference reads the same.
TEST_F(NamesInstall, FootprintIsTheSameUnderEveryLocale) {
  PackageTree t;
  t.file("usr/share/café", "c\n").file("usr/share/日本.txt", "");
  std::string pkg = t.pack(work_.path(), "uni#1-1.pkg.tar.gz");
  const std::string footprint =
      "drwxr-xr-x\troot/root\tusr/\n"
      "drwxr-xr-x\troot/root\tusr/share/\n"
      "-rw-r--r--\troot/root\tusr/share/café\n"
      "-rw-r--r--\troot/root\tusr/share/日本.txt (EMPTY)\n";
  write_file(work_ / ".footprint", footprint);
  for (const Locale& locale : kLocales) {
    TempDir root;
    RunResult r = zarnin_in(root.path(), {pkg}, locale);
    EXPECT_EQ(0, r.status) << label(locale) << r.err;
    EXPECT_EQ("", r.err) << label(locale);
  }
  write_file(work_ / ".footprint", footprint.substr(0, footprint.find("-rw")));
  for (const Locale& locale : kLocales) {
    TempDir root;
    RunResult r = zarnin_in(root.path(), {pkg}, locale);
    EXPECT_EQ(1, r.status) << label(locale);
    EXPECT_EQ("zarnin: footprint: new\n"
              "-rw-r--r--\troot/root\tusr/share/café\n"
              "-rw-r--r--\troot/root\tusr/share/日本.txt (EMPTY)\n"
              "zarnin: footprint: error\n",
              r.err)
        << label(locale);
  }
}

}  // namespace
