"""Wall time of a default encode (no preset, batch, epoch or step options) against the target of
60 s for a cube of 10^6 values on a 2-core CPU, with the bounded file's size and the plan chosen.

Cubes: a real field (tas, 12 x 96 x 192 = 221,184 values) and the same field tiled to
12 x 288 x 290 = 1,002,240 values (three copies across the rows, one and a half across the
columns), each encoded with --max-error at 1 % of its range as a separate process, the way a
user runs it. The target for the small field is the large one's scaled by size.

    PYTHONPATH=. /usr/bin/python3 bench/encode_time.py [--fraction 0.01] [--extra ARGS...]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = "/usr/share/ncarg/data/nug/tas_rectilinear_grid_2D.nc"
TARGET_S_PER_MILLION = 60.0


def tiled_copy(path, out, rows, cols):
    import netCDF4

    with netCDF4.Dataset(path) as src, netCDF4.Dataset(out, "w") as dst:
        tas = src["tas"][:].filled(np.nan).astype(np.float32)
        reps = (1, -(-rows // tas.shape[1]), -(-cols // tas.shape[2]))
        big = np.tile(tas, reps)[:, :rows, :cols]
        dst.createDimension("time", None)
        dst.createDimension("lat", rows)
        dst.createDimension("lon", cols)
        t = dst.createVariable("time", "f8", ("time",))
        t.setncatts({k: src["time"].getncattr(k) for k in ("units", "calendar") if k in src["time"].ncattrs()})
        t[:] = src["time"][:]
        dst.createVariable("lat", "f8", ("lat",))[:] = np.linspace(-89.5, 89.5, rows)
        dst.createVariable("lon", "f8", ("lon",))[:] = np.arange(cols) * (360.0 / cols)
        dst.createVariable("tas", "f4", ("time", "lat", "lon"))[:] = big
    return big.size


def encode(source, out, bound, extra):
    cmd = [sys.executable, "-m", "pyqelm", "encode", source, out, "--variable", "tas", "--max-error", f"{bound:.9g}",
           "--force", "--quiet", *extra]
    t0 = time.perf_counter()
    run = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=ROOT))
    wall = time.perf_counter() - t0
    if run.returncode != 0:
        raise SystemExit(f"encode failed: {run.stderr.strip()}")
    plan = re.search(r"training    (.*)", run.stdout)
    size = max(os.path.getsize(p) for p in (out, out.replace(".qelm", "-rectified.qelm")) if os.path.exists(p))
    return wall, size, plan.group(1) if plan else "?"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--fraction", type=float, default=0.01)
    ap.add_argument("--extra", nargs=argparse.REMAINDER, default=[], help="further encode options")
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as work:
        big = os.path.join(work, "tas_tiled.nc")
        cases = [("tas", DATA, 12 * 96 * 192), ("tas tiled", big, tiled_copy(DATA, big, 288, 290))]
        print(f"{'cube':<10} {'values':>10} {'wall s':>8} {'target s':>9} {'wall/target':>12} {'bytes':>9} {'ratio':>7}  plan")
        for name, src, n in cases:
            import netCDF4

            with netCDF4.Dataset(src) as ds:
                v = ds["tas"][:].astype(np.float64)
                bound = a.fraction * float(v.max() - v.min())
            wall, size, plan = encode(src, os.path.join(work, "out.qelm"), bound, a.extra)
            target = TARGET_S_PER_MILLION * n / 1e6
            print(f"{name:<10} {n:>10,} {wall:>8.1f} {target:>9.1f} {wall / target:>12.2f} {size:>9,} "
                  f"{4 * n / size:>7.2f}  {plan}")


if __name__ == "__main__":
    main()
