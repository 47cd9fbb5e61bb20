"""Tiled encoding: one container from a cube cut into tiles, trained as dask tasks.

``encode_tiled`` plans the grid (``pyqelm.tiling``), keeps finished tiles in a work folder beside
the output (``pyqelm.workfolder``), runs the missing ones on a local or a running dask cluster
(``pyqelm.cluster``), and writes the container once every tile is there: atomically, its manifest
listing every chunk, its Meta describing the whole cube with the source's coordinates and the
error across tile borders. Every tile has been decoded and measured against the source by its
task; with a bound (or ``opts.verify``) a tile off by more stops the run before anything is
written. The container is staged beside the output and committed whole (``pyqelm.outputs``);
then the work folder goes. Until that moment nothing exists under the output's name; an
interrupted or failed run leaves the finished tiles for ``resume``.

A NetCDF source is copied once, on this machine, into a Zarr store inside the work folder, which
the workers read by window. One reader (the Zarr source) then serves every tile with the same
handling of fill values, scaling and time; Zarr chunks can be read from many processes at once,
which the NetCDF/HDF5 library does not promise; the copy sits beside the output, where workers of
a cluster that see the output's folder see it too; and a resumed run reuses it.
"""
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Optional

import numpy as np

from pyqelm.cluster import RETRIES, run_tiles, tile_session
from pyqelm.format import write_container_files
from pyqelm.outputs import Commit
from pyqelm.verification import BoundViolated
from pyqelm.tiling import TileTask, compose_meta, plan_tiles, seam_record, source_description
from pyqelm.workfolder import WorkFolder, done_tiles, plan_record


@dataclass
class TiledOptions:
    tiles: tuple  # tile size per axis (time, y, x); None for the whole axis
    workers: Optional[int] = None  # local worker processes (default: sized to the machine)
    scheduler: Optional[str] = None  # address of a running dask scheduler
    resume: bool = False  # continue the interrupted run whose work folder is there
    retries: int = RETRIES


@dataclass
class TiledResult:
    path: str
    bytes: int
    meta: object  # the container's Meta
    plan: object  # TilePlan
    results: list  # TileResult per tile, in grid order (blobs left out)
    trained: list = field(default_factory=list)  # tiles trained by this run
    kept: list = field(default_factory=list)  # tiles taken from the work folder
    backend: str = ""
    cluster: str = ""
    seconds: dict = field(default_factory=dict)
    work_folder: str = ""
    work_folder_left: bool = False  # something not ours kept it

    verification: object = None  # verification.Measurement of every tile against the source

    def errors(self):
        """Per band over every tile: (valid values, RMSE, MAE, largest error), measured by decoding
        each tile against the source."""
        return [(n, float(np.sqrt(sq / n)) if n else float("nan"), float(ab / n) if n else float("nan"), mx)
                for n, ab, sq, mx in zip(*_band_totals(self.results)[:4])]


def _band_totals(results):
    """Per band sums over the tiles: valid values, |error|, error^2, largest |error|, values over
    the bound, no-data values decoded as data."""
    keys = ("n_valid", "sum_abs", "sum_sq", "max", "over", "nodata_as_data")
    C = len(results[0].errors["n_valid"])
    totals = [[0] * C for _ in keys]
    for r in results:
        for k, key in enumerate(keys):
            for i, v in enumerate(r.errors[key]):
                totals[k][i] = max(totals[k][i], v) if key == "max" else totals[k][i] + v
    return totals


def measurement(results, bound):
    """The tiles' measurements as one ``verification.Measurement`` of the whole cube."""
    from pyqelm.verification import Measurement

    n, ab, sq, mx, over, as_data = (sum(t) if k != 3 else max(t) for k, t in enumerate(_band_totals(results)))
    return Measurement(n_valid=int(n), rmse=float(np.sqrt(sq / n)) if n else 0.0, mae=float(ab / n) if n else 0.0,
                       max_error=float(mx), over=int(over), nodata_as_data=int(as_data), bound=bound)


def encode_tiled(path, output, opts, tiling, log=print):
    """Encode ``path`` (Zarr store or NetCDF file) into ``output`` (.qelm) tile by tile; ``opts`` is
    a ``pipeline.EncodeOptions``, ``tiling`` a ``TiledOptions``. Returns a TiledResult."""
    from pyqelm import pipeline as P
    from pyqelm.encoder.streaming_sources import ZarrStreamingSource

    if opts.chunk_blob:
        raise ValueError("--tiles writes one container of many chunks; drop --chunk-blob")
    if opts.network_output:
        raise ValueError("--tiles writes one container, bounded when --max-error is given; drop --network-output")
    output = os.path.abspath(P.output_targets(path, output, opts)[0][0])
    kind = P.detect_source(path)
    if kind == "folder":
        raise ValueError("--tiles reads Zarr stores and NetCDF files, not raster folders")
    P.check_options(opts, kind)
    verify = opts.max_error is not None if opts.verify is None else opts.verify
    if tiling.workers is not None and tiling.scheduler:
        raise ValueError("--workers sizes a local cluster; a cluster at --scheduler has its own workers")
    backend, device = P.choose_backend(opts.backend, opts.device, log)
    seconds = {}
    t0 = time.perf_counter()
    folder = WorkFolder(output)
    folder.start(plan_record(path, opts.source.variable, tiling.tiles, opts), resume=tiling.resume,
                 force=opts.force)
    results, trained = {}, []
    try:
        if kind == "netcdf":
            store, variable = folder.netcdf_store(path, opts.source.variable, log)
        else:
            store, variable = os.path.abspath(os.fspath(path)), opts.source.variable
        source = ZarrStreamingSource(zarr_path=store, variable=variable, scale_factor=opts.source.scale_factor,
                                     dtype_np=np.float32)
        meta_info = source.build_meta_info()
        plan = plan_tiles((source.n_timesteps, source.height, source.width), tiling.tiles)
        tiles = plan.tiles()
        results.update(done_tiles(folder, tiles))
        pending = [t for t in tiles if t.id not in results]
        log(f"pyqelm: {len(tiles)} tile(s), {plan.describe()}"
            + (f"; {len(results)} kept from {folder.path}" if results else ""))
        seconds["prepare"] = time.perf_counter() - t0
        if pending:
            t1 = time.perf_counter()
            tile_bytes = max(int(np.prod([hi - lo for lo, hi in t.bounds.values()])) * source.n_bands * 4
                             for t in pending)
            with tile_session(tiling.workers, tiling.scheduler, len(pending), tile_bytes) as session:
                cluster = session.description
                log(f"pyqelm: training {len(pending)} tile(s) on {cluster} ({backend} on {device})")
                tasks = [TileTask(store, source.variable, t, plan.shape, opts, session.threads) for t in pending]
                bar = _progress(len(tiles), len(tiles) - len(pending), opts.quiet)

                def keep(result):
                    folder.save(result)
                    result.blob, result.faces = b"", None
                    results[result.tile.id] = result
                    trained.append(result.tile)
                    bar.update(1)
                    bar.set_postfix_str(result.tile.stem)

                try:
                    run_tiles(session, tasks, keep, tiling.retries)
                finally:
                    bar.close()
            seconds["train"] = time.perf_counter() - t1
        else:
            cluster = "none (every tile was kept)"
        t2 = time.perf_counter()
        ordered = [results[t.id] for t in tiles]
        measured = measurement(ordered, opts.max_error)
        if verify and not measured.holds:
            raise BoundViolated(f"{output}: its tiles, decoded and measured against the source: {measured.verdict()}; "
                                f"nothing was written (the tiles stay in {folder.path}; --resume --no-verify "
                                "writes them unchecked)")
        meta = compose_meta(plan, ordered, source_description(meta_info))
        seams = seam_record(plan, ordered, [b.name for b in meta.bands], opts.max_error, folder.faces)
        if seams:
            meta.extras["seams"] = seams
        manifest = plan.manifest({t.name: os.path.getsize(folder.blob_path(t)) for t in tiles})
        with Commit(force=opts.force) as commit:
            staged = os.path.join(commit.folder(output), os.path.basename(output))
            write_container_files(staged, meta, manifest, [(t.name, folder.blob_path(t)) for t in tiles])
            commit.add(staged, output, "container")
            commit.commit()
        seconds["assemble"] = time.perf_counter() - t2
    except KeyboardInterrupt:
        kept = len(results)
        log(f"pyqelm: interrupted; {kept} finished tile(s) kept in {folder.path}: run the same command with "
            "--resume to train only the others")
        raise
    left = not folder.clean()
    seconds["total"] = time.perf_counter() - t0
    trained_ids = {t.id for t in trained}
    return TiledResult(path=output, bytes=os.path.getsize(output), meta=meta, plan=plan, results=ordered,
                       trained=[t for t in tiles if t.id in trained_ids],
                       kept=[t for t in tiles if t.id not in trained_ids], backend=f"{backend} on {device}",
                       cluster=cluster, seconds=seconds, work_folder=folder.path, work_folder_left=left,
                       verification=measured)


def _progress(total, initial, quiet):
    from tqdm import tqdm

    return tqdm(total=total, initial=initial, desc="Tiles", unit="tile", file=sys.stdout, disable=quiet)
