#include "zarnin/config.h"

#include <cstdio>

#include "archive/archive.h"

// Placeholders until configuration staging lands: plain extraction and the
// general removal rule.
StringList* config_keep_list(const char*, const StringList*) { return strlist_new(); }

int config_extract_upgrade(const char* package_path, const char* root,
                           const StringList*, const StringList* keep) {
  return archive_extract_excluding(package_path, root, nullptr, keep);
}

void config_keep_orphan(const char* root, const char* path) {
  CharPtr full(root_path(root, path));
  remove(full.get());
}

void config_remove_stale_new(const char*, const StringList*, const StringList*) {}
