"""Decoding: a ``.qelm`` container (or a bare chunk blob) back to a data cube.

The reconstruction is rebuilt from the container alone:

* the network from the chunk's ``model_config`` (``QELMNetworkTorch.from_config``, on CPU),
  with the weights restored from the quantization recipe exactly as the encoder evaluated them
  when it measured quality and chose residuals;
* the spatial inputs from the chunk's coordinate mode (``extras["norm_mode"]``), the grid and
  the affine transform of the outer ``Meta`` (the same function training used), and the time
  inputs from the ISO timestamps and global bounds with ``normalize_time``;
* physical values as normalised x (max - min) + min per band from ``train_data_range``,
  followed by exp(x) - 1 when the cube was trained in log space;
* the residual track (when the chunk carries one):
  - "bound_codes_v1" (a bounded chunk, see ``pyqelm.bound``): an int32 code q for every cell of
    the pixels the mask keeps, and one step s per band in the residual info; a cell decodes as
    float32(p + q x s) with p the prediction above, formed in float64. The encoder chose q so
    that every valid value lies within the recorded bound of the source; a cell coded
    ``NODATA_CODE`` is a band without data in a pixel that holds some, and decodes as NaN;
  - "chunked_v1" (the engine's sparse track) added cell by cell: every valid value of such a
    rectified container lies within max(threshold, outlier_value_scale / 2) of the cube the
    engine trained on;
* the no-data mask applied last (NaN, or the value the caller asks for).

Prediction runs a batch of frames at a time through ``Predictor``, the same code the encoder's
bound pass measures with.

The cube is float32, (T, H, W, C), in physical units.
"""
import numpy as np
import torch

from pyqelm.format import read_chunk_bytes, read_container
from pyqelm.utils.compression import fast_decompress
from pyqelm.utils.date_utils import normalize_time

# Network rows per call and per batch of frames: the working set of a decode or of the encoder's
# bound pass is a few times this many values, whatever the cube's size.
DEFAULT_BATCH = 1 << 16
CODES_LAYOUT = "bound_codes_v1"
NODATA_CODE = int(np.iinfo(np.int32).min)  # a band without data in a pixel the mask keeps


def _engine():
    from pyqelm.encoder import tcnn_compressor

    return tcnn_compressor


def _network(chunk_meta, weights_bytes):
    return network_from_weights(chunk_meta.model_config, chunk_meta.quantization_info.to_dict(), weights_bytes)


def network_from_weights(model_config, recipe, weights_bytes):
    """The reference network on CPU (float32, evaluation mode) with the stored weights restored
    from the quantization recipe: the network every reconstruction is made with."""
    from pyqelm.models.QELMNetworkTorch import QELMNetworkTorch

    tc = _engine()
    raw = fast_decompress(weights_bytes)
    _check_grid_sizes(model_config, len(raw))
    net = QELMNetworkTorch.from_config(dict(model_config))
    recipe = dict(recipe)
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
    Returns (no-data mask or None, residuals): residuals are None, (indices, values) of a
    "chunked_v1" track, or the ``StepCodes`` of a bounded chunk (decoded frame batch by batch)."""
    nodata = residuals = None
    if contents.mask_bytes:
        nodata = _engine().decode_mask_blob(contents.mask_bytes)
        if nodata.shape[1:] != (H, W) or nodata.shape[0] not in (1, T):
            raise ValueError(f"mask of shape {nodata.shape} does not fit the cube {(T, H, W)}")
    info = contents.chunk_meta.residual_info
    if contents.residual_bytes and info is not None and info.outlier_layout == CODES_LAYOUT:
        residuals = StepCodes(contents.residual_bytes, info, nodata, (T, H, W, C))
    elif contents.residual_bytes:
        native = info is not None and info.value_mode == "native"
        idx, vals, shape = _engine().decode_residual_blob(
            contents.residual_bytes, list(info.band_scales) if native else None, None)
        if shape is not None and tuple(shape) != (T, H, W, C):
            raise ValueError(f"residual track shape {tuple(shape)} does not match the cube {(T, H, W, C)}")
        residuals = (np.asarray(idx), np.asarray(vals, dtype=np.float32))
    return nodata, residuals


class StepCodes:
    """The residual codes of a bounded chunk ("bound_codes_v1"): one int32 code per cell of every
    pixel the mask keeps, decoded a range of frames at a time. ``nodata``: the chunk's mask
    (1 or T, H, W), or None."""

    def __init__(self, blob, info, nodata, shape):
        self.blob, self.nodata, self.shape = blob, nodata, tuple(int(s) for s in shape)
        C = self.shape[3]
        steps = np.asarray(info.steps, dtype=np.float64)
        if steps.shape != (C,) or not (np.isfinite(steps).all() and (steps > 0).all()):
            raise ValueError(f"residual steps {info.steps} do not give one positive step per band of {C}")
        self.steps = steps

    def frames(self, t0, t1):
        from pyqelm import residual_codec

        H, W = self.shape[1:3]
        if self.nodata is None:
            codes = residual_codec.decode(self.blob, np.ones((1, H, W), dtype=bool), self.shape, frames=(t0, t1))
        elif self.nodata.shape[0] == 1:
            codes = residual_codec.decode(self.blob, ~self.nodata, self.shape, frames=(t0, t1))
        else:
            # Only the frames the codes need, from the key frame at or before t0 on.
            key = self._key_interval()
            first = t0 // key * key
            codes = residual_codec.decode(self.blob, ~self.nodata[first:t1], self.shape, frames=(t0, t1),
                                          valid_from=first)
        codes = np.asarray(codes)
        if codes.shape != (t1 - t0,) + self.shape[1:]:
            raise ValueError(f"residual codes of shape {codes.shape} for frames {t0}..{t1 - 1} of {self.shape}")
        return codes

    def _key_interval(self):
        if not hasattr(self, "_key"):
            from pyqelm import residual_codec

            self._key = max(1, int(residual_codec.describe(self.blob)["key_interval"]))
        return self._key


def apply_codes(pred, codes, steps):
    """Decoded values of a bounded chunk: prediction + code x step of the band, formed in float64
    and rounded once to float32, so the result is the same on every machine that predicts the
    same float32 ``pred``. Cells coded ``NODATA_CODE`` (a band without data in a pixel that holds
    some) decode as NaN."""
    total = codes * np.asarray(steps, dtype=np.float64)
    total += pred
    out = total.astype(np.float32)
    out[codes == NODATA_CODE] = np.nan
    return out


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
    t = normalize_time(meta.time.values, meta.time.global_start, meta.time.global_end)
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


class Predictor:
    """The network's reconstruction of a chunk in physical units, float32 on CPU, a batch of
    frames at a time: the one path ``decode_chunk`` and the encoder's bound pass both take, so
    the values the bound is measured on are the values a reader gets."""

    def __init__(self, meta, chunk_meta, net, batch=DEFAULT_BATCH):
        self.net, self.batch = net, int(batch)
        self.T, self.H, self.W, self.C, self.bh, self.bw, self.Hb, self.Wb = _grid(meta, net)
        self.xyz = _coordinates(meta, chunk_meta, self.Hb, self.Wb)
        self.times = _times(meta, self.T)
        self.lo, self.span = _band_ranges(chunk_meta, self.C, self.bh * self.bw)
        self.use_log = bool(meta.use_log)

    @classmethod
    def from_chunk(cls, meta, chunk_meta, weights_bytes, batch=DEFAULT_BATCH):
        return cls(meta, chunk_meta, _network(chunk_meta, weights_bytes), batch)

    def batches(self):
        """(first, end) frame ranges of about ``batch`` network rows each, one frame at least."""
        per = max(1, self.batch // max(1, self.Hb * self.Wb))
        return [(t0, min(self.T, t0 + per)) for t0 in range(0, self.T, per)]

    def frames(self, t0, t1):
        """Frames t0..t1-1 as float32 (t1 - t0, H, W, C)."""
        n, Hb, Wb, bh, bw, C = t1 - t0, self.Hb, self.Wb, self.bh, self.bw, self.C
        flat = _predict(self.net, self.xyz, self.times[t0:t1], self.lo, self.span, self.use_log, self.batch)
        cube = flat.numpy().reshape(n, Hb, Wb, bh, bw, C).transpose(0, 1, 3, 2, 4, 5).reshape(n, Hb * bh, Wb * bw, C)
        return np.ascontiguousarray(cube[:, :self.H, :self.W, :])


class FrameDecoder:
    """One chunk decoded a range of frames at a time: ``shape`` and ``[lo:hi]`` (float32 frames
    lo..hi-1), so a reader that walks a long series holds a few frame batches, not the cube.
    The values are those of ``decode_chunk`` bit for bit: the same frame batches are predicted."""

    def __init__(self, blob, meta, fill=None, batch=DEFAULT_BATCH):
        contents = read_chunk_bytes(blob)
        cm = contents.chunk_meta
        net = _network(cm, contents.weights_bytes)
        T, H, W, C = _grid(meta, net)[:4]
        self.shape = (T, H, W, C)
        self.nodata, self.residuals = _check_parts(contents, T, H, W, C)
        self.fill = np.nan if fill is None else fill
        self.predictor = Predictor(meta, cm, net, batch)
        self._batches = self.predictor.batches()
        self._last = (None, None)

    def _batch(self, k):
        if self._last[0] != k:
            t0, t1 = self._batches[k]
            T, H, W, C = self.shape
            cube = self.predictor.frames(t0, t1)
            r = self.residuals
            if isinstance(r, StepCodes):
                cube = apply_codes(cube, r.frames(t0, t1), r.steps)
            elif r is not None:
                cells = H * W * C
                lo, hi = np.searchsorted(r[0], [t0 * cells, t1 * cells])
                cube.reshape(-1)[r[0][lo:hi] - t0 * cells] += r[1][lo:hi]
            if self.nodata is not None:
                mask = self.nodata if self.nodata.shape[0] == 1 else self.nodata[t0:t1]
                cube[np.broadcast_to(mask, (t1 - t0, H, W))] = self.fill
            self._last = (k, cube)
        return self._last[1]

    def __getitem__(self, frames):
        if not isinstance(frames, slice) or frames.step not in (None, 1):
            raise TypeError("frames are read as a slice lo:hi")
        lo, hi, _ = frames.indices(self.shape[0])
        hi = max(lo, hi)
        out = np.empty((hi - lo,) + self.shape[1:], dtype=np.float32)
        for k, (t0, t1) in enumerate(self._batches):
            if t1 > lo and t0 < hi:
                a, b = max(t0, lo), min(t1, hi)
                out[a - lo:b - lo] = self._batch(k)[a - t0:b - t0]
        return out


def decode_chunk(blob, meta, fill=None, batch=DEFAULT_BATCH):
    """Decode one chunk blob with the outer ``Meta`` of its cube; returns float32 (T, H, W, C)."""
    frames = FrameDecoder(blob, meta, fill=fill, batch=batch)
    return frames[0:frames.shape[0]]


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
