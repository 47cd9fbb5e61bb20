"""End to end on the reference backend: preparation, the real network, fit, physical error."""
import numpy as np
import pytest
import torch

T, H, W, C = 4, 24, 32, 3
QUALITY = dict(xy_hash_size=12, xy_base_resolution=4, xy_n_levels=8, xy_per_level_scale=1.5, xy_features_per_level=2,
               t_hash_size=12, t_base_resolution=2, t_n_levels=4, t_per_level_scale=1.5, t_features_per_level=2,
               spatial_scale=1.0, decoder_hidden=32, n_hidden_layers=1)


@pytest.fixture
def one_thread():
    """Thousands of tiny steps: on a small shared machine thread hand-offs cost more than they save."""
    n = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(n)


@pytest.mark.parametrize("threshold, mode", [("100", "[Mode: In-Memory]"), ("0", "[Mode: Threaded Streaming]")],
                         ids=["in_memory", "threaded"])
def test_fit_reaches_one_percent_of_each_band_range(ref_compressor, monkeypatch, capsys, one_thread, threshold, mode):
    monkeypatch.setenv("PYQELM_STREAM_THRESHOLD_GB", threshold)
    t, y, x = np.meshgrid(np.arange(T) / T, np.arange(H) / H, np.arange(W) / W, indexing="ij")
    # Three bands on very different scales, about a tenth of the pixels no-data.
    vol = np.stack([500 + 400 * np.sin(2 * x + 1.5 * y + t), 5 * np.cos(3 * y - x + 2 * t),
                    250 + 40 * np.sin(x + y) * np.cos(t)], -1).astype(np.float32)
    nodata = np.random.default_rng(0).random((T, H, W)) < 0.1
    torch.manual_seed(0)
    c = ref_compressor()
    # the loader's arrays, fill value in the no-data cells (preparation reuses them in place)
    c.volume, c.nodata_mask_vol = np.where(nodata[..., None], np.float32(-9999.0), vol), nodata.copy()
    c.meta_info.update(height=H, width=W, n_bands=C, timestamps=[f"2021-03-0{i + 1}" for i in range(T)],
                       t_norms=list(np.linspace(0.0, 1.0, T)))
    c.prepare_training_data_optimized()
    c.build_qelm_model(**QUALITY)
    assert c.fit(epochs=1, batch_size=256) is True and mode in capsys.readouterr().out

    idx = torch.nonzero(c.cpu_mask).squeeze(1)
    with torch.no_grad():
        preds = c.model(torch.cat([c.xyz_cache[idx % (H * W)], c.time_lut.cpu()[idx // (H * W)][:, None]], 1))[0]
    lo, hi = np.array(c.meta_info["data_range"], dtype=np.float64).T
    rmse = np.sqrt(((preds.double().numpy() * (hi - lo) + lo - vol.reshape(-1, C)[idx.numpy()]) ** 2).mean(0))
    assert np.all(rmse < 0.01 * (hi - lo)), rmse / (hi - lo)
