"""Tiled encoding on a local dask cluster: 1 worker against 2 (or more), side by side, against
the untiled encode of the same cube, and windowed decoding against decoding the whole.

A synthetic float32 cube (default 64 x 512 x 512 = 64 MiB, smooth fields with noise and a
no-data hole, in a Zarr v2 store) is encoded in 8 tiles (--tiles ,256,128) with each worker
count, and once untiled (one network, this process; --no-untiled skips it). Printed per run:
wall time (cluster start, every tile and the container), the speed-up against one worker and
against the untiled encode, and per worker its baseline (resident memory when its first tile
began, with torch and the engine loaded), its peak, and the peak above the baseline as a
multiple of one tile's share of the cube. Then the tiled container decoded whole, one tile,
and a small window across a tile corner, each timed (best of three). Targets: 2 workers at
least 1.6 x faster than 1 on a 2-core machine, each worker's peak below baseline + 2 x one
tile's share.

    PYTHONPATH=$PWD /usr/bin/python3 bench/tiled.py [--frames 64 --size 512 --tiles ,256,128 --workers 1 2]
"""
import argparse
import collections
import io
import os
import sys
import tempfile
import time
from contextlib import redirect_stdout

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import pyqelm  # noqa: E402,F401  (sets the process environment before torch loads)


def make_store(path, T, H, W, seed=0):
    import zarr

    rng = np.random.default_rng(seed)
    g = zarr.open_group(path, mode="w")
    a = g.create_dataset("field", shape=(T, H, W), chunks=(8, 256, 128), dtype="f4", fill_value=np.nan)
    a.attrs.update(_ARRAY_DIMENSIONS=["time", "y", "x"], units="K")
    y, x = np.meshgrid(np.linspace(0, 6, H), np.linspace(0, 9, W), indexing="ij")
    for t in range(T):
        frame = 280 + 8 * np.sin(x + 0.1 * t) * np.cos(y) + 3 * np.sin(3 * x * y / 10 + t / 5)
        frame += rng.normal(0, 0.1, frame.shape)
        frame[H // 3:H // 3 + 40, W // 5:W // 5 + 60] = np.nan  # a lake of no-data
        a[t] = frame.astype(np.float32)
    tc = g.create_dataset("time", data=np.arange(T, dtype="f8"))
    tc.attrs.update(_ARRAY_DIMENSIONS=["time"], units="days since 2000-01-01", calendar="proleptic_gregorian")
    return path


def run(store, out, tiles, workers, train_args):
    from pyqelm.cli import _encode_options, build_parser
    from pyqelm.tiled import TiledOptions, encode_tiled
    from pyqelm.tiling import parse_tiles

    a = build_parser().parse_args(["encode", store, out, *train_args])
    opts = _encode_options(a)
    t0 = time.perf_counter()
    with redirect_stdout(io.StringIO()):
        result = encode_tiled(store, out, opts, TiledOptions(parse_tiles(tiles), workers=workers))
    return time.perf_counter() - t0, result


def run_untiled(store, out, train_args):
    from pyqelm.cli import _encode_options, build_parser
    from pyqelm.pipeline import encode

    opts = _encode_options(build_parser().parse_args(["encode", store, out, *train_args]))
    t0 = time.perf_counter()
    with redirect_stdout(io.StringIO()):
        encode(store, out, opts, log=lambda *a: None)
    return time.perf_counter() - t0, os.path.getsize(out)


def best_of(n, fn):
    times = []
    for _ in range(n):
        t0 = time.perf_counter()
        value = fn()
        times.append(time.perf_counter() - t0)
    return min(times), value


def decode_rows(path, T, H, W):
    from pyqelm.windowed import ContainerReader, chunk_grid, decode_window

    with ContainerReader(path) as r:
        e = chunk_grid(r.meta, r.manifest).entries[(0, 0, 0)]
    tile = {a: slice(*e.bounds[a]) for a in ("time", "y", "x")}
    by, bx = e.bounds["y"][1], e.bounds["x"][1]
    corner = dict(time=slice(0, min(T, 8)), y=slice(max(0, by - 16), min(H, by + 16)),
                  x=slice(max(0, bx - 16), min(W, bx + 16)))
    whole_s, whole = best_of(3, lambda: decode_window(path)[0])
    rows = [("whole cube", whole.shape, whole_s)]
    for name, w in (("one tile", tile), ("8 frames x 32 x 32 across a corner", corner)):
        s, part = best_of(3, lambda: decode_window(path, **w)[0])
        np.testing.assert_array_equal(part, whole[w["time"], w["y"], w["x"]])  # the same bits as the whole
        rows.append((name, part.shape, s))
    return rows


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--frames", type=int, default=64)
    p.add_argument("--size", type=int, default=512)
    p.add_argument("--tiles", default=",256,128")
    p.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    p.add_argument("--no-untiled", action="store_true", help="skip the untiled encode")
    p.add_argument("--train", default="--preset tiny --epochs 2 --batch-size 16384 --max-error 1.0 "
                                      "--backend reference --device cpu --precision float32 -q",
                   help="encode options of every run")
    a = p.parse_args()
    with tempfile.TemporaryDirectory(prefix="pyqelm-bench-tiled-") as tmp:
        store = make_store(os.path.join(tmp, "cube.zarr"), a.frames, a.size, a.size)
        cube_bytes = a.frames * a.size * a.size * 4
        rows = []
        for n in a.workers:
            wall, result = run(store, os.path.join(tmp, f"out{n}.qelm"), a.tiles, n, a.train.split())
            tile_bytes = cube_bytes / len(result.results)
            per_worker = collections.defaultdict(list)
            for r in result.results:
                per_worker[r.worker].append(r)
            mem = []
            for w, rs in sorted(per_worker.items()):
                base = min(r.rss_start for r in rs)
                peak = max(r.rss_peak for r in rs)
                mem.append((len(rs), base, peak, (peak - base) / tile_bytes))
            rows.append((n, wall, result, tile_bytes, mem))
        untiled = None if a.no_untiled else run_untiled(store, os.path.join(tmp, "untiled.qelm"), a.train.split())
        decoded = decode_rows(os.path.join(tmp, f"out{a.workers[-1]}.qelm"), a.frames, a.size, a.size)
        print(f"cube {a.frames} x {a.size} x {a.size} float32 = {cube_bytes / 2**20:.0f} MiB, tiles {a.tiles} -> "
              f"{rows[0][2].plan.describe()}, {len(rows[0][2].results)} tiles of {rows[0][3] / 2**20:.1f} MiB")
        print(f"encode options: {a.train}; cores {os.cpu_count()}; load {os.getloadavg()[0]:.2f} at the end")
        print(f"{'workers':>7} {'wall s':>8} {'speed-up':>8} {'container B':>12} {'max err':>8}   per worker: "
              "tiles, baseline MiB, peak MiB, (peak - baseline) / tile share")
        for n, wall, result, tile_bytes, mem in rows:
            worst = max(e[3] for e in result.errors())
            workers = "; ".join(f"{k} tiles {b / 2**20:.0f} {pk / 2**20:.0f} {x:.2f}x" for k, b, pk, x in mem)
            print(f"{n:>7} {wall:>8.1f} {rows[0][1] / wall:>7.2f}x {result.bytes:>12,} {worst:>8.4f}   {workers}")
        if untiled is not None:
            wall, size = untiled
            print(f"{'untiled':>7} {wall:>8.1f} {rows[0][1] / wall:>7.2f}x {size:>12,}   one network, "
                  f"this process; tiled with {rows[-1][0]} worker(s) is {wall / rows[-1][1]:.2f}x its speed")
        whole_s = decoded[0][2]
        print(f"decode of the {rows[-1][0]}-worker container (best of 3; a window decodes to the same bits as the "
              "whole):")
        for name, shape, s in decoded:
            print(f"  {name:<36} {' x '.join(map(str, shape[:3])):>14} {s:>8.3f} s  {s / whole_s:>6.3f} of the whole")
        worst_mem = max(x for *_, mem in rows for *_, x in mem)
        print(f"targets: speed-up of {rows[-1][0]} workers {rows[0][1] / rows[-1][1]:.2f}x (>= 1.6); "
              f"largest (peak - baseline) / tile share {worst_mem:.2f} (< 2)")


if __name__ == "__main__":
    main()
