// Python side of the blob codecs: the public decoders, the encoders the save methods and the
// tests use, and conversions between the core's structs and the dictionaries stored with a
// chunk. All byte work runs in the core with the GIL released.
#include <cmath>
#include <limits>

#include "blobs.h"
#include "methods/methods.h"

namespace qelm::shell {

namespace {

py::module_ numpy() { return py::module_::import("numpy"); }

// Keeps a bytes object alive and exposes its contents; other buffers are copied once.
struct BytesArg {
  py::bytes owner;
  std::string_view view;
  explicit BytesArg(py::handle obj) {
    if (py::isinstance<py::str>(obj)) throw py::type_error("expected bytes, got str");
    owner = py::isinstance<py::bytes>(obj) ? py::reinterpret_borrow<py::bytes>(obj)
                                           : py::bytes(py::module_::import("builtins").attr("bytes")(obj));
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(owner.ptr(), &p, &n) != 0) throw py::error_already_set();
    view = std::string_view(p, static_cast<size_t>(n));
  }
};

py::bytes to_bytes(const std::string& s) { return py::bytes(s.data(), s.size()); }

torch::Tensor as_tensor(py::handle obj) {
  py::object o = py::reinterpret_borrow<py::object>(obj);
  // Tensors cannot view arrays with negative strides (flipped views); those are copied.
  if (py::isinstance(o, numpy().attr("ndarray"))) o = numpy().attr("ascontiguousarray")(o);
  return py::module_::import("torch").attr("as_tensor")(o).cast<torch::Tensor>();
}

int64_t as_int(py::handle obj, const char* what) {
  try {
    return py::module_::import("operator").attr("index")(obj).cast<int64_t>();
  } catch (py::error_already_set&) {
    throw py::value_error(std::string(what) + " must be an integer, got " + py_repr(obj));
  }
}

double as_float(py::handle obj, const char* what) {
  try {
    return py::module_::import("builtins").attr("float")(obj).cast<double>();
  } catch (py::error_already_set&) {
    throw py::value_error(std::string(what) + " must be a number, got " + py_repr(obj));
  }
}

py::object float_list_or_none(const std::vector<double>& v, bool present) {
  if (!present) return py::none();
  py::list out;
  for (double x : v) out.append(x);
  return out;
}

}  // namespace

// ---- conversions shared with the save methods ------------------------------------------------

py::dict weight_recipe_to_dict(const blobs::WeightRecipe& r) {
  py::dict d;
  d["mode"] = r.mode;
  if (!r.quantized()) return d;
  py::list scales, sizes, comps;
  for (double s : r.scales) scales.append(s);
  for (int64_t s : r.sizes) sizes.append(s);
  for (const auto& c : r.components) comps.append(c);
  d["scales"] = scales;
  d["sizes"] = sizes;
  d["components"] = comps;
  d["decoder_size"] = r.decoder_size;
  d["decoder_name"] = r.decoder_name;
  return d;
}

blobs::WeightRecipe weight_recipe_from_dict(py::handle obj) {
  py::object d = py::reinterpret_borrow<py::object>(obj);
  if (py::hasattr(d, "to_dict")) d = d.attr("to_dict")();
  if (!py::isinstance<py::dict>(d)) throw py::value_error("weight recipe must be a mapping, got " + py_repr(obj));
  auto need = [&](const char* key) -> py::object {
    if (!d.contains(key)) throw py::value_error(std::string("weight recipe lacks \"") + key + "\"");
    return d[key];
  };
  blobs::WeightRecipe r;
  py::object mode = need("mode");
  if (!py::isinstance<py::str>(mode)) throw py::value_error("weight recipe \"mode\" must be text");
  r.mode = mode.cast<std::string>();
  try {
    r.bits();
  } catch (const std::invalid_argument& e) {
    throw py::value_error(e.what());
  }
  if (!r.quantized()) return r;
  auto seq = [&](const char* key) -> py::list {
    py::object v = need(key);
    if (!py::isinstance<py::list>(v) && !py::isinstance<py::tuple>(v))
      throw py::value_error(std::string("weight recipe \"") + key + "\" must be a list");
    return py::list(v);
  };
  for (auto s : seq("scales")) r.scales.push_back(as_float(s, "weight recipe scale"));
  for (auto s : seq("sizes")) r.sizes.push_back(as_int(s, "weight recipe size"));
  for (auto s : seq("components")) {
    if (!py::isinstance<py::str>(s)) throw py::value_error("weight recipe component names must be text");
    r.components.push_back(s.cast<std::string>());
  }
  r.decoder_size = as_int(need("decoder_size"), "weight recipe \"decoder_size\"");
  py::object dn = need("decoder_name");
  if (!py::isinstance<py::str>(dn)) throw py::value_error("weight recipe \"decoder_name\" must be text");
  r.decoder_name = dn.cast<std::string>();
  return r;
}

std::optional<std::vector<double>> band_scales_from_py(py::handle obj) {
  if (obj.is_none()) return std::nullopt;
  py::object arr = numpy().attr("asarray")(obj, py::arg("dtype") = "float64").attr("ravel")();
  return arr.attr("tolist")().cast<std::vector<double>>();
}

std::optional<std::string> dtype_name_from_py(py::handle obj) {
  if (obj.is_none()) return std::nullopt;
  if (py::isinstance<py::str>(obj)) return obj.cast<std::string>();
  // A dtype or scalar type object: its canonical code ("<u2"); anything else is no type.
  try {
    return numpy().attr("dtype")(obj).attr("str").cast<std::string>();
  } catch (py::error_already_set&) {
    return std::string();
  }
}

py::dict residual_info_dict(const blobs::ResidualBlob& b, py::handle threshold, double scale) {
  py::dict d;
  d["dtype"] = b.dtype;
  d["value_mode"] = b.native ? "native" : "perframe_int16";
  d["band_scales"] = float_list_or_none(b.band_scales, b.native);
  const bool seq = py::isinstance<py::list>(threshold) || py::isinstance<py::tuple>(threshold) ||
                   py::isinstance(threshold, numpy().attr("ndarray"));
  if (seq)
    d["threshold"] = numpy().attr("asarray")(threshold, py::arg("dtype") = "float64").attr("ravel")().attr("tolist")();
  else
    d["threshold"] = as_float(threshold, "residual threshold");
  d["scale"] = scale;
  d["main_codec"] = "zstd";
  d["outlier_layout"] = "chunked_v1";
  d["outlier_count"] = b.outlier_count;
  d["outlier_value_scale"] = b.outlier_value_scale;
  d["outlier_vals_codec"] = "lzma";
  return d;
}

// ---- module functions ------------------------------------------------------------------------

namespace {

// A shape the caller expects, as N non-negative integers.
template <size_t N>
std::optional<std::array<int64_t, N>> shape_from_py(py::handle obj, const char* what) {
  if (obj.is_none()) return std::nullopt;
  const py::tuple t(py::reinterpret_borrow<py::object>(obj));
  if (t.size() != N) throw py::value_error(strf("%s must hold %zu sizes, got %s", what, N, py_repr(obj).c_str()));
  std::array<int64_t, N> out{};
  for (size_t i = 0; i < N; ++i) {
    out[i] = as_int(t[i], what);
    if (out[i] < 0) throw py::value_error(std::string(what) + " must not be negative, got " + py_repr(obj));
  }
  return out;
}

uint64_t limit_from_py(py::handle obj, const char* what) {
  if (obj.is_none()) return std::numeric_limits<uint64_t>::max();
  const int64_t v = as_int(obj, what);
  if (v < 0) throw py::value_error(std::string(what) + " must not be negative, got " + py_repr(obj));
  return static_cast<uint64_t>(v);
}

}  // namespace

py::object decode_mask_blob(py::object blob, py::object shape, py::object max_cells) {
  BytesArg b(blob);
  blobs::MaskLimits limits;
  limits.cube = shape_from_py<3>(shape, "mask shape");
  limits.max_cells = limit_from_py(max_cells, "max_cells");
  std::optional<torch::Tensor> m;
  {
    py::gil_scoped_release nogil;
    m = blobs::decode_mask(b.view, limits);
  }
  if (!m) return py::none();
  return py::cast(*m).attr("numpy")();
}

py::tuple decode_residual_blob(py::object blob, py::object band_scales, py::object dtype, py::object shape,
                               py::object count, py::object max_outliers) {
  BytesArg b(blob);
  const auto scales = band_scales_from_py(band_scales);
  std::optional<std::string> dt;
  if (!dtype.is_none()) dt = py_str(dtype);
  blobs::ResidualLimits limits;
  limits.cube = shape_from_py<4>(shape, "residual shape");
  if (!count.is_none()) {
    limits.count = as_int(count, "outlier count");
    if (*limits.count < 0) throw py::value_error("outlier count must not be negative, got " + py_repr(count));
  }
  limits.max_outliers = limit_from_py(max_outliers, "max_outliers");
  blobs::DecodedResiduals r;
  {
    py::gil_scoped_release nogil;
    r = blobs::decode_residuals(b.view, scales, dt, limits);
  }
  py::object out_shape = r.has_shape ? py::object(py::make_tuple(r.T, r.H, r.W, r.C)) : py::none();
  return py::make_tuple(py::cast(r.indices).attr("numpy")(), py::cast(r.values).attr("numpy")(), out_shape);
}

py::list restore_weight_components(py::object raw, py::object recipe, py::object sizes) {
  BytesArg b(raw);
  const blobs::WeightRecipe r = weight_recipe_from_dict(recipe);
  std::optional<std::vector<int64_t>> split;
  if (!sizes.is_none()) {
    split.emplace();
    for (auto s : sizes) split->push_back(as_int(s, "component size"));
  }
  std::vector<torch::Tensor> out;
  {
    py::gil_scoped_release nogil;
    out = blobs::restore_weights(b.view, r, split ? &*split : nullptr);
  }
  py::list l;
  for (auto& t : out) l.append(py::cast(t));
  return l;
}

py::tuple quantize_weight_components(py::object tensors, py::object names, int64_t bits) {
  std::vector<torch::Tensor> ts;
  std::vector<std::string> ns;
  for (auto t : tensors) ts.push_back(as_tensor(t));
  for (auto n : names) ns.push_back(py_str(n));
  blobs::QuantizedWeights q;
  {
    py::gil_scoped_release nogil;
    q = blobs::quantize_weights(ts, ns, bits);
  }
  return py::make_tuple(to_bytes(q.raw), weight_recipe_to_dict(q.recipe), py::cast(q.lines));
}

py::bytes encode_mask_blob(py::object nodata, bool static_mode) {
  const torch::Tensor m = as_tensor(nodata);
  std::string out;
  {
    py::gil_scoped_release nogil;
    out = blobs::encode_mask(m, static_mode);
  }
  return to_bytes(out);
}

py::object expand_block_mask(py::object block_mask, int64_t N, int64_t H, int64_t W, int64_t bh, int64_t bw) {
  const torch::Tensor m = as_tensor(block_mask);
  torch::Tensor out;
  {
    py::gil_scoped_release nogil;
    out = blobs::expand_block_mask(m, N, H, W, bh, bw);
  }
  return py::cast(out).attr("numpy")();
}

py::tuple residual_value_mode(py::object band_scales, py::object src_dtype, int64_t block_factor, int64_t C) {
  const auto mode = blobs::decide_residual_value_mode(band_scales_from_py(band_scales), dtype_name_from_py(src_dtype),
                                                      block_factor, C);
  return py::make_tuple(mode.name(), float_list_or_none(mode.scales, mode.native));
}

py::tuple encode_residual_blob(py::object indices, py::object values, int64_t T, int64_t H, int64_t W, int64_t C,
                               py::object band_scales, py::object threshold, double scale) {
  const torch::Tensor idx = as_tensor(indices);
  const torch::Tensor val = as_tensor(values);
  blobs::ResidualValueMode mode;
  if (!band_scales.is_none()) {
    mode.native = true;
    mode.scales = *band_scales_from_py(band_scales);
    if (mode.scales.size() == 1 && C > 1) mode.scales.assign(static_cast<size_t>(C), mode.scales[0]);
    for (double s : mode.scales)
      if (!(s > 0.0) || !std::isfinite(s)) throw py::value_error("band scales must be finite positive numbers");
  }
  blobs::ResidualBlob r;
  {
    py::gil_scoped_release nogil;
    r = blobs::encode_residuals(idx, val, T, H, W, C, mode);
  }
  return py::make_tuple(to_bytes(r.bytes), residual_info_dict(r, threshold, scale), py::cast(r.lines));
}

}  // namespace qelm::shell
