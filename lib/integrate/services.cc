// Services: the runit service directories that packages name, enabled by a
// link in the root's "service" directory, stopped and cleaned up on removal.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "integrate/integrate.h"

namespace {

const char* normalised_root(const char* root) {
  return (root == nullptr || *root == '\0' || strcmp(root, "/") == 0) ? "" : root;
}

// A name is one path component of "service/" and "etc/sv/"; anything else
// would lead the link, the unlink or the rmdir out of those directories.
bool service_name_safe(const char* name) {
  return *name != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
         strchr(name, '/') == nullptr;
}

// Calls each(name) for the safe service names of meta in list order; an
// unsafe one is reported and skipped.
template <class Each>
void for_each_service(const PackageMeta* meta, Each each) {
  if (meta == nullptr || meta->services == nullptr) return;
  for (uint64_t i = 0; i < meta->services->in_use; i++) {
    const char* name = meta->services->strings[i];
    if (name == nullptr) continue;
    if (!service_name_safe(name)) {
      log_warning("unsafe service name: %s", name);
      continue;
    }
    each(name);
  }
}

}  // namespace

bool service_running(const char* root, const char* name) {
  if (name == nullptr || !service_name_safe(name)) return false;
  char path[kPathBuf];
  snprintf(path, sizeof path, "%s/etc/sv/%s/supervise/stat", normalised_root(root), name);
  // Non-blocking: a FIFO planted there reads as empty instead of hanging.
  UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return false;
  // The first line, at most 15 bytes of it.
  char line[15];
  size_t got = 0;
  while (got < sizeof line) {
    ssize_t n = read(fd.get(), line + got, sizeof line - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    if (memchr(line, '\n', got) != nullptr) break;
  }
  return got >= 3 && memcmp(line, "run", 3) == 0;
}

void services_link(const PackageMeta* meta, const char* root) {
  for_each_service(meta, [root](const char* name) {
    CharPtr dir(root_path(root, "service"));
    make_dirs(dir.get(), 0755);  // a failure shows as a missing link
    CharPtr link(root_path(dir.get(), name));
    struct stat st;
    // Whatever is there already, even a dangling link, is the
    // administrator's choice and stays.
    if (lstat(link.get(), &st) == 0) return;
    // The text is the directory as seen from inside the root, so the link
    // stays right when the root becomes "/".
    CharPtr text(root_path("/etc/sv", name));
    symlink(text.get(), link.get());
  });
}

void services_stop(const PackageMeta* meta, const char* root) {
  for_each_service(meta, [root](const char* name) {
    CharPtr dir(root_path(root, "service"));
    CharPtr link(root_path(dir.get(), name));
    struct stat st;
    // The link goes first, so that no new supervisor is started for the
    // service once it has exited.
    if (lstat(link.get(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link.get());
    if (!service_running(root, name)) return;
    char arg[kPathBuf];
    snprintf(arg, sizeof arg, "/etc/sv/%s", name);
    char sv[] = "sv", exit_word[] = "exit";
    char* argv[] = {sv, exit_word, arg, nullptr};
    run_trigger(root, "sv", argv);
  });
}

void services_remove_dirs(const PackageMeta* meta, const char* root) {
  for_each_service(meta, [root](const char* name) {
    CharPtr svdir(root_path(root, "etc/sv"));
    CharPtr dir(root_path(svdir.get(), name));
    CharPtr supervise(root_path(dir.get(), "supervise"));
    rmdir(supervise.get());  // only when empty
    if (rmdir(dir.get()) == 0) log_note("removed service directory %s", dir.get());
  });
}
