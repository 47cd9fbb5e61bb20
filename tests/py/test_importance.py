"""Error-weighted correction steps through the module: when the weighing starts, where draws land."""
import numpy as np
import pytest
import torch

T, H, W = 4, 500, 500  # one million valid points: with batches of 1000, exactly 1000 uniform steps


def regions(rows):
    """Region A (rows 0-4, 1% of the points, value 0.9) and region B (rows 5-14, 2%, value 0.7)."""
    return rows < 5, (rows >= 5) & (rows < 15)


class Constant(torch.nn.Module):
    """Predicts 0.5 everywhere and never changes, so the error of every point is known exactly.
    Logs (training mode, gradients on, share of the batch in region A, share in region B)."""

    def __init__(self):
        super().__init__()
        self.w, self.log = torch.nn.Parameter(torch.zeros(1)), []

    def forward(self, x):
        a, b = regions(torch.round(x[:, 1] * H).long())
        self.log.append((self.training, torch.is_grad_enabled(), a.float().mean().item(), b.float().mean().item()))
        return torch.full((x.shape[0], 1), 0.5) + 0.0 * self.w, None


@pytest.mark.parametrize("alpha, share_a", [(1.0, 2 / 3), (0.5, 1 / 2)])
def test_corrections_start_after_the_warm_up_and_follow_the_error(ref_compressor, monkeypatch, alpha, share_a):
    monkeypatch.setenv("PYQELM_STREAM_THRESHOLD_GB", "100")
    monkeypatch.delenv("PYQELM_IMPORTANCE_EXTRA_FRAC", raising=False)
    torch.manual_seed(0)
    c = ref_compressor()
    c.xyz_cache = torch.stack([torch.arange(W).repeat(H) / W, torch.arange(H).repeat_interleave(W) / H], 1).float()
    a, b = regions(torch.arange(H).repeat_interleave(W).repeat(T))
    c.time_lut, c.cpu_values = torch.linspace(0, 1, T), (0.5 + 0.4 * a + 0.2 * b).float()[:, None]
    c.cpu_mask = torch.ones(T * H * W, dtype=torch.bool)
    c.meta_info = {"timestamps": [f"2020-01-0{i + 1}" for i in range(T)], "height": H, "width": W,
                   "n_bands": 1, "data_range": [[0.0, 1.0]], "use_log": False}
    c.model = Constant()
    assert c.fit(epochs=1, batch_size=1000, importance_sampling=True, imp_warmup_frac=0.5, imp_alpha=alpha) is True

    log = c.model.log
    # The one weighing follows uniform step 500: every point once, in evaluation mode, no gradients.
    assert [i for i, e in enumerate(log) if not e[0]] == list(range(501, 1501)) and not any(e[1] for e in log[501:1501])
    # Correction batches sit almost wholly in the planted regions (3% of the points): 62 of them
    # among the remaining 499 uniform steps.
    corrections = [e for e in log[1501:] if e[2] + e[3] > 0.5]
    assert len(corrections) == 62 and len(log) == 1501 + 499 + 62
    # Draws land in proportion to count x error^alpha: A has half B's points and 4x its squared
    # error, so A:B = 2:1 with alpha 1 and 1:1 with alpha 0.5. Background points weigh 1e-8.
    in_a, in_b = np.mean([e[2:] for e in corrections], axis=0)
    assert in_a == pytest.approx(share_a, abs=0.02) and in_a + in_b == pytest.approx(1.0, abs=1e-3)


def test_the_module_method_weighs_flat_positions_in_chunks(ref_compressor):
    c = ref_compressor()
    c.model = Constant()  # its forward replaced: predicts each point's time in both bands
    c.model.forward = lambda x: (c.model.log.append((c.model.training, torch.is_grad_enabled(), len(x)))
                                 or x[:, 2:].expand(-1, 2), None)
    values, lut, pos = torch.rand(18, 2), torch.tensor([0.0, 0.5, 1.0]), torch.tensor([0, 3, 7, 8, 12, 17])
    w = c._importance_weights(pos, values, torch.rand(6, 2), lut, 6, 4, 2.0)
    # chunks of the batch size, in evaluation mode without gradients; training restored after
    assert c.model.log == [(False, False, 4), (False, False, 2)] and c.model.training
    expected = ((lut[pos // 6][:, None] - values[pos]) ** 2).mean(1) ** 2 + 1e-8
    assert torch.allclose(w, expected, rtol=1e-5, atol=0)
    with pytest.raises(ValueError, match="spatial_size"):
        c._importance_weights(pos, values, torch.rand(6, 2), lut, 0, 4, 1.0)
