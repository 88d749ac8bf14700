#!/usr/bin/env python3
"""Reliability runs of zarnin and zarnout on scratch roots.

  reliability.py --bin-dir DIR crash [-n KILLS]   SIGKILL at random instants
  reliability.py --bin-dir DIR faults             strace crash and error points
  reliability.py --bin-dir DIR fs                 full and read-only file systems
  reliability.py --bin-dir DIR contention [-n R]  concurrent writers and readers
  reliability.py --bin-dir DIR names [-n PKGS]    odd member names against an oracle

Each prints its figures and exits 1 when a promise was broken. Everything
happens under a temporary directory that is removed at the end; the file
system runs mount only inside a private mount namespace of a child.
"""

import argparse
import os
import random
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sornrel  # noqa: E402
from sornrel import DbError, Scratch, parse_db, serialize  # noqa: E402


class Failures:
    def __init__(self):
        self.items = []

    def add(self, what):
        self.items.append(what)
        if len(self.items) <= 20:
            print("FAIL: " + what, file=sys.stderr)

    def __bool__(self):
        return bool(self.items)


# ------------------------------------------------------------ packages


def crash_packages(sc, rng):
    """Six packages in three versions each: ~40 files under their own
    directory, a configuration file, a program, and directories shared by
    all. Versions drop and add files, so upgrades delete paths."""
    pkgs = {}
    for i in range(6):
        name = b"p%d" % i
        for v in range(1, 4):
            files = {b"etc/%s.conf" % name: b"v=%d\n" % v,
                     b"usr/bin/%s" % name: os.urandom(4096)}
            for k in range(v * 5, v * 5 + 35):
                files[b"usr/share/%s/f%03d" % (name, k)] = os.urandom(rng.randint(100, 3000))
            entries = sornrel.simple_package(name, v, files, extra_dirs=[b"usr/share/common"])
            version = b"%d.0-1" % v
            path = os.path.join(sc.pkgs, "%s#%s.pkg.tar.zst" % (name.decode(), version.decode()))
            members = sornrel.pack(entries, path)
            pkgs[(name, version)] = (path, members)
    return pkgs


class Model:
    """The database as it must be: records in file order."""

    def __init__(self):
        self.records = []

    def installed(self):
        return {r[0]: r[1] for r in self.records}

    def after(self, op, pkgs):
        if op[0] == "remove":
            return sornrel.after_remove(self.records, op[1])
        name, version = op[1], op[2]
        return sornrel.after_install(self.records, name, version, pkgs[(name, version)][1])


def pick_op(rng, model, pkgs, can_remove):
    """A fresh install, an upgrade to another version or a removal."""
    installed = model.installed()
    name = rng.choice(sorted({k[0] for k in pkgs}))
    versions = sorted(v for (n, v) in pkgs if n == name)
    if name not in installed:
        version = rng.choice(versions)
        return ("install", name, version, [])
    if can_remove and rng.random() < 0.4:
        return ("remove", name)
    version = rng.choice([v for v in versions if v != installed[name]])
    return ("install", name, version, ["-u"])


def op_argv_words(op, pkgs):
    if op[0] == "remove":
        return ("remove", op[1].decode())
    return tuple(["install", pkgs[(op[1], op[2])][0]] + op[3])


def op_kind(op):
    return op[0] if op[0] == "remove" else ("upgrade" if op[3] else "install")


# ------------------------------------------------------------ crash loop


def killed_run(argv, env, delay, counts):
    """Starts argv and kills its whole group after delay seconds unless it
    finished first."""
    proc = sornrel.spawn_group(argv, env)
    deadline = time.monotonic() + delay
    while time.monotonic() < deadline and proc.poll() is None:
        time.sleep(min(0.001, max(0.0, deadline - time.monotonic())))
    if proc.poll() is None:
        counts["signalled"] += 1
        sornrel.kill_group(proc)
    else:
        counts["finished_first"] += 1
        sornrel.reap_group(proc)


def cmd_crash(args):
    """Each operation runs once to the end in a copy of the root, for the
    state it must reach, then in the root itself, killed at a random
    instant; the next run (one that has nothing else to do, itself killed
    now and then) must leave the whole tree and the database exactly as
    they were before the operation or as the copy has them, with no intent
    or staging entry left."""
    rng = random.Random(args.seed)
    sc = Scratch(args.bin_dir)
    fails = Failures()
    counts = dict(kills=0, signalled=0, finished_first=0, old=0, new=0, mixed=0,
                  stale_locks=0, recovery_kills=0, leftovers=0, clean_runs=0, finished=0)
    durations = {}
    shadow = sc.root + ".shadow"
    recover = ("remove", "no-such-package")
    try:
        sornrel.become_subreaper()
        pkgs = crash_packages(sc, rng)  # (name, version) -> (file, members)
        model = Model()

        def timed(op, root=None):
            status, _, err, took = sc.run(op_argv_words(op, pkgs) if op != recover else op,
                                          root=root, dbdir=(root + "/var/lib/pkg") if root else None)
            durations.setdefault(op_kind(op) if op != recover else "next run", []).append(took)
            return status, err

        def normal(kind):
            return statistics.median(durations[kind][-20:])

        for name in sorted({k[0] for k in pkgs}):
            timed(("install", name, b"1.0-1", []))
            model.records = model.after(("install", name, b"1.0-1", []), pkgs)
        timed(recover)

        while counts["kills"] < args.n and not fails:
            op = pick_op(rng, model, pkgs, True)
            words = op_argv_words(op, pkgs)
            sornrel.copy_tree(sc.root, shadow)
            status, err = timed(op, root=shadow)
            counts["clean_runs"] += 1
            if status != 0:
                fails.add("clean %s exited %d: %s" % (words, status, err.decode(errors="replace")))
                break
            before, after = sornrel.tree_state(sc.root), sornrel.tree_state(shadow)
            killed_run(sc.argv(words), sc.env(), rng.uniform(0, 1.2 * normal(op_kind(op))), counts)
            counts["kills"] += 1
            if rng.random() < 0.3:
                killed_run(sc.argv(recover), sc.env(), rng.uniform(0, 1.5 * normal("next run")), counts)
                counts["recovery_kills"] += 1
            if not sornrel.lock_is_free(sc.dbdir):
                counts["stale_locks"] += 1
                fails.add("lock still held after a kill of %s" % (words,))
                while not sornrel.lock_is_free(sc.dbdir):
                    time.sleep(0.01)
            status, err = timed(recover)
            counts["finished"] += err.count(b"notice: finished interrupted")
            if b"is not installed" not in err:
                fails.add("the run after a kill of %s: %s" % (words, err.decode(errors="replace")))
            state = sornrel.tree_state(sc.root)
            if state in (before, after):
                counts["old" if state == before else "new"] += 1
                model.records = model.records if state == before else model.after(op, pkgs)
            else:
                counts["mixed"] += 1
                fails.add("after a kill of %s and the next run the root is neither old nor new: %r"
                          % (words, sornrel.changed_paths(state, after, before)[:5]))
                break
            left = sornrel.staging_leftovers(sc.root) + [
                p for p in (os.path.join(sc.dbdir, "intent"), sc.db_tmp) if os.path.lexists(p)]
            if left:
                counts["leftovers"] += len(left)
                fails.add("left after a kill of %s and the next run: %r" % (words, left[:3]))
    finally:
        sc.close()
    print("crash loop: %(kills)d kills (%(signalled)d signalled, %(finished_first)d finished "
          "before the signal, %(recovery_kills)d of them kills of the next run): "
          "%(old)d old, %(new)d new (%(finished)d finished by the next run), %(mixed)d mixed; "
          "%(stale_locks)d stale locks, "
          "%(leftovers)d intents or staging entries left; %(clean_runs)d clean runs beside them"
          % counts)
    for kind, ds in sorted(durations.items()):
        print("  %s: median %.1f ms over %d runs" % (kind, 1000 * statistics.median(ds), len(ds)))
    return 1 if fails else 0


# ------------------------------------------------------------ fault points


TRACED = "openat,write,fsync,close,rename,renameat,renameat2"


def trace_calls(path):
    """(syscall, the file it works on, result text) per line of an strace -y
    output file: the quoted path of openat and rename, the "<path>" that -y
    shows for a descriptor otherwise."""
    calls = []
    with open(path, errors="replace") as f:
        for line in f:
            if "(" not in line or line.startswith(("+++", "---")):
                continue
            name, rest = line.split("(", 1)
            name = name.strip()
            if name == "openat" or name.startswith("rename"):
                target = rest.split('"')[1] if '"' in rest else ""
                # A name relative to a directory descriptor: -y shows the
                # directory as "<path>" in the first argument.
                first = rest.split(",", 1)[0]
                if target and not target.startswith("/") and "<" in first:
                    target = first[first.find("<") + 1:first.rfind(">")] + "/" + target
            else:
                first = rest.split(",", 1)[0].rstrip(")")
                target = first[first.find("<") + 1:first.rfind(">")] if "<" in first else ""
            result = line.rsplit("=", 1)[-1].strip()
            calls.append((name, target, result))
    return calls


def classify(call, sc):
    """What a failure of this call must lead to: ("open", message) ends the
    run before anything changes, ("save", message) fails the save,
    ("ignored",) changes nothing in the outcome; None for an open of the
    directory, which its position decides."""
    name, target, _ = call
    intent = os.path.join(sc.dbdir, "intent")
    if target.endswith("intent.tmp"):
        return ("intent", "cannot write %s" % intent)
    if name == "openat":
        if target == sc.db_tmp:
            return ("save", "cannot create %s" % sc.db_tmp)
        if target == sc.db:
            return ("open", "cannot open database")
        if target == intent:
            # Looked for before the run's own work: one that cannot be
            # read stops everything.
            return ("open", "cannot finish an interrupted operation")
        return None
    if name.startswith("rename"):
        return ("save", "cannot rename %s to %s" % (sc.db_tmp, sc.db))
    if target == sc.db_tmp:
        return ("save", "write error on %s" % sc.db_tmp)
    return ("ignored",)


def fault_points(sc, calls):
    """Every traced call on the database files, numbered per syscall, with
    what its failure must do."""
    points, seen, dir_opens = [], {}, 0
    for call in calls:
        name = call[0]
        seen[name] = seen.get(name, 0) + 1
        what = classify(call, sc)
        if what is None:
            dir_opens += 1
            what = ("open", "cannot open %s" % sc.dbdir) if dir_opens == 1 else ("ignored",)
        points.append((name, seen[name], call, what))
    return points


def check_order(calls, sc, fails, who):
    """The last write of db.tmp, its fsync, the rename, the directory fsync."""
    def index(pred):
        found = [i for i, c in enumerate(calls) if pred(c)]
        return found

    writes = index(lambda c: c[0] == "write" and c[1] == sc.db_tmp)
    fsync_tmp = index(lambda c: c[0] == "fsync" and c[1] == sc.db_tmp)
    renames = index(lambda c: c[0].startswith("rename") and not c[1].endswith("intent.tmp"))
    fsync_dir = index(lambda c: c[0] == "fsync" and c[1] == sc.dbdir)
    # The intent's own directory flush comes before; the save's is the
    # first after the rename.
    if renames:
        fsync_dir = [i for i in fsync_dir if i > renames[0]]
    if not (writes and fsync_tmp and renames and fsync_dir):
        fails.add("%s: clean trace lacks a step: writes %s fsync %s rename %s dir fsync %s"
                  % (who, writes, fsync_tmp, renames, fsync_dir))
        return False
    if not writes[-1] < fsync_tmp[0] < renames[0] < fsync_dir[0]:
        fails.add("%s: save out of order: last write %d, fsync %d, rename %d, dir fsync %d"
                  % (who, writes[-1], fsync_tmp[0], renames[0], fsync_dir[0]))
        return False
    return True


def seed_root(sc, rng, count, files):
    """Installs count packages of files paths each; returns their files."""
    out = {}
    for i in range(count):
        name = b"base%d" % i
        fs = {b"usr/share/%s/file-with-a-longish-name-%04d" % (name, k): b"x" for k in range(files)}
        path = os.path.join(sc.pkgs, "base%d#1.0-1.pkg.tar.zst" % i)
        out[name] = sornrel.pack(sornrel.simple_package(name, 1, fs), path)
        status, _, err, _ = sc.run(("install", path))
        if status != 0:
            raise RuntimeError("seeding failed: " + err.decode(errors="replace"))
    return out


PROGRAM_LINES = {
    "zarnin": "zarnin: error: extraction succeeded but database write failed \u2014 "
              "package is installed but untracked",
    "zarnout": "zarnout: error: files removed but database write failed \u2014 "
               "package may still appear as installed",
}


def cmd_faults(args):
    rng = random.Random(args.seed)
    fails = Failures()
    counts = dict(points=0, kill_points=0, error_points=0, old=0, new=0, wrong=0)
    base = Scratch(args.bin_dir)
    try:
        # A database of several stdio buffers, so the save makes many writes.
        seed_root(base, rng, 3, 60)
        target = os.path.join(base.pkgs, "target#1.0-1.pkg.tar.zst")
        sornrel.pack(sornrel.simple_package(b"target", 1, {b"usr/bin/target": b"t"}), target)
        follow = os.path.join(base.pkgs, "follow#1.0-1.pkg.tar.zst")
        sornrel.pack(sornrel.simple_package(b"follow", 1, {b"usr/bin/follow": b"f"}), follow)
        programs = [("zarnin", ("install", target), ("install", follow))]
        if base.has("zarnout"):
            programs.append(("zarnout", ("remove", "base1"), ("remove", "base2")))

        template = base.root + ".template"
        subprocess.run(["cp", "-a", base.root, template], check=True)

        def fresh():
            subprocess.run(["rm", "-rf", base.root], check=True)
            subprocess.run(["cp", "-a", template, base.root], check=True)

        def strace(extra):
            return ["strace", "-qqq", "-y", "-P", base.dbdir, "-P", base.db, "-P", base.db_tmp,
                    "-e", "trace=" + TRACED] + extra

        for prog, op, follow_op in programs:
            fresh()
            old = sornrel.read_bytes(base.db)
            trace = os.path.join(base.work, "trace")
            status, _, err, _ = base.run(op, prefix=strace(["-o", trace]))
            new = sornrel.read_bytes(base.db)
            if status != 0 or new == old:
                fails.add("%s: clean traced run failed: %s" % (prog, err.decode(errors="replace")))
                continue
            calls = trace_calls(trace)
            check_order(calls, base, fails, prog)
            points = fault_points(base, calls)
            for name, nth, call, what in points:
                for fault in ("signal=KILL", "error=EIO", "error=ENOSPC", "error=EROFS"):
                    fresh()
                    inject = "inject=%s:%s:when=%d" % (name, fault, nth)
                    status, _, err, _ = base.run(op, prefix=strace(["-o", "/dev/null", "-e", inject]))
                    err = err.decode(errors="replace")
                    data = sornrel.read_bytes(base.db)
                    counts["points"] += 1
                    where = "%s %s #%d (%s) %s" % (prog, name, nth, call[1], fault)
                    outcome = "old" if data == old else "new" if data == new else "corrupt"
                    counts[outcome if outcome != "corrupt" else "wrong"] += 1
                    if outcome == "corrupt":
                        fails.add("%s: database neither old nor new" % where)
                        continue
                    if fault == "signal=KILL":
                        counts["kill_points"] += 1
                        # The next run finishes what the intent names, if
                        # anything, and leaves the old or the new database;
                        # then an operation after it succeeds and leaves no
                        # db.tmp.
                        base.run(("remove", "no-such-package"))
                        data = sornrel.read_bytes(base.db)
                        if data not in (old, new):
                            fails.add("%s: the run after the kill left neither database" % where)
                            continue
                        again = op if data == old else follow_op
                        st2, _, err2, _ = base.run(again)
                        if st2 != 0 or os.path.lexists(base.db_tmp):
                            fails.add("%s: the run after the kill: status %d, db.tmp %s: %s"
                                      % (where, st2, os.path.lexists(base.db_tmp),
                                         err2.decode(errors="replace")))
                        continue
                    counts["error_points"] += 1
                    if os.path.lexists(base.db_tmp):
                        fails.add("%s: db.tmp left behind" % where)
                    if what[0] == "ignored":
                        if status != 0 or outcome != "new":
                            fails.add("%s: a failure to ignore gave status %d, %s database: %s"
                                      % (where, status, outcome, err))
                        continue
                    want = [what[1]] + ([PROGRAM_LINES[prog]] if what[0] == "save" else [])
                    if what[0] == "save":
                        # The intent stays: the next run records what is in place.
                        base.run(("remove", "no-such-package"))
                        if sornrel.read_bytes(base.db) != new:
                            fails.add("%s: the run after a failed save did not record it" % where)
                    if status != 1 or outcome != "old" or not all(w in err for w in want):
                        fails.add("%s: status %d, %s database, stderr %r; wanted %r"
                                  % (where, status, outcome, err, want))
            print("%s: %d traced calls on the database files: %s" % (
                prog, len(points), ", ".join("%s #%d %s" % (p[0], p[1], p[3][0]) for p in points)))
    finally:
        base.close()
    print("fault points: %(points)d runs (%(kill_points)d SIGKILL, %(error_points)d injected "
          "errors): %(old)d old, %(new)d new, %(wrong)d neither" % counts)
    commit_faults(args, fails)
    return 1 if fails else 0


# Errors in the staging pass (tar's writes: a disk that fills up from the
# nth write on, an I/O error at the nth) and in the commit (its renames and
# flushes), in every process of the run.
STAGE_FAULTS = [("write", "ENOSPC", "%d+"), ("write", "EIO", "%d"), ("openat", "ENOSPC", "%d"),
                ("mkdir", "ENOSPC", "%d"), ("renameat2", "EIO", "%d"),
                ("renameat2", "ENOSPC", "%d"), ("syncfs", "EIO", "%d")]


def commit_faults(args, fails):
    """An upgrade and a fresh install, each failed at points of its staging
    and commit: a failed run leaves the root exactly as it was, a run that
    succeeds leaves it as a clean run does, and none leaves a staging entry."""
    counts = dict(runs=0, failed=0, succeeded=0, unsaved=0, declined=0)
    sc = Scratch(args.bin_dir)
    try:
        files1 = {b"usr/share/up/f%02d" % k: os.urandom(5000) for k in range(12)}
        files2 = {b"usr/share/up/f%02d" % k: os.urandom(5000) for k in range(4, 16)}
        files1[b"etc/up.conf"], files2[b"etc/up.conf"] = b"v=1\n", b"v=2\n"
        v1, v2, fresh_pkg = (os.path.join(sc.pkgs, n) for n in
                             ("up#1.0-1.pkg.tar.zst", "up#2.0-1.pkg.tar.zst", "new#1.0-1.pkg.tar.zst"))
        sornrel.pack(sornrel.simple_package(b"up", 1, files1), v1)
        sornrel.pack(sornrel.simple_package(b"up", 2, files2), v2)
        sornrel.pack(sornrel.simple_package(b"new", 1, {b"opt/new/%d" % k: b"n" * 3000 for k in range(8)}), fresh_pkg)
        if sc.run(("install", v1))[0] != 0:
            fails.add("commit faults: the first install failed")
            return
        template = sc.root + ".template"
        sornrel.copy_tree(sc.root, template)
        for op in (("install", v2, "-u"), ("install", fresh_pkg)):
            sornrel.copy_tree(template, sc.root)
            before = sornrel.tree_state(sc.root)
            if sc.run(op)[0] != 0:
                fails.add("commit faults: clean %s failed" % (op,))
                continue
            after = sornrel.tree_state(sc.root)
            for name, error, when in STAGE_FAULTS:
                for nth in (1, 2, 3, 6, 12, 25):
                    sornrel.copy_tree(template, sc.root)
                    inject = "inject=%s:error=%s:when=%s" % (name, error, when % nth)
                    status, _, err, _ = sc.run(op, prefix=["strace", "-f", "-qqq", "-o", "/dev/null",
                                                           "-e", "trace=" + name, "-e", inject])
                    counts["runs"] += 1
                    where = "%s %s %s" % (op[1].rsplit("/", 1)[-1], inject, err.decode(errors="replace")[-300:])
                    # Declined: the root could not be looked at, so the
                    # deletions were declined, each with the warning.
                    # Unsaved: the files are in place and the record could
                    # not be saved, reported as such.
                    kind = ("unsaved" if status and PROGRAM_LINES["zarnin"].encode() in err else
                            "failed" if status else
                            "declined" if b"skipping unsafe path" in err else "succeeded")
                    counts[kind] += 1
                    want = {"succeeded": after, "failed": before}.get(kind)
                    changed = want and sornrel.changed_paths(sornrel.tree_state(sc.root), want)
                    if changed:
                        fails.add("%s: %s (%d) with another tree than a %s run: %r"
                                  % (where, kind, status, "clean" if status == 0 else "refused", changed[:5]))
                    if sornrel.staging_leftovers(sc.root):
                        fails.add("%s: staging left: %r" % (where, sornrel.staging_leftovers(sc.root)[:3]))
    finally:
        sc.close()
    print("staging and commit faults: %(runs)d runs, %(failed)d failed with the root as it was, "
          "%(succeeded)d succeeded as a clean run, %(declined)d succeeded declining deletions it "
          "could not check, %(unsaved)d committed but the record not saved"
          % counts)


# ------------------------------------------------------------ file systems


class Mounts:
    """Mounts made inside this process's private mount namespace, undone in
    reverse order (and gone with the namespace should the process die)."""

    def __init__(self):
        self.points = []

    def tmpfs(self, path, options):
        os.makedirs(path, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path], check=True)
        self.points.append(path)

    def read_only(self, path):
        subprocess.run(["mount", "--bind", path, path], check=True)
        self.points.append(path)
        subprocess.run(["mount", "-o", "remount,bind,ro", path], check=True)

    def read_write(self, path):
        subprocess.run(["mount", "-o", "remount,bind,rw", path], check=True)

    def close(self):
        for p in reversed(self.points):
            subprocess.run(["umount", "-l", p], stderr=subprocess.DEVNULL)
        self.points = []


def fill(directory, file_size):
    """Writes files of file_size bytes (0: empty files) into directory until
    the file system refuses; returns their paths."""
    made = []
    try:
        while True:
            path = os.path.join(directory, "filler%06d" % len(made))
            with open(path, "wb") as f:
                made.append(path)
                if file_size:
                    f.write(bytes(file_size))
    except OSError:
        pass
    return made


def cmd_fs(args):
    if not args.inner:
        # Everything below mounts: only inside a private mount namespace of
        # a child, so nothing can leak to the host's mount table.
        argv = ["unshare", "-m", "--propagation", "private", sys.executable,
                os.path.abspath(__file__), "--bin-dir", args.bin_dir, "--seed", str(args.seed),
                "fs", "--inner"]
        return subprocess.run(argv).returncode
    fails = Failures()
    cases = []
    sc = Scratch(args.bin_dir)
    mounts = Mounts()
    can_remove = sc.has("zarnout")

    def pkg(name, files):
        path = os.path.join(sc.pkgs, "%s#1.0-1.pkg.tar.zst" % name)
        sornrel.pack(sornrel.simple_package(name.encode(), 1, files), path)
        return path

    def expect(case, result, status, db_before, dbfile, msgs, files_present=None):
        st, _, err, _ = result
        err = err.decode(errors="replace")
        ok = True
        if st != status:
            fails.add("%s: status %d, wanted %d: %s" % (case, st, status, err))
            ok = False
        if db_before is not None and sornrel.read_bytes(dbfile) != db_before:
            fails.add("%s: database changed" % case)
            ok = False
        if os.path.lexists(dbfile + ".tmp"):
            fails.add("%s: db.tmp left behind" % case)
            ok = False
        for m in msgs:
            if m not in err:
                fails.add("%s: no %r in %r" % (case, m, err))
                ok = False
        for path, present in (files_present or {}).items():
            if os.path.lexists(path) != present:
                fails.add("%s: %s %s" % (case, path, "missing" if present else "still there"))
                ok = False
        cases.append((case, ok))

    try:
        small = pkg("small", {b"usr/bin/small": b"s"})
        other = pkg("other", {b"usr/bin/other": b"o", b"usr/share/other/a": b"a"})
        big = pkg("big", {b"usr/share/big/blob": os.urandom(1 << 20)})

        # The database directory full: the intent cannot be written, so
        # nothing changes.
        dbfull = os.path.join(sc.work, "dbfull")
        mounts.tmpfs(dbfull, "size=64k")
        sc.run(("install", small), dbdir=dbfull)
        filler = fill(dbfull, 1 << 20)
        before = sornrel.read_bytes(dbfull + "/db")
        r = sc.run(("install", other), dbdir=dbfull)
        expect("database directory full", r, 1, before, dbfull + "/db",
               ["cannot write %s/intent: No space left on device" % dbfull,
                "extraction failed: %s" % other], {sc.root + "/usr/bin/other": False})
        for f in filler:
            os.unlink(f)
        r = sc.run(("install", other), dbdir=dbfull)
        expect("database directory full, then room again", r, 0, None, dbfull + "/db", [])
        if b"other\n" not in sornrel.read_bytes(dbfull + "/db"):
            fails.add("the repairing install did not record the package")

        # Out of inodes: the same, then room for the intent and the save.
        dbinodes = os.path.join(sc.work, "dbinodes")
        mounts.tmpfs(dbinodes, "size=1m,nr_inodes=64")
        sc.run(("install", small), dbdir=dbinodes)
        filler = fill(dbinodes, 0)
        before = sornrel.read_bytes(dbinodes + "/db")
        r = sc.run(("install", other), dbdir=dbinodes)
        expect("database directory out of inodes", r, 1, before, dbinodes + "/db",
               ["cannot write %s/intent: No space left on device" % dbinodes,
                "extraction failed: %s" % other])
        os.unlink(filler[-1])
        os.unlink(filler[-2])
        r = sc.run(("install", other), dbdir=dbinodes)
        expect("out of inodes, then two free", r, 0, None, dbinodes + "/db", [])

        # A root too small for the package: extraction fails, nothing recorded.
        tiny = os.path.join(sc.work, "tiny")
        mounts.tmpfs(tiny, "size=256k")
        tiny_db = tiny + "/var/lib/pkg"
        sc.run(("install", small), root=tiny, dbdir=tiny_db)
        before = sornrel.read_bytes(tiny_db + "/db")
        r = sc.run(("install", big), root=tiny, dbdir=tiny_db)
        expect("root too small", r, 1, before, tiny_db + "/db", ["extraction failed: %s" % big])

        # A read-only root, its database inside.
        ro = os.path.join(sc.work, "roroot")
        ro_db = ro + "/var/lib/pkg"
        os.makedirs(ro)
        sc.run(("install", small), root=ro, dbdir=ro_db)
        mounts.read_only(ro)
        before = sornrel.read_bytes(ro_db + "/db")
        r = sc.run(("install", other), root=ro, dbdir=ro_db)
        expect("read-only root, install", r, 1, before, ro_db + "/db",
               ["extraction failed: %s" % other], {ro + "/usr/bin/other": False})
        if can_remove:
            r = sc.run(("remove", "small"), root=ro, dbdir=ro_db)
            expect("read-only root, removal", r, 1, before, ro_db + "/db",
                   ["cannot write %s/intent: Read-only file system" % ro_db],
                   {ro + "/usr/bin/small": True})
        mounts.read_write(ro)
        r = sc.run(("install", other), root=ro, dbdir=ro_db)
        expect("read-only root made writable again", r, 0, None, ro_db + "/db", [],
               {ro + "/usr/bin/other": True})

        # A read-only database directory: no intent, so nothing changes.
        rodb = os.path.join(sc.work, "rodb")
        os.makedirs(rodb)
        sc.run(("install", small), dbdir=rodb)
        mounts.read_only(rodb)
        before = sornrel.read_bytes(rodb + "/db")
        r = sc.run(("install", big), dbdir=rodb)
        expect("read-only database directory, install", r, 1, before, rodb + "/db",
               ["cannot write %s/intent: Read-only file system" % rodb,
                "extraction failed: %s" % big], {sc.root + "/usr/share/big/blob": False})
        if can_remove:
            r = sc.run(("remove", "small"), dbdir=rodb)
            expect("read-only database directory, removal", r, 1, before, rodb + "/db",
                   ["cannot write %s/intent: Read-only file system" % rodb],
                   {sc.root + "/usr/bin/small": True})
        mounts.read_write(rodb)
        r = sc.run(("install", big), dbdir=rodb)
        expect("read-only database directory made writable, install again", r, 0, None,
               rodb + "/db", [])
        if can_remove:
            r = sc.run(("remove", "small"), dbdir=rodb)
            expect("read-only database directory made writable, removal again", r, 0, None,
                   rodb + "/db", [])
            if b"small\n" in sornrel.read_bytes(rodb + "/db"):
                fails.add("the repairing removal left the record")
    finally:
        mounts.close()
        sc.close()
    for case, ok in cases:
        print("  %-60s %s" % (case, "ok" if ok else "FAILED"))
    print("file systems: %d cases, %d failed" % (len(cases), sum(1 for _, ok in cases if not ok)))
    return 1 if fails else 0


# ------------------------------------------------------------ contention


def cmd_contention(args):
    import threading

    rng = random.Random(args.seed)
    fails = Failures()
    sc = Scratch(args.bin_dir)
    can_remove = sc.has("zarnout")
    workers = 4
    stats = dict(runs=0, ok=0, locked=0, other=0, reads=0, torn=0)
    lock_fail_times, ok_times = [], []
    mutex = threading.Lock()
    try:
        sornrel.become_subreaper()
        # Two packages per writer in two versions, sharing directories; a
        # writer works only on its own, so its own runs fix their state.
        pkgs = {}
        for w in range(workers):
            for tag in ("a", "b"):
                name = b"w%d%s" % (w, tag.encode())
                for v in (1, 2):
                    files = {b"usr/share/%s/f%02d" % (name, k): b"%d" % v for k in range(10 + v)}
                    files[b"usr/bin/%s" % name] = b"%d" % v
                    path = os.path.join(sc.pkgs, "%s#%d.0-1.pkg.tar.zst" % (name.decode(), v))
                    members = sornrel.pack(sornrel.simple_package(name, v, files,
                                                                  [b"usr/share/common"]), path)
                    pkgs[(name, b"%d.0-1" % v)] = (path, members)
        models = [dict() for _ in range(workers)]  # name -> version, per writer
        done = threading.Event()

        def writer(w, wrng):
            for _ in range(args.n):
                name = b"w%d%s" % (w, wrng.choice([b"a", b"b"]))
                current = models[w].get(name)
                if current is None:
                    version = wrng.choice([b"1.0-1", b"2.0-1"])
                    op, words = ("install", name, version), ("install", pkgs[(name, version)][0])
                elif can_remove and wrng.random() < 0.4:
                    op, words = ("remove", name), ("remove", name.decode())
                else:
                    version = b"2.0-1" if current == b"1.0-1" else b"1.0-1"
                    op = ("install", name, version)
                    words = ("install", pkgs[(name, version)][0], "-u")
                status, _, err, took = sc.run(words)
                prog = "zarnin" if words[0] == "install" else "zarnout"
                with mutex:
                    stats["runs"] += 1
                    if status == 0:
                        stats["ok"] += 1
                        ok_times.append(took)
                        if op[0] == "remove":
                            models[w].pop(name, None)
                        else:
                            models[w][name] = op[2]
                    elif status == 1 and err == prog.encode() + b": " + sornrel.LOCK_MESSAGE + b"\n":
                        stats["locked"] += 1
                        lock_fail_times.append(took)
                    else:
                        stats["other"] += 1
                        fails.add("%s %s: status %d: %r" % (prog, words[1:], status, err))

        def reader():
            while not done.is_set():
                data = sornrel.read_bytes(sc.db)
                with mutex:
                    stats["reads"] += 1
                try:
                    parse_db(data)
                except DbError as e:
                    with mutex:
                        stats["torn"] += 1
                    fails.add("a reader saw a torn database: %s" % e)
                time.sleep(0.001)  # leave the cores to the writers

        threads = [threading.Thread(target=writer, args=(w, random.Random(rng.random())))
                   for w in range(workers)]
        rd = threading.Thread(target=reader)
        rd.start()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        done.set()
        rd.join()

        # No lost update: the database holds exactly what every writer's
        # successful runs left, whatever their serial order.
        records = parse_db(sornrel.read_bytes(sc.db))
        got = {(r[0], r[1], r[2]) for r in records}
        want = set()
        for m in models:
            for name, version in m.items():
                want.add((name, version, tuple(sorted(pkgs[(name, version)][1]))))
        lost = len(want - got) + len(got - want)
        if lost:
            fails.add("final database differs from the successful runs: %d records" % lost)
        missing = sornrel.missing_paths(sc.root, records)
        if missing:
            fails.add("recorded paths missing: %r" % missing[:3])

        # A holder killed with SIGKILL frees the lock at once.
        big_files = {b"usr/share/slow/f%04d" % k: b"x" * 512 for k in range(3000)}
        slow = os.path.join(sc.pkgs, "slow#1.0-1.pkg.tar.gz")
        sornrel.pack(sornrel.simple_package(b"slow", 1, big_files), slow, "gzip")
        killed_holders = freed = 0
        for _ in range(5):
            proc = sornrel.spawn_group(sc.argv(("install", slow, "-f")), sc.env())
            held = False
            while proc.poll() is None:
                if not sornrel.lock_is_free(sc.dbdir):
                    held = True
                    break
                time.sleep(0.0005)
            sornrel.kill_group(proc)
            if held:
                killed_holders += 1
                if sornrel.lock_is_free(sc.dbdir):
                    freed += 1
                else:
                    fails.add("the lock outlived its killed holder")
    finally:
        sc.close()
    print("contention: %d writers x %d runs: %d succeeded, %d refused by the lock, %d other "
          "failures; %d lost updates" % (workers, args.n, stats["ok"], stats["locked"],
                                         stats["other"], lost))
    if lock_fail_times and ok_times:
        print("  a refusal took at most %.0f ms (median %.0f ms); a successful run %.0f ms median"
              % (1000 * max(lock_fail_times), 1000 * statistics.median(lock_fail_times),
                 1000 * statistics.median(ok_times)))
    print("  reader: %d reads of db during the runs, %d torn" % (stats["reads"], stats["torn"]))
    print("  killed lock holders: %d, lock free at once after %d" % (killed_holders, freed))
    if killed_holders == 0:
        fails.add("no run was caught holding the lock")
    return 1 if fails else 0


# ------------------------------------------------------------ member names


def odd_component(rng):
    """One path component from the odd classes, or a plain one."""
    kind = rng.randrange(30)  # two in three plain
    plain = bytes(rng.choice(b"abcdefghij0123456789") for _ in range(rng.randint(1, 6)))
    if kind == 0:
        return b".."
    if kind == 1:
        return b"."
    if kind == 2:
        return b""  # gives "//"
    if kind == 3:
        return plain + b"\\" + plain
    if kind == 4:
        return plain + bytes([rng.choice(list(range(1, 32)) + [127])]) + plain
    if kind == 5:
        return plain + bytes(rng.randint(128, 255) for _ in range(rng.randint(1, 3)))
    if kind == 6:
        return plain + "\u00e9\u4e2d".encode()
    if kind == 7:
        return plain + rng.choice([b" ", b"  ", b"\t"])
    if kind == 8:
        return plain * (255 // len(plain))
    return plain


def odd_name(rng):
    """A member name: relative, absolute, "./"-led or 4095+ bytes long."""
    if rng.random() < 0.05:
        comp = b"d" * 200
        return b"/".join([comp] * 21)  # 4220 bytes
    parts = [odd_component(rng) for _ in range(rng.randint(1, 4))]
    name = b"/".join(parts)
    r = rng.random()
    if r < 0.04:
        name = b"/" + name
    elif r < 0.08:
        name = b"./" + name
    elif r < 0.15:
        name = b"etc/" + name
    return name or b"x"


def odd_package(rng, path, sentinel, links):
    """A plain tar of a few members with odd names, symbolic links that lead
    out of the root and hard links. links holds the symbolic link names that
    earlier packages installed, so a member can lead through one of them."""
    import io
    import tarfile

    def info(name, kind, target=b""):
        ti = tarfile.TarInfo(name.decode("utf-8", "surrogateescape"))
        ti.type = kind
        ti.mode = 0o755 if kind == tarfile.DIRTYPE else 0o644
        ti.uname = ti.gname = "root"
        ti.linkname = target.decode("utf-8", "surrogateescape")
        return ti

    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.GNU_FORMAT,
                      encoding="utf-8", errors="surrogateescape") as tar:
        names = []
        for _ in range(rng.randint(1, 5)):
            r = rng.random()
            name = odd_name(rng)
            if r < 0.15:
                target = rng.choice([b"../sentinel", b"../../sentinel/dir", sentinel,
                                     sentinel + b"/file", b"..", b"/", b"plain"])
                tar.addfile(info(name, tarfile.SYMTYPE, target))
                names.append(name)
            elif r < 0.25:
                target = rng.choice(names + [l + b"/file" for l in links[-3:]] +
                                    [b"../sentinel/file", sentinel + b"/file"])
                tar.addfile(info(name, tarfile.LNKTYPE, target))
            elif r < 0.35:
                tar.addfile(info(name, tarfile.DIRTYPE))
            elif r < 0.5 and (names or links):
                # Through a link of this package or of an earlier one.
                through = rng.choice(names + links)
                ti = info(through + b"/" + odd_component(rng) + b"f", tarfile.REGTYPE)
                data = b"through a link\n"
                ti.size = len(data)
                tar.addfile(ti, io.BytesIO(data))
            else:
                data = b"data %d\n" % rng.randrange(1000)
                ti = info(name, tarfile.REGTYPE)
                ti.size = len(data)
                tar.addfile(ti, io.BytesIO(data))
    with open(path, "wb") as f:
        f.write(out.getvalue())


def tree_digest(top):
    """Names, kinds, modes, link counts, contents and link targets of a
    tree, without following links."""
    import hashlib
    h = hashlib.sha256()
    top_b = top.encode()
    for dirpath, dirnames, filenames in os.walk(top_b, followlinks=False):
        dirnames.sort()
        for n in sorted(dirnames + filenames):
            p = os.path.join(dirpath, n)
            st = os.lstat(p)
            h.update(p[len(top_b):] + b"\0%o\0%d\0" % (st.st_mode, st.st_nlink))
            if os.path.islink(p):
                h.update(os.readlink(p))
            elif os.path.isfile(p):
                with open(p, "rb") as f:
                    h.update(f.read())
    return h.hexdigest()


def cmd_names(args):
    rng = random.Random(args.seed)
    fails = Failures()
    sc = Scratch(args.bin_dir)
    counts = dict(packages=0, installed=0, refused=0, failed=0, removed=0, escapes=0, misspelled=0)
    reasons = {}
    try:
        sentinel = os.path.join(sc.work, "sentinel")
        os.makedirs(sentinel + "/dir")
        for p, data in (("file", b"sentinel\n"), ("dir/file", b"inner\n")):
            with open(os.path.join(sentinel, p), "wb") as f:
                f.write(data)
        guard = tree_digest(sentinel)
        work_names = sorted(os.listdir(sc.work))
        links = []
        for i in range(args.n):
            path = os.path.join(sc.pkgs, "n%d#1.pkg.tar.gz" % i)
            odd_package(rng, path, sentinel.encode(), links)
            counts["packages"] += 1
            status, _, err, _ = sc.run(("install", path, "-f"))
            kept = path
            err = err.decode(errors="replace")
            records = parse_db(sornrel.read_bytes(sc.db))
            mine = [r for r in records if r[0] == b"n%d" % i]
            if status == 0:
                counts["installed"] += 1
                for _, _, paths in mine:
                    for p in paths:
                        full = os.path.join(sc.root.encode(), p)
                        if not os.path.lexists(full):
                            counts["misspelled"] += 1
                            fails.add("n%d: recorded %r is not on disk" % (i, p))
                        elif os.path.islink(full.rstrip(b"/")):
                            links.append(p.rstrip(b"/"))
            else:
                # The program's own verdict is its last line; tar's warnings
                # come before it.
                last = err.splitlines()[-1] if err else "status %d" % status
                key = last.split(": ")[-2] if last.count(": ") >= 2 else last
                if "unsafe path" in last or "invalid package" in last:
                    counts["refused"] += 1
                else:
                    counts["failed"] += 1
                reasons[key] = reasons.get(key, 0) + 1
            # A package all of whose members were taken out has no record
            # (a record without paths is never written): nothing to remove.
            if status == 0 and mine and sc.has("zarnout") and rng.random() < 0.3:
                st2, _, err2, _ = sc.run(("remove", "n%d" % i))
                counts["removed"] += st2 == 0
                if st2 != 0:
                    fails.add("n%d: removal failed: %s" % (i, err2.decode(errors="replace")))
            if tree_digest(sentinel) != guard or sorted(os.listdir(sc.work)) != work_names:
                counts["escapes"] += 1
                fails.add("n%d (status %d) changed something outside the root: %s"
                          % (i, status, err))
                if args.keep:
                    os.makedirs(args.keep, exist_ok=True)
                    subprocess.run(["cp", kept, args.keep])
                guard = tree_digest(sentinel)
                work_names = sorted(os.listdir(sc.work))
            if os.listdir(sc.tmp):
                fails.add("n%d left %r in TMPDIR" % (i, os.listdir(sc.tmp)))
            os.unlink(kept)
    finally:
        sc.close()
    print("member names: %(packages)d packages: %(installed)d installed, %(refused)d refused, "
          "%(failed)d failed otherwise, %(removed)d removed again; %(escapes)d changed "
          "something outside the root, %(misspelled)d recorded paths not on disk" % counts)
    for key, n in sorted(reasons.items(), key=lambda kv: -kv[1])[:8]:
        print("  %5d  %s" % (n, key))
    return 1 if fails else 0


# ------------------------------------------------------------ main


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin-dir", required=True, help="directory holding zarnin (and zarnout)")
    ap.add_argument("--seed", type=int, default=None)
    sub = ap.add_subparsers(dest="cmd", required=True)
    c = sub.add_parser("crash")
    c.add_argument("-n", type=int, default=2000, help="kills (default 2000)")
    sub.add_parser("faults")
    t = sub.add_parser("contention")
    t.add_argument("-n", type=int, default=250, help="runs per writer (default 250)")
    m = sub.add_parser("names")
    m.add_argument("-n", type=int, default=3000, help="packages (default 3000)")
    m.add_argument("--keep", help="copy each package that escaped the root here")
    f = sub.add_parser("fs")
    f.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.seed is None:
        args.seed = int.from_bytes(os.urandom(4), "little")
    if not getattr(args, "inner", False):
        print("seed %d" % args.seed)
    if os.getuid() != 0:
        print("the programs install only as root; run as root", file=sys.stderr)
        return 1
    return {"crash": cmd_crash, "faults": cmd_faults, "fs": cmd_fs,
            "contention": cmd_contention, "names": cmd_names}[args.cmd](args)


if __name__ == "__main__":
    sys.exit(main())
