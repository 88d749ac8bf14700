#include "zarnin/footprint.h"

#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"

namespace {

constexpr size_t kKeyMax = 8191;
constexpr std::string_view kIgnoreNew = "IGNORE_NEW";
constexpr std::string_view kConfigUpgrade = "CONFIG_UPGRADE";

// What the footprint child needs; built before the fork.
struct FootprintJob {
  PackageFile package;
  const char* output_path;
};

// Runs in the forked child; the process helper ends it with _exit(0).
void footprint_child(const void* arg) {
  const auto* job = static_cast<const FootprintJob*>(arg);
  int fd = open(job->output_path, O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
  print_footprint(job->package);
  fflush(stdout);
}

int compare_by_key(const void* a, const void* b) {
  std::string_view ka = footprint_line_key(*static_cast<char* const*>(a));
  std::string_view kb = footprint_line_key(*static_cast<char* const*>(b));
  return ka.compare(kb);
}

// Prints one reported line, preceded by its category's header the first
// time that category turns up.
void report(FILE* out, bool& header_done, const char* header, const char* line) {
  if (!header_done) {
    fprintf(out, "zarnin: footprint: %s\n", header);
    header_done = true;
  }
  fprintf(out, "%s\n", line);
}

// Calls take with the rest of each line of the configuration file at path
// that begins (after blanks) with key, in file order, while take returns
// true. Whole lines, each judged on its first kPathBuf - 1 bytes: the rest
// of an overlong line is not a line of its own, and a NUL byte inside a
// line does not hide the line break after it. Nothing when the file cannot
// be opened.
template <class Take>
void conf_settings(const char* path, std::string_view key, Take take) {
  FILE* f = fopen(path, "re");
  if (f == nullptr) return;
  char* line = nullptr;
  size_t cap = 0;
  ssize_t len;
  while ((len = getline(&line, &cap, f)) >= 0) {
    if (static_cast<size_t>(len) > kPathBuf - 1) line[kPathBuf - 1] = '\0';
    const char* p = line;
    while (*p == ' ' || *p == '\t') p++;
    if (strncmp(p, key.data(), key.size()) == 0 && !take(p + key.size())) break;
  }
  free(line);
  fclose(f);
}

}  // namespace

bool footprint_report_new(void) { return footprint_read_report_new(kConfigFile); }

ConfigUpgrade footprint_config_upgrade(void) { return footprint_read_config_upgrade(kConfigFile); }

ConfigUpgrade footprint_read_config_upgrade(const char* conf_path) {
  std::string value;
  bool seen = false;
  // Every CONFIG_UPGRADE line is read: the last one counts. The word must
  // end at a blank, "=" or the end of the line.
  conf_settings(conf_path, kConfigUpgrade, [&](const char* p) {
    if (*p != ' ' && *p != '\t' && *p != '=' && *p != '\n' && *p != '\0') return true;
    while (*p == ' ' || *p == '\t' || *p == '=') p++;
    value.assign(p, strcspn(p, " \t\r\n"));
    seen = true;
    return true;
  });
  if (!seen || value == "stage") return ConfigUpgrade::kStage;
  if (value == "unedited") return ConfigUpgrade::kUnedited;
  if (value == "merge") return ConfigUpgrade::kMerge;
  warnx("%s: unknown CONFIG_UPGRADE value: %s", conf_path, value.c_str());
  return ConfigUpgrade::kStage;
}

bool footprint_read_report_new(const char* conf_path) {
  bool report_new = true;
  conf_settings(conf_path, kIgnoreNew, [&](const char* p) {
    while (*p == ' ' || *p == '\t' || *p == '=') p++;
    report_new = strncmp(p, "yes", 3) != 0;
    return false;  // only the first IGNORE_NEW line counts
  });
  return report_new;
}

std::string footprint_file_for(const char* package_path) {
  const char* slash = strrchr(package_path, '/');
  std::string dir = slash == nullptr ? "." : std::string(package_path, slash);
  if (dir.size() > kPathBuf - 1) dir.resize(kPathBuf - 1);
  std::string marker = dir + "/SORNBUILD.lock";
  bool building = access(marker.c_str(), F_OK) == 0;
  return dir + (building ? "/.footprint.lock" : "/.footprint");
}

std::string_view footprint_line_key(const char* line) {
  std::string_view text(line);
  size_t tab = text.find('\t');
  if (tab != std::string_view::npos) {
    size_t second = text.find('\t', tab + 1);
    if (second != std::string_view::npos) text.remove_prefix(second + 1);
  }
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] != ' ') continue;
    std::string_view rest = text.substr(i + 1);
    if (rest.starts_with("-> ") || rest.starts_with("(")) {
      text = text.substr(0, i);
      break;
    }
  }
  return text.substr(0, std::min(text.size(), kKeyMax));
}

StringList* footprint_read_list(const char* path) {
  FILE* f = fopen(path, "re");
  if (f == nullptr) return nullptr;
  StringList* list = strlist_new();
  char* line = nullptr;
  size_t cap = 0;
  while (getline(&line, &cap, f) >= 0) {
    line[strcspn(line, "\n")] = '\0';
    if (*line != '\0') strlist_add(list, line);
  }
  free(line);
  fclose(f);
  if (list->in_use > 1) qsort(list->strings, list->in_use, sizeof(char*), compare_by_key);
  return list;
}

StringList* footprint_generate(const PackageFile& package) {
  std::string tmp = strformat("%s/zarnin_fp.XXXXXX", temp_dir());
  int fd = mkstemp(tmp.data());
  if (fd < 0) return nullptr;
  close(fd);

  // The child flushes its copy of stdout into the temporary file; nothing
  // of ours may be waiting in that buffer.
  fflush(stdout);
  FootprintJob job{package, tmp.c_str()};
  ChildSpec cmd;
  cmd.exec_hook = footprint_child;
  cmd.exec_arg = &job;
  cmd.status_no_exec = 0;
  StringList* actual = nullptr;
  pid_t pid = spawn_child(cmd);
  if (pid >= 0) {
    wait_child(pid);  // a failed listing shows as missing lines
    actual = footprint_read_list(tmp.c_str());
  }
  unlink(tmp.c_str());
  return actual;
}

StringList* footprint_from_listing(const StringList* listing) {
  StringList* actual = strlist_new();
  std::string line;
  for (uint64_t i = 0; i < listing->in_use; i++)
    if (listing->strings[i] != nullptr && footprint_line(listing->strings[i], line))
      strlist_add(actual, line.c_str());
  if (actual->in_use > 1) qsort(actual->strings, actual->in_use, sizeof(char*), compare_by_key);
  return actual;
}

int footprint_compare(const StringList* expected, const StringList* actual,
                      bool report_new, FILE* out) {
  bool missing_done = false, changed_done = false, new_done = false;
  int reported = 0;
  uint64_t i = 0, j = 0;
  while (i < expected->in_use || j < actual->in_use) {
    int order;
    if (i >= expected->in_use)
      order = 1;
    else if (j >= actual->in_use)
      order = -1;
    else
      order = footprint_line_key(expected->strings[i])
                  .compare(footprint_line_key(actual->strings[j]));
    if (order < 0) {
      report(out, missing_done, "missing", expected->strings[i++]);
      reported++;
    } else if (order > 0) {
      if (report_new) {
        report(out, new_done, "new", actual->strings[j]);
        reported++;
      }
      j++;
    } else {
      if (strcmp(expected->strings[i], actual->strings[j]) != 0) {
        report(out, changed_done, "changed", actual->strings[j]);
        reported++;
      }
      i++;
      j++;
    }
  }
  return reported;
}

bool footprint_check(const PackageFile& package, bool report_new, StringList* link_targets,
                     const StringList* listing) {
  const char* package_path = package.path;
  std::string stored = footprint_file_for(package_path);
  if (access(stored.c_str(), F_OK) != 0) return false;  // nothing to verify
  StringListPtr expected(footprint_read_list(stored.c_str()));
  StringListPtr actual(listing != nullptr ? footprint_from_listing(listing)
                                          : footprint_generate(package));
  if (!expected || !actual) {
    if (!expected)
      fprintf(stderr, "zarnin: footprint: cannot read %s\n", stored.c_str());
    else
      fprintf(stderr, "zarnin: footprint: cannot list %s\n", package_path);
    expected.reset();
    actual.reset();
    errx(1, "footprint: error");
  }
  int reported = footprint_compare(expected.get(), actual.get(), report_new, stderr);
  expected.reset();
  if (reported > 0) {
    actual.reset();
    errx(1, "footprint: error");
  }
  for (uint64_t i = 0; link_targets != nullptr && i < actual->in_use; i++)
    listing_link_targets(actual->strings[i], " -> ", link_targets);
  return true;
}
