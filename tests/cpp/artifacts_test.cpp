#include <gtest/gtest.h>

#include <stdexcept>

#include "artifacts.h"
#include "blobs.h"

namespace qelm {
namespace {

torch::Tensor i64(std::vector<int64_t> v) { return torch::tensor(v, torch::kLong); }
torch::Tensor f32(std::vector<float> v) { return torch::tensor(v, torch::kFloat); }

TEST(NativeCodes, LargestDataNumberPerBand) {
  struct Case {
    std::vector<int64_t> idx;
    std::vector<float> val;
    std::vector<double> scales;
    double widest;
  };
  const std::vector<Case> cases = {
      {{}, {}, {0.5}, 0.0},
      {{0, 1, 2, 3}, {1.0f, -2.0f, 0.25f, 0.75f}, {0.5, 0.25}, 8.0},  // band 1: -2 / 0.25
      {{5}, {1.25f}, {0.5}, 2.0},                                  // 2.5 rounds to even
      {{4}, {-4000.0f}, {0.1}, 40000.0},                           // beyond int16
  };
  for (const auto& c : cases)
    EXPECT_DOUBLE_EQ(largest_native_code(i64(c.idx), f32(c.val), c.scales, static_cast<int64_t>(c.scales.size())),
                     c.widest);
  EXPECT_THROW(largest_native_code(i64({0}), f32({1.0f}), {0.5, 0.5}, 1), std::invalid_argument);
  EXPECT_THROW(largest_native_code(i64({-1}), f32({1.0f}), {0.5}, 1), std::invalid_argument);
}

TEST(StoredResidualError, WhatAStoredTrackLeavesPerBand) {
  // A native track whose data numbers exceed int16: the blob clips them, and the error left is
  // what the save must not hide (it stores such a track per frame instead).
  const auto idx = i64({7, 0, 3, 4}), val = f32({5000.0f, 0.3f, -0.2f, 1.0f});
  const blobs::ResidualValueMode native{true, {0.5, 0.1}};
  const auto blob = blobs::encode_residuals(idx, val, 1, 2, 2, 2, native);
  const auto back = blobs::decode_residuals(blob.bytes, native.scales);
  const auto e = stored_residual_error(idx, val, back.indices, back.values, 2);
  EXPECT_NEAR(e.max[1], 5000.0 - 3276.7, 1e-3);  // clipped at 32767 data numbers of 0.1
  EXPECT_NEAR(e.max[0], 0.2, 1e-6);              // 0.3 -> 0.5 (one step of 0.5); 1.0 exact
  EXPECT_NEAR(e.sse[0], 0.04, 1e-6);
  EXPECT_NEAR(e.sae[0], 0.2, 1e-6);
  // Per frame: steps follow the largest residual, so nothing is clipped.
  const auto pf = blobs::encode_residuals(idx, val, 1, 2, 2, 2, blobs::ResidualValueMode{});
  const auto pback = blobs::decode_residuals(pf.bytes);
  const auto pe = stored_residual_error(idx, val, pback.indices, pback.values, 2);
  EXPECT_LE(pe.max[1], 5000.0 / 32767.0);
  EXPECT_THROW(stored_residual_error(idx, val, back.indices.slice(0, 1), back.values.slice(0, 1), 2),
               std::invalid_argument);
  EXPECT_THROW(stored_residual_error(i64({1, 2}), f32({1, 2}), i64({1, 3}), f32({1, 2}), 2), std::invalid_argument);
}

}  // namespace
}  // namespace qelm
