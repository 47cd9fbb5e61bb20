#include "training/driver.h"

#include <c10/util/Exception.h>

#include <cmath>
#include <new>
#include <stdexcept>

#include "training/adam.h"
#include "training/importance.h"
#include "training/routing.h"

namespace qelm::training {

namespace {

constexpr const char* kNoValidPixels = "Warning: No valid pixels found! Skipping training.";
constexpr int64_t kCountSlice = int64_t{1} << 20;  // a sum's temporaries stay small

int64_t ceil_div(int64_t a, int64_t b) { return (a + b - 1) / b; }

// int() of a double with the host language's errors for values that have no integer.
int64_t py_int(double v) {
  if (std::isnan(v)) throw std::invalid_argument("cannot convert float NaN to integer");
  if (std::isinf(v)) throw std::overflow_error("cannot convert float infinity to integer");
  return static_cast<int64_t>(v);
}

bool is_host_allocation_failure(const c10::Error& e) {
  const std::string msg = e.what_without_backtrace();
  return msg.find("alloc") != std::string::npos;
}

}  // namespace

int64_t effective_batch_size(int64_t batch_size, const std::string& loss_type) {
  if (loss_type == "S2_SR" && batch_size % 4 != 0) return batch_size / 4 * 4;
  return batch_size;
}

StepPlan plan_steps(int64_t num_valid_pixels, int64_t batch_size, int64_t epochs,
                    bool importance_sampling, double imp_warmup_frac, double extra_frac,
                    std::optional<int64_t> planned_steps) {
  if (batch_size <= 0) throw std::invalid_argument("batch_size must be a positive number of points");
  if (planned_steps && *planned_steps < 0)
    throw std::invalid_argument("steps must be non-negative, got " + std::to_string(*planned_steps));
  StepPlan p;
  p.batch_size = batch_size;
  p.pass_steps_per_epoch = std::max<int64_t>(1, ceil_div(num_valid_pixels, batch_size));
  if (planned_steps) {
    p.passes_per_epoch = 1;
  } else if (num_valid_pixels < 1000000) {
    // Small data sets repeat whole passes so that a run takes at least about 2005 steps.
    p.minimum_steps_per_epoch = std::max<int64_t>(1, ceil_div(2005, std::max<int64_t>(1, epochs)));
    p.passes_per_epoch =
        std::max<int64_t>(1, ceil_div(p.minimum_steps_per_epoch, p.pass_steps_per_epoch));
  } else {
    p.passes_per_epoch = 1;
  }
  p.es_steps_per_epoch = p.pass_steps_per_epoch * p.passes_per_epoch;
  p.steps = planned_steps ? *planned_steps : p.es_steps_per_epoch * epochs;
  p.importance_extra_frac = importance_sampling ? extra_frac : 0.0;
  if (p.importance_extra_frac < 0.0)
    throw std::invalid_argument("PYQELM_IMPORTANCE_EXTRA_FRAC must be non-negative");
  p.imp_warmup_steps = py_int(static_cast<double>(p.steps) * imp_warmup_frac);
  p.importance_extra_steps = py_int(
      static_cast<double>(std::max<int64_t>(0, p.steps - p.imp_warmup_steps)) * p.importance_extra_frac);
  p.optimizer_steps = p.steps + p.importance_extra_steps;
  return p;
}

int64_t super_batch_size(int64_t batch_size) {
  const int64_t size = std::max<int64_t>(4194304, batch_size * 50);
  return size / 4 * 4;
}

// ---- early stopping ---------------------------------------------------------------------------

EarlyStopping::EarlyStopping(const FitOptions& opts, int64_t steps_per_epoch, const torch::Device& device)
    : patience_(opts.early_stop_patience.value),
      min_delta_rel_(opts.early_stop_min_delta_rel.value),
      warmup_epochs_(opts.early_stop_warmup_epochs.value),
      ema_alpha_(opts.early_stop_ema_alpha.value),
      steps_per_epoch_(steps_per_epoch),
      device_(device),
      sum_(torch::zeros({}, torch::TensorOptions().dtype(torch::kFloat).device(device))) {}

bool EarlyStopping::after_uniform_step(const torch::Tensor& loss_main, int64_t uniform_steps_done) {
  sum_ += loss_main;
  ++count_;
  if (steps_per_epoch_ <= 0 || uniform_steps_done % steps_per_epoch_ != 0) return false;
  const int64_t epoch_idx = uniform_steps_done / steps_per_epoch_;
  const double mean_loss = (sum_ / static_cast<double>(std::max<int64_t>(1, count_))).item<double>();
  sum_ = torch::zeros({}, torch::TensorOptions().dtype(torch::kFloat).device(device_));
  count_ = 0;
  return end_epoch(mean_loss, epoch_idx);
}

bool EarlyStopping::end_epoch(double mean_loss, int64_t epoch_idx) {
  ema_ = ema_ ? ema_alpha_ * mean_loss + (1.0 - ema_alpha_) * *ema_ : mean_loss;
  if (static_cast<double>(epoch_idx) >= warmup_epochs_) {
    if (*ema_ < best_ * (1.0 - min_delta_rel_)) {
      best_ = *ema_;
      patience_counter_ = 0;
    } else {
      ++patience_counter_;
      if (static_cast<double>(patience_counter_) >= patience_) {
        stopped_at_ = epoch_idx;
        return true;
      }
    }
  } else if (*ema_ < best_) {
    best_ = *ema_;
  }
  return false;
}

StepLosses RunState::correction_step(const torch::Tensor& coords, const torch::Tensor& targets) {
  StepLosses l = train_step(coords, targets, optimizer_step);
  ++optimizer_step;
  if (pbar) pbar->update(1);
  return l;
}

// ---- the run ----------------------------------------------------------------------------------

namespace {

enum class LoopResult { kTrained, kNoValidPoint };

struct Run {
  const FitServices& s;
  const TrainingSet& data;
  const FitOptions& opts;
  const StepPlan& plan;
  torch::optim::Optimizer& optimizer;
  const BoundLoss& loss;
  EarlyStopping& es;
  RunState& state;
  int64_t spatial_size;
  int64_t total_pixels;

  CorrectionSteps& corrections_impl;

  bool corrections_requested() const {
    return opts.importance_sampling && plan.importance_extra_frac > 0.0;
  }

  // Lets the correction steps release what they hold for a loop, however the loop ends.
  struct LoopEnd {
    CorrectionSteps* c;
    ~LoopEnd() {
      if (c) c->end_loop();
    }
  };

  void after_step_progress(Progress& pbar, const StepLosses& l) {
    if (state.optimizer_step % 1000 == 0)
      pbar.set_postfix(progress_postfix(l.total, l.main, current_lr(optimizer), loss.rrmse_scale));
  }

  std::string early_stop_description(const char* base) const {
    const int64_t epoch_idx = *es.stopped_at();
    return std::string(base) + "  [early stop @ epoch " + std::to_string(epoch_idx) +
           " ema=" + py_fmt_e(*es.ema(), 3) + "]";
  }

  LoopResult in_memory() {
    Reporter& out = s.out;
    out.line("[Mode: In-Memory] Loading all data to device (" + s.device_text + ")...");
    CubeTensors cube;
    cube.values = data.values.to(s.device);
    cube.mask = data.mask.reshape({-1}).to(s.device, torch::kBool);
    cube.xyz = data.xyz.to(s.device);
    cube.time_lut = data.time_lut.to(s.device);
    cube.spatial_size = spatial_size;
    cube.total_pixels = total_pixels;

    bool use_perm = true;
    StridedPasses passes;
    try {
      passes = StridedPasses::over_mask(data.mask, total_pixels);
    } catch (const std::bad_alloc&) {
      use_perm = false;
    } catch (const c10::Error& e) {
      if (!is_host_allocation_failure(e)) throw;
      use_perm = false;
    }
    if (use_perm) {
      if (passes.size() == 0) {
        // Every point counted as valid (force_zero_training) but the mask has no true entry.
        out.line(kNoValidPixels);
        return LoopResult::kNoValidPoint;
      }
      const double mb = static_cast<double>(passes.index_bytes()) / 1048576.0;
      out.line("  [sampling] without-replacement over " + std::to_string(passes.size()) +
               " valid pixels (CPU index " + py_fmt_f(mb, 0) + " MB, strided, ~2 MB/step to device)");
    } else {
      out.line("  [sampling] index array too large for RAM -> with-replacement random");
    }
    const bool corrections = corrections_requested();
    LoopEnd loop_end{corrections ? &corrections_impl : nullptr};
    if (corrections) corrections_impl.setup_in_memory(state, cube, use_perm ? &passes : nullptr);

    std::unique_ptr<Progress> pbar = out.progress(plan.optimizer_steps, "Training (In-Memory)");
    state.pbar = pbar.get();
    state.optimizer_step = 0;
    state.importance_budget = 0.0;
    const int64_t batch = plan.batch_size;
    for (int64_t uniform_step = 0; uniform_step < plan.steps; ++uniform_step) {
      out.check_interrupt();
      torch::Tensor indices;
      if (use_perm) {
        indices = passes.next(batch).to(s.device, /*non_blocking=*/true).to(torch::kLong);
      } else {
        indices = draw_with_replacement(cube, batch);
        if (indices.numel() == 0) continue;
      }
      auto [coords, targets] = gather_batch(cube, indices);
      const StepLosses l = state.train_step(coords, targets, state.optimizer_step);
      ++state.optimizer_step;
      pbar->update(1);
      after_step_progress(*pbar, l);
      if (opts.early_stop && es.after_uniform_step(l.main, uniform_step + 1)) {
        pbar->set_description(early_stop_description("Training (In-Memory)"));
        break;
      }
      // Correction steps go here: after the uniform step and its bookkeeping.
      if (corrections) corrections_impl.after_uniform_step(state, uniform_step);
    }
    pbar->close();
    state.pbar = nullptr;
    return LoopResult::kTrained;
  }

  void streamed() {
    Reporter& out = s.out;
    out.line("[Mode: Threaded Streaming] Double-Buffering Enabled.");
    const int64_t sb_size = super_batch_size(plan.batch_size);
    out.line(" -> Super Batch Size: " + std::to_string(sb_size));
    const bool corrections = corrections_requested();
    LoopEnd loop_end{corrections ? &corrections_impl : nullptr};
    if (corrections) corrections_impl.setup_stream(state);

    CubeTensors host;
    host.values = data.values;
    host.mask = data.mask.defined() ? data.mask.reshape({-1}).to(torch::kBool) : data.mask;
    host.xyz = data.xyz;
    host.time_lut = data.time_lut.cpu();
    host.spatial_size = spatial_size;
    host.total_pixels = total_pixels;
    std::unique_ptr<SuperBatchSampler> sampler;
    if (data.has_streaming_source) {
      if (!s.source_sampler) throw std::logic_error("a streaming source needs its super-batch sampler");
      sampler = s.source_sampler(host);
    } else {
      sampler = std::make_unique<StandardSampler>(host);
    }

    // Declared after the sampler: the producer thread is joined before the sampler goes.
    Producer producer(*sampler, sb_size, out);
    int64_t uniform_count = 0;
    state.optimizer_step = 0;
    state.importance_budget = 0.0;
    std::unique_ptr<Progress> pbar = out.progress(plan.optimizer_steps, "Training (Stream)");
    state.pbar = pbar.get();
    const auto poll = [&out] { out.check_interrupt(); };
    producer.wait_ready(poll);
    const int64_t batch = plan.batch_size;
    while (uniform_count < plan.steps) {
      SuperBatch pool = producer.take(poll);
      const torch::Tensor coords = pool.coords.to(s.device, /*non_blocking=*/true);
      const torch::Tensor targets = pool.targets.to(s.device, /*non_blocking=*/true);
      pool = SuperBatch{};
      const int64_t pool_size = coords.size(0);
      const int64_t inner_steps = std::max<int64_t>(1, ceil_div(pool_size, batch));
      if (corrections) corrections_impl.on_pool(state, coords, targets, uniform_count);
      for (int64_t inner = 0; inner < inner_steps; ++inner) {
        if (uniform_count >= plan.steps) break;
        out.check_interrupt();
        const int64_t a = inner * batch;
        const int64_t b = std::min((inner + 1) * batch, pool_size);
        const StepLosses l =
            state.train_step(coords.slice(0, a, b), targets.slice(0, a, b), state.optimizer_step);
        ++state.optimizer_step;
        ++uniform_count;
        pbar->update(1);
        after_step_progress(*pbar, l);
        if (opts.early_stop && es.after_uniform_step(l.main, uniform_count)) {
          pbar->set_description(early_stop_description("Training (Stream)"));
          uniform_count = plan.steps;
          break;
        }
        // Correction steps drawn from this pool go here.
        if (corrections) corrections_impl.after_pool_step(state);
      }
    }
    producer.stop();
    pbar->close();
    state.pbar = nullptr;
  }
};

}  // namespace

bool fit(const FitServices& s, const TrainingSet& data, const FitOptions& opts,
         const FitEnvironment& env) {
  Reporter& out = s.out;
  if (opts.batch_size <= 0)
    throw std::invalid_argument("batch_size must be a positive number of points, got " +
                                std::to_string(opts.batch_size));
  if (opts.epochs < 0)
    throw std::invalid_argument("epochs must be non-negative, got " + std::to_string(opts.epochs));

  if (s.device_info.cuda_available()) s.device_info.empty_cache();
  if (opts.seed) torch::manual_seed(*opts.seed);

  // Optimizer: one group, or the hash-grid and decoder groups with their own rates.
  std::unique_ptr<torch::optim::Adam> optimizer;
  if (opts.lr_hash && opts.lr_hash->value != opts.lr.value) {
    if (!s.split_params) throw std::logic_error("a separate hash-grid rate needs the parameter split");
    auto [hash_params, mlp_params] = s.split_params();
    std::vector<torch::optim::OptimizerParamGroup> groups;
    groups.emplace_back(std::move(hash_params),
                        std::make_unique<torch::optim::AdamOptions>(opts.lr_hash->value));
    groups.emplace_back(std::move(mlp_params),
                        std::make_unique<torch::optim::AdamOptions>(opts.lr.value));
    optimizer = std::make_unique<FusedAdam>(std::move(groups), torch::optim::AdamOptions(opts.lr.value));
    out.line("Training Start: epochs=" + std::to_string(opts.epochs) + ", LR_hash=" + opts.lr_hash->text +
             " / LR_mlp=" + opts.lr.text + " (Device: " + s.device_text + ")");
  } else {
    optimizer = std::make_unique<FusedAdam>(s.net.parameters(), torch::optim::AdamOptions(opts.lr.value));
    out.line("Training Start: epochs=" + std::to_string(opts.epochs) + ", LR=" + opts.lr.text +
             " (Device: " + s.device_text + ")");
  }
  GradScaler scaler(s.use_amp);

  const int64_t spatial_size = data.height * data.width;
  const int64_t total_pixels = data.n_frames * spatial_size;
  const int64_t batch_size = effective_batch_size(opts.batch_size, opts.loss_type);
  if (batch_size != opts.batch_size)
    out.line("Warning: Batch size adjusted to " + std::to_string(batch_size) + " for S2_SR mode.");

  // Valid points.
  int64_t num_valid_pixels = 0;
  if (opts.force_zero_training || data.has_streaming_source) {
    num_valid_pixels = total_pixels;
  } else {
    const torch::Tensor flat = data.mask.reshape({-1});
    const int64_t total_len = flat.numel();
    out.line("Counting valid pixels in chunks (Total: " + std::to_string(total_len) + ")...");
    for (int64_t start = 0; start < total_len; start += kCountSlice) {
      const int64_t stop = std::min(start + kCountSlice, total_len);
      num_valid_pixels += flat.slice(0, start, stop).to(torch::kBool).sum().item<int64_t>();
    }
  }
  if (num_valid_pixels == 0) {
    out.line(kNoValidPixels);
    return false;
  }
  out.line("Total Pixels: " + std::to_string(total_pixels));
  out.line("Valid Pixels: " + std::to_string(num_valid_pixels) + " (Ratio: " +
           py_fmt_pct(static_cast<double>(num_valid_pixels) / static_cast<double>(total_pixels), 2) +
           ")");

  // Step accounting.
  const double extra_frac = parse_py_float(env.importance_extra_frac.value_or("0.125"));
  const StepPlan plan = plan_steps(num_valid_pixels, batch_size, opts.epochs, opts.importance_sampling,
                                   opts.imp_warmup_frac.value, extra_frac, opts.steps);
  out.line("Total Steps: " + std::to_string(plan.steps) + " uniform + " +
           std::to_string(plan.importance_extra_steps) + " importance (Batch Size: " +
           std::to_string(plan.batch_size) + ", " + std::to_string(plan.passes_per_epoch) +
           " complete pass(es)/epoch)");

  EarlyStopping es(opts, plan.es_steps_per_epoch, s.device);
  if (opts.early_stop) {
    out.line("Early stop ON: patience=" + opts.early_stop_patience.text +
             " epochs, min_delta_rel=" + opts.early_stop_min_delta_rel.text +
             ", ema_alpha=" + opts.early_stop_ema_alpha.text +
             ", warmup=" + opts.early_stop_warmup_epochs.text + " epochs (1 epoch = " +
             std::to_string(plan.es_steps_per_epoch) + " steps).");
  }

  CosineAnnealingSchedule scheduler(*optimizer, std::max<int64_t>(1, plan.optimizer_steps), 1e-4);

  // Run objects: the loss (which may refuse the run here), then the training step.
  std::optional<RrmseWeights> rrmse;
  if (opts.loss_type == "MSE_RRMSE")
    rrmse = rrmse_band_weights(data.values, data.mask, data.data_range, data.use_log,
                               opts.force_zero_training, s.device, out);
  const BoundLoss loss = bind_loss(opts.loss_type, rrmse, out,
                                   opts.error_bound.defined() ? opts.error_bound.to(s.device) : opts.error_bound);
  TrainStep train_step(s.net, *optimizer, scaler, scheduler, loss.fn, s.use_amp);

  // Routing.
  RoutingInputs routing;
  routing.data_size_bytes =
      training_data_bytes(data.values.defined() ? data.values.numel() : 0,
                          data.values.defined() ? static_cast<int64_t>(data.values.element_size()) : 0,
                          data.values.defined(), total_pixels, data.n_bands, data.bytes_per_pixel);
  routing.threshold_env = env.stream_threshold_gb;
  routing.loss_type = opts.loss_type;
  routing.has_streaming_source = data.has_streaming_source;
  routing.importance_sampling = opts.importance_sampling;
  routing.total_pixels = total_pixels;
  routing.num_valid_pixels = num_valid_pixels;
  bool use_streaming = route_training(routing, s.device_info, out);

  RunState state{plan, opts, out, s.device, train_step, s.net, s.use_amp};
  const std::shared_ptr<CorrectionSteps> corrections =
      s.corrections ? s.corrections : std::make_shared<ImportanceSampling>();
  Run run{s, data, opts, plan, *optimizer, loss, es, state, spatial_size, total_pixels, *corrections};

  if (!use_streaming) {
    bool out_of_memory = false;
    try {
      if (run.in_memory() == LoopResult::kNoValidPoint) return false;
    } catch (const c10::OutOfMemoryError&) {
      out_of_memory = true;
    } catch (const DeviceOutOfMemory&) {
      out_of_memory = true;
    }
    if (out_of_memory) {
      // The device copies of the failed attempt are gone by now; the model, optimizer, scaler
      // and schedule carry on from where it stopped.
      out.line("OOM in in-memory mode! Falling back to Streaming...");
      if (s.device_info.cuda_available()) s.device_info.empty_cache();
      use_streaming = true;
    }
  }
  if (use_streaming) run.streamed();

  if (opts.early_stop && es.stopped_at()) {
    out.line("Training Done (early stopped at epoch " + std::to_string(*es.stopped_at()) + " of " +
             std::to_string(opts.epochs) + ").");
  } else {
    out.line("Training Done.");
  }
  return true;
}

}  // namespace qelm::training
