#include <gtest/gtest.h>

#include "training/driver.h"
#include "training_fixtures.h"

namespace qelm::training {
namespace {

using testing::FitRig;

TEST(Fit, NothingToTrainAndSetupRefusals) {
  FitRig rig;
  rig.data.mask = torch::zeros_like(rig.data.mask);
  EXPECT_FALSE(rig.run());
  EXPECT_EQ(rig.out.lines.back(), "Warning: No valid pixels found! Skipping training.");
  // Every point counted as valid, none sampled: in memory the run is skipped...
  rig.opts.force_zero_training = true;
  rig.out.lines.clear();
  EXPECT_FALSE(rig.run());
  EXPECT_EQ(rig.out.lines.back(), "Warning: No valid pixels found! Skipping training.");
  // ...streamed, the producer can make no pool and the run ends with an error, not a hang.
  rig.env.stream_threshold_gb = "0";
  EXPECT_THROW(rig.run(), ProducerError);
  EXPECT_TRUE(rig.out.has_line("Producer Thread Error: no valid training point to sample"));
  EXPECT_EQ(rig.net.calls.load(), 0);

  FitRig zero;
  zero.opts.epochs = 0;
  EXPECT_TRUE(zero.run());
  EXPECT_EQ(zero.net.calls.load(), 0);
  EXPECT_EQ(zero.out.lines.back(), "Training Done.");

  // Setup refusals come before any training.
  FitRig s2;
  s2.opts.loss_type = "S2_SR";
  s2.opts.batch_size = 1001;
  EXPECT_THROW(s2.run(), std::invalid_argument);
  EXPECT_TRUE(s2.out.has_line("Warning: Batch size adjusted to 1000 for S2_SR mode."));
  EXPECT_EQ(s2.net.calls.load(), 0);
}

TEST(Fit, SeededRunsRepeatInMemoryAndStreamed) {
  for (const char* threshold : {"100", "0"}) {
    auto weights = [&](uint64_t seed, int64_t steps) {
      FitRig rig;
      rig.env.stream_threshold_gb = threshold;
      rig.opts.seed = seed;
      rig.opts.steps = steps;
      rig.opts.importance_sampling = true;  // corrections draw on the training thread too
      {
        torch::NoGradGuard g;  // the same starting weights whatever ran before
        torch::manual_seed(3);
        for (auto& p : rig.net.parameters()) p.uniform_(-0.3, 0.3);
      }
      EXPECT_TRUE(rig.run());
      EXPECT_TRUE(rig.out.has_line_starting("Total Steps: " + std::to_string(steps) + " uniform + "));
      std::vector<torch::Tensor> w;
      for (auto& p : rig.net.parameters()) w.push_back(p.detach().clone().reshape({-1}));
      return torch::cat(w);
    };
    const torch::Tensor a = weights(5, 40);
    EXPECT_TRUE(torch::equal(a, weights(5, 40))) << threshold;
    EXPECT_FALSE(torch::equal(a, weights(6, 40))) << threshold;
  }
}

TEST(Fit, BoundLossNeedsItsBound) {
  FitRig rig;
  rig.opts.loss_type = "BOUND";
  EXPECT_NE(testing::thrown<std::invalid_argument>([&] { rig.run(); }).find("give error_bound"), std::string::npos);
  EXPECT_EQ(rig.net.calls.load(), 0);
  rig.opts.error_bound = torch::tensor({0.01, 0.02}, torch::kFloat64);
  rig.opts.steps = 30;
  EXPECT_TRUE(rig.run());
  EXPECT_TRUE(rig.out.has_line_starting("Using bound Loss (errors near and above E = [0.01 0.02]"));
}

TEST(Fit, HashGroupRateOnlyWhenItDiffers) {
  FitRig rig;
  rig.opts.epochs = 1;
  rig.opts.lr_hash = Num(0.02);
  ASSERT_TRUE(rig.run());
  EXPECT_EQ(rig.out.lines[0], "Training Start: epochs=1, LR_hash=0.02 / LR_mlp=0.01 (Device: cpu)");
  EXPECT_EQ(rig.split_calls, 1);
  rig.opts.lr_hash = Num(0.01, "0.010");
  ASSERT_TRUE(rig.run());
  EXPECT_EQ(rig.split_calls, 1);
  EXPECT_TRUE(rig.out.has_line("Training Start: epochs=1, LR=0.01 (Device: cpu)"));
}

TEST(Fit, EarlyStopOnAPlateau) {
  for (const char* threshold : {"100", "0"}) {
    FitRig rig;
    rig.net.frozen = true;  // the loss cannot improve
    rig.opts.epochs = 5;
    rig.opts.batch_size = 128;  // one batch is one whole pass: every epoch has the same mean
    rig.opts.early_stop = true;
    rig.opts.early_stop_warmup_epochs = Num(0, "0");
    rig.opts.early_stop_patience = Num(1, "1");
    rig.env.stream_threshold_gb = threshold;
    ASSERT_TRUE(rig.run());
    EXPECT_EQ(rig.out.lines.back(), "Training Done (early stopped at epoch 2 of 5).");
    const std::string mode = std::string(threshold) == "0" ? "Stream" : "In-Memory";
    EXPECT_TRUE(testing::has_entry(rig.out.bar_log, "desc: Training (" + mode + ")  [early stop @ epoch 2 ema=", true))
        << mode;
    EXPECT_EQ(rig.net.calls.load(), 2 * 401);  // two epochs of 401 single-batch steps
  }
}

TEST(Fit, ProducerFailureAndInterruptEndTheRunWithoutAThread) {
  FitRig rig;
  rig.data.has_streaming_source = true;
  rig.data.values = rig.data.mask = torch::Tensor();
  // A host that attaches a source but supplies no sampler for it is a wiring fault.
  EXPECT_THROW(rig.run(), std::logic_error);
  rig.source = [](const CubeTensors&) {
    auto failing = std::make_unique<testing::CountingSampler>();
    failing->fail_at = 0;
    failing->delay_ms = 20;
    return failing;
  };
  const int64_t threads_before = testing::thread_count();
  EXPECT_EQ(testing::thrown<ProducerError>([&] { rig.run(); }), "Producer Thread Error: disk vanished");
  EXPECT_TRUE(rig.out.has_line("Force Streaming Mode: zarr_streaming source detected."));
  EXPECT_EQ(testing::thread_count(), threads_before);

  // A user interrupt stops either loop at the next step.
  for (const char* threshold : {"100", "0"}) {
    FitRig r;
    r.env.stream_threshold_gb = threshold;
    r.out.interrupt_after = 10;
    EXPECT_THROW(r.run(), std::runtime_error);
    EXPECT_LE(r.net.calls.load(), 10);
    EXPECT_EQ(testing::thread_count(), threads_before);
  }
}

}  // namespace
}  // namespace qelm::training
