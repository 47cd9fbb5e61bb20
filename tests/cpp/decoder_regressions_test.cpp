// Damaged inputs the fuzz targets found (the raw inputs are kept in fuzz/regressions/ and
// replayed by `make fuzz`): each was mishandled once and must now be refused or handled.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cfloat>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "blobs.h"

namespace qelm::blobs {
namespace {

torch::Tensor i64(std::vector<int64_t> v) { return torch::tensor(v, torch::kLong); }
torch::Tensor f32(std::vector<float> v) { return torch::tensor(v, torch::kFloat); }

std::string le_bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

// Header of a residual blob with outliers and T frames, without the offsets and frames.
std::string residual_header(int32_t T, int32_t H, int32_t W, int32_t C) {
  const uint32_t main_len = 0, frames = static_cast<uint32_t>(T);
  const uint8_t has = 1;
  std::string s = le_bytes(&main_len, 4) + le_bytes(&has, 1);
  for (int32_t v : {T, H, W, C}) s += le_bytes(&v, 4);
  return s + le_bytes(&frames, 4);
}

TEST(DecoderRegressions, WeightScaleTooSmallToRestoreIsRefused) {
  for (const char* mode : {"int8_per_tensor_f16dec", "int16_per_tensor_f16dec"}) {
    // The second scale is positive and finite, but 127 / 1e-77 is no float32.
    const WeightRecipe rec{mode, {38.5, 1e-77}, {2, 2}, {"spatial", "temporal"}, 1, ""};
    const size_t elem = rec.bits() / 8;
    std::string raw(4 * elem + 2, '\0');
    raw[0] = 5;
    raw[2 * elem] = 0;  // zero restores to zero whatever the scale
    EXPECT_NO_THROW(restore_weights(raw, rec)) << mode;
    raw[3 * elem] = 127;
    try {
      restore_weights(raw, rec);
      ADD_FAILURE() << mode << ": an infinite weight was restored";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("'temporal' restores to a non-finite value"), std::string::npos) << e.what();
    }
  }
}

TEST(DecoderRegressions, ResidualValuesBeyondFloat32AreRefused) {
  // Native values: a band scale the encoder never writes turns a stored 100 into infinity.
  const std::string native_blob =
      encode_residuals(i64({1, 6}), f32({50.f, -1.f}), 2, 2, 2, 1, decide_residual_value_mode(
                                                                        std::vector<double>{0.5}, "int16", 1, 1))
          .bytes;
  EXPECT_NO_THROW(decode_residuals(native_blob, std::vector<double>{0.5}));
  EXPECT_THROW(decode_residuals(native_blob, std::vector<double>{1e300}), std::invalid_argument);
  EXPECT_NO_THROW(decode_residuals(native_blob, std::vector<double>{FLT_MAX / 200.0}));

  // Per-frame values: a finite frame scale near FLT_MAX does the same.
  std::string blob = encode_residuals(i64({3}), f32({2.f}), 1, 2, 2, 1, ResidualValueMode{}).bytes;
  const size_t scale_at = residual_header(1, 2, 2, 1).size() + 8;
  float scale;
  std::memcpy(&scale, blob.data() + scale_at, 4);
  ASSERT_FLOAT_EQ(scale, 2.f / 32767.f);
  scale = 1e38f;  // times the stored 32767
  std::memcpy(blob.data() + scale_at, &scale, 4);
  EXPECT_THROW(decode_residuals(blob), std::invalid_argument);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QELM_UNDER_ASAN 1
#endif
#endif

#if !defined(__SANITIZE_ADDRESS__) && !defined(QELM_UNDER_ASAN)
// Decodes under an address-space limit 2 GiB above the current use (run in a child process):
// 0 when the blob decodes to its stated shape without outliers, 1 on another result, 2 when
// the decoder ran out of memory.
int decode_within_2gib(const std::string& blob, double band_scale) {
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  statm >> pages;
  const uint64_t limit = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) + (2ull << 30);
  const rlimit rl{limit, limit};
  setrlimit(RLIMIT_AS, &rl);
  try {
    const DecodedResiduals r = decode_residuals(blob, std::vector<double>{band_scale});
    return r.has_shape && r.C == std::numeric_limits<int32_t>::max() && r.indices.numel() == 0 ? 0 : 1;
  } catch (const std::bad_alloc&) {
    return 2;
  }
}
#endif

TEST(DecoderRegressions, OneBandScaleIsNotExpandedToTheBlobsBandCount) {
#if defined(__SANITIZE_ADDRESS__) || defined(QELM_UNDER_ASAN)
  GTEST_SKIP() << "the address-space limit cannot coexist with AddressSanitizer's shadow memory";
#else
  // No frames, but a band count of 2^31 - 1: one scale for all bands must not become 16 GiB.
  const std::string blob = residual_header(0, 1, 1, std::numeric_limits<int32_t>::max());
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(decode_within_2gib(blob, 0.5)), ::testing::ExitedWithCode(0), "");
#endif
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(QELM_UNDER_ASAN)
// How many of `decodes` refuse their input under an address-space limit `margin` bytes above the
// current use (run it in a death-test child); a decode that runs out of memory refuses nothing.
int refusals_within(uint64_t margin, const std::vector<std::function<void()>>& decodes) {
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  statm >> pages;
  const uint64_t limit = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) + margin;
  const rlimit rl{limit, limit};
  setrlimit(RLIMIT_AS, &rl);
  int n = 0;
  for (const auto& decode : decodes) {
    try {
      decode();
    } catch (const std::invalid_argument&) {
      ++n;
    } catch (const std::exception&) {
    }
  }
  return n;
}
#endif

// A few kilobytes may claim far more than they hold: four all-zero frames of 8000 x 8000 pixels
// (256 MB of decoded mask) and eight million outliers (positions inflating to 32 MB). The
// caller's limits refuse both before anything of the claimed size is allocated; without them the
// mask's claim is honoured as far as its bytes back it, and only the address-space limit stops it.
TEST(DecoderRegressions, SmallBlobsClaimingLargeSizesAreRefusedUnallocated) {
#if defined(__SANITIZE_ADDRESS__) || defined(QELM_UNDER_ASAN)
  GTEST_SKIP() << "the address-space limit cannot coexist with AddressSanitizer's shadow memory";
#else
  const int32_t F = 4, side = 8000;
  const uint8_t dynamic = 1;
  const std::string frame = zstd_compress(std::string(static_cast<size_t>(side) * side / 8, '\0'), 3);
  const uint32_t len = static_cast<uint32_t>(frame.size());
  std::string mask = le_bytes(&dynamic, 1) + le_bytes(&F, 4) + le_bytes(&side, 4) + le_bytes(&side, 4);
  for (int32_t f = 0; f < F; ++f) mask += le_bytes(&len, 4) + frame;

  const uint32_t count = 8'000'000;
  std::vector<int32_t> deltas(count, 1);
  deltas[0] = 0;
  const std::string pos = zstd_compress(std::string_view(reinterpret_cast<const char*>(deltas.data()), count * 4ull), 1);
  const std::string vals = xz_compress(std::string(16, '\0'), 0);
  const uint64_t offset = 0;
  const float scale = 1e-3f;
  const uint32_t plen = static_cast<uint32_t>(pos.size()), vlen = static_cast<uint32_t>(vals.size());
  const std::string resid = residual_header(1, 3000, 3000, 1) + le_bytes(&offset, 8) + le_bytes(&scale, 4) +
                            le_bytes(&plen, 4) + pos + le_bytes(&count, 4) + le_bytes(&vlen, 4) + vals;
  ASSERT_LT(mask.size() + resid.size(), 16384u);

  using MC = std::array<int64_t, 3>;
  using RC = std::array<int64_t, 4>;
  const std::vector<std::function<void()>> limited = {
      [&] { decode_mask(mask, MaskLimits{MC{4, 6, 7}, UINT64_MAX}); },
      [&] { decode_mask(mask, MaskLimits{MC{4, side, side}, 1 << 24}); },
      [&] { decode_residuals(resid, std::nullopt, std::nullopt, ResidualLimits{RC{4, 6, 7, 1}, std::nullopt}); },
      [&] { decode_residuals(resid, std::nullopt, std::nullopt, ResidualLimits{std::nullopt, 164, UINT64_MAX}); },
      [&] { decode_residuals(resid, std::nullopt, std::nullopt, ResidualLimits{std::nullopt, std::nullopt, 1 << 20}); }};
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(refusals_within(24ull << 20, limited)), ::testing::ExitedWithCode(5), "");
  EXPECT_EXIT(std::exit(refusals_within(24ull << 20, {[&] { decode_mask(mask); }})), ::testing::ExitedWithCode(0), "");
#endif
}

TEST(DecoderRegressions, EmptyMaskCubeWithHugeFramesEncodes) {
  // Decoding a zero-frame mask blob gives (0, H, W); encoding it back must not size a packed
  // frame of H*W bits that is never written.
  const int64_t big = std::numeric_limits<int32_t>::max();
  const std::string blob = encode_mask(torch::zeros({0, big, big}, torch::kBool), false);
  EXPECT_EQ(blob.size(), 13u);
  const auto back = decode_mask(blob);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->sizes(), torch::IntArrayRef({0, big, big}));
}

}  // namespace
}  // namespace qelm::blobs
