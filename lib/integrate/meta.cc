// Package metadata: the declaration lines of a package's metadata file,
// read from the root or straight out of the package file.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/archive.h"
#include "integrate/integrate.h"

namespace {

// Lines are read in pieces of at most this many bytes; the rest of a longer
// line is read as a line of its own.
constexpr int kMetaPiece = 255;

// Appends the value of a declaration line to its keyword's list. A keyword
// must start the line and be followed by exactly one blank and at least one
// byte; the value is kept byte for byte (blanks and a "\r" included).
void meta_take_line(PackageMeta* meta, const char* line) {
  const struct {
    const char* keyword;
    StringList* list;
  } kinds[] = {
      {"group ", meta->groups},
      {"service ", meta->services},
      {"permission ", meta->permissions},
      {"capability ", meta->capabilities},
  };
  for (const auto& kind : kinds) {
    if (!has_prefix(line, kind.keyword)) continue;
    const char* value = line + strlen(kind.keyword);
    if (*value != '\0') strlist_add(kind.list, value);
    return;
  }
}

// The first kMetaMax bytes of path into text, when path names a regular
// file. O_NONBLOCK lets a fifo be refused instead of waiting for a writer;
// a device such as /dev/zero would never end.
bool read_regular_file(const char* path, std::string& text) {
  UniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  text.resize(kMetaMax);
  size_t have = 0;
  while (have < text.size()) {
    ssize_t n = read(fd.get(), text.data() + have, text.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  text.resize(have);
  return true;
}

}  // namespace

PackageMeta* meta_new(void) {
  auto* meta = static_cast<PackageMeta*>(must_malloc(sizeof(PackageMeta)));
  meta->groups = strlist_new();
  meta->services = strlist_new();
  meta->permissions = strlist_new();
  meta->capabilities = strlist_new();
  return meta;
}

PackageMeta* meta_read(const char* path) {
  PackageMeta* meta = meta_new();
  std::string text;
  if (!read_regular_file(path, text)) return meta;
  std::string piece;
  for (size_t at = 0; at < text.size();) {
    // A piece ends after its newline or after kMetaPiece bytes, whichever
    // comes first; the newline itself is cut.
    size_t len = std::min(text.size() - at, static_cast<size_t>(kMetaPiece));
    size_t newline = text.find('\n', at);
    bool ends_line = newline != std::string::npos && newline < at + len;
    if (ends_line) len = newline - at;
    piece.assign(text, at, len);
    at += len + (ends_line ? 1 : 0);
    meta_take_line(meta, piece.c_str());
  }
  return meta;
}

PackageMeta* meta_from_package(const PackageFile& package, const char* name) {
  char dir[kPathBuf];
  // A template cut short no longer ends in XXXXXX, and mkdtemp refuses it.
  snprintf(dir, sizeof dir, "%s/pkgmeta.XXXXXX", temp_dir());
  if (mkdtemp(dir) == nullptr) return meta_new();

  char member[kPathBuf];
  snprintf(member, sizeof member, "%s/%s", kMetaDir, name);
  // A package without the member leaves nothing to read; the result of the
  // extraction tells nothing more.
  archive_extract_member_quiet(package, member, dir);

  std::string extracted = strformat("%s/%s", dir, member);
  PackageMeta* meta = meta_read(extracted.c_str());
  remove_tree(dir);
  return meta;
}

void meta_free(PackageMeta* meta) {
  if (meta == nullptr) return;
  strlist_free(meta->groups);
  strlist_free(meta->services);
  strlist_free(meta->permissions);
  strlist_free(meta->capabilities);
  free(meta);
}
