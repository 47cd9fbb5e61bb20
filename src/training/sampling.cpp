#include "training/sampling.h"

#include <ATen/CPUGeneratorImpl.h>
#include <c10/util/Exception.h>

#include <algorithm>
#include <limits>
#include <new>
#include <numeric>

namespace qelm::training {

namespace {
int64_t draw_below(int64_t high, const c10::optional<at::Generator>& gen) {
  return torch::randint(high, {1}, gen, torch::kLong).item<int64_t>();
}
}  // namespace

int64_t rand_coprime_stride(int64_t n, const c10::optional<at::Generator>& gen) {
  if (n <= 2) return 1;
  const int64_t low = n / 4 + 1;
  for (int attempt = 0; attempt < 128; ++attempt) {
    const int64_t s = torch::randint(low, n, {1}, gen, torch::kLong).item<int64_t>();
    if (std::gcd(s, n) == 1) return s;
  }
  return 1;
}

namespace {
// The ascending flat positions whose entry of `flat` equals `want`, in `dtype`. Filled slice by
// slice so that the 8-byte positions of nonzero() exist for one slice at a time.
torch::Tensor positions_where(const torch::Tensor& flat, bool want, int64_t count, torch::ScalarType dtype) {
  torch::Tensor out = torch::empty({count}, flat.options().dtype(dtype));
  constexpr int64_t kSlice = int64_t{1} << 20;
  int64_t filled = 0;
  for (int64_t start = 0; start < flat.numel(); start += kSlice) {
    const int64_t stop = std::min(start + kSlice, flat.numel());
    const torch::Tensor part = flat.slice(0, start, stop);
    torch::Tensor nz = torch::nonzero(want ? part : part.logical_not()).squeeze(1);
    if (nz.numel() == 0) continue;
    nz.add_(start);
    out.slice(0, filled, filled + nz.numel()).copy_(nz);
    filled += nz.numel();
  }
  return out;
}

torch::ScalarType index_dtype(int64_t total_pixels) {
  return total_pixels < (int64_t{1} << 31) ? torch::kInt : torch::kLong;
}

int64_t count_true(const torch::Tensor& flat) {
  constexpr int64_t kSlice = int64_t{1} << 20;
  int64_t count = 0;
  for (int64_t start = 0; start < flat.numel(); start += kSlice)
    count += flat.slice(0, start, std::min(start + kSlice, flat.numel())).sum().item<int64_t>();
  return count;
}
}  // namespace

torch::Tensor valid_positions(const torch::Tensor& mask, int64_t total_pixels) {
  const torch::Tensor flat = mask.reshape({-1}).to(torch::kBool);
  return positions_where(flat, true, count_true(flat), index_dtype(total_pixels));
}

torch::Tensor pass_selection(int64_t offset, int64_t stride, int64_t cur, int64_t take, int64_t n) {
  // The cur * stride part is reduced on the host in 128-bit arithmetic, and the per-element
  // step j * stride in the tensor only spans one batch: with billions of valid points the
  // plain product (cur + j) * stride overflows int64.
  const int64_t base =
      static_cast<int64_t>((static_cast<__int128>(offset) + static_cast<__int128>(cur) * stride) % n);
  const torch::Tensor j = torch::arange(take, torch::kLong);
  return (j * (stride % n) + base).remainder(n);
}

StridedPasses::StridedPasses(torch::Tensor valid_pos, c10::optional<at::Generator> gen)
    : pos_(std::move(valid_pos)), dtype_(pos_.scalar_type()), n_(pos_.numel()), cur_(n_), gen_(std::move(gen)) {}

StridedPasses StridedPasses::over_mask(const torch::Tensor& mask, int64_t total_pixels,
                                       c10::optional<at::Generator> gen) {
  const torch::Tensor flat = mask.reshape({-1}).to(torch::kBool);
  const int64_t valid = count_true(flat), invalid = flat.numel() - valid;
  const torch::ScalarType dtype = index_dtype(total_pixels);
  if (valid <= invalid) return StridedPasses(positions_where(flat, true, valid, dtype), std::move(gen));
  StridedPasses p;
  // Rank r is the valid position r + #{i : inv[i] - i <= r}: each invalid point before it
  // moves it one place on.
  p.gaps_ = positions_where(flat, false, invalid, dtype);
  if (invalid > 0) p.gaps_.sub_(torch::arange(invalid, p.gaps_.options()));
  p.dtype_ = dtype;
  p.n_ = valid;
  p.cur_ = valid;
  p.gen_ = std::move(gen);
  return p;
}

torch::Tensor StridedPasses::at_ranks(const torch::Tensor& ranks) const {
  if (pos_.defined()) return pos_.index_select(0, ranks);
  if (gaps_.numel() == 0) return ranks.to(dtype_);
  const torch::Tensor r = ranks.to(dtype_);
  const torch::Tensor before = torch::searchsorted(gaps_, r, /*out_int32=*/dtype_ == torch::kInt, /*right=*/true);
  return r + before;
}

torch::Tensor StridedPasses::positions() const {
  if (pos_.defined()) return pos_;
  return at_ranks(torch::arange(n_, torch::kLong));
}

int64_t StridedPasses::index_bytes() const {
  const torch::Tensor& t = pos_.defined() ? pos_ : gaps_;
  return t.defined() ? t.numel() * static_cast<int64_t>(t.element_size()) : 0;
}

torch::Tensor StridedPasses::next(int64_t batch) {
  TORCH_CHECK(n_ > 0, "a strided pass needs at least one valid point");
  if (cur_ >= n_) {
    cur_ = 0;
    offset_ = draw_below(n_, gen_);
    stride_ = rand_coprime_stride(n_, gen_);
  }
  const int64_t take = std::min(n_ - cur_, batch);
  const torch::Tensor sel = pass_selection(offset_, stride_, cur_, take, n_);
  cur_ += take;
  return at_ranks(sel);
}

std::pair<torch::Tensor, torch::Tensor> gather_batch(const CubeTensors& cube,
                                                     const torch::Tensor& indices) {
  const torch::Tensor targets = cube.values.index_select(0, indices);
  const torch::Tensor file_idx = torch::div(indices, cube.spatial_size, "floor");
  const torch::Tensor spatial_idx = indices.remainder(cube.spatial_size);
  const torch::Tensor s_coords = cube.xyz.index_select(0, spatial_idx);
  const torch::Tensor t_coords = cube.time_lut.index_select(0, file_idx).unsqueeze(-1);
  return {torch::cat({s_coords, t_coords}, -1), targets};
}

torch::Tensor draw_with_replacement(const CubeTensors& cube, int64_t count,
                                    const c10::optional<at::Generator>& gen) {
  const torch::Tensor indices =
      torch::randint(cube.total_pixels, {count}, gen, cube.mask.options().dtype(torch::kLong));
  return indices.masked_select(cube.mask.index_select(0, indices));
}

// ---- host super batches ------------------------------------------------------------------------

at::Generator derived_cpu_generator() {
  const int64_t seed = torch::randint(std::numeric_limits<int64_t>::max(), {1}, torch::kLong).item<int64_t>();
  return at::make_generator<at::CPUGeneratorImpl>(static_cast<uint64_t>(seed));
}

StandardSampler::StandardSampler(CubeTensors cube) : cube_(std::move(cube)), gen_(derived_cpu_generator()) {}

bool StandardSampler::exhausted() const { return built_ && !fallback_ && passes_.size() == 0; }

std::optional<SuperBatch> StandardSampler::next(int64_t size) {
  if (!built_ && !fallback_) {
    try {
      passes_ = StridedPasses::over_mask(cube_.mask, cube_.total_pixels, gen_);
      built_ = true;
    } catch (const std::bad_alloc&) {
      fallback_ = true;
    } catch (const c10::Error&) {
      // The host allocator reports exhaustion as a tensor-library error.
      fallback_ = true;
    }
  }
  torch::Tensor indices;
  if (fallback_) {
    indices = draw_with_replacement(cube_, size, gen_);
    if (indices.numel() == 0) return std::nullopt;
  } else {
    if (passes_.size() == 0) return std::nullopt;
    indices = passes_.next(size).to(torch::kLong);
  }
  auto [coords, targets] = gather_batch(cube_, indices);
  return SuperBatch{std::move(coords), std::move(targets)};
}

}  // namespace qelm::training
