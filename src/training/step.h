// One optimizer step and the pieces it is made of: mixed-precision autocast, the gradient
// scaler, the cosine learning-rate schedule, and the progress-bar fields.
#pragma once

#include <torch/torch.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common.h"
#include "training/losses.h"

namespace qelm::training {

// Enables (or disables) CUDA autocast for its lifetime, float16 as the fast type, and restores
// the previous state on exit, clearing the cast cache when the outermost region closes. It
// has no effect on host tensors.
class AutocastGuard {
 public:
  explicit AutocastGuard(bool enabled);
  ~AutocastGuard();
  AutocastGuard(const AutocastGuard&) = delete;
  AutocastGuard& operator=(const AutocastGuard&) = delete;

 private:
  bool prev_enabled_;
  at::ScalarType prev_dtype_;
};

// Dynamic loss scaling for mixed-precision training. Built from ordinary tensor operations so
// it runs on any device. A step whose gradients hold a non-finite value is skipped and the
// scale shrinks; after `growth_interval` clean steps in a row the scale grows.
class GradScaler {
 public:
  explicit GradScaler(bool enabled, double init_scale = 65536.0, double growth_factor = 2.0,
                      double backoff_factor = 0.5, int64_t growth_interval = 2000);

  bool enabled() const { return enabled_; }
  // The loss multiplied by the current scale (unchanged when disabled).
  torch::Tensor scale(const torch::Tensor& loss) const;
  // Unscales the gradients and steps the optimizer unless a gradient is non-finite.
  // Returns whether the optimizer stepped.
  bool step(torch::optim::Optimizer& optimizer);
  // Adjusts the scale after step().
  void update();

  double get_scale() const { return enabled_ ? static_cast<double>(scale_) : 1.0; }
  int64_t growth_tracker() const { return growth_tracker_; }

 private:
  bool enabled_;
  float scale_;
  float growth_factor_;
  float backoff_factor_;
  int64_t growth_interval_;
  int64_t growth_tracker_ = 0;
  bool found_inf_ = false;
};

// Cosine annealing of every parameter group's learning rate from its initial value down to
// eta_min over t_max steps, in the recursive form that updates each rate from its previous
// value (so steps past t_max follow the periodic continuation).
class CosineAnnealingSchedule {
 public:
  CosineAnnealingSchedule(torch::optim::Optimizer& optimizer, int64_t t_max, double eta_min);
  void step();
  int64_t last_epoch() const { return last_epoch_; }
  // The next rate of one group, from its current and initial rates.
  static double next_lr(double lr, double base_lr, int64_t epoch, int64_t t_max, double eta_min);

 private:
  torch::optim::Optimizer& optimizer_;
  std::vector<double> base_lrs_;
  int64_t t_max_;
  double eta_min_;
  int64_t last_epoch_ = 0;
};

// Learning rate of the optimizer's first parameter group.
double current_lr(torch::optim::Optimizer& optimizer);

struct StepLosses {
  torch::Tensor total;  // detached, on the training device
  torch::Tensor main;   // detached
};

// One optimizer step on one batch: forward under autocast, the run's loss plus the
// deformation reference-frame and auxiliary terms, scaled backward, optimizer and schedule.
class TrainStep {
 public:
  TrainStep(Network& net, torch::optim::Optimizer& optimizer, GradScaler& scaler,
            CosineAnnealingSchedule& scheduler, LossFn loss, bool use_amp);
  // `step` is the run's optimizer step count before this step.
  StepLosses operator()(const torch::Tensor& coords, const torch::Tensor& targets, int64_t step);

 private:
  Network& net_;
  torch::optim::Optimizer& optimizer_;
  GradScaler& scaler_;
  CosineAnnealingSchedule& scheduler_;
  LossFn loss_;
  bool use_amp_;
};

using Postfix = std::vector<std::pair<std::string, std::string>>;

// Progress-bar fields: loss, mse and lr; or loss and the relative RMSE in percent when the run
// uses "MSE_RRMSE" (rrmse_scale set). Reads the losses back to the host.
Postfix progress_postfix(const torch::Tensor& loss_total, const torch::Tensor& loss_main,
                         double lr, const std::optional<double>& rrmse_scale);

}  // namespace qelm::training
