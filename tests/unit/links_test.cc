// Canonical forms through the directory links of a scratch root.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/db.h"
#include "support/support.h"

using namespace sorn_test;

namespace {

TEST(DirLinks, CanonicalForms) {
  TempDir root;
  for (const char* dir : {"usr/bin", "usr/lib", "opt/x", "run"}) mkdir_p(root / dir);
  write_file(root / "usr/bin/file", "");
  struct LinkSpec {
    const char* at;
    const char* target;
  } made[] = {
      {"bin", "usr/bin"},          {"lib", "/usr/lib"},    // absolute: inside the root
      {"lib64", "lib"},            {"usr/lib/alias", "../bin"},
      {"var", "opt/x/.."},         {"up", "../.."},        // above the root: no link
      {"loop", "loop/a"},          {"exe", "usr/bin/file"},  // a file: no link
      {"dangling", "nowhere"},     {"opt/x/run", "../../run"},
  };
  for (const LinkSpec& l : made) ASSERT_EQ(0, symlink(l.target, (root / l.at).c_str())) << l.at;

  StringListPtr own(list_of({"bin/sh", "lib/alias/su", "lib64/alias/", "var/x/run/y", "up/z",
                             "loop/b", "exe/c", "dangling/d", "usr/lib/alias/deep/er"}));
  DirLinks links(root.path().c_str(), nullptr, {own.get()});
  struct Case {
    std::string path, form;
  } cases[] = {
      {"bin/sh", "usr/bin/sh"},
      {"bin", "bin"},                      // the link itself
      {"bin/", "bin/"},
      {"usr/bin/sh", "usr/bin/sh"},
      {"lib/alias/su", "usr/bin/su"},      // two links in a row
      {"lib64/alias/", "usr/lib/alias/"},  // the last place kept as written
      {"lib64/alias/x/y", "usr/bin/x/y"},
      {"usr/lib/alias/deep/er", "usr/bin/deep/er"},
      {"var/x/run/y", "run/y"},            // ".." inside the root
      {"up/z", "up/z"},
      {"loop/b", "loop/b"},
      {"exe/c", "exe/c"},
      {"dangling/d", "dangling/d"},
      {"sh", "sh"},
      {"", ""},
  };
  std::string buf;
  for (const Case& c : cases) EXPECT_EQ(c.form, links.canonical(c.path, buf)) << c.path;
  EXPECT_GE(links.link_at("bin"), 0);
  EXPECT_GE(links.link_at("lib64"), 0);
  EXPECT_EQ(-1, links.link_at("bin/"));
  EXPECT_EQ(-1, links.link_at("usr/bin"));
  EXPECT_EQ(-1, links.link_at("up"));

  // A root without links: every path is its own form, as the same view.
  TempDir plain;
  mkdir_p(plain / "usr/bin");
  DirLinks none(plain.path().c_str(), nullptr, {own.get()});
  EXPECT_TRUE(none.empty());
  std::string_view path = "bin/sh";
  EXPECT_EQ(path.data(), none.canonical(path, buf).data());
}

}  // namespace
