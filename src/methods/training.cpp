// fit: reads the prepared attributes, runs the training driver with the GIL released, and
// hands errors back to Python with their usual types.
#include "methods/methods.h"

#include <c10/util/Exception.h>

#include <cmath>

#include "models/network.h"
#include "training/driver.h"
#include "training/fit_options.h"

namespace qelm::shell {

namespace {

using training::Num;

// An integer argument: operator.index semantics, so 2.5 is a TypeError as in range(); a value
// beyond 64 bits is a ValueError like any other out-of-range argument.
int64_t index_arg(py::handle v, const char* name = "argument") {
  py::object i = py::module_::import("operator").attr("index")(v);
  try {
    return i.cast<int64_t>();
  } catch (const py::cast_error&) {
    throw py::value_error(std::string(name) + " is out of range: " + py_str(i));
  }
}

Num num_arg(py::handle v) {
  return Num(py::module_::import("builtins").attr("float")(v).cast<double>(), py_str(v));
}

torch::Tensor tensor_attr(py::handle v) {
  if (v.is_none()) return torch::Tensor();
  if (THPVariable_Check(v.ptr())) return v.cast<torch::Tensor>();
  return py::module_::import("torch").attr("as_tensor")(v).cast<torch::Tensor>();
}

std::optional<std::string> env_value(const char* name) {
  py::object v = py::module_::import("os").attr("environ").attr("get")(name);
  if (v.is_none()) return std::nullopt;
  return v.cast<std::string>();
}

[[noreturn]] void raise_py(PyObject* type, const std::string& msg) {
  PyErr_SetString(type, msg.c_str());
  throw py::error_already_set();
}

}  // namespace

torch::Tensor normalised_error_bound(py::object self, py::object error_bound, int64_t columns) {
  py::object np = py::module_::import("numpy");
  py::object meta = self.attr("meta_info");
  std::vector<double> e;
  for (py::handle v : np.attr("atleast_1d")(np.attr("asarray")(error_bound, py::arg("dtype") = np.attr("float64"))))
    e.push_back(v.cast<double>());
  if (e.empty()) throw py::value_error("error_bound is empty");
  for (double v : e)
    if (!(std::isfinite(v) && v > 0)) throw py::value_error("error_bound must be positive and finite, got " + py_str(error_bound));
  std::vector<std::pair<double, double>> ranges;
  py::object dr = dict_get(meta, "data_range");
  if (dr.is_none()) throw py::value_error("error_bound needs meta_info['data_range']: prepare the training data first");
  py::object arr = np.attr("asarray")(dr, py::arg("dtype") = np.attr("float64")).attr("reshape")(-1, 2);
  for (py::handle row : arr) ranges.emplace_back(row[py::int_(0)].cast<double>(), row[py::int_(1)].cast<double>());
  const int64_t n_bands = static_cast<int64_t>(std::max(ranges.size(), e.size()));
  if ((ranges.size() != 1 && static_cast<int64_t>(ranges.size()) != n_bands) ||
      (e.size() != 1 && static_cast<int64_t>(e.size()) != n_bands) || columns % n_bands != 0)
    throw py::value_error("error_bound holds " + std::to_string(e.size()) + " values for " +
                          std::to_string(ranges.size()) + " band range(s) and " + std::to_string(columns) +
                          " output columns");
  const bool use_log = truthy(dict_get(meta, "use_log", py::bool_(false)));
  std::vector<double> per_band(n_bands);
  for (int64_t b = 0; b < n_bands; ++b) {
    const auto [lo, hi] = ranges[ranges.size() == 1 ? 0 : b];
    double bound = e[e.size() == 1 ? 0 : b];
    // log1p moves least per physical unit at the largest value: the error allowed there holds
    // everywhere.
    if (use_log) bound /= std::exp(hi);
    const double span = hi - lo;
    per_band[b] = span > 0 ? bound / span : bound;
  }
  std::vector<double> out(columns);
  for (int64_t k = 0; k < columns; ++k) out[k] = per_band[k % n_bands];
  return torch::tensor(out, torch::kFloat64);
}

py::bool_ fit(py::object self, py::object epochs, py::object batch_size, py::object lr,
              py::object lr_hash, py::object loss_type, py::object force_zero_training,
              py::object early_stop, py::object early_stop_patience,
              py::object early_stop_min_delta_rel, py::object early_stop_warmup_epochs,
              py::object early_stop_ema_alpha, py::object importance_sampling,
              py::object imp_warmup_frac, py::object imp_alpha, py::object imp_refresh_epochs,
              py::object steps, py::object error_bound, py::object seed) {
  training::FitOptions opts;
  opts.epochs = index_arg(epochs, "epochs");
  opts.batch_size = index_arg(batch_size, "batch_size");
  opts.lr = num_arg(lr);
  if (!lr_hash.is_none()) opts.lr_hash = num_arg(lr_hash);
  opts.loss_type = py_str(loss_type);
  opts.force_zero_training = truthy(force_zero_training);
  opts.early_stop = truthy(early_stop);
  opts.early_stop_patience = num_arg(early_stop_patience);
  opts.early_stop_min_delta_rel = num_arg(early_stop_min_delta_rel);
  opts.early_stop_warmup_epochs = num_arg(early_stop_warmup_epochs);
  opts.early_stop_ema_alpha = num_arg(early_stop_ema_alpha);
  opts.importance_sampling = truthy(importance_sampling);
  opts.imp_warmup_frac = num_arg(imp_warmup_frac);
  opts.imp_alpha = num_arg(imp_alpha);
  opts.imp_refresh_epochs = num_arg(imp_refresh_epochs);
  if (!steps.is_none()) {
    opts.steps = index_arg(steps, "steps");
    if (*opts.steps < 0) throw py::value_error("steps must be non-negative, got " + py_str(steps));
  }
  if (!seed.is_none()) {
    py::object s = py::module_::import("operator").attr("index")(seed);
    if (s.attr("__lt__")(py::int_(0)).cast<bool>() || s.attr("bit_length")().cast<int>() > 63)
      throw py::value_error("seed must be an integer from 0 to 2**63 - 1, got " + py_str(seed));
    opts.seed = s.cast<uint64_t>();
  }
  training::check_fit_options(opts);

  py::object model = attr_or(self, "model");
  if (model.is_none()) throw py::value_error("fit needs a model: call build_qelm_model first");
  py::object meta = self.attr("meta_info");
  training::TrainingSet data;
  data.has_streaming_source = !attr_or(self, "streaming_source").is_none();
  data.values = tensor_attr(attr_or(self, "cpu_values"));
  data.mask = tensor_attr(attr_or(self, "cpu_mask"));
  data.xyz = tensor_attr(attr_or(self, "xyz_cache"));
  data.time_lut = tensor_attr(attr_or(self, "time_lut"));
  if (!data.xyz.defined() || !data.time_lut.defined() ||
      (!data.has_streaming_source && (!data.values.defined() || !data.mask.defined())))
    throw py::value_error(
        "fit needs prepared training data (cpu_values, cpu_mask, xyz_cache, time_lut): call "
        "prepare_training_data_optimized first");
  data.n_frames = static_cast<int64_t>(py::len(meta[py::str("timestamps")]));
  data.height = index_arg(meta[py::str("height")]);
  data.width = index_arg(meta[py::str("width")]);
  py::object n_bands = dict_get(meta, "n_bands");
  data.n_bands = n_bands.is_none() ? (data.values.defined() ? data.values.size(1) : 0) : index_arg(n_bands);
  data.bytes_per_pixel = index_arg(attr_or(self, "bytes_per_pixel", py::int_(4)));
  data.use_log = truthy(dict_get(meta, "use_log", py::bool_(false)));
  // The band ranges matter only to the band-weighted loss, which checks its other
  // preconditions first.
  if (opts.loss_type == "MSE_RRMSE" && data.values.defined() && !data.use_log) {
    py::object np = py::module_::import("numpy");
    py::object ranges = np.attr("asarray")(meta[py::str("data_range")], py::arg("dtype") = np.attr("float64"));
    data.data_range = py::module_::import("torch").attr("from_numpy")(np.attr("ascontiguousarray")(ranges))
                          .cast<torch::Tensor>()
                          .clone();
  }

  if (!error_bound.is_none()) {
    const int64_t columns = data.values.defined() ? data.values.size(1) : data.n_bands;
    opts.error_bound = normalised_error_bound(self, error_bound, columns);
  }
  if (opts.seed) {
    // NumPy's generator feeds the streaming pool; the tensor library's are seeded by the run.
    py::module_::import("numpy").attr("random").attr("seed")(py::int_(*opts.seed & 0xffffffffULL));
  }

  training::FitEnvironment env;
  env.importance_extra_frac = env_value("PYQELM_IMPORTANCE_EXTRA_FRAC");
  env.stream_threshold_gb = env_value("PYQELM_STREAM_THRESHOLD_GB");

  PyReporter reporter;
  PyDeviceInfo device_info;
  PyNetwork net(model);
  const std::string device_text = py_str(self.attr("device"));
  training::FitServices services{net, reporter, device_info, torch::Device(device_text), device_text,
                                 truthy(self.attr("use_amp"))};
  services.split_params = [self]() {
    py::gil_scoped_acquire gil;
    py::tuple groups = self.attr("_split_optimizer_params")();
    return std::make_pair(tensor_list(groups[0]), tensor_list(groups[1]));
  };

  services.source_sampler = [self](const training::CubeTensors& host_cube) {
    return streaming_pool_sampler(self, host_cube);
  };

  bool trained = false;
  try {
    py::gil_scoped_release nogil;
    trained = training::fit(services, data, opts, env);
  } catch (const DeviceOutOfMemory& e) {
    py::object oom = py::module_::import("torch").attr("cuda").attr("OutOfMemoryError");
    raise_py(oom.ptr(), e.what());
  } catch (const c10::OutOfMemoryError& e) {
    py::object oom = py::module_::import("torch").attr("cuda").attr("OutOfMemoryError");
    raise_py(oom.ptr(), e.what_without_backtrace());
  } catch (const NotImplementedError& e) {
    raise_py(PyExc_NotImplementedError, e.what());
  } catch (const c10::ValueError& e) {
    raise_py(PyExc_ValueError, e.what_without_backtrace());
  } catch (const c10::TypeError& e) {
    raise_py(PyExc_TypeError, e.what_without_backtrace());
  } catch (const c10::IndexError& e) {
    raise_py(PyExc_IndexError, e.what_without_backtrace());
  } catch (const c10::Error& e) {
    raise_py(PyExc_RuntimeError, e.what_without_backtrace());
  }
  return py::bool_(trained);
}

}  // namespace qelm::shell
