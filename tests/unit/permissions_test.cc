// Permissions and capabilities applied to files of a scratch root: ids from
// the root's own account files, owner before mode, links keeping their
// mode, every warning, and paths that would leave the root.
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integrate/integrate.h"
#include "support/support.h"

using sorn_test::file_mode;
using sorn_test::mkdir_p;
using sorn_test::run;
using sorn_test::TempDir;
using sorn_test::write_file;

namespace {

const std::string kPasswd =
    "root:x:0:0:root:/root:/bin/sh\n"
    "alice:x:1001:1002::/home/alice:/bin/sh\n"
    "emptyid:x::5::/:/bin/false\n"
    "emptyid:x:77:5::/:/bin/false\n"  // a later line of the same name is not used
    "letters:x:12a:5::/:/bin/false\n"
    "short:x\n"
    "nocolon:x:55\n"
    "bigid:x:4000000000:5::/:/bin/false\n";
const std::string kGroup =
    "root:x:0:\n"
    "staff:x:50:alice\n"
    "badgid:x:-3:\n";

std::string prog() { return std::string(program_invocation_short_name) + ": "; }

PackageMetaPtr meta_with(const std::vector<std::string>& permissions,
                         const std::vector<std::string>& capabilities = {}) {
  PackageMetaPtr meta(meta_new());
  for (const auto& p : permissions) strlist_add(meta->permissions, p.c_str());
  for (const auto& c : capabilities) strlist_add(meta->capabilities, c.c_str());
  return meta;
}

struct Owner {
  uid_t uid;
  gid_t gid;
  bool operator==(const Owner&) const = default;
};

Owner owner_of(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return {static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
  return {st.st_uid, st.st_gid};
}

std::ostream& operator<<(std::ostream& os, const Owner& o) { return os << o.uid << ":" << o.gid; }

class Permissions : public testing::Test {
 protected:
  void SetUp() override {
    root_ = top_ / "root";
    write_file(root_ + "/etc/passwd", kPasswd);
    write_file(root_ + "/etc/group", kGroup);
  }
  // Runs f with stderr captured and returns what it printed.
  template <class F>
  std::string stderr_of(F f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
  }
  TempDir top_;
  std::string root_;
};

TEST_F(Permissions, LookupId) {
  struct Case {
    const char* file;
    const char* name;
    int result;
    id_t id;
  } cases[] = {
      {"etc/passwd", "alice", 0, 1001},
      {"etc/passwd", "root", 0, 0},
      {"etc/passwd", "1234", 0, 1234},     // a number reads no file
      {"etc/passwd", "ali", -1, 0},        // a prefix of a name is not the name
      {"etc/passwd", "emptyid", -1, 0},    // the first line of the name decides
      {"etc/passwd", "letters", -1, 0},
      {"etc/passwd", "short", -1, 0},
      {"etc/passwd", "nocolon", -1, 0},
      {"etc/passwd", "daemon", -1, 0},     // only the host knows it
      {"etc/passwd", "", -1, 0},
      {"etc/passwd", "bigid", 0, 4000000000u},
      {"etc/group", "staff", 0, 50},
      {"etc/group", "alice", -1, 0},
      {"etc/group", "badgid", -1, 0},
      {"etc/group", "0", 0, 0},
      {"etc/passwd", "4294967294", 0, 4294967294u},
      {"etc/passwd", "4294967295", -1, 0},  // chown's "leave unchanged"
      {"etc/passwd", "4294967296", -1, 0},  // would wrap round to root
      {"etc/passwd", "-1", -1, 0},
      {"etc/passwd", "+5", -1, 0},
  };
  for (const Case& c : cases) {
    id_t id = 9999;
    EXPECT_EQ(c.result, lookup_id(root_.c_str(), c.file, c.name, &id)) << c.file << " " << c.name;
    if (c.result == 0) {
      EXPECT_EQ(c.id, id) << c.name;
    }
  }
  // A root without account files still resolves numbers.
  std::string bare = top_ / "bare";
  mkdir_p(bare);
  id_t id = 0;
  EXPECT_EQ(0, lookup_id(bare.c_str(), "etc/passwd", "42", &id));
  EXPECT_EQ(42u, id);
  EXPECT_EQ(-1, lookup_id(bare.c_str(), "etc/passwd", "root", &id));
}

TEST_F(Permissions, AppliesOwnerAndModeOrWarns) {
  const std::string r = root_;
  write_file(r + "/usr/bin/suid", "x", 0755);
  write_file(r + "/usr/bin/plain", "x", 0644);
  write_file(r + "/usr/bin/target", "x", 0640);
  ASSERT_EQ(0, symlink("target", (r + "/usr/bin/link").c_str()));
  write_file(r + "/usr/bin/untouched", "x", 0644);
  mkdir_p(r + "/var/lib/app");

  PackageMetaPtr meta = meta_with({
      "usr/bin/untouched:0:0",               // three fields
      "",                                    // empty
      "usr/bin/untouched:ghost:0:9z",        // bad mode beats unknown user
      "usr/bin/untouched:ghost:0:0600",
      "usr/bin/untouched:daemon:0:0600",     // a host-only user
      "usr/bin/untouched:emptyid:0:0600",
      "usr/bin/untouched:0:ghost:0600",
      "usr/bin/suid:alice:staff:4755",
      "usr/bin/link:alice:staff:0600",
      "/usr/bin/plain:123:456:0600:extra",   // leading "/" and a fourth ':'
      "var/lib/app:alice:50:2770",
      "usr/bin/missing:0:0:0644",
  });
  std::string err = stderr_of([&] { permissions_apply(meta.get(), r.c_str()); });

  const std::string missing = r + "/usr/bin/missing";
  EXPECT_EQ(prog() + "bad permission entry: usr/bin/untouched:0:0\n" +
            prog() + "bad permission entry: \n" +
            prog() + "bad mode in permission: 9z\n" +
            prog() + "unknown user: ghost\n" +
            prog() + "unknown user: daemon\n" +
            prog() + "unknown user: emptyid\n" +
            prog() + "unknown group: ghost\n" +
            prog() + "chown 0:0 " + missing + ": No such file or directory\n" +
            prog() + "chmod 0644 " + missing + ": No such file or directory\n",
            err);
  EXPECT_EQ((Owner{0, 0}), owner_of(r + "/usr/bin/untouched"));
  EXPECT_EQ(0644u, file_mode(r + "/usr/bin/untouched"));
  // The owner is set first, so the set-user-ID bit survives it.
  EXPECT_EQ((Owner{1001, 50}), owner_of(r + "/usr/bin/suid"));
  EXPECT_EQ(04755u, file_mode(r + "/usr/bin/suid"));
  // The link itself changes owner; neither it nor its target changes mode.
  EXPECT_EQ((Owner{1001, 50}), owner_of(r + "/usr/bin/link"));
  EXPECT_EQ((Owner{0, 0}), owner_of(r + "/usr/bin/target"));
  EXPECT_EQ(0640u, file_mode(r + "/usr/bin/target"));
  EXPECT_EQ((Owner{123, 456}), owner_of(r + "/usr/bin/plain"));
  EXPECT_EQ(0600u, file_mode(r + "/usr/bin/plain"));
  EXPECT_EQ((Owner{1001, 50}), owner_of(r + "/var/lib/app"));
  EXPECT_EQ(02770u, file_mode(r + "/var/lib/app"));
}

TEST_F(Permissions, NumericIdsNeedNoAccountFiles) {
  std::string bare = top_ / "bare";
  write_file(bare + "/srv/data", "x", 0644);
  PackageMetaPtr meta = meta_with({"srv/data:321:654:0400", "srv/data:nobody:0:0644"});
  std::string err = stderr_of([&] { permissions_apply(meta.get(), bare.c_str()); });
  EXPECT_EQ(prog() + "unknown user: nobody\n", err);
  EXPECT_EQ((Owner{321, 654}), owner_of(bare + "/srv/data"));
  EXPECT_EQ(0400u, file_mode(bare + "/srv/data"));
}

TEST_F(Permissions, PathsLeavingTheRootAreRefused) {
  // Files beside the root stand for the host's own.
  write_file(top_ / "outside", "secret", 0600);
  write_file(root_ + "/usr/a..b", "x", 0644);
  write_file(root_ + "/usr/..hidden", "x", 0644);
  PackageMetaPtr meta = meta_with({
      "../outside:123:123:0777",
      "usr/../../outside:123:123:0777",
      "/../outside:123:123:0777",
      "usr/..:123:123:0777",
      "usr/a..b:0:0:0600",  // dots inside a name are no ".." component
      "usr/..hidden:0:0:0600",
  });
  std::string err = stderr_of([&] { permissions_apply(meta.get(), root_.c_str()); });
  EXPECT_EQ(prog() + "unsafe path in permission: ../outside:123:123:0777\n" +
            prog() + "unsafe path in permission: usr/../../outside:123:123:0777\n" +
            prog() + "unsafe path in permission: /../outside:123:123:0777\n" +
            prog() + "unsafe path in permission: usr/..:123:123:0777\n",
            err);
  EXPECT_EQ((Owner{0, 0}), owner_of(top_ / "outside"));
  EXPECT_EQ(0600u, file_mode(top_ / "outside"));
  EXPECT_EQ(0755u, file_mode(root_ + "/usr"));
  EXPECT_EQ(0600u, file_mode(root_ + "/usr/a..b"));
  EXPECT_EQ(0600u, file_mode(root_ + "/usr/..hidden"));
}

// Directories of the root that lead out through a link: the entries are
// refused and the files behind the links keep their owner, mode and
// capabilities.
TEST_F(Permissions, PathsThroughLinksLeadingOutAreRefused) {
  write_file(top_ / "outside/secret", "secret", 0600);
  ASSERT_EQ(0, symlink((top_ / "outside").c_str(), (root_ + "/srv").c_str()));
  mkdir_p(root_ + "/usr");
  ASSERT_EQ(0, symlink("../../outside", (root_ + "/usr/climb").c_str()));
  ASSERT_EQ(0, symlink((top_ / "outside/secret").c_str(), (root_ + "/usr/direct").c_str()));
  PackageMetaPtr meta = meta_with({"srv/secret:123:123:0777", "usr/climb/secret:123:123:0777"},
                                  {"srv/secret:cap_net_raw+ep", "usr/direct:cap_net_raw+ep"});
  std::string err = stderr_of([&] {
    permissions_apply(meta.get(), root_.c_str());
    capabilities_apply(meta.get(), root_.c_str());
  });
  EXPECT_EQ(prog() + "unsafe path in permission: srv/secret:123:123:0777\n" +
            prog() + "unsafe path in permission: usr/climb/secret:123:123:0777\n" +
            prog() + "unsafe path in capability: srv/secret:cap_net_raw+ep\n" +
            prog() + "unsafe path in capability: usr/direct:cap_net_raw+ep\n",
            err);
  EXPECT_EQ((Owner{0, 0}), owner_of(top_ / "outside/secret"));
  EXPECT_EQ(0600u, file_mode(top_ / "outside/secret"));
}

TEST_F(Permissions, NothingToDo) {
  std::string err = stderr_of([&] {
    permissions_apply(nullptr, root_.c_str());
    capabilities_apply(nullptr, root_.c_str());
    PackageMetaPtr meta = meta_with({});
    permissions_apply(meta.get(), root_.c_str());
    capabilities_apply(meta.get(), root_.c_str());
  });
  EXPECT_EQ("", err);
}

// --------------------------------------------------------------- capabilities

std::string getcap(const std::string& path) {
  sorn_test::RunResult r = run({"getcap", path});
  return r.out;
}

class Capabilities : public Permissions {
 protected:
  void SetUp() override {
    Permissions::SetUp();
    if (run({"sh", "-c", "command -v setcap && command -v getcap"}).status != 0)
      GTEST_SKIP() << "setcap and getcap are not installed (libcap2-bin)";
  }
};

TEST_F(Capabilities, SetsWithTheRunningSystemsSetcap) {
  const std::string ping = root_ + "/usr/bin/ping", tool = root_ + "/usr/bin/tool";
  write_file(ping, "x", 0755);
  write_file(tool, "x", 0755);
  write_file(top_ / "outside", "x", 0755);
  PackageMetaPtr meta = meta_with({}, {
      "usr/bin/ping",                       // no ':'
      "../outside:cap_net_raw+ep",
      "usr/bin/ping:cap_no_such_thing+ep",  // setcap refuses the text
      "usr/bin/ping:cap_net_raw+ep",
      "/usr/bin/tool:cap_net_bind_service,cap_net_admin+ep",
  });
  std::string err = stderr_of([&] { capabilities_apply(meta.get(), root_.c_str()); });
  // setcap's own complaint about the text precedes the warning.
  EXPECT_NE(std::string::npos, err.find(prog() + "bad capability entry: usr/bin/ping (need path:caps)\n" +
                                        prog() + "unsafe path in capability: ../outside:cap_net_raw+ep\n"))
      << err;
  EXPECT_TRUE(err.ends_with(prog() + "setcap cap_no_such_thing+ep " + ping + " failed\n")) << err;
  EXPECT_EQ(ping + " cap_net_raw=ep\n", getcap(ping));
  EXPECT_EQ(tool + " cap_net_bind_service,cap_net_admin=ep\n", getcap(tool));
  EXPECT_EQ("", getcap(top_ / "outside"));
}

// Sets PATH for one scope and restores it.
class ScopedPath {
 public:
  explicit ScopedPath(const std::string& value) : old_(getenv("PATH") ? getenv("PATH") : "") {
    setenv("PATH", value.c_str(), 1);
  }
  ~ScopedPath() { setenv("PATH", old_.c_str(), 1); }

 private:
  std::string old_;
};

TEST_F(Capabilities, MissingSetcapIsReportedPerEntry) {
  const std::string a = root_ + "/usr/bin/a", b = root_ + "/usr/bin/b";
  write_file(a, "x", 0755);
  write_file(b, "x", 0755);
  std::string empty = top_ / "empty-path";
  mkdir_p(empty);
  PackageMetaPtr meta = meta_with({}, {"usr/bin/a:cap_net_raw+ep", "usr/bin/b:cap_chown+ep"});
  std::string err;
  {
    ScopedPath path(empty);
    err = stderr_of([&] { capabilities_apply(meta.get(), root_.c_str()); });
  }
  EXPECT_EQ(prog() + "setcap cap_net_raw+ep " + a + " failed\n" +
            prog() + "setcap cap_chown+ep " + b + " failed\n",
            err);
  EXPECT_EQ("", getcap(a));
  // The same entries go through once setcap can be found again.
  err = stderr_of([&] { capabilities_apply(meta.get(), root_.c_str()); });
  EXPECT_EQ("", err);
  EXPECT_EQ(b + " cap_chown=ep\n", getcap(b));
}

}  // namespace
