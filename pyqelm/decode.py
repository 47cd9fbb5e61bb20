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

The cube is float32, (T, H, W, C), in physical units. A container of several chunks decodes
each against its own part of the metadata (``pyqelm.windowed``), and so does a window of any
container: a window decodes to the bits of the same pixels of the whole, since the same frame
batches are predicted.

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

# Network rows per call and per batch of frames: the working set of a decode or of the encoder's
# bound pass is a few times this many values, whatever the cube's size.
DEFAULT_BATCH = 1 << 16
CODES_LAYOUT = "bound_codes_v1"
NODATA_CODE = int(np.iinfo(np.int32).min)  # a band without data in a pixel the mask keeps
# exp(x) - 1 of a log-space value beyond this is no float32.
_LOG_MAX = float(np.log(np.finfo(np.float32).max))
# Part of physical memory a decode may plan to use unless the caller allows more.
DEFAULT_MEMORY_FRACTION = 0.5
_ASSUMED_PHYSICAL = 64 << 30  # when the system does not say


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


def _decode_bytes(arch, T, H, W, C, n_params, payload_bytes, has_mask, outliers, batch, held=None, codes=False):
    """What a decode of this cube holds at its peak, in bytes (an upper estimate). ``held``: the
    frames a frame-batch reader holds at once (default: the whole cube, which ``decode_chunk``
    returns); ``codes``: the residuals are the per-cell codes of a bounded chunk, decoded and
    applied a frame batch at a time."""
    bh, bw = arch["block_size"]
    Hb, Wb = -(-H // bh), -(-W // bw)
    cube = 4 * (T if held is None else held) * Hb * bh * Wb * bw * C
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
    if codes:
        # int32 codes, their float64 sum with the prediction and the float32 result, per batch
        per = max(1, batch // max(1, Hb * Wb))
        residuals = 16 * min(T, per) * H * W * C
        if held is not None:
            cube += 4 * min(T, per) * H * W * C  # the batch kept for the next read
    return cube + coords + rows * per_row + network + mask + residuals


def _check_claims(contents, meta, max_memory, batch, held=None, extra=0, what=None):
    """Checks the chunk's claims against each other, against the outer metadata and against
    the bytes present, then the memory the decode will need against ``max_memory``, before
    anything of the cube's size is allocated; ``held`` as for ``_decode_bytes``; ``extra``:
    bytes the caller holds besides (a window's array), ``what`` names what is decoded in the
    refusal (default: the cube). Returns (T, H, W, C)."""
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
    codes = bool(contents.residual_bytes) and cm.residual_info.outlier_layout == CODES_LAYOUT
    need = _decode_bytes(arch, T, H, W, C, n_params, len(contents.weights_bytes), bool(contents.mask_bytes),
                         outliers, batch, held=held, codes=codes) + int(extra)
    cap = default_max_memory() if max_memory is None else int(max_memory)
    if need > cap:
        raise ValueError(f"decoding {what or f'this {T} x {H} x {W} x {C} cube'} needs about {_size_text(need)} of "
                         "memory, "
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
    Returns (no-data mask or None, residuals): residuals are None, (indices, values) of a
    "chunked_v1" track, or the ``StepCodes`` of a bounded chunk (decoded frame batch by batch)."""
    nodata = residuals = None
    if contents.mask_bytes:
        nodata = _engine().decode_mask_blob(contents.mask_bytes, shape=(T, H, W))
    info = contents.chunk_meta.residual_info
    if contents.residual_bytes and info is not None and info.outlier_layout == CODES_LAYOUT:
        residuals = StepCodes(contents.residual_bytes, info, nodata, (T, H, W, C))
    elif contents.residual_bytes:
        native = info is not None and info.value_mode == "native"
        idx, vals, shape = _engine().decode_residual_blob(
            contents.residual_bytes, list(info.band_scales) if native else None, None,
            shape=(T, H, W, C), count=info.outlier_count)
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
    _check_time_order(meta.time.values, meta.time.calendar)
    t = normalize_time(meta.time.values, meta.time.global_start, meta.time.global_end, calendar=meta.time.calendar)
    if len(t) != T:
        raise ValueError(f"the time axis holds {len(t)} timestamps for {T} frames")
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


def _check_finite(cube, nodata, first=0, codes=None):
    """Valid values must decode to numbers: inf or NaN there means damaged metadata or weights,
    which a caller must hear about rather than receive. Checked frame by frame, so the check
    needs memory for one frame only. ``cube`` holds frames first, first + 1, ... and ``nodata``
    the same frames (or one for all); cells coded ``NODATA_CODE`` in ``codes`` are no data."""
    T = cube.shape[0]
    for t in range(T):
        bad = ~np.isfinite(cube[t])
        if nodata is not None:
            bad &= ~nodata[t if nodata.shape[0] == T else 0][..., None]
        if codes is not None:
            bad &= codes[t] != NODATA_CODE
        n = int(np.count_nonzero(bad))
        if n:
            raise ValueError(f"{n:,} valid values of frame {first + t} decode to inf or NaN; the container's "
                             "metadata or weights are damaged")


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


# Rows the network takes at once: its intermediates cost a few hundred bytes per row, so a frame
# batch goes through in pieces (a predicted value does not depend on how rows are grouped beyond
# float32 rounding, which the bound's margin covers).
_FORWARD_ROWS = 1 << 14


def _predict(net, xyz, times, lo, span, use_log, batch):
    cells, T = xyz.shape[0], times.shape[0]
    total = cells * T
    out = torch.empty((total, lo.shape[0]), dtype=torch.float32)
    step = max(1, min(int(batch), _FORWARD_ROWS))
    with torch.no_grad():
        for start in range(0, total, step):
            idx = torch.arange(start, min(start + step, total))
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
        self.lo, self.span = _band_ranges(chunk_meta, self.C, self.bh * self.bw, bool(meta.use_log))
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

    def __init__(self, blob, meta, fill=None, batch=DEFAULT_BATCH, max_memory=None, whole=False, extra=0, what=None):
        contents = read_chunk_bytes(blob)
        self.chunk_meta = cm = contents.chunk_meta
        _check_claims(contents, meta, max_memory, batch, held=None if whole else self._held(contents, meta, batch),
                      extra=extra, what=what)
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
            r, codes = self.residuals, None
            if isinstance(r, StepCodes):
                codes = r.frames(t0, t1)
                cube = apply_codes(cube, codes, r.steps)
            elif r is not None:
                cells = H * W * C
                lo, hi = np.searchsorted(r[0], [t0 * cells, t1 * cells])
                cube.reshape(-1)[r[0][lo:hi] - t0 * cells] += r[1][lo:hi]
            mask = None
            if self.nodata is not None:
                mask = self.nodata if self.nodata.shape[0] == 1 else self.nodata[t0:t1]
            _check_finite(cube, mask, first=t0, codes=codes)
            if mask is not None:
                cube[np.broadcast_to(mask, (t1 - t0, H, W))] = self.fill
            self._last = (k, cube)
        return self._last[1]

    @staticmethod
    def _held(contents, meta, batch):
        """Frames of one batch (what a frame-batch reader holds), from the claims alone."""
        from pyqelm.models._architecture import constructor_kwargs, resolve_architecture

        try:
            bh, bw = resolve_architecture(constructor_kwargs(dict(contents.chunk_meta.model_config)))["block_size"]
            T, H, W = (int(x) for x in list(meta.shape)[:3])
        except (TypeError, ValueError):
            return None  # _check_claims says what is wrong
        return min(T, max(1, int(batch) // max(1, -(-H // bh) * -(-W // bw))))

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


def decode_chunk(blob, meta, fill=None, batch=DEFAULT_BATCH, max_memory=None):
    """Decode one chunk blob with the outer ``Meta`` of its cube; returns float32 (T, H, W, C).
    ``max_memory`` (bytes; default ``default_max_memory()``) bounds what the decode may need."""
    frames = FrameDecoder(blob, meta, fill=fill, batch=batch, max_memory=max_memory, whole=True)
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


def decode_container(path, fill=None, batch=DEFAULT_BATCH, max_memory=None):
    """Decode a ``.qelm`` container, of one chunk or many; returns (cube float32 (T, H, W, C), Meta).

    No-data pixels become NaN, or ``fill`` when given (for example ``meta.missing_fill``).
    A cube whose decode needs more than ``max_memory`` bytes (default: half of physical
    memory) is refused before anything of its size is allocated.
    ``pyqelm.windowed.decode_window`` decodes a part of it.
    """
    from pyqelm.windowed import decode_window

    return decode_window(path, fill=fill, batch=batch, max_memory=max_memory)
