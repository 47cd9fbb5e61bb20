// Building the network from the quality arguments, and splitting its parameters into the
// hash-grid and decoder optimizer groups.
#include "methods/methods.h"

#include <cmath>

#include "model.h"

namespace qelm::shell {

void build_qelm_model(py::object self, py::object xy_hash_size, py::object xy_base_resolution,
                      py::object xy_n_levels, py::object xy_per_level_scale,
                      py::object xy_features_per_level, py::object t_hash_size,
                      py::object t_base_resolution, py::object t_n_levels,
                      py::object t_per_level_scale, py::object t_features_per_level,
                      py::object spatial_scale, py::object decoder_hidden,
                      py::object n_hidden_layers, py::object enable_deformation,
                      py::object ref_t_for_deformation, py::object disable_temporal,
                      py::object block_size, py::object temporal_mode, py::object code_hash_size,
                      py::object code_base_resolution, py::object code_n_levels,
                      py::object code_per_level_scale, py::object code_features_per_level,
                      py::object t1d_hash_size, py::object t1d_base_resolution,
                      py::object t1d_n_levels, py::object t1d_per_level_scale,
                      py::object t1d_features_per_level) {
  print_line("Building QELM Model (Quality: xy=" + py_str(xy_hash_size) + ", t=" + py_str(t_hash_size) +
             ", disable_temporal=" + py_str(disable_temporal) + ")...");
  py::object meta = self.attr("meta_info");
  py::object n_bands = meta[py::str("n_bands")];
  py::object norm_mode = dict_get(meta, "norm_mode", py::int_(3));
  // Numeric equality as the host compares: 2.0 counts as 2, "2" does not.
  const double mode = norm_mode.equal(py::int_(2)) ? 2.0 : norm_mode.equal(py::int_(3)) ? 3.0 : NAN;
  const int spatial_dims = spatial_dims_for_norm_mode(mode);
  print_line("Detected Spatial Dims: " + std::to_string(spatial_dims) +
             " (based on norm_mode=" + py_str(norm_mode) + ")");
  py::module_ builtins = py::module_::import("builtins");
  py::object block_pair = py::make_tuple(builtins.attr("int")(block_size[py::int_(0)]),
                                         builtins.attr("int")(block_size[py::int_(1)]));

  const bool tcnn = py::str("tcnn").equal(self.attr("train_backend"));
  py::object network_class = module_attr(tcnn ? "QELMNetwork" : "QELMNetworkTorch");

  const py::object quality[] = {xy_hash_size,      xy_base_resolution, xy_n_levels,
                                xy_per_level_scale, xy_features_per_level, t_hash_size,
                                t_base_resolution, t_n_levels,         t_per_level_scale,
                                t_features_per_level, spatial_scale,   decoder_hidden,
                                n_hidden_layers};
  const py::object code[] = {code_hash_size, code_base_resolution, code_n_levels,
                             code_per_level_scale, code_features_per_level};
  const py::object t1d[] = {t1d_hash_size, t1d_base_resolution, t1d_n_levels, t1d_per_level_scale,
                            t1d_features_per_level};
  py::dict kwargs;
  kwargs["n_output_dims"] = n_bands;
  for (size_t i = 0; i < kQualityArgs.size(); ++i) kwargs[kQualityArgs[i]] = quality[i];
  kwargs["spatial_dims"] = py::int_(spatial_dims);
  kwargs["enable_deformation"] = enable_deformation;
  kwargs["ref_t_for_deformation"] = ref_t_for_deformation;
  kwargs["disable_temporal"] = disable_temporal;
  kwargs["block_size"] = block_pair;
  kwargs["temporal_mode"] = temporal_mode;
  for (size_t i = 0; i < kCodeArgs.size(); ++i) kwargs[kCodeArgs[i]] = code[i];
  for (size_t i = 0; i < kTime1dArgs.size(); ++i) kwargs[kTime1dArgs[i]] = t1d[i];

  py::object model = network_class(**kwargs).attr("to")(self.attr("device"));
  self.attr("model") = model;

  py::list block_list;
  block_list.append(block_pair[py::int_(0)]);
  block_list.append(block_pair[py::int_(1)]);
  const py::object values[] = {py::str("QELMNetwork"),
                               self.attr("train_mode"),
                               n_bands,
                               xy_hash_size,
                               xy_base_resolution,
                               xy_n_levels,
                               xy_per_level_scale,
                               xy_features_per_level,
                               t_hash_size,
                               t_base_resolution,
                               t_n_levels,
                               t_per_level_scale,
                               t_features_per_level,
                               spatial_scale,
                               decoder_hidden,
                               n_hidden_layers,
                               py::int_(spatial_dims),
                               py::bool_(truthy(disable_temporal)),
                               block_list,
                               temporal_mode};
  py::dict config;
  for (size_t i = 0; i < kConfigKeys.size(); ++i) config[kConfigKeys[i]] = values[i];
  self.attr("config") = config;
}

py::list trainable_params(py::object module) {
  py::object params = attr_or(module, "params");
  py::object parameter_type = py::module_::import("torch").attr("nn").attr("Parameter");
  py::list out;
  if (py::isinstance(params, parameter_type)) {
    out.append(params);
    return out;
  }
  for (py::handle p : module.attr("parameters")()) out.append(p);
  return out;
}

py::tuple split_optimizer_params(py::object self) {
  py::object model = self.attr("model");
  py::list hash_params, mlp_params;
  auto collect = [&](const char* name, py::list& into) {
    py::object sub = attr_or(model, name);
    if (sub.is_none()) return;
    for (py::handle p : self.attr("_trainable_params")(sub)) into.append(p);
  };
  for (const char* name : kHashSubmodules) collect(name, hash_params);
  for (const char* name : kMlpSubmodules) collect(name, mlp_params);
  return py::make_tuple(hash_params, mlp_params);
}

}  // namespace qelm::shell
