#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "residual_codec.h"

namespace qelm::residual_codec {
namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

struct Shape {
  int64_t T, H, W, C;
  int64_t cells() const { return T * H * W * C; }
};

// A code field of one of the kinds the codec must carry exactly.
std::vector<int32_t> field(const std::string& kind, Shape s, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<int32_t> v(static_cast<size_t>(s.cells()));
  for (int64_t t = 0, i = 0; t < s.T; ++t)
    for (int64_t y = 0; y < s.H; ++y)
      for (int64_t x = 0; x < s.W; ++x)
        for (int64_t c = 0; c < s.C; ++c, ++i) {
          int32_t& o = v[i];
          if (kind == "zero") {
            o = 0;
          } else if (kind == "pm1") {
            o = static_cast<int32_t>(rng() % 3) - 1;
          } else if (kind == "small") {  // geometric magnitudes, mostly 0 and +-1
            int m = 0;
            while (rng() % 3 == 0 && m < 40) ++m;
            o = rng() % 2 ? m : -m;
          } else if (kind == "smooth") {  // the quantised field itself: wide, smooth in space and time
            o = static_cast<int32_t>(std::lround(900 * std::sin(0.3 * x + 0.2 * y + 0.5 * c) + 40 * t)) +
                static_cast<int32_t>(rng() % 3);
          } else if (kind == "extremes") {
            static const int32_t e[] = {kMin, kMax, 0, -1, 1, kMin + 1, kMax - 1};
            o = rng() % 2 ? e[rng() % 7] : static_cast<int32_t>(rng());
          } else if (kind == "spikes") {  // mostly zero, a few huge codes (a tight bound on spiky data)
            o = rng() % 17 == 0 ? (rng() % 2 ? kMax : kMin + static_cast<int32_t>(rng() % 1000)) : 0;
          } else {
            ADD_FAILURE() << kind;
          }
        }
  return v;
}

struct Mask {
  std::vector<uint8_t> data;
  MaskView view;
};

Mask mask(const std::string& kind, Shape s, uint32_t seed) {
  std::mt19937 rng(seed);
  Mask m;
  const int64_t hw = s.H * s.W;
  int64_t frames = 1;
  bool per_band = false;
  if (kind == "none") return m;
  if (kind == "dynamic" || kind == "per_band") frames = s.T;
  if (kind == "per_band" || kind == "static_band") per_band = true;
  const int64_t n = frames * hw * (per_band ? s.C : 1);
  m.data.resize(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    if (kind == "all_invalid")
      m.data[i] = 0;
    else if (kind == "one_valid")
      m.data[i] = i == n / 2;
    else
      m.data[i] = rng() % 4 != 0 ? (rng() % 2 ? 1 : 255) : 0;  // any nonzero is valid
  }
  m.view = MaskView{m.data.data(), frames, per_band};
  return m;
}

bool is_valid(const Mask& m, Shape s, int64_t t, int64_t pixel, int64_t c) {
  if (!m.view.valid) return true;
  const FrameMask f = m.view.frame(t, s.H, s.W, s.C);
  return f.valid[f.per_band ? pixel * s.C + c : pixel] != 0;
}

// The codes a decoder must return: the input at valid cells, 0 elsewhere.
std::vector<int32_t> expected(const std::vector<int32_t>& codes, const Mask& m, Shape s) {
  std::vector<int32_t> out(codes.size());
  for (int64_t t = 0, i = 0; t < s.T; ++t)
    for (int64_t p = 0; p < s.H * s.W; ++p)
      for (int64_t c = 0; c < s.C; ++c, ++i) out[i] = is_valid(m, s, t, p, c) ? codes[i] : 0;
  return out;
}

std::vector<int32_t> decode_all(const std::string& blob, Shape s, const Mask& m, bool verify = true) {
  std::vector<int32_t> out(static_cast<size_t>(s.cells()), 12345);
  decode(blob, s.T, s.H, s.W, s.C, m.view, 0, s.T, out.data(), verify);
  return out;
}

uint32_t only(uint8_t layout) { return (1u << kZero) | (1u << kRaw) | (1u << layout); }

TEST(ResidualCodes, RoundTripsEveryFieldMaskShapeAndLayout) {
  const std::vector<Shape> shapes = {{4, 5, 7, 2}, {1, 6, 9, 1}, {5, 1, 17, 1}, {5, 13, 1, 2}, {3, 1, 1, 3}};
  const char* fields[] = {"zero", "pm1", "small", "smooth", "extremes", "spikes"};
  const char* masks[] = {"none", "static", "dynamic", "per_band", "static_band", "all_invalid", "one_valid"};
  const uint32_t layouts[] = {Options{}.layouts,      only(kDense),       only(kLorenzo2),
                              only(kTemporal),        only(kLorenzo3),    only(kRegression2),
                              only(kRegression3),     1u << kLorenzo3 | 1u << kZero,
                              1u << kRegression3 | 1u << kZero};
  uint32_t seed = 1;
  for (const Shape& s : shapes)
    for (const char* f : fields)
      for (const char* mk : masks)
        for (uint32_t l : layouts)
          for (uint32_t key : {1u, 2u, 16u}) {
            const auto codes = field(f, s, seed);
            const Mask m = mask(mk, s, seed++);
            Options o;
            o.key_interval = key;
            o.layouts = l;
            const std::string blob = encode(codes.data(), s.T, s.H, s.W, s.C, m.view, o);
            ASSERT_EQ(decode_all(blob, s, m), expected(codes, m, s))
                << f << " " << mk << " layouts " << l << " key " << key << " shape " << s.T << "x" << s.H << "x"
                << s.W << "x" << s.C;
          }
}

TEST(ResidualCodes, EveryMagnitudeAndSignInEveryCodedLayout) {
  // Each exponent 0..31 of the magnitude binarisation, both signs, next to small codes, so every
  // unary length and mantissa width goes through each predictor; raw is excluded so the coded
  // path must carry them.
  std::vector<int32_t> codes;
  for (int n = 0; n < 31; ++n) {
    const uint32_t lo = 1u << n, hi = (lo << 1) - 1u;  // the smallest and largest of the exponent
    for (uint32_t m : {lo, hi}) {
      codes.push_back(static_cast<int32_t>(m));
      codes.push_back(-static_cast<int32_t>(m));
      codes.push_back(n % 3 - 1);
    }
  }
  codes.push_back(kMin);
  codes.push_back(0);
  const Shape s{2, 4, static_cast<int64_t>(codes.size()) / 4, 1};
  std::vector<int32_t> cube = codes;
  cube.insert(cube.end(), codes.rbegin(), codes.rend());
  for (uint8_t l : {kDense, kLorenzo2, kTemporal, kLorenzo3, kRegression2, kRegression3}) {
    Options o;
    o.key_interval = 2;
    o.layouts = 1u << l;
    const std::string blob = encode(cube.data(), s.T, s.H, s.W, s.C, {}, o);
    EXPECT_EQ(decode_all(blob, s, {}), cube) << layout_name(l);
    const Description d = describe(blob);
    // Frame 0 is a key frame: the temporal layouts cannot serve it and raw steps in.
    EXPECT_EQ(d.frames[1].layouts[0], l);
  }
}

TEST(ResidualCodes, WriterBatchesMatchOneShotEncode) {
  const Shape s{7, 6, 5, 2};
  const auto codes = field("small", s, 3);
  const Mask m = mask("dynamic", s, 4);
  const std::string whole = encode(codes.data(), s.T, s.H, s.W, s.C, m.view);
  CodeWriter w(s.H, s.W, s.C);
  for (int64_t t = 0; t < s.T; ++t) w.add_frame(codes.data() + t * s.H * s.W * s.C, m.view.frame(t, s.H, s.W, s.C));
  EXPECT_EQ(w.finish(), whole);
  EXPECT_EQ(w.frames(), s.T);
}

TEST(ResidualCodes, FrameRangesDecodeAloneAndInSequence) {
  const Shape s{11, 4, 6, 2};
  const auto codes = field("smooth", s, 5);
  const Mask m = mask("per_band", s, 6);
  const int64_t frame = s.H * s.W * s.C;
  for (uint32_t key : {1u, 3u, 4u, 100u}) {
    Options o;
    o.key_interval = key;
    const std::string blob = encode(codes.data(), s.T, s.H, s.W, s.C, m.view, o);
    const auto all = expected(codes, m, s);
    for (int64_t t0 = 0; t0 <= s.T; ++t0)
      for (int64_t t1 = t0; t1 <= s.T; ++t1) {
        std::vector<int32_t> out(static_cast<size_t>((t1 - t0) * frame));
        decode(blob, s.T, s.H, s.W, s.C, m.view, t0, t1, out.data());
        ASSERT_TRUE(std::equal(out.begin(), out.end(), all.begin() + t0 * frame)) << key << " " << t0 << " " << t1;
      }
    // A reader walking windows in order, and then jumping back, gives the same frames.
    CodeReader r(blob, s.T, s.H, s.W, s.C);
    std::vector<int32_t> out(static_cast<size_t>(frame * 3));
    for (int64_t t0 : {0, 3, 6, 1, 8}) {
      const int64_t t1 = std::min<int64_t>(t0 + 3, s.T);
      r.decode(t0, t1, [&](int64_t t) { return m.view.frame(t, s.H, s.W, s.C); }, out.data());
      ASSERT_TRUE(std::equal(out.begin(), out.begin() + (t1 - t0) * frame, all.begin() + t0 * frame));
    }
  }
}

TEST(ResidualCodes, SizesFollowTheField) {
  const Shape s{3, 32, 32, 1};
  auto size_of = [&](const std::vector<int32_t>& codes, const Mask& m = {}, uint32_t layouts = Options{}.layouts) {
    Options o;
    o.layouts = layouts;
    return encode(codes.data(), s.T, s.H, s.W, s.C, m.view, o).size();
  };
  const size_t header = 1 + 16 + 4 + 12 * 3 + 4;
  // All zero: one layout byte per plane. All invalid: the same, whatever the codes.
  EXPECT_EQ(size_of(field("zero", s, 1)), header + 3);
  EXPECT_EQ(size_of(field("extremes", s, 1), mask("all_invalid", s, 1)), header + 3);
  // Random full-range codes never cost more than raw: 4 bytes per valid cell and 5 per plane.
  EXPECT_LE(size_of(field("extremes", s, 2)), header + 3 * (5 + 4 * 32 * 32));
  // Small codes cost well under a byte each; a smooth wide field under a byte, less than it
  // costs without prediction.
  EXPECT_LT(size_of(field("pm1", s, 3)), header + 3 * 32 * 32 * 0.3);
  const auto smooth = field("smooth", s, 4);
  EXPECT_LT(size_of(smooth), header + 3 * 32 * 32);
  EXPECT_LT(size_of(smooth), size_of(smooth, {}, only(kDense)) * 0.8);
  // A wave along the rows follows s[x] = 2 cos(k) s[x-1] - s[x-2]: the fitted regression finds
  // the recursion, which fixed Lorenzo weights cannot express.
  std::vector<int32_t> wave(static_cast<size_t>(s.cells()));
  std::mt19937 rng(5);
  for (int64_t t = 0, i = 0; t < s.T; ++t)
    for (int64_t y = 0; y < s.H; ++y)
      for (int64_t x = 0; x < s.W; ++x, ++i)
        wave[i] = static_cast<int32_t>(std::lround(1000 * std::sin(0.9 * x + 0.7 * y + t))) + static_cast<int32_t>(rng() % 3);
  EXPECT_LT(size_of(wave, {}, only(kRegression2)), size_of(wave, {}, only(kLorenzo2)) * 0.6);
  const Description d = describe(encode(field("pm1", s, 3).data(), s.T, s.H, s.W, s.C, {}));
  EXPECT_EQ(d.layout_counts[kDense], 3);
  EXPECT_TRUE(d.frames[0].key);
  EXPECT_FALSE(d.frames[1].key);
}

TEST(ResidualCodes, TruncationAndFlippedBytesAreRefused) {
  const Shape s{3, 4, 5, 2};
  const auto codes = field("small", s, 7);
  const Mask m = mask("dynamic", s, 8);
  Options o;
  o.key_interval = 2;
  const std::string blob = encode(codes.data(), s.T, s.H, s.W, s.C, m.view, o);
  const auto want = expected(codes, m, s);
  for (size_t n = 0; n < blob.size(); ++n)
    EXPECT_THROW(decode_all(blob.substr(0, n), s, m), std::invalid_argument) << "truncated to " << n;
  EXPECT_THROW(decode_all(blob + '\0', s, m), std::invalid_argument);
  for (size_t i = 0; i < blob.size(); ++i)
    for (int bit = 0; bit < 8; ++bit) {
      std::string bad = blob;
      bad[i] = static_cast<char>(bad[i] ^ (1 << bit));
      EXPECT_THROW(decode_all(bad, s, m), std::invalid_argument) << "byte " << i << " bit " << bit;
      EXPECT_THROW(describe(bad), std::invalid_argument) << "byte " << i << " bit " << bit;
      // Unchecked, damage either decodes to some codes or is refused; nothing else.
      try {
        decode_all(bad, s, m, /*verify=*/false);
      } catch (const std::invalid_argument&) {
      }
    }
}

// Rewrites the header and frame checksums after an edit, as a forger would.
void reseal(std::string& blob) {
  Header h;
  try {
    h = parse_header(blob, /*verify=*/false);
  } catch (const std::invalid_argument&) {
    return;  // refused before any checksum matters
  }
  auto crc = [](const char* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
      c ^= static_cast<uint8_t>(p[i]);
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
  };
  for (int64_t t = 0; t < h.T; ++t) {
    const uint32_t c = crc(blob.data() + h.frames[t].offset, h.frames[t].length);
    std::memcpy(&blob[21 + 12 * t + 4], &c, 4);
  }
  const uint32_t c = crc(blob.data(), h.header_bytes - 4);
  std::memcpy(&blob[h.header_bytes - 4], &c, 4);
}

TEST(ResidualCodes, ForgedAndMismatchedInputsAreRefused) {
  const Shape s{2, 3, 4, 1};
  const auto codes = field("small", s, 9);
  const Mask m = mask("static", s, 10);
  Options o;
  o.key_interval = 1;
  const std::string blob = encode(codes.data(), s.T, s.H, s.W, s.C, m.view, o);
  ASSERT_EQ(decode_all(blob, s, m), expected(codes, m, s));
  const Header h = parse_header(blob);
  auto refused = [&](std::string bad, const char* what) {
    reseal(bad);
    EXPECT_THROW(decode_all(bad, s, m), std::invalid_argument) << what;
  };
  auto with = [&](size_t at, std::string bytes) {
    std::string b = blob;
    b.replace(at, bytes.size(), bytes);
    return b;
  };
  auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  refused(with(0, "\x02"), "version");
  refused(with(1, u32(1u << 30)), "frame count larger than the blob");
  refused(with(5, u32(4)), "another height");
  refused(with(17, u32(0)), "key interval 0");
  refused(with(h.frames[1].offset, "\x04"), "temporal layout in a key frame");
  refused(with(h.frames[0].offset, "\x09"), "unknown layout");
  refused(with(21, u32(h.frames[0].length + 1)), "frame lengths that do not add up");
  refused(with(h.frames[0].offset + 1, u32(1000)), "plane length past the frame");
  // Another mask than the one written: refused by its checksum, not misplaced.
  EXPECT_THROW(decode_all(blob, s, mask("static", s, 11)), std::invalid_argument);
  EXPECT_THROW(decode_all(blob, s, {}), std::invalid_argument);
  // A shape other than the caller's, a range outside the series, a mask of the wrong length.
  EXPECT_THROW(decode_all(blob, {2, 4, 3, 1}, m), std::invalid_argument);
  std::vector<int32_t> out(64);
  EXPECT_THROW(decode(blob, 2, 3, 4, 1, m.view, 1, 3, out.data()), std::invalid_argument);
  EXPECT_THROW(decode(blob, 2, 3, 4, 1, MaskView{m.data.data(), 3, false}, 0, 2, out.data()), std::invalid_argument);
  EXPECT_THROW(CodeWriter(3, 4, 1, Options{0}), std::invalid_argument);
  EXPECT_THROW(CodeWriter(-1, 4, 1), std::invalid_argument);
  EXPECT_THROW(describe(std::string(24, '\0')), std::invalid_argument);
}

}  // namespace
}  // namespace qelm::residual_codec
