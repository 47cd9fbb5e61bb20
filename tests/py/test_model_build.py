"""build_qelm_model, _trainable_params and _split_optimizer_params, with stand-in networks."""
import pytest
import torch

QUALITY = dict(
    xy_hash_size=2**14, xy_base_resolution=16, xy_n_levels=8, xy_per_level_scale=1.5,
    xy_features_per_level=2, t_hash_size=2**12, t_base_resolution=4, t_n_levels=4,
    t_per_level_scale=1.3, t_features_per_level=2, spatial_scale=1.0, decoder_hidden=32,
    n_hidden_layers=2,
)
CONFIG_KEYS = (
    ["type", "train_mode", "n_bands"] + list(QUALITY)
    + ["spatial_dims", "disable_temporal", "block_size", "temporal_mode"]
)


class Recorder:
    """Records how the network class is called; to() returns a different object."""

    calls = []

    def __init__(self, **kwargs):
        Recorder.calls.append((type(self).__name__, list(kwargs.items())))
        self.kwargs = kwargs

    def to(self, device):
        return ("moved", self, device)


class RecorderTcnn(Recorder):
    pass


@pytest.fixture
def patched(tc, monkeypatch):
    Recorder.calls = []
    monkeypatch.setattr(tc, "QELMNetworkTorch", Recorder)
    monkeypatch.setattr(tc, "QELMNetwork", RecorderTcnn)
    return tc


def test_build_records_network_arguments_and_config(patched, ref_compressor, capsys):
    c = ref_compressor()
    capsys.readouterr()
    c.meta_info = {"n_bands": 3}
    c.build_qelm_model(*QUALITY.values())
    out = capsys.readouterr().out.splitlines()
    assert out == [
        "Building QELM Model (Quality: xy=16384, t=4096, disable_temporal=False)...",
        "Detected Spatial Dims: 2 (based on norm_mode=3)",
    ]
    (cls_name, kwargs), = Recorder.calls
    assert cls_name == "Recorder"  # not the tiny-cuda-nn class on the reference backend
    kw = dict(kwargs)
    assert kw == {**QUALITY, "n_output_dims": 3, "spatial_dims": 2, "enable_deformation": False,
                  "ref_t_for_deformation": -1.0, "disable_temporal": False, "block_size": (1, 1),
                  "temporal_mode": "hash3d",
                  **{f"{p}_{k}": None for p in ("code", "t1d") for k in
                     ("hash_size", "base_resolution", "n_levels", "per_level_scale", "features_per_level")}}
    assert c.model[0] == "moved" and c.model[2] == "cpu"
    assert list(c.config) == CONFIG_KEYS
    assert c.config["type"] == "QELMNetwork" and c.config["train_mode"] == "torch_cpu"
    assert c.config["block_size"] == [1, 1] and c.config["disable_temporal"] is False


@pytest.mark.parametrize("norm_mode, dims", [(1, 3), (0, 3), (2, 2), (2.0, 2), (3, 2), ("2", 3)])
def test_spatial_dims_follow_norm_mode(patched, ref_compressor, capsys, norm_mode, dims):
    c = ref_compressor()
    c.meta_info = {"n_bands": 1, "norm_mode": norm_mode}
    c.build_qelm_model(*QUALITY.values())
    assert f"Detected Spatial Dims: {dims} (based on norm_mode={norm_mode})" in capsys.readouterr().out
    assert dict(Recorder.calls[-1][1])["spatial_dims"] == dims == c.config["spatial_dims"]


def test_argument_conversions_and_backend_choice(patched, ref_compressor, capsys):
    c = ref_compressor()
    c.meta_info = {"n_bands": 2}
    c.train_backend = "tcnn"
    c.build_qelm_model(**QUALITY, disable_temporal=1, block_size=[4.0, "4", 9], temporal_mode="latent",
                       code_n_levels=6, t1d_hash_size=2**10, ref_t_for_deformation=0.25)
    cls_name, kwargs = Recorder.calls[-1]
    kw = dict(kwargs)
    assert cls_name == "RecorderTcnn"
    assert kw["disable_temporal"] == 1 and kw["disable_temporal"] is not True
    assert kw["block_size"] == (4, 4) and isinstance(kw["block_size"], tuple)
    assert kw["code_n_levels"] == 6 and kw["t1d_hash_size"] == 1024 and kw["ref_t_for_deformation"] == 0.25
    assert c.config["type"] == "QELMNetwork"
    assert c.config["disable_temporal"] is True and c.config["block_size"] == [4, 4]
    assert c.config["temporal_mode"] == "latent"
    assert "disable_temporal=1" in capsys.readouterr().out


def test_failures_leave_model_and_config(patched, ref_compressor, capsys, monkeypatch, tc):
    c = ref_compressor()
    c.meta_info = {}
    capsys.readouterr()
    with pytest.raises(KeyError):
        c.build_qelm_model(*QUALITY.values())
    # Only the first line: the key is looked up before anything else is printed.
    assert capsys.readouterr().out.splitlines() == [
        "Building QELM Model (Quality: xy=16384, t=4096, disable_temporal=False)..."]
    assert c.model is None and not hasattr(c, "config")

    c.meta_info = {"n_bands": 2}
    c.build_qelm_model(*QUALITY.values())
    model, config = c.model, c.config
    with pytest.raises(IndexError):
        c.build_qelm_model(**QUALITY, block_size=[4])
    with pytest.raises(ValueError):
        c.build_qelm_model(**QUALITY, block_size=["a", 1])

    def broken(**kwargs):
        raise RuntimeError("no such encoding")

    monkeypatch.setattr(tc, "QELMNetworkTorch", broken)
    with pytest.raises(RuntimeError, match="no such encoding"):
        c.build_qelm_model(*QUALITY.values())
    assert c.model is model and c.config is config


class FlatEncoder(torch.nn.Module):
    def __init__(self, n):
        super().__init__()
        self.params = torch.nn.Parameter(torch.zeros(n))
        self.extra = torch.nn.Parameter(torch.zeros(1))  # not part of the flat weights


class NotFlat(torch.nn.Module):
    def __init__(self):
        super().__init__()
        self.params = "not a parameter"
        self.a = torch.nn.Linear(2, 2)


class Net(torch.nn.Module):
    def __init__(self):
        super().__init__()
        self.enc_spatial = FlatEncoder(8)
        self.enc_phenology = None
        self.enc_time = NotFlat()
        self.decoder = torch.nn.Linear(4, 2)
        self.other = torch.nn.Linear(1, 1)


def test_parameter_groups(tc, ref_compressor):
    enc = FlatEncoder(4)
    assert [p is enc.params for p in tc.QELMCompressor._trainable_params(enc)] == [True]
    nf = NotFlat()
    assert [id(p) for p in tc.QELMCompressor._trainable_params(nf)] == [id(p) for p in nf.parameters()]

    c = ref_compressor()
    c.model = Net()
    hash_params, mlp_params = c._split_optimizer_params()
    m = c.model
    assert [id(p) for p in hash_params] == [id(m.enc_spatial.params), id(m.enc_time.a.weight), id(m.enc_time.a.bias)]
    assert [id(p) for p in mlp_params] == [id(m.decoder.weight), id(m.decoder.bias)]

    c.model = torch.nn.Sequential(torch.nn.Linear(2, 2))
    assert c._split_optimizer_params() == ([], [])
