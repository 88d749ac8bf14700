// One file, one owner where the root has directory links: zarnin and zarnout
// on a merged root ("bin -> usr/bin", "lib -> usr/lib", "sbin -> usr/sbin")
// see "bin/sh" and "usr/bin/sh" as one file, and keep the links that other
// packages' files depend on. The same steps on a root without such links
// behave as they always have.
#include <unistd.h>

#include <map>
#include <utility>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/support.h"

using namespace sorn_test;

namespace {

// One member of a package: a file with its content, or a symbolic link with
// its target (Link).
struct Member {
  Member(std::string p, std::string c, bool l = false) : path(std::move(p)), content(std::move(c)), link(l) {}
  std::string path, content;
  bool link;
};
Member Link(const std::string& path, const std::string& target) { return {path, target, true}; }

// A program run: "zarnin" or "zarnout" with its arguments, where a word that
// names a package of kPackages stands for its file.
struct Step {
  std::string program;
  std::vector<std::string> args;
  int status;
  std::string err;
};
Step zarnin(std::vector<std::string> args, int status = 0, std::string err = "") {
  return {ZARNIN_BIN, std::move(args), status, std::move(err)};
}
Step zarnout(std::vector<std::string> args, int status = 0, std::string err = "") {
  return {ZARNOUT_BIN, std::move(args), status, std::move(err)};
}

struct Case {
  std::string label;
  bool merged;  // the root has bin, lib and sbin linked into usr
  std::vector<Step> steps;
  std::map<std::string, std::string> files;  // path → content ("->target" for a link)
  std::vector<std::string> absent;
  std::map<std::string, std::vector<std::string>> records;  // package → paths
};

const std::map<std::string, std::vector<Member>> kPackages{
    {"A#1", {{"bin/sh", "A\n"}}},
    {"A#2", {{"usr/share/a/doc", "A2\n"}}},
    {"B#1", {{"usr/bin/sh", "B\n"}}},
    {"fs#1", {Link("lib", "usr/lib"), {"usr/lib/.keep", ""}}},
    {"fs#2", {{"usr/lib/.keep", ""}}},
    {"libc#1", {{"lib/ld-musl-x86_64.so.1", "ld\n"}}},
    {"libc-usr#1", {{"usr/lib/ld-musl-x86_64.so.1", "ld\n"}}},
    {"alias#1", {Link("usr/lib/alias", "../bin"), {"usr/bin/su", "alias\n"}}},
    {"alias-dir#1", {{"usr/lib/alias/.keep", ""}, {"usr/bin/su", "alias\n"}}},
    {"su#1", {{"usr/lib/alias/su", "su\n"}}},
};

std::string conflict(const std::string& name, const std::string& path) {
  return "zarnin: error: package " + name + " conflicts with installed files:\n  " + path +
         "\nzarnin: use -f to force\n";
}
const std::string kKeepLib = "zarnin: notice: keeping link used by other packages: lib\n";
std::string keeping(const std::string& what, const std::string& path) {
  return "zarnout: notice: keeping " + what + ": " + path + "\n";
}
const std::vector<std::string> kNoRecord{"<no record>"};

const std::vector<Case> kCases{
    // 1: the second spelling of a file is a conflict, reported as the
    // member spells it.
    {"bin/sh then usr/bin/sh", true,
     {zarnin({"A#1"}), zarnin({"B#1"}, 1, conflict("B", "usr/bin/sh"))},
     {{"usr/bin/sh", "A\n"}, {"bin", "->usr/bin"}}, {}, {{"A", {"bin/", "bin/sh"}}}},
    {"usr/bin/sh then bin/sh", true,
     {zarnin({"B#1"}), zarnin({"A#1"}, 1, conflict("A", "bin/sh"))},
     {{"usr/bin/sh", "B\n"}}, {}, {}},
    {"bin/sh then usr/bin/sh, no links", false,
     {zarnin({"A#1"}), zarnin({"B#1"})},
     {{"bin/sh", "A\n"}, {"usr/bin/sh", "B\n"}}, {}, {}},
    // 2: an upgrade that drops one spelling leaves the file of the package
    // that records the other.
    {"forced usr/bin/sh survives the upgrade dropping bin/sh", true,
     {zarnin({"A#1"}), zarnin({"-f", "B#1"}), zarnin({"-u", "A#2"})},
     {{"usr/bin/sh", "B\n"}, {"usr/share/a/doc", "A2\n"}}, {}, {{"A", {"usr/", "usr/share/", "usr/share/a/", "usr/share/a/doc"}}}},
    {"upgrade dropping bin/sh, no links", false,
     {zarnin({"A#1"}), zarnin({"-f", "B#1"}), zarnin({"-u", "A#2"})},
     {{"usr/bin/sh", "B\n"}}, {"bin/sh", "bin"}, {}},
    {"removing bin/sh's package leaves the forced usr/bin/sh", true,
     {zarnin({"A#1"}), zarnin({"-f", "B#1"}), zarnout({"A"})},
     {{"usr/bin/sh", "B\n"}, {"bin", "->usr/bin"}}, {}, {{"A", kNoRecord}}},
    {"removing bin/sh's package, no links", false,
     {zarnin({"A#1"}), zarnin({"B#1"}), zarnout({"A"})},
     {{"usr/bin/sh", "B\n"}}, {"bin/sh", "bin"}, {{"A", kNoRecord}}},
    // 3: the link others' files go through stays; its record goes.
    {"upgrade dropping lib -> usr/lib", true,
     {zarnin({"fs#1"}), zarnin({"libc#1"}), zarnin({"-u", "fs#2"}, 0, kKeepLib)},
     {{"lib", "->usr/lib"}, {"lib/ld-musl-x86_64.so.1", "ld\n"}}, {},
     {{"fs", {"usr/", "usr/lib/", "usr/lib/.keep"}}, {"libc", {"lib/", "lib/ld-musl-x86_64.so.1"}}}},
    {"upgrade dropping lib -> usr/lib that nothing goes through", false,
     {zarnin({"fs#1"}), zarnin({"libc-usr#1"}), zarnin({"-u", "fs#2"})},
     {{"usr/lib/ld-musl-x86_64.so.1", "ld\n"}}, {"lib"}, {}},
    {"removing the package of lib -> usr/lib", true,
     {zarnin({"fs#1"}), zarnin({"libc#1"}),
      zarnout({"fs"}, 0,
              keeping("non-empty", "usr/lib/") + keeping("non-empty", "usr/") +
                  keeping("link used by other packages", "lib"))},
     {{"lib", "->usr/lib"}, {"lib/ld-musl-x86_64.so.1", "ld\n"}}, {}, {{"fs", kNoRecord}}},
    {"removing the package of lib -> usr/lib that nothing goes through", false,
     {zarnin({"fs#1"}), zarnin({"libc-usr#1"}), zarnout({"fs"})},
     {{"usr/lib/ld-musl-x86_64.so.1", "ld\n"}}, {"lib"}, {{"fs", kNoRecord}}},
    // 4: a link inside a package tree.
    {"usr/lib/alias -> ../bin", true,
     {zarnin({"alias#1"}), zarnin({"su#1"}, 1, conflict("su", "usr/lib/alias/su"))},
     {{"usr/bin/su", "alias\n"}}, {}, {}},
    {"usr/lib/alias/ a directory", false,
     {zarnin({"alias-dir#1"}), zarnin({"su#1"})},
     {{"usr/bin/su", "alias\n"}, {"usr/lib/alias/su", "su\n"}}, {}, {}},
    {"removing the package of usr/lib/alias -> ../bin", true,
     {zarnin({"alias#1"}), zarnin({"-f", "su#1"}),
      zarnout({"alias"}, 0,
              keeping("link used by other packages", "usr/lib/alias") +
                  keeping("non-empty", "usr/bin/"))},
     {{"usr/lib/alias", "->../bin"}, {"usr/bin/su", "su\n"}}, {}, {{"alias", kNoRecord}}},
    {"removing the package of usr/lib/alias/, a directory", false,
     {zarnin({"alias-dir#1"}), zarnin({"su#1"}), zarnout({"alias-dir"})},
     {{"usr/lib/alias/su", "su\n"}}, {"usr/bin/su"}, {{"alias-dir", kNoRecord}}},
};

class Links : public testing::Test {
 protected:
  TempDir work_, tmp_;
  std::map<std::string, std::string> package_files_;

  void SetUp() override {
    for (const auto& [key, members] : kPackages) {
      PackageTree tree;
      for (const Member& m : members) {
        if (m.link)
          tree.symlink(m.path, m.content);
        else
          tree.file(m.path, m.content);
      }
      package_files_[key] = tree.pack(work_.path(), key + ".pkg.tar.gz");
    }
  }
  void TearDown() override {
    EXPECT_EQ(std::vector<std::string>{}, entries_of(tmp_.path())) << "left in TMPDIR";
  }

  RunResult run_step(const std::string& root, const Step& step) const {
    std::vector<std::string> argv{step.program, "-r", root};
    for (const std::string& word : step.args) {
      auto it = package_files_.find(word);
      argv.push_back(it == package_files_.end() ? word : it->second);
    }
    RunOptions opts;
    opts.env.emplace("PKG_DBDIR", root + "/var/lib/pkg");
    opts.env.emplace("TMPDIR", tmp_.path());
    opts.env.emplace("PKG_ROOT", std::nullopt);
    opts.env.emplace("TAR_OPTIONS", std::nullopt);
    return run(argv, opts);
  }
};

std::string link_target(const std::string& path) {
  char buf[kPathBuf];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? "<no link>" : std::string(buf, static_cast<size_t>(n));
}

// The paths of one record of a database file.
std::vector<std::string> record_of(const std::string& db, const std::string& name) {
  std::vector<std::string> paths;
  size_t at = ("\n\n" + db).find("\n\n" + name + "\n");
  if (at == std::string::npos) return {"<no record>"};
  at = db.find('\n', db.find('\n', at) + 1) + 1;  // past name and version
  while (at < db.size() && db[at] != '\n') {
    size_t end = db.find('\n', at);
    paths.push_back(db.substr(at, end - at));
    at = end + 1;
  }
  return paths;
}

TEST_F(Links, OneFileOneOwner) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.label);
    TempDir root;
    if (c.merged) {
      for (const char* dir : {"bin", "lib", "sbin"}) {
        mkdir_p(root / "usr" + "/" + dir);
        sh("ln -s usr/" + std::string(dir) + " " + shell_quote(root / dir));
      }
    }
    for (const Step& step : c.steps) {
      RunResult r = run_step(root.path(), step);
      EXPECT_EQ(step.status, r.status) << step.program << " " << step.args.back() << ": " << r.err;
      EXPECT_EQ(step.err, r.err) << step.program << " " << step.args.back();
    }
    for (const auto& [path, content] : c.files) {
      if (content.starts_with("->")) {
        EXPECT_EQ(content.substr(2), link_target(root / path)) << path;
      } else {
        EXPECT_EQ(content, read_file(root / path)) << path;
      }
    }
    for (const std::string& path : c.absent) EXPECT_FALSE(exists(root / path)) << path;
    std::string db = read_file(root / "var/lib/pkg/db");
    for (const auto& [name, paths] : c.records) EXPECT_EQ(paths, record_of(db, name)) << name;
  }
}

}  // namespace
