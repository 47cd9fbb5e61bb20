// Residuals and metrics: full passes over the cube comparing the network's reconstruction with
// the training values in physical units.
#pragma once

#include <torch/torch.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common.h"

namespace qelm {

// Pixel layout of block rows: a row of the training data is one bh x bw block of the padded
// frame; its column k = (row_in_block * bw + col_in_block) * C + band.
struct BlockLayout {
  int64_t bh = 1, bw = 1;
  int64_t H = 0, W = 0;  // the unpadded pixel grid
  // Per-pixel validity of the original grid, (T*H*W) bool, true = data. Undefined: every pixel
  // inside the grid counts (pad pixels never do).
  torch::Tensor pixel_valid;
};

struct EvalInputs {
  // Network on a batch of input rows -> predictions (B, columns) as float32; the caller wraps
  // precision (autocast) and mode; the pass itself runs without gradients.
  std::function<torch::Tensor(const torch::Tensor&)> forward;
  torch::Device device = torch::kCPU;
  torch::Tensor values;  // (rows, columns) host, normalised
  torch::Tensor mask;    // (rows) bool host, true = row takes part
  torch::Tensor xyz;     // (grid cells, S) float32 host
  torch::Tensor time_lut;  // (T) float32, any device
  int64_t T = 0, cells = 0;  // frames and grid cells per frame of the rows (block grid in block mode)
  int64_t n_bands = 1;
  std::vector<double> dmin, scale;  // per column (bands tiled over the block positions)
  bool use_log = false;
  std::optional<BlockLayout> blocks;  // set when rows are blocks
};

// Float64 per-band sums on the evaluation device.
struct MetricSums {
  torch::Tensor sse, sae, max, n;
  static MetricSums zeros(int64_t n_bands, torch::Device device);
};

struct BandMetrics {
  double rmse, mae, max;
  int64_t n_valid;
};
// Per-band record; nullopt when no band has a positive count.
std::optional<std::vector<BandMetrics>> finalize_metrics(const MetricSums& s);

struct ResidualTrack {
  torch::Tensor idx;  // int64 host: ((t*H + y)*W + x)*C + band of the pixel cube
  torch::Tensor val;  // float32 host: truth - reconstruction, physical units
  MetricSums model, residual;
  int64_t scanned_values = 0;  // pixels x bands of the cube, the share's denominator
};

// The dead-zone residual pass over every valid row, `thresholds` per column. Prints the
// outlier line when residuals survive.
ResidualTrack compute_residual_track(const EvalInputs& in, const std::vector<double>& thresholds,
                                     int64_t batch_size, Reporter& rep);

// Evenly spaced frames: distinct round-half-even of linspace(0, T-1, min(n, T)).
std::vector<int64_t> sample_frames(int64_t T, int64_t n);
MetricSums sampled_metrics(const EvalInputs& in, const std::vector<int64_t>& frames, int64_t batch_size);

}  // namespace qelm
