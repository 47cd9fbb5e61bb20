"""The coordinate networks: architecture, weights, the tiny-cuda-nn build, and training."""
import json
import math
import sys
import types

import pytest
import torch

from pyqelm.models._architecture import grid_layout
from pyqelm.models.QELMNetwork import QELMNetwork
from pyqelm.models.QELMNetworkTorch import (HashGridEncoding, QELMNetworkTorch,
                                            hashgrid_encode_reference)

GRID = dict(hash_size=10, base_resolution=4, n_levels=4, per_level_scale=1.5, features_per_level=2)
BASE = dict(n_output_dims=2, spatial_scale=1.0, decoder_hidden=16, n_hidden_layers=1, spatial_dims=2,
            **{f"{family}_{k}": v for family in ("xy", "t") for k, v in GRID.items()})
LATENT = dict(temporal_mode="latent", code_hash_size=10, code_n_levels=4, code_base_resolution=4)


def net(cls=QELMNetworkTorch, **extra):
    return cls(**dict(BASE, **extra))


def coords(n, S=2, seed=0):
    return torch.rand(n, S + 1, generator=torch.Generator().manual_seed(seed))


def move_weights(src, dst):
    tensors, names = src.export_weight_components()
    dst.load_weight_components({n: t.detach().clone() for n, t in zip(names, tensors)})


@pytest.mark.parametrize("extra,names", [
    ({}, ["spatial", "phenology", "decoder"]),
    (dict(LATENT, code_hash_size=None, code_n_levels=None, code_base_resolution=None,  # defaulted
          enable_deformation=True, block_size=(2, 2)),
     ["spatial", "code", "time", "deform_enc", "deform_net", "decoder"]),
    # The unused t_* family is not checked.
    ({"disable_temporal": True, "t_hash_size": None, "t_n_levels": "n/a"}, ["spatial", "decoder"]),
])
def test_weight_components_and_config_params_rebuild_the_network(extra, names):
    src = net(**extra)
    tensors, got = src.export_weight_components()
    assert got == names == src.config_params["components"]
    assert {id(p) for p in src.parameters()} == {id(t) for t in tensors}  # nothing trainable left out
    with torch.no_grad():  # move every component away from its initialisation
        for p in src.parameters():
            p.add_(torch.randn_like(p) * 0.1)
    # The parameters survive JSON and alone describe the network.
    dst = QELMNetworkTorch.from_config(json.loads(json.dumps(src.config_params)))
    move_weights(src, dst)
    for a, b in zip(src(coords(64)), dst(coords(64))):
        assert a is b is None or torch.equal(a, b)


@pytest.mark.parametrize("extra,error,match", [
    ({"temporal_mode": "Latent"}, ValueError, "temporal_mode"),
    (dict(LATENT, t1d_n_levels=3), ValueError, "same number of features"),
    ({"xy_features_per_level": 3}, ValueError, "xy_features_per_level"),
    ({"spatial_dims": 4}, ValueError, "spatial_dims"),
    ({"block_size": (0, 2)}, ValueError, "block_size"),
    ({"block_size": (4,)}, ValueError, "block_size"),
    ({"spatial_scale": 0.0}, ValueError, "spatial_scale"),
    ({"xy_n_levels": 2.5}, ValueError, "xy_n_levels"),
    ({"t_hash_size": None}, ValueError, "t_hash_size"),
    ({"unknown_option": 1}, TypeError, "unknown_option"),
])
def test_invalid_arguments_are_refused(extra, error, match):
    with pytest.raises(error, match=match):
        net(**extra)


def test_forward_pass_shapes_deformation_and_encoding_path():
    n = net(**LATENT, spatial_dims=3, n_output_dims=3, block_size=(2, 3), enable_deformation=True)
    preds, aux = n(coords(7, S=3))
    # The deformation head starts at zero: training begins from the undeformed grid.
    assert preds.shape == (7, 18) and aux.shape == (7, 3) and torch.count_nonzero(aux) == 0
    preds.sum().backward()
    assert n.net_deform.params.grad.abs().sum() > 0
    with pytest.raises(ValueError, match=r"\(B, 4\), got \(4, 3\)"):
        n(coords(4, S=2))
    # On CPU every grid takes the compiled encoding unless told not to.
    for fused in (None, False):
        n.set_fused(fused)
        compiled = ["HashGridFunction" in g(torch.rand(3, g.n_input_dims)).grad_fn.name()
                    for g in n.modules() if isinstance(g, HashGridEncoding)]
        assert compiled == [fused is None] * 4


def test_spatial_scale_multiplies_the_spatial_coordinates():
    scaled, plain = net(spatial_scale=2.0), net()
    move_weights(scaled, plain)
    c = coords(50)
    assert torch.allclose(scaled(c)[0], plain(c * torch.tensor([2.0, 2.0, 1.0]))[0], rtol=1e-6,
                          atol=1e-7)
    assert not torch.allclose(scaled(c)[0], plain(c)[0], rtol=1e-3, atol=1e-6)


def test_mismatched_weights_are_refused_before_copying_anything():
    n = net()
    tensors, names = n.export_weight_components()
    before = [t.detach().clone() for t in tensors]
    good = {name: torch.ones_like(t) for name, t in zip(names, tensors)}
    for bad, match in [(dict(good, decoder=torch.zeros(5)), "'decoder' has 5 values"),
                       ({k: v for k, v in good.items() if k != "phenology"}, "missing"),
                       (dict(good, code=torch.zeros(3)), "do not belong")]:
        with pytest.raises(ValueError, match=match):
            n.load_weight_components(bad)
    assert all(torch.equal(a, b) for a, b in zip(before, tensors))
    with pytest.raises(ValueError, match="layout"):
        QELMNetworkTorch.from_config(dict(n.config_params, param_layout="something-else/v0"))


# ---- tiny-cuda-nn stand-in ----------------------------------------------------------------

def install_fake_tcnn(monkeypatch, grid_count_offset=0):
    """tinycudann's Encoding/Network as documented: half parameters and outputs; a network's
    input padded to 16 with ones, weights row-major (out x in), output rows padded to 16."""
    calls = []

    class Encoding(torch.nn.Module):
        def __init__(self, n_input_dims, encoding_config, seed=1337, dtype=None):
            super().__init__()
            calls.append(("Encoding", n_input_dims, dict(encoding_config)))
            c = encoding_config
            assert c["otype"] == "HashGrid" and 2 <= n_input_dims <= 4
            self.args = (c["n_levels"], c["n_features_per_level"], c["log2_hashmap_size"],
                         c["base_resolution"], c["per_level_scale"])
            n = grid_layout(n_input_dims, *self.args)[1] + grid_count_offset
            self.params = torch.nn.Parameter((torch.rand(n) * 2e-4 - 1e-4).half())
            self.n_input_dims, self.n_output_dims = n_input_dims, c["n_levels"] * self.args[1]

        def forward(self, x):
            return hashgrid_encode_reference(x.float(), self.params.float(), *self.args).half()

    class Network(torch.nn.Module):
        def __init__(self, n_input_dims, n_output_dims, network_config, seed=1337):
            super().__init__()
            calls.append(("Network", n_input_dims, n_output_dims, dict(network_config)))
            dims = ([-(-n_input_dims // 16) * 16] + [network_config["n_neurons"]]
                    * network_config["n_hidden_layers"] + [-(-n_output_dims // 16) * 16])
            self.shapes = [(dims[i + 1], dims[i]) for i in range(len(dims) - 1)]
            self.params = torch.nn.Parameter(torch.randn(sum(r * c for r, c in self.shapes)).half() / 5)
            self.n_input_dims, self.n_output_dims = n_input_dims, n_output_dims

        def forward(self, x):
            h = torch.cat([x.float(), torch.ones(x.shape[0], self.shapes[0][1] - x.shape[1])], 1)
            for i, w in enumerate(self.params.float().split([r * c for r, c in self.shapes])):
                h = h @ w.view(self.shapes[i]).t()
                h = torch.relu(h) if i < len(self.shapes) - 1 else h
            return h[:, :self.n_output_dims].half()

    fake = types.SimpleNamespace(Encoding=Encoding, Network=Network, calls=calls)
    monkeypatch.setitem(sys.modules, "tinycudann", fake)
    return fake


def test_tcnn_modules_configs_dimensions_and_layout_check(monkeypatch):
    fake = install_fake_tcnn(monkeypatch)
    n = net(QELMNetwork)
    grid = {"otype": "HashGrid", "n_levels": 4, "n_features_per_level": 2,
            "log2_hashmap_size": 10, "base_resolution": 4, "per_level_scale": 1.5}
    assert fake.calls == [
        ("Encoding", 2, grid), ("Encoding", 3, grid),
        ("Network", 16, 2, {"otype": "FullyFusedMLP", "activation": "ReLU",
                            "output_activation": "None", "n_neurons": 16, "n_hidden_layers": 1})]
    preds, aux = n(coords(9))
    assert preds.shape == (9, 2) and preds.dtype == torch.float32 and aux is None
    # float32 master weights, so optimizers and the gradient scaler see float32.
    preds.sum().backward()
    assert all(p.dtype == p.grad.dtype == torch.float32 for p in n.parameters())

    fake.calls.clear()
    n = net(QELMNetwork, **LATENT, enable_deformation=True, decoder_hidden=48, n_hidden_layers=2,
            spatial_dims=3)
    # No 1-D time grid among them: tiny-cuda-nn's HashGrid takes 2 to 4 dims.
    assert [c[:2] for c in fake.calls] == [("Encoding", 4), ("Network", 16), ("Encoding", 3),
                                                ("Encoding", 3), ("Network", 16)]
    assert fake.calls[1][2] == 3 and fake.calls[1][3]["n_neurons"] == 32
    assert fake.calls[4][3]["otype"] == "CutlassMLP"  # no fused kernel 48 wide
    preds, aux = n(coords(6, S=3))
    assert preds.shape == (6, 2) and aux.shape == (6, 3)

    install_fake_tcnn(monkeypatch, grid_count_offset=8)  # parameters laid out another way
    with pytest.raises(RuntimeError, match="not supported"):
        net(QELMNetwork)


# Three spatial levels: 14 decoder inputs, so the ones padding takes part; zero and two
# hidden layers check the row-major matrix chain.
@pytest.mark.parametrize("extra", [{"xy_n_levels": 3, "n_hidden_layers": 0},
                                   dict(LATENT, xy_n_levels=3, block_size=(2, 2), n_hidden_layers=2)])
def test_weights_move_between_backends(monkeypatch, extra):
    install_fake_tcnn(monkeypatch)
    gpu = net(QELMNetwork, **extra)
    cpu = QELMNetworkTorch.from_config(gpu.config_params)
    move_weights(gpu, cpu)
    c = coords(40)
    assert torch.allclose(gpu(c)[0], cpu(c)[0], rtol=2e-2, atol=2e-3)


# ---- training ------------------------------------------------------------------------------

@pytest.fixture
def one_thread():
    saved = torch.get_num_threads()  # one intra-op thread runs these small steps far faster
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(saved)


def smooth_field(c):
    x, y, t = c[:, 0], c[:, 1], c[:, 2]
    return torch.stack([torch.sin(2 * math.pi * x) * torch.cos(2 * math.pi * y) * (0.5 + 0.5 * t),
                        0.5 * (x * y + t) - 0.25], dim=1)


@pytest.mark.parametrize("extra", [{}, dict(temporal_mode="latent", code_hash_size=12, code_n_levels=6),
                                   dict(enable_deformation=True, block_size=(2, 2))],
                         ids=["hash3d", "latent", "deformation-blocks"])
def test_fits_a_smooth_field(one_thread, extra):
    torch.manual_seed(0)
    n = net(**dict(dict(xy_hash_size=12, xy_n_levels=6, t_hash_size=12, t_n_levels=6,
                        decoder_hidden=32, n_hidden_layers=2), **extra))
    opt = torch.optim.Adam(n.parameters(), lr=1e-2)
    losses = []
    for _ in range(300):
        c = torch.rand(512, 3)
        preds, aux = n(c)
        loss = ((preds - smooth_field(c).repeat(1, math.prod(n.block_size))) ** 2).mean()
        loss = loss if aux is None else loss + (aux ** 2).mean()
        opt.zero_grad()
        loss.backward()
        opt.step()
        losses.append(loss.item())
    assert sum(losses[-20:]) / 20 < losses[0] / 100
