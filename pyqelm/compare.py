"""Side-by-side comparison of this engine with the compressors users have today.

Every compressor starts from the same cube: the source as float32 (T, H, W, C) in physical
units, NaN where there is no data. pyqelm encodes it as it would any source (its container
carries its own no-data mask); the classical peers (``pyqelm.peers``) get no-data filled with
a neutral value and the mask stored losslessly beside them, its bytes counted in their size.
Each writes its file(s); the bytes on disk are what counts. Each file is decoded again and
checked on the valid values against the promise its compressor makes:

* pyqelm with residuals, ZFP (fixed accuracy at the bound, or tuned to it) and quantise +
  Lorenzo + xz: every valid value within ``bound`` of the original, no-data kept as no-data;
* fpzip (lossless) and Zstandard level 19: every valid value bit-for-bit identical.

A broken promise is reported as a violation (never hidden). The command's exit status judges
pyqelm's container alone: the others are the anchors it is measured against. The compression
ratio is the raw size of the source (T x H x W x C x bytes of its stored type) over the bytes;
bits per value are 8 x bytes over T x H x W x C.
"""
import json
import os
from dataclasses import asdict, dataclass

import numpy as np

from pyqelm import peers

# Bounds of a sweep, as fractions of the valid values' range: 10 % down to 0.01 %.
SWEEP_FRACTIONS = (0.1, 0.03, 0.01, 0.003, 0.001, 0.0003, 0.0001)


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
    mask_bytes: int = 0  # the lossless no-data mask stored beside a peer's file, included in ``bytes``
    bits_per_value: float = 0.0
    bound: float = None

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


def lossless_violations(original, decoded):
    """(valid values whose bits differ, no-data values decoded as data)."""
    valid = np.isfinite(original)
    a = np.ascontiguousarray(original, dtype=np.float32).view(np.uint32)[valid]
    b = np.ascontiguousarray(decoded, dtype=np.float32).reshape(original.shape).view(np.uint32)[valid]
    return int(np.count_nonzero(a != b)), int(np.count_nonzero(np.isfinite(decoded[~valid])))


# ---- rows ---------------------------------------------------------------------------------------

def make_row(name, path, size, raw, original, decoded, enc_s, dec_s, bound=None, note="", mask_bytes=0):
    """The row of one compressor; ``bound`` None means the promise is losslessness."""
    rmse, mae, mx, _ = error_stats(original, decoded)
    if bound is None:
        (off, lost), promise = lossless_violations(original, decoded), "lossless"
        what = "valid values changed"
    else:
        (off, lost), promise = bound_violations(original, decoded, bound), f"|err| <= {bound:g}"
        what = f"valid values off by more than {bound:g}"
    details = [f"{off:,} {what}"] if off else []
    details += [f"{lost:,} no-data values decoded as data"] if lost else []
    note = "; ".join(details + ([note] if note else []))
    n_values = int(np.prod(original.shape)) or 1
    return Row(compressor=name, file=os.path.basename(path), bytes=int(size), ratio=raw / size if size else 0.0,
               rmse=rmse, mae=mae, max_error=mx, promise=promise, ok=off + lost == 0, violations=off + lost,
               encode_s=enc_s, decode_s=dec_s, note=note, mask_bytes=int(mask_bytes),
               bits_per_value=8.0 * size / n_values, bound=bound)


def other_rows(cube, bound, raw, workdir, stem, log=print):
    """Rows of the classical peers for ``cube``, each fed the cube with no-data filled and
    charged for the lossless mask; the files stay in ``workdir``. -> (rows, {name: decoded})."""
    filled, nodata = peers.fill_nodata(cube)
    mask_blob = peers.encode_mask(nodata)
    mask_bytes = 0
    if mask_blob:
        mask_path = os.path.join(workdir, f"{stem}.nodata.xz")
        peers._write(mask_path, mask_blob)
        mask_bytes = os.path.getsize(mask_path)
    rows, decoded = [], {}
    for name, suffix, lossy, run in peers.PEERS:
        path = os.path.join(workdir, f"{stem}.{suffix}")
        try:
            size, out, enc_s, dec_s, note = run(filled, nodata, bound, path)
        except (ImportError, RuntimeError) as e:
            log(f"pyqelm: {name} skipped: {e}")
            continue
        if mask_bytes:
            out = peers.restore_nodata(out, mask_blob)
            note = "; ".join([n for n in (note, f"no-data mask {mask_bytes:,} bytes included") if n])
        rows.append(make_row(name, path, size + mask_bytes, raw, cube, out, enc_s, dec_s,
                             bound=bound if lossy else None, note=note, mask_bytes=mask_bytes))
        decoded[name] = out
    return rows, decoded


def _seconds(s):
    return f"{s:.2f}" if np.isfinite(s) else "-"


def format_table(rows, header_lines=()):
    head = ("compressor", "file", "bytes", "mask B", "ratio", "bits/value", "RMSE", "MAE", "max error", "promise",
            "check", "encode s", "decode s")
    body = []
    for r in rows:
        check = "ok" if r.ok else f"VIOLATED ({r.violations:,} values)"
        body.append((r.compressor, r.file, f"{r.bytes:,}", f"{r.mask_bytes:,}", f"{r.ratio:.2f}",
                     f"{r.bits_per_value:.3f}", f"{r.rmse:.4g}", f"{r.mae:.4g}", f"{r.max_error:.4g}", r.promise,
                     check, _seconds(r.encode_s), _seconds(r.decode_s)))
    widths = [max(len(x[i]) for x in body + [head]) for i in range(len(head))]
    right = {2, 3, 4, 5, 6, 7, 8, 11, 12}

    def line(cells):
        return "  ".join(c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    out = list(header_lines) + [line(head), line(["-" * w for w in widths])] + [line(b) for b in body]
    out += [f"  note ({r.compressor}): {r.note}" for r in rows if r.note]
    return "\n".join(out)


def pyqelm_row(source, cube, bound, opts, workdir, stem, raw, qelm=None, log=print, network=False):
    """Encode ``source`` at ``bound`` into ``workdir`` (or take the container ``qelm``), decode it
    and check it. -> (row, decoded cube, path of the network-only file or None)."""
    import copy
    import time

    from pyqelm.decode import decode_container
    from pyqelm.format import read_container
    from pyqelm.pipeline import encode

    if qelm:
        qelm_file, enc_s, note = qelm, float("nan"), "existing container (encode time not measured)"
        sibling = qelm[:-len("-rectified.qelm")] + ".qelm" if qelm.endswith("-rectified.qelm") else None
        network_only = sibling if sibling and os.path.isfile(sibling) else None
        shape = tuple(read_container(qelm_file).meta.shape)
        if shape != tuple(cube.shape):
            raise ValueError(f"{qelm_file} holds a {shape} cube, the source is {tuple(cube.shape)}")
    else:
        opts = copy.deepcopy(opts)
        opts.max_error = bound
        # The work folder holds this command's own files; the table checks the bound itself.
        opts.force, opts.verify = True, False
        if network:
            opts.network_output = os.path.join(workdir, f"{stem}-network.qelm")
        result = encode(source, os.path.join(workdir, f"{stem}.qelm"), opts, log=log)
        qelm_file, enc_s = result.best_file, result.seconds["total"]
        network_only = next((p for role, p, _ in result.files if role == "network"), None)
        note = f"{result.backend}, {result.training}; encode time includes training"
    t0 = time.perf_counter()
    decoded, _ = decode_container(qelm_file)
    dec_s = time.perf_counter() - t0
    row = make_row("pyqelm + residuals", qelm_file, os.path.getsize(qelm_file), raw, cube, decoded, enc_s, dec_s,
                   bound=bound, note=note)
    return row, decoded, network_only


# ---- sweeps -------------------------------------------------------------------------------------

def value_range(cube):
    """max - min of the valid values (1.0 when they are all equal or there are none)."""
    finite = cube[np.isfinite(cube)]
    span = float(finite.max()) - float(finite.min()) if finite.size else 0.0
    return span if span > 0 else 1.0


def sweep_bounds(cube, fractions=SWEEP_FRACTIONS):
    """[(fraction, bound)] of a sweep over the cube's range."""
    span = value_range(cube)
    return [(f, f * span) for f in fractions]


def write_sweep_json(path, record, force=False):
    """Write the table ``record`` (its first key tags it as compare's, so that ``force`` may
    replace it later) through a staging file."""
    from pyqelm.outputs import TABLE_TAG, write_bytes

    record = {TABLE_TAG: 1, **{k: v for k, v in record.items() if k != TABLE_TAG}}
    text = json.dumps(record, indent=2, allow_nan=False, default=str) + "\n"
    return write_bytes(path, text.encode("utf-8"), "table", force=force)


def _save_png(fig, path, force):
    from pyqelm.outputs import write_file

    write_file(path, "plot", lambda staged: fig.savefig(staged, dpi=100, format="png"), force=force)


def plot_rate_distortion(path, rows, title="", force=False):
    """PNG of bits per value against max error and against RMSE (log-log), one line per
    compressor over the bounds of a sweep. Lossless compressors are points at zero error, drawn
    as horizontal reference lines."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(dict.fromkeys(r.compressor for r in rows))
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.8))
    for ax, metric, label in ((axes[0], "max_error", "max |error| on valid values"), (axes[1], "rmse", "RMSE")):
        for name in names:
            pts = sorted((getattr(r, metric), r.bits_per_value, r.ok) for r in rows if r.compressor == name)
            if all(r.promise == "lossless" for r in rows if r.compressor == name):
                ax.axhline(float(np.median([p[1] for p in pts])), linestyle=":", linewidth=1, label=f"{name}",
                           color=f"C{names.index(name)}")
                continue
            xs = [max(p[0], 1e-30) for p in pts]
            ax.plot(xs, [p[1] for p in pts], marker="o", label=name, color=f"C{names.index(name)}")
            bad = [(x, p[1]) for x, p in zip(xs, pts) if not p[2]]
            if bad:
                ax.scatter(*zip(*bad), marker="x", s=80, color="red", zorder=5)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel(label)
        ax.set_ylabel("bits per value")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].legend(fontsize=8)
    if title:
        fig.suptitle(title)
    fig.tight_layout()
    try:
        _save_png(fig, path, force)
    finally:
        plt.close(fig)


def plot(path, original, panels, frame=0, band=0, bound=None, title="", y_ascending=False, force=False):
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
    try:
        _save_png(fig, path, force)
    finally:
        plt.close(fig)
