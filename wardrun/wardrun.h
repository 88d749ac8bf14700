// wardrun: runs one build command inside a Landlock sandbox whose read
// rules come from the package database. Everything here writes its own
// messages to standard error; nothing uses the library's operations.
#pragma once

#if __has_include(<linux/landlock.h>)
#include <linux/landlock.h>
#endif

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

// The rights and flags this program uses, for systems whose header is older
// than the kernel it runs on.
#ifndef LANDLOCK_CREATE_RULESET_VERSION
#define LANDLOCK_CREATE_RULESET_VERSION (1U << 0)
#endif
#ifndef LANDLOCK_ACCESS_FS_EXECUTE
#define LANDLOCK_ACCESS_FS_EXECUTE (1ULL << 0)
#define LANDLOCK_ACCESS_FS_WRITE_FILE (1ULL << 1)
#define LANDLOCK_ACCESS_FS_READ_FILE (1ULL << 2)
#define LANDLOCK_ACCESS_FS_READ_DIR (1ULL << 3)
#endif
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef __NR_close_range
#define __NR_close_range 436
#endif
constexpr int kRulePathBeneath = 1;  // LANDLOCK_RULE_PATH_BENEATH

// The kernel's ruleset attribute with every field this program sets; the
// system's header may lack the later ones, so this is declared here. It is
// always passed whole: a kernel that knows fewer fields accepts the longer
// attribute as long as the fields it does not know are zero, so
// handled_access_net is set only from ABI 4.
struct LandlockRulesetAttr {
  uint64_t handled_access_fs;
  uint64_t handled_access_net;
  uint64_t scoped;
};
static_assert(sizeof(LandlockRulesetAttr) == 24, "three 64-bit fields, as the kernel reads them");

// The kernel's rule for a file hierarchy (packed there as well).
struct [[gnu::packed]] LandlockPathBeneathAttr {
  uint64_t allowed_access;
  int32_t parent_fd;
};
static_assert(sizeof(LandlockPathBeneathAttr) == 12, "packed: no trailing padding");

// Paths and lines are kept in buffers of this size (one byte for the NUL).
constexpr size_t kPathMax = 4096;

// Read-only trees: execute, read files, list directories (0xd).
constexpr uint64_t READ_EXEC =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;

// The rights that may be granted on a file that is not a directory.
constexpr uint64_t kFileAccess = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                 LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE;

// The dependency names of one run: at most this many.
constexpr int kMaxDeps = 256;

// ---------------------------------------------------------------- landlock.cc

int landlock_create_ruleset(const LandlockRulesetAttr* attr, size_t size, uint32_t flags);
int landlock_add_rule(int ruleset, int rule_type, const void* rule_attr, uint32_t flags);
int landlock_restrict_self(int ruleset, uint32_t flags);

// The rights the ruleset handles at this ABI, and the full mask of the
// writable trees: 0x1fff, plus REFER (0x2000) from ABI 2 and TRUNCATE
// (0x4000) from ABI 3.
uint64_t handled_mask_for_abi(int abi);

// The network rights the cargo profile handles, and so denies: TCP bind and
// connect from ABI 4, none before.
uint64_t handled_net_for_abi(int abi);

// The descriptors of added rules, closed kRun at a time and the rest when
// the object ends. Entering the kernel costs a rule about as much as the
// kernel's work on it: one close_range for each run of consecutive
// descriptors instead of a close each pays for the look at what each rule
// names.
class RuleFds {
 public:
  RuleFds() = default;
  RuleFds(const RuleFds&) = delete;
  RuleFds& operator=(const RuleFds&) = delete;
  ~RuleFds() { close_all(); }

  void keep(int fd) {
    fds_[count_++] = fd;
    if (count_ == kRun) close_all();
  }

  // errno is left as it was. Before Linux 5.9 there is no close_range.
  void close_all() {
    int saved = errno;
    for (int i = 0, j; i < count_; i = j + 1) {
      j = i;
      while (j + 1 < count_ && fds_[j + 1] == fds_[j] + 1) j++;
      if (syscall(__NR_close_range, fds_[i], fds_[j], 0) != 0)
        for (int k = i; k <= j; k++) close(fds_[k]);
    }
    count_ = 0;
    errno = saved;
  }

 private:
  static constexpr int kRun = 64;  // open at once: far below any descriptor limit
  int fds_[kRun];
  int count_ = 0;
};

// Grants access beneath path (symbolic links followed). A path that cannot
// be opened, or whose kind cannot be told, is skipped: 0 with *added false.
// On a file that is not a directory only the file rights of access are
// granted (none left: skipped); on a directory, access made only of file
// rights becomes listing (READ_DIR). -1 with errno set when the kernel
// refuses the rule. The path's descriptor is closed, or kept in fds.
int add_path_rule(int ruleset, const char* path, uint64_t access, bool* added = nullptr,
                  RuleFds* fds = nullptr);

// ---------------------------------------------------------------- db_rules.cc

// The 39 packages every build may read, in their fixed order.
constexpr int kBaseCount = 39;
extern const char* const base_packages[kBaseCount];

// "<PKG_DBDIR>/db" when PKG_DBDIR begins with "/", else "/var/lib/pkg/db",
// written to buf; false when it had to be cut.
bool db_file_path(char* buf, size_t size);

// Adds a read rule for every path recorded for a package named in
// names[0..count), of which the first base_count are base packages. Prints
// the summary line and returns 0; or prints the cause and returns -1 (a
// dependency without a record, an unreadable database, a refused rule).
int add_db_rules(int ruleset, const char* const* names, int count, int base_count);

// ---------------------------------------------------------------- sandbox.cc

// Copies the blank- or tab-separated names of the variable into slots, at
// most capacity of them; the rest are dropped. The number stored.
int split_dep_list(const char* variable, char** slots, int capacity);

// A new network namespace with only "lo", brought up; where that alone is
// not permitted, a new user namespace with it, mapping this process's own
// uid and gid to themselves. When neither can be had, a warning that says
// whether tcp_denied (the ruleset's TCP rule) still holds, and 0. -1 after
// printing the cause when a user namespace was entered but its ids cannot
// be mapped.
int isolate_network(bool tcp_denied);

// The cargo profile's rules: database rules, parts of CARGO_HOME (its
// "registry" and "git" writable), the build's directories, "/dev", "/proc",
// "/etc/ssl" and the few files of "/etc" that programs look up. 0, or -1
// printed.
int add_cargo_rules(int ruleset, uint64_t handled_mask, char* const* deps, int dep_count);

// The standard profile's rules: database rules, the build's directories,
// "/tmp", "/dev", "/proc" and "/etc". 0, or -1 printed.
int add_standard_rules(int ruleset, uint64_t handled_mask, char* const* deps, int dep_count);

// The whole program: returns only on failure (1, or 127 when the command
// cannot be executed).
int wardrun_main(int argc, char** argv);
