#include "training/importance.h"

#include <c10/util/Exception.h>

#include <cmath>
#include <stdexcept>

#include "training/step.h"

namespace qelm::training {

namespace {

constexpr double kWeightFloor = 1e-8;

// int() of a double, with the host language's errors for values that have no integer.
int64_t py_int(double v) {
  if (std::isnan(v)) throw std::invalid_argument("cannot convert float NaN to integer");
  if (std::isinf(v)) throw std::overflow_error("cannot convert float infinity to integer");
  return static_cast<int64_t>(v);
}

// Evaluation mode for the weight pass, training mode again afterwards (also on errors).
class EvalMode {
 public:
  explicit EvalMode(Network& net) : net_(net) { net_.set_training(false); }
  ~EvalMode() {
    try {
      net_.set_training(true);
    } catch (...) {
      // Already unwinding from the pass's own error, which is the one to report.
    }
  }
  EvalMode(const EvalMode&) = delete;
  EvalMode& operator=(const EvalMode&) = delete;

 private:
  Network& net_;
};

}  // namespace

torch::Tensor per_point_error(const torch::Tensor& preds, const torch::Tensor& targets) {
  const torch::Tensor pred = preds.to(torch::kFloat);
  const torch::Tensor tgt = targets.to(torch::kFloat);
  const torch::Tensor finite = torch::isfinite(tgt);
  const torch::Tensor diff = torch::where(finite, pred - tgt, torch::zeros_like(tgt));
  const torch::Tensor channel_weight = finite.sum(1).clamp_min(1e-8).to(pred.scalar_type());
  return diff.pow(2).sum(1) / channel_weight;
}

torch::Tensor& error_to_weight_(torch::Tensor& err, double alpha) {
  err.clamp_min_(0.0).pow_(alpha).add_(kWeightFloor);
  return err;
}

void importance_weights_into(torch::Tensor& out, Network& net, bool use_amp, const torch::Tensor& valid_pos,
                             const CubeTensors& cube, int64_t batch, double alpha) {
  if (batch <= 0) throw std::invalid_argument("batch must be a positive number of points");
  const int64_t n = valid_pos.numel();
  TORCH_CHECK(out.numel() == n && out.scalar_type() == torch::kFloat, "weights buffer must be float32 of length ", n);
  torch::NoGradGuard no_grad;
  EvalMode eval(net);
  for (int64_t i = 0; i < n; i += batch) {
    const int64_t stop = std::min(i + batch, n);
    // The same gather as a training batch, so block rows are handled identically.
    auto [coords, targets] = gather_batch(cube, valid_pos.slice(0, i, stop).to(torch::kLong));
    torch::Tensor preds;
    {
      AutocastGuard autocast(use_amp);
      preds = net.forward(coords).preds;
    }
    out.slice(0, i, stop).copy_(per_point_error(preds, targets));
  }
  error_to_weight_(out, alpha);
}

torch::Tensor importance_weights(Network& net, bool use_amp, const torch::Tensor& valid_pos,
                                 const CubeTensors& cube, int64_t batch, double alpha) {
  torch::Tensor w = torch::empty({valid_pos.numel()}, valid_pos.options().dtype(torch::kFloat));
  importance_weights_into(w, net, use_amp, valid_pos, cube, batch, alpha);
  return w;
}

torch::Tensor draw_from_cdf(const torch::Tensor& cdf, int64_t count) {
  const int64_t n = cdf.numel();
  TORCH_CHECK(n > 0, "cannot draw from an empty distribution");
  // The total stays on the device: no host round trip per draw.
  const torch::Tensor r = torch::rand({count}, cdf.options()) * cdf.select(0, n - 1);
  return torch::searchsorted(cdf, r, /*out_int32=*/false, /*right=*/false).clamp_max_(n - 1);
}

// ---- in memory --------------------------------------------------------------------------------

void ImportanceSampling::setup_in_memory(RunState& run, const CubeTensors& cube, const StridedPasses* passes) {
  end_loop();
  const StepPlan& plan = run.plan;
  // The weights need the index of valid points; drawing with replacement has none.
  imp_on_ = run.opts.importance_sampling && plan.importance_extra_frac > 0.0 && passes != nullptr;
  if (!imp_on_) return;
  try {
    // Allocated once, up front: a device too small shows here, not in the middle of the run.
    reserve_device_buffers(run, passes->positions());
  } catch (const c10::OutOfMemoryError&) {
    imp_on_ = false;
  } catch (const DeviceOutOfMemory&) {
    imp_on_ = false;
  }
  if (!imp_on_) {
    valid_pos_ = weights_ = cdf_ = torch::Tensor();
    run.out.line("  [importance] index/weights don't fit VRAM -> uniform sampling");
    return;
  }
  cube_ = cube;
  refresh_steps_ = std::max<int64_t>(
      1, py_int(run.opts.imp_refresh_epochs.value * static_cast<double>(plan.es_steps_per_epoch)));
  active_ = false;
  refreshes_ = 0;
  run.out.line("  [importance] ON: uniform warmup " + std::to_string(plan.imp_warmup_steps) + " steps (" +
               py_fmt_pct(run.opts.imp_warmup_frac.value, 0) + "), then +" +
               py_fmt_pct(plan.importance_extra_frac, 1) + " error^" + run.opts.imp_alpha.text +
               " correction steps; refresh every " + std::to_string(refresh_steps_) + " uniform steps");
}

void ImportanceSampling::reserve_device_buffers(RunState& run, const torch::Tensor& positions) {
  valid_pos_ = positions.to(run.device, torch::kLong);
  weights_ = torch::ones({valid_pos_.numel()}, valid_pos_.options().dtype(torch::kFloat));
  cdf_ = torch::empty({valid_pos_.numel()}, weights_.options());
}

void ImportanceSampling::after_uniform_step(RunState& run, int64_t uniform_step) {
  const StepPlan& plan = run.plan;
  if (!imp_on_ || uniform_step < plan.imp_warmup_steps) return;
  if (!active_ || (uniform_step - plan.imp_warmup_steps) % refresh_steps_ == 0) {
    importance_weights_into(weights_, run.net, run.use_amp, valid_pos_, cube_, plan.batch_size,
                            run.opts.imp_alpha.value);
    torch::cumsum_out(cdf_, weights_, 0);
    active_ = true;
    ++refreshes_;
  }
  run.importance_budget += plan.importance_extra_frac;
  if (run.importance_budget < 1.0) return;
  const int64_t take = std::min(valid_pos_.numel(), plan.batch_size);
  const torch::Tensor indices = valid_pos_.index_select(0, draw_from_cdf(cdf_, take));
  auto [coords, targets] = gather_batch(cube_, indices);
  run.correction_step(coords, targets);
  run.importance_budget -= 1.0;
}

// ---- streamed ---------------------------------------------------------------------------------

void ImportanceSampling::setup_stream(RunState& run) {
  end_loop();
  imp_stream_ = run.opts.importance_sampling && run.plan.importance_extra_frac > 0.0;
  if (!imp_stream_) return;
  run.out.line("  [importance] ON (streaming, per-pool): uniform warmup " +
               std::to_string(run.plan.imp_warmup_steps) + " steps (" +
               py_fmt_pct(run.opts.imp_warmup_frac.value, 0) + "), then error^" +
               py_float_repr(run.opts.imp_alpha.value) + " correction within each pool (+" +
               py_fmt_pct(run.plan.importance_extra_frac, 1) + " steps)");
}

void ImportanceSampling::on_pool(RunState& run, const torch::Tensor& coords, const torch::Tensor& targets,
                                 int64_t uniform_steps_done) {
  pool_cdf_ = torch::Tensor();
  pool_coords_ = coords;
  pool_targets_ = targets;
  if (!imp_stream_ || uniform_steps_done < run.plan.imp_warmup_steps) return;
  const int64_t pool_size = coords.size(0);
  if (pool_size == 0) return;
  const int64_t batch = run.plan.batch_size;
  torch::Tensor perr = torch::empty({pool_size}, coords.options().dtype(torch::kFloat));
  {
    // The model's mode is left as it is: the weights reflect the network the pool meets.
    torch::NoGradGuard no_grad;
    for (int64_t j = 0; j < pool_size; j += batch) {
      const int64_t stop = std::min(j + batch, pool_size);
      torch::Tensor preds;
      {
        AutocastGuard autocast(run.use_amp);
        preds = run.net.forward(coords.slice(0, j, stop)).preds;
      }
      perr.slice(0, j, stop).copy_(per_point_error(preds, targets.slice(0, j, stop)));
    }
  }
  pool_cdf_ = error_to_weight_(perr, run.opts.imp_alpha.value).cumsum(0);
}

void ImportanceSampling::after_pool_step(RunState& run) {
  if (!pool_cdf_.defined()) return;
  run.importance_budget += run.plan.importance_extra_frac;
  if (run.importance_budget < 1.0) return;
  const int64_t count = std::min(pool_cdf_.numel(), run.plan.batch_size);
  const torch::Tensor rows = draw_from_cdf(pool_cdf_, count);
  run.correction_step(pool_coords_.index_select(0, rows), pool_targets_.index_select(0, rows));
  run.importance_budget -= 1.0;
}

void ImportanceSampling::end_loop() {
  // Device memory of a finished (or failed) loop goes back before anything else needs it.
  cube_ = CubeTensors{};
  valid_pos_ = weights_ = cdf_ = torch::Tensor();
  pool_coords_ = pool_targets_ = pool_cdf_ = torch::Tensor();
  active_ = false;
}

}  // namespace qelm::training
