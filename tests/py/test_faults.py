"""Faults during a run: a disk that fills while saving, a network or progress bar that raises,
and a user interrupt. Each ends the run with the error, no thread left running, no temporary
file and the previous output untouched."""
import json
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import torch
import tqdm
import zarr

from pyqelm.utils.date_utils import normalize_time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
T, H, W = 3, 6, 5
STAMPS = ["2021-01-01", "2021-01-02", "2021-01-03"]
NET = (8, 4, 2, 1.5, 2, 8, 2, 2, 1.5, 2, 1.0, 8, 1)


def task_count():
    return len(os.listdir("/proc/self/task"))


class Faulty(torch.nn.Module):
    """A small coordinate network that raises ``error`` on its ``at``-th forward call."""

    def __init__(self, error=None, at=None):
        super().__init__()
        self.mlp = torch.nn.Sequential(torch.nn.Linear(3, 16), torch.nn.ReLU(), torch.nn.Linear(16, 1))
        self.ref_t_for_deformation = -1.0
        self.error, self.at, self.calls = error, at, 0

    def forward(self, x):
        self.calls += 1
        if self.calls == self.at:
            raise self.error
        return self.mlp(x), None


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    """Every temporary directory the run could use points into one empty folder."""
    folder = tmp_path / "scratch"
    folder.mkdir()
    for name in ("PYQELM_TMPDIR", "TMPDIR"):
        monkeypatch.setenv(name, str(folder))
    import tempfile

    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


_WARMED = []


@pytest.fixture(autouse=True)
def warm_threads(ref_compressor, monkeypatch, capsys):
    """Pools that start on first use (the tensor library's worker threads) are started before a
    test counts threads; tqdm's monitor thread is kept from starting at all."""
    monkeypatch.setattr(tqdm.tqdm, "monitor_interval", 0)
    if _WARMED:
        return
    _WARMED.append(True)
    c = prepared(ref_compressor)
    c.model = Faulty()
    for threshold in ("1000", "0"):
        monkeypatch.setenv("PYQELM_STREAM_THRESHOLD_GB", threshold)
        c.fit(epochs=1, batch_size=16)
    monkeypatch.delenv("PYQELM_STREAM_THRESHOLD_GB")
    capsys.readouterr()


def encode_args(folder, out, epochs):
    """A command line encoding a small Zarr store written into ``folder`` with a tiny network."""
    g = zarr.open_group(str(folder / "in.zarr"), mode="w")
    a = g.create_dataset("v", data=np.random.default_rng(0).random((T, H, W)).astype("f4"), chunks=(1, H, W))
    a.attrs["_ARRAY_DIMENSIONS"] = ["time", "y", "x"]
    t = g.create_dataset("time", data=np.arange(T))
    t.attrs.update({"_ARRAY_DIMENSIONS": ["time"], "units": "days since 2020-01-01"})
    return ["encode", str(folder / "in.zarr"), str(out), "--preset", "tiny", "--xy-hash-size", "8", "--t-hash-size",
            "8", "--epochs", epochs, "--batch-size", "16", "--backend", "reference", "--device", "cpu",
            "--precision", "float32", "-q"]


def prepared(ref_compressor):
    c = ref_compressor()
    rng = np.random.default_rng(0)
    c.volume = rng.random((T, H, W, 1)).astype(np.float32)
    c.nodata_mask_vol = rng.random((T, H, W)) < 0.1
    c.meta_info.update(height=H, width=W, n_bands=1, timestamps=STAMPS, t_norms=normalize_time(STAMPS))
    c.prepare_training_data_optimized()
    return c


# ---- failures and interrupts during training ---------------------------------------------------

@pytest.mark.parametrize("mode", ["in-memory", "threaded"])
@pytest.mark.parametrize("where", ["network", "progress bar"])
@pytest.mark.parametrize("error", [KeyboardInterrupt, RuntimeError])
def test_training_ends_cleanly_when_interrupted_or_failing(ref_compressor, scratch, monkeypatch, capsys,
                                                           mode, where, error):
    monkeypatch.setenv("PYQELM_STREAM_THRESHOLD_GB", "0" if mode == "threaded" else "1000")
    c = prepared(ref_compressor)
    exc = error("stopped part-way")
    c.model = Faulty(exc, at=12) if where == "network" else Faulty()
    real_update = tqdm.tqdm.update
    if where == "progress bar":
        updates = []

        def update(self, n=1):
            updates.append(n)
            if len(updates) == 5:
                raise exc
            return real_update(self, n)
        monkeypatch.setattr(tqdm.tqdm, "update", update)
    threads, tasks = set(threading.enumerate()), task_count()
    t0 = time.monotonic()
    with pytest.raises(error, match="stopped part-way"):
        c.fit(epochs=50, batch_size=16)
    assert time.monotonic() - t0 < 10
    out = capsys.readouterr().out
    assert "Training Done." not in out
    assert ("[Mode: Threaded Streaming]" in out) == (mode == "threaded")
    # the producer thread is stopped and joined before the error reaches the caller
    assert set(threading.enumerate()) == threads and task_count() == tasks
    assert list(scratch.iterdir()) == []
    # the compressor is still usable: the same model trains to the end once the fault is gone
    calls = c.model.calls
    c.model.at = None
    monkeypatch.setattr(tqdm.tqdm, "update", real_update)
    assert c.fit(epochs=1, batch_size=16) is True
    assert c.model.calls > calls and task_count() == tasks


INTERRUPTED_ENCODE = r"""
import os, signal, sys, threading
sys.path.insert(0, sys.argv[1])
from pyqelm import cli
# A background job of a non-interactive shell starts with Ctrl-C ignored; the test needs it live.
signal.signal(signal.SIGINT, signal.default_int_handler)
# The interrupt arrives from another thread once training has begun, as Ctrl-C would.
import tqdm
real_init = tqdm.tqdm.__init__
def init(self, *a, **k):
    real_init(self, *a, **k)
    if str(k.get("desc", "")).startswith("Training"):
        threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
tqdm.tqdm.__init__ = init
sys.exit(cli.main(sys.argv[2:]))
"""


def test_interrupted_encode_leaves_no_output_and_no_temporary_file(tmp_path):
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    env = dict(os.environ, PYQELM_TMPDIR=str(scratch), TMPDIR=str(scratch), PYTHONPATH=ROOT)
    args = encode_args(tmp_path, out_dir / "v.qelm", "100000") + ["--max-error", "0.01"]
    r = subprocess.run([sys.executable, "-c", INTERRUPTED_ENCODE, ROOT, *args], capture_output=True, text=True,
                       env=env, timeout=120)
    assert r.returncode == 130, r.stderr
    assert r.stderr.strip().splitlines()[-1] == "pyqelm: interrupted"
    assert list(out_dir.iterdir()) == [] and list(scratch.iterdir()) == []


# ---- a disk that fills while saving ------------------------------------------------------------

DISK_FULL = r"""
import json, os, resource, signal, sys
sys.path.insert(0, sys.argv[1])
import numpy as np, torch
import pyqelm
from pyqelm.encoder import tcnn_compressor as tc
from pyqelm.utils.date_utils import normalize_time
folder, pair = sys.argv[2], sys.argv[3] == "pair"
stamps = ["2021-01-01", "2021-01-02"]
shape = (2, 24, 24, 1) if pair else (2, 6, 5, 1)
c = tc.QELMCompressor._with_reference_backend(device="cpu", train_dtype="float32")
c.volume = np.random.default_rng(0).random(shape).astype(np.float32)
c.nodata_mask_vol = np.zeros(shape[:3], bool)
c.meta_info.update(height=shape[1], width=shape[2], n_bands=1, timestamps=stamps, t_norms=normalize_time(stamps))
c.prepare_training_data_optimized()
torch.manual_seed(0)
c.build_qelm_model(8, 4, 2, 1.5, 2, 8, 2, 2, 1.5, 2, 1.0, 8, 1)
c.fit(epochs=0, batch_size=16)
path = lambda n: os.path.join(folder, n)
# A pair: the standard file and the rectified one with every value corrected.
residuals = dict(save_residuals=True, residual_threshold=0.0) if pair else {}
c.save_qelm(path("out.qelm"), **residuals)
if not pair:
    c.save_chunk_blob(path("out.qelmc"))
import hashlib
before = {n: hashlib.sha256(open(path(n), "rb").read()).hexdigest() for n in os.listdir(folder)}
sizes = {n: os.path.getsize(path(n)) for n in os.listdir(folder)}
if pair:
    c.fit(epochs=1, batch_size=64)  # new weights, so a completed save would change both files
    # room for a standard file, not for a rectified one: the disk fills on the second file
    limit = sizes["out.qelm"] + (sizes["out-rectified.qelm"] - sizes["out.qelm"]) // 2
    calls = [("save_qelm", lambda: c.save_qelm(path("out.qelm"), **residuals))]
else:
    limit = min(sizes.values()) // 2  # no file may grow past half the smallest output
    calls = [("save_qelm", lambda: c.save_qelm(path("out.qelm"), quantization_bit=8)),
             ("save_chunk_blob", lambda: c.save_chunk_blob(path("out.qelmc"), quantization_bit=8))]
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
results = {}
for name, call in calls:
    try:
        call()
        results[name] = "saved"
    except OSError as e:
        results[name] = [e.errno, e.strerror]
print("RESULT " + json.dumps({"before": before, "results": results}))
"""


@pytest.mark.parametrize("case,files", [("single", ["out.qelm", "out.qelmc"]),
                                        ("pair", ["out-rectified.qelm", "out.qelm"])])
def test_full_disk_during_save_keeps_the_previous_files(tmp_path, case, files):
    import errno
    import hashlib

    out = tmp_path / "out"
    out.mkdir()
    env = dict(os.environ, PYTHONPATH=ROOT, TMPDIR=str(tmp_path))
    r = subprocess.run([sys.executable, "-c", DISK_FULL, ROOT, str(out), case], capture_output=True, text=True,
                       env=env, timeout=120)
    assert r.returncode == 0, r.stderr
    got = json.loads(r.stdout.split("RESULT ", 1)[1])
    efbig = [errno.EFBIG, "File too large"]
    assert got["results"] == ({"save_qelm": efbig} if case == "pair" else
                              {"save_qelm": efbig, "save_chunk_blob": efbig})
    if case == "pair":  # the standard file of the failed save was complete before the disk filled
        assert r.stdout.count("=== Saving Rectified Version") == 2
    # the files written before the disk filled, byte for byte, and no temporary file beside them
    assert {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in out.iterdir()} == got["before"]
    assert sorted(got["before"]) == files


@pytest.mark.parametrize("method,name", [("save_qelm", "v.qelm"), ("save_chunk_blob", "v.qelmc")])
def test_interrupted_save_keeps_the_previous_file(ref_compressor, tmp_path, scratch, monkeypatch, capsys,
                                                  method, name):
    c = prepared(ref_compressor)
    c.build_qelm_model(*NET)
    c.fit(epochs=0, batch_size=16)
    path = tmp_path / name
    getattr(c, method)(str(path))
    before = path.read_bytes()

    def interrupt(self, n=1):  # the first progress update of the residual pass
        raise KeyboardInterrupt
    monkeypatch.setattr(tqdm.tqdm, "update", interrupt)
    tasks = task_count()
    with pytest.raises(KeyboardInterrupt):
        getattr(c, method)(str(path), save_residuals=True, residual_threshold=0.0)
    assert "Residual Stream" in capsys.readouterr().err
    assert path.read_bytes() == before and task_count() == tasks
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([name, "scratch"])
    assert list(scratch.iterdir()) == []


# ---- output left by an earlier run -------------------------------------------------------------

def test_rectified_file_of_an_earlier_encode_is_not_taken_for_this_one(tmp_path, capsys, monkeypatch):
    from pyqelm import cli

    monkeypatch.setenv("PYQELM_TMPDIR", str(tmp_path))
    args = encode_args(tmp_path, tmp_path / "v.qelm", "1") + ["--force"]
    assert cli.main(args + ["--max-error", "5e-6"]) == 0  # finer than the network can fit
    assert (tmp_path / "v-rectified.qelm").exists()
    capsys.readouterr()
    # a bound every value already meets: no residuals, so no rectified file from this run
    assert cli.main(args + ["--max-error", "1e6"]) == 0
    said = capsys.readouterr().out
    assert not (tmp_path / "v-rectified.qelm").exists()
    assert "no rectified file" in said and "v-rectified.qelm" not in said
