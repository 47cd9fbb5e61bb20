"""Folder loaders: a time series of GeoTIFF rasters -> one data cube in physical units.

``QELMDatasetLoader(dtype=...)`` has three operations, all taking keyword arguments only and
all returning ``(cube, nodata_mask, meta)``:

* ``load_folder``: one raster per time step with ``expected_bands`` bands each;
* ``load_folder_HiGLASS``: single-band HiGLASS products, dated by ``A<year><day of year>``;
* ``load_folder_HiGLASS_LAI_FPAR``: the LAI and FPAR products of one tile paired per date
  into two bands (LAI first); dates that lack either product are dropped.

Dates come from the file names. ``load_folder`` accepts ``YYYYMMDD``, ``YYYY-MM-DD``,
``YYYY_MM_DD`` and ``A<year><day of year>`` (e.g. ``A2020123``) and takes the first date in the
name; the HiGLASS operations read only the ``A<year><day of year>`` form and ignore rasters
without it. Rasters are ``*.tif``/``*.tiff`` directly inside the folder, sorted by date.

Results:

* ``cube``: ``(T, H, W, C)`` array of the loader's ``dtype``, physical values
  (stored value x scale factor). No-data pixels hold 0 in every band.
* ``nodata_mask``: boolean ``(T, H, W)`` array, True where the pixel has no data (flatten it
  for the T*H*W layout). A pixel is no-data in a frame when any of its bands is: equal to the
  raster's nodata value, not finite, outside ``valid_range`` (physical units, inclusive), or,
  with ``p99_removal``, above its band's 99th percentile over all valid pixels of the series.
* ``meta``: "height", "width", "n_bands", "timestamps" (ISO-8601 text, UTC), "t_norms",
  "trans_matrix" and "transform" (the same six affine coefficients (a, b, c, d, e, f): a the
  column step, c the x of the outer corner, e the row step, f the y of the outer corner),
  "crs" (WKT, None when the rasters have none), "dtype" and "src_dtype" (the stored element
  type, e.g. "int16"), "band_names", "band_scales" (one scale per band), "scale_factor" (the
  argument), "add_offset" (0.0), "valid_range" (the argument) and, when the rasters declare a
  finite nodata value, "missing_fill".

"t_norms" are always ``normalize_time(timestamps, global_start_date, global_end_date)``, so a
reader rebuilds the network's time inputs from the container's timestamps and global dates
alone.

``scale_factor`` may be one number or one per band; ``valid_range`` one (min, max) pair or one
pair per band.
"""
import os
import re
from datetime import date, datetime, timedelta

import numpy as np

from pyqelm.utils.date_utils import normalize_time

RASTER_EXTENSIONS = (".tif", ".tiff")

# Digits next to a date would make it part of a longer number (a production stamp, a tile id).
_YMD_RE = re.compile(r"(?<!\d)(\d{4})([-_]?)(\d{2})\2(\d{2})(?!\d)")
_DOY_RE = re.compile(r"(?<![A-Za-z])A(\d{4})(\d{3})(?!\d)")
_LAI_RE = re.compile(r"(?<![A-Za-z])LAI(?![A-Za-z])", re.IGNORECASE)
_FPAR_RE = re.compile(r"(?<![A-Za-z])FPAR(?![A-Za-z])", re.IGNORECASE)

# Physical bounds are compared after a float multiplication (stored x scale); this allowance
# keeps a value that sits exactly on a bound from being rejected by the last bit of rounding.
_BOUND_REL_TOL = 1e-12


def _doy_date(year, doy):
    year, doy = int(year), int(doy)
    if year < 1 or not 1 <= doy <= (366 if _is_leap(year) else 365):
        return None
    return date(year, 1, 1) + timedelta(days=doy - 1)


def _is_leap(year):
    return year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)


def _ymd_date(year, month, day):
    try:
        return date(int(year), int(month), int(day))
    except ValueError:
        return None


def date_from_filename(name, doy_only=False):
    """The first valid date in a file name, or None.

    Forms: ``A<year><day of year>`` and, unless ``doy_only``, ``YYYYMMDD``, ``YYYY-MM-DD``,
    ``YYYY_MM_DD``. Digit runs that do not form a calendar date are skipped.
    """
    found = []
    for m in _DOY_RE.finditer(name):
        d = _doy_date(m.group(1), m.group(2))
        if d is not None:
            found.append((m.start(), d))
            break
    if not doy_only:
        for m in _YMD_RE.finditer(name):
            d = _ymd_date(m.group(1), m.group(3), m.group(4))
            if d is not None:
                found.append((m.start(), d))
                break
    if not found:
        return None
    return min(found, key=lambda item: item[0])[1]


def _list_rasters(folder_path):
    if folder_path is None:
        raise ValueError("folder_path is required")
    folder = os.fspath(folder_path)
    if not os.path.isdir(folder):
        raise ValueError(f"data folder not found: {folder}")
    names = sorted(
        n for n in os.listdir(folder)
        if not n.startswith(".") and n.lower().endswith(RASTER_EXTENSIONS)
        and os.path.isfile(os.path.join(folder, n))
    )
    if not names:
        raise ValueError(f"no raster files (*.tif, *.tiff) in folder {folder}")
    return folder, names


def _per_band(value, n_bands, what):
    """A scalar or a per-band sequence -> list of n_bands floats."""
    if np.ndim(value) == 0:
        values = [float(value)] * n_bands
    else:
        values = [float(v) for v in value]
    if len(values) != n_bands:
        raise ValueError(f"{what} has {len(values)} entries for {n_bands} band(s)")
    for v in values:
        # 0 would flatten every band to a constant, NaN or infinity would blank it.
        if not (np.isfinite(v) and v != 0.0):
            raise ValueError(f"{what} must be finite and non-zero, got {value!r}")
    return values


def _per_band_ranges(valid_range, n_bands):
    """None, one (min, max) pair, or one pair per band -> list of n_bands pairs or None."""
    if valid_range is None:
        return None
    arr = np.asarray(valid_range, dtype=np.float64)
    if arr.shape == (2,):
        pairs = [tuple(arr)] * n_bands
    elif arr.shape == (n_bands, 2):
        pairs = [tuple(p) for p in arr]
    else:
        raise ValueError(
            f"valid_range must be one (min, max) pair or one pair per band ({n_bands}), "
            f"got {valid_range!r}")
    for lo, hi in pairs:
        if not lo <= hi:
            raise ValueError(f"valid_range {valid_range!r}: min must not exceed max")
    return pairs


class _Raster:
    """What a loader needs to know about one file before reading its pixels."""

    __slots__ = ("path", "date", "count", "height", "width", "transform", "crs", "dtype",
                 "nodata", "descriptions")


def _probe(path, when):
    import rasterio
    from rasterio.errors import RasterioError

    try:
        with rasterio.open(path) as src:
            info = _Raster()
            info.path = path
            info.date = when
            info.count = int(src.count)
            info.height = int(src.height)
            info.width = int(src.width)
            info.transform = tuple(float(v) for v in tuple(src.transform)[:6])
            info.crs = src.crs
            info.dtype = np.dtype(src.dtypes[0]) if src.count else np.dtype("float32")
            info.nodata = tuple(src.nodatavals)
            info.descriptions = tuple(src.descriptions)
    except (RasterioError, OSError) as e:
        raise ValueError(f"cannot read raster {path}: {e}") from e
    return info


def _same_transform(t1, t2):
    # A millionth of a pixel: exact equality would reject files written through different
    # float paths, a fixed tolerance would be meaningless across degree and metre grids.
    step = max(abs(t1[0]), abs(t1[1]), abs(t1[3]), abs(t1[4]), 1e-300)
    return all(abs(x - y) <= 1e-6 * step for x, y in zip(t1, t2))


def _check_consistent(rasters, n_bands):
    first = rasters[0]
    for r in rasters:
        name = os.path.basename(r.path)
        if r.count != n_bands:
            raise ValueError(f"raster {name} has {r.count} band(s), expected {n_bands}")
        if (r.height, r.width) != (first.height, first.width):
            raise ValueError(
                f"raster {name} is {r.height} x {r.width}, but "
                f"{os.path.basename(first.path)} is {first.height} x {first.width}")
        if not _same_transform(r.transform, first.transform):
            raise ValueError(
                f"raster {name} has transform {r.transform}, but "
                f"{os.path.basename(first.path)} has {first.transform}")
        if (r.crs is None) != (first.crs is None) or (r.crs is not None and r.crs != first.crs):
            raise ValueError(
                f"raster {name} has CRS {_crs_text(r.crs)!r}, but "
                f"{os.path.basename(first.path)} has {_crs_text(first.crs)!r}")


def _crs_text(crs):
    if crs is None:
        return None
    try:
        return crs.to_wkt()
    except Exception:  # a CRS that cannot be expressed as WKT still has a text form
        return str(crs)


def _read_bands(path, bands):
    """(len(bands), H, W) array of the stored values of the given 1-based bands."""
    import rasterio
    from rasterio.errors import RasterioError

    try:
        with rasterio.open(path) as src:
            return src.read(list(bands))
    except (RasterioError, OSError) as e:
        raise ValueError(f"cannot read raster {path}: {e}") from e


class QELMDatasetLoader:
    """Loads a folder of rasters into a (T, H, W, C) cube of ``dtype`` (see the module doc)."""

    def __init__(self, dtype=np.float32):
        self.dtype = np.dtype(dtype)
        if self.dtype.kind != "f":
            raise ValueError(f"the cube element type must be floating point, got {self.dtype}")

    # ---- public operations -------------------------------------------------------------

    def load_folder(self, *, folder_path, expected_bands=1, scale_factor=1.0, valid_range=None,
                    p99_removal=False, global_start_date=None, global_end_date=None):
        folder, names = _list_rasters(folder_path)
        n_bands = int(expected_bands)
        if n_bands < 1:
            raise ValueError(f"expected_bands must be at least 1, got {expected_bands!r}")
        rasters = []
        for name in names:
            when = date_from_filename(name)
            if when is None:
                raise ValueError(
                    f"cannot read a date from raster file name {name!r} in {folder} "
                    "(expected YYYYMMDD, YYYY-MM-DD, YYYY_MM_DD or A<year><day of year>)")
            rasters.append(_probe(os.path.join(folder, name), when))
        rasters = _sorted_unique(rasters)
        _check_consistent(rasters, n_bands)
        frames = [[(r, b + 1) for b in range(n_bands)] for r in rasters]
        names_ = _band_names(rasters[0], n_bands)
        return self._assemble(frames, names_, scale_factor, valid_range, p99_removal,
                              global_start_date, global_end_date)

    def load_folder_HiGLASS(self, *, folder_path, scale_factor=1.0, valid_range=None,
                            p99_removal=False, global_start_date=None, global_end_date=None):
        folder, names = _list_rasters(folder_path)
        rasters = []
        for name in names:
            when = date_from_filename(name, doy_only=True)
            if when is not None:
                rasters.append(_probe(os.path.join(folder, name), when))
        if not rasters:
            raise ValueError(
                f"no HiGLASS product files (named with A<year><day of year>) in {folder}")
        rasters = _sorted_unique(rasters)
        _check_consistent(rasters, 1)
        frames = [[(r, 1)] for r in rasters]
        return self._assemble(frames, _band_names(rasters[0], 1), scale_factor, valid_range,
                              p99_removal, global_start_date, global_end_date)

    def load_folder_HiGLASS_LAI_FPAR(self, *, folder_path, tile_name, scale_factor=1.0,
                                     valid_range=None, p99_removal=False,
                                     global_start_date=None, global_end_date=None,
                                     year_range=None):
        folder, names = _list_rasters(folder_path)
        if tile_name is None:
            raise ValueError("tile_name is required to pair LAI and FPAR products")
        tile = str(tile_name)
        products = {"LAI": {}, "FPAR": {}}
        for name in names:
            if tile not in name:
                continue
            is_lai, is_fpar = bool(_LAI_RE.search(name)), bool(_FPAR_RE.search(name))
            if is_lai == is_fpar:
                if is_lai:
                    raise ValueError(f"raster {name!r} names both LAI and FPAR")
                continue
            when = date_from_filename(name, doy_only=True)
            if when is None:
                continue
            kind = "LAI" if is_lai else "FPAR"
            if when in products[kind]:
                raise ValueError(
                    f"two {kind} rasters for tile {tile} on {when.isoformat()}: "
                    f"{products[kind][when]!r} and {name!r}")
            products[kind][when] = name
        if not products["LAI"] and not products["FPAR"]:
            raise ValueError(f"no LAI or FPAR rasters for tile {tile!r} in {folder}")
        dates = sorted(set(products["LAI"]) & set(products["FPAR"]))
        if year_range is not None:
            first, last = (int(y) for y in year_range)
            if first > last:
                raise ValueError(f"year_range must be (first year, last year), got {tuple(year_range)}")
            dates = [d for d in dates if first <= d.year <= last]
        if not dates:
            span = "" if year_range is None else f" within years {tuple(year_range)}"
            raise ValueError(
                f"no date has both LAI and FPAR rasters for tile {tile!r}{span} in {folder} "
                f"({len(products['LAI'])} LAI, {len(products['FPAR'])} FPAR files)")
        frames, rasters = [], []
        for d in dates:
            lai = _probe(os.path.join(folder, products["LAI"][d]), d)
            fpar = _probe(os.path.join(folder, products["FPAR"][d]), d)
            rasters += [lai, fpar]
            frames.append([(lai, 1), (fpar, 1)])
        _check_consistent(rasters, 1)
        return self._assemble(frames, ["LAI", "FPAR"], scale_factor, valid_range, p99_removal,
                              global_start_date, global_end_date)

    # ---- shared assembly ---------------------------------------------------------------

    def _assemble(self, frames, band_names, scale_factor, valid_range, p99_removal,
                  global_start_date, global_end_date):
        """frames: per time step, a list of (raster, 1-based band) pairs, one per output band."""
        first = frames[0][0][0]
        T, H, W, C = len(frames), first.height, first.width, len(frames[0])
        scales = _per_band(scale_factor, C, "scale_factor")
        ranges = _per_band_ranges(valid_range, C)
        src_dtype = np.result_type(*{r.dtype for frame in frames for r, _ in frame})
        # float32 holds every 8- and 16-bit integer exactly; wider types need float64.
        wide = src_dtype.itemsize > 4 or (src_dtype.kind in "iu" and src_dtype.itemsize == 4)
        work = np.float64 if wide or self.dtype == np.float64 else np.float32
        limits = None
        if ranges is not None:
            limits = np.array([[lo - abs(lo) * _BOUND_REL_TOL, hi + abs(hi) * _BOUND_REL_TOL]
                               for lo, hi in ranges])

        cube = np.empty((T, H, W, C), dtype=self.dtype)
        nodata = np.zeros((T, H, W), dtype=bool)
        for t, frame in enumerate(frames):
            phys = np.empty((H, W, C), dtype=work)
            bad = nodata[t]
            for raster, pairs in _group_by_raster(frame):
                stored = _read_bands(raster.path, [b for b, _ in pairs])
                for (b, c), plane in zip(pairs, stored):
                    nd = raster.nodata[b - 1]
                    if nd is not None:
                        bad |= np.isnan(plane) if np.isnan(nd) else plane == nd
                    p = plane.astype(work, copy=False) * work(scales[c])
                    bad |= ~np.isfinite(p)
                    if limits is not None:
                        with np.errstate(invalid="ignore"):
                            bad |= (p < limits[c, 0]) | (p > limits[c, 1])
                    phys[..., c] = p
            phys[bad] = 0
            with np.errstate(over="ignore"):
                cube[t] = phys
            if self.dtype.itemsize < np.dtype(work).itemsize and not np.isfinite(cube[t]).all():
                worst = float(np.abs(phys[np.isfinite(phys)]).max())
                raise ValueError(
                    f"raster {os.path.basename(frame[0][0].path)}: "
                    f"values up to {worst:g} overflow {self.dtype}; load with a wider dtype "
                    "or exclude them with valid_range")

        if p99_removal:
            self._remove_p99(cube, nodata)

        timestamps = [datetime(d.year, d.month, d.day).isoformat()
                      for d in (frame[0][0].date for frame in frames)]
        transform = list(first.transform)
        meta = {
            "height": H,
            "width": W,
            "n_bands": C,
            "timestamps": timestamps,
            "t_norms": normalize_time(timestamps, global_start_date, global_end_date),
            "trans_matrix": transform,
            "transform": list(transform),
            "crs": _crs_text(first.crs),
            "dtype": src_dtype.name,
            "src_dtype": src_dtype.name,
            "band_names": list(band_names),
            "band_scales": scales,
            "scale_factor": scale_factor if np.ndim(scale_factor) == 0 else list(scales),
            "add_offset": 0.0,
            "valid_range": None if ranges is None else np.asarray(valid_range, float).tolist(),
        }
        fill = first.nodata[0] if first.nodata else None
        if fill is not None and np.isfinite(fill):
            meta["missing_fill"] = int(fill) if src_dtype.kind in "iub" else float(fill)
        return cube, nodata, meta

    @staticmethod
    def _remove_p99(cube, nodata):
        """Marks pixels with any band above that band's 99th percentile of valid values."""
        valid = ~nodata
        if not valid.any():
            return
        over = np.zeros_like(nodata)
        for c in range(cube.shape[-1]):
            band = cube[..., c]
            values = band[valid]  # a copy, so partitioning it in place is safe
            p99 = np.percentile(values, 99, overwrite_input=True)
            del values
            over |= valid & (band > p99)
        nodata |= over
        cube[over] = 0


def _group_by_raster(frame):
    """[(raster, band)] per output band -> [(raster, [(band, output band)])], file order kept,
    so a multi-band raster is opened and read once per frame."""
    groups = []
    for c, (raster, band) in enumerate(frame):
        if groups and groups[-1][0] is raster:
            groups[-1][1].append((band, c))
        else:
            groups.append((raster, [(band, c)]))
    return groups


def _sorted_unique(rasters):
    rasters = sorted(rasters, key=lambda r: (r.date, r.path))
    for a, b in zip(rasters, rasters[1:]):
        if a.date == b.date:
            raise ValueError(
                f"two rasters for {a.date.isoformat()}: {os.path.basename(a.path)!r} and "
                f"{os.path.basename(b.path)!r}")
    return rasters


def _band_names(raster, n_bands):
    desc = raster.descriptions
    if len(desc) >= n_bands and all(desc[:n_bands]):
        return [str(d) for d in desc[:n_bands]]
    return [f"B{i + 1}" for i in range(n_bands)]
