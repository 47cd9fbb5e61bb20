#include "model.h"

namespace qelm {

int spatial_dims_for_norm_mode(double norm_mode) {
  return (norm_mode == 2.0 || norm_mode == 3.0) ? 2 : 3;
}

}  // namespace qelm
