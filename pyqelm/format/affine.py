"""Geotransforms in the container's affine form.

The container stores the pixel-to-map transform as the list of six floats ``[a, b, c, d, e, f]``::

    x = a * column + b * row + c
    y = d * column + e * row + f

(the coefficient order of the ``affine`` package and rasterio). :func:`coerce_affine` accepts:

* six coefficients ``(a, b, c, d, e, f)`` as a sequence or array;
* a 3x3 affine matrix, nested or flat (nine entries), whose last row is ``0, 0, 1``; or its
  top two rows (2x3);
* an object with attributes ``a`` to ``f`` (``affine.Affine``, ``rasterio`` transforms);
* a mapping with keys ``"a"`` to ``"f"``;
* a GDAL geotransform ``(c, a, b, f, d, e)`` only where it cannot be mistaken for the
  coefficients above: as a mapping ``{"gdal": [...]}`` / ``{"geotransform": [...]}``. A bare
  six-number sequence is always read in coefficient order, because both orders are plausible
  for the same numbers.

Everything else (text, wrong sizes, non-numbers, non-finite or singular transforms) raises
ValueError.
"""
import math
from collections.abc import Mapping

import numpy as np

_KEYS = ("a", "b", "c", "d", "e", "f")
_GDAL_KEYS = ("gdal", "geotransform")


def _from_gdal(gt):
    g = _numbers(gt, ((6,),), "GDAL geotransform")
    return [g[1], g[2], g[0], g[4], g[5], g[3]]


def _numbers(value, shapes, what):
    try:
        arr = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{what} must hold numbers: {exc}") from None
    if arr.shape not in shapes:
        raise ValueError(f"{what} has shape {arr.shape}, expected one of {shapes}")
    return arr.reshape(-1).tolist()


def coerce_affine(value):
    """Any accepted transform form -> ``[a, b, c, d, e, f]`` (floats); ValueError otherwise."""
    if value is None or isinstance(value, (str, bytes, bytearray, bool)):
        raise ValueError(f"not a transform: {value!r}")
    if isinstance(value, Mapping):
        if all(k in value for k in _KEYS):
            coeffs = _numbers([value[k] for k in _KEYS], ((6,),), "transform mapping")
        else:
            gdal = [k for k in _GDAL_KEYS if k in value]
            if len(gdal) != 1:
                raise ValueError(f"transform mapping needs keys a..f or one of {_GDAL_KEYS}, got {sorted(value)}")
            coeffs = _from_gdal(value[gdal[0]])
    elif all(hasattr(value, k) for k in _KEYS):
        coeffs = _numbers([getattr(value, k) for k in _KEYS], ((6,),), "transform object")
    else:
        flat = _numbers(value, ((6,), (9,), (3, 3), (2, 3)), "transform")
        if len(flat) == 9:
            if flat[6:] != [0.0, 0.0, 1.0]:
                raise ValueError(f"3x3 transform's last row must be 0, 0, 1; got {flat[6:]}")
            flat = flat[:6]
        coeffs = flat
    if not all(math.isfinite(v) for v in coeffs):
        raise ValueError(f"transform coefficients must be finite: {coeffs}")
    a, b, _, d, e, _ = coeffs
    if a * e - b * d == 0:
        raise ValueError(f"transform {coeffs} is singular (pixels would have no area)")
    return [float(v) for v in coeffs]


def window_affine(transform, row0, col0):
    """The transform of a window whose first pixel is (row0, col0) of the grid ``transform``
    describes: the same steps, the corner moved to that pixel. Encoders and decoders of a tile
    both derive its transform with this, so they agree to the bit."""
    a, b, c, d, e, f = (float(v) for v in transform)
    return [a, b, c + a * col0 + b * row0, d, e, f + d * col0 + e * row0]
