"""Residual code fields: int32 codes over the valid cells of a (T, H, W, C) cube.

THROWAWAY STAND-IN (to be replaced by the residual-codec branch's module of the same
interface): each frame's codes at valid cells are stored as little-endian int32 and
Zstandard-compressed.

    b"RCS0" | i32 T, H, W, C | u64 offset of each frame (from the frame area) | frames

``encode(codes, valid) -> bytes``; ``decode(blob, valid, shape, frames=None) -> int32``;
``CodeWriter(H, W, C)`` with ``add(codes, valid)`` per frame batch and ``finish() -> bytes``.
``valid`` is (T, H, W) or (1, H, W) (broadcast over frames), optionally with a band axis.
"""
import struct

import numpy as np

_MAGIC = b"RCS0"


def _valid_cells(valid, n, H, W, C):
    v = np.asarray(valid, dtype=bool)
    if v.ndim == 3:
        v = v[..., None]
    return np.broadcast_to(v, (n, H, W, C)) if v.shape[0] == 1 else np.broadcast_to(v, (n, H, W, C))


class CodeWriter:
    def __init__(self, H, W, C):
        import zstandard

        self.shape = (None, int(H), int(W), int(C))
        self._z = zstandard.ZstdCompressor(level=3)
        self._frames = []

    def add(self, codes, valid=None):
        if valid is None:
            valid = np.ones((1,) + self.shape[1:3], dtype=bool)
        codes = np.asarray(codes, dtype=np.int32)
        n, H, W, C = codes.shape
        cells = _valid_cells(valid, n, H, W, C)
        for k in range(n):
            packed = self._z.compress(codes[k][cells[k if cells.shape[0] > 1 else 0]].astype("<i4").tobytes())
            self._frames.append(bytes(memoryview(packed)))  # zstandard's result keeps its worst-case buffer

    def finish(self):
        _, H, W, C = self.shape
        T = len(self._frames)
        offsets, pos = [], 0
        for f in self._frames:
            offsets.append(pos)
            pos += len(f)
        return _MAGIC + struct.pack("<4i", T, H, W, C) + struct.pack(f"<{T}Q", *offsets) + b"".join(self._frames)


def encode(codes, valid=None):
    w = CodeWriter(*np.shape(codes)[1:])
    w.add(codes, valid)
    return w.finish()


def decode(blob, valid, shape, frames=None):
    import zstandard

    T, H, W, C = (int(s) for s in shape)
    blob = bytes(blob)
    if blob[:4] != _MAGIC or struct.unpack_from("<4i", blob, 4) != (T, H, W, C):
        raise ValueError("residual codes do not match the cube")
    offsets = list(struct.unpack_from(f"<{T}Q", blob, 20)) + [len(blob) - 20 - 8 * T]
    area = 20 + 8 * T
    t0, t1 = (0, T) if frames is None else frames
    v = np.asarray(valid, dtype=bool)
    out = np.zeros((t1 - t0, H, W, C), np.int32)
    for t in range(t0, t1):
        vt = v[t if v.shape[0] > 1 else 0]
        cells = np.broadcast_to(vt[..., None] if vt.ndim == 2 else vt, (H, W, C))
        raw = zstandard.ZstdDecompressor().decompress(blob[area + offsets[t]:area + offsets[t + 1]])
        out[t - t0][cells] = np.frombuffer(raw, "<i4")
    return out
