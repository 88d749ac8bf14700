// A scratch installation root in which real programs of the host run
// chrooted: each program is copied with the shared libraries that ldd names
// and the dynamic loader, so the tests never run them on the host's files.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/support.h"

namespace sorn_test {

class ChrootRoot {
 public:
  // An empty root: "dev/null" (a real character device) and nothing else.
  ChrootRoot();
  const std::string& path() const { return dir_.path(); }
  std::string operator/(const std::string& rel) const { return dir_ / rel; }

  // Copies the host program at the same path into the root, with its shared
  // libraries and the loader. A name without "/" is looked up in the host's
  // usual program directories. False, with nothing copied, when the host
  // has no such program.
  bool add_program(const std::string& program);
  // add_program for each; false when any is missing.
  bool add_programs(const std::vector<std::string>& programs);
  // A file of the root (parents made as needed).
  void add_file(const std::string& rel, const std::string& content, mode_t mode = 0644);
  void add_dir(const std::string& rel, mode_t mode = 0755);
  // Minimal account files: passwd and shadow with root, group and gshadow
  // with root and wheel (plus extra_groups lines, "name:x:gid:"), a
  // login.defs with the system id ranges, and an nsswitch.conf on files.
  void add_accounts(const std::vector<std::string>& extra_groups = {});

  // The host path of a program name as add_program finds it, or "".
  static std::string find_program(const std::string& name);
  // The absolute paths of the shared libraries and the loader that ldd
  // names for a host program (none for a static one).
  static std::vector<std::string> libraries_of(const std::string& program);

 private:
  void copy_from_host(const std::string& host_path);
  TempDir dir_;
};

}  // namespace sorn_test
