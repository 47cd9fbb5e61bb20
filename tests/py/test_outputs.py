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

from conftest import IMPORT_ROOT, tiny_compressor, v2_store
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


class Shifted:
    """Decoded frames, each value moved by ``by``."""

    def __init__(self, frames, by):
        self.frames, self.by, self.shape = frames, by, frames.shape

    def __getitem__(self, key):
        return self.frames[key] + self.by


def test_force_replaces_a_store_and_an_encode_leaves_what_is_not_its_own(work, capsys, monkeypatch):
    container(work / "b.qelm", seed=5)
    assert cli.main(["decode", "b.qelm", "old.zarr", "--force"]) == 0
    assert not any(".pyqelm-" in n for n in os.listdir(work))
    np.testing.assert_array_equal(xr.open_zarr("old.zarr")["data"].values, decode_file("b.qelm")[..., 0])
    # A "-rectified" file left by an earlier version beside the output belongs to another run.
    (work / "other-rectified.qelm").write_text("not a container")
    container(work / "out-rectified.qelm", seed=3)
    before = tree(work)
    # A fault between the engine's measurement and the decoder's output: exit 3, nothing written.
    real = pipeline._decode_staged
    monkeypatch.setattr(pipeline, "_decode_staged", lambda path: Shifted(real(path), np.float32(0.5)))
    assert cli.main(["encode", "src.zarr", "out.qelm", "--max-error", "0.1", *TINY]) == cli.EXIT_BOUND
    assert "VIOLATED" in capsys.readouterr().err and tree(work) == before
    monkeypatch.setattr(pipeline, "_decode_staged", real)
    assert cli.main(["encode", "src.zarr", "out.qelm", "--max-error", "100", *TINY]) == 0
    assert "out-rectified.qelm is from an earlier run" in capsys.readouterr().out
    for name, removed in (("out", True), ("other", False)):  # with --force: only a container goes
        assert (work / f"{name}-rectified.qelm").exists()
        said = pipeline.stale_sibling(str(work / f"{name}.qelm"), [], force=True)
        assert (work / f"{name}-rectified.qelm").exists() != removed and ("removed" in said[0]) == removed


# ---- interrupted and killed runs (each in a child process) --------------------------------------

def in_child(call, *args, scratch=None):
    """Runs ``test_outputs.<call>(*args)`` in a fresh interpreter (temporary files in
    ``scratch``); returns the finished process."""
    code = (f"import sys; sys.path[:0] = [{IMPORT_ROOT!r}, {os.path.dirname(__file__)!r}]; import pyqelm, test_outputs; "
            f"sys.exit(test_outputs.{call}(*{args!r}))")
    env = dict(os.environ, PYTHONPATH=IMPORT_ROOT)
    if scratch is not None:
        env.update(PYQELM_TMPDIR=str(scratch), TMPDIR=str(scratch))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=180, env=env)


def stop_after(owner, name, sig=signal.SIGKILL, when=lambda *a, **k: True, static=False):
    """Make ``owner.name`` send ``sig`` to this process right after a call for which ``when``
    holds (in a child process)."""
    real = getattr(owner, name)

    def wrapped(*a, **k):
        out = real(*a, **k)
        if when(*a, **k):
            os.kill(os.getpid(), sig)
        return out
    setattr(owner, name, staticmethod(wrapped) if static else wrapped)


def decode_stopped(container_path, store, point):
    """decode --force stopped once the new store is written but not in place (SIGTERM or
    SIGKILL), or killed just after it was exchanged with the old one (or, where the file system
    cannot exchange, after the old one was moved aside)."""
    from pyqelm import export

    if point in ("written", "terminated"):
        stop_after(export, "_write_store", signal.SIGTERM if point == "terminated" else signal.SIGKILL)
    elif point == "exchanged":
        stop_after(outputs, "_renameat2", when=lambda src, dst, flags: flags == outputs._RENAME_EXCHANGE)
    else:
        def no_exchange(src, dst, flags):
            raise OSError(outputs.errno.ENOSYS, "not here")
        outputs._renameat2 = no_exchange
        stop_after(outputs.os, "rename")
    return cli.main(["decode", container_path, store, "--force"])


@pytest.mark.parametrize("point", ["terminated", "written", "exchanged", "moved aside"])
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
        np.testing.assert_array_equal(xr.open_zarr(str(work / "old.zarr"))["data"].values,
                                      decode_file(str(work / "b.qelm"))[..., 0])
    else:
        assert tree(work / "old.zarr") == old


def encode_stopped(point, *argv):
    """encode --force stopped during training (SIGTERM or SIGKILL), or killed once the engine
    wrote its first container, once the result was checked, or after the network-only file
    was moved into place but before the output was."""
    import tqdm
    from pyqelm import verification
    from pyqelm.format import container as fmt

    if point in ("terminated", "training"):
        stop_after(tqdm.tqdm, "__init__", signal.SIGTERM if point == "terminated" else signal.SIGKILL,
                   when=lambda self, *a, **k: str(k.get("desc", "")).startswith("Training"))
    elif point == "saving":
        stop_after(fmt, "_write_atomic")
    elif point == "checked":
        stop_after(verification, "measure")
    else:
        stop_after(outputs.Commit, "_place", static=True)
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
    host = outputs._host()
    kept = [f".c.qelm.pyqelm-new-{host}-{os.getpid()}-0123abcd",  # ours while we run
            f".d.qelm.pyqelm-new-{host}-{dead}-nothex12",  # not named by us
            f".e.qelm.pyqelm-new-{host}x-{dead}-0123abcd",  # of another machine sharing the folder
            "f.zarr"]  # the user's
    for name in [f".a.zarr.pyqelm-new-{host}-{dead}-0123abcd", f".b.zarr.pyqelm-old-{host}-{dead}-0123abcd"] + kept:
        (tmp_path / name).mkdir()
    swept = outputs.sweep(str(tmp_path))
    assert sorted(swept) == [f".a.zarr.pyqelm-new-{host}-{dead}-0123abcd", f".b.zarr.pyqelm-old-{host}-{dead}-0123abcd"]
    assert sorted(os.listdir(tmp_path)) == sorted(kept + ["b.zarr"])  # the moved store is back


def test_hangup_raises_like_an_interrupt_but_waits_for_a_commit_to_end():
    before = signal.getsignal(signal.SIGHUP)
    with pytest.raises(outputs.Interrupted) as stopped:
        with outputs.signals_raise(), outputs._critical():
            os.kill(os.getpid(), signal.SIGHUP)
            for _ in range(1000):  # the handler runs between bytecodes: it only takes note here
                pass
            done = True
    assert done and stopped.value.signum == signal.SIGHUP and signal.getsignal(signal.SIGHUP) == before


def test_chunk_blob_metadata_of_another_run_is_refused(tmp_path):
    from pyqelm.format import Meta

    meta = Meta(shape=[T, H, W, 1], time={"values": ["2021-01-01", "2021-01-02", "2021-01-03"]})
    pipeline.write_meta_sidecar(str(tmp_path / "m.json"), meta, blob=b"blob of one run")
    assert pipeline.read_meta_sidecar(str(tmp_path / "m.json"), b"blob of one run").shape == [T, H, W, 1]
    with pytest.raises(ValueError, match="describes another chunk blob"):
        pipeline.read_meta_sidecar(str(tmp_path / "m.json"), b"blob of another")


def test_compare_outputs_replace_only_what_compare_wrote(tmp_path):
    """The plot, the table and the work folder of compare: new names are written; an existing
    file is replaced only with force and only when it is of the same kind; a work folder is new,
    empty or marked by an earlier compare."""
    png = b"\x89PNG\r\n\x1a\n" + b"x" * 10
    table = b'{\n  "pyqelm_compare": 1}\n'
    for kind, own, foreign in (("plot", png, b"my notes"), ("table", table, b'{"source": 1}')):
        target = tmp_path / f"out.{kind}"
        outputs.write_bytes(target, own, kind)
        with pytest.raises(outputs.OutputRefused, match="--force"):
            outputs.write_bytes(target, own, kind)
        outputs.write_bytes(target, own + b" ", kind, force=True)
        assert target.read_bytes() == own + b" "
        target.write_bytes(foreign)
        with pytest.raises(outputs.OutputRefused, match="replaces only"):
            outputs.write_bytes(target, own, kind, force=True)
        assert target.read_bytes() == foreign
    assert sorted(os.listdir(tmp_path)) == ["out.plot", "out.table"]  # no staging left

    work = outputs.work_folder(tmp_path / "w")
    outputs.write_bytes(os.path.join(work, "a.zfp"), b"1", "work", force=True)
    assert outputs.work_folder(tmp_path / "w") == work  # an earlier compare's folder is reused
    outputs.write_bytes(os.path.join(work, "a.zfp"), b"2", "work", force=True)
    mine = tmp_path / "mine"
    mine.mkdir()
    (mine / "thesis.tex").write_text("keep")
    with pytest.raises(outputs.OutputRefused, match="did not write"):
        outputs.work_folder(mine)
    assert os.listdir(mine) == ["thesis.tex"]
