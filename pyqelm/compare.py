"""Side-by-side comparison of this engine with the compressors users have today.

Every compressor gets the same input: the source as float32 (T, H, W, C) in physical units,
NaN where there is no data (encoded as-is by the others: NaN is just another float to them).
Each writes one file; its size on disk is what counts. Each file is decoded again and checked
against the promise its compressor makes:

* pyqelm with residuals: every valid value within ``bound`` of the original, no-data kept;
* ZFP in fixed-accuracy mode with tolerance ``bound``: every valid value within ``bound``;
* fpzip (lossless) and Zstandard level 19 on the raw float32 bytes: bit-for-bit identical.

A broken promise is reported as a violation (never hidden); errors are measured over the
valid values of the input. The compression ratio is the raw size of the source
(T x H x W x C x bytes of its stored type) over the file size.
"""
import ctypes
import ctypes.util
import os
import time
from dataclasses import asdict, dataclass

import numpy as np


@dataclass
class Row:
    compressor: str
    file: str
    bytes: int
    ratio: float
    rmse: float
    mae: float
    max_error: float
    promise: str
    ok: bool
    violations: int
    encode_s: float
    decode_s: float
    note: str = ""

    def to_dict(self):
        return asdict(self)


def error_stats(original, decoded):
    """(rmse, mae, max |error|, number of valid values) over the finite values of ``original``;
    a decoded value that is not finite where the original is counts as an infinite error."""
    valid = np.isfinite(original)
    n = int(valid.sum())
    if n == 0:
        return 0.0, 0.0, 0.0, 0
    err = np.abs(decoded[valid].astype(np.float64) - original[valid].astype(np.float64))
    err[~np.isfinite(err)] = np.inf
    return float(np.sqrt(np.mean(err * err))), float(err.mean()), float(err.max()), n


def bound_violations(original, decoded, bound):
    """(valid values off by more than ``bound`` or decoded as non-finite, no-data values decoded
    as data)."""
    valid = np.isfinite(original)
    with np.errstate(invalid="ignore"):
        off = np.abs(decoded[valid].astype(np.float64) - original[valid].astype(np.float64))
    return int(np.count_nonzero(~(off <= bound))), int(np.count_nonzero(np.isfinite(decoded[~valid])))


def check_bound(original, decoded, bound):
    """Number of values breaking an absolute error bound (see ``bound_violations``)."""
    return sum(bound_violations(original, decoded, bound))


def check_lossless(original, decoded):
    """Number of values whose bits differ (NaN payloads included)."""
    a = np.ascontiguousarray(original, dtype=np.float32).view(np.uint32)
    b = np.ascontiguousarray(decoded, dtype=np.float32).reshape(original.shape).view(np.uint32)
    return int(np.count_nonzero(a != b))


def _write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return os.path.getsize(path)


def _read(path):
    with open(path, "rb") as f:
        return f.read()


# ---- the other compressors ------------------------------------------------------------------

def zfp_roundtrip(cube, bound, path):
    """ZFP fixed-accuracy mode: (file bytes, decoded cube, encode s, decode s)."""
    import zfpy

    arr = np.ascontiguousarray(cube[..., 0] if cube.shape[-1] == 1 else cube)
    t0 = time.perf_counter()
    blob = zfpy.compress_numpy(arr, tolerance=float(bound))
    size = _write(path, blob)
    t1 = time.perf_counter()
    out = zfpy.decompress_numpy(_read(path)).reshape(cube.shape)
    t2 = time.perf_counter()
    return size, out, t1 - t0, t2 - t1


class _FPZ(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("prec", ctypes.c_int), ("nx", ctypes.c_int), ("ny", ctypes.c_int),
                ("nz", ctypes.c_int), ("nf", ctypes.c_int)]


_FPZIP = None


def _fpzip():
    global _FPZIP
    if _FPZIP is None:
        name = ctypes.util.find_library("fpzip") or "libfpzip.so.1"
        try:
            lib = ctypes.CDLL(name)
        except OSError:
            raise RuntimeError("libfpzip is not installed (Debian package libfpzip-dev)") from None
        P = ctypes.POINTER(_FPZ)
        lib.fpzip_write_to_buffer.restype, lib.fpzip_write_to_buffer.argtypes = P, [ctypes.c_void_p, ctypes.c_size_t]
        lib.fpzip_read_from_buffer.restype, lib.fpzip_read_from_buffer.argtypes = P, [ctypes.c_void_p]
        for fn in ("fpzip_write_header", "fpzip_read_header"):
            getattr(lib, fn).restype, getattr(lib, fn).argtypes = ctypes.c_int, [P]
        lib.fpzip_write.restype, lib.fpzip_write.argtypes = ctypes.c_size_t, [P, ctypes.c_void_p]
        lib.fpzip_read.restype, lib.fpzip_read.argtypes = ctypes.c_size_t, [P, ctypes.c_void_p]
        lib.fpzip_write_close.restype, lib.fpzip_write_close.argtypes = None, [P]
        lib.fpzip_read_close.restype, lib.fpzip_read_close.argtypes = None, [P]
        _FPZIP = lib
    return _FPZIP


def _fpzip_error(lib, what):
    try:
        code = ctypes.c_int.in_dll(lib, "fpzip_errno").value
    except ValueError:
        code = -1
    return RuntimeError(f"fpzip {what} failed (error {code})")


def fpzip_compress(cube):
    """Lossless fpzip of a float32 (T, H, W, C) cube, with header; bands as fields."""
    lib = _fpzip()
    T, H, W, C = cube.shape
    if max(T, H, W, C) > np.iinfo(np.int32).max:
        raise ValueError("cube too large for fpzip's 32-bit dimensions")
    data = np.ascontiguousarray(np.moveaxis(cube, -1, 0), dtype=np.float32)  # (C, T, H, W): x fastest
    cap = data.nbytes + data.nbytes // 8 + 4096
    buf = ctypes.create_string_buffer(cap)
    fpz = lib.fpzip_write_to_buffer(buf, cap)
    if not fpz:
        raise _fpzip_error(lib, "stream set-up")
    fpz.contents.type, fpz.contents.prec = 0, 0
    fpz.contents.nx, fpz.contents.ny, fpz.contents.nz, fpz.contents.nf = W, H, T, C
    try:
        if not lib.fpzip_write_header(fpz):
            raise _fpzip_error(lib, "header write")
        n = lib.fpzip_write(fpz, data.ctypes.data)
        if n == 0:
            raise _fpzip_error(lib, "compression")
    finally:
        lib.fpzip_write_close(fpz)
    return buf.raw[:n]


def fpzip_decompress(blob):
    lib = _fpzip()
    src = ctypes.create_string_buffer(bytes(blob), len(blob))
    fpz = lib.fpzip_read_from_buffer(src)
    if not fpz:
        raise _fpzip_error(lib, "stream set-up")
    try:
        if not lib.fpzip_read_header(fpz):
            raise _fpzip_error(lib, "header read")
        f = fpz.contents
        if f.type != 0:
            raise ValueError("fpzip stream does not hold float32 values")
        out = np.empty((f.nf, f.nz, f.ny, f.nx), dtype=np.float32)
        if lib.fpzip_read(fpz, out.ctypes.data) == 0:
            raise _fpzip_error(lib, "decompression")
    finally:
        lib.fpzip_read_close(fpz)
    return np.moveaxis(out, 0, -1)


def fpzip_roundtrip(cube, path):
    t0 = time.perf_counter()
    size = _write(path, fpzip_compress(cube))
    t1 = time.perf_counter()
    out = fpzip_decompress(_read(path))
    t2 = time.perf_counter()
    return size, out, t1 - t0, t2 - t1


def zstd_roundtrip(cube, path, level=19):
    import zstandard

    raw = np.ascontiguousarray(cube, dtype=np.float32).tobytes()
    t0 = time.perf_counter()
    size = _write(path, zstandard.ZstdCompressor(level=level).compress(raw))
    t1 = time.perf_counter()
    out = np.frombuffer(zstandard.ZstdDecompressor().decompress(_read(path)), dtype=np.float32).reshape(cube.shape)
    t2 = time.perf_counter()
    return size, out, t1 - t0, t2 - t1


# ---- the table --------------------------------------------------------------------------------

def make_row(name, path, size, raw, original, decoded, enc_s, dec_s, bound=None, note=""):
    rmse, mae, mx, _ = error_stats(original, decoded)
    if bound is None:
        bad, promise = check_lossless(original, decoded), "lossless"
    else:
        off, lost = bound_violations(original, decoded, bound)
        bad, promise = off + lost, f"|err| <= {bound:g}"
        details = [f"{off:,} valid values off by more than {bound:g}"] if off else []
        details += [f"{lost:,} no-data values decoded as data"] if lost else []
        note = "; ".join(details + ([note] if note else []))
    return Row(compressor=name, file=os.path.basename(path), bytes=int(size), ratio=raw / size if size else 0.0,
               rmse=rmse, mae=mae, max_error=mx, promise=promise, ok=bad == 0, violations=bad,
               encode_s=enc_s, decode_s=dec_s, note=note)


def other_rows(cube, bound, raw, workdir, stem, log=print):
    """Rows of ZFP, fpzip and Zstandard for ``cube``; the files stay in ``workdir``."""
    rows, decoded = [], {}
    runs = (("ZFP fixed-accuracy", f"{stem}.zfp", lambda p: zfp_roundtrip(cube, bound, p), bound),
            ("fpzip lossless", f"{stem}.fpz", lambda p: fpzip_roundtrip(cube, p), None),
            ("Zstandard -19", f"{stem}.f32.zst", lambda p: zstd_roundtrip(cube, p), None))
    for name, fname, run, b in runs:
        path = os.path.join(workdir, fname)
        try:
            size, out, enc_s, dec_s = run(path)
        except (ImportError, RuntimeError) as e:
            log(f"pyqelm: {name} skipped: {e}")
            continue
        rows.append(make_row(name, path, size, raw, cube, out, enc_s, dec_s, bound=b))
        decoded[name] = out
    return rows, decoded


def _seconds(s):
    return f"{s:.2f}" if np.isfinite(s) else "-"


def format_table(rows, header_lines=()):
    head = ("compressor", "file", "bytes", "ratio", "RMSE", "MAE", "max error", "promise", "check",
            "encode s", "decode s")
    body = []
    for r in rows:
        check = "ok" if r.ok else f"VIOLATED ({r.violations:,} values)"
        body.append((r.compressor, r.file, f"{r.bytes:,}", f"{r.ratio:.2f}", f"{r.rmse:.4g}", f"{r.mae:.4g}",
                     f"{r.max_error:.4g}", r.promise, check, _seconds(r.encode_s), _seconds(r.decode_s)))
    widths = [max(len(x[i]) for x in body + [head]) for i in range(len(head))]
    right = {2, 3, 4, 5, 6, 9, 10}

    def line(cells):
        return "  ".join(c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    out = list(header_lines) + [line(head), line(["-" * w for w in widths])] + [line(b) for b in body]
    out += [f"  note ({r.compressor}): {r.note}" for r in rows if r.note]
    return "\n".join(out)


def plot(path, original, panels, frame=0, band=0, bound=None, title="", y_ascending=False):
    """PNG with the original frame, then (reconstruction, error) of each compressor in ``panels``
    (a list of (name, decoded cube[, error colour limit])). With ``y_ascending`` row 0 is drawn at the bottom (north up
    for a latitude axis that increases with the row)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    T = original.shape[0]
    if not 0 <= frame < T:
        raise ValueError(f"--frame {frame} is outside the {T} frames")
    if not 0 <= band < original.shape[-1]:
        raise ValueError(f"--band {band} is outside the {original.shape[-1]} bands")
    origin = "lower" if y_ascending else "upper"
    orig = original[frame, :, :, band]
    finite = orig[np.isfinite(orig)]
    vmin, vmax = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)
    n = len(panels)
    fig, axes = plt.subplots(n + 1 if n else 1, 2, figsize=(11, 3.2 * (n + 1)), squeeze=False)
    im = axes[0, 0].imshow(orig, vmin=vmin, vmax=vmax, cmap="viridis", origin=origin)
    axes[0, 0].set_title(f"original (frame {frame}, band {band})")
    fig.colorbar(im, ax=axes[0, 0], shrink=0.8)
    axes[0, 1].axis("off")
    if title:
        axes[0, 1].text(0.0, 0.5, title, fontsize=10, va="center", family="monospace")
    for k, panel in enumerate(panels, start=1):
        name, dec = panel[0], panel[1]
        scale = panel[2] if len(panel) > 2 else bound  # error colour scale: the bound unless given
        rec = dec[frame, :, :, band]
        err = rec.astype(np.float64) - orig
        lim = scale if scale else float(np.nanmax(np.abs(err))) or 1.0
        im = axes[k, 0].imshow(rec, vmin=vmin, vmax=vmax, cmap="viridis", origin=origin)
        axes[k, 0].set_title(f"{name}: reconstruction")
        fig.colorbar(im, ax=axes[k, 0], shrink=0.8)
        im = axes[k, 1].imshow(err, vmin=-lim, vmax=lim, cmap="RdBu_r", origin=origin)
        axes[k, 1].set_title(f"{name}: error (max |err| {np.nanmax(np.abs(err)):.3g})")
        fig.colorbar(im, ax=axes[k, 1], shrink=0.8)
    for ax in axes.flat:
        ax.set_xticks([])
        ax.set_yticks([])
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
