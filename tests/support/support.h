// Shared helpers of the tests: scratch directories, files, running the
// built programs, and package archives made with the real tar.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "util/util.h"

namespace sorn_test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

struct RunResult {
  int status = -1;  // exit status; 128 + signal when killed
  std::string out;
  std::string err;
};

struct RunOptions {
  // Variables to set (a value) or remove (nullopt) on top of the environment.
  std::map<std::string, std::optional<std::string>> env;
  std::string input;           // standard input
  std::string cwd;             // working directory, unchanged when empty
  uid_t uid = 0;               // run as this user (and its gid) when non-zero
  gid_t gid = 0;
};

// Runs argv[0] (searched on PATH) and collects its status and output.
RunResult run(const std::vector<std::string>& argv, const RunOptions& opts = {});

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
bool exists(const std::string& path);  // lstat succeeds
bool is_symlink(const std::string& path);
mode_t file_mode(const std::string& path);  // the low twelve bits (lstat)
void mkdir_p(const std::string& path, mode_t mode = 0755);
// The names in dir but "." and "..", in directory order.
std::vector<std::string> entries_of(const std::string& dir);

// Sets an environment variable of the test process (removes it for null)
// and puts the old state back at the end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A package tree built in a scratch directory and packed with the real tar.
class PackageTree {
 public:
  PackageTree& file(const std::string& path, const std::string& content, mode_t mode = 0644);
  PackageTree& dir(const std::string& path, mode_t mode = 0755);
  PackageTree& symlink(const std::string& path, const std::string& target);
  PackageTree& hardlink(const std::string& path, const std::string& target);
  // Runs a shell command inside the tree (mknod and the like).
  PackageTree& shell(const std::string& command);
  const std::string& path() const { return dir_.path(); }

  // Packs the tree into dir/file_name, the members in name order as
  // "etc/", "etc/foo.conf", ... The compressor follows the file name's last
  // word (gz, zst, xz, bz2, lz; anything else: plain tar) unless given
  // ("gzip", "zstd", "xz", "bzip2", "lzip", "none"). Returns the path.
  std::string pack(const std::string& dir, const std::string& file_name,
                   const std::string& compressor = "") const;

 private:
  TempDir dir_;
};

// A new list holding copies of items, in order.
StringListPtr list_of(const std::vector<std::string>& items);
// The strings of a list in order; a null slot reads "<null>".
std::vector<std::string> strings_of(const StringList* list);

// The shell quoting of one word.
std::string shell_quote(const std::string& word);
// Runs "sh -c command" and fails the test when it exits non-zero.
void sh(const std::string& command);

// Every entry under dir, named relative to it, with its kind, mode, owners,
// link count, size (but of directories) and link target, then the digest of
// each file: equal states mean the same tree down to the bytes. Times are
// left out. kTreeState lists the working directory so.
extern const std::string kTreeState;
std::string tree_state(const std::string& dir);
// The entries under dir that a zarnin run holds while it works and must not
// leave behind (".zarnin-staging.*", ".zarnin-new.*"), one a line.
extern const std::string kWorkLeftovers;
std::string work_leftovers(const std::string& dir);

// Runs the shell commands one after the other, "$0" being dir; with tmpfs
// options, all of them in a child's private mount namespace with a tmpfs on
// "$0/at", which the test process and the host never see and which ends
// with the commands. Each command's status, output and errors.
std::vector<RunResult> run_steps(const std::string& dir, const std::vector<std::string>& commands,
                                 const RunOptions& opts = {}, const std::string& tmpfs = "",
                                 const std::string& at = ".");

// What a table of candidate programs starts: exec(arg) runs in a child whose
// PATH holds only stand-ins for the programs in present, each printing its
// name and arguments. The child's wait status and what it printed.
struct CandidateRun {
  int status = -1;
  std::string out;
};
CandidateRun run_candidates(void (*exec)(const char*), const char* arg,
                            const std::vector<std::string>& present);

}  // namespace sorn_test
