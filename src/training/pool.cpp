#include "training/pool.h"

#include <stdexcept>
#include <string>

namespace qelm::training {

namespace {

// Points gathered per slice: the index temporaries of one slice stay a few tens of MB however
// large the super batch.
constexpr int64_t kGatherSlice = int64_t{1} << 20;

void check_settings(const PoolSettings& s) {
  if (s.chunks_in_pool <= 0)
    throw std::invalid_argument("_streaming_chunks_in_pool must be a positive number of chunks, got " +
                                std::to_string(s.chunks_in_pool));
  if (s.chunk_size <= 0)
    throw std::invalid_argument("_streaming_chunk_size must be a positive number of frames, got " +
                                std::to_string(s.chunk_size));
}

}  // namespace

int64_t whole_chunks(int64_t n_t, int64_t chunk_size) {
  return std::max<int64_t>(1, n_t / chunk_size);
}

torch::Tensor chunk_frames(const torch::Tensor& chunks, int64_t chunk_size, int64_t n_t) {
  const torch::Tensor c = chunks.to(torch::kLong).contiguous();
  std::vector<int64_t> frames;
  frames.reserve(static_cast<size_t>(c.numel() * chunk_size));
  const int64_t* p = c.data_ptr<int64_t>();
  for (int64_t i = 0; i < c.numel(); ++i) {
    const int64_t start = p[i] * chunk_size;
    const int64_t stop = std::min(start + chunk_size, n_t);
    for (int64_t f = start; f < stop; ++f) frames.push_back(f);
  }
  return torch::tensor(frames, torch::kLong);
}

void refresh_pool(PoolHost& host) {
  const PoolSettings s = host.settings();
  check_settings(s);
  const int64_t n_t = host.n_timesteps();
  const int64_t n_chunks = whole_chunks(n_t, s.chunk_size);
  const torch::Tensor chunks = host.choose_distinct(n_chunks, std::min(s.chunks_in_pool, n_chunks));
  const torch::Tensor time_indices = chunk_frames(chunks, s.chunk_size, n_t);
  host.release_pool_data();
  torch::Tensor data = host.read_frames(time_indices);
  if (data.dim() != 4 || data.size(0) != time_indices.numel())
    throw std::runtime_error("the streaming source returned frames of shape " + torch_size_repr(data.sizes()) +
                             " for " + std::to_string(time_indices.numel()) +
                             " requested frames; expected (frames, height, width, bands)");
  // 16-bit storage halves the pool; the 32-bit frames are let go as soon as they are converted.
  if (data.scalar_type() != torch::kHalf) data = data.to(torch::kHalf);
  host.store_pool(StreamingPool{data.contiguous(), time_indices, 0});
}

SuperBatch gather_pool_points(const StreamingPool& pool, const torch::Tensor& xyz,
                              const torch::Tensor& time_lut, const torch::Tensor& flat) {
  const int64_t hw = pool.data.size(1) * pool.data.size(2);
  const int64_t n_bands = pool.data.size(3);
  const int64_t n = flat.numel();
  const int64_t s_dims = xyz.size(1);
  // The time of each pool frame, looked up once: a point's time is that of its source frame.
  const torch::Tensor frame_time =
      time_lut.to(torch::kFloat).index_select(0, pool.time_indices.to(torch::kLong));
  const torch::Tensor rows = pool.data.reshape({-1, n_bands});
  const torch::Tensor xyz_f = xyz.to(torch::kFloat);
  torch::Tensor coords = torch::empty({n, s_dims + 1}, torch::kFloat);
  torch::Tensor targets = torch::empty({n, n_bands}, pool.data.options());
  for (int64_t a = 0; a < n; a += kGatherSlice) {
    const int64_t b = std::min(a + kGatherSlice, n);
    const torch::Tensor idx = flat.slice(0, a, b).to(torch::kLong);
    // pool[k, y, x, :] is row k*H*W + y*W + x of the (K*H*W, C) view.
    targets.slice(0, a, b).copy_(rows.index_select(0, idx));
    const torch::Tensor k = torch::div(idx, hw, "floor");
    const torch::Tensor spatial = idx - k * hw;
    coords.slice(0, a, b).narrow(1, 0, s_dims).copy_(xyz_f.index_select(0, spatial));
    coords.slice(0, a, b).select(1, s_dims).copy_(frame_time.index_select(0, k));
  }
  return SuperBatch{coords, targets};
}

std::optional<SuperBatch> draw_from_pool(PoolHost& host, const torch::Tensor& xyz,
                                         const torch::Tensor& time_lut, int64_t size) {
  const PoolSettings s = host.settings();
  std::optional<StreamingPool> pool = host.pool();
  if (!pool || pool->uses >= s.refresh_every) {
    pool.reset();  // the old frames must not stay alive while the new ones are read
    refresh_pool(host);
    pool = host.pool();
    if (!pool) throw std::logic_error("the streaming pool was not stored after a reload");
  }
  const torch::Tensor& data = pool->data;
  if (data.dim() != 4)
    throw std::invalid_argument("the streaming pool must have shape (frames, height, width, bands), got " +
                                torch_size_repr(data.sizes()));
  if (pool->time_indices.numel() != data.size(0))
    throw std::invalid_argument("the streaming pool holds " + std::to_string(data.size(0)) + " frames but " +
                                std::to_string(pool->time_indices.numel()) + " time indices");
  const int64_t hw = data.size(1) * data.size(2);
  const int64_t pool_size = data.size(0) * hw;
  if (pool_size == 0) return std::nullopt;
  // Pool pixels index the coordinate cache, so the pool grid must be the training grid.
  if (hw != xyz.size(0))
    throw std::invalid_argument("the streaming pool's grid " + std::to_string(data.size(1)) + " x " +
                                std::to_string(data.size(2)) + " does not match the " +
                                std::to_string(xyz.size(0)) + " pixels of the coordinate cache");
  const int64_t n_draw = std::min(size, pool_size);
  const torch::Tensor flat = host.draw_integers(pool_size, n_draw);
  SuperBatch batch = gather_pool_points(*pool, xyz, time_lut, flat);
  host.store_uses(pool->uses + 1);
  return batch;
}

PoolSampler::PoolSampler(std::shared_ptr<PoolHost> host, torch::Tensor xyz, torch::Tensor time_lut)
    : host_(std::move(host)), xyz_(std::move(xyz)), time_lut_(std::move(time_lut)) {}

std::optional<SuperBatch> PoolSampler::next(int64_t size) {
  std::optional<SuperBatch> batch = draw_from_pool(*host_, xyz_, time_lut_, size);
  // The pool comes from the whole source; an empty one means the source has no point at all.
  empty_ = !batch.has_value();
  return batch;
}

}  // namespace qelm::training
