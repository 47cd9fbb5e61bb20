// In-memory or streamed training: an estimate of the training values' size against a cut-off
// from the environment or the device's memory, two cases that always stream, and a check that
// importance sampling on the device fits in free device memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common.h"

namespace qelm::training {

inline constexpr double kGiB = 1073741824.0;

// Python's float() of a text: surrounding whitespace, underscores between digits, inf and nan
// accepted; anything else raises std::invalid_argument
// "could not convert string to float: '<text>'".
double parse_py_float(const std::string& text);

// Bytes of the training values: the host tensor's size when there is one, otherwise
// total_pixels x n_bands x bytes_per_pixel.
int64_t training_data_bytes(int64_t values_numel, int64_t values_element_size, bool have_values,
                            int64_t total_pixels, int64_t n_bands, int64_t bytes_per_pixel);

// The in-memory cut-off in GiB: the environment value when set; half the device memory (at
// least 2.0) with CUDA; 6.0 otherwise.
double stream_cutoff_gb(const std::optional<std::string>& threshold_env, DeviceInfo& device);

struct RoutingInputs {
  int64_t data_size_bytes = 0;
  std::optional<std::string> threshold_env;  // PYQELM_STREAM_THRESHOLD_GB
  std::string loss_type;
  bool has_streaming_source = false;
  bool importance_sampling = false;
  int64_t total_pixels = 0;
  int64_t num_valid_pixels = 0;
};

// True when training must stream. Prints the decision lines.
bool route_training(const RoutingInputs& in, DeviceInfo& device, Reporter& out);

}  // namespace qelm::training
