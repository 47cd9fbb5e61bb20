#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <set>

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

ResidualValueMode native(std::vector<double> s) {
  ResidualValueMode m;
  m.native = true;
  m.scales = std::move(s);
  return m;
}

// Every prefix of a valid blob is invalid; every single-byte change either decodes or is
// rejected with invalid_argument (anything else, or a crash under the sanitizers, fails).
template <typename Decode>
void expect_robust(const std::string& blob, Decode decode, size_t first_invalid_prefix = 0) {
  for (size_t n = first_invalid_prefix; n < blob.size(); ++n)
    EXPECT_THROW(decode(std::string_view(blob).substr(0, n)), std::invalid_argument) << "prefix " << n;
  for (size_t i = 0; i < blob.size(); ++i) {
    for (int delta : {1, 0x80, 0xFF}) {
      std::string bad = blob;
      bad[i] = static_cast<char>(bad[i] + delta);
      try {
        decode(bad);
      } catch (const std::invalid_argument&) {
      }
    }
  }
  std::string longer = blob + std::string(1, '\0');
  EXPECT_THROW(decode(longer), std::invalid_argument);
}

// ---- residuals ----------------------------------------------------------------------------------

TEST(ResidualBlob, NoOutliersIsFiveZeroBytes) {
  ResidualBlob b = encode_residuals(i64({}), f32({}), 3, 4, 5, 2, ResidualValueMode{});
  EXPECT_EQ(b.bytes, std::string(5, '\0'));
  EXPECT_EQ(b.dtype, "int16");
  EXPECT_EQ(b.outlier_count, 0);
  EXPECT_EQ(b.outlier_value_scale, 1.0);
  ASSERT_EQ(b.lines.size(), 1u);
  EXPECT_EQ(b.lines[0], " -> Residuals Packed: 0.00 MB (0 outliers)");
  DecodedResiduals d = decode_residuals(b.bytes);
  EXPECT_FALSE(d.has_shape);
  EXPECT_EQ(d.indices.numel(), 0);
}

TEST(ResidualBlob, EmptyFramesAndOffsets) {
  const int64_t T = 4, H = 3, W = 2, C = 2, fc = H * W * C;
  // Outliers only in frame 2, given out of order.
  ResidualBlob b = encode_residuals(i64({2 * fc + 7, 2 * fc + 1, 2 * fc + 11}), f32({0.5f, -1.0f, 0.25f}), T, H, W, C,
                                    ResidualValueMode{});
  const std::string& s = b.bytes;
  EXPECT_EQ(rd<uint32_t>(s, 0), 0u);
  EXPECT_EQ(static_cast<uint8_t>(s[4]), 1);
  EXPECT_EQ(rd<int32_t>(s, 5), T);
  EXPECT_EQ(rd<int32_t>(s, 9), H);
  EXPECT_EQ(rd<int32_t>(s, 13), W);
  EXPECT_EQ(rd<int32_t>(s, 17), C);
  EXPECT_EQ(rd<uint32_t>(s, 21), static_cast<uint32_t>(T));
  const size_t area = 25 + 8 * T;
  const uint64_t o0 = rd<uint64_t>(s, 25), o1 = rd<uint64_t>(s, 33), o2 = rd<uint64_t>(s, 41), o3 = rd<uint64_t>(s, 49);
  EXPECT_EQ(o0, 0u);
  EXPECT_EQ(o1, 16u);
  EXPECT_EQ(o2, 32u);
  for (uint64_t off : {o0, o1, o3}) {
    EXPECT_EQ(rd<float>(s, area + off), 1.0f);
    EXPECT_EQ(rd<uint32_t>(s, area + off + 4), 0u);
    EXPECT_EQ(rd<uint32_t>(s, area + off + 8), 0u);
    EXPECT_EQ(rd<uint32_t>(s, area + off + 12), 0u);
  }
  EXPECT_EQ(area + o3 + 16, s.size());
  // Frame 2: per-frame scale from its own maximum, delta-coded sorted positions.
  const size_t f2 = area + o2;
  EXPECT_FLOAT_EQ(rd<float>(s, f2), static_cast<float>(1.0 / 32767.0));
  const uint32_t plen = rd<uint32_t>(s, f2 + 4);
  EXPECT_EQ(o3 - o2, 4 + 4 + plen + 4 + 4 + rd<uint32_t>(s, f2 + 12 + plen));
  const std::string deltas = zstd_decompress_exact(std::string_view(s).substr(f2 + 8, plen), 12, "positions");
  EXPECT_EQ(rd<int32_t>(deltas, 0), 1);
  EXPECT_EQ(rd<int32_t>(deltas, 4), 6);
  EXPECT_EQ(rd<int32_t>(deltas, 8), 4);
  EXPECT_EQ(rd<uint32_t>(s, f2 + 8 + plen), 3u);
  EXPECT_EQ(b.dtype, "int16");
  EXPECT_DOUBLE_EQ(b.outlier_value_scale, 1.0 / 32767.0);

  DecodedResiduals d = decode_residuals(s);
  ASSERT_TRUE(d.has_shape);
  EXPECT_EQ(d.T, T);
  EXPECT_EQ(d.C, C);
  EXPECT_TRUE(torch::equal(d.indices, i64({2 * fc + 1, 2 * fc + 7, 2 * fc + 11})));
  EXPECT_TRUE(torch::allclose(d.values, f32({-1.0f, 0.5f, 0.25f}), 0, 1.0 / 32767));
  expect_robust(s, [](std::string_view v) { decode_residuals(v); });
}

TEST(ResidualBlob, NativeWidthIsDecidedOnceForAllFrames) {
  const int64_t T = 2, H = 2, W = 2, C = 1, fc = 4;
  // 12.7 / 0.1 rounds to 127: int8 fits.
  ResidualBlob small = encode_residuals(i64({0, fc + 1}), f32({12.7f, -3.0f}), T, H, W, C, native({0.1}));
  EXPECT_EQ(small.dtype, "int8");
  DecodedResiduals ds = decode_residuals(small.bytes, std::vector<double>{0.1});
  EXPECT_EQ(ds.dtype, "int8");
  EXPECT_TRUE(torch::allclose(ds.values, f32({12.7f, -3.0f}), 1e-6, 1e-6));
  EXPECT_THROW(decode_residuals(small.bytes, std::nullopt, std::string("int16")), std::invalid_argument);
  // One value of 128 data numbers in frame 1 makes frame 0 int16 as well.
  ResidualBlob big = encode_residuals(i64({0, fc + 1}), f32({12.7f, 12.8f}), T, H, W, C, native({0.1}));
  EXPECT_EQ(big.dtype, "int16");
  const std::string& s = big.bytes;
  const size_t area = 25 + 16;
  const uint32_t plen0 = rd<uint32_t>(s, area + 4);
  EXPECT_EQ(rd<float>(s, area), 1.0f);  // native frames carry scale 1.0
  const uint32_t vlen0 = rd<uint32_t>(s, area + 12 + plen0);
  EXPECT_EQ(xz_decompress_bounded(std::string_view(s).substr(area + 16 + plen0, vlen0), 64, "v").size(), 2u);
  DecodedResiduals raw = decode_residuals(s);  // without band scales: data numbers
  EXPECT_TRUE(torch::equal(raw.values, f32({127.0f, 128.0f})));
  // Beyond int16 the data numbers are clipped.
  ResidualBlob clip = encode_residuals(i64({0, 1}), f32({4000.0f, -4000.0f}), 1, 2, 1, 1, native({0.1}));
  EXPECT_TRUE(torch::equal(decode_residuals(clip.bytes).values, f32({32767.0f, -32768.0f})));
}

TEST(ResidualBlob, PerFrameScaleFloorAndSaturation) {
  ResidualBlob z = encode_residuals(i64({0, 3}), f32({0.0f, -0.0f}), 1, 2, 2, 1, ResidualValueMode{});
  EXPECT_FLOAT_EQ(rd<float>(z.bytes, 25 + 8), 1e-6f);
  EXPECT_DOUBLE_EQ(z.outlier_value_scale, 1e-6);
  ResidualBlob b = encode_residuals(i64({0, 1, 2}), f32({-5.0f, 5.0f, 2.5f}), 1, 3, 1, 1, ResidualValueMode{});
  DecodedResiduals d = decode_residuals(b.bytes);
  EXPECT_FLOAT_EQ(d.values[0].item<float>(), -5.0f);
  EXPECT_FLOAT_EQ(d.values[1].item<float>(), 5.0f);
  EXPECT_EQ(b.lines[0], " -> Residuals Packed: 0.00 MB (delta-pos 0.00 MB + int16 vals 0.00 MB for 3 outliers)");
}

TEST(ResidualBlob, ValueModeDecision) {
  using S = std::optional<std::vector<double>>;
  using D = std::optional<std::string>;
  auto m = decide_residual_value_mode(S(std::vector<double>{1e-4}), D("uint16"), 1, 6);
  EXPECT_TRUE(m.native);
  EXPECT_EQ(m.scales, std::vector<double>(6, 1e-4));
  EXPECT_EQ(residual_native_mode_line({1e-4, 0.5}), " -> Residual value mode: native DN (per-band scale=[0.0001, 0.5])");
  EXPECT_TRUE(decide_residual_value_mode(S(std::vector<double>{1, 2}), D("<i2"), 1, 2).native);
  EXPECT_FALSE(decide_residual_value_mode(S(std::vector<double>{1e-4, 1, 1, 1, 1}), D("uint16"), 1, 6).native);
  EXPECT_FALSE(decide_residual_value_mode(S(std::vector<double>{0.0}), D("uint16"), 1, 3).native);
  EXPECT_FALSE(decide_residual_value_mode(S(std::vector<double>{1.0, -1.0}), D("uint16"), 1, 2).native);
  EXPECT_FALSE(decide_residual_value_mode(S(std::vector<double>{NAN}), D("uint16"), 1, 1).native);
  EXPECT_FALSE(decide_residual_value_mode(S(std::vector<double>{1.0}), D("uint16"), 4, 1).native);
  EXPECT_FALSE(decide_residual_value_mode(S(std::vector<double>{1.0}), D("float32"), 1, 1).native);
  EXPECT_FALSE(decide_residual_value_mode(S(std::vector<double>{1.0}), D("not-a-type"), 1, 1).native);
  EXPECT_FALSE(decide_residual_value_mode(std::nullopt, D("uint16"), 1, 1).native);
  EXPECT_FALSE(decide_residual_value_mode(S(std::vector<double>{1.0}), std::nullopt, 1, 1).native);
  for (const char* n : {"int8", "u2", "|u1", ">u4", "B", "longlong", "intp"}) EXPECT_TRUE(is_integer_dtype_name(n)) << n;
  for (const char* n : {"bool", "m8", "<int16", "f4", "", "<", "int16 ", "complex64"})
    EXPECT_FALSE(is_integer_dtype_name(n)) << n;
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
  // A frame whose positions go backwards or leave the frame.
  auto frame_with = [](std::vector<int32_t> deltas) {
    std::string raw(reinterpret_cast<const char*>(deltas.data()), deltas.size() * 4);
    std::string pos = zstd_compress(raw, 3);
    std::string vals = xz_compress(std::string(deltas.size() * 2, '\0'), 6);
    std::string s(4, '\0');
    s += '\1';
    for (int32_t v : {1, 2, 2, 1}) s.append(reinterpret_cast<const char*>(&v), 4);
    uint32_t one = 1;
    s.append(reinterpret_cast<const char*>(&one), 4);
    s.append(8, '\0');
    float scale = 1.0f;
    s.append(reinterpret_cast<const char*>(&scale), 4);
    uint32_t n = static_cast<uint32_t>(pos.size()), c = static_cast<uint32_t>(deltas.size()),
             vn = static_cast<uint32_t>(vals.size());
    s.append(reinterpret_cast<const char*>(&n), 4);
    s += pos;
    s.append(reinterpret_cast<const char*>(&c), 4);
    s.append(reinterpret_cast<const char*>(&vn), 4);
    return s + vals;
  };
  EXPECT_NO_THROW(decode_residuals(frame_with({0, 1, 2})));
  EXPECT_THROW(decode_residuals(frame_with({1, 0})), std::invalid_argument);
  EXPECT_THROW(decode_residuals(frame_with({2, -1})), std::invalid_argument);
  EXPECT_THROW(decode_residuals(frame_with({4})), std::invalid_argument);
}

// Round trips over many small random cubes, both value modes, checked against an independent
// re-computation of what must come back.
TEST(ResidualBlob, RandomRoundTrips) {
  std::mt19937_64 rng(7);
  for (int iter = 0; iter < 300; ++iter) {
    const int64_t T = 1 + rng() % 5, H = 1 + rng() % 4, W = 1 + rng() % 4, C = 1 + rng() % 3;
    const int64_t cells = T * H * W * C;
    std::vector<int64_t> all(cells);
    std::iota(all.begin(), all.end(), 0);
    std::shuffle(all.begin(), all.end(), rng);
    all.resize(rng() % (cells + 1));
    std::vector<float> vals;
    std::uniform_real_distribution<float> u(-50.0f, 50.0f);
    for (size_t i = 0; i < all.size(); ++i) vals.push_back(iter % 7 == 0 ? 0.0f : u(rng));
    const bool nat = iter % 2;
    std::vector<double> scales;
    for (int64_t c = 0; c < C; ++c) scales.push_back(nat ? 0.05 * (c + 1) + (iter % 3 == 0 ? 1.0 : 0.0) : 1.0);
    const ResidualValueMode mode = nat ? native(scales) : ResidualValueMode{};
    // The layout does not depend on the compression levels; low ones keep this test fast.
    const ResidualBlob b = encode_residuals(i64(all), f32(vals), T, H, W, C, mode, 1, 0);
    ASSERT_EQ(b.outlier_count, static_cast<int64_t>(all.size()));
    const DecodedResiduals d = nat ? decode_residuals(b.bytes, scales) : decode_residuals(b.bytes);
    std::vector<size_t> order(all.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t c) { return all[a] < all[c]; });
    ASSERT_EQ(d.indices.numel(), static_cast<int64_t>(all.size()));
    double frame_max[8] = {0};
    for (size_t i = 0; i < all.size(); ++i)
      frame_max[all[i] / (H * W * C)] = std::max<double>(frame_max[all[i] / (H * W * C)], std::fabs(vals[i]));
    for (size_t k = 0; k < order.size(); ++k) {
      const size_t i = order[k];
      ASSERT_EQ(d.indices[k].item<int64_t>(), all[i]);
      const float got = d.values[k].item<float>();
      if (nat) {
        const double s = scales[all[i] % C];
        const double q = std::clamp(std::nearbyint(vals[i] / s), b.dtype == "int8" ? -128.0 : -32768.0,
                                    b.dtype == "int8" ? 127.0 : 32767.0);
        ASSERT_FLOAT_EQ(got, static_cast<float>(q * s));
      } else {
        const double step = std::max(frame_max[all[i] / (H * W * C)] / 32767.0, 1e-6);
        // Half a step, plus the float32 rounding of the stored scale and of the product.
        ASSERT_LE(std::fabs(got - vals[i]), step * 0.51);
      }
    }
  }
}

// ---- mask ---------------------------------------------------------------------------------------

TEST(MaskBlob, StaticValidCubeLayout) {
  const MaskBlob m = build_mask_blob(torch::ones({2 * 3 * 5}, torch::kBool), 2, 3, 5, 1, 1, true);
  const std::string& s = m.bytes;
  EXPECT_EQ(static_cast<uint8_t>(s[0]), 0);
  EXPECT_EQ(rd<int32_t>(s, 1), 1);
  EXPECT_EQ(rd<int32_t>(s, 5), 3);
  EXPECT_EQ(rd<int32_t>(s, 9), 5);
  const uint32_t len = rd<uint32_t>(s, 13);
  EXPECT_EQ(s.size(), 17 + len);
  EXPECT_EQ(zstd_decompress_exact(std::string_view(s).substr(17, len), 2, "frame"), std::string(2, '\0'));
  EXPECT_EQ(m.lines, (std::vector<std::string>{" -> Mask (Real): Static", " -> Mask Packed: 0.00 MB (1 frames)"}));
}

TEST(MaskBlob, BitOrderStaticAndDynamic) {
  // Frame 0 lacks pixels 0 and 9 of a 1x10 row, frame 1 only pixel 9.
  torch::Tensor nodata = torch::zeros({2, 1, 10}, torch::kBool);
  nodata[0][0][0] = true;
  nodata[0][0][9] = true;
  nodata[1][0][9] = true;
  const std::string dyn = encode_mask(nodata, false);
  EXPECT_EQ(static_cast<uint8_t>(dyn[0]), 1);
  EXPECT_EQ(rd<int32_t>(dyn, 1), 2);
  const uint32_t l0 = rd<uint32_t>(dyn, 13);
  EXPECT_EQ(zstd_decompress_exact(std::string_view(dyn).substr(17, l0), 2, "f"), std::string("\x80\x40", 2));
  EXPECT_TRUE(torch::equal(*decode_mask(dyn), nodata));
  // Static keeps only the pixel missing in every frame.
  const torch::Tensor st = *decode_mask(encode_mask(nodata, true));
  EXPECT_EQ(st.sizes(), (std::vector<int64_t>{1, 1, 10}));
  EXPECT_FALSE(st[0][0][0].item<bool>());
  EXPECT_TRUE(st[0][0][9].item<bool>());
  EXPECT_EQ(st.sum().item<int64_t>(), 1);
  EXPECT_FALSE(decode_mask("").has_value());
}

TEST(MaskBlob, BlockExpansionCrops) {
  // 2x2 blocks over a 3x3 frame: block (0,1) lacks data.
  torch::Tensor blocks = torch::tensor({1, 0, 1, 1}, torch::kBool);
  const torch::Tensor e = expand_block_mask(blocks, 1, 3, 3, 2, 2);
  const torch::Tensor want = torch::tensor({1, 1, 0, 1, 1, 0, 1, 1, 1}, torch::kBool).reshape({1, 3, 3});
  EXPECT_TRUE(torch::equal(e, want));
  const MaskBlob m = build_mask_blob(blocks, 1, 3, 3, 2, 2, false);
  EXPECT_TRUE(torch::equal(*decode_mask(m.bytes), torch::logical_not(want)));
  EXPECT_THROW(expand_block_mask(blocks, 1, 5, 3, 2, 2), std::invalid_argument);
  EXPECT_THROW(build_mask_blob(torch::ones({7}, torch::kBool), 1, 2, 4, 1, 1, true), std::invalid_argument);
}

TEST(MaskBlob, DecoderRejectsDamage) {
  torch::Tensor nodata = torch::zeros({2, 3, 3}, torch::kBool);
  nodata[1][2][2] = true;
  const std::string s = encode_mask(nodata, false);
  // The empty prefix is the valid "no mask" blob.
  expect_robust(s, [](std::string_view v) { decode_mask(v); }, 1);
  std::string bad_type = s;
  bad_type[0] = 2;
  EXPECT_THROW(decode_mask(bad_type), std::invalid_argument);
  std::string static_two = s;
  static_two[0] = 0;
  EXPECT_THROW(decode_mask(static_two), std::invalid_argument);
  // A 3x3 frame packs into 2 bytes with 7 padding bits that must be zero.
  std::string pad = s.substr(0, 13);
  const std::string z = zstd_compress(std::string("\x00\x01", 2), 3);
  for (int f = 0; f < 2; ++f) {
    uint32_t n = static_cast<uint32_t>(z.size());
    pad.append(reinterpret_cast<const char*>(&n), 4);
    pad += z;
  }
  EXPECT_THROW(decode_mask(pad), std::invalid_argument);
}

TEST(MaskBlob, RandomRoundTrips) {
  std::mt19937_64 rng(11);
  for (int iter = 0; iter < 200; ++iter) {
    const int64_t N = rng() % 4, H = rng() % 9, W = rng() % 9;
    const torch::Tensor nodata = torch::rand({N, H, W}) < (iter % 3) * 0.4;
    const bool st = iter % 2;
    const auto d = decode_mask(encode_mask(nodata, st));
    ASSERT_TRUE(d.has_value());
    ASSERT_TRUE(torch::equal(*d, st ? nodata.all(0, true) : nodata)) << N << "x" << H << "x" << W;
  }
}

// ---- weights ------------------------------------------------------------------------------------

TEST(WeightBlob, QuantizationEdgeCases) {
  // Zero component: scale qmax/1e-9, all zeros. 127 maps to +qmax with a float32 scale of
  // exactly 1, where halves round to even.
  const auto zero = torch::zeros({4});
  const auto peak = torch::tensor({127.0f, 2.5f, 3.5f, -2.5f, 0.5f, -127.0f});
  const auto dec = torch::tensor({1.0f, -0.5f, 0.1f});
  const QuantizedWeights q = quantize_weights({zero, peak, dec}, {"spatial", "phenology", "decoder"}, 8);
  EXPECT_EQ(q.recipe.mode, "int8_per_tensor_f16dec");
  EXPECT_DOUBLE_EQ(q.recipe.scales[0], 127.0 / 1e-9);
  EXPECT_DOUBLE_EQ(q.recipe.scales[1], 127.0 / (127.0 + 1e-9));
  EXPECT_EQ(q.recipe.sizes, (std::vector<int64_t>{4, 6}));
  EXPECT_EQ(q.recipe.components, (std::vector<std::string>{"spatial", "phenology"}));
  EXPECT_EQ(q.recipe.decoder_size, 3);
  EXPECT_EQ(q.recipe.decoder_name, "decoder");
  ASSERT_EQ(q.raw.size(), 4u + 6u + 6u);
  EXPECT_EQ(q.raw.substr(0, 4), std::string(4, '\0'));
  const std::vector<int8_t> want = {127, 2, 4, -2, 0, -127};
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(static_cast<int8_t>(q.raw[4 + i]), want[i]) << i;
  EXPECT_EQ(rd<uint16_t>(q.raw, 10), 0x3C00);  // 1.0 as float16
  EXPECT_EQ(rd<uint16_t>(q.raw, 12), 0xB800);  // -0.5
  ASSERT_EQ(q.lines.size(), 3u);
  EXPECT_EQ(q.lines[0], "   - spatial:           4 params, |max|=0, int8 scale=1.27e+11");
  EXPECT_EQ(q.lines[1], "   - phenology:           6 params, |max|=127, int8 scale=1");
  EXPECT_EQ(q.lines[2], "   - decoder:         3 params, |max|=1, stored as float16 (0.0 KB)");

  const QuantizedWeights q16 = quantize_weights({torch::tensor({-0.5f, 0.25f}), dec}, {"spatial", "decoder"}, 16);
  EXPECT_EQ(q16.recipe.mode, "int16_per_tensor_f16dec");
  EXPECT_EQ(rd<int16_t>(q16.raw, 0), -32767);
  EXPECT_EQ(rd<int16_t>(q16.raw, 2), 16384);  // 16383.5 rounds to even
  EXPECT_EQ(q16.lines[0], "   - spatial:           2 params, |max|=0.5, int16 scale=6.553e+04");
}

TEST(WeightBlob, Float16FallbackAndValidation) {
  const auto a = torch::tensor({1.0, 2.0}, torch::kDouble), b = torch::tensor({-1.0f});
  const QuantizedWeights q = quantize_weights({a, b}, {"spatial", "decoder"}, 12);
  EXPECT_EQ(q.recipe.mode, "float16");
  EXPECT_TRUE(q.recipe.scales.empty() && q.recipe.sizes.empty() && q.lines.empty());
  EXPECT_EQ(q.raw.size(), 6u);
  EXPECT_EQ(rd<uint16_t>(q.raw, 2), 0x4000);
  const std::vector<int64_t> split = {2, 1};
  auto r = restore_weights(q.raw, q.recipe, &split);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_TRUE(torch::equal(r[1], torch::tensor({-1.0f})));
  EXPECT_EQ(restore_weights(q.raw, q.recipe).at(0).numel(), 3);
  const std::vector<int64_t> wrong = {1, 1};
  EXPECT_THROW(restore_weights(q.raw, q.recipe, &wrong), std::invalid_argument);
  EXPECT_THROW(restore_weights(q.raw.substr(1), q.recipe), std::invalid_argument);

  EXPECT_THROW(quantize_weights({}, {}, 16), std::invalid_argument);
  EXPECT_THROW(quantize_weights({a}, {"x", "y"}, 16), std::invalid_argument);
  EXPECT_THROW(quantize_weights({torch::tensor({1.0f, NAN}), b}, {"s", "d"}, 16), std::invalid_argument);
  EXPECT_THROW(quantize_weights({torch::tensor({1, 2}), b}, {"s", "d"}, 16), std::invalid_argument);
}

TEST(WeightBlob, RestoreChecksTheRecipeAgainstThePayload) {
  const QuantizedWeights q = quantize_weights({torch::randn({10}), torch::randn({6}), torch::randn({3})},
                                              {"spatial", "code", "decoder"}, 16);
  ASSERT_EQ(q.raw.size(), 10u * 2 + 6 * 2 + 3 * 2);
  EXPECT_NO_THROW(restore_weights(q.raw, q.recipe));
  EXPECT_THROW(restore_weights(q.raw + std::string(1, '\0'), q.recipe), std::invalid_argument);
  EXPECT_THROW(restore_weights(q.raw.substr(0, q.raw.size() - 1), q.recipe), std::invalid_argument);
  WeightRecipe r = q.recipe;
  r.sizes[0] = int64_t{1} << 62;
  EXPECT_THROW(restore_weights(q.raw, r), std::invalid_argument);
  r = q.recipe;
  r.sizes[1] = -1;
  EXPECT_THROW(restore_weights(q.raw, r), std::invalid_argument);
  r = q.recipe;
  r.scales[0] = 0.0;
  EXPECT_THROW(restore_weights(q.raw, r), std::invalid_argument);
  r = q.recipe;
  r.scales.pop_back();
  EXPECT_THROW(restore_weights(q.raw, r), std::invalid_argument);
  r = q.recipe;
  r.mode = "int12_per_tensor_f16dec";
  EXPECT_THROW(restore_weights(q.raw, r), std::invalid_argument);
}

TEST(WeightBlob, RandomRoundTrips) {
  torch::manual_seed(3);
  for (int bits : {8, 16}) {
    for (int iter = 0; iter < 40; ++iter) {
      std::vector<torch::Tensor> ts;
      std::vector<std::string> names;
      const int k = 1 + iter % 4;
      for (int i = 0; i < k; ++i) {
        ts.push_back(torch::randn({iter % 5 == 0 ? 0 : 1 + iter * 7 % 50}) * std::pow(10.0, iter % 7 - 3));
        names.push_back("c" + std::to_string(i));
      }
      if (iter % 3 == 0) ts[0] = ts[0].to(torch::kHalf);
      const QuantizedWeights q = quantize_weights(ts, names, bits);
      const auto r = restore_weights(q.raw, q.recipe);
      ASSERT_EQ(r.size(), ts.size());
      for (int i = 0; i + 1 < k; ++i) {
        ASSERT_EQ(r[i].numel(), ts[i].numel());
        if (ts[i].numel() == 0) continue;
        const double step = 1.0 / q.recipe.scales[i];
        ASSERT_LE((r[i].to(torch::kDouble) - ts[i].to(torch::kDouble)).abs().max().item<double>(), step * 0.51 + 1e-12);
      }
      ASSERT_TRUE(torch::equal(r.back(), ts.back().to(torch::kHalf).to(torch::kFloat)));
    }
  }
}

}  // namespace
}  // namespace qelm::blobs
