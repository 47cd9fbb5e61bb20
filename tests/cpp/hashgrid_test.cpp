#include <gtest/gtest.h>

#include <ATen/Parallel.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "hashgrid.h"

namespace qelm::hashgrid {
namespace {

GridConfig config(int levels, int features, int log2, int base, double scale) {
  GridConfig c;
  c.n_levels = levels;
  c.n_features = features;
  c.log2_hashmap_size = log2;
  c.base_resolution = base;
  c.per_level_scale = scale;
  return c;
}

// Straightforward scalar encoding, one point and one corner at a time.
std::vector<double> naive_encode(const std::vector<double>& x, int D, const std::vector<double>& p,
                                 const GridConfig& cfg) {
  const auto levels = grid_levels(D, cfg);
  const int F = cfg.n_features;
  const size_t n = x.size() / D;
  std::vector<double> out(n * cfg.n_levels * F, 0.0);
  for (size_t i = 0; i < n; ++i) {
    for (int l = 0; l < cfg.n_levels; ++l) {
      const auto& lv = levels[l];
      uint32_t base[4];
      double frac[4];
      for (int d = 0; d < D; ++d) {
        const double pos = x[i * D + d] * static_cast<double>(lv.scale) + 0.5;
        base[d] = vertex_of(std::floor(pos));
        frac[d] = pos - std::floor(pos);
      }
      for (int c = 0; c < (1 << D); ++c) {
        uint32_t v[4];
        double w = 1.0;
        for (int d = 0; d < D; ++d) {
          const bool up = (c >> d) & 1;
          v[d] = base[d] + (up ? 1u : 0u);
          w *= up ? frac[d] : 1.0 - frac[d];
        }
        const uint32_t idx = grid_index(v, D, lv);
        for (int f = 0; f < F; ++f)
          out[(i * cfg.n_levels + l) * F + f] += w * p[(lv.offset + idx) * F + f];
      }
    }
  }
  return out;
}

torch::Tensor random_positions(int64_t n, int D, uint64_t seed, double lo = -0.1,
                               double hi = 1.1) {
  torch::manual_seed(seed);
  return torch::rand({n, D}, torch::kDouble) * (hi - lo) + lo;
}

std::vector<double> to_vec(const torch::Tensor& t) {
  auto c = t.contiguous();
  return std::vector<double>(c.data_ptr<double>(), c.data_ptr<double>() + c.numel());
}

struct ThreadCount {
  int saved = at::get_num_threads();
  explicit ThreadCount(int n) { at::set_num_threads(n); }
  ~ThreadCount() { at::set_num_threads(saved); }
};

TEST(HashGridLayout, LevelsMatchHandComputedTables) {
  // base 16, scale 2, 2^10 entries in 2-D: 16^2 and 32^2 fit densely, 64^2 is hashed.
  auto lv = grid_levels(2, config(3, 2, 10, 16, 2.0));
  ASSERT_EQ(lv.size(), 3u);
  EXPECT_FLOAT_EQ(lv[0].scale, 15.f);
  EXPECT_EQ(lv[0].resolution, 16u);
  EXPECT_EQ(lv[0].size, 256u);
  EXPECT_FALSE(lv[0].hashed);
  EXPECT_EQ(lv[1].resolution, 32u);
  EXPECT_EQ(lv[1].size, 1024u);
  EXPECT_EQ(lv[1].offset, 256);
  EXPECT_FALSE(lv[1].hashed);  // exactly fills the table: still dense
  EXPECT_EQ(lv[2].resolution, 64u);
  EXPECT_EQ(lv[2].size, 1024u);
  EXPECT_EQ(lv[2].offset, 1280);
  EXPECT_TRUE(lv[2].hashed);
  EXPECT_EQ(grid_n_params(2, config(3, 2, 10, 16, 2.0)), 4608);

  // 1-D, base 4, scale 1.5: tables round up to multiples of 8; scale 12.5 -> resolution 14.
  auto one = grid_levels(1, config(4, 1, 4, 4, 1.5));
  EXPECT_EQ(one[0].resolution, 4u);
  EXPECT_EQ(one[0].size, 8u);
  EXPECT_EQ(one[1].resolution, 6u);
  EXPECT_EQ(one[2].resolution, 9u);
  EXPECT_EQ(one[2].size, 16u);
  EXPECT_FLOAT_EQ(one[3].scale, 12.5f);
  EXPECT_EQ(one[3].resolution, 14u);
  EXPECT_EQ(one[3].offset, 32);
  EXPECT_EQ(grid_n_params(1, config(4, 1, 4, 4, 1.5)), 48);
}

TEST(HashGridLayout, RejectsUnsupportedSettings) {
  EXPECT_THROW(grid_levels(5, config(2, 2, 10, 16, 2.0)), std::invalid_argument);
  EXPECT_THROW(grid_levels(0, config(2, 2, 10, 16, 2.0)), std::invalid_argument);
  EXPECT_THROW(grid_levels(2, config(0, 2, 10, 16, 2.0)), std::invalid_argument);
  EXPECT_THROW(grid_levels(2, config(2, 2, 31, 16, 2.0)), std::invalid_argument);
  EXPECT_THROW(grid_levels(2, config(2, 2, 10, 0, 2.0)), std::invalid_argument);
  EXPECT_THROW(grid_levels(2, config(2, 2, 10, 16, 0.0)), std::invalid_argument);
  EXPECT_THROW(grid_levels(2, config(2, 2, 10, 16, std::nan(""))), std::invalid_argument);
}

TEST(HashGridIndex, DenseAndHashedIndicesMatchHandValues) {
  GridLevel dense;
  dense.resolution = 16;
  dense.size = 256;
  uint32_t v[4] = {3, 5};
  EXPECT_EQ(grid_index(v, 2, dense), 83u);  // 3 + 5 * 16
  uint32_t edge[2] = {16, 15};               // vertex one past the grid wraps like the GPU
  EXPECT_EQ(grid_index(edge, 2, dense), 0u);

  GridLevel hashed;
  hashed.hashed = true;
  hashed.size = 8;
  EXPECT_EQ(grid_index(v, 2, hashed), 6u);  // (3 ^ 5 * 2654435761 mod 2^32) mod 8
  hashed.size = 1024;
  uint32_t wrapped[2] = {0xFFFFFFFFu, 4};
  EXPECT_EQ(grid_index(wrapped, 2, hashed), 315u);
  hashed.size = 4096;
  uint32_t v3[3] = {7, 2, 9};
  EXPECT_EQ(grid_index(v3, 3, hashed), 1880u);
  hashed.size = 64;
  uint32_t v4[4] = {1, 2, 3, 4};
  EXPECT_EQ(grid_index(v4, 4, hashed), 8u);

  EXPECT_EQ(vertex_of(5.0), 5u);
  EXPECT_EQ(vertex_of(-1.0), 0xFFFFFFFFu);
  EXPECT_EQ(vertex_of(std::nan("")), 0u);
  EXPECT_EQ(vertex_of(std::numeric_limits<double>::infinity()), 0u);
}

TEST(HashGridForward, InterpolatesHandComputedValues) {
  // One level, base 2: scale 1, resolution 2, 8 entries; entry k holds (k, 10k).
  const auto cfg = config(1, 2, 10, 2, 2.0);
  auto params = torch::zeros({16}, torch::kDouble);
  for (int k = 0; k < 8; ++k) {
    params[2 * k] = k;
    params[2 * k + 1] = 10 * k;
  }
  auto x = torch::tensor({0.25, 0.5, 1.0, 1.0}, torch::kDouble).view({2, 2});
  auto out = encode_forward(x, params, cfg);
  // (0.25, 0.5) -> p (0.75, 1.0): vertex (0, 1) weight 0.25 (entry 2), (1, 1) weight 0.75
  // (entry 3).
  EXPECT_DOUBLE_EQ(out[0][0].item<double>(), 2.75);
  EXPECT_DOUBLE_EQ(out[0][1].item<double>(), 27.5);
  // (1, 1) -> p (1.5, 1.5): corners (1,1), (2,1), (1,2), (2,2) -> entries 3, 4, 5, 6.
  EXPECT_DOUBLE_EQ(out[1][0].item<double>(), 4.5);
}

TEST(HashGridForward, MatchesScalarReferenceInEveryDimension) {
  for (int D = 1; D <= 4; ++D) {
    for (int F : {1, 2, 4}) {
      const auto cfg = config(5, F, 9, 3, 1.8);  // dense coarse levels, hashed fine ones
      const int64_t n_params = grid_n_params(D, cfg);
      torch::manual_seed(D * 10 + F);
      auto params = torch::randn({n_params}, torch::kDouble);
      auto x = random_positions(300, D, D + 100 * F);
      auto got = to_vec(encode_forward(x, params, cfg));
      auto want = naive_encode(to_vec(x), D, to_vec(params), cfg);
      ASSERT_EQ(got.size(), want.size());
      for (size_t i = 0; i < got.size(); ++i)
        ASSERT_NEAR(got[i], want[i], 1e-12) << "D=" << D << " F=" << F << " i=" << i;
    }
  }
  // float32 agrees with the double computation on float-representable inputs, up to the
  // rounding of the grid position (about 1e-7 of the finest scale, 124).
  const auto cfg = config(6, 2, 12, 4, 2.0);
  auto params = torch::randn({grid_n_params(3, cfg)}).to(torch::kDouble);
  auto x = random_positions(500, 3, 7, 0.0, 1.0).to(torch::kFloat).to(torch::kDouble);
  auto d = encode_forward(x, params, cfg);
  auto f = encode_forward(x.to(torch::kFloat), params.to(torch::kFloat), cfg);
  EXPECT_LT((f.to(torch::kDouble) - d).abs().max().item<double>(), 1e-4);
}

TEST(HashGridForward, RejectsMismatchedInputs) {
  const auto cfg = config(2, 2, 8, 4, 2.0);
  auto params = torch::zeros({grid_n_params(2, cfg)}, torch::kFloat);
  auto x = torch::rand({4, 2});
  EXPECT_THROW(encode_forward(x, torch::zeros({3}), cfg), std::invalid_argument);
  EXPECT_THROW(encode_forward(x.to(torch::kDouble), params, cfg), std::invalid_argument);
  EXPECT_THROW(encode_forward(torch::rand({4, 5}), params, cfg), std::invalid_argument);
  EXPECT_THROW(encode_forward(torch::rand({4}), params, cfg), std::invalid_argument);
  EXPECT_THROW(encode_forward(x.to(torch::kHalf), params.to(torch::kHalf), cfg),
               std::invalid_argument);
  EXPECT_EQ(encode_forward(torch::rand({0, 2}), params, cfg).sizes(),
            (std::vector<int64_t>{0, 4}));
}

TEST(HashGridBackward, PositionGradientMatchesFiniteDifferences) {
  for (int D = 1; D <= 4; ++D) {
    const auto cfg = config(3, 2, 8, 3, 1.5);
    torch::manual_seed(D);
    auto params = torch::randn({grid_n_params(D, cfg)}, torch::kDouble);
    auto x = random_positions(40, D, 50 + D, 0.05, 0.95);
    auto g = torch::randn({40, 6}, torch::kDouble);
    auto grads = encode_backward(g, x, params, cfg, true, false);
    EXPECT_FALSE(grads.params.defined());
    const double h = 1e-7;
    for (int64_t i = 0; i < 40; ++i) {
      for (int d = 0; d < D; ++d) {
        auto xp = x.clone();
        auto xm = x.clone();
        xp[i][d] += h;
        xm[i][d] -= h;
        const double fd = ((encode_forward(xp, params, cfg) - encode_forward(xm, params, cfg)) * g)
                              .sum()
                              .item<double>() /
                          (2 * h);
        ASSERT_NEAR(grads.positions[i][d].item<double>(), fd, 1e-5 * (1 + std::abs(fd)))
            << "D=" << D << " point " << i << " dim " << d;
      }
    }
  }
}

TEST(HashGridBackward, DeterministicAndIndependentOfChunking) {
  // One level and two threads: the batch is split into chunks with private buffers.
  const auto cfg = config(1, 2, 10, 64, 2.0);
  const int64_t n_params = grid_n_params(2, cfg);
  auto x = random_positions(20000, 2, 9, 0.0, 1.0);
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
  const auto big = config(8, 2, 12, 8, 1.6);
  auto xf = random_positions(30000, 3, 11, 0.0, 1.0).to(torch::kFloat);
  auto gf = torch::randn({30000, 16});
  auto pf = torch::zeros({grid_n_params(3, big)});
  auto r1 = encode_backward(gf, xf, pf, big, true, true);
  auto r2 = encode_backward(gf, xf, pf, big, true, true);
  EXPECT_TRUE(torch::equal(r1.params, r2.params));
  EXPECT_TRUE(torch::equal(r1.positions, r2.positions));
}

TEST(HashGridAutograd, BackwardThroughAutogradMatchesDirectGradients) {
  const auto cfg = config(4, 2, 9, 4, 2.0);
  torch::manual_seed(12);
  auto params = torch::randn({grid_n_params(3, cfg)}, torch::kDouble).requires_grad_();
  auto x = random_positions(64, 3, 13).requires_grad_();
  auto out = encode(x, params, cfg);
  ASSERT_TRUE(out.requires_grad());
  auto g = torch::randn_like(out);
  out.backward(g);
  auto direct = encode_backward(g, x.detach(), params.detach(), cfg, true, true);
  EXPECT_TRUE(torch::allclose(params.grad(), direct.params, 0, 0));
  EXPECT_TRUE(torch::allclose(x.grad(), direct.positions, 0, 0));

  // Frozen positions: no position gradient is produced.
  auto x2 = random_positions(8, 3, 14);
  params.mutable_grad().zero_();
  encode(x2, params, cfg).sum().backward();
  EXPECT_GT(params.grad().abs().sum().item<double>(), 0.0);
}

}  // namespace
}  // namespace qelm::hashgrid
