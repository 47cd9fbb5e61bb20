#include <gtest/gtest.h>

#include "residuals.h"

namespace qelm {
namespace {

// A cube whose "network" reproduces the targets exactly except for planted errors, so every
// residual and metric is known in closed form. Inputs carry the row index in column 0.
struct Planted {
  EvalInputs in;
  torch::Tensor err;  // (rows, columns), added to the normalised targets by the network
};

Planted make(int64_t T, int64_t cells, int64_t cols, int64_t n_bands, double scale) {
  Planted p;
  auto& in = p.in;
  in.T = T, in.cells = cells, in.n_bands = n_bands;
  in.values = torch::randint(0, 8, {T * cells, cols}).to(torch::kFloat32) / 8;  // exact in float32
  in.mask = torch::ones({T * cells}, torch::kBool);
  in.xyz = torch::arange(cells, torch::kFloat32).unsqueeze(1);  // column 0 = cell
  in.time_lut = torch::arange(T, torch::kFloat32);
  in.dmin.assign(cols, -5.0);
  in.scale.assign(cols, scale);
  p.err = torch::zeros({T * cells, cols});
  in.forward = [values = in.values, err = p.err, cells](const torch::Tensor& coords) {
    auto row = (coords.select(1, 1) * cells + coords.select(1, 0)).round().to(torch::kInt64);
    return values.index_select(0, row) + err.index_select(0, row);
  };
  return p;
}

TEST(ResidualTrack, DeadZoneIndicesAndMetrics) {
  auto p = make(/*T=*/2, /*cells=*/3, /*cols=*/4, /*bands=*/4, /*scale=*/8.0);
  // physical error = err * 8; residual = truth - reconstruction = -err * 8
  p.err[0][2] = -0.0625f;  // pixel 0, band 2: residual +0.5, exactly the threshold -> stored
  p.err[1][0] = 0.025f;    // pixel 1, band 0: residual -0.2, inside the dead zone
  p.err[4][3] = 0.375f;    // pixel 4, band 3: residual -3
  p.in.mask[5] = false;  // never scanned, whatever its error
  p.err[5][1] = 1.0f;
  CaptureReporter rep;
  auto track = compute_residual_track(p.in, std::vector<double>(4, 0.5), /*batch=*/4, rep);
  EXPECT_TRUE(torch::equal(track.idx, torch::tensor({2, 4 * 4 + 3}, torch::kLong)));
  EXPECT_TRUE(torch::equal(track.val, torch::tensor({0.5f, -3.0f})));
  EXPECT_EQ(rep.lines, (std::vector<std::string>{" -> Outlier escape track: 2 values (8.3333% of pixels)"}));
  auto model = finalize_metrics(track.model).value();
  auto resid = finalize_metrics(track.residual).value();
  EXPECT_EQ(model[0].n_valid, 5);
  EXPECT_NEAR(model[3].max, 3.0, 1e-5);
  EXPECT_NEAR(model[3].rmse, std::sqrt(9.0 / 5), 1e-5);
  EXPECT_NEAR(resid[0].max, 0.2, 1e-5);  // never above the threshold
  EXPECT_EQ(resid[3].max, 0.0);
  EXPECT_NEAR(resid[0].mae, 0.2 / 5, 1e-6);
}

TEST(ResidualTrack, ZeroThresholdNonFiniteAndAllInvalid) {
  auto p = make(1, 4, 1, 1, 1.0);
  p.err[2][0] = 0.25f;
  p.in.values[1][0] = NAN;  // non-finite residuals are neither stored nor counted
  CaptureReporter rep;
  auto track = compute_residual_track(p.in, {0.0}, 1 << 20, rep);
  EXPECT_TRUE(torch::equal(track.idx, torch::tensor({2}, torch::kLong)));  // zero threshold: any non-zero
  EXPECT_EQ(finalize_metrics(track.model).value()[0].n_valid, 3);

  p.in.mask.fill_(false);
  CaptureReporter quiet;
  track = compute_residual_track(p.in, {0.1}, 3, quiet);
  EXPECT_EQ(track.idx.numel(), 0);
  EXPECT_EQ(track.idx.scalar_type(), torch::kInt64);
  EXPECT_FALSE(finalize_metrics(track.model).has_value());
  EXPECT_TRUE(quiet.lines.empty());
}

TEST(SampledMetrics, FramesSpreadOverTheSeries) {
  EXPECT_EQ(sample_frames(1, 24), (std::vector<int64_t>{0}));
  EXPECT_EQ(sample_frames(5, 9), (std::vector<int64_t>{0, 1, 2, 3, 4}));  // 0.5 rounds to 0, 1.5 to 2
  auto f = sample_frames(100, 24);
  ASSERT_EQ(f.size(), 24u);
  EXPECT_EQ(f.back(), 99);
  EXPECT_EQ(f[1], 4);    // 99/23 = 4.30
  EXPECT_EQ(f[12], 52);  // 12*99/23 = 51.65
}

}  // namespace
}  // namespace qelm
