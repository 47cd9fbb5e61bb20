"""The container file: a ZIP archive holding the metadata, the manifest and the chunk blobs.

Members:

* "meta.json": ``{"format_version": "0.9", ...Meta.to_dict(), "checksum": "crc32:..."}`` (deflated);
* "manifest.json": ``{...Manifest.to_dict(), "checksum": "crc32:..."}`` (deflated);
* one member per chunk, named by the manifest (stored: chunk blobs are already compressed).

The "checksum" of each JSON document (see ``_records.seal``) makes an edit or damage after
writing a refusal rather than a silently different cube; containers written before the key
existed are read without it, their records validated only. Readers that predate the key
ignore it, so the format version is unchanged. Member timestamps are fixed, so the same
content always gives the same bytes. Files are written atomically: the archive is built in a
temporary file beside the target and moved over it with ``os.replace``, so a failed or
interrupted save leaves the previous file (or nothing) and no temporary file behind.

The reader trusts nothing: it refuses non-ZIP input, encrypted members or compression
methods other than stored and deflate, members whose declared size is implausible for their
compressed size or beyond a cap (checked before anything is inflated, then read with a bounded
read), members whose compressed data overlap or exceed the archive, duplicate names, missing
members, manifests that disagree with the members or the metadata, and JSON documents beyond
the size, value-count and depth limits of ``_records`` or whose checksum does not match. Every
such fault is a ValueError. ``ContainerReader`` does the same checks but reads a chunk only
when asked, so a reader of a few chunks of a large container never reads the others.
"""
import contextlib
import errno
import io
import os
import secrets
import threading
import zipfile
from typing import NamedTuple

from . import _records as R
from .chunk_io import read_chunk_bytes
from .manifest import Manifest
from .meta import Meta
from ..outputs import _fsync_dir

FORMAT_VERSION = "0.9"
META_MEMBER = "meta.json"
MANIFEST_MEMBER = "manifest.json"

# Deflate cannot expand by more than about 1032:1.
_DEFLATE_MAX_RATIO = 1032
# Chunk blobs hold already-compressed sections (and are written stored), so a deflated chunk
# member that claims to expand by more than this is hostile, however far below the cap it is.
_CHUNK_MAX_RATIO = 16
_RATIO_SLACK = 1 << 20
DEFAULT_MAX_CHUNK_BYTES = 16 << 30
_MAX_MEMBERS = 1 << 20
_READ_BLOCK = 1 << 20
_ZIP_DATE = (1980, 1, 1, 0, 0, 0)


class ContainerContents(NamedTuple):
    meta: Meta
    manifest: Manifest
    chunks: dict  # member name -> chunk blob bytes, in manifest order
    format_version: str


# ---- atomic writes ------------------------------------------------------------------------------

def _write_atomic(path, fill):
    """Create a temporary file next to ``path``, let ``fill(fileobj)`` write it, then move it
    over ``path``. On any failure the temporary file is removed and ``path`` is untouched."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    base = os.path.basename(path)
    if not base:
        raise ValueError(f"not a file path: {path!r}")
    while True:
        tmp = os.path.join(folder, f".{base}.{os.getpid()}.{secrets.token_hex(4)}.tmp")
        try:
            # 0o666 filtered by the umask, as for any newly created file.
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "wb") as f:
            fill(f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    _fsync_dir(folder)
    return path


def write_bytes_atomic(path, data):
    """Write ``data`` to ``path`` atomically (all or nothing); returns the path."""
    if isinstance(data, str) or not isinstance(data, (bytes, bytearray, memoryview)):
        raise ValueError(f"data must be bytes, got {type(data).__name__}")
    return _write_atomic(path, lambda f: f.write(data))


# ---- writer -------------------------------------------------------------------------------------

def _check_member_name(name):
    if not isinstance(name, str) or not name:
        raise ValueError(f"member name must be non-empty text, got {name!r}")
    if name in (META_MEMBER, MANIFEST_MEMBER):
        raise ValueError(f"member name {name!r} is reserved")
    if name.startswith("/") or "\\" in name or any(p in ("", ".", "..") for p in name.split("/")):
        raise ValueError(f"member name {name!r} is not a plain relative path")


def _check_against_meta(meta, manifest):
    extent = dict(zip(meta.axes, meta.shape))
    for c in manifest.chunks:
        for axis, (lo, hi) in c.bounds.items():
            if axis in extent and hi > extent[axis]:
                raise ValueError(f"chunk {c.id} spans {axis} [{lo}, {hi}) beyond the cube's {extent[axis]}")


def _check_records(meta, manifest):
    if not isinstance(meta, Meta):
        raise ValueError(f"meta must be a Meta, got {type(meta).__name__}")
    if not isinstance(manifest, Manifest):
        raise ValueError(f"manifest must be a Manifest, got {type(manifest).__name__}")


def _check_listed(manifest, names):
    listed = {c.file: c for c in manifest.chunks}
    for name in names:
        if name not in listed:
            raise ValueError(f"chunk member {name!r} is not listed in the manifest")
    for name in listed:
        if name not in names:
            raise ValueError(f"the manifest lists {name!r} but no such chunk was given")
    return listed


def _checked_blob(entry, blob):
    if entry.size_bytes != len(blob):
        raise ValueError(f"the manifest gives {entry.file!r} {entry.size_bytes} bytes, the chunk has {len(blob)}")
    read_chunk_bytes(blob)  # refuse to store a damaged chunk
    return blob


def _write_members(path, meta, manifest, load):
    """The archive at ``path``, atomically; ``load(entry)`` gives each chunk's bytes in turn."""
    _check_against_meta(meta, manifest)
    meta_json = meta_document(meta)
    manifest_json = R.seal(manifest.to_dict(), MANIFEST_MEMBER)

    def fill(f):
        with zipfile.ZipFile(f, "w", allowZip64=True) as zf:
            for name, data, method in [(META_MEMBER, meta_json, zipfile.ZIP_DEFLATED),
                                       (MANIFEST_MEMBER, manifest_json, zipfile.ZIP_DEFLATED)]:
                _add_member(zf, name, data, method)
            for c in manifest.chunks:
                _add_member(zf, c.file, load(c), zipfile.ZIP_STORED)

    return _write_atomic(path, fill)


def _add_member(zf, name, data, method):
    info = zipfile.ZipInfo(name, date_time=_ZIP_DATE)
    info.compress_type = method
    info.external_attr = 0o644 << 16
    zf.writestr(info, data)


def write_container_files(path, meta, manifest, files):
    """``write_container`` with each chunk read from a file: ``files`` is a list of (member
    name, chunk blob file) pairs. Only one chunk is held in memory at a time, so a container of
    many large chunks is written without gathering them first. Returns the path."""
    _check_records(meta, manifest)
    sources = {name: os.fspath(file) for name, file in _member_pairs(files, "files", "file")}
    _check_listed(manifest, sources)

    def load(entry):
        with open(sources[entry.file], "rb") as f:
            return _checked_blob(entry, f.read(entry.size_bytes + 1))

    return _write_members(path, meta, manifest, load)


def _member_pairs(items, what, kind):
    """(member name, value) of each pair of ``items``, the names checked and never repeated."""
    seen = set()
    for item in R.as_list(items, what):
        if not isinstance(item, (list, tuple)) or len(item) != 2:
            raise ValueError(f"each chunk must be a (member name, {kind}) pair, got {item!r:.80}")
        name, value = item
        _check_member_name(name)
        if name in seen:
            raise ValueError(f"chunk member {name!r} given twice")
        seen.add(name)
        yield name, value


def write_container(path, meta, manifest, chunks):
    """Write the container: ``chunks`` is a list of (member name, chunk blob) pairs, each listed
    by the manifest with its exact size. Returns the path."""
    _check_records(meta, manifest)
    members = {}
    for name, blob in _member_pairs(chunks, "chunks", "bytes"):
        if isinstance(blob, str) or not isinstance(blob, (bytes, bytearray, memoryview)):
            raise ValueError(f"chunk {name!r} must be bytes, got {type(blob).__name__}")
        members[name] = bytes(blob)
    for name, entry in _check_listed(manifest, members).items():
        _checked_blob(entry, members[name])
    _check_against_meta(meta, manifest)
    return _write_members(path, meta, manifest, lambda entry: members[entry.file])


def meta_document(meta, extra=None):
    """The bytes of "meta.json" (also the sidecar of a bare chunk blob): the format version,
    the ``Meta`` fields, any ``extra`` keys of the caller and the checksum."""
    if not isinstance(meta, Meta):
        raise ValueError(f"meta must be a Meta, got {type(meta).__name__}")
    return R.seal({"format_version": FORMAT_VERSION, **meta.to_dict(), **(extra or {})}, META_MEMBER)


def read_meta_document(data, what=META_MEMBER, extra=()):
    """Inverse of :func:`meta_document` -> (Meta, format version or None, {extra key: value}).
    The checksum is verified when the document has one; the version is returned, not judged."""
    d = R.mapping(R.loads(data, what), what)
    R.unseal(d, what)
    version = d.pop("format_version", None)
    found = {k: d.pop(k) for k in extra if k in d}
    return Meta.from_dict(d), version, found


# ---- reader -------------------------------------------------------------------------------------

def _read_member(zf, info, cap, archive_size, max_ratio=_DEFLATE_MAX_RATIO):
    name = info.filename
    if info.flag_bits & 0x1:
        raise ValueError(f"container member {name!r} is encrypted")
    if info.compress_type == zipfile.ZIP_STORED:
        if info.file_size != info.compress_size:
            raise ValueError(f"stored member {name!r} declares {info.file_size} bytes but holds {info.compress_size}")
    elif info.compress_type == zipfile.ZIP_DEFLATED:
        if info.file_size > info.compress_size * _DEFLATE_MAX_RATIO + 1024:
            raise ValueError(f"member {name!r} declares {info.file_size} bytes from {info.compress_size} "
                             "compressed bytes, beyond what deflate can produce (zip bomb?)")
        if info.file_size > info.compress_size * max_ratio + _RATIO_SLACK:
            raise ValueError(f"member {name!r} declares {info.file_size} bytes from {info.compress_size} "
                             f"compressed bytes, more than the {max_ratio}:1 its content allows (zip bomb?)")
    else:
        raise ValueError(f"member {name!r} uses unsupported compression method {info.compress_type}")
    if info.file_size > cap:
        raise ValueError(f"member {name!r} declares {info.file_size:,} bytes, more than the {cap:,}-byte limit")
    if info.header_offset + info.compress_size > archive_size:
        raise ValueError(f"member {name!r} extends past the end of the archive")
    out = bytearray()
    with zf.open(info) as f:
        while len(out) <= info.file_size:
            block = f.read(min(_READ_BLOCK, info.file_size + 1 - len(out)))
            if not block:
                break
            out += block
    if len(out) != info.file_size:
        raise ValueError(f"member {name!r} holds {len(out)} bytes, its header declares {info.file_size}")
    return bytes(out)


def _open_archive(fileobj):
    try:
        return zipfile.ZipFile(fileobj, "r")
    except zipfile.BadZipFile as exc:
        raise ValueError(f"not a ZIP container: {exc}") from None


@contextlib.contextmanager
def _as_value_errors():
    """Faults of a damaged archive as ValueError; genuine I/O errors propagate."""
    try:
        yield
    except ValueError:
        raise
    except OSError as exc:
        # Corrupted offsets surface as invalid seeks.
        if exc.errno == errno.EINVAL:
            raise ValueError(f"corrupted container: {exc}") from None
        raise
    except (zipfile.BadZipFile, zipfile.LargeZipFile, EOFError, NotImplementedError, RuntimeError,
            KeyError, IndexError, OverflowError, UnicodeDecodeError, TypeError) as exc:
        raise ValueError(f"corrupted container: {type(exc).__name__}: {exc}") from None
    except Exception as exc:  # zlib.error, struct.error and the like from damaged archives
        if type(exc).__module__ in ("zlib", "struct"):
            raise ValueError(f"corrupted container: {type(exc).__name__}: {exc}") from None
        raise


class ContainerReader:
    """An open container (path or binary file object): ``meta``, ``manifest`` and
    ``format_version`` are read and checked when it opens; ``read_chunk`` reads one chunk blob
    at a time, with the checks of ``read_container``. Safe to share between threads."""

    def __init__(self, path, max_chunk_bytes=DEFAULT_MAX_CHUNK_BYTES):
        self._own = not hasattr(path, "read")
        self._file = open(os.fspath(path), "rb") if self._own else path
        self._max_chunk_bytes = max_chunk_bytes
        self._lock = threading.Lock()
        self._zf = None
        try:
            with _as_value_errors():
                self._file.seek(0, io.SEEK_END)
                self._size = self._file.tell()
                self._file.seek(0)
                self._open()
        except BaseException:
            self.close()
            raise

    def _open(self):
        zf = self._zf = _open_archive(self._file)
        size = self._size
        infos = zf.infolist()
        if len(infos) > _MAX_MEMBERS:
            raise ValueError(f"container has {len(infos)} members, more than {_MAX_MEMBERS}")
        by_name = self._by_name = {}
        for info in infos:
            if info.filename in by_name:
                raise ValueError(f"container member {info.filename!r} occurs twice")
            by_name[info.filename] = info
        # Overlapping members (the same compressed bytes inflated under many names) cannot fit.
        if sum(i.compress_size for i in infos) > size:
            raise ValueError("container members claim more compressed bytes than the archive holds")
        for name in (META_MEMBER, MANIFEST_MEMBER):
            if name not in by_name:
                raise ValueError(f"container lacks {name!r}")
        # A member that declares more than a JSON document may hold is refused before it is inflated.
        meta_d = R.mapping(R.loads(_read_member(zf, by_name[META_MEMBER], R.JSON_MAX_BYTES, size), META_MEMBER),
                           META_MEMBER)
        version = meta_d.get("format_version")
        if version != FORMAT_VERSION:
            raise ValueError(f"unsupported container format version {version!r} (this reader knows {FORMAT_VERSION!r})")
        R.unseal(meta_d, META_MEMBER)
        self.format_version = version
        self.meta = Meta.from_dict({k: v for k, v in meta_d.items() if k != "format_version"})
        manifest_d = R.mapping(R.loads(_read_member(zf, by_name[MANIFEST_MEMBER], R.JSON_MAX_BYTES, size),
                                       MANIFEST_MEMBER), MANIFEST_MEMBER)
        R.unseal(manifest_d, MANIFEST_MEMBER)
        self.manifest = Manifest.from_dict(manifest_d)
        _check_against_meta(self.meta, self.manifest)
        for entry in self.manifest.chunks:
            info = by_name.get(entry.file)
            if info is None:
                raise ValueError(f"the manifest names {entry.file!r}, which the container lacks")
            if info.file_size != entry.size_bytes:
                raise ValueError(f"member {entry.file!r} has {info.file_size} bytes, the manifest says {entry.size_bytes}")

    def read_chunk(self, entry):
        """The chunk blob of a manifest entry (or its member name)."""
        name = entry if isinstance(entry, str) else entry.file
        if not any(c.file == name for c in self.manifest.chunks):
            raise ValueError(f"{name!r} is not a chunk of this container")
        with self._lock, _as_value_errors():
            if self._zf is None:
                raise ValueError("the container is closed")
            return _read_member(self._zf, self._by_name[name], self._max_chunk_bytes, self._size, _CHUNK_MAX_RATIO)

    def close(self):
        with self._lock:
            if self._zf is not None:
                self._zf.close()
                self._zf = None
            if self._own and not self._file.closed:
                self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def read_container(path, max_chunk_bytes=DEFAULT_MAX_CHUNK_BYTES):
    """Read a container file (path or binary file object) -> ContainerContents(meta, manifest,
    chunks, format_version); ``chunks`` maps member names to chunk blobs (see
    ``read_chunk_bytes``). Raises ValueError for malformed input; OSError for I/O failures."""
    with ContainerReader(path, max_chunk_bytes) as reader:
        chunks = {entry.file: reader.read_chunk(entry) for entry in reader.manifest.chunks}
        return ContainerContents(reader.meta, reader.manifest, chunks, reader.format_version)
