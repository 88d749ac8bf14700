// A private "/etc" for tests of programs that read fixed files there.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sorn_test {

// Moves this (single-threaded) test process into a private mount namespace
// in which an overlay lays the given files over the host's "/etc"; every
// program the test starts afterwards inherits that view. A file given as
// nullopt hides the host's file of that name. Nothing is ever written to the
// host's "/etc". Leaving scope unmounts what this object mounted and returns
// the process to its original namespace; should the process die first, the
// namespace and its mounts die with it.
class EtcNamespace {
 public:
  using Files = std::map<std::string, std::optional<std::string>>;

  explicit EtcNamespace(const Files& files = {});
  ~EtcNamespace();
  EtcNamespace(const EtcNamespace&) = delete;
  EtcNamespace& operator=(const EtcNamespace&) = delete;

  // Empty when the namespace is in place; otherwise why it is not (for
  // GTEST_SKIP), and the process is back in its original namespace.
  const std::string& error() const { return error_; }
  bool ok() const { return error_.empty(); }

  // Shows these files in "/etc" instead of the earlier ones. false on failure.
  bool set_files(const Files& files);
  // Mounts a fresh tmpfs on dir (created when missing) inside the namespace;
  // it is unmounted when this object leaves scope. false on failure.
  bool mount_tmpfs(const std::string& dir);

 private:
  bool fail(const std::string& what);
  bool fill_layer(const Files& files);
  bool mount_etc();
  void leave();

  int saved_ns_ = -1;
  int saved_cwd_ = -1;
  bool entered_ = false;
  std::string layer_;
  std::vector<std::string> mounts_;  // in mount order
  std::string error_;
};

}  // namespace sorn_test
