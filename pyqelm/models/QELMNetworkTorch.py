"""The coordinate network in pure PyTorch: runs anywhere PyTorch runs.

Same architecture and weight layout as ``QELMNetwork`` (see ``_architecture``), so weights
exported by either load into the other. On CPU tensors the hash-grid encodings run in the
compiled extension (multi-threaded forward and backward); elsewhere, or when the extension
is not built, they run as PyTorch gathers (``hashgrid_encode_reference``), which is also the
reference the compiled encoding is tested against.
"""
import torch

from pyqelm.models._architecture import (
    HASH_PRIMES,
    QELMNetworkBase,
    grid_layout,
    mlp_layout,
)

_MASK32 = 0xFFFFFFFF
_fused_encode = None  # the extension's encoding, once looked up; False when unavailable


def _fused_encoder():
    """The compiled encoding, imported on first use.

    The extension imports this module while it loads, so it cannot be imported here at
    module level; by the time a network runs forward it is either loaded or not built.
    """
    global _fused_encode
    if _fused_encode is None:
        try:
            from pyqelm.encoder import tcnn_compressor
            _fused_encode = tcnn_compressor._hashgrid_encode
        except (ImportError, AttributeError):
            _fused_encode = False
    return _fused_encode or None


def hashgrid_encode_reference(positions, params, n_levels, n_features, hash_size,
                              base_resolution, per_level_scale):
    """Multiresolution hash encoding written with PyTorch gathers.

    ``positions`` (B, D) in the grid's unit cube (values outside continue the indexing),
    ``params`` the flat tables in the layout of ``_architecture``. Returns (B, n_levels *
    n_features), level-major. Differentiable with respect to both inputs (the position
    gradient is that of the piecewise d-linear interpolant, taken in the cell the point lies
    in).

    For level l: position p = x * scale_l + 0.5, vertex g = floor(p), weights from the
    fraction p - g; each of the 2^D corner vertices g + c is looked up densely
    (sum_d (g + c)_d * res^d) or by the XOR prime hash, modulo the table size, all in 32-bit
    unsigned arithmetic so that out-of-range vertices wrap exactly as on the GPU.
    """
    B, D = positions.shape
    levels, n_params = grid_layout(D, n_levels, n_features, hash_size, base_resolution,
                                   per_level_scale)
    if params.numel() != n_params:
        raise ValueError(f"hash grid expects {n_params} parameters, got {params.numel()}")
    positions = positions.to(params.dtype)
    device = positions.device
    corners = torch.tensor([[(c >> d) & 1 for d in range(D)] for c in range(1 << D)],
                           dtype=torch.int64, device=device)  # (2^D, D)
    indices = []
    weights = []
    for lv in levels:
        p = positions * lv["scale"] + 0.5
        fl = torch.floor(p)
        frac = p - fl
        base = torch.nan_to_num(fl, nan=0.0, posinf=0.0, neginf=0.0).to(torch.int64)
        vertex = (base.unsqueeze(1) + corners) & _MASK32  # (B, 2^D, D)
        idx = torch.zeros(vertex.shape[:2], dtype=torch.int64, device=device)
        if lv["hashed"]:
            for d in range(D):
                idx ^= (vertex[..., d] * HASH_PRIMES[d]) & _MASK32
        else:
            stride = 1
            for d in range(D):
                idx = (idx + ((vertex[..., d] * stride) & _MASK32)) & _MASK32
                stride *= lv["resolution"]
        indices.append(idx % lv["size"] + lv["offset"])
        # Weight of corner c: product over dims of frac (bit set) or 1 - frac.
        w = torch.where(corners.bool(), frac.unsqueeze(1), 1.0 - frac.unsqueeze(1))
        weight = w[..., 0]
        for d in range(1, D):
            weight = weight * w[..., d]
        weights.append(weight)
    # One gather over all levels: its backward is a single scatter into one gradient buffer
    # (a gather per level slice would materialise a full-size gradient per level).
    idx = torch.stack(indices, dim=1)  # (B, L, 2^D) entries of the whole table
    weight = torch.stack(weights, dim=1)  # (B, L, 2^D)
    vals = params.view(-1, n_features)[idx]  # (B, L, 2^D, F)
    out = (weight.unsqueeze(-1) * vals).sum(dim=2)
    return out.reshape(B, n_levels * n_features)


class HashGridEncoding(torch.nn.Module):
    """Trainable multiresolution hash encoding (Instant-NGP, tiny-cuda-nn's HashGrid).

    Maps (B, n_input_dims) positions to (B, n_levels * n_features_per_level) features. The
    level tables live in one flat parameter ``params``: level-major, entries of
    ``n_features_per_level`` contiguous features; level l has scale base * b^l - 1 (b the
    per-level scale), resolution ceil(scale) + 1 and min(ceil8(resolution^D),
    2^hash_size) entries, indexed densely while resolution^D fits and by the prime XOR hash
    otherwise. Initialised uniformly in [-1e-4, 1e-4].

    ``fused`` selects the compiled CPU encoding: None uses it for CPU tensors whenever the
    extension is available, False never, True requires it.
    """

    def __init__(self, n_input_dims, n_levels, n_features_per_level, hash_size,
                 base_resolution, per_level_scale):
        super().__init__()
        self.n_input_dims = int(n_input_dims)
        self.n_levels = int(n_levels)
        self.n_features_per_level = int(n_features_per_level)
        self.hash_size = int(hash_size)
        self.base_resolution = int(base_resolution)
        self.per_level_scale = float(per_level_scale)
        self.n_output_dims = self.n_levels * self.n_features_per_level
        self.levels, n_params = grid_layout(self.n_input_dims, self.n_levels,
                                            self.n_features_per_level, self.hash_size,
                                            self.base_resolution, self.per_level_scale)
        self.params = torch.nn.Parameter(torch.empty(n_params).uniform_(-1e-4, 1e-4))
        self.fused = None

    def _args(self):
        return (self.n_levels, self.n_features_per_level, self.hash_size, self.base_resolution,
                self.per_level_scale)

    def forward(self, x):
        if x.dim() != 2 or x.shape[1] != self.n_input_dims:
            raise ValueError(f"expected positions of shape (B, {self.n_input_dims}), got "
                             f"{tuple(x.shape)}")
        params = self.params
        if (self.fused is not False and x.device.type == "cpu"
                and params.dtype in (torch.float32, torch.float64)):
            fn = _fused_encoder()
            if fn is not None:
                return fn(x.to(params.dtype).contiguous(), params, *self._args())
            if self.fused:
                raise RuntimeError("the compiled hash-grid encoding is not available "
                                   "(build the extension)")
        return hashgrid_encode_reference(x, params, *self._args())

    def extra_repr(self):
        return (f"n_input_dims={self.n_input_dims}, n_levels={self.n_levels}, "
                f"n_features_per_level={self.n_features_per_level}, "
                f"hash_size={self.hash_size}, base_resolution={self.base_resolution}, "
                f"per_level_scale={self.per_level_scale}")


class PaddedMLP(torch.nn.Module):
    """Bias-free ReLU MLP with tiny-cuda-nn's fully fused weight layout.

    The input is padded to a multiple of 16 with ones (so the padded columns' weights act as
    biases) and the output computed for a multiple of 16 rows, of which the first
    ``n_output_dims`` are returned. Weights: Xavier-uniform per matrix; the unused output
    rows start (and, receiving no gradient, stay) at zero.
    """

    def __init__(self, n_input_dims, n_output_dims, width, n_hidden_layers):
        super().__init__()
        self.n_input_dims = int(n_input_dims)
        self.n_output_dims = int(n_output_dims)
        self.shapes = mlp_layout(self.n_input_dims, self.n_output_dims, width, n_hidden_layers)
        chunks = []
        for i, (rows, cols) in enumerate(self.shapes):
            bound = (6.0 / (rows + cols)) ** 0.5
            w = torch.empty(rows, cols).uniform_(-bound, bound)
            if i == len(self.shapes) - 1:
                w[self.n_output_dims:] = 0.0
            chunks.append(w.reshape(-1))
        self.params = torch.nn.Parameter(torch.cat(chunks))

    def forward(self, x):
        if x.dim() != 2 or x.shape[1] != self.n_input_dims:
            raise ValueError(f"expected input of shape (B, {self.n_input_dims}), got "
                             f"{tuple(x.shape)}")
        n_pad = self.shapes[0][1] - self.n_input_dims
        h = x.to(self.params.dtype)
        if n_pad:
            h = torch.cat([h, h.new_ones(h.shape[0], n_pad)], dim=1)
        offset = 0
        last = len(self.shapes) - 1
        for i, (rows, cols) in enumerate(self.shapes):
            w = self.params[offset:offset + rows * cols].view(rows, cols)
            offset += rows * cols
            if i == last:
                # Only the rows that reach the output are multiplied.
                h = h.matmul(w[:self.n_output_dims].t())
            else:
                h = torch.relu(h.matmul(w.t()))
        return h


class QELMNetworkTorch(QELMNetworkBase):
    """Hash-grid coordinate network in pure PyTorch (any device; fused encodings on CPU).

    Built from the thirty keyword arguments of the compressor (see ``_architecture`` for the
    architecture, defaults and weight layout). ``forward(coords)`` takes (B, S + 1) float
    coordinates (S spatial columns, then time) and returns ``(preds, aux)``: preds
    (B, n_output_dims * bh * bw), aux the deformation offsets (B, S) or None.
    """

    backend = "torch"

    def _make_grid(self, n_dims, grid):
        return HashGridEncoding(n_dims, grid["n_levels"], grid["features_per_level"],
                                grid["hash_size"], grid["base_resolution"],
                                grid["per_level_scale"])

    def _make_mlp(self, n_in, n_out, width, n_hidden_layers):
        return PaddedMLP(n_in, n_out, width, n_hidden_layers)

    def set_fused(self, fused):
        """Choose the encoding path of every hash grid (None auto, False PyTorch, True fused)."""
        for m in self.modules():
            if isinstance(m, HashGridEncoding):
                m.fused = fused
        return self
