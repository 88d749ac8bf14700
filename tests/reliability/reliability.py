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


def op_argv_spec(op, pkgs):
    if op[0] == "remove":
        return ("remove", op[1].decode())
    return tuple(["install", pkgs[(op[1], op[2])][0]] + op[3])


def op_kind(op):
    return op[0] if op[0] == "remove" else ("upgrade" if op[3] else "install")


# ------------------------------------------------------------ crash loop


def cmd_crash(args):
    rng = random.Random(args.seed)
    sc = Scratch(args.bin_dir)
    fails = Failures()
    counts = dict(kills=0, signalled=0, finished_first=0, old=0, new=0, corrupt=0,
                  stale_locks=0, clean_runs=0, leftover_tmp=0, missing=0)
    durations = {}
    try:
        sornrel.become_subreaper()
        pkgs = crash_packages(sc, rng)  # (name, version) -> (file, members)
        model = Model()
        can_remove = sc.has("zarnout")

        def clean(op):
            spec = op_argv_spec(op, pkgs)
            want = model.after(op, pkgs)
            status, _, err, took = sc.run(spec)
            counts["clean_runs"] += 1
            durations.setdefault(op_kind(op), []).append(took)
            if status != 0:
                fails.add("clean %s exited %d: %s" % (spec, status, err.decode(errors="replace")))
            if os.path.lexists(sc.db_tmp):
                counts["leftover_tmp"] += 1
                fails.add("db.tmp left after a clean %s" % (spec,))
            data = sornrel.read_bytes(sc.db)
            if data != serialize(want):
                fails.add("clean %s wrote an unexpected database" % (spec,))
                model.records = parse_db(data)
            else:
                model.records = want
            missing = sornrel.missing_paths(sc.root, model.records)
            if missing:
                counts["missing"] += len(missing)
                fails.add("recorded paths missing after %s: %r" % (spec, missing[:3]))

        # Calibration: every kind once without a kill.
        for name in sorted({k[0] for k in pkgs}):
            clean(("install", name, b"1.0-1", []))
        clean(("install", b"p0", b"2.0-1", ["-u"]))
        if can_remove:
            clean(("remove", b"p1"))

        op = pick_op(rng, model, pkgs, can_remove)
        while counts["kills"] < args.n and not fails:
            spec = op_argv_spec(op, pkgs)
            before = sornrel.read_bytes(sc.db)
            want = model.after(op, pkgs)
            after = serialize(want)
            normal = statistics.median(durations[op_kind(op)][-20:])
            delay = rng.uniform(0, 1.2 * normal)
            proc = sornrel.spawn_group(sc.argv(spec), sc.env())
            deadline = time.monotonic() + delay
            while time.monotonic() < deadline and proc.poll() is None:
                time.sleep(min(0.001, max(0.0, deadline - time.monotonic())))
            counts["kills"] += 1
            if proc.poll() is None:
                counts["signalled"] += 1
                sornrel.kill_group(proc)
            else:
                counts["finished_first"] += 1
                sornrel.reap_group(proc)
            data = sornrel.read_bytes(sc.db)
            try:
                parse_db(data)
                wellformed = True
            except DbError as e:
                wellformed = False
                fails.add("corrupt database after a kill of %s: %s" % (spec, e))
            if not sornrel.lock_is_free(sc.dbdir):
                counts["stale_locks"] += 1
                fails.add("lock still held after a kill of %s" % (spec,))
                while not sornrel.lock_is_free(sc.dbdir):
                    time.sleep(0.01)
            if wellformed and data == before:
                counts["old"] += 1
                retry = op
            elif wellformed and data == after:
                counts["new"] += 1
                model.records = want
                retry = None
            else:
                counts["corrupt"] += 1
                if wellformed:
                    fails.add("database after a kill of %s is neither old nor new" % (spec,))
                break
            # The next run succeeds and leaves no db.tmp: the same operation
            # again when the killed one did not take, else another.
            clean(retry or pick_op(rng, model, pkgs, can_remove))
            op = pick_op(rng, model, pkgs, can_remove)
    finally:
        sc.close()
    print("crash loop: %(kills)d kills (%(signalled)d signalled, %(finished_first)d finished "
          "before the signal): %(old)d old, %(new)d new, %(corrupt)d corrupt, "
          "%(stale_locks)d stale locks; %(clean_runs)d clean runs after them, "
          "%(leftover_tmp)d db.tmp left, %(missing)d recorded paths missing" % counts)
    for kind, ds in sorted(durations.items()):
        print("  %s: median %.1f ms over %d clean runs" % (kind, 1000 * statistics.median(ds), len(ds)))
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
    if name == "openat":
        if target == sc.db_tmp:
            return ("save", "cannot create %s" % sc.db_tmp)
        if target == sc.db:
            return ("open", "cannot open database")
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
    renames = index(lambda c: c[0].startswith("rename"))
    fsync_dir = index(lambda c: c[0] == "fsync" and c[1] == sc.dbdir)
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
                        # Then the next run succeeds and leaves no db.tmp.
                        again = op if outcome == "old" else follow_op
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
                    if status != 1 or outcome != "old" or not all(w in err for w in want):
                        fails.add("%s: status %d, %s database, stderr %r; wanted %r"
                                  % (where, status, outcome, err, want))
            print("%s: %d traced calls on the database files: %s" % (
                prog, len(points), ", ".join("%s #%d %s" % (p[0], p[1], p[3][0]) for p in points)))
    finally:
        base.close()
    print("fault points: %(points)d runs (%(kill_points)d SIGKILL, %(error_points)d injected "
          "errors): %(old)d old, %(new)d new, %(wrong)d neither" % counts)
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
    args = ap.parse_args()
    if args.seed is None:
        args.seed = int.from_bytes(os.urandom(4), "little")
    print("seed %d" % args.seed)
    if os.getuid() != 0:
        print("the programs install only as root; run as root", file=sys.stderr)
        return 1
    return {"crash": cmd_crash, "faults": cmd_faults}[args.cmd](args)


if __name__ == "__main__":
    sys.exit(main())
