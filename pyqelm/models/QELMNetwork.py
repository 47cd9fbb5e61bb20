"""The coordinate network on tiny-cuda-nn (CUDA).

Same architecture and weight layout as ``QELMNetworkTorch`` (see ``_architecture``): the
hash grids are ``tinycudann.Encoding`` modules with "HashGrid" configurations and the MLPs
``tinycudann.Network`` modules ("FullyFusedMLP", or "CutlassMLP" for shapes the fused kernels
do not cover), so weights exported here load into the pure-PyTorch network and back.

Two departures from plain tiny-cuda-nn modules:

* tiny-cuda-nn's HashGrid takes 2 to 4 input dimensions, so the 1-D time grid of the "latent"
  mode is the PyTorch ``HashGridEncoding`` (same layout; a 1-D table is small enough that
  gathers cost nothing next to the rest of the network).
* every tiny-cuda-nn module keeps float32 master weights in its ``params``; the module casts
  them to its own precision (half on most GPUs) on each call. Optimizers and the mixed-
  precision gradient scaler then work on float32 tensors (the scaler refuses half-precision
  gradients), and exported weights are float32.
"""
import torch

from pyqelm.models._architecture import (
    QELMNetworkBase,
    grid_n_params,
    mlp_n_params,
    tcnn_grid_config,
    tcnn_mlp_config,
)
from pyqelm.models.QELMNetworkTorch import HashGridEncoding


def _float32_master(module):
    module.params = torch.nn.Parameter(module.params.detach().to(torch.float32).clone())
    return module


class QELMNetwork(QELMNetworkBase):
    """Hash-grid coordinate network on tiny-cuda-nn.

    Built from the thirty keyword arguments of the compressor (see ``_architecture``).
    ``forward(coords)`` takes (B, S + 1) float coordinates on the CUDA device and returns
    ``(preds, aux)``: preds float32 (B, n_output_dims * bh * bw), aux the deformation offsets
    (B, S) or None. Requires the ``tinycudann`` bindings, imported when a network is built.
    """

    backend = "tcnn"

    def __init__(self, **kwargs):
        import tinycudann  # noqa: F401  (fail early, before any sub-module is made)

        super().__init__(**kwargs)

    @staticmethod
    def _tcnn():
        import tinycudann

        return tinycudann

    def _make_grid(self, n_dims, grid):
        tcnn = self._tcnn()
        module = tcnn.Encoding(n_input_dims=n_dims, encoding_config=tcnn_grid_config(grid))
        expected_out = grid["n_levels"] * grid["features_per_level"]
        if int(module.n_output_dims) != expected_out:
            raise RuntimeError(f"tiny-cuda-nn hash grid gives {module.n_output_dims} features, "
                               f"expected {expected_out}")
        _check_count(module, grid_n_params(n_dims, grid), "hash grid")
        return _float32_master(module)

    def _make_time_grid(self, grid):
        return HashGridEncoding(1, grid["n_levels"], grid["features_per_level"],
                                grid["hash_size"], grid["base_resolution"],
                                grid["per_level_scale"])

    def _make_mlp(self, n_in, n_out, width, n_hidden_layers):
        tcnn = self._tcnn()
        module = tcnn.Network(n_input_dims=n_in, n_output_dims=n_out,
                              network_config=tcnn_mlp_config(width, n_hidden_layers))
        _check_count(module, mlp_n_params(n_in, n_out, width, n_hidden_layers), "MLP")
        return _float32_master(module)


def _check_count(module, expected, what):
    # A tiny-cuda-nn release that lays its parameters out differently would silently
    # scramble exported weights; refuse to build instead.
    n = int(module.params.numel())
    if n != expected:
        raise RuntimeError(f"tiny-cuda-nn {what} has {n} parameters, the weight layout "
                           f"expects {expected}; this tiny-cuda-nn version is not supported")
