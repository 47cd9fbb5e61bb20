#include "training/step.h"

#include <ATen/autocast_mode.h>
#include <torch/version.h>

#include <cmath>

namespace qelm::training {

// ---- autocast ---------------------------------------------------------------------------------

#if TORCH_VERSION_MAJOR > 2 || (TORCH_VERSION_MAJOR == 2 && TORCH_VERSION_MINOR >= 4)
#define QELM_AUTOCAST_BY_DEVICE 1
#endif

namespace {
bool cuda_autocast_enabled() {
#ifdef QELM_AUTOCAST_BY_DEVICE
  return at::autocast::is_autocast_enabled(at::kCUDA);
#else
  return at::autocast::is_enabled();
#endif
}
void set_cuda_autocast(bool enabled, at::ScalarType dtype) {
#ifdef QELM_AUTOCAST_BY_DEVICE
  at::autocast::set_autocast_dtype(at::kCUDA, dtype);
  at::autocast::set_autocast_enabled(at::kCUDA, enabled);
#else
  at::autocast::set_autocast_gpu_dtype(dtype);
  at::autocast::set_enabled(enabled);
#endif
}
at::ScalarType cuda_autocast_dtype() {
#ifdef QELM_AUTOCAST_BY_DEVICE
  return at::autocast::get_autocast_dtype(at::kCUDA);
#else
  return at::autocast::get_autocast_gpu_dtype();
#endif
}
}  // namespace

AutocastGuard::AutocastGuard(bool enabled)
    : prev_enabled_(cuda_autocast_enabled()), prev_dtype_(cuda_autocast_dtype()) {
  set_cuda_autocast(enabled, at::kHalf);
  at::autocast::increment_nesting();
}

AutocastGuard::~AutocastGuard() {
  if (at::autocast::decrement_nesting() == 0) at::autocast::clear_cache();
  set_cuda_autocast(prev_enabled_, prev_dtype_);
}

// ---- gradient scaler --------------------------------------------------------------------------

GradScaler::GradScaler(bool enabled, double init_scale, double growth_factor, double backoff_factor,
                       int64_t growth_interval)
    : enabled_(enabled),
      scale_(static_cast<float>(init_scale)),
      growth_factor_(static_cast<float>(growth_factor)),
      backoff_factor_(static_cast<float>(backoff_factor)),
      growth_interval_(growth_interval) {}

torch::Tensor GradScaler::scale(const torch::Tensor& loss) const {
  if (!enabled_) return loss;
  return loss * static_cast<double>(scale_);
}

bool GradScaler::step(torch::optim::Optimizer& optimizer) {
  if (!enabled_) {
    optimizer.step();
    return true;
  }
  torch::NoGradGuard no_grad;
  const double inv_scale = static_cast<double>(static_cast<float>(1.0 / static_cast<double>(scale_)));
  std::vector<torch::Tensor> flags;
  for (auto& group : optimizer.param_groups()) {
    for (auto& p : group.params()) {
      torch::Tensor g = p.mutable_grad();
      if (!g.defined()) continue;
      // Checked before unscaling: an overflow is a property of the scaled gradient.
      flags.push_back(torch::isfinite(g).logical_not().any().reshape({1}));
      g.mul_(inv_scale);
    }
  }
  found_inf_ = false;
  if (!flags.empty()) {
    const torch::Device dev = flags.front().device();
    for (auto& f : flags) f = f.to(dev);
    found_inf_ = torch::cat(flags).any().item<bool>();
  }
  if (found_inf_) return false;
  optimizer.step();
  return true;
}

void GradScaler::update() {
  if (!enabled_) return;
  if (found_inf_) {
    scale_ = scale_ * backoff_factor_;
    growth_tracker_ = 0;
  } else {
    const int64_t successful = growth_tracker_ + 1;
    if (successful == growth_interval_) {
      const float grown = scale_ * growth_factor_;
      // Never grow past the float range into infinity.
      if (std::isfinite(grown)) scale_ = grown;
      growth_tracker_ = 0;
    } else {
      growth_tracker_ = successful;
    }
  }
  found_inf_ = false;
}

// ---- cosine schedule --------------------------------------------------------------------------

CosineAnnealingSchedule::CosineAnnealingSchedule(torch::optim::Optimizer& optimizer, int64_t t_max,
                                                 double eta_min)
    : optimizer_(optimizer), t_max_(t_max), eta_min_(eta_min) {
  for (auto& group : optimizer_.param_groups()) base_lrs_.push_back(group.options().get_lr());
}

double CosineAnnealingSchedule::next_lr(double lr, double base_lr, int64_t epoch, int64_t t_max,
                                        double eta_min) {
  if (epoch == 0) return lr;
  const int64_t period = 2 * t_max;
  const int64_t phase = ((epoch - 1 - t_max) % period + period) % period;
  const double pi = M_PI;
  if (phase == 0) {
    // At the bottom of a period the recursive ratio is 0/0; step up from the minimum instead.
    return lr + (base_lr - eta_min) * (1 - std::cos(pi / static_cast<double>(t_max))) / 2;
  }
  return (1 + std::cos(pi * static_cast<double>(epoch) / static_cast<double>(t_max))) /
             (1 + std::cos(pi * static_cast<double>(epoch - 1) / static_cast<double>(t_max))) *
             (lr - eta_min) +
         eta_min;
}

void CosineAnnealingSchedule::step() {
  ++last_epoch_;
  auto& groups = optimizer_.param_groups();
  for (size_t i = 0; i < groups.size(); ++i) {
    auto& opts = groups[i].options();
    opts.set_lr(next_lr(opts.get_lr(), base_lrs_[i], last_epoch_, t_max_, eta_min_));
  }
}

double current_lr(torch::optim::Optimizer& optimizer) {
  return optimizer.param_groups().at(0).options().get_lr();
}

// ---- training step ----------------------------------------------------------------------------

TrainStep::TrainStep(Network& net, torch::optim::Optimizer& optimizer, GradScaler& scaler,
                     CosineAnnealingSchedule& scheduler, LossFn loss, bool use_amp)
    : net_(net),
      optimizer_(optimizer),
      scaler_(scaler),
      scheduler_(scheduler),
      loss_(std::move(loss)),
      use_amp_(use_amp) {}

StepLosses TrainStep::operator()(const torch::Tensor& coords, const torch::Tensor& targets,
                                 int64_t step) {
  optimizer_.zero_grad();
  torch::Tensor loss_total, loss_main;
  {
    torch::AutoGradMode grad_on(true);
    AutocastGuard autocast(use_amp_);
    const torch::Tensor coords_f = coords.to(torch::kFloat);
    NetworkOutput out = net_.forward(coords_f);
    const torch::Tensor preds_f = out.preds.to(torch::kFloat);
    const torch::Tensor targets_f = targets.to(torch::kFloat);
    loss_main = loss_(preds_f, targets_f, step, coords_f);
    loss_total = loss_main;
    if (out.aux && out.aux->defined()) loss_total = loss_total + out.aux->pow(2).mean() * 1.0;
    const double ref_t = net_.ref_t_for_deformation();
    if (ref_t >= 0.0) {
      // The rows at the reference time, as a masked mean so that no host read is needed to
      // learn whether any row was selected (an empty selection contributes 0).
      const torch::Tensor sel = (coords_f.select(1, -1) - ref_t).abs() < 1e-05;
      const torch::Tensor diff =
          torch::where(sel.unsqueeze(1), preds_f - targets_f, torch::zeros_like(preds_f));
      const torch::Tensor count = (sel.sum() * preds_f.size(1)).clamp_min(1).to(torch::kFloat);
      loss_total = loss_total + diff.pow(2).sum() / count * 1.0;
    }
  }
  scaler_.scale(loss_total).backward();
  scaler_.step(optimizer_);
  scaler_.update();
  scheduler_.step();
  return {loss_total.detach(), loss_main.detach()};
}

Postfix progress_postfix(const torch::Tensor& loss_total, const torch::Tensor& loss_main, double lr,
                         const std::optional<double>& rrmse_scale) {
  const double main = loss_main.item<double>();
  if (!rrmse_scale) {
    return {{"loss", py_fmt_e(loss_total.item<double>(), 2)},
            {"mse", py_fmt_e(main, 2)},
            {"lr", py_fmt_e(lr, 2)}};
  }
  const double rrmse = 100.0 * std::sqrt(std::max(0.0, main * *rrmse_scale));
  return {{"loss", py_fmt_e(main, 2)}, {"rrmse", py_fmt_f(rrmse, 2) + "%"}};
}

}  // namespace qelm::training
