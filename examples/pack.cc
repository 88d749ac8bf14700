// Packs a package directory into a package file with package_create, as the
// distribution's build tooling does, and counts the compressed bytes as
// they pass:
//
//   pack [-c gz|zst|xz|bz2|lz] <package-dir> <name#version.pkg.tar.tag>
//
// An example of the library's use; it is built but not installed.
#include <err.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "archive/archive.h"

namespace {

struct Tally {
  size_t bytes = 0;
  size_t chunks = 0;
};

void count_bytes(const void* /*bytes*/, size_t length, void* user_data) {
  auto* tally = static_cast<Tally*>(user_data);
  tally->bytes += length;
  tally->chunks++;
}

[[noreturn]] void usage() {
  fprintf(stderr, "usage: pack [-c gz|zst|xz|bz2|lz] <package-dir> <package-file>\n");
  exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const char* tag = "zst";
  int opt;
#ifdef __GLIBC__
  const char* options = "+c:";
#else
  const char* options = "c:";
#endif
  while ((opt = getopt(argc, argv, options)) != -1) {
    if (opt != 'c') usage();
    tag = optarg;
  }
  if (argc - optind != 2) usage();
  const char* dir = argv[optind];
  const char* target = argv[optind + 1];

  Tally tally;
  if (package_create(target, dir, tag, count_bytes, &tally) != 0)
    return 1;  // package_create has printed the cause
  // The observer saw every byte of the file exactly once.
  struct stat st;
  if (stat(target, &st) != 0) err(1, "%s", target);
  if (static_cast<size_t>(st.st_size) != tally.bytes)
    errx(1, "%s: %lld bytes on disk, %zu seen", target, static_cast<long long>(st.st_size),
         tally.bytes);
  printf("%s: %zu compressed bytes in %zu chunks\n", target, tally.bytes, tally.chunks);
  return 0;
}
