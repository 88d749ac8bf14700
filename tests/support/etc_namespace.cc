#include "support/etc_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "support/support.h"
#include "util/util.h"

namespace sorn_test {

namespace {

constexpr const char* kEtc = "/etc";

}  // namespace

EtcNamespace::EtcNamespace(const Files& files) {
  saved_ns_ = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
  saved_cwd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (saved_ns_ < 0 || saved_cwd_ < 0) {
    fail("cannot open the current mount namespace");
    return;
  }
  std::string tmpl = std::string(temp_dir()) + "/sorn-etc.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    fail("mkdtemp");
    return;
  }
  layer_ = tmpl;
  if (unshare(CLONE_NEWNS) != 0) {
    fail("unshare(CLONE_NEWNS)");
    return;
  }
  entered_ = true;
  // Nothing mounted from here on may reach the host's namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    fail("making / private");
    leave();
    return;
  }
  if (!fill_layer(files) || !mount_etc()) leave();
}

EtcNamespace::~EtcNamespace() {
  leave();
  if (saved_ns_ >= 0) close(saved_ns_);
  if (saved_cwd_ >= 0) close(saved_cwd_);
  if (!layer_.empty()) remove_tree(layer_.c_str());
}

bool EtcNamespace::fail(const std::string& what) {
  error_ = what + ": " + strerror(errno);
  return false;
}

bool EtcNamespace::fill_layer(const Files& files) {
  if (remove_tree(layer_.c_str()) != 0 || mkdir(layer_.c_str(), 0700) != 0)
    return fail("emptying " + layer_);
  for (const auto& [name, content] : files) {
    std::string path = layer_ + "/" + name;
    mkdir_p(path.substr(0, path.rfind('/')));
    if (content) {
      write_file(path, *content);
    } else if (mknod(path.c_str(), S_IFCHR | 0000, makedev(0, 0)) != 0) {
      // The overlay's sign for a file that is not there.
      return fail("mknod " + path);
    }
  }
  return true;
}

bool EtcNamespace::mount_etc() {
  std::string options = "lowerdir=" + layer_ + ":" + kEtc;
  if (mount("overlay", kEtc, "overlay", MS_RDONLY, options.c_str()) != 0)
    return fail("overlay on /etc");
  mounts_.push_back(kEtc);
  return true;
}

bool EtcNamespace::set_files(const Files& files) {
  if (!ok()) return false;
  if (umount2(kEtc, MNT_DETACH) != 0) return fail("umount /etc");
  std::erase(mounts_, std::string(kEtc));
  return fill_layer(files) && mount_etc();
}

bool EtcNamespace::mount_tmpfs(const std::string& dir) {
  if (!ok()) return false;
  mkdir_p(dir);
  if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") != 0) return fail("tmpfs on " + dir);
  mounts_.push_back(dir);
  return true;
}

void EtcNamespace::leave() {
  for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
  mounts_.clear();
  if (entered_) {
    int saved = errno;
    setns(saved_ns_, CLONE_NEWNS);
    // Joining a mount namespace moves the working directory to its root.
    if (fchdir(saved_cwd_) != 0) ADD_FAILURE() << "fchdir: " << strerror(errno);
    entered_ = false;
    errno = saved;
  }
}

}  // namespace sorn_test
