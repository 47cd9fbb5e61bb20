"""Error-weighted correction steps through the module: when they start, how many there are, and
where their draws land."""
import numpy as np
import pytest
import torch

T, H, W = 4, 500, 500  # one million valid points: with batches of 1000, exactly 1000 uniform steps
BACKGROUND, VALUE_A, VALUE_B = 0.5, 0.9, 0.7
ROWS_A, ROWS_B = range(0, 5), range(5, 15)  # 1% and 2% of the points


class Constant(torch.nn.Module):
    """Predicts 0.5 everywhere and never changes (its only parameter gets zero gradients), so
    the error of every point is known exactly. Records what each call saw."""

    def __init__(self):
        super().__init__()
        self.w = torch.nn.Parameter(torch.zeros(1))
        self.ref_t_for_deformation = -1.0
        self.log = []  # (training mode, gradients on, rows, share in region A, share in region B)

    def forward(self, x):
        row = torch.round(x[:, 1] * H).long()
        a = ((row >= ROWS_A.start) & (row < ROWS_A.stop)).float().mean().item()
        b = ((row >= ROWS_B.start) & (row < ROWS_B.stop)).float().mean().item()
        self.log.append((self.training, torch.is_grad_enabled(), x.shape[0], a, b))
        return torch.full((x.shape[0], 1), BACKGROUND) + 0.0 * self.w, None


def planted(c):
    """Background 0.5, region A (rows 0-4) 0.9, region B (rows 5-14) 0.7, every point valid."""
    ys = torch.arange(H).repeat_interleave(W) / H
    xs = torch.arange(W).repeat(H) / W
    c.xyz_cache = torch.stack([xs, ys], 1).float()
    c.time_lut = torch.linspace(0, 1, T)
    frame = torch.full((H, W), BACKGROUND)
    frame[ROWS_A.start:ROWS_A.stop] = VALUE_A
    frame[ROWS_B.start:ROWS_B.stop] = VALUE_B
    c.cpu_values = frame.reshape(1, -1).expand(T, -1).reshape(-1, 1).contiguous()
    c.cpu_mask = torch.ones(T * H * W, dtype=torch.bool)
    c.meta_info = {"timestamps": [f"2020-01-0{i + 1}" for i in range(T)], "height": H, "width": W,
                   "n_bands": 1, "data_range": [[0.0, 1.0]], "use_log": False}
    c.model = Constant()
    return c


@pytest.fixture
def env(monkeypatch):
    monkeypatch.setenv("PYQELM_STREAM_THRESHOLD_GB", "100")
    monkeypatch.delenv("PYQELM_IMPORTANCE_EXTRA_FRAC", raising=False)


@pytest.mark.parametrize("alpha, share_a", [(1.0, 2 / 3), (0.5, 1 / 2)])
def test_corrections_start_on_schedule_and_follow_the_error(ref_compressor, env, capsys, alpha, share_a):
    torch.manual_seed(0)
    c = planted(ref_compressor())
    assert c.fit(epochs=1, batch_size=1000, importance_sampling=True, imp_warmup_frac=0.5, imp_alpha=alpha) is True
    out = capsys.readouterr().out.splitlines()
    assert (f"  [importance] ON: uniform warmup 500 steps (50%), then +12.5% error^{alpha} correction steps; "
            "refresh every 3000 uniform steps") in out

    log = c.model.log
    weighing = [i for i, e in enumerate(log) if not e[0]]
    # The one refresh (every 3000 steps, the run has 1000) follows uniform step 500, i.e. the
    # 501st call, and visits every point once in chunks of the batch size.
    assert weighing == list(range(501, 1501))
    after = log[1501:]
    # Correction batches sit almost wholly in the planted regions; uniform ones hold the
    # regions' 3% share.
    corrections = [k for k, e in enumerate(after) if e[3] + e[4] > 0.5]
    uniform = [e for k, e in enumerate(after) if k not in set(corrections)]
    # A correction follows every eighth uniform step after the warm-up: 62 of them.
    assert corrections == [7 + 9 * j for j in range(62)]
    assert len(uniform) == 499
    assert np.mean([e[3] + e[4] for e in uniform]) == pytest.approx(0.03, abs=0.01)
    # Draws land in proportion to count x error^alpha: A has half B's points and 4x its squared
    # error, so A:B = 2:1 with alpha 1 and 1:1 with alpha 0.5. Background points weigh 1e-8.
    a = np.mean([after[k][3] for k in corrections])
    b = np.mean([after[k][4] for k in corrections])
    assert a == pytest.approx(share_a, abs=0.02)
    assert a + b == pytest.approx(1.0, abs=1e-3)


def test_weights_of_the_module_method(ref_compressor):
    """The module method weighs positions of a flat (frame, pixel) index in chunks, in evaluation
    mode without gradients, and leaves the network training."""
    c = ref_compressor()
    seen = []

    class Linear(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.lin = torch.nn.Linear(3, 2)
            self.ref_t_for_deformation = -1.0

        def forward(self, x):
            seen.append((self.training, torch.is_grad_enabled(), x.shape[0]))
            return self.lin(x), None

    torch.manual_seed(1)
    c.model = Linear()
    xyz, lut, values = torch.rand(6, 2), torch.tensor([0.0, 0.5, 1.0]), torch.rand(18, 2)
    values[7] = float("nan")
    pos = torch.tensor([0, 3, 7, 8, 12, 17])
    w = c._importance_weights(pos, values, xyz, lut, 6, 4, 2.0)
    assert seen == [(False, False, 4), (False, False, 2)] and c.model.training
    with torch.no_grad():
        pred = c.model.lin(torch.cat([xyz[pos % 6], lut[pos // 6][:, None]], 1))
    expected = ((pred - values[pos]) ** 2).mean(1) ** 2 + 1e-8
    assert w.dtype == torch.float32 and w.shape == (6,)
    assert torch.allclose(w[[0, 1, 3, 4, 5]], expected[[0, 1, 3, 4, 5]], rtol=1e-5, atol=0)
    assert w[2] == pytest.approx(1e-8)  # a row without any finite target stays drawable
    with pytest.raises(ValueError, match="spatial_size"):
        c._importance_weights(pos, values, xyz, lut, 0, 4, 1.0)
