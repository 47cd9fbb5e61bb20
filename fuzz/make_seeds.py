"""Write the seed corpora of the fuzz targets with the real encoders (fuzz/run.sh calls it).

    make build && /usr/bin/python3 fuzz/make_seeds.py OUT_DIR

Rewrites OUT_DIR/<target>/ with a few small inputs each: weight payloads, mask and residual
blobs from the module's encoders (framed as the C++ targets read them: see the comments at the
top of fuzz_weights.cpp, fuzz_mask.cpp and residuals_harness.h), and chunk blobs written by a
real save of a tiny model. Some seeds are small blobs that claim large sizes (masks of
thousands of pixels squared, millions of outliers), with and without the limits that refuse
them, so that the fuzzers start next to the allocations a decoder must never make. The seeds
are written afresh for every run rather than kept, so they always carry the current formats;
everything is seeded, so a rerun against the same libraries writes the same bytes.
"""
import contextlib
import io
import lzma
import os
import shutil
import struct
import sys
import tempfile

import numpy as np
import torch
import zstandard

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

import pyqelm  # noqa: E402,F401  (sets the process environment before torch work)
from pyqelm.encoder import tcnn_compressor as tc  # noqa: E402


def weights_seeds():
    g = torch.Generator().manual_seed(0)
    tensors = [torch.randn(4, 3, generator=g), torch.randn(6, generator=g) * 3, torch.randn(5, 2, generator=g)]
    names = ["xy_encoding", "t_encoding", "decoder"]
    for bits, sel in ((8, 0), (16, 1)):
        raw, recipe, _ = tc._quantize_weight_components(tensors, names, bits)
        head = struct.pack("<BB", sel, len(recipe["sizes"]))
        for scale, size in zip(recipe["scales"], recipe["sizes"]):
            head += struct.pack("<dq", scale, size)
        yield f"int{bits}", head + struct.pack("<q", recipe["decoder_size"]) + bytes(raw)
    raw, recipe, _ = tc._quantize_weight_components(tensors, names, 32)
    assert recipe["mode"] == "float16"
    yield "float16", struct.pack("<BBq", 2, 0, 0) + bytes(raw)
    sizes = [t.numel() for t in tensors]
    yield "float16_sizes", (struct.pack("<BB", 3, len(sizes)) + struct.pack(f"<{len(sizes)}q", *sizes)
                            + struct.pack("<q", 0) + bytes(raw))


def mask_limits(cube=None):
    """The limits prefix of a mask input: flags, then the expected (T, H, W)."""
    return struct.pack("<B3i", 1 if cube else 0, *(cube or (0, 0, 0)))


def zero_frame(size):
    """One Zstandard frame of ``size`` zero bytes, compressed without holding them."""
    c = zstandard.ZstdCompressor(level=3, write_content_size=True).compressobj(size=size)
    block = bytes(1 << 20)
    parts = [c.compress(block[:min(len(block), size - k)]) for k in range(0, size, len(block))]
    return b"".join(parts + [c.flush()])


def mask_seeds():
    rng = np.random.default_rng(1)
    static = bytes(tc._encode_mask_blob(rng.random((3, 5, 7)) < 0.6, True))
    yield "static", mask_limits() + static
    yield "static_expected", mask_limits((3, 5, 7)) + static
    yield "dynamic", mask_limits((2, 4, 6)) + bytes(tc._encode_mask_blob(rng.random((2, 4, 6)) < 0.3, False))
    yield "dynamic_padded", mask_limits() + bytes(tc._encode_mask_blob(rng.random((2, 3, 3)) < 0.5, False))
    yield "no_pixels", mask_limits() + bytes(tc._encode_mask_blob(np.zeros((2, 0, 3), bool), False))
    yield "no_mask", mask_limits()
    # 1.2 KB claiming 4 x 8000 x 8000 pixels (256 MB decoded), refused by the budget or the cube.
    frame = zero_frame(8000 * 8000 // 8)
    big = struct.pack("<B3i", 1, 4, 8000, 8000) + b"".join(struct.pack("<I", len(frame)) + frame for _ in range(4))
    yield "claims_4x8000x8000", mask_limits() + big
    yield "claims_4x8000x8000_expected", mask_limits((4, 8000, 8000)) + big
    yield "claims_4x8000x8000_small_cube", mask_limits((4, 6, 7)) + big


def residual_blob(rng, band_scales=None, T=3, H=4, W=5, C=2, n=9, dn=None):
    cells = T * H * W * C
    # Frame 1 stays empty, so the seeds carry both kinds of frame chunk.
    pool = [i for i in range(cells) if i // (H * W * C) != 1]
    idx = np.sort(rng.choice(pool, n, replace=False)).astype(np.int64)
    if band_scales is None:
        vals = rng.normal(0, 2, n).astype(np.float32)
    else:
        scales = np.broadcast_to(np.asarray(band_scales, np.float64), (C,))
        vals = (rng.integers(-dn, dn + 1, n) * scales[idx % C]).astype(np.float32)
    blob, _, _ = tc._encode_residual_blob(idx, vals, T, H, W, C, band_scales=band_scales)
    return bytes(blob)


def residual_limits(cube=None, count=None):
    """The limits prefix of a residual input: flags, the expected (T, H, W, C) and count."""
    flags = (1 if cube else 0) | (2 if count is not None else 0)
    return struct.pack("<B4iq", flags, *(cube or (0, 0, 0, 0)), count or 0)


def residuals_claiming(shape, count):
    """A blob of one frame claiming ``count`` outliers at its first cells (positions 0, 1, 2,
    ... inflate to 4 * count bytes from a few KB) with a short values stream."""
    c = zstandard.ZstdCompressor(level=3, write_content_size=True).compressobj(size=4 * count)
    ones = np.ones(1 << 20, np.int32).tobytes()
    parts = []
    for k in range(0, count, 1 << 20):
        block = bytearray(ones[:4 * min(1 << 20, count - k)])
        if k == 0:
            block[:4] = bytes(4)
        parts.append(c.compress(bytes(block)))
    positions = b"".join(parts + [c.flush()])
    values = lzma.compress(bytes(64), format=lzma.FORMAT_XZ, preset=0)
    return (struct.pack("<IB4iIQ", 0, 1, *shape, 1, 0) + struct.pack("<fI", 1.0, len(positions)) + positions
            + struct.pack("<II", count, len(values)) + values)


def residuals_seeds():
    rng = np.random.default_rng(2)
    yield "perframe", residual_limits() + b"\x00" + residual_blob(rng)
    yield "perframe_expected", residual_limits((3, 4, 5, 2), 9) + b"\x00" + residual_blob(rng)
    yield "perframe_int16", residual_limits() + b"\x02" + residual_blob(rng, T=2, H=3, W=3, C=1, n=4)
    yield "no_outliers", residual_limits(count=0) + b"\x00" + bytes(
        tc._encode_residual_blob(np.zeros(0, np.int64), np.zeros(0, np.float32), 2, 3, 3, 1)[0])
    # Ten million outliers (120 MB decoded) in 2.5 KB, refused by the budget, the cube or the count.
    claim = residuals_claiming((1, 4000, 4000, 1), 10_000_000)
    yield "claims_10M_outliers", residual_limits() + b"\x00" + claim
    yield "claims_10M_outliers_small_cube", residual_limits((1, 6, 7, 1)) + b"\x00" + claim
    yield "claims_10M_outliers_counted", residual_limits(count=164) + b"\x00" + claim


def residuals_native_seeds():
    rng = np.random.default_rng(3)
    scales = [0.5, 0.25]
    head = residual_limits() + struct.pack("<BB2d", 1, 2, *scales)
    yield "native_int8", head + residual_blob(rng, band_scales=scales, dn=100)
    head = residual_limits((3, 4, 5, 2), 9) + struct.pack("<BB2d", 2, 2, *scales)
    yield "native_int16", head + residual_blob(rng, band_scales=scales, dn=3000)
    head = residual_limits() + struct.pack("<BBd", 0, 1, 0.1)
    yield "native_one_scale", head + residual_blob(rng, band_scales=[0.1], dn=50, C=3, n=6)
    yield "native_claims_10M_outliers", head + residuals_claiming((1, 4000, 4000, 1), 10_000_000)


def _xorshift_mask(seed, density, n):
    """The validity fuzz_codes.cpp derives from (seed, density): the same xorshift32 stream."""
    s, out = (seed | 1) & 0xFFFFFFFF, np.empty(n, bool)
    for i in range(n):
        s ^= (s << 13) & 0xFFFFFFFF
        s ^= s >> 17
        s ^= (s << 5) & 0xFFFFFFFF
        out[i] = (s & 255) < density
    return out


def codes_seeds():
    """Residual code blobs framed as fuzz_codes.cpp reads them, with the validity it derives."""
    rng = np.random.default_rng(4)
    cases = [  # name, flags, (T, H, W, C), density, key interval, codes
        ("static_small", 1, (4, 5, 6, 2), 200, 2, lambda s: rng.integers(-2, 3, s)),
        ("dynamic_band_smooth", 1 | 4 | 8, (5, 8, 8, 3), 220, 3,
         lambda s: (300 * np.sin(np.arange(s[2]) / 2))[None, None, :, None] + rng.integers(-1, 2, s)),
        ("all_valid_wide", 1 | 16, (3, 7, 8, 1), 0, 16, lambda s: rng.integers(-2**31, 2**31, s)),
        ("unchecked_spikes", 8, (2, 6, 6, 1), 180, 1,
         lambda s: np.where(rng.random(s) < 0.1, 2**31 - 1, 0)),
        ("header_shape", 2 | 1 | 16, (3, 40, 50, 1), 0, 16, lambda s: rng.integers(-1, 2, s)),
        ("header_shape_wave", 2 | 1 | 16, (4, 32, 48, 1), 0, 16,
         lambda s: 800 * np.sin(0.9 * np.arange(s[2])[None, None, :, None] + 0.7 * np.arange(s[1])[None, :, None, None]
                                + np.arange(s[0])[:, None, None, None] / 3) + rng.integers(0, 3, s)),
    ]
    for name, flags, shape, density, key, make in cases:
        T, H, W, C = shape
        codes = np.asarray(make(shape), np.int64).astype(np.int32)
        valid = None
        if not flags & 16:
            frames = T if flags & 8 else 1
            per = (H, W, C) if flags & 4 else (H, W)
            valid = _xorshift_mask(0x5EED, density, frames * int(np.prod(per))).reshape((frames,) + per)
        blob = bytes(tc.encode_residual_codes(codes, valid, key_interval=key))
        small = [d % 256 for d in (T, H, W, C)]
        yield name, struct.pack("<B4BIBBB", flags, *small, 0x5EED, density, 1, T - 1) + blob


def chunk_seeds():
    """Chunk blobs from a real save of a tiny model on the reference backend."""
    from pyqelm.utils.date_utils import normalize_time

    T, H, W, C = 2, 6, 7, 2
    stamps = ["2021-01-01", "2021-01-02"]
    t = np.arange(T)[:, None, None]
    y = np.arange(H)[None, :, None]
    x = np.arange(W)[None, None, :]
    vol = np.stack([280 + 8 * np.sin(x / 3 + t + 0 * y), 0.5 * np.cos(y / 2 + 0 * x) - 0.1 * t], -1).astype(np.float32)
    nodata = np.zeros((T, H, W), bool)
    nodata[:, 0, :2] = True
    nodata[1, 3, 3] = True
    with tempfile.TemporaryDirectory() as tmp:
        for name, mask_mode, resid in (("residuals_dynamic", "dynamic", True), ("plain_static", "static", False)):
            path = os.path.join(tmp, name + ".qelmc")
            quiet = io.StringIO()  # the training and save reports, progress bars included
            with contextlib.redirect_stdout(quiet), contextlib.redirect_stderr(quiet):
                c = tc.QELMCompressor._with_reference_backend(device="cpu", train_dtype="float32",
                                                              global_start_date=stamps[0], global_end_date=stamps[-1])
                c.volume, c.nodata_mask_vol = vol.copy(), nodata.copy()
                c.meta_info.update(height=H, width=W, n_bands=C, timestamps=stamps, band_names=["tas", "u"],
                                   t_norms=normalize_time(stamps, stamps[0], stamps[-1]))
                c.prepare_training_data_optimized()
                torch.manual_seed(0)
                c.build_qelm_model(4, 2, 2, 1.5, 1, 4, 2, 1, 1.5, 1, 1.0, 4, 1)
                c.fit(epochs=1, batch_size=64)
                c.save_chunk_blob(path, quantization_bit=8, mask_mode=mask_mode, save_residuals=resid,
                                  residual_threshold=0.01)
            with open(path, "rb") as f:
                yield name, f.read()


TARGETS = {
    "weights": weights_seeds,
    "mask": mask_seeds,
    "residuals": residuals_seeds,
    "residuals_native": residuals_native_seeds,
    "codes": codes_seeds,
    "chunk": chunk_seeds,
}


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py OUT_DIR")
    torch.set_num_threads(1)
    for target, make in TARGETS.items():
        folder = os.path.join(sys.argv[1], target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in make():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
            print(f"{target}/{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
