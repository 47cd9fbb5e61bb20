"""The work folder of a tiled encode: finished tiles kept beside the output until the container
is written, so that an interrupted run resumes where it stopped.

``OUTPUT.qelm.tiles/`` holds:

* "plan.json": what is being encoded (source, its identity, variable, tile sizes and every option
  that shapes the result); a run resumes only a folder whose plan is its own;
* "tiles/<stem>.qelmc", "<stem>.npz" and "<stem>.json" per finished tile: its chunk blob, its
  face values (plain arrays, read without pickle) and its record (the tile's metadata, measured
  errors, the blob's size and CRC-32); the record is written last, so a tile counts as finished
  only when all three are complete and agree;
* "source.zarr" with "source.json" when the source is a NetCDF file: the Zarr copy the workers
  read, made once and kept for a resumed run.

Every file is written atomically. Cleaning removes only these files (and the folder when
nothing else is left in it).
"""
import dataclasses
import hashlib
import json
import os
import re
import shutil
import zlib

import numpy as np

from pyqelm.format import write_bytes_atomic
from pyqelm.tiling import TileResult

PLAN = "plan.json"
TILES = "tiles"
SOURCE_STORE = "source.zarr"
SOURCE_RECORD = "source.json"
_STEM_RE = re.compile(r"time\d+\.y\d+\.x\d+\Z")
_TMP_RE = re.compile(r"\..+\.\d+\.[0-9a-f]{8}\.tmp\Z")


def work_folder_path(output):
    return os.path.abspath(os.fspath(output)) + ".tiles"


def source_identity(path):
    """Size and modification time of a source file; of a Zarr store, those of its metadata files."""
    path = os.path.abspath(os.fspath(path))
    if os.path.isfile(path):
        st = os.stat(path)
        return [st.st_size, st.st_mtime_ns]
    ident = []
    for root, dirs, files in os.walk(path):
        dirs.sort()
        for name in sorted(files):
            if name in (".zarray", ".zattrs", ".zgroup", ".zmetadata", "zarr.json"):
                st = os.stat(os.path.join(root, name))
                ident.append([os.path.relpath(os.path.join(root, name), path), st.st_size, st.st_mtime_ns])
        if len(ident) > 4096:
            break
    return ident


def plan_record(source, variable, sizes, opts):
    options = dataclasses.asdict(opts)
    for key in ("quiet", "force", "verify", "network_output"):  # how the result is written, not what
        options.pop(key, None)
    return json.loads(json.dumps({"version": 1, "source": os.path.abspath(os.fspath(source)),
                                  "source_identity": source_identity(source), "variable": variable,
                                  "tiles": list(sizes), "options": options}, default=str))


def _digest(record):
    return hashlib.sha256(json.dumps(record, sort_keys=True).encode()).hexdigest()


def _differences(old, new, prefix=""):
    out = []
    for k in sorted(set(old) | set(new)):
        a, b = old.get(k), new.get(k)
        if isinstance(a, dict) and isinstance(b, dict):
            out += _differences(a, b, f"{prefix}{k}.")
        elif a != b:
            out.append(f"{prefix}{k}")
    return out


class WorkFolder:
    def __init__(self, output):
        self.path = work_folder_path(output)
        self.tiles_dir = os.path.join(self.path, TILES)
        self.digest = None

    def exists(self):
        return os.path.lexists(self.path)

    def _check_ours(self):
        if not os.path.isdir(self.path) or not os.path.isfile(os.path.join(self.path, PLAN)):
            raise ValueError(f"{self.path} exists and is not a pyqelm work folder; move it out of the way")

    def start(self, record, resume=False, force=False):
        """Open the folder for the run ``record`` (from ``plan_record``) describes: new, or with
        ``resume`` the interrupted run's own; with ``force`` an earlier run's folder is emptied."""
        if self.exists():
            self._check_ours()
            if resume:
                try:
                    with open(os.path.join(self.path, PLAN), "rb") as f:
                        old = json.loads(f.read())
                except (OSError, ValueError) as exc:
                    raise ValueError(f"{self.path}: cannot read its plan ({exc}); start over with --force") from None
                diff = _differences(old if isinstance(old, dict) else {}, record)
                if diff:
                    raise ValueError(f"{self.path} belongs to another encode (it differs in {', '.join(diff[:6])}); "
                                     "start over with --force instead of --resume")
            elif force:
                self.clean()
            else:
                raise ValueError(f"{self.path} holds the tiles of an interrupted encode; pass --resume to continue "
                                 "it or --force to start over")
        elif resume:
            raise ValueError(f"nothing to resume: {self.path} does not exist")
        os.makedirs(self.tiles_dir, exist_ok=True)
        if not os.path.isfile(os.path.join(self.path, PLAN)):
            write_bytes_atomic(os.path.join(self.path, PLAN), json.dumps(record, indent=1).encode())
        self.digest = _digest(record)

    # ---- tiles -----------------------------------------------------------------------------------

    def _files(self, stem):
        return tuple(os.path.join(self.tiles_dir, stem + ext) for ext in (".qelmc", ".npz", ".json"))

    def blob_path(self, tile):
        return self._files(tile.stem)[0]

    def save(self, result):
        """Keep a finished tile (its blob, faces and record)."""
        blob_path, faces_path, record_path = self._files(result.tile.stem)
        write_bytes_atomic(blob_path, result.blob)
        arrays = {}
        for name, (src, dec) in result.faces.items():
            arrays[f"{name}.source"], arrays[f"{name}.decoded"] = src, dec
        tmp = faces_path + f".{os.getpid()}.npz"
        try:
            np.savez(tmp, **arrays)
            os.replace(tmp, faces_path)
        finally:
            if os.path.exists(tmp):
                os.remove(tmp)
        rec = {k: getattr(result, k) for k in ("meta", "valid_range", "threshold", "outliers", "trained", "errors",
                                              "interior", "seconds", "worker", "rss_start", "rss_peak")}
        rec.update(plan=self.digest, id=list(result.tile.id),
                   bounds={a: list(b) for a, b in result.tile.bounds.items()},
                   blob_bytes=len(result.blob), blob_crc=zlib.crc32(result.blob) & 0xFFFFFFFF,
                   faces=sorted(result.faces))
        write_bytes_atomic(record_path, json.dumps(rec).encode())

    def load(self, tile):
        """The kept TileResult of ``tile`` (its blob and faces left on disk: ``blob`` is empty,
        ``faces`` None), or None when it is missing or incomplete."""
        blob_path, faces_path, record_path = self._files(tile.stem)
        try:
            with open(record_path, "rb") as f:
                rec = json.loads(f.read())
            if rec.get("plan") != self.digest or tuple(rec.get("id", ())) != tile.id:
                return None
            with open(blob_path, "rb") as f:
                blob = f.read()
            if len(blob) != rec["blob_bytes"] or zlib.crc32(blob) & 0xFFFFFFFF != rec["blob_crc"]:
                return None
            with np.load(faces_path, allow_pickle=False) as z:
                if sorted(z.files) != sorted(f"{n}.{part}" for n in rec["faces"] for part in ("source", "decoded")):
                    return None
        except (OSError, ValueError, KeyError, TypeError, zlib.error):
            return None
        return TileResult(tile=tile, blob=b"", faces=None, **{k: rec[k] for k in (
            "meta", "valid_range", "threshold", "outliers", "trained", "errors", "interior", "seconds", "worker",
            "rss_start", "rss_peak")})

    def faces(self, tile):
        """The face values a kept tile measured ({name: (source, decoded)})."""
        with np.load(self._files(tile.stem)[1], allow_pickle=False) as z:
            names = sorted({f.rsplit(".", 1)[0] for f in z.files})
            return {n: (z[f"{n}.source"], z[f"{n}.decoded"]) for n in names}

    # ---- a NetCDF source's Zarr copy ----------------------------------------------------------------

    def netcdf_store(self, path, variable, log=print):
        """(store, variable) of the Zarr copy of a NetCDF file, made once per work folder."""
        from pyqelm.netcdf import convert

        store, rec_path = os.path.join(self.path, SOURCE_STORE), os.path.join(self.path, SOURCE_RECORD)
        want = {"netcdf": os.path.abspath(os.fspath(path)), "identity": source_identity(path), "asked": variable}
        try:
            with open(rec_path, "rb") as f:
                rec = json.loads(f.read())
            if {k: rec.get(k) for k in want} == want and os.path.isdir(store):
                return store, rec["variable"]
        except (OSError, ValueError, AttributeError):
            pass
        if os.path.lexists(rec_path):
            os.remove(rec_path)
        if os.path.isdir(store):
            shutil.rmtree(store)
        log(f"pyqelm: copying {path} into {store} for the workers ...")
        name = convert(path, store, variable)
        write_bytes_atomic(rec_path, json.dumps(dict(want, variable=name)).encode())
        return store, name

    # ---- cleaning ----------------------------------------------------------------------------------

    def clean(self):
        """Remove what a run wrote here; the folder goes when nothing else is left. Returns whether
        it is gone."""
        if not os.path.isdir(self.path):
            return True
        if os.path.isdir(self.tiles_dir):
            for name in os.listdir(self.tiles_dir):
                stem, ext = os.path.splitext(name)
                if (ext in (".qelmc", ".npz", ".json") and _STEM_RE.match(stem)) or _TMP_RE.match(name) \
                        or re.match(r"time\d+\.y\d+\.x\d+\.npz\.\d+\.npz\Z", name):
                    os.remove(os.path.join(self.tiles_dir, name))
            _rmdir(self.tiles_dir)
        store = os.path.join(self.path, SOURCE_STORE)
        if os.path.isdir(store) and not os.path.islink(store):
            shutil.rmtree(store, ignore_errors=True)
        for name in os.listdir(self.path):
            if name in (PLAN, SOURCE_RECORD) or _TMP_RE.match(name):
                os.remove(os.path.join(self.path, name))
        return _rmdir(self.path)


def _rmdir(path):
    try:
        os.rmdir(path)
        return True
    except OSError:
        return False


def done_tiles(folder, tiles):
    """{tile id: kept TileResult} of the tiles the folder holds complete."""
    out = {}
    for t in tiles:
        r = folder.load(t)
        if r is not None:
            out[t.id] = r
    return out

