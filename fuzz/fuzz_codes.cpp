// The residual code decoders over a blob taken from the input. Input:
//   u8 flags: 1 verify checksums, 2 decode with the shape the blob's header states (when small),
//             4 validity per band, 8 one validity mask per frame, 16 no mask (all valid);
//   u8 T, H, W, C (the caller's shape, reduced to at most 5 x 8 x 8 x 3);
//   u32 mask seed, u8 density: cell valid when the next xorshift32 value mod 256 < density;
//   u8 t0, u8 t1: a window, reduced into [0, T];
//   the blob.
// A decode must refuse with std::invalid_argument or return codes that are zero at invalid
// cells, equal the same frames of a full decode, and survive encode -> decode unchanged.
#include <vector>

#include "harness.h"
#include "residual_codec.h"

namespace rc = qelm::residual_codec;

namespace {

struct Xorshift {
  uint32_t s;
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
};

constexpr int64_t kMaxCells = 1 << 16;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qelm::fuzz::init_torch();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qelm::fuzz::Fields in(data, size);
  const uint8_t flags = in.take<uint8_t>();
  int64_t T = in.take<uint8_t>() % 6, H = in.take<uint8_t>() % 9, W = in.take<uint8_t>() % 9,
          C = in.take<uint8_t>() % 4;
  const uint32_t seed = in.take<uint32_t>();
  const uint8_t density = in.take<uint8_t>();
  const uint8_t w0 = in.take<uint8_t>(), w1 = in.take<uint8_t>();
  const std::string_view blob = in.rest();
  const bool verify = flags & 1;

  qelm::fuzz::decode_or_refuse([&] {
    const rc::Description d = rc::describe(blob);
    FUZZ_CHECK(static_cast<int64_t>(d.frames.size()) == d.T);
    for (const auto& f : d.frames) FUZZ_CHECK(static_cast<int64_t>(f.layouts.size()) == d.C);
  });

  if (flags & 2) {
    // The header may claim anything; only a small claim is taken as the caller's shape.
    try {
      const rc::Header h = rc::parse_header(blob, false);
      if (h.T <= 64 && h.H <= 4096 && h.W <= 4096 && h.C <= 64 && h.T * h.H * h.W * h.C <= kMaxCells) {
        T = h.T;
        H = h.H;
        W = h.W;
        C = h.C;
      }
    } catch (const std::invalid_argument&) {
    }
  }

  const bool per_band = flags & 4;
  const int64_t frames = flags & 8 ? T : 1;
  std::vector<uint8_t> valid;
  rc::MaskView mask;
  if (!(flags & 16)) {
    Xorshift x{seed | 1u};
    valid.resize(static_cast<size_t>(frames * H * W * (per_band ? C : 1)));
    for (auto& v : valid) v = (x.next() & 255u) < density;
    mask = rc::MaskView{valid.data(), frames, per_band};
  }
  const int64_t frame = H * W * C;
  qelm::fuzz::decode_or_refuse([&] {
    std::vector<int32_t> out(static_cast<size_t>(T * frame));
    rc::decode(blob, T, H, W, C, mask, 0, T, out.data(), verify);
    for (int64_t t = 0, i = 0; t < T; ++t) {
      const rc::FrameMask fm = mask.frame(t, H, W, C);
      for (int64_t p = 0; p < H * W; ++p)
        for (int64_t c = 0; c < C; ++c, ++i)
          if (fm.valid && !fm.valid[fm.per_band ? p * C + c : p]) FUZZ_CHECK(out[i] == 0);
    }
    const int64_t t0 = T ? w0 % (T + 1) : 0, t1 = t0 + (T - t0 ? w1 % (T - t0 + 1) : 0);
    std::vector<int32_t> window(static_cast<size_t>((t1 - t0) * frame));
    rc::decode(blob, T, H, W, C, mask, t0, t1, window.data(), verify);
    FUZZ_CHECK(std::equal(window.begin(), window.end(), out.begin() + t0 * frame));

    rc::Options o;
    o.key_interval = rc::parse_header(blob, false).key_interval;
    const std::string again = rc::encode(out.data(), T, H, W, C, mask, o);
    std::vector<int32_t> back(out.size());
    rc::decode(again, T, H, W, C, mask, 0, T, back.data());
    FUZZ_CHECK(back == out);
  });
  return 0;
}
