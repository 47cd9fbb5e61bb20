// Python face of the compiled hash-grid encoding: the network's CPU encoders call
// _hashgrid_encode (pyqelm/models/QELMNetworkTorch.py imports it lazily); tests compare
// _hashgrid_layout with the Python layout.
#include "methods/methods.h"

#include "hashgrid.h"

namespace qelm::shell {

namespace {
hashgrid::GridConfig make_config(int n_levels, int n_features, int log2_hashmap_size, int base_resolution,
                                 double per_level_scale) {
  hashgrid::GridConfig cfg;
  cfg.n_levels = n_levels;
  cfg.n_features = n_features;
  cfg.log2_hashmap_size = log2_hashmap_size;
  cfg.base_resolution = base_resolution;
  cfg.per_level_scale = per_level_scale;
  return cfg;
}
}  // namespace

torch::Tensor hashgrid_encode(const torch::Tensor& positions, const torch::Tensor& params, int n_levels,
                              int n_features, int log2_hashmap_size, int base_resolution, double per_level_scale) {
  return hashgrid::encode(positions, params,
                          make_config(n_levels, n_features, log2_hashmap_size, base_resolution, per_level_scale));
}

py::tuple hashgrid_layout(int n_dims, int n_levels, int n_features, int log2_hashmap_size, int base_resolution,
                          double per_level_scale) {
  const auto cfg = make_config(n_levels, n_features, log2_hashmap_size, base_resolution, per_level_scale);
  py::list levels;
  for (const auto& lv : hashgrid::grid_levels(n_dims, cfg)) {
    py::dict d;
    d["scale"] = static_cast<double>(lv.scale);
    d["resolution"] = lv.resolution;
    d["offset"] = lv.offset;
    d["size"] = lv.size;
    d["hashed"] = lv.hashed;
    levels.append(d);
  }
  return py::make_tuple(levels, hashgrid::grid_n_params(n_dims, cfg));
}

}  // namespace qelm::shell
