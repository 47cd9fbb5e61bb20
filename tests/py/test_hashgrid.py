"""Hash-grid encodings: the layout, the PyTorch reference, and the compiled CPU encoding."""
import math
import os
import subprocess
import sys

import pytest
import torch

from conftest import IMPORT_ROOT
from pyqelm.models._architecture import grid_layout
from pyqelm.models.QELMNetworkTorch import hashgrid_encode_reference

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
            feats = [0.0] * n_features
            for c in range(1 << D):
                bits = [(c >> d) & 1 for d in range(D)]
                v = [(b + bit) % M32 for b, bit in zip(base_v, bits)]
                w = math.prod(p - b if bit else 1.0 - (p - b) for p, b, bit in zip(pos, base_v, bits))
                if lv["hashed"]:
                    idx = 0
                    for d in range(D):
                        idx ^= (v[d] * PRIMES[d]) % M32
                else:
                    idx = sum(v[d] * lv["resolution"] ** d for d in range(D)) % M32
                start = (lv["offset"] + idx % lv["size"]) * n_features
                feats = [a + w * float(params[start + f]) for f, a in enumerate(feats)]
            row += feats
        out.append(row)
    return torch.tensor(out, dtype=torch.float64)


def test_layout_tables_match_hand_computed_values():
    levels, n = grid_layout(2, 3, 2, 10, 16, 2.0)
    got = [(lv["resolution"], lv["offset"], lv["size"], lv["hashed"]) for lv in levels]
    assert n == 4608 and got == [(16, 0, 256, False), (32, 256, 1024, False), (64, 1280, 1024, True)]
    # Tables round up to multiples of 8; a fractional scale 12.5 gives resolution 14.
    levels, n = grid_layout(1, 4, 1, 4, 4, 1.5)
    assert [lv["size"] for lv in levels] == [8, 8, 16, 16]
    assert levels[3]["scale"] == 12.5 and levels[3]["resolution"] == 14 and n == 48


def test_compiled_layout_is_the_python_layout(tc):
    for D in (1, 2, 3, 4):
        for args in ((16, 2, 19, 16, 2.0), (8, 4, 12, 3, 1.38191), (5, 1, 6, 7, 1.26),
                     (3, 8, 15, 512, 1.1)):
            assert tc._hashgrid_layout(D, *args) == grid_layout(D, *args), (D, args)


@pytest.mark.parametrize("D", [1, 2, 3, 4])
def test_reference_matches_scalar_encoding_including_out_of_range_points(D):
    args = (4, 2, 7, 3, 1.7)  # coarse levels dense, fine levels hashed
    _, n = grid_layout(D, *args)
    gen = torch.Generator().manual_seed(D)
    params = torch.randn(n, generator=gen, dtype=torch.float64)
    x = (torch.rand(25, D, generator=gen) * 1.6 - 0.3).float()  # includes x < 0 and x > 1
    got = hashgrid_encode_reference(x.double(), params, *args)
    assert torch.allclose(got, naive_encode(x.tolist(), params, *args), rtol=0, atol=1e-12)


def assert_matches_reference(tc, x, params, args, tol):
    """Compiled and PyTorch encodings agree in values and in both gradients."""
    a, b = (f(x, params, *args) for f in (tc._hashgrid_encode, hashgrid_encode_reference))
    g = torch.randn(a.shape, dtype=a.dtype, generator=torch.Generator().manual_seed(7))
    got = (a,) + torch.autograd.grad(a, (x, params), g)
    want = (b,) + torch.autograd.grad(b, (x, params), g)
    for what, u, v in zip(("values", "position grads", "param grads"), got, want):
        assert torch.allclose(u, v, rtol=tol, atol=tol * float(v.abs().max())), what


@pytest.mark.parametrize("D,F", [(1, 2), (2, 1), (2, 2), (3, 2), (3, 4), (4, 2)])
def test_gradcheck_in_double(tc, D, F):
    args = (3, F, 6, 2, 1.9)
    _, n = grid_layout(D, *args)
    gen = torch.Generator().manual_seed(10 * D + F)
    params = torch.randn(n, generator=gen, dtype=torch.float64, requires_grad=True)
    x = (torch.rand(12, D, generator=gen, dtype=torch.float64) * 0.9 + 0.05).requires_grad_()
    assert torch.autograd.gradcheck(lambda x, p: tc._hashgrid_encode(x, p, *args), (x, params))
    wide = (x * 2 - 0.5).detach().requires_grad_()  # points outside [0, 1] included
    assert_matches_reference(tc, wide, params, args, 1e-12)


# float32 has kernels per feature width (1, 2, 4, 8) besides the runtime-width one (3).
@pytest.mark.parametrize("D,F", [(3, 2), (1, 1), (2, 4), (4, 8), (2, 3)])
def test_large_float32_batch_matches_reference(tc, D, F):
    args = (12, F, 14, 8, 1.5)
    gen = torch.Generator().manual_seed(D)
    params = (torch.rand(grid_layout(D, *args)[1], generator=gen) * 2 - 1).requires_grad_()
    x = torch.rand(20000, D, generator=gen).requires_grad_()
    assert_matches_reference(tc, x, params, args, 1e-5)


def test_empty_batch_has_zero_gradients(tc):
    args = (16, 2, 19, 16, 2.0)  # a table large enough for the pooled gradient buffers
    _, n = grid_layout(2, *args)
    params = torch.rand(n, requires_grad=True)
    tc._hashgrid_encode(torch.rand(1000, 2), params, *args).sum().backward()
    params.grad = None  # its buffer goes back to the pool and is handed out next
    x = torch.zeros(0, 2, requires_grad=True)
    out = tc._hashgrid_encode(x, params, *args)
    gx, gp = torch.autograd.grad(out, (x, params), torch.zeros(0, 32))
    assert gx.shape == (0, 2) and not gp.any()


def test_wrong_parameter_count_is_a_value_error(tc):
    for encode in (tc._hashgrid_encode, hashgrid_encode_reference):
        with pytest.raises(ValueError, match="parameters"):
            encode(torch.rand(4, 2), torch.zeros(7), 2, 2, 8, 4, 2.0)


def test_import_order_and_intra_op_threads():
    """The network module must not load the extension (which imports it while loading); the
    extension sets the intra-op threads to the CPUs the process may use."""
    code = ("import os, sys, torch, pyqelm.models.QELMNetworkTorch, pyqelm.models.QELMNetwork\n"
            "print('pyqelm.encoder.tcnn_compressor' in sys.modules)\n"
            "import pyqelm.encoder.tcnn_compressor; print(torch.get_num_threads(), len(os.sched_getaffinity(0)))\n")
    env = {k: v for k, v in os.environ.items() if k != "OMP_NUM_THREADS"}
    env["PYTHONPATH"] = IMPORT_ROOT
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True).stdout.split()
    assert out[0] == "False" and out[1] == out[2]
