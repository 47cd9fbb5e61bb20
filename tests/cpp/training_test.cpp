#include <ATen/CPUGeneratorImpl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <set>

#include "training/driver.h"
#include "training/routing.h"
#include "training/sampling.h"
#include "training/step.h"
#include "training_fixtures.h"

namespace qelm::training {
namespace {

using testing::TestReporter;
using testing::TinyNet;

// A device with a chosen amount of memory.
struct FakeCuda : DeviceInfo {
  FakeCuda(int64_t free_bytes, int64_t total_bytes) : free_(free_bytes), total_(total_bytes) {}
  bool cuda_available() override { return true; }
  std::pair<int64_t, int64_t> mem_get_info() override { return {free_, total_}; }
  void empty_cache() override {}
  int64_t free_, total_;
};

// ---- gradient scaler and schedule ---------------------------------------------------------------

bool scaled_step(GradScaler& scaler, torch::optim::Optimizer& opt, const torch::Tensor& loss) {
  opt.zero_grad();
  scaler.scale(loss).backward();
  const bool stepped = scaler.step(opt);
  scaler.update();
  return stepped;
}

TEST(GradScaler, NonFiniteGradientSkipsThatStepAndHalvesTheScale) {
  torch::Tensor w = torch::ones({2}).requires_grad_();
  torch::optim::SGD opt({w}, torch::optim::SGDOptions(0.1));
  GradScaler scaler(true);
  EXPECT_EQ(scaler.get_scale(), 65536.0);
  // Clean step: the gradient reaches the optimizer unscaled.
  EXPECT_TRUE(scaled_step(scaler, opt, (w * torch::tensor({1.0f, 2.0f})).sum()));
  EXPECT_TRUE(torch::allclose(w, torch::tensor({0.9f, 0.8f})));
  EXPECT_EQ(scaler.growth_tracker(), 1);
  // Planted infinity: no update at all, scale halves, clean-step count restarts.
  const torch::Tensor before = w.detach().clone();
  EXPECT_FALSE(scaled_step(scaler, opt, (w * torch::tensor({INFINITY, 1.0f})).sum()));
  EXPECT_TRUE(torch::equal(w.detach(), before));
  EXPECT_EQ(scaler.get_scale(), 32768.0);
  EXPECT_EQ(scaler.growth_tracker(), 0);
  // The next clean step trains again at the smaller scale.
  EXPECT_TRUE(scaled_step(scaler, opt, w.sum()));
  EXPECT_TRUE(torch::allclose(w, before - 0.1));
}

TEST(GradScaler, GrowsAfterTheIntervalAndPassesThroughWhenDisabled) {
  torch::Tensor w = torch::ones({1}).requires_grad_();
  torch::optim::SGD opt({w}, torch::optim::SGDOptions(0.0));
  GradScaler scaler(true, 4.0, 2.0, 0.5, 3);
  for (int i = 0; i < 2; ++i) scaled_step(scaler, opt, w.sum());
  EXPECT_EQ(scaler.get_scale(), 4.0);
  opt.zero_grad();
  scaler.scale(w.sum()).backward();
  EXPECT_FLOAT_EQ(w.grad().item<float>(), 4.0f);  // scaled before step()
  scaler.step(opt);
  EXPECT_FLOAT_EQ(w.grad().item<float>(), 1.0f);  // unscaled by step()
  scaler.update();
  EXPECT_EQ(scaler.get_scale(), 8.0);
  EXPECT_EQ(scaler.growth_tracker(), 0);
  // Growth stops short of infinity.
  GradScaler huge(true, 3e38, 2.0, 0.5, 1);
  scaled_step(huge, opt, w.sum());
  EXPECT_FLOAT_EQ(static_cast<float>(huge.get_scale()), 3e38f);

  GradScaler off(false);
  EXPECT_TRUE(off.scale(w.sum() * 3).equal(w.sum() * 3));
  EXPECT_EQ(off.get_scale(), 1.0);
}

TEST(CosineSchedule, MatchesTheReferenceRecursionStepForStep) {
  // Rates of PyTorch's CosineAnnealingLR(T_max=5, eta_min=1e-4) over two groups starting at
  // 0.003 and 0.01, past T_max into the periodic continuation.
  const std::vector<double> g0 = {
      0.002723074641843674,  0.001998074641843674, 0.0011019253581563263, 0.00037692535815632633,
      0.0001,                0.0003769253581563262, 0.0011019253581563268, 0.001998074641843675,
      0.0027230746418436752, 0.0030000000000000014, 0.002723074641843676,  0.0019980746418436753};
  const std::vector<double> g1 = {
      0.00905463412215599,  0.006579634122155991, 0.0035203658778440107, 0.0010453658778440107,
      0.0001,               0.00104536587784401,  0.003520365877844011,  0.006579634122155992,
      0.009054634122155993, 0.010000000000000002, 0.009054634122155994,  0.006579634122155993};
  torch::Tensor a = torch::zeros({1}).requires_grad_(), b = torch::zeros({1}).requires_grad_();
  std::vector<torch::optim::OptimizerParamGroup> groups;
  groups.emplace_back(std::vector<torch::Tensor>{a}, std::make_unique<torch::optim::AdamOptions>(0.003));
  groups.emplace_back(std::vector<torch::Tensor>{b}, std::make_unique<torch::optim::AdamOptions>(0.01));
  torch::optim::Adam opt(std::move(groups), torch::optim::AdamOptions(0.01));
  CosineAnnealingSchedule sched(opt, 5, 1e-4);
  EXPECT_EQ(current_lr(opt), 0.003);
  for (size_t i = 0; i < g0.size(); ++i) {
    sched.step();
    EXPECT_EQ(opt.param_groups()[0].options().get_lr(), g0[i]) << "step " << i + 1;
    EXPECT_EQ(opt.param_groups()[1].options().get_lr(), g1[i]) << "step " << i + 1;
  }
}

// ---- training step and progress -----------------------------------------------------------------

TEST(TrainStep, ReferenceFrameAndAuxiliaryTerms) {
  TinyNet net{2};
  torch::optim::Adam opt{net.parameters(), torch::optim::AdamOptions(0.0)};
  GradScaler scaler{false};
  CosineAnnealingSchedule sched{opt, 10, 0.0};
  TrainStep step{net, opt, scaler, sched,
                 [](const torch::Tensor& p, const torch::Tensor& t, int64_t, const torch::Tensor&) {
                   return criterion_mse(p, t);
                 },
                 false};
  const torch::Tensor coords = torch::tensor({{0.1f, 0.2f, 0.500004f}, {0.3f, 0.4f, 0.50002f}, {0.5f, 0.6f, 0.9f}});
  const torch::Tensor targets = torch::zeros({3, 2});
  StepLosses plain = step(coords, targets, 0);
  EXPECT_TRUE(plain.total.equal(plain.main));
  EXPECT_FALSE(plain.total.requires_grad());

  // The extra term the step added to the main loss.
  auto extra = [&](int64_t i) {
    const StepLosses l = step(coords, targets, i);
    return l.total.item<double>() - l.main.item<double>();
  };
  const torch::Tensor preds = net.mlp_->forward(coords).detach();
  net.ref_t = 0.5;  // only the first row lies within 1e-5 of the reference time
  EXPECT_NEAR(extra(1), preds[0].pow(2).mean().item<double>(), 1e-6);
  net.ref_t = 0.7;  // no row selected: the term is 0
  EXPECT_NEAR(extra(2), 0.0, 1e-7);
  net.ref_t = -1.0;
  net.aux_scale = 2.0;
  EXPECT_NEAR(extra(3), (preds * 2.0).pow(2).mean().item<double>(), 1e-5);
  EXPECT_EQ(sched.last_epoch(), 4);  // one schedule step per training step
}

TEST(TrainStep, ProgressPostfixFields) {
  const torch::Tensor total = torch::tensor(0.00051f), main = torch::tensor(0.0004f);
  EXPECT_EQ(progress_postfix(total, main, 0.00987, std::nullopt),
            (Postfix{{"loss", "5.10e-04"}, {"mse", "4.00e-04"}, {"lr", "9.87e-03"}}));
  EXPECT_EQ(progress_postfix(total, main, 0.01, 1.0), (Postfix{{"loss", "4.00e-04"}, {"rrmse", "2.00%"}}));
  EXPECT_EQ(progress_postfix(total, torch::tensor(-0.5f), 0.01, 1.0)[1].second, "0.00%");
}

// ---- sampling ----------------------------------------------------------------------------------

TEST(Sampling, CoprimeStrideProperties) {
  EXPECT_EQ(rand_coprime_stride(1), 1);
  EXPECT_EQ(rand_coprime_stride(2), 1);
  torch::manual_seed(3);
  for (int64_t n : {3, 4, 10, 12, 97, 1000, 1024, 999999})
    for (int k = 0; k < 20; ++k) {
      const int64_t s = rand_coprime_stride(n);
      EXPECT_TRUE((s == 1 || (s > n / 4 && s < n)) && std::gcd(s, n) == 1) << n << " " << s;
    }
}

TEST(Sampling, PassVisitsEveryValidPointOnce) {
  torch::Tensor mask = torch::zeros({25}, torch::kBool);
  const std::vector<int64_t> valid = {0, 2, 3, 7, 11, 12, 15, 19, 21, 24};
  for (int64_t v : valid) mask[v] = true;
  const torch::Tensor pos = valid_positions(mask, 25);
  EXPECT_EQ(pos.scalar_type(), torch::kInt);
  EXPECT_EQ(valid_positions(mask, int64_t{1} << 31).scalar_type(), torch::kLong);
  StridedPasses passes(pos);
  EXPECT_EQ(passes.cursor(), 10);  // the first batch opens a pass
  std::multiset<int64_t> seen;
  for (int b = 0; b < 3; ++b) {
    const torch::Tensor idx = passes.next(4).to(torch::kLong);
    for (int64_t i = 0; i < idx.numel(); ++i) seen.insert(idx[i].item<int64_t>());
  }
  EXPECT_EQ(seen, std::multiset<int64_t>(valid.begin(), valid.end()));
  passes.next(4);
  EXPECT_EQ(passes.cursor(), 4);  // a new pass

  // Positions far beyond int32 and a stride that would overflow a plain int64 product.
  const int64_t n = 5000000000LL, stride = 3999999997LL, offset = 123456789LL, cur = 4000000000LL;
  const torch::Tensor sel = pass_selection(offset, stride, cur, 3, n);
  for (int64_t j = 0; j < 3; ++j) {
    const __int128 expect = (static_cast<__int128>(offset) + static_cast<__int128>(cur + j) * stride) % n;
    EXPECT_EQ(sel[j].item<int64_t>(), static_cast<int64_t>(expect));
  }
}

TEST(Sampling, IndexOfInvalidPointsGivesTheSameBatches) {
  // Mostly valid (the index holds the invalid points), mostly invalid, all valid, none valid.
  const int64_t N = 1000;
  torch::manual_seed(11);
  const torch::Tensor r = torch::rand({N});
  for (const torch::Tensor& mask : {r > 0.1, r > 0.9, torch::ones({N}, torch::kBool), torch::zeros({N}, torch::kBool)}) {
    StridedPasses a(valid_positions(mask, N), at::make_generator<at::CPUGeneratorImpl>(5));
    StridedPasses b = StridedPasses::over_mask(mask, N, at::make_generator<at::CPUGeneratorImpl>(5));
    ASSERT_EQ(a.size(), b.size());
    EXPECT_TRUE(torch::equal(a.positions(), b.positions()));
    EXPECT_LE(b.index_bytes(), std::min(a.size(), N - a.size()) * 4);
    for (int k = 0; a.size() > 0 && k < 40; ++k) {
      const torch::Tensor x = a.next(64), y = b.next(64);
      ASSERT_EQ(x.scalar_type(), y.scalar_type());
      ASSERT_TRUE(torch::equal(x, y)) << "batch " << k;
    }
  }
}

TEST(Sampling, HostSuperBatches) {
  auto d = testing::tiny_cube(3, 4, 5, 2);
  CubeTensors cube{d.values, d.mask, d.xyz, d.time_lut, 20, 60};
  // The host route covers every valid point exactly once per pass.
  StandardSampler sampler(cube);
  const int64_t n_valid = d.mask.sum().item<int64_t>();
  std::vector<torch::Tensor> drawn;
  for (int64_t n = 0; n < n_valid; n += drawn.back().size(0)) {
    auto sb = sampler.next(16);
    ASSERT_TRUE(sb);
    drawn.push_back(sb->coords);
  }
  const torch::Tensor pass = torch::cat(drawn);
  EXPECT_EQ(pass.size(0), n_valid);
  EXPECT_EQ(std::get<0>(torch::unique_dim(pass, 0)).size(0), n_valid);
  EXPECT_FALSE(sampler.exhausted());

  CubeTensors empty = cube;
  empty.mask = torch::zeros({60}, torch::kBool);
  StandardSampler none(empty);
  EXPECT_FALSE(none.next(16));
  EXPECT_TRUE(none.exhausted());

  // With replacement: only valid points survive, the batch shrinks.
  torch::manual_seed(5);
  const torch::Tensor wr = draw_with_replacement(cube, 200);
  EXPECT_LT(wr.numel(), 200);
  EXPECT_TRUE(d.mask.index_select(0, wr).all().item<bool>());
}

// ---- step accounting ---------------------------------------------------------------------------

TEST(StepPlan, ImportanceFractionAndSuperBatchSize) {
  // A negative fraction only matters when importance sampling is on.
  EXPECT_EQ(plan_steps(10, 4, 1, false, 0.5, -1.0).importance_extra_frac, 0.0);
  EXPECT_EQ(testing::thrown<std::invalid_argument>([] { plan_steps(10, 4, 1, true, 0.5, -1.0); }),
            "PYQELM_IMPORTANCE_EXTRA_FRAC must be non-negative");
  EXPECT_THROW(plan_steps(10, 4, 1, true, 0.5, std::nan("")), std::invalid_argument);
  EXPECT_EQ(super_batch_size(100001), 5000048);  // 50 batches, rounded down to a multiple of 4
}

TEST(StepPlan, PlannedStepsReplaceTheEpochAccounting) {
  // Planned: exactly the steps asked for, an epoch is one pass (no repeated passes, no minimum).
  const StepPlan p = plan_steps(999999, 524288, 100, false, 0.5, 0.125, 37);
  EXPECT_EQ(p.steps, 37);
  EXPECT_EQ(p.passes_per_epoch, 1);
  EXPECT_EQ(p.es_steps_per_epoch, 2);
  EXPECT_EQ(p.optimizer_steps, 37);
  EXPECT_EQ(plan_steps(999999, 524288, 100, false, 0.5, 0.125).steps, 2200);  // the engine's own
  EXPECT_EQ(plan_steps(10, 4, 1, true, 0.5, 0.5, 20).importance_extra_steps, 5);  // (20 - 10) x 0.5
  EXPECT_THROW(plan_steps(10, 4, 1, false, 0.5, 0.0, -1), std::invalid_argument);
}

TEST(Sampling, HostSamplerDrawsFromItsOwnGenerator) {
  auto d = testing::tiny_cube(3, 4, 5, 2);
  CubeTensors cube{d.values, d.mask, d.xyz, d.time_lut, 20, 60};
  auto batches = [&](bool touch_global) {
    torch::manual_seed(21);
    StandardSampler sampler(cube);
    std::vector<torch::Tensor> out;
    for (int k = 0; k < 6; ++k) {
      // Draws of another thread on the global generator must not change this sampler's batches.
      if (touch_global) torch::rand({1000});
      out.push_back(sampler.next(7)->coords);
    }
    return torch::cat(out);
  };
  const torch::Tensor quiet = batches(false);
  EXPECT_TRUE(torch::equal(quiet, batches(true)));
  // The generator is taken from the global one: another seed gives other passes.
  torch::manual_seed(22);
  StandardSampler other(cube);
  std::vector<torch::Tensor> out;
  for (int k = 0; k < 6; ++k) out.push_back(other.next(7)->coords);
  EXPECT_FALSE(torch::equal(quiet, torch::cat(out)));
}

// ---- routing -----------------------------------------------------------------------------------

TEST(Routing, CutoffsForcedStreamingAndImportanceFootprint) {
  NoCudaDevice cpu;
  TestReporter out;
  RoutingInputs in;
  in.data_size_bytes = 6LL << 30;  // the cutoff itself still fits
  EXPECT_FALSE(route_training(in, cpu, out));
  EXPECT_EQ(out.lines.back(), "  [router] in-memory cutoff 6.0 GB  (this chunk 6.00 GB)");
  in.data_size_bytes += 1;
  EXPECT_TRUE(route_training(in, cpu, out));
  FakeCuda small(1LL << 30, 3LL << 30), big(40LL << 30, 48LL << 30);
  EXPECT_EQ(stream_cutoff_gb(std::nullopt, small), 2.0);
  EXPECT_EQ(stream_cutoff_gb(std::nullopt, big), 24.0);
  EXPECT_EQ(stream_cutoff_gb(std::string("0"), big), 0.0);
  in.threshold_env = " 1e3 ";
  in.data_size_bytes = 500LL << 30;
  EXPECT_FALSE(route_training(in, cpu, out));
  in.loss_type = "S2_SR";
  in.has_streaming_source = true;
  out.lines.clear();
  EXPECT_TRUE(route_training(in, cpu, out));
  EXPECT_EQ(out.lines, (std::vector<std::string>{
                           "  [router] in-memory cutoff 1000.0 GB  (this chunk 500.00 GB)",
                           "Force Streaming Mode for S2_SR to ensure structured batch sampling.",
                           "Force Streaming Mode: zarr_streaming source detected."}));
  EXPECT_EQ(training_data_bytes(0, 0, false, 1000, 3, 2), 6000);
  EXPECT_EQ(training_data_bytes(3000, 4, true, 1000, 3, 2), 12000);

  // Importance sampling: 1 GiB + 0.25 GiB + 4 GiB + 1 GiB = 6.25 GiB against 90 % of the free
  // memory; without a GPU there is nothing to check.
  RoutingInputs imp;
  imp.data_size_bytes = 1LL << 30;
  imp.total_pixels = imp.num_valid_pixels = 1LL << 28;
  imp.importance_sampling = true;
  FakeCuda roomy(8LL << 30, 80LL << 30), tight(6LL << 30, 80LL << 30);
  EXPECT_FALSE(route_training(imp, roomy, out));
  EXPECT_TRUE(route_training(imp, tight, out));
  EXPECT_EQ(out.lines.back(),
            "  [importance] Full-GPU footprint ~6.2 GB > 5.4 GB free -> routing to streaming "
            "(per-pool importance, works at any size)");
  out.lines.clear();
  EXPECT_FALSE(route_training(imp, cpu, out));
  EXPECT_EQ(out.lines.size(), 1u);
}

TEST(Routing, ParsesNumbersAsPythonFloatDoes) {
  for (const auto& [text, value] : std::vector<std::pair<const char*, double>>{
           {"0.125", 0.125}, {"  -2 \n", -2.0}, {"1_000.5", 1000.5}, {".5e1", 5.0}, {"5.", 5.0}})
    EXPECT_EQ(parse_py_float(text), value) << text;
  EXPECT_TRUE(std::isinf(parse_py_float("-Infinity")));
  EXPECT_TRUE(std::isnan(parse_py_float("nan")));
  for (const char* bad : {"", "abc", "1__0", "0x10", "1e", ".", "1.5.2", "_1", "1 2"})
    EXPECT_THROW(parse_py_float(bad), std::invalid_argument) << bad;
}

// ---- early stopping ----------------------------------------------------------------------------

FitOptions early_stop(int64_t patience, int64_t warmup, double ema_alpha, double min_delta_rel) {
  FitOptions o;
  o.early_stop_patience = Num(patience, std::to_string(patience));
  o.early_stop_warmup_epochs = Num(warmup, std::to_string(warmup));
  o.early_stop_ema_alpha = Num(ema_alpha);
  o.early_stop_min_delta_rel = Num(min_delta_rel);
  return o;
}

TEST(EarlyStopping, WarmupPatienceAndSmoothing) {
  // The loss never improves. Warm-up epochs 1 and 2 only track the best value; patience
  // counts from epoch 3, and the second epoch without improvement (4) stops the run.
  EarlyStopping es(early_stop(2, 3, 1.0, 0.1), 2, torch::kCPU);
  int64_t stopped = -1;
  for (int64_t step = 1; step <= 20 && stopped < 0; ++step)
    if (es.after_uniform_step(torch::tensor(1.0f), step)) stopped = step / 2;
  EXPECT_EQ(stopped, 4);
  EXPECT_EQ(es.stopped_at().value_or(-1), stopped);

  // Warm-up 0, patience 1: the first epoch that fails to improve by the margin stops the run.
  EarlyStopping es2(early_stop(1, 0, 0.5, 0.005), 1, torch::kCPU);
  EXPECT_FALSE(es2.end_epoch(1.0, 1));  // ema 1.0 < inf
  EXPECT_FALSE(es2.end_epoch(0.5, 2));  // ema 0.75
  EXPECT_TRUE(es2.end_epoch(0.75, 3));  // ema 0.75: no improvement
  EXPECT_EQ(es2.stopped_at().value_or(-1), 3);
  EXPECT_DOUBLE_EQ(es2.best(), 0.75);
}

}  // namespace
}  // namespace qelm::training
