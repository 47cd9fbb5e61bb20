"""Training throughput of the reference backend at a fixed configuration.

Fits QELMNetworkTorch (16 levels x 2 features, 2^19-entry tables, decoder of 2 hidden layers
of 64) to a synthetic cube of 2^20 valid points with batches of 65536, in memory and threaded,
and reports optimizer steps per second. Then times the network alone (forward and backward of
the same loss on one batch) and reports the share of a training step spent outside it:
sampling, gathering, the loss scaler, Adam and the schedule.

    PYTHONPATH=. /usr/bin/python3 bench/train.py [--device cpu|cuda] [--epochs 4] [--threads N]
"""
import argparse
import contextlib
import io
import os
import statistics
import sys
import time

import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import pyqelm  # noqa: E402,F401
from pyqelm.encoder import tcnn_compressor as tc  # noqa: E402

QUALITY = dict(
    xy_hash_size=19, xy_base_resolution=16, xy_n_levels=16, xy_per_level_scale=1.5,
    xy_features_per_level=2, t_hash_size=19, t_base_resolution=4, t_n_levels=16,
    t_per_level_scale=1.3, t_features_per_level=2, spatial_scale=1.0, decoder_hidden=64,
    n_hidden_layers=2,
)


def make_compressor(device, dtype, T, H, W, C):
    with contextlib.redirect_stdout(io.StringIO()):
        c = tc.QELMCompressor._with_reference_backend(device=device, train_dtype=dtype)
    ys = torch.arange(H).repeat_interleave(W) / H
    xs = torch.arange(W).repeat(H) / W
    c.xyz_cache = torch.stack([xs, ys], 1).float()
    c.time_lut = torch.linspace(0, 1, T).to(device)
    t = torch.linspace(0, 1, T).repeat_interleave(H * W)
    x, y = xs.repeat(T), ys.repeat(T)
    vals = [0.5 + 0.4 * torch.sin(6 * x + 4 * (b + 1) * y + 3 * t) * torch.cos(5 * y - t) for b in range(C)]
    c.cpu_values = torch.stack(vals, 1).to(torch.float16 if dtype == "float16" else torch.float32)
    c.cpu_mask = torch.ones(T * H * W, dtype=torch.bool)
    c.meta_info = {"timestamps": list(range(T)), "height": H, "width": W, "n_bands": C,
                   "norm_mode": 3, "data_range": [[0.0, 1.0]] * C, "use_log": False}
    with contextlib.redirect_stdout(io.StringIO()):
        c.build_qelm_model(**QUALITY)
    return c


def sync(device):
    if device.startswith("cuda"):
        torch.cuda.synchronize()


def time_fit(c, device, epochs, batch, threaded):
    env = os.environ
    saved = env.get("PYQELM_STREAM_THRESHOLD_GB")
    env["PYQELM_STREAM_THRESHOLD_GB"] = "0" if threaded else "1e6"
    try:
        with contextlib.redirect_stdout(io.StringIO()) as out, contextlib.redirect_stderr(io.StringIO()):
            sync(device)
            t0 = time.perf_counter()
            c.fit(epochs=epochs, batch_size=batch)
            sync(device)
            elapsed = time.perf_counter() - t0
    finally:
        if saved is None:
            env.pop("PYQELM_STREAM_THRESHOLD_GB", None)
        else:
            env["PYQELM_STREAM_THRESHOLD_GB"] = saved
    steps = next(int(l.split()[2]) for l in out.getvalue().splitlines() if l.startswith("Total Steps:"))
    return steps, elapsed


def time_network(c, device, batch, reps, amp):
    """Median seconds of forward + MSE + backward on one batch, the part a step cannot avoid."""
    model = c.model
    idx = torch.randint(c.cpu_values.shape[0], (batch,))
    hw = c.xyz_cache.shape[0]
    coords = torch.cat([c.xyz_cache[idx % hw], c.time_lut.cpu()[idx // hw][:, None]], 1).to(device)
    targets = c.cpu_values[idx].float().to(device)

    def run():
        model.zero_grad(set_to_none=True)
        with torch.autocast(device_type="cuda", enabled=amp and device.startswith("cuda")):
            preds, _ = model(coords)
            loss = ((preds.float() - targets) ** 2).mean()
        loss.backward()
        sync(device)

    run()
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        run()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    ap.add_argument("--dtype", default=None, help="float32 or float16 (default: float16 on CUDA)")
    ap.add_argument("--epochs", type=int, default=4, help="epochs of 16 steps each")
    ap.add_argument("--batch", type=int, default=65536)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--frames", type=int, default=16)
    ap.add_argument("--threads", type=int, default=0, help="intra-op threads (default: as set at import)")
    args = ap.parse_args()
    if args.threads > 0:
        torch.set_num_threads(args.threads)
    dtype = args.dtype or ("float16" if args.device.startswith("cuda") else "float32")
    T, H, W, C = args.frames, 256, 256, 3
    c = make_compressor(args.device, dtype, T, H, W, C)
    n_params = sum(p.numel() for p in c.model.parameters())
    print(f"device={args.device} dtype={dtype} threads={torch.get_num_threads()} cube={T}x{H}x{W}x{C} "
          f"batch={args.batch} params={n_params}")
    time_fit(c, args.device, 1, args.batch, threaded=False)  # warm-up (allocator, kernels)
    net = time_network(c, args.device, args.batch, args.reps, c.use_amp)
    for threaded in (False, True):
        steps, elapsed = time_fit(c, args.device, args.epochs, args.batch, threaded)
        step = elapsed / steps
        mode = "threaded " if threaded else "in-memory"
        print(f"{mode}: {steps} steps in {elapsed:.2f} s = {steps / elapsed:.2f} steps/s "
              f"({step * 1e3:.1f} ms/step; network forward+backward {net * 1e3:.1f} ms, "
              f"outside it {max(0.0, 1 - net / step):.1%})")


if __name__ == "__main__":
    main()
