// The commit of an install: every staged entry put in place by one atomic
// rename, after all of the package's data is on disk.
#pragma once

#include <functional>
#include <vector>

#include "db/db.h"
#include "util/util.h"
#include "zarnin/stage.h"

// Called before the commit changes anything: with prepared false (and no
// moves) before copies are made on other file systems, then with prepared
// true and every rename to come, once all data is on disk. Non-zero stops
// the commit there, with nothing changed. moves is lent for the call: it
// must hold the same plan again when the call returns.
using CommitRecord = std::function<int(bool prepared, std::vector<IntentMove>& moves,
                                       const std::vector<std::string>& temps)>;

// What one install commits.
struct CommitRequest {
  const char* root;
  const Staging* staging;
  const StringList* members;  // archive order
  const StringList* keep;     // members a forced reinstall leaves as they are
  const StringList* config;   // existing configuration files: staged beside as "<path>.new"
  CommitRecord record;        // may be empty
};

// What a commit leaves to its caller.
struct CommitResult {
  StringListPtr staged_new;     // the configuration paths now at "<path>.new", in member order
  std::vector<UniqueFd> mounts; // one directory of each file system the commit wrote to
};

// Puts the staged package in place as tar would extract it into the root,
// existing directories (and links to them) keeping their owner and mode:
// a directory the root lacks moves whole; every other entry is renamed
// over the old one, which goes to the staging area. The data of every file
// system involved is flushed before the first rename. An entry headed for
// a directory on another file system is first copied to a temporary name
// there. 0 when everything is in place; -1 after the cause is printed (a
// non-empty directory in the way, a copy or a rename that failed), with
// every rename undone.
int install_commit(const CommitRequest& request, CommitResult& result);
// Flushes the file systems the commit wrote to.
void install_commit_flush(const CommitResult& result);
