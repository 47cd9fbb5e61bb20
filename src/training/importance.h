// Error-weighted correction steps. After a warm-up of uniform steps, a fixed fraction of extra
// steps draws points with probability proportional to the network's current squared error
// raised to a power, so hard points (edges, rare values) get more updates while the uniform
// passes still visit every point.
//
// In memory the weights cover every valid point of the cube and are recomputed every few
// epochs; streamed they cover the points of the super batch on the device and are computed
// once per super batch. Draws are a uniform number times the total weight located in the
// running sum of the weights by binary search, all on the device.
#pragma once

#include <torch/torch.h>

#include "common.h"
#include "training/driver.h"

namespace qelm::training {

// Squared error per row averaged over the row's finite target channels (non-finite targets
// count 0; a row without any still divides by 1e-8, not 0). float32, one value per row.
torch::Tensor per_point_error(const torch::Tensor& preds, const torch::Tensor& targets);

// Error to weight, in place: clamped below at 0, raised to `alpha`, plus 1e-8 so that every
// point stays drawable.
torch::Tensor& error_to_weight_(torch::Tensor& err, double alpha);

// Weights of the points at flat positions `valid_pos` (int64, on the cube's device) written
// into `out` (float32, same length): the network's per-point error, evaluated in chunks of
// `batch` rows with gradients off, autocast per `use_amp` and the network in evaluation mode
// (training mode afterwards), then turned into weights with `alpha`.
void importance_weights_into(torch::Tensor& out, Network& net, bool use_amp, const torch::Tensor& valid_pos,
                             const CubeTensors& cube, int64_t batch, double alpha);
torch::Tensor importance_weights(Network& net, bool use_amp, const torch::Tensor& valid_pos,
                                 const CubeTensors& cube, int64_t batch, double alpha);

// `count` positions drawn with probability proportional to the weights whose running sum is
// `cdf`: uniform numbers times the total, located by left-side binary search and clamped to
// the last position (rounding at the top end).
torch::Tensor draw_from_cdf(const torch::Tensor& cdf, int64_t count);

// The correction steps of a training run.
class ImportanceSampling : public CorrectionSteps {
 public:
  void setup_in_memory(RunState& run, const CubeTensors& cube, const StridedPasses* passes) override;
  void after_uniform_step(RunState& run, int64_t uniform_step) override;
  void setup_stream(RunState& run) override;
  void on_pool(RunState& run, const torch::Tensor& coords, const torch::Tensor& targets,
               int64_t uniform_steps_done) override;
  void after_pool_step(RunState& run) override;
  void end_loop() override;

  // For inspection.
  bool in_memory_on() const { return imp_on_; }
  bool stream_on() const { return imp_stream_; }
  int64_t refresh_steps() const { return refresh_steps_; }
  int64_t refreshes() const { return refreshes_; }
  const torch::Tensor& cdf() const { return cdf_; }
  const torch::Tensor& pool_cdf() const { return pool_cdf_; }

 protected:
  // Allocates the device index of valid points, their weights and the running sum, once per
  // run; the device's out-of-memory error propagates.
  virtual void reserve_device_buffers(RunState& run, const torch::Tensor& positions);

 private:
  // In memory.
  bool imp_on_ = false;
  bool active_ = false;
  int64_t refresh_steps_ = 1;
  int64_t refreshes_ = 0;
  CubeTensors cube_;
  torch::Tensor valid_pos_;  // int64, device
  torch::Tensor weights_;    // float32, device
  torch::Tensor cdf_;        // float32, device
  // Streamed.
  bool imp_stream_ = false;
  torch::Tensor pool_coords_, pool_targets_, pool_cdf_;
};

}  // namespace qelm::training
