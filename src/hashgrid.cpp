#include "hashgrid.h"

#include <ATen/Parallel.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace qelm::hashgrid {
namespace {

constexpr int kMaxDims = 4;

void check_config(int n_dims, const GridConfig& cfg) {
  if (n_dims < 1 || n_dims > kMaxDims)
    throw std::invalid_argument("hash grid: positions must have 1 to 4 columns, got " +
                                std::to_string(n_dims));
  if (cfg.n_levels < 1 || cfg.n_levels > 32)
    throw std::invalid_argument("hash grid: n_levels must be between 1 and 32, got " +
                                std::to_string(cfg.n_levels));
  if (cfg.n_features < 1 || cfg.n_features > 64)
    throw std::invalid_argument("hash grid: n_features must be between 1 and 64, got " +
                                std::to_string(cfg.n_features));
  if (cfg.log2_hashmap_size < 1 || cfg.log2_hashmap_size > 30)
    throw std::invalid_argument("hash grid: log2_hashmap_size must be between 1 and 30, got " +
                                std::to_string(cfg.log2_hashmap_size));
  if (cfg.base_resolution < 1)
    throw std::invalid_argument("hash grid: base_resolution must be at least 1");
  if (!(cfg.per_level_scale > 0.0) || !std::isfinite(cfg.per_level_scale))
    throw std::invalid_argument("hash grid: per_level_scale must be a positive number");
}

// p = x * scale + 0.5 with two roundings, as the PyTorch path computes it: a fused
// multiply-add would move points that sit on a cell boundary into the neighbouring cell.
template <typename T>
inline T grid_position(T x, T scale) {
  volatile T m = x * scale;
  return m + T(0.5);
}

template <typename T>
struct LevelPoint {
  uint32_t vertex[kMaxDims];
  T frac[kMaxDims];
};

template <typename T, int D>
inline void locate(const T* x, T scale, LevelPoint<T>& lp) {
  for (int d = 0; d < D; ++d) {
    const T p = grid_position(x[d], scale);
    // Floor through truncation wherever it is exact: a library floor call per coordinate and
    // level (what std::floor costs without SSE4.1) was most of the encoding's time.
    if (p > T(-2147483648.0) && p < T(2147483648.0)) {
      int32_t i = static_cast<int32_t>(p);
      T fl = static_cast<T>(i);
      if (fl > p) {
        --i;
        fl -= T(1);
      }
      lp.vertex[d] = static_cast<uint32_t>(i);
      lp.frac[d] = p - fl;
    } else {
      const T fl = std::floor(p);
      lp.vertex[d] = vertex_of(static_cast<double>(fl));
      lp.frac[d] = p - fl;
    }
  }
}

void check_tensors(const torch::Tensor& positions, const torch::Tensor& params, int* n_dims) {
  if (positions.dim() != 2)
    throw std::invalid_argument("hash grid: positions must be a 2-D tensor (B, D)");
  if (!positions.device().is_cpu() || !params.device().is_cpu())
    throw std::invalid_argument("hash grid: the compiled encoding runs on CPU tensors only");
  const auto st = params.scalar_type();
  if (st != torch::kFloat && st != torch::kDouble)
    throw std::invalid_argument("hash grid: params must be float32 or float64");
  if (positions.scalar_type() != st)
    throw std::invalid_argument("hash grid: positions and params must have the same dtype");
  if (params.dim() != 1) throw std::invalid_argument("hash grid: params must be flat (1-D)");
  *n_dims = static_cast<int>(positions.size(1));
}

// Points are taken in blocks: all corner indices and weights of a block are computed (and
// their table entries prefetched) before any entry is read or written, so the random table
// accesses of a block overlap instead of waiting on each other.
constexpr int kBlock = 64;

template <typename T, int D>
struct BlockCorners {
  uint32_t index[kBlock][1 << D];
  T weight[kBlock][1 << D];
  T frac[kBlock][D];
};

template <typename T, int D>
inline void block_corners(const T* x, int64_t i0, int nb, const GridLevel& level, const T* table,
                          int F, bool for_write, BlockCorners<T, D>& bc) {
  const T scale = static_cast<T>(level.scale);
  // Per dimension, the two possible terms of a corner's index (lower and upper vertex) and
  // of its weight; a corner combines one of each (the same index as grid_index).
  uint32_t stride[D];
  stride[0] = 1;
  for (int d = 1; d < D; ++d) stride[d] = stride[d - 1] * level.resolution;
  const bool pow2 = (level.size & (level.size - 1)) == 0;
  const uint32_t mask = level.size - 1;
  LevelPoint<T> lp;
  for (int b = 0; b < nb; ++b) {
    locate<T, D>(x + (i0 + b) * D, scale, lp);
    uint32_t term[D][2];
    T wt[D][2];
    for (int d = 0; d < D; ++d) {
      bc.frac[b][d] = lp.frac[d];
      const uint32_t m = level.hashed ? kPrimes[d] : stride[d];
      term[d][0] = lp.vertex[d] * m;
      term[d][1] = (lp.vertex[d] + 1u) * m;
      wt[d][0] = T(1) - lp.frac[d];
      wt[d][1] = lp.frac[d];
    }
    for (int c = 0; c < (1 << D); ++c) {
      uint32_t idx = term[0][c & 1];
      T w = wt[0][c & 1];
      for (int d = 1; d < D; ++d) {
        const int up = (c >> d) & 1;
        idx = level.hashed ? (idx ^ term[d][up]) : (idx + term[d][up]);
        w *= wt[d][up];
      }
      if (idx >= level.size) idx = pow2 ? (idx & mask) : idx % level.size;
      bc.index[b][c] = idx;
      bc.weight[b][c] = w;
      const T* e = table + static_cast<int64_t>(idx) * F;
      if (for_write)
        __builtin_prefetch(e, 1);
      else
        __builtin_prefetch(e, 0);
    }
  }
}

// Points per pass over the levels in the forward: the pass's output rows (points x levels x
// features) stay in L2 while every level adds its columns, and one level's table stays warm
// across the pass.
constexpr int64_t kForwardRows = 1024;

template <typename T, int D, int FC>
void forward_kernel(const T* x, const T* params, T* out, int64_t n,
                    const std::vector<GridLevel>& levels, int F_runtime) {
  const int F = FC > 0 ? FC : F_runtime;
  const int L = static_cast<int>(levels.size());
  const int64_t stride = static_cast<int64_t>(L) * F;
  at::parallel_for(0, n, 2048, [&](int64_t begin, int64_t end) {
    BlockCorners<T, D> bc;
    T acc[64];
    for (int64_t r0 = begin; r0 < end; r0 += kForwardRows) {
      const int64_t r1 = std::min(end, r0 + kForwardRows);
      for (int l = 0; l < L; ++l) {
        const GridLevel& level = levels[l];
        const T* table = params + level.offset * F;
        for (int64_t i0 = r0; i0 < r1; i0 += kBlock) {
          const int nb = static_cast<int>(std::min<int64_t>(kBlock, r1 - i0));
          block_corners<T, D>(x, i0, nb, level, table, F, false, bc);
          for (int b = 0; b < nb; ++b) {
            for (int f = 0; f < F; ++f) acc[f] = T(0);
            for (int c = 0; c < (1 << D); ++c) {
              const T w = bc.weight[b][c];
              const T* e = table + static_cast<int64_t>(bc.index[b][c]) * F;
              for (int f = 0; f < F; ++f) acc[f] += w * e[f];
            }
            T* o = out + (i0 + b) * stride + static_cast<int64_t>(l) * F;
            for (int f = 0; f < F; ++f) o[f] = acc[f];
          }
        }
      }
    }
  });
}

template <typename T, int D, int FC>
void params_backward_kernel(const T* x, const T* g, T* grad, int64_t n,
                            const std::vector<GridLevel>& levels, int F_runtime) {
  const int F = FC > 0 ? FC : F_runtime;
  const int L = static_cast<int>(levels.size());
  const int64_t stride = static_cast<int64_t>(L) * F;
  // Levels write disjoint tables, so each (level, chunk) task owns its destination. With
  // more threads than levels the batch is split into chunks; chunk 0 writes the gradient
  // itself and the others private buffers, added afterwards in chunk order. Each task zeroes
  // its own destination (`grad` arrives uninitialised), so the clearing is spread over the
  // threads and leaves the table warm for the scatter that follows.
  const int threads = at::get_num_threads();
  int64_t chunks = std::max<int64_t>(1, (threads + L - 1) / L);
  chunks = std::min<int64_t>(chunks, std::max<int64_t>(1, n / 4096));
  std::vector<std::vector<std::vector<T>>> partial(L);
  for (int l = 0; l < L; ++l) partial[l].resize(chunks - 1);
  const int64_t per_chunk = (n + chunks - 1) / chunks;
  // Every level visits every point, but small tables stay in cache and large ones do not, so
  // tasks are handed out largest table first from a shared counter rather than in static
  // ranges (which gave one thread all the coarse levels and the other all the hashed ones).
  // Which thread runs a task does not change what it writes: the result is deterministic.
  const int64_t n_tasks = L * chunks;
  std::vector<int64_t> order(static_cast<size_t>(n_tasks));
  for (int64_t t = 0; t < n_tasks; ++t) order[t] = t;
  std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
    return levels[a / chunks].size > levels[b / chunks].size;
  });
  std::atomic<int64_t> next{0};
  at::parallel_for(0, threads, 1, [&](int64_t, int64_t) {
    BlockCorners<T, D> bc;
    for (int64_t k = next.fetch_add(1); k < n_tasks; k = next.fetch_add(1)) {
      const int64_t task = order[k];
      const int l = static_cast<int>(task / chunks);
      const int64_t chunk = task % chunks;
      const GridLevel& level = levels[l];
      const size_t len = static_cast<size_t>(level.size) * F;
      T* dst;
      if (chunk == 0) {
        dst = grad + level.offset * F;
        std::fill(dst, dst + len, T(0));
      } else {
        partial[l][chunk - 1].assign(len, T(0));
        dst = partial[l][chunk - 1].data();
      }
      const int64_t begin = chunk * per_chunk;
      const int64_t end = std::min(n, begin + per_chunk);
      for (int64_t i0 = begin; i0 < end; i0 += kBlock) {
        const int nb = static_cast<int>(std::min<int64_t>(kBlock, end - i0));
        block_corners<T, D>(x, i0, nb, level, dst, F, true, bc);
        for (int b = 0; b < nb; ++b) {
          const T* gi = g + (i0 + b) * stride + static_cast<int64_t>(l) * F;
          for (int c = 0; c < (1 << D); ++c) {
            const T w = bc.weight[b][c];
            T* e = dst + static_cast<int64_t>(bc.index[b][c]) * F;
            for (int f = 0; f < F; ++f) e[f] += w * gi[f];
          }
        }
      }
    }
  });
  if (chunks > 1) {
    for (int l = 0; l < L; ++l) {
      T* dst = grad + levels[l].offset * F;
      const int64_t len = static_cast<int64_t>(levels[l].size) * F;
      at::parallel_for(0, len, 1 << 14, [&](int64_t b, int64_t e) {
        for (int64_t c = 0; c + 1 < chunks; ++c) {
          const T* src = partial[l][c].data();
          for (int64_t k = b; k < e; ++k) dst[k] += src[k];
        }
      });
    }
  }
}

template <typename T, int D, int FC>
void positions_backward_kernel(const T* x, const T* params, const T* g, T* grad, int64_t n,
                               const std::vector<GridLevel>& levels, int F_runtime) {
  const int F = FC > 0 ? FC : F_runtime;
  const int L = static_cast<int>(levels.size());
  const int64_t stride = static_cast<int64_t>(L) * F;
  at::parallel_for(0, n, 2048, [&](int64_t begin, int64_t end) {
    BlockCorners<T, D> bc;
    for (int64_t i = begin; i < end; ++i)
      for (int d = 0; d < D; ++d) grad[i * D + d] = T(0);
    for (int l = 0; l < L; ++l) {
      const GridLevel& level = levels[l];
      const T* table = params + level.offset * F;
      const T scale = static_cast<T>(level.scale);
      for (int64_t i0 = begin; i0 < end; i0 += kBlock) {
        const int nb = static_cast<int>(std::min<int64_t>(kBlock, end - i0));
        block_corners<T, D>(x, i0, nb, level, table, F, false, bc);
        for (int b = 0; b < nb; ++b) {
          const T* gi = g + (i0 + b) * stride + static_cast<int64_t>(l) * F;
          const T* frac = bc.frac[b];
          T acc[D] = {};
          for (int c = 0; c < (1 << D); ++c) {
            const T* e = table + static_cast<int64_t>(bc.index[b][c]) * F;
            T dot = T(0);
            for (int f = 0; f < F; ++f) dot += gi[f] * e[f];
            // d(weight_c)/d(frac_d): the other dimensions' factors, signed by the corner side.
            for (int d = 0; d < D; ++d) {
              T w = ((c >> d) & 1) ? T(1) : T(-1);
              for (int k = 0; k < D; ++k)
                if (k != d) w *= ((c >> k) & 1) ? frac[k] : T(1) - frac[k];
              acc[d] += w * dot;
            }
          }
          for (int d = 0; d < D; ++d) grad[(i0 + b) * D + d] += acc[d] * scale;
        }
      }
    }
  });
}

// Parameter gradients of large grids are tens of megabytes; a fresh allocation of that size is
// mapped from the system on every backward and its pages faulted in one by one, which costs
// more than the scatter itself. Blocks released by the gradient tensors come back here and
// are reused by the next backward, uninitialised: the backward kernel clears what it writes.
// At most kPoolBlocks blocks are kept.
class GradientPool {
 public:
  static GradientPool& instance() {
    static GradientPool* pool = new GradientPool();  // outlives tensors freed at exit
    return *pool;
  }

  torch::Tensor take(int64_t numel, torch::ScalarType st) {
    const size_t bytes = static_cast<size_t>(numel) * c10::elementSize(st);
    void* block = nullptr;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (size_t k = 0; k < free_.size(); ++k) {
        if (free_[k].first == bytes) {
          block = free_[k].second;
          free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(k));
          break;
        }
      }
    }
    if (block == nullptr) {
      block = std::aligned_alloc(64, (bytes + 63) / 64 * 64);
      if (block == nullptr) throw std::bad_alloc();
    }
    return torch::from_blob(
        block, {numel}, [bytes](void* ptr) { GradientPool::instance().give_back(ptr, bytes); },
        torch::TensorOptions().dtype(st));
  }

  void give_back(void* block, size_t bytes) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (free_.size() < kPoolBlocks) {
        free_.emplace_back(bytes, block);
        return;
      }
    }
    std::free(block);
  }

 private:
  static constexpr size_t kPoolBlocks = 4;
  std::mutex mu_;
  std::vector<std::pair<size_t, void*>> free_;
};

// Uninitialised storage for a parameter gradient.
torch::Tensor gradient_buffer(const torch::Tensor& like) {
  constexpr int64_t kPoolMinBytes = 1 << 20;
  if (like.numel() * static_cast<int64_t>(like.element_size()) < kPoolMinBytes)
    return torch::empty_like(like);
  return GradientPool::instance().take(like.numel(), like.scalar_type());
}

// Kernels are instantiated per dimension count and, for float32 (training), per feature count
// of tiny-cuda-nn's choices (1, 2, 4, 8): a compile-time feature loop keeps a point's features
// in registers. Other feature counts and float64 take the runtime-width kernels.
template <typename F>
void dispatch(torch::ScalarType st, int n_dims, int n_features, F&& f) {
  auto by_features = [&](auto tag, auto dims) {
    using T = decltype(tag);
    if constexpr (std::is_same_v<T, float>) {
      switch (n_features) {
        case 1: return f(T{}, dims, std::integral_constant<int, 1>{});
        case 2: return f(T{}, dims, std::integral_constant<int, 2>{});
        case 4: return f(T{}, dims, std::integral_constant<int, 4>{});
        case 8: return f(T{}, dims, std::integral_constant<int, 8>{});
        default: break;
      }
    }
    f(T{}, dims, std::integral_constant<int, 0>{});
  };
  auto by_dims = [&](auto tag) {
    switch (n_dims) {
      case 1: by_features(tag, std::integral_constant<int, 1>{}); break;
      case 2: by_features(tag, std::integral_constant<int, 2>{}); break;
      case 3: by_features(tag, std::integral_constant<int, 3>{}); break;
      case 4: by_features(tag, std::integral_constant<int, 4>{}); break;
      default: throw std::invalid_argument("hash grid: positions must have 1 to 4 columns");
    }
  };
  if (st == torch::kFloat)
    by_dims(float{});
  else
    by_dims(double{});
}

class HashGridFunction : public torch::autograd::Function<HashGridFunction> {
 public:
  static torch::Tensor forward(torch::autograd::AutogradContext* ctx, torch::Tensor positions,
                               torch::Tensor params, GridConfig cfg) {
    ctx->save_for_backward({positions, params});
    ctx->saved_data["n_levels"] = cfg.n_levels;
    ctx->saved_data["n_features"] = cfg.n_features;
    ctx->saved_data["log2_hashmap_size"] = cfg.log2_hashmap_size;
    ctx->saved_data["base_resolution"] = cfg.base_resolution;
    ctx->saved_data["per_level_scale"] = cfg.per_level_scale;
    return encode_forward(positions, params, cfg);
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    auto saved = ctx->get_saved_variables();
    GridConfig cfg;
    cfg.n_levels = static_cast<int>(ctx->saved_data["n_levels"].toInt());
    cfg.n_features = static_cast<int>(ctx->saved_data["n_features"].toInt());
    cfg.log2_hashmap_size = static_cast<int>(ctx->saved_data["log2_hashmap_size"].toInt());
    cfg.base_resolution = static_cast<int>(ctx->saved_data["base_resolution"].toInt());
    cfg.per_level_scale = ctx->saved_data["per_level_scale"].toDouble();
    EncodeGrads g = encode_backward(grads[0], saved[0], saved[1], cfg,
                                    ctx->needs_input_grad(0), ctx->needs_input_grad(1));
    return {g.positions, g.params, torch::Tensor()};
  }
};

}  // namespace

std::vector<GridLevel> grid_levels(int n_dims, const GridConfig& cfg) {
  check_config(n_dims, cfg);
  std::vector<GridLevel> levels(cfg.n_levels);
  const uint64_t max_params = std::numeric_limits<uint32_t>::max() / 2;
  const uint64_t table_cap = uint64_t{1} << cfg.log2_hashmap_size;
  int64_t offset = 0;
  for (int l = 0; l < cfg.n_levels; ++l) {
    GridLevel& lv = levels[l];
    const double s = std::exp2(l * std::log2(cfg.per_level_scale)) * cfg.base_resolution - 1.0;
    lv.scale = static_cast<float>(s);
    lv.resolution = static_cast<uint32_t>(std::ceil(static_cast<double>(lv.scale))) + 1u;
    // resolution^D, saturating: only its comparison with the table size matters past 2^32.
    uint64_t dense = 1;
    for (int d = 0; d < n_dims; ++d)
      dense = dense > (uint64_t{1} << 40) ? dense : dense * lv.resolution;
    uint64_t size = std::min(dense, max_params);
    size = (size + 7) / 8 * 8;
    size = std::min(size, table_cap);
    lv.size = static_cast<uint32_t>(size);
    lv.hashed = dense > size;
    lv.offset = offset;
    offset += static_cast<int64_t>(size);
  }
  return levels;
}

int64_t grid_n_params(int n_dims, const GridConfig& cfg) {
  const auto levels = grid_levels(n_dims, cfg);
  return (levels.back().offset + levels.back().size) * cfg.n_features;
}

torch::Tensor encode_forward(const torch::Tensor& positions_in, const torch::Tensor& params_in,
                             const GridConfig& cfg) {
  int n_dims = 0;
  check_tensors(positions_in, params_in, &n_dims);
  const auto levels = grid_levels(n_dims, cfg);
  const int64_t n_params = grid_n_params(n_dims, cfg);
  if (params_in.numel() != n_params)
    throw std::invalid_argument("hash grid: expected " + std::to_string(n_params) +
                                " parameters, got " + std::to_string(params_in.numel()));
  auto positions = positions_in.contiguous();
  auto params = params_in.contiguous();
  const int64_t n = positions.size(0);
  auto out = torch::empty({n, static_cast<int64_t>(cfg.n_levels) * cfg.n_features},
                          params.options().requires_grad(false));
  if (n == 0) return out;
  dispatch(params.scalar_type(), n_dims, cfg.n_features, [&](auto tag, auto dims, auto feats) {
    using T = decltype(tag);
    forward_kernel<T, decltype(dims)::value, decltype(feats)::value>(
        positions.data_ptr<T>(), params.data_ptr<T>(), out.data_ptr<T>(), n, levels,
        cfg.n_features);
  });
  return out;
}

EncodeGrads encode_backward(const torch::Tensor& grad_out_in, const torch::Tensor& positions_in,
                            const torch::Tensor& params_in, const GridConfig& cfg,
                            bool need_positions, bool need_params) {
  int n_dims = 0;
  check_tensors(positions_in, params_in, &n_dims);
  const auto levels = grid_levels(n_dims, cfg);
  auto positions = positions_in.contiguous();
  auto params = params_in.contiguous();
  const int64_t n = positions.size(0);
  const int64_t width = static_cast<int64_t>(cfg.n_levels) * cfg.n_features;
  if (grad_out_in.dim() != 2 || grad_out_in.size(0) != n || grad_out_in.size(1) != width)
    throw std::invalid_argument("hash grid: output gradient has the wrong shape");
  auto grad_out = grad_out_in.to(params.scalar_type()).contiguous();
  EncodeGrads result;
  if (need_params) result.params = gradient_buffer(params);
  if (need_positions) result.positions = torch::zeros_like(positions);
  if (n == 0) {
    if (need_params) result.params.zero_();
    return result;
  }
  dispatch(params.scalar_type(), n_dims, cfg.n_features, [&](auto tag, auto dims, auto feats) {
    using T = decltype(tag);
    constexpr int D = decltype(dims)::value;
    constexpr int FC = decltype(feats)::value;
    if (need_params)
      params_backward_kernel<T, D, FC>(positions.data_ptr<T>(), grad_out.data_ptr<T>(),
                                   result.params.data_ptr<T>(), n, levels, cfg.n_features);
    if (need_positions)
      positions_backward_kernel<T, D, FC>(positions.data_ptr<T>(), params.data_ptr<T>(),
                                      grad_out.data_ptr<T>(), result.positions.data_ptr<T>(), n,
                                      levels, cfg.n_features);
  });
  return result;
}

torch::Tensor encode(const torch::Tensor& positions, const torch::Tensor& params,
                     const GridConfig& cfg) {
  return HashGridFunction::apply(positions, params, cfg);
}

namespace {

template <typename T, int D>
void mark_reached(const T* x, int64_t n, const std::vector<GridLevel>& levels, uint8_t* reached) {
  at::parallel_for(0, n, 4096, [&](int64_t begin, int64_t end) {
    LevelPoint<T> lp;
    for (const GridLevel& level : levels) {
      const T scale = static_cast<T>(level.scale);
      uint8_t* table = reached + level.offset;
      for (int64_t i = begin; i < end; ++i) {
        locate<T, D>(x + i * D, scale, lp);
        for (int c = 0; c < (1 << D); ++c) {
          uint32_t v[kMaxDims];
          for (int d = 0; d < D; ++d) v[d] = lp.vertex[d] + static_cast<uint32_t>((c >> d) & 1);
          // Every writer stores the same value; the relaxed atomic makes that well defined.
          __atomic_store_n(table + grid_index(v, D, level), uint8_t{1}, __ATOMIC_RELAXED);
        }
      }
    }
  });
}

template <typename T>
void mark_reached_dims(const T* x, int64_t n, int n_dims, const std::vector<GridLevel>& levels, uint8_t* reached) {
  switch (n_dims) {
    case 1: return mark_reached<T, 1>(x, n, levels, reached);
    case 2: return mark_reached<T, 2>(x, n, levels, reached);
    case 3: return mark_reached<T, 3>(x, n, levels, reached);
    default: return mark_reached<T, 4>(x, n, levels, reached);
  }
}

}  // namespace

torch::Tensor reached_entries(const torch::Tensor& positions_in, const GridConfig& cfg) {
  if (positions_in.dim() != 2) throw std::invalid_argument("hash grid: positions must be a 2-D tensor (B, D)");
  if (!positions_in.device().is_cpu())
    throw std::invalid_argument("hash grid: the compiled encoding runs on CPU tensors only");
  const int n_dims = static_cast<int>(positions_in.size(1));
  const auto levels = grid_levels(n_dims, cfg);
  const int64_t entries = levels.back().offset + levels.back().size;
  torch::Tensor reached = torch::zeros({entries}, torch::kUInt8);
  const bool dbl = positions_in.scalar_type() == torch::kDouble;
  const torch::Tensor positions = positions_in.to(dbl ? torch::kDouble : torch::kFloat).contiguous();
  if (dbl)
    mark_reached_dims(positions.data_ptr<double>(), positions.size(0), n_dims, levels, reached.data_ptr<uint8_t>());
  else
    mark_reached_dims(positions.data_ptr<float>(), positions.size(0), n_dims, levels, reached.data_ptr<uint8_t>());
  return reached.to(torch::kBool);
}

int64_t zero_unreached_entries(torch::Tensor& params, const torch::Tensor& positions, const GridConfig& cfg) {
  const torch::Tensor reached = reached_entries(positions, cfg);
  const int64_t entries = reached.numel();
  if (params.numel() != entries * cfg.n_features)
    throw std::invalid_argument("hash grid: expected " + std::to_string(entries * cfg.n_features) +
                                " parameters, got " + std::to_string(params.numel()));
  const torch::Tensor unreached = reached.logical_not();
  torch::NoGradGuard no_grad;
  params.view({entries, cfg.n_features}).index_put_({unreached}, 0);
  return unreached.sum().item<int64_t>();
}

int available_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? static_cast<int>(hw) : 1;
}

int use_available_cpus() {
  const char* env = std::getenv("OMP_NUM_THREADS");
  if (env == nullptr || *env == '\0') at::set_num_threads(available_cpus());
  return at::get_num_threads();
}

}  // namespace qelm::hashgrid
