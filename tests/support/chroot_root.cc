#include "support/chroot_root.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

namespace sorn_test {

namespace {

constexpr const char* kProgramDirs[] = {"/usr/sbin", "/usr/bin", "/sbin", "/bin"};

bool is_executable_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The absolute paths that ldd prints for program: its libraries and the
// loader ("linux-vdso.so.1" has none).
std::vector<std::string> shared_objects(const std::string& program) {
  RunResult r = run({"ldd", program});
  std::vector<std::string> out;
  if (r.status != 0) return out;  // a static program
  std::istringstream words(r.out);
  std::string word;
  while (words >> word)
    if (word[0] == '/') out.push_back(word);
  return out;
}

}  // namespace

ChrootRoot::ChrootRoot() {
  mkdir_p(dir_ / "dev");
  std::string null = dir_ / "dev/null";
  if (mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
    ADD_FAILURE() << "mknod " << null << ": " << strerror(errno);
  chmod(null.c_str(), 0666);
}

std::string ChrootRoot::find_program(const std::string& name) {
  if (name.find('/') != std::string::npos) return is_executable_file(name) ? name : "";
  for (const char* dir : kProgramDirs) {
    std::string path = std::string(dir) + "/" + name;
    if (is_executable_file(path)) return path;
  }
  return "";
}

std::vector<std::string> ChrootRoot::libraries_of(const std::string& program) {
  return shared_objects(program);
}

void ChrootRoot::copy_from_host(const std::string& host_path) {
  std::string dest = dir_ / host_path.substr(1);
  if (exists(dest)) return;
  struct stat st;
  if (stat(host_path.c_str(), &st) != 0) {
    ADD_FAILURE() << "stat " << host_path << ": " << strerror(errno);
    return;
  }
  // Symbolic links are followed: the root gets the file under the name that
  // the program or the loader asks for.
  write_file(dest, read_file(host_path), st.st_mode & 07777);
}

bool ChrootRoot::add_program(const std::string& program) {
  std::string host = find_program(program);
  if (host.empty()) return false;
  copy_from_host(host);
  for (const std::string& object : shared_objects(host)) copy_from_host(object);
  return true;
}

bool ChrootRoot::add_programs(const std::vector<std::string>& programs) {
  bool all = true;
  for (const std::string& p : programs) all = add_program(p) && all;
  return all;
}

void ChrootRoot::add_file(const std::string& rel, const std::string& content, mode_t mode) {
  write_file(dir_ / rel, content, mode);
}

void ChrootRoot::add_dir(const std::string& rel, mode_t mode) {
  mkdir_p(dir_ / rel, mode);
  chmod((dir_ / rel).c_str(), mode);
}

void ChrootRoot::add_accounts(const std::vector<std::string>& extra_groups) {
  std::string group = "root:x:0:\nwheel:x:10:\n";
  std::string gshadow = "root:*::\nwheel:*::\n";
  for (const std::string& line : extra_groups) {
    group += line + "\n";
    gshadow += line.substr(0, line.find(':')) + ":*::\n";
  }
  add_file("etc/passwd", "root:x:0:0:root:/root:/bin/sh\n");
  add_file("etc/shadow", "root:*:19000:0:99999:7:::\n", 0600);
  add_file("etc/group", group);
  add_file("etc/gshadow", gshadow, 0600);
  add_file("etc/login.defs",
           "SYS_UID_MIN 100\nSYS_UID_MAX 999\nSYS_GID_MIN 100\nSYS_GID_MAX 999\n"
           "UID_MIN 1000\nUID_MAX 60000\nGID_MIN 1000\nGID_MAX 60000\n");
  add_file("etc/nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\n");
}

}  // namespace sorn_test
