"""Blob codecs seen from Python: the byte layouts read back with independent decoders (struct,
zstandard, lzma, NumPy), the module's decoders on damaged input, and the payload compressor."""
import lzma
import struct

import numpy as np
import pytest
import torch
import zstandard

from pyqelm.utils.compression import fast_compress, fast_decompress

INFO_KEYS = ["dtype", "value_mode", "band_scales", "threshold", "scale", "main_codec", "outlier_layout",
             "outlier_count", "outlier_value_scale", "outlier_vals_codec"]


def xz_setup(stream):
    """(check type, LZMA2 dictionary property) of a one-block XZ stream: preset 6 and CRC64
    give the same pair whatever else the encoder records in its block header."""
    assert stream[:6] == b"\xfd7zXZ\x00"
    block, i = stream[12:], 2
    for flag in (0x40, 0x80):  # optional compressed / uncompressed sizes, as variable-length ints
        if block[1] & flag:
            while block[i] & 0x80:
                i += 1
            i += 1
    assert block[1] & 0x03 == 0 and block[i:i + 2] == b"\x21\x01"  # one filter: LZMA2, 1 property byte
    return stream[7], block[i + 2]


def parse_residual_blob(blob):
    """Independent reader of the residual layout -> (shape, [(scale, positions, stored values)])."""
    main_len, has = struct.unpack_from("<IB", blob)
    assert main_len == 0
    if not has:
        assert len(blob) == 5
        return None, []
    T, H, W, C, nframes = struct.unpack_from("<iiiiI", blob, 5)
    assert nframes == T
    offsets = struct.unpack_from(f"<{T}Q", blob, 25)
    area = 25 + 8 * T
    frames, pos = [], area
    for t in range(T):
        assert offsets[t] == pos - area
        scale, plen = struct.unpack_from("<fI", blob, pos)
        pbytes = blob[pos + 8:pos + 8 + plen]
        count, vlen = struct.unpack_from("<II", blob, pos + 8 + plen)
        vbytes = blob[pos + 16 + plen:pos + 16 + plen + vlen]
        pos += 16 + plen + vlen
        if count == 0:
            assert (scale, plen, vlen) == (1.0, 0, 0)
            frames.append((scale, np.zeros(0, np.int64), np.zeros(0)))
            continue
        assert zstandard.frame_content_size(pbytes) == 4 * count
        deltas = np.frombuffer(zstandard.ZstdDecompressor().decompress(pbytes), "<i4")
        raw = lzma.decompress(vbytes, format=lzma.FORMAT_XZ)
        assert xz_setup(vbytes) == xz_setup(lzma.compress(raw, format=lzma.FORMAT_XZ, preset=6))
        vals = np.frombuffer(raw, "<i1" if len(raw) == count else "<i2")
        assert len(vals) == count
        frames.append((scale, np.cumsum(deltas.astype(np.int64)), vals))
    assert pos == len(blob)
    return (T, H, W, C), frames


def test_residual_blob_is_standard_zstd_and_xz(tc):
    T, H, W, C = 4, 3, 5, 2
    fc = H * W * C
    rng = np.random.default_rng(1)
    idx = np.concatenate([rng.choice(fc, 7, replace=False) + 2 * fc, [0, fc * 3 + 29]]).astype(np.int64)
    vals = rng.normal(0, 3, len(idx)).astype(np.float32)
    blob, info, lines = tc._encode_residual_blob(idx, vals, T, H, W, C, None, [0.5, 0.5], 1.0)
    shape, frames = parse_residual_blob(blob)
    assert shape == (T, H, W, C)
    assert [len(f[1]) for f in frames] == [1, 0, 7, 1]
    order = np.argsort(idx, kind="stable")
    got_idx = np.concatenate([f[1] + t * fc for t, f in enumerate(frames)])
    np.testing.assert_array_equal(got_idx, idx[order])
    for t, (scale, p, q) in enumerate(frames):
        if len(p):
            v = vals[order][(got_idx >= t * fc) & (got_idx < (t + 1) * fc)]
            want_scale = max(np.abs(v).max() / 32767.0, 1e-6)
            assert scale == np.float32(want_scale)
            np.testing.assert_array_equal(q, np.round(v.astype(np.float64) / want_scale).astype(np.int16))
    assert list(info) == INFO_KEYS
    assert info == {"dtype": "int16", "value_mode": "perframe_int16", "band_scales": None, "threshold": [0.5, 0.5],
                    "scale": 1.0, "main_codec": "zstd", "outlier_layout": "chunked_v1", "outlier_count": 9,
                    "outlier_value_scale": max(float(np.abs(vals).max()) / 32767.0, 1e-6),
                    "outlier_vals_codec": "lzma"}
    assert lines[0].endswith(" int16 vals 0.00 MB for 9 outliers)")
    d_idx, d_val, d_shape = tc.decode_residual_blob(blob)
    assert d_shape == (T, H, W, C) and d_idx.dtype == np.int64 and d_val.dtype == np.float32
    np.testing.assert_array_equal(d_idx, idx[order])
    np.testing.assert_allclose(d_val, vals[order], atol=np.abs(vals).max() / 32767.0)
    # The decoders take any bytes-like object.
    np.testing.assert_array_equal(tc.decode_residual_blob(memoryview(bytearray(blob)))[0], d_idx)
    with pytest.raises(TypeError):
        tc.decode_residual_blob("text")


def test_residual_native_mode_and_info(tc):
    idx = np.array([1, 4, 6], np.int64)
    vals = np.array([0.0127, -0.0003, 0.0051], np.float32)
    blob, info, _ = tc._encode_residual_blob(idx, vals, 1, 2, 2, 2, [0.0001, 0.001], 0.002, 0.0001)
    assert info["dtype"] == "int8" and info["value_mode"] == "native"
    assert info["band_scales"] == [0.0001, 0.001] and info["threshold"] == 0.002 and info["scale"] == 0.0001
    _, frames = parse_residual_blob(blob)
    assert frames[0][0] == 1.0 and frames[0][2].dtype == np.int8
    np.testing.assert_array_equal(frames[0][2], [13, -3, 51])  # band = position mod C
    d_idx, d_val, _ = tc.decode_residual_blob(blob, band_scales=[0.0001, 0.001], dtype="int8")
    np.testing.assert_allclose(d_val, [0.013, -0.0003, 0.0051], rtol=1e-6)
    with pytest.raises(ValueError):
        tc.decode_residual_blob(blob, dtype="int16")
    assert tc.decode_residual_blob(b"\0" * 5)[2] is None
    for bad in ([0.0, 1.0], [-1.0, 1.0]):
        with pytest.raises(ValueError):
            tc._encode_residual_blob(idx, vals, 1, 2, 2, 2, bad)


def test_value_mode_decision_matches_numpy_integer_types(tc):
    names = ["uint8", "uint16", "int16", "int32", "uint64", "u2", "<u2", ">i4", "|u1", "=i8", "B", "h", "l",
             "int", "intp", "long", "longlong", "short", "ubyte", "float32", "f8", "bool", "?", "complex64",
             "U8", "S4", "O", "datetime64", "M8", "<f4", "float", "foo", "int12", "<int16", ""]
    for name in names:
        try:
            expect = np.issubdtype(np.dtype(name), np.integer) and not np.issubdtype(np.dtype(name), np.timedelta64)
        except TypeError:
            expect = False
        mode, scales = tc._residual_value_mode([0.5], name, 1, 3)
        assert (mode == "native") == expect, name
        assert scales == ([0.5] * 3 if expect else None)
    assert tc._residual_value_mode(0.01, np.dtype("uint16"), 1, 2) == ("native", [0.01, 0.01])
    assert tc._residual_value_mode(0.01, np.uint16, 1, 2) == ("native", [0.01, 0.01])


def test_mask_blob_layout(tc):
    rng = np.random.default_rng(2)
    nodata = rng.random((3, 7, 5)) < 0.3
    nodata[:, 0, 0] = True
    for static in (True, False):
        blob = tc._encode_mask_blob(nodata, static)
        typ, F, H, W = struct.unpack_from("<Biii", blob)
        want = nodata.all(axis=0, keepdims=True) if static else nodata
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
    flipped = nodata[:, ::-1]  # a view with negative strides
    np.testing.assert_array_equal(tc.decode_mask_blob(tc._encode_mask_blob(flipped, False)), flipped)
    expanded = tc._expand_block_mask(np.array([[1, 0], [1, 1]], bool), 1, 3, 3, 2, 2)
    np.testing.assert_array_equal(expanded[0], [[1, 1, 0], [1, 1, 0], [1, 1, 1]])


def numpy_quantize(arrays, bits):
    """The weight payload computed with NumPy array semantics."""
    qmax, itype = (127, "<i1") if bits == 8 else (32767, "<i2")
    parts, scales = [], []
    for a in arrays[:-1]:
        scale = qmax / (float(np.abs(a).max()) + 1e-9)
        parts.append(np.round(a * scale).astype(itype).tobytes())
        scales.append(scale)
    parts.append(arrays[-1].astype("<f2").tobytes())
    return b"".join(parts), scales


@pytest.mark.parametrize("bits", [8, 16])
def test_weight_payload_matches_numpy_and_restores(tc, bits):
    rng = np.random.default_rng(bits)
    arrays = [(rng.standard_normal(n) * 10.0 ** e).astype(np.float32) for n, e in ((300, -2), (77, 1), (64, 0))]
    names = ["spatial", "phenology", "decoder"]
    raw, recipe, lines = tc._quantize_weight_components([torch.from_numpy(a) for a in arrays], names, bits)
    want, scales = numpy_quantize(arrays, bits)
    assert raw == want
    assert list(recipe) == ["mode", "scales", "sizes", "components", "decoder_size", "decoder_name"]
    assert recipe == {"mode": f"int{bits}_per_tensor_f16dec", "scales": scales, "sizes": [300, 77],
                      "components": ["spatial", "phenology"], "decoder_size": 64, "decoder_name": "decoder"}
    assert lines[1] == f"   - phenology:   {77:>9d} params, |max|={float(np.abs(arrays[1]).max()):.4g}, " \
                       f"int{bits} scale={scales[1]:.4g}"
    assert lines[2] == f"   - decoder: {64:>9d} params, |max|={float(np.abs(arrays[2]).max()):.4g}, " \
                       f"stored as float16 ({64 * 2 / 1024:.1f} KB)"
    restored = tc.restore_weight_components(raw, recipe)
    assert [t.dtype for t in restored] == [torch.float32] * 3
    for a, r, s in zip(arrays, restored, scales):
        assert np.abs(r.numpy() - a).max() <= 0.51 / s
    np.testing.assert_array_equal(restored[2].numpy(), arrays[2].astype(np.float16).astype(np.float32))
    from pyqelm.format import QuantizationInfo
    assert len(tc.restore_weight_components(raw, QuantizationInfo.from_dict(recipe))) == 3


def test_weight_fallback_and_recipe_validation(tc):
    a, d = np.array([1.0, -2.0], np.float32), np.array([0.5], np.float32)
    raw, recipe, lines = tc._quantize_weight_components([a, d], ["spatial", "decoder"], 12)
    assert recipe == {"mode": "float16"} and lines == []
    assert raw == np.concatenate([a, d]).astype("<f2").tobytes()
    parts = tc.restore_weight_components(raw, recipe, sizes=[2, 1])
    assert [p.tolist() for p in parts] == [[1.0, -2.0], [0.5]]
    raw16, rec16, _ = tc._quantize_weight_components([a, d], ["spatial", "decoder"], 16)
    bad_recipes = [{}, {"mode": "int4"}, {**rec16, "sizes": [3]}, {**rec16, "scales": [0.0]},
                   {**rec16, "sizes": [-1]}, {**rec16, "sizes": [2 ** 62]}, {**rec16, "components": [1]},
                   {k: v for k, v in rec16.items() if k != "decoder_size"}, {**rec16, "decoder_size": "1"}, "int16"]
    for bad in bad_recipes:
        with pytest.raises(ValueError):
            tc.restore_weight_components(raw16, bad)
    for bad_raw in (raw16[:-1], raw16 + b"\0"):
        with pytest.raises(ValueError):
            tc.restore_weight_components(bad_raw, rec16)
    with pytest.raises(ValueError):
        tc._quantize_weight_components([np.array([np.nan], np.float32), d], ["s", "decoder"], 16)


def test_fast_compress_round_trip_and_rejections():
    rng = np.random.default_rng(3)
    for data in (b"", b"x", rng.bytes(1000), bytes(200000)):
        blob = fast_compress(data)
        assert fast_decompress(blob) == data
        assert fast_decompress(bytearray(blob)) == data
    blob = fast_compress(rng.bytes(300) * 4)
    for n in range(len(blob)):
        with pytest.raises(ValueError):
            fast_decompress(blob[:n])
    original = fast_decompress(blob)
    for i in range(len(blob)):
        bad = bytearray(blob)
        bad[i] ^= 0x5A
        try:
            assert fast_decompress(bytes(bad)) == original  # never different data
        except ValueError:
            pass
    for bad in (blob + b"junk", blob + fast_compress(b"x")[18:], b"PK\x03\x04" + blob[4:],
                zstandard.ZstdCompressor().compress(b"foreign")):
        with pytest.raises(ValueError):
            fast_decompress(bad)
    # A header declaring far more than the payload can expand to is refused before decoding.
    huge = bytearray(blob)
    struct.pack_into("<Q", huge, 6, 1 << 50)
    with pytest.raises(ValueError, match="more than"):
        fast_decompress(bytes(huge))
