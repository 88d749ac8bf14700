// Package metadata: the declaration lines of a package's metadata file,
// read from the root or straight out of the package file.
#include <stdlib.h>

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
  FILE* in = fopen(path, "re");
  if (in == nullptr) return meta;
  char piece[kMetaPiece + 1];
  while (fgets(piece, sizeof piece, in) != nullptr) {
    char* newline = strchr(piece, '\n');
    if (newline != nullptr) *newline = '\0';
    meta_take_line(meta, piece);
  }
  fclose(in);
  return meta;
}

PackageMeta* meta_from_package(const char* package_path, const char* name) {
  char dir[kPathBuf];
  // A template cut short no longer ends in XXXXXX, and mkdtemp refuses it.
  snprintf(dir, sizeof dir, "%s/pkgmeta.XXXXXX", temp_dir());
  if (mkdtemp(dir) == nullptr) return meta_new();

  char member[kPathBuf];
  snprintf(member, sizeof member, "%s/%s", kMetaDir, name);
  // A package without the member leaves nothing to read; the result of the
  // extraction tells nothing more.
  archive_extract_member_quiet(package_path, member, dir);

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
