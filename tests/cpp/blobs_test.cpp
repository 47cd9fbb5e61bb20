#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <numeric>
#include <random>

#include "blobs.h"

namespace qelm::blobs {
namespace {

template <typename T>
T rd(const std::string& s, size_t off) {
  T v;
  EXPECT_LE(off + sizeof(T), s.size());
  std::memcpy(&v, s.data() + off, sizeof(T));
  return v;
}

torch::Tensor i64(std::vector<int64_t> v) { return torch::tensor(v, torch::kLong); }
torch::Tensor f32(std::vector<float> v) { return torch::tensor(v, torch::kFloat); }

ResidualValueMode native(std::vector<double> s) { return ResidualValueMode{true, std::move(s)}; }

// ---- residuals ----------------------------------------------------------------------------------

TEST(ResidualBlob, EmptyTrackAndPerFrameScales) {
  const ResidualBlob none = encode_residuals(i64({}), f32({}), 3, 4, 5, 2, ResidualValueMode{});
  EXPECT_EQ(none.bytes, std::string(5, '\0'));
  EXPECT_EQ(none.lines, (std::vector<std::string>{" -> Residuals Packed: 0.00 MB (0 outliers)"}));
  EXPECT_FALSE(decode_residuals(none.bytes).has_shape);
  // A frame of zeros keeps a usable scale floor; the extremes of a frame restore exactly.
  const ResidualBlob z = encode_residuals(i64({0, 3}), f32({0.0f, -0.0f}), 1, 2, 2, 1, ResidualValueMode{});
  EXPECT_FLOAT_EQ(rd<float>(z.bytes, 25 + 8), 1e-6f);
  EXPECT_DOUBLE_EQ(z.outlier_value_scale, 1e-6);
  const ResidualBlob b = encode_residuals(i64({0, 1, 2}), f32({-5.0f, 5.0f, 2.5f}), 1, 3, 1, 1, ResidualValueMode{});
  EXPECT_TRUE(torch::equal(decode_residuals(b.bytes).values.slice(0, 0, 2), f32({-5.0f, 5.0f})));
  EXPECT_EQ(b.lines[0], " -> Residuals Packed: 0.00 MB (delta-pos 0.00 MB + int16 vals 0.00 MB for 3 outliers)");
}

TEST(ResidualBlob, NativeWidthIsDecidedOnceForAllFrames) {
  // 12.7 / 0.1 rounds to 127, which fits int8, but 12.8 in frame 1 makes frame 0 int16 as well.
  const int64_t fc = 4;  // 2 frames of 2 x 2 x 1
  const std::string big = encode_residuals(i64({0, fc + 1}), f32({12.7f, 12.8f}), 2, 2, 2, 1, native({0.1})).bytes;
  const size_t area = 25 + 16;
  const uint32_t plen0 = rd<uint32_t>(big, area + 4), vlen0 = rd<uint32_t>(big, area + 12 + plen0);
  EXPECT_EQ(xz_decompress_bounded(std::string_view(big).substr(area + 16 + plen0, vlen0), 64, "v").size(), 2u);
  EXPECT_TRUE(torch::equal(decode_residuals(big).values, f32({127.0f, 128.0f})));  // data numbers
  // Data numbers that all fit int8 are stored as int8; the band of a position is position mod C.
  const ResidualBlob small =
      encode_residuals(i64({1, 4, 6}), f32({0.0127f, -0.0003f, 0.0051f}), 1, 2, 2, 2, native({1e-4, 1e-3}));
  EXPECT_EQ(small.dtype, "int8");
  EXPECT_TRUE(torch::equal(decode_residuals(small.bytes, std::nullopt, std::string("int8")).values, f32({13, -3, 51})));
  EXPECT_TRUE(torch::allclose(decode_residuals(small.bytes, std::vector<double>{1e-4, 1e-3}, std::string("int8")).values,
                              f32({0.013f, -0.0003f, 0.0051f})));
  // Beyond int16 the data numbers are clipped.
  const ResidualBlob clip = encode_residuals(i64({0, 1}), f32({4000.0f, -4000.0f}), 1, 2, 1, 1, native({0.1}));
  EXPECT_TRUE(torch::equal(decode_residuals(clip.bytes).values, f32({32767.0f, -32768.0f})));
}

TEST(ResidualBlob, ValueModeDecision) {
  using S = std::optional<std::vector<double>>;
  using D = std::optional<std::string>;
  auto sc = [](std::vector<double> v) { return S(std::move(v)); };
  const ResidualValueMode m = decide_residual_value_mode(sc({1e-4}), D("uint16"), 1, 6);
  EXPECT_TRUE(m.native);
  EXPECT_EQ(m.scales, std::vector<double>(6, 1e-4));
  EXPECT_TRUE(decide_residual_value_mode(sc({1, 2}), D("<i2"), 1, 2).native);
  // Per-frame values for a scale count that is neither 1 nor C, a scale that is not positive and
  // finite, blocks, or a missing scale or type.
  const std::vector<std::tuple<S, D, int64_t, int64_t>> per_frame = {
      {sc({1e-4, 1, 1, 1, 1}), "uint16", 1, 6}, {sc({0.0}), "uint16", 1, 3}, {sc({1.0, -1.0}), "uint16", 1, 2},
      {sc({NAN}), "uint16", 1, 1}, {sc({1.0}), "uint16", 4, 1}, {std::nullopt, "uint16", 1, 1},
      {sc({1.0}), std::nullopt, 1, 1}};
  for (const auto& [s, d, block, c] : per_frame) EXPECT_FALSE(decide_residual_value_mode(s, d, block, c).native);
}

TEST(ResidualBlob, EncoderRejectsBadInput) {
  const ResidualValueMode pf;
  EXPECT_THROW(encode_residuals(i64({24}), f32({1}), 1, 2, 3, 4, pf), std::invalid_argument);
  EXPECT_THROW(encode_residuals(i64({-1}), f32({1}), 1, 2, 3, 4, pf), std::invalid_argument);
  EXPECT_THROW(encode_residuals(i64({3, 3}), f32({1, 2}), 1, 2, 3, 4, pf), std::invalid_argument);
  EXPECT_THROW(encode_residuals(i64({3}), f32({NAN}), 1, 2, 3, 4, pf), std::invalid_argument);
  EXPECT_THROW(encode_residuals(i64({3, 4}), f32({1}), 1, 2, 3, 4, pf), std::invalid_argument);
  EXPECT_THROW(encode_residuals(i64({3}), f32({1}), 1, 2, 3, 4, native({1.0, 2.0})), std::invalid_argument);
  EXPECT_THROW(encode_residuals(i64({0}), f32({1}), 1, 1 << 16, 1 << 16, 1, pf), std::invalid_argument);
}

TEST(ResidualBlob, DecoderRejectsInconsistentLayouts) {
  const std::string good = encode_residuals(i64({1, 5}), f32({1, 2}), 2, 2, 2, 1, ResidualValueMode{}).bytes;
  auto patch = [&](size_t off, auto v) {
    std::string s = good;
    std::memcpy(s.data() + off, &v, sizeof v);
    return s;
  };
  EXPECT_THROW(decode_residuals(good + '\0'), std::invalid_argument);
  EXPECT_THROW(decode_residuals(good.substr(0, good.size() - 1)), std::invalid_argument);
  EXPECT_THROW(decode_residuals(patch(0, uint32_t{4})), std::invalid_argument);    // main stream
  EXPECT_THROW(decode_residuals(patch(4, uint8_t{2})), std::invalid_argument);     // flag
  EXPECT_THROW(decode_residuals(patch(21, uint32_t{3})), std::invalid_argument);   // frame count != T
  EXPECT_THROW(decode_residuals(patch(5, int32_t{-1})), std::invalid_argument);    // negative T
  EXPECT_THROW(decode_residuals(patch(17, int32_t{0})), std::invalid_argument);    // C = 0: count exceeds cells
  EXPECT_THROW(decode_residuals(patch(33, uint64_t{1} << 40)), std::invalid_argument);  // offset past the end
  EXPECT_THROW(decode_residuals(patch(5, int32_t{1 << 30})), std::invalid_argument);  // T far beyond the bytes
  EXPECT_THROW(decode_residuals(good, std::vector<double>{1.0, 2.0}), std::invalid_argument);
  EXPECT_THROW(decode_residuals(good, std::vector<double>{1.0}), std::invalid_argument);  // per-frame values
  EXPECT_THROW(decode_residuals(good, std::nullopt, std::string("int32")), std::invalid_argument);
}

// Round trips over many small random cubes, both value modes, checked against an independent
// re-computation of what must come back.
TEST(ResidualBlob, RandomRoundTrips) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<float> u(-50.0f, 50.0f);
  for (int iter = 0; iter < 300; ++iter) {
    const int64_t T = 1 + rng() % 5, H = 1 + rng() % 4, W = 1 + rng() % 4, C = 1 + rng() % 3, fc = H * W * C;
    std::vector<int64_t> idx(T * fc);
    std::iota(idx.begin(), idx.end(), 0);
    std::shuffle(idx.begin(), idx.end(), rng);
    idx.resize(rng() % (idx.size() + 1));
    std::vector<float> vals;
    std::map<int64_t, float> want;  // ascending, as decoded
    double frame_max[5] = {0};
    for (int64_t i : idx) {
      vals.push_back(iter % 7 == 0 ? 0.0f : u(rng));
      want[i] = vals.back();
      frame_max[i / fc] = std::max<double>(frame_max[i / fc], std::fabs(vals.back()));
    }
    const bool nat = iter % 2;
    std::vector<double> scales;
    for (int64_t c = 0; c < C; ++c) scales.push_back(nat ? 0.05 * (c + 1) + (iter % 3 == 0 ? 1.0 : 0.0) : 1.0);
    // The layout does not depend on the compression levels; low ones keep this test fast.
    const ResidualBlob b =
        encode_residuals(i64(idx), f32(vals), T, H, W, C, nat ? native(scales) : ResidualValueMode{}, 1, 0);
    const DecodedResiduals d = nat ? decode_residuals(b.bytes, scales) : decode_residuals(b.bytes);
    ASSERT_EQ(d.indices.numel(), static_cast<int64_t>(idx.size()));
    const double qmax = b.dtype == "int8" ? 127.0 : 32767.0;
    int64_t k = 0;
    for (const auto& [i, v] : want) {
      ASSERT_EQ(d.indices[k].item<int64_t>(), i);
      const float got = d.values[k++].item<float>();
      if (nat) {
        const double s = scales[i % C];
        ASSERT_FLOAT_EQ(got, static_cast<float>(std::clamp(std::nearbyint(v / s), -qmax - 1, qmax) * s));
      } else {  // half a step, plus the float32 rounding of the stored scale and of the product
        ASSERT_LE(std::fabs(got - v), std::max(frame_max[i / fc] / 32767.0, 1e-6) * 0.51);
      }
    }
  }
}

// ---- mask ---------------------------------------------------------------------------------------

TEST(MaskBlob, StaticValidCubeAndBlockExpansion) {
  const MaskBlob m = build_mask_blob(torch::ones({2 * 3 * 5}, torch::kBool), 2, 3, 5, 1, 1, true);
  EXPECT_TRUE(torch::equal(*decode_mask(m.bytes), torch::zeros({1, 3, 5}, torch::kBool)));
  EXPECT_EQ(m.lines, (std::vector<std::string>{" -> Mask (Real): Static", " -> Mask Packed: 0.00 MB (1 frames)"}));
  // 2x2 blocks over a 3x3 frame: block (0,1) lacks data, so pixels (0,2) and (1,2) do.
  const torch::Tensor blocks = torch::tensor({1, 0, 1, 1}, torch::kBool);
  const torch::Tensor nodata = torch::tensor({0, 0, 1, 0, 0, 1, 0, 0, 0}, torch::kBool).reshape({1, 3, 3});
  EXPECT_TRUE(torch::equal(*decode_mask(build_mask_blob(blocks, 1, 3, 3, 2, 2, false).bytes), nodata));
  EXPECT_THROW(expand_block_mask(blocks, 1, 5, 3, 2, 2), std::invalid_argument);
  EXPECT_THROW(build_mask_blob(torch::ones({7}, torch::kBool), 1, 2, 4, 1, 1, true), std::invalid_argument);
}

TEST(MaskBlob, DecoderRejectsDamage) {
  torch::Tensor nodata = torch::zeros({2, 3, 3}, torch::kBool);
  nodata[1][2][2] = true;
  const std::string s = encode_mask(nodata, false);
  std::string unknown_type = s;
  unknown_type[0] = 2;
  EXPECT_THROW(decode_mask(unknown_type), std::invalid_argument);
  // A 3x3 frame packs into 2 bytes with 7 padding bits that must be zero.
  std::string pad = s.substr(0, 13);
  const std::string z = zstd_compress(std::string("\x00\x01", 2), 3);
  const uint32_t n = static_cast<uint32_t>(z.size());
  for (int f = 0; f < 2; ++f) pad += std::string(reinterpret_cast<const char*>(&n), 4) + z;
  EXPECT_THROW(decode_mask(pad), std::invalid_argument);
}

// The caller's limits are checked against the header before anything is inflated: each case
// is refused, and the matching limits decode the same blob.
TEST(MaskBlob, DecoderChecksTheCallersLimits) {
  torch::Tensor nodata = torch::zeros({3, 4, 5}, torch::kBool);
  nodata[2][1][3] = true;
  const std::string dyn = encode_mask(nodata, false), stat = encode_mask(nodata, true);
  using Cube = std::array<int64_t, 3>;
  EXPECT_TRUE(torch::equal(*decode_mask(dyn, MaskLimits{Cube{3, 4, 5}, 60}), nodata));
  EXPECT_EQ(decode_mask(stat, MaskLimits{Cube{3, 4, 5}, 20})->size(0), 1);  // a static mask fits any T
  const std::vector<std::pair<std::string, MaskLimits>> refused = {
      {dyn, {Cube{2, 4, 5}, UINT64_MAX}}, {dyn, {Cube{3, 5, 4}, UINT64_MAX}}, {stat, {Cube{3, 4, 6}, UINT64_MAX}},
      {dyn, {std::nullopt, 59}}, {stat, {std::nullopt, 19}}};
  for (const auto& [blob, limits] : refused) EXPECT_THROW(decode_mask(blob, limits), std::invalid_argument);
}

TEST(ResidualBlob, DecoderChecksTheCallersLimits) {
  const std::string b = encode_residuals(i64({1, 5, 7}), f32({1, 2, 3}), 2, 2, 2, 1, ResidualValueMode{}).bytes;
  using Cube = std::array<int64_t, 4>;
  EXPECT_EQ(decode_residuals(b, std::nullopt, std::nullopt, ResidualLimits{Cube{2, 2, 2, 1}, 3, 3}).indices.numel(), 3);
  const std::vector<ResidualLimits> refused = {
      {Cube{2, 2, 2, 2}, std::nullopt, UINT64_MAX}, {Cube{1, 2, 2, 1}, std::nullopt, UINT64_MAX},
      {std::nullopt, 4, UINT64_MAX}, {std::nullopt, 2, UINT64_MAX}, {std::nullopt, std::nullopt, 2}};
  for (const auto& limits : refused)
    EXPECT_THROW(decode_residuals(b, std::nullopt, std::nullopt, limits), std::invalid_argument);
  // A blob without outliers holds none, whatever the chunk metadata says.
  const std::string none(5, '\0');
  EXPECT_NO_THROW(decode_residuals(none, std::nullopt, std::nullopt, ResidualLimits{std::nullopt, 0, 0}));
  EXPECT_THROW(decode_residuals(none, std::nullopt, std::nullopt, ResidualLimits{std::nullopt, 1, 9}),
               std::invalid_argument);
}

// ---- weights ------------------------------------------------------------------------------------

TEST(WeightBlob, QuantizationEdgeCases) {
  // Zero component: scale qmax/1e-9, all zeros. 127 maps to +qmax with a float32 scale of
  // exactly 1, where halves round to even.
  const auto zero = torch::zeros({4}), dec = torch::tensor({1.0f, -0.5f, 0.1f});
  const auto peak = torch::tensor({127.0f, 2.5f, 3.5f, -2.5f, 0.5f, -127.0f});
  const QuantizedWeights q = quantize_weights({zero, peak, dec}, {"spatial", "phenology", "decoder"}, 8);
  EXPECT_DOUBLE_EQ(q.recipe.scales[0], 127.0 / 1e-9);
  EXPECT_DOUBLE_EQ(q.recipe.scales[1], 127.0 / (127.0 + 1e-9));
  ASSERT_EQ(q.raw.size(), 4u + 6u + 6u);
  EXPECT_EQ(q.raw.substr(0, 4), std::string(4, '\0'));
  const std::vector<int8_t> want = {127, 2, 4, -2, 0, -127};
  EXPECT_EQ(std::vector<int8_t>(q.raw.begin() + 4, q.raw.begin() + 10), want);
  EXPECT_EQ(q.lines[0], "   - spatial:           4 params, |max|=0, int8 scale=1.27e+11");
  EXPECT_EQ(q.lines[2], "   - decoder:         3 params, |max|=1, stored as float16 (0.0 KB)");
  EXPECT_TRUE(torch::equal(restore_weights(q.raw, q.recipe)[0], zero));

  const QuantizedWeights q16 = quantize_weights({torch::tensor({-0.5f, 0.25f}), dec}, {"spatial", "decoder"}, 16);
  EXPECT_EQ(rd<int16_t>(q16.raw, 0), -32767);
  EXPECT_EQ(rd<int16_t>(q16.raw, 2), 16384);  // 16383.5 rounds to even
  // Half-precision and empty components take the same path.
  const auto half = torch::tensor({1.5f, -3.0f}).to(torch::kHalf);
  const QuantizedWeights qh = quantize_weights({torch::zeros({0}), half, dec}, {"a", "b", "decoder"}, 16);
  const auto r = restore_weights(qh.raw, qh.recipe);
  EXPECT_EQ(r[0].numel(), 0);
  EXPECT_TRUE(torch::allclose(r[1], half.to(torch::kFloat), 0, 0.51 / qh.recipe.scales[1]));
}

TEST(WeightBlob, Float16FallbackAndValidation) {
  const auto a = torch::tensor({1.0, 2.0}, torch::kDouble), b = torch::tensor({-1.0f});
  const QuantizedWeights q = quantize_weights({a, b}, {"spatial", "decoder"}, 12);
  EXPECT_EQ(q.recipe.mode, "float16");
  EXPECT_EQ(restore_weights(q.raw, q.recipe).at(0).numel(), 3);
  EXPECT_THROW(quantize_weights({}, {}, 16), std::invalid_argument);
  EXPECT_THROW(quantize_weights({a}, {"x", "y"}, 16), std::invalid_argument);
  EXPECT_THROW(quantize_weights({torch::tensor({1, 2}), b}, {"s", "d"}, 16), std::invalid_argument);
  // A recipe with fewer scales than components.
  WeightRecipe r = quantize_weights({a, a, b}, {"s", "t", "d"}, 16).recipe;
  const std::string raw(2 * 5, '\0');
  EXPECT_NO_THROW(restore_weights(raw, r));
  r.scales.pop_back();
  EXPECT_THROW(restore_weights(raw, r), std::invalid_argument);
}

}  // namespace
}  // namespace qelm::blobs
