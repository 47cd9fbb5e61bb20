"""Named model sizes: the thirteen size arguments of ``build_qelm_model`` under one name.

Parameter counts follow the network's own weight layout, for one band in pixel coordinates;
more bands widen only the decoder's output layer.
"""
from collections import OrderedDict

# Argument names in the order build_qelm_model takes them, with the command-line option of each.
SIZE_ARGUMENTS = (
    ("xy_hash_size", "--xy-hash-size", int),
    ("xy_base_resolution", "--xy-base-resolution", int),
    ("xy_n_levels", "--xy-levels", int),
    ("xy_per_level_scale", "--xy-scale", float),
    ("xy_features_per_level", "--xy-features", int),
    ("t_hash_size", "--t-hash-size", int),
    ("t_base_resolution", "--t-base-resolution", int),
    ("t_n_levels", "--t-levels", int),
    ("t_per_level_scale", "--t-scale", float),
    ("t_features_per_level", "--t-features", int),
    ("spatial_scale", "--spatial-scale", float),
    ("decoder_hidden", "--decoder-hidden", int),
    ("n_hidden_layers", "--hidden-layers", int),
)

PRESETS = OrderedDict([
    ("tiny", (12, 4, 6, 1.5, 2, 12, 2, 4, 1.5, 2, 1.0, 16, 1)),
    ("small", (14, 8, 8, 1.5, 2, 14, 2, 6, 1.5, 2, 1.0, 32, 2)),
    ("medium", (16, 16, 12, 1.5, 2, 16, 4, 8, 1.5, 2, 1.0, 64, 2)),
    ("large", (19, 16, 16, 1.5, 2, 19, 4, 8, 1.5, 2, 1.0, 64, 2)),
    ("xlarge", (21, 16, 16, 1.5, 4, 21, 4, 12, 1.5, 4, 1.0, 128, 3)),
])

PRESET_USE = {
    "tiny": "quick looks, tests",
    "small": "small grids (up to ~10^6 pixels per frame), CPU runs",
    "medium": "regional products",
    "large": "large tiles on a GPU",
    "xlarge": "very large tiles, highest fidelity",
}


def preset_sizes(name):
    """The thirteen sizes of a preset as a dict keyed by argument name."""
    if name not in PRESETS:
        raise ValueError(f"unknown preset {name!r}; presets: {', '.join(PRESETS)}")
    return {arg: value for (arg, _, _), value in zip(SIZE_ARGUMENTS, PRESETS[name])}


def parameter_count(sizes, n_bands=1, spatial_dims=2):
    """Number of stored weights of the hash3d network these sizes build, from the layout the
    network's own modules allocate (no tables are allocated here, so it is instant for any size)."""
    from pyqelm.models._architecture import grid_n_params, grid_settings, mlp_n_params, resolve_architecture

    arch = resolve_architecture(dict(sizes, n_output_dims=n_bands, spatial_dims=spatial_dims))
    S = arch["spatial_dims"]
    n = grid_n_params(S, grid_settings(arch, "xy")) + grid_n_params(S + 1, grid_settings(arch, "t"))
    return n + mlp_n_params(arch["decoder_n_input_dims"], arch["n_decoder_outputs"], arch["decoder_hidden"],
                            arch["n_hidden_layers"])


def network_parameter_count(sizes, n_bands=1, spatial_dims=2):
    """The same count from a built network: the sizes of the weight components it exports."""
    from pyqelm.models.QELMNetworkTorch import QELMNetworkTorch

    net = QELMNetworkTorch(n_output_dims=n_bands, spatial_dims=spatial_dims, **sizes)
    tensors, _ = net.export_weight_components()
    return sum(int(t.numel()) for t in tensors)


def presets_table():
    """Text table of the presets with their sizes and parameter counts (one band)."""
    head = ("preset", "xy grid (log2 T, res, levels, scale, F)", "t grid (log2 T, res, levels, scale, F)",
            "decoder", "parameters", "for")
    rows = []
    for name, v in PRESETS.items():
        sizes = preset_sizes(name)
        rows.append((name, f"{v[0]}, {v[1]}, {v[2]}, {v[3]:g}, {v[4]}", f"{v[5]}, {v[6]}, {v[7]}, {v[8]:g}, {v[9]}",
                     f"{v[11]} x {v[12]}", f"{parameter_count(sizes):,}", PRESET_USE[name]))
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(head, widths)).rstrip()]
    lines += ["  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows]
    return "\n".join(lines)
