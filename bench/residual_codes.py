"""Size and speed of the residual code codec on real code fields, against the plain
error-bounded predictive codec (quantise with step 2E, 3-D Lorenzo, xz) of the same codes.

    make build && /usr/bin/python3 bench/residual_codes.py [--network] [--workdir DIR]

For tas, uas and vas of Debian's libncarg-data (12 x 96 x 192 float32 each), with the bound E at
1 % and 0.1 % of each field's range and the step s = 2E(1 - 1e-6), the codes are
q = round((v - p) / s) over the valid values for three stand-ins of the decoded prediction p:

* "zero": p = 0, the quantised field itself (the worst case: a useless network);
* "blur": p = each frame under a Gaussian blur of 3 pixels (reflected edges), a smooth
  approximation such as a network that misses the small scales;
* "network" (with --network): p decoded from a real container, written once into --workdir by
  ``python3 -m pyqelm encode SRC OUT --preset tiny --epochs 2 --batch-size 8192 --backend reference
  --device cpu`` and reused by later runs.

Columns: our bytes; the bytes of "3-D Lorenzo + xz" (the Lorenzo differences of the same codes,
no-data filled with 0, in the narrowest integer type that holds them, xz preset 9e, the mask's
bytes added when there is no-data) and of the same with Zstandard level 19; our size as a
fraction of the smaller of the two; our bytes with only the two Lorenzo layouts allowed (the range coder
against xz on nearly the same prediction); the order-0 entropy of the codes in bytes; the
layouts chosen; encode and decode speed in MB of int32 codes per second, by the thread's CPU
time and by the wall clock (the best of --repeat runs). Every blob is decoded and compared with
the codes. A second table gives the total size for several key intervals.
"""
import argparse
import lzma
import os
import subprocess
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from pyqelm import residual_codec as rc  # noqa: E402

DATA = "/usr/share/ncarg/data/nug/{}_rectilinear_grid_2D.nc"
FIELDS = ("tas", "uas", "vas")
BOUNDS = (0.01, 0.001)


def read_field(var):
    import netCDF4

    with netCDF4.Dataset(DATA.format(var)) as ds:
        v = ds[var][:]
    valid = ~np.ma.getmaskarray(v)
    return np.ma.filled(v.astype(np.float32), 0.0), valid


def blur(cube, sigma=3.0):
    r = int(3 * sigma)
    k = np.exp(-0.5 * (np.arange(-r, r + 1) / sigma) ** 2)
    k /= k.sum()
    out = cube.astype(np.float64)
    for ax in (1, 2):
        pad = [(0, 0)] * out.ndim
        pad[ax] = (r, r)
        p = np.pad(out, pad, mode="reflect")
        out = sum(k[j] * np.take(p, np.arange(j, j + out.shape[ax]), axis=ax) for j in range(2 * r + 1))
    return out.astype(np.float32)


def network_prediction(var, workdir):
    from pyqelm.decode import decode_container

    path = os.path.join(workdir, f"{var}.qelm")
    if not os.path.exists(path):
        os.makedirs(workdir, exist_ok=True)
        print(f"  training the network of {var} (once; kept in {workdir})", flush=True)
        subprocess.run([sys.executable, "-m", "pyqelm", "encode", DATA.format(var), path, "--preset", "tiny",
                        "--epochs", "2", "--batch-size", "8192", "--backend", "reference", "--device", "cpu", "-q",
                        "--force"], check=True, cwd=ROOT, env=dict(os.environ, PYTHONPATH=ROOT))
    cube, _ = decode_container(path)
    return np.nan_to_num(np.asarray(cube, np.float32)[..., 0])


def lorenzo_baselines(codes, valid):
    """Bytes of the 3-D Lorenzo differences under xz -9e and under Zstandard level 19."""
    import zstandard

    d = np.where(valid, codes, 0).astype(np.int64)
    for ax in range(3):
        d = np.diff(d, axis=ax, prepend=0)
    for dt in (np.int8, np.int16, np.int32, np.int64):
        if d.min() >= np.iinfo(dt).min and d.max() <= np.iinfo(dt).max:
            break
    raw, mask = d.astype(dt).tobytes(), np.packbits(valid).tobytes()
    xz = lambda b: len(lzma.compress(b, preset=9 | lzma.PRESET_EXTREME))  # noqa: E731
    zs = lambda b: len(zstandard.ZstdCompressor(level=19).compress(b))  # noqa: E731
    extra = not valid.all()
    return xz(raw) + (xz(mask) if extra else 0), zs(raw) + (zs(mask) if extra else 0)


def entropy_bytes(codes, valid):
    _, counts = np.unique(codes[valid], return_counts=True)
    p = counts / counts.sum()
    return float(-(counts * np.log2(p)).sum() / 8)


def timed(fn, repeat):
    best_cpu = best_wall = float("inf")
    for _ in range(repeat):
        c, w = time.thread_time(), time.perf_counter()
        out = fn()
        best_cpu = min(best_cpu, time.thread_time() - c)
        best_wall = min(best_wall, time.perf_counter() - w)
    return out, best_cpu, best_wall


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--network", action="store_true", help="add the rows of a real (tiny, 2-epoch) network")
    ap.add_argument("--workdir", default=os.path.join(ROOT, "out", "bench_residual_codes"),
                    help="where the network containers are kept")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--key-intervals", default="1,4,16,1000", help="intervals of the second table")
    args = ap.parse_args()

    rows, totals = [], {}
    keys = [int(k) for k in args.key_intervals.split(",")]
    head = (f"{'field':5} {'bound':>6} {'p':8} {'ours B':>8} {'L+xz B':>8} {'L+zstd B':>8} {'ours/best':>9} "
            f"{'oursL B':>8} {'H0 B':>8} {'enc MB/s cpu|wall':>17} {'dec MB/s cpu|wall':>17}  layouts")
    print(head)
    print("-" * len(head))
    for var in FIELDS:
        v, valid = read_field(var)
        span = float(v[valid].max() - v[valid].min())
        preds = {"zero": np.zeros_like(v), "blur": blur(v)}
        if args.network:
            preds["network"] = network_prediction(var, args.workdir)
        for frac in BOUNDS:
            E = span * frac
            s = 2 * E * (1 - 1e-6)
            for pname, p in preds.items():
                q = np.where(valid, np.round((v.astype(np.float64) - p) / s), 0).astype(np.int32)
                blob, ce, we = timed(lambda: rc.encode(q, valid), args.repeat)
                back, cd, wd = timed(lambda: rc.decode(blob, valid, q.shape), args.repeat)
                assert np.array_equal(back[..., 0], q), (var, frac, pname)
                mb = q.size * 4 / 1e6
                base, zbase = lorenzo_baselines(q, valid)
                lorenzo_only = len(rc._engine().encode_residual_codes(q[..., None], valid,
                                                                      layouts=["lorenzo2", "lorenzo3"]))
                d = rc.describe(blob)
                used = " ".join(f"{k}={n}" for k, n in d["layout_counts"].items())
                print(f"{var:5} {frac * 100:5.1f}% {pname:8} {len(blob):8d} {base:8d} {zbase:8d} "
                      f"{len(blob) / min(base, zbase):9.3f} {lorenzo_only:8d} {entropy_bytes(q, valid):8.0f} "
                      f"{mb / ce:8.0f}|{mb / we:<8.0f} {mb / cd:8.0f}|{mb / wd:<8.0f}  {used}", flush=True)
                rows.append((len(blob), min(base, zbase)))
                for k in keys:
                    totals[k] = totals.get(k, 0) + len(rc.encode(q, valid, key_interval=k))
    ours, base = (sum(c) for c in zip(*rows))
    print(f"\nall rows: ours {ours} B, 3-D Lorenzo + the better of xz and zstd {base} B, ratio {ours / base:.3f}; "
          f"worst row {max(a / b for a, b in rows):.3f}")
    print("\nkey interval  total bytes  vs. one key frame per series")
    for k in keys:
        print(f"{k:12d}  {totals[k]:11d}  {totals[k] / totals[max(keys)] - 1:+.2%}")


if __name__ == "__main__":
    main()
