"""Blob codecs seen from Python: the byte layouts read back with independent decoders (struct,
zstandard, lzma, NumPy), the bindings' conversions, and the payload compressor."""
import lzma
import struct

import numpy as np
import pytest
import torch
import zstandard

from pyqelm.format import QuantizationInfo
from pyqelm.utils.compression import fast_compress, fast_decompress


def residual_positions(blob):
    """Independent reader of the residual layout -> (shape, each frame's sorted positions), with
    positions as standard Zstandard and values as standard XZ of int16 (or int8) numbers."""
    main_len, has, T, H, W, C, nframes = struct.unpack_from("<IBiiiiI", blob)
    assert (main_len, has, nframes) == (0, 1, T)
    offsets, area = struct.unpack_from(f"<{T}Q", blob, 25), 25 + 8 * T
    frames, pos = [], area
    for t in range(T):
        assert offsets[t] == pos - area
        scale, plen = struct.unpack_from("<fI", blob, pos)
        count, vlen = struct.unpack_from("<II", blob, pos + 8 + plen)
        pbytes, vbytes = blob[pos + 8:pos + 8 + plen], blob[pos + 16 + plen:pos + 16 + plen + vlen]
        pos += 16 + plen + vlen
        if count == 0:  # an empty frame stores nothing but its header
            assert (scale, plen, vlen) == (1.0, 0, 0)
        else:
            assert zstandard.frame_content_size(pbytes) == 4 * count
            assert len(lzma.decompress(vbytes, format=lzma.FORMAT_XZ)) == 2 * count
        positions = zstandard.ZstdDecompressor().decompress(pbytes) if count else b""
        frames.append(np.cumsum(np.frombuffer(positions, "<i4")))
    assert pos == len(blob)
    return (T, H, W, C), frames


def test_residual_blob_is_standard_zstd_and_xz(tc):
    T, H, W, C = 4, 3, 5, 2
    fc = H * W * C
    rng = np.random.default_rng(1)
    idx = np.concatenate([rng.choice(fc, 7, replace=False) + 2 * fc, [0, fc * 3 + 29]]).astype(np.int64)
    vals = rng.normal(0, 3, len(idx)).astype(np.float32)
    blob, info, _ = tc._encode_residual_blob(idx, vals, T, H, W, C, None, [0.5, 0.5], 1.0)
    shape, frames = residual_positions(blob)
    assert shape == (T, H, W, C) and [len(f) for f in frames] == [1, 0, 7, 1]
    order = np.argsort(idx, kind="stable")
    np.testing.assert_array_equal(np.concatenate([f + t * fc for t, f in enumerate(frames)]), idx[order])
    assert info == {"dtype": "int16", "value_mode": "perframe_int16", "band_scales": None, "threshold": [0.5, 0.5],
                    "scale": 1.0, "main_codec": "zstd", "outlier_layout": "chunked_v1", "outlier_count": 9,
                    "outlier_value_scale": max(float(np.abs(vals).max()) / 32767.0, 1e-6),
                    "outlier_vals_codec": "lzma"}
    d_idx, d_val, d_shape = tc.decode_residual_blob(memoryview(bytearray(blob)))  # any bytes-like object
    assert d_shape == (T, H, W, C) and d_idx.dtype == np.int64 and d_val.dtype == np.float32
    np.testing.assert_array_equal(d_idx, idx[order])
    np.testing.assert_allclose(d_val, vals[order], atol=np.abs(vals).max() / 32767.0)
    assert tc.decode_residual_blob(b"\0" * 5)[2] is None
    with pytest.raises(TypeError):
        tc.decode_residual_blob("text")


def test_value_mode_decision_matches_numpy_integer_types(tc):
    for name in ("uint8 uint16 int16 int32 uint64 u2 <u2 >i4 |u1 =i8 B h l int intp long longlong short ubyte float32 "
                 "f8 bool ? complex64 U8 S4 O datetime64 M8 m8 <f4 float foo int12 <int16").split() + [""]:
        try:
            expect = np.dtype(name).kind in "iu"
        except TypeError:
            expect = False
        mode, scales = tc._residual_value_mode([0.5], name, 1, 3)
        assert (mode == "native") == expect and scales == ([0.5] * 3 if expect else None), name
    for dtype in (np.dtype("uint16"), np.uint16):
        assert tc._residual_value_mode(0.01, dtype, 1, 2) == ("native", [0.01, 0.01])


def test_mask_blob_layout(tc):
    nodata = np.random.default_rng(2).random((3, 7, 5)) < 0.3
    nodata[:, 0, 0] = True
    for static, cube in ((True, nodata), (False, nodata[:, ::-1])):  # the second a view with negative strides
        blob = tc._encode_mask_blob(cube, static)
        typ, F, H, W = struct.unpack_from("<Biii", blob)
        want = cube.all(axis=0, keepdims=True) if static else cube
        assert (typ, F, H, W) == ((0, 1, 7, 5) if static else (1, 3, 7, 5))
        pos = 13
        for f in range(F):
            (n,) = struct.unpack_from("<I", blob, pos)
            packed = zstandard.ZstdDecompressor().decompress(blob[pos + 4:pos + 4 + n])
            assert packed == np.packbits(want[f].reshape(-1), bitorder="big").tobytes()
            pos += 4 + n
        assert pos == len(blob)
        np.testing.assert_array_equal(tc.decode_mask_blob(blob), want)
    assert tc.decode_mask_blob(b"") is None


@pytest.mark.parametrize("bits", [8, 16])
def test_weight_payload_matches_numpy_and_restores(tc, bits):
    rng = np.random.default_rng(bits)
    arrays = [(rng.standard_normal(n) * 10.0 ** e).astype(np.float32) for n, e in ((300, -2), (77, 1), (64, 0))]
    names = ["spatial", "phenology", "decoder"]
    raw, recipe, _ = tc._quantize_weight_components([torch.from_numpy(a) for a in arrays], names, bits)
    qmax, itype = (127, "<i1") if bits == 8 else (32767, "<i2")
    scales = [qmax / (float(np.abs(a).max()) + 1e-9) for a in arrays[:-1]]
    assert raw == b"".join([np.round(a * s).astype(itype).tobytes() for a, s in zip(arrays, scales)]
                           + [arrays[-1].astype("<f2").tobytes()])
    assert recipe == {"mode": f"int{bits}_per_tensor_f16dec", "scales": scales, "sizes": [300, 77],
                      "components": ["spatial", "phenology"], "decoder_size": 64, "decoder_name": "decoder"}
    restored = tc.restore_weight_components(raw, recipe)
    assert [t.dtype for t in restored] == [torch.float32] * 3
    for a, r, s in zip(arrays, restored, scales):
        assert np.abs(r.numpy() - a).max() <= 0.51 / s
    np.testing.assert_array_equal(restored[2].numpy(), arrays[2].astype(np.float16).astype(np.float32))
    assert len(tc.restore_weight_components(raw, QuantizationInfo.from_dict(recipe))) == 3  # a stored record
    # Recipes come from stored metadata as Python mappings: every malformed one is a ValueError.
    for bad in [{}, {"mode": "int4"}, {**recipe, "sizes": [3]}, {**recipe, "scales": [0.0, 1.0]},
                {**recipe, "sizes": [-1, 77]}, {**recipe, "sizes": [2 ** 62, 77]}, {**recipe, "components": [1, 2]},
                {k: v for k, v in recipe.items() if k != "decoder_size"}, {**recipe, "decoder_size": "1"}, "int16"]:
        with pytest.raises(ValueError):
            tc.restore_weight_components(raw, bad)
    with pytest.raises(ValueError):
        tc._quantize_weight_components([np.array([np.nan], np.float32), arrays[2]], ["s", "decoder"], bits)


def test_fast_compress_round_trip_and_rejections():
    rng = np.random.default_rng(3)
    for data in (b"", b"x", rng.bytes(1000), bytes(200000)):
        assert fast_decompress(bytearray(fast_compress(data))) == data
    blob = fast_compress(rng.bytes(300) * 4)
    original = fast_decompress(blob)
    for i in range(len(blob)):  # truncation is refused; damage is refused or harmless, never other data
        with pytest.raises(ValueError):
            fast_decompress(blob[:i])
        try:
            assert fast_decompress(blob[:i] + bytes([blob[i] ^ 0x5A]) + blob[i + 1:]) == original
        except ValueError:
            pass
    for bad in (blob + b"junk", blob + fast_compress(b"x")[18:], b"PK\x03\x04" + blob[4:],
                zstandard.ZstdCompressor().compress(b"foreign")):
        with pytest.raises(ValueError):
            fast_decompress(bad)
    huge = bytearray(blob)  # a header declaring far more than the payload can expand to
    struct.pack_into("<Q", huge, 6, 1 << 50)
    with pytest.raises(ValueError, match="more than"):
        fast_decompress(bytes(huge))
