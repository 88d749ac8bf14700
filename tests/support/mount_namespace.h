// A private mount namespace held by a child process, for tests that need a
// file system of their own (a full disk, a second file system in a root).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/support.h"

namespace sorn_test {

// A child in a mount namespace of its own keeps the namespace alive; the
// programs of a test enter it through nsenter and see what was mounted
// there, while the test process and the host never do. Leaving scope kills
// the child, and the namespace and its mounts go with it; so does the death
// of the test process.
class MountNamespace {
 public:
  MountNamespace();
  ~MountNamespace();
  MountNamespace(const MountNamespace&) = delete;
  MountNamespace& operator=(const MountNamespace&) = delete;

  // Empty when the namespace is in place; otherwise why it is not.
  const std::string& error() const { return error_; }
  bool ok() const { return error_.empty(); }

  // Mounts a tmpfs with these options on dir (made when missing) inside the
  // namespace. false on failure, with the cause in error().
  bool mount_tmpfs(const std::string& dir, const std::string& options);
  // argv with the words that run it inside the namespace in front.
  std::vector<std::string> inside(const std::vector<std::string>& argv) const;

 private:
  pid_t holder_ = -1;
  std::string error_;
};

}  // namespace sorn_test
