// The remove command: options, checks, the kernel-module guard and the
// removal sequence.
#include "zarnout/remove.h"

#include <err.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "integrate/integrate.h"

namespace {

#ifdef __GLIBC__
constexpr const char kOptions[] = "+fr:vh";  // no argument permutation
#else
constexpr const char kOptions[] = "fr:vh";
#endif

constexpr const char kModulesDir[] = "lib/modules/";

struct RemoveOptions {
  bool force = false;
  const char* root_arg = nullptr;
  const char* name = nullptr;
};

[[noreturn]] void print_usage(void) {
  fputs("usage: zarnout [-f] [-r root] <package>\n"
        "  -r  alternative installation root\n"
        "  -f  override the kernel refusals\n",
        stderr);
  exit(1);
}

RemoveOptions parse_options(int argc, char** argv) {
  RemoveOptions opts;
  int c;
  while ((c = getopt(argc, argv, kOptions)) != -1) {
    switch (c) {
      case 'f': opts.force = true; break;
      case 'r': opts.root_arg = optarg; break;
      case 'v':
        printf("zarnout (sorn) %s\n", SORN_VERSION);
        exit(0);
      default: print_usage();
    }
  }
  if (optind >= argc) errx(1, "no package specified — try -h");
  if (argc - optind > 1) errx(1, "too many arguments");
  opts.name = argv[optind];
  return opts;
}

bool records_module_tree(const StringList* files) {
  if (files == nullptr) return false;
  for (uint64_t i = 0; i < files->in_use; i++)
    if (has_prefix(files->strings[i], kModulesDir)) return true;
  return false;
}

// Refuses, unless forced, to remove the modules that the system boots with.
void kernel_module_guard(const PackageDb* db, const PackageEntry* entry, const char* root,
                         const char* name) {
  struct utsname uts;
  const char* release = nullptr;
  if (root_is_running_system(root) && uname(&uts) == 0) release = uts.release;
  switch (kernel_guard_check(db, entry, name, release)) {
    case KernelRefusal::kRunningKernel:
      errx(1, "%s owns the running kernel's modules (lib/modules/%s) -- boot another kernel "
              "first, or -f to override", name, release);
    case KernelRefusal::kLastModuleTree:
      errx(1, "%s owns the last module tree under lib/modules/ -- removing it leaves no "
              "bootable kernel, or -f to override", name);
    case KernelRefusal::kNone: return;
  }
}

}  // namespace

bool root_is_running_system(const char* root) {
  if (strcmp(root, "/") == 0) return true;
  struct stat st, top;
  return stat(root, &st) == 0 && stat("/", &top) == 0 && st.st_dev == top.st_dev &&
         st.st_ino == top.st_ino;
}

KernelRefusal kernel_guard_check(const PackageDb* db, const PackageEntry* entry,
                                 const char* name, const char* release) {
  char running_prefix[kPathBuf] = "";
  if (release != nullptr) snprintf(running_prefix, sizeof running_prefix, "lib/modules/%s/", release);
  bool owns_tree = false;
  for (uint64_t i = 0; i < entry->files->in_use; i++) {
    const char* path = entry->files->strings[i];
    if (!has_prefix(path, kModulesDir)) continue;
    owns_tree = true;
    if (release != nullptr && has_prefix(path, running_prefix)) return KernelRefusal::kRunningKernel;
  }
  if (!owns_tree) return KernelRefusal::kNone;
  for (const PackageEntry* e = db->entries; e != nullptr; e = e->next)
    if (strcmp(e->name, name) != 0 && records_module_tree(e->files)) return KernelRefusal::kNone;
  return KernelRefusal::kLastModuleTree;
}

int zarnout_main(int argc, char** argv) {
  set_program_name("zarnout");
  ensure_standard_fds();
  RemoveOptions opts = parse_options(argc, argv);
  if (getuid() != 0) errx(1, "must be root to remove packages");
  const char* root = choose_root(opts.root_arg, getenv("PKG_ROOT"));

  PackageDbPtr db(db_open(root, true));
  recover_interrupted(db.get(), root);
  stage_leftovers_remove(root, nullptr);
  PackageEntry* entry = db_find(db.get(), opts.name);
  if (entry == nullptr) errx(1, "%s is not installed", opts.name);
  if (!opts.force) kernel_module_guard(db.get(), entry, root, opts.name);

  // From the first change to the root until the record is saved, an
  // intent in the database directory tells the next run how to finish.
  Intent intent;
  intent.op = "remove";
  intent.name = opts.name;
  if (intent_write(db.get(), intent) != 0) return 1;
  package_remove(db.get(), entry, root, opts.name);
  if (db_save(db.get()) != 0) {
    // db_save has printed the cause
    prog_error("files removed but database write failed — package may still appear as installed");
    return 1;
  }
  intent_remove(db.get());
  return 0;
}
