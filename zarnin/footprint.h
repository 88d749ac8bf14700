// The footprint check of an install: the package's footprint against the
// ".footprint" (or ".footprint.lock") file beside the package file.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "archive/archive.h"
#include "util/util.h"

// The system configuration file; always this path, whatever the root.
constexpr const char* kConfigFile = "/etc/sorn.conf";

// False when the first IGNORE_NEW line of "/etc/sorn.conf" says yes.
bool footprint_report_new(void);
// The same rule for the file at conf_path; true when it cannot be opened.
bool footprint_read_report_new(const char* conf_path);

// What an upgrade does with an existing configuration file
// (CONFIG_UPGRADE): always stage its new version beside it as ".new";
// replace it when it is as the installed version shipped it; also merge an
// edited one with the package's changes.
enum class ConfigUpgrade { kStage, kUnedited, kMerge };
// The last CONFIG_UPGRADE line of "/etc/sorn.conf" ("stage", "unedited" or
// "merge" after blanks, tabs and "="); kStage when there is none or the
// file cannot be opened, and after a warning for any other value.
ConfigUpgrade footprint_config_upgrade(void);
// The same rule for the file at conf_path.
ConfigUpgrade footprint_read_config_upgrade(const char* conf_path);

// The stored footprint that package_path is checked against:
// "<dir>/.footprint.lock" while "<dir>/SORNBUILD.lock" exists, else
// "<dir>/.footprint"; <dir> is "." for a path without "/".
std::string footprint_file_for(const char* package_path);
// The path a footprint line describes: the text after the second tab, up to
// a " -> " or " (" (the whole line when it has fewer than two tabs).
std::string_view footprint_line_key(const char* line);
// The non-empty lines of a file, newline cut, sorted by key. A new list, or
// null when the file cannot be opened.
StringList* footprint_read_list(const char* path);
// The package's footprint, made by a child of this process through a
// temporary file. A new list sorted by key, or null when the temporary file
// or the child cannot be made.
StringList* footprint_generate(const PackageFile& package);
// Merges two key-sorted lists and prints the "missing", "changed" and (when
// report_new) "new" reports on out. Returns the number of reported lines.
int footprint_compare(const StringList* expected, const StringList* actual,
                      bool report_new, FILE* out);

// The footprint of a listing as "tar -tv" prints it, sorted by key. A new
// list.
StringList* footprint_from_listing(const StringList* listing);
// Returns when the package agrees with its footprint file (or has none);
// otherwise prints the differences and ends the process with status 1.
// The package's footprint comes from listing when given, else from a
// listing of its own. True when the package was listed for the check; then
// the hard-link targets its footprint names are appended to link_targets
// when given.
bool footprint_check(const PackageFile& package, bool report_new,
                     StringList* link_targets = nullptr, const StringList* listing = nullptr);
