// Range checks of fit's numeric settings, run before any training state is built.
#pragma once

#include "training/driver.h"

namespace qelm::training {

// Throws std::invalid_argument naming the first setting outside its range: learning rates
// must be finite and non-negative, early-stopping counts non-negative, the moving-average
// weight in (0, 1], the importance warm-up share in [0, 1], the importance exponent finite and
// non-negative, and the refresh interval finite and non-negative. NaN is refused everywhere.
void check_fit_options(const FitOptions& opts);

}  // namespace qelm::training
