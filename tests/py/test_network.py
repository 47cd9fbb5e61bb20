"""The coordinate networks: architecture, weights, the tiny-cuda-nn build, and training."""
import json
import math
import sys
import types

import pytest
import torch

from pyqelm.models._architecture import PARAM_LAYOUT
from pyqelm.models.QELMNetwork import QELMNetwork
from pyqelm.models.QELMNetworkTorch import HashGridEncoding, PaddedMLP, QELMNetworkTorch

BASE = dict(
    n_output_dims=2,
    xy_hash_size=10, xy_base_resolution=4, xy_n_levels=4, xy_per_level_scale=1.5,
    xy_features_per_level=2,
    t_hash_size=10, t_base_resolution=4, t_n_levels=4, t_per_level_scale=1.5,
    t_features_per_level=2,
    spatial_scale=1.0, decoder_hidden=16, n_hidden_layers=1, spatial_dims=2,
)
LATENT = dict(temporal_mode="latent", code_hash_size=10, code_n_levels=4, code_base_resolution=4)


def net(cls=QELMNetworkTorch, **extra):
    kw = dict(BASE)
    kw.update(extra)
    return cls(**kw)


def compressor_config(n, **kw):
    """The configuration dictionary the compressor records for a network built with ``kw``."""
    a = dict(BASE)
    a.update(kw)
    keys = ["xy_hash_size", "xy_base_resolution", "xy_n_levels", "xy_per_level_scale",
            "xy_features_per_level", "t_hash_size", "t_base_resolution", "t_n_levels",
            "t_per_level_scale", "t_features_per_level", "spatial_scale", "decoder_hidden",
            "n_hidden_layers", "spatial_dims"]
    cfg = {"type": "QELMNetwork", "train_mode": "torch_cpu", "n_bands": a["n_output_dims"]}
    cfg.update({k: a[k] for k in keys})
    cfg["disable_temporal"] = bool(a.get("disable_temporal", False))
    cfg["block_size"] = list(a.get("block_size", (1, 1)))
    cfg["temporal_mode"] = a.get("temporal_mode", "hash3d")
    return cfg


def coords(n, S=2, seed=0):
    return torch.rand(n, S + 1, generator=torch.Generator().manual_seed(seed))


class TestArchitecture:
    @pytest.mark.parametrize("extra,names,absent", [
        ({}, ["spatial", "phenology", "decoder"], ["enc_code", "enc_time", "enc_deform"]),
        (LATENT, ["spatial", "code", "time", "decoder"], ["enc_phenology", "enc_deform"]),
        ({"disable_temporal": True}, ["spatial", "decoder"],
         ["enc_phenology", "enc_code", "enc_time", "net_deform"]),
        ({"enable_deformation": True},
         ["spatial", "phenology", "deform_enc", "deform_net", "decoder"], ["enc_code"]),
    ])
    def test_components_cover_every_trainable_tensor(self, extra, names, absent):
        n = net(**extra)
        tensors, got = n.export_weight_components()
        assert got == names
        for a in absent:
            assert getattr(n, a) is None
        # One flat parameter per sub-module, and nothing trainable outside the components.
        assert all(isinstance(t, torch.nn.Parameter) for t in tensors)
        assert {id(p) for p in n.parameters()} == {id(t) for t in tensors}
        assert n.config_params["component_sizes"] == [t.numel() for t in tensors]
        assert n.config_params["components"] == names

    def test_config_params_resolve_defaults_and_are_plain(self):
        latent = net(**dict(LATENT, code_hash_size=None, code_n_levels=None,
                            code_base_resolution=None)).config_params
        json.dumps(latent)
        assert latent["backend"] == "torch" and latent["param_layout"] == PARAM_LAYOUT
        # The time grid follows the code grid's feature count.
        assert latent["t1d_n_levels"] * latent["t1d_features_per_level"] == 16
        assert latent["decoder_n_input_dims"] == 8 + 16
        hash3d = net().config_params
        assert hash3d["code_hash_size"] is None and hash3d["t1d_n_levels"] is None

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
    def test_invalid_arguments_are_refused(self, extra, error, match):
        with pytest.raises(error, match=match):
            net(**extra)

    def test_unused_temporal_family_is_ignored(self):
        n = net(disable_temporal=True, t_hash_size=None, t_n_levels="n/a")
        assert n.enc_phenology is None

    def test_forward_shapes_blocks_and_deformation(self):
        n = net(spatial_dims=3, n_output_dims=3, block_size=(2, 3))
        preds, aux = n(coords(7, S=3))
        assert preds.shape == (7, 18) and preds.dtype == torch.float32 and aux is None
        d = net(enable_deformation=True, ref_t_for_deformation=0.5)
        assert d.ref_t_for_deformation == 0.5 and isinstance(d.ref_t_for_deformation, float)
        preds, aux = d(coords(5))
        assert aux.shape == (5, 2)
        # The deformation head starts at zero: training begins from the undeformed grid.
        assert torch.count_nonzero(aux) == 0
        preds.sum().backward()
        assert d.net_deform.params.grad.abs().sum() > 0
        with pytest.raises(ValueError, match=r"\(B, 4\), got \(4, 3\)"):
            n(coords(4, S=2))

    def test_spatial_scale_multiplies_the_spatial_coordinates(self):
        scaled = net(spatial_scale=2.0)
        plain = net()
        tensors, names = scaled.export_weight_components()
        plain.load_weight_components(dict(zip(names, tensors)))
        c = coords(50)
        doubled = c.clone()
        doubled[:, :2] *= 2.0
        assert torch.allclose(scaled(c)[0], plain(doubled)[0], rtol=1e-6, atol=1e-7)
        assert not torch.allclose(scaled(c)[0], plain(c)[0], rtol=1e-3, atol=1e-6)


class TestWeights:
    def test_roundtrip_through_saved_configuration(self):
        kw = dict(LATENT, enable_deformation=True, block_size=(2, 2))
        src = net(**kw)
        with torch.no_grad():  # move every component away from its initialisation
            for p in src.parameters():
                p.add_(torch.randn_like(p) * 0.1)
        config = compressor_config(src, **kw)
        config.update(src.config_params)
        dst = QELMNetworkTorch.from_config(config)
        tensors, names = src.export_weight_components()
        dst.load_weight_components({n: t.detach().clone() for n, t in zip(names, tensors)})
        c = coords(64)
        assert torch.equal(src(c)[0], dst(c)[0])
        assert torch.equal(src(c)[1], dst(c)[1])

    def test_compressor_configuration_alone_rebuilds_the_network(self):
        src = net(block_size=(2, 1))
        dst = QELMNetworkTorch.from_config(compressor_config(src, block_size=(2, 1)))
        assert dst.config_params["component_sizes"] == src.config_params["component_sizes"]
        other = dict(src.config_params, param_layout="something-else/v0")
        with pytest.raises(ValueError, match="layout"):
            QELMNetworkTorch.from_config(other)

    def test_load_refuses_mismatches_before_copying_anything(self):
        n = net()
        tensors, names = n.export_weight_components()
        before = [t.detach().clone() for t in tensors]
        good = {name: torch.ones_like(t) for name, t in zip(names, tensors)}
        with pytest.raises(ValueError, match="'decoder' has 5 values"):
            n.load_weight_components(dict(good, decoder=torch.zeros(5)))
        with pytest.raises(ValueError, match="missing"):
            n.load_weight_components({k: v for k, v in good.items() if k != "phenology"})
        with pytest.raises(ValueError, match="do not belong"):
            n.load_weight_components(dict(good, code=torch.zeros(3)))
        assert all(torch.equal(a, b) for a, b in zip(before, n.export_weight_components()[0]))
        n.load_weight_components({k: v.half() for k, v in good.items()})
        assert all(torch.all(t == 1) and t.dtype == torch.float32
                   for t in n.export_weight_components()[0])


class TestDecoderLayout:
    def test_unused_output_rows_start_at_zero(self):
        mlp = PaddedMLP(20, 3, 32, 1)  # 20 inputs pad to 32, 3 outputs to 16
        assert mlp.shapes == [(32, 32), (16, 32)]
        last = mlp.params.detach()[-16 * 32:].view(16, 32)
        assert torch.count_nonzero(last[3:]) == 0 and torch.count_nonzero(last[:3]) > 0


# ---- tiny-cuda-nn stand-in ----------------------------------------------------------------

def make_fake_tcnn(grid_count_offset=0):
    """A stand-in for tinycudann's Encoding/Network with their documented behaviour: half
    parameters and outputs; a network's input padded to 16 with ones and its weights stored
    as row-major (out x in) matrices, output rows padded to 16."""
    from pyqelm.models._architecture import grid_layout
    from pyqelm.models.QELMNetworkTorch import hashgrid_encode_reference

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
            self.n_input_dims = n_input_dims
            self.n_output_dims = c["n_levels"] * c["n_features_per_level"]

        def forward(self, x):
            return hashgrid_encode_reference(x.float(), self.params.float(), *self.args).half()

    class Network(torch.nn.Module):
        def __init__(self, n_input_dims, n_output_dims, network_config, seed=1337):
            super().__init__()
            calls.append(("Network", n_input_dims, n_output_dims, dict(network_config)))
            c = network_config
            width, hidden = c["n_neurons"], c["n_hidden_layers"]
            n_in = -(-n_input_dims // 16) * 16
            n_out = -(-n_output_dims // 16) * 16
            dims = [n_in] + [width] * hidden + [n_out]
            self.shapes = [(dims[i + 1], dims[i]) for i in range(len(dims) - 1)]
            self.params = torch.nn.Parameter(
                (torch.randn(sum(r * c for r, c in self.shapes)) * 0.2).half())
            self.n_input_dims, self.n_output_dims = n_input_dims, n_output_dims

        def forward(self, x):
            h = x.float()
            h = torch.cat([h, torch.ones(h.shape[0], self.shapes[0][1] - h.shape[1])], dim=1)
            p = self.params.float()
            off = 0
            for i, (r, c) in enumerate(self.shapes):
                h = h @ p[off:off + r * c].view(r, c).t()
                off += r * c
                if i < len(self.shapes) - 1:
                    h = torch.relu(h)
            return h[:, :self.n_output_dims].half()

    return types.SimpleNamespace(Encoding=Encoding, Network=Network, calls=calls)


@pytest.fixture
def fake_tcnn(monkeypatch):
    fake = make_fake_tcnn()
    monkeypatch.setitem(sys.modules, "tinycudann", fake)
    return fake


class TestTinyCudaNNNetwork:
    def test_builds_hash_grids_and_fused_mlp(self, fake_tcnn):
        n = net(QELMNetwork)
        grid = {"otype": "HashGrid", "n_levels": 4, "n_features_per_level": 2,
                "log2_hashmap_size": 10, "base_resolution": 4, "per_level_scale": 1.5}
        assert fake_tcnn.calls == [
            ("Encoding", 2, grid),
            ("Encoding", 3, grid),
            ("Network", 16, 2, {"otype": "FullyFusedMLP", "activation": "ReLU",
                                "output_activation": "None", "n_neurons": 16,
                                "n_hidden_layers": 1}),
        ]
        assert n.config_params["backend"] == "tcnn"
        # float32 master weights, so optimizers and the gradient scaler see float32.
        assert all(p.dtype == torch.float32 for p in n.parameters())
        preds, aux = n(coords(9))
        assert preds.shape == (9, 2) and preds.dtype == torch.float32 and aux is None
        preds.sum().backward()
        assert all(p.grad is not None and p.grad.dtype == torch.float32 for p in n.parameters())

    def test_latent_deformation_and_mlp_fallback(self, fake_tcnn):
        n = net(QELMNetwork, **LATENT, enable_deformation=True, decoder_hidden=48,
                n_hidden_layers=2, spatial_dims=3)
        kinds = [(c[0], c[1]) for c in fake_tcnn.calls]
        # deformation grid over space-time, its head, spatial grid, code grid, decoder; the
        # 1-D time grid is not a tiny-cuda-nn module (its HashGrid takes 2 to 4 dims).
        assert kinds == [("Encoding", 4), ("Network", 16), ("Encoding", 3), ("Encoding", 3),
                         ("Network", 16)]
        assert fake_tcnn.calls[1][2] == 3 and fake_tcnn.calls[1][3]["n_neurons"] == 32
        assert fake_tcnn.calls[4][3]["otype"] == "CutlassMLP"
        assert isinstance(n.enc_time, HashGridEncoding) and n.enc_time.n_input_dims == 1
        preds, aux = n(coords(6, S=3))
        assert preds.shape == (6, 2) and aux.shape == (6, 3)

    # Three spatial levels: 14 decoder inputs, so the ones padding takes part; zero and two
    # hidden layers check the row-major matrix chain.
    @pytest.mark.parametrize("extra", [{"xy_n_levels": 3, "n_hidden_layers": 0},
                                       dict(LATENT, xy_n_levels=3, block_size=(2, 2), n_hidden_layers=2)])
    def test_weights_move_between_backends(self, fake_tcnn, extra):
        gpu = net(QELMNetwork, **extra)
        cpu = QELMNetworkTorch.from_config(dict(compressor_config(gpu, **extra),
                                                **gpu.config_params))
        tensors, names = gpu.export_weight_components()
        cpu.load_weight_components(dict(zip(names, tensors)))
        c = coords(40)
        assert torch.allclose(gpu(c)[0], cpu(c)[0], rtol=2e-2, atol=2e-3)
        # and back
        torch.manual_seed(3)
        cpu2 = net(**extra)
        tensors, names = cpu2.export_weight_components()
        gpu.load_weight_components(dict(zip(names, tensors)))
        assert torch.allclose(gpu(c)[0], cpu2(c)[0], rtol=2e-2, atol=2e-3)

    def test_refuses_a_tinycudann_with_another_layout(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "tinycudann", make_fake_tcnn(grid_count_offset=8))
        with pytest.raises(RuntimeError, match="not supported"):
            net(QELMNetwork)

    def test_missing_tinycudann_is_an_import_error(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "tinycudann", None)
        with pytest.raises(ImportError):
            net(QELMNetwork)


# ---- training ------------------------------------------------------------------------------

@pytest.fixture
def one_thread():
    # One intra-op thread keeps these small steps fast and steady on a shared machine; the
    # multi-threaded kernels are covered by the encoding tests.
    saved = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(saved)


def smooth_field(c):
    x, y, t = c[:, 0], c[:, 1], c[:, 2]
    return torch.stack([torch.sin(2 * math.pi * x) * torch.cos(2 * math.pi * y) * (0.5 + 0.5 * t),
                        0.5 * (x * y + t) - 0.25], dim=1)


@pytest.mark.parametrize("extra", [
    {},
    dict(temporal_mode="latent", code_hash_size=12, code_n_levels=6),
    dict(enable_deformation=True, block_size=(2, 2)),
], ids=["hash3d", "latent", "deformation-blocks"])
def test_fits_a_smooth_field(one_thread, extra):
    torch.manual_seed(0)
    kw = dict(BASE, xy_hash_size=12, xy_n_levels=6, t_hash_size=12, t_n_levels=6,
              decoder_hidden=32, n_hidden_layers=2)
    kw.update(extra)
    n = QELMNetworkTorch(**kw)
    reps = n.block_size[0] * n.block_size[1]
    opt = torch.optim.Adam(n.parameters(), lr=1e-2)
    losses = []
    for step in range(300):
        c = torch.rand(512, 3)
        preds, aux = n(c)
        loss = ((preds - smooth_field(c).repeat(1, reps)) ** 2).mean()
        if aux is not None:
            loss = loss + (aux ** 2).mean()
        opt.zero_grad()
        loss.backward()
        opt.step()
        losses.append(loss.item())
    assert sum(losses[-20:]) / 20 < losses[0] / 100


def test_fused_and_pytorch_encodings_train_the_same_network():
    kw = dict(BASE, enable_deformation=True)
    n = net(**kw)
    c = coords(300)
    results = []
    for fused in (True, False):
        n.set_fused(fused)
        n.zero_grad()
        preds, aux = n(c)
        (preds.square().sum() + aux.sum()).backward()
        results.append([preds.detach()] + [p.grad.clone() for p in n.parameters()])
    for a, b in zip(*results):
        assert torch.allclose(a, b, rtol=1e-5, atol=1e-6 * float(b.abs().max()) + 1e-12)
