"""The error bound of networks trained on CUDA, checked on the CPU decoder.

Trains on CUDA in float16 (mixed precision) and in float32, with tiny-cuda-nn when it is
importable and the reference backend on CUDA otherwise, on a small real field (a crop of the
monthly near-surface air temperature of Debian's libncarg-data, or --source), then decodes on
CPU and checks with NumPy, in float64 against the source:

* the command line's path (``pyqelm.pipeline.encode`` with --max-error): every valid value of
  the bounded container within the bound, and its stored metrics equal to the measured ones;
* the library's path (``save_qelm(save_residuals=True)``): the rectified container's stored
  metrics equal to what its decoded values show against the cube the compressor held (the
  residuals of that path are measured with the decoder's network on CPU, not the training
  device's half precision).

Without CUDA it prints one line saying it skipped and exits 0 (``--device cpu`` runs the same
checks on CPU, for a dry run). Exit status 1 when a check fails. About a minute on one GPU.

    /usr/bin/python3 bench/gpu_check.py [--source FILE.nc] [--variable tas] [--device cuda]
"""
import argparse
import os
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

DEFAULT_SOURCE = "/usr/share/ncarg/data/nug/tas_rectilinear_grid_2D.nc"


def crop(source, variable, path, frames=6, rows=48, cols=96):
    """A NetCDF copy of the first frames x rows x cols of ``variable`` (real values, small)."""
    import netCDF4

    with netCDF4.Dataset(source) as src, netCDF4.Dataset(path, "w") as dst:
        var = src[variable]
        tdim, ydim, xdim = var.dimensions
        for name, n in ((tdim, frames), (ydim, rows), (xdim, cols)):
            dst.createDimension(name, n)
            if name in src.variables:
                c = src[name]
                out = dst.createVariable(name, c.dtype, (name,))
                out.setncatts({k: c.getncattr(k) for k in c.ncattrs() if k != "_FillValue"})
                out[:] = c[:n]
        fill = var.getncattr("_FillValue") if "_FillValue" in var.ncattrs() else None
        out = dst.createVariable(variable, var.dtype, (tdim, ydim, xdim), fill_value=fill)
        out.setncatts({k: var.getncattr(k) for k in var.ncattrs() if k != "_FillValue"})
        out[:] = var[:frames, :rows, :cols]
    return path


def truth(path, variable):
    import netCDF4

    with netCDF4.Dataset(path) as ds:
        v = ds[variable][:]
    return np.ma.filled(np.ma.asarray(v, dtype=np.float64), np.nan)[..., None]


def measured(decoded, reference):
    ok = np.isfinite(reference)
    err = np.abs(decoded.astype(np.float64)[ok] - reference[ok])
    err[~np.isfinite(err)] = np.inf
    return float(err.max()), float(np.sqrt(np.mean(err * err))), int(ok.sum())


def check_pipeline(path, variable, bound, precision, device, backend, out, batch):
    from pyqelm.decode import decode_container
    from pyqelm.pipeline import EncodeOptions, SourceOptions, encode, stored_metrics

    opts = EncodeOptions(source=SourceOptions(variable=variable), preset="tiny", epochs=3, batch_size=batch,
                         max_error=bound, backend=backend, device=device, precision=precision, quiet=True)
    t0 = time.perf_counter()
    result = encode(path, os.path.join(out, f"p_{precision}.qelm"), opts, log=lambda *a: None)
    decoded, _ = decode_container(result.best_file)
    mx, rmse, n = measured(decoded, truth(path, variable))
    record, _ = stored_metrics(result.best_file)
    stored = record["bands"][0]
    ok = mx <= bound and np.isclose(stored["max"], mx, rtol=1e-5, atol=1e-6) and stored["n_valid"] == n
    print(f"pipeline {precision:<8} {result.backend}: max error {mx:.6g} (bound {bound:g}), stored max "
          f"{stored['max']:.6g}, RMSE {rmse:.4g} / stored {stored['rmse']:.4g}, {n:,} values, "
          f"{time.perf_counter() - t0:.1f} s: {'ok' if ok else 'FAILED'}")
    return ok


def check_library(path, variable, bound, precision, device, backend, out, batch):
    from pyqelm.decode import decode_container
    from pyqelm.encoder import tcnn_compressor as tc
    from pyqelm.pipeline import _Quiet, scan_range, zarr_view
    from pyqelm.presets import preset_sizes
    from pyqelm.format import read_chunk_bytes, read_container

    t0 = time.perf_counter()
    with zarr_view(path, variable) as (store, name), _Quiet(True):
        lo, hi, _ = scan_range(store, name)
        if backend == "tcnn":
            c = tc.QELMCompressor(train_dtype=precision)
        else:
            c = tc.QELMCompressor._with_reference_backend(device=device, train_dtype=precision)
        c.load_dataset_zarr(store, variable=name, valid_range=(lo, hi))
        c.prepare_training_data_optimized()
        s = preset_sizes("tiny")
        c.build_qelm_model(*[s[k] for k in (
            "xy_hash_size", "xy_base_resolution", "xy_n_levels", "xy_per_level_scale", "xy_features_per_level",
            "t_hash_size", "t_base_resolution", "t_n_levels", "t_per_level_scale", "t_features_per_level",
            "spatial_scale", "decoder_hidden", "n_hidden_layers")])
        c.fit(epochs=3, batch_size=batch)
        target = os.path.join(out, f"lib_{precision}.qelm")
        c.save_qelm(target, save_residuals=True, residual_threshold=bound)
        held = c.cpu_values.float().numpy().astype(np.float64) * (hi - lo) + lo
    rect = target[:-5] + "-rectified.qelm"
    best = rect if os.path.isfile(rect) else target
    decoded, meta = decode_container(best)
    mx, rmse, n = measured(decoded, held.reshape(decoded.shape))
    cm = read_chunk_bytes(next(iter(read_container(best).chunks.values()))).chunk_meta
    stored = cm.extras["quality_metrics"]["bands"][0]
    # The engine forms the held values in float32: allow a few of its roundings of the largest one.
    slack = 8 * float(np.finfo(np.float32).eps) * max(abs(lo), abs(hi))
    ok = bool(np.isfinite(mx)) and abs(stored["max"] - mx) <= slack
    print(f"library  {precision:<8} {backend} on {device}: max error against the held cube {mx:.6g}, stored "
          f"{stored['max']:.6g} (threshold {bound:g}), {time.perf_counter() - t0:.1f} s: {'ok' if ok else 'FAILED'}")
    return ok


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--source", default=DEFAULT_SOURCE, help="NetCDF file with a (time, y, x) field")
    p.add_argument("--variable", default="tas")
    p.add_argument("--device", default="cuda", help="cuda (default) or cpu for a dry run")
    p.add_argument("--bound", type=float, default=0.05, help="error bound in the variable's units")
    p.add_argument("--batch-size", type=int, default=4096, help="training batch (a CPU dry run wants a few hundred)")
    a = p.parse_args(argv)

    import torch

    if a.device.startswith("cuda") and not torch.cuda.is_available():
        print("gpu_check: skipped: no CUDA device")
        return 0
    if not os.path.isfile(a.source):
        print(f"gpu_check: source {a.source} not found (give --source)")
        return 1
    from pyqelm.encoder import tcnn_compressor as tc

    backend = "tcnn" if a.device.startswith("cuda") and tc._has_tinycudann() else "reference"
    if a.device.startswith("cuda"):
        print(f"gpu_check: {torch.cuda.get_device_name(0)}, backend {backend}")
    ok = True
    with tempfile.TemporaryDirectory(prefix="pyqelm-gpu-check-") as out:
        field = crop(a.source, a.variable, os.path.join(out, "field.nc"))
        for precision in ("float16", "float32"):
            ok &= check_pipeline(field, a.variable, a.bound, precision, a.device, backend, out, a.batch_size)
            ok &= check_library(field, a.variable, a.bound, precision, a.device, backend, out, a.batch_size)
    print("gpu_check: " + ("every check passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
