// Package file names, member listing and the extractions built on the
// decompressor | tar pipeline.
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive.h"

namespace {

constexpr const char kMarker[] = ".pkg.tar.";

constexpr std::array<const char*, 12> kTarballSuffixes{
    ".tar",     ".tar.gz",   ".tgz",     ".tar.bz2", ".tbz2",     ".tar.xz",
    ".txz",     ".tar.lz",   ".tar.lzma", ".tar.zst", ".tzst",    ".tar.Z"};

// An existing symbolic link to a directory in the target (a merged /usr's
// "lib -> usr/lib") must stay a link when the archive has that directory;
// tar would otherwise replace it with a real directory.
constexpr const char kKeepDirLinks[] = "--keep-directory-symlink";
// A directory that exists keeps its owner and mode: directories never
// conflict, so any package could otherwise re-own "usr/bin/" or the
// database directory. Directories the package creates get its metadata.
constexpr const char kKeepDirMetadata[] = "--no-overwrite-dir";

char* copy_span(const char* begin, const char* end) {
  size_t n = static_cast<size_t>(end - begin);
  char* out = static_cast<char*>(must_malloc(n + 1));
  memcpy(out, begin, n);
  out[n] = '\0';
  return out;
}

char* word(const char* s) { return const_cast<char*>(s); }

// Writes the exclusion file: every unconditional entry, then the conditional
// entries that already exist under root. False after a warning; the file is
// then closed but still on disk.
bool write_exclusions(int fd, const char* path, const char* root,
                      const StringList* conditional, const StringList* unconditional) {
  FILE* out = fdopen(fd, "w");
  if (out == nullptr) {
    warn("fdopen");
    close(fd);
    return false;
  }
  if (unconditional != nullptr) {
    for (uint64_t i = 0; i < unconditional->in_use; i++)
      if (unconditional->strings[i] != nullptr) fprintf(out, "%s\n", unconditional->strings[i]);
  }
  if (conditional != nullptr) {
    for (uint64_t i = 0; i < conditional->in_use; i++) {
      const char* entry = conditional->strings[i];
      if (entry == nullptr) continue;
      CharPtr full(root_path(root, entry));
      if (entry_exists(full.get())) fprintf(out, "%s\n", entry);
    }
  }
  // A short exclusion file would let tar overwrite what it had to skip (an
  // administrator's configuration), so a write error fails the extraction.
  bool ok = fflush(out) == 0 && !ferror(out);
  int saved_errno = errno;
  if (fclose(out) != 0) ok = false;
  if (!ok) {
    errno = saved_errno;
    warn("write error on %s", path);
  }
  return ok;
}

bool has_entries(const StringList* list) { return list != nullptr && list->in_use > 0; }

}  // namespace

int package_split_name(const char* package_path, char** name, char** version) {
  const char* slash = strrchr(package_path, '/');
  const char* base = slash != nullptr ? slash + 1 : package_path;
  const char* hash = strchr(base, '#');
  const char* marker = strstr(base, kMarker);
  if (hash == nullptr || marker == nullptr || marker < hash) return -1;
  *name = copy_span(base, hash);
  *version = copy_span(hash + 1, marker);
  return 0;
}

int package_inspect(const PackageFile& package, char** name, char** version,
                    StringList** members) {
  const char* package_path = package.path;
  char* name_raw = nullptr;
  char* version_raw = nullptr;
  if (package_split_name(package_path, &name_raw, &version_raw) != 0) {
    warnx("invalid package filename: %s", package_path);
    return -1;
  }
  CharPtr pkg_name(name_raw);
  CharPtr pkg_version(version_raw);
  StringListPtr list(strlist_new());
  char* argv[] = {word("tar"), word("-tf"), word("-"), nullptr};
  if (run_tar_pipeline(package, argv, list.get()) != 0) {
    warnx("cannot list %s", package_path);
    return -1;
  }
  *name = pkg_name.release();
  *version = pkg_version.release();
  *members = list.release();
  return 0;
}

int archive_extract_excluding(const PackageFile& package, const char* root,
                              const StringList* conditional,
                              const StringList* unconditional) {
  make_dirs(root, 0755);  // a failure shows up as tar's own error
  int result;
  if (!has_entries(conditional) && !has_entries(unconditional)) {
    char* argv[] = {word("tar"), word("-xpf"), word("-"), word("-C"), word(root),
                    word(kKeepDirLinks), word(kKeepDirMetadata), nullptr};
    result = run_tar_pipeline(package, argv, nullptr);
  } else {
    std::string path = strformat("%s/sorn-excl.XXXXXX", temp_dir());
    int fd = mkstemp(path.data());
    if (fd < 0) {
      warn("mkstemp");
      return -1;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (!write_exclusions(fd, path.c_str(), root, conditional, unconditional)) {
      unlink(path.c_str());
      return -1;
    }
    char* argv[] = {word("tar"), word("-xpf"), word("-"), word("-C"), word(root),
                    word(kKeepDirLinks), word(kKeepDirMetadata), word("--no-wildcards"),
                    word("--anchored"), word("-X"), path.data(), nullptr};
    result = run_tar_pipeline(package, argv, nullptr);
    unlink(path.c_str());
  }
  if (result != 0) {
    warnx("extraction failed for %s", package.path);
    return -1;
  }
  return 0;
}

int archive_extract_member_quiet(const PackageFile& package, const char* member,
                                 const char* dir) {
  int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    dup2(null_fd, STDERR_FILENO);
    close(null_fd);
  }
  char* argv[] = {word("tar"), word("-xf"), word("-"), word("-C"), word(dir),
                  word(member), nullptr};
  int result = run_tar_pipeline(package, argv, nullptr);
  if (saved >= 0) {
    dup2(saved, STDERR_FILENO);
    close(saved);
  }
  return result;
}

int archive_extract_members(const PackageFile& package, const StringList* members,
                            const char* dir) {
  if (!has_entries(members)) return 0;
  std::vector<char*> argv{word("tar"), word("-xpf"), word("-"), word("-C"), word(dir),
                          word(kKeepDirLinks)};
  for (uint64_t i = 0; i < members->in_use; i++)
    if (members->strings[i] != nullptr) argv.push_back(members->strings[i]);
  argv.push_back(nullptr);
  return run_tar_pipeline(package, argv.data(), nullptr);
}

int archive_extract_to_root(const PackageFile& package, const char* dir) {
  log_note("extracting %s", package.path);
  char* argv[] = {word("tar"), word("--no-same-owner"), word("-C"), word(dir),
                  word(kKeepDirLinks), word(kKeepDirMetadata), word("-xf"), word("-"), nullptr};
  if (run_tar_pipeline(package, argv, nullptr) != 0) {
    warnx("failed to extract: %s", package.path);
    return -1;
  }
  return 0;
}

bool is_tarball_name(const char* name) {
  if (name == nullptr) return false;
  for (const char* suffix : kTarballSuffixes)
    if (has_suffix(name, suffix)) return true;
  return false;
}
