// Multiresolution hash-grid encoding on CPU tensors: the network's hash grids, with their own
// multi-threaded forward and backward, so that training on a CPU is not bound by generic
// gather/scatter kernels.
//
// Semantics are those of the network's PyTorch encoding (pyqelm/models/QELMNetworkTorch.py),
// which follows tiny-cuda-nn's HashGrid: for level l, scale_l = base * b^l - 1 (double, then
// rounded to float), resolution ceil(scale_l) + 1, table size min(ceil8(resolution^D),
// 2^log2_hashmap_size) entries; position p = x * scale_l + 0.5, vertex floor(p), d-linear
// weights from the fraction; dense vertex index sum_d v_d * resolution^d while resolution^D fits
// the table, the XOR prime hash otherwise, both modulo the table size in uint32 arithmetic.
// Parameters are level-major tables of entries with their features contiguous.
#pragma once

#include <torch/torch.h>

#include <cstdint>
#include <vector>

namespace qelm::hashgrid {

struct GridConfig {
  int n_levels = 16;
  int n_features = 2;
  int log2_hashmap_size = 19;
  int base_resolution = 16;
  double per_level_scale = 2.0;
};

struct GridLevel {
  float scale = 0.f;
  uint32_t resolution = 0;
  int64_t offset = 0;  // first entry of the level's table
  uint32_t size = 0;   // entries
  bool hashed = false;
};

constexpr uint32_t kPrimes[4] = {1u, 2654435761u, 805459861u, 3674653429u};

// Levels of a grid over n_dims dimensions; throws std::invalid_argument on bad settings.
std::vector<GridLevel> grid_levels(int n_dims, const GridConfig& cfg);
// Total parameter count (entries x features).
int64_t grid_n_params(int n_dims, const GridConfig& cfg);

// Integer vertex of one coordinate as the GPU computes it ((uint32)(int)floor(p)); non-finite
// or out-of-range values give 0, as the PyTorch path's conversion does.
inline uint32_t vertex_of(double floored) {
  return (floored == floored && floored > -9.2e18 && floored < 9.2e18)
             ? static_cast<uint32_t>(static_cast<int64_t>(floored))
             : 0u;
}

// Table index of a vertex within its level.
inline uint32_t grid_index(const uint32_t* v, int n_dims, const GridLevel& level) {
  uint32_t idx = 0;
  if (level.hashed) {
    for (int d = 0; d < n_dims; ++d) idx ^= v[d] * kPrimes[d];
  } else {
    uint32_t stride = 1;
    for (int d = 0; d < n_dims; ++d) {
      idx += v[d] * stride;
      stride *= level.resolution;
    }
  }
  return idx < level.size ? idx : idx % level.size;
}

// Plain forward: (B, D) positions and flat params of the same floating type (float or double)
// to (B, n_levels * n_features) features. No autograd.
torch::Tensor encode_forward(const torch::Tensor& positions, const torch::Tensor& params,
                             const GridConfig& cfg);

struct EncodeGrads {
  torch::Tensor positions;  // undefined when not asked for
  torch::Tensor params;     // undefined when not asked for
};

// Gradients of sum(grad_out * forward(positions, params)). The parameter gradient is
// accumulated level by level (and, when there are more threads than levels, into per-chunk
// buffers summed in a fixed order), so it is race-free and identical run to run for a fixed
// thread count.
EncodeGrads encode_backward(const torch::Tensor& grad_out, const torch::Tensor& positions,
                            const torch::Tensor& params, const GridConfig& cfg,
                            bool need_positions, bool need_params);

// Autograd-aware encoding: differentiable with respect to positions and params (first order).
torch::Tensor encode(const torch::Tensor& positions, const torch::Tensor& params,
                     const GridConfig& cfg);

// Which table entries any of `positions` (B, D) indexes: every corner of every level, whatever
// its interpolation weight, exactly as the encoding computes them. Returns (entries) bool,
// level-major like the parameters (an entry holds n_features parameters). An entry no position
// indexes never takes part in an output there, so its values are free.
torch::Tensor reached_entries(const torch::Tensor& positions, const GridConfig& cfg);

// Sets to zero the entries of flat `params` (any floating type) that no position reaches;
// returns how many entries that were.
int64_t zero_unreached_entries(torch::Tensor& params, const torch::Tensor& positions, const GridConfig& cfg);

// CPUs this process may run on (its affinity mask), at least 1.
int available_cpus();
// Set the tensor library's intra-op threads to available_cpus(), unless OMP_NUM_THREADS is
// set (then the user's choice stands). Returns the thread count in effect.
int use_available_cpus();

}  // namespace qelm::hashgrid
