#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "training/fit_options.h"

namespace qelm::training {

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::string failure(const std::function<void(FitOptions&)>& edit) {
  FitOptions o;
  edit(o);
  try {
    check_fit_options(o);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}
}  // namespace

TEST(FitOptions, DefaultsAndEdgesThatMeanSomethingPass) {
  EXPECT_EQ(failure([](FitOptions&) {}), "");
  EXPECT_EQ(failure([](FitOptions& o) {
              o.lr = 0.0;
              o.lr_hash = Num(0.0);
              o.early_stop_patience = Num(0.0);
              o.early_stop_warmup_epochs = Num(0.0);
              o.early_stop_ema_alpha = Num(1.0);
              o.imp_warmup_frac = Num(1.0);
              o.imp_alpha = Num(0.0);
              o.imp_refresh_epochs = Num(0.0);
            }),
            "");
}

TEST(FitOptions, NonFiniteSettingsAreRefusedByName) {
  struct Case {
    std::function<void(FitOptions&)> edit;
    std::string message;
  };
  // Negative and out-of-range values are refused through the module as well; not-a-number and
  // infinity must fail the same checks rather than slip past a comparison.
  const std::vector<Case> cases = {
      {[](FitOptions& o) { o.lr = Num(kInf, "inf"); }, "lr must be a finite non-negative number, got inf"},
      {[](FitOptions& o) { o.early_stop_patience = Num(kNaN, "nan"); }, "early_stop_patience must be non-negative"},
      {[](FitOptions& o) { o.early_stop_ema_alpha = Num(kNaN, "nan"); }, "early_stop_ema_alpha must be in (0, 1]"},
      {[](FitOptions& o) { o.imp_warmup_frac = Num(kNaN, "nan"); }, "imp_warmup_frac must be in [0, 1]"},
      {[](FitOptions& o) { o.imp_alpha = Num(kNaN, "nan"); }, "imp_alpha must be a finite non-negative number"},
      {[](FitOptions& o) { o.imp_refresh_epochs = Num(kInf, "inf"); }, "imp_refresh_epochs must be a finite"},
  };
  for (const auto& c : cases) {
    const std::string got = failure(c.edit);
    EXPECT_EQ(got.rfind(c.message, 0), 0u) << "expected '" << c.message << "', got '" << got << "'";
  }
}

}  // namespace qelm::training
