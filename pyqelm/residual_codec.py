"""Lossless codec of residual code fields: the integer corrections of a bounded container.

A bounded container stores, for every valid value ``v`` with decoded prediction ``p``, the code
``q = round((v - p) / s)`` with a step ``s`` just under twice the bound, so that ``p + q * s`` is
within the bound. The codes form a field over the cube's valid cells: mostly 0 and +-1 at a loose
bound, wider at a tight one, correlated in space and time. This module turns such a field into
few bytes and back, exactly, the whole int32 range included::

    blob = encode(codes, valid)                 # codes (T, H, W, C) integers, valid bool or None
    codes = decode(blob, valid, codes.shape)    # int32, zeros at invalid cells
    window = decode(blob, valid, shape, frames=(t0, t1))

    writer = CodeWriter(H, W, C)                # frame batches, one frame of state
    for batch, batch_valid in batches:
        writer.add(batch, batch_valid)
    blob = writer.finish()

``valid`` is ``None`` (every cell valid) or a boolean array of shape (1 or T, H, W) -- one
validity per pixel, for every band -- or (1 or T, H, W, C); one frame stands for all. Codes of
invalid cells are not stored, and the decoder must be given the same validity the encoder saw
(a checksum of it is stored; another mask is refused rather than decoded into misplaced codes).

How it codes. Frames are coded one at a time and, within a frame, band plane by band plane in
raster order. Each plane picks the smallest of a few layouts: "zero" (all valid codes 0:
nothing stored), "raw" (int32 per valid cell: the worst case), "dense" (every valid code),
"lorenzo2" (the difference to left + up - up-left), "temporal" (the difference to the same
cell one frame back), "lorenzo3" (the 2-D Lorenzo prediction plus the previous frame's 2-D
Lorenzo residual moved one step towards zero), "regression2" and "regression3" (the difference
to a linear prediction from six causal neighbours, and in "regression3" six more cells of the
previous frame, with weights fitted per plane by least squares and stored in the plane; cells
near the top and side edges use the Lorenzo predictions). The coded layouts go through an
adaptive binary range coder whose contexts are the magnitudes and signs of the residuals already
coded around the cell (left, up, up-left, up-right, and the same cell one frame back);
magnitudes are binarised Elias-gamma style. The layout is chosen per plane from an entropy estimate on a sample
of rows, the best one or two candidates then coded for real and compared with raw by size.
Frames form groups of ``key_interval`` frames (default 16); a key frame starts each group and is
coded alone, the others may use the previous frame. Decoding frames [t0, t1) therefore decodes
from the key frame at or before t0.

Byte layout (little-endian, packed)::

    u8  version (1)
    i32 T, H, W, C
    u32 key interval K (>= 1)
    T x { u32 frame length, u32 CRC-32 of the frame bytes,
          u32 CRC-32 of the frame's validity (band planes in order, one 0/1 byte per cell) }
    u32 CRC-32 of all the header bytes before it
    the T frames back to back; each frame is, per band: u8 layout, then for every layout but
    "zero" a u32 payload length and the payload ("raw": int32 per valid cell, raster order;
    "regression2" / "regression3": 6 / 12 int16 weights in 1/1024 units -- taps left, up,
    up-left, up-right, two left, two up, then the previous frame's same cell, left, up, right,
    down, up-left -- followed by the stream; the others: one range-coder stream)

Layout numbers: 0 zero, 1 raw, 2 dense, 3 lorenzo2, 4 temporal, 5 lorenzo3, 6 regression2,
7 regression3. Every decoder
checks the blob against the shape the caller passes and refuses damage with ``ValueError``.
"""
import operator

import numpy as np

__all__ = ["encode", "decode", "describe", "CodeWriter", "DEFAULT_KEY_INTERVAL", "LAYOUTS"]

DEFAULT_KEY_INTERVAL = 16
LAYOUTS = ("zero", "raw", "dense", "lorenzo2", "temporal", "lorenzo3", "regression2", "regression3")


def _engine():
    from pyqelm.encoder import tcnn_compressor

    return tcnn_compressor


def _as_cube(codes):
    """(T, H, W, C) view of the codes; a (T, H, W) field is one band."""
    a = np.asarray(codes)
    if a.ndim == 3:
        a = a[..., None]
    if a.ndim != 4:
        raise ValueError(f"residual codes must have shape (T, H, W[, C]), got {a.shape}")
    return a


def _frames(frames, T):
    if frames is None:
        return 0, T
    if isinstance(frames, slice):
        start, stop, step = frames.indices(T)
        if step != 1:
            raise ValueError("frames must be a contiguous range")
        return start, max(start, stop)
    if isinstance(frames, range):
        if frames.step != 1:
            raise ValueError("frames must be a contiguous range")
        return frames.start, max(frames.start, frames.stop)
    t0, t1 = frames
    return operator.index(t0), operator.index(t1)


def encode(codes, valid=None, key_interval=DEFAULT_KEY_INTERVAL):
    """Codes (T, H, W[, C]) of any integer type whose values fit int32 -> bytes."""
    return _engine().encode_residual_codes(_as_cube(codes), valid, key_interval=key_interval)


def decode(blob, valid, shape, frames=None, verify=True, valid_from=None):
    """Bytes -> int32 codes (t1 - t0, H, W, C) of ``frames`` (a (t0, t1) pair, a range or a slice;
    default all), zeros at invalid cells. ``shape`` is (T, H, W[, C]) of the whole field and
    ``valid`` the validity the codes were encoded with; with ``valid_from=k``, ``valid`` holds
    only frames k, k+1, ... (from the key frame at or before t0 to t1 at least), so a long series
    with changing no-data is read a window at a time."""
    shape = tuple(operator.index(d) for d in shape)
    if len(shape) == 3:
        shape = shape + (1,)
    if len(shape) != 4:
        raise ValueError(f"shape must be (T, H, W[, C]), got {shape}")
    t0, t1 = _frames(frames, shape[0])
    return _engine().decode_residual_codes(blob, valid, shape, t0=t0, t1=t1, verify=verify, valid_from=valid_from)


def describe(blob):
    """Shape, key interval, header bytes and per frame the offset, bytes and layout of each band;
    the frames' checksums are verified."""
    return _engine().describe_residual_codes(blob)


class CodeWriter:
    """Encodes a code field from frame batches while holding only the previous frame."""

    def __init__(self, H, W, C=1, key_interval=DEFAULT_KEY_INTERVAL):
        self._writer = _engine().ResidualCodeWriter(H, W, C, key_interval=key_interval)

    def add(self, codes, valid=None):
        """Append frames: codes (B, H, W[, C]), valid None or (1 or B, H, W[, C])."""
        self._writer.add(_as_cube(codes), valid)

    @property
    def frames(self):
        return self._writer.frames

    def finish(self):
        """The blob of all frames added so far."""
        return self._writer.finish()
