// The three Landlock system calls, the handled rights per ABI and the one
// way a path becomes a rule.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "wardrun/wardrun.h"

#ifndef __NR_landlock_create_ruleset
#define __NR_landlock_create_ruleset 444
#endif
#ifndef __NR_landlock_add_rule
#define __NR_landlock_add_rule 445
#endif
#ifndef __NR_landlock_restrict_self
#define __NR_landlock_restrict_self 446
#endif

int landlock_create_ruleset(const LandlockRulesetAttr* attr, size_t size, uint32_t flags) {
  return static_cast<int>(syscall(__NR_landlock_create_ruleset, attr, size, flags));
}

int landlock_add_rule(int ruleset, int rule_type, const void* rule_attr, uint32_t flags) {
  return static_cast<int>(syscall(__NR_landlock_add_rule, ruleset, rule_type, rule_attr, flags));
}

int landlock_restrict_self(int ruleset, uint32_t flags) {
  return static_cast<int>(syscall(__NR_landlock_restrict_self, ruleset, flags));
}

uint64_t handled_mask_for_abi(int abi) {
  uint64_t mask = 0x1fff;  // EXECUTE .. MAKE_SYM
  // Handled, REFER is granted only where the full mask goes: renames and
  // hard links between the build's own directories work, while moving a
  // file out of a read-only tree is still refused. ABI 1 cannot grant it.
  if (abi >= 2) mask |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) mask |= LANDLOCK_ACCESS_FS_TRUNCATE;
  return mask;
}

uint64_t handled_net_for_abi(int abi) {
  return abi >= 4 ? LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP : 0;
}

int add_path_rule(int ruleset, const char* path, uint64_t access, bool* added, RuleFds* fds) {
  if (added != nullptr) *added = false;
  int fd = open(path, O_PATH | O_CLOEXEC);
  if (fd < 0 && errno == EMFILE && fds != nullptr) {  // the kept ones must not cost a rule
    fds->close_all();
    fd = open(path, O_PATH | O_CLOEXEC);
  }
  if (fd < 0) return 0;  // a missing path is no error
  auto release = [fds](int done) {
    if (fds != nullptr)
      fds->keep(done);
    else
      close(done);
  };
  // The kernel refuses directory rights on a file; a file named where a
  // tree is expected (CARGO_HOME's "env") still gets its file rights. File
  // rights on a directory would hold for every file beneath it: a record
  // naming a link to a directory without its "/" lets the build list it,
  // no more. A path of unknown kind gets no rule.
  struct stat st;
  if (fstat(fd, &st) != 0)
    access = 0;
  else if (!S_ISDIR(st.st_mode))
    access &= kFileAccess;
  else if ((access & ~kFileAccess) == 0)
    access = LANDLOCK_ACCESS_FS_READ_DIR;
  if (access == 0) {
    release(fd);
    return 0;
  }
  LandlockPathBeneathAttr rule{.allowed_access = access, .parent_fd = fd};
  int rc = landlock_add_rule(ruleset, kRulePathBeneath, &rule, 0);
  int saved = errno;
  release(fd);
  errno = saved;
  if (rc == 0 && added != nullptr) *added = true;
  return rc;
}
