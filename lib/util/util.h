// The foundation of libsorn: allocation, strings, paths, StringList,
// diagnostics, RAII holders and the one helper that starts child processes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

// Fixed buffers of this size hold paths and text lines; a longer formatted
// path is cut to kPathBuf - 1 bytes.
constexpr size_t kPathBuf = 4096;

// ---------------------------------------------------------------- StringList

// A growable array of owned, NUL-terminated strings (a slot may hold null).
struct StringList {
  char** strings;
  uint64_t in_use;
  uint64_t allocated;
  int32_t is_sorted;  // the strings are known to be in strcmp order
};

// A list with 32 slots, empty and sorted.
StringList* strlist_new(void);
// Appends a copy of str (or a null slot for null), doubling the slots when
// full; clears is_sorted. Returns 0.
int strlist_add(StringList* list, const char* str);
// Exact byte equality; bisection when sorted and holding more than 16
// strings, a linear scan otherwise. False for a null list or string.
bool strlist_contains(const StringList* list, const char* str);
// Frees the first equal string and moves the last one into its slot;
// clears is_sorted. 0, or -1 when absent.
int strlist_remove(StringList* list, const char* str);
// Sorts by strcmp unless already marked sorted; sets is_sorted.
void strlist_sort(StringList* list);
// Frees every string, the array and the list; null is ignored.
void strlist_free(StringList* list);

// ---------------------------------------------------------------- allocation

// Never fail: on failure they end the program through err(1, ...) with
// "malloc(%zu)", "realloc(%zu)" or "strdup". must_strdup(nullptr) is null.
void* must_malloc(size_t size);
void* must_realloc(void* ptr, size_t size);
char* must_strdup(const char* str);

// ---------------------------------------------------------------- strings

// Skips leading and cuts trailing white space in place; null gives null.
char* trim_space(char* str);
bool has_prefix(const char* str, const char* prefix);
bool has_suffix(const char* str, const char* suffix);
// Splits text at its first max_fields - 1 separators into fields; the last
// field keeps the rest, separators included. The number of fields (>= 1).
size_t split_fields(std::string_view text, char sep, std::string_view* fields,
                    size_t max_fields);

// ---------------------------------------------------------------- paths

// root joined to a relative path, newly allocated (see the .cc for the rules).
char* root_path(const char* root, const char* rel);
// mkdir -p with mode; an existing name of any kind is no error.
// 0, or -1 with errno set (EINVAL for a null or empty path).
int make_dirs(const char* path, mode_t mode);
// lstat succeeds: a dangling symbolic link exists.
bool entry_exists(const char* path);
// Copies the regular file from (not followed when a link) to the new file
// to, created with mode 0600 and O_EXCL, then given mode (its permission
// bits, whatever the umask). 0, or -1 with errno set; a partial to stays
// for the caller to delete.
int copy_regular_file(const char* from, const char* to, mode_t mode);
// Removes whatever is at path, depth-first without following links; falls
// back to "/bin/rm -rf" when the walk fails. 0, or -1.
int remove_tree(const char* path);

// Flushes (syncfs) the file system of root and that of each top-level
// directory under root that paths (relative to root) begin with, each file
// system once: a separate /usr, /var or /boot included.
void flush_file_systems(const char* root, const StringList* paths);

// The installation root of zarnin and zarnout: the -r argument, else
// PKG_ROOT, else "/". An empty value means the running system too, so it
// becomes "/": tar would read an empty -C as the working directory, and
// paths joined to it would be relative.
const char* choose_root(const char* root_arg, const char* pkg_root_env);
// True for a package path that could address something outside the root:
// absolute, with a ".." component, or 4095 bytes or longer (a listing line
// that did not fit the capture buffer). Such a path is never installed,
// deleted or recorded; zarnin refuses further member names besides.
bool path_is_unsafe(const char* path);

// TMPDIR when set and not empty, else "/tmp".
const char* temp_dir(void);

// ---------------------------------------------------------------- diagnostics

// "sorn: " + message on stdout, flushed.
[[gnu::format(printf, 1, 2)]] void log_note(const char* fmt, ...);
// "sorn: warning: " + message on stderr.
[[gnu::format(printf, 1, 2)]] void log_warning(const char* fmt, ...);
// "sorn: error: " + message on stderr, then exit(1).
[[gnu::format(printf, 1, 2)]] [[noreturn]] void die(const char* fmt, ...);
// "<program>: error: " + message on stderr; the program decides whether
// to stop. The prefix comes from set_program_name ("sorn" until then).
[[gnu::format(printf, 1, 2)]] void prog_error(const char* fmt, ...);
// Sets the program name used by prog_error ("zarnin", "zarnout").
void set_program_name(const char* name);
// The name set_program_name gave ("sorn" until then).
const char* get_program_name(void);

// ---------------------------------------------------------------- processes

// How to start one external program. The argument vector is built by the
// caller before the fork; the child ends only in exec or _exit.
struct ChildSpec {
  const char* program = nullptr;   // searched on PATH unless it holds a '/'
  char* const* argv = nullptr;     // null-terminated
  const char* root = nullptr;      // chroot + chdir("/") unless null, "" or "/"
  int stdin_fd = -1;               // dup2'd onto 0 when not -1
  int stdout_fd = -1;              // dup2'd onto 1 when not -1
  int stderr_fd = -1;              // dup2'd onto 2 when not -1
  bool quiet = false;              // stdout and stderr to the root's /dev/null,
                                   // when it can be opened
  int status_no_root = 127;        // exit status when chroot/chdir fails
  int status_no_exec = 127;        // exit status when set-up or exec fails
  // When set, tried in order instead of program/argv: null-terminated
  // argument vectors whose first word names the program.
  const char* const* const* candidates = nullptr;
  const char* unset_env = nullptr;  // a variable the child does not inherit
  const char* set_env = nullptr;    // "NAME=value": the child has this value
  const char* default_env = nullptr;  // "NAME=value": unless the child inherits NAME
  // Called in the child instead of exec'ing anything when set; returning
  // means the start failed.
  void (*exec_hook)(const void* arg) = nullptr;
  const void* exec_arg = nullptr;
};

// Opens "/dev/null" on each standard descriptor that is closed. The archive
// pipeline swaps standard input and the quiet extraction standard error, and
// children inherit all three: a closed one would be taken by the next
// descriptor opened (a pipe end, the database's lock or its "db.tmp") and
// then be used or closed under it.
void ensure_standard_fds(void);

// Starts the program. The pid, or -1 with errno set. A program that cannot
// be started shows as a child that exited with status_no_exec.
pid_t spawn_child(const ChildSpec& cmd);
// Waits for pid, retrying EINTR. The raw wait status, or -1.
int wait_child(pid_t pid);
// Exited normally with status 0: (status & 0xff7f) == 0.
bool child_succeeded(int status);
// spawn_child + wait_child: the raw status, or -1 when the fork failed.
int run_child(const ChildSpec& cmd);

// ---------------------------------------------------------------- RAII

template <auto Fn>
struct FreeWith {
  template <class T>
  void operator()(T* p) const noexcept { Fn(p); }
};
using StringListPtr = std::unique_ptr<StringList, FreeWith<strlist_free>>;
inline void free_chars(char* p) noexcept { free(p); }
using CharPtr = std::unique_ptr<char, FreeWith<free_chars>>;

// Owns a descriptor; closes it when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Owns a started child: waits for it on destruction unless wait() was
// called. Declare guards whose release unblocks the child after this one.
class Child {
 public:
  Child() = default;
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { wait(); }
  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  // The raw wait status; -1 when nothing was started. Waits only once.
  int wait();
  // Whether the child has ended (and been waited for), without blocking.
  bool exited();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// ---------------------------------------------------------------- confinement

// How the directory rel (relative to root_fd; "" is root_fd itself)
// resolves when every symbolic link on the way must stay beneath root_fd:
// 0, or the error: EXDEV (an absolute link, or ".." out of it), ELOOP,
// ENOENT, ENOTDIR and the like. openat2 with RESOLVE_BENEATH does it (ENOSYS
// before Linux 5.6); walk asks for the lstat walk that stands in for it.
int beneath_resolve_dir(int root_fd, const char* rel, bool walk);

// Answers, for one installation root as it stands, whether directories
// named relative to it stay inside it. Every answer is yes for the running
// system (a null, empty or "/" root) and for a root that does not exist.
// Each distinct directory is resolved once.
class RootGuard {
 public:
  explicit RootGuard(const char* root);
  RootGuard(const RootGuard&) = delete;
  RootGuard& operator=(const RootGuard&) = delete;
  // The directory rel resolves inside the root, or is missing there: no
  // link on the way leads out, dangles or loops (leading and trailing "/"
  // ignored).
  bool dir_inside(std::string_view rel);
  // dir_inside of the directory that holds rel.
  bool parent_inside(std::string_view rel);
  // A root other than the running system, whose links are looked at.
  bool confined() const { return confined_; }

 private:
  bool resolve(const std::string& dir);
  UniqueFd root_fd_;
  bool confined_ = false;  // a root other than the running system
  bool walk_ = false;      // the kernel has no openat2
  std::unordered_map<std::string, bool> checked_;
};

// "%s/%s"-style formatting into a std::string, for messages and paths.
[[gnu::format(printf, 1, 2)]] std::string strformat(const char* fmt, ...);
