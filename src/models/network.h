// The network classes are Python modules; PyNetwork lets the core drive one through
// qelm::Network. Every call takes the GIL itself, so the core may run with it released.
#pragma once

#include <torch/extension.h>
#include <pybind11/pybind11.h>

#include "common.h"

namespace qelm::shell {

namespace py = pybind11;

class PyNetwork : public Network {
 public:
  explicit PyNetwork(py::object module);
  ~PyNetwork() override;

  // Calls the module on the coordinates; it must return exactly two values (predictions and
  // an auxiliary tensor or None), else the host's ordinary unpacking error is raised.
  // torch.cuda.OutOfMemoryError raised inside the network becomes DeviceOutOfMemory.
  NetworkOutput forward(const torch::Tensor& coords) override;
  std::vector<torch::Tensor> parameters() override;
  void set_training(bool training) override;
  // The module's ref_t_for_deformation; a module without one has no reference frame (-1).
  double ref_t_for_deformation() override;

  const py::object& module() const { return module_; }

 private:
  py::object module_;
};

// Tensors of a Python iterable of tensors (e.g. a list of parameters).
std::vector<torch::Tensor> tensor_list(py::handle iterable);

// True when the active Python error is torch.cuda.OutOfMemoryError.
bool is_cuda_oom(const py::error_already_set& e);

}  // namespace qelm::shell
