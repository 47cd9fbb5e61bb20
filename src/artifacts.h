// Artifact writing: the small pure rules of the save (the blobs themselves are in blobs.h).
#pragma once

#include <torch/torch.h>

#include <string>
#include <vector>

namespace qelm {

// Dates in metadata: text, 'T' between date and time, 'Z' unless an offset is present.
std::string isoize(const std::string& value);

// out.qelm -> out-rectified.qelm (extension matched case-insensitively), out.bin ->
// out.bin-rectified.qelm.
std::string rectified_filename(const std::string& filename);

// Rows (N, C) whose values are finite in every band, as a (N) bool tensor. A pixel with a
// non-finite value (a fill value read as NaN) holds no data for a reader.
torch::Tensor rows_all_finite(const torch::Tensor& values);

// The largest |round(value / scale of its band)| of a residual track (`indices` int64 flat cell
// indices, band = index % C; `values` float32; `scales` C positive numbers): the widest data
// number the native value mode would store. Rounding is to nearest, ties to even.
double largest_native_code(const torch::Tensor& indices, const torch::Tensor& values, const std::vector<double>& scales,
                           int64_t C);

// Per band, the error stored residuals leave: the sums of (value - restored)^2 and
// |value - restored| and the largest |value - restored|, where `values` are a track's residuals
// at `indices` (any order) and `restored` what a reader decodes at `restored_indices` (the same
// cells, ascending). Throws std::invalid_argument when the two do not name the same cells.
struct StoredResidualError {
  std::vector<double> sse, sae, max;
};
StoredResidualError stored_residual_error(const torch::Tensor& indices, const torch::Tensor& values,
                                          const torch::Tensor& restored_indices, const torch::Tensor& restored,
                                          int64_t C);

}  // namespace qelm
