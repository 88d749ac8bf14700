// The one helper that starts external programs: descriptor set-up, optional
// chroot, exec, and a wait that survives signals.
//
// A child that needs nothing but descriptors and an environment is started
// with posix_spawn, which shares the address space until the exec. A fork
// would write-protect every page of the parent, and the parent would then
// take a page fault for each one it touches again: with a loaded package
// database that costs more than the child itself.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "util/util.h"

extern char** environ;

namespace {

bool is_running_system(const char* root) {
  return root == nullptr || *root == '\0' || strcmp(root, "/") == 0;
}

void exec_candidates(const ChildSpec& cmd) {
  if (cmd.candidates == nullptr) {
    execvp(cmd.program, cmd.argv);
    return;
  }
  for (const char* const* const* c = cmd.candidates; *c != nullptr; c++)
    execvp((*c)[0], const_cast<char* const*>(*c));
}

// Runs in the forked child; never returns.
[[noreturn]] void child_start(const ChildSpec& cmd) {
  if (cmd.stdin_fd >= 0 && cmd.stdin_fd != STDIN_FILENO &&
      dup2(cmd.stdin_fd, STDIN_FILENO) < 0)
    _exit(cmd.status_no_exec);
  if (cmd.stdout_fd >= 0 && cmd.stdout_fd != STDOUT_FILENO &&
      dup2(cmd.stdout_fd, STDOUT_FILENO) < 0)
    _exit(cmd.status_no_exec);
  if (cmd.stderr_fd >= 0 && cmd.stderr_fd != STDERR_FILENO &&
      dup2(cmd.stderr_fd, STDERR_FILENO) < 0)
    _exit(cmd.status_no_exec);
  if (!is_running_system(cmd.root) && (chroot(cmd.root) != 0 || chdir("/") != 0))
    _exit(cmd.status_no_root);
  if (cmd.quiet) {
    // After the chroot, so that this is the root's own /dev/null; a root
    // without one keeps the output where it was.
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
      dup2(null_fd, STDOUT_FILENO);
      dup2(null_fd, STDERR_FILENO);
      if (null_fd > STDERR_FILENO) close(null_fd);
    }
  }
  // The child of a single-threaded process may change its own environment;
  // putenv keeps the caller's string, which lives on in this copy of memory.
  if (cmd.unset_env != nullptr) unsetenv(cmd.unset_env);
  if (cmd.set_env != nullptr) putenv(const_cast<char*>(cmd.set_env));
  if (cmd.default_env != nullptr) {
    std::string name(cmd.default_env, strcspn(cmd.default_env, "="));
    if (getenv(name.c_str()) == nullptr) putenv(const_cast<char*>(cmd.default_env));
  }
  if (cmd.exec_hook != nullptr)
    cmd.exec_hook(cmd.exec_arg);
  else
    exec_candidates(cmd);
  _exit(cmd.status_no_exec);
}

pid_t fork_child(const ChildSpec& cmd) {
  pid_t pid = fork();
  if (pid == 0) child_start(cmd);
  return pid;
}

// The environment entry ("NAME=value") is one of the variable name.
bool names_variable(const char* entry, std::string_view name) {
  return !name.empty() && strncmp(entry, name.data(), name.size()) == 0 &&
         entry[name.size()] == '=';
}

// The environment without cmd.unset_env, with cmd.set_env in place of the
// inherited value of its variable.
std::vector<char*> child_environment(const ChildSpec& cmd) {
  std::string_view unset = cmd.unset_env != nullptr ? cmd.unset_env : "";
  std::string_view set = cmd.set_env != nullptr ? cmd.set_env : "";
  set = set.substr(0, set.find('='));
  std::string_view fallback = cmd.default_env != nullptr ? cmd.default_env : "";
  fallback = fallback.substr(0, fallback.find('='));
  bool inherited = false;
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; e++) {
    if (names_variable(*e, unset) || names_variable(*e, set)) continue;
    inherited = inherited || names_variable(*e, fallback);
    env.push_back(*e);
  }
  if (cmd.set_env != nullptr) env.push_back(const_cast<char*>(cmd.set_env));
  if (cmd.default_env != nullptr && !inherited) env.push_back(const_cast<char*>(cmd.default_env));
  env.push_back(nullptr);
  return env;
}

// posix_spawn of the program, or of the first candidate that starts.
// The pid, or -1 when nothing could be started this way.
pid_t spawn_direct(const ChildSpec& cmd) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  bool ok = true;
  if (cmd.stdin_fd >= 0 && cmd.stdin_fd != STDIN_FILENO)
    ok = posix_spawn_file_actions_adddup2(&actions, cmd.stdin_fd, STDIN_FILENO) == 0;
  if (ok && cmd.stdout_fd >= 0 && cmd.stdout_fd != STDOUT_FILENO)
    ok = posix_spawn_file_actions_adddup2(&actions, cmd.stdout_fd, STDOUT_FILENO) == 0;
  if (ok && cmd.stderr_fd >= 0 && cmd.stderr_fd != STDERR_FILENO)
    ok = posix_spawn_file_actions_adddup2(&actions, cmd.stderr_fd, STDERR_FILENO) == 0;
  std::vector<char*> env = child_environment(cmd);
  pid_t pid = -1;
  if (ok && cmd.candidates == nullptr) {
    if (posix_spawnp(&pid, cmd.program, &actions, nullptr, cmd.argv, env.data()) != 0) pid = -1;
  } else if (ok) {
    for (const char* const* const* c = cmd.candidates; *c != nullptr && pid < 0; c++) {
      if (posix_spawnp(&pid, (*c)[0], &actions, nullptr, const_cast<char* const*>(*c),
                       env.data()) != 0)
        pid = -1;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

pid_t spawn_child(const ChildSpec& cmd) {
  if (is_running_system(cmd.root) && !cmd.quiet && cmd.exec_hook == nullptr) {
    pid_t pid = spawn_direct(cmd);
    if (pid > 0) return pid;
    // Nothing started: a forked child fails the same way and reports it
    // through its exit status, as every caller expects.
  }
  return fork_child(cmd);
}

int wait_child(pid_t pid) {
  int status;
  for (;;) {
    if (waitpid(pid, &status, 0) == pid) return status;
    if (errno != EINTR) return -1;
  }
}

bool child_succeeded(int status) { return status != -1 && (status & 0xff7f) == 0; }

int run_child(const ChildSpec& cmd) {
  pid_t pid = spawn_child(cmd);
  if (pid < 0) return -1;
  return wait_child(pid);
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

bool Child::exited() {
  if (pid_ <= 0) return true;
  int status;
  pid_t done = waitpid(pid_, &status, WNOHANG);
  if (done == 0 || (done < 0 && errno == EINTR)) return false;
  status_ = done == pid_ ? status : -1;
  pid_ = -1;
  return true;
}

int Child::wait() {
  if (pid_ > 0) {
    status_ = wait_child(pid_);
    pid_ = -1;
  }
  return status_;
}

void ensure_standard_fds(void) {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}
