#include "models/network.h"

#include <pybind11/eval.h>

namespace qelm::shell {

namespace {

// a, b = out, with exactly the host's unpacking errors.
py::object unpack_two() {
  static py::object* fn = [] {
    py::dict ns;
    py::exec(R"(
def _unpack_two(out):
    preds, aux = out
    return preds, aux
)",
             ns);
    return new py::object(ns["_unpack_two"]);  // lives as long as the interpreter
  }();
  return *fn;
}

}  // namespace

bool is_cuda_oom(const py::error_already_set& e) {
  py::object cuda = py::module_::import("torch").attr("cuda");
  py::object oom = py::getattr(cuda, "OutOfMemoryError", py::none());
  return !oom.is_none() && e.matches(oom);
}

PyNetwork::PyNetwork(py::object module) : module_(std::move(module)) {}

PyNetwork::~PyNetwork() {
  py::gil_scoped_acquire gil;
  module_ = py::object();
}

NetworkOutput PyNetwork::forward(const torch::Tensor& coords) {
  py::gil_scoped_acquire gil;
  try {
    py::object out = module_(coords);
    py::tuple pair = unpack_two()(out);
    NetworkOutput result;
    result.preds = pair[0].cast<torch::Tensor>();
    if (!pair[1].is_none()) result.aux = pair[1].cast<torch::Tensor>();
    return result;
  } catch (py::error_already_set& e) {
    if (is_cuda_oom(e)) throw DeviceOutOfMemory(py::str(e.value()).cast<std::string>());
    throw;
  }
}

std::vector<torch::Tensor> tensor_list(py::handle iterable) {
  std::vector<torch::Tensor> out;
  for (py::handle item : iterable) out.push_back(item.cast<torch::Tensor>());
  return out;
}

std::vector<torch::Tensor> PyNetwork::parameters() {
  py::gil_scoped_acquire gil;
  return tensor_list(module_.attr("parameters")());
}

void PyNetwork::set_training(bool training) {
  py::gil_scoped_acquire gil;
  module_.attr("train")(training);
}

double PyNetwork::ref_t_for_deformation() {
  py::gil_scoped_acquire gil;
  py::object v = py::getattr(module_, "ref_t_for_deformation", py::none());
  return v.is_none() ? -1.0 : v.cast<double>();
}

}  // namespace qelm::shell
