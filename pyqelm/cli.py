"""Command line: ``python3 -m pyqelm {encode,decode,inspect,compare,verify,presets} ...``.

Every sub-command reports bad input as one line on standard error and exits non-zero
(2 for a bad command line, 1 for anything that fails while running, 3 when an error bound is
broken); ``--debug`` shows the traceback instead.
"""
import argparse
import contextlib
import errno
import json
import math
import os
import re
import signal
import sys
import tempfile
import time

import numpy as np

from pyqelm.outputs import Interrupted, signals_raise
from pyqelm.pipeline import (FOLDER_LOADERS, LOSS_TYPES, MASK_MODES, OUT_OF_RANGE, EncodeOptions, SourceOptions,
                             detect_source, raw_bytes, read_meta_sidecar, stored_metrics)
from pyqelm.presets import PRESETS, SIZE_ARGUMENTS, presets_table
from pyqelm.verification import BoundViolated, stated_bound

EXIT_USAGE, EXIT_FAILURE, EXIT_BOUND = 2, 1, 3
# Integer options reach the engine as 32-bit (sizes) or 64-bit (counts) integers.
_INT_MAX = 2 ** 31 - 1


# ---- argument types: each refuses a bad value with a message argparse prints ------------------

def _number(kind, lo=None, hi=None, lo_open=False):
    if kind is int and hi is None:
        hi = _INT_MAX

    def parse(text):
        try:
            v = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {'an integer' if kind is int else 'a number'}, got {text!r}")
        if kind is float and not math.isfinite(v):
            raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
        if lo is not None and (v <= lo if lo_open else v < lo):
            raise argparse.ArgumentTypeError(f"must be {'>' if lo_open else '>='} {lo:g}, got {text}")
        if hi is not None and v > hi:
            raise argparse.ArgumentTypeError(f"must be <= {hi if kind is int else format(hi, 'g')}, got {text}")
        return v
    return parse


positive_int = _number(int, 1)
nonneg_int = _number(int, 0)
positive_float = _number(float, 0, lo_open=True)
fraction = _number(float, 0, 1)
any_float = _number(float)


class _Parser(argparse.ArgumentParser):
    """One line on standard error for a bad command line, instead of usage plus message. With
    ``presets_epilog`` set, help ends with the presets table, built only when help is shown."""

    presets_epilog = False
    # Numbers such as -1e38 or -.5 are values, not options (argparse's own test misses exponents).
    _NEGATIVE_NUMBER = re.compile(r"^-(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$|^-(inf|infinity|nan)$", re.IGNORECASE)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._negative_number_matcher = self._NEGATIVE_NUMBER

    def error(self, message):
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")

    def format_help(self):
        if self.presets_epilog and self.epilog is None:
            self.epilog = "model presets (parameters for one band):\n" + presets_table()
        return super().format_help()


HELP_FORMATTER = argparse.RawDescriptionHelpFormatter


def _add_source_options(p):
    g = p.add_argument_group("source")
    g.add_argument("--variable", help="data variable of a Zarr store or NetCDF file (default: the only one)")
    g.add_argument("--valid-range", nargs=2, type=any_float, metavar=("MIN", "MAX"),
                   help="physical range: Zarr/NetCDF values are clipped to it and normalised by it for training "
                        "(default: the data's own min and max, found by one pass over the source); raster folders "
                        "mark values outside it as no-data (default: none). See --out-of-range")
    g.add_argument("--out-of-range", choices=OUT_OF_RANGE,
                   help="values outside --valid-range or outside the variable's valid_range/valid_min/valid_max "
                        "attributes: no-data, or data the residual codes carry so the --max-error bound holds for "
                        "them too (default: no-data for the attributes, which CF defines as invalid data, and for "
                        "raster folders; carried for --valid-range on Zarr and NetCDF sources)")
    g.add_argument("--scale-factor", type=any_float,
                   help="stored value x scale = physical value (default: the variable's scale_factor attribute; "
                        "1.0 for --loader standard, 0.1 for the HiGLASS loaders)")
    g.add_argument("--loader", choices=FOLDER_LOADERS, default="standard", help="raster folder layout (default: standard)")
    g.add_argument("--tile", help="tile name for --loader higlass_lai_fpar")
    g.add_argument("--bands", type=positive_int, default=1, help="bands per raster for --loader standard (default: 1)")
    g.add_argument("--p99-removal", action="store_true", help="raster folders: values above the 99th percentile "
                                                               "of their band become no-data")
    g.add_argument("--year-range", nargs=2, type=int, metavar=("FIRST", "LAST"),
                   help="years to keep with --loader higlass_lai_fpar")
    g.add_argument("--band-dim", metavar="NAME",
                   help="Zarr/NetCDF: encode this dimension (a vertical level, an ensemble member, or one the file "
                        "does not name) as bands")
    g.add_argument("--time-start", metavar="DATE",
                   help="Zarr/NetCDF: date of the first frame (ISO-8601), for a time axis without CF dates; the "
                        "file's own time values are kept and restored on decode")
    g.add_argument("--time-step", metavar="STEP",
                   help="with --time-start: the step between frames, e.g. '1 day', '6h', '1 month', '1 year' "
                        "(months and years step calendar months)")


def _source_options(a):
    return SourceOptions(variable=a.variable, valid_range=tuple(a.valid_range) if a.valid_range else "auto",
                         scale_factor=a.scale_factor, loader=a.loader, tile=a.tile, bands=a.bands,
                         p99_removal=a.p99_removal, year_range=tuple(a.year_range) if a.year_range else None,
                         band_dim=a.band_dim, time_start=a.time_start, time_step=a.time_step,
                         out_of_range=a.out_of_range)


def _add_engine_options(p, residuals=True):
    g = p.add_argument_group("model size")
    g.add_argument("--preset", choices=list(PRESETS), default=None,
                   help="named model size (table below). Default with --max-error: the size (tiny, compact or "
                        "small) and weight bits that give the smallest bounded file in short trial fits on the "
                        "cube; else small")
    for arg, opt, kind in SIZE_ARGUMENTS:
        g.add_argument(opt, dest=arg, type=_number(kind, 0, lo_open=True), metavar="N" if kind is int else "X",
                       help=f"override the preset's {arg} (small unless --preset is given)")
    g.add_argument("--temporal-mode", choices=("hash3d", "latent"), default="hash3d",
                   help="space-time encoding: one 3-D hash grid, or a spatial code times a 1-D time grid")
    g.add_argument("--no-temporal", action="store_true", help="no time encoding (a single static field)")
    g = p.add_argument_group("preparation")
    g.add_argument("--norm-mode", type=int, choices=(0, 1, 2, 3), default=3,
                   help="spatial inputs: 3 pixel grid (default), 2 planar map coordinates, 0/1 points on the "
                        "sphere (2 and 0/1 need the grid's affine transform)")
    g.add_argument("--log", action="store_true", help="train on log(1 + x) (raster folders only)")
    g.add_argument("--block-size", nargs=2, type=positive_int, metavar=("BH", "BW"), default=(1, 1),
                   help="predict BH x BW pixel blocks per network call (default: 1 1)")
    g = p.add_argument_group("training")
    g.add_argument("--epochs", type=positive_int,
                   help="train this many epochs with the engine's own step accounting (a cube of under 10^6 "
                        "valid points repeats passes within an epoch so that a run takes at least about 2005 "
                        "steps); default: a run planned for the cube and this machine (--time-budget)")
    g.add_argument("--batch-size", type=positive_int,
                   help="points per step (default: about 100 steps per pass over the valid points, a power of "
                        "two from 1024 to 262144)")
    g.add_argument("--steps", type=nonneg_int, help="train exactly this many steps (default: planned)")
    g.add_argument("--time-budget", type=positive_float, metavar="SECONDS",
                   help="training time a planned run aims at, at the step rate measured on this machine "
                        "(default: 25 s per 10^6 values of the cube, at least 3 s)")
    g.add_argument("--seed", type=_number(int, 0, 2 ** 63 - 1), metavar="N",
                   help="seed every random generator: the same settings and seed give a byte-identical file on "
                        "the same machine (a planned run then assumes a nominal step rate instead of timing one)")
    g.add_argument("--lr", type=positive_float, default=0.01, help="decoder learning rate (default: 0.01)")
    g.add_argument("--lr-hash", type=positive_float, help="hash-grid learning rate (default: --lr)")
    g.add_argument("--loss", choices=LOSS_TYPES,
                   help="training loss (default: BOUND with --max-error, which counts the errors near and above "
                        "the bound, else MSE)")
    g.add_argument("--early-stop", action="store_true", help="stop when the smoothed loss stops improving")
    g.add_argument("--early-stop-patience", type=positive_int, default=8, metavar="EPOCHS")
    g.add_argument("--early-stop-min-delta", type=fraction, default=0.005, metavar="REL",
                   help="relative improvement that counts (default: 0.005)")
    g.add_argument("--early-stop-warmup", type=nonneg_int, default=20, metavar="EPOCHS")
    g.add_argument("--early-stop-ema", type=_number(float, 0, 1, lo_open=True), default=0.3, metavar="ALPHA")
    g.add_argument("--importance-sampling", action="store_true",
                   help="after a warm-up, draw extra steps from the points with the largest error")
    g.add_argument("--imp-warmup-frac", type=fraction, default=0.5, metavar="F")
    g.add_argument("--imp-alpha", type=positive_float, default=1.0, metavar="A")
    g.add_argument("--imp-refresh-epochs", type=positive_int, default=3, metavar="EPOCHS")
    g.add_argument("--streaming", action="store_true",
                   help="train out of core from the Zarr/NetCDF source instead of loading it into memory (with "
                        "--max-error the bound is kept by a second streamed pass)")
    g.add_argument("--start-date", help="global start of the time axis (ISO-8601; default: first frame)")
    g.add_argument("--end-date", help="global end of the time axis (ISO-8601; default: last frame)")
    g = p.add_argument_group("backend")
    g.add_argument("--backend", choices=("tcnn", "reference"),
                   help="tcnn: tiny-cuda-nn on CUDA; reference: pure PyTorch on any device (default: tcnn when "
                        "tiny-cuda-nn and a CUDA device are present, else reference)")
    g.add_argument("--device", help="device of the reference backend, e.g. cpu, cuda, cuda:1 (default: cuda when "
                                    "present, else cpu)")
    g.add_argument("--precision", choices=("auto", "float16", "float32"), default="auto",
                   help="training precision: float16 trains with mixed precision (default: float16 on CUDA, "
                        "float32 on CPU)")
    if residuals:
        g = p.add_argument_group("saving")
        g.add_argument("--max-error", type=positive_float, metavar="E",
                       help="bound every valid value's error by E (physical units, measured on the decoded values "
                            "against the source): OUTPUT is the bounded container (the network and residual codes "
                            "of a step just under 2E), decoded and checked against the source before it is written "
                            "(exit status 3 when a value is off by more)")
        g.add_argument("--network-output", metavar="FILE.qelm",
                       help="with --max-error, also write the network alone (no residual track) to FILE.qelm")
        g.add_argument("--no-verify", action="store_true",
                       help="with --max-error, skip decoding the result and checking it against the source")
        g.add_argument("--residual-dtype", choices=("int8", "int16"),
                       help="refused: the command line stores residuals as integer codes sized to the bound, not "
                            "as int8/int16 values (the library's save_qelm still takes residual_dtype)")
        g.add_argument("--quantization-bits", type=int, choices=(0, 8, 16), default=None,
                       help="weights: 16 or 8-bit integers, 0 for float16 (default: chosen with the network size "
                            "where it is sized, else 16)")
        g.add_argument("--mask-mode", choices=MASK_MODES, default="auto",
                       help="no-data mask: static (one frame: pixels missing in every frame), dynamic (one per "
                            "frame), no (none), auto (static when no-data never changes between frames, else "
                            "dynamic; the default)")
        g.add_argument("--chunk-blob", action="store_true",
                       help="write only the bare chunk blob (OUTPUT must end in .qelmc) and its outer metadata "
                            "as OUTPUT.meta.json")
    p.add_argument("-q", "--quiet", action="store_true", help="hide the engine's progress output")


def _encode_options(a):
    return EncodeOptions(
        source=_source_options(a), start_date=a.start_date, end_date=a.end_date, streaming=a.streaming,
        preset=a.preset or "small", sizes={arg: getattr(a, arg) for arg, _, _ in SIZE_ARGUMENTS},
        auto_size=a.preset is None and all(getattr(a, arg) is None for arg, _, _ in SIZE_ARGUMENTS),
        temporal_mode=a.temporal_mode, disable_temporal=a.no_temporal, norm_mode=a.norm_mode, use_log=a.log,
        block_size=tuple(a.block_size), epochs=a.epochs, batch_size=a.batch_size, steps=a.steps,
        time_budget=a.time_budget, seed=a.seed, lr=a.lr, lr_hash=a.lr_hash,
        loss=a.loss, early_stop=a.early_stop, early_stop_patience=a.early_stop_patience,
        early_stop_min_delta_rel=a.early_stop_min_delta, early_stop_warmup_epochs=a.early_stop_warmup,
        early_stop_ema_alpha=a.early_stop_ema, importance_sampling=a.importance_sampling,
        imp_warmup_frac=a.imp_warmup_frac, imp_alpha=a.imp_alpha, imp_refresh_epochs=a.imp_refresh_epochs,
        max_error=getattr(a, "max_error", None), residual_dtype=getattr(a, "residual_dtype", None),
        quantization_bits=getattr(a, "quantization_bits", None), mask_mode=getattr(a, "mask_mode", "auto"),
        chunk_blob=getattr(a, "chunk_blob", False), backend=a.backend, device=a.device, precision=a.precision,
        quiet=a.quiet, force=getattr(a, "force", False), network_output=getattr(a, "network_output", None),
        verify=False if getattr(a, "no_verify", False) else (True if getattr(a, "verify", False) else None))


def _log(*args):
    print(*args, flush=True)


# ---- encode ------------------------------------------------------------------------------------

_METRIC_SOURCES = {
    "decoded": "every valid value of the decoded output, against the source",
    "residual": "every valid value, after residuals",
    "model": "every valid value, network only (before residuals)",
}


def _metric_source(source):
    if source in _METRIC_SOURCES:
        return _METRIC_SOURCES[source]
    if isinstance(source, str) and source.startswith("sampled("):
        return f"{source[8:-2]} evenly spaced frames, network only"
    return str(source)


def _metrics_lines(record, band_names, indent="  "):
    if not record:
        return [f"{indent}(no quality metrics stored)"]
    lines = [f"{indent}{'band':<12} {'RMSE':>11} {'MAE':>11} {'max error':>11} {'values':>12}"]
    try:
        for i, b in enumerate(record.get("bands", [])):
            name = band_names[i] if i < len(band_names) else f"B{i + 1}"
            lines.append(f"{indent}{name:<12} {float(b['rmse']):>11.5g} {float(b['mae']):>11.5g} "
                         f"{float(b['max']):>11.5g} {int(b['n_valid']):>12,}")
    except (KeyError, TypeError, ValueError, AttributeError):  # written by something else: shown, not trusted
        return [f"{indent}(quality metrics stored in a form this version does not read)"]
    return lines


def _summary_head(meta):
    T, H, W, C = (int(s) for s in meta.shape)
    raw, dtype = raw_bytes(meta)
    itemsize = raw // max(1, T * H * W * C)
    return ["", "Summary",
            f"  input       {T} frames x {H} rows x {W} columns x {C} band(s), stored as {dtype}",
            f"  raw size    {raw:,} bytes (T x H x W x C x {itemsize} bytes of {dtype})"]


def summary_lines(result, max_error=None):
    meta = result.meta
    raw, dtype = raw_bytes(meta)
    lines = _summary_head(meta)
    if result.valid_range:
        lines.append(f"  valid range [{result.valid_range[0]:.9g}, {result.valid_range[1]:.9g}]")
    roles = {"standard": "network only", "rectified": "network + residuals", "chunk": "bare chunk blob",
             "network": "network only, as asked by --network-output"}
    for role, path, n in result.files:
        lines.append(f"  {path}: {n:,} bytes, ratio {raw / max(n, 1):.2f} ({roles[role]})")
    if max_error is not None and result.outliers == 0 and result.files[0][0] == "standard":
        lines.append(f"  no value was off by {max_error:g} or more: the network alone meets the bound, no residuals")
    record, chunk_meta = stored_metrics(result.best_file)
    band_names = [b.name for b in meta.bands]
    src = record.get("source") if record else None
    lines.append(f"  quality of {os.path.basename(result.best_file)} (stored in the container; "
                 f"{_metric_source(src)}; physical units):")
    lines += _metrics_lines(record, band_names, indent="    ")
    pre = chunk_meta.extras.get("quality_metrics_pre_residual")
    if pre:
        lines.append(f"  network alone ({_metric_source(pre.get('source'))}):")
        lines += _metrics_lines(pre, band_names, indent="    ")
    checked = result.verification
    if checked is not None:
        lines.append(f"  checked     {os.path.basename(result.best_file)} decoded and measured against the source: "
                     f"{checked.verdict()}")
    elif max_error is not None and record:
        worst = max(b["max"] for b in record["bands"])
        verdict = "holds" if worst <= max_error else "NOT MET"
        how = ("measured on the decoded values against the source" if src == "decoded"
               else "by the engine's own measurement")
        lines.append(f"  error bound |err| <= {max_error:g}: {verdict}, {how} (largest {worst:.6g}); not checked "
                     "again after writing (--no-verify)")
    if result.steps is not None:
        steps = ", ".join(f"{s:.7g}" for s in result.steps)
        lines.append(f"  residuals   {result.outliers:,} corrected values (codes of step {steps}: just under twice "
                     "the bound)")
    if result.threshold is not None:
        lines.append(f"  residuals   {result.outliers:,} corrected values (threshold {result.threshold:.7g}: the "
                     f"bound less a float32 rounding allowance)")
    if result.training:
        lines.append(f"  training    {result.training}")
    s = result.seconds
    lines.append(f"  time        {s['total']:.1f} s (load {s.get('load', 0):.1f} s, train {s.get('train', 0):.1f} s, "
                 f"save {s.get('save', 0):.1f} s) with {result.backend}")
    return lines


def cmd_encode(a):
    from pyqelm.pipeline import encode

    opts = _encode_options(a)
    if a.tiles is None and (a.workers is not None or a.scheduler or a.resume):
        raise ValueError("--workers, --scheduler and --resume go with --tiles")
    if a.tiles is not None:
        return _encode_tiled(a, opts)
    result = encode(a.source, a.output, opts, log=_log)
    for line in summary_lines(result, opts.max_error) + result.notes:
        _log(line)
    return 0


def _encode_tiled(a, opts):
    from pyqelm.tiled import TiledOptions, encode_tiled
    from pyqelm.tiling import parse_tiles

    tiling = TiledOptions(parse_tiles(a.tiles), workers=a.workers, scheduler=a.scheduler, resume=a.resume)
    result = encode_tiled(a.source, a.output, opts, tiling, log=_log)
    for line in tiled_summary_lines(result, opts.max_error):
        _log(line)
    return 0


def tiled_summary_lines(result, max_error=None):
    meta = result.meta
    raw, dtype = raw_bytes(meta)
    lines = _summary_head(meta) + [
             f"  tiles       {len(result.results)}: {result.plan.describe()}; {len(result.trained)} trained by this "
             f"run, {len(result.kept)} kept from the work folder",
             f"  {result.path}: {result.bytes:,} bytes, ratio {raw / max(result.bytes, 1):.2f} (one network per "
             "tile" + (", + residuals)" if max_error is not None else ")")]
    empty = sum(1 for r in result.results if not r.trained)
    if empty:
        lines.append(f"  {empty} tile(s) hold no valid value: stored as no-data only")
    lines.append("  quality (every tile decoded and measured against the source; physical units):")
    lines.append(f"    {'band':<12} {'RMSE':>11} {'MAE':>11} {'max error':>11} {'values':>12}")
    for b, (count, rmse, mae, mx) in zip(meta.bands, result.errors()):
        lines.append(f"    {b.name:<12} {rmse:>11.5g} {mae:>11.5g} {mx:>11.5g} {count:>12,}")
    lines += seam_lines(meta.extras.get("seams"), indent="  ")
    lines.append(f"  checked     every tile decoded and measured against the source: {result.verification.verdict()}")
    if max_error is not None:
        outliers = sum(r.outliers for r in result.results)
        lines.append(f"  residuals   {outliers:,} corrected values in all tiles")
    s = result.seconds
    lines.append(f"  time        {s['total']:.1f} s (prepare {s.get('prepare', 0):.1f} s, tiles "
                 f"{s.get('train', 0):.1f} s on {result.cluster}, assemble {s.get('assemble', 0):.1f} s) "
                 f"with {result.backend}")
    if result.work_folder_left:
        lines.append(f"  note        {result.work_folder} holds files this run did not write; it was left in place")
    return lines


def seam_lines(seams, indent="", width=12):
    """The seam record of a tiled container (see pyqelm.tiling) as text."""
    if not seams:
        return []
    lines = [f"{indent}{'seams':<{width}}across {', '.join(seams['axes'])} borders: error of the step between "
             "neighbouring pixels (physical units)"]
    for b in seams["bands"]:
        if not b["pairs"]:
            lines.append(f"{indent}  {b['name']}: no pair of valid values across a border")
            continue
        lines.append(f"{indent}  {b['name']}: largest {b['max']:.5g} (rms {b['rmse']:.5g}) over {b['pairs']:,} "
                     f"pairs; inside tiles largest {b['interior_max']:.5g}"
                     + (f" (rms {b['interior_rmse']:.5g})" if b.get("interior_rmse") is not None else "")
                     + f"; the source's own steps there: rms {b['source_rms_step']:.5g}, largest "
                     f"{b['source_max_step']:.5g}")
    return lines


# ---- decode ------------------------------------------------------------------------------------

def _memory_size(text):
    from pyqelm.decode import parse_memory_size

    try:
        return parse_memory_size(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _decode_any(path, meta_path=None, max_memory=None, **window):
    """(cube, Meta, source record, chunk metas) of a window (default: all) of a .qelm container or
    a .qelmc chunk blob with its metadata."""
    from pyqelm.windowed import decode_file

    path = _input_file(path)
    if path.lower().endswith(".qelmc"):
        meta_path = meta_path or path + ".meta.json"
        if not os.path.isfile(meta_path):
            raise ValueError(f"a chunk blob carries no outer metadata; expected it in {meta_path} (or pass --meta)")
    return decode_file(path, meta_path, check=lambda meta: _check_cube_axes(path, meta), max_memory=max_memory,
                       **window)


def _input_file(path):
    """A container or chunk blob given on the command line, or a one-line reason it is not."""
    path = os.fspath(path)
    if os.path.isdir(path):
        what = "a Zarr store" if any(os.path.isfile(os.path.join(path, m)) for m in (".zgroup", ".zarray",
                                                                                      "zarr.json")) else "a folder"
        raise ValueError(f"{path} is {what}, not a container: give a .qelm file (or a .qelmc chunk blob)")
    if not os.path.isfile(path):
        raise ValueError(f"no such file: {path}")
    return path


def _check_cube_axes(path, meta):
    if len(meta.shape) != 4:
        raise ValueError(f"{path} describes a cube of {len(meta.shape)} axes ({', '.join(map(str, meta.axes))}); "
                         "this decoder reads (time, y, x, band) cubes")


_ZARR_SUFFIX = ".zarr"


def check_store_name(path):
    """decode writes a Zarr store: its name ends in .zarr or has no extension at all."""
    ext = os.path.splitext(os.path.basename(os.path.normpath(os.fspath(path))))[1]
    if ext and ext.lower() != _ZARR_SUFFIX and re.search(r"[A-Za-z]", ext):
        raise ValueError(f"decode writes a Zarr store, not a {ext} file: name OUTPUT with .zarr (or no extension)")


def cmd_decode(a):
    from pyqelm.export import write_zarr
    from pyqelm.outputs import check_output
    from pyqelm.windowed import parse_range

    window = {axis: parse_range(text, f"--{axis}") for axis, text in (("time", a.time), ("y", a.y), ("x", a.x))
              if text is not None}
    protect = [a.input, a.meta or (a.input + ".meta.json")]
    check_output(a.output, "store", inputs=protect, force=a.force)  # before the decode, not after
    check_store_name(a.output)
    t0 = time.perf_counter()
    cube, meta, source, chunk_metas = _decode_any(a.input, a.meta, max_memory=a.max_memory, **window)
    t1 = time.perf_counter()
    name = write_zarr(cube, meta, source, a.output, force=a.force, protect=protect)
    t2 = time.perf_counter()
    T, H, W, C = cube.shape
    nodata = int(np.count_nonzero(np.isnan(cube)))
    dims = source.get("dims") or (["time", "y", "x"] if C == 1 else ["time", "y", "x", "band"])
    _log(f"decoded {a.input} -> {a.output}: variable {name!r} ({', '.join(dims)}), {T} x {H} x {W} x {C} float32, "
         f"{nodata:,} no-data values as NaN ({t1 - t0:.1f} s decode, {t2 - t1:.1f} s write)")
    _log(f"error bound   {bound_text(chunk_metas)}")
    return 0


def bound_text(chunk_metas):
    """What the chunks decoded promise, in one line (see verification.stated_bound)."""
    stated = [stated_bound(cm) for cm in chunk_metas]
    if len(stated) == 1:
        return stated[0][1]
    bounds = [b for b, _ in stated]
    if all(b is not None for b in bounds):
        return f"every valid value within {max(bounds):.6g} of the source ({len(bounds)} chunks, each with its " \
               "residual track)"
    return f"none for {sum(b is None for b in bounds)} of the {len(bounds)} chunks decoded (no residual track)"


# ---- inspect -----------------------------------------------------------------------------------

def _inspect_record(path):
    from pyqelm.format import read_chunk_bytes, read_container

    path = _input_file(path)
    out = {"file": path, "bytes": os.path.getsize(path)}
    if path.lower().endswith(".qelmc"):
        with open(path, "rb") as f:
            blobs = {os.path.basename(path): f.read()}
        sidecar = path + ".meta.json"
        out["meta"] = read_meta_sidecar(sidecar).to_dict() if os.path.isfile(sidecar) else None
        out["format_version"] = None
        out["manifest"] = None
    else:
        contents = read_container(path)
        blobs = contents.chunks
        out["format_version"] = contents.format_version
        out["meta"] = contents.meta.to_dict()
        out["manifest"] = contents.manifest.to_dict()
    out["chunks"] = []
    for name, blob in blobs.items():
        cc = read_chunk_bytes(blob)
        bound, said = stated_bound(cc.chunk_meta)
        out["chunks"].append({"name": name, "bytes": len(blob), "weights_bytes": len(cc.weights_bytes),
                              "mask_bytes": len(cc.mask_bytes), "residual_bytes": len(cc.residual_bytes),
                              "error_bound": bound, "error_bound_text": said,
                              "chunk_meta": cc.chunk_meta.to_dict()})
    return out


def _fmt_list(values, limit=6):
    values = list(values)
    text = ", ".join(f"{v:.6g}" if isinstance(v, float) else str(v) for v in values[:limit])
    return text + (f", ... ({len(values)} in all)" if len(values) > limit else "")


def inspect_lines(rec):
    lines = [f"file          {rec['file']} ({rec['bytes']:,} bytes"
             + (f", format {rec['format_version']}" if rec["format_version"] else ", bare chunk blob")
             + f", {len(rec['chunks'])} chunk(s))"]
    m = rec["meta"]
    if m:
        shape = m["shape"]
        lines.append(f"cube          {' x '.join(map(str, shape))} ({', '.join(m['axes'])}), source type {m['dtype']}")
        try:
            itemsize = np.dtype(m["dtype"]).itemsize
        except TypeError:
            itemsize = 4
        raw = int(np.prod(shape)) * itemsize
        lines.append(f"ratio         {raw / rec['bytes']:.2f} against {raw:,} raw bytes")
        for b in m["bands"]:
            vr = "" if b["valid_range"] is None else f", valid range {b['valid_range']}"
            lines.append(f"band          {b['name']}: scale {b['scale_factor']:g}, offset {b['add_offset']:g}{vr}")
        t = m.get("time")
        if t and t["values"]:
            lines.append(f"time          {len(t['values'])} frames, {t['values'][0]} .. {t['values'][-1]} "
                         f"({t['calendar']}; axis {t['global_start'] or 'first'} .. {t['global_end'] or 'last'})")
        lines.append(f"grid          crs {m['crs'] if m['crs'] else 'none'}; transform "
                     f"{_fmt_list(m['transform']) if m['transform'] else 'none'}; anchor {m['pixel_anchor']}")
        lines.append(f"no-data fill  {m['missing_fill']}; log transform {'yes' if m['use_log'] else 'no'}")
    grid = (rec.get("manifest") or {}).get("chunk_grid") or {}
    if len(rec["chunks"]) > 1 and grid:
        lines.append("chunk grid    " + ", ".join(f"{axis} {g['n']} x {g['size']}" for axis, g in grid.items())
                     + f" ({len(rec['chunks'])} chunks, one network each)")
    if m:
        lines += seam_lines((m.get("extras") or {}).get("seams"), width=14)
    for c in rec["chunks"]:
        cm = c["chunk_meta"]
        lines.append(f"chunk         {c['name']}: {c['bytes']:,} bytes = weights {c['weights_bytes']:,} + mask "
                     f"{c['mask_bytes']:,} + residuals {c['residual_bytes']:,} + metadata")
        src = cm["extras"].get("source") or {}
        if src:
            lines.append(f"variable      {src.get('variable')} ({', '.join(src.get('dims') or [])})"
                         + (f" [{src['units']}]" if src.get("units") else "")
                         + (f"; time units {src['time_units']}" if src.get("time_units") else ""))
        mc = cm["model_config"]
        lines.append(f"model         {mc.get('train_mode')}: xy grid 2^{mc.get('xy_hash_size')} "
                     f"(res {mc.get('xy_base_resolution')}, {mc.get('xy_n_levels')} levels x "
                     f"{mc.get('xy_features_per_level')}, scale {mc.get('xy_per_level_scale')}); "
                     + ("no time encoding" if mc.get("disable_temporal") else
                        f"t grid 2^{mc.get('t_hash_size')} (res {mc.get('t_base_resolution')}, "
                        f"{mc.get('t_n_levels')} levels x {mc.get('t_features_per_level')}, "
                        f"{mc.get('temporal_mode')})")
                     + f"; decoder {mc.get('decoder_hidden')} x {mc.get('n_hidden_layers')}; "
                       f"block {mc.get('block_size')}; spatial dims {mc.get('spatial_dims')}")
        if mc.get("component_sizes"):
            sizes = dict(zip(mc.get("components", []), mc["component_sizes"]))
            lines.append(f"parameters    {sum(mc['component_sizes']):,} ("
                         + ", ".join(f"{k} {v:,}" for k, v in sizes.items()) + ")")
        q = cm["quantization_info"]
        if q["mode"] == "float16":
            lines.append("quantization  float16 (all components)")
        else:
            comps = ", ".join(f"{n} scale {s:.4g}" for n, s in zip(q["components"], q["scales"]))
            lines.append(f"quantization  {q['mode']}: {comps}; {q['decoder_name']} float16 ({q['decoder_size']:,})")
        ranges = cm["train_data_range"]
        lines.append(f"data range    {_fmt_list([f'[{lo:.6g}, {hi:.6g}]' for lo, hi in ranges])}; "
                     f"coordinate mode {cm['extras'].get('norm_mode')}")
        ri = cm["residual_info"]
        if cm["has_residuals"] and ri and ri["outlier_layout"] == "bound_codes_v1":
            lines.append(f"residuals     bound {_fmt_list(ri['bound'])} (every valid value): codes of step "
                         f"{_fmt_list(ri['steps'])}, {ri['outlier_count']:,} values corrected ({ri['outlier_layout']})")
        elif cm["has_residuals"] and ri:
            thr = ri["threshold"]
            lines.append(f"residuals     {ri['outlier_count']:,} values, threshold {thr}, {ri['dtype']} "
                         f"({ri['value_mode']}), largest step {ri['outlier_value_scale']:.3g}")
        else:
            lines.append("residuals     none")
        if "error_bound_text" in c:
            lines.append(f"error bound   {c['error_bound_text']}")
        for key, label in (("quality_metrics", "quality"), ("quality_metrics_pre_residual", "pre-residual")):
            rec_m = cm["extras"].get(key)
            if rec_m:
                lines.append(f"{label:<14}{_metric_source(rec_m.get('source'))} (physical units):")
                names = [b["name"] for b in m["bands"]] if m else []
                lines += _metrics_lines(rec_m, names, indent="    ")
    return lines


def _json_ready(value):
    """Strict JSON: NaN and infinities (a NaN fill value, say) become null."""
    if isinstance(value, float) and not np.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: _json_ready(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_ready(v) for v in value]
    return value


def cmd_inspect(a):
    rec = _inspect_record(a.input)
    if a.json:
        print(json.dumps(_json_ready(rec), indent=2, allow_nan=False, default=str))
    else:
        for line in inspect_lines(rec):
            _log(line)
    return 0


# ---- verify ------------------------------------------------------------------------------------

def _read_decoded(path, variable, source_opts=None):
    """A decoded Zarr store (written by ``decode``) as float32 (T, H, W, C), read the way the
    source was (``source_opts``: its band dimension and dates)."""
    from pyqelm.encoder.streaming_sources import ZarrStreamingSource
    from pyqelm.pipeline import source_options

    # The decoded values are what the container promises, wherever they lie: the source's valid
    # range attributes travel with them, and must not turn a value just past an end into no-data.
    source = ZarrStreamingSource(zarr_path=path, variable=variable, dtype_np=np.float32, mask_invalid=False,
                                 **source_options(source_opts))
    return source.read_timesteps(np.arange(source.n_timesteps, dtype=np.int64))


def _verify_container(source_path, decoded_path, source_opts, bound, meta_path=None, max_memory=None):
    from pyqelm.verification import measure, source_frames

    if os.path.isdir(decoded_path):
        decoded = _read_decoded(decoded_path, source_opts.variable, source_opts)
    else:
        decoded = _decode_any(decoded_path, meta_path, max_memory=max_memory)[0]
    result = measure(decoded, source_frames(source_path, source_opts), bound)
    line = f"verify {decoded_path} against {source_path}: {result.verdict()}"
    if not result.holds:
        raise BoundViolated(line)
    _log(line)


def cmd_verify(a):
    _verify_container(a.source, a.decoded, _source_options(a), a.max_error, meta_path=a.meta,
                      max_memory=a.max_memory)
    return 0


# ---- compare -----------------------------------------------------------------------------------

def _compare_header(a, info, cube, raw, itemsize, bound=None):
    T, H, W, C = cube.shape
    lines = [f"input: {a.source}" + (f" variable {info['variable']}" if info["variable"] else "")
             + f", {T} x {H} x {W} x {C}, {int(np.isnan(cube).sum()):,} no-data values; the classical compressors "
             "get no-data filled with the band mean and a lossless mask, counted in their bytes",
             f"raw size: {raw:,} bytes (T x H x W x C x {itemsize} bytes of {info['dtype']}); sizes are files on disk"]
    if bound is not None:
        lines.append(f"error bound: {bound:g} (physical units)")
    return lines + [""]


def cmd_compare(a):
    from pyqelm import compare as cmp
    from pyqelm.outputs import TABLE_TAG, check_output, work_folder
    from pyqelm.decode import decode_container
    from pyqelm.pipeline import read_cube

    opts = _encode_options(a)
    log = _log
    if a.json:  # standard output carries the JSON alone
        opts.quiet = True

        def log(*args):
            print(*args, file=sys.stderr, flush=True)
    detect_source(a.source)
    if a.sweep and a.qelm:
        raise ValueError("--sweep encodes the source at every bound; it cannot reuse --qelm")
    if a.plot:
        folder = os.path.dirname(os.path.abspath(a.plot))
        if not os.path.isdir(folder):
            raise ValueError(f"plot folder does not exist: {folder}")
    cube, info = read_cube(a.source, opts.source)
    T, H, W, C = cube.shape
    if a.plot and not a.sweep and not (0 <= a.frame < T and 0 <= a.band < C):
        raise ValueError(f"--frame {a.frame} / --band {a.band} outside the cube's {T} frames and {C} bands")
    itemsize = np.dtype(info["dtype"]).itemsize
    raw = T * H * W * C * itemsize
    stem = info["variable"] or "cube"
    tmp = None
    if a.plot:  # refused before any work when it would replace what compare did not write
        check_output(a.plot, "plot", inputs=[a.source], force=a.force)
        if a.sweep:
            check_output(os.path.splitext(a.plot)[0] + ".json", "table", inputs=[a.source], force=a.force)
    if a.workdir:
        workdir = work_folder(a.workdir, inputs=[a.source])
    else:
        tmp = tempfile.TemporaryDirectory(prefix="pyqelm-compare-")
        workdir = work_folder(tmp.name)
    record = {TABLE_TAG: 1, "source": os.fspath(a.source), "variable": info["variable"], "shape": [T, H, W, C],
              "raw_bytes": raw,
              "source_dtype": info["dtype"]}
    try:
        if a.sweep:
            points, all_rows = [], []
            span = cmp.value_range(cube)
            record["range"] = span
            for k, (frac, bound) in enumerate(cmp.sweep_bounds(cube)):
                sub = os.path.join(workdir, f"bound{k}")
                os.makedirs(sub, exist_ok=True)
                row, _, _ = cmp.pyqelm_row(a.source, cube, bound, opts, sub, stem, raw, log=log)
                others, _ = cmp.other_rows(cube, bound, raw, sub, stem, log=log)
                rows = [row] + others
                all_rows += rows
                points.append({"fraction": frac, "bound": bound, "rows": [r.to_dict() for r in rows]})
                if not a.json:
                    _log("")
                    _log(cmp.format_table(rows, [f"bound {bound:.6g} = {100 * frac:g} % of the range {span:.6g}"]))
            record["points"] = points
            if a.plot:
                cmp.plot_rate_distortion(a.plot, all_rows, force=a.force, title=f"{stem}: bits per value against error, bounds "
                                                                 f"{100 * cmp.SWEEP_FRACTIONS[0]:g} % to "
                                                                 f"{100 * cmp.SWEEP_FRACTIONS[-1]:g} % of the range")
                table = os.path.splitext(a.plot)[0] + ".json"
                cmp.write_sweep_json(table, _json_ready(record), force=a.force)
                if not a.json:
                    _log(f"rate-distortion curves written to {a.plot}, the table to {table}")
            ours = [r for r in all_rows if r.compressor == "pyqelm + residuals"]
        else:
            bound = a.max_error
            row, decoded, network_only = cmp.pyqelm_row(a.source, cube, bound, opts, workdir, stem, raw,
                                                        qelm=a.qelm, log=log, network=bool(a.plot))
            others, others_decoded = cmp.other_rows(cube, bound, raw, workdir, stem, log=log)
            rows = [row] + others
            record.update(bound=bound, rows=[r.to_dict() for r in rows])
            if not a.json:
                _log("")
                _log(cmp.format_table(rows, _compare_header(a, info, cube, raw, itemsize, bound)))
            if a.plot:
                panels = [("pyqelm", decoded)]
                if network_only:
                    panels.append(("pyqelm network alone", decode_container(network_only)[0], 0))
                panels += [(n, d) for n, d in others_decoded.items() if n.startswith("ZFP")]
                cmp.plot(a.plot, cube, panels, frame=a.frame, band=a.band, bound=bound,
                         y_ascending=info.get("y_ascending"), force=a.force,
                         title=f"{stem}  bound {bound:g}\n" + "\n".join(f"{r.compressor}: ratio {r.ratio:.2f}"
                                                                         for r in rows))
                if not a.json:
                    _log(f"plot written to {a.plot}")
            ours = [row]
        if a.json:
            print(json.dumps(_json_ready(record), indent=2, allow_nan=False, default=str))
        broken = [r for r in ours if not r.ok]
        if broken:  # the peers are anchors; the verdict is on pyqelm's own containers
            raise BoundViolated("pyqelm broke its bound: " + ", ".join(
                f"{r.violations:,} values at {r.bound:g}" for r in broken))
    finally:
        if tmp is not None:
            tmp.cleanup()
    return 0


def cmd_presets(a):
    _log("model presets (parameters for one band; more bands widen only the decoder's output layer):")
    _log(presets_table())
    return 0


# ---- parser ------------------------------------------------------------------------------------

def _prog():
    # The installed console script is `pyqelm`; a checkout runs as `python3 -m pyqelm`.
    return "python3 -m pyqelm" if os.path.basename(sys.argv[0] or "") == "__main__.py" else "pyqelm"


def build_parser():
    p = _Parser(prog=_prog(), description="Neural compression of geospatial raster time series.",
                formatter_class=HELP_FORMATTER)
    p.add_argument("--debug", action="store_true", help="show the traceback of an error")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    e = sub.add_parser("encode", help="compress a Zarr store, NetCDF file or raster folder",
                       description="Compress SOURCE (a Zarr v2/v3 store, a NetCDF file or a folder of GeoTIFF "
                                   "rasters) into OUTPUT (.qelm).", formatter_class=HELP_FORMATTER)
    e.presets_epilog = True
    e.add_argument("source", metavar="SOURCE")
    e.add_argument("output", metavar="OUTPUT")
    _add_source_options(e)
    _add_engine_options(e)
    g = e.add_argument_group("tiles (one network per tile, trained as dask tasks; Zarr and NetCDF sources)")
    g.add_argument("--tiles", metavar="T,Y,X",
                   help="cut the cube into tiles of T frames x Y rows x X columns (an empty or missing size is the "
                        "whole axis: ,48,96 tiles space only) and write one container with a chunk per tile; "
                        "finished tiles are kept in OUTPUT.tiles/ until the container is written")
    g.add_argument("--workers", type=positive_int, metavar="N",
                   help="worker processes of the local cluster (default: one per core, no more than tiles or "
                        "memory allow; the cores are shared out as torch threads)")
    g.add_argument("--scheduler", metavar="ADDRESS",
                   help="run the tiles on the dask cluster at ADDRESS (e.g. tcp://host:8786); its workers need "
                        "this package and must see SOURCE and OUTPUT's folder")
    g.add_argument("--resume", action="store_true",
                   help="continue an interrupted --tiles run: train only the tiles OUTPUT.tiles/ lacks")
    e.add_argument("--verify", action="store_true", help="decode the result and measure it against the source "
                                                         "(done by default with --max-error)")
    e.add_argument("--force", action="store_true", help="replace OUTPUT (and the other files written) when it is "
                                                        "a previous output of the same kind; nothing else is replaced")
    e.set_defaults(func=cmd_encode)

    d = sub.add_parser("decode", help="decode a .qelm into a Zarr v2 store",
                       description="Decode INPUT (.qelm of one chunk or many, or .qelmc with its .meta.json), whole "
                                   "or a window of it, into a Zarr v2 store that xarray opens with the source's "
                                   "variable, dimensions, coordinates, time and attributes; no-data is NaN. OUTPUT "
                                   "ends in .zarr or has no extension.")
    d.add_argument("input", metavar="INPUT")
    d.add_argument("output", metavar="OUTPUT")
    d.add_argument("--meta", help="outer metadata of a .qelmc chunk blob (default: INPUT.meta.json)")
    g = d.add_argument_group("window (decode only part of the cube: only the chunks it touches are read)")
    for axis, what in (("time", "frames"), ("y", "rows"), ("x", "columns")):
        g.add_argument(f"--{axis}", metavar="A:B", help=f"{what} A to B-1 (either may be left out; negative counts "
                                                        "from the end, as --time=-3:; one number selects one)")
    d.add_argument("--force", action="store_true", help="replace OUTPUT when it is a Zarr store (one written by "
                                                        "decode, say); nothing else is replaced")
    d.add_argument("--max-memory", type=_memory_size, metavar="SIZE",
                   help="memory the decode may use, e.g. 8G (default: half of physical memory); a larger cube "
                        "is refused before anything is allocated")
    d.set_defaults(func=cmd_decode)

    i = sub.add_parser("inspect", help="show what a container holds",
                       description="Metadata, model configuration, quantization, residuals and quality metrics of "
                                   "a .qelm container or .qelmc chunk blob.")
    i.add_argument("input", metavar="INPUT")
    i.add_argument("--json", action="store_true", help="print JSON")
    i.set_defaults(func=cmd_inspect)

    c = sub.add_parser("compare", help="compare with ZFP, a quantising predictive codec, fpzip and Zstandard",
                       description="Compress SOURCE with pyqelm (residuals at --max-error), ZFP (fixed accuracy "
                                   "at --max-error, and with its tolerance tuned to the bound), quantise with step "
                                   "2E + Lorenzo + xz, fpzip (lossless) and Zstandard level 19 (raw float32), "
                                   "decode each, check each against its promise on the valid values and print a "
                                   "table. The classical codecs get no-data filled and a lossless mask, counted "
                                   "in their bytes. The exit status (3) judges pyqelm's container only. --sweep "
                                   "runs bounds from 10 % to 0.01 % of the range and draws rate-distortion "
                                   "curves (--plot) with the table as JSON beside them.",
                       formatter_class=HELP_FORMATTER)
    c.presets_epilog = True
    c.add_argument("source", metavar="SOURCE")
    how = c.add_mutually_exclusive_group(required=True)
    how.add_argument("--max-error", type=positive_float, metavar="E",
                     help="error bound in physical units for pyqelm's residuals and the lossy codecs")
    how.add_argument("--sweep", action="store_true",
                     help="bounds of 10, 3, 1, 0.3, 0.1, 0.03 and 0.01 %% of the valid values' range; with --plot "
                          "FILE.png, bits per value against max error and RMSE, one line per compressor, and the "
                          "table in FILE.json")
    c.add_argument("--qelm", help="use this container for the pyqelm row instead of encoding SOURCE")
    c.add_argument("--workdir", help="keep the compressed files here (default: a temporary folder); a new or empty "
                                     "folder, or one an earlier compare used")
    c.add_argument("--force", action="store_true", help="replace FILE.png (and the JSON table of --sweep) when it is "
                                                        "an earlier output of compare")
    c.add_argument("--json", action="store_true", help="print the table as JSON")
    c.add_argument("--plot", metavar="FILE.png", help="write original, reconstruction and error maps of one frame "
                                                     "(with --sweep: the rate-distortion curves)")
    c.add_argument("--frame", type=nonneg_int, default=0, help="frame of the plot (default: 0)")
    c.add_argument("--band", type=nonneg_int, default=0, help="band of the plot (default: 0)")
    _add_source_options(c)
    _add_engine_options(c, residuals=False)
    c.set_defaults(func=cmd_compare, residual_dtype=None, quantization_bits=None,
                   mask_mode="auto", chunk_blob=False)

    v = sub.add_parser("verify", help="check a decoded cube against its source and an error bound",
                       description="Measure DECODED (a .qelm/.qelmc or a Zarr store written by decode) against "
                                   "SOURCE; with --max-error, exit 3 when any valid value is off by more.")
    v.add_argument("source", metavar="SOURCE")
    v.add_argument("decoded", metavar="DECODED")
    v.add_argument("--max-error", type=positive_float, metavar="E")
    v.add_argument("--meta", help="outer metadata of a .qelmc chunk blob (default: DECODED.meta.json)")
    v.add_argument("--max-memory", type=_memory_size, metavar="SIZE",
                   help="memory decoding a .qelm/.qelmc may use, e.g. 8G (default: half of physical memory)")
    _add_source_options(v)
    v.set_defaults(func=cmd_verify)

    s = sub.add_parser("presets", help="list the model presets and their parameter counts")
    s.set_defaults(func=cmd_presets)
    for name, parser in sub.choices.items():
        parser.set_defaults(command=name)
        parser.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                            help="show the traceback of an error")
    return p


_ALLOCATION_FAILED = re.compile(r"can't allocate memory|not enough memory|out of memory|"
                                r"Cannot allocate memory|bad_alloc", re.IGNORECASE)
_TRIED_BYTES = re.compile(r"allocate (\d+) bytes|Tried to allocate ([\d.]+ [KMGT]i?B)")
_LONG_WORD = re.compile(r"\S{120,}")
_MAX_MESSAGE = 400


def _shorten(text):
    """A message fit for one line: runs of more than 120 characters (a value echoed from a
    file, say) are cut, and the whole is kept under a few hundred characters."""
    text = _LONG_WORD.sub(lambda m: f"{m.group(0)[:40]}...({len(m.group(0)):,} characters)", " ".join(text.split()))
    return text if len(text) <= _MAX_MESSAGE else text[:_MAX_MESSAGE - 40] + f"... ({len(text):,} characters)"


def _message(exc):
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror + (f": {exc.filename}" if exc.filename else "")
        if exc.errno in (errno.EACCES, errno.EPERM, errno.EROFS):
            text += " (choose a place you can write to, or check its permissions)"
        elif exc.errno == errno.ENOSPC:
            text += " (free some space or write elsewhere)"
    elif isinstance(exc, MemoryError) or (isinstance(exc, RuntimeError) and _ALLOCATION_FAILED.search(str(exc))):
        m = _TRIED_BYTES.search(str(exc))
        size = ""
        if m:
            size = f" (an allocation of {int(m.group(1)) / 2**30:.1f} GiB failed)" if m.group(1) else \
                f" (an allocation of {m.group(2)} failed)"
        text = (f"out of memory{size}: use a smaller --preset or size options, a smaller --batch-size, or "
                "--streaming for a cube larger than memory")
    else:
        text = str(exc) or type(exc).__name__
        if isinstance(exc, KeyError):
            key = exc.args[0] if exc.args else ""
            text = f"missing entry {key!r} in the input; --debug shows where it was needed"
        elif isinstance(exc, (TypeError, AttributeError, IndexError, AssertionError)):
            text = f"{type(exc).__name__}: {text}"
    return _shorten(text)


def main(argv=None):
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # a bad command line or --help: argparse has printed what to say
        return e.code if isinstance(e.code, int) else EXIT_USAGE
    if not getattr(args, "func", None):
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    try:
        # SIGTERM and SIGHUP end the run like Ctrl-C: temporaries go, earlier outputs stay.
        with signals_raise():
            return args.func(args) or 0
    except Interrupted as e:
        print(f"pyqelm: terminated ({signal_name(e.signum)})", file=sys.stderr)
        return 128 + e.signum
    except KeyboardInterrupt:
        print("pyqelm: interrupted", file=sys.stderr)
        return 130
    except BoundViolated as e:
        if args.debug:
            raise
        print(f"pyqelm {args.command}: {_message(e)}", file=sys.stderr)
        return EXIT_BOUND
    except BrokenPipeError:
        # The reader went away (`pyqelm presets | head`): stop quietly as other filters do, and
        # keep the interpreter's final flush from failing on the closed pipe.
        with contextlib.suppress(OSError, ValueError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    except Exception as e:  # one line for the user; --debug for the traceback
        if args.debug:
            raise
        print(f"pyqelm {args.command}: error: {_message(e)}", file=sys.stderr)
        return EXIT_FAILURE


def signal_name(signum):
    return signal.Signals(signum).name
