// QELMCompressor construction, training-mode resolution and the reference backend.
#include "methods/methods.h"

#include "config.h"

namespace qelm::shell {

bool has_tinycudann() {
  try {
    py::module_::import("tinycudann");
    return true;
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_Exception)) return false;
    throw;
  }
}

namespace {
bool torch_cuda_available() {
  return py::module_::import("torch").attr("cuda").attr("is_available")().cast<bool>();
}

// Steps shared by the public constructor and the reference backend, after the mode is known.
void init_attributes(py::object self, const std::string& train_mode, py::object train_dtype,
                     py::object global_start_date, py::object global_end_date) {
  const auto [backend, device] = split_train_mode(train_mode);
  self.attr("train_mode") = train_mode;
  self.attr("train_backend") = backend;
  self.attr("device") = device;
  self.attr("meta_info") = py::dict();
  self.attr("model") = py::none();
  self.attr("global_start_date") = global_start_date;
  self.attr("global_end_date") = global_end_date;
  self.attr("time_lut") = py::none();
  self.attr("xyz_cache") = py::none();
  if (py::str("auto").equal(train_dtype)) train_dtype = py::str("float16");
  self.attr("train_dtype_str") = train_dtype;
  const Precision p = precision_for(py::str("float32").equal(train_dtype));
  print_line(p.banner);
  py::module_ np = py::module_::import("numpy");
  py::module_ torch = py::module_::import("torch");
  self.attr("use_amp") = p.use_amp;
  self.attr("dtype_np") = np.attr(p.dtype == at::kFloat ? "float32" : "float16");
  self.attr("dtype_torch") = torch.attr(p.dtype == at::kFloat ? "float32" : "float16");
  self.attr("bytes_per_pixel") = p.bytes_per_pixel;
  print_line("Training mode: " + train_mode);
  self.attr("cpu_values") = py::none();
  self.attr("cpu_mask") = py::none();
  self.attr("streaming_source") = py::none();
  self.attr("loader") = module_attr("QELMDatasetLoader")(py::arg("dtype") = self.attr("dtype_np"));
}
}  // namespace

std::string resolve_train_mode(py::object train_mode) {
  py::object chosen = truthy(train_mode) ? train_mode : py::str(kDefaultTrainMode);
  std::string mode = canonical_train_mode(py::str(chosen).attr("lower")().cast<std::string>());
  if (!is_supported_train_mode(mode)) throw py::value_error(kTrainModeError);
  // Looked up at call time, as a module-level function would be.
  if (!module_attr("_has_tinycudann")().cast<bool>()) throw py::import_error(kTinyCudaNNMissing);
  if (!torch_cuda_available()) throw std::runtime_error(cuda_required_message(mode));
  return mode;
}

void compressor_init(py::object self, py::object train_dtype, py::object global_start_date,
                     py::object global_end_date, py::object train_mode) {
  const std::string mode = module_attr("_resolve_train_mode")(train_mode).cast<std::string>();
  init_attributes(self, mode, train_dtype, global_start_date, global_end_date);
}

py::object with_reference_backend(py::object cls, py::object device, py::object train_dtype,
                                  py::object global_start_date, py::object global_end_date) {
  const std::string dev = py::str(device).cast<std::string>();
  // torch.device rejects malformed names before anything is printed.
  const std::string dev_type =
      py::module_::import("torch").attr("device")(dev).attr("type").cast<std::string>();
  const std::string mode = "torch_" + dev;
  if (dev_type == "cuda" && !torch_cuda_available())
    throw std::runtime_error(cuda_required_message(mode));
  py::object self = cls.attr("__new__")(cls);
  init_attributes(self, mode, train_dtype, global_start_date, global_end_date);
  return self;
}

}  // namespace qelm::shell
