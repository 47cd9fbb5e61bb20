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

TEST(FitOptions, EachOutOfRangeSettingIsNamed) {
  struct Case {
    std::function<void(FitOptions&)> edit;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[](FitOptions& o) { o.lr = Num(-0.01, "-0.01"); }, "lr must be a finite non-negative number, got -0.01"},
      {[](FitOptions& o) { o.lr = Num(kNaN, "nan"); }, "lr must be a finite non-negative number, got nan"},
      {[](FitOptions& o) { o.lr = Num(kInf, "inf"); }, "lr must be a finite non-negative number, got inf"},
      {[](FitOptions& o) { o.lr_hash = Num(-1.0, "-1"); }, "lr_hash must be a finite non-negative number, got -1"},
      {[](FitOptions& o) { o.early_stop_patience = Num(-1.0, "-1"); }, "early_stop_patience must be non-negative"},
      {[](FitOptions& o) { o.early_stop_patience = Num(kNaN, "nan"); }, "early_stop_patience must be non-negative"},
      {[](FitOptions& o) { o.early_stop_min_delta_rel = Num(-0.1, "-0.1"); }, "early_stop_min_delta_rel must be"},
      {[](FitOptions& o) { o.early_stop_warmup_epochs = Num(-2.0, "-2"); }, "early_stop_warmup_epochs must be"},
      {[](FitOptions& o) { o.early_stop_ema_alpha = Num(0.0, "0"); }, "early_stop_ema_alpha must be in (0, 1], got 0"},
      {[](FitOptions& o) { o.early_stop_ema_alpha = Num(1.5, "1.5"); }, "early_stop_ema_alpha must be in (0, 1]"},
      {[](FitOptions& o) { o.imp_warmup_frac = Num(-0.5, "-0.5"); }, "imp_warmup_frac must be in [0, 1]"},
      {[](FitOptions& o) { o.imp_warmup_frac = Num(1.01, "1.01"); }, "imp_warmup_frac must be in [0, 1]"},
      {[](FitOptions& o) { o.imp_alpha = Num(kNaN, "nan"); }, "imp_alpha must be a finite non-negative number"},
      {[](FitOptions& o) { o.imp_refresh_epochs = Num(-1.0, "-1"); }, "imp_refresh_epochs must be a finite"},
      {[](FitOptions& o) { o.imp_refresh_epochs = Num(kInf, "inf"); }, "imp_refresh_epochs must be a finite"},
  };
  for (const auto& c : cases) {
    const std::string got = failure(c.edit);
    EXPECT_EQ(got.rfind(c.message, 0), 0u) << "expected '" << c.message << "', got '" << got << "'";
  }
}

}  // namespace qelm::training
