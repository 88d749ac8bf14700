// The remove command and the decisions it makes without a process.
#pragma once

#include "db/db.h"
#include "util/util.h"

// Parses the command line, removes one installed package and returns the
// exit status (refusals end the process with status 1).
int zarnout_main(int argc, char** argv);

enum class KernelRefusal {
  kNone,            // the package may go
  kRunningKernel,   // it records the running kernel's module tree
  kLastModuleTree,  // no other package records anything under lib/modules/
};

// The kernel-module guard for entry, named name in db. release is the
// running kernel's release when the root is the running system, else null.
KernelRefusal kernel_guard_check(const PackageDb* db, const PackageEntry* entry,
                                 const char* name, const char* release);

// True when root is the running system's "/": the string "/" itself, or
// another name of the same directory ("//", "/.", a link to "/").
bool root_is_running_system(const char* root);

