// The install command: options, preconditions, the mode, conflicts, the
// commit of the staged package, removal of what the new version dropped,
// and registration.
#include "zarnin/install.h"

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <functional>

#include "archive/archive.h"
#include "db/db.h"
#include "integrate/integrate.h"
#include "zarnin/config.h"
#include "zarnin/commit.h"
#include "zarnin/confine.h"
#include "zarnin/footprint.h"
#include "zarnin/plan.h"
#include "zarnin/stage.h"

namespace {

#ifdef __GLIBC__
constexpr const char kOptions[] = "+ufr:vh";  // no argument permutation
#else
constexpr const char kOptions[] = "ufr:vh";
#endif

struct InstallOptions {
  bool upgrade = false;
  bool force = false;
  const char* root_arg = nullptr;
  const char* package = nullptr;
};

[[noreturn]] void print_usage(void) {
  fputs("usage: zarnin [-u] [-f] [-r root] <pkg.tar.gz>\n"
        "  -u  upgrade installed package\n"
        "  -f  force install, overwrite conflicts\n"
        "  -r  alternative installation root\n",
        stderr);
  exit(1);
}

InstallOptions parse_options(int argc, char** argv) {
  InstallOptions opts;
  int c;
  while ((c = getopt(argc, argv, kOptions)) != -1) {
    switch (c) {
      case 'u': opts.upgrade = true; break;
      case 'f': opts.force = true; break;
      case 'r': opts.root_arg = optarg; break;
      case 'v':
        printf("zarnin (sorn) %s\n", SORN_VERSION);
        exit(0);
      default: print_usage();
    }
  }
  if (optind >= argc) errx(1, "no package specified — try -h");
  if (argc - optind > 1) errx(1, "too many arguments");
  opts.package = argv[optind];
  return opts;
}

// Refusals of the decision table; returns only for an install to go ahead.
void refuse_mode(InstallMode mode, const char* name, const char* version,
                 const PackageEntry* installed) {
  switch (mode) {
    case InstallMode::kNotInstalled: errx(1, "%s is not installed", name);
    case InstallMode::kAlreadyInstalled:
      errx(1, "%s %s is already installed (use -f to force)", name, version);
    case InstallMode::kOtherInstalled:
      errx(1, "%s %s is installed (use -u to upgrade)", name, installed->version);
    default: return;
  }
}

void refuse_conflicts(const char* name, const StringList* conflicts) {
  prog_error("package %s conflicts with installed files:", name);
  for (uint64_t i = 0; i < conflicts->in_use; i++) fprintf(stderr, "  %s\n", conflicts->strings[i]);
  errx(1, "use -f to force");
}

// What an upgrade does with the paths the new version no longer has, made
// before the commit so that the intent can name it, done after it.
struct DropPlan {
  enum class Note { kLinkKept, kOrphan, kUnsafe };
  StringListPtr dropped{strlist_new()};  // ascending byte order
  std::vector<std::pair<Note, std::string>> notes;  // in the order they are printed
  std::vector<std::string> deletions;  // full paths, contents before their directories
  std::vector<std::string> unlinks;    // stale ".new" files, full paths
};

// The installed paths that the new version lacks and no other package
// lists under any spelling, to delete contents before their directories;
// configuration files are kept, and so are the directory links that other
// packages' paths go through, and a path whose directory leads out of root.
// Then the stale ".new" files of dropped configuration files. Prints
// nothing.
DropPlan plan_dropped(PackageDb* db, const char* root, const char* name, const DirLinks& links,
                      PackageEntry* installed, const StringList* members) {
  DropPlan plan;
  plan.dropped.reset(install_dropped(installed->files, members));
  StringListPtr obsolete(install_obsolete(db, name, plan.dropped.get(), &links, members));
  RootGuard guard(root);
  for (uint64_t i = 0; i < obsolete->in_use; i++) {
    const char* path = obsolete->strings[i];
    if (links.link_used(links.link_at(path), db, name, members)) {
      plan.notes.emplace_back(DropPlan::Note::kLinkKept, path);
    } else if (has_prefix(path, "etc/") && !has_suffix(path, "/")) {
      plan.notes.emplace_back(DropPlan::Note::kOrphan, path);
    } else if (!guard.parent_inside(path)) {
      plan.notes.emplace_back(DropPlan::Note::kUnsafe, path);
    } else {
      CharPtr full(root_path(root, path));
      plan.deletions.emplace_back(full.get());
    }
  }
  std::vector<std::string> unsafe;
  config_stale_new(root, installed->files, members, plan.unlinks, unsafe);
  for (std::string& path : unsafe) plan.notes.emplace_back(DropPlan::Note::kUnsafe, std::move(path));
  return plan;
}

void print_drop_notes(const DropPlan& plan, const char* root) {
  for (const auto& [note, path] : plan.notes) {
    switch (note) {
      case DropPlan::Note::kLinkKept:
        fprintf(stderr, "zarnin: notice: keeping link used by other packages: %s\n", path.c_str());
        break;
      case DropPlan::Note::kOrphan: config_keep_orphan(root, path.c_str()); break;
      case DropPlan::Note::kUnsafe: warnx("skipping unsafe path: %s", path.c_str()); break;
    }
  }
}

// Deletes what the plan names; a non-empty directory stays, and every
// failure is silent.
void apply_drops(const std::vector<std::string>& deletions, const std::vector<std::string>& unlinks) {
  for (const std::string& path : deletions) remove(path.c_str());
  for (const std::string& path : unlinks) unlink(path.c_str());
}

// The package file, opened once: every pass reads this descriptor, so a file
// renamed over the name meanwhile is never read, and what the checks saw is
// what lands. O_NONBLOCK so that a fifo is refused instead of waiting for a
// writer. Invalid when it cannot be opened (package_inspect then reports
// why).
UniqueFd open_package(const char* path) {
  UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return fd;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) errx(1, "not a regular file: %s", path);
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// Refuses a package that would write outside root or over the database.
// Hard links are made to their target as it stands in root, so the targets
// are checked too: from the footprint pass when it ran, else from a
// listing of their own, which only a root other than "/" needs.
void refuse_escaping(const PackageFile& package, const StringList* members, const char* root,
                     bool footprint_listed, StringList* link_targets, const StringList* listing) {
  if (!footprint_listed && strcmp(root, "/") != 0) {
    if (listing != nullptr) {
      for (uint64_t i = 0; i < listing->in_use; i++)
        listing_link_targets(listing->strings[i], " link to ", link_targets);
    } else if (archive_link_targets(package, link_targets) != 0) {
      exit(1);  // archive_link_targets has printed the cause
    }
  }
  CharPtr db_dir(db_dir_for(root));
  if (const char* refused = install_first_escaping(members, link_targets, root, db_dir.get()))
    errx(1, "unsafe path in package: %s", refused);
}

// Puts the staged package in place, the configuration files of an upgrade
// beside the ones on disk. 0, or -1 after the cause is printed (with the
// words of a failed extraction) and with the root as it was.
// The configuration files of the install: the setting, the package, and
// what the commit does with them.
struct ConfigWork {
  ConfigUpgrade setting;
  const PackageDb* db;
  const char* name;
  ConfigPlan plan;
};

int commit(InstallMode mode, const PackageFile& package, Staging& staging, const char* root,
           StringListPtr& members, StringList* keep, StringList* not_written, ConfigWork& work,
           const std::function<CommitRecord(const StringList*)>& record, CommitResult& result) {
  // A package that the one pass could not unpack (a root still missing
  // then, a full disk, a member tar will not write) but that lists as it
  // should gets a second pass here, whose failure tar and the
  // decompressor report in their own words.
  if (!staging.unpacked) stage_package_quietly(package, root, staging);
  if (!staging.unpacked) {
    warnx("extraction failed for %s", package.path);
    return -1;
  }
  // tar lists headers that it never writes (a volume label); a recorded
  // path must name what the extraction wrote, or a later upgrade deletes a
  // stranger that stands at that path.
  members.reset(stage_extracted(staging, members.get(), not_written));
  StringListPtr config(mode == InstallMode::kUpgrade ? config_existing(root, members.get(), keep)
                                                     : strlist_new());
  // The configuration files as the package ships them, before a merge
  // writes over the staged ones.
  int built = pristine_build(work.db, work.name, staging.dir.c_str(), members.get());
  if (built < 0) {
    warnx("extraction failed for %s", package.path);
    return -1;
  }
  std::string old_store = pristine_path(work.db, work.name, "");
  if (built > 0)
    work.plan.pristine = "swap";
  else if (!old_store.empty() && entry_exists(old_store.c_str()))
    work.plan.pristine = "drop";
  if (mode == InstallMode::kUpgrade)
    config_plan_upgrade(work.setting, work.db, work.name, root, staging.dir.c_str(), config, keep,
                        work.plan);
  CommitRequest request{root, &staging, members.get(), keep, config.get(), record(members.get())};
  if (install_commit(request, result) != 0) {
    config_merges_unlink(work.plan.merges);
    pristine_discard(work.db, work.name);
    warnx("extraction failed for %s", package.path);
    return -1;
  }
  config_merges_finish(work.plan.merges);
  if (!work.plan.pristine.empty()) pristine_swap(work.db, work.name, work.plan.pristine == "swap");
  config_report_staged(root, result.staged_new.get());
  config_report_changed(work.plan);
  return 0;
}

}  // namespace

int zarnin_main(int argc, char** argv) {
  set_program_name("zarnin");
  ensure_standard_fds();
  InstallOptions opts = parse_options(argc, argv);
  if (getuid() != 0) errx(1, "must be root to install packages");
  const char* root = choose_root(opts.root_arg, getenv("PKG_ROOT"));

  UniqueFd package_fd(open_package(opts.package));
  PackageFile package(opts.package, package_fd.get());
  package.plain = package_is_plain(package);
  // One pass of the decompressor and tar unpacks the package into a
  // staging directory on the root's file system and lists it: every check
  // reads that listing, and what it checked is what the commit moves into
  // place. Where the pass fails, the package is listed again as it always
  // was, so that a damaged package is reported as such; the failure of the
  // pass itself shows where the extraction would have failed.
  Staging staging;
  // A large database is read meanwhile; the lock comes after the checks.
  DbReadAhead db_ahead(root);
  if (package_fd && package_name_valid(opts.package)) stage_package(package, root, staging);
  char* name_raw = nullptr;
  char* version_raw = nullptr;
  StringList* members_raw = nullptr;
  if (staging.unpacked) {
    archive_replay_messages(staging.messages.get());
    package_split_name(opts.package, &name_raw, &version_raw);
    members_raw = staging.members.release();
  } else if (package_inspect(package, &name_raw, &version_raw, &members_raw) != 0) {
    exit(1);
  }
  if (!package_fd) errx(1, "cannot open %s", opts.package);  // it appeared meanwhile
  CharPtr name(name_raw), version(version_raw);
  StringListPtr members(members_raw);
  // The database cannot hold an empty name or version, or a newline.
  if (install_name_unstorable(name.get(), version.get()))
    errx(1, "invalid package filename: %s", opts.package);
  if (const char* unsafe = install_first_unsafe(members.get()))
    errx(1, "unsafe path in package: %s", unsafe);

  bool report_new = footprint_report_new();
  ConfigUpgrade config_upgrade = footprint_config_upgrade();
  StringListPtr link_targets(strlist_new());
  const StringList* listing = staging.unpacked ? staging.listing.get() : nullptr;
  bool listed = !opts.force && footprint_check(package, report_new, link_targets.get(), listing);
  refuse_escaping(package, members.get(), root, listed, link_targets.get(), listing);

  PackageDbPtr db(db_ahead.open(true));
  recover_interrupted(db.get(), root);
  stage_leftovers_remove(root, staging.dir.empty() ? nullptr : staging.dir.c_str());
  PackageEntry* installed = db_find(db.get(), name.get());
  InstallMode mode = install_decide(installed, version.get(), opts.upgrade, opts.force);
  refuse_mode(mode, name.get(), version.get(), installed);

  db_sort_lists(db.get());
  // One file may have several spellings where the root has directory links.
  DirLinks links(root, db.get(), {members.get(), installed ? installed->files : nullptr});
  StringListPtr conflicts(install_conflicts(db.get(), name.get(), members.get(), &links));
  if (!opts.force && conflicts->in_use > 0) refuse_conflicts(name.get(), conflicts.get());

  StringListPtr keep(mode == InstallMode::kReinstall ? config_keep_list(root, members.get())
                                                     : strlist_new());
  CommitResult committed;
  // The declared accounts exist before any file lands; a staged entry
  // whose owner is one of them gets it now. They stay if the commit fails.
  std::string staged_meta = strformat("%s/%s/%s", staging.dir.c_str(), kMetaDir, name.get());
  PackageMetaPtr meta(staging.unpacked ? meta_read(staged_meta.c_str())
                                       : meta_from_package(package, name.get()));
  StageOwners unresolved;
  if (staging.unpacked && meta->groups->in_use > 0) unresolved = stage_unresolved_owners(staging);
  accounts_create(meta.get(), root);
  if (staging.unpacked) stage_fix_owners(staging, unresolved);

  // From the first change to the root until the record is saved, an
  // intent in the database directory tells the next run how to finish.
  ConfigWork work{config_upgrade, db.get(), name.get(), {}};
  Intent intent;
  intent.op = mode == InstallMode::kUpgrade ? "upgrade" : "install";
  intent.name = name.get();
  intent.version = version.get();
  DropPlan drops;
  auto record = [&](const StringList* extracted) -> CommitRecord {
    return [&, extracted](bool prepared, std::vector<IntentMove>& moves,
                          const std::vector<std::string>& temps) {
      // An upgrade records its paths in byte order; the plan is made, so
      // the list can be sorted now.
      if (installed != nullptr && prepared) {
        strlist_sort(members.get());
        drops = plan_dropped(db.get(), root, name.get(), links, installed, members.get());
      }
      intent.stage = staging.dir;
      intent.prepared = prepared;
      intent.temps = temps;
      intent.files.assign(extracted->strings, extracted->strings + extracted->in_use);
      intent.dropped.assign(drops.dropped->strings, drops.dropped->strings + drops.dropped->in_use);
      intent.deletions = drops.deletions;
      intent.unlinks = drops.unlinks;
      for (uint64_t i = 0; i < committed.staged_new->in_use; i++)
        intent.config_new.emplace_back(committed.staged_new->strings[i]);
      intent.pristine = work.plan.pristine;
      intent.merges = work.plan.merges;
      // The plan is lent to the intent for the write, not copied.
      intent.moves.swap(moves);
      int written = intent_write(db.get(), intent);
      intent.moves.swap(moves);
      if (written != 0) return -1;
      return prepared ? config_merges_link(intent.merges) : 0;
    };
  };
  StringListPtr not_written(strlist_new());
  if (commit(mode, package, staging, root, members, keep.get(), not_written.get(), work, record,
             committed) != 0) {
    intent_remove(db.get());
    prog_error("extraction failed: %s", opts.package);
    return 1;
  }
  for (uint64_t i = 0; i < not_written->in_use; i++)
    warnx("not extracted, not recorded: %s", not_written->strings[i]);

  int status = 0;
  StringListPtr changed(strlist_new());
  if (installed != nullptr) {
    strlist_sort(members.get());
    print_drop_notes(drops, root);
    apply_drops(drops.deletions, drops.unlinks);
    for (uint64_t i = 0; i < drops.dropped->in_use; i++) strlist_add(changed.get(), drops.dropped->strings[i]);
    db_remove(db.get(), name.get());
    installed = nullptr;
  }
  // The renames and deletions reach the disk before the record that names
  // them.
  install_commit_flush(committed);
  if (changed->in_use > 0) flush_file_systems(root, changed.get());

  PackageEntry* entry = db_entry_new(name.get(), version.get());
  for (uint64_t i = 0; i < members->in_use; i++) strlist_add(entry->files, members->strings[i]);
  db_add(db.get(), entry);
  if (db_save(db.get()) != 0) {
    // db_save has printed the cause; the intent stays, so that the next
    // run records the package.
    prog_error("extraction succeeded but database write failed — package is installed but untracked");
    status = 1;
  } else {
    intent_remove(db.get());
  }
  // What the commit swapped out, and what it left in the staging area.
  stage_remove(staging);

  // The files are in place, so the system catches up with them, also
  // after a failed save: the dropped paths and every member call for the
  // triggers; services restart only on an upgrade.
  for (uint64_t i = 0; i < members->in_use; i++) strlist_add(changed.get(), members->strings[i]);
  run_ldconfig(root);
  triggers_run(root, changed.get(), mode == InstallMode::kUpgrade);
  changed.reset();
  services_link(meta.get(), root);
  permissions_apply(meta.get(), root);
  capabilities_apply(meta.get(), root);
  return status;
}
