// The training driver: one call of fit() is one training run of the network on the prepared
// cube. It plans the steps, binds the loss and the training step, routes the run in memory or
// streamed, runs the chosen loop (with the out-of-memory fall-back from the first to the
// second) and leaves the trained weights in the network.
#pragma once

#include <torch/torch.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common.h"
#include "training/losses.h"
#include "training/sampling.h"
#include "training/step.h"
#include "training/streaming.h"

namespace qelm::training {

// A number supplied by the caller, with the text it prints as (the host language's str()).
struct Num {
  double value = 0.0;
  std::string text;
  Num() = default;
  Num(double v) : value(v), text(py_float_repr(v)) {}  // NOLINT: implicit from a double
  Num(double v, std::string t) : value(v), text(std::move(t)) {}
};

struct FitOptions {
  int64_t epochs = 100;
  int64_t batch_size = 524288;
  Num lr{0.01};
  std::optional<Num> lr_hash;
  std::string loss_type = "MSE";
  bool force_zero_training = false;
  bool early_stop = false;
  Num early_stop_patience{8, "8"};
  Num early_stop_min_delta_rel{0.005};
  Num early_stop_warmup_epochs{20, "20"};
  Num early_stop_ema_alpha{0.3};
  bool importance_sampling = false;
  Num imp_warmup_frac{0.5};
  Num imp_alpha{1.0};
  Num imp_refresh_epochs{3, "3"};
  // Uniform steps of the run, when the caller has planned them (then an epoch is one pass over
  // the valid points, for early stopping); unset: the step accounting above from `epochs`.
  std::optional<int64_t> steps;
  // The error bound per output column in normalised units, for the "BOUND" loss.
  torch::Tensor error_bound;
  // Seeds the tensor library's generators (host and devices) at the start of the run.
  std::optional<uint64_t> seed;
};

// The prepared training set. Host tensors except `time_lut`, which lives on the device.
struct TrainingSet {
  torch::Tensor values;    // (N, C); undefined when a streaming source supplies the data
  torch::Tensor mask;      // (N) bool; undefined with a streaming source
  torch::Tensor xyz;       // (H*W, S) float32 spatial coordinates
  torch::Tensor time_lut;  // (T) float32 time coordinate per frame
  int64_t n_frames = 0;
  int64_t height = 0;
  int64_t width = 0;
  int64_t n_bands = 0;
  int64_t bytes_per_pixel = 4;
  bool has_streaming_source = false;
  // Read only by the "MSE_RRMSE" loss.
  bool use_log = false;
  torch::Tensor data_range;  // float64 [min, max] per band, or one flat pair
};

// Environment settings, as raw texts (absent when unset).
struct FitEnvironment {
  std::optional<std::string> importance_extra_frac;  // PYQELM_IMPORTANCE_EXTRA_FRAC
  std::optional<std::string> stream_threshold_gb;    // PYQELM_STREAM_THRESHOLD_GB
};

// Step accounting of a run.
struct StepPlan {
  int64_t batch_size = 0;
  bool batch_adjusted = false;  // rounded down to a multiple of 4 for "S2_SR"
  int64_t pass_steps_per_epoch = 0;
  int64_t minimum_steps_per_epoch = 0;  // 0 when the data set is large enough not to need it
  int64_t passes_per_epoch = 0;
  int64_t es_steps_per_epoch = 0;
  int64_t steps = 0;  // uniform steps
  double importance_extra_frac = 0.0;
  int64_t imp_warmup_steps = 0;
  int64_t importance_extra_steps = 0;
  int64_t optimizer_steps = 0;  // steps + importance_extra_steps
};

// Batch size for a loss type: "S2_SR" rounds it down to a multiple of 4.
int64_t effective_batch_size(int64_t batch_size, const std::string& loss_type);

// Steps per epoch and of the run. `extra_frac` is the environment's importance fraction,
// already converted; it is replaced by 0 when importance sampling is off, and a negative
// result raises std::invalid_argument. With `planned_steps` the run takes exactly that many
// uniform steps and an epoch is one pass over the valid points.
StepPlan plan_steps(int64_t num_valid_pixels, int64_t batch_size, int64_t epochs,
                    bool importance_sampling, double imp_warmup_frac, double extra_frac,
                    std::optional<int64_t> planned_steps = std::nullopt);

// Size of the super batches of the streamed loop: max(4194304, 50 x batch) rounded down to a
// multiple of 4.
int64_t super_batch_size(int64_t batch_size);

// Early stopping on the per-epoch mean of the main loss, smoothed by an exponential moving
// average. The per-step sum stays on the device; it is read once per epoch.
class EarlyStopping {
 public:
  EarlyStopping(const FitOptions& opts, int64_t steps_per_epoch, const torch::Device& device);
  // Adds one uniform step's main loss; `uniform_steps_done` counts it. Returns true when the run
  // must stop (at an epoch boundary without enough improvement for `patience` epochs).
  bool after_uniform_step(const torch::Tensor& loss_main, int64_t uniform_steps_done);
  // Accounts one finished epoch whose mean loss is known.
  bool end_epoch(double mean_loss, int64_t epoch_idx);

  std::optional<double> ema() const { return ema_; }
  double best() const { return best_; }
  int64_t patience_counter() const { return patience_counter_; }
  std::optional<int64_t> stopped_at() const { return stopped_at_; }

 private:
  double patience_, min_delta_rel_, warmup_epochs_, ema_alpha_;
  int64_t steps_per_epoch_;
  torch::Device device_;
  torch::Tensor sum_;
  int64_t count_ = 0;
  std::optional<double> ema_;
  double best_ = INFINITY;
  int64_t patience_counter_ = 0;
  std::optional<int64_t> stopped_at_;
};

// State of one run shared by the loops and by correction steps plugged into them.
struct RunState {
  const StepPlan& plan;
  const FitOptions& opts;
  Reporter& out;
  torch::Device device;
  TrainStep& train_step;
  Network& net;  // for error passes of correction steps (no gradients, autocast per use_amp)
  bool use_amp = false;
  Progress* pbar = nullptr;
  int64_t optimizer_step = 0;
  double importance_budget = 0.0;

  // Trains one correction step on a batch: the training step with the current optimizer step
  // count, then the count and the progress bar advance. Correction steps do not enter the
  // epoch accounting.
  StepLosses correction_step(const torch::Tensor& coords, const torch::Tensor& targets);
};

// Extra error-weighted training steps interleaved with the uniform ones. The driver calls the
// hooks at the points where corrections belong; an implementation decides whether and when to
// train with RunState::correction_step.
class CorrectionSteps {
 public:
  virtual ~CorrectionSteps() = default;
  // In-memory loop: after the sampling set-up. `cube` is on the device; `passes` is null when
  // sampling fell back to drawing with replacement.
  virtual void setup_in_memory(RunState& run, const CubeTensors& cube, const StridedPasses* passes) = 0;
  // In-memory loop: after uniform step `uniform_step` (0-based) and its bookkeeping.
  virtual void after_uniform_step(RunState& run, int64_t uniform_step) = 0;
  // Streamed loop: before the producer starts.
  virtual void setup_stream(RunState& run) = 0;
  // Streamed loop: a super batch has reached the device; `uniform_steps_done` so far.
  virtual void on_pool(RunState& run, const torch::Tensor& coords, const torch::Tensor& targets,
                       int64_t uniform_steps_done) = 0;
  // Streamed loop: after each uniform step on the current pool.
  virtual void after_pool_step(RunState& run) = 0;
  // A loop has ended, normally or by an error (the in-memory loop's out-of-memory fall-back
  // included): device memory held for it should be let go.
  virtual void end_loop() {}
};

// What the host supplies besides the data.
struct FitServices {
  Network& net;
  Reporter& out;
  DeviceInfo& device_info;
  torch::Device device;
  std::string device_text;  // as printed
  bool use_amp = false;
  // Parameters split into (hash-grid, decoder) groups; asked for only when lr_hash applies.
  std::function<std::pair<std::vector<torch::Tensor>, std::vector<torch::Tensor>>()> split_params;
  // The super-batch sampler used when the data comes from a streaming source.
  std::function<std::unique_ptr<SuperBatchSampler>(const CubeTensors& host_cube)> source_sampler;
  // Correction steps; when absent, a run that asks for importance sampling gets the
  // error-weighted corrections of training/importance.h.
  std::shared_ptr<CorrectionSteps> corrections;
};

// Trains the network. Returns false when there is no valid point to train on.
bool fit(const FitServices& services, const TrainingSet& data, const FitOptions& opts,
         const FitEnvironment& env);

}  // namespace qelm::training
