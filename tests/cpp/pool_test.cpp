#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "training/pool.h"
#include "training_fixtures.h"

namespace qelm::training {
namespace {

using testing::grid_xyz;

// A source whose band 0 holds each value's frame index and band 1 its pixel index (both exact
// in float16 for these sizes), read as float32 like a float32 compressor's source.
class FakeHost : public PoolHost {
 public:
  FakeHost(int64_t T, int64_t H, int64_t W) : T_(T), H_(H), W_(W) {}
  PoolSettings settings() override { return s; }
  int64_t n_timesteps() override { return T_; }
  torch::Tensor read_frames(const torch::Tensor& ti) override {
    log.push_back("read " + std::to_string(ti.numel()));
    ++reads;
    if (frames_override.defined()) return frames_override;
    torch::Tensor frame = ti.to(torch::kFloat).view({-1, 1, 1, 1}).expand({ti.numel(), H_, W_, 1});
    torch::Tensor pixel = torch::arange(H_ * W_, torch::kFloat).view({1, H_, W_, 1}).expand({ti.numel(), H_, W_, 1});
    return torch::cat({frame, pixel}, 3);
  }
  torch::Tensor choose_distinct(int64_t n, int64_t k) override {
    log.push_back("choose " + std::to_string(n) + " " + std::to_string(k));
    return torch::randperm(n, torch::kLong).slice(0, 0, k);
  }
  torch::Tensor draw_integers(int64_t high, int64_t count) override { return torch::randint(high, {count}, torch::kLong); }
  std::optional<StreamingPool> pool() override { return stored; }
  void store_pool(const StreamingPool& p) override { stored = p; }
  void store_uses(int64_t uses) override { stored->uses = uses; }
  void release_pool_data() override {
    log.push_back("release");
    if (stored) stored->data = torch::Tensor();
  }

  PoolSettings s;
  std::optional<StreamingPool> stored;
  std::vector<std::string> log;
  int64_t reads = 0;
  torch::Tensor frames_override;

 private:
  int64_t T_, H_, W_;
};

// A time table unlike any pool position: frame f has time 0.5 + 0.01 f.
torch::Tensor time_table(int64_t T) { return 0.5 + 0.01 * torch::arange(T, torch::kFloat); }

std::vector<int64_t> as_vector(const torch::Tensor& t) {
  torch::Tensor c = t.to(torch::kLong).contiguous();
  return std::vector<int64_t>(c.data_ptr<int64_t>(), c.data_ptr<int64_t>() + c.numel());
}

// Every row of a super batch must agree with the source: frame -> time column, pixel -> xyz.
void expect_consistent(const SuperBatch& b, const torch::Tensor& xyz, const torch::Tensor& lut) {
  ASSERT_TRUE(b.targets.scalar_type() == torch::kHalf && b.targets.is_contiguous());
  const torch::Tensor frame = b.targets.select(1, 0).to(torch::kLong);
  const torch::Tensor pixel = b.targets.select(1, 1).to(torch::kLong);
  EXPECT_TRUE(torch::equal(b.coords.select(1, 2), lut.index_select(0, frame)));
  EXPECT_TRUE(torch::equal(b.coords.slice(1, 0, 2), xyz.index_select(0, pixel)));
}

TEST(StreamingPool, WholeChunksMakeThePool) {
  EXPECT_EQ(as_vector(chunk_frames(torch::tensor({1, 0}), 3, 7)), (std::vector<int64_t>{3, 4, 5, 0, 1, 2}));
  torch::manual_seed(3);
  FakeHost host(5 * 24 + 3, 2, 3);  // 5 whole chunks, 3 frames left over
  refresh_pool(host);
  // The old frames go before the new ones are read, so the two never share memory.
  EXPECT_EQ(host.log, (std::vector<std::string>{"choose 5 5", "release", "read 120"}));
  const StreamingPool& p = *host.stored;
  EXPECT_EQ(p.uses, 0);
  EXPECT_EQ(p.data.sizes(), (std::vector<int64_t>{120, 2, 3, 2}));
  // All 5 chunks, each a run of consecutive frames from a chunk boundary, and the stored frames
  // are the ones the indices name.
  const std::vector<int64_t> ti = as_vector(p.time_indices);
  std::set<int64_t> starts;
  for (size_t i = 0; i < ti.size(); i += 24) {
    starts.insert(ti[i]);
    for (size_t j = 1; j < 24; ++j) EXPECT_EQ(ti[i + j], ti[i] + static_cast<int64_t>(j));
  }
  EXPECT_EQ(starts, (std::set<int64_t>{0, 24, 48, 72, 96}));
  EXPECT_TRUE(torch::equal(p.data.select(3, 0).select(2, 0).select(1, 0).to(torch::kLong), p.time_indices));

  // A series shorter than a chunk is one chunk of all its frames.
  FakeHost short_series(10, 2, 3);
  refresh_pool(short_series);
  EXPECT_EQ(as_vector(short_series.stored->time_indices), as_vector(torch::arange(10)));
}

TEST(StreamingPool, SuperBatchesCarryTheirSourceFrameTimes) {
  torch::manual_seed(5);
  const int64_t T = 50, H = 4, W = 5;
  FakeHost host(T, H, W);
  host.s.chunks_in_pool = 1;
  const torch::Tensor xyz = grid_xyz(H, W), lut = time_table(T);
  auto b = draw_from_pool(host, xyz, lut, 100);
  ASSERT_TRUE(b);
  expect_consistent(*b, xyz, lut);
  // A request beyond the pool draws pool-size points (with replacement).
  auto big = draw_from_pool(host, xyz, lut, 1000000);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->coords.size(0), 24 * H * W);

  // Slices of the gather meet correctly in a super batch larger than one slice.
  StreamingPool p = *host.stored;
  const torch::Tensor flat = torch::randint(24 * H * W, {(int64_t{1} << 20) + 37}, torch::kLong);
  SuperBatch large = gather_pool_points(p, xyz, lut, flat);
  expect_consistent(large, xyz, lut);
  EXPECT_TRUE(torch::equal(large.targets, p.data.reshape({-1, 2}).index_select(0, flat)));
}

TEST(StreamingPool, ReloadsAfterRefreshEverySuperBatchesAndOutlivesTheSampler) {
  torch::manual_seed(7);
  auto host = std::make_shared<FakeHost>(72, 3, 3);
  const torch::Tensor xyz = grid_xyz(3, 3), lut = time_table(72);
  {
    PoolSampler sampler(host, xyz, lut);
    for (int call = 1; call <= 16; ++call) {
      ASSERT_TRUE(sampler.next(10));
      EXPECT_EQ(host->stored->uses, call);
    }
    EXPECT_EQ(host->reads, 1);
    ASSERT_TRUE(sampler.next(10));  // the 17th call reloads
    EXPECT_EQ(host->reads, 2);
    EXPECT_EQ(host->stored->uses, 1);
    EXPECT_FALSE(sampler.exhausted());
  }
  // A later run's sampler keeps using the stored pool until it has served its share.
  PoolSampler again(host, xyz, lut);
  for (int call = 0; call < 15; ++call) ASSERT_TRUE(again.next(10));
  EXPECT_EQ(host->reads, 2);
  ASSERT_TRUE(again.next(10));
  EXPECT_EQ(host->reads, 3);
  // A tuned cadence.
  host->s.refresh_every = 2;
  host->stored->uses = 0;
  for (int call = 0; call < 6; ++call) ASSERT_TRUE(again.next(10));
  EXPECT_EQ(host->reads, 5);
}

TEST(StreamingPool, RefusesBadKnobsMismatchedGridsAndOddSources) {
  FakeHost host(30, 2, 2);
  const torch::Tensor lut = time_table(30);
  host.s.chunks_in_pool = 0;
  EXPECT_THROW(refresh_pool(host), std::invalid_argument);
  host.s = PoolSettings{};
  // The pool's pixels index the coordinate cache, so its grid must be the training grid.
  EXPECT_THROW(draw_from_pool(host, grid_xyz(3, 2), lut, 8), std::invalid_argument);
  host.stored.reset();
  host.frames_override = torch::zeros({5, 2, 2, 1});
  EXPECT_THROW(refresh_pool(host), std::runtime_error);

  // No pixel at all: nothing to draw, and the sampler says so for good.
  PoolSampler sampler(std::make_shared<FakeHost>(30, 0, 4), torch::zeros({0, 2}), lut);
  EXPECT_FALSE(sampler.next(8));
  EXPECT_TRUE(sampler.exhausted());
}

}  // namespace
}  // namespace qelm::training
