"""Architecture shared by the two network backends.

Both ``QELMNetwork`` (tiny-cuda-nn) and ``QELMNetworkTorch`` (pure PyTorch) are built from
the same thirty keyword arguments, resolve them the same way, lay their weights out the same
way and run the same forward pass; only the factories that make an encoding or an MLP differ.
Everything that must agree between the backends lives here.

Network, for input rows ``[x_1 .. x_S, t]`` in [0, 1] (S = ``spatial_dims``):

* deformation (``enable_deformation``): ``offset = net_deform(enc_deform([x, t]))`` with S
  outputs; the spatial coordinates become ``x + offset`` and ``offset`` is returned as ``aux``
  (the training step penalises its mean square). The output layer of ``net_deform`` starts at
  zero, so training begins from the undeformed grid.
* ``spatial_scale`` multiplies the (deformed) spatial coordinates before every spatial
  encoding: a scale of 2 maps the unit square onto [0, 2]^S, so every level resolves twice as
  many cells across the data (coordinates past 1 continue the grid's own indexing, as in
  tiny-cuda-nn). The deformation encoder sees the unscaled coordinates.
* ``enc_spatial``: hash grid over the S scaled spatial coordinates (``xy_*``).
* temporal branch, unless ``disable_temporal``:
  - "hash3d": ``enc_phenology``, hash grid over the S + 1 coordinates (scaled space, time),
    parameterised by ``t_*``;
  - "latent": ``enc_code`` (hash grid over scaled space, ``code_*``) times ``enc_time``
    (1-D grid over time, ``t1d_*``), elementwise. The product is a separable space-time
    factorisation (sum over k of code_k(x) * time_k(t) once the decoder mixes it), far
    smaller than a 3-D table. Both grids must therefore give the same number of features.
    The time grid starts at 1 (plus the usual +-1e-4 noise) so the code grid begins as a
    plain spatial code and learns its temporal modulation.
* ``decoder``: MLP over the concatenated features, ``decoder_hidden`` wide with
  ``n_hidden_layers`` ReLU hidden layers and ``n_output_dims * bh * bw`` linear outputs;
  output column ``(r * bw + c) * n_output_dims + band`` is pixel (r, c) of the block.

Parameter layout (tag ``PARAM_LAYOUT``), identical in both backends so weights move freely
between them:

* hash grid: per level l a table of ``size_l`` entries starting at entry ``offset_l``
  (level-major), each entry holding its ``n_features_per_level`` features contiguously.
  ``scale_l = base * per_level_scale**l - 1``, resolution ``ceil(scale_l) + 1``,
  ``size_l = min(ceil8(resolution**D), 2**log2_hashmap_size)``; dense indexing
  ``sum_d p_d * resolution**d`` when ``resolution**D <= size_l``, otherwise the XOR hash with
  primes (1, 2654435761, 805459861, 3674653429); both taken modulo ``size_l`` in 32-bit
  unsigned arithmetic. ``scale_l`` is evaluated in double precision and rounded to float32
  (tiny-cuda-nn evaluates it in float32; the two agree to within one float32 ulp, which moves
  no grid vertex for the power-of-two scales used in practice).
* MLP: no biases; weight matrices in order (input, hidden..., output), each row-major
  (out x in). The input is padded to a multiple of 16 with constant-1 columns (their weights
  act as biases) and the output to a multiple of 16 (extra rows unused). With no hidden layer
  there is one (out16 x in16) matrix.
"""
import math

import torch

PARAM_LAYOUT = "hashgrid-levelmajor-f32scale/mlp-rowmajor-pad16-ones/v1"

HASH_PRIMES = (1, 2654435761, 805459861, 3674653429)

# Defaults of the optional families, recorded in config_params once resolved.
CODE_DEFAULTS = {"hash_size": 16, "base_resolution": 8, "n_levels": 8, "per_level_scale": 1.5,
                 "features_per_level": 2}
# The 1-D time grid follows the code grid's feature count unless given.
T1D_DEFAULTS = {"hash_size": 10, "base_resolution": 4, "per_level_scale": 1.5}
# Deformation: a coarse space-time grid and a one-hidden-layer head of width 32.
DEFORM_GRID = {"hash_size": 16, "base_resolution": 4, "n_levels": 8, "per_level_scale": 1.5,
               "features_per_level": 2}
DEFORM_HIDDEN = 32
DEFORM_HIDDEN_LAYERS = 1

TEMPORAL_MODES = ("hash3d", "latent")
FEATURES_PER_LEVEL = (1, 2, 4, 8)
MLP_ALIGNMENT = 16

# The thirty constructor arguments, in the order the compressor passes them.
ARGUMENTS = (
    "n_output_dims",
    "xy_hash_size", "xy_base_resolution", "xy_n_levels", "xy_per_level_scale",
    "xy_features_per_level",
    "t_hash_size", "t_base_resolution", "t_n_levels", "t_per_level_scale",
    "t_features_per_level",
    "spatial_scale", "decoder_hidden", "n_hidden_layers", "spatial_dims",
    "enable_deformation", "ref_t_for_deformation", "disable_temporal", "block_size",
    "temporal_mode",
    "code_hash_size", "code_base_resolution", "code_n_levels", "code_per_level_scale",
    "code_features_per_level",
    "t1d_hash_size", "t1d_base_resolution", "t1d_n_levels", "t1d_per_level_scale",
    "t1d_features_per_level",
)
REQUIRED = ARGUMENTS[:14]
OPTIONAL_DEFAULTS = {
    "spatial_dims": 2, "enable_deformation": False, "ref_t_for_deformation": -1.0,
    "disable_temporal": False, "block_size": (1, 1), "temporal_mode": "hash3d",
    **{f"{fam}_{k}": None for fam in ("code", "t1d")
       for k in ("hash_size", "base_resolution", "n_levels", "per_level_scale",
                 "features_per_level")},
}
GRID_KEYS = ("hash_size", "base_resolution", "n_levels", "per_level_scale", "features_per_level")

# Weight-blob component name -> sub-module attribute.
COMPONENT_MODULES = {
    "spatial": "enc_spatial", "phenology": "enc_phenology", "code": "enc_code",
    "time": "enc_time", "deform_enc": "enc_deform", "deform_net": "net_deform",
    "decoder": "decoder",
}


# ---- argument checking ----------------------------------------------------------------------

def _int(name, value, lo=None, hi=None):
    if isinstance(value, bool) or value is None:
        raise ValueError(f"{name} must be an integer, got {value!r}")
    try:
        as_float = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be an integer, got {value!r}") from None
    if not math.isfinite(as_float) or as_float != int(as_float):
        raise ValueError(f"{name} must be an integer, got {value!r}")
    v = int(as_float)
    if (lo is not None and v < lo) or (hi is not None and v > hi):
        bounds = f"between {lo} and {hi}" if hi is not None else f"at least {lo}"
        raise ValueError(f"{name} must be {bounds}, got {value!r}")
    return v


def _float(name, value, positive=False):
    if isinstance(value, bool) or value is None:
        raise ValueError(f"{name} must be a number, got {value!r}")
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, got {value!r}") from None
    if not math.isfinite(v) or (positive and v <= 0.0):
        raise ValueError(f"{name} must be a {'positive ' if positive else ''}finite number, "
                         f"got {value!r}")
    return v


def _plain(value):
    """A value as a plain Python scalar (unused settings are recorded, never interpreted)."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    item = getattr(value, "item", None)
    if callable(item):
        try:
            return item()
        except (TypeError, ValueError):
            pass
    return str(value)


def _grid(prefix, values):
    """Validated hash-grid settings from a dict with the GRID_KEYS."""
    grid = {
        "hash_size": _int(f"{prefix}_hash_size", values["hash_size"], 1, 30),
        "base_resolution": _int(f"{prefix}_base_resolution", values["base_resolution"], 1),
        "n_levels": _int(f"{prefix}_n_levels", values["n_levels"], 1, 32),
        "per_level_scale": _float(f"{prefix}_per_level_scale", values["per_level_scale"],
                                  positive=True),
        "features_per_level": _int(f"{prefix}_features_per_level",
                                   values["features_per_level"], 1, 8),
    }
    if grid["features_per_level"] not in FEATURES_PER_LEVEL:
        raise ValueError(f"{prefix}_features_per_level must be one of {FEATURES_PER_LEVEL}, "
                         f"got {values['features_per_level']!r}")
    _check_resolutions(prefix, grid)
    return grid


_MAX_RESOLUTION = 2 ** 31 - 1  # grid coordinates are 32-bit integers in both backends


def _check_resolutions(prefix, grid):
    """The coarsest and finest levels must resolve a number of cells the encoders can index."""
    base, scale, levels = grid["base_resolution"], grid["per_level_scale"], grid["n_levels"]
    try:
        finest = math.exp2((levels - 1) * math.log2(scale)) * base
    except OverflowError:
        finest = math.inf
    if not max(base, finest) <= _MAX_RESOLUTION:
        raise ValueError(f"{prefix} grid: {prefix}_base_resolution x {prefix}_per_level_scale^({prefix}_n_levels - 1)"
                         f" = {max(base, finest):.3g} cells per axis, beyond 2^31; lower the resolution, the "
                         "per-level scale or the number of levels")


def resolve_architecture(kwargs):
    """Check the constructor arguments and fill every default.

    Returns a flat dict of plain values (int, float, bool, str, lists, None): the network's
    ``config_params`` minus the backend name.
    """
    unknown = sorted(set(kwargs) - set(ARGUMENTS))
    if unknown:
        raise TypeError(f"unexpected keyword argument(s): {', '.join(unknown)}")
    missing = [k for k in REQUIRED if k not in kwargs and k not in OPTIONAL_DEFAULTS]
    if missing:
        raise TypeError(f"missing required keyword argument(s): {', '.join(missing)}")
    a = dict(OPTIONAL_DEFAULTS)
    a.update(kwargs)

    r = {}
    r["n_output_dims"] = _int("n_output_dims", a["n_output_dims"], 1)
    r["spatial_dims"] = _int("spatial_dims", a["spatial_dims"], 2, 3)
    bs = a["block_size"]
    try:
        bh, bw = bs[0], bs[1]
    except (TypeError, IndexError, KeyError):
        raise ValueError(f"block_size must be a pair of integers, got {bs!r}") from None
    r["block_size"] = [_int("block_size[0]", bh, 1), _int("block_size[1]", bw, 1)]
    r["n_decoder_outputs"] = r["n_output_dims"] * r["block_size"][0] * r["block_size"][1]

    xy = _grid("xy", {k: a[f"xy_{k}"] for k in GRID_KEYS})
    r.update({f"xy_{k}": v for k, v in xy.items()})
    r["spatial_scale"] = _float("spatial_scale", a["spatial_scale"], positive=True)
    r["decoder_hidden"] = _int("decoder_hidden", a["decoder_hidden"], 1, _MAX_RESOLUTION)
    r["n_hidden_layers"] = _int("n_hidden_layers", a["n_hidden_layers"], 0, _MAX_RESOLUTION)

    r["disable_temporal"] = bool(a["disable_temporal"])
    mode = a["temporal_mode"]
    if mode not in TEMPORAL_MODES:
        raise ValueError(f"temporal_mode must be one of {TEMPORAL_MODES}, got {mode!r}")
    r["temporal_mode"] = mode

    # The t_* family is kept as given when unused (the compressor records it too); the
    # code_*/t1d_* families are None unless the latent branch uses them.
    use_t = not r["disable_temporal"] and mode == "hash3d"
    use_latent = not r["disable_temporal"] and mode == "latent"
    t = _grid("t", {k: a[f"t_{k}"] for k in GRID_KEYS}) if use_t else None
    r.update({f"t_{k}": (t[k] if t else _plain(a[f"t_{k}"])) for k in GRID_KEYS})
    code = t1d = None
    if use_latent:
        code_in = {k: (a[f"code_{k}"] if a[f"code_{k}"] is not None else CODE_DEFAULTS[k])
                   for k in GRID_KEYS}
        code = _grid("code", code_in)
        t1d_defaults = dict(T1D_DEFAULTS, n_levels=code["n_levels"],
                            features_per_level=code["features_per_level"])
        t1d = _grid("t1d", {k: (a[f"t1d_{k}"] if a[f"t1d_{k}"] is not None else t1d_defaults[k])
                            for k in GRID_KEYS})
        n_code = code["n_levels"] * code["features_per_level"]
        n_time = t1d["n_levels"] * t1d["features_per_level"]
        if n_code != n_time:
            raise ValueError(
                "temporal_mode 'latent' multiplies the code grid by the time grid, so both "
                f"must give the same number of features: code has {n_code} "
                f"(code_n_levels x code_features_per_level), time has {n_time} "
                "(t1d_n_levels x t1d_features_per_level)")
    r.update({f"code_{k}": (code[k] if code else None) for k in GRID_KEYS})
    r.update({f"t1d_{k}": (t1d[k] if t1d else None) for k in GRID_KEYS})
    r["latent_combine"] = "product"

    r["enable_deformation"] = bool(a["enable_deformation"])
    r["ref_t_for_deformation"] = _float("ref_t_for_deformation", a["ref_t_for_deformation"])
    if r["enable_deformation"]:
        r.update({f"deform_{k}": v for k, v in DEFORM_GRID.items()})
        r["deform_hidden"] = DEFORM_HIDDEN
        r["deform_hidden_layers"] = DEFORM_HIDDEN_LAYERS
    else:
        r.update({f"deform_{k}": None for k in DEFORM_GRID})
        r["deform_hidden"] = None
        r["deform_hidden_layers"] = None

    n_in = xy["n_levels"] * xy["features_per_level"]
    if t:
        n_in += t["n_levels"] * t["features_per_level"]
    if code:
        n_in += code["n_levels"] * code["features_per_level"]
    r["decoder_n_input_dims"] = n_in
    r["param_layout"] = PARAM_LAYOUT
    return r


def grid_settings(arch, prefix):
    """The hash-grid settings of one family of a resolved architecture, or None."""
    if arch.get(f"{prefix}_hash_size") is None:
        return None
    return {k: arch[f"{prefix}_{k}"] for k in GRID_KEYS}


def component_names(arch):
    """Weight-blob component names in export order, decoder last."""
    names = ["spatial"]
    if not arch["disable_temporal"]:
        names += ["phenology"] if arch["temporal_mode"] == "hash3d" else ["code", "time"]
    if arch["enable_deformation"]:
        names += ["deform_enc", "deform_net"]
    names.append("decoder")
    return names


def component_sizes(arch):
    """Parameter count of every weight-blob component of a resolved architecture, in the
    order of ``component_names``, computed without building anything (a reader checks a
    stored configuration against its weights with it before allocating the network)."""
    S = arch["spatial_dims"]
    sizes = [grid_n_params(S, grid_settings(arch, "xy"))]
    if not arch["disable_temporal"]:
        if arch["temporal_mode"] == "hash3d":
            sizes.append(grid_n_params(S + 1, grid_settings(arch, "t")))
        else:
            sizes += [grid_n_params(S, grid_settings(arch, "code")), grid_n_params(1, grid_settings(arch, "t1d"))]
    if arch["enable_deformation"]:
        grid = grid_settings(arch, "deform")
        sizes += [grid_n_params(S + 1, grid),
                  mlp_n_params(grid["n_levels"] * grid["features_per_level"], S, arch["deform_hidden"],
                               arch["deform_hidden_layers"])]
    sizes.append(mlp_n_params(arch["decoder_n_input_dims"], arch["n_decoder_outputs"], arch["decoder_hidden"],
                              arch["n_hidden_layers"]))
    return sizes


def constructor_kwargs(model_config):
    """The thirty constructor arguments recovered from a saved configuration.

    ``model_config`` is the compressor's ``config`` (optionally merged with the network's
    ``config_params``); keys a configuration lacks take the constructor defaults.
    """
    cfg = dict(model_config)
    if "n_output_dims" not in cfg:
        if "n_bands" not in cfg:
            raise ValueError("model configuration has neither 'n_output_dims' nor 'n_bands'")
        cfg["n_output_dims"] = cfg["n_bands"]
    layout = cfg.get("param_layout")
    if layout is not None and layout != PARAM_LAYOUT:
        raise ValueError(f"weights were written with parameter layout {layout!r}; this "
                         f"version reads {PARAM_LAYOUT!r}")
    kwargs = {}
    for name in ARGUMENTS:
        if name in cfg:
            kwargs[name] = cfg[name]
        elif name in REQUIRED and name not in OPTIONAL_DEFAULTS:
            # Families of a disabled branch may be absent from a configuration.
            if name.startswith("t_") and (cfg.get("disable_temporal")
                                          or cfg.get("temporal_mode", "hash3d") != "hash3d"):
                kwargs[name] = None
            else:
                raise ValueError(f"model configuration lacks {name!r}")
    if kwargs.get("block_size") is not None:
        kwargs["block_size"] = tuple(kwargs["block_size"])
    return kwargs


# ---- parameter layouts ----------------------------------------------------------------------

def level_scale(level, base_resolution, per_level_scale):
    """Grid scale of one level, rounded to float32 like the encoders' arithmetic."""
    s = math.exp2(level * math.log2(per_level_scale)) * base_resolution - 1.0
    return float(torch.tensor(s, dtype=torch.float32).item())


def grid_layout(n_dims, n_levels, features_per_level, hash_size, base_resolution,
                per_level_scale):
    """Per-level tables of a hash grid: list of dicts and the total parameter count."""
    levels = []
    offset = 0
    max_params = (2 ** 32 - 1) // 2
    for level in range(n_levels):
        try:
            scale = level_scale(level, base_resolution, per_level_scale)
        except OverflowError:
            scale = math.inf
        if not math.isfinite(scale):
            raise ValueError(f"hash grid level {level} has no finite scale (base_resolution {base_resolution}, "
                             f"per_level_scale {per_level_scale})")
        resolution = int(math.ceil(scale)) + 1
        dense = resolution ** n_dims
        size = min(dense, max_params)
        size = (size + 7) // 8 * 8
        size = min(size, 1 << hash_size)
        levels.append({"scale": scale, "resolution": resolution, "offset": offset,
                       "size": size, "hashed": dense > size})
        offset += size
    return levels, offset * features_per_level


def grid_n_params(n_dims, grid):
    return grid_layout(n_dims, grid["n_levels"], grid["features_per_level"], grid["hash_size"],
                       grid["base_resolution"], grid["per_level_scale"])[1]


def _ceil(n, m):
    return (n + m - 1) // m * m


def mlp_layout(n_input_dims, n_output_dims, width, n_hidden_layers):
    """Shapes (rows, cols) of the MLP's weight matrices, in storage order."""
    n_in = _ceil(n_input_dims, MLP_ALIGNMENT)
    n_out = _ceil(n_output_dims, MLP_ALIGNMENT)
    if n_hidden_layers == 0:
        return [(n_out, n_in)]
    return [(width, n_in)] + [(width, width)] * (n_hidden_layers - 1) + [(n_out, width)]


def mlp_n_params(n_input_dims, n_output_dims, width, n_hidden_layers):
    return sum(r * c for r, c in mlp_layout(n_input_dims, n_output_dims, width, n_hidden_layers))


def tcnn_grid_config(grid):
    """tiny-cuda-nn encoding configuration of a hash grid."""
    return {
        "otype": "HashGrid",
        "n_levels": grid["n_levels"],
        "n_features_per_level": grid["features_per_level"],
        "log2_hashmap_size": grid["hash_size"],
        "base_resolution": grid["base_resolution"],
        "per_level_scale": grid["per_level_scale"],
    }


def tcnn_mlp_config(width, n_hidden_layers):
    """tiny-cuda-nn network configuration: the fully fused MLP where it applies.

    The fully fused kernels exist for widths 16, 32, 64 and 128 with at least one hidden
    layer; other shapes use the CUTLASS MLP, which stores its weights the same way.
    """
    fused = width in (16, 32, 64, 128) and n_hidden_layers >= 1
    return {
        "otype": "FullyFusedMLP" if fused else "CutlassMLP",
        "activation": "ReLU",
        "output_activation": "None",
        "n_neurons": width,
        "n_hidden_layers": n_hidden_layers,
    }


# ---- the shared network ---------------------------------------------------------------------

class QELMNetworkBase(torch.nn.Module):
    """Forward pass, weight export/import and configuration shared by both backends.

    Subclasses set ``backend`` and implement ``_make_grid(n_dims, grid)`` and
    ``_make_mlp(n_in, n_out, width, n_hidden_layers)``; each returns a module that keeps all
    its weights in one flat parameter ``params`` and maps (B, n_in) to (B, n_out).
    """

    backend = None

    def __init__(self, **kwargs):
        super().__init__()
        arch = resolve_architecture(kwargs)
        self._arch = arch
        self.n_output_dims = arch["n_output_dims"]
        self.spatial_dims = arch["spatial_dims"]
        self.block_size = tuple(arch["block_size"])
        self.spatial_scale = arch["spatial_scale"]
        self.temporal_mode = arch["temporal_mode"]
        self.disable_temporal = arch["disable_temporal"]
        self.ref_t_for_deformation = arch["ref_t_for_deformation"]
        S = self.spatial_dims

        self.enc_deform = None
        self.net_deform = None
        if arch["enable_deformation"]:
            grid = grid_settings(arch, "deform")
            self.enc_deform = self._make_grid(S + 1, grid)
            self.net_deform = self._make_mlp(grid["n_levels"] * grid["features_per_level"], S,
                                             arch["deform_hidden"], arch["deform_hidden_layers"])
            with torch.no_grad():
                rows, cols = mlp_layout(self.enc_deform.n_output_dims, S, arch["deform_hidden"],
                                        arch["deform_hidden_layers"])[-1]
                self.net_deform.params[-rows * cols:] = 0

        self.enc_spatial = self._make_grid(S, grid_settings(arch, "xy"))
        self.enc_phenology = None
        self.enc_code = None
        self.enc_time = None
        if not self.disable_temporal:
            if self.temporal_mode == "hash3d":
                self.enc_phenology = self._make_grid(S + 1, grid_settings(arch, "t"))
            else:
                self.enc_code = self._make_grid(S, grid_settings(arch, "code"))
                self.enc_time = self._make_time_grid(grid_settings(arch, "t1d"))
                with torch.no_grad():
                    self.enc_time.params.add_(1.0)
        self.decoder = self._make_mlp(arch["decoder_n_input_dims"], arch["n_decoder_outputs"],
                                      arch["decoder_hidden"], arch["n_hidden_layers"])

    # -- factories ------------------------------------------------------------------------
    def _make_grid(self, n_dims, grid):
        raise NotImplementedError

    def _make_time_grid(self, grid):
        return self._make_grid(1, grid)

    def _make_mlp(self, n_in, n_out, width, n_hidden_layers):
        raise NotImplementedError

    # -- forward ----------------------------------------------------------------------------
    def forward(self, coords):
        S = self.spatial_dims
        if coords.dim() != 2 or coords.shape[1] != S + 1:
            raise ValueError(f"expected coordinates of shape (B, {S + 1}), got "
                             f"{tuple(coords.shape)}")
        coords = coords.float()
        xy = coords[:, :S]
        t = coords[:, S:]
        aux = None
        if self.enc_deform is not None:
            offset = self.net_deform(self.enc_deform(coords).float()).float()
            xy = xy + offset
            aux = offset
        if self.spatial_scale != 1.0:
            xy = xy * self.spatial_scale
        feats = [self.enc_spatial(xy).float()]
        if self.enc_phenology is not None:
            feats.append(self.enc_phenology(torch.cat([xy, t], dim=1)).float())
        elif self.enc_code is not None:
            feats.append(self.enc_code(xy).float() * self.enc_time(t).float())
        h = feats[0] if len(feats) == 1 else torch.cat(feats, dim=1)
        preds = self.decoder(h).float()
        return preds, aux

    # -- configuration and weights ----------------------------------------------------------
    @property
    def config_params(self):
        params = {"backend": self.backend}
        params.update(self._arch)
        names = component_names(self._arch)
        params["components"] = names
        params["component_sizes"] = [int(getattr(self, COMPONENT_MODULES[n]).params.numel())
                                     for n in names]
        return params

    def export_weight_components(self):
        """(flat parameter tensors, component names), decoder last."""
        names = component_names(self._arch)
        return [getattr(self, COMPONENT_MODULES[n]).params for n in names], names

    def load_weight_components(self, components):
        """Copy restored flat tensors (mapping name -> tensor) into the network."""
        names = component_names(self._arch)
        unknown = sorted(set(components) - set(names))
        if unknown:
            raise ValueError(f"weight components {unknown} do not belong to this network "
                             f"(it has {names})")
        missing = [n for n in names if n not in components]
        if missing:
            raise ValueError(f"weight components {missing} are missing (the network has "
                             f"{names})")
        targets = []
        for n in names:
            param = getattr(self, COMPONENT_MODULES[n]).params
            src = torch.as_tensor(components[n])
            if src.numel() != param.numel():
                raise ValueError(f"weight component {n!r} has {src.numel()} values, the "
                                 f"network expects {param.numel()}")
            targets.append((param, src))
        with torch.no_grad():
            for param, src in targets:
                param.copy_(src.reshape(-1).to(device=param.device, dtype=param.dtype))

    @classmethod
    def from_config(cls, model_config):
        """Build the network a saved configuration describes (weights not loaded)."""
        return cls(**constructor_kwargs(model_config))

    def extra_repr(self):
        return (f"backend={self.backend}, spatial_dims={self.spatial_dims}, "
                f"temporal_mode={self.temporal_mode!r}, disable_temporal={self.disable_temporal}, "
                f"block_size={self.block_size}, n_output_dims={self.n_output_dims}")
