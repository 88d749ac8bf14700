// wardrun for real: the built program restricts itself (never this test
// process) with the kernel's Landlock, its database records naming real
// host files, so that the shell and perl run inside. One perl probe per run
// tries many accesses and prints what each gave.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/chroot_root.h"
#include "support/support.h"
#include "wardrun/wardrun.h"

using sorn_test::ChrootRoot;
using sorn_test::mkdir_p;
using sorn_test::RunOptions;
using sorn_test::RunResult;
using sorn_test::ScopedEnv;
using sorn_test::shell_quote;
using sorn_test::TempDir;
using sorn_test::write_file;

namespace {

// Each argument "op|path[|path2]"; prints "op path: ok" or the error text.
// Plain perl without modules: nothing outside the records is needed.
const char kProbe[] = R"(
for my $c (@ARGV) {
  my ($op, $p, $q) = split(/\|/, $c);
  my $r;
  if ($op eq "read") { $r = open(F, "<", $p); close(F) if $r; }
  elsif ($op eq "write") { $r = open(F, ">>", $p); close(F) if $r; }
  elsif ($op eq "list") { $r = opendir(D, $p); closedir(D) if $r; }
  elsif ($op eq "rename") { $r = rename($p, $q); }
  elsif ($op eq "connect") {
    socket(S, 2, 1, 0) or die "socket: $!";
    $r = connect(S, pack("S n C4 x8", 2, $q, split(/\./, $p)));
  }
  elsif ($op eq "netdev" && open(F, "<", $p)) {
    my @n; while (<F>) { push @n, $1 if /^\s*([^:\s]+):/; } close(F);
    print "$op $p: @n\n"; next;
  }
  elsif ($op eq "flags") {
    socket(S, 2, 2, 0) or die "socket: $!";
    my $ifr = pack("a16 s x22", $p);
    if (ioctl(S, 0x8913, $ifr)) {
      print "$op $p: ", (unpack("x16 s", $ifr) & 1) ? "up" : "down", "\n"; next;
    }
  }
  print "$op $p: ", ($r ? "ok" : "$!"), "\n";
}
)";

struct Check {
  std::string op, path, path2;
  std::string want;  // "ok", an errno's text, or what the probe prints
};

std::string rel(const std::string& path) { return path.substr(1); }

constexpr uid_t kBuilder = 65534;  // the unprivileged package builder, gid the same

class Wardrun : public testing::Test {
 protected:
  void SetUp() override {
    abi_ = static_cast<int>(syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U));
    if (abi_ <= 0) GTEST_SKIP() << "Landlock is not available on this kernel: " << strerror(errno);
    if (ChrootRoot::find_program("perl").empty()) GTEST_SKIP() << "no perl for the probe";
    {
      // Nothing is granted under /var/tmp, unlike /tmp.
      ScopedEnv tmpdir("TMPDIR", "/var/tmp");
      base_.emplace();
    }
    chmod(base_->path().c_str(), 0755);
    chmod(tmp_.path().c_str(), 0777);
    for (const char* d : {"db", "src", "pkg", "work", "dl", "tree", "outside"}) mkdir_p(dir(d));
    write_file(dir("src/probe.pl"), kProbe);
    // The shell, perl, their libraries and the loader, under the names asked
    // for and the names they lead to.
    for (const char* program : {"/bin/sh", "/usr/bin/perl"}) {
      std::vector<std::string> objects = ChrootRoot::libraries_of(program);
      objects.insert(objects.begin(), program);
      for (const std::string& o : objects) {
        add_host_path(o);
        char real[PATH_MAX];
        if (realpath(o.c_str(), real) != nullptr) add_host_path(real);
      }
    }
  }

  std::string dir(const std::string& sub) const { return *base_ / sub; }

  void add_host_path(const std::string& path) {
    for (const std::string& p : host_) if (p == rel(path)) return;
    host_.push_back(rel(path));
  }

  // A record in the database's format; "bash" lists the host's programs.
  void record(const std::string& name, const std::vector<std::string>& paths) {
    db_ += name + "\n1.0-1\n";
    for (const std::string& p : paths) db_ += p + "\n";
    db_ += "\n";
  }

  using Env = std::map<std::string, std::optional<std::string>>;

  // The built wardrun with the given variables on top of PKG_DBDIR; the
  // build's variables that are not given are unset.
  RunResult wardrun(const std::vector<std::string>& args, const Env& env = {}, uid_t uid = 0) {
    write_file(dir("db/db"), db_);
    RunOptions opts;
    opts.env = env;
    opts.uid = uid;
    opts.gid = uid;
    std::vector<std::string> argv{WARDRUN_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    for (const char* v : {"SORN_MAKEDEPENDS", "SORN_DEPENDS", "SRC", "PKG", "SORN_WORK_DIR",
                          "TARVO_SOURCE_DIR", "CARGO_HOME"})
      opts.env.emplace(v, std::nullopt);  // what the test does not give is unset
    opts.env.emplace("PKG_DBDIR", dir("db"));
    opts.env.emplace("LC_ALL", "C");  // no locale files to look for inside
    opts.env.emplace("LANG", std::nullopt);
    return sorn_test::run(argv, opts);
  }

  // The probe run as "sh -c 'perl probe checks...'" with the expected output.
  std::vector<std::string> probe_args(const std::vector<Check>& checks, std::string* want) {
    std::string cmd = "exec perl " + shell_quote(dir("src/probe.pl"));
    for (const Check& c : checks) {
      std::string arg = c.op + "|" + c.path + (c.path2.empty() ? "" : "|" + c.path2);
      cmd += " " + shell_quote(arg);
      *want += c.op + " " + c.path + ": " + c.want + "\n";
    }
    return {"sh", "-c", cmd};
  }

  std::string abi_line(const char* profile) const {
    return "sorn: wardrun: Landlock ABI v" + std::to_string(abi_) + ", profile: " + profile + "\n";
  }

  static std::string base_warnings_except(const std::string& present) {
    std::string out;
    for (const char* name : base_packages)
      if (present != name)
        out += std::string("sorn: warning: warden: base package '") + name +
               "' not in db (renamed? removed?)\n";
    return out;
  }

  static std::string summary(size_t rules) {
    return "sorn: warden: " + std::to_string(rules) + " rules added from sorn db\n";
  }

  int abi_ = 0;
  std::optional<TempDir> base_;  // outside every granted tree
  TempDir tmp_;                  // under /tmp
  std::vector<std::string> host_;
  std::string db_;
};

const std::string kOk = "ok";
const std::string kDenied = strerror(EACCES);

TEST_F(Wardrun, StandardProfileGrantsWhatItShould) {
  write_file(dir("tree/listed"), "x");
  write_file(dir("tree/unlisted"), "x");
  write_file(dir("tree/moved"), "x");
  write_file(dir("outside/linked/secret"), "x");
  ASSERT_EQ(0, symlink(dir("outside/linked").c_str(), dir("tree/dirlink").c_str()));
  write_file(dir("outside/secret"), "x");
  write_file(dir("outside/leak"), "x");
  write_file(dir("src/a/f"), "x");
  write_file(dir("src/a/g"), "x");
  mkdir_p(dir("src/b"));
  // Only Landlock, not the modes, may refuse the builder.
  sorn_test::sh("chmod -R a+rwX " + shell_quote(dir("")));
  record("bash", host_);
  record("libfoo", {rel(dir("tree/")), rel(dir("tree/listed")), rel(dir("tree/gone")),
                    rel(dir("tree/dirlink")),  // a link to a directory, as tar lists it
                    // Its tail must not pass for a path of its own.
                    std::string(4095, 'x') + rel(dir("outside/leak"))});
  std::string want;
  std::vector<std::string> args = probe_args(
      {
          {"read", "/bin/sh", "", kOk},
          {"read", dir("tree/listed"), "", kOk},
          {"list", dir("tree"), "", kOk},
          {"read", dir("tree/unlisted"), "", kDenied},
          {"write", dir("tree/listed"), "", kDenied},
          {"read", dir("outside/secret"), "", kDenied},
          {"read", dir("outside/leak"), "", kDenied},
          {"list", dir("outside"), "", kDenied},
          {"write", dir("outside/new"), "", kDenied},
          {"list", dir("tree/dirlink"), "", kOk},
          {"read", dir("tree/dirlink/secret"), "", kDenied},
          {"list", "/etc", "", kOk},
          {"read", "/proc/self/status", "", kOk},
          {"write", "/dev/null", "", kOk},
          {"write", dir("src/new"), "", kOk},
          {"write", dir("pkg/new"), "", kOk},
          {"write", dir("work/new"), "", kOk},
          {"write", dir("dl/new"), "", kOk},
          {"write", tmp_ / "new", "", kOk},
          {"rename", dir("src/a/g"), dir("src/a/h"), kOk},
          // Between the build's directories (not with ABI 1), not out of a read-only one.
          {"rename", dir("src/a/f"), dir("src/b/f"), abi_ >= 2 ? kOk : strerror(EXDEV)},
          {"rename", dir("tree/moved"), dir("src/moved"), kDenied},
      },
      &want);
  RunResult r = wardrun(args, {{"SRC", dir("src")},
                                {"PKG", dir("pkg")},
                                {"SORN_WORK_DIR", dir("work")},
                                {"TARVO_SOURCE_DIR", dir("dl")},
                                {"SORN_MAKEDEPENDS", "bash"},
                                {"SORN_DEPENDS", " \tlibfoo\t "}},
                    kBuilder);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(want, r.out);
  EXPECT_EQ(abi_line("standard") + "sorn: warning: warden: dep 'libfoo' missing: " +
                dir("tree/gone") + "\n" + base_warnings_except("bash") +
                summary(host_.size() + 3) + "sorn: wardrun: sandbox engaged, executing: sh\n",
            r.err);
  EXPECT_TRUE(sorn_test::exists(dir("src/new")));
  EXPECT_FALSE(sorn_test::exists(dir("outside/new")));
}

TEST_F(Wardrun, RefusalsAndFailures) {
  record("bash", host_);
  record("libfoo", {rel(dir("tree/"))});
  std::string many, first256;
  for (int i = 0; i < 300; i++) {
    many += " p" + std::to_string(i);
    if (i < 256) first256 += "sorn: error: warden: dep 'p" + std::to_string(i) + "' not installed\n";
  }
  const std::string usage = "usage: wardrun [-p standard|cargo] <command> [args...]\n";
  const std::string sandboxed =
      abi_line("standard") + base_warnings_except("bash") + summary(host_.size());
  const std::string with_libfoo =
      abi_line("standard") + base_warnings_except("bash") + summary(host_.size() + 1);
  const struct {
    const char* what;
    std::vector<std::string> args;
    Env env;
    int status;
    std::string err;
  } cases[] = {
      {"no argument", {}, {}, 1, usage},
      {"a profile without a command", {"-p", "cargo"}, {}, 1, usage},
      {"an unknown profile", {"-p", "gcc", "make"}, {}, 1, "wardrun: unknown profile 'gcc'\n"},
      {"a lone -p is the command",
       {"-p"},
       {},
       127,
       sandboxed + "sorn: wardrun: sandbox engaged, executing: -p\n"
                   "sorn: error: wardrun: execvp '-p': " + strerror(ENOENT) + "\n"},
      {"a missing directory or variable is skipped",
       {"sh", "-c", "exit 7"},
       {{"SRC", "/nonexistent/src"}, {"PKG", ""}, {"SORN_DEPENDS", "libfoo"}},
       7,
       with_libfoo + "sorn: wardrun: sandbox engaged, executing: sh\n"},
      {"dependencies not installed",
       {"true"},
       {{"SORN_MAKEDEPENDS", "libfoo nothere"}, {"SORN_DEPENDS", "bash\tother"}},
       1,
       abi_line("standard") + base_warnings_except("bash") +
           "sorn: error: warden: dep 'nothere' not installed\n"
           "sorn: error: warden: dep 'other' not installed\n"},
      {"no more than 256 dependencies",
       {"true"},
       {{"SORN_MAKEDEPENDS", many}, {"SORN_DEPENDS", "zzz"}},
       1,
       abi_line("standard") + base_warnings_except("bash") + first256},
      {"no database",
       {"true"},
       {{"PKG_DBDIR", dir("outside")}},
       1,
       abi_line("standard") + "sorn: error: warden: cannot open db '" + dir("outside") +
           "/db': " + strerror(ENOENT) + "\n"},
  };
  for (const auto& c : cases) {
    RunResult r = wardrun(c.args, c.env);
    EXPECT_EQ(c.status, r.status) << c.what << "\n" << r.err;
    EXPECT_EQ(c.err, r.err) << c.what;
    EXPECT_EQ("", r.out) << c.what;
  }
}

class WardrunCargo : public Wardrun {
 protected:
  void SetUp() override {
    Wardrun::SetUp();
    if (IsSkipped()) return;
    record("bash", host_);
    for (const char* f :
         {"bin/cargo-x", "env", ".package-cache", "toolchains/t/rustc", "registry/r", "git/g"})
      write_file(dir(std::string("cargo/") + f), "x");
    sorn_test::sh("chmod -R a+rwX " + shell_quote(dir("cargo")) + " " + shell_quote(dir("src")));
  }
  Env cargo_env() { return {{"SRC", dir("src")}, {"CARGO_HOME", dir("cargo")}}; }
  // The builder owns its network namespace through a user namespace.
  bool builder_may_isolate() {
    RunOptions as;
    as.uid = as.gid = kBuilder;
    return sorn_test::run({"unshare", "-Un", "true"}, as).status == 0;
  }
};

TEST_F(WardrunCargo, NoNetworkAndNarrowerReads) {
  if (!builder_may_isolate()) GTEST_SKIP() << "the builder may not make a user namespace here";
  // A listener of this test process on 127.0.0.1, closed with it.
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(0, bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), len));
  ASSERT_EQ(0, listen(listener.get(), 1));
  ASSERT_EQ(0, getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len));
  std::string port = std::to_string(ntohs(addr.sin_port));
  std::string want;
  std::vector<std::string> args = probe_args(
      {
          {"netdev", "/proc/net/dev", "", "lo"},
          {"flags", "lo", "", "up"},
          // Landlock denies TCP from ABI 4; before, the namespace has no listener.
          {"connect", "127.0.0.1", port, abi_ >= 4 ? kDenied : strerror(ECONNREFUSED)},
          {"list", "/etc", "", kDenied},
          {"list", "/etc/ssl", "", kOk},
          {"read", "/etc/passwd", "", kOk},
          {"read", "/etc/group", "", kOk},
          {"read", "/etc/ld.so.cache", "", kOk},
          {"read", dir("cargo/bin/cargo-x"), "", kOk},
          {"read", dir("cargo/env"), "", kOk},
          {"read", dir("cargo/.package-cache"), "", kOk},
          {"read", dir("cargo/toolchains/t/rustc"), "", kOk},
          {"read", dir("cargo/registry/r"), "", kOk},
          {"write", dir("cargo/registry/new"), "", kOk},
          {"write", dir("cargo/git/new"), "", kOk},
          {"write", dir("cargo/bin/new"), "", kDenied},
          {"write", dir("src/new"), "", kOk},
          {"write", dir("pkg/new"), "", kDenied},
          {"write", tmp_ / "new", "", kOk},
          {"read", "/proc/self/status", "", kOk},
      },
      &want);
  RunResult r = wardrun({"-p", "cargo", args[0], args[1], args[2]}, cargo_env(), kBuilder);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(want, r.out);
  EXPECT_EQ(abi_line("cargo") + "sorn: wardrun: network namespace isolated\n" +
                base_warnings_except("bash") + summary(host_.size()) +
                "sorn: warden: cargo profile engaged\n"
                "sorn: wardrun: sandbox engaged, executing: sh\n",
            r.err);
}

TEST_F(WardrunCargo, UnprivilegedBuilderIsIsolatedAndKeepsItsFiles) {
  if (!builder_may_isolate()) GTEST_SKIP() << "the builder may not make a user namespace here";
  RunResult r = wardrun({"-p", "cargo", "sh", "-c", "echo ran; : > \"$SRC/mine\""},
                        cargo_env(), 65534);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("ran\n", r.out);
  EXPECT_EQ(abi_line("cargo") + "sorn: wardrun: network namespace isolated\n" +
                base_warnings_except("bash") + summary(host_.size()) +
                "sorn: warden: cargo profile engaged\n"
                "sorn: wardrun: sandbox engaged, executing: sh\n",
            r.err);
  struct stat st;
  ASSERT_EQ(0, stat(dir("src/mine").c_str(), &st));
  EXPECT_EQ(65534u, st.st_uid);
}

// A workspace with a library crate and a program using it, built by the
// toolchain `make check` installs. The "rust" record lists the directories
// that toolchain and its linker use, directories without their "/".
TEST_F(WardrunCargo, BuildsARustWorkspace) {
  if (access("/usr/bin/cargo", X_OK) != 0 || abi_ < 2)
    GTEST_SKIP() << "no /usr/bin/cargo, or Landlock ABI 1, which refuses rustc's renames";
  RunResult tools = sorn_test::run(
      {"find", "/usr/bin", "/usr/lib/gcc", "/usr/lib/rustlib", "/usr/lib/x86_64-linux-gnu"});
  std::istringstream found(tools.out);
  std::vector<std::string> paths;
  for (std::string line; std::getline(found, line);) paths.push_back(rel(line));
  record("rust", paths);
  write_file(dir("src/ws/Cargo.toml"),
             "[package]\nname = \"ws\"\nversion = \"0.1.0\"\nedition = \"2021\"\n[workspace]\n");
  write_file(dir("src/ws/src/lib.rs"), "pub fn answer() -> u32 { 42 }\n");
  write_file(dir("src/ws/src/main.rs"), "fn main() { println!(\"{}\", ws::answer()); }\n");
  sorn_test::sh("chmod -R a+rwX " + shell_quote(dir("src")));
  Env env = cargo_env();
  env.insert({{"SORN_MAKEDEPENDS", "rust"}, {"PATH", "/usr/bin"}, {"HOME", dir("src")},
              {"TMPDIR", dir("src")}});
  RunResult r = wardrun(
      {"-p", "cargo", "cargo", "build", "--offline", "--manifest-path", dir("src/ws/Cargo.toml")},
      env, kBuilder);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("42\n", sorn_test::run({dir("src/ws/target/debug/ws")}).out);
}

}  // namespace
