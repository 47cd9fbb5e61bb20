#include "config.h"

#include <stdexcept>

namespace qelm {

std::string canonical_train_mode(const std::string& lowered) {
  return lowered == "tcnn" ? std::string(kDefaultTrainMode) : lowered;
}

bool is_supported_train_mode(const std::string& mode) { return mode == kDefaultTrainMode; }

std::string cuda_required_message(const std::string& mode) {
  return "train_mode='" + mode + "' requires torch.cuda.is_available().";
}

std::pair<std::string, std::string> split_train_mode(const std::string& mode) {
  const auto pos = mode.find('_');
  if (pos == std::string::npos)
    throw std::invalid_argument("train_mode '" + mode + "' has no backend_device form");
  return {mode.substr(0, pos), mode.substr(pos + 1)};
}

Precision precision_for(bool float32_mode) {
  if (float32_mode) return {false, at::kFloat, 4, "Using Float32 (High Precision) Mode."};
  return {true, at::kHalf, 2, "Using Float16 (Mixed Precision) Mode."};
}

}  // namespace qelm
