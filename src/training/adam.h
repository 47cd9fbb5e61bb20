// Adam with a one-pass update for dense CPU parameters.
//
// torch::optim::Adam updates a parameter with a chain of tensor operations (moments, square
// root, division, step), each a full pass over the parameter that allocates its own
// temporary. For hash-grid tables of tens of millions of entries that chain costs more than
// the rest of a training step on a CPU. FusedAdam computes the same update element by element
// in one multi-threaded pass, and keeps its state where torch::optim::Adam keeps it, so the
// two can take turns on one parameter set. Parameters it cannot update that way (other
// devices, reduced precision, non-contiguous or sparse tensors, amsgrad) go through
// torch::optim::Adam::step unchanged.
#pragma once

#include <torch/torch.h>

#include <cstdint>

namespace qelm::training {

struct AdamHyper {
  double lr = 1e-3;
  double beta1 = 0.9;
  double beta2 = 0.999;
  double eps = 1e-8;
  double weight_decay = 0.0;
};

// One Adam update (`step` counts from 1) of a contiguous float32/float64 CPU parameter, its
// gradient and its two moment buffers, all of the same dtype and size, in place.
void adam_update(torch::Tensor& param, const torch::Tensor& grad, torch::Tensor& exp_avg,
                 torch::Tensor& exp_avg_sq, int64_t step, const AdamHyper& hyper);

// Whether adam_update can take this parameter and gradient.
bool adam_update_applies(const torch::Tensor& param, const torch::Tensor& grad);

class FusedAdam : public torch::optim::Adam {
 public:
  using torch::optim::Adam::Adam;
  torch::Tensor step(LossClosure closure = nullptr) override;
};

}  // namespace qelm::training
