"""Faults during a run: a disk that fills while saving, a network or progress bar that raises,
and a user interrupt. Each ends the run with the error, no thread left running, no temporary
file and the previous output untouched."""
import errno
import hashlib
import json
import os
import resource
import signal
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import pytest
import torch
import tqdm

from conftest import IMPORT_ROOT, tiny_compressor, v2_store
from pyqelm import cli

T, H, W = 3, 6, 5


def task_count():
    return len(os.listdir("/proc/self/task"))


class Faulty(torch.nn.Module):
    """A small coordinate network that raises ``error`` on its ``at``-th forward call."""

    def __init__(self, error=None, at=None):
        super().__init__()
        self.mlp = torch.nn.Sequential(torch.nn.Linear(3, 16), torch.nn.ReLU(), torch.nn.Linear(16, 1))
        self.ref_t_for_deformation, self.error, self.at, self.calls = -1.0, error, at, 0

    def forward(self, x):
        self.calls += 1
        if self.calls == self.at:
            raise self.error
        return self.mlp(x), None


def prepared(model=None):
    rng = np.random.default_rng(0)
    return tiny_compressor(rng.random((T, H, W, 1)).astype(np.float32), rng.random((T, H, W)) < 0.1, model)


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    """Every temporary directory the run could use points into one empty folder."""
    folder = tmp_path / "scratch"
    folder.mkdir()
    monkeypatch.setenv("PYQELM_TMPDIR", str(folder))
    monkeypatch.setenv("TMPDIR", str(folder))
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


@pytest.fixture(scope="module", autouse=True)
def warm_threads():
    """Pools that start on first use (the tensor library's worker threads) are started before a
    test counts threads; tqdm's monitor thread is kept from starting at all."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(tqdm.tqdm, "monitor_interval", 0)
        c = prepared(Faulty())
        for threshold in ("1000", "0"):
            mp.setenv("PYQELM_STREAM_THRESHOLD_GB", threshold)
            c.fit(epochs=1, batch_size=16)
        mp.delenv("PYQELM_STREAM_THRESHOLD_GB")
        yield


def encode_args(folder, out, epochs):
    """A command line encoding a small Zarr store written into ``folder`` with a tiny network."""
    store = v2_store(folder / "in.zarr", np.random.default_rng(0).random((T, H, W)).astype("f4"), chunks=(1, H, W))
    return ["encode", store, str(out), "--epochs", epochs, *("--preset tiny --xy-hash-size 8 --t-hash-size 8 "
            "--batch-size 16 --backend reference --device cpu --precision float32 -q").split()]


# ---- failures and interrupts during training and saving ----------------------------------------

@pytest.mark.parametrize("mode", ["in-memory", "threaded"])
@pytest.mark.parametrize("where", ["network", "progress bar"])
@pytest.mark.parametrize("error", [KeyboardInterrupt, RuntimeError])
def test_training_ends_cleanly_when_interrupted_or_failing(scratch, monkeypatch, capsys, mode, where, error):
    monkeypatch.setenv("PYQELM_STREAM_THRESHOLD_GB", "0" if mode == "threaded" else "1000")
    exc = error("stopped part-way")
    c = prepared(Faulty(exc, at=12) if where == "network" else Faulty())
    real_update, updates = tqdm.tqdm.update, []

    def update(self, n=1):
        updates.append(n)
        if len(updates) == 5:
            raise exc
        return real_update(self, n)
    if where == "progress bar":
        monkeypatch.setattr(tqdm.tqdm, "update", update)
    threads, tasks = set(threading.enumerate()), task_count()
    t0 = time.monotonic()
    with pytest.raises(error, match="stopped part-way"):
        c.fit(epochs=50, batch_size=16)
    assert time.monotonic() - t0 < 10
    out = capsys.readouterr().out
    assert "Training Done." not in out and ("[Mode: Threaded Streaming]" in out) == (mode == "threaded")
    # the producer thread is stopped and joined before the error reaches the caller
    assert set(threading.enumerate()) == threads and task_count() == tasks and not any(scratch.iterdir())
    # the compressor is still usable: the same model trains to the end once the fault is gone
    calls, c.model.at = c.model.calls, None
    monkeypatch.setattr(tqdm.tqdm, "update", real_update)
    assert c.fit(epochs=1, batch_size=16) is True
    assert c.model.calls > calls and task_count() == tasks


@pytest.mark.parametrize("method,name", [("save_qelm", "v.qelm"), ("save_chunk_blob", "v.qelmc")])
def test_interrupted_save_keeps_the_previous_file(tmp_path, scratch, monkeypatch, capsys, method, name):
    c = prepared()
    c.fit(epochs=0, batch_size=16)
    getattr(c, method)(str(tmp_path / name))
    before = (tmp_path / name).read_bytes()
    monkeypatch.setattr(tqdm.tqdm, "update", lambda self, n=1: (_ for _ in ()).throw(KeyboardInterrupt))
    tasks = task_count()
    with pytest.raises(KeyboardInterrupt):  # at the first progress update of the residual pass
        getattr(c, method)(str(tmp_path / name), save_residuals=True, residual_threshold=0.0)
    assert "Residual Stream" in capsys.readouterr().err
    assert (tmp_path / name).read_bytes() == before and task_count() == tasks
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([name, "scratch"]) and not any(scratch.iterdir())


def in_child(call, *args):
    """Runs ``test_faults.<call>(*args)`` in a fresh interpreter (signals and file-size limits
    stay out of the test process); returns the finished process."""
    code = (f"import sys; sys.path[:0] = [{IMPORT_ROOT!r}, {os.path.dirname(__file__)!r}]; import pyqelm, test_faults; "
            f"sys.exit(test_faults.{call}(*{args!r}))")
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=IMPORT_ROOT))


def interrupted_encode(*argv):
    # A background job of a non-interactive shell starts with Ctrl-C ignored; the test needs it live.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    real_init = tqdm.tqdm.__init__

    def init(self, *a, **k):  # Ctrl-C from another thread, once training has begun
        real_init(self, *a, **k)
        if str(k.get("desc", "")).startswith("Training"):
            threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
    tqdm.tqdm.__init__ = init
    return cli.main(list(argv))


def test_interrupted_encode_leaves_no_output_and_no_temporary_file(tmp_path, scratch):
    out = tmp_path / "out"
    out.mkdir()
    r = in_child("interrupted_encode", *encode_args(tmp_path, out / "v.qelm", "100000"), "--max-error", "0.01")
    assert r.returncode == 130, r.stderr
    assert r.stderr.strip().splitlines()[-1] == "pyqelm: interrupted"
    assert list(out.iterdir()) == [] and list(scratch.iterdir()) == []


def digests(folder):
    return {n: hashlib.sha256(open(os.path.join(folder, n), "rb").read()).hexdigest() for n in os.listdir(folder)}


def fill_the_disk(folder):
    """Saves a standard and a rectified file and prints their digests, then saves new weights
    with room on the disk for the new standard file only."""
    c = prepared()
    c.fit(epochs=0, batch_size=16)
    path = os.path.join(folder, "out.qelm")
    c.save_qelm(path, save_residuals=True, residual_threshold=0.0)  # every value corrected
    print("DIGESTS " + json.dumps(digests(folder)), flush=True)
    limit = (os.path.getsize(path) + os.path.getsize(os.path.join(folder, "out-rectified.qelm"))) // 2
    c.fit(epochs=1, batch_size=64)  # new weights, so a completed save would change both files
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
    c.save_qelm(path, save_residuals=True, residual_threshold=0.0)


def test_full_disk_during_save_keeps_the_previous_files(tmp_path, scratch):
    out = tmp_path / "out"
    out.mkdir()
    r = in_child("fill_the_disk", str(out))
    assert r.returncode == 1 and f"OSError: [Errno {errno.EFBIG}] File too large" in r.stderr, r.stderr
    # the standard file of the failed save was complete before the disk filled on the rectified one
    assert r.stdout.count("=== Saving Rectified Version") == 2
    # yet both files are the earlier ones, byte for byte, with no temporary file beside them
    before = json.loads(r.stdout.split("DIGESTS ", 1)[1].splitlines()[0])
    assert sorted(before) == ["out-rectified.qelm", "out.qelm"] and digests(out) == before
    assert not any(scratch.iterdir())
