// Accounts with the real groupadd, useradd, userdel, groupdel, getent and
// install, run chrooted in scratch roots; the root's own account files are
// checked afterwards. Nothing here runs an account tool on the host.
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integrate/integrate.h"
#include "support/chroot_root.h"
#include "support/support.h"

using sorn_test::ChrootRoot;
using sorn_test::exists;
using sorn_test::file_mode;
using sorn_test::read_file;
using sorn_test::TempDir;
using sorn_test::write_file;

namespace {

const std::vector<std::string> kAccountTools = {"groupadd", "useradd", "userdel",
                                                "groupdel", "getent",  "install"};

std::string prog() { return std::string(program_invocation_short_name) + ": "; }

std::string missing_reserved(const std::string& group, const std::string& root) {
  return prog() + "reserved group " + group + " is missing from " + root +
         " — broken filesystem skeleton, not creating it\n";
}

using Fields = std::vector<std::string>;

// The lines of an account file by their first field.
std::map<std::string, Fields> accounts(const std::string& path) {
  std::map<std::string, Fields> out;
  std::istringstream lines(read_file(path));
  std::string line;
  while (std::getline(lines, line)) {
    Fields f;
    std::string field;
    std::istringstream parts(line);
    while (std::getline(parts, field, ':')) f.push_back(field);
    if (!f.empty()) out[f[0]] = f;
  }
  return out;
}

unsigned long id_of(const std::map<std::string, Fields>& file, const std::string& name) {
  auto it = file.find(name);
  if (it == file.end() || it->second.size() < 3) return static_cast<unsigned long>(-1);
  return std::stoul(it->second[2]);
}

PackageMetaPtr meta_with_groups(const std::vector<std::string>& groups) {
  PackageMetaPtr meta(meta_new());
  for (const auto& g : groups) strlist_add(meta->groups, g.c_str());
  return meta;
}

template <class F>
std::string stderr_of(F f) {
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

struct Stat {
  uid_t uid;
  gid_t gid;
  mode_t mode;
  bool operator==(const Stat&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Stat& s) {
  return os << s.uid << ":" << s.gid << " " << std::oct << s.mode << std::dec;
}
Stat stat_of(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return {0, 0, 0};
  return {st.st_uid, st.st_gid, st.st_mode & 07777};
}

// The tools are looked up on PATH inside the root; the test's own PATH may
// lack the system directories.
class ScopedPath {
 public:
  explicit ScopedPath(const char* value) : old_(getenv("PATH") ? getenv("PATH") : "") {
    setenv("PATH", value, 1);
  }
  ~ScopedPath() { setenv("PATH", old_.c_str(), 1); }

 private:
  std::string old_;
};

class Accounts : public testing::Test {
 protected:
  void SetUp() override {
    if (!root_.add_programs(kAccountTools))
      GTEST_SKIP() << "the account tools are not installed (passwd, coreutils)";
    root_.add_accounts();
  }
  std::map<std::string, Fields> groups() { return accounts(root_ / "etc/group"); }
  std::map<std::string, Fields> users() { return accounts(root_ / "etc/passwd"); }
  std::string create(const std::vector<std::string>& entries) {
    PackageMetaPtr meta = meta_with_groups(entries);
    return stderr_of([&] { accounts_create(meta.get(), root_.path().c_str()); });
  }
  std::string remove(const std::vector<std::string>& entries, const char* package) {
    PackageMetaPtr meta = meta_with_groups(entries);
    return stderr_of([&] { accounts_remove(meta.get(), root_.path().c_str(), package); });
  }

  ScopedPath path_{"/usr/sbin:/usr/bin:/sbin:/bin"};
  ChrootRoot root_;
};

TEST_F(Accounts, GroupDeclarations) {
  EXPECT_EQ("", create({"alpha", "beta:1234", "gamma:12a", "delta:", "eps:1:2"}));
  auto g = groups();
  EXPECT_EQ(1234u, id_of(g, "beta"));
  // Without digits only after the ':' there is no -g, and the name is the
  // part before the ':'; groupadd -r picks a system gid.
  for (const char* name : {"alpha", "gamma", "delta", "eps"}) {
    ASSERT_TRUE(g.count(name)) << name;
    EXPECT_GE(id_of(g, name), 100u) << name;
    EXPECT_LE(id_of(g, name), 999u) << name;
  }
  EXPECT_EQ(7u, g.size());  // root and wheel besides
}

TEST_F(Accounts, UserDeclarations) {
  EXPECT_EQ("", create({
                    "svc:user:svc:/var/lib/svc:0750",
                    "six:user:six:/home/six:0700:4321",       // a uid without a gid: neither
                    "sev:user:sev:/home/sev:0755:4400:4500",
                    "hole:user:hole:/srv/hole:0700::4600",    // empty uid: neither
                    "e:user:eu:/var/empty:0755",
                    "n:user:nu:/nonexistent:0755",
                }));
  auto g = groups();
  auto u = users();
  ASSERT_TRUE(u.count("svc"));
  EXPECT_EQ((Fields{"svc", "x", u["svc"][2], std::to_string(id_of(g, "svc")), "", "/var/lib/svc",
                    "/bin/false"}),
            u["svc"]);
  EXPECT_LE(id_of(u, "svc"), 999u);
  unsigned long svc_uid = id_of(u, "svc");
  EXPECT_EQ((Stat{static_cast<uid_t>(svc_uid), static_cast<gid_t>(id_of(g, "svc")), 0750}),
            stat_of(root_ / "var/lib/svc"));

  EXPECT_NE(4321u, id_of(u, "six"));
  EXPECT_EQ((Stat{static_cast<uid_t>(id_of(u, "six")), static_cast<gid_t>(id_of(g, "six")), 0700}),
            stat_of(root_ / "home/six"));

  EXPECT_EQ(4400u, id_of(u, "sev"));
  EXPECT_EQ(4500u, id_of(g, "sev"));
  EXPECT_EQ("4500", u["sev"][3]);
  EXPECT_EQ((Stat{4400, 4500, 0755}), stat_of(root_ / "home/sev"));

  EXPECT_NE(4600u, id_of(g, "hole"));
  EXPECT_TRUE(u.count("hole"));

  EXPECT_TRUE(u.count("eu") && u.count("nu"));
  EXPECT_FALSE(exists(root_ / "var/empty"));
  EXPECT_FALSE(exists(root_ / "nonexistent"));
}

TEST_F(Accounts, SecondInstallIsSilentAndResetsTheHome) {
  const std::vector<std::string> entries = {"plain:300", "sev:user:sev:/home/sev:0750:4400:4500"};
  ASSERT_EQ("", create(entries));
  const std::string group_file = read_file(root_ / "etc/group");
  const std::string home = root_ / "home/sev";
  ASSERT_EQ(0, chmod(home.c_str(), 0777));
  ASSERT_EQ(0, chown(home.c_str(), 0, 0));
  // groupadd and useradd end with "exists" (9) now; that is no failure.
  EXPECT_EQ("", create(entries));
  EXPECT_EQ(group_file, read_file(root_ / "etc/group"));
  EXPECT_EQ((Stat{4400, 4500, 0750}), stat_of(home));
}

TEST_F(Accounts, ReservedGroupsAreNeverCreated) {
  const std::string group_file = read_file(root_ / "etc/group");
  EXPECT_EQ(missing_reserved("audio", root_.path()),
            create({"wheel", "audio", "wheel:user:wu:/var/empty:0755"}));
  EXPECT_EQ(group_file, read_file(root_ / "etc/group"));
  auto u = users();
  ASSERT_TRUE(u.count("wu"));
  EXPECT_EQ("10", u["wu"][3]);
}

TEST_F(Accounts, FailedGroupaddIsCheckedWithGetent) {
  // gid 0 is taken (exit 4) and the names are invalid (exit 3): getent then
  // finds no such group, so both are reported.
  EXPECT_EQ(prog() + "groupadd -g 0 dup failed (exit 4)\n" +
            prog() + "groupadd bad name! failed (exit 3)\n" +
            prog() + "useradd bad name failed (exit 3)\n",
            create({"dup:0", "bad name!", "fine:user:bad name:/var/empty:0755"}));
}

TEST(AccountsRoot, RootWithoutGetentOrInstall) {
  ScopedPath path("/usr/sbin:/usr/bin:/sbin:/bin");
  ChrootRoot root;
  if (!root.add_programs({"groupadd", "useradd"})) GTEST_SKIP() << "groupadd and useradd missing";
  root.add_accounts();
  PackageMetaPtr meta = meta_with_groups({"dup:0", "audio", "u:user:u:/home/u:0700"});
  std::string err = stderr_of([&] { accounts_create(meta.get(), root.path().c_str()); });
  // Without getent neither the failed groupadd nor the missing reserved
  // group can be confirmed, so only the missing install is reported.
  EXPECT_EQ(prog() + "install -d /home/u failed (exit 127)\n", err);
  EXPECT_TRUE(accounts(root / "etc/passwd").count("u"));
}

TEST(AccountsRoot, RootThatCannotBeEntered) {
  TempDir top;
  const std::string root = top / "absent";
  PackageMetaPtr meta = meta_with_groups(
      {"grp:77", "plain", "u:user:u:/home/u:0700", "wheel", "v:user:v:/var/empty:0700:5:6"});
  std::string err = stderr_of([&] { accounts_create(meta.get(), root.c_str()); });
  EXPECT_EQ(prog() + "groupadd -g 77 grp failed (exit 126)\n" +
            prog() + "groupadd plain failed (exit 126)\n" +
            prog() + "groupadd u failed (exit 126)\n" +
            prog() + "useradd u failed (exit 126)\n" +
            prog() + "install -d /home/u failed (exit 126)\n" +
            missing_reserved("wheel", root) +
            prog() + "groupadd -g 6 v failed (exit 126)\n" +
            prog() + "useradd v failed (exit 126)\n",
            err);
  // Removal says nothing even then.
  EXPECT_EQ("", stderr_of([&] { accounts_remove(meta.get(), root.c_str(), "pkg"); }));
}

TEST_F(Accounts, RemovalKeepsWhatOtherPackagesDeclare) {
  root_.add_file("var/lib/pkg/meta/other", "service x\ngroup shared:400\n");
  root_.add_file("var/lib/pkg/meta/pkg", "group own\n");      // the package itself
  root_.add_file("var/lib/pkg/meta/.pkg.swp", "group own\n");  // hidden names are skipped
  const std::vector<std::string> mine = {
      "shared:user:svc:/var/empty:0755",  // its group is still declared: user stays too
      "own",
      "ownu:user:ownu:/home/ownu:0700",
      "wheel:user:wu:/var/empty:0755",    // a reserved group: the user goes, the group stays
  };
  ASSERT_EQ("", create(mine));
  ASSERT_TRUE(users().count("ownu") && groups().count("own"));
  EXPECT_EQ("", remove(mine, "pkg"));
  auto g = groups();
  auto u = users();
  EXPECT_TRUE(g.count("shared"));
  EXPECT_TRUE(u.count("svc"));
  EXPECT_FALSE(g.count("own"));
  EXPECT_FALSE(g.count("ownu"));
  EXPECT_FALSE(u.count("ownu"));
  EXPECT_FALSE(u.count("wu"));
  EXPECT_TRUE(g.count("wheel"));
  EXPECT_TRUE(exists(root_ / "home/ownu"));  // userdel is not asked to remove the home
}

TEST_F(Accounts, RemovalWithoutReadableMetadataDirectory) {
  const std::vector<std::string> mine = {"shared", "u:user:u:/var/empty:0755", "wheel"};
  for (bool as_file : {false, true}) {
    // Another package declaring "shared" cannot be seen: absent, or not a
    // directory at all.
    if (as_file) root_.add_file("var/lib/pkg/meta", "group shared\n");
    ASSERT_EQ("", create(mine));
    ASSERT_TRUE(groups().count("shared"));
    EXPECT_EQ("", remove(mine, "pkg"));
    EXPECT_FALSE(groups().count("shared")) << as_file;
    EXPECT_FALSE(groups().count("u")) << as_file;
    EXPECT_FALSE(users().count("u")) << as_file;
    EXPECT_TRUE(groups().count("wheel")) << as_file;
  }
}

TEST_F(Accounts, NothingDeclared) {
  const std::string before = read_file(root_ / "etc/group") + read_file(root_ / "etc/passwd");
  EXPECT_EQ("", stderr_of([&] {
    accounts_create(nullptr, root_.path().c_str());
    accounts_remove(nullptr, root_.path().c_str(), "pkg");
    PackageMetaPtr empty = meta_with_groups({});
    accounts_create(empty.get(), root_.path().c_str());
    accounts_remove(empty.get(), root_.path().c_str(), "pkg");
  }));
  EXPECT_EQ(before, read_file(root_ / "etc/group") + read_file(root_ / "etc/passwd"));
}

// --------------------------------------------------------------- run_in_root

TEST(RunInRoot, StatusesAndOutput) {
  ScopedPath path("/usr/sbin:/usr/bin:/sbin:/bin");
  ChrootRoot root;
  if (!root.add_program("sh")) GTEST_SKIP() << "no sh";
  root.add_file("inside", "");
  TempDir top;
  struct Case {
    const char* what;
    std::string root;
    std::vector<std::string> argv;
    int status;
  } cases[] = {
      {"exit status", root.path(), {"sh", "-c", "exit 3"}, 3},
      {"chrooted", root.path(), {"sh", "-c", "test -f /inside"}, 0},
      {"output discarded", root.path(), {"sh", "-c", "echo out; echo err >&2"}, 0},
      {"killed", root.path(), {"sh", "-c", "kill -9 $$"}, -1},
      {"missing program", root.path(), {"no-such-tool"}, 127},
      {"root not entered", top / "absent", {"sh", "-c", "exit 0"}, 126},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv;
    for (const auto& a : c.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = run_in_root(c.root.c_str(), argv[0], argv.data());
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.status, status) << c.what;
    EXPECT_EQ("", out + err) << c.what;
  }

  // A root without /dev/null keeps the output where it was.
  ASSERT_EQ(0, unlink((root / "dev/null").c_str()));
  char sh[] = "sh", dash_c[] = "-c", script[] = "echo kept";
  char* argv[] = {sh, dash_c, script, nullptr};
  testing::internal::CaptureStdout();
  int status = run_in_root(root.path().c_str(), "sh", argv);
  EXPECT_EQ("kept\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ(0, status);
}

}  // namespace
