#include "training/fit_options.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace qelm::training {

namespace {
void require(bool ok, const char* name, const Num& v, const char* rule) {
  if (!ok) throw std::invalid_argument(std::string(name) + " must be " + rule + ", got " + v.text);
}
}  // namespace

void check_fit_options(const FitOptions& o) {
  // A negative rate climbs the loss; NaN or infinity poisons every weight on the first step.
  require(std::isfinite(o.lr.value) && o.lr.value >= 0, "lr", o.lr, "a finite non-negative number");
  if (o.lr_hash)
    require(std::isfinite(o.lr_hash->value) && o.lr_hash->value >= 0, "lr_hash", *o.lr_hash,
            "a finite non-negative number");
  require(o.early_stop_patience.value >= 0, "early_stop_patience", o.early_stop_patience, "non-negative");
  require(std::isfinite(o.early_stop_min_delta_rel.value) && o.early_stop_min_delta_rel.value >= 0,
          "early_stop_min_delta_rel", o.early_stop_min_delta_rel, "a finite non-negative number");
  require(o.early_stop_warmup_epochs.value >= 0, "early_stop_warmup_epochs", o.early_stop_warmup_epochs,
          "non-negative");
  require(o.early_stop_ema_alpha.value > 0 && o.early_stop_ema_alpha.value <= 1, "early_stop_ema_alpha",
          o.early_stop_ema_alpha, "in (0, 1]");
  require(o.imp_warmup_frac.value >= 0 && o.imp_warmup_frac.value <= 1, "imp_warmup_frac", o.imp_warmup_frac,
          "in [0, 1]");
  require(std::isfinite(o.imp_alpha.value) && o.imp_alpha.value >= 0, "imp_alpha", o.imp_alpha,
          "a finite non-negative number");
  // Fractions of an epoch are meaningful (0 refreshes after every uniform step).
  require(std::isfinite(o.imp_refresh_epochs.value) && o.imp_refresh_epochs.value >= 0, "imp_refresh_epochs",
          o.imp_refresh_epochs, "a finite non-negative number");
}

}  // namespace qelm::training
