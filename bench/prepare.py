"""Raw-cube preparation: the compressor against a NumPy implementation of the same steps.

Each implementation runs in its own process on the same synthetic float32 cube with no-data
pixels (generated frame by frame, so no temporaries inflate the peak). Printed side by side:
throughput (cube GB per second), their ratio, and each process's peak resident memory above
its baseline (measured after the imports, before the cube exists) relative to the cube size.

    /usr/bin/python3 bench/prepare.py [--frames 96 --height 1024 --width 1024 --bands 3]
"""
import argparse
import json
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def rss_peak_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def make_cube(T, H, W, C):
    import numpy as np

    rng = np.random.default_rng(0)
    vol = np.empty((T, H, W, C), np.float32)
    nodata = np.empty((T, H, W), bool)
    for t in range(T):
        vol[t] = rng.standard_normal((H, W, C), dtype=np.float32) * 12.0 + 280.0
        nodata[t] = rng.random((H, W), dtype=np.float32) < 0.1
    return vol, nodata


def numpy_prepare(vol, nodata, chunk=1 << 25):
    import numpy as np

    v = vol.reshape(-1, vol.shape[-1])
    nd = nodata.reshape(-1)
    v[nd] = 0
    np.logical_not(nd, out=nd)
    mask = nd
    for c in range(v.shape[1]):
        lo, hi = np.inf, -np.inf
        for i in range(0, len(v), chunk):
            m = mask[i:i + chunk]
            if not m.any():
                continue
            sel = v[i:i + chunk, c][m]
            sel = sel[np.isfinite(sel)]
            if sel.size:
                lo, hi = min(lo, float(sel.min())), max(hi, float(sel.max()))
        if lo > hi:
            lo, hi = 0.0, 1.0
        col = v[:, c]
        col -= np.float32(lo)
        col /= np.float32(hi - lo + 1e-6)
    v[~mask] = 0
    return v, mask


def worker(impl, T, H, W, C):
    sys.path.insert(0, ROOT)
    import numpy as np  # noqa: F401

    import pyqelm  # noqa: F401
    from pyqelm.encoder import tcnn_compressor as tc

    base = rss_peak_bytes()
    vol, nodata = make_cube(T, H, W, C)
    cube_bytes = vol.nbytes
    if impl == "numpy":
        t0 = time.perf_counter()
        numpy_prepare(vol, nodata)
        dt = time.perf_counter() - t0
    else:
        c = tc.QELMCompressor._with_reference_backend(train_dtype="float32")
        c.volume, c.nodata_mask_vol = vol, nodata
        c.meta_info.update(height=H, width=W, n_bands=C, timestamps=["2020-01-01"] * T, t_norms=[0.0] * T)
        del vol, nodata
        devnull = open(os.devnull, "w")
        saved, sys.stdout = sys.stdout, devnull
        try:
            t0 = time.perf_counter()
            c.prepare_training_data_optimized()
            dt = time.perf_counter() - t0
        finally:
            sys.stdout = saved
    peak = rss_peak_bytes() - base
    print(json.dumps({"seconds": dt, "cube_bytes": cube_bytes, "peak_above_base": peak}))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=96)
    ap.add_argument("--height", type=int, default=1024)
    ap.add_argument("--width", type=int, default=1024)
    ap.add_argument("--bands", type=int, default=3)
    ap.add_argument("--worker", choices=["numpy", "compressor"], help=argparse.SUPPRESS)
    a = ap.parse_args()
    dims = (a.frames, a.height, a.width, a.bands)
    if a.worker:
        worker(a.worker, *dims)
        return
    results = {}
    for impl in ("numpy", "compressor"):
        out = subprocess.run([sys.executable, __file__, "--worker", impl] + [
            f"--{k}={v}" for k, v in zip(("frames", "height", "width", "bands"), dims)],
            capture_output=True, text=True, check=True)
        results[impl] = json.loads(out.stdout.strip().splitlines()[-1])
    gib = results["numpy"]["cube_bytes"] / 2 ** 30
    print(f"cube {dims} float32 = {gib:.2f} GiB, 10% no-data, threads={os.cpu_count()}")
    print(f"{'implementation':<14} {'seconds':>8} {'GB/s':>7} {'peak RSS / cube':>16}")
    for impl, r in results.items():
        gbs = r["cube_bytes"] / 1e9 / r["seconds"]
        print(f"{impl:<14} {r['seconds']:8.2f} {gbs:7.2f} {r['peak_above_base'] / r['cube_bytes']:16.3f}")
    ratio = results["numpy"]["seconds"] / results["compressor"]["seconds"]
    print(f"speed ratio compressor / numpy: {ratio:.2f}x")


if __name__ == "__main__":
    main()
