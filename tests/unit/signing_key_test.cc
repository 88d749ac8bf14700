// find_signing_key against a key directory of its own: a tmpfs on
// "/etc/ports/keys" inside a private mount namespace, never the host's.
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "support/etc_namespace.h"
#include "support/support.h"

using sorn_test::entries_of;
using sorn_test::EtcNamespace;
using sorn_test::mkdir_p;
using sorn_test::write_file;

namespace {

constexpr const char kKeys[] = "/etc/ports/keys";

class SigningKey : public testing::Test {
 protected:
  void SetUp() override {
    if (!etc_.ok()) GTEST_SKIP() << "no private /etc: " << etc_.error();
    ASSERT_TRUE(etc_.mount_tmpfs(kKeys)) << etc_.error();
    // Nothing below may reach a real key directory.
    struct statfs fs;
    ASSERT_EQ(0, statfs(kKeys, &fs));
    ASSERT_EQ(static_cast<decltype(fs.f_type)>(TMPFS_MAGIC), fs.f_type);
  }

  void key(const std::string& name, const std::string& content) {
    write_file(std::string(kKeys) + "/" + name, content);
  }

  // The path found for text, or "-1".
  static std::string lookup(const char* text) {
    char buf[kPathBuf];
    strcpy(buf, "untouched");
    int r = find_signing_key(text, buf, sizeof buf);
    if (r != 0) return std::string("-1") + (strcmp(buf, "untouched") == 0 ? "" : " (buffer written)");
    return buf;
  }

  // The directory that holds "ports/keys" must exist below the overlay.
  EtcNamespace etc_{EtcNamespace::Files{{"ports/keys/.placeholder", ""}}};
};

TEST_F(SigningKey, FindsTheFileWithTheSameKeyLine) {
  std::string keys = kKeys;
  key("alice.pub", "untrusted comment: alice public key\nRWQalice123\n");
  key("crlf.pub", "untrusted comment: windows\r\n  RWQcrlf \t\r\n");
  key("later.pub", "untrusted comment: c\nRWQfirst\nRWQlater\n");
  key("dup1.pub", "RWQdup\n");
  key("dup2.pub", "untrusted comment: same key\nRWQdup\n");
  key(".pub", "RWQdotpub\n");
  key("plain.txt", "RWQtxt\n");
  key("target.key", "untrusted comment: linked\nRWQlinked\n");
  mkdir_p(keys + "/dir.pub");
  ASSERT_EQ(0, symlink("target.key", (keys + "/link.pub").c_str()));
  ASSERT_EQ(0, symlink("missing.key", (keys + "/dangling.pub").c_str()));
  key("max.pub", "untrusted comment: longest\n" + std::string(511, 'M') + "\n");
  key("long.pub", std::string(511, 'L') + "X\n");
  // Only the first 2047 bytes count: the key line is cut after 27 bytes.
  std::string comment = "untrusted comment: " + std::string(2000, 'c') + "\n";
  std::string big_key = "RWQbig" + std::string(40, 'k');
  key("big.pub", comment + big_key + "\n");
  ASSERT_EQ(2047u, comment.size() + 27);

  std::string first_dup;
  for (const std::string& e : entries_of(kKeys))
    if (first_dup.empty() && (e == "dup1.pub" || e == "dup2.pub")) first_dup = keys + "/" + e;

  std::string m511(511, 'M'), l511(511, 'L'), big27 = big_key.substr(0, 27);
  struct Case {
    const char* label;
    const char* text;
    std::string found;
  } cases[] = {
      {"comment and key", "untrusted comment: whatever\nRWQalice123\n", keys + "/alice.pub"},
      {"key alone, no newline", "RWQalice123", keys + "/alice.pub"},
      {"white space around", "\n  \t\nRWQalice123 \r\n", keys + "/alice.pub"},
      {"carriage returns in the file", "untrusted comment: x\r\nRWQcrlf\r\n", keys + "/crlf.pub"},
      {"white space inside differs", "RWQ alice123", "-1"},
      {"comment prefix is case-sensitive", "Untrusted comment: x\nRWQalice123\n", "-1"},
      {"only a key file's first key line counts", "RWQlater", "-1"},
      {"first key line of the file", "RWQfirst", keys + "/later.pub"},
      {"only the text's first key line counts", "RWQnone\nRWQalice123\n", "-1"},
      {"first of two equal files", "RWQdup", first_dup},
      {"entry named .pub", "RWQdotpub", "-1"},
      {"not ending in .pub", "RWQtxt", "-1"},
      {"link to a key file, under the link's name", "RWQlinked", keys + "/link.pub"},
      {"511 bytes", m511.c_str(), keys + "/max.pub"},
      {"a longer file key line is no prefix match", l511.c_str(), "-1"},
      {"judged on the first 2047 bytes", big27.c_str(), keys + "/big.pub"},
      {"beyond 2047 bytes", big_key.c_str(), "-1"},
      {"only comments and blank lines", "untrusted comment: a\n\n \t\nuntrusted comment: b", "-1"},
      {"empty text", "", "-1"},
      {"missing text", nullptr, "-1"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.found, lookup(c.text)) << c.label;

  std::string m512(512, 'M');
  EXPECT_EQ("-1", lookup(m512.c_str())) << "a text key line over 511 bytes";
}

TEST_F(SigningKey, PathIsCutToTheBuffer) {
  key("a.pub", "RWQa\n");
  char small[10];
  ASSERT_EQ(0, find_signing_key("RWQa", small, sizeof small));
  EXPECT_STREQ("/etc/port", small);
  EXPECT_EQ(0, find_signing_key("RWQa", nullptr, 0));
}

TEST_F(SigningKey, MissingDirectoryFindsNothing) {
  ASSERT_TRUE(etc_.set_files(EtcNamespace::Files{{"ports", std::nullopt}})) << etc_.error();
  ASSERT_FALSE(sorn_test::exists(kKeys));
  char buf[kPathBuf];
  EXPECT_EQ(-1, find_signing_key("RWQa", buf, sizeof buf));
}

}  // namespace
