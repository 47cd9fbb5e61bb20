#include "methods/shell.h"

namespace qelm::shell {

py::module_ this_module() { return py::module_::import("pyqelm.encoder.tcnn_compressor"); }

py::object module_attr(const char* name) { return this_module().attr(name); }

py::object attr_or(py::handle obj, const char* name, py::object dflt) {
  return py::getattr(obj, name, dflt);
}

bool has_attr(py::handle obj, const char* name) { return py::hasattr(obj, name); }

py::object dict_get(py::handle d, const char* key, py::object dflt) {
  return d.attr("get")(key, dflt);
}

void print_line(const std::string& text) {
  py::gil_scoped_acquire gil;
  py::module_::import("builtins").attr("print")(text, py::arg("flush") = true);
}

std::string py_str(py::handle obj) {
  py::gil_scoped_acquire gil;
  return py::str(obj).cast<std::string>();
}

std::string py_repr(py::handle obj) {
  py::gil_scoped_acquire gil;
  return py::repr(obj).cast<std::string>();
}

bool truthy(py::handle obj) {
  py::gil_scoped_acquire gil;
  return PyObject_IsTrue(obj.ptr()) == 1;
}

std::pair<int64_t, int64_t> config_block_size(py::object self) {
  py::object config = attr_or(self, "config");
  if (config.is_none() || !truthy(config)) return {1, 1};
  py::object bs = dict_get(config, "block_size", py::none());
  if (bs.is_none()) return {1, 1};
  return {py::int_(bs[py::int_(0)]).cast<int64_t>(), py::int_(bs[py::int_(1)]).cast<int64_t>()};
}

void collect_garbage() {
  py::gil_scoped_acquire gil;
  py::module_::import("gc").attr("collect")();
}

namespace {
class TqdmProgress : public Progress {
 public:
  TqdmProgress(int64_t total, const std::string& desc) {
    py::gil_scoped_acquire gil;
    bar_ = py::module_::import("tqdm").attr("tqdm")(py::arg("total") = total,
                                                    py::arg("desc") = desc);
  }
  ~TqdmProgress() override {
    py::gil_scoped_acquire gil;
    try {
      if (!closed_) bar_.attr("close")();
    } catch (py::error_already_set&) {
    }
    bar_ = py::object();
  }
  void update(int64_t n) override {
    py::gil_scoped_acquire gil;
    bar_.attr("update")(n);
  }
  void set_postfix(const std::vector<std::pair<std::string, std::string>>& fields) override {
    py::gil_scoped_acquire gil;
    py::dict d;
    for (const auto& [k, v] : fields) d[py::str(k)] = py::str(v);
    bar_.attr("set_postfix")(d);
  }
  void set_description(const std::string& desc) override {
    py::gil_scoped_acquire gil;
    bar_.attr("set_description")(desc);
  }
  void close() override {
    py::gil_scoped_acquire gil;
    if (!closed_) bar_.attr("close")();
    closed_ = true;
  }

 private:
  py::object bar_;
  bool closed_ = false;
};
}  // namespace

void PyReporter::line(const std::string& text) { print_line(text); }

std::unique_ptr<Progress> PyReporter::progress(int64_t total, const std::string& desc) {
  return std::make_unique<TqdmProgress>(total, desc);
}

void PyReporter::check_interrupt() {
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

bool PyDeviceInfo::cuda_available() {
  py::gil_scoped_acquire gil;
  return py::module_::import("torch").attr("cuda").attr("is_available")().cast<bool>();
}

std::pair<int64_t, int64_t> PyDeviceInfo::mem_get_info() {
  py::gil_scoped_acquire gil;
  py::tuple t = py::module_::import("torch").attr("cuda").attr("mem_get_info")();
  return {t[0].cast<int64_t>(), t[1].cast<int64_t>()};
}

void PyDeviceInfo::empty_cache() {
  py::gil_scoped_acquire gil;
  py::module_::import("torch").attr("cuda").attr("empty_cache")();
}

}  // namespace qelm::shell
