// Training objectives. Every loss takes predictions and targets of shape (B, C) in the
// normalised value space and returns a scalar tensor; none keeps state between calls.
#pragma once

#include <torch/torch.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common.h"

namespace qelm::training {

// Mean over rows of the squared error averaged over the row's finite target channels.
// Non-finite targets contribute 0; a row without any finite target still counts in the mean.
torch::Tensor criterion_mse(const torch::Tensor& preds, const torch::Tensor& targets);

// Mean spectral angle (radians) between rows. The cosine is clamped just inside [-1, 1] so the
// arc-cosine keeps a finite gradient for identical rows.
torch::Tensor sam_loss(const torch::Tensor& pred, const torch::Tensor& target);

// Mean of ((preds - targets) / max(|targets|, floor))^2 over all elements.
torch::Tensor relative_mse(const torch::Tensor& preds, const torch::Tensor& targets, double floor);

// Relative MSE with a floor of 0.05 per band, 0.03 for the third band when there is one.
torch::Tensor relative_mse_b3(const torch::Tensor& preds, const torch::Tensor& targets);

// Mean of (preds - targets)^2 * weights, weights broadcast over rows.
torch::Tensor band_weighted_mse(const torch::Tensor& preds, const torch::Tensor& targets,
                                const torch::Tensor& weights);

// Mean absolute error over all elements.
torch::Tensor l1_loss(const torch::Tensor& preds, const torch::Tensor& targets);

// The loss that trains for an error bound: a value decoded within the bound E needs no
// correction, one off by E or more costs a residual whose bits grow with the logarithm of its
// size, so the loss counts errors near and above E and hardly those well inside it. Per
// element, with r = |pred - target| / E of its column,
//   penalty = log(1 + width * softplus((r - knee) / width)),
// a hinge at `knee` x E smoothed over `width` x E, taken through a logarithm: about 0 inside the
// knee, slope 1 / E just past it (every value at risk is pulled under the bound), and about
// log(r) far beyond (a gross error costs a few bits more, not a proportionally larger pull).
// Measured on real fields it leaves fewer values off by E than MSE and than L1 (bench/losses.py).
// `bound` holds E per output column in normalised units (broadcast over rows). Non-finite
// targets are masked as in criterion_mse.
constexpr double kBoundLossKnee = 0.5;
constexpr double kBoundLossWidth = 0.1;
torch::Tensor bound_loss(const torch::Tensor& preds, const torch::Tensor& targets, const torch::Tensor& bound,
                         double knee = kBoundLossKnee, double width = kBoundLossWidth);

// criterion_mse + 0.01 * SAM.
torch::Tensor mse_sam_loss(const torch::Tensor& preds, const torch::Tensor& targets);

// Masked MSE of channel 0 plus 5 x masked MSE of channel 1.
torch::Tensor mse_lai_fpar_loss(const torch::Tensor& preds, const torch::Tensor& targets);

// Per-band weights that turn the squared error of normalised values into the squared physical
// error relative to each band's mean power.
struct RrmseWeights {
  torch::Tensor band_power;   // float64 (C), host
  torch::Tensor weights_cpu;  // float64 (C), host, averaging 1
  torch::Tensor weights;      // float32 (C), on the training device
  double scale = 0.0;         // mean of the weights before normalisation
};

// `values` (N, C) and `mask` (N) are the host training tensors (values undefined when the
// data is streamed), `data_range` the per-band [min, max] pairs as float64 (or one flat pair).
// Reads the values in chunks of one million rows; prints the power and weights.
RrmseWeights rrmse_band_weights(const torch::Tensor& values, const torch::Tensor& mask,
                                const torch::Tensor& data_range, bool use_log,
                                bool force_zero_training, const torch::Device& device,
                                Reporter& out);

// The loss of a training run, bound once from its loss type.
using LossFn = std::function<torch::Tensor(const torch::Tensor& preds, const torch::Tensor& targets,
                                           int64_t step, const torch::Tensor& coords)>;

struct BoundLoss {
  std::string type;
  LossFn fn;
  // Set for "MSE_RRMSE": the progress display turns the loss back into a relative RMSE.
  std::optional<double> rrmse_scale;
};

// The loss types that bind a loss, in the order they are matched.
const std::vector<std::string>& accepted_loss_types();

// Selects the loss by exact name and prints which one is used. "MSE_RRMSE" needs
// `rrmse_weights` (computed beforehand by rrmse_band_weights); "BOUND" needs `error_bound`, the
// bound per output column in normalised units (positive and finite), and refuses to bind
// without it. An unknown type (including "SAM" or "S2_SR" alone) raises std::invalid_argument
// naming the accepted types.
BoundLoss bind_loss(const std::string& loss_type, const std::optional<RrmseWeights>& rrmse_weights,
                    Reporter& out, const torch::Tensor& error_bound = torch::Tensor());

// A float64 vector as NumPy prints it with the given precision (array2string defaults
// otherwise: 75 columns, "maxprec" digits, scientific form for wide ranges).
std::string numpy_array_str(const std::vector<double>& v, int precision);

}  // namespace qelm::training
