"""Compression ratios at a guaranteed error: pyqelm with the command line's defaults against the
classical codecs, on the repository's real fields, side by side.

For each field (tas, uas, vas: the monthly 2005 fields of Debian's libncarg-data, 12 x 96 x 192
float32) and each bound (1 % and 0.1 % of the field's range, max absolute error):

* pyqelm: ``pyqelm encode SOURCE OUT --max-error E`` with no other option, as a separate
  process, timed (wall seconds, including reading, trial fits, training, saving and the
  encoder's own check); the file OUTPUT is decoded with ``pyqelm.decode`` and checked here by
  NumPy against the source read with netCDF4 (every valid value within E, no-data kept);
* the peers of ``pyqelm compare``: ZFP fixed-accuracy at tolerance E, ZFP with the tolerance tuned
  to E, quantise (step 2E) + Lorenzo + xz, fpzip and Zstandard 19 (lossless), each fed the same
  cube with no-data filled and charged for the lossless mask.

Ratios are raw bytes (values x 4) over the bytes on disk; "ok" means the decoded file was checked
within its promise.

    PYTHONPATH=. /usr/bin/python3 bench/ratedistortion.py [--fields tas uas vas] [--fractions 0.01 0.001]
        [--markdown] [--extra ARGS...]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = "/usr/share/ncarg/data/nug/{}_rectilinear_grid_2D.nc"
PEER_NAMES = ("ZFP fixed-accuracy", "ZFP tuned to the bound", "quantise 2E + Lorenzo + xz", "fpzip lossless",
              "Zstandard -19")
TARGET_S_PER_MILLION = 60.0


def read_field(path, name):
    import netCDF4

    with netCDF4.Dataset(path) as ds:
        v = ds[name][:]
        cube = np.ma.filled(v.astype(np.float64), np.nan)
    if cube.ndim == 3:
        cube = cube[..., None]
    return cube


def encode(source, variable, out, bound, extra):
    cmd = [sys.executable, "-m", "pyqelm", "encode", source, out, "--variable", variable, "--max-error",
           repr(float(bound)), "--force", *extra]
    t0 = time.perf_counter()
    run = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=ROOT))
    wall = time.perf_counter() - t0
    if run.returncode != 0:
        raise SystemExit(f"encode of {variable} failed: {run.stderr.strip() or run.stdout.strip()}")
    chosen = [ln.split("bound: ", 1)[1].split(" (")[0] for ln in run.stdout.splitlines() if "network sized" in ln]
    return wall, os.path.getsize(out), chosen[0] if chosen else "fixed preset"


def check(source, decoded, bound):
    """(max error on valid values, values off by more than the bound, no-data status changed)."""
    valid = np.isfinite(source)
    err = np.abs(decoded.astype(np.float64) - source)
    worst = float(np.nanmax(np.where(valid, err, 0.0))) if valid.any() else 0.0
    off = int(np.count_nonzero(valid & ~(err <= bound)))
    lost = int(np.count_nonzero(valid != np.isfinite(decoded)))
    return worst, off, lost


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--fields", nargs="+", default=["tas", "uas", "vas"])
    ap.add_argument("--fractions", nargs="+", type=float, default=[0.01, 0.001])
    ap.add_argument("--markdown", action="store_true", help="also print the table as Markdown")
    ap.add_argument("--extra", nargs=argparse.REMAINDER, default=[], help="further encode options")
    a = ap.parse_args()
    sys.path.insert(0, ROOT)
    from pyqelm.compare import other_rows
    from pyqelm.decode import decode_container
    from pyqelm.outputs import work_folder

    rows = []
    head = (f"{'field':<5} {'bound':>6} {'E':>9}  {'pyqelm':>7} {'check':>5} {'enc s':>6} {'target':>6}  "
            + "  ".join(f"{n.split(' (')[0][:14]:>14}" for n in PEER_NAMES) + "  pyqelm / ZFP tuned  network")
    print(head)
    with tempfile.TemporaryDirectory(prefix="pyqelm-rd-") as tmp:
        work = work_folder(os.path.join(tmp, "work"))
        for field in a.fields:
            path = DATA.format(field)
            cube = read_field(path, field)
            raw = cube.size * 4
            finite = cube[np.isfinite(cube)]
            span = float(finite.max() - finite.min())
            for frac in a.fractions:
                bound = frac * span
                out = os.path.join(tmp, f"{field}.qelm")
                wall, size, chosen = encode(path, field, out, bound, a.extra)
                decoded, _ = decode_container(out)
                worst, off, lost = check(cube, decoded, bound)
                ok = off == 0 and lost == 0
                peers, _ = other_rows(cube.astype(np.float32), bound, raw, work, field, log=lambda *x: None)
                ratio = {r.compressor: (r.ratio, r.ok) for r in peers}
                target = TARGET_S_PER_MILLION * cube.size / 1e6
                cells = [f"{ratio[n][0]:>13.2f}{'' if ratio[n][1] else '!'}" if n in ratio else f"{'-':>14}"
                         for n in PEER_NAMES]
                ours = raw / size
                tuned = ratio.get("ZFP tuned to the bound", (float("nan"), True))[0]
                print(f"{field:<5} {100 * frac:>5g}% {bound:>9.4g}  {ours:>7.2f} {'ok' if ok else 'FAIL':>5} "
                      f"{wall:>6.1f} {target:>6.1f}  " + "  ".join(f"{c:>14}" for c in cells)
                      + f"  {ours / tuned:>17.2f}  {chosen}", flush=True)
                if not ok:
                    print(f"      pyqelm: max error {worst:.6g}, {off:,} values off by more than E, "
                          f"{lost:,} no-data changed")
                rows.append((field, frac, bound, ours, ok, wall, [ratio.get(n, (float("nan"), False))[0]
                                                                  for n in PEER_NAMES], chosen))
    print("\nratios = raw float32 bytes / bytes on disk; check: the pyqelm file decoded and compared by NumPy; "
          f"target: {TARGET_S_PER_MILLION:g} s per 10^6 values; '!' marks a peer that broke its promise")
    if a.markdown:
        print("\n| field | bound | pyqelm | encode s | " + " | ".join(PEER_NAMES) + " | network |")
        print("|---" * (5 + len(PEER_NAMES)) + "|")
        for field, frac, bound, ours, ok, wall, peers, chosen in rows:
            print(f"| {field} | {100 * frac:g} % ({bound:.4g}) | {ours:.2f}{'' if ok else ' (FAILED)'} | {wall:.1f} | "
                  + " | ".join(f"{p:.2f}" for p in peers) + f" | {chosen} |")


if __name__ == "__main__":
    main()
