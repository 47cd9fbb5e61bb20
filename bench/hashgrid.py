"""Hash-grid encoding on CPU: compiled (fused) versus PyTorch gathers, in one run.

Times forward + backward (parameter gradient) of one encoding per step, for 2-D and 3-D
inputs at 16 levels, 2 features, 2^19 and 2^16 table entries, and one whole training step
(spatial and space-time encoders, MLP decoder, Adam) of a typical network at batch 65536 and
at the training driver's default batch of 524288. The step runs three ways: PyTorch encodings
with torch.optim.Adam (before), fused encodings with torch.optim.Adam, and fused encodings
with the training driver's one-pass Adam update (after). Prints the wall time per step of each
path (best of the timed steps) and the ratios to the first.

    PYTHONPATH=. /usr/bin/python3 bench/hashgrid.py [--batch 65536] [--reps 5]
"""
import argparse
import os
import sys
import time

import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import pyqelm  # noqa: E402,F401
from pyqelm.encoder import tcnn_compressor  # noqa: E402  (also sets the intra-op threads)
from pyqelm.models.QELMNetworkTorch import HashGridEncoding, QELMNetworkTorch  # noqa: E402


def best_time(fn, reps, warmup=1):
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    # The best of several steps: on a shared machine other work only ever adds time.
    return min(times)


def encoding_step(enc, x):
    def run():
        enc.params.grad = None
        enc(x).sum().backward()
    return run


def training_step(net, opt, coords, targets):
    def run():
        preds, _ = net(coords)
        loss = torch.nn.functional.mse_loss(preds, targets)
        opt.zero_grad(set_to_none=True)
        loss.backward()
        opt.step()
    return run


class CompiledAdam(torch.optim.Optimizer):
    """Adam through the extension's one-pass update, the one the training driver runs."""

    def __init__(self, params, lr=1e-3, betas=(0.9, 0.999), eps=1e-8, weight_decay=0.0):
        super().__init__(params, dict(lr=lr, betas=betas, eps=eps, weight_decay=weight_decay))

    @torch.no_grad()
    def step(self):
        for group in self.param_groups:
            for p in group["params"]:
                if p.grad is None:
                    continue
                state = self.state[p]
                if not state:
                    state["step"] = 0
                    state["exp_avg"] = torch.zeros_like(p)
                    state["exp_avg_sq"] = torch.zeros_like(p)
                state["step"] += 1
                tcnn_compressor._adam_update(p, p.grad, state["exp_avg"], state["exp_avg_sq"],
                                             state["step"], group["lr"], *group["betas"],
                                             group["eps"], group["weight_decay"])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--batch", type=int, default=65536)
    ap.add_argument("--reps", type=int, default=5, help="timed steps of the fused path")
    ap.add_argument("--ref-reps", type=int, default=3, help="timed steps of the PyTorch path")
    ap.add_argument("--train-batches", type=lambda v: [int(b) for b in v.split(",")],
                    default=[65536, 524288], help="batches of the training-step comparison")
    args = ap.parse_args()

    print(f"threads={torch.get_num_threads()} cpus={len(os.sched_getaffinity(0))} "
          f"batch={args.batch} loadavg={os.getloadavg()[0]:.2f}")
    torch.manual_seed(0)
    rows = []
    for dims in (2, 3):
        for log2 in (19, 16):
            enc = HashGridEncoding(dims, 16, 2, log2, 16, 2.0)
            x = torch.rand(args.batch, dims)
            enc.fused = True
            fused = best_time(encoding_step(enc, x), args.reps)
            enc.fused = False
            ref = best_time(encoding_step(enc, x), args.ref_reps)
            rows.append((f"encoding {dims}-D 16x2 2^{log2}", ref, fused))
            print(f"  {rows[-1][0]:<34} pytorch {ref * 1e3:9.1f} ms   fused "
                  f"{fused * 1e3:8.1f} ms   x{ref / fused:6.1f}", flush=True)

    # A typical network: 2-D space, space-time grid, 4 bands, 64-wide decoder, Adam; at the
    # benchmark batch and at the training driver's default batch.
    net = QELMNetworkTorch(
        n_output_dims=4,
        xy_hash_size=19, xy_base_resolution=16, xy_n_levels=16, xy_per_level_scale=1.5,
        xy_features_per_level=2,
        t_hash_size=19, t_base_resolution=16, t_n_levels=16, t_per_level_scale=1.5,
        t_features_per_level=2,
        spatial_scale=1.0, decoder_hidden=64, n_hidden_layers=2, spatial_dims=2)
    n_params = sum(p.numel() for p in net.parameters())
    for batch in args.train_batches:
        coords = torch.rand(batch, 3)
        targets = torch.rand(batch, 4)
        times = {}
        for name, fused, optimizer, reps in (
                ("pytorch", False, torch.optim.Adam, args.ref_reps),
                ("fused", True, torch.optim.Adam, args.reps),
                ("fused+adam", True, CompiledAdam, args.reps)):
            net.set_fused(fused)
            opt = optimizer(net.parameters(), lr=1e-2)
            times[name] = best_time(training_step(net, opt, coords, targets), reps)
            del opt
        ref = times["pytorch"]
        print(f"  {f'training step, batch {batch}':<34} pytorch {ref * 1e3:9.1f} ms   "
              f"fused {times['fused'] * 1e3:8.1f} ms  x{ref / times['fused']:5.1f}   "
              f"fused+adam {times['fused+adam'] * 1e3:8.1f} ms  x{ref / times['fused+adam']:5.1f}"
              f"   ({n_params / 1e6:.1f}M params)", flush=True)
        del coords, targets
    print(f"loadavg at end={os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
