"""The residual code codec seen from Python: round trips through the bindings and the module,
frame windows and batches, and the inputs it must refuse."""
import struct

import numpy as np
import pytest

from pyqelm import residual_codec as rc


def fields(rng, T=5, H=6, W=7, C=2):
    small = rng.geometric(0.6, (T, H, W, C)) - 1
    return {
        "small": np.where(rng.random((T, H, W, C)) < 0.5, small, -small).astype(np.int32),
        "smooth": (400 * np.sin(np.arange(W) / 3)[None, None, :, None] + 10 * np.arange(T)[:, None, None, None]
                   + rng.integers(-1, 2, (T, H, W, C))).astype(np.int64),  # any integer type that fits
        "extremes": rng.choice(np.array([-2**31, 2**31 - 1, 0, -1, 1], np.int64), (T, H, W, C)),
    }


def masks(rng, T=5, H=6, W=7, C=2):
    return {
        "none": None,
        "static": rng.random((1, H, W)) < 0.7,
        "dynamic": rng.random((T, H, W)) < 0.7,
        "per_band": (rng.random((T, H, W, C)) < 0.7).astype(np.uint8),
        "all_invalid": np.zeros((1, H, W), bool),
    }


def expected(codes, valid):
    if valid is None:
        return codes.astype(np.int32)
    v = np.asarray(valid, bool)
    if v.ndim == 3:
        v = v[..., None]
    return np.where(v, codes, 0).astype(np.int32)


def test_round_trips_windows_and_batches():
    rng = np.random.default_rng(0)
    for fname, codes in fields(rng).items():
        for mname, valid in masks(rng).items():
            blob = rc.encode(codes, valid, key_interval=2)
            want = expected(codes, valid)
            got = rc.decode(blob, valid, codes.shape)
            assert got.dtype == np.int32 and got.shape == codes.shape
            np.testing.assert_array_equal(got, want, err_msg=f"{fname} {mname}")
            for frames in ((1, 4), range(3, 5), slice(2, None), (5, 5)):
                t0, t1 = rc._frames(frames, 5)
                np.testing.assert_array_equal(rc.decode(blob, valid, codes.shape, frames=frames), want[t0:t1])
            # Batches of 2 + 3 frames, each with its slice of the mask, give the same bytes.
            w = rc.CodeWriter(*codes.shape[1:], key_interval=2)
            for a, b in ((0, 2), (2, 5)):
                w.add(codes[a:b], valid if valid is None or len(valid) == 1 else valid[a:b])
            assert w.frames == 5 and w.finish() == blob


def test_one_band_fields_and_describe():
    rng = np.random.default_rng(1)
    codes = rng.integers(-1, 2, (3, 16, 16)).astype(np.int16)
    blob = rc.encode(codes)
    np.testing.assert_array_equal(rc.decode(blob, None, codes.shape)[..., 0], codes)
    d = rc.describe(blob)
    assert d["shape"] == (3, 16, 16, 1) and d["key_interval"] == rc.DEFAULT_KEY_INTERVAL
    assert d["total_bytes"] == len(blob) and d["header_bytes"] == 1 + 16 + 4 + 12 * 3 + 4
    assert [f["key"] for f in d["frames"]] == [True, False, False]
    assert sum(f["bytes"] for f in d["frames"]) + d["header_bytes"] == len(blob)
    assert all(set(f["layouts"]) <= set(rc.LAYOUTS) for f in d["frames"])
    # An all-zero field costs one layout byte per plane.
    zero = rc.describe(rc.encode(np.zeros((2, 4, 4, 3), np.int32)))
    assert zero["layout_counts"] == {"zero": 6} and [f["bytes"] for f in zero["frames"]] == [3, 3]


@pytest.mark.parametrize("codes, message", [
    (np.zeros((2, 3, 4, 1), np.float32), "must be integers"),
    (np.full((2, 3, 4, 1), 2**31, np.int64), "must fit int32"),
    (np.zeros((2, 3, 4, 1, 1), np.int32), r"shape \(T, H, W"),
])
def test_encoder_refuses_codes_it_cannot_carry(codes, message):
    with pytest.raises(ValueError, match=message):
        rc.encode(codes)


def test_decoder_refuses_damage_and_mismatches(tc):
    rng = np.random.default_rng(2)
    codes = rng.integers(-3, 4, (4, 5, 6, 2)).astype(np.int32)
    valid = rng.random((4, 5, 6)) < 0.8
    blob = rc.encode(codes, valid)
    for bad in (blob[:-1], blob + b"\0", blob[:30] + bytes([blob[30] ^ 4]) + blob[31:]):
        with pytest.raises(ValueError):
            rc.decode(bad, valid, codes.shape)
    with pytest.raises(ValueError, match="expected"):
        rc.decode(blob, valid, (4, 5, 6, 3))
    with pytest.raises(ValueError, match="validity mask differs"):
        rc.decode(blob, ~valid, codes.shape)
    with pytest.raises(ValueError, match="valid has shape"):
        rc.decode(blob, valid[:, :4], codes.shape)
    with pytest.raises(ValueError, match="outside"):
        rc.decode(blob, valid, codes.shape, frames=(2, 9))
    # A header claiming a huge cube is refused before anything is allocated for it.
    huge = struct.pack("<BiiiiI", 1, 2**31 - 1, 2**31 - 1, 2**31 - 1, 2**31 - 1, 1) + b"\0" * 8
    with pytest.raises(ValueError):
        tc.describe_residual_codes(huge)
    with pytest.raises(ValueError):
        tc.decode_residual_codes(huge, None, (2, 3, 4, 1))
    with pytest.raises(TypeError):
        rc.decode("text", None, (1, 1, 1, 1))
