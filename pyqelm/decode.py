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
"""
import numpy as np
import torch

from pyqelm.format import read_chunk_bytes, read_container
from pyqelm.utils.compression import fast_decompress
from pyqelm.utils.date_utils import normalize_time

DEFAULT_BATCH = 1 << 18


def _engine():
    from pyqelm.encoder import tcnn_compressor

    return tcnn_compressor


def _network(chunk_meta, weights_bytes):
    from pyqelm.models.QELMNetworkTorch import QELMNetworkTorch

    tc = _engine()
    raw = fast_decompress(weights_bytes)
    _check_grid_sizes(chunk_meta.model_config, len(raw))
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


def _check_grid_sizes(model_config, payload_bytes):
    """Every stored weight takes at least one byte, so a configuration whose hash grids alone
    need more weights than the payload has bytes is refused before its tables are allocated."""
    from pyqelm.models._architecture import constructor_kwargs, grid_n_params, grid_settings, resolve_architecture

    arch = resolve_architecture(constructor_kwargs(dict(model_config)))
    dims = {"xy": arch["spatial_dims"], "t": arch["spatial_dims"] + 1}
    needed = sum(grid_n_params(n, grid) for prefix, n in dims.items()
                 if (grid := grid_settings(arch, prefix)) is not None
                 and (prefix == "xy" or (not arch["disable_temporal"] and arch["temporal_mode"] == "hash3d")))
    if needed > payload_bytes:
        raise ValueError(f"model configuration asks for {needed:,} hash-grid weights but the weight blob "
                         f"holds only {payload_bytes:,} bytes")


def _grid(meta, net):
    T, H, W, C = (int(x) for x in meta.shape)
    bh, bw = (int(x) for x in net.block_size)  # validated by the network's configuration
    return T, H, W, C, bh, bw, -(-H // bh), -(-W // bw)


def _check_parts(contents, T, H, W, C):
    """Decodes the chunk's mask and residual track and checks them against the cube before any
    prediction, so a chunk whose parts disagree is refused before a cube is allocated for it.
    Returns (no-data mask or None, (indices, values) or None)."""
    nodata = residuals = None
    if contents.mask_bytes:
        nodata = _engine().decode_mask_blob(contents.mask_bytes)
        if nodata.shape[1:] != (H, W) or nodata.shape[0] not in (1, T):
            raise ValueError(f"mask of shape {nodata.shape} does not fit the cube {(T, H, W)}")
    if contents.residual_bytes:
        info = contents.chunk_meta.residual_info
        native = info is not None and info.value_mode == "native"
        idx, vals, shape = _engine().decode_residual_blob(
            contents.residual_bytes, list(info.band_scales) if native else None, None)
        if shape is not None and tuple(shape) != (T, H, W, C):
            raise ValueError(f"residual track shape {tuple(shape)} does not match the cube {(T, H, W, C)}")
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
    return torch.tensor(t, dtype=torch.float32)


def _band_ranges(chunk_meta, C, block_factor):
    ranges = [list(r) for r in chunk_meta.train_data_range]
    if len(ranges) == 1 and C > 1:
        ranges = ranges * C
    if len(ranges) != C:
        raise ValueError(f"train_data_range holds {len(ranges)} bands, the cube has {C}")
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


def decode_chunk(blob, meta, fill=None, batch=DEFAULT_BATCH):
    """Decode one chunk blob with the outer ``Meta`` of its cube; returns float32 (T, H, W, C)."""
    contents = read_chunk_bytes(blob)
    cm = contents.chunk_meta
    net = _network(cm, contents.weights_bytes)
    T, H, W, C, bh, bw, Hb, Wb = _grid(meta, net)
    nodata, residuals = _check_parts(contents, T, H, W, C)
    xyz = _coordinates(meta, cm, Hb, Wb)
    times = _times(meta, T)
    lo, span = _band_ranges(cm, C, bh * bw)
    flat = _predict(net, xyz, times, lo, span, bool(meta.use_log), batch)
    cube = flat.numpy().reshape(T, Hb, Wb, bh, bw, C).transpose(0, 1, 3, 2, 4, 5).reshape(T, Hb * bh, Wb * bw, C)
    cube = np.ascontiguousarray(cube[:, :H, :W, :])
    if residuals is not None:
        cube.reshape(-1)[residuals[0]] += residuals[1]
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


def decode_container(path, fill=None, batch=DEFAULT_BATCH):
    """Decode a one-chunk ``.qelm`` container; returns (cube float32 (T, H, W, C), Meta).

    No-data pixels become NaN, or ``fill`` when given (for example ``meta.missing_fill``).
    """
    blob, meta = read_single_chunk(path)
    return decode_chunk(blob, meta, fill=fill, batch=batch), meta
