// Which valid points of the cube make up each batch, and how a set of flat point positions
// becomes network inputs and targets. Points are addressed by one flat frame-major position
// p = frame * spatial_size + pixel.
//
// A pass is a pseudo-random permutation of the valid points, p_k = (offset + k * stride) mod n
// with gcd(stride, n) = 1, so every valid point is visited exactly once per pass without
// storing a permutation.
#pragma once

#include <torch/torch.h>

#include <optional>
#include <utility>

namespace qelm::training {

// A stride for a pass over n elements: 1 when n <= 2, otherwise a random integer in
// (n/4, n) coprime with n (at most 128 draws, then 1). Uses `gen`, or the global generator.
int64_t rand_coprime_stride(int64_t n, const c10::optional<at::Generator>& gen = c10::nullopt);

// A host generator seeded by one draw from the global generator: a thread that samples on its
// own (the streamed loop's producer) draws from it, so its numbers do not depend on how its
// draws interleave with the training thread's, and a seeded run repeats exactly.
at::Generator derived_cpu_generator();

// The ascending flat positions whose mask entry is true, int32 when every position fits below
// 2^31 (total_pixels < 2^31), int64 otherwise.
torch::Tensor valid_positions(const torch::Tensor& mask, int64_t total_pixels);

// Positions k = cur .. cur + take - 1 of the pass (offset, stride) over n elements:
// (offset + k * stride) mod n, as int64; exact as long as take * n stays below 2^63.
torch::Tensor pass_selection(int64_t offset, int64_t stride, int64_t cur, int64_t take, int64_t n);

// Successive batches of strided passes over an index of valid positions.
class StridedPasses {
 public:
  StridedPasses() = default;
  // Passes open with draws from `gen`, or from the global generator when it is absent.
  explicit StridedPasses(torch::Tensor valid_pos, c10::optional<at::Generator> gen = c10::nullopt);
  // Passes over the true entries of `mask`. When most entries are true the index holds the
  // false ones instead: a mostly valid cube then costs next to nothing beyond its values, and
  // the batches are those of the constructor above over valid_positions(mask), position for
  // position.
  static StridedPasses over_mask(const torch::Tensor& mask, int64_t total_pixels,
                                 c10::optional<at::Generator> gen = c10::nullopt);

  int64_t size() const { return n_; }
  // Every valid position, ascending (formed on demand when the index holds the invalid ones).
  torch::Tensor positions() const;
  // Bytes the index holds.
  int64_t index_bytes() const;
  // The next at most `batch` positions (host, in the index's element type), opening a new pass
  // when the current one is used up. The last batch of a pass is short. Requires size() > 0.
  torch::Tensor next(int64_t batch);

  // Current pass state, for inspection.
  int64_t cursor() const { return cur_; }
  int64_t offset() const { return offset_; }
  int64_t stride() const { return stride_; }

 private:
  // Valid position of each rank in `ranks` (int64).
  torch::Tensor at_ranks(const torch::Tensor& ranks) const;

  torch::Tensor pos_;   // ascending valid positions; undefined when gaps_ is the index
  torch::Tensor gaps_;  // inv[i] - i over the ascending invalid positions inv: valid points before each
  torch::ScalarType dtype_ = torch::kInt;
  int64_t n_ = 0;
  int64_t cur_ = 0;
  int64_t offset_ = 0;
  int64_t stride_ = 1;
  c10::optional<at::Generator> gen_;
};

// The training cube on one device: values (N, C), mask (N), spatial coordinates (H*W, S) and
// the time table (T).
struct CubeTensors {
  torch::Tensor values;
  torch::Tensor mask;
  torch::Tensor xyz;
  torch::Tensor time_lut;
  int64_t spatial_size = 0;
  int64_t total_pixels = 0;
};

// Network inputs (B, S + 1: spatial coordinates, then the frame's time) and targets (B, C) of
// the points at the int64 flat positions `indices`, gathered on the cube's device.
std::pair<torch::Tensor, torch::Tensor> gather_batch(const CubeTensors& cube,
                                                     const torch::Tensor& indices);

// Sampling with replacement: `count` uniform positions in [0, total_pixels) drawn on the
// cube's device (from `gen` when given), keeping only the valid ones (the batch shrinks; it
// may be empty).
torch::Tensor draw_with_replacement(const CubeTensors& cube, int64_t count,
                                    const c10::optional<at::Generator>& gen = c10::nullopt);

// ---- host super batches ------------------------------------------------------------------------

// Many training batches' worth of inputs and targets, prepared on the host.
struct SuperBatch {
  torch::Tensor coords;   // (n, S + 1) float32
  torch::Tensor targets;  // (n, C)
};

// The producer thread's source of super batches. Implementations keep their own sampling state
// and are called from the producer thread only.
class SuperBatchSampler {
 public:
  virtual ~SuperBatchSampler() = default;
  // About `size` points, or nothing when no point could be drawn this time.
  virtual std::optional<SuperBatch> next(int64_t size) = 0;
  // True once the sampler knows it will never produce a batch (there is no valid point).
  virtual bool exhausted() const { return false; }
};

// Super batches from a cube held in host memory: strided passes over the valid points, built
// lazily on the first call; sampling with replacement when the index cannot be allocated. Its
// draws come from its own generator (derived_cpu_generator, taken at construction).
class StandardSampler : public SuperBatchSampler {
 public:
  // `cube` holds host tensors (time_lut: the host copy of the time table).
  explicit StandardSampler(CubeTensors cube);
  std::optional<SuperBatch> next(int64_t size) override;
  bool exhausted() const override;

  bool fallback() const { return fallback_; }
  const StridedPasses& passes() const { return passes_; }

 private:
  CubeTensors cube_;
  at::Generator gen_;
  StridedPasses passes_;
  bool built_ = false;
  bool fallback_ = false;
};

}  // namespace qelm::training
