"""build_qelm_model and the optimizer parameter groups, with stand-in networks."""
import pytest
import torch

QUALITY = dict(xy_hash_size=2**14, xy_base_resolution=16, xy_n_levels=8, xy_per_level_scale=1.5,
               xy_features_per_level=2, t_hash_size=2**12, t_base_resolution=4, t_n_levels=4,
               t_per_level_scale=1.3, t_features_per_level=2, spatial_scale=1.0, decoder_hidden=32, n_hidden_layers=2)


class Recorder:
    """Records how the network class is called; to() returns a different object."""
    calls = []

    def __init__(self, **kwargs):
        Recorder.calls.append((type(self).__name__, kwargs))

    def to(self, device):
        return ("moved", self, device)


@pytest.fixture
def patched(tc, monkeypatch, ref_compressor, capsys):
    Recorder.calls = []
    monkeypatch.setattr(tc, "QELMNetworkTorch", Recorder)
    monkeypatch.setattr(tc, "QELMNetwork", type("RecorderTcnn", (Recorder,), {}))
    c = ref_compressor()
    c.meta_info = {"n_bands": 2}
    capsys.readouterr()
    return c


def test_build_passes_the_network_its_arguments_and_records_the_config(patched, capsys):
    patched.build_qelm_model(*QUALITY.values())
    assert capsys.readouterr().out.splitlines() == [
        "Building QELM Model (Quality: xy=16384, t=4096, disable_temporal=False)...",
        "Detected Spatial Dims: 2 (based on norm_mode=3)"]
    # The reference backend's class, with every argument by name, moved to the device.
    assert Recorder.calls == [("Recorder", {
        **QUALITY, "n_output_dims": 2, "spatial_dims": 2, "enable_deformation": False, "ref_t_for_deformation": -1.0,
        "disable_temporal": False, "block_size": (1, 1), "temporal_mode": "hash3d",
        **{f"{p}_{k}": None for p in ("code", "t1d")
           for k in ("hash_size", "base_resolution", "n_levels", "per_level_scale", "features_per_level")}})]
    assert patched.model[0] == "moved" and patched.model[2] == "cpu"
    assert list(patched.config.items()) == [
        ("type", "QELMNetwork"), ("train_mode", "torch_cpu"), ("n_bands", 2), *QUALITY.items(),
        ("spatial_dims", 2), ("disable_temporal", False), ("block_size", [1, 1]), ("temporal_mode", "hash3d")]


@pytest.mark.parametrize("norm_mode, dims", [(1, 3), (0, 3), (2, 2), (2.0, 2), (3, 2), ("2", 3)])
def test_spatial_dims_follow_norm_mode(patched, capsys, norm_mode, dims):
    patched.meta_info = {"n_bands": 1, "norm_mode": norm_mode}
    patched.build_qelm_model(*QUALITY.values())
    assert f"Detected Spatial Dims: {dims} (based on norm_mode={norm_mode})" in capsys.readouterr().out
    assert Recorder.calls[-1][1]["spatial_dims"] == dims == patched.config["spatial_dims"]


def test_argument_conversions_and_backend_choice(patched, capsys):
    patched.train_backend = "tcnn"
    patched.build_qelm_model(**QUALITY, disable_temporal=1, block_size=[4.0, "4", 9], temporal_mode="latent",
                             code_n_levels=6, t1d_hash_size=2**10, ref_t_for_deformation=0.25)
    cls_name, kw = Recorder.calls[-1]
    # The network gets the caller's flag and a tuple of ints; the config a bool and a list.
    assert (cls_name, type(kw["disable_temporal"]), kw["block_size"]) == ("RecorderTcnn", int, (4, 4))
    assert (kw["code_n_levels"], kw["t1d_hash_size"], kw["ref_t_for_deformation"]) == (6, 1024, 0.25)
    cfg = patched.config
    assert (cfg["type"], cfg["block_size"], cfg["temporal_mode"]) == ("QELMNetwork", [4, 4], "latent")
    assert cfg["disable_temporal"] is True and "disable_temporal=1" in capsys.readouterr().out


def test_failures_leave_model_and_config(patched, monkeypatch, tc):
    patched.meta_info = {}
    with pytest.raises(KeyError):
        patched.build_qelm_model(*QUALITY.values())
    assert patched.model is None and not hasattr(patched, "config")
    patched.meta_info = {"n_bands": 2}
    patched.build_qelm_model(*QUALITY.values())
    model, config = patched.model, patched.config
    monkeypatch.setattr(tc, "QELMNetworkTorch", lambda **kw: 1 / 0)
    for kwargs, error in ((dict(block_size=[4]), IndexError), (dict(block_size=["a", 1]), ValueError),
                          ({}, ZeroDivisionError)):
        with pytest.raises(error):
            patched.build_qelm_model(**QUALITY, **kwargs)
        assert patched.model is model and patched.config is config


def module(**children):
    m = torch.nn.Module()
    for name, child in children.items():
        setattr(m, name, child)
    return m


def test_parameter_groups(ref_compressor):
    # An encoder with flat weights contributes those alone; any other module all its parameters.
    flat = module(params=torch.nn.Parameter(torch.zeros(8)), extra=torch.nn.Parameter(torch.zeros(1)))
    other = module(params="not a parameter", a=torch.nn.Linear(2, 2))
    c = ref_compressor()
    c.model = module(enc_spatial=flat, enc_phenology=None, enc_time=other, decoder=torch.nn.Linear(4, 2),
                     other=torch.nn.Linear(1, 1))
    assert [list(map(id, group)) for group in c._split_optimizer_params()] == [
        [id(flat.params), id(other.a.weight), id(other.a.bias)], [id(c.model.decoder.weight), id(c.model.decoder.bias)]]
    c.model = torch.nn.Sequential(torch.nn.Linear(2, 2))
    assert c._split_optimizer_params() == ([], [])
