#include <gtest/gtest.h>

#include <ATen/Parallel.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "hashgrid.h"

namespace qelm::hashgrid {
namespace {

torch::Tensor random_positions(int64_t n, int D, uint64_t seed, double lo = -0.1, double hi = 1.1) {
  torch::manual_seed(seed);
  return torch::rand({n, D}, torch::kDouble) * (hi - lo) + lo;
}

struct ThreadCount {
  int saved = at::get_num_threads();
  explicit ThreadCount(int n) { at::set_num_threads(n); }
  ~ThreadCount() { at::set_num_threads(saved); }
};

TEST(HashGridInputs, RejectsUnsupportedSettingsAndMismatchedInputs) {
  for (const auto& [dims, cfg] : std::vector<std::pair<int, GridConfig>>{
           {5, {2, 2, 10, 16, 2.0}}, {0, {2, 2, 10, 16, 2.0}}, {2, {0, 2, 10, 16, 2.0}}, {2, {2, 2, 31, 16, 2.0}},
           {2, {2, 2, 10, 0, 2.0}}, {2, {2, 2, 10, 16, 0.0}}, {2, {2, 2, 10, 16, std::nan("")}}})
    EXPECT_THROW(grid_levels(dims, cfg), std::invalid_argument) << dims;
  const auto cfg = GridConfig{2, 2, 8, 4, 2.0};
  auto params = torch::zeros({grid_n_params(2, cfg)}, torch::kFloat);
  auto x = torch::rand({4, 2});
  EXPECT_THROW(encode_forward(x.to(torch::kDouble), params, cfg), std::invalid_argument);
  EXPECT_THROW(encode_forward(torch::rand({4}), params, cfg), std::invalid_argument);
  EXPECT_THROW(encode_forward(x.to(torch::kHalf), params.to(torch::kHalf), cfg), std::invalid_argument);
  EXPECT_EQ(encode_forward(torch::rand({0, 2}), params, cfg).sizes(), (std::vector<int64_t>{0, 4}));
}

TEST(HashGridIndex, DenseAndHashedIndicesMatchHandValues) {
  GridLevel dense;
  dense.resolution = 16;
  dense.size = 256;
  uint32_t v[4] = {3, 5}, edge[2] = {16, 15}, wrapped[2] = {0xFFFFFFFFu, 4};
  EXPECT_EQ(grid_index(v, 2, dense), 83u);     // 3 + 5 * 16
  EXPECT_EQ(grid_index(edge, 2, dense), 0u);   // a vertex one past the grid wraps like the GPU
  GridLevel hashed;
  hashed.hashed = true;
  hashed.size = 8;
  EXPECT_EQ(grid_index(v, 2, hashed), 6u);  // (3 ^ 5 * 2654435761 mod 2^32) mod 8
  hashed.size = 1024;
  EXPECT_EQ(grid_index(wrapped, 2, hashed), 315u);
  EXPECT_EQ(vertex_of(-1.0), 0xFFFFFFFFu);
  EXPECT_EQ(vertex_of(std::nan("")), 0u);
  EXPECT_EQ(vertex_of(std::numeric_limits<double>::infinity()), 0u);
}

TEST(HashGridForward, InterpolatesHandComputedValues) {
  // One level, base 2: scale 1, resolution 2, 8 entries; entry k holds (k, 10k).
  const auto cfg = GridConfig{1, 2, 10, 2, 2.0};
  auto params = (torch::arange(8, torch::kDouble).unsqueeze(1) * torch::tensor({1.0, 10.0}, torch::kDouble)).flatten();
  auto x = torch::tensor({0.25, 0.5, 1.0, 1.0}, torch::kDouble).view({2, 2});
  // (0.25, 0.5) -> p (0.75, 1.0): vertex (0, 1) weight 0.25 (entry 2), (1, 1) 0.75 (entry 3).
  // (1, 1) -> p (1.5, 1.5): corners (1,1), (2,1), (1,2), (2,2) -> entries 3, 4, 5, 6.
  const auto want = torch::tensor({2.75, 27.5, 4.5, 45.0}, torch::kDouble).view({2, 2});
  EXPECT_TRUE(torch::allclose(encode_forward(x, params, cfg), want, 1e-15, 1e-15));
}

TEST(HashGridBackward, DeterministicAndIndependentOfChunking) {
  // One level and two threads: the batch is split into chunks with private buffers. Points
  // outside [0, 1] take the wrapped-vertex path too.
  const auto cfg = GridConfig{1, 2, 10, 64, 2.0};
  const int64_t n_params = grid_n_params(2, cfg);
  auto x = random_positions(20000, 2, 9);
  torch::manual_seed(10);
  auto g = torch::randn({20000, 2}, torch::kDouble);
  auto params = torch::zeros({n_params}, torch::kDouble);
  torch::Tensor serial;
  {
    ThreadCount one(1);
    serial = encode_backward(g, x, params, cfg, false, true).params;
  }
  ThreadCount two(2);
  auto a = encode_backward(g, x, params, cfg, false, true).params;
  auto b = encode_backward(g, x, params, cfg, false, true).params;
  EXPECT_TRUE(torch::equal(a, b));
  EXPECT_TRUE(torch::allclose(a, serial, 1e-12, 1e-12));

  // Many levels in float32: repeated runs are bit-identical.
  const auto big = GridConfig{8, 2, 12, 8, 1.6};
  auto xf = random_positions(30000, 3, 11, 0.0, 1.0).to(torch::kFloat);
  auto gf = torch::randn({30000, 16});
  auto pf = torch::zeros({grid_n_params(3, big)});
  auto r1 = encode_backward(gf, xf, pf, big, true, true);
  auto r2 = encode_backward(gf, xf, pf, big, true, true);
  EXPECT_TRUE(torch::equal(r1.params, r2.params));
  EXPECT_TRUE(torch::equal(r1.positions, r2.positions));
}

TEST(HashGridReach, UnreachedEntriesAreFreeAndZeroedOnly) {
  // Space-time points at three frames only: the dense levels' other time slices are never read.
  for (auto st : {torch::kFloat, torch::kDouble}) {
    const auto cfg = GridConfig{4, 2, 12, 3, 1.8};
    auto xy = random_positions(500, 2, 3, 0.0, 1.0);
    auto t = torch::tensor({0.0, 0.4, 1.0}, torch::kDouble).repeat_interleave(500 / 3 + 1).slice(0, 0, 500);
    auto x = torch::cat({xy, t.unsqueeze(1)}, 1).to(st);
    torch::manual_seed(9);
    auto params = torch::randn({grid_n_params(3, cfg)}, st);
    const torch::Tensor reached = reached_entries(x, cfg);
    ASSERT_EQ(reached.numel() * cfg.n_features, params.numel());
    const int64_t n_unreached = reached.logical_not().sum().item<int64_t>();
    EXPECT_GT(n_unreached, reached.numel() / 4);
    // Every entry the backward touches with a non-zero weight is among the reached ones.
    auto g = encode_backward(torch::ones({500, 8}, st), x, params, cfg, false, true).params;
    auto touched = g.view({-1, cfg.n_features}).ne(0).any(1);
    EXPECT_FALSE((touched & reached.logical_not()).any().item<bool>());
    auto zeroed = params.clone();
    EXPECT_EQ(zero_unreached_entries(zeroed, x, cfg), n_unreached);
    auto rows = zeroed.view({-1, cfg.n_features});
    EXPECT_TRUE(rows.index({reached.logical_not()}).eq(0).all().item<bool>());
    EXPECT_TRUE(torch::equal(rows.index({reached}), params.view({-1, cfg.n_features}).index({reached})));
    // The encoding of the points is unchanged, bit for bit.
    EXPECT_TRUE(torch::equal(encode_forward(x, params, cfg), encode_forward(x, zeroed, cfg)));
  }
  // Points everywhere reach every entry but the padding of the coarse level's table: its 3 x 3
  // vertices (one past the grid included) index entries 0..6 of 8.
  const auto small = GridConfig{2, 2, 6, 2, 2.0};
  const torch::Tensor all = reached_entries(random_positions(20000, 2, 4, -0.1, 1.1), small);
  EXPECT_EQ(all.numel(), 8 + 16);
  const torch::Tensor missing = all.logical_not().nonzero().reshape({-1});
  ASSERT_EQ(missing.numel(), 1);
  EXPECT_EQ(missing.item<int64_t>(), 7);
  auto wrong = torch::zeros({3});
  EXPECT_THROW(zero_unreached_entries(wrong, random_positions(4, 2, 1), small), std::invalid_argument);
}

}  // namespace
}  // namespace qelm::hashgrid
