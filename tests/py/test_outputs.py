"""Outputs never destroy what this tool did not write: names that would are refused before any
work, replacing is allowed only for a previous output of the same kind, every output is built
under a staging name and moved into place whole, and an interrupted or killed run leaves the
previous outputs byte for byte (what a killed run leaves is swept by the next)."""
import hashlib
import os
import signal
import subprocess
import sys

import netCDF4
import numpy as np
import pytest
import xarray as xr

from conftest import ROOT, tiny_compressor, v2_store
from pyqelm import cli, outputs, pipeline
from pyqelm.verification import decode_file

T, H, W = 3, 6, 5
TINY = ["--preset", "tiny", "--xy-hash-size", "8", "--t-hash-size", "8", "--epochs", "1", "--batch-size", "16",
        "--backend", "reference", "--device", "cpu", "--precision", "float32", "-q"]


def tree(folder):
    """{relative path: sha256} of every file below ``folder`` (staging entries included)."""
    out = {}
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            out[os.path.relpath(path, folder)] = hashlib.sha256(open(path, "rb").read()).hexdigest()
    return out


def container(path, seed=0):
    """A valid one-chunk container, written by the library without training."""
    rng = np.random.default_rng(seed)
    c = tiny_compressor(rng.random((T, H, W, 1)).astype(np.float32), np.zeros((T, H, W), bool))
    c.fit(epochs=0, batch_size=16)
    c.save_qelm(str(path))
    return str(path)


@pytest.fixture
def work(tmp_path, monkeypatch):
    """A project folder with an input container, a source store, a decoded store and a file of
    the user's own; the working directory is the project folder."""
    proj = tmp_path / "proj"
    (proj / "in").mkdir(parents=True)
    (proj / "notes.txt").write_text("the user's own")
    container(proj / "in" / "a.qelm")
    container(tmp_path / "elsewhere.qelm", seed=4)
    v2_store(proj / "src.zarr", np.random.default_rng(1).random((T, H, W)).astype("f4"), chunks=(1, H, W))
    assert cli.main(["decode", str(proj / "in" / "a.qelm"), str(proj / "old.zarr")]) == 0
    monkeypatch.chdir(proj)
    return proj


REFUSED = {
    # command line (run in the project folder), words of the one-line refusal
    "decode to an empty name": (["decode", "in/a.qelm", ""], "the output name is empty"),
    "decode over the working directory": (["decode", "../elsewhere.qelm", ".", "--force"],
                                          "is the working directory or holds it"),
    "decode over the parent folder": (["decode", "in/a.qelm", "..", "--force"], "holds the input"),
    "decode over the input": (["decode", "in/a.qelm", "in/a.qelm", "--force"], "is the input itself"),
    "decode over the input's folder": (["decode", "in/a.qelm", "in", "--force"], "holds the input"),
    "decode over a project folder": (["decode", "../elsewhere.qelm", "../proj", "--force"],
                                     "is the working directory or holds it"),
    "decode over a folder that is no store": (["decode", "in/a.qelm", "plain", "--force"], "not a Zarr store"),
    "decode over an array of a store": (["decode", "in/a.qelm", "src.zarr/v", "--force"],
                                        "is part of the Zarr store"),
    "decode over a store holding other files": (["decode", "in/a.qelm", "mixed.zarr", "--force"],
                                                "holds 'notes.txt', which is not part of a Zarr store"),
    "decode over a store without --force": (["decode", "in/a.qelm", "old.zarr"], "exists; pass --force"),
    "decode to a NetCDF name": (["decode", "in/a.qelm", "out.nc"], "not a .nc file: name OUTPUT with .zarr"),
    "encode to an empty name": (["encode", "src.zarr", "", *TINY], "the output name is empty"),
    "encode over the source": (["encode", "src.zarr", "src.zarr", "--force", *TINY], "is the input itself"),
    "encode over a file of the user's": (["encode", "src.zarr", "notes.qelm", "--force", *TINY],
                                         "it is not a .qelm container"),
    "encode over a folder": (["encode", "src.zarr", "dir.qelm", "--force", *TINY], "is a folder"),
    "encode a blob over foreign metadata": (["encode", "src.zarr", "b.qelmc", "--chunk-blob", "--force", *TINY],
                                            "b.qelmc.meta.json exists and it is not the metadata file"),
    "network file over the output": (["encode", "src.zarr", "n.qelm", "--max-error", "1", "--network-output",
                                      "n.qelm", *TINY], "must name another file than OUTPUT"),
}


@pytest.mark.parametrize("case", sorted(REFUSED))
def test_output_that_would_destroy_something_is_refused_and_nothing_is_lost(work, capsys, case):
    argv, words = REFUSED[case]
    (work / "plain").mkdir()
    (work / "plain" / "data.csv").write_text("1,2")
    (work / "mixed.zarr").mkdir()
    (work / "mixed.zarr" / ".zgroup").write_text('{"zarr_format": 2}')
    (work / "mixed.zarr" / "notes.txt").write_text("mine")
    (work / "notes.qelm").write_text("not a container")
    (work / "dir.qelm").mkdir()
    (work / "b.qelmc").write_bytes(b"QLMC")
    (work / "b.qelmc.meta.json").write_text("[]")
    before = tree(work.parent)
    assert cli.main(argv) == cli.EXIT_FAILURE
    err = capsys.readouterr().err
    assert words in err and len(err.strip().splitlines()) == 1, err
    assert tree(work.parent) == before


def test_force_replaces_a_store_and_a_stale_rectified_sibling_only_with_force(work, capsys):
    container(work / "b.qelm", seed=5)
    assert cli.main(["decode", "b.qelm", "old.zarr", "--force"]) == 0
    assert not any(".pyqelm-" in n for n in os.listdir(work))
    np.testing.assert_array_equal(xr.open_zarr("old.zarr")["data"].values, decode_file("b.qelm")[..., 0])
    # A "-rectified" file left by an earlier version beside the output belongs to another run.
    rect = work / "out-rectified.qelm"
    container(rect, seed=3)
    capsys.readouterr()
    assert cli.main(["encode", "src.zarr", "out.qelm", "--max-error", "100", *TINY]) == 0
    assert rect.exists() and "out-rectified.qelm is from an earlier run" in capsys.readouterr().out
    (work / "other-rectified.qelm").write_text("not a container")
    for name, removed in (("out", True), ("other", False)):
        said = pipeline.stale_sibling(str(work / f"{name}.qelm"), [], force=True)
        assert (work / f"{name}-rectified.qelm").exists() != removed and ("removed" in said[0]) == removed


def test_bound_violation_found_after_encoding_exits_3_and_writes_nothing(work, capsys, monkeypatch):
    old = container(work / "out.qelm", seed=7)
    before = tree(work)
    # Stands for any fault between the engine's measurement and the decoder's output.
    monkeypatch.setattr(pipeline, "_decode_staged", lambda path: decode_file(path) + np.float32(0.5))
    rc = cli.main(["encode", "src.zarr", old, "--max-error", "0.1", "--force", *TINY])
    err = capsys.readouterr().err
    assert rc == cli.EXIT_BOUND and "VIOLATED" in err and "nothing was written" in err
    assert tree(work) == before


# ---- interrupted and killed runs (each in a child process) --------------------------------------

def in_child(call, *args, scratch=None):
    """Runs ``test_outputs.<call>(*args)`` in a fresh interpreter (temporary files in
    ``scratch``); returns the finished process."""
    code = (f"import sys; sys.path[:0] = [{ROOT!r}, {os.path.dirname(__file__)!r}]; import pyqelm, test_outputs; "
            f"sys.exit(test_outputs.{call}(*{args!r}))")
    env = dict(os.environ, PYTHONPATH=ROOT)
    if scratch is not None:
        env.update(PYQELM_TMPDIR=str(scratch), TMPDIR=str(scratch))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=180, env=env)


def _kill(sig=signal.SIGKILL):
    os.kill(os.getpid(), sig)


def decode_stopped(container_path, store, point):
    """decode --force stopped at ``point``: while writing (SIGTERM or SIGKILL), or killed just
    after the new store was exchanged with the old one (or, where the file system cannot
    exchange, after the old one was moved aside)."""
    from pyqelm import export

    if point in ("writing", "terminated"):
        real = export._write_store

        def write(cube, meta, source, path):
            real(cube[:1], meta, source, path)  # part of a store on disk
            _kill(signal.SIGTERM if point == "terminated" else signal.SIGKILL)
            real(cube, meta, source, path)
        export._write_store = write
    elif point == "exchanged":
        real = outputs._renameat2

        def rename(src, dst, flags):
            real(src, dst, flags)
            if flags == outputs._RENAME_EXCHANGE:
                _kill()
        outputs._renameat2 = rename
    elif point == "moved aside":
        def no_exchange(src, dst, flags):
            raise OSError(outputs.errno.ENOSYS, "not here")
        real_rename = os.rename

        def rename(src, dst):
            real_rename(src, dst)
            _kill()
        outputs._renameat2, outputs.os.rename = no_exchange, rename
    return cli.main(["decode", container_path, store, "--force"])


@pytest.mark.parametrize("point", ["terminated", "writing", "exchanged", "moved aside"])
def test_stopped_decode_leaves_a_whole_store_and_no_leftovers_once_swept(work, point):
    container(work / "b.qelm", seed=9)
    old = tree(work / "old.zarr")
    r = in_child("decode_stopped", str(work / "b.qelm"), str(work / "old.zarr"), point)
    assert r.returncode == (143 if point == "terminated" else -signal.SIGKILL), r.stderr
    left = [n for n in os.listdir(work) if ".pyqelm-" in n]
    if point == "terminated":
        assert "pyqelm: terminated (SIGTERM)" in r.stderr and left == []
    else:  # a killed run cannot clean up; what it leaves is named as ours and swept next time
        # moved aside: the new store not yet in place, the old one beside it under our name
        assert len(left) == (2 if point == "moved aside" else 1) and sorted(outputs.sweep(str(work))) == sorted(left)
    assert not any(".pyqelm-" in n for n in os.listdir(work))
    if point == "exchanged":  # the new store was whole before the old one was let go
        assert tree(work / "old.zarr") != old
        np.testing.assert_array_equal(xr.open_zarr(str(work / "old.zarr"))["data"].values,
                                      decode_file(str(work / "b.qelm"))[..., 0])
    else:
        assert tree(work / "old.zarr") == old


def encode_stopped(point, *argv):
    """encode --force stopped by a signal at ``point``: during training, while the engine writes
    its containers, once the result was checked (before it is moved into place), or after the
    network-only file was moved into place but before the output was."""
    import tqdm
    from pyqelm.format import container as fmt

    sig = signal.SIGTERM if point == "terminated" else signal.SIGKILL
    if point in ("terminated", "training"):
        real_init = tqdm.tqdm.__init__

        def init(self, *a, **k):
            real_init(self, *a, **k)
            if str(k.get("desc", "")).startswith("Training"):
                _kill(sig)
        tqdm.tqdm.__init__ = init
    elif point == "saving":
        real_write = fmt._write_atomic

        def write(path, fill):
            open(path, "wb").write(b"PK\x03\x04 half a container")
            _kill()
            return real_write(path, fill)
        fmt._write_atomic = write
    elif point == "checked":
        outputs.Commit.commit = lambda self: _kill()
    elif point == "between moves":
        real_place = outputs.Commit._place

        def place(path, target, kind):
            real_place(path, target, kind)
            _kill()
        outputs.Commit._place = staticmethod(place)
    return cli.main(list(argv))


@pytest.fixture(scope="module")
def nc_source(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("nc") / "v.nc")
    with netCDF4.Dataset(path, "w") as ds:
        for name, n in (("time", T), ("y", H), ("x", W)):
            ds.createDimension(name, n)
        ds.createVariable("time", "f8", ("time",)).units = "days since 2000-01-01"
        ds["time"][:] = np.arange(T)
        ds.createVariable("v", "f4", ("time", "y", "x"))[:] = np.random.default_rng(2).random((T, H, W))
    return path


@pytest.mark.parametrize("point", ["terminated", "training", "saving", "checked", "between moves"])
def test_stopped_encode_keeps_the_previous_outputs_byte_for_byte(work, nc_source, tmp_path, point):
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    out, net = container(work / "out.qelm", seed=11), container(work / "out-network.qelm", seed=12)
    before = tree(work)
    argv = ["encode", nc_source, out, "--max-error", "0.01", "--network-output", net, "--force", *TINY]
    r = in_child("encode_stopped", point, *argv, scratch=scratch)
    if point == "terminated":
        assert r.returncode == 128 + signal.SIGTERM and "terminated (SIGTERM)" in r.stderr, r.stderr
        assert tree(work) == before and list(scratch.iterdir()) == []  # the NetCDF copy went too
        return
    assert r.returncode == -signal.SIGKILL, r.stderr
    outputs.sweep(str(work))
    outputs.sweep_pattern(str(scratch), r"^pyqelm-nc-(?P<pid>\d+)-\w+$")  # what the next run sweeps
    assert list(scratch.iterdir()) == []
    after = tree(work)
    if point == "between moves":  # the network file is the new one, the output still the old
        assert after.keys() == before.keys() and after["out.qelm"] == before["out.qelm"]
        assert after["out-network.qelm"] != before["out-network.qelm"]
        decode_file(net)  # whole
    else:
        assert after == before


def test_sweep_takes_only_entries_of_dead_runs_and_puts_a_moved_store_back(tmp_path):
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True,
                          text=True).stdout.strip()
    for name in (f".a.zarr.pyqelm-new-{dead}-0123abcd", f".b.zarr.pyqelm-old-{dead}-0123abcd",
                 f".c.qelm.pyqelm-new-{os.getpid()}-0123abcd", f".d.qelm.pyqelm-new-{dead}-nothex12", "e.zarr"):
        (tmp_path / name).mkdir()
    swept = outputs.sweep(str(tmp_path))
    assert sorted(swept) == [f".a.zarr.pyqelm-new-{dead}-0123abcd", f".b.zarr.pyqelm-old-{dead}-0123abcd"]
    # ours while we run, not named by us, the user's, and the store put back where it was
    assert sorted(os.listdir(tmp_path)) == sorted([f".c.qelm.pyqelm-new-{os.getpid()}-0123abcd",
                                                   f".d.qelm.pyqelm-new-{dead}-nothex12", "b.zarr", "e.zarr"])


def test_hangup_raises_like_an_interrupt_and_handlers_come_back():
    before = signal.getsignal(signal.SIGHUP)
    with pytest.raises(outputs.Interrupted) as stopped:
        with outputs.signals_raise():
            os.kill(os.getpid(), signal.SIGHUP)
            for _ in range(1000):  # the handler runs between bytecodes of the main thread
                pass
    assert stopped.value.signum == signal.SIGHUP and signal.getsignal(signal.SIGHUP) == before


def test_signal_during_a_commit_waits_for_its_end():
    with pytest.raises(outputs.Interrupted) as stopped:
        with outputs._critical():
            outputs.interrupt(signal.SIGTERM)  # what the handler does: nothing yet
            done = True
    assert done and stopped.value.signum == signal.SIGTERM
    with pytest.raises(outputs.Interrupted):
        outputs.interrupt(signal.SIGHUP)  # outside a commit: at once


def test_chunk_blob_metadata_of_another_run_is_refused(tmp_path):
    from pyqelm.format import Meta

    meta = Meta(shape=[T, H, W, 1], time={"values": ["2021-01-01", "2021-01-02", "2021-01-03"]})
    pipeline.write_meta_sidecar(str(tmp_path / "m.json"), meta, blob=b"blob of one run")
    assert pipeline.read_meta_sidecar(str(tmp_path / "m.json"), b"blob of one run").shape == [T, H, W, 1]
    with pytest.raises(ValueError, match="describes another chunk blob"):
        pipeline.read_meta_sidecar(str(tmp_path / "m.json"), b"blob of another")
