// A real runsv supervising a service directory, started on the host by a
// test and always stopped again, with the service it started.
#pragma once

#include <sys/types.h>

#include <string>

namespace sorn_test {

class Runsv {
 public:
  // Starts "runsv dir" and waits up to five seconds for the service to
  // run; ok() tells whether it did.
  explicit Runsv(const std::string& dir);
  ~Runsv() { stop(); }
  Runsv(const Runsv&) = delete;
  Runsv& operator=(const Runsv&) = delete;

  bool ok() const { return ok_; }
  // The pid of the supervised process, as "supervise/pid" holds it ("" when
  // there is none).
  std::string service_pid() const;
  // Waits up to five seconds for the service to run under another pid than
  // old; the new pid, or "".
  std::string wait_for_new_pid(const std::string& old) const;
  // Tells runsv to stop the service and exit (SIGTERM) and waits for it;
  // after five seconds both are killed.
  void stop();

 private:
  std::string dir_;
  pid_t pid_ = -1;
  bool ok_ = false;
};

}  // namespace sorn_test
