// Compressor setup: training-mode and precision resolution.
#pragma once

#include <torch/torch.h>

#include <string>
#include <utility>

namespace qelm {

inline constexpr const char* kDefaultTrainMode = "tcnn_cuda";
inline constexpr const char* kTrainModeError =
    "tcnn compressor only supports train_mode='tcnn_cuda'";
inline constexpr const char* kTinyCudaNNMissing =
    "train_mode='tcnn_cuda' requires tiny-cuda-nn's torch bindings importable as 'tinycudann'. "
    "Build/install tiny-cuda-nn for your CUDA/PyTorch environment first.";

// "tcnn" is an alias of the one supported mode; the text is already lower-cased.
std::string canonical_train_mode(const std::string& lowered);
bool is_supported_train_mode(const std::string& mode);
// "train_mode='{mode}' requires torch.cuda.is_available()."
std::string cuda_required_message(const std::string& mode);
// train_mode split once at the first '_' into (backend, device).
std::pair<std::string, std::string> split_train_mode(const std::string& mode);

struct Precision {
  bool use_amp;
  at::ScalarType dtype;  // host storage and tensor element type
  int bytes_per_pixel;
  const char* banner;
};
// Float32 mode for exactly "float32"; every other precision name selects float16 with AMP.
Precision precision_for(bool float32_mode);

}  // namespace qelm
