// Triggers and the library cache: the programs that the changed paths of an
// install or removal call for, run inside the root one after another.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "integrate/integrate.h"

constexpr bool o = false, X = true;
// clang-format off
const std::array<TriggerRule, 13> trigger_table = {{
    // prefix, program, argv,
    //   per_item, upgrade_only, needs_running, absolute_item, item_is_dir
    {"lib/modules/", "depmod", {"depmod", "-a"},
     X, o, o, o, X},
    {"boot/", "limine-sync", {"limine-sync"},
     o, o, o, o, o},
    {"usr/share/limine/", "limine-sync", {"limine-sync"},
     o, o, o, o, o},
    {"usr/lib/udev/hwdb.d/", "systemd-hwdb", {"systemd-hwdb", "update"},
     o, o, o, o, o},
    {"etc/udev/hwdb.d/", "systemd-hwdb", {"systemd-hwdb", "update"},
     o, o, o, o, o},
    {"usr/share/fonts/", "fc-cache", {"fc-cache", "-s"},
     o, o, o, o, o},
    {"usr/share/glib-2.0/schemas/", "glib-compile-schemas",
     {"glib-compile-schemas", "/usr/share/glib-2.0/schemas/"},
     o, o, o, o, o},
    {"usr/lib/gdk-pixbuf-2.0/", "gdk-pixbuf-query-loaders",
     {"gdk-pixbuf-query-loaders", "--update-cache"},
     o, o, o, o, o},
    {"usr/share/mime/", "update-mime-database", {"update-mime-database", "/usr/share/mime"},
     o, o, o, o, o},
    {"usr/share/icons/", "gtk-update-icon-cache",
     {"gtk-update-icon-cache", "-q", "/usr/share/icons/hicolor"},
     o, o, o, o, o},
    {"usr/share/applications/", "update-desktop-database",
     {"update-desktop-database", "/usr/share/applications"},
     o, o, o, o, o},
    {"etc/sv/", "sv", {"sv", "restart"},
     X, X, X, X, o},
    {nullptr, nullptr, {}, o, o, o, o, o},  // the end of the table
}};
// clang-format on

namespace {

// An item longer than this is no kernel version or service name.
constexpr size_t kItemMax = 255;
// The appended absolute argument "/" + prefix + item is cut to this.
constexpr size_t kArgMax = 511;

const char* normalised_root(const char* root) {
  return (root == nullptr || *root == '\0' || strcmp(root, "/") == 0) ? "" : root;
}

bool any_has_prefix(const StringList* files, const char* prefix) {
  for (uint64_t i = 0; i < files->in_use; i++)
    if (has_prefix(files->strings[i], prefix)) return true;
  return false;
}

// The row's arguments, then extra when given.
void run_row(const char* root, const TriggerRule& rule, const char* extra) {
  std::vector<char*> argv;
  for (const char* word : rule.argv) {
    if (word == nullptr) break;
    argv.push_back(const_cast<char*>(word));
  }
  if (extra != nullptr) argv.push_back(const_cast<char*>(extra));
  argv.push_back(nullptr);
  run_trigger(root, rule.program, argv.data());
}

// An item counts when it is a directory in the root; a symbolic link to
// one does not.
bool item_is_directory(const char* root, const char* prefix, const std::string& item) {
  char path[kPathBuf];
  snprintf(path, sizeof path, "%s/%s%s", normalised_root(root), prefix, item.c_str());
  struct stat st;
  return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs the row once per distinct first component below its prefix, in the
// order of first occurrence. An item is judged once, at that occurrence.
void run_per_item(const char* root, const TriggerRule& rule, const StringList* files) {
  size_t prefix_len = strlen(rule.prefix);
  std::unordered_set<std::string_view> seen;
  for (uint64_t i = 0; i < files->in_use; i++) {
    const char* path = files->strings[i];
    if (!has_prefix(path, rule.prefix)) continue;
    std::string_view rest(path + prefix_len);
    std::string_view item_view = rest.substr(0, rest.find('/'));
    if (item_view.empty() || item_view.size() > kItemMax) continue;
    if (!seen.insert(item_view).second) continue;
    std::string item(item_view);
    if (rule.item_is_dir && !item_is_directory(root, rule.prefix, item)) continue;
    if (rule.needs_running && !service_running(root, item.c_str())) continue;
    if (rule.absolute_item) {
      char arg[kArgMax + 1];
      snprintf(arg, sizeof arg, "/%s%s", rule.prefix, item.c_str());
      run_row(root, rule, arg);
    } else {
      run_row(root, rule, item.c_str());
    }
  }
}

}  // namespace

void triggers_run(const char* root, const StringList* files, bool upgrade) {
  if (files == nullptr) return;
  // Which rows some path matches, for the once-only rows that share a
  // program with an earlier row.
  std::array<bool, trigger_table.size()> matched{};
  for (size_t r = 0; trigger_table[r].prefix != nullptr; r++)
    matched[r] = any_has_prefix(files, trigger_table[r].prefix);

  for (size_t r = 0; trigger_table[r].prefix != nullptr; r++) {
    const TriggerRule& rule = trigger_table[r];
    if (rule.upgrade_only && !upgrade) continue;
    if (rule.per_item) {
      run_per_item(root, rule, files);
      continue;
    }
    if (!matched[r]) continue;
    bool ran_before = false;
    for (size_t e = 0; e < r && !ran_before; e++)
      ran_before = matched[e] && strcmp(trigger_table[e].program, rule.program) == 0;
    if (!ran_before) run_row(root, rule, nullptr);
  }
}

void run_trigger(const char* root, const char* program, char* const* argv) {
  std::string line = "trigger:";
  for (char* const* word = argv; *word != nullptr; word++) line += strformat(" %s", *word);
  line += '\n';
  fputs(line.c_str(), stderr);

  // A program that the root lacks is not this install's failure: the child
  // then ends with status 0, as it does when the root cannot be entered.
  ChildSpec cmd;
  cmd.program = program;
  cmd.argv = argv;
  cmd.root = root;
  cmd.status_no_root = 0;
  cmd.status_no_exec = 0;
  int status = run_child(cmd);
  if (status == -1) return;  // no child, nothing to report
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
    log_warning("trigger %s exited %d", program, WEXITSTATUS(status));
  else if (WIFSIGNALED(status))
    log_warning("trigger %s killed by signal %d", program, WTERMSIG(status));
}

void run_ldconfig(const char* root) {
  CharPtr tool(root_path(root, "/sbin/ldconfig"));
  if (!entry_exists(tool.get())) return;  // the root keeps no linker cache
  // The running system's ldconfig, told where the root is.
  char arg0[] = "ldconfig", arg1[] = "-r";
  char* argv[] = {arg0, arg1, const_cast<char*>(root != nullptr ? root : "/"), nullptr};
  ChildSpec cmd;
  cmd.program = "/sbin/ldconfig";
  cmd.argv = argv;
  cmd.status_no_exec = 1;
  run_child(cmd);  // its status is not ours to report
}
