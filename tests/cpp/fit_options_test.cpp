#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "training/fit_options.h"

namespace qelm::training {
namespace {

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

TEST(FitOptions, EdgesThatMeanSomethingPassAndNonFiniteSettingsAreRefusedByName) {
  EXPECT_EQ(failure([](FitOptions& o) {
              o.lr = o.early_stop_patience = o.early_stop_warmup_epochs = o.imp_alpha = o.imp_refresh_epochs = Num(0.0);
              o.lr_hash = Num(0.0);
              o.early_stop_ema_alpha = o.imp_warmup_frac = Num(1.0);
            }),
            "");
  // Negative and out-of-range values are refused through the module as well; not-a-number and
  // infinity must fail the same checks rather than slip past a comparison.
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<std::function<void(FitOptions&)>, std::string>> cases = {
      {[&](FitOptions& o) { o.lr = Num(inf, "inf"); }, "lr must be a finite non-negative number, got inf"},
      {[&](FitOptions& o) { o.lr_hash = Num(inf, "inf"); }, "lr_hash must be a finite non-negative number"},
      {[&](FitOptions& o) { o.early_stop_warmup_epochs = Num(-2.0, "-2"); }, "early_stop_warmup_epochs must be"},
      {[&](FitOptions& o) { o.early_stop_ema_alpha = Num(1.5, "1.5"); }, "early_stop_ema_alpha must be in (0, 1]"},
      {[&](FitOptions& o) { o.imp_warmup_frac = Num(-0.5, "-0.5"); }, "imp_warmup_frac must be in [0, 1], got -0.5"},
      {[&](FitOptions& o) { o.early_stop_patience = Num(nan, "nan"); }, "early_stop_patience must be non-negative"},
      {[&](FitOptions& o) { o.early_stop_ema_alpha = Num(nan, "nan"); }, "early_stop_ema_alpha must be in (0, 1]"},
      {[&](FitOptions& o) { o.imp_warmup_frac = Num(nan, "nan"); }, "imp_warmup_frac must be in [0, 1]"},
      {[&](FitOptions& o) { o.imp_alpha = Num(nan, "nan"); }, "imp_alpha must be a finite non-negative number"},
      {[&](FitOptions& o) { o.imp_refresh_epochs = Num(inf, "inf"); }, "imp_refresh_epochs must be a finite"},
  };
  for (const auto& [edit, message] : cases) {
    const std::string got = failure(edit);
    EXPECT_EQ(got.rfind(message, 0), 0u) << "expected '" << message << "', got '" << got << "'";
  }
}

}  // namespace
}  // namespace qelm::training
