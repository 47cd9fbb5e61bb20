"""Training streamed from a Zarr store: the pool of whole time chunks, its reloads, its draws, and
a fit that holds less than the store in memory."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest
import torch
import tqdm
import zarr

from conftest import IMPORT_ROOT


HERE = os.path.dirname(os.path.abspath(__file__))


def write_store(path, data, time_chunk):
    """A Zarr v2 store of one (time, y, x[, band]) variable with daily timestamps, uncompressed so
    its size on disk is the size of its values."""
    g = zarr.open_group(str(path), mode="w")
    arr = g.create_dataset("v", data=data, compressor=None, fill_value=-9999.0, chunks=(time_chunk,) + data.shape[1:])
    arr.attrs["_ARRAY_DIMENSIONS"] = ["time", "y", "x", "band"][:data.ndim]
    t = g.create_dataset("time", data=np.arange(data.shape[0]), chunks=(data.shape[0],))
    t.attrs.update({"_ARRAY_DIMENSIONS": ["time"], "units": "days since 2001-01-01", "calendar": "standard"})
    return str(path)


def labelled_store(path, T=50, H=4, W=5, time_chunk=24):
    """Band 0 holds each value's frame index, band 1 its pixel index (physical 0..100, so the
    [0, 100] valid range maps them to exact-enough float16 fractions)."""
    frame, pixel = np.meshgrid(np.arange(T), np.arange(H * W), indexing="ij")
    return write_store(path, np.stack([frame, pixel], -1).reshape(T, H, W, 2).astype(np.float32), time_chunk)


def attach(make, path):
    c = make()
    c.load_dataset_zarr_streaming(path, valid_range=[0, 100])
    c.prepare_training_data_optimized()
    reads, read = [], c.streaming_source.read_timesteps
    c.streaming_source.read_timesteps = lambda idx: (reads.append(np.asarray(idx).tolist()), read(idx))[1]
    return c, reads


def test_pool_from_the_store_reloads_keeps_source_frame_times_and_draws_with_numpy(ref_compressor, tmp_path):
    path = labelled_store(tmp_path / "s.zarr")
    np.random.seed(7)
    torch.manual_seed(1)
    c, reads = attach(ref_compressor, path)
    xyz, lut = c.xyz_cache, c.time_lut.cpu()
    for call in range(1, 18):
        coords, targets = c.prepare_super_batch_streaming(500)
        first = (coords, targets) if call == 1 else first
        assert coords.dtype == torch.float32 and targets.dtype == torch.float16 and targets.shape == (500, 2)
        frame, pixel = torch.round(targets.float() * 100).long().unbind(1)
        # The time column is the time of the point's source frame, not of its place in the pool.
        assert torch.equal(coords[:, -1], lut[frame]) and torch.equal(coords[:, :2], xyz[pixel])
        # Loaded by the first call, then reloaded after every 16 super batches.
        assert len(reads) == (call - 1) // 16 + 1 and c._streaming_pool_uses == (call - 1) % 16 + 1
    # 50 frames make two whole chunks of 24: frames 48 and 49 never enter a pool.
    assert all(sorted(r) == list(range(48)) for r in reads)
    assert c._streaming_pool_data.shape == (48, 4, 5, 2) and c._streaming_pool_time_indices.tolist() == reads[-1]
    c._streaming_chunk_size = 0
    with pytest.raises(ValueError, match="_streaming_chunk_size"):
        c._refresh_streaming_pool()
    # The draws follow NumPy's global generator alone: another torch seed draws the same points.
    np.random.seed(7)
    torch.manual_seed(2)
    again, _ = attach(ref_compressor, path)
    assert all(map(torch.equal, first, again.prepare_super_batch_streaming(500)))


def test_a_failing_source_read_ends_the_run_and_its_producer(ref_compressor, tmp_path, monkeypatch):
    c, _ = attach(ref_compressor, labelled_store(tmp_path / "s.zarr"))
    c.model = torch.nn.Linear(3, 2)
    c.streaming_source.read_timesteps = lambda idx: open(tmp_path / "chunk-gone")
    monkeypatch.setattr(tqdm.tqdm, "monitor_interval", 0)  # no progress-bar monitor thread
    threads = len(os.listdir("/proc/self/task"))
    with pytest.raises(RuntimeError, match="Producer Thread Error: .*No such file or directory: .*chunk-gone"):
        c.fit(epochs=1, batch_size=64)
    assert len(os.listdir("/proc/self/task")) == threads  # the producer was joined


class Net(torch.nn.Sequential):
    def forward(self, x):  # a network gives (prediction, extra)
        return super().forward(x), None


def proc_status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))


def streamed_run(store):
    """Run in a fresh interpreter: trains streamed from `store` and prints what it measured as JSON."""
    from pyqelm.encoder import tcnn_compressor as tc

    torch.set_num_threads(1)
    torch.manual_seed(0)
    np.random.seed(0)
    c, reads = attach(lambda: tc.QELMCompressor._with_reference_backend(device="cpu", train_dtype="float32"), store)
    c._streaming_chunks_in_pool, c._streaming_chunk_size = 8, 8
    c.model = Net(torch.nn.Linear(3, 32), torch.nn.Tanh(), torch.nn.Linear(32, 32), torch.nn.Tanh(),
                  torch.nn.Linear(32, 1))
    with open("/proc/self/clear_refs", "w") as f:  # restart the peak count (VmHWM): the peak of training alone
        f.write("5")
    base = proc_status("VmRSS")
    ok = c.fit(epochs=1, batch_size=4096, lr=0.03)
    peak, reads = proc_status("VmHWM"), list(reads)
    frames = np.arange(2, c.streaming_source.n_timesteps, 97)
    truth = c.streaming_source.read_timesteps(frames).reshape(len(frames), -1)
    with torch.no_grad():
        mse = [float(((c.model(torch.cat([c.xyz_cache, c.time_lut[f].expand(len(truth[k]), 1)], 1))[0][:, 0].numpy()
                       - truth[k]) ** 2).mean()) for k, f in enumerate(frames)]
    print(json.dumps(dict(ok=ok, reads=reads, base_rss=base, peak_rss=peak,
                          rmse_mean=float(np.mean(mse)) ** 0.5, rmse_max=max(mse) ** 0.5)))


def test_store_larger_than_memory_use_trains_streamed(tmp_path):
    T, H, W, chunk = 5124, 32, 32, 8  # 42 MB of float64; frames 5120-5123 lie outside whole chunks
    t, y, x = np.meshgrid(np.arange(T) / T, np.arange(H) / H, np.arange(W) / W, indexing="ij", sparse=True)
    data = 50 + 30 * np.sin(3 * x + 2 * y + 2 * t) * np.cos(x - y)
    store, store_bytes = write_store(tmp_path / "big.zarr", data, chunk), data.nbytes
    del data
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYQELM_")}  # the defaults, in a fresh process
    code = (f"import sys; sys.path[:0] = [{IMPORT_ROOT!r}, {HERE!r}]; import pyqelm, test_streaming_training as t; "
            f"t.streamed_run({store!r})")
    run = subprocess.run([sys.executable, "-c", code], env=dict(env, PYTHONPATH=IMPORT_ROOT), capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
    out = run.stdout.splitlines()
    r = json.loads(out[-1])
    assert r["ok"] is True and "[Mode: Threaded Streaming] Double-Buffering Enabled." in out
    # 5.2 M points in one pass of 4096 = 1281 steps; a pool of 8 chunks x 8 frames is 65536
    # points, 16 steps per super batch: 81 super batches trained (the last in part) and at most
    # 4 more prepared, so 6 pools of 64 whole-chunk frames, each serving 16 super batches.
    assert "Total Steps: 1281 uniform + 0 importance (Batch Size: 4096, 1 complete pass(es)/epoch)" in out
    assert len(r["reads"]) == 6 and all(len(idx) == 64 and max(idx) < 5120 for idx in r["reads"])
    # Training never held three quarters of the store on top of what the process held before; a
    # streamed run's own fixed cost (threads, queue, batches, autograd) is about 24 MB of it.
    assert r["peak_rss"] - r["base_rss"] < store_bytes * 3 // 4, r
    # Normalised units: 1% is one hundredth of the valid range.
    assert r["rmse_mean"] < 0.015 and r["rmse_max"] < 0.025, r
