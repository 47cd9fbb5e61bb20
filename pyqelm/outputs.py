"""Where outputs land and how they are committed, so that nothing is lost that we did not write.

An output name is checked before any work (``check_output``): an empty name, the input itself,
a folder that holds the input, the working directory or one of its parents are refused; an
existing output is replaced only with ``force`` and only when it is a previous output of the
same kind (a Zarr store recognised by its metadata files, a container, a chunk blob or its
metadata file).

Everything is built in a staging entry beside its target, named
``.{name}.pyqelm-new-{host}-{pid}-{hex8}``, and moved into place by ``Commit`` only when complete:
a file by one rename over the old one; a store by an atomic exchange of the two directory
entries (Linux ``renameat2``), after which the old store, now under the staging name, is
removed. Where the file system cannot exchange, the old store is first renamed to
``.{name}.pyqelm-old-{host}-{pid}-{hex8}`` and the new one moved in. A failure or an interrupt before
the commit removes the staging entries and leaves the previous output as it was.

A process killed outright (SIGKILL) cannot clean up: what it leaves carries its name pattern
and process id, and ``sweep`` (run by every later check of an output in the same folder)
removes the entries of processes of this machine that no longer run, putting back a previous store that was
moved aside but not yet replaced.
"""
import contextlib
import ctypes
import errno
import os
import re
import secrets
import shutil
import signal
import socket

_TAG = "pyqelm"
_ENTRY = re.compile(r"^\.(?P<base>.+)\.pyqelm-(?P<role>new|old)-(?P<host>[A-Za-z0-9]*)-(?P<pid>\d+)-[0-9a-f]{8}$",
                    re.S)
# Room for the staging suffix within the usual 255-byte name limit.
_MAX_NAME = 220
ZARR_METADATA = (".zgroup", ".zarray", "zarr.json")
_ZARR_FILES = set(ZARR_METADATA) | {".zattrs", ".zmetadata"}
_CHUNK_KEY = re.compile(r"^(c|\d+)([./]\d+)*$")

KINDS = {
    "store": "a Zarr store",
    "container": "a .qelm container",
    "chunk": "a .qelmc chunk blob",
    "sidecar": "the metadata file of a chunk blob",
    "plot": "a PNG image",
    "table": "a JSON table written by compare",
    "work": "a file of a compare work folder",
}

# The first key of every JSON table compare writes, so that --force recognises one.
TABLE_TAG = "pyqelm_compare"
# The file that marks a folder as compare's work folder: everything in it was written by compare.
WORK_MARK = ".pyqelm-compare-work"


class OutputRefused(ValueError):
    """An output name that would destroy something this tool did not write."""


# ---- signals: an interrupt never cuts a commit in half ------------------------------------------

class Interrupted(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised in the main thread so that cleanup runs as for Ctrl-C."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


_critical_depth = 0
_postponed = []


def interrupt(signum):
    """What a signal handler calls: raise ``Interrupted`` (KeyboardInterrupt for SIGINT) now, or
    once the commit under way is complete."""
    if _critical_depth:
        _postponed.append(signum)
        return
    raise KeyboardInterrupt if signum == signal.SIGINT else Interrupted(signum)


@contextlib.contextmanager
def _critical():
    global _critical_depth
    _critical_depth += 1
    try:
        yield
    finally:
        _critical_depth -= 1
    if not _critical_depth and _postponed:
        signum = _postponed[0]
        _postponed.clear()
        raise KeyboardInterrupt if signum == signal.SIGINT else Interrupted(signum)


@contextlib.contextmanager
def signals_raise(signums=(signal.SIGTERM, signal.SIGHUP)):
    """Within the block, SIGTERM and SIGHUP raise ``Interrupted`` in the main thread (and SIGINT,
    when it is not ignored, raises KeyboardInterrupt), deferred while a commit runs. Handlers are
    restored afterwards. Outside the main thread it does nothing."""
    saved = {}
    try:
        for s in (signal.SIGINT,) + tuple(signums):
            current = signal.getsignal(s)
            if current in (signal.SIG_IGN, None):
                continue  # a background job's ignored Ctrl-C stays ignored
            saved[s] = current
            signal.signal(s, lambda signum, frame: interrupt(signum))
    except ValueError:  # not the main thread
        pass
    try:
        yield
    finally:
        for s, handler in saved.items():
            signal.signal(s, handler)


# ---- recognising what is there ------------------------------------------------------------------

def _real(path):
    return os.path.realpath(os.path.abspath(os.fspath(path)))


def _inside(child, parent):
    """Whether real path ``child`` is ``parent`` or lies below it."""
    return child == parent or child.startswith(parent.rstrip(os.sep) + os.sep)


def _head(path, n):
    try:
        with open(path, "rb") as f:
            return f.read(n)
    except OSError:
        return b""


def zarr_store_problem(path):
    """None when ``path`` is a folder that holds a Zarr store (a group, as decode writes) and
    nothing else, else why not."""
    names = os.listdir(path)
    parent = os.path.dirname(os.path.abspath(path))
    if any(os.path.isfile(os.path.join(parent, n)) for n in ZARR_METADATA):
        return f"it is part of the Zarr store {parent}"
    if not (os.path.isfile(os.path.join(path, ".zgroup")) or os.path.isfile(os.path.join(path, "zarr.json"))):
        return "it is not a Zarr store (no .zgroup or zarr.json)"
    for n in names:
        full = os.path.join(path, n)
        if os.path.islink(full):
            return f"it holds a symbolic link {n!r}"
        if n in _ZARR_FILES or _CHUNK_KEY.match(n):
            continue
        if os.path.isdir(full) and any(os.path.isfile(os.path.join(full, m)) for m in ZARR_METADATA):
            continue
        return f"it holds {n!r}, which is not part of a Zarr store"
    return None


def _file_problem(path, kind):
    if kind == "container":
        head = _head(path, 39)
        ok = head[:4] == b"PK\x03\x04" and head[30:39] == b"meta.json"
    elif kind == "chunk":
        ok = _head(path, 4) == b"QLMC"
    elif kind == "plot":
        ok = _head(path, 8) == b"\x89PNG\r\n\x1a\n"
    elif kind == "table":
        ok = re.match(rb'\{\s*"' + TABLE_TAG.encode() + rb'"\s*:', _head(path, 64)) is not None
    elif kind == "work":
        ok = os.path.isfile(os.path.join(os.path.dirname(os.path.abspath(path)), WORK_MARK))
    else:
        ok = _head(path, 18) == b'{"format_version":'
    return None if ok else f"it is not {KINDS[kind]}"


def check_output(path, kind, inputs=(), force=False):
    """Refuse an output name that would destroy what is not a previous output of ``kind``
    ("store", "container", "chunk" or "sidecar"); returns the absolute path. Also sweeps the
    leftovers of killed runs from the output's folder."""
    if path is None or not str(os.fspath(path)).strip():
        raise OutputRefused("the output name is empty (an unset shell variable?); name the output to write")
    path = os.fspath(path)
    full = os.path.abspath(path)
    real = _real(path)
    base = os.path.basename(full)
    if not base or base in (".", ".."):
        raise OutputRefused(f"{path} is not a name for a new output")
    if len(os.fsencode(base)) > _MAX_NAME:
        raise OutputRefused(f"output name {base[:40]!r}... is longer than {_MAX_NAME} bytes; choose a shorter one")
    for src in inputs:
        if src is None:
            continue
        src_real = _real(src)
        if src_real == real or (os.path.exists(src) and os.path.exists(path) and os.path.samefile(src, path)):
            raise OutputRefused(f"{path} is the input itself; name another output")
        if _inside(src_real, real):
            raise OutputRefused(f"{path} holds the input {src}; name another output")
    try:
        cwd = _real(os.getcwd())
    except FileNotFoundError:  # the working directory was removed: nothing of it to protect
        cwd = None
    if cwd is not None and _inside(cwd, real):
        raise OutputRefused(f"{path} is the working directory or holds it; name another output")
    folder = os.path.dirname(full)
    if not os.path.isdir(folder):
        raise OutputRefused(f"output folder does not exist: {folder}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OutputRefused(f"cannot write in {folder} (permission denied); choose a folder you can write to")
    sweep(folder)
    if not os.path.lexists(path):
        return full
    if not force:
        raise OutputRefused(f"{path} exists; pass --force to replace it")
    if kind == "store":
        if os.path.islink(path) or not os.path.isdir(path):
            raise OutputRefused(f"{path} exists and is not a Zarr store folder; --force replaces only a Zarr store")
        why = zarr_store_problem(path)
    elif os.path.isdir(path):
        raise OutputRefused(f"{path} is a folder; --force replaces only {KINDS[kind]}")
    else:
        why = _file_problem(path, kind)
    if why:
        raise OutputRefused(f"{path} exists and {why}; --force replaces only {KINDS[kind]}")
    return full


# ---- staging and the commit ---------------------------------------------------------------------

def _host():
    """This machine's name as it appears in staging names: a process id means something only on
    the machine that runs it (a folder may be shared between machines)."""
    return re.sub(r"[^A-Za-z0-9]", "", socket.gethostname())[:32]


def _staging_name(folder, base, role):
    return os.path.join(folder, f".{base}.{_TAG}-{role}-{_host()}-{os.getpid()}-{secrets.token_hex(4)}")


def _fsync_dir(folder):
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


_RENAME_NOREPLACE, _RENAME_EXCHANGE = 1, 2
_AT_FDCWD = -100
_libc = None


def _renameat2(src, dst, flags):
    """Linux renameat2; OSError(ENOSYS) where the C library lacks it."""
    global _libc
    if _libc is None:
        try:
            _libc = ctypes.CDLL(None, use_errno=True)
        except OSError:
            _libc = False
    fn = getattr(_libc, "renameat2", None) if _libc else None
    if fn is None:
        raise OSError(errno.ENOSYS, "renameat2 is not available")
    fn.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
    if fn(_AT_FDCWD, os.fsencode(src), _AT_FDCWD, os.fsencode(dst), flags) != 0:
        e = ctypes.get_errno()
        raise OSError(e, os.strerror(e), src, None, dst)


_UNSUPPORTED = (errno.ENOSYS, errno.EINVAL, errno.ENOTSUP, errno.EOPNOTSUPP)


def _remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


def _move_new(src, dst):
    """Move ``src`` to ``dst``, which must not exist."""
    try:
        _renameat2(src, dst, _RENAME_NOREPLACE)
        return
    except OSError as e:
        if e.errno == errno.EEXIST:
            raise OutputRefused(f"{dst} appeared while the output was written; nothing was replaced") from None
        if e.errno not in _UNSUPPORTED:
            raise
    if os.path.isdir(src):
        if os.path.lexists(dst):
            raise OutputRefused(f"{dst} appeared while the output was written; nothing was replaced")
        os.rename(src, dst)
    else:
        try:
            os.link(src, dst)  # fails rather than replace
        except FileExistsError:
            raise OutputRefused(f"{dst} appeared while the output was written; nothing was replaced") from None
        os.unlink(src)


def _replace_store(src, dst):
    """Put the new store ``src`` at ``dst`` (an existing store) with no moment without a store."""
    try:
        _renameat2(src, dst, _RENAME_EXCHANGE)
        # src now names the previous store.
        _fsync_dir(os.path.dirname(dst))
        shutil.rmtree(src, ignore_errors=True)
        return
    except OSError as e:
        if e.errno not in _UNSUPPORTED:
            raise
    old = _staging_name(os.path.dirname(dst), os.path.basename(dst), "old")
    os.rename(dst, old)
    os.rename(src, dst)
    _fsync_dir(os.path.dirname(dst))
    shutil.rmtree(old, ignore_errors=True)


class Commit:
    """A set of outputs built in staging entries and moved into place together at ``commit()``
    (in the order they were added). As a context manager it removes every staging entry it
    made when the block ends, so a failure or an interrupt leaves the previous outputs."""

    def __init__(self, force=False):
        self.force = force
        self._staging = []  # staging entries this commit created
        self._moves = []  # (path inside staging, target, kind)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.discard()
        return False

    def folder(self, target):
        """A new, empty staging folder beside ``target`` to write files into."""
        target = os.path.abspath(os.fspath(target))
        path = _staging_name(os.path.dirname(target), os.path.basename(target), "new")
        os.mkdir(path, 0o777)
        self._staging.append(path)
        return path

    def store(self, target):
        """The path of a new store to write (it does not exist yet), placed at ``target``."""
        target = os.path.abspath(os.fspath(target))
        path = _staging_name(os.path.dirname(target), os.path.basename(target), "new")
        self._staging.append(path)
        self._moves.append((path, target, "store"))
        return path

    def add(self, path, target, kind):
        """Place the file ``path`` (inside one of this commit's staging folders) at ``target``.
        A file staged in another folder is first copied beside the target, so that the move
        into place is a rename within one folder (and one file system)."""
        path, target = os.fspath(path), os.path.abspath(os.fspath(target))
        if _real(os.path.dirname(os.path.dirname(os.path.abspath(path)))) != _real(os.path.dirname(target)):
            local = os.path.join(self.folder(target), os.path.basename(target))
            shutil.copyfile(path, local)
            path = local
        self._moves.append((path, target, kind))

    def commit(self):
        """Move every output into place; an existing target is checked again first."""
        for path, target, kind in self._moves:
            if not os.path.lexists(path):
                raise FileNotFoundError(errno.ENOENT, "output was not written", path)
            check_output(target, kind, force=self.force)
        with _critical():
            for path, target, kind in self._moves:
                self._place(path, target, kind)
            self._moves.clear()
            self.discard()

    @staticmethod
    def _place(path, target, kind):
        if not os.path.lexists(target):
            _move_new(path, target)
        elif kind == "store":
            _replace_store(path, target)
        else:
            os.replace(path, target)
        _fsync_dir(os.path.dirname(target))

    def discard(self):
        with _critical():
            while self._staging:
                _remove(self._staging.pop())


def write_file(target, kind, writer, force=False, inputs=()):
    """Write one output file through a staging file: ``writer(path)`` writes it, and it replaces
    ``target`` only when complete (an existing target only with ``force`` and only when it is
    of ``kind``). Returns the absolute target."""
    target = check_output(target, kind, inputs=inputs, force=force)
    with Commit(force=force) as commit:
        staged = os.path.join(commit.folder(target), os.path.basename(target))
        writer(staged)
        commit.add(staged, target, kind)
        commit.commit()
    return target


def write_bytes(target, data, kind, force=False, inputs=()):
    def writer(path):
        with open(path, "wb") as f:
            f.write(data)
    return write_file(target, kind, writer, force=force, inputs=inputs)


def work_folder(path, inputs=()):
    """Make or reuse ``path`` as compare's work folder: a new folder, an empty one, or one an
    earlier compare marked as its own (whose files it may replace). Anything else is refused,
    so that a work folder never overwrites files this tool did not write."""
    full = check_output(path, "work", inputs=inputs, force=True) if not os.path.isdir(path) else os.path.abspath(path)
    if os.path.islink(path):
        raise OutputRefused(f"work folder {path} is a symbolic link; name a folder")
    if os.path.isdir(full):
        for src in inputs:
            if src is not None and _inside(_real(src), _real(full)):
                raise OutputRefused(f"work folder {path} holds the input {src}; name another folder")
        names = os.listdir(full)
        if names and WORK_MARK not in names:
            raise OutputRefused(f"work folder {path} holds files compare did not write; name a new or empty folder")
    else:
        os.mkdir(full)
    with open(os.path.join(full, WORK_MARK), "w", encoding="utf-8") as f:
        f.write("files written by pyqelm compare; it may replace them\n")
    return full


# ---- leftovers of killed runs -------------------------------------------------------------------

def _alive(pid):
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _dead_entries(folder, rx, this_host_only):
    """(name, match, path) of the entries of ``folder`` matching ``rx`` (with a group "pid")
    that this user owns and whose process no longer runs."""
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        m = rx.match(name)
        if not m or (this_host_only and m["host"] != _host()) or _alive(int(m["pid"])):
            continue
        path = os.path.join(folder, name)
        try:
            if os.lstat(path).st_uid != os.getuid():
                continue
        except OSError:
            continue
        yield name, m, path


def sweep(folder):
    """Remove the staging entries that runs killed outright left in ``folder`` (only entries
    named by this module, of processes that no longer run); a previous store moved aside and
    not replaced is put back. Returns the names removed or restored."""
    done = []
    for name, m, path in _dead_entries(folder, _ENTRY, True):
        target = os.path.join(folder, m["base"])
        if m["role"] == "old" and not os.path.lexists(target):
            with contextlib.suppress(OSError):
                os.rename(path, target)
                done.append(name)
            continue
        _remove(path)
        done.append(name)
    return done


def sweep_pattern(folder, pattern):
    """Remove entries of ``folder`` whose names match ``pattern`` (a regular expression with a
    group "pid") and whose process no longer runs; for temporary files named by process id."""
    done = []
    for name, _, path in _dead_entries(folder, re.compile(pattern), False):
        _remove(path)
        done.append(name)
    return done
