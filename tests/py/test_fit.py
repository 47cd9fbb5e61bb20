"""fit through the module: prints, results, errors, threads and the learning-rate schedule."""
import math
import os

import pytest
import torch


class TinyNet(torch.nn.Module):
    def __init__(self, bands=2, hidden=32):
        super().__init__()
        self.decoder = torch.nn.Sequential(
            torch.nn.Linear(3, hidden), torch.nn.ReLU(), torch.nn.Linear(hidden, hidden), torch.nn.ReLU(),
            torch.nn.Linear(hidden, bands))
        self.ref_t_for_deformation = -1.0
        self.calls = 0

    def forward(self, x):
        self.calls += 1
        return self.decoder(x), None


def prepare(c, T=3, H=6, W=5, C=2, invalid=0.2, seed=0):
    """The attributes that training-data preparation leaves on a compressor."""
    g = torch.Generator().manual_seed(seed)
    ys = torch.arange(H).repeat_interleave(W) / H
    xs = torch.arange(W).repeat(H) / W
    c.xyz_cache = torch.stack([xs, ys], 1).float()
    c.time_lut = torch.linspace(0, 1, T)
    t = c.time_lut.repeat_interleave(H * W)
    x, y = xs.repeat(T), ys.repeat(T)
    c.cpu_values = torch.stack([0.5 + 0.4 * torch.sin(3 * x + 2 * (b + 1) * y + t) for b in range(C)], 1).float()
    c.cpu_mask = torch.rand(T * H * W, generator=g) >= invalid
    c.meta_info = {"timestamps": [f"2020-01-0{i + 1}" for i in range(T)], "height": H, "width": W,
                   "n_bands": C, "data_range": [[0.0, 100.0]] * C, "use_log": False}
    c.model = TinyNet(C)
    return c


def valid_mse(c):
    with torch.no_grad():
        idx = torch.nonzero(c.cpu_mask).squeeze(1)
        hw = c.xyz_cache.shape[0]
        coords = torch.cat([c.xyz_cache[idx % hw], c.time_lut[idx // hw][:, None]], 1)
        return float(((c.model(coords)[0] - c.cpu_values[idx]) ** 2).mean())


def threads():
    return len(os.listdir("/proc/self/task"))


@pytest.fixture
def comp(ref_compressor, capsys, monkeypatch):
    monkeypatch.delenv("PYQELM_STREAM_THRESHOLD_GB", raising=False)
    monkeypatch.delenv("PYQELM_IMPORTANCE_EXTRA_FRAC", raising=False)
    torch.manual_seed(0)
    c = prepare(ref_compressor())
    capsys.readouterr()
    return c


def test_in_memory_run(comp, capsys):
    before = valid_mse(comp)
    comp.model.calls = 0
    assert comp.fit(epochs=2, batch_size=16) is True
    n = int(comp.cpu_mask.sum())
    passes = math.ceil(1003 / math.ceil(n / 16))
    steps = 2 * passes * math.ceil(n / 16)
    out = capsys.readouterr()
    assert out.out.splitlines() == [
        "Training Start: epochs=2, LR=0.01 (Device: cpu)",
        "Counting valid pixels in chunks (Total: 90)...",
        "Total Pixels: 90",
        f"Valid Pixels: {n} (Ratio: {n / 90:.2%})",
        f"Total Steps: {steps} uniform + 0 importance (Batch Size: 16, {passes} complete pass(es)/epoch)",
        "Using MSE Loss.",
        "  [router] in-memory cutoff 6.0 GB  (this chunk 0.00 GB)",
        "[Mode: In-Memory] Loading all data to device (cpu)...",
        f"  [sampling] without-replacement over {n} valid pixels (CPU index 0 MB, strided, ~2 MB/step to device)",
        "Training Done.",
    ]
    assert "Training (In-Memory)" in out.err and f"{steps}/{steps}" in out.err
    assert "loss=" in out.err and "mse=" in out.err and "lr=" in out.err
    assert comp.model.calls == steps
    assert valid_mse(comp) < 0.2 * before


def test_threaded_run_with_band_weighted_loss(comp, capsys, monkeypatch):
    monkeypatch.setenv("PYQELM_STREAM_THRESHOLD_GB", "0")
    before = valid_mse(comp)
    n_threads = threads()
    assert comp.fit(epochs=1, batch_size=16, loss_type="MSE_RRMSE", early_stop=True) is True
    out = capsys.readouterr()
    lines = out.out.splitlines()
    assert lines[5] == "Early stop ON: patience=8 epochs, min_delta_rel=0.005, ema_alpha=0.3, warmup=20 epochs (1 epoch = 2005 steps)."
    assert lines[6].startswith("TCNN loss: global band-wise relative MSE (power=[")
    assert lines[7:] == [
        "Using global band-wise RRMSE Loss.",
        "  [router] in-memory cutoff 0.0 GB  (this chunk 0.00 GB)",
        "[Mode: Threaded Streaming] Double-Buffering Enabled.",
        " -> Super Batch Size: 4194304",
        "Training Done.",
    ]
    assert "Training (Stream)" in out.err and "rrmse=" in out.err
    assert valid_mse(comp) < 0.2 * before
    assert threads() == n_threads


def test_bad_arguments_and_settings(comp, capsys, monkeypatch):
    with pytest.raises(ValueError, match="batch_size"):
        comp.fit(batch_size=0)
    with pytest.raises(ValueError, match="epochs"):
        comp.fit(epochs=-1)
    with pytest.raises(TypeError):
        comp.fit(epochs=2.5)
    # Settings from the environment and the metadata reach the checks of the run.
    monkeypatch.setenv("PYQELM_STREAM_THRESHOLD_GB", "lots")
    with pytest.raises(ValueError, match="could not convert string to float: 'lots'"):
        comp.fit(epochs=0, batch_size=16)
    monkeypatch.delenv("PYQELM_STREAM_THRESHOLD_GB")
    comp.meta_info["use_log"] = True
    with pytest.raises(ValueError, match="MSE_RRMSE is not supported together with use_log"):
        comp.fit(epochs=0, batch_size=16, loss_type="MSE_RRMSE")
    comp.model = None
    with pytest.raises(ValueError, match="build_qelm_model"):
        comp.fit()
    assert "Training Done." not in capsys.readouterr().out.splitlines()[-1:]


def test_network_must_return_two_values(comp):
    class Three(TinyNet):
        def forward(self, x):
            return self.decoder(x), None, None

    comp.model = Three()
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        comp.fit(epochs=1, batch_size=16)


def test_network_out_of_memory_falls_back_once_then_propagates(comp, capsys, monkeypatch):
    class Flaky(TinyNet):
        fail_from, fail_until = 3, 4

        def forward(self, x):
            if self.fail_from <= self.calls < self.fail_until:
                self.calls += 1
                raise torch.cuda.OutOfMemoryError("CUDA out of memory. Tried to allocate 2.00 GiB")
            return super().forward(x)

    comp.model = Flaky()
    assert comp.fit(epochs=1, batch_size=16) is True
    lines = capsys.readouterr().out.splitlines()
    i = lines.index("OOM in in-memory mode! Falling back to Streaming...")
    assert lines[i + 1] == "[Mode: Threaded Streaming] Double-Buffering Enabled."
    assert comp.model.calls == 4 + 2005
    # Streamed already, there is nothing left to fall back to.
    monkeypatch.setenv("PYQELM_STREAM_THRESHOLD_GB", "0")
    comp.model = Flaky()
    comp.model.fail_from, comp.model.fail_until = 0, 10 ** 9
    with pytest.raises(torch.cuda.OutOfMemoryError, match="CUDA out of memory."):
        comp.fit(epochs=1, batch_size=16)


def test_mixed_precision_mode(ref_compressor, capsys):
    """float16 host values with the loss scaler on; autocast leaves host tensors alone."""
    torch.manual_seed(0)
    c = prepare(ref_compressor(train_dtype="float16"))
    c.cpu_values = c.cpu_values.half()
    assert c.use_amp is True
    before = valid_mse(c)
    assert c.fit(epochs=1, batch_size=16) is True
    assert valid_mse(c) < 0.2 * before
    assert all(torch.isfinite(p).all() for p in c.model.parameters())


def test_learning_rate_schedule_matches_torch(comp, monkeypatch):
    """Each step moves a float64 parameter with unit gradient by the step's learning rate."""

    class Probe(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.decoder = torch.nn.Linear(3, 2)
            self.p = torch.nn.Parameter(torch.zeros(1, dtype=torch.float64))
            self.p.register_hook(lambda g: torch.ones_like(g))
            self.seen = []

        def forward(self, x):
            self.seen.append(float(self.p))
            return self.decoder(x) + 0 * self.p.float(), None

    comp.model = Probe()
    comp.fit(epochs=1, batch_size=128, lr=0.02)
    seen = comp.model.seen
    steps = len(seen)
    assert steps == 2005
    q = torch.nn.Parameter(torch.zeros(1))
    opt = torch.optim.Adam([q], lr=0.02)
    sched = torch.optim.lr_scheduler.CosineAnnealingLR(opt, T_max=steps, eta_min=1e-4)
    expected = []
    for _ in range(steps - 1):
        expected.append(opt.param_groups[0]["lr"])
        opt.step()
        sched.step()
    # Adam with a constant unit gradient steps by lr / (1 + eps) exactly enough for this check.
    moves = [a - b for a, b in zip(seen[:-1], seen[1:])]
    for i, (m, e) in enumerate(zip(moves, expected)):
        assert m == pytest.approx(e, rel=1e-6), i
