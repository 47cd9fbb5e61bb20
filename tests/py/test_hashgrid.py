"""Hash-grid encodings: the layout, the PyTorch reference, and the compiled CPU encoding."""
import math
import os
import subprocess
import sys

import pytest
import torch

from pyqelm.models._architecture import grid_layout, level_scale
from pyqelm.models.QELMNetworkTorch import HashGridEncoding, hashgrid_encode_reference

M32 = 2 ** 32
PRIMES = (1, 2654435761, 805459861, 3674653429)


def naive_encode(x, params, n_levels, n_features, hash_size, base, pls):
    """One point, one level, one corner at a time, with Python integers."""
    D = len(x[0])
    levels, _ = grid_layout(D, n_levels, n_features, hash_size, base, pls)
    out = []
    for point in x:
        row = []
        for lv in levels:
            pos = [v * lv["scale"] + 0.5 for v in point]
            base_v = [math.floor(p) for p in pos]
            frac = [p - b for p, b in zip(pos, base_v)]
            feats = [0.0] * n_features
            for c in range(1 << D):
                v = [(b + ((c >> d) & 1)) % M32 for d, b in enumerate(base_v)]
                w = 1.0
                for d in range(D):
                    w *= frac[d] if (c >> d) & 1 else 1.0 - frac[d]
                if lv["hashed"]:
                    idx = 0
                    for d in range(D):
                        idx ^= (v[d] * PRIMES[d]) % M32
                else:
                    idx = sum(v[d] * lv["resolution"] ** d for d in range(D)) % M32
                idx %= lv["size"]
                for f in range(n_features):
                    feats[f] += w * float(params[(lv["offset"] + idx) * n_features + f])
            row += feats
        out.append(row)
    return torch.tensor(out, dtype=torch.float64)


class TestLayout:
    def test_tables_match_hand_computed_values(self):
        levels, n = grid_layout(2, 3, 2, 10, 16, 2.0)
        assert [(lv["resolution"], lv["offset"], lv["size"], lv["hashed"]) for lv in levels] == [
            (16, 0, 256, False), (32, 256, 1024, False), (64, 1280, 1024, True)]
        assert n == 4608
        # Tables round up to multiples of 8; a fractional scale 12.5 gives resolution 14.
        levels, n = grid_layout(1, 4, 1, 4, 4, 1.5)
        assert [lv["size"] for lv in levels] == [8, 8, 16, 16]
        assert levels[3]["scale"] == 12.5 and levels[3]["resolution"] == 14
        assert n == 48
        assert level_scale(3, 16, 1.3819) == pytest.approx(16 * 1.3819 ** 3 - 1, rel=1e-7)

    def test_compiled_layout_is_the_python_layout(self, tc):
        for D in (1, 2, 3, 4):
            for args in ((16, 2, 19, 16, 2.0), (8, 4, 12, 3, 1.38191), (5, 1, 6, 7, 1.26),
                         (3, 8, 15, 512, 1.1)):
                assert tc._hashgrid_layout(D, *args) == grid_layout(D, *args), (D, args)


class TestReference:
    @pytest.mark.parametrize("D", [1, 2, 3, 4])
    def test_matches_scalar_encoding_including_out_of_range_points(self, D):
        args = (4, 2, 7, 3, 1.7)  # coarse levels dense, fine levels hashed
        _, n = grid_layout(D, *args)
        gen = torch.Generator().manual_seed(D)
        params = torch.randn(n, generator=gen, dtype=torch.float64)
        x = (torch.rand(25, D, generator=gen) * 1.6 - 0.3).float()  # includes x < 0 and x > 1
        got = hashgrid_encode_reference(x.double(), params, *args)
        want = naive_encode(x.tolist(), params, *args)
        assert torch.allclose(got, want, rtol=0, atol=1e-12)

    def test_rejects_wrong_parameter_count(self):
        with pytest.raises(ValueError, match="parameters"):
            hashgrid_encode_reference(torch.rand(3, 2), torch.zeros(5), 2, 2, 8, 4, 2.0)


class TestCompiledEncoding:
    @pytest.mark.parametrize("D,F", [(1, 2), (2, 1), (2, 2), (3, 2), (3, 4), (4, 2)])
    def test_gradcheck_in_double(self, tc, D, F):
        args = (3, F, 6, 2, 1.9)
        _, n = grid_layout(D, *args)
        gen = torch.Generator().manual_seed(10 * D + F)
        params = torch.randn(n, generator=gen, dtype=torch.float64, requires_grad=True)
        x = (torch.rand(12, D, generator=gen, dtype=torch.float64) * 0.9 + 0.05).requires_grad_()
        assert torch.autograd.gradcheck(lambda x, p: tc._hashgrid_encode(x, p, *args), (x, params))
        # Same values and gradients as the PyTorch encoding, points outside [0, 1] included.
        wide = x * 2 - 0.5
        a = tc._hashgrid_encode(wide, params, *args)
        b = hashgrid_encode_reference(wide, params, *args)
        g = torch.randn_like(a)
        ga = torch.autograd.grad(a, (wide, params), g)
        gb = torch.autograd.grad(b, (wide, params), g)
        assert torch.allclose(a, b, rtol=1e-12, atol=1e-12)
        for u, v in zip(ga, gb):
            assert torch.allclose(u, v, rtol=1e-10, atol=1e-12)

    # float32 has kernels per feature width (1, 2, 4, 8) besides the runtime-width one (3).
    @pytest.mark.parametrize("D,F", [(3, 2), (1, 1), (2, 4), (4, 8), (2, 3)])
    def test_large_float32_batch_matches_reference(self, tc, D, F):
        args = (12, F, 14, 8, 1.5)
        _, n = grid_layout(D, *args)
        gen = torch.Generator().manual_seed(D)
        params = (torch.rand(n, generator=gen) * 2 - 1).requires_grad_()
        x = torch.rand(20000, D, generator=gen).requires_grad_()
        a = tc._hashgrid_encode(x, params, *args)
        b = hashgrid_encode_reference(x, params, *args)
        g = torch.randn(a.shape, generator=gen)
        ga = torch.autograd.grad(a, (x, params), g)
        gb = torch.autograd.grad(b, (x, params), g)

        def close(u, v):
            return torch.allclose(u, v, rtol=1e-5, atol=1e-5 * float(v.abs().max()))

        assert close(a, b)
        assert close(ga[0], gb[0])
        assert close(ga[1], gb[1])

    def test_empty_batch_has_zero_gradients(self, tc):
        args = (16, 2, 19, 16, 2.0)  # a table large enough for the pooled gradient buffers
        _, n = grid_layout(2, *args)
        params = torch.rand(n, requires_grad=True)
        tc._hashgrid_encode(torch.rand(1000, 2), params, *args).sum().backward()
        params.grad = None  # its buffer goes back to the pool and is handed out next
        x = torch.zeros(0, 2, requires_grad=True)
        out = tc._hashgrid_encode(x, params, *args)
        assert out.shape == (0, 32)
        gx, gp = torch.autograd.grad(out, (x, params), torch.zeros(0, 32))
        assert gx.shape == (0, 2) and not gp.any()

    def test_errors_are_value_errors(self, tc):
        with pytest.raises(ValueError, match="parameters"):
            tc._hashgrid_encode(torch.rand(4, 2), torch.zeros(7), 2, 2, 8, 4, 2.0)
        with pytest.raises(ValueError, match="1 to 4"):
            tc._hashgrid_encode(torch.rand(4, 5), torch.zeros(40), 2, 2, 8, 4, 2.0)

    def test_module_uses_compiled_path_on_cpu_and_falls_back_on_request(self, tc):
        enc = HashGridEncoding(3, 4, 2, 10, 4, 2.0)
        x = torch.rand(100, 3)
        fused = enc(x)
        assert "HashGridFunction" in fused.grad_fn.name()
        enc.fused = False
        ref = enc(x)
        assert "HashGridFunction" not in ref.grad_fn.name()
        assert torch.allclose(fused, ref, rtol=1e-6, atol=1e-9)
        with pytest.raises(ValueError, match=r"\(B, 3\)"):
            enc(torch.rand(10, 2))


def test_import_order_and_intra_op_threads():
    """The network module must not load the extension (which imports it while loading); the
    extension sets the intra-op threads to the CPUs the process may use."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    code = (
        "import os, sys, torch\n"
        "import pyqelm.models.QELMNetworkTorch, pyqelm.models.QELMNetwork\n"
        "print('pyqelm.encoder.tcnn_compressor' in sys.modules)\n"
        "import pyqelm.encoder.tcnn_compressor\n"
        "print(torch.get_num_threads(), len(os.sched_getaffinity(0)))\n"
    )
    env = {k: v for k, v in os.environ.items() if k != "OMP_NUM_THREADS"}
    env["PYTHONPATH"] = root
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True).stdout.split()
    assert out[0] == "False"
    assert out[1] == out[2]
