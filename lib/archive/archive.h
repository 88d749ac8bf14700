// Every access to package archives: the external tar fed through a pipe by
// the decompressor that the file's magic number selects.
#pragma once

#include <functional>

#include "util/util.h"

// "gz", "zst", "xz", "bz2" or "lz"; nullptr when none was recognised.
using CompressionTag = const char*;

// A package as the archive passes read it. path names it (file-name parsing,
// messages); fd, when not -1, is the package file already open, and every
// pass reads it from offset 0 instead of opening path again, so that all
// passes see the same file. The caller owns fd. A path alone converts.
// plain: fd holds the package's plain tar stream (archive_decompress), which
// each pass gives to tar from offset 0 with no decompressor.
struct PackageFile {
  PackageFile(const char* package_path, int package_fd = -1,  // NOLINT: converts
              bool plain_tar = false)
      : path(package_path), fd(package_fd), plain(plain_tar) {}
  const char* path;
  int fd;
  bool plain;
};

// The open package (fd) starts with no known compression's magic number:
// tar reads it as it is. False when it cannot be read.
bool package_is_plain(const PackageFile& package);
// The compression of a package file from its first six bytes, or nullptr.
CompressionTag detect_compression(const char* package_path);
// Runs in the decompressor child with its stdin and stdout in place: execs
// each candidate of the tag in turn (cat for null or any other word).
// Returns only when none could be started.
void exec_decompressor(CompressionTag tag);
// Decompressor | tar argv, tar reading the pipe as stdin (a plain package:
// tar alone, reading its file). With capture, tar's output lines are
// appended to it (newline cut, empty lines dropped). 0 when the children
// succeeded, -1 otherwise.
int run_tar_pipeline(const PackageFile& package, char* const* tar_argv,
                     StringList* capture);
// Splits the base name of package_path ("name#version.pkg.tar.*") at its
// first "#" and its first ".pkg.tar." after it. 0 with two new strings owned
// by the caller, or -1 (nothing printed, outputs untouched).
int package_split_name(const char* package_path, char** name, char** version);
// The package's plain tar stream, for a caller that reads the package
// several times: an uncompressed package's own file, or an unlinked
// temporary file in TMPDIR that one run of the decompressor has filled. A
// new close-on-exec descriptor at offset 0, owned by the caller; -1 when the
// file cannot be made or written (a read-only or full TMPDIR) or the
// decompressor fails. Prints nothing but the messages of a decompressor that
// succeeded: after -1 the caller reads the package through the pipeline,
// whose first pass reports what went wrong.
int archive_decompress(const PackageFile& package);
// Copies what fd holds, from offset 0, to standard error.
void archive_replay_messages(int fd);
// One pass over the package: decompressor | "tar -xvvp" into dir, which
// exists (the package is opened by path when its fd is -1). Appends tar's
// long listing to listing, one line each (newline cut, empty lines
// dropped), with every name and link target in C quoting
// (listing_line_unquote turns a line into the form "tar -tv" prints). What
// the decompressor and tar print on standard error goes to messages_fd
// (standard error for -1). Without listing, tar extracts quietly in its
// default quoting. 0 when both children succeeded, -1 otherwise.
int archive_extract_listed(const PackageFile& package, const char* dir, StringList* listing,
                           int messages_fd);
// The same, handing each line of the listing to sink while tar still
// extracts (a few milliseconds after tar wrote it), so that the caller's
// work on the listing overlaps the extraction. Lines come as listing would
// hold them; after -1 they may be only the first part of the listing.
using ListingSink = std::function<void(const char* line)>;
int archive_extract_listed(const PackageFile& package, const char* dir, const ListingSink& sink,
                           int messages_fd);
// The base name of package_path has a "#" and, after it, ".pkg.tar.".
bool package_name_valid(const char* package_path);
// Splits the file name into name and version and lists the members. On
// success the three outputs are new and owned by the caller; 0 / -1.
int package_inspect(const PackageFile& package, char** name, char** version,
                    StringList** members);
// Extracts the whole package into root, skipping every unconditional entry
// and every conditional entry that already exists under root; directories
// that exist keep their owner and mode. 0 / -1.
int archive_extract_excluding(const PackageFile& package, const char* root,
                              const StringList* conditional,
                              const StringList* unconditional);
// Extracts one member into dir with every diagnostic silenced. 0 / -1.
int archive_extract_member_quiet(const PackageFile& package, const char* member,
                                 const char* dir);
// Extracts the listed members into dir; 0 without a process when the list
// is null or empty. 0 / -1.
int archive_extract_members(const PackageFile& package, const StringList* members,
                            const char* dir);
// Extracts the whole package into dir without keeping owners; directories
// that exist keep their owner and mode. 0 / -1.
int archive_extract_to_root(const PackageFile& package, const char* dir);
// The name ends in one of the twelve tarball suffixes.
bool is_tarball_name(const char* name);

// The footprint line (without its newline) of one line of tar's verbose
// listing; false, with out untouched, for a line shorter than ten bytes.
bool footprint_line(const char* listing_line, std::string& out);
// A line of archive_extract_listed's listing in the form "tar -tv" prints
// it: each C-quoted string (the name, a link target) unquoted to tar's
// default quoting, in which only a backslash escape stays escaped. name
// gets the member name as "tar -t" lists it. False, with both outputs
// undefined, for a line that holds no quoted name.
bool listing_line_unquote(const char* quoted_line, std::string& line, std::string& name);
// Prints the package's footprint on stdout in archive order (the caller
// flushes). 0, or -1 when the listing fails.
int print_footprint(const PackageFile& package);
// Appends to into what the hard-link line of a listing may name as its
// target: the text after each occurrence of sep (" link to " in tar's
// verbose listing, " -> " in a footprint line), since a name that holds sep
// itself makes the split ambiguous. Lines whose mode does not begin with
// "h" name none.
void listing_link_targets(const char* line, const char* sep, StringList* into);
// The hard-link targets of the package, from tar's verbose listing
// (listing_link_targets of every line). 0, or -1 after "cannot read %s".
int archive_link_targets(const PackageFile& package, StringList* into);

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
