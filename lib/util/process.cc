// The one helper that starts external programs: fork, descriptor set-up,
// optional chroot, exec, and a wait that survives signals.
#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "util/util.h"

namespace {

bool is_running_system(const char* root) {
  return root == nullptr || *root == '\0' || strcmp(root, "/") == 0;
}

// Runs in the child; never returns.
[[noreturn]] void child_start(const ChildSpec& spec) {
  if (spec.stdin_fd >= 0 && spec.stdin_fd != STDIN_FILENO &&
      dup2(spec.stdin_fd, STDIN_FILENO) < 0)
    _exit(spec.status_no_exec);
  if (spec.stdout_fd >= 0 && spec.stdout_fd != STDOUT_FILENO &&
      dup2(spec.stdout_fd, STDOUT_FILENO) < 0)
    _exit(spec.status_no_exec);
  if (!is_running_system(spec.root) && (chroot(spec.root) != 0 || chdir("/") != 0))
    _exit(spec.status_no_root);
  if (spec.quiet) {
    // After the chroot, so that this is the root's own /dev/null; a root
    // without one keeps the output where it was.
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
      dup2(null_fd, STDOUT_FILENO);
      dup2(null_fd, STDERR_FILENO);
      if (null_fd > STDERR_FILENO) close(null_fd);
    }
  }
  if (spec.exec_hook != nullptr)
    spec.exec_hook(spec.exec_arg);
  else
    execvp(spec.program, spec.argv);
  _exit(spec.status_no_exec);
}

}  // namespace

pid_t spawn_child(const ChildSpec& spec) {
  pid_t pid = fork();
  if (pid == 0) child_start(spec);
  return pid;
}

int wait_child(pid_t pid) {
  int status;
  for (;;) {
    if (waitpid(pid, &status, 0) == pid) return status;
    if (errno != EINTR) return -1;
  }
}

bool child_succeeded(int status) { return status != -1 && (status & 0xff7f) == 0; }

int run_child(const ChildSpec& spec) {
  pid_t pid = spawn_child(spec);
  if (pid < 0) return -1;
  return wait_child(pid);
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

int Child::wait() {
  if (pid_ > 0) {
    status_ = wait_child(pid_);
    pid_ = -1;
  }
  return status_;
}
