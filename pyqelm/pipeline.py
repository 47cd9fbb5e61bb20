"""The encode path the command line runs: source detection, the engine's calls in order, and
what came out of them.

Sources are a Zarr store (v2 or v3), a NetCDF file (copied to a temporary Zarr store for the
run) or a folder of rasters. ``encode`` drives one compressor from construction to save and
returns an ``EncodeResult`` describing the files written; ``read_cube`` gives the same input
as a plain float32 (T, H, W, C) cube in physical units with NaN for no-data, which is what
the comparison and the verification measure against.
"""
import contextlib
import dataclasses
import hashlib
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Optional

import numpy as np

from pyqelm.netcdf import is_netcdf, netcdf_as_zarr
from pyqelm.presets import preset_sizes
from pyqelm import sizing
from pyqelm.stepplan import count_valid, plan_training, time_budget

ZARR_MARKERS = ("zarr.json", ".zgroup", ".zarray", ".zmetadata")
FOLDER_LOADERS = ("standard", "higlass", "higlass_lai_fpar")
LOSS_TYPES = ("MSE", "MSE_REL", "MSE_REL03", "MSE_REL_B3_03", "MSE_RRMSE", "L1", "MSE_SAM", "MSE_LAI_FPAR", "BOUND")
MASK_MODES = ("auto", "static", "dynamic", "no")
OUT_OF_RANGE = ("nodata", "carry")


def detect_source(path):
    """'zarr', 'netcdf' or 'folder' for an input path; ValueError when it is none of them."""
    path = os.fspath(path)
    if not os.path.exists(path):
        raise ValueError(f"no such file or folder: {path}")
    if os.path.isdir(path):
        if any(os.path.isfile(os.path.join(path, m)) for m in ZARR_MARKERS):
            return "zarr"
        return "folder"
    if is_netcdf(path):
        return "netcdf"
    raise ValueError(f"{path} is neither a Zarr store, a NetCDF file nor a folder of rasters")


@contextlib.contextmanager
def zarr_view(path, variable=None):
    """(Zarr store path, variable) of a Zarr store or NetCDF file; a NetCDF file is converted into
    a temporary store that is removed when the block ends."""
    kind = detect_source(path)
    if kind == "zarr":
        yield os.fspath(path), variable
    elif kind == "netcdf":
        with netcdf_as_zarr(path, variable) as (store, name):
            yield store, name
    else:
        raise ValueError(f"{path} is a folder of rasters, not a Zarr store or NetCDF file")


def source_options(opts):
    """The source keywords that say how to read an unusual file (``SourceOptions`` fields that
    are set): band_dim, time_start, time_step."""
    if opts is None:
        return {}
    return {k: getattr(opts, k) for k in ("band_dim", "time_start", "time_step") if getattr(opts, k, None) is not None}


def _zarr_source(store, variable, scale_factor=None, valid_range=None, opts=None):
    from pyqelm.encoder.streaming_sources import ZarrStreamingSource

    return ZarrStreamingSource(zarr_path=store, variable=variable, scale_factor=scale_factor,
                               valid_range=valid_range, dtype_np=np.float32, **source_options(opts))


def _frame_batches(source, budget=256 << 20):
    frame = source.height * source.width * source.n_bands * 4
    step = max(1, budget // max(frame, 1))
    for lo in range(0, source.n_timesteps, step):
        yield np.arange(lo, min(source.n_timesteps, lo + step), dtype=np.int64)


def scan_range(store, variable=None, scale_factor=None, opts=None):
    """(min, max) of the finite physical values of a Zarr variable, read a batch of frames at a
    time, and whether its no-data pixels differ between frames."""
    return scan_source(_zarr_source(store, variable, scale_factor, opts=opts))


def scan_source(source, budget=256 << 20):
    """``scan_range`` over a source object (one opened without a valid range: physical values),
    reading about ``budget`` bytes of frames at a time."""
    lo, hi = np.inf, -np.inf
    first, varies = None, False
    for idx in _frame_batches(source, budget):
        block = source.read_timesteps(idx)
        ok = np.isfinite(block)
        finite = block[ok]
        if finite.size:
            lo, hi = min(lo, float(finite.min())), max(hi, float(finite.max()))
        pixel_ok = ok.all(axis=-1)
        first = pixel_ok[0] if first is None else first
        varies = varies or bool((pixel_ok != first).any())
    if not np.isfinite(lo):
        raise ValueError(f"variable {source.variable!r} holds no valid value")
    if lo == hi:
        lo, hi = lo - 0.5, hi + 0.5
    return lo, hi, varies


def nodata_varies(c):
    """Whether the prepared cube's no-data pixels differ between frames (None when unknown:
    a streaming source holds no cube)."""
    import torch

    values, mask = getattr(c, "cpu_values", None), getattr(c, "cpu_mask", None)
    block_mask = getattr(c, "_block_pixel_mask", None)
    if block_mask is not None:
        valid = torch.as_tensor(block_mask).reshape(-1).bool()
    elif values is not None and mask is not None:
        valid = mask.reshape(-1).bool() & torch.isfinite(values).all(dim=1)
    else:
        return None
    T = len(c.meta_info.get("timestamps") or [1])
    valid = valid.reshape(T, -1)
    return bool((valid != valid[:1]).any())


def choose_mask_mode(requested, varies, log):
    """"auto": one mask for all frames when no-data never changes, else one per frame. An
    explicit "static" over changing no-data is honoured with a warning: a static mask keeps only
    the pixels missing in every frame, so the others decode as predicted values."""
    if requested == "auto":
        return "dynamic" if varies else "static"
    if requested == "static" and varies:
        log("pyqelm: warning: no-data pixels change between frames; with --mask-mode static only those "
            "missing in every frame stay no-data (--mask-mode dynamic keeps them all)")
    return requested


@dataclass
class SourceOptions:
    variable: Optional[str] = None
    valid_range: object = "auto"  # "auto", None or (min, max)
    scale_factor: Optional[float] = None
    loader: str = "standard"
    tile: Optional[str] = None
    bands: int = 1
    p99_removal: bool = False
    year_range: Optional[tuple] = None
    band_dim: Optional[str] = None  # a vertical, ensemble or unnamed dimension to read as bands
    time_start: Optional[str] = None  # dates for frames whose time axis has none (ISO-8601) ...
    time_step: Optional[str] = None  # ... every step ("1 day", "6h", "1 month")
    # Values outside --valid-range or the variable's CF valid attributes: "nodata", "carry"
    # (data, carried by the residual codes), or None: no-data for the attributes and for raster
    # folders, carried for --valid-range on Zarr and NetCDF sources.
    out_of_range: Optional[str] = None


def folder_scale(opts):
    """Folder loaders scale stored values by this; HiGLASS products are stored x10."""
    if opts.scale_factor is not None:
        return opts.scale_factor
    return 1.0 if opts.loader == "standard" else 0.1


def read_cube(path, opts):
    """(cube float32 (T, H, W, C) in physical units with NaN for no-data, description dict).

    No-data is what a bounded container promises about: the source's fill and missing values,
    and values outside --valid-range or the variable's CF valid attributes where ``opts``
    makes them no-data (``range_policies``)."""
    with open_source(path, opts) as (source, info):
        cube = np.empty(source.shape, dtype=np.float32)
        step = max(1, _frame_count(source.shape))
        for lo in range(0, source.shape[0], step):
            cube[lo:lo + step] = source.read(lo, min(source.shape[0], lo + step))
        return cube, info


def _frame_count(shape, budget=256 << 20):
    return budget // max(1, int(np.prod(shape[1:])) * 8)


@contextlib.contextmanager
def open_source(path, opts):
    """(source, description) of any input: ``source`` serves frames in physical units as float64
    (``pyqelm.bound.ZarrSource`` or ``ArraySource``), NaN for no-data, with ``range_policies``
    applied; the description holds "dtype", "variable", "band_names", "y_ascending" and
    "policies". A NetCDF file is converted for the duration of the block."""
    kind = detect_source(path)
    if kind == "folder":
        source, policies, meta = bound_source(kind, path, None, None, opts)
        info = {"dtype": meta.get("src_dtype") or meta.get("dtype") or "float32", "variable": None,
                "band_names": meta.get("band_names"), "y_ascending": _y_ascending(meta)}
        yield _Policed(source, policies), dict(info, policies=policies)
        return
    with zarr_view(path, opts.variable) as (store, variable):
        source, policies, meta = bound_source(kind, path, store, variable, opts)
        info = {"dtype": meta["src_dtype"], "variable": source.source.variable, "band_names": meta["band_names"],
                "y_ascending": _y_ascending(meta), "policies": policies}
        yield _Policed(source, policies), info


def bound_source(kind, path, store, variable, opts):
    """(source, range policies, source metadata) that a bound is kept against: the raster folder
    ``path`` loaded in float64, or ``variable`` of the Zarr ``store`` read frame by frame."""
    from pyqelm.bound import ArraySource, ZarrSource

    if kind == "folder":
        cube, meta = _folder_cube(path, opts)
        return ArraySource(cube), range_policies(opts, kind), meta
    source = ZarrSource(store, variable, opts.scale_factor, source_options(opts))
    return source, range_policies(opts, kind, source.cf_valid_range), source.source.build_meta_info()


def policed_frames(found, batch_bytes=256 << 20):
    """(first frame, float64 frames) batches of ``bound_source``'s (source, policies, meta), with
    the policies' no-data applied: the source as a bounded container promises about it."""
    source = _Policed(found[0], found[1])
    T = source.shape[0]
    step = max(1, _frame_count(source.shape, batch_bytes))
    for lo in range(0, T, step):
        yield lo, source.read(lo, min(T, lo + step))


class _Policed:
    """A source with the no-data side of its range policies applied (for verify and compare;
    the bound pass applies the policies itself, to count what they touch)."""

    def __init__(self, source, policies):
        self.inner, self.policies = source, policies
        self.shape, self.cf_valid_range = source.shape, source.cf_valid_range

    def read(self, lo, hi):
        v = self.inner.read(lo, hi)
        for p in self.policies:
            if p.nodata:
                v[p.outside(v)] = np.nan
        return v


def _folder_cube(path, opts, dtype=np.float64):
    """A raster folder as (cube (T, H, W, C) physical, NaN for no-data, metadata). Values outside
    --valid-range are left to ``range_policies``."""
    from pyqelm.encoder.loaders import QELMDatasetLoader

    loader = QELMDatasetLoader(dtype=dtype)
    common = dict(folder_path=os.fspath(path), scale_factor=folder_scale(opts), valid_range=None,
                  p99_removal=opts.p99_removal)
    if opts.loader == "higlass":
        cube, nodata, meta = loader.load_folder_HiGLASS(**common)
    elif opts.loader == "higlass_lai_fpar":
        if not opts.tile:
            raise ValueError("the higlass_lai_fpar loader needs --tile")
        cube, nodata, meta = loader.load_folder_HiGLASS_LAI_FPAR(tile_name=opts.tile, year_range=opts.year_range,
                                                                 **common)
    else:
        cube, nodata, meta = loader.load_folder(expected_bands=opts.bands, **common)
    cube = np.asarray(cube, dtype=dtype)
    cube[np.asarray(nodata, dtype=bool)] = np.nan
    return cube, meta


def range_policies(opts, kind, cf_valid_range=None):
    """``RangePolicy`` list of a source: --valid-range (when given) and the variable's CF valid
    attributes (when it has them). What lies outside is no-data or data per ``out_of_range``;
    by default no-data for the attributes (CF: invalid data) and for raster folders (their
    documented rule), data carried by the residual codes for --valid-range on Zarr and NetCDF
    sources (whose training clips to it)."""
    from pyqelm.bound import RangePolicy

    choice, out = opts.out_of_range, []
    vr = opts.valid_range
    if vr not in (None, "auto"):
        lo, hi = float(vr[0]), float(vr[1])
        nodata = choice == "nodata" if choice else kind == "folder"
        out.append(RangePolicy(lo, hi, nodata, label=f"--valid-range [{lo:g}, {hi:g}]",
                               hint="--out-of-range carry keeps them as data" if nodata
                               else "--out-of-range nodata makes them no-data"))
    if cf_valid_range is not None:
        lo, hi = cf_valid_range
        nodata = choice != "carry"
        out.append(RangePolicy(lo, hi, nodata, label=f"the variable's valid range attributes [{lo:g}, {hi:g}]",
                               hint="CF: invalid data; --out-of-range carry keeps them as data" if nodata
                               else "--out-of-range nodata makes them no-data"))
    return out


def _y_ascending(meta):
    """Whether y grows with the row (row 0 at the southern edge), from the transform or the
    stored y coordinate."""
    from pyqelm.conventions import unpack_array
    from pyqelm.encoder.streaming_sources import _dim_kind

    t = meta.get("transform") or meta.get("trans_matrix")
    if t and len(t) >= 6 and t[4]:
        return float(t[4]) > 0
    coords = meta.get("coords") or {}
    dims, axes = meta.get("dims") or [], meta.get("axes")
    for i, dim in enumerate(dims):
        rec = coords.get(dim) or {}
        if (axes[i] == "y" if axes else _dim_kind(dim) == "y") and rec.get("array") is not None:
            values = unpack_array(rec["array"])
            values = values.tolist() if values.ndim == 1 and values.dtype.kind in "iuf" else None
        else:
            values = rec.get("values")
        if values and len(values) > 1:
            return values[-1] > values[0]
    return False


@dataclass
class EncodeOptions:
    source: SourceOptions = field(default_factory=SourceOptions)
    start_date: Optional[str] = None
    end_date: Optional[str] = None
    streaming: bool = False
    preset: str = "small"
    # Trial-fit a few network sizes and keep the one with the smallest bounded file (with a
    # bound; the command line's default when no preset or size is given). The preset is then
    # only the fallback for cubes too large to score whole.
    auto_size: bool = False
    sizes: dict = field(default_factory=dict)  # overrides of single preset sizes
    temporal_mode: str = "hash3d"
    disable_temporal: bool = False
    norm_mode: int = 3
    use_log: bool = False
    block_size: tuple = (1, 1)
    # None for epochs, batch size and steps: a run planned for the cube and the machine
    # (pyqelm.stepplan); epochs given: the engine's own step accounting.
    epochs: Optional[int] = None
    batch_size: Optional[int] = None
    steps: Optional[int] = None
    time_budget: Optional[float] = None  # training seconds a planned run aims at
    seed: Optional[int] = None
    lr: float = 0.01
    lr_hash: Optional[float] = None
    loss: Optional[str] = None  # None: "BOUND" with max_error, else "MSE"
    early_stop: bool = False
    early_stop_patience: int = 8
    early_stop_min_delta_rel: float = 0.005
    early_stop_warmup_epochs: int = 20
    early_stop_ema_alpha: float = 0.3
    importance_sampling: bool = False
    imp_warmup_frac: float = 0.5
    imp_alpha: float = 1.0
    imp_refresh_epochs: int = 3
    max_error: Optional[float] = None
    residual_dtype: Optional[str] = None  # the engine's sparse track without --max-error; default int16
    quantization_bits: Optional[int] = 16  # None: chosen with the network size (16 without one)
    mask_mode: str = "auto"
    chunk_blob: bool = False
    backend: Optional[str] = None  # None: tiny-cuda-nn when available, else the reference backend
    device: Optional[str] = None
    precision: str = "auto"
    quiet: bool = False
    force: bool = False  # replace existing outputs (only previous outputs of the same kind)
    network_output: Optional[str] = None  # also write the network-only container here
    verify: Optional[bool] = None  # decode the result and measure it (None: when there is a bound)

    def loss_type(self):
        if self.loss is not None:
            return self.loss
        return "BOUND" if self.max_error is not None else "MSE"

    def model_sizes(self):
        sizes = preset_sizes(self.preset)
        sizes.update({k: v for k, v in self.sizes.items() if v is not None})
        return sizes


@dataclass
class EncodeResult:
    # [(role, path, bytes)]: role "standard" (network only), "rectified" (network + residuals),
    # "chunk" (bare chunk blob) or "network" (the network-only file asked for beside the output)
    files: list
    meta: object  # the outer Meta
    backend: str
    valid_range: Optional[tuple]
    seconds: dict  # stage -> wall seconds
    outliers: int = 0
    threshold: Optional[float] = None  # residual threshold of the engine's sparse track
    steps: Optional[list] = None  # per band code steps of a bounded container
    training: Optional[str] = None  # the training plan and loss, in words
    verification: object = None  # verification.Measurement of the written file, when measured
    notes: list = field(default_factory=list)  # lines about files beside the output

    @property
    def best_file(self):
        """The file that meets the error bound when there is one, else the standard file."""
        for role in ("rectified", "chunk", "standard"):
            for r, path, _ in self.files:
                if r == role:
                    return path
        raise ValueError("nothing was written")


def rectified_path(path):
    return path[:-len(".qelm")] + "-rectified.qelm" if path.lower().endswith(".qelm") else path + "-rectified.qelm"


def choose_backend(backend, device, log):
    """(backend, device) after applying the defaults: tiny-cuda-nn on CUDA when both are present,
    else the reference backend on CUDA when present, else on CPU."""
    from pyqelm.encoder import tcnn_compressor as tc
    import torch

    cuda = bool(torch.cuda.is_available())
    if backend is None:
        if tc._has_tinycudann() and cuda:
            backend = "tcnn"
        else:
            backend = "reference"
            why = "tiny-cuda-nn is not installed" if not tc._has_tinycudann() else "no CUDA device is present"
            log(f"pyqelm: {why}; using the reference backend (pure PyTorch) on "
                f"{device or ('cuda' if cuda else 'cpu')}")
    if backend == "tcnn":
        if device not in (None, "cuda") and not str(device).startswith("cuda"):
            raise ValueError(f"the tcnn backend trains on CUDA; --device {device} needs --backend reference")
        return backend, "cuda"
    return backend, device or ("cuda" if cuda else "cpu")


def _precision(precision, device):
    if precision == "auto":
        return "float16" if str(device).startswith("cuda") else "float32"
    return precision


class _Quiet:
    """Silences the engine's output (standard output and error) while active; ``say`` still
    reaches the original streams."""

    def __init__(self, enabled):
        self.enabled = enabled
        self.saved = self.sink = None

    def __enter__(self):
        if self.enabled:
            self.saved = (sys.stdout, sys.stderr)
            self.sink = open(os.devnull, "w")
            sys.stdout = sys.stderr = self.sink
        return self

    def __exit__(self, *exc):
        if self.enabled:
            sys.stdout, sys.stderr = self.saved
            self.sink.close()
        return False

    def say(self, log, *args):
        if not self.enabled:
            log(*args)
            return
        current = (sys.stdout, sys.stderr)
        sys.stdout, sys.stderr = self.saved
        try:
            log(*args)
        finally:
            sys.stdout, sys.stderr = current


def check_options(opts, kind):
    """Refuse combinations the engine would refuse late (after a long load or training)."""
    if opts.streaming and kind == "folder":
        raise ValueError("--streaming reads Zarr stores and NetCDF files, not raster folders")
    if opts.residual_dtype is not None:
        raise ValueError("--residual-dtype is not used: with --max-error residuals are stored as integer codes of a "
                         "step just under twice the bound, entropy-coded; drop it")
    if opts.source.out_of_range not in (None,) + OUT_OF_RANGE:
        raise ValueError(f"--out-of-range must be one of {', '.join(OUT_OF_RANGE)}, got {opts.source.out_of_range!r}")
    if opts.streaming and tuple(opts.block_size) != (1, 1):
        raise ValueError("--block-size needs the cube in memory; drop --streaming")
    if opts.streaming and opts.use_log:
        raise ValueError("--log is not available with --streaming")
    if opts.use_log and kind != "folder":
        raise ValueError("--log needs a raster folder: Zarr and NetCDF cubes arrive already normalised")
    if opts.max_error is not None and not opts.max_error > 0:
        raise ValueError(f"--max-error must be positive, got {opts.max_error}")
    if kind == "folder" and (opts.source.band_dim or opts.source.time_start or opts.source.time_step):
        raise ValueError("--band-dim, --time-start and --time-step read Zarr stores and NetCDF files, not raster "
                         "folders")
    if opts.loss_type() == "BOUND" and opts.max_error is None:
        raise ValueError("--loss BOUND trains for an error bound: give --max-error")
    if opts.source.loader not in FOLDER_LOADERS:
        raise ValueError(f"unknown loader {opts.source.loader!r}; loaders: {', '.join(FOLDER_LOADERS)}")
    if opts.source.loader == "higlass_lai_fpar" and kind == "folder" and not opts.source.tile:
        raise ValueError("the higlass_lai_fpar loader needs --tile")
    vr = opts.source.valid_range
    if vr not in (None, "auto") and not (len(vr) == 2 and float(vr[0]) < float(vr[1])):
        raise ValueError(f"--valid-range needs MIN < MAX, got {vr}")
    opts.model_sizes()  # unknown preset names fail here


def encode(path, output, opts, log=print):
    """Encode one source into ``output`` (.qelm, or .qelmc with ``chunk_blob``); -> EncodeResult."""
    from pyqelm.format import read_container

    from pyqelm import outputs, resources
    from pyqelm.verification import BoundViolated, measure, source_frames

    opts = dataclasses.replace(opts)  # the network's size and bits may be chosen below
    targets = output_targets(path, output, opts)
    output = targets[0][0]
    kind = detect_source(path)
    check_options(opts, kind)
    backend, device = choose_backend(opts.backend, opts.device, log)
    precision = _precision(opts.precision, device)
    resources.refuse_unfit_encode(path, kind, opts, device, precision, log=log)
    for folder in resources.block_folders():
        outputs.sweep_pattern(folder, _BLOCK_FILE_PATTERN)
    verify = opts.max_error is not None if opts.verify is None else opts.verify
    seconds = {}
    t0 = time.perf_counter()
    stack = contextlib.ExitStack()
    commit = stack.enter_context(outputs.Commit(force=opts.force))
    with stack:
        store, variable = None, opts.source.variable
        scanned_varies = None
        if kind != "folder":
            store, variable = stack.enter_context(zarr_view(path, variable))
        valid_range = opts.source.valid_range
        if kind != "folder" and valid_range in (None, "auto"):
            lo, hi, scanned_varies = scan_range(store, variable, opts.source.scale_factor, opts=opts.source)
            valid_range = (lo, hi)
            log(f"pyqelm: valid range from the data: [{lo:.9g}, {hi:.9g}]")
        elif valid_range == "auto":
            valid_range = None
        with _Quiet(opts.quiet) as quiet:
            c = new_compressor(backend, device, precision, opts)
            if kind == "folder":
                s = opts.source
                c.load_dataset_folder(os.fspath(path), mode=s.loader, tile_name=s.tile, expected_bands=s.bands,
                                      scale_factor=folder_scale(s),
                                      valid_range=None if valid_range is None else tuple(valid_range),
                                      p99_removal=s.p99_removal, year_range=s.year_range)
            elif opts.streaming:
                c.load_dataset_zarr_streaming(store, variable=variable, scale_factor=opts.source.scale_factor,
                                              valid_range=tuple(valid_range),
                                              source_options=source_options(opts.source))
            else:
                c.load_dataset_zarr(store, variable=variable, scale_factor=opts.source.scale_factor,
                                    valid_range=tuple(valid_range), source_options=source_options(opts.source))
            seconds["load"] = time.perf_counter() - t0
            for note in c.meta_info.get("notes") or []:
                quiet.say(log, f"pyqelm: {note}")
            disable_temporal = opts.disable_temporal
            if len(c.meta_info.get("timestamps") or []) == 1 and not disable_temporal:
                # One frame has no time to learn: the space-time grid would only cost weights.
                disable_temporal = True
                quiet.say(log, "pyqelm: a single frame: the network has no time encoding")
            if opts.norm_mode != 3 and not c.meta_info.get("trans_matrix"):
                raise ValueError(f"--norm-mode {opts.norm_mode} needs the grid's affine transform, which the source "
                                 "lacks (no evenly spaced y/x coordinates, no GeoTransform); use --norm-mode 3")
            t1 = time.perf_counter()
            if opts.seed is not None:
                seed_generators(opts.seed)  # the network's initial weights
            c.prepare_training_data_optimized(use_log=opts.use_log, norm_mode=opts.norm_mode,
                                              block_size=tuple(opts.block_size))
            def build(sizes):
                c.build_qelm_model(*[sizes[k] for k in (
                    "xy_hash_size", "xy_base_resolution", "xy_n_levels", "xy_per_level_scale",
                    "xy_features_per_level", "t_hash_size", "t_base_resolution", "t_n_levels", "t_per_level_scale",
                    "t_features_per_level", "spatial_scale", "decoder_hidden", "n_hidden_layers")],
                    disable_temporal=disable_temporal, block_size=tuple(opts.block_size),
                    temporal_mode=opts.temporal_mode)

            loss = opts.loss_type()
            fit_kwargs, early = fit_arguments(opts)
            network, bits = opts.preset, opts.quantization_bits
            budget = opts.time_budget or time_budget(count_valid(c) * int(c.meta_info.get("n_bands") or 1))
            sized = opts.auto_size and opts.max_error is not None and sizing.sizable(
                count_valid(c) * int(c.meta_info.get("n_bands") or 1), opts.streaming)
            if sized:
                if store is None:
                    cube = read_cube(path, opts.source)[0]
                else:
                    zs = _zarr_source(store, variable, opts.source.scale_factor, opts=opts.source)
                    cube = zs.read_timesteps(np.arange(zs.n_timesteps, dtype=np.int64))

                def trial(seconds):
                    tp = plan_training(c, budget_s=seconds, batch_size=opts.batch_size,
                                       seeded=opts.seed is not None, fit_kwargs=fit_kwargs,
                                       quiet=lambda: _Quiet(True))
                    with _Quiet(True):
                        c.fit(epochs=tp.epochs, batch_size=tp.batch_size, steps=tp.steps, seed=opts.seed,
                              **fit_kwargs)
                    return tp.steps

                quiet.say(log, f"pyqelm: sizing the network: trial fits of {', '.join(n for n, _ in sizing.CANDIDATES)}"
                               f" ({100 * sizing.TRIAL_SHARE:.0f} % of the {budget:.1f} s budget)")
                from pyqelm.bound import step_margins

                C = cube.shape[-1]
                ranges = [list(r) for r in c.meta_info["data_range"]]
                steps, _ = step_margins(np.full(C, opts.max_error), ranges if len(ranges) == C else ranges[:1] * C,
                                        np.nan_to_num(np.nanmax(np.abs(cube), axis=(0, 1, 2))),
                                        bool(c.meta_info.get("use_log")))
                choice = sizing.choose_network(c, cube, opts.max_error, build, trial, budget,
                                               bits=sizing.BITS if opts.quantization_bits is None
                                               else (opts.quantization_bits,),
                                               quiet=lambda: _Quiet(True), steps=steps)
                cube = None
                network, bits = choice.name, choice.bits
                log(f"pyqelm: network sized to the cube and the bound: {choice.describe()} (smallest bounded file "
                    f"in the trial fits, {choice.seconds:.1f} s)")
                quiet.say(log, choice.table())
                budget = choice.remaining_budget(budget, seeded=opts.seed is not None)
            else:
                build(opts.model_sizes())
            if bits is None:
                bits = 16
            opts.quantization_bits = bits  # what the network is saved with (opts is this call's copy)
            plan = plan_training(c, epochs=opts.epochs, batch_size=opts.batch_size, steps=opts.steps,
                                 budget_s=budget, seeded=opts.seed is not None, fit_kwargs=fit_kwargs,
                                 quiet=lambda: _Quiet(True))
            training = (f"{plan.describe()}; loss {loss}; {network} network, {bits}-bit weights"
                        + (" (sized by trial fits)" if sized else ""))
            quiet.say(log, f"pyqelm: training the {network} network on {device}: {training}")
            trained = c.fit(epochs=plan.epochs, batch_size=plan.batch_size, steps=plan.steps, seed=opts.seed,
                            **early, **fit_kwargs)
            if not trained:
                raise ValueError("the source holds no valid pixel: nothing to train")
            seconds["train"] = time.perf_counter() - t1
            t2 = time.perf_counter()
            # Everything is written into a staging folder beside the output and moved into
            # place only once complete (and checked): see pyqelm.outputs.
            staged = os.path.join(commit.folder(output), os.path.basename(output))
            steps = None
            if opts.max_error is not None:
                # The bound is measured and kept on the source itself, read again frame batch by
                # frame batch (also for streamed encodes), with the decoder's own arithmetic.
                source, policies, _ = bound_source(kind, path, store, variable, opts.source)
                meta, files, outliers, steps = _save_bounded(c, source, policies, staged, targets, opts,
                                                             lambda *a: quiet.say(log, *a))
            elif opts.chunk_blob:
                save = _network_save(c, opts, scanned_varies, lambda *a: quiet.say(log, *a))
                meta, chunk_meta, n = c.save_chunk_blob(staged, **save)
                with open(staged, "rb") as f:
                    write_meta_sidecar(staged + ".meta.json", meta, blob=f.read())
                files = [("chunk", output, staged)]
                outliers = chunk_meta.residual_info.outlier_count if chunk_meta.residual_info else 0
            else:
                c.save_qelm(staged, **_network_save(c, opts, scanned_varies, lambda *a: quiet.say(log, *a)))
                files = [("standard", output, staged)]
                meta = read_container(staged).meta
                outliers = 0
            seconds["save"] = time.perf_counter() - t2
        c = None  # the engine's copy of the cube goes before the check decodes another
        measured = None
        if verify:
            t3 = time.perf_counter()
            decoded = _decode_staged(files[0][2])
            frames = source_frames(path, opts.source) if store is None else \
                policed_frames(bound_source(kind, path, store, variable, opts.source))
            measured = measure(decoded, frames, opts.max_error)
            decoded = None
            seconds["verify"] = time.perf_counter() - t3
            if not measured.holds:
                raise BoundViolated(f"{output} decoded and measured against the source: {measured.verdict()}; "
                                    "nothing was written (--no-verify writes it unchecked)")
        if opts.chunk_blob:  # the metadata first: a blob is never paired with another run's
            commit.add(files[0][2] + ".meta.json", targets[1][0], "sidecar")
        for role, target, staged_path in reversed(files):
            commit.add(staged_path, target, targets_kind(role))
        commit.commit()
    files = [(role, target, os.path.getsize(target)) for role, target, _ in files]
    notes = [] if opts.chunk_blob else stale_sibling(output, [t for t, _ in targets], opts.force)
    seconds["total"] = time.perf_counter() - t0
    return EncodeResult(files=files, meta=meta, backend=f"{backend} on {device} ({precision})",
                        valid_range=None if valid_range is None else tuple(valid_range), seconds=seconds,
                        outliers=outliers, steps=steps, training=training, verification=measured, notes=notes)


def seed_generators(seed):
    """Seed the tensor library's generators (host and devices) and NumPy's global one."""
    import torch

    torch.manual_seed(int(seed))
    np.random.seed(int(seed) % (1 << 32))


def _network_save(c, opts, scanned_varies, log):
    """save_qelm's arguments for the network alone (no bound asked)."""
    varies = nodata_varies(c)
    mask_mode = choose_mask_mode(opts.mask_mode, scanned_varies if varies is None else varies, log)
    return dict(quantization_bit=opts.quantization_bits, mask_mode=mask_mode, save_residuals=False,
                residual_threshold=0.005, residual_dtype=opts.residual_dtype or "int16")


def _save_bounded(c, source, policies, staged, targets, opts, log):
    """The bounded container (or chunk blob with its metadata file) staged at ``staged``, and the
    network-only container beside it when asked; -> (Meta, files [(role, target, staged
    path)], corrected values, steps)."""
    from pyqelm.bound import bound_compressor, write_container
    from pyqelm.format import write_bytes_atomic, write_chunk_bytes

    meta, network_meta, weights, bounded = bound_compressor(
        c, source, opts.max_error, policies=policies, mask_mode=opts.mask_mode,
        quantization_bit=opts.quantization_bits, log=log)
    output = targets[0][0]
    if opts.chunk_blob:
        write_bytes_atomic(staged, bounded.blob)
        write_meta_sidecar(staged + ".meta.json", meta, blob=bounded.blob)
        return meta, [("chunk", output, staged)], bounded.corrected, bounded.steps
    write_container(staged, meta, bounded.blob)
    files = [("rectified", output, staged)]
    if opts.network_output:
        network = staged + ".network"
        write_container(network, meta, write_chunk_bytes(network_meta, weights, bounded.mask_bytes, b""))
        files.append(("network", targets[-1][0], network))
    return meta, files, bounded.corrected, bounded.steps


# The engine's memory-mapped file of a block reshape, named by process id.
_BLOCK_FILE_PATTERN = r"^qelm_blk_(?P<pid>\d+)_\d+\.dat$"


def targets_kind(role):
    return "chunk" if role == "chunk" else "container"


def output_targets(source, output, opts):
    """[(path, kind)] of every file an encode writes: the output, then the chunk blob's
    metadata file or the network-only file; each checked against what exists there."""
    from pyqelm.outputs import OutputRefused, check_output

    kind = "chunk" if opts.chunk_blob else "container"
    check_output(output, kind, inputs=[source], force=opts.force)  # empty names first
    output = os.fspath(output)
    suffix = ".qelmc" if opts.chunk_blob else ".qelm"
    if not output.lower().endswith(suffix):
        raise ValueError(f"the output file must end in {suffix}: {output}")
    targets = [(output, kind)]
    if opts.chunk_blob:
        if opts.network_output:
            raise ValueError("--network-output writes a .qelm container; a chunk blob is written alone")
        targets.append((output + ".meta.json", "sidecar"))
    elif opts.network_output:
        network = os.fspath(opts.network_output)
        if not network.lower().endswith(".qelm"):
            raise ValueError(f"the network-only file must end in .qelm: {network}")
        if opts.max_error is None:
            raise ValueError("--network-output needs --max-error: without a bound the output is the network alone")
        if os.path.abspath(network) == os.path.abspath(output):
            raise OutputRefused("--network-output must name another file than OUTPUT")
        targets.append((network, "container"))
    for target, k in targets:
        check_output(target, k, inputs=[source], force=opts.force)
    return targets


def stale_sibling(output, written, force):
    """Lines about the ``-rectified`` sibling that earlier versions wrote beside ``output``: it
    belongs to another run, so it is removed with ``force`` and pointed out otherwise."""
    from pyqelm.outputs import _file_problem

    rect = rectified_path(output)
    if any(os.path.abspath(rect) == os.path.abspath(w) for w in written) or not os.path.isfile(rect):
        return []
    if force and _file_problem(rect, "container") is None:
        os.remove(rect)
        return [f"pyqelm: removed {rect}, left by an earlier encode of {output}"]
    return [f"pyqelm: note: {rect} is from an earlier run, not this one; it was left as it is"
            + ("" if force else " (--force removes it)")]


def _decode_staged(path):
    """The staged file decoded a frame batch at a time as the measurement walks it, so checking
    a long (streamed) series does not hold its whole cube."""
    from pyqelm.decode import FrameDecoder, read_single_chunk

    if path.lower().endswith(".qelmc"):
        with open(path, "rb") as f:
            blob = f.read()
        return FrameDecoder(blob, read_meta_sidecar(path + ".meta.json", blob))
    return FrameDecoder(*read_single_chunk(path))


def new_compressor(backend, device, precision, opts):
    """A compressor on the chosen backend and device, with the run's global time bounds."""
    from pyqelm.encoder import tcnn_compressor as tc

    kw = dict(train_dtype=precision, global_start_date=opts.start_date, global_end_date=opts.end_date)
    if backend == "tcnn":
        return tc.QELMCompressor(**kw)
    return tc.QELMCompressor._with_reference_backend(device=device, **kw)


def prepare_and_build(c, opts):
    """After a load: the checks that need the loaded metadata, preparation and the network of the
    preset's size (what an encode that does not size its network by trial fits builds)."""
    if opts.norm_mode != 3 and not c.meta_info.get("trans_matrix"):
        raise ValueError(f"--norm-mode {opts.norm_mode} needs the grid's affine transform, which the source "
                         "lacks (no evenly spaced y/x coordinates, no GeoTransform); use --norm-mode 3")
    if opts.seed is not None:
        seed_generators(opts.seed)  # the network's initial weights
    c.prepare_training_data_optimized(use_log=opts.use_log, norm_mode=opts.norm_mode,
                                      block_size=tuple(opts.block_size))
    s = opts.model_sizes()
    c.build_qelm_model(*[s[k] for k in (
        "xy_hash_size", "xy_base_resolution", "xy_n_levels", "xy_per_level_scale", "xy_features_per_level",
        "t_hash_size", "t_base_resolution", "t_n_levels", "t_per_level_scale", "t_features_per_level",
        "spatial_scale", "decoder_hidden", "n_hidden_layers")],
        disable_temporal=opts.disable_temporal, block_size=tuple(opts.block_size),
        temporal_mode=opts.temporal_mode)


def fit_arguments(opts):
    """(the ``fit`` keywords of the run's loss and sampling, its early-stop keywords)."""
    loss = opts.loss_type()
    fit_kwargs = dict(lr=opts.lr, lr_hash=opts.lr_hash, loss_type=loss,
                      error_bound=opts.max_error if loss == "BOUND" else None,
                      importance_sampling=opts.importance_sampling, imp_warmup_frac=opts.imp_warmup_frac,
                      imp_alpha=opts.imp_alpha, imp_refresh_epochs=opts.imp_refresh_epochs)
    early = dict(early_stop=opts.early_stop, early_stop_patience=opts.early_stop_patience,
                 early_stop_min_delta_rel=opts.early_stop_min_delta_rel,
                 early_stop_warmup_epochs=opts.early_stop_warmup_epochs,
                 early_stop_ema_alpha=opts.early_stop_ema_alpha)
    return fit_kwargs, early


def train(c, opts):
    """``fit`` with the run's training options and a run planned as ``encode`` plans it (epochs,
    batch and steps, or a time budget for the cube's valid values); False when there is no
    valid point."""
    fit_kwargs, early = fit_arguments(opts)
    budget = opts.time_budget or time_budget(count_valid(c) * int(c.meta_info.get("n_bands") or 1))
    plan = plan_training(c, epochs=opts.epochs, batch_size=opts.batch_size, steps=opts.steps, budget_s=budget,
                         seeded=opts.seed is not None, fit_kwargs=fit_kwargs, quiet=lambda: _Quiet(True))
    return c.fit(epochs=plan.epochs, batch_size=plan.batch_size, steps=plan.steps, seed=opts.seed, **early,
                 **fit_kwargs)


def check_integer_step(bound, meta_info, block_size):
    """Residuals of an integer source are stored in whole steps of its scale factor (one data
    number), which leaves up to half a step of error; a tighter bound cannot be kept."""
    from pyqelm.encoder import tcnn_compressor as tc

    scales = meta_info.get("band_scales")
    src = meta_info.get("src_dtype")
    if not scales or src is None or tuple(block_size) != (1, 1):
        return
    mode, _ = tc._residual_value_mode(list(scales), str(src), 1, len(scales))
    if mode != "native":
        return
    half = max(float(s) for s in scales) / 2
    need = half * (1 + 64 * float(np.finfo(np.float32).eps))
    if bound < need:
        raise ValueError(f"--max-error {bound:g} is below half the step of the stored {src} values "
                         f"({half:g}): their residuals are stored in whole steps; give at least {need:.6g}")


def residual_threshold(bound, data_range, use_log=False):
    """The residual threshold that keeps every decoded value within ``bound`` of the original.

    The engine compares its reconstruction with the cube as it holds it for training: values
    normalised to [0, 1] in float32 and mapped back, which moves each of them by a few float32
    roundings of the largest magnitude involved; the decoder rounds again. The threshold is the
    bound less eight such roundings, so that a value the engine finds just inside the bound is
    still inside it against the original."""
    ranges = data_range or [[0.0, 1.0]]
    if len(ranges) == 2 and not isinstance(ranges[0], (list, tuple)):
        ranges = [ranges]
    hi = max(max(abs(float(lo)), abs(float(up))) for lo, up in ranges)
    span = max(float(up) - float(lo) for lo, up in ranges)
    if use_log:
        hi, span = float(np.expm1(hi)), float(np.expm1(hi))
    margin = 8 * float(np.finfo(np.float32).eps) * (hi + span)
    if not margin < bound / 2:
        raise ValueError(f"--max-error {bound:g} is below what float32 resolves for values up to {hi:g}; "
                         f"give at least {2 * margin:.3g}")
    return float(bound - margin)


def write_meta_sidecar(path, meta, blob=None):
    """The outer metadata of a bare chunk blob, so the blob can be decoded on its own; with the
    blob's bytes, their SHA-256 too, so that a blob and the metadata of another run are told
    apart."""
    from pyqelm.format import meta_document, write_bytes_atomic

    extra = {_BLOB_DIGEST: hashlib.sha256(blob).hexdigest()} if blob is not None else None
    write_bytes_atomic(path, meta_document(meta, extra))


_BLOB_DIGEST = "chunk_sha256"


def read_meta_sidecar(path, blob=None):
    """The Meta of a chunk blob's metadata file; given the blob, refuses a file written for
    another blob."""
    from pyqelm.format import _records as R
    from pyqelm.format import read_meta_document

    with open(path, "rb") as f:
        # One byte past the limit is enough for the reader to refuse an oversized file.
        data = f.read(R.JSON_MAX_BYTES + 1)
    meta, _, found = read_meta_document(data, path, extra=(_BLOB_DIGEST,))
    digest = found.get(_BLOB_DIGEST)
    if blob is not None and digest is not None and digest != hashlib.sha256(blob).hexdigest():
        raise ValueError(f"{path} describes another chunk blob (a different run); decode the blob with its own "
                         "metadata file")
    return meta


def stored_metrics(path, meta=None):
    """(quality metrics record, chunk meta) stored in a container or chunk blob."""
    from pyqelm.format import read_chunk_bytes, read_container

    if path.lower().endswith(".qelmc"):
        with open(path, "rb") as f:
            cm = read_chunk_bytes(f.read()).chunk_meta
    else:
        contents = read_container(path)
        cm = read_chunk_bytes(next(iter(contents.chunks.values()))).chunk_meta
    return cm.extras.get("quality_metrics"), cm


def raw_bytes(meta):
    """T*H*W*C x bytes per value of the source's stored type, and that type's name."""
    n = int(np.prod([int(s) for s in meta.shape]))
    try:
        itemsize = np.dtype(meta.dtype).itemsize
    except TypeError:
        itemsize = 4
    return n * itemsize, meta.dtype
