// Every access to package archives: the external tar fed through a pipe by
// the decompressor that the file's magic number selects.
#pragma once

#include "util/util.h"

// "gz", "zst", "xz", "bz2" or "lz"; nullptr when none was recognised.
using CompressionTag = const char*;

// The compression of a package file from its first six bytes, or nullptr.
CompressionTag detect_compression(const char* package_path);
// Runs in the decompressor child with its stdin and stdout in place: execs
// each candidate of the tag in turn (cat for null or any other word).
// Returns only when none could be started.
void exec_decompressor(CompressionTag tag);
// Decompressor | tar argv, tar reading the pipe as stdin. With capture, tar's
// output lines are appended to it (newline cut, empty lines dropped).
// 0 when both children succeeded, -1 otherwise.
int run_tar_pipeline(const char* package_path, char* const* tar_argv,
                     StringList* capture);
// Splits the file name into name and version and lists the members. On
// success the three outputs are new and owned by the caller; 0 / -1.
int package_inspect(const char* package_path, char** name, char** version,
                    StringList** members);
// Extracts the whole package into root, skipping every unconditional entry
// and every conditional entry that already exists under root. 0 / -1.
int archive_extract_excluding(const char* package_path, const char* root,
                              const StringList* conditional,
                              const StringList* unconditional);
// Extracts one member into dir with every diagnostic silenced. 0 / -1.
int archive_extract_member_quiet(const char* package_path, const char* member,
                                 const char* dir);
// Extracts the listed members into dir; 0 without a process when the list
// is null or empty. 0 / -1.
int archive_extract_members(const char* package_path, const StringList* members,
                            const char* dir);
// Extracts the whole package into dir without keeping owners. 0 / -1.
int archive_extract_to_root(const char* package_path, const char* dir);
// The name ends in one of the twelve tarball suffixes.
bool is_tarball_name(const char* name);

// Prints the package's footprint on stdout in archive order (the caller
// flushes). 0, or -1 when the listing fails.
int print_footprint(const char* package_path);

// ---------------------------------------------------------------- creation

// One entry of a package directory: its path relative to the directory (a
// directory's ends in "/") and its type in st_mode form (links not
// followed), which orders it.
struct PackageMember {
  char* path;
  mode_t mode;
};

// Receives each chunk of compressed output, in order, before it is written
// to the package file: every byte of the file exactly once.
using PackageObserver = void (*)(const void* bytes, size_t length, void* user_data);

// Packs every entry of package_dir (dot-files included, links not followed)
// into target with tar and the compressor of tag ("gz", "zst", "xz", "bz2",
// "lz"; gzip for null, empty or any other word). Notes "compressing
// package", reports failures with warn/warnx and removes a target it
// created. Not re-entrant. 0 / -1.
int package_create(const char* target, const char* package_dir, CompressionTag tag,
                   PackageObserver observer, void* user_data);
// The archive order, for qsort over PackageMember: by the directory part,
// then directory / other / symlink, then the whole path.
int compare_package_members(const void* a, const void* b);
// Runs in the compressor child with its stdin and stdout in place: execs
// each candidate of the tag in turn. Returns only when none could be started.
void exec_compressor(CompressionTag tag);

// ---------------------------------------------------------------- signing keys

// Finds the file ending in ".pub" in "/etc/ports/keys" whose key line equals
// the key line of text (the first line that is neither blank nor an
// "untrusted comment:"). 0 with the file's path written into buf (cut to
// size), or -1 with buf untouched. Prints nothing.
int find_signing_key(const char* text, char* buf, size_t size);
