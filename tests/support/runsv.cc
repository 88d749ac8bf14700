#include "support/runsv.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "support/support.h"
#include "util/util.h"

namespace sorn_test {

namespace {

bool is_running(const std::string& dir) {
  return read_file(dir + "/supervise/stat").rfind("run", 0) == 0;
}

}  // namespace

Runsv::Runsv(const std::string& dir) : dir_(dir) {
  char arg0[] = "runsv";
  char* argv[] = {arg0, dir_.data(), nullptr};
  ChildSpec cmd;
  cmd.program = "runsv";
  cmd.argv = argv;
  pid_ = spawn_child(cmd);
  if (pid_ < 0) return;
  ok_ = !wait_for_new_pid("").empty();
}

std::string Runsv::service_pid() const {
  std::string pid = read_file(dir_ + "/supervise/pid");
  while (!pid.empty() && pid.back() == '\n') pid.pop_back();
  return pid;
}

std::string Runsv::wait_for_new_pid(const std::string& old) const {
  for (int i = 0; i < 500; i++) {
    std::string pid = service_pid();
    if (!pid.empty() && pid != old && is_running(dir_)) return pid;
    usleep(10000);
  }
  return "";
}

void Runsv::stop() {
  if (pid_ < 0) return;
  // TERM is runsv's "exit": it stops the service, waits for it and exits.
  std::string service = service_pid();
  kill(pid_, SIGTERM);
  for (int i = 0; i < 500; i++) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    usleep(10000);
  }
  // A service that ignores TERM keeps runsv waiting; it is still running
  // (nobody reaped it), so its pid is still its own.
  if (!service.empty()) kill(static_cast<pid_t>(atol(service.c_str())), SIGKILL);
  kill(pid_, SIGKILL);
  wait_child(pid_);
  pid_ = -1;
}

}  // namespace sorn_test
