"""Shared pieces of the reliability runs: a scratch root with its own
database and TMPDIR, packages made with the real tar and zstd, the strict
database checker, a model of what a save writes, and process handling that
reaps everything a killed run leaves behind."""

import ctypes
import fcntl
import os
import shutil
import stat
import signal
import subprocess
import tempfile
import time

PR_SET_CHILD_SUBREAPER = 36
LOCK_MESSAGE = b"package database is locked by another process"


def become_subreaper():
    """Orphans of a killed run (tar, the decompressor) are reparented to
    this process, so they can be reaped and never outlive a check."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


# ------------------------------------------------------------ the database


class DbError(Exception):
    pass


def parse_db(data):
    """The records of a database file, in file order, as (name, version,
    paths) tuples; raises DbError unless the file is strictly well-formed:
    records of a name, a version and at least one path, each closed by one
    blank line, paths in byte order, names unique, a final blank line."""
    if data == b"":
        return []
    if b"\0" in data:
        raise DbError("NUL byte")
    if not data.endswith(b"\n\n"):
        raise DbError("no final blank line")
    lines = data[:-1].split(b"\n")  # the last element is the final blank line
    records, names, i = [], set(), 0
    while i < len(lines):
        rec = []
        while i < len(lines) and lines[i] != b"":
            rec.append(lines[i])
            i += 1
        if i >= len(lines):
            raise DbError("record without its blank line")
        i += 1  # the blank line
        if len(rec) < 3:
            raise DbError("record of %d lines at line %d" % (len(rec), i))
        name, version, paths = rec[0], rec[1], rec[2:]
        if paths != sorted(paths):
            raise DbError("paths of %r not sorted" % name)
        if name in names:
            raise DbError("%r twice" % name)
        names.add(name)
        records.append((name, version, tuple(paths)))
    return records


def serialize(records):
    out = bytearray()
    for name, version, paths in records:
        if not paths:
            continue
        out += name + b"\n" + version + b"\n"
        for p in sorted(paths):
            out += p + b"\n"
        out += b"\n"
    return bytes(out)


def after_install(records, name, version, members):
    """The records a successful zarnin writes: the list is loaded head first
    (reverse file order), the old record removed, the new one linked at the
    head, and the list written from the head."""
    rest = [r for r in records if r[0] != name]
    rest.reverse()
    return [(name, version, tuple(sorted(members)))] + rest


def after_remove(records, name):
    rest = [r for r in records if r[0] != name]
    rest.reverse()
    return rest


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def lock_is_free(dbdir):
    """True when an exclusive lock on the database directory is had at once."""
    fd = os.open(dbdir, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        fcntl.flock(fd, fcntl.LOCK_UN)
        return True
    except BlockingIOError:
        return False
    finally:
        os.close(fd)


# ------------------------------------------------------------ packages


def pack(entries, out, compressor="zstd"):
    """Packs entries {name: (kind, data)} with the real tar: kind "dir",
    "file" (data the bytes), "symlink" or "hardlink" (data the target).
    Names are bytes without a trailing "/"; parents must be listed. Members
    go in byte order with tar's own spelling. Returns the member list as
    tar -t prints it (directories end with "/")."""
    tree = tempfile.mkdtemp(prefix="sorn-rel-tree.")
    try:
        names = sorted(entries)
        for name in names:
            kind, data = entries[name]
            path = os.path.join(tree.encode(), name)
            if kind == "dir":
                os.makedirs(path, exist_ok=True)
            elif kind == "file":
                with open(path, "wb") as f:
                    f.write(data)
            elif kind == "symlink":
                os.symlink(data, path)
            elif kind == "hardlink":
                os.link(os.path.join(tree.encode(), data), path)
        listing = b"".join(n + b"\0" for n in names)
        tar = subprocess.run(
            ["tar", "--owner=root", "--group=root", "--no-recursion", "--null",
             "--verbatim-files-from", "-C", tree, "-cf", "-", "-T", "-"],
            input=listing, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            check=True, env=tool_env())
        filt = {"zstd": ["zstd", "-q", "-c"], "gzip": ["gzip", "-c"], "none": ["cat"]}[compressor]
        with open(out, "wb") as f:
            subprocess.run(filt, input=tar.stdout, stdout=f, check=True)
    finally:
        subprocess.run(["chmod", "-R", "u+rwx", tree], stderr=subprocess.DEVNULL)
        shutil.rmtree(tree)
    return [n + b"/" if entries[n][0] == "dir" else n for n in names]


def tool_env():
    env = dict(os.environ)
    env.pop("TAR_OPTIONS", None)
    env["LC_ALL"] = "C"
    return env


def simple_package(name, version, files, extra_dirs=()):
    """Entries of a package: its files (relative names, bytes content)
    with every parent directory."""
    entries = {}
    for path, content in files.items():
        parts = path.split(b"/")
        for i in range(1, len(parts)):
            entries[b"/".join(parts[:i])] = ("dir", None)
        entries[path] = ("file", content)
    for d in extra_dirs:
        entries[d] = ("dir", None)
    return entries


# ------------------------------------------------------------ the scratch root


class Scratch:
    """A work directory with root/, the database in root/var/lib/pkg, a
    TMPDIR and a package directory; removed with everything in it."""

    def __init__(self, bin_dir, base=None):
        self.bin_dir = os.path.abspath(bin_dir)
        self.work = tempfile.mkdtemp(prefix="sorn-rel.", dir=base)
        self.root = os.path.join(self.work, "root")
        self.dbdir = os.path.join(self.root, "var/lib/pkg")
        self.tmp = os.path.join(self.work, "tmp")
        self.pkgs = os.path.join(self.work, "pkgs")
        for d in (self.root, self.tmp, self.pkgs):
            os.makedirs(d)

    @property
    def db(self):
        return os.path.join(self.dbdir, "db")

    @property
    def db_tmp(self):
        return os.path.join(self.dbdir, "db.tmp")

    def has(self, program):
        return os.access(os.path.join(self.bin_dir, program), os.X_OK)

    def env(self, dbdir=None):
        env = tool_env()
        env.pop("PKG_ROOT", None)
        env["PKG_DBDIR"] = dbdir or self.dbdir
        env["TMPDIR"] = self.tmp
        env.setdefault("ASAN_OPTIONS", "detect_leaks=0")
        return env

    def argv(self, op, root=None):
        """op: ("install", package file[, flags]) or ("remove", name)."""
        root = root or self.root
        if op[0] == "install":
            return [os.path.join(self.bin_dir, "zarnin"), "-r", root] + list(op[2:]) + [op[1]]
        return [os.path.join(self.bin_dir, "zarnout"), "-r", root, op[1]]

    def run(self, op, root=None, dbdir=None, prefix=()):
        start = time.monotonic()
        r = subprocess.run(list(prefix) + self.argv(op, root), env=self.env(dbdir),
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
        return r.returncode, r.stdout, r.stderr, time.monotonic() - start

    def close(self):
        subprocess.run(["chmod", "-R", "u+rwx", self.work], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.work, ignore_errors=True)


def spawn_group(argv, env):
    """Starts argv as the leader of a new process group."""
    return subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)


def reap_group(proc):
    """Waits for the leader, then for every orphan of its group that was
    reparented to this (subreaper) process."""
    status = proc.wait()
    while True:
        try:
            pid, _ = os.waitpid(-proc.pid, 0)
        except ChildProcessError:
            return status
        if pid == 0:
            return status


def kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    return reap_group(proc)


def missing_paths(root, records):
    """Recorded paths that do not exist in the root."""
    out = []
    for name, _, paths in records:
        for p in paths:
            if not os.path.lexists(os.path.join(root.encode(), p)):
                out.append((name, p))
    return out


STAGING_PREFIXES = (b".zarnin-staging.", b".zarnin-new.")


def tree_state(root):
    """Every entry under root but staging entries, by relative path: (type,
    mode, uid, gid, content or link target)."""
    out = {}
    for top, dirs, files in os.walk(root.encode()):
        dirs[:] = [d for d in dirs if not d.startswith(STAGING_PREFIXES)]
        for n in dirs + [f for f in files if not f.startswith(STAGING_PREFIXES)]:
            full = os.path.join(top, n)
            st = os.lstat(full)
            body = (os.readlink(full) if stat.S_ISLNK(st.st_mode) else
                    read_bytes(full) if stat.S_ISREG(st.st_mode) else None)
            out[os.path.relpath(full, root.encode())] = (stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode),
                                                         st.st_uid, st.st_gid, body)
    return out


def changed_paths(state, *others):
    """The paths, sorted, whose entries in state differ from those in each
    of the other states."""
    return sorted(p for p in set(state) | set(others[0]) if all(state.get(p) != o.get(p) for o in others))


def copy_tree(src, dst):
    subprocess.run(["rm", "-rf", dst], check=True)
    subprocess.run(["cp", "-a", src, dst], check=True)


def staging_leftovers(root):
    """Staging directories and temporary names a run left in root."""
    return [os.path.join(top, n) for top, dirs, files in os.walk(root.encode())
            for n in dirs + files if n.startswith(STAGING_PREFIXES)]
