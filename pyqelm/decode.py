"""Decoding: a ``.qelm`` container (or a bare chunk blob) back to a data cube.

The reconstruction is rebuilt from the container alone:

* the network from the chunk's ``model_config`` (``QELMNetworkTorch.from_config``, on CPU),
  with the weights restored from the quantization recipe exactly as the encoder evaluated them
  when it measured quality and chose residuals;
* the spatial inputs from the chunk's coordinate mode (``extras["norm_mode"]``), the grid and
  the affine transform of the outer ``Meta`` (the same function training used), and the time
  inputs from the timestamps, global bounds and calendar with ``normalize_time``;
* physical values as normalised x (max - min) + min per band from ``train_data_range``,
  followed by exp(x) - 1 when the cube was trained in log space;
* the residual track (when the chunk carries one) added cell by cell: every valid value of a
  rectified container lies within max(threshold, outlier_value_scale / 2) of the original;
* the no-data mask applied last (NaN, or the value the caller asks for).

The cube is float32, (T, H, W, C), in physical units.

Decoding is bounded by what the file is, not by what it claims: before anything of the cube's
size is allocated, every claim is checked against the others and against the bytes present
(``_check_claims``): the network the configuration describes against the weight recipe and
the payload's declared size, the cube's bands against the network's outputs, its frames
against the time axis, the outlier count against the cube; the mask and residual decoders
then check their headers against the cube before they allocate. What remains is a cube that
is as large as it says, and the memory its decode needs is compared with ``max_memory``
(default: half of physical memory), which a caller raises to decode larger cubes. Valid
values that would decode to inf or NaN (damaged metadata) are refused, never returned.
"""
import os

import numpy as np
import torch

from pyqelm.format import read_chunk_bytes, read_container
from pyqelm.utils.compression import fast_decompress
from pyqelm.utils.date_utils import normalize_time, time_points

DEFAULT_BATCH = 1 << 18
# exp(x) - 1 of a log-space value beyond this is no float32.
_LOG_MAX = float(np.log(np.finfo(np.float32).max))
# Part of physical memory a decode may plan to use unless the caller allows more.
DEFAULT_MEMORY_FRACTION = 0.5
_ASSUMED_PHYSICAL = 64 << 30  # when the system does not say


def _engine():
    from pyqelm.encoder import tcnn_compressor

    return tcnn_compressor


def _network(chunk_meta, weights_bytes):
    from pyqelm.models.QELMNetworkTorch import QELMNetworkTorch

    tc = _engine()
    raw = fast_decompress(weights_bytes)
    net = QELMNetworkTorch.from_config(dict(chunk_meta.model_config))
    recipe = chunk_meta.quantization_info.to_dict()
    tensors, export_names = net.export_weight_components()
    sizes = [int(t.numel()) for t in tensors]
    parts = tc.restore_weight_components(raw, recipe, sizes)
    if recipe.get("mode") == "float16":
        names = export_names
    else:
        names = list(recipe["components"]) + [recipe["decoder_name"]]
    if len(parts) != len(names):
        raise ValueError(f"weight blob holds {len(parts)} components, the network expects {len(names)}")
    net.load_weight_components(dict(zip(names, parts)))
    return net.eval()


def default_max_memory():
    """The memory a decode may plan to use by default: half of physical memory."""
    try:
        page, pages = os.sysconf("SC_PAGE_SIZE"), os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        page = pages = -1
    physical = page * pages if page > 0 and pages > 0 else _ASSUMED_PHYSICAL
    return int(physical * DEFAULT_MEMORY_FRACTION)


_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def parse_memory_size(text):
    """'512M', '8G', '1.5T' or a plain number of bytes -> bytes (int). Units are binary
    (K = 1024); a trailing 'B' or 'iB' is accepted."""
    s = str(text).strip().upper().replace(" ", "")
    for suffix in ("IB", "B"):
        if s.endswith(suffix) and s[:-len(suffix)][-1:] in "KMGT" and len(s) > len(suffix):
            s = s[:-len(suffix)]
            break
    unit = s[-1:] if s[-1:] in "KMGT" else ""
    try:
        value = float(s[:len(s) - len(unit)])
    except ValueError:
        raise ValueError(f"not a memory size: {text!r} (examples: 512M, 8G, 1.5T)") from None
    if not (value > 0 and value * _UNITS[unit] < 2 ** 63):
        raise ValueError(f"a memory size must be positive, got {text!r}")
    return int(value * _UNITS[unit])


def _size_text(n):
    for unit, size in (("TiB", 1 << 40), ("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= size:
            return f"{n / size:.1f} {unit}"
    return f"{n} bytes"


def _check_weights(chunk_meta, arch, payload_bytes):
    """The network the configuration describes must be the one the weight recipe stores, and
    the recipe must account for the payload's declared size exactly, before either the payload
    is inflated or the network is built."""
    from pyqelm.models._architecture import component_names, component_sizes

    names, sizes = component_names(arch), component_sizes(arch)
    q = chunk_meta.quantization_info
    if q.mode == "float16":
        stored = 2 * sum(sizes)
    else:
        recipe = dict(zip(list(q.components) + [q.decoder_name], list(q.sizes) + [q.decoder_size]))
        if recipe != dict(zip(names, sizes)):
            raise ValueError(f"the model configuration asks for {sum(sizes):,} weights "
                             f"({', '.join(f'{n} {k:,}' for n, k in zip(names, sizes))}), the weight recipe stores "
                             f"{', '.join(f'{n} {k:,}' for n, k in recipe.items())}")
        stored = (1 if q.mode.startswith("int8") else 2) * sum(q.sizes) + 2 * q.decoder_size
    if stored != payload_bytes:
        raise ValueError(f"the model configuration asks for {sum(sizes):,} weights ({_size_text(stored)} as stored) "
                         f"but the weight blob holds {_size_text(payload_bytes)}")
    return sum(sizes)


def _decode_bytes(arch, T, H, W, C, n_params, payload_bytes, has_mask, outliers, batch):
    """What a decode of this cube holds at its peak, in bytes (an upper estimate)."""
    bh, bw = arch["block_size"]
    Hb, Wb = -(-H // bh), -(-W // bw)
    cube = 4 * T * Hb * bh * Wb * bw * C
    if bh * bw > 1:
        cube *= 2  # blocks are rearranged into a second array
    coords = 2 * 3 * 4 * Hb * Wb  # up to three coordinates per pixel, and their temporaries
    rows = min(batch, T * Hb * Wb)
    width = arch["decoder_hidden"] if arch["n_hidden_layers"] else 0
    per_row = 4 * (3 * (arch["spatial_dims"] + 1) + 4 * arch["decoder_n_input_dims"] + 3 * width
                   + 2 * arch["n_decoder_outputs"]) + 24
    network = payload_bytes + 8 * n_params  # the inflated payload, the restored and the loaded weights
    mask = T * H * W if has_mask else 0
    residuals = 28 * outliers  # indices, values and the temporaries of adding them
    return cube + coords + rows * per_row + network + mask + residuals


def _check_claims(contents, meta, max_memory, batch):
    """Checks the chunk's claims against each other, against the outer metadata and against
    the bytes present, then the memory the decode will need against ``max_memory``, before
    anything of the cube's size is allocated. Returns (T, H, W, C)."""
    from pyqelm.models._architecture import constructor_kwargs, resolve_architecture
    from pyqelm.utils.compression import declared_size

    cm = contents.chunk_meta
    try:
        arch = resolve_architecture(constructor_kwargs(dict(cm.model_config)))
    except TypeError as exc:
        raise ValueError(f"model configuration: {exc}") from None
    n_params = _check_weights(cm, arch, declared_size(contents.weights_bytes))
    if len(meta.shape) != 4:
        raise ValueError(f"the cube's shape {list(meta.shape)} is not (frames, rows, columns, bands)")
    T, H, W, C = (int(x) for x in meta.shape)
    if C != arch["n_output_dims"]:
        raise ValueError(f"the cube has {C} bands, the network predicts {arch['n_output_dims']}")
    frames = len(meta.time.values) if meta.time is not None else 0
    if frames != T and not (frames == 0 and T <= 1):
        raise ValueError(f"the time axis holds {frames} timestamps for {T} frames")
    outliers = 0
    if contents.residual_bytes:
        info = cm.residual_info
        outliers = info.outlier_count
        if outliers > T * H * W * C:
            raise ValueError(f"the residual track counts {outliers:,} outliers in a cube of {T * H * W * C:,} values")
    need = _decode_bytes(arch, T, H, W, C, n_params, len(contents.weights_bytes), bool(contents.mask_bytes),
                         outliers, batch)
    cap = default_max_memory() if max_memory is None else int(max_memory)
    if need > cap:
        raise ValueError(f"decoding this {T} x {H} x {W} x {C} cube needs about {_size_text(need)} of memory, "
                         f"more than the {_size_text(cap)} allowed; raise the limit with max_memory "
                         "(--max-memory) if this machine has it")
    return T, H, W, C


def _grid(meta, net):
    T, H, W, C = (int(x) for x in meta.shape)
    bh, bw = (int(x) for x in net.block_size)  # validated by the network's configuration
    return T, H, W, C, bh, bw, -(-H // bh), -(-W // bw)


def _check_parts(contents, T, H, W, C):
    """Decodes the chunk's mask and residual track and checks them against the cube before any
    prediction, so a chunk whose parts disagree is refused before a cube is allocated for it;
    the decoders compare their headers with the cube before they allocate anything.
    Returns (no-data mask or None, (indices, values) or None)."""
    nodata = residuals = None
    if contents.mask_bytes:
        nodata = _engine().decode_mask_blob(contents.mask_bytes, shape=(T, H, W))
    if contents.residual_bytes:
        info = contents.chunk_meta.residual_info
        native = info is not None and info.value_mode == "native"
        idx, vals, shape = _engine().decode_residual_blob(
            contents.residual_bytes, list(info.band_scales) if native else None, None,
            shape=(T, H, W, C), count=info.outlier_count)
        residuals = (np.asarray(idx), np.asarray(vals, dtype=np.float32))
    return nodata, residuals


def _coordinates(meta, chunk_meta, rows, cols):
    norm_mode = chunk_meta.extras.get("norm_mode", 3)
    transform = None
    if norm_mode != 3:
        if meta.transform is None:
            raise ValueError(f"coordinate mode {norm_mode} needs the grid's affine transform, which the container lacks")
        transform = [float(v) for v in list(meta.transform)[:6]]
    xyz, _ = _engine()._coordinate_cache(norm_mode, rows, cols, transform)
    return xyz


def _times(meta, T):
    if meta.time is None or not meta.time.values:
        if T > 1:
            raise ValueError("the container has no time axis for its frames")
        return torch.zeros(T, dtype=torch.float32)
    t = normalize_time(meta.time.values, meta.time.global_start, meta.time.global_end, calendar=meta.time.calendar)
    if len(t) != T:
        raise ValueError(f"the time axis holds {len(t)} timestamps for {T} frames")
    _check_time_order(meta.time.values, meta.time.calendar)
    return torch.tensor(t, dtype=torch.float32)


def _check_time_order(values, calendar=None):
    """Frames lie at distinct instants in one direction (coordinate axes are strictly
    monotonic): a repeated or out-of-order timestamp is damage, not a time series. Dates are
    read in the axis's own calendar (2000-02-30 exists under 360_day)."""
    stamps = time_points(values, calendar)
    rising = len(stamps) > 1 and stamps[1] > stamps[0]
    for i in range(1, len(stamps)):
        if stamps[i] == stamps[i - 1] or (stamps[i] > stamps[i - 1]) != rising:
            raise ValueError(f"the time axis is not strictly monotonic: frame {i} ({values[i]}) follows "
                             f"frame {i - 1} ({values[i - 1]})")


def _check_finite(cube, nodata):
    """Valid values must decode to numbers: inf or NaN there means damaged metadata or weights,
    which a caller must hear about rather than receive. Checked frame by frame, so the check
    needs memory for one frame only."""
    T = cube.shape[0]
    for t in range(T):
        bad = ~np.isfinite(cube[t])
        if nodata is not None:
            bad &= ~nodata[t if nodata.shape[0] == T else 0][..., None]
        n = int(np.count_nonzero(bad))
        if n:
            raise ValueError(f"{n:,} valid values of frame {t} decode to inf or NaN; the container's metadata or "
                             "weights are damaged")


def _band_ranges(chunk_meta, C, block_factor, use_log=False):
    ranges = [list(r) for r in chunk_meta.train_data_range]
    if len(ranges) == 1 and C > 1:
        ranges = ranges * C
    if len(ranges) != C:
        raise ValueError(f"train_data_range holds {len(ranges)} bands, the cube has {C}")
    if use_log and max(r[1] for r in ranges) > _LOG_MAX:
        raise ValueError(f"train_data_range reaches {max(r[1] for r in ranges):g} in log space, beyond what "
                         "float32 values can hold once restored")
    lo = torch.tensor([r[0] for r in ranges] * block_factor, dtype=torch.float32)
    span = torch.tensor([r[1] - r[0] for r in ranges] * block_factor, dtype=torch.float32)
    return lo, span


def _predict(net, xyz, times, lo, span, use_log, batch):
    cells, T = xyz.shape[0], times.shape[0]
    total = cells * T
    out = torch.empty((total, lo.shape[0]), dtype=torch.float32)
    with torch.no_grad():
        for start in range(0, total, batch):
            idx = torch.arange(start, min(start + batch, total))
            coords = torch.cat([xyz[idx % cells], times[idx // cells].unsqueeze(1)], 1)
            preds, _ = net(coords)
            phys = preds.float() * span + lo
            out[start:start + len(idx)] = torch.expm1(phys) if use_log else phys
    return out


def decode_chunk(blob, meta, fill=None, batch=DEFAULT_BATCH, max_memory=None):
    """Decode one chunk blob with the outer ``Meta`` of its cube; returns float32 (T, H, W, C).
    ``max_memory`` (bytes; default ``default_max_memory()``) bounds what the decode may need."""
    contents = read_chunk_bytes(blob)
    cm = contents.chunk_meta
    _check_claims(contents, meta, max_memory, batch)
    net = _network(cm, contents.weights_bytes)
    T, H, W, C, bh, bw, Hb, Wb = _grid(meta, net)
    nodata, residuals = _check_parts(contents, T, H, W, C)
    xyz = _coordinates(meta, cm, Hb, Wb)
    times = _times(meta, T)
    lo, span = _band_ranges(cm, C, bh * bw, bool(meta.use_log))
    flat = _predict(net, xyz, times, lo, span, bool(meta.use_log), batch)
    cube = flat.numpy().reshape(T, Hb, Wb, bh, bw, C).transpose(0, 1, 3, 2, 4, 5).reshape(T, Hb * bh, Wb * bw, C)
    cube = np.ascontiguousarray(cube[:, :H, :W, :])
    if residuals is not None:
        cube.reshape(-1)[residuals[0]] += residuals[1]
    _check_finite(cube, nodata)
    if nodata is not None:
        cube[np.broadcast_to(nodata, (T, H, W))] = np.nan if fill is None else fill
    return cube


def _check_covers_cube(path, meta, entry):
    """A one-chunk container's chunk must span the whole cube: the decoder rebuilds every
    pixel of ``meta.shape`` from it."""
    extent = dict(zip(meta.axes, meta.shape))
    for axis, (lo, hi) in entry.bounds.items():
        if axis in extent and (lo, hi) != (0, extent[axis]):
            raise ValueError(f"{path}: the only chunk spans {axis} [{lo}, {hi}), "
                             f"the cube [0, {extent[axis]})")


def read_single_chunk(path):
    """(chunk blob, Meta) of a one-chunk ``.qelm`` container whose chunk spans the cube."""
    contents = read_container(path)
    entries = contents.manifest.chunks
    if len(entries) != 1:
        raise ValueError(f"{path}: container holds {len(entries)} chunks; this decoder reads one-chunk containers")
    _check_covers_cube(path, contents.meta, entries[0])
    return contents.chunks[entries[0].file], contents.meta


def decode_container(path, fill=None, batch=DEFAULT_BATCH, max_memory=None):
    """Decode a one-chunk ``.qelm`` container; returns (cube float32 (T, H, W, C), Meta).

    No-data pixels become NaN, or ``fill`` when given (for example ``meta.missing_fill``).
    A cube whose decode needs more than ``max_memory`` bytes (default: half of physical
    memory) is refused before anything of its size is allocated.
    """
    blob, meta = read_single_chunk(path)
    return decode_chunk(blob, meta, fill=fill, batch=batch, max_memory=max_memory), meta
