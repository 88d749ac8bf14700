// Signing key lookup: which trusted public key in "/etc/ports/keys" is the
// key of a given text. Key lines are compared as text; nothing is decoded.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "archive/archive.h"

namespace {

constexpr const char kKeyDir[] = "/etc/ports/keys";
constexpr std::string_view kCommentPrefix = "untrusted comment:";
constexpr std::string_view kKeySuffix = ".pub";
constexpr size_t kMaxKeyLine = 511;
constexpr size_t kMaxKeyFile = 2047;

constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

std::string_view trimmed(std::string_view line) {
  size_t first = line.find_first_not_of(kWhiteSpace);
  if (first == std::string_view::npos) return {};
  size_t last = line.find_last_not_of(kWhiteSpace);
  return line.substr(first, last - first + 1);
}

// The first line that, trimmed, is neither empty nor a comment; nullopt
// when there is none or it is longer than kMaxKeyLine. Later lines are
// never looked at.
std::optional<std::string_view> key_line(std::string_view text) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.starts_with(kCommentPrefix)) continue;
    if (line.size() > kMaxKeyLine) return std::nullopt;
    return line;
  }
  return std::nullopt;
}

// The first kMaxKeyFile bytes of a regular file; nullopt when it cannot be
// opened or read.
std::optional<std::string> read_head(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  UniqueFd file(fd);
  std::string head(kMaxKeyFile, '\0');
  size_t got = 0;
  while (got < head.size()) {
    ssize_t n = read(fd, head.data() + got, head.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  head.resize(got);
  return head;
}

// The key file at path, when it is a regular file (links followed) whose
// key line equals key.
bool holds_key(const char* path, std::string_view key) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::optional<std::string> head = read_head(path);
  if (!head) return false;
  std::optional<std::string_view> line = key_line(*head);
  return line && *line == key;
}

using DirPtr = std::unique_ptr<DIR, FreeWith<closedir>>;

}  // namespace

int find_signing_key(const char* text, char* buf, size_t size) {
  if (text == nullptr) return -1;
  std::optional<std::string_view> key = key_line(text);
  if (!key) return -1;
  DirPtr dir(opendir(kKeyDir));
  if (!dir) return -1;
  while (const dirent* e = readdir(dir.get())) {
    std::string_view name = e->d_name;
    if (name.size() <= kKeySuffix.size() || !name.ends_with(kKeySuffix)) continue;
    char path[kPathBuf];
    int len = snprintf(path, sizeof path, "%s/%s", kKeyDir, e->d_name);
    if (len < 0 || static_cast<size_t>(len) >= sizeof path) continue;
    if (holds_key(path, *key)) {
      if (size > 0) snprintf(buf, size, "%s", path);
      return 0;
    }
  }
  return -1;
}
