// Saving: the weight, mask and residual blobs, the container metadata, and the container or
// chunk blob on disk.
#include "methods/methods.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "artifacts.h"
#include "format/format.h"
#include "hashgrid.h"

namespace qelm::shell {

namespace {

py::module_ os_mod() { return py::module_::import("os"); }

bool is_seq(py::handle v) { return py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v); }

// 8 and 16 select the integer schemes; any other value (including booleans) float16.
int64_t quantization_bits(py::handle q) {
  if (py::isinstance<py::bool_>(q)) return 0;
  if (!py::isinstance<py::int_>(q) && !py::isinstance<py::float_>(q)) return 0;
  const double v = q.cast<double>();
  return v == 8 ? 8 : v == 16 ? 16 : 0;
}

// While alive, residuals and metrics are measured with the network a reader rebuilds: the
// reference network on CPU, float32, with the weights restored from the blob and recipe just
// built (`pyqelm.decode.network_from_weights`), whatever device and precision trained the model.
// The compressor's `_eval_network` names it for eval_setup and is cleared again, also on error.
class DecoderNetwork {
 public:
  DecoderNetwork(py::object self, py::handle weights_bytes, py::handle recipe) : self_(self) {
    py::object net = py::module_::import("pyqelm.decode")
                         .attr("network_from_weights")(self.attr("config"), recipe, weights_bytes);
    self_.attr("_eval_network") = net;
  }
  ~DecoderNetwork() {
    try {
      self_.attr("_eval_network") = py::none();
    } catch (py::error_already_set&) {
      // the error in flight is the one to report
    }
  }
  DecoderNetwork(const DecoderNetwork&) = delete;
  DecoderNetwork& operator=(const DecoderNetwork&) = delete;

 private:
  py::object self_;
};

// The network inputs a grid component sees at the cube's valid points, (n, D) float32, and its
// grid settings; nullopt for components that are not position-indexed grids. Positions follow
// the network's forward: spatial coordinates times spatial_scale, then the frame's time.
struct GridInputs {
  hashgrid::GridConfig cfg;
  torch::Tensor positions;
};

std::optional<hashgrid::GridConfig> grid_config(py::handle arch, const std::string& prefix) {
  py::object hs = dict_get(arch, (prefix + "_hash_size").c_str());
  if (hs.is_none()) return std::nullopt;
  hashgrid::GridConfig c;
  c.log2_hashmap_size = py::int_(hs).cast<int>();
  c.base_resolution = py::int_(dict_get(arch, (prefix + "_base_resolution").c_str())).cast<int>();
  c.n_levels = py::int_(dict_get(arch, (prefix + "_n_levels").c_str())).cast<int>();
  c.per_level_scale = py::float_(dict_get(arch, (prefix + "_per_level_scale").c_str())).cast<double>();
  c.n_features = py::int_(dict_get(arch, (prefix + "_features_per_level").c_str())).cast<int>();
  return c;
}

// Hash-grid entries that no valid point of the cube reaches keep the values they were
// initialised with (they never get a gradient) and cost bytes in the weight blob for nothing:
// they are stored as zeros. The outputs at every point that reaches only stored entries (every
// valid point) are unchanged, bit for bit. Skipped when the grid positions depend on the
// network itself (deformation) or the cube's layout is not known.
void zero_unreached_hash_entries(py::object self, std::vector<torch::Tensor>& host,
                                 const std::vector<std::string>& names) {
  py::object model = self.attr("model");
  py::object arch = attr_or(model, "config_params");
  py::object xyz_obj = attr_or(self, "xyz_cache"), t_obj = attr_or(self, "time_lut");
  if (arch.is_none() || xyz_obj.is_none() || t_obj.is_none()) return;
  if (truthy(dict_get(arch, "enable_deformation", py::bool_(false)))) return;
  const torch::Tensor xyz = xyz_obj.cast<torch::Tensor>().to(torch::kCPU, torch::kFloat);
  const torch::Tensor times = t_obj.cast<torch::Tensor>().to(torch::kCPU, torch::kFloat).reshape({-1});
  const int64_t cells = xyz.size(0), T = times.numel();
  torch::Tensor valid;  // (T, cells) bool
  py::object mask = attr_or(self, "cpu_mask");
  if (!mask.is_none()) {
    valid = mask.cast<torch::Tensor>().reshape({-1}).to(torch::kBool);
    if (valid.numel() != T * cells) return;
    valid = valid.view({T, cells});
  } else {
    valid = torch::ones({T, cells}, torch::kBool);
  }
  const double scale = py::float_(dict_get(arch, "spatial_scale", py::float_(1.0))).cast<double>();
  const torch::Tensor xy = scale != 1.0 ? xyz * scale : xyz;
  const torch::Tensor cells_used = valid.any(0).nonzero().squeeze(1);
  const torch::Tensor frames_used = valid.any(1).nonzero().squeeze(1);
  std::string report;
  int64_t zeroed_total = 0, entries_total = 0;
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    std::string prefix;
    const std::string& n = names[i];
    if (n == "spatial") prefix = "xy";
    else if (n == "phenology") prefix = "t";
    else if (n == "code") prefix = "code";
    else if (n == "time") prefix = "t1d";
    else continue;
    const auto cfg = grid_config(arch, prefix);
    if (!cfg) continue;
    torch::Tensor params = host[i].clone();
    int64_t zeroed = 0;
    {
      py::gil_scoped_release nogil;
      if (n == "phenology") {
        // Every valid (cell, frame) point, a slice of frames at a time.
        const torch::Tensor reached_any = [&] {
          torch::Tensor acc;
          // A few frames at a time: each point costs ~40 bytes of index and position tensors, and
          // a tile's worker must not hold many times its share of the cube for this.
          const int64_t per_slice = std::max<int64_t>(1, (int64_t{1} << 16) / std::max<int64_t>(1, cells));
          for (int64_t t0 = 0; t0 < T; t0 += per_slice) {
            const int64_t t1 = std::min(T, t0 + per_slice);
            const torch::Tensor rows = valid.slice(0, t0, t1).reshape({-1}).nonzero().squeeze(1);
            if (rows.numel() == 0) continue;
            const torch::Tensor pos = torch::cat(
                {xy.index_select(0, rows.remainder(cells)),
                 times.index_select(0, torch::div(rows, cells, "floor") + t0).unsqueeze(1)}, 1);
            const torch::Tensor r = hashgrid::reached_entries(pos, *cfg);
            acc = acc.defined() ? acc.logical_or(r) : r;
          }
          return acc;
        }();
        if (reached_any.defined()) {
          const torch::Tensor unreached = reached_any.logical_not();
          params.view({reached_any.numel(), cfg->n_features}).index_put_({unreached}, 0);
          zeroed = unreached.sum().item<int64_t>();
        }
      } else if (n == "time") {
        zeroed = hashgrid::zero_unreached_entries(params, times.index_select(0, frames_used).unsqueeze(1), *cfg);
      } else {
        zeroed = hashgrid::zero_unreached_entries(params, xy.index_select(0, cells_used), *cfg);
      }
    }
    host[i] = params;
    const int64_t entries = params.numel() / cfg->n_features;
    zeroed_total += zeroed;
    entries_total += entries;
    report += (report.empty() ? "" : ", ") + n + " " + std::to_string(zeroed) + "/" + std::to_string(entries);
  }
  if (entries_total > 0)
    print_line(strf(" -> Hash-grid entries no valid point reaches, stored as zero: %lld of %lld (%s)",
                    (long long)zeroed_total, (long long)entries_total, report.c_str()));
}

// The residual-pass record after the residuals a reader restores: the pass counts a stored
// residual as exact, so the error its storage leaves is added per band.
void add_stored_error(py::object record, const StoredResidualError& e) {
  if (record.is_none()) return;
  py::list bands = record["bands"];
  for (size_t b = 0; b < e.sse.size() && b < py::len(bands); ++b) {
    py::dict band = bands[b];
    const double n = py::float_(band["n_valid"]).cast<double>();
    if (n <= 0) continue;
    const double rmse = py::float_(band["rmse"]).cast<double>(), mae = py::float_(band["mae"]).cast<double>();
    band["rmse"] = std::sqrt((rmse * rmse * n + e.sse[b]) / n);
    band["mae"] = (mae * n + e.sae[b]) / n;
    band["max"] = std::max(py::float_(band["max"]).cast<double>(), e.max[b]);
  }
}

py::list int_list(std::initializer_list<int64_t> v) {
  py::list l;
  for (auto x : v) l.append(x);
  return l;
}

}  // namespace

std::pair<std::vector<torch::Tensor>, std::vector<std::string>> weight_components(py::object self) {
  py::object model = self.attr("model");
  if (model.is_none()) throw py::value_error("no model to save: call build_qelm_model and fit first");
  py::list tensors, names;
  if (py::hasattr(model, "export_weight_components")) {
    py::tuple parts = unpack_exact(model.attr("export_weight_components")(), 2);
    tensors = py::list(parts[0]);
    names = py::list(parts[1]);
  } else {
    py::object config = attr_or(self, "config", py::dict());
    const bool disabled = truthy(dict_get(config, "disable_temporal", py::bool_(false)));
    const bool latent = py::str("latent").equal(dict_get(config, "temporal_mode", py::str("hash3d")));
    std::vector<std::pair<const char*, const char*>> table{{"enc_spatial", "spatial"}};
    if (!disabled && latent) {
      table.push_back({"enc_code", "code"});
      table.push_back({"enc_time", "time"});
    } else if (!disabled) {
      table.push_back({"enc_phenology", "phenology"});
    }
    table.push_back({"decoder", "decoder"});
    for (const auto& [attr, name] : table) {
      tensors.append(model.attr(attr).attr("params"));
      names.append(name);
    }
  }
  std::vector<torch::Tensor> ts;
  std::vector<std::string> ns;
  for (py::handle t : tensors) ts.push_back(t.cast<torch::Tensor>());
  for (py::handle n : names) ns.push_back(py_str(n));
  return {ts, ns};
}

py::tuple build_weights_bytes(py::object self, py::object quantization_bit) {
  auto [tensors, names] = weight_components(self);
  std::vector<torch::Tensor> host;
  for (const auto& t : tensors) host.push_back(t.detach().to(torch::kCPU));
  zero_unreached_hash_entries(self, host, names);
  const int64_t bits = quantization_bits(quantization_bit);
  blobs::QuantizedWeights q;
  {
    py::gil_scoped_release nogil;
    q = blobs::quantize_weights(host, names, bits);
  }
  for (const auto& line : q.lines) print_line(line);
  py::object weights = module_attr("fast_compress")(py::bytes(q.raw));
  const double mb = static_cast<double>(py::len(weights)) / 1024.0 / 1024.0;
  print_line(strf(" -> Weights Ready: %.2f MB (%s)", mb, q.recipe.mode.c_str()));
  return py::make_tuple(weights, weight_recipe_to_dict(q.recipe));
}

py::bytes build_mask_bytes(py::object self, py::object mask_mode, int64_t N, int64_t H, int64_t W) {
  py::object cpu_mask = self.attr("cpu_mask");
  if (py::str("no").equal(mask_mode) || cpu_mask.is_none()) {
    print_line(" -> Mask (Real): None");
    return py::bytes();
  }
  auto [bh, bw] = config_block_size(self);
  torch::Tensor valid = cpu_mask.cast<torch::Tensor>().reshape({-1});
  py::object pixel_mask = attr_or(self, "_block_pixel_mask");
  py::object values = self.attr("cpu_values");
  if (bh * bw > 1 && !pixel_mask.is_none()) {
    valid = pixel_mask.cast<torch::Tensor>().reshape({-1});
    bh = bw = 1;
  } else if (bh * bw == 1 && !values.is_none()) {
    // A pixel whose value is not finite (a fill value read as NaN) has no data to give back.
    valid = valid & rows_all_finite(values.cast<torch::Tensor>());
  }
  const bool static_mode = py::str("static").equal(mask_mode);
  blobs::MaskBlob mb;
  {
    py::gil_scoped_release nogil;
    mb = blobs::build_mask_blob(valid, N, H, W, bh, bw, static_mode);
  }
  for (const auto& line : mb.lines) print_line(line);
  return py::bytes(mb.bytes);
}

py::tuple build_residual_bytes(py::object self, int64_t T, int64_t H, int64_t W, int64_t C,
                               py::object residual_threshold, py::object residual_dtype) {
  if (!self.attr("streaming_source").is_none())
    throw NotImplementedError(
        "save_residuals is not yet supported in zarr_streaming mode (would require streaming the full archive a "
        "second time).");
  print_line(" -> Computing Residuals for Ultra version (sparse)...");
  py::tuple track = unpack_exact(
      self.attr("compute_residuals")(py::arg("threshold") = residual_threshold, py::arg("quantize") = residual_dtype), 2);
  py::object mi = self.attr("meta_info");
  const auto [bh, bw] = config_block_size(self);
  blobs::ResidualValueMode mode =
      blobs::decide_residual_value_mode(band_scales_from_py(dict_get(mi, "band_scales")),
                                        dtype_name_from_py(dict_get(mi, "src_dtype")), bh * bw, C);
  py::module_ torch = py::module_::import("torch");
  torch::Tensor idx = torch.attr("as_tensor")(track[0]).cast<torch::Tensor>().to(torch::kInt64);
  torch::Tensor val = torch.attr("as_tensor")(track[1]).cast<torch::Tensor>().to(torch::kFloat32);
  if (mode.native) {
    // Data numbers beyond int16 would be clipped by the widest native type: such a track is
    // stored in the per-frame mode, whose scale follows the largest residual.
    const double widest = largest_native_code(idx, val, mode.scales, C);
    if (widest > 32767.0) {
      print_line(strf(" -> Residual value mode: residuals of up to %.0f data numbers do not fit int16; storing them "
                      "per frame (perframe_int16)", widest));
      mode = blobs::ResidualValueMode{};
    }
  }
  if (mode.native) print_line(blobs::residual_native_mode_line(mode.scales));
  blobs::ResidualBlob blob;
  StoredResidualError stored;
  {
    py::gil_scoped_release nogil;
    blob = blobs::encode_residuals(idx, val, T, H, W, C, mode);
    const auto back = blobs::decode_residuals(blob.bytes, mode.native ? std::optional(mode.scales) : std::nullopt);
    stored = stored_residual_error(idx, val, back.indices, back.values, C);
  }
  add_stored_error(attr_or(self, "_quality_metrics_resid"), stored);
  for (const auto& line : blob.lines) print_line(line);
  py::object sf = dict_get(mi, "scale_factor", py::float_(1.0));
  if (is_seq(sf)) sf = py::len(sf) > 0 ? py::object(sf[py::int_(0)]) : py::object(py::float_(1.0));
  const double scale = sf.is_none() ? 1.0 : py::float_(sf).cast<double>();
  return py::make_tuple(py::bytes(blob.bytes), residual_info_dict(blob, residual_threshold, scale));
}

std::string isoize_py(py::object value) { return isoize(py_str(value)); }

py::object build_outer_meta(py::object self, py::object pixel_shape) {
  py::object mi = self.attr("meta_info");
  py::tuple shape = unpack_exact(pixel_shape, 4);
  std::vector<int64_t> dims;
  for (py::handle d : shape) dims.push_back(py::int_(py::reinterpret_borrow<py::object>(d)).cast<int64_t>());
  const int64_t C = dims[3];
  py::list bands;
  py::object given = dict_get(mi, "bands");
  if (py::isinstance<py::list>(given)) {
    for (py::handle b : given) bands.append(format::band_info_from_dict(b));
  } else {
    py::object names = dict_get(mi, "band_names");
    py::list name_list;
    if (!names.is_none() && truthy(names)) {
      name_list = py::list(names);
    } else {
      for (int64_t i = 1; i <= C; ++i) name_list.append(strf("B%lld", (long long)i));
    }
    auto per_band = [&](const char* key, double dflt) {
      py::object v = dict_get(mi, key, py::float_(dflt));
      if (is_seq(v)) return py::list(v);
      py::list l;
      for (int64_t i = 0; i < C; ++i) l.append(py::float_(v));
      return l;
    };
    py::list scales = per_band("scale_factor", 1.0), offsets = per_band("add_offset", 0.0);
    py::object ranges = dict_get(mi, "data_range");
    if (!ranges.is_none() && py::len(ranges) == 2 && !is_seq(ranges[py::int_(0)])) {
      py::list copies;
      for (int64_t i = 0; i < C; ++i) copies.append(ranges);
      ranges = copies;
    }
    for (int64_t i = 0; i < C; ++i) {
      const size_t k = static_cast<size_t>(i);
      const double sc = k < py::len(scales) ? py::float_(scales[k]).cast<double>() : 1.0;
      const double off = k < py::len(offsets) ? py::float_(offsets[k]).cast<double>() : 0.0;
      py::object vr = ranges.is_none() ? py::object(py::none()) : py::object(py::list(ranges[py::int_(i)]));
      bands.append(format::band_info(py::str(name_list[k]), sc, off, vr));
    }
  }
  py::object transform = py::none();
  py::object t = dict_get(mi, "transform");
  if (!t.is_none() && (!is_seq(t) || py::len(t) > 0)) {
    try {
      transform = format::coerce_affine(t);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
  }
  py::object time = py::none();
  py::object stamps = dict_get(mi, "timestamps", py::list());
  if (py::len(stamps) > 0) {
    // An axis without dates (calendar "none") holds plain numbers, which are not dates to isoize.
    const bool dated = !py::str("none").equal(dict_get(mi, "calendar", py::str("gregorian")));
    py::list values;
    for (py::handle s : stamps) values.append(dated ? isoize(py_str(s)) : py_str(s));
    auto bound = [&](const char* attr) {
      py::object v = self.attr(attr);
      return truthy(v) ? py::object(py::str(isoize(py_str(v)))) : py::object(py::none());
    };
    time = format::time_info(values, dict_get(mi, "calendar", py::str("gregorian")), bound("global_start_date"),
                             bound("global_end_date"));
  }
  py::object crs = dict_get(mi, "crs");
  py::kwargs kw;
  kw["shape"] = int_list({dims[0], dims[1], dims[2], dims[3]});
  py::list axes;
  for (const char* a : {"time", "y", "x", "band"}) axes.append(a);
  kw["axes"] = axes;
  kw["dtype"] = py::str(dict_get(mi, "dtype", py::str("uint8")));
  kw["bands"] = bands;
  kw["crs"] = truthy(crs) ? crs : py::object(py::none());
  kw["transform"] = transform;
  kw["pixel_anchor"] = dict_get(mi, "pixel_anchor", py::str("upper_left"));
  kw["missing_fill"] = dict_get(mi, "missing_fill");
  kw["use_log"] = py::bool_(truthy(dict_get(mi, "use_log", py::bool_(false))));
  kw["time"] = time;
  return format::meta(kw);
}

py::object build_chunk_meta(py::object self, py::object quant_info_dict, py::object has_residuals,
                            py::object residual_info_dict_obj) {
  py::object mi = self.attr("meta_info");
  py::object ttr = py::none();
  py::object gs = self.attr("global_start_date"), ge = self.attr("global_end_date");
  if (truthy(gs) && truthy(ge)) {
    const int64_t n = mi.contains("timestamps") ? static_cast<int64_t>(py::len(mi["timestamps"])) : 0;
    ttr = format::train_time_range(isoize(py_str(gs)), isoize(py_str(ge)), n);
  }
  const int64_t C = py::int_(dict_get(mi, "n_bands", py::int_(1))).cast<int64_t>();
  py::object dr = dict_get(mi, "data_range");
  py::list tdr;
  if (dr.is_none()) {
    for (int64_t i = 0; i < C; ++i) tdr.append(py::list(py::make_tuple(0.0, 1.0)));
  } else if (py::len(dr) == 2 && !is_seq(dr[py::int_(0)])) {
    for (int64_t i = 0; i < C; ++i) tdr.append(py::list(dr));
  } else {
    for (py::handle e : dr) tdr.append(py::list(py::reinterpret_borrow<py::object>(e)));
  }
  py::dict extras;
  for (const char* key : {"norm_mode", "local_xyz_params", "local_planar_params"}) {
    py::object v = dict_get(mi, key);
    if (!v.is_none()) extras[key] = v;
  }
  // How the source described its variable, so a reader can write it back under the same name,
  // dimensions, units, attributes and coordinates; the outer Meta has no place for these.
  py::dict source;
  for (const char* key : {"variable", "dims", "axes", "units", "time_units", "attrs", "coords", "global_attrs"}) {
    py::object v = dict_get(mi, key);
    if (!v.is_none()) source[key] = v;
  }
  if (py::len(source) > 0) extras["source"] = source;
  py::kwargs kw;
  kw["model_config"] = py::dict(self.attr("config"));
  kw["quantization_info"] = format::quantization_info_from_dict(quant_info_dict);
  kw["train_data_range"] = tdr;
  kw["train_time_range"] = ttr;
  kw["has_residuals"] = py::bool_(truthy(has_residuals));
  kw["residual_info"] =
      residual_info_dict_obj.is_none() ? py::object(py::none()) : format::residual_info_from_dict(residual_info_dict_obj);
  kw["extras"] = extras;
  return format::chunk_meta(kw);
}

py::dict build_v09_artifacts(py::object self, py::object quantization_bit, py::object mask_mode,
                             py::object save_residuals_obj, py::object residual_threshold, py::object residual_dtype,
                             bool quality_metrics) {
  const bool save_residuals = truthy(save_residuals_obj);
  py::object model = self.attr("model");
  py::object config = attr_or(self, "config");
  if (config.is_none()) throw py::value_error("no model configuration: call build_qelm_model before saving");
  py::object cp = attr_or(model, "config_params");
  if (!cp.is_none()) config.attr("update")(cp);
  if (!config.contains("block_size")) config["block_size"] = int_list({1, 1});

  py::object mi = self.attr("meta_info");
  std::vector<int64_t> shape;
  if (mi.contains("original_shape")) {
    for (py::handle d : mi["original_shape"]) shape.push_back(py::int_(py::reinterpret_borrow<py::object>(d)).cast<int64_t>());
    if (shape.size() != 4) throw py::value_error("meta_info['original_shape'] must hold four entries");
  } else {
    shape = {mi.contains("timestamps") ? static_cast<int64_t>(py::len(mi["timestamps"])) : 0,
             py::int_(dict_get(mi, "height", py::int_(0))).cast<int64_t>(),
             py::int_(dict_get(mi, "width", py::int_(0))).cast<int64_t>(),
             py::int_(dict_get(mi, "n_bands", py::int_(1))).cast<int64_t>()};
  }
  const int64_t T = shape[0], H = shape[1], W = shape[2], C = shape[3];
  print_line("Packaging QELM assets...");
  py::tuple wr = self.attr("_build_weights_bytes")(quantization_bit);
  py::object weights = wr[0], recipe = wr[1];
  DecoderNetwork decoder(self, weights, recipe);

  py::object mask = self.attr("_build_mask_bytes")(mask_mode, T, H, W);
  py::object residual_bytes = py::bytes(), residual_info = py::none();
  if (save_residuals) {
    py::tuple rr = self.attr("_build_residual_bytes")(T, H, W, C, py::arg("residual_threshold") = residual_threshold,
                                                      py::arg("residual_dtype") = residual_dtype);
    residual_bytes = rr[0];
    residual_info = rr[1];
  }
  py::object meta = self.attr("_build_outer_meta")(int_list({T, H, W, C}));
  py::object std_meta = self.attr("_build_chunk_meta")(recipe, py::arg("has_residuals") = false,
                                                       py::arg("residual_info_dict") = py::none());
  py::object rect_meta = py::none();
  if (save_residuals)
    rect_meta = self.attr("_build_chunk_meta")(recipe, py::arg("has_residuals") = true,
                                               py::arg("residual_info_dict") = residual_info);
  py::object std_metrics = py::none(), rect_metrics = py::none();
  if (!save_residuals) {
    // A caller that measures the stored network itself (the bound pass) skips this whole-cube
    // prediction: it costs a pass over the data and several copies of a frame batch.
    if (quality_metrics) std_metrics = self.attr("compute_quality_metrics")();
  } else {
    std_metrics = attr_or(self, "_quality_metrics_base");
    rect_metrics = attr_or(self, "_quality_metrics_resid");
  }
  if (!std_metrics.is_none()) std_meta.attr("extras")["quality_metrics"] = std_metrics;
  if (!rect_meta.is_none() && !rect_metrics.is_none()) {
    rect_meta.attr("extras")["quality_metrics"] = rect_metrics;
    if (!std_metrics.is_none()) rect_meta.attr("extras")["quality_metrics_pre_residual"] = std_metrics;
  }
  int64_t outliers = 0;
  if (!residual_info.is_none()) outliers = py::int_(dict_get(residual_info, "outlier_count", py::int_(0))).cast<int64_t>();
  py::dict art;
  art["meta"] = meta;
  art["chunk_meta_std"] = std_meta;
  art["chunk_meta_rect"] = rect_meta;
  art["weights_bytes"] = weights;
  art["mask_bytes"] = mask;
  art["residual_bytes"] = residual_bytes;
  art["residual_outliers"] = outliers;
  return art;
}

void write_v09_container(py::object self, py::object filename, py::object meta, py::object chunk_blob) {
  const std::string member = format::encode_chunk_filename();
  py::object manifest =
      format::one_chunk_manifest(meta.attr("n_frames").cast<int64_t>(), meta.attr("height").cast<int64_t>(),
                                 meta.attr("width").cast<int64_t>(), member, static_cast<int64_t>(py::len(chunk_blob)));
  format::write_container(filename, meta, manifest, member, chunk_blob);
}

namespace {
py::object dynamic_xor_fallback(py::object mask_mode) {
  if (py::str("dynamic-xor").equal(mask_mode)) {
    print_line("Warning: 'dynamic-xor' is removed in v0.5, falling back to 'dynamic'.");
    return py::str("dynamic");
  }
  return mask_mode;
}

void check_save_arguments(py::object self, py::object save_residuals, py::object threshold) {
  if (attr_or(self, "model").is_none())
    throw py::value_error("no model to save: call build_qelm_model and fit first");
  if (!truthy(save_residuals)) return;
  py::object values = threshold;
  if (!is_seq(values) && !py::hasattr(values, "__array__")) values = py::make_tuple(threshold);
  for (py::handle t : values) {
    const double v = py::float_(py::reinterpret_borrow<py::object>(t)).cast<double>();
    if (!(v >= 0)) throw py::value_error("residual_threshold must be non-negative, got " + py_str(threshold));
  }
}
}  // namespace

void save_qelm(py::object self, py::object filename, py::object quantization_bit, py::object mask_mode,
               py::object save_residuals, py::object residual_threshold, py::object residual_dtype) {
  check_save_arguments(self, save_residuals, residual_threshold);
  mask_mode = dynamic_xor_fallback(mask_mode);
  py::dict art = self.attr("_build_v09_artifacts")(quantization_bit, mask_mode, save_residuals, residual_threshold,
                                                   residual_dtype);
  const std::string path = py_str(os_mod().attr("fspath")(filename));
  const int64_t outliers = art["residual_outliers"].cast<int64_t>();
  const bool has_rect = truthy(save_residuals) && !art["chunk_meta_rect"].is_none();
  const bool write_rect = has_rect && outliers > 0;
  // With two files, each is first written complete under a pending name beside its target and
  // both are renamed only then: a full disk halfway must not leave a new standard file paired
  // with the rectified file of an earlier save.
  std::vector<std::pair<std::string, std::string>> pending;  // (pending name, target)
  auto pending_name = [&](const std::string& target) {
    if (!write_rect) return target;
    py::object p = os_mod().attr("path");
    const std::string dir = py_str(p.attr("dirname")(p.attr("abspath")(py::str(target))));
    const std::string base = py_str(p.attr("basename")(py::str(target)));
    pending.emplace_back(py_str(p.attr("join")(py::str(dir), py::str("." + base + ".pending"))), target);
    return pending.back().first;
  };
  try {
    print_line("=== Saving Standard Version: " + path + " ===");
    py::object std_blob =
        format::write_chunk_bytes(art["chunk_meta_std"], art["weights_bytes"], art["mask_bytes"], py::bytes());
    self.attr("_write_v09_container")(pending_name(path), art["meta"], std_blob);
    if (write_rect) {
      const std::string rect = rectified_filename(path);
      print_line("=== Saving Rectified Version: " + rect + " ===");
      py::object rect_blob = format::write_chunk_bytes(art["chunk_meta_rect"], art["weights_bytes"],
                                                       art["mask_bytes"], art["residual_bytes"]);
      self.attr("_write_v09_container")(pending_name(rect), art["meta"], rect_blob);
    } else if (has_rect) {
      print_line("=== 0 outliers: skipping rectified version (residuals correct nothing) ===");
    }
    for (const auto& [from, to] : pending) os_mod().attr("replace")(py::str(from), py::str(to));
  } catch (...) {
    for (const auto& entry : pending) {
      try {
        py::object p = os_mod().attr("path");
        if (p.attr("lexists")(py::str(entry.first)).cast<bool>()) os_mod().attr("remove")(py::str(entry.first));
      } catch (py::error_already_set&) {
        // the original error is the one to report
      }
    }
    throw;
  }
  print_line("All Versions Saved.");
}

py::tuple save_chunk_blob(py::object self, py::object filename, py::object quantization_bit, py::object mask_mode,
                          py::object save_residuals, py::object residual_threshold, py::object residual_dtype) {
  check_save_arguments(self, save_residuals, residual_threshold);
  mask_mode = dynamic_xor_fallback(mask_mode);
  py::dict art = self.attr("_build_v09_artifacts")(quantization_bit, mask_mode, save_residuals, residual_threshold,
                                                   residual_dtype);
  const int64_t outliers = art["residual_outliers"].cast<int64_t>();
  const bool has_rect = truthy(save_residuals) && !art["chunk_meta_rect"].is_none();
  py::object chunk_meta = art["chunk_meta_std"];
  py::object residuals = py::bytes();
  if (has_rect && outliers > 0) {
    chunk_meta = art["chunk_meta_rect"];
    residuals = art["residual_bytes"];
  } else if (has_rect) {
    print_line(" -> 0 outliers: saved as no-residual chunk (has_residuals=False)");
  }
  py::object blob = format::write_chunk_bytes(chunk_meta, art["weights_bytes"], art["mask_bytes"], residuals);
  py::object path = os_mod().attr("fspath")(filename);
  py::object parent = os_mod().attr("path").attr("dirname")(os_mod().attr("path").attr("abspath")(path));
  os_mod().attr("makedirs")(parent, py::arg("exist_ok") = true);
  format::write_bytes_atomic(path, blob);
  const int64_t n = static_cast<int64_t>(py::len(blob));
  print_line(strf(" -> chunk blob written: %s  (%.2f MB)", py_str(path).c_str(), n / 1024.0 / 1024.0));
  return py::make_tuple(art["meta"], chunk_meta, n);
}

}  // namespace qelm::shell
