#include "support/mount_namespace.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/util.h"

namespace sorn_test {

namespace {

std::string namespace_of(const std::string& pid) {
  char buf[64];
  ssize_t n = readlink(("/proc/" + pid + "/ns/mnt").c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

}  // namespace

MountNamespace::MountNamespace() {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + strerror(errno);
    return;
  }
  // The holder says "ready" once it is in its own namespace: entering it
  // any earlier would mount on the host.
  const char* argv[] = {"unshare", "-m", "--propagation", "private", "sh", "-c",
                        "echo ready && exec sleep 86400", nullptr};
  pid_t parent = getpid();
  holder_ = fork();
  if (holder_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    dup2(p[1], 1);
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  close(p[1]);
  char buf[8];
  ssize_t n;
  do n = read(p[0], buf, sizeof buf);
  while (n < 0 && errno == EINTR);
  close(p[0]);
  if (holder_ < 0 || n != 6 || std::string(buf, 6) != "ready\n") {
    error_ = "unshare -m did not start";
    return;
  }
  std::string mine = namespace_of("self"), held = namespace_of(std::to_string(holder_));
  if (mine.empty() || held.empty() || mine == held) error_ = "no mount namespace of its own";
}

MountNamespace::~MountNamespace() {
  if (holder_ <= 0) return;
  kill(holder_, SIGKILL);
  wait_child(holder_);
}

bool MountNamespace::mount_tmpfs(const std::string& dir, const std::string& options) {
  if (!ok()) return false;
  mkdir_p(dir);
  RunResult r = run(inside({"mount", "-t", "tmpfs", "-o", options, "tmpfs", dir}));
  if (r.status != 0) error_ = "tmpfs on " + dir + ": " + r.err;
  return r.status == 0;
}

std::vector<std::string> MountNamespace::inside(const std::vector<std::string>& argv) const {
  std::vector<std::string> out{"nsenter", "-t", std::to_string(holder_), "-m", "--"};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

}  // namespace sorn_test
