// Out-of-core training input: a host pool of randomly chosen time chunks of a streaming source,
// reloaded every few super batches, from which super batches of random points are drawn.
//
// The pool and its counters belong to the compressor (they outlive a training run), the frames
// come from the source, and the random numbers from the host's array library. PoolHost is that
// boundary: the module implements it over the compressor's attributes, the streaming source and
// NumPy's global generator; tests implement it in plain C++. Everything else (which frames make
// a pool, when it is reloaded, how a draw becomes network inputs and targets) lives here.
#pragma once

#include <torch/torch.h>

#include <memory>
#include <optional>
#include <vector>

#include "common.h"
#include "training/sampling.h"

namespace qelm::training {

// Tuning knobs of the pool.
struct PoolSettings {
  int64_t chunks_in_pool = 32;  // K: time chunks held at once
  int64_t chunk_size = 24;      // frames per time chunk
  int64_t refresh_every = 16;   // super batches drawn from one pool before it is reloaded
};

// The pool as it is stored.
struct StreamingPool {
  torch::Tensor data;          // (K_steps, H, W, C) host, float16 when this code loaded it
  torch::Tensor time_indices;  // (K_steps) int64: the source frame of each pool frame
  int64_t uses = 0;            // super batches drawn from it so far
};

class PoolHost {
 public:
  virtual ~PoolHost() = default;
  virtual PoolSettings settings() = 0;
  // Frames of the source.
  virtual int64_t n_timesteps() = 0;
  // Frames `time_indices` (int64, any order) as a host tensor (len, H, W, C) of normalised values.
  virtual torch::Tensor read_frames(const torch::Tensor& time_indices) = 0;
  // `k` distinct integers of [0, n) in draw order.
  virtual torch::Tensor choose_distinct(int64_t n, int64_t k) = 0;
  // `count` integers of [0, high), with replacement (int64).
  virtual torch::Tensor draw_integers(int64_t high, int64_t count) = 0;
  // The stored pool, if any.
  virtual std::optional<StreamingPool> pool() = 0;
  virtual void store_pool(const StreamingPool& pool) = 0;
  virtual void store_uses(int64_t uses) = 0;
  // Lets go of the stored pool's frames before a reload reads the next ones, so the two never
  // occupy memory together. The default keeps them.
  virtual void release_pool_data() {}
};

// Frames of the chunks `chunks` (in that order) of a series of `n_t` frames cut into chunks of
// `chunk_size`; a series shorter than one chunk is one chunk.
torch::Tensor chunk_frames(const torch::Tensor& chunks, int64_t chunk_size, int64_t n_t);

// Whole chunks of a series of `n_t` frames (at least 1).
int64_t whole_chunks(int64_t n_t, int64_t chunk_size);

// Reloads the pool: min(K, whole chunks) distinct chunks drawn at random, their frames read
// and stored as float16 with the use count reset.
void refresh_pool(PoolHost& host);

// One super batch of at most `size` points drawn uniformly with replacement from the pool,
// reloading it first when it is missing or has served `refresh_every` super batches. `xyz` is
// the spatial coordinate cache (H*W, S) and `time_lut` the host time table (T). Nothing when
// the pool holds no point.
std::optional<SuperBatch> draw_from_pool(PoolHost& host, const torch::Tensor& xyz,
                                         const torch::Tensor& time_lut, int64_t size);

// Inputs and targets of the pool points at flat positions `flat` (int64, into K_steps x H x W):
// coords (n, S + 1) float32 whose last column is the time of each point's source frame,
// targets (n, C) in the pool's type. Gathered in slices to bound the temporaries.
SuperBatch gather_pool_points(const StreamingPool& pool, const torch::Tensor& xyz,
                              const torch::Tensor& time_lut, const torch::Tensor& flat);

// The producer's sampler for a streaming source.
class PoolSampler : public SuperBatchSampler {
 public:
  PoolSampler(std::shared_ptr<PoolHost> host, torch::Tensor xyz, torch::Tensor time_lut);
  std::optional<SuperBatch> next(int64_t size) override;
  bool exhausted() const override { return empty_; }

 private:
  std::shared_ptr<PoolHost> host_;
  torch::Tensor xyz_;
  torch::Tensor time_lut_;
  bool empty_ = false;
};

}  // namespace qelm::training
