"""Which training loss leaves the fewest values off by the bound: MSE, L1 and BOUND side by side.

For each field and bound (a fraction of the field's range) the same network is trained with
the same seed, steps and batch under each loss; then the network alone is measured: how many
values it misses by E or more (each one costs a residual), its RMSE and max error, and the
size of the bounded container written with today's residual layout. Ratios are against MSE.

``--knees`` adds BOUND runs whose hinge sits at other fractions of E (the bound handed to the
loss is scaled, which moves the knee and its width together).

    PYTHONPATH=. /usr/bin/python3 bench/losses.py [--fields tas uas vas] [--fractions 0.01 0.001]
        [--preset tiny] [--steps 1500] [--batch 2048] [--knees 0.5]
"""
import argparse
import os
import sys
import tempfile
import time

import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from pyqelm.encoder import tcnn_compressor as tc  # noqa: E402
from pyqelm.pipeline import _Quiet, rectified_path, residual_threshold, scan_range, zarr_view  # noqa: E402
from pyqelm.presets import preset_sizes  # noqa: E402

DATA = "/usr/share/ncarg/data/nug/{0}_rectilinear_grid_2D.nc"


def train(store, variable, valid_range, sizes, loss, bound, loss_bound, steps, batch, seed, workdir):
    with _Quiet(True):
        torch.manual_seed(seed)
        c = tc.QELMCompressor._with_reference_backend(device="cpu", train_dtype="float32")
        c.load_dataset_zarr(store, variable=variable, valid_range=valid_range)
        c.prepare_training_data_optimized(norm_mode=3)
        c.build_qelm_model(**sizes)
        t0 = time.perf_counter()
        c.fit(steps=steps, batch_size=batch, loss_type=loss, seed=seed,
              error_bound=loss_bound if loss == "BOUND" else None)
        seconds = time.perf_counter() - t0
        idx, _ = c.compute_residuals(threshold=bound)
        path = os.path.join(workdir, f"{variable}-{loss}.qelm")
        thr = residual_threshold(bound, c.meta_info["data_range"])
        c.save_qelm(path, save_residuals=True, residual_threshold=thr)
        rect = rectified_path(path)
        size = os.path.getsize(rect if os.path.exists(rect) else path)
        base = c._quality_metrics_base["bands"][0]
    return {"off": int(len(idx)), "rmse": base["rmse"], "max": base["max"], "bytes": size, "s": seconds}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--fields", nargs="+", default=["tas", "uas", "vas"])
    ap.add_argument("--fractions", nargs="+", type=float, default=[0.01, 0.001])
    ap.add_argument("--preset", default="tiny")
    ap.add_argument("--steps", type=int, default=1500)
    ap.add_argument("--batch", type=int, default=2048)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--knees", nargs="+", type=float, default=[0.5],
                    help="BOUND runs with the hinge at these fractions of E (0.5 is the loss as built)")
    a = ap.parse_args()
    sizes = preset_sizes(a.preset)
    runs = [("MSE", 1.0), ("L1", 1.0)] + [("BOUND", k / 0.5) for k in a.knees]
    names = ["MSE", "L1"] + [f"BOUND@{k:g}" for k in a.knees]
    print(f"preset {a.preset}, {a.steps} steps of batch {a.batch}, seed {a.seed}; values off by >= E "
          "(network alone), its RMSE and max error, and the bounded file's bytes; ratio to MSE in brackets")
    head = f"{'field':<6} {'bound':>16}  " + "  ".join(f"{n:>30}" for n in names)
    print(head)
    total = {n: 0 for n in names}
    with tempfile.TemporaryDirectory() as work:
        for field in a.fields:
            with zarr_view(DATA.format(field), field) as (store, variable):
                lo, hi, _ = scan_range(store, variable)
                for frac in a.fractions:
                    bound = frac * (hi - lo)
                    res = [train(store, variable, (lo, hi), sizes, loss, bound, bound * scale, a.steps, a.batch,
                                 a.seed, work) for loss, scale in runs]
                    ref = res[0]
                    cells = []
                    for n, r in zip(names, res):
                        total[n] += r["off"]
                        cells.append(f"{r['off']:>7,} ({r['off'] / max(ref['off'], 1):.2f}) "
                                     f"{r['bytes']:>8,} ({r['bytes'] / ref['bytes']:.2f})")
                    print(f"{field:<6} {frac:>6.2%} = {bound:<7.4g}  " + "  ".join(f"{c:>30}" for c in cells))
                    print(f"{'':<6} {'rmse / max / s':>16}  " + "  ".join(
                        f"{r['rmse']:>11.4g} {r['max']:>9.4g} {r['s']:>6.1f}s" for r in res))
    print("total values off by >= E: " + ", ".join(f"{n} {v:,} ({v / max(total['MSE'], 1):.2f})"
                                                 for n, v in total.items()))


if __name__ == "__main__":
    main()
