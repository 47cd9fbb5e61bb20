"""What an encode will need, estimated from its settings and the source's shape (read from
metadata, never from the data) so that a run that cannot fit is refused before it starts.

Estimates, in bytes:

* model: every weight held as float32 with its gradient and the optimizer's two moments
  (16 bytes), plus the float32 copies that quantizing and checking the weights make (8 bytes);
* batch: per training point its input row, each grid level's features (with their gradients
  and the corner indices and weights of the interpolation) and the decoder's activations
  (with their gradients), times the points of one step; streamed training also holds up to
  four pools of points on the host;
* cube, when it is held in memory: the values as trained (float16 with ``--precision
  float16``, else float32) with a float32 copy while loading, the validity mask, the pixel
  coordinates and, with importance sampling, an index and a weight per point; after training,
  the decoded cube the post-encode check measures (float32, twice while it is reshaped);
* block reshape (``--block-size``): the regrouped cube; when it does not fit in the available
  memory next to the cube with 4 GiB to spare, the engine writes it to a file in
  ``PYQELM_TMPDIR`` or the system temporary folder, which must have room for it.

A run is refused when model + batch + cube exceed the machine's physical memory (model + batch
against the device's memory on CUDA), or when a block reshape has neither memory nor a
temporary folder to go to. The NetCDF copy is checked where it is made (``pyqelm.netcdf``).
"""
import os
import shutil
import tempfile
from dataclasses import dataclass, field

GiB = 1 << 30
_BYTES_PER_PARAM = 24
_BLOCK_HEADROOM = 4 * GiB
_DOWNCAST_ABOVE = 8 * GiB


def physical_memory():
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return None


def available_memory():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return physical_memory()


def _free_disk(folder):
    try:
        return shutil.disk_usage(folder).free
    except OSError:
        return None


def _gib(n):
    if n >= GiB / 10:
        return f"{n / GiB:.1f} GiB"
    return f"{n / 2**20:.0f} MiB" if n >= 2**20 else f"{max(1, round(n / 1024))} KiB"


@dataclass
class Needs:
    parameters: int = 0
    model: int = 0
    batch: int = 0
    cube: int = 0
    block: int = 0  # regrouped cube of a block reshape
    block_in_memory: bool = True
    notes: list = field(default_factory=list)

    @property
    def host(self):
        return self.model + self.batch + self.cube + (self.block if self.block_in_memory else 0)

    def describe(self):
        parts = [f"model {_gib(self.model)} ({self.parameters:,} weights)", f"batch {_gib(self.batch)}"]
        if self.cube:
            parts.append(f"cube {_gib(self.cube)}")
        if self.block and self.block_in_memory:
            parts.append(f"block reshape {_gib(self.block)}")
        return ", ".join(parts)


def _architecture(opts, n_bands, spatial_dims):
    from pyqelm.models._architecture import resolve_architecture

    return resolve_architecture(dict(opts.model_sizes(), n_output_dims=n_bands, spatial_dims=spatial_dims,
                                     block_size=tuple(opts.block_size), disable_temporal=opts.disable_temporal,
                                     temporal_mode=opts.temporal_mode))


def _grids(arch):
    """(dimensions, settings) of every hash grid the network builds."""
    from pyqelm.models._architecture import grid_settings

    S = arch["spatial_dims"]
    out = [(S, grid_settings(arch, "xy"))]
    if not arch["disable_temporal"]:
        if arch["temporal_mode"] == "hash3d":
            out.append((S + 1, grid_settings(arch, "t")))
        else:
            out += [(S, grid_settings(arch, "code")), (1, grid_settings(arch, "t1d"))]
    return out


def estimate(opts, shape, device="cpu", precision="float32", points=None):
    """Needs of an encode with EncodeOptions ``opts`` on a source of ``shape`` (T, H, W, C), or
    None when the shape is not known before loading (raster folders: model and batch only, the
    batch bounded by ``points`` when given)."""
    from pyqelm.models._architecture import grid_n_params, mlp_n_params

    T, H, W, C = shape if shape is not None else (1, 1, 1, 1)
    spatial_dims = 3 if opts.norm_mode in (0, 1) else 2
    arch = _architecture(opts, C, spatial_dims)
    n = Needs()
    grids = _grids(arch)
    n.parameters = sum(grid_n_params(d, g) for d, g in grids) + mlp_n_params(
        arch["decoder_n_input_dims"], arch["n_decoder_outputs"], arch["decoder_hidden"], arch["n_hidden_layers"])
    n.model = n.parameters * _BYTES_PER_PARAM

    bh, bw = (int(b) for b in opts.block_size)
    Hb, Wb = -(-H // bh), -(-W // bw)
    from pyqelm.stepplan import MAX_BATCH, planned_batch

    # No batch size given: the planned one (at most MAX_BATCH) for the points there are.
    batch_size = opts.batch_size
    if shape is not None:
        points = T * Hb * Wb
    else:
        points = (batch_size or MAX_BATCH) if points is None else points
    if not batch_size:
        batch_size = planned_batch(points)
    per_point = 4 * (spatial_dims + 1)
    for d, g in grids:
        per_point += g["n_levels"] * (g["features_per_level"] * 4 * 3 + (2 ** d) * 8)
    width, layers = arch["decoder_hidden"], arch["n_hidden_layers"]
    per_point += 4 * 3 * (width * max(layers, 1) + arch["n_decoder_outputs"] * 2)
    batch = min(batch_size, points)
    n.batch = batch * per_point
    if opts.streaming:
        pool = min(max(4194304, batch_size * 50), points)
        n.batch += 4 * pool * 4 * (spatial_dims + 1 + C * bh * bw)

    if shape is None or opts.streaming:
        return n
    cells = T * H * W
    e = 2 if precision == "float16" else 4
    values = cells * C * e
    n.cube = values + cells * C * 4 + cells + H * W * spatial_dims * 4
    if opts.importance_sampling:
        n.cube += 16 * cells
    if (bh, bw) != (1, 1):
        if e == 4 and values > _DOWNCAST_ABOVE:
            e, values = 2, values // 2
        n.block = T * Hb * Wb * bh * bw * C * e
        avail = available_memory()
        n.block_in_memory = avail is None or values + n.block + _BLOCK_HEADROOM <= avail
    decoded = 2 * cells * C * 4
    n.cube = max(n.cube, decoded)
    return n


def _cuda_memory(device):
    try:
        import torch

        if not str(device).startswith("cuda") or not torch.cuda.is_available():
            return None
        index = torch.device(device).index
        return int(torch.cuda.get_device_properties(index if index is not None else 0).total_memory)
    except Exception:  # no usable device query: nothing to compare against
        return None


def block_folders():
    """Folders the engine tries, in order, for the file of a block reshape."""
    folders = []
    if os.environ.get("PYQELM_TMPDIR"):
        folders.append(os.environ["PYQELM_TMPDIR"])
    folders.append(tempfile.gettempdir())
    return folders


def check(needs, device="cpu", log=None, blocks=False):
    """Refuse (ValueError, one line) a run whose needs cannot fit this machine."""
    hint = "use a smaller --preset or size options, a smaller --batch-size" + (" or --block-size" if blocks else "")
    total = physical_memory()
    if total is not None and needs.host > total:
        more = ", or --streaming" if needs.cube else ""
        raise ValueError(f"this run needs about {_gib(needs.host)} of memory ({needs.describe()}), more than the "
                         f"{_gib(total)} this machine has; {hint}{more}")
    device_total = _cuda_memory(device)
    if device_total is not None and needs.model + needs.batch > device_total:
        raise ValueError(f"the network and one batch need about {_gib(needs.model + needs.batch)} on {device}, "
                         f"which has {_gib(device_total)}; {hint}")
    if needs.block and not needs.block_in_memory:
        want = int(needs.block * 1.1)
        free = {f: _free_disk(f) for f in block_folders()}
        if not any(v is not None and v >= want for v in free.values()):
            where = ", ".join(f"{f}: {_gib(v) if v is not None else 'not usable'}" for f, v in free.items())
            raise ValueError(f"--block-size regroups the cube into {_gib(needs.block)}, more than the memory left "
                             f"beside it, and no temporary folder has {_gib(want)} free ({where}); set "
                             "PYQELM_TMPDIR to a folder with room or use a smaller --block-size")
    avail = available_memory()
    if log is not None and avail is not None and needs.host > avail:
        log(f"pyqelm: note: this run needs about {_gib(needs.host)} of memory ({needs.describe()}); "
            f"{_gib(avail)} are available now")
    return needs


def source_shape(path, kind, opts):
    """(T, H, W, C) of the source from its metadata, or None for a raster folder."""
    if kind == "zarr":
        from pyqelm.encoder.streaming_sources import ZarrStreamingSource
        from pyqelm.pipeline import source_options

        s = ZarrStreamingSource(zarr_path=os.fspath(path), variable=opts.source.variable,
                                **source_options(opts.source))
        return s.n_timesteps, s.height, s.width, s.n_bands
    if kind == "netcdf":
        from pyqelm.netcdf import cube_shape

        return cube_shape(path, opts.source.variable, getattr(opts.source, "band_dim", None))
    return None


def folder_points(path):
    """At most how many pixels a raster folder holds: its rasters times the grid of the first,
    read from that raster's header; None when unknown."""
    from pyqelm.encoder.loaders import RASTER_EXTENSIONS

    try:
        names = sorted(n for n in os.listdir(path) if n.lower().endswith(RASTER_EXTENSIONS))
        if not names:
            return None
        import rasterio

        with rasterio.open(os.path.join(path, names[0])) as r:
            return len(names) * int(r.height) * int(r.width) * int(r.count)
    except Exception:  # the loader reports an unreadable folder in its own words
        return None


def refuse_unfit_encode(path, kind, opts, device, precision, log=None):
    """The checks above for an encode, before its source is read; returns the Needs."""
    shape = source_shape(path, kind, opts)
    points = folder_points(path) if kind == "folder" else None
    needs = estimate(opts, shape, device, precision, points=points)
    return check(needs, device, log, blocks=tuple(opts.block_size) != (1, 1))
