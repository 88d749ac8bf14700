#include "support/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "util/util.h"

extern char** environ;

// Allocation-failure tests want malloc's own null, not the sanitizer's abort.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace sorn_test {

TempDir::TempDir() {
  std::string tmpl = std::string(temp_dir()) + "/sorn-test.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    abort();
  }
  path_ = tmpl;
}

TempDir::~TempDir() {
  // A test may leave read-only directories behind; make them writable first.
  sh("chmod -R u+rwx " + shell_quote(path_) + " 2>/dev/null; rm -rf " + shell_quote(path_));
}

namespace {

std::vector<std::string> build_env(const RunOptions& opts) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; e++) {
    const char* eq = strchr(*e, '=');
    if (eq != nullptr) vars[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [k, v] : opts.env) {
    if (v)
      vars[k] = *v;
    else
      vars.erase(k);
  }
  // Leak reports of a program that exits on purpose with memory in use are
  // noise; the unit tests keep leak checking on.
  if (!vars.count("ASAN_OPTIONS")) vars["ASAN_OPTIONS"] = "detect_leaks=0";
  std::vector<std::string> out;
  for (const auto& [k, v] : vars) out.push_back(k + "=" + v);
  return out;
}

void drain(int fd, std::string& into, bool& open) {
  char buf[65536];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0)
    into.append(buf, static_cast<size_t>(n));
  else if (n == 0 || (errno != EINTR && errno != EAGAIN))
    open = false;
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const RunOptions& opts) {
  std::vector<std::string> env = build_env(opts);
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);

  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC)) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return {};
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
    if (opts.uid != 0 && (setgid(opts.gid) != 0 || setuid(opts.uid) != 0)) _exit(126);
    environ = cenv.data();
    execvp(cargv[0], cargv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult r;
  // Feed the input, then close it so the child sees its end.
  size_t off = 0;
  while (off < opts.input.size()) {
    ssize_t n = write(in_pipe[1], opts.input.data() + off, opts.input.size() - off);
    if (n <= 0 && errno != EINTR) break;
    if (n > 0) off += static_cast<size_t>(n);
  }
  close(in_pipe[1]);
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (out_open && fds[0].revents) drain(out_pipe[0], r.out, out_open);
    if (err_open && fds[1].revents) drain(err_pipe[0], r.err, err_open);
    if (!out_open) fds[0].fd = -1;
  }
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = wait_child(pid);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
  std::string parent = path.substr(0, path.rfind('/'));
  if (!parent.empty()) mkdir_p(parent);
  unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
  ASSERT_EQ(static_cast<ssize_t>(content.size()), write(fd, content.data(), content.size()));
  fchmod(fd, mode);
  close(fd);
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool is_symlink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

mode_t file_mode(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return static_cast<mode_t>(-1);
  return st.st_mode & 07777;
}

void mkdir_p(const std::string& path, mode_t mode) {
  if (make_dirs(path.c_str(), mode) != 0) ADD_FAILURE() << "mkdir " << path << ": " << strerror(errno);
}

std::vector<std::string> entries_of(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.push_back(e->d_name);
    closedir(d);
  }
  return out;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = getenv(name)) old_ = old;
  if (value != nullptr)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (old_)
    setenv(name_.c_str(), old_->c_str(), 1);
  else
    unsetenv(name_.c_str());
}

PackageTree& PackageTree::file(const std::string& path, const std::string& content, mode_t mode) {
  write_file(dir_ / path, content, mode);
  return *this;
}

PackageTree& PackageTree::dir(const std::string& path, mode_t mode) {
  mkdir_p(dir_ / path, mode);
  chmod((dir_ / path).c_str(), mode);
  return *this;
}

PackageTree& PackageTree::symlink(const std::string& path, const std::string& target) {
  std::string full = dir_ / path;
  mkdir_p(full.substr(0, full.rfind('/')));
  if (::symlink(target.c_str(), full.c_str()) != 0) ADD_FAILURE() << "symlink " << full;
  return *this;
}

PackageTree& PackageTree::hardlink(const std::string& path, const std::string& target) {
  std::string full = dir_ / path;
  mkdir_p(full.substr(0, full.rfind('/')));
  if (::link((dir_ / target).c_str(), full.c_str()) != 0) ADD_FAILURE() << "link " << full;
  return *this;
}

PackageTree& PackageTree::shell(const std::string& command) {
  sh("cd " + shell_quote(dir_.path()) + " && " + command);
  return *this;
}

std::string PackageTree::pack(const std::string& dir, const std::string& file_name,
                              const std::string& compressor) const {
  std::string how = compressor;
  if (how.empty()) {
    std::string last = file_name.substr(file_name.rfind('.') + 1);
    how = last == "gz" ? "gzip" : last == "zst" ? "zstd" : last == "xz" ? "xz"
        : last == "bz2" ? "bzip2" : last == "lz" ? "lzip" : "none";
  }
  std::string out = dir + "/" + file_name;
  std::string filter = how == "none" ? "cat" : how == "zstd" ? "zstd -q -c" : how + " -c";
  // Every entry, parents before children, in byte order of the names.
  sh("cd " + shell_quote(dir_.path()) +
     " && find . -mindepth 1 | sed 's|^\\./||' | LC_ALL=C sort | "
     "tar --owner=root --group=root --no-recursion --verbatim-files-from -cf - -T - | " +
     filter + " > " + shell_quote(out));
  return out;
}

StringListPtr list_of(const std::vector<std::string>& items) {
  StringListPtr list(strlist_new());
  for (const auto& s : items) strlist_add(list.get(), s.c_str());
  return list;
}

std::vector<std::string> strings_of(const StringList* list) {
  std::vector<std::string> out;
  for (uint64_t i = 0; i < list->in_use; i++)
    out.push_back(list->strings[i] != nullptr ? list->strings[i] : "<null>");
  return out;
}

std::string shell_quote(const std::string& word) {
  std::string q = "'";
  for (char c : word) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

void sh(const std::string& command) {
  int status = system(command.c_str());
  if (status != 0) ADD_FAILURE() << "command failed (" << status << "): " << command;
}

const std::string kTreeState =
    "find . -type d -printf '%p %y %m %U %G %n\\n' -o -printf '%p %y %m %U %G %n %s %l\\n' "
    "| LC_ALL=C sort && find . -type f -exec md5sum {} + | LC_ALL=C sort";
const std::string kWorkLeftovers = "find . -name '.zarnin-staging.*' -o -name '.zarnin-new.*'";

static std::string listed(const std::string& dir, const std::string& script) {
  RunResult r = run({"sh", "-c", "cd \"$0\" && " + script, dir});
  if (r.status != 0) ADD_FAILURE() << "listing " << dir << ": " << r.err;
  return r.out;
}

std::string tree_state(const std::string& dir) { return listed(dir, kTreeState); }
std::string work_leftovers(const std::string& dir) { return listed(dir, kWorkLeftovers); }

std::vector<RunResult> run_steps(const std::string& dir, const std::vector<std::string>& commands,
                                 const RunOptions& opts, const std::string& tmpfs, const std::string& at) {
  TempDir out;
  std::string script = tmpfs.empty() ? "" : "mkdir -p \"$0\"/" + at + " && mount -t tmpfs -o " +
                                                shell_quote(tmpfs) + " tmpfs \"$0\"/" + at + " || exit 1\n";
  for (size_t i = 0; i < commands.size(); i++) {
    std::string f = shell_quote(out / std::to_string(i));
    script += "(" + commands[i] + ") >" + f + ".out 2>" + f + ".err; echo $? >" + f + ".st\n";
  }
  std::vector<std::string> argv{"sh", "-c", script, dir};
  if (!tmpfs.empty()) argv.insert(argv.begin(), {"unshare", "-m", "--propagation", "private"});
  RunResult r = run(argv, opts);
  if (r.status != 0) ADD_FAILURE() << "steps in " << dir << ": " << r.err;
  std::vector<RunResult> results(commands.size());
  for (size_t i = 0; i < commands.size() && r.status == 0; i++) {
    std::string f = out / std::to_string(i);
    results[i] = {std::stoi(read_file(f + ".st")), read_file(f + ".out"), read_file(f + ".err")};
  }
  return results;
}

CandidateRun run_candidates(void (*exec)(const char*), const char* arg,
                            const std::vector<std::string>& present) {
  TempDir bin;
  for (const std::string& prog : present)
    write_file(bin / prog,
               "#!/bin/sh\nprintf %s \"${0##*/}\"; for a; do printf ' %s' \"$a\"; done; echo\n",
               0755);
  ScopedEnv path("PATH", bin.path().c_str());
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return {};
  UniqueFd read_end(p[0]), write_end(p[1]);
  struct Hook {
    void (*exec)(const char*);
    const char* arg;
  } hook{exec, arg};
  ChildSpec cmd{.stdout_fd = write_end.get(),
                .exec_hook = [](const void* h) {
                  static_cast<const Hook*>(h)->exec(static_cast<const Hook*>(h)->arg);
                },
                .exec_arg = &hook};
  Child child(spawn_child(cmd));
  write_end.reset();
  CandidateRun run;
  char buf[256];
  ssize_t n;
  while ((n = read(read_end.get(), buf, sizeof buf)) > 0) run.out.append(buf, static_cast<size_t>(n));
  run.status = child.wait();
  return run;
}

}  // namespace sorn_test
