// decode_residuals with per-frame value scales; input layout in residuals_harness.h.
#include "residuals_harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qelm::fuzz::init_torch();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qelm::fuzz::fuzz_residuals(data, size, /*native=*/false);
  return 0;
}
