#include "training/adam.h"

#include <ATen/Parallel.h>

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace qelm::training {
namespace {

template <typename T>
void adam_kernel(T* p, const T* g, T* m, T* v, int64_t n, int64_t step, const AdamHyper& h) {
  // The scalars as torch::optim::Adam applies them to a tensor of type T.
  const double bias_correction1 = 1.0 - std::pow(h.beta1, static_cast<double>(step));
  const double bias_correction2 = 1.0 - std::pow(h.beta2, static_cast<double>(step));
  const T beta1 = static_cast<T>(h.beta1), one_minus_beta1 = static_cast<T>(1.0 - h.beta1);
  const T beta2 = static_cast<T>(h.beta2), one_minus_beta2 = static_cast<T>(1.0 - h.beta2);
  const T sqrt_bc2 = static_cast<T>(std::sqrt(bias_correction2));
  const T eps = static_cast<T>(h.eps);
  const T neg_step_size = static_cast<T>(-(h.lr / bias_correction1));
  const T weight_decay = static_cast<T>(h.weight_decay);
  const bool decay = h.weight_decay != 0.0;
  at::parallel_for(0, n, 1 << 15, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      T gi = g[i];
      if (decay) gi = gi + weight_decay * p[i];
      const T mi = m[i] * beta1 + one_minus_beta1 * gi;
      const T vi = v[i] * beta2 + one_minus_beta2 * gi * gi;
      m[i] = mi;
      v[i] = vi;
      const T denom = std::sqrt(vi) / sqrt_bc2 + eps;
      p[i] = p[i] + neg_step_size * mi / denom;
    }
  });
}

// The key under which torch::optim::Optimizer keeps a parameter's state: the TensorImpl
// address, as text in the releases that key by string and as the pointer in later ones.
template <typename Map>
typename Map::key_type state_key(const Map&, const torch::Tensor& p) {
  if constexpr (std::is_same_v<typename Map::key_type, std::string>) {
    std::ostringstream os;
    os << static_cast<const void*>(p.unsafeGetTensorImpl());
    return os.str();
  } else {
    return static_cast<typename Map::key_type>(p.unsafeGetTensorImpl());
  }
}

}  // namespace

bool adam_update_applies(const torch::Tensor& param, const torch::Tensor& grad) {
  const auto st = param.scalar_type();
  return param.device().is_cpu() && grad.device().is_cpu() && param.layout() == torch::kStrided &&
         grad.layout() == torch::kStrided && (st == torch::kFloat || st == torch::kDouble) &&
         grad.scalar_type() == st && param.is_contiguous() && grad.is_contiguous() &&
         param.sizes() == grad.sizes();
}

void adam_update(torch::Tensor& param, const torch::Tensor& grad, torch::Tensor& exp_avg,
                 torch::Tensor& exp_avg_sq, int64_t step, const AdamHyper& hyper) {
  if (!adam_update_applies(param, grad) || !adam_update_applies(param, exp_avg) ||
      !adam_update_applies(param, exp_avg_sq))
    throw std::invalid_argument(
        "adam_update: parameter, gradient and moments must be contiguous CPU tensors of one "
        "floating type and size");
  if (step < 1) throw std::invalid_argument("adam_update: step counts from 1");
  const int64_t n = param.numel();
  if (param.scalar_type() == torch::kFloat)
    adam_kernel<float>(param.data_ptr<float>(), grad.data_ptr<float>(), exp_avg.data_ptr<float>(),
                       exp_avg_sq.data_ptr<float>(), n, step, hyper);
  else
    adam_kernel<double>(param.data_ptr<double>(), grad.data_ptr<double>(),
                        exp_avg.data_ptr<double>(), exp_avg_sq.data_ptr<double>(), n, step, hyper);
}

torch::Tensor FusedAdam::step(LossClosure closure) {
  for (auto& group : param_groups_) {
    const auto& options = static_cast<const torch::optim::AdamOptions&>(group.options());
    if (options.amsgrad()) return torch::optim::Adam::step(std::move(closure));
    for (auto& p : group.params()) {
      if (p.grad().defined() && !adam_update_applies(p, p.grad()))
        return torch::optim::Adam::step(std::move(closure));
    }
  }
  torch::NoGradGuard no_grad;
  torch::Tensor loss;
  if (closure != nullptr) {
    at::AutoGradMode enable_grad(true);
    loss = closure();
  }
  for (auto& group : param_groups_) {
    const auto& options = static_cast<const torch::optim::AdamOptions&>(group.options());
    AdamHyper hyper;
    hyper.lr = options.lr();
    hyper.beta1 = std::get<0>(options.betas());
    hyper.beta2 = std::get<1>(options.betas());
    hyper.eps = options.eps();
    hyper.weight_decay = options.weight_decay();
    for (auto& p : group.params()) {
      if (!p.grad().defined()) continue;
      const auto key = state_key(state_, p);
      auto it = state_.find(key);
      if (it == state_.end()) {
        auto fresh = std::make_unique<torch::optim::AdamParamState>();
        fresh->step(0);
        fresh->exp_avg(torch::zeros_like(p, torch::MemoryFormat::Preserve));
        fresh->exp_avg_sq(torch::zeros_like(p, torch::MemoryFormat::Preserve));
        it = state_.emplace(key, std::move(fresh)).first;
      }
      auto& state = static_cast<torch::optim::AdamParamState&>(*it->second);
      state.step(state.step() + 1);
      torch::Tensor param = p;  // shares storage: the update lands in the parameter
      adam_update(param, p.grad(), state.exp_avg(), state.exp_avg_sq(), state.step(), hyper);
    }
  }
  return loss;
}

}  // namespace qelm::training
