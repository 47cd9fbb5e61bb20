// decode_residuals over a residual blob taken from the input, for the two value modes. Both
// start with the limits: u8 flags (bit 0: expect a cube, bit 1: expect a count), 4 x i32
// expected cube (T, H, W, C), i64 expected count; then
//   per-frame scales: u8 dtype selector (none / "int8" / "int16" / an invalid name), blob;
//   native (band scales): u8 dtype selector, u8 scale count n (0-4), n x f64 band scale, blob.
#pragma once

#include "blobs.h"
#include "harness.h"

namespace qelm::fuzz {

inline void fuzz_residuals(const uint8_t* data, size_t size, bool native) {
  Fields in(data, size);
  const uint8_t flags = in.take<uint8_t>();
  std::array<int64_t, 4> cube{};
  for (auto& v : cube) v = in.take<int32_t>();
  const int64_t count = in.take<int64_t>();
  blobs::ResidualLimits limits;
  if (flags & 1) limits.cube = cube;
  if (flags & 2) limits.count = count;
  limits.max_outliers = kMaxOutliers;
  static const char* const kTypes[] = {nullptr, "int8", "int16", "uint8"};
  const char* type = kTypes[in.take<uint8_t>() % 4];
  std::optional<std::string> dtype;
  if (type) dtype = type;
  std::optional<std::vector<double>> scales;
  if (native) {
    scales.emplace();
    const unsigned n = in.take<uint8_t>() % 5;
    for (unsigned i = 0; i < n; ++i) scales->push_back(in.take<double>());
  }
  const std::string_view blob = in.rest();

  decode_or_refuse([&] {
    const blobs::DecodedResiduals r = blobs::decode_residuals(blob, scales, dtype, limits);
    FUZZ_CHECK(r.indices.scalar_type() == torch::kLong && r.values.scalar_type() == torch::kFloat);
    FUZZ_CHECK(r.indices.dim() == 1 && r.values.dim() == 1);
    const int64_t n = r.indices.numel();
    FUZZ_CHECK(r.values.numel() == n);
    FUZZ_CHECK(static_cast<uint64_t>(n) <= kMaxOutliers && (!limits.count || n == *limits.count));
    if (limits.cube && r.has_shape)
      FUZZ_CHECK(r.T == cube[0] && r.H == cube[1] && r.W == cube[2] && r.C == cube[3]);
    if (!r.has_shape) {
      FUZZ_CHECK(n == 0 && blob.size() == 5);
      return;
    }
    FUZZ_CHECK(r.T >= 0 && r.H >= 0 && r.W >= 0 && r.C >= 0);
    const __int128 cells = static_cast<__int128>(r.T) * r.H * r.W * r.C;
    const int64_t* idx = r.indices.data_ptr<int64_t>();
    for (int64_t i = 0; i < n; ++i) {
      FUZZ_CHECK(idx[i] >= 0 && idx[i] < cells);
      FUZZ_CHECK(i == 0 || idx[i] > idx[i - 1]);
    }
    // Residuals are added to the reconstruction; a non-finite one would poison it.
    FUZZ_CHECK(torch::isfinite(r.values).all().item<bool>());
    if (dtype) FUZZ_CHECK(r.dtype == *dtype);
    else FUZZ_CHECK(n == 0 ? r.dtype.empty() : (r.dtype == "int8" || r.dtype == "int16"));
  });
}

}  // namespace qelm::fuzz
