"""The weight blob: what storing unreached hash entries as zero saves, and what 8-bit grids cost.

For each preset the network is trained once on a real field (same seed, steps and batch), then:

* the weight blob's bytes with every hash entry as trained (entries no valid point reaches
  still hold their random initial values) and with those entries stored as zero, at 16 and at
  8 bits, side by side with their ratio;
* the decoded quality of the network alone (no residuals) with 16-bit and with 8-bit grids,
  measured by decoding the container and comparing with the source: RMSE, max error and the
  values off by 1 % and 0.1 % of the range or more.

    PYTHONPATH=. /usr/bin/python3 bench/weights.py [--field tas] [--presets tiny small] [--steps 1500]
"""
import argparse
import os
import sys
import tempfile

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from pyqelm.compare import error_stats  # noqa: E402
from pyqelm.decode import decode_container  # noqa: E402
from pyqelm.encoder import tcnn_compressor as tc  # noqa: E402
from pyqelm.encoder.compression import fast_compress  # noqa: E402
from pyqelm.pipeline import SourceOptions, _Quiet, read_cube, scan_range, zarr_view  # noqa: E402
from pyqelm.presets import preset_sizes  # noqa: E402

DATA = "/usr/share/ncarg/data/nug/{0}_rectilinear_grid_2D.nc"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--field", default="tas")
    ap.add_argument("--presets", nargs="+", default=["tiny", "small"])
    ap.add_argument("--steps", type=int, default=1500)
    ap.add_argument("--batch", type=int, default=2048)
    ap.add_argument("--seed", type=int, default=0)
    a = ap.parse_args()
    path = DATA.format(a.field)
    cube, _ = read_cube(path, SourceOptions(variable=a.field))
    span = float(np.nanmax(cube) - np.nanmin(cube))
    print(f"{a.field}: {cube.shape}, {a.steps} steps of batch {a.batch}, seed {a.seed}")
    print(f"{'preset':<7} {'bits':>4} {'blob as trained':>16} {'unreached = 0':>14} {'ratio':>6} "
          f"{'RMSE':>9} {'max err':>9} {'off>=1%':>9} {'off>=0.1%':>10} {'container':>10}")
    with zarr_view(path, a.field) as (store, variable), tempfile.TemporaryDirectory() as work:
        lo, hi, _ = scan_range(store, variable)
        for preset in a.presets:
            with _Quiet(True):
                torch.manual_seed(a.seed)
                c = tc.QELMCompressor._with_reference_backend(device="cpu", train_dtype="float32")
                c.load_dataset_zarr(store, variable=variable, valid_range=(lo, hi))
                c.prepare_training_data_optimized(norm_mode=3)
                c.build_qelm_model(**preset_sizes(preset))
                c.fit(steps=a.steps, batch_size=a.batch, loss_type="L1", seed=a.seed)
            for bits in (16, 8):
                with _Quiet(True):
                    tensors, names = c.model.export_weight_components()
                    raw, _, _ = tc._quantize_weight_components([t.detach() for t in tensors], names, bits)
                    before = len(fast_compress(raw))
                    after = len(c._build_weights_bytes(bits)[0])
                    out = os.path.join(work, f"{preset}-{bits}.qelm")
                    c.save_qelm(out, quantization_bit=bits)
                dec, _ = decode_container(out)
                rmse, _, mx, _ = error_stats(cube, dec)
                err = np.abs(dec.astype(np.float64) - cube.astype(np.float64))
                off1, off01 = (int(np.count_nonzero(err >= f * span)) for f in (0.01, 0.001))
                print(f"{preset:<7} {bits:>4} {before:>16,} {after:>14,} {after / before:>6.2f} {rmse:>9.4g} "
                      f"{mx:>9.4g} {off1:>9,} {off01:>10,} {os.path.getsize(out):>10,}")


if __name__ == "__main__":
    main()
