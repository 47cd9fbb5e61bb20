// Helpers shared by the method shells: the Python side of the module. Shells read compressor
// attributes, call the core with the GIL released, and set attributes from the results.
#pragma once

#include <torch/extension.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "common.h"

namespace py = pybind11;

namespace qelm::shell {

// This extension module, for call-time lookups of the names it imports (tests patch them).
py::module_ this_module();
py::object module_attr(const char* name);

// getattr(obj, name, default).
py::object attr_or(py::handle obj, const char* name, py::object dflt = py::none());
bool has_attr(py::handle obj, const char* name);
// d.get(key, default) for the compressor's meta_info and other dicts.
py::object dict_get(py::handle d, const char* key, py::object dflt = py::none());

// print(text) through Python's sys.stdout, flushing so that C++ and Python output interleave.
void print_line(const std::string& text);
// str(obj) and repr(obj).
std::string py_str(py::handle obj);
std::string py_repr(py::handle obj);
bool truthy(py::handle obj);

// The recorded configuration's block_size as (bh, bw); (1, 1) without a configuration.
std::pair<int64_t, int64_t> config_block_size(py::object self);

// gc.collect(): the core asks for full collections after large releases.
void collect_garbage();

// Reporter backed by Python's print and tqdm; safe to call with or without the GIL held.
class PyReporter : public Reporter {
 public:
  void line(const std::string& text) override;
  std::unique_ptr<Progress> progress(int64_t total, const std::string& desc) override;
  void check_interrupt() override;
};

// CUDA queries answered by torch.cuda.
class PyDeviceInfo : public DeviceInfo {
 public:
  bool cuda_available() override;
  std::pair<int64_t, int64_t> mem_get_info() override;
  void empty_cache() override;
};

// Attach a C++ function as a method (or static/class method) of a Python class.
// pybind11 treats a function *named* __init__ as one of its own constructors, so __init__ is
// registered under the class name (which also reads well in argument errors).
template <typename F, typename... Extra>
void add_method(py::object cls, const char* name, F&& f, const Extra&... extra) {
  static std::string init_name;
  const bool is_init = std::string(name) == "__init__";
  if (is_init) init_name = py::str(cls.attr("__name__")).cast<std::string>();
  py::cpp_function cf(std::forward<F>(f), py::name(is_init ? init_name.c_str() : name), py::is_method(cls),
                      py::sibling(cls.attr("__dict__").attr("get")(name, py::none())), extra...);
  py::setattr(cls, name, cf);
}
template <typename F, typename... Extra>
void add_staticmethod(py::object cls, const char* name, F&& f, const Extra&... extra) {
  py::cpp_function cf(std::forward<F>(f), py::name(name), extra...);
  py::setattr(cls, name, py::module_::import("builtins").attr("staticmethod")(cf));
}
template <typename F, typename... Extra>
void add_classmethod(py::object cls, const char* name, F&& f, const Extra&... extra) {
  py::cpp_function cf(std::forward<F>(f), py::name(name), extra...);
  py::setattr(cls, name, py::module_::import("builtins").attr("classmethod")(cf));
}

}  // namespace qelm::shell
