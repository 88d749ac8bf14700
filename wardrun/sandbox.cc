// The launcher: command line, ruleset, the rules of the two profiles, the
// network namespace of the cargo profile, restriction and exec.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "wardrun/wardrun.h"

namespace {

void print_usage(void) { fputs("usage: wardrun [-p standard|cargo] <command> [args...]\n", stderr); }

// The dependency names; kept until the process is replaced by the command.
struct DepNames {
  char* names[kMaxDeps] = {};
  int count = 0;
  DepNames() = default;
  DepNames(const DepNames&) = delete;
  DepNames& operator=(const DepNames&) = delete;
  ~DepNames() {
    for (int i = 0; i < count; i++) free(names[i]);
  }
};

// The ruleset descriptor, closed on every way out but the exec.
struct RulesetFd {
  int fd;
  explicit RulesetFd(int ruleset) : fd(ruleset) {}
  RulesetFd(const RulesetFd&) = delete;
  RulesetFd& operator=(const RulesetFd&) = delete;
  ~RulesetFd() { close_now(); }
  void close_now() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

// base_packages followed by the dependency names, through add_db_rules.
// Each profile has its own message for a list that cannot be made.
int add_package_rules(int ruleset, char* const* deps, int dep_count, bool cargo) {
  int count = kBaseCount + dep_count;
  auto* names = static_cast<const char**>(malloc(sizeof(char*) * static_cast<size_t>(count)));
  if (names == nullptr) {
    int saved = errno;
    if (cargo)
      fprintf(stderr, "sorn: error: warden: malloc: %s\n", strerror(saved));
    else
      fprintf(stderr, "sorn: error: wardrun: malloc: %s\n", strerror(saved));
    return -1;
  }
  for (int i = 0; i < kBaseCount; i++) names[i] = base_packages[i];
  for (int i = 0; i < dep_count; i++) names[kBaseCount + i] = deps[i];
  int rc = add_db_rules(ruleset, names, count, kBaseCount);
  free(names);
  return rc;
}

// Writes text, whole, to one of the process's own files under /proc; 0, or
// -1 after printing which file refused it.
int write_proc_self(const char* file, const char* text) {
  size_t len = strlen(text);
  int fd = open(file, O_WRONLY | O_CLOEXEC);
  ssize_t n = -1;
  if (fd >= 0) {
    do n = write(fd, text, len);
    while (n < 0 && errno == EINTR);
  }
  int saved = n >= 0 ? EIO : errno;  // a short write leaves errno as it was
  if (fd >= 0) close(fd);
  if (n >= 0 && static_cast<size_t>(n) == len) return 0;
  fprintf(stderr, "sorn: error: wardrun: %s: %s\n", file, strerror(saved));
  return -1;
}

// Maps uid and gid, read before the namespace was entered (inside it they
// read as the overflow id), to themselves: files keep their owner and the
// build sees its own user. setgroups must be denied before an unprivileged
// process may write its gid map.
int map_own_ids(uid_t uid, gid_t gid) {
  char uid_map[64], gid_map[64];
  snprintf(uid_map, sizeof uid_map, "%u %u 1\n", static_cast<unsigned>(uid),
           static_cast<unsigned>(uid));
  snprintf(gid_map, sizeof gid_map, "%u %u 1\n", static_cast<unsigned>(gid),
           static_cast<unsigned>(gid));
  if (write_proc_self("/proc/self/setgroups", "deny\n") != 0 ||
      write_proc_self("/proc/self/uid_map", uid_map) != 0 ||
      write_proc_self("/proc/self/gid_map", gid_map) != 0)
    return -1;
  return 0;
}

}  // namespace

int split_dep_list(const char* variable, char** slots, int capacity) {
  const char* value = getenv(variable);
  if (value == nullptr || value[0] == '\0') return 0;
  char* copy = strdup(value);
  if (copy == nullptr) return 0;
  int stored = 0;
  char* save = nullptr;
  for (char* tok = strtok_r(copy, " \t", &save); tok != nullptr && stored < capacity;
       tok = strtok_r(nullptr, " \t", &save)) {
    char* name = strdup(tok);
    if (name != nullptr) slots[stored++] = name;  // a failed copy gives its slot to the next
  }
  free(copy);
  return stored;
}

int isolate_network(bool tcp_denied) {
  uid_t uid = geteuid();
  gid_t gid = getegid();
  // Only root may make a network namespace alone; the builder may own one
  // through a user namespace of its own.
  if (unshare(CLONE_NEWNET) != 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
      int saved = errno;
      if (tcp_denied)
        fprintf(stderr,
                "sorn: warning: warden: no network namespace (%s): only TCP is denied, other "
                "traffic reaches the host's network\n",
                strerror(saved));
      else
        fprintf(stderr,
                "sorn: warning: warden: no network isolation (%s): the build reaches the host's "
                "network\n",
                strerror(saved));
      return 0;
    }
    if (map_own_ids(uid, gid) != 0) return -1;
  }
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return 0;
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  memcpy(ifr.ifr_name, "lo", 3);
  if (ioctl(sock, SIOCGIFFLAGS, &ifr) == 0) {
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_LOOPBACK);
    ioctl(sock, SIOCSIFFLAGS, &ifr);
  }
  close(sock);
  fputs("sorn: wardrun: network namespace isolated\n", stderr);
  return 0;
}

int add_cargo_rules(int ruleset, uint64_t handled_mask, char* const* deps, int dep_count) {
  if (add_package_rules(ruleset, deps, dep_count, true) != 0)
    return -1;
  const char* cargo_home = getenv("CARGO_HOME");
  if (cargo_home != nullptr && cargo_home[0] != '\0') {
    // Dependencies already downloaded unpack into "registry" (or "git").
    const struct {
      const char* sub;
      uint64_t access;
    } subs[] = {{"bin", READ_EXEC},          {"env", READ_EXEC},
                {".package-cache", READ_EXEC}, {"toolchains", READ_EXEC},
                {"registry", handled_mask},    {"git", handled_mask}};
    for (const auto& s : subs) {
      char path[kPathMax];
      int n = snprintf(path, sizeof path, "%s/%s", cargo_home, s.sub);
      if (n < 0 || static_cast<size_t>(n) >= sizeof path) continue;  // cut: another path
      add_path_rule(ruleset, path, s.access);  // failures are not fatal here
    }
  }
  const char* writable[] = {getenv("SRC"), getenv("PKG"), getenv("SORN_WORK_DIR"),
                            getenv("TARVO_SOURCE_DIR"), "/tmp"};
  for (const char* path : writable) {
    if (path == nullptr || path[0] == '\0') continue;  // unset is skipped like empty
    if (add_path_rule(ruleset, path, handled_mask) != 0) {
      int saved = errno;
      fprintf(stderr, "sorn: error: warden: cargo: ll_add_path '%s': %s\n", path, strerror(saved));
      return -1;
    }
  }
  add_path_rule(ruleset, "/dev", handled_mask);
  add_path_rule(ruleset, "/proc", READ_EXEC);
  add_path_rule(ruleset, "/etc/ssl", READ_EXEC);
  // The loader's cache, and the builder's name and groups.
  for (const char* file : {"/etc/ld.so.cache", "/etc/passwd", "/etc/group"})
    add_path_rule(ruleset, file, LANDLOCK_ACCESS_FS_READ_FILE);
  fputs("sorn: warden: cargo profile engaged\n", stderr);
  return 0;
}

int add_standard_rules(int ruleset, uint64_t handled_mask, char* const* deps, int dep_count) {
  const char* writable[] = {getenv("SORN_WORK_DIR"), getenv("SRC"), getenv("PKG"),
                            getenv("TARVO_SOURCE_DIR"), "/tmp"};
  if (add_package_rules(ruleset, deps, dep_count, false) != 0)
    return -1;
  for (const char* path : writable) {
    if (path == nullptr || path[0] == '\0') continue;  // unset is skipped like empty
    if (add_path_rule(ruleset, path, handled_mask) != 0) {
      int saved = errno;
      fprintf(stderr, "sorn: error: wardrun: ll_add_path '%s': %s\n", path, strerror(saved));
      return -1;
    }
  }
  const struct {
    const char* path;
    uint64_t access;
  } pseudo[] = {{"/dev", handled_mask}, {"/proc", READ_EXEC}, {"/etc", READ_EXEC}};
  for (const auto& p : pseudo) {
    if (add_path_rule(ruleset, p.path, p.access) != 0) {
      int saved = errno;
      fprintf(stderr, "sorn: error: wardrun: ll_add_path pseudo-fs: %s\n", strerror(saved));
      return -1;
    }
  }
  return 0;
}

int wardrun_main(int argc, char** argv) {
  if (argc < 2) {
    print_usage();
    return 1;
  }
  bool cargo = false;
  int command = 1;
  if (argc >= 3 && strcmp(argv[1], "-p") == 0) {
    if (strcmp(argv[2], "cargo") == 0) {
      cargo = true;
    } else if (strcmp(argv[2], "standard") != 0) {
      fprintf(stderr, "wardrun: unknown profile '%s'\n", argv[2]);
      return 1;
    }
    command = 3;
    if (argc < 4) {
      print_usage();
      return 1;
    }
  }

  int abi = landlock_create_ruleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi <= 0) {
    int saved = errno;
    fprintf(stderr, "sorn: error: wardrun: Landlock not available (abi=%d): %s\n", abi,
            strerror(saved));
    return 1;
  }
  fprintf(stderr, "sorn: wardrun: Landlock ABI v%d, profile: %s\n", abi,
          cargo ? "cargo" : "standard");
  uint64_t handled_mask = handled_mask_for_abi(abi);
  // No rule allows a port: handled, TCP bind and connect are denied.
  uint64_t handled_net = cargo ? handled_net_for_abi(abi) : 0;
  LandlockRulesetAttr attr{
      .handled_access_fs = handled_mask, .handled_access_net = handled_net, .scoped = 0};
  RulesetFd ruleset(landlock_create_ruleset(&attr, sizeof attr, 0));
  if (ruleset.fd < 0) {
    int saved = errno;
    fprintf(stderr, "sorn: error: wardrun: create_ruleset: %s\n", strerror(saved));
    return 1;
  }

  DepNames deps;
  deps.count = split_dep_list("SORN_MAKEDEPENDS", deps.names, kMaxDeps);
  deps.count += split_dep_list("SORN_DEPENDS", deps.names + deps.count, kMaxDeps - deps.count);

  int rc;
  if (cargo) {
    // The namespace comes before any rule, and its line before theirs.
    rc = isolate_network(handled_net != 0);
    if (rc == 0) rc = add_cargo_rules(ruleset.fd, handled_mask, deps.names, deps.count);
  } else {
    rc = add_standard_rules(ruleset.fd, handled_mask, deps.names, deps.count);
  }
  if (rc != 0) return 1;  // the rules have printed the cause

  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    int saved = errno;
    fprintf(stderr, "sorn: error: wardrun: PR_SET_NO_NEW_PRIVS: %s\n", strerror(saved));
    return 1;
  }
  if (landlock_restrict_self(ruleset.fd, 0) != 0) {
    int saved = errno;
    fprintf(stderr, "sorn: error: wardrun: restrict_self: %s\n", strerror(saved));
    return 1;
  }
  ruleset.close_now();
  fprintf(stderr, "sorn: wardrun: sandbox engaged, executing: %s\n", argv[command]);
  execvp(argv[command], argv + command);
  int saved = errno;
  fprintf(stderr, "sorn: error: wardrun: execvp '%s': %s\n", argv[command], strerror(saved));
  return 127;
}
