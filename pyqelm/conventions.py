"""Reading a gridded variable by its conventions: which variable holds the data, what each of its
dimensions is, which variables travel with it, and what its time axis means.

Everything here works on ``Var`` descriptions (name, dimension names, shape, element type,
attributes), so NetCDF files and Zarr stores are read by the same rules.

Data variable
    Every variable of two or more dimensions with a numeric element type is a candidate, except
    those another variable names as its coordinates, bounds, grid mapping, ancillary variables,
    cell measures or formula terms, and those whose own attributes make them coordinates (``axis``, a
    latitude/longitude ``standard_name`` or ``units``). No variable is excluded for its name
    alone. With several candidates the ones of three or more dimensions win; a tie needs
    ``--variable``.

Dimensions
    Each dimension is classified by its coordinate (the 1-D variable of the same name, else a
    1-D variable along it named in ``coordinates``, else an unreferenced 1-D variable along it
    with coordinate attributes), in this order: CF ``axis`` (T, Z, Y, X); ``standard_name``
    (time; latitude, grid_latitude, projection_y_coordinate; longitude, grid_longitude,
    projection_x_coordinate; vertical names; realization); ``positive`` (vertical);
    ``units`` ("<unit> since <date>" or a bare time unit such as "days" or "Month" for time;
    degrees_north / degrees_east; pressure and level units for vertical); then the dimension's
    name (time, t, date, month, timestep, ...; y, lat*, rlat, nlat, hlat, j; x, lon*, rlon,
    nlon, hlon, i; lev*, plev, depth*, height, z; member, ensemble, realization; band,
    channel, wavelength). Rows and columns are the Y and X dimensions; without exactly one of
    each, the last two dimensions that are neither time, bands, vertical nor ensemble (those
    are never grid axes, so a vertical section or an unstructured grid is not a raster). A
    dimension of length 1 left over is kept as a singleton. Of the rest, a leading unclassified
    dimension is time and another unclassified one is bands (the position rule); a vertical or
    ensemble dimension becomes bands only when the caller names it (``band_dim``), and anything
    else is refused with a message that names that option.

Time
    The time coordinate is the coordinate of the time dimension; a variable without one may
    name a one-value time coordinate in ``coordinates`` (a 2-D field's date). A time
    coordinate with CF units ("<unit> since <date>", unit seconds ... days, weeks,
    months, years) and a CF calendar (standard, gregorian, proleptic_gregorian, julian,
    noleap / 365_day, all_leap / 366_day, 360_day) gives dates: text in ISO-8601 form in that
    calendar (the Gregorian family as proleptic Gregorian, so a standard-calendar date before
    1582-10-15 is converted from its Julian form). Whole numbers of "months since" / "years
    since" step calendar months and years from the reference date (what a monthly product
    means; under 360_day it equals CF's 30-day month); other values use CF's fixed lengths
    (a year of 365.242198781 days, a twelfth of it per month; 30-day months under 360_day).
    Dates must increase or decrease strictly; a repeated or out-of-order date is an error
    naming the frame and the options that date frames in file order. Text values that read as
    ISO-8601 dates are dates too. Anything else (no coordinate, units without a reference date
    such as "days" or "Month", an unknown calendar, missing values) is kept as it is and the
    axis has calendar "none": its values are numbers as text, spaced by value when the
    coordinate is numeric and strictly monotonic, else the frame indices 0 .. T-1 (evenly
    spaced in file order); one note says which. ``dated_axis`` builds dates from a start and a
    step ("1 day", "6h", "1 month", "1 year") when the caller gives them.

Arrays in metadata
    Coordinate values travel as JSON inside the container's metadata (``pack_array``): numbers,
    booleans, datetimes and byte strings as ``{"dtype": "<f8", "shape": [...], "base64": ...}``,
    the base64 of the array's little-endian bytes (exact, and ready to be compressed as one
    block later); text as ``{"dtype": "str", "shape": [...], "values": [...]}``.
    ``unpack_array`` checks type, shape and byte count against each other before shaping
    anything, so a damaged record is refused rather than misread.
"""
import base64
import math
import re
from dataclasses import dataclass, field
from datetime import timedelta

import numpy as np

# ---- variables --------------------------------------------------------------------------------


@dataclass
class Var:
    """What the rules need of one variable; ``dims`` is None when the store does not name them."""
    name: str
    dims: object
    shape: tuple
    dtype: object
    attrs: dict = field(default_factory=dict)

    @property
    def ndim(self):
        return len(self.shape)


def _text(value):
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    return value if isinstance(value, str) else ""


def _names(value):
    return _text(value).split()


def grid_mapping_names(value):
    """Variable names in a ``grid_mapping`` attribute: "crs" or "crs: x y crs2: lat lon"."""
    text = _text(value).strip()
    if ":" not in text:
        return text.split()
    return [m.group(1) for m in re.finditer(r"(\S+):", text)]


def _referenced(variables):
    """Names some variable refers to as something other than data."""
    out = set()
    for v in variables.values():
        a = v.attrs
        for key in ("coordinates", "bounds", "climatology", "ancillary_variables"):
            out.update(_names(a.get(key)))
        out.update(grid_mapping_names(a.get("grid_mapping")))
        for key in ("formula_terms", "cell_measures"):  # "term: name" pairs
            out.update(m.group(1) for m in re.finditer(r"\S+:\s*(\S+)", _text(a.get(key))))
    return out


def _numeric(dtype):
    try:
        return np.dtype(dtype).kind in "biuf"
    except TypeError:
        return False


def _is_coordinate_like(v):
    a = v.attrs
    if _text(a.get("axis")).strip():
        return True
    if _text(a.get("standard_name")).strip().lower() in _Y_STANDARD | _X_STANDARD:
        return True
    units = _text(a.get("units")).strip().lower()
    return units in _NORTH_UNITS or units in _EAST_UNITS


def data_candidates(variables):
    refs = _referenced(variables)
    out = []
    for name, v in variables.items():
        if v.ndim < 2 or not _numeric(v.dtype) or name in refs or _is_coordinate_like(v):
            continue
        if v.dims is not None and len(v.dims) == 1 and v.dims[0] == name:
            continue
        out.append(name)
    return out


def _listing(names, limit=12):
    names = sorted(names)
    return str(names) if len(names) <= limit else str(names[:limit])[:-1] + f", ... ({len(names)} in all)]"


def choose_variable(variables, requested, where, option="--variable"):
    """The data variable's name: ``requested`` when given (it must exist and have two or more
    dimensions), else the only candidate."""
    if requested is not None:
        if requested not in variables:
            raise ValueError(f"variable {requested!r} not found in {where}; variables: {_listing(variables)}")
        v = variables[requested]
        if v.ndim < 2:
            raise ValueError(f"variable {requested!r} has {v.ndim} dimension(s); a raster variable has at least "
                             "2 (rows and columns)")
        return requested
    candidates = data_candidates(variables)
    if not candidates:
        raise ValueError(f"no data variable (2 or more dimensions) in {where}; variables: {_listing(variables)}")
    wide = [n for n in candidates if variables[n].ndim >= 3]
    if len(wide) == 1 or (not wide and len(candidates) == 1):
        return (wide or candidates)[0]
    raise ValueError(f"several data variables in {where}: {_listing(wide or candidates)}; choose one with {option}")


# ---- dimensions -------------------------------------------------------------------------------

_Y_STANDARD = {"latitude", "grid_latitude", "projection_y_coordinate", "projection_y_angular_coordinate"}
_X_STANDARD = {"longitude", "grid_longitude", "projection_x_coordinate", "projection_x_angular_coordinate"}
_Z_STANDARD = {"air_pressure", "height", "depth", "altitude", "model_level_number", "geopotential_height",
               "height_above_geopotential_datum", "height_above_reference_ellipsoid", "height_above_mean_sea_level",
               "sea_water_pressure", "land_ice_sigma_coordinate", "atmosphere_sigma_coordinate"}
_NORTH_UNITS = {"degrees_north", "degree_north", "degree_n", "degrees_n", "degreen", "degreesn"}
_EAST_UNITS = {"degrees_east", "degree_east", "degree_e", "degrees_e", "degreee", "degreese"}
_PRESSURE_UNITS = {"pa", "hpa", "kpa", "mb", "mbar", "millibar", "millibars", "bar", "bars", "dbar", "decibar", "atm"}
_LEVEL_UNITS = {"level", "layer", "sigma_level", "levels", "layers"}
_TIME_WORDS = {"second", "seconds", "sec", "secs", "s", "minute", "minutes", "min", "mins", "hour", "hours", "hr",
               "hrs", "h", "day", "days", "d", "week", "weeks", "month", "months", "year", "years", "yr", "yrs"}
_TIME_NAMES = {"time", "t", "date", "dates", "valid_time", "times", "month", "months", "year", "years", "day", "days",
               "timestep", "timesteps", "time_counter", "frtime", "record", "step"}
_Y_NAMES = {"y", "yc", "rlat", "nlat", "hlat", "j", "nj", "row", "rows", "south_north", "northing", "gridy"}
_X_NAMES = {"x", "xc", "rlon", "nlon", "hlon", "i", "ni", "col", "cols", "column", "columns", "west_east",
            "easting", "gridx"}
_Z_NAMES = {"lev", "level", "levels", "plev", "height", "depth", "z", "alt", "altitude", "pressure", "ilev",
            "olevel", "alevel", "sigma", "bottom_top", "nav_lev", "isobaric", "lv"}
_E_NAMES = {"member", "members", "ensemble", "ens", "realization", "realisation", "number", "run"}
_B_NAMES = {"band", "bands", "channel", "channels", "wavelength", "wavelengths", "spectral_band"}

KIND_WORDS = {"T": "time", "Z": "vertical", "Y": "latitude/y", "X": "longitude/x", "E": "ensemble", "B": "band"}


def dim_coordinate(dim, var, variables):
    """The 1-D variable that describes dimension ``dim`` of ``var``, or None."""
    c = variables.get(dim)
    if c is not None and c.dims is not None and tuple(c.dims) == (dim,) and c.name != var.name:
        return c
    along = [variables[n] for n in _names(var.attrs.get("coordinates"))
             if n in variables and variables[n].dims is not None and tuple(variables[n].dims) == (dim,)]
    if along:
        return next((c for c in along if _kind_from_attrs(c.attrs)), along[0])
    loose = [v for v in variables.values()
             if v.name != var.name and v.dims is not None and tuple(v.dims) == (dim,) and _kind_from_attrs(v.attrs)]
    return loose[0] if len(loose) == 1 else None


def _kind_from_attrs(attrs):
    axis = _text(attrs.get("axis")).strip().upper()
    if axis in ("T", "Z", "Y", "X"):
        return axis
    sn = _text(attrs.get("standard_name")).strip().lower()
    if sn == "time":
        return "T"
    if sn in _Y_STANDARD:
        return "Y"
    if sn in _X_STANDARD:
        return "X"
    if sn in _Z_STANDARD or (sn.endswith("_coordinate") and sn.startswith(("atmosphere_", "ocean_"))):
        return "Z"
    if sn == "realization":
        return "E"
    if _text(attrs.get("positive")).strip().lower() in ("up", "down"):
        return "Z"
    units = _text(attrs.get("units")).strip().lower()
    if " since " in f" {units} ":
        return "T"
    if units in _TIME_WORDS:
        return "T"
    if units in _NORTH_UNITS:
        return "Y"
    if units in _EAST_UNITS:
        return "X"
    if units in _PRESSURE_UNITS or units in _LEVEL_UNITS:
        return "Z"
    return None


def _kind_from_name(dim):
    n = str(dim).lower()
    if n in _TIME_NAMES or re.fullmatch(r"time_?\d+", n):
        return "T"
    if n in _Y_NAMES or n.startswith("lat"):
        return "Y"
    if n in _X_NAMES or n.startswith("lon"):
        return "X"
    if n in _Z_NAMES or n.startswith(("lev", "plev", "depth", "lv_", "isobaric")):
        return "Z"
    if n in _E_NAMES:
        return "E"
    if n in _B_NAMES:
        return "B"
    return None


def coordinate_kind(v):
    """What a coordinate variable describes, by its attributes, then its name."""
    return _kind_from_attrs(v.attrs) or _kind_from_name(v.name)


def classify_dim(dim, var, variables):
    """'T', 'Z', 'Y', 'X', 'E', 'B' or None: by the dimension's coordinate, then its name."""
    c = dim_coordinate(dim, var, variables)
    kind = _kind_from_attrs(c.attrs) if c is not None else None
    return kind or _kind_from_name(dim)


@dataclass
class Layout:
    """Roles of a variable's dimensions: ``axes[i]`` is "time", "y", "x", "band" or "extra"
    (a singleton) for ``dims[i]``; ``notes`` are lines for the user."""
    dims: list
    axes: list
    notes: list

    def index(self, role):
        return self.axes.index(role) if role in self.axes else None


def resolve_layout(var, variables, band_dim=None):
    """The roles of ``var``'s dimensions (see the module doc); ValueError when it is not a raster
    or an extra dimension needs ``band_dim``."""
    dims, shape, name = list(var.dims), list(var.shape), var.name
    n = len(dims)
    kinds = [classify_dim(d, var, variables) for d in dims]
    roles = [None] * n
    notes = []
    if band_dim is not None:
        if band_dim not in dims:
            raise ValueError(f"--band-dim {band_dim!r} is not a dimension of {name!r} (dimensions: "
                             f"{', '.join(dims)})")
        roles[dims.index(band_dim)] = "band"
    times = [i for i in range(n) if kinds[i] == "T" and roles[i] is None]
    if len(times) > 1:
        raise ValueError(f"variable {name!r} has several time dimensions ({', '.join(dims[i] for i in times)}); "
                         "pass --band-dim with one of them")
    if times:
        roles[times[0]] = "time"
    bands = [i for i in range(n) if kinds[i] == "B" and roles[i] is None]
    if "band" not in roles and len(bands) == 1:
        roles[bands[0]] = "band"
    ys = [i for i in range(n) if kinds[i] == "Y" and roles[i] is None]
    xs = [i for i in range(n) if kinds[i] == "X" and roles[i] is None]
    if len(ys) == 1 and len(xs) == 1:
        roles[ys[0]], roles[xs[0]] = "y", "x"
    else:
        # Position decides only among dimensions nothing identifies: a vertical or ensemble
        # dimension is never taken for a grid axis.
        free = [i for i in range(n) if roles[i] is None and kinds[i] not in ("Z", "E")]
        if len(free) < 2:
            described = ", ".join(f"{d} ({KIND_WORDS.get(k, 'unknown')})" for d, k in zip(dims, kinds))
            raise ValueError(f"variable {name!r} is not a raster: it needs two grid dimensions (rows and columns) "
                             f"besides time and bands; its dimensions are {described}")
        roles[free[-2]], roles[free[-1]] = "y", "x"
    for i in range(n):
        if roles[i] is None and shape[i] == 1:
            roles[i] = "extra"
    rest = [i for i in range(n) if roles[i] is None]
    if "time" not in roles and rest and rest[0] == 0 and kinds[0] is None:
        roles[0] = "time"
        rest.pop(0)
        notes.append(f"dimension {dims[0]!r} is taken as the time axis by its position (nothing names it)")
    if "band" not in roles and len(rest) == 1 and kinds[rest[0]] is None:
        roles[rest[0]] = "band"
        notes.append(f"dimension {dims[rest[0]]!r} is taken as the band axis by its position (nothing names it)")
        rest = []
    if rest:
        i = rest[0]
        what = {"Z": "a vertical", "E": "an ensemble", "T": "a second time", "B": "a second band",
                "Y": "a third spatial", "X": "a third spatial"}.get(kinds[i], "an unidentified")
        fix = (f"pass --band-dim {dims[i]} to encode its {shape[i]} values as bands" if "band" not in roles or
               band_dim is None else
               f"only one dimension can be bands: select a single {dims[i]} first")
        if "band" in roles and band_dim is None:
            fix += f" (the band axis is now {dims[roles.index('band')]!r})"
        raise ValueError(f"variable {name!r} has {what} dimension {dims[i]!r} of {shape[i]} besides time, rows "
                         f"and columns: {fix}")
    return Layout(dims=dims, axes=roles, notes=notes)


# ---- variables that travel with the data ------------------------------------------------------

def related_variables(var, variables):
    """{name: role} of the variables a reader needs beside ``var``: "dim" (1-D coordinate of a
    dimension), "aux" (named in ``coordinates``), "grid_mapping", "bounds" (bounds or
    climatology of a carried coordinate) and "var" (unreferenced 1-D coordinate-like variables
    along a dimension, kept as plain variables); and notes on names that are referred to but
    absent."""
    out, notes = {}, []
    for d in var.dims or ():
        c = variables.get(d)
        if c is not None and c.dims is not None and tuple(c.dims) == (d,) and d != var.name:
            out[d] = "dim"
    for n in _names(var.attrs.get("coordinates")):
        if n in variables and n != var.name:
            out.setdefault(n, "aux")
        elif n != var.name:
            notes.append(f"coordinate {n!r} named by {var.name!r} is not in the source: not carried")
    for n in grid_mapping_names(var.attrs.get("grid_mapping")):
        if n in variables:
            out.setdefault(n, "grid_mapping")
        else:
            notes.append(f"grid mapping {n!r} named by {var.name!r} is not in the source: not carried")
    for d in var.dims or ():
        if d not in out:
            for v in variables.values():
                if (v.name not in out and v.name != var.name and v.dims is not None and tuple(v.dims) == (d,)
                        and _kind_from_attrs(v.attrs)):
                    out[v.name] = "var"
    for n in list(out):
        for key in ("bounds", "climatology"):
            for b in _names(variables[n].attrs.get(key)):
                if b in variables:
                    out.setdefault(b, "bounds")
                else:
                    notes.append(f"bounds {b!r} of {n!r} are not in the source: not carried")
    return out, notes


# ---- time -------------------------------------------------------------------------------------

GREGORIAN = ("standard", "gregorian", "proleptic_gregorian")
CALENDARS = GREGORIAN + ("julian", "noleap", "365_day", "all_leap", "366_day", "360_day")
NO_CALENDAR = "none"
_YEAR_DAYS = 365.242198781  # udunits' year, which CF's "years" and "months" (a twelfth) follow
_UNIT_SECONDS = {}
for _names_, _sec in ((("weeks", "week", "w"), 7 * 86400), (("days", "day", "d"), 86400),
                      (("hours", "hour", "hrs", "hr", "h"), 3600), (("minutes", "minute", "mins", "min"), 60),
                      (("seconds", "second", "secs", "sec", "s"), 1),
                      (("milliseconds", "millisecond", "msecs", "msec", "ms"), 1e-3),
                      (("microseconds", "microsecond", "usecs", "usec", "us"), 1e-6)):
    for _n in _names_:
        _UNIT_SECONDS[_n] = _sec
_CFTIME_UNITS = {7 * 86400: ("days", 7), 86400: ("days", 1), 3600: ("hours", 1), 60: ("minutes", 1),
                 1: ("seconds", 1), 1e-3: ("milliseconds", 1), 1e-6: ("microseconds", 1)}
_MONTH_WORDS = {"months", "month", "mon", "mons"}
_YEAR_WORDS = {"years", "year", "yr", "yrs", "common_years", "common_year"}


def normal_calendar(calendar):
    """A CF calendar's canonical lower-case name, or None for an unknown one."""
    cal = (_text(calendar) or "standard").strip().lower()
    return cal if cal in CALENDARS else None


def format_date(y, mo, d, h=0, mi=0, s=0, us=0):
    text = f"{y:04d}-{mo:02d}-{d:02d}T{h:02d}:{mi:02d}:{s:02d}"
    return text + (f".{us:06d}" if us else "")


def _cf_datetime(y, mo, d, h, mi, s, us, calendar):
    import cftime

    return cftime.datetime(y, mo, d, h, mi, s, us, calendar=calendar, has_year_zero=calendar not in GREGORIAN
                           and calendar != "julian")


def _cftime_iso(values, units, calendar):
    import cftime

    try:
        dates = cftime.num2date(values, units, calendar=calendar, only_use_cftime_datetimes=True,
                                only_use_python_datetimes=False)
    except (ValueError, OverflowError, TypeError) as e:
        raise ValueError(f"cannot decode time {units!r} ({calendar}): {e}") from None
    return [format_date(t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond)
            for t in np.atleast_1d(dates)]


def _add_months(ref_text, months, calendar):
    """Whole months added to the reference date of CF units; None when the reference day does
    not exist in every target month."""
    from pyqelm.encoder.streaming_sources import _REF_RE

    m = _REF_RE.match(ref_text)
    if not m:
        raise ValueError(f"cannot read the reference date {ref_text!r}")
    y, mo, d, hh, mi, ss, frac, tz = m.groups()
    if tz and tz.upper() not in ("Z", "UTC", "GMT"):
        return None
    y, mo, d = int(y), int(mo), int(d)
    if calendar in ("standard", "gregorian") and (y, mo, d) < (1582, 10, 15):
        return None  # a Julian reference date: the fixed-length path converts it
    us = int(round(float(frac) * 1e6)) if frac and len(frac) > 1 else 0
    out = []
    for k in months:
        total = (y * 12 + mo - 1) + k
        ty, tm = divmod(total, 12)
        try:
            _cf_datetime(ty, tm + 1, d, int(hh or 0), int(mi or 0), int(ss or 0), us,
                         "proleptic_gregorian" if calendar in GREGORIAN else calendar)
        except ValueError:
            return None
        if ty < 1:
            return None
        out.append(format_date(ty, tm + 1, d, int(hh or 0), int(mi or 0), int(ss or 0), us))
    return out


def cf_dates(values, units, calendar):
    """CF time numbers -> (ISO-8601 texts in ``calendar``, note or None). ValueError when they
    are not CF dates."""
    from pyqelm.encoder.streaming_sources import decode_cf_times

    cal = normal_calendar(calendar)
    if cal is None:
        raise ValueError(f"unknown calendar {calendar!r}")
    if not isinstance(units, str) or " since " not in units:
        raise ValueError(f"units {units!r} give no reference date")
    unit, ref = units.split(" since ", 1)
    unit = unit.strip().lower()
    values = np.asarray(values)
    if values.dtype.kind not in "iuf":
        raise ValueError("time values are not numbers")
    if values.dtype.kind == "f" and not np.isfinite(values).all():
        raise ValueError("time values include missing or infinite ones")
    note = None
    if unit in _MONTH_WORDS or unit in _YEAR_WORDS:
        per = 12 if unit in _YEAR_WORDS else 1
        whole = np.all(np.mod(values, 1) == 0)
        if whole:
            stamps = _add_months(ref, [int(v) * per for v in values.tolist()], cal)
            if stamps is not None:
                return stamps, f"time units {units!r}: whole values read as calendar {unit}"
        days = 30.0 * per if cal == "360_day" else _YEAR_DAYS / 12 * per
        values = values.astype(np.float64) * days
        units = f"days since {ref}"
        note = f"time units {units!r}: {unit} read as CF's fixed length of {days:g} days"
    elif unit not in _UNIT_SECONDS:
        raise ValueError(f"unknown time unit {unit!r}")
    if cal in GREGORIAN:
        stamps = [t.isoformat() for t in decode_cf_times(values, units, cal)]
    else:
        # cftime knows the plain unit names only: abbreviations become them, weeks become days.
        word, factor = _CFTIME_UNITS[_UNIT_SECONDS[units.split(" since ", 1)[0].strip().lower()]]
        stamps = _cftime_iso(values * factor if factor != 1 else values, f"{word} since {ref}", cal)
    return stamps, note


def _iso_texts(values):
    from pyqelm.utils.date_utils import parse_timestamp

    out = []
    for v in values:
        t = parse_timestamp(v.decode() if isinstance(v, bytes) else str(v))
        out.append(t.replace(tzinfo=None).isoformat())
    return out


def _number_text(v):
    return repr(float(v)) if isinstance(v, float) else str(int(v))


def monotonic_problem(stamps, parse):
    """None when ``stamps`` strictly increase or strictly decrease, else (i, text) of the first
    frame that breaks it."""
    keys = [parse(s) for s in stamps]
    if len(keys) < 2:
        return None
    up = keys[1] > keys[0]
    for i in range(1, len(keys)):
        if keys[i] == keys[i - 1] or (keys[i] > keys[i - 1]) != up:
            return i
    return None


@dataclass
class TimeAxis:
    stamps: list
    calendar: str
    note: object = None


def time_axis(values, attrs, n, what):
    """The time axis of ``n`` frames from a coordinate's raw ``values`` (None when there is no
    coordinate) and attributes; ``what`` names the coordinate in messages."""
    attrs = attrs or {}
    hint = "give dates with --time-start and --time-step"
    if values is None:
        return TimeAxis([str(i) for i in range(n)], NO_CALENDAR,
                        f"time: {what} has no coordinate; frames are spaced evenly in file order ({hint})")
    values = np.asarray(values).reshape(-1)
    units = attrs.get("units")
    if n == 1 and not (isinstance(units, str) and " since " in units) and values.dtype.kind != "M":
        return TimeAxis(["0"], NO_CALENDAR)  # one frame: nothing to space, nothing to tell
    dated, reason = None, None
    if values.dtype.kind == "M":
        dated = TimeAxis([str(np.datetime_as_string(v, unit="us")) for v in values.astype("datetime64[us]")],
                         "proleptic_gregorian")
    elif values.dtype.kind in "iuf" and isinstance(units, str) and " since " in units:
        try:
            stamps, note = cf_dates(values, units, attrs.get("calendar"))
            dated = TimeAxis(stamps, normal_calendar(attrs.get("calendar")), note)
        except ValueError as e:
            reason = str(e)
    elif values.dtype.kind in "SUO":
        try:
            dated = TimeAxis(_iso_texts(values.tolist()), "proleptic_gregorian")
        except (ValueError, TypeError):
            reason = "its values are text, not dates"
    if dated is not None:
        return _checked(dated, what)
    described = what + (f" (units {units!r})" if units else " (no units)") + (f": {reason}" if reason else "")
    if values.dtype.kind not in "iuf":
        return TimeAxis([str(i) for i in range(n)], NO_CALENDAR,
                        f"time: {described}; frames are spaced evenly in file order ({hint})")
    v = values.astype(np.float64)
    bad = ~np.isfinite(v)
    for key in ("_FillValue", "missing_value"):
        if attrs.get(key) is not None:
            bad |= np.isin(v, np.asarray(attrs[key], dtype=np.float64).reshape(-1))
    d = np.diff(v)
    if not bad.any() and (np.all(d > 0) or np.all(d < 0)):
        note = None if n == 1 else \
            f"time: {described} are not CF dates; frames are spaced by these values ({hint})"
        return TimeAxis([_number_text(x) for x in values.tolist()], NO_CALENDAR, note)
    why = "missing some values" if bad.any() else "not strictly monotonic"
    return TimeAxis([str(i) for i in range(n)], NO_CALENDAR,
                    f"time: {described} are not CF dates and {why}; frames are spaced evenly in file order ({hint})")


def _checked(axis, what):
    from pyqelm.utils.date_utils import parse_date_fields

    i = monotonic_problem(axis.stamps, parse_date_fields)
    if i is not None:
        word = "repeats" if parse_date_fields(axis.stamps[i]) == parse_date_fields(axis.stamps[i - 1]) else \
            "breaks the order of"
        raise ValueError(f"time {what} is not strictly monotonic: frame {i} ({axis.stamps[i]}) {word} frame {i - 1} "
                         f"({axis.stamps[i - 1]}); sort or deduplicate the frames, or date them in file order with "
                         "--time-start and --time-step")
    return axis


_STEP_RE = re.compile(r"^\s*([0-9]*\.?[0-9]+)?\s*([A-Za-z_]+)\s*$")


def parse_time_step(text):
    """"6h", "1 day", "3 months", "1 year" -> (count, unit) with unit "seconds" or "months"."""
    m = _STEP_RE.match(str(text))
    if not m:
        raise ValueError(f"--time-step must read like '1 day', '6h', '1 month' or '1 year', got {text!r}")
    count = float(m.group(1) or 1)
    word = m.group(2).lower()
    if word in _MONTH_WORDS or word in _YEAR_WORDS:
        months = count * (12 if word in _YEAR_WORDS else 1)
        if months != int(months) or months <= 0:
            raise ValueError(f"--time-step {text!r}: monthly and yearly steps must be whole and positive")
        return int(months), "months"
    if word == "m":
        raise ValueError(f"--time-step {text!r} is ambiguous: write 'min' for minutes or 'month'")
    if word not in _UNIT_SECONDS or word in ("ms", "us"):
        raise ValueError(f"--time-step {text!r}: unknown unit {m.group(2)!r} (use s, min, h, day, week, month, year)")
    seconds = count * _UNIT_SECONDS[word]
    if not seconds > 0:
        raise ValueError(f"--time-step {text!r} must be positive")
    return seconds, "seconds"


def dated_axis(start, step, n, calendar=None):
    """``n`` dates from ``start`` (ISO-8601) every ``step`` (see ``parse_time_step``) in
    ``calendar`` (a CF calendar; default standard)."""
    from pyqelm.utils.date_utils import parse_date_fields

    cal = normal_calendar(calendar) or "standard"
    try:
        y, mo, d, h, mi, s, us = parse_date_fields(str(start))
    except ValueError:
        raise ValueError(f"--time-start must be an ISO-8601 date such as 2005-01-01, got {start!r}") from None
    work_cal = "proleptic_gregorian" if cal in GREGORIAN else cal
    try:
        first = _cf_datetime(y, mo, d, h, mi, s, us, work_cal)
    except ValueError as e:
        raise ValueError(f"--time-start {start!r} is not a date of the {cal} calendar ({e})") from None
    if n > 1 and step is None:
        raise ValueError("--time-start needs --time-step to date more than one frame")
    amount, unit = parse_time_step(step) if step is not None else (0, "seconds")
    out = []
    for k in range(n):
        if unit == "months":
            total = y * 12 + mo - 1 + k * amount
            ty, tm = divmod(total, 12)
            try:
                _cf_datetime(ty, tm + 1, d, h, mi, s, us, work_cal)
            except ValueError:
                raise ValueError(f"--time-start day {d} does not exist in every month of the {cal} calendar; "
                                 "start a monthly or yearly step on day 1 to 28") from None
            out.append(format_date(ty, tm + 1, d, h, mi, s, us))
        else:
            t = first + timedelta(seconds=k * amount)
            out.append(format_date(t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond))
    return TimeAxis(out, cal, None)


# ---- arrays in metadata ----------------------------------------------------------------------

_PACKED_KINDS = "biufMmS"


def pack_array(values):
    """A NumPy array as JSON: numbers, booleans, datetimes and byte strings as base64 of their
    little-endian bytes with the type and shape; text as a list. ``unpack_array`` inverts it
    exactly."""
    a = np.asarray(values)
    if a.dtype.kind == "U":
        return {"dtype": "str", "shape": list(a.shape), "values": [str(v) for v in a.reshape(-1).tolist()]}
    if a.dtype.kind not in _PACKED_KINDS:
        raise ValueError(f"element type {a.dtype} cannot be stored")
    le = a.astype(a.dtype.newbyteorder("<"), copy=False)
    return {"dtype": le.dtype.str, "shape": list(a.shape),
            "base64": base64.b64encode(np.ascontiguousarray(le).tobytes()).decode("ascii")}


def unpack_array(rec):
    """The array of ``pack_array``; ValueError for a record whose type, shape and bytes disagree
    (the bytes are decoded before anything is shaped from them)."""
    if not isinstance(rec, dict) or not isinstance(rec.get("shape"), list):
        raise ValueError("array record needs a shape list")
    shape = rec["shape"]
    if not all(isinstance(s, int) and not isinstance(s, bool) and s >= 0 for s in shape):
        raise ValueError(f"array record has a bad shape {shape!r}")
    count = math.prod(shape)
    if rec.get("dtype") == "str":
        values = rec.get("values")
        if not isinstance(values, list) or len(values) != count or not all(isinstance(v, str) for v in values):
            raise ValueError("text array record does not hold its shape's count of texts")
        return np.array(values, dtype=str).reshape(shape)
    try:
        dtype = np.dtype(str(rec.get("dtype")))
    except TypeError:
        raise ValueError(f"array record has an unknown type {rec.get('dtype')!r}") from None
    if (dtype.kind not in _PACKED_KINDS or dtype.byteorder == ">" or dtype.hasobject
            or dtype.itemsize > (1 << 16 if dtype.kind == "S" else 16) or dtype.itemsize == 0):
        raise ValueError(f"array record has an unsupported type {rec.get('dtype')!r}")
    text = rec.get("base64")
    if not isinstance(text, str):
        raise ValueError("array record has no base64 data")
    try:
        raw = base64.b64decode(text.encode("ascii"), validate=True)
    except (ValueError, UnicodeError):
        raise ValueError("array record holds invalid base64") from None
    if len(raw) != count * dtype.itemsize:
        raise ValueError(f"array record holds {len(raw)} bytes for shape {shape} of {dtype}")
    return np.frombuffer(raw, dtype=dtype).astype(dtype.newbyteorder("="), copy=True).reshape(shape)
