// Services: the runit service directories that packages name, enabled by a
// link in the root's "service" directory, stopped and cleaned up on removal.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "integrate/integrate.h"

namespace {

// What runsv keeps in a service's "supervise" directory. Nothing else there
// is ours to delete.
constexpr std::array<const char*, 6> kSuperviseState = {"control", "lock", "ok",
                                                        "pid",     "stat", "status"};

// How long the supervisor of a service told to exit is given to go: 3 s.
// runsv may take a second to exit after its service has stopped.
constexpr int kExitAttempts = 120;
constexpr long kExitPauseNanos = 25000000;

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

// A supervisor that is alive holds the exclusive lock on "lock": 1 when it
// is held, 0 when not, -1 when there is no lock to go by.
int supervisor_lock_held(int supervise_fd) {
  UniqueFd lock(openat(supervise_fd, "lock", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!lock) return -1;
  return flock(lock.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK ? 1 : 0;
}

// A supervisor still shows in the "supervise" below parent_fd: its lock is
// held or, without a lock, its status says "run".
bool supervise_busy(int parent_fd) {
  UniqueFd supervise(openat(parent_fd, "supervise", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!supervise) return false;
  int held = supervisor_lock_held(supervise.get());
  if (held >= 0) return held == 1;
  UniqueFd status(openat(supervise.get(), "stat", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  char word[3];
  return status && read(status.get(), word, sizeof word) == 3 && memcmp(word, "run", 3) == 0;
}

// A runsv told to exit takes a moment to go, and writes its state files
// again on the way: waits in short pauses, for a bounded time, until
// neither the service's supervisor nor its log's shows. Neither the service
// directory nor "log" is followed when it is a symbolic link.
void supervisor_wait_exit(const char* dir) {
  UniqueFd service(open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!service) return;
  for (int attempt = 0; attempt < kExitAttempts; attempt++) {
    UniqueFd log(openat(service.get(), "log", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!supervise_busy(service.get()) && !(log && supervise_busy(log.get()))) return;
    struct timespec pause = {0, kExitPauseNanos};
    nanosleep(&pause, nullptr);
  }
}

// Empties the "supervise" of a stopped service: a symbolic link (runit's
// state kept under /run) is unlinked, its target untouched; in a directory
// only runsv's own state files go, so anything else there keeps it. A
// supervisor that is still alive keeps everything.
void supervise_clear(int service_fd) {
  struct stat st;
  if (fstatat(service_fd, "supervise", &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISLNK(st.st_mode) && !S_ISDIR(st.st_mode)) return;
  UniqueFd supervise(openat(service_fd, "supervise", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (supervise && supervisor_lock_held(supervise.get()) == 1) return;
  if (S_ISLNK(st.st_mode)) {
    unlinkat(service_fd, "supervise", 0);
    return;
  }
  // Opened afresh without following: the directory that lstat saw.
  supervise.reset(openat(service_fd, "supervise", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!supervise) return;
  for (const char* name : kSuperviseState) unlinkat(supervise.get(), name, 0);
}

// Clears runsv's state from a stopped service directory and its log
// service, and removes the log service's emptied directories. Neither the
// service directory nor "log" is followed when it is a symbolic link.
void service_state_clear(const char* dir) {
  UniqueFd service(open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!service) return;
  supervise_clear(service.get());
  UniqueFd log(openat(service.get(), "log", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!log) return;
  supervise_clear(log.get());
  unlinkat(log.get(), "supervise", AT_REMOVEDIR);  // only when empty
  log.reset();
  unlinkat(service.get(), "log", AT_REMOVEDIR);
}

// The service's directory below sub ("service" or "etc/sv") as the root
// stands leads nowhere out of it; a name behind a link that does is
// reported and left.
bool service_path_inside(RootGuard& guard, const char* sub, const char* name, bool whole) {
  std::string rel = strformat("%s/%s", sub, name);
  if (whole ? guard.dir_inside(rel) : guard.parent_inside(rel)) return true;
  log_warning("skipping unsafe path: %s", rel.c_str());
  return false;
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
  RootGuard guard(root);
  for_each_service(meta, [root, &guard](const char* name) {
    if (!service_path_inside(guard, "service", name, false)) return;
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

void services_stop(const PackageMeta* meta, const char* root, StringList* told_to_exit) {
  RootGuard guard(root);
  for_each_service(meta, [root, &guard, told_to_exit](const char* name) {
    CharPtr dir(root_path(root, "service"));
    CharPtr link(root_path(dir.get(), name));
    struct stat st;
    // The link goes first, so that no new supervisor is started for the
    // service once it has exited.
    if (service_path_inside(guard, "service", name, false) && lstat(link.get(), &st) == 0 &&
        S_ISLNK(st.st_mode))
      unlink(link.get());
    if (!service_running(root, name)) return;
    char arg[kPathBuf];
    snprintf(arg, sizeof arg, "/etc/sv/%s", name);
    char sv[] = "sv", exit_word[] = "exit";
    char* argv[] = {sv, exit_word, arg, nullptr};
    run_trigger(root, "sv", argv);
    if (told_to_exit != nullptr) strlist_add(told_to_exit, name);
  });
}

void services_remove_dirs(const PackageMeta* meta, const char* root,
                          const StringList* told_to_exit) {
  RootGuard guard(root);
  for_each_service(meta, [root, &guard, told_to_exit](const char* name) {
    if (!service_path_inside(guard, "etc/sv", name, true)) return;
    CharPtr svdir(root_path(root, "etc/sv"));
    CharPtr dir(root_path(svdir.get(), name));
    // Only a supervisor that was told to exit is worth waiting for; any
    // other that is alive stays so.
    if (strlist_contains(told_to_exit, name)) supervisor_wait_exit(dir.get());
    // runsv leaves its state behind when it exits; a running service keeps
    // it, and so keeps its directory.
    if (!service_running(root, name)) service_state_clear(dir.get());
    CharPtr supervise(root_path(dir.get(), "supervise"));
    rmdir(supervise.get());  // only when empty
    if (rmdir(dir.get()) == 0) log_note("removed service directory %s", dir.get());
  });
}
