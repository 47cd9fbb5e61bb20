#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "training/losses.h"
#include "training_fixtures.h"

namespace qelm::training {
namespace {

const double kNaN = std::nan("");

torch::Tensor t2(std::vector<std::vector<double>> rows) {
  std::vector<torch::Tensor> r;
  for (auto& row : rows) r.push_back(torch::tensor(row, torch::kFloat));
  return torch::stack(r);
}

double item(const torch::Tensor& t) { return t.item<double>(); }

TEST(Losses, MaskedMseIgnoresNonFiniteTargets) {
  EXPECT_FLOAT_EQ(item(criterion_mse(t2({{2, 5}}), t2({{1, kNaN}}))), 1.0f);
  // A row without any finite target contributes 0 but still counts in the mean.
  EXPECT_FLOAT_EQ(item(criterion_mse(t2({{9, 9}, {1, 1}}), t2({{kNaN, kNaN}, {0, 0}}))), 0.5f);
  EXPECT_FLOAT_EQ(item(criterion_mse(t2({{1, 3}}), t2({{0, INFINITY}}))), 1.0f);
  // The masked entries must not poison the gradient either.
  torch::Tensor p = t2({{2, 5}, {1, 1}}).requires_grad_();
  criterion_mse(p, t2({{1, kNaN}, {kNaN, kNaN}})).backward();
  EXPECT_TRUE(torch::equal(p.grad(), t2({{1, 0}, {0, 0}})));  // d/dp of (p-1)^2 / 1 row-mean over 2 rows
}

TEST(Losses, RelativeSpectralAndCombinedExamples) {
  EXPECT_NEAR(item(relative_mse(t2({{0.05}}), t2({{0}}), 0.05)), 1.0, 1e-6);
  // Above the floor the target's own magnitude scales the error.
  EXPECT_NEAR(item(relative_mse(t2({{1.5}}), t2({{1.0}}), 0.05)), 0.25, 1e-6);
  // Two bands: both floors 0.05. Three bands: the third gets 0.03.
  EXPECT_NEAR(item(relative_mse_b3(t2({{0.05, 0.05}}), t2({{0, 0}}))), 1.0, 1e-6);
  EXPECT_NEAR(item(relative_mse_b3(t2({{0.05, 0.05, 0.03}}), t2({{0, 0, 0}}))), 1.0, 1e-6);
  EXPECT_NEAR(item(band_weighted_mse(t2({{1, 1}}), t2({{0, 0}}), torch::tensor({0.5, 1.5}, torch::kFloat))), 1.0, 1e-6);
  EXPECT_NEAR(item(training::l1_loss(t2({{1, -1}}), t2({{0, 0}}))), 1.0, 1e-6);
  // Non-finite targets propagate in the losses that do not mask.
  EXPECT_TRUE(std::isnan(item(relative_mse(t2({{1}}), t2({{kNaN}}), 0.05))));

  // The cosine is clamped below 1, so identical spectra keep a small positive angle.
  EXPECT_NEAR(item(sam_loss(t2({{1, 2, 3}}), t2({{1, 2, 3}}))), std::acos(0.9999999f), 1e-4);
  const torch::Tensor p = t2({{1, 0}}), t = t2({{0, 1}});
  EXPECT_NEAR(item(sam_loss(p, t)), M_PI / 2, 1e-5);
  EXPECT_NEAR(item(mse_sam_loss(p, t)), item(criterion_mse(p, t)) + 0.01 * (M_PI / 2), 1e-5);
  // Channel 0 plus 5 x channel 1, each masked on its own.
  EXPECT_NEAR(item(mse_lai_fpar_loss(t2({{1, 1, 7}, {0, 2, 7}}), t2({{0, 0, 0}, {kNaN, 1, 0}}))),
              (1.0 + 0.0) / 2 + 5 * (1.0 + 1.0) / 2, 1e-5);
}

TEST(Losses, BoundLossCountsErrorsNearAndAboveTheBound) {
  const torch::Tensor e = torch::tensor({0.1, 0.2}, torch::kFloat);
  const double inside = std::log1p(0.1 * std::log1p(std::exp(-5.0)));  // r = 0: almost nothing
  // (error, expected penalty of a column with E = 0.1): log(1 + (r - 0.5)) beyond the knee.
  for (const auto& [err, expect, tol] : std::vector<std::tuple<double, double, double>>{
           {0.0, inside, 1e-6}, {0.3, std::log(3.5), 1e-4}, {-0.3, std::log(3.5), 1e-4},
           {0.05, std::log1p(0.1 * std::log(2.0)), 1e-6}, {10.0, std::log(100.5), 1e-3}}) {
    const double v = item(bound_loss(t2({{err, 0.0}}), t2({{0.0, 0.0}}), e));
    // The second column's error is 0: it adds the inside penalty, and the row averages the two.
    EXPECT_NEAR(v, (expect + inside) / 2, tol) << err;
  }
  // Each column uses its own bound: the same error is 4 E in one band and 2 E in the other.
  EXPECT_NEAR(item(bound_loss(t2({{0.4, 0.4}}), t2({{0, 0}}), e)), (std::log(4.5) + std::log(2.5)) / 2, 1e-4);
  // A NaN target is left out of the value and of the gradient; an all-NaN row counts as 0.
  torch::Tensor p = t2({{0.3, 5.0}, {1.0, 1.0}}).requires_grad_();
  const torch::Tensor loss = bound_loss(p, t2({{0.0, kNaN}, {kNaN, kNaN}}), e);
  EXPECT_NEAR(item(loss), std::log(3.5) / 2, 1e-4);
  loss.backward();
  EXPECT_TRUE(torch::isfinite(p.grad()).all().item<bool>());
  EXPECT_NEAR(p.grad()[0][0].item<double>(), 10.0 / 3.5 / 2, 1e-3);  // (1 / E) / (1 + r - knee), over 2 rows
  EXPECT_EQ(p.grad()[0][1].item<double>(), 0.0);
}

TEST(Losses, BindingByNameAndRejection) {
  CaptureReporter out;
  const BoundLoss b = bind_loss("MSE_REL03", std::nullopt, out);
  EXPECT_EQ(out.lines.back(), "Using relative MSE Loss (min scale 0.03).");
  EXPECT_NEAR(item(b.fn(t2({{0.05}}), t2({{0}}), 0, torch::Tensor())), std::pow(0.05 / 0.03, 2), 1e-5);
  EXPECT_FALSE(b.rrmse_scale);
  for (const auto& bound : {torch::Tensor(), torch::tensor({0.0}), torch::tensor({std::nan("")})})
    EXPECT_THROW(bind_loss("BOUND", std::nullopt, out, bound), std::invalid_argument);
  const BoundLoss bl = bind_loss("BOUND", std::nullopt, out, torch::tensor({0.25}, torch::kFloat64));
  EXPECT_EQ(out.lines.back(), "Using bound Loss (errors near and above E = [0.25] of the normalised range).");
  EXPECT_NEAR(item(bl.fn(t2({{1.0}}), t2({{0.0}}), 0, torch::Tensor())), std::log(4.5), 1e-4);
  for (const char* bad : {"SAM", "S2_SR", "mse", "MSE "}) {
    const std::string msg = testing::thrown<std::invalid_argument>([&] { bind_loss(bad, std::nullopt, out); });
    EXPECT_NE(msg.find(std::string("'") + bad + "'"), std::string::npos) << bad << ": " << msg;
    EXPECT_NE(msg.find("MSE_LAI_FPAR"), std::string::npos) << bad << ": " << msg;
  }
  for (const auto& [type, msg] : std::vector<std::pair<std::string, std::string>>{
           {"MSE_REL", "Using relative MSE Loss."},
           {"MSE_REL_B3_03", "Using relative MSE Loss (B3 min scale 0.03, others 0.05)."},
           {"L1", "Using L1 Loss."}, {"MSE_SAM", "Using MSE_SAM Loss."}, {"MSE_LAI_FPAR", "Using MSE_LAI_FPAR Loss."}}) {
    bind_loss(type, std::nullopt, out);
    EXPECT_EQ(out.lines.back(), msg);
  }
}

TEST(Losses, RrmseWeightsFromBandPower) {
  CaptureReporter out;
  const auto cpu = torch::Device(torch::kCPU);
  // Four bands sharing one flat (min, max) pair.
  torch::Tensor values = t2({{0.125, 0.25, 0.375, 0.5}, {0.375, 0.5, 0.625, 0.75}, {9.0, 9.0, 9.0, 9.0}});
  torch::Tensor mask = torch::tensor({true, true, false});
  const torch::Tensor range = torch::tensor({0.0, 8000.0}, torch::kFloat64);
  const RrmseWeights w = rrmse_band_weights(values, mask, range, false, false, cpu, out);
  // Physical values of band 0: 1000 and 3000 -> mean power 5e6; the masked row is left out.
  EXPECT_NEAR(item(w.band_power[0]), 5e6, 1.0);
  EXPECT_NEAR(w.scale, item((torch::full({4}, 64e6, torch::kFloat64) / w.band_power).mean()), 1e-9);
  EXPECT_NEAR(item(w.weights_cpu.mean()), 1.0, 1e-12);
  EXPECT_EQ(out.lines.back(),
            "TCNN loss: global band-wise relative MSE (power=[ 5000000. 10000000. 17000000. 26000000.]"
            ", weights=[2.014 1.007 0.592 0.387])");
  // force_zero_training counts every row, masked or not.
  EXPECT_GT(item(rrmse_band_weights(values, mask, range, false, true, cpu, out).band_power[0]), item(w.band_power[0]));
  // Per-band ranges tile over repeated band groups: 4 columns, 2 ranges.
  const torch::Tensor ranges = torch::tensor({{0.0, 1.0}, {0.0, 2.0}}, torch::kFloat64);
  const RrmseWeights tiled = rrmse_band_weights(values, mask, ranges, false, false, cpu, out);
  EXPECT_DOUBLE_EQ(item(tiled.band_power[1]), (0.5 * 0.5 + 1.0 * 1.0) / 2);
  EXPECT_DOUBLE_EQ(item(tiled.band_power[2]), (0.375 * 0.375 + 0.625 * 0.625) / 2);
  EXPECT_THROW(rrmse_band_weights(torch::rand({3, 5}), mask, ranges, false, false, cpu, out), std::invalid_argument);
  EXPECT_EQ(testing::thrown<std::invalid_argument>(
                [&] { rrmse_band_weights(torch::Tensor(), mask, range, false, false, cpu, out); }),
            "TCNN MSE_RRMSE requires materialized CPU training values");
  // Bound to the loss, the weights and scale travel with it.
  const BoundLoss b = bind_loss("MSE_RRMSE", w, out);
  ASSERT_TRUE(b.rrmse_scale);
  EXPECT_DOUBLE_EQ(*b.rrmse_scale, w.scale);
}

TEST(Losses, ArraysPrintAsNumPyDoes) {
  // Expected texts produced by numpy.array2string(a, precision=p).
  const std::vector<std::tuple<std::vector<double>, int, std::string>> cases = {
      {{0.3158123, 0.33612}, 4, "[0.3158 0.3361]"},
      {{12345678.9, 2.0}, 4, "[1.2346e+07 2.0000e+00]"},
      {{0.0001, 1.5, 2.25}, 4, "[1.00e-04 1.50e+00 2.25e+00]"},
      {{5000.0, 2.0}, 4, "[5.e+03 2.e+00]"},
      {{2.5e-05, 1.0}, 3, "[2.5e-05 1.0e+00]"},
      {{0.99999, 1.00001}, 3, "[1. 1.]"},
      {{std::nan(""), 1.5}, 4, "[nan 1.5]"},
      {{1.5, 2.25, 10.0}, 4, "[ 1.5   2.25 10.  ]"}};
  for (const auto& [v, precision, text] : cases) EXPECT_EQ(numpy_array_str(v, precision), text);
  std::vector<double> wide;
  for (int i = 0; i < 12; ++i) wide.push_back(1000.0 + i * (9e6 - 1000.0) / 11.0);
  EXPECT_EQ(numpy_array_str(wide, 4),
            "[1.0000e+03 8.1909e+05 1.6372e+06 2.4553e+06 3.2734e+06 4.0915e+06\n"
            " 4.9095e+06 5.7276e+06 6.5457e+06 7.3638e+06 8.1819e+06 9.0000e+06]");
}

}  // namespace
}  // namespace qelm::training
