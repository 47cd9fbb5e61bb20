"""Tiled encoding on dask: real data in tiles, decoded whole and by window, lazily through
xarray, on a cluster started from the command line with a worker killed halfway, resumed after
an interruption, and stopped by a tile with bad data."""
import contextlib
import io
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from contextlib import redirect_stderr, redirect_stdout
from importlib.metadata import EntryPoint

import netCDF4
import numpy as np
import pytest
import xarray as xr
import zarr

import pyqelm
from pyqelm import cli
from pyqelm.decode import decode_container
from pyqelm.format import AxisChunking, ChunkEntry, ContainerReader, Manifest, Meta, read_container
from pyqelm.pipeline import SourceOptions, read_cube
from pyqelm.tiling import parse_tiles, plan_tiles
from pyqelm.windowed import chunk_grid, decode_window, parse_range
from pyqelm.xarray_backend import QELMBackendEntrypoint
from conftest import IMPORT_ROOT, INSTALLED
from test_cli import TINY
from test_hostile_containers import claim_cube, rebuild, saved  # noqa: F401  (saved: a fixture)

TAS = "/usr/share/ncarg/data/nug/tas_rectilinear_grid_2D.nc"
BOUND = 0.5
ARGS = [*TINY, "--variable", "tas", "--max-error", str(BOUND)]
ENV = dict(os.environ, PYTHONPATH=IMPORT_ROOT)  # child interpreters import the pyqelm under test
WAIT = 300  # seconds any one process may take before the test gives up on it
# The cluster's command-line programs, run by this interpreter so that workers import the same pyqelm.
DASK = {name: [sys.executable, shutil.which(name)] for name in ("dask-scheduler", "dask-worker")}


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    with redirect_stdout(out), redirect_stderr(err):
        rc = cli.main([str(a) for a in argv])
    return rc, out.getvalue(), err.getvalue()


@pytest.fixture(scope="module")
def tas():
    cube, _ = read_cube(TAS, SourceOptions(variable="tas"))
    with netCDF4.Dataset(TAS) as ds:
        return cube, ds["lat"][:].data, ds["lon"][:].data


@pytest.fixture(scope="module")
def tiled(tmp_path_factory):
    """tas in 2 x 2 spatial tiles on a local cluster of two workers: (container, encode output)."""
    out = tmp_path_factory.mktemp("tiled") / "tas.qelm"
    rc, text, err = run("encode", TAS, out, "--tiles", ",48,96", "--workers", "2", *ARGS)
    assert rc == 0, err
    return out, text


def check_bound(container, cube):
    decoded, _ = decode_container(container)
    valid = np.isfinite(cube)
    assert decoded.shape == cube.shape and np.array_equal(np.isfinite(decoded), valid)
    assert np.abs(decoded - cube)[valid].max() <= BOUND
    return decoded


def saved_tiles(container):
    folder = f"{container}.tiles/tiles"
    return sorted(n for n in os.listdir(folder) if n.endswith(".json")) if os.path.isdir(folder) else []


def wait_for(condition, what, timeout=WAIT):
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            pytest.fail(f"gave up waiting for {what}")
        time.sleep(0.2)


@contextlib.contextmanager
def processes():
    """Start processes in their own sessions; every one is killed, with its children, on exit."""
    started = []

    def start(argv, log):
        with open(log, "w") as f:
            p = subprocess.Popen([str(a) for a in argv], env=ENV, cwd=log.parent, stdin=subprocess.DEVNULL,
                                 stdout=f, stderr=subprocess.STDOUT, start_new_session=True)
        started.append(p)
        return p

    try:
        yield start
    finally:
        for p in started:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(p.pid, signal.SIGKILL)
            p.wait(timeout=30)


# ---- the grid and windows --------------------------------------------------------------------

@pytest.mark.parametrize("text, sizes", [(",48,96", (None, 48, 96)), ("6", (6, None, None)),
                                         ("2,,5", (2, None, 5)), (" 3 , 4 , 5 ", (3, 4, 5))])
def test_tile_sizes(text, sizes):
    assert parse_tiles(text) == sizes


@pytest.mark.parametrize("text", ["0,4,4", ",-1", "a", "1,2,3,4"])
def test_bad_tile_sizes(text):
    with pytest.raises(ValueError, match="--tiles"):
        parse_tiles(text)


def test_plan_cuts_the_last_tile_short_and_names_every_chunk():
    plan = plan_tiles((12, 100, 30), (None, 48, 64))
    assert plan.counts == (1, 3, 1) and plan.sizes == (12, 48, 30)
    tiles = plan.tiles()
    assert [t.bounds["y"] for t in tiles] == [(0, 48), (48, 96), (96, 100)]
    manifest = plan.manifest({t.name: 10 for t in tiles})
    assert [c.file for c in manifest.chunks] == ["chunks/time0.y0.x0.qelmc", "chunks/time0.y1.x0.qelmc",
                                                 "chunks/time0.y2.x0.qelmc"]
    meta = Meta(shape=[12, 100, 30, 1])
    assert chunk_grid(meta, manifest).edges == {"time": [0, 12], "y": [0, 48, 96, 100], "x": [0, 30]}


@pytest.mark.parametrize("bounds, message", [
    ([((0, 4), (0, 4)), ((0, 4), (5, 8))], "expected to start at 4"),  # a gap
    ([((0, 4), (0, 4))], r"the only chunk spans x \[0, 4\), the cube \[0, 8\)"),  # the cube not covered
    ([((0, 4), (0, 4)), ((0, 3), (4, 8))], "different bounds"),  # rows cut differently
])
def test_chunk_grid_refuses_chunks_that_do_not_tile_the_cube(bounds, message):
    chunks = [ChunkEntry(id=[0, 0, i], bounds={"time": [0, 1], "y": list(y), "x": list(x)},
                         file=f"chunks/time0.y0.x{i}.qelmc", size_bytes=1) for i, (y, x) in enumerate(bounds)]
    manifest = Manifest(chunk_grid={"time": AxisChunking(n=1, size=1), "y": AxisChunking(n=1, size=4),
                                    "x": AxisChunking(n=2, size=4)}, chunks=chunks)
    with pytest.raises(ValueError, match=message):
        chunk_grid(Meta(shape=[1, 4, 8, 1]), manifest)


@pytest.mark.parametrize("text, value", [("2:5", slice(2, 5)), (":5", slice(None, 5)), ("-3:", slice(-3, None)),
                                         ("7", 7)])
def test_window_ranges(text, value):
    assert parse_range(text) == value


@pytest.mark.parametrize("ys", [np.arange(6) * -2.0 + 50, np.array([0.0, 1, 3, 6, 10, 15])])
def test_a_window_source_describes_its_window_as_decoders_derive_it(tmp_path, ys):
    from conftest import v2_store
    from pyqelm.encoder.streaming_sources import ZarrStreamingSource
    from pyqelm.encoder.window_source import WindowedSource
    from pyqelm.windowed import window_meta, window_source

    data = np.arange(4 * 6 * 8, dtype=np.float32).reshape(4, 6, 8)
    store = v2_store(tmp_path / "s.zarr", data)
    g = zarr.open_group(store)
    for name, values in (("y", ys), ("x", np.arange(8) * 0.5 + 10)):
        g.create_dataset(name, data=values).attrs["_ARRAY_DIMENSIONS"] = [name]
    base = ZarrStreamingSource(zarr_path=store, global_start_date="2020-01-01", global_end_date="2020-01-09")
    win = WindowedSource(base, time=(1, 3), y=(2, 5), x=(4, 8))
    np.testing.assert_array_equal(win.read_timesteps(np.array([1, 0]))[..., 0], data[[2, 1], 2:5, 4:8])
    full, part = base.build_meta_info(), win.build_meta_info()
    assert (part["height"], part["width"], part["timestamps"]) == (3, 4, full["timestamps"][1:3])
    assert part["t_norms"] == [0.125, 0.25]  # days 1 and 2 of the global span 2020-01-01 .. 2020-01-09
    bounds = {"time": (1, 3), "y": (2, 5), "x": (4, 8)}
    if "transform" in full:  # evenly spaced: the corner moves, encoder and decoder agree to the bit
        meta = Meta(shape=[4, 6, 8, 1], transform=full["transform"])
        assert part["transform"] == window_meta(meta, bounds).transform == [0.5, 0, 12.0 - 0.25, 0, -2.0, 47.0]
    else:  # unevenly spaced y: its stored values are cut to the window, and so is x
        from pyqelm.conventions import unpack_array

        assert unpack_array(part["coords"]["y"]["array"]).tolist() == [3.0, 6.0, 10.0]
        assert unpack_array(part["coords"]["x"]["array"]).tolist() == [12.0, 12.5, 13.0, 13.5]
        assert window_source(full, bounds)["coords"] == part["coords"]


# ---- real data in tiles -----------------------------------------------------------------------

def test_tiled_tas_decodes_within_the_bound_whole_and_by_window(tiled, tas, tmp_path):
    path, text = tiled
    cube, lat, lon = tas
    assert re.search(r"tiles +4: 1 x 2 x 2 grid of 12 x 48 x 96 .*4 trained by this run, 0 kept", text), text
    assert f"every valid value within {BOUND:g}" in text and not os.path.exists(f"{path}.tiles")  # folder gone
    contents = read_container(path)
    assert len(contents.chunks) == 4 and contents.meta.shape == [12, 96, 192, 1]
    whole = check_bound(path, cube)

    parts = [[decode_window(path, y=slice(y, y + 48), x=slice(x, x + 96))[0] for x in (0, 96)] for y in (0, 48)]
    np.testing.assert_array_equal(np.concatenate([np.concatenate(row, axis=2) for row in parts], axis=1), whole)
    # Any window, across borders too, decodes to the same bits as the whole.
    window, meta = decode_window(path, time=slice(3, 9), y=slice(40, 60), x=slice(90, 100))
    np.testing.assert_array_equal(window, whole[3:9, 40:60, 90:100])
    assert meta.shape == [6, 20, 10, 1] and meta.time.values == contents.meta.time.values[3:9]

    # The seams: a step across a border is off by at most twice the bound, measured against tas.
    seams = contents.meta.extras["seams"]
    band = seams["bands"][0]
    assert seams["axes"] == ["y", "x"] and band["pairs"] == 12 * 192 + 12 * 96
    assert 0 < band["max"] <= 2 * BOUND and 0 < band["interior_max"] <= 2 * BOUND and band["source_max_step"] > 0
    rc, shown, _ = run("inspect", path)
    assert rc == 0 and "chunk grid    time 1 x 12, y 2 x 48, x 2 x 96 (4 chunks" in shown
    assert re.search(rf"seams +across y, x borders.*\n  tas: largest {band['max']:.5g} ", shown)

    # A window through the command line, with the source's coordinates of that window.
    rc, _, err = run("decode", path, tmp_path / "part.zarr", "--y", "48:", "--x", ":96")
    assert rc == 0, err
    ds = xr.open_zarr(str(tmp_path / "part.zarr"))
    np.testing.assert_array_equal(ds["tas"].values, whole[:, 48:, :96, 0])
    np.testing.assert_array_equal(ds["lat"].values, lat[48:])  # Gaussian latitudes: stored values
    np.testing.assert_allclose(ds["lon"].values, lon[:96], atol=1e-9)
    assert ds["tas"].attrs["units"] == "K" and ds.sizes["time"] == 12


def test_xarray_opens_lazily_and_reads_only_the_chunks_selected(tiled, tas, monkeypatch):
    path, _ = tiled
    cube, lat, _ = tas
    reads = []
    read_chunk = ContainerReader.read_chunk
    monkeypatch.setattr(ContainerReader, "read_chunk", lambda self, e: reads.append(getattr(e, "file", e))
                        or read_chunk(self, e))
    # What the package registers for engine="qelm".
    engines = xr.backends.plugins.build_engines([EntryPoint(
        name="qelm", value="pyqelm.xarray_backend:QELMBackendEntrypoint", group="xarray.backends")])
    assert isinstance(engines["qelm"], QELMBackendEntrypoint)

    # The installed package registers the engine by name; a checkout passes the class.
    ds = xr.open_dataset(str(path), engine="qelm" if INSTALLED else QELMBackendEntrypoint)
    assert reads == [] and ds["tas"].dims == ("time", "lat", "lon") and ds["tas"].attrs["units"] == "K"
    np.testing.assert_array_equal(ds["lat"].values, lat)
    with netCDF4.Dataset(TAS) as nc:
        stamps = netCDF4.num2date(nc["time"][:], nc["time"].units, nc["time"].calendar,
                                  only_use_cftime_datetimes=False)
    assert ds["time"].values.astype("datetime64[s]").tolist() == [s.replace(microsecond=0) for s in stamps]
    tile = ds["tas"].isel(lat=slice(48, 96), lon=slice(0, 96)).values
    assert reads == ["chunks/time0.y1.x0.qelmc"]
    assert np.abs(tile - cube[:, 48:, :96, 0]).max() <= BOUND

    lazy = pyqelm.open_dataset(path)["tas"]
    assert lazy.chunks == ((12,), (48, 48), (96, 96))
    reads.clear()
    part = lazy.isel(time=slice(2, 4), lat=slice(0, 10), lon=slice(100, 110)).compute()
    assert reads == ["chunks/time0.y0.x1.qelmc"]
    window = decode_window(path, time=slice(2, 4), y=slice(0, 10), x=slice(100, 110))[0]
    np.testing.assert_array_equal(part.values, window[..., 0])


# ---- faults -------------------------------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_cluster_from_the_command_line_survives_a_killed_worker(tas, tmp_path):
    out = tmp_path / "tas.qelm"
    address = f"tcp://127.0.0.1:{free_port()}"
    with processes() as start:
        start([*DASK["dask-scheduler"], "--host", "127.0.0.1", "--port", address.rsplit(":", 1)[1],
               "--no-dashboard"], tmp_path / "scheduler.log")
        workers = [start([*DASK["dask-worker"], address, "--nthreads", "1", "--host", "127.0.0.1", "--no-dashboard",
                          "--local-directory", tmp_path, "--death-timeout", "60"], tmp_path / f"worker{i}.log")
                   for i in range(2)]
        encode = start([sys.executable, "-m", "pyqelm", "encode", TAS, out, "--tiles", ",48,96", "--scheduler",
                        address, *ARGS], tmp_path / "encode.log")
        wait_for(lambda: saved_tiles(out) or encode.poll() is not None, "the first tile")
        os.killpg(workers[1].pid, signal.SIGKILL)
        assert encode.wait(timeout=WAIT) == 0, (tmp_path / "encode.log").read_text()
    text = (tmp_path / "encode.log").read_text()
    assert "2 worker(s) of the cluster at" in text and "4 trained by this run" in text
    assert len(read_container(out).chunks) == 4
    check_bound(out, tas[0])


def test_interrupted_run_resumes_with_only_the_missing_tiles(tas, tmp_path):
    out = tmp_path / "tas.qelm"
    argv = ["encode", TAS, out, "--tiles", ",48,96", "--workers", "1", *ARGS]
    with processes() as start:
        encode = start([sys.executable, "-m", "pyqelm", *argv], tmp_path / "encode.log")
        wait_for(lambda: saved_tiles(out) or encode.poll() is not None, "the first tile")
        encode.send_signal(signal.SIGINT)
        assert encode.wait(timeout=WAIT) == 130, (tmp_path / "encode.log").read_text()
    assert "--resume" in (tmp_path / "encode.log").read_text() and not out.exists()
    kept = len(saved_tiles(out))
    assert 1 <= kept < 4

    rc, text, err = run(*argv)  # without --resume the kept tiles are not silently reused or dropped
    assert rc == 1 and "pass --resume to continue it or --force to start over" in err
    rc, text, err = run(*argv[:-len(ARGS) - 2], "--workers", "2", *ARGS, "--resume")  # workers do not shape tiles
    assert rc == 0, err
    assert "copying" not in text  # the NetCDF file's Zarr copy is kept for the resumed run
    assert f"{4 - kept} trained by this run, {kept} kept from the work folder" in text
    assert not os.path.exists(f"{out}.tiles")
    check_bound(out, tas[0])


def test_a_tile_with_bad_data_fails_the_run_and_names_it(tmp_path):
    store = str(tmp_path / "bad.zarr")
    g = zarr.open_group(store, mode="w")
    v = np.linspace(0, 1, 3 * 8 * 8, dtype=np.float32).reshape(3, 8, 8)
    a = g.create_dataset("v", data=v, chunks=(3, 4, 4), compressor=zarr.Blosc())
    a.attrs["_ARRAY_DIMENSIONS"] = ["time", "y", "x"]
    g.create_dataset("time", data=np.arange(3.0)).attrs.update(_ARRAY_DIMENSIONS=["time"],
                                                               units="days since 2000-01-01")
    chunk = os.path.join(store, "v", "0.1.0")
    data = open(chunk, "rb").read()
    open(chunk, "wb").write(data[:len(data) // 2])  # the chunk of rows 4-7, columns 0-3, truncated
    out = tmp_path / "bad.qelm"
    rc, _, err = run("encode", store, out, "--tiles", ",4,4", "--workers", "1", *TINY)
    assert rc == 1 and len(err.strip().splitlines()) == 1, err
    assert "tile y1.x0" not in err and re.search(r"tile time0\.y1\.x0 \(time 0:3, y 4:8, x 0:4\): .*truncated", err)
    assert not out.exists() and os.path.isdir(f"{out}.tiles")


def test_a_tile_without_valid_values_is_stored_as_no_data_untrained(tmp_path):
    from conftest import v2_store
    from pyqelm.cli import _encode_options, build_parser
    from pyqelm.tiling import TileTask, encode_tile
    from pyqelm.windowed import ChunkDecoder

    data = np.full((3, 8, 8), 5.0, dtype=np.float32)
    data[:, 4:, 4:] = np.nan
    store = v2_store(tmp_path / "s.zarr", data, chunks=(3, 4, 4))
    plan = plan_tiles((3, 8, 8), (None, 4, 4))
    opts = _encode_options(build_parser().parse_args(["encode", store, "x.qelm", *TINY, "--max-error", "0.1"]))
    result = encode_tile(TileTask(store, "v", plan.tiles()[3], plan.shape, opts))
    assert not result.trained and result.errors["n_valid"] == [0] and result.outliers == 0
    assert sorted(result.faces) == ["x_lo", "y_lo"] and np.isnan(result.faces["x_lo"][0]).all()
    assert len(result.blob) < 4096 and np.isnan(ChunkDecoder(result.blob, Meta.from_dict(result.meta)).decode()).all()


@pytest.mark.parametrize("argv, message", [
    (["--workers", "2"], "--workers, --scheduler and --resume go with --tiles"),
    (["--tiles", ",4", "--resume"], "nothing to resume"),
    (["--tiles", ",4", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], "--workers sizes a local cluster"),
    (["--tiles", ",4", "--chunk-blob"], "drop --chunk-blob"),
])
def test_tiled_option_errors(tmp_path, argv, message):
    rc, _, err = run("encode", TAS, tmp_path / "x.qelm", "--variable", "tas", *argv)
    assert rc in (1, 2) and message in err and len(err.strip().splitlines()) == 1, err


def test_a_work_folder_that_is_not_ours_is_left_alone(tmp_path):
    (tmp_path / "x.qelm.tiles").mkdir()
    (tmp_path / "x.qelm.tiles" / "notes.txt").write_text("mine")
    rc, _, err = run("encode", TAS, tmp_path / "x.qelm", "--tiles", ",48", "--force", *ARGS)
    assert rc == 1 and "is not a pyqelm work folder" in err
    assert (tmp_path / "x.qelm.tiles" / "notes.txt").read_text() == "mine"


@pytest.fixture(scope="module")
def one_chunk(tmp_path_factory):
    """{block size: (one-chunk container, its cube)} of a small random cube (5 x 7 x 11), with a
    residual track where the engine finds values to correct."""
    import torch

    from conftest import reference_compressor
    from pyqelm.utils.date_utils import normalize_time

    folder = tmp_path_factory.mktemp("units")
    vol = np.random.default_rng(0).random((5, 7, 11, 1)).astype(np.float32)
    nodata = np.zeros(vol.shape[:3], bool)
    nodata[:, 0, 0] = True
    stamps = [f"2021-01-{d + 1:02d}" for d in range(5)]
    out = {}
    for block in ((1, 1), (2, 3)):
        c = reference_compressor()
        c.volume, c.nodata_mask_vol = vol.copy(), nodata.copy()  # the engine changes both in place
        c.meta_info.update(height=7, width=11, n_bands=1, timestamps=stamps, t_norms=normalize_time(stamps))
        with redirect_stdout(io.StringIO()):
            c.prepare_training_data_optimized(block_size=block)
            torch.manual_seed(0)
            c.build_qelm_model(8, 4, 2, 1.5, 2, 8, 2, 2, 1.5, 2, 1.0, 8, 1, block_size=block)
            c.fit(epochs=1, batch_size=16)
            c.save_qelm(str(folder / f"b{block[0]}.qelm"), save_residuals=True, residual_threshold=0.01)
        rectified = folder / f"b{block[0]}-rectified.qelm"
        out[block] = (rectified if rectified.exists() else folder / f"b{block[0]}.qelm", vol)
    return out


# Frame batches of one frame (batch 1), of two (154 network rows, 77 to a frame), the default.
@pytest.mark.parametrize("batch", [1, 154, None])
@pytest.mark.parametrize("block", [(1, 1), (2, 3)])
def test_every_window_decodes_to_the_bits_of_the_whole(one_chunk, batch, block):
    path, vol = one_chunk[block]
    whole, _ = decode_window(path, batch=batch)
    valid = ~np.isnan(whole)
    assert valid.sum() == vol.size - 5
    rng = np.random.default_rng(batch or 0)
    for _ in range(12):
        lo = [int(rng.integers(0, n)) for n in vol.shape[:3]]
        hi = [int(rng.integers(a + 1, n + 1)) for a, n in zip(lo, vol.shape[:3])]
        part, meta = decode_window(path, *map(slice, lo, hi), batch=batch)
        np.testing.assert_array_equal(part, whole[lo[0]:hi[0], lo[1]:hi[1], lo[2]:hi[2]])
        assert meta.shape[:3] == [b - a for a, b in zip(lo, hi)]


# ---- hostile containers read by window --------------------------------------------------------

def test_a_window_is_held_to_the_claim_checks_and_the_memory_cap(saved, tmp_path):
    good = saved  # the hostile-container tests' small containers
    big = claim_cube(4, 8000, 8000)
    cases = [  # (container, window, max_memory, words of the refusal)
        (rebuild(good / "good.qelm", tmp_path / "a.qelm", **big), dict(time=0, y=slice(0, 2)), 1 << 40,
         r"mask of shape \(1, 6, 7\) does not fit the cube \(4, 8000, 8000\)"),
        # A small window of a chunk that claims a large cube: the chunk's own share (its pixels'
        # inputs) counts whatever the window.
        (rebuild(good / "nomask.qelm", tmp_path / "b.qelm", **big), dict(time=0, y=slice(0, 100), x=slice(0, 100)),
         256 << 20, r"a window of 1 x 100 x 100 x 1 values of this 4 x 8000 x 8000 x 1 cube needs about .* GiB"),
        (good / "good.qelm", dict(y=slice(0, 3)), 1024,
         r"a window of 4 x 3 x 7 x 1 values of this 4 x 6 x 7 x 1 cube needs about .* more than the 1.0 KiB"),
        (rebuild(good / "good-rectified.qelm", tmp_path / "c.qelm",
                 chunk_meta=lambda d: d["model_config"].update(n_bands=3, n_output_dims=3)), dict(x=slice(2, 4)),
         None, "the cube has 1 bands, the network predicts 3"),
    ]
    for path, window, max_memory, words in cases:
        with pytest.raises(ValueError, match=words):
            decode_window(path, max_memory=max_memory, **window)
    part, _ = decode_window(good / "good.qelm", y=slice(0, 3), max_memory=64 << 20)
    np.testing.assert_array_equal(part, decode_container(good / "good.qelm")[0][:, :3])
