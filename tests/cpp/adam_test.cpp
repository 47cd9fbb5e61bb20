#include <gtest/gtest.h>

#include "training/adam.h"

namespace qelm::training {
namespace {

// Two parameters with different learning rates and weight decay, a few steps of changing
// gradients: the one-pass update must follow torch::optim::Adam step for step.
struct Problem {
  torch::Tensor a, b;
  explicit Problem(torch::ScalarType st) {
    torch::manual_seed(3);
    a = torch::randn({100003}, st).requires_grad_();
    b = torch::randn({7, 5}, st).requires_grad_();
  }
  std::vector<torch::optim::OptimizerParamGroup> groups() {
    std::vector<torch::optim::OptimizerParamGroup> g;
    g.emplace_back(std::vector<torch::Tensor>{a}, std::make_unique<torch::optim::AdamOptions>(3e-2));
    g.emplace_back(std::vector<torch::Tensor>{b}, std::make_unique<torch::optim::AdamOptions>(
                                                      torch::optim::AdamOptions(1e-2).betas({0.8, 0.99}).weight_decay(0.1)));
    return g;
  }
  void set_grads(int step) {
    torch::manual_seed(100 + step);
    a.mutable_grad() = torch::randn_like(a) * (step + 1);
    b.mutable_grad() = step == 1 ? torch::Tensor() : torch::randn_like(b);  // skipped once
  }
};

TEST(FusedAdam, FollowsTorchAdamAndSharesItsState) {
  for (auto st : {torch::kFloat, torch::kDouble}) {
    Problem ref(st), fused(st);
    torch::optim::Adam ref_opt(ref.groups(), torch::optim::AdamOptions(1e-3));
    FusedAdam fused_opt(fused.groups(), torch::optim::AdamOptions(1e-3));
    const double tol = st == torch::kFloat ? 1e-6 : 1e-13;
    for (int step = 0; step < 5; ++step) {
      ref.set_grads(step);
      fused.set_grads(step);
      ref_opt.step();
      if (step < 4)
        fused_opt.step();
      else  // the last step through the tensor-operation path must find the fused state
        fused_opt.torch::optim::Adam::step();
      EXPECT_TRUE(torch::allclose(fused.a, ref.a, tol, tol)) << step;
      EXPECT_TRUE(torch::allclose(fused.b, ref.b, tol, tol)) << step;
    }
  }
}

TEST(FusedAdam, FallsBackForWhatItCannotUpdate) {
  // A non-contiguous parameter and amsgrad both take torch::optim::Adam's path.
  torch::manual_seed(4);
  auto base = torch::randn({6, 4});
  auto p_ref = base.t().clone().requires_grad_();
  auto p_fused = base.t().clone().requires_grad_();
  ASSERT_FALSE(p_fused.is_contiguous());
  torch::optim::Adam ref_opt({p_ref}, torch::optim::AdamOptions(0.1).amsgrad(true));
  FusedAdam fused_opt({p_fused}, torch::optim::AdamOptions(0.1).amsgrad(true));
  for (int step = 0; step < 3; ++step) {
    auto g = torch::randn({6, 4}).t();
    p_ref.mutable_grad() = g.clone();
    p_fused.mutable_grad() = g.clone();
    ref_opt.step();
    fused_opt.step();
  }
  EXPECT_TRUE(torch::equal(p_fused, p_ref));

  auto p = torch::zeros({4});
  auto m = torch::zeros({4}), v = torch::zeros({4}), g = torch::ones({4}, torch::kDouble);
  EXPECT_THROW(adam_update(p, g, m, v, 1, AdamHyper{}), std::invalid_argument);
  EXPECT_THROW(adam_update(p, p, m, v, 0, AdamHyper{}), std::invalid_argument);
}

}  // namespace
}  // namespace qelm::training
