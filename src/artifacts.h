// Artifact writing: the small pure rules of the save (the blobs themselves are in blobs.h).
#pragma once

#include <torch/torch.h>

#include <string>

namespace qelm {

// Dates in metadata: text, 'T' between date and time, 'Z' unless an offset is present.
std::string isoize(const std::string& value);

// out.qelm -> out-rectified.qelm (extension matched case-insensitively), out.bin ->
// out.bin-rectified.qelm.
std::string rectified_filename(const std::string& filename);

// Rows (N, C) whose values are finite in every band, as a (N) bool tensor. A pixel with a
// non-finite value (a fill value read as NaN) holds no data for a reader.
torch::Tensor rows_all_finite(const torch::Tensor& values);

}  // namespace qelm
