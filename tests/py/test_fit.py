"""fit through the module: what it prints, its schedule, its errors, and faults a Python network raises."""
import numpy as np
import pytest
import torch


class TinyNet(torch.nn.Module):
    """A small MLP plus a float64 probe whose gradient is always one, so that each Adam step moves
    the probe by exactly that step's learning rate."""

    def __init__(self, bands=2, hidden=32):
        super().__init__()
        self.decoder = torch.nn.Sequential(
            torch.nn.Linear(3, hidden), torch.nn.ReLU(), torch.nn.Linear(hidden, hidden), torch.nn.ReLU(),
            torch.nn.Linear(hidden, bands))
        self.probe = torch.nn.Parameter(torch.zeros(1, dtype=torch.float64))
        self.probe.register_hook(torch.ones_like)
        self.calls, self.seen, self.out_of_memory_at = 0, [], range(0)

    def forward(self, x):
        self.calls += 1
        if self.calls - 1 in self.out_of_memory_at:
            raise torch.cuda.OutOfMemoryError("CUDA out of memory. Tried to allocate 2.00 GiB")
        self.seen.append(float(self.probe))
        return self.decoder(x) + 0 * self.probe.float(), None


def prepare(c, T=3, H=6, W=5, C=2):
    """What training-data preparation leaves on a compressor; every fifth point is no-data (72 valid)."""
    xs, ys = torch.arange(W).repeat(H) / W, torch.arange(H).repeat_interleave(W) / H
    c.xyz_cache, c.time_lut = torch.stack([xs, ys], 1).float(), torch.linspace(0, 1, T)
    t, x, y = c.time_lut.repeat_interleave(H * W), xs.repeat(T), ys.repeat(T)
    c.cpu_values = torch.stack([0.5 + 0.4 * torch.sin(3 * x + 2 * (b + 1) * y + t) for b in range(C)], 1).float()
    c.cpu_mask = torch.arange(T * H * W) % 5 != 0
    c.meta_info = {"timestamps": [f"2020-01-0{i + 1}" for i in range(T)], "height": H, "width": W,
                   "n_bands": C, "data_range": [[0.0, 100.0]] * C, "use_log": False}
    c.model = TinyNet(C)
    return c


def valid_mse(c):
    with torch.no_grad():
        idx, hw = torch.nonzero(c.cpu_mask).squeeze(1), c.xyz_cache.shape[0]
        coords = torch.cat([c.xyz_cache[idx % hw], c.time_lut[idx // hw][:, None]], 1)
        return float(((c.model(coords)[0] - c.cpu_values[idx]) ** 2).mean())


@pytest.fixture
def comp(ref_compressor, capsys, monkeypatch):
    monkeypatch.delenv("PYQELM_STREAM_THRESHOLD_GB", raising=False)
    monkeypatch.delenv("PYQELM_IMPORTANCE_EXTRA_FRAC", raising=False)
    torch.manual_seed(0)
    c = prepare(ref_compressor())
    capsys.readouterr()
    return c


def test_in_memory_run_prints_its_plan_learns_and_anneals_over_the_whole_run(comp, capsys):
    before, comp.model.seen = valid_mse(comp), []  # the probe's log starts with training
    assert comp.fit(epochs=2, batch_size=16) is True
    # 72 valid points are 5 batches of 16; a small set repeats passes to train at least 2005 steps.
    out = capsys.readouterr()
    assert out.out.splitlines() == [
        "Training Start: epochs=2, LR=0.01 (Device: cpu)", "Counting valid pixels in chunks (Total: 90)...",
        "Total Pixels: 90", "Valid Pixels: 72 (Ratio: 80.00%)",
        "Total Steps: 2010 uniform + 0 importance (Batch Size: 16, 201 complete pass(es)/epoch)", "Using MSE Loss.",
        "  [router] in-memory cutoff 6.0 GB  (this chunk 0.00 GB)",
        "[Mode: In-Memory] Loading all data to device (cpu)...",
        "  [sampling] without-replacement over 72 valid pixels (CPU index 0 MB, strided, ~2 MB/step to device)",
        "Training Done."]
    assert "Training (In-Memory)" in out.err and "2010/2010" in out.err
    # One call a step, on one cosine from the given rate down to 1e-4 over both epochs' steps.
    expected = 1e-4 + (0.01 - 1e-4) * (1 + np.cos(np.pi * np.arange(2009) / 2010)) / 2
    np.testing.assert_allclose(-np.diff(comp.model.seen), expected, rtol=1e-6)
    assert valid_mse(comp) < 0.2 * before


def test_bad_arguments_settings_and_networks_are_refused(comp, monkeypatch):
    def refused(words, threshold="6", use_log=False, **kwargs):
        # Settings from the environment and the metadata reach the checks of the run.
        with monkeypatch.context() as m, pytest.raises(ValueError, match=words):
            m.setenv("PYQELM_STREAM_THRESHOLD_GB", threshold)
            m.setitem(comp.meta_info, "use_log", use_log)
            comp.fit(**kwargs)

    refused("batch_size", batch_size=0)
    refused("epochs", epochs=-1)
    refused("could not convert string to float: 'lots'", threshold="lots", epochs=0, batch_size=16)
    refused("MSE_RRMSE is not supported together with use_log", use_log=True, epochs=0, loss_type="MSE_RRMSE")
    comp.model.forward = lambda x: (x, None, None)
    refused(r"too many values to unpack \(expected 2\)", epochs=1, batch_size=16)
    comp.model = None
    refused("build_qelm_model")


def test_network_out_of_memory_falls_back_once_then_propagates(comp, capsys, monkeypatch):
    comp.model.out_of_memory_at = range(3, 4)
    assert comp.fit(epochs=1, batch_size=16) is True
    assert ("\nOOM in in-memory mode! Falling back to Streaming...\n"
            "[Mode: Threaded Streaming] Double-Buffering Enabled.\n") in capsys.readouterr().out
    assert comp.model.calls == 4 + 2005  # the streamed loop runs the whole plan
    # Streamed already, there is nothing left to fall back to.
    monkeypatch.setenv("PYQELM_STREAM_THRESHOLD_GB", "0")
    comp.model.out_of_memory_at = range(10 ** 9)
    with pytest.raises(torch.cuda.OutOfMemoryError, match="CUDA out of memory."):
        comp.fit(epochs=1, batch_size=16)


def test_mixed_precision_mode_learns_from_float16_host_values(ref_compressor):
    torch.manual_seed(0)
    c = prepare(ref_compressor(train_dtype="float16"))
    c.cpu_values = c.cpu_values.half()
    before = valid_mse(c)
    assert c.fit(epochs=1, batch_size=16) is True
    assert valid_mse(c) < 0.2 * before and all(torch.isfinite(p).all() for p in c.model.parameters())
