#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "training/importance.h"
#include "training_fixtures.h"

namespace qelm::training {
namespace {

using testing::TestReporter;

TEST(Importance, PointErrorWeightsAndDraws) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const torch::Tensor preds = torch::tensor({{1.0f, 2.0f}, {0.0f, 0.0f}, {3.0f, 3.0f}});
  const torch::Tensor targets = torch::tensor({{0.0f, 0.0f}, {nan, 2.0f}, {nan, nan}});
  torch::Tensor err = per_point_error(preds, targets.to(torch::kHalf));
  // Row 0: (1 + 4) / 2; row 1: only the finite channel counts; row 2: nothing finite -> 0.
  EXPECT_TRUE(torch::allclose(err, torch::tensor({2.5f, 4.0f, 0.0f})));
  EXPECT_EQ(err.scalar_type(), torch::kFloat);
  EXPECT_TRUE(torch::allclose(error_to_weight_(err, 2.0), torch::tensor({6.25f + 1e-8f, 16.0f + 1e-8f, 1e-8f})));
  EXPECT_GT(err[2].item<float>(), 0.0f);  // a perfect point stays drawable
  torch::Tensor neg = torch::tensor({-1.0f, 4.0f});
  EXPECT_TRUE(torch::allclose(error_to_weight_(neg, 0.5), torch::tensor({1e-8f, 2.0f + 1e-8f})));

  torch::manual_seed(1);
  const torch::Tensor idx = draw_from_cdf(torch::tensor({0.0f, 1.0f, 0.0f, 3.0f, 0.0f}).cumsum(0), 40000);
  const torch::Tensor counts = torch::bincount(idx, {}, 5);
  EXPECT_EQ(counts[0].item<int64_t>() + counts[2].item<int64_t>() + counts[4].item<int64_t>(), 0);
  EXPECT_NEAR(counts[3].item<double>() / 40000.0, 0.75, 0.01);
  EXPECT_TRUE(torch::equal(draw_from_cdf(torch::tensor({2.0f}), 3), torch::zeros({3}, torch::kLong)));
}

// Watches the real corrections through the hooks: when weights are refreshed and after which
// uniform steps a correction step ran.
class Watch : public CorrectionSteps {
 public:
  void setup_in_memory(RunState& run, const CubeTensors& cube, const StridedPasses* passes) override {
    inner.setup_in_memory(run, cube, passes);
  }
  void after_uniform_step(RunState& run, int64_t uniform_step) override {
    const int64_t step = run.optimizer_step, refreshes = inner.refreshes();
    inner.after_uniform_step(run, uniform_step);
    if (inner.refreshes() > refreshes) refreshed_at.push_back(uniform_step);
    if (run.optimizer_step > step) corrected_after.push_back(uniform_step);
  }
  void setup_stream(RunState& run) override { inner.setup_stream(run); }
  void on_pool(RunState& run, const torch::Tensor& c, const torch::Tensor& t, int64_t done) override {
    inner.on_pool(run, c, t, done);
    pools.push_back(done);
    weighted_pools += inner.pool_cdf().defined();
  }
  void after_pool_step(RunState& run) override {
    const int64_t step = run.optimizer_step;
    inner.after_pool_step(run);
    pool_corrections += run.optimizer_step > step;
  }
  void end_loop() override { inner.end_loop(), ++ends; }
  ImportanceSampling inner;
  std::vector<int64_t> refreshed_at, corrected_after, pools;
  int64_t weighted_pools = 0, pool_corrections = 0, ends = 0;
};

// A one-epoch fit with importance sampling on, watched through the correction hooks.
struct ImportanceRig : testing::FitRig {
  std::shared_ptr<Watch> watch = std::make_shared<Watch>();
  explicit ImportanceRig(TrainingSet d = testing::tiny_cube(), int64_t bands = 2) : FitRig(std::move(d), bands) {
    opts.importance_sampling = true;
    opts.epochs = 1;
    corrections = watch;
  }
};

TEST(Importance, InMemoryRefreshAndCorrectionSchedule) {
  // One million valid points in batches of 1000: exactly 1000 uniform steps in one epoch.
  ImportanceRig rig(testing::tiny_cube(4, 500, 500, 1, 0.0), 1);
  rig.opts.batch_size = 1000;
  rig.opts.imp_refresh_epochs = Num(0.2);
  ASSERT_TRUE(rig.run());
  EXPECT_TRUE(rig.out.has_line("Total Steps: 1000 uniform + 62 importance (Batch Size: 1000, 1 complete pass(es)/epoch)"));
  EXPECT_TRUE(rig.out.has_line("  [importance] ON: uniform warmup 500 steps (50%), then +12.5% error^1.0 "
                               "correction steps; refresh every 200 uniform steps"));
  EXPECT_EQ(rig.watch->refreshed_at, (std::vector<int64_t>{500, 700, 900}));
  // The budget reaches 1.0 after eight post-warm-up steps: 500..507.
  ASSERT_EQ(rig.watch->corrected_after.size(), 62u);
  for (size_t k = 0; k < 62; ++k) EXPECT_EQ(rig.watch->corrected_after[k], 507 + 8 * static_cast<int64_t>(k));
  EXPECT_EQ(rig.net.calls.load(), 1000 + 62 + 3 * 1000);  // uniform, corrections, three weight passes
  EXPECT_EQ(rig.out.bar_log.back(), "close: 1062");
  EXPECT_EQ(rig.watch->ends, 1);
}

// The device cannot hold the index and weights.
class NoRoom : public ImportanceSampling {
 protected:
  void reserve_device_buffers(RunState&, const torch::Tensor&) override {
    TORCH_CHECK_WITH(OutOfMemoryError, false, "CUDA out of memory.");
  }
};

TEST(Importance, UniformWithoutAFractionOrWithoutRoom) {
  ImportanceRig off;
  off.env.importance_extra_frac = "0";
  ASSERT_TRUE(off.run());
  EXPECT_TRUE(off.out.has_line_starting("Total Steps: 2005 uniform + 0 importance"));
  EXPECT_FALSE(off.out.has_line_starting("  [importance]"));
  EXPECT_EQ(off.net.calls.load(), 2005);  // no weight pass either

  // No room for the in-memory index: the run trains uniformly and says why.
  ImportanceRig small;
  auto no_room = std::make_shared<NoRoom>();
  small.corrections = no_room;
  ASSERT_TRUE(small.run());
  EXPECT_FALSE(no_room->in_memory_on());
  EXPECT_TRUE(small.out.has_line("  [importance] index/weights don't fit VRAM -> uniform sampling"));
  EXPECT_FALSE(small.out.has_line_starting("  [importance] ON"));
  EXPECT_EQ(small.net.calls.load(), 2005);
}

TEST(Importance, StreamedCorrectionsPerPool) {
  // 4 x 20 x 20 points, streamed: a super batch is one whole pass of 1600 points, 4 steps of 400.
  ImportanceRig rig(testing::tiny_cube(4, 20, 20, 1, 0.0), 1);
  rig.env.stream_threshold_gb = "0";
  rig.opts.batch_size = 400;
  ASSERT_TRUE(rig.run());
  EXPECT_TRUE(rig.out.has_line("Total Steps: 2008 uniform + 125 importance (Batch Size: 400, 502 complete pass(es)/epoch)"));
  EXPECT_TRUE(rig.out.has_line("  [importance] ON (streaming, per-pool): uniform warmup 1004 steps (50%), then "
                               "error^1.0 correction within each pool (+12.5% steps)"));
  // Pools arrive after 0, 4, ..., 2004 uniform steps; those from 1004 on are weighted, and a
  // correction follows every eighth of their 1004 uniform steps (the budget spans pools).
  ASSERT_EQ(rig.watch->pools.size(), 502u);
  EXPECT_EQ(rig.watch->pools.back(), 2004);
  EXPECT_EQ(rig.watch->weighted_pools, 251);
  EXPECT_EQ(rig.watch->pool_corrections, 125);
  EXPECT_EQ(rig.net.calls.load(), 2008 + 125 + 251 * 4);  // uniform, corrections, pool error passes
  EXPECT_EQ(rig.out.bar_log.back(), "close: 2133");
}

}  // namespace
}  // namespace qelm::training
