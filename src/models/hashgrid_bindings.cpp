// Python face of the compiled hash-grid encoding: the network's CPU encoders call
// _hashgrid_encode (pyqelm/models/QELMNetworkTorch.py imports it lazily), tests compare
// _hashgrid_layout with the Python layout.
#include <torch/extension.h>
#include <pybind11/pybind11.h>

#include "hashgrid.h"

namespace py = pybind11;

namespace {

qelm::hashgrid::GridConfig make_config(int n_levels, int n_features, int log2_hashmap_size,
                                       int base_resolution, double per_level_scale) {
  qelm::hashgrid::GridConfig cfg;
  cfg.n_levels = n_levels;
  cfg.n_features = n_features;
  cfg.log2_hashmap_size = log2_hashmap_size;
  cfg.base_resolution = base_resolution;
  cfg.per_level_scale = per_level_scale;
  return cfg;
}

}  // namespace

void register_hashgrid_encoding(py::module_& m) {
  // Debian's tensor library starts with one intra-op thread; the encodings (and every other
  // CPU kernel of training) should use the cores this process is given.
  qelm::hashgrid::use_available_cpus();

  m.def(
      "_hashgrid_encode",
      [](const torch::Tensor& positions, const torch::Tensor& params, int n_levels,
         int n_features, int log2_hashmap_size, int base_resolution, double per_level_scale) {
        return qelm::hashgrid::encode(
            positions, params,
            make_config(n_levels, n_features, log2_hashmap_size, base_resolution,
                        per_level_scale));
      },
      py::arg("positions"), py::arg("params"), py::arg("n_levels"), py::arg("n_features"),
      py::arg("log2_hashmap_size"), py::arg("base_resolution"), py::arg("per_level_scale"),
      py::call_guard<py::gil_scoped_release>(),
      "Multiresolution hash encoding of CPU positions (B, D), 1 <= D <= 4, with flat float32 "
      "or float64 params; returns (B, n_levels * n_features), differentiable with respect "
      "to positions and params.");

  m.def(
      "_hashgrid_layout",
      [](int n_dims, int n_levels, int n_features, int log2_hashmap_size, int base_resolution,
         double per_level_scale) {
        const auto cfg = make_config(n_levels, n_features, log2_hashmap_size, base_resolution,
                                     per_level_scale);
        py::list levels;
        for (const auto& lv : qelm::hashgrid::grid_levels(n_dims, cfg)) {
          py::dict d;
          d["scale"] = static_cast<double>(lv.scale);
          d["resolution"] = lv.resolution;
          d["offset"] = lv.offset;
          d["size"] = lv.size;
          d["hashed"] = lv.hashed;
          levels.append(d);
        }
        return py::make_tuple(levels, qelm::hashgrid::grid_n_params(n_dims, cfg));
      },
      py::arg("n_dims"), py::arg("n_levels"), py::arg("n_features"),
      py::arg("log2_hashmap_size"), py::arg("base_resolution"), py::arg("per_level_scale"),
      "Per-level tables of a hash grid as the compiled encoding lays them out: "
      "([{scale, resolution, offset, size, hashed}], n_params).");
}
