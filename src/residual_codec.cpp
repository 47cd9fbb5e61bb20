#include "residual_codec.h"

#include <lzma.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

namespace qelm::residual_codec {

namespace {

[[noreturn]] __attribute__((noinline, cold)) void fail(const std::string& what) {
  throw std::invalid_argument("residual codes: " + what);
}

#define QELM_HOT inline __attribute__((always_inline))

uint32_t crc32(const void* p, size_t n) { return lzma_crc32(static_cast<const uint8_t*>(p), n, 0); }

template <typename T>
void put(std::string& out, T v) {
  char b[sizeof(T)];
  std::memcpy(b, &v, sizeof(T));
  out.append(b, sizeof(T));
}

template <typename T>
T get(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

// ---- adaptive binary range coder --------------------------------------------------------------
// A carry-propagating range coder with 16-bit probabilities. Each probability adapts quickly at
// first (rate 1/2, 1/4, ...) and settles at 1/32, so the many contexts of a small plane learn
// without a long warm-up and a long plane still tracks slow changes.

constexpr uint32_t kTop = 1u << 24;

struct Bit {
  uint16_t p = 32768;  // probability of a 0, in 1/65536
  uint8_t n = 0;       // observations so far (saturating): index into kRate
};

constexpr uint8_t kRate[] = {1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5};
constexpr uint8_t kRateLast = sizeof(kRate) - 1;

QELM_HOT void adapt(Bit& b, unsigned bit) {
  const unsigned s = kRate[b.n];
  b.n = static_cast<uint8_t>(b.n + (b.n < kRateLast));
  // p stays within [1, 65535]: both sub-ranges of a coding step keep at least 256 values.
  const unsigned down = b.p - (b.p >> s), up = b.p + ((65536u - b.p) >> s);
  b.p = static_cast<uint16_t>(bit ? down : up);
}

class Encoder {
 public:
  explicit Encoder(std::string& out) : out_(out) {}

  QELM_HOT void bit(Bit& b, unsigned bit) {
    const uint32_t bound = (range_ >> 16) * b.p;
    const uint32_t mask = 0u - bit;  // branch-free: the encoder knows the bit, the CPU should not guess it
    low_ += bound & mask;
    range_ = ((range_ - bound) & mask) | (bound & ~mask);
    adapt(b, bit);
    while (range_ < kTop) {
      range_ <<= 8;
      shift_low();
    }
  }

  // The `nbits` (<= 31) low bits of `value` at uniform probability, up to 16 per step.
  void direct(uint32_t value, int nbits) {
    while (nbits > 0) {
      const int k = std::min(nbits, 16);
      nbits -= k;
      range_ >>= k;
      low_ += static_cast<uint64_t>((value >> nbits) & ((1u << k) - 1u)) * range_;
      while (range_ < kTop) {
        range_ <<= 8;
        shift_low();
      }
    }
  }

  void finish() {
    for (int i = 0; i < 5; ++i) shift_low();
  }

 private:
  void shift_low() {
    if (static_cast<uint32_t>(low_) < 0xFF000000u || (low_ >> 32) != 0) {
      const uint8_t carry = static_cast<uint8_t>(low_ >> 32);
      uint8_t temp = cache_;
      do {
        out_.push_back(static_cast<char>(static_cast<uint8_t>(temp + carry)));
        temp = 0xFF;
      } while (--pending_ != 0);
      cache_ = static_cast<uint8_t>(low_ >> 24);
    }
    ++pending_;
    low_ = (low_ & 0x00FFFFFFu) << 8;
  }

  std::string& out_;
  uint64_t low_ = 0;
  uint32_t range_ = 0xFFFFFFFFu;
  uint8_t cache_ = 0;
  uint64_t pending_ = 1;
};

class Decoder {
 public:
  // The encoder's first byte is always 0 and it writes exactly the bytes this decoder reads,
  // so a stream of another length or with another first byte is damaged.
  Decoder(const uint8_t* p, size_t n) : p_(p), end_(p + n) {
    if (n < 5 || p[0] != 0) fail("a coded plane is damaged");
    for (int i = 0; i < 5; ++i) code_ = (code_ << 8) | *p_++;
  }

  QELM_HOT unsigned bit(Bit& b) {
    const uint32_t bound = (range_ >> 16) * b.p;
    unsigned bit;
    if (code_ < bound) {
      range_ = bound;
      bit = 0;
    } else {
      code_ -= bound;
      range_ -= bound;
      bit = 1;
    }
    adapt(b, bit);
    while (range_ < kTop) {
      range_ <<= 8;
      code_ = (code_ << 8) | next();
    }
    return bit;
  }

  uint32_t direct(int nbits) {
    uint32_t v = 0;
    while (nbits > 0) {
      const int k = std::min(nbits, 16);
      nbits -= k;
      range_ >>= k;
      const uint32_t d = code_ / range_;
      // Only a damaged stream can point past the 2^k values of the step.
      if (d >> k) fail("a coded plane is damaged");
      code_ -= d * range_;
      v = (v << k) | d;
      while (range_ < kTop) {
        range_ <<= 8;
        code_ = (code_ << 8) | next();
      }
    }
    return v;
  }

  bool at_end() const { return p_ == end_; }

 private:
  uint8_t next() {
    if (p_ == end_) fail("a coded plane is truncated");
    return *p_++;
  }

  const uint8_t* p_;
  const uint8_t* end_;
  uint32_t code_ = 0;
  uint32_t range_ = 0xFFFFFFFFu;
};

// ---- the code model ---------------------------------------------------------------------------

constexpr int kBuckets = 20;     // activity classes of the causal neighbourhood
constexpr int kPrevClasses = 5;  // none, |r| = 0, 1, 2-3, >= 4 at the same cell one frame back

struct Model {
  Bit zero[kBuckets][kPrevClasses];
  Bit sign[27];
  Bit unary[kBuckets][32];
  Bit mant1[32][kBuckets];
  Bit mant2[32][2];
};

// Low magnitude bits sent direct per activity bucket: roughly those below the typical magnitude
// where the activity says residuals are wide (activity ~ 8x the neighbours' magnitude).
constexpr uint8_t kLowBits[kBuckets] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5};

inline uint32_t magnitude(uint32_t e) {
  const uint32_t s = 0u - (e >> 31);
  return (e ^ s) - s;
}

// Magnitudes enter the activity sum clamped, so the sum never overflows.
inline uint32_t clamped(uint32_t e) { return std::min<uint32_t>(magnitude(e), 1u << 20); }

// 0..3 exactly, then two classes per octave: 4-5, 6-7, 8-11, 12-15, 16-23, ...
constexpr int bucket_of(uint32_t a) {
  if (a < 4) return static_cast<int>(a);
  const int n = 31 - __builtin_clz(a);
  return std::min(4 + 2 * (n - 2) + static_cast<int>((a >> (n - 1)) & 1u), kBuckets - 1);
}

struct BucketTable {
  uint8_t v[256];
  constexpr BucketTable() : v() {
    for (uint32_t a = 0; a < 256; ++a) v[a] = static_cast<uint8_t>(bucket_of(a));
  }
};
constexpr BucketTable kBucketTable;

inline int bucket(uint32_t a) { return a < 256 ? kBucketTable.v[a] : bucket_of(a); }

inline int prev_class(uint32_t r) {
  static constexpr uint8_t kClass[5] = {1, 2, 3, 3, 4};
  return kClass[std::min<uint32_t>(magnitude(r), 4u)];
}

inline int sign_class(uint32_t e) { return static_cast<int>(e != 0) + static_cast<int>(e >> 31); }

// A residual: zero flag; sign; then the magnitude m >= 1. Where the bucket expects wide
// residuals, the kLowBits[bucket] low bits of m - 1 go direct at the end and g = ((m - 1) >> k) + 1
// is what remains (g = m otherwise). g is coded as Elias gamma: the exponent n = floor(log2 g) in
// unary (no terminator at the largest, 31), then the n bits below the leading one, the two
// leading ones adaptive and the rest direct.
struct EncodeIO {
  Encoder rc;

  QELM_HOT uint32_t symbol(Model& m, uint32_t e, int bkt, int pc, int sctx) {
    if (e == 0) {
      rc.bit(m.zero[bkt][pc], 0);
      return 0;
    }
    rc.bit(m.zero[bkt][pc], 1);
    const unsigned neg = static_cast<int32_t>(e) < 0;
    rc.bit(m.sign[sctx], neg);
    const uint32_t m1 = (neg ? 0u - e : e) - 1u;
    const int k = kLowBits[bkt];
    const uint32_t mag = (m1 >> k) + 1u;
    const int n = 31 - __builtin_clz(mag);
    Bit* u = m.unary[bkt];
    for (int i = 0; i < n; ++i) rc.bit(u[i], 1);
    if (n < 31) rc.bit(u[n], 0);
    if (n >= 1) {
      const unsigned b1 = (mag >> (n - 1)) & 1u;
      rc.bit(m.mant1[n][bkt], b1);
      if (n >= 2) {
        rc.bit(m.mant2[n][b1], (mag >> (n - 2)) & 1u);
        if (n >= 3) rc.direct(mag, n - 2);
      }
    }
    if (k) rc.direct(m1, k);
    return e;
  }
};

struct DecodeIO {
  Decoder rc;

  QELM_HOT uint32_t symbol(Model& m, uint32_t, int bkt, int pc, int sctx) {
    if (!rc.bit(m.zero[bkt][pc])) return 0;
    const unsigned neg = rc.bit(m.sign[sctx]);
    Bit* u = m.unary[bkt];
    int n = 0;
    while (n < 31 && rc.bit(u[n])) ++n;
    uint32_t mag = 1;
    if (n >= 1) {
      const unsigned b1 = rc.bit(m.mant1[n][bkt]);
      mag = 2u | b1;
      if (n >= 2) {
        mag = (mag << 1) | rc.bit(m.mant2[n][b1]);
        if (n >= 3) mag = (mag << (n - 2)) | rc.direct(n - 2);
      }
    }
    const int k = kLowBits[bkt];
    const uint32_t full = k ? (((mag - 1u) << k) | rc.direct(k)) + 1u : mag;
    return neg ? 0u - full : full;
  }
};

// ---- predictors -------------------------------------------------------------------------------
// All arithmetic is modulo 2^32. `w` is the plane being coded (cells before i are final).

// Regression layouts: a linear prediction from the causal neighbours (left, up, up-left,
// up-right, two left, two up) and, in "regression3", the previous frame's cell and its four
// neighbours and up-left, with weights fitted per plane by least squares and stored as int16
// in 1/1024 units ahead of the coded stream.
constexpr int kTaps2 = 6;
constexpr int kTaps3 = 12;
constexpr int kWeightBits = 10;

template <int L>
constexpr int taps() {
  return L == kRegression3 ? kTaps3 : kTaps2;
}

// Per plane: what a non-key frame uses of the previous frame (computed once per plane) and the
// regression weights in use.
struct Side {
  int64_t H = 0;
  const uint32_t* w = nullptr;       // the previous frame's plane; null in a key frame
  const uint32_t* shrunk = nullptr;  // its 2-D Lorenzo residuals, one step towards zero
  // Per cell and context domain (0: the codes themselves, 1: 2-D Lorenzo residuals): the
  // residual's magnitude class (1-4) | its sign class << 3, and its clamped magnitude.
  const uint8_t* cls[2] = {};
  const uint32_t* mag[2] = {};
  int32_t weights[2][kTaps3] = {};  // "regression2", "regression3"
};

inline uint32_t lorenzo2(const uint32_t* w, int64_t W, int64_t y, int64_t x, int64_t i) {
  if (y == 0) return x == 0 ? 0u : w[i - 1];
  if (x == 0) return w[i - W];
  return w[i - 1] + w[i - W] - w[i - W - 1];
}

// A residual moved one step towards zero: the previous frame's residual less the part that is
// mostly quantisation noise.
inline uint32_t shrink(uint32_t r) {
  const int32_t v = static_cast<int32_t>(r);
  return v > 0 ? r - 1u : v < 0 ? r + 1u : 0u;
}

// Whether cell (y, x) has every regression tap; the others fall back to the Lorenzo predictors.
inline bool interior(int64_t W, int64_t y, int64_t x) { return y >= 2 && x >= 2 && x + 1 < W; }

// The regression features of an interior cell, as signed values.
template <int L>
inline void features(const uint32_t* w, const Side& s, int64_t W, int64_t y, int64_t i, int64_t* f) {
  f[0] = static_cast<int32_t>(w[i - 1]);
  f[1] = static_cast<int32_t>(w[i - W]);
  f[2] = static_cast<int32_t>(w[i - W - 1]);
  f[3] = static_cast<int32_t>(w[i - W + 1]);
  f[4] = static_cast<int32_t>(w[i - 2]);
  f[5] = static_cast<int32_t>(w[i - 2 * W]);
  if constexpr (L == kRegression3) {
    const uint32_t* p = s.w;
    f[6] = static_cast<int32_t>(p[i]);
    f[7] = static_cast<int32_t>(p[i - 1]);
    f[8] = static_cast<int32_t>(p[i - W]);
    f[9] = static_cast<int32_t>(p[i + 1]);
    f[10] = static_cast<int32_t>(p[y + 1 < s.H ? i + W : i]);
    f[11] = static_cast<int32_t>(p[i - W - 1]);
  }
}

template <int L>
QELM_HOT uint32_t predict(const uint32_t* w, const Side& s, int64_t W, int64_t y, int64_t x, int64_t i) {
  if constexpr (L == kDense) {
    return 0;
  } else if constexpr (L == kLorenzo2) {
    return lorenzo2(w, W, y, x, i);
  } else if constexpr (L == kTemporal) {
    return s.w[i];
  } else if constexpr (L == kLorenzo3) {
    return lorenzo2(w, W, y, x, i) + s.shrunk[i];
  } else {
    static_assert(L == kRegression2 || L == kRegression3);
    if (!interior(W, y, x)) return lorenzo2(w, W, y, x, i) + (L == kRegression3 ? s.shrunk[i] : 0u);
    int64_t f[kTaps3];
    features<L>(w, s, W, y, i, f);
    const int32_t* k = s.weights[L == kRegression3];
    int64_t acc = int64_t{1} << (kWeightBits - 1);
    for (int j = 0; j < taps<L>(); ++j) acc += k[j] * f[j];
    // floor(acc / 2^bits) modulo 2^32: the low 32 bits of a logical and an arithmetic shift agree.
    return static_cast<uint32_t>(static_cast<uint64_t>(acc) >> kWeightBits);
  }
}

// The context domain of the previous frame for a layout: what the same kind of prediction left
// there. The temporal layout uses that frame already and gets none (-1).
template <int L>
constexpr int prev_domain() {
  return L == kDense ? 0 : L == kTemporal ? -1 : 1;
}


// Buffers behind a Side.
struct PrevBuffers {
  std::vector<uint32_t> shrunk, mag0, mag1;
  std::vector<uint8_t> cls0, cls1;
};

uint8_t residual_class(uint32_t r) {
  return static_cast<uint8_t>(prev_class(r) | sign_class(r) << 3);
}

Side prepare_prev(const std::vector<uint32_t>& w, int64_t H, int64_t W, PrevBuffers& b) {
  const size_t n = static_cast<size_t>(H * W);
  b.shrunk.resize(n);
  b.mag0.resize(n);
  b.mag1.resize(n);
  b.cls0.resize(n);
  b.cls1.resize(n);
  for (int64_t y = 0, i = 0; y < H; ++y)
    for (int64_t x = 0; x < W; ++x, ++i) {
      const uint32_t r = w[i] - lorenzo2(w.data(), W, y, x, i);
      b.shrunk[i] = shrink(r);
      b.mag0[i] = clamped(w[i]);
      b.mag1[i] = clamped(r);
      b.cls0[i] = residual_class(w[i]);
      b.cls1[i] = residual_class(r);
    }
  Side p;
  p.H = H;
  p.w = w.data();
  p.shrunk = b.shrunk.data();
  p.cls[0] = b.cls0.data();
  p.cls[1] = b.cls1.data();
  p.mag[0] = b.mag0.data();
  p.mag[1] = b.mag1.data();
  return p;
}

// Residual rows: clamped magnitudes and sign classes, at index x + 1 with zero padding.
struct Row {
  std::vector<uint32_t> mag;
  std::vector<uint8_t> sign;
  void reset(int64_t W) {
    mag.assign(static_cast<size_t>(W + 2), 0u);
    sign.assign(static_cast<size_t>(W + 2), 0);
  }
  QELM_HOT void set(int64_t x, uint32_t e) {
    mag[x + 1] = clamped(e);
    sign[x + 1] = static_cast<uint8_t>(sign_class(e));
  }
};

struct Contexts {
  int bucket, pc, sign;
};

// The coding contexts of cell (y, x): the activity of the residuals left, up, up-left, up-right
// and one frame back, the previous frame's residual class, and the signs around.
template <int L>
QELM_HOT Contexts contexts(const Row& cur, const Row& up, const Side& prev, int64_t x, int64_t i) {
  uint32_t act = 2 * cur.mag[x] + 2 * up.mag[x + 1] + up.mag[x] + up.mag[x + 2];
  int pc = 0, ps = 0;
  constexpr int d = prev_domain<L>();
  if constexpr (d >= 0) {
    if (prev.w) {
      act += 2 * prev.mag[d][i];
      pc = prev.cls[d][i] & 7;
      ps = prev.cls[d][i] >> 3;
    }
  }
  return {bucket(act), pc, 9 * ps + 3 * cur.sign[x] + up.sign[x + 1]};
}

// One plane through one coded layout. `src` holds the codes (encoder; unused by the decoder),
// `valid` 0/1 per cell; `work` receives the plane: codes at valid cells, predictions elsewhere.
template <int L, class IO>
void code_plane(IO& io, int64_t H, int64_t W, const uint32_t* src, const uint8_t* valid, const Side& prev,
                uint32_t* work, Row (&rows)[2]) {
  auto m = std::make_unique<Model>();
  Row* up = &rows[0];
  Row* cur = &rows[1];
  up->reset(W);
  cur->reset(W);
  for (int64_t y = 0, i = 0; y < H; ++y) {
    for (int64_t x = 0; x < W; ++x, ++i) {
      const uint32_t pred = predict<L>(work, prev, W, y, x, i);
      if (!valid[i]) {
        work[i] = pred;
        cur->mag[x + 1] = 0;
        cur->sign[x + 1] = 0;
        continue;
      }
      const Contexts c = contexts<L>(*cur, *up, prev, x, i);
      const uint32_t e = io.symbol(*m, src ? src[i] - pred : 0u, c.bucket, c.pc, c.sign);
      work[i] = pred + e;
      cur->set(x, e);
    }
    std::swap(up, cur);
  }
}

template <class IO>
void code_plane_as(uint8_t layout, IO& io, int64_t H, int64_t W, const uint32_t* src, const uint8_t* valid,
                   const Side& prev, uint32_t* work, Row (&rows)[2]) {
  switch (layout) {
    case kDense: return code_plane<kDense>(io, H, W, src, valid, prev, work, rows);
    case kLorenzo2: return code_plane<kLorenzo2>(io, H, W, src, valid, prev, work, rows);
    case kTemporal: return code_plane<kTemporal>(io, H, W, src, valid, prev, work, rows);
    case kLorenzo3: return code_plane<kLorenzo3>(io, H, W, src, valid, prev, work, rows);
    case kRegression2: return code_plane<kRegression2>(io, H, W, src, valid, prev, work, rows);
    case kRegression3: return code_plane<kRegression3>(io, H, W, src, valid, prev, work, rows);
    default: fail("internal: not a coded layout");
  }
}

// ---- layout choice ----------------------------------------------------------------------------
// Coding every candidate in full would cost the encoder one pass per layout. Instead each
// candidate's cost is estimated from the empirical conditional entropy of its residuals, under
// the same contexts, on a sample of rows; only the best (and any close second) is coded.

constexpr int64_t kSampleStep = 8;     // one row in eight is counted (its upper neighbour row is computed)
constexpr double kCloseEnough = 1.01;  // estimates this close are settled by coding both
constexpr int64_t kFitStep = 8;        // regression weights are fitted on one row in eight

struct Stats {
  uint32_t zero[kBuckets][kPrevClasses][2] = {};
  uint32_t sign[27][2] = {};
  uint32_t expo[kBuckets][32] = {};
  uint64_t mantissa = 0;

  static double xlog(double n) { return n > 0 ? n * std::log2(n) : 0.0; }
  double bits() const {
    double b = static_cast<double>(mantissa);
    for (const auto& per_bucket : zero)
      for (const auto& c : per_bucket) b += xlog(c[0] + c[1]) - xlog(c[0]) - xlog(c[1]);
    for (const auto& c : sign) b += xlog(c[0] + c[1]) - xlog(c[0]) - xlog(c[1]);
    for (const auto& per_bucket : expo) {
      double n = 0;
      for (uint32_t c : per_bucket) {
        n += c;
        b -= xlog(c);
      }
      b += xlog(n);
    }
    return b;
  }
};

// The plane as a layout leaves it: codes at valid cells, that layout's predictions elsewhere.
template <int L>
void fill_plane(int64_t H, int64_t W, const uint32_t* src, const uint8_t* valid, const Side& prev, uint32_t* w) {
  for (int64_t y = 0, i = 0; y < H; ++y)
    for (int64_t x = 0; x < W; ++x, ++i) w[i] = valid[i] ? src[i] : predict<L>(w, prev, W, y, x, i);
}

template <int L>
void residual_row(int64_t y, int64_t W, const uint32_t* w, const uint8_t* valid, const Side& prev, Row& row) {
  for (int64_t x = 0, i = y * W; x < W; ++x, ++i) row.set(x, valid[i] ? w[i] - predict<L>(w, prev, W, y, x, i) : 0u);
}

// Estimated bits per valid cell of plane `w` (filled by fill_plane<L>) under layout L.
template <int L>
double estimate_plane(int64_t H, int64_t W, const uint32_t* w, const uint8_t* valid, const Side& prev,
                      Row (&rows)[2]) {
  auto st = std::make_unique<Stats>();
  Row& up = rows[0];
  Row& cur = rows[1];
  up.reset(W);
  cur.reset(W);
  for (int64_t y = std::min(kSampleStep, H) - 1; y < H; y += kSampleStep) {
    if (y > 0) residual_row<L>(y - 1, W, w, valid, prev, up);
    residual_row<L>(y, W, w, valid, prev, cur);
    for (int64_t x = 0, i = y * W; x < W; ++x, ++i) {
      if (!valid[i]) continue;
      const Contexts c = contexts<L>(cur, up, prev, x, i);
      const uint32_t e = w[i] - predict<L>(w, prev, W, y, x, i);
      ++st->zero[c.bucket][c.pc][e != 0];
      if (e == 0) continue;
      const unsigned neg = static_cast<int32_t>(e) < 0;
      ++st->sign[c.sign][neg];
      const int k = kLowBits[c.bucket];
      const int n = 31 - __builtin_clz((((neg ? 0u - e : e) - 1u) >> k) + 1u);
      ++st->expo[c.bucket][n];
      st->mantissa += n + k;
    }
  }
  uint64_t sampled = 0;
  for (const auto& per_bucket : st->zero)
    for (const auto& c : per_bucket) sampled += c[0] + c[1];
  return sampled ? st->bits() / static_cast<double>(sampled) : 0.0;
}

void fill_as(uint8_t layout, int64_t H, int64_t W, const uint32_t* src, const uint8_t* valid, const Side& prev,
             uint32_t* w) {
  switch (layout) {
    case kDense: return fill_plane<kDense>(H, W, src, valid, prev, w);
    case kLorenzo2: return fill_plane<kLorenzo2>(H, W, src, valid, prev, w);
    case kTemporal: return fill_plane<kTemporal>(H, W, src, valid, prev, w);
    case kLorenzo3: return fill_plane<kLorenzo3>(H, W, src, valid, prev, w);
    case kRegression2: return fill_plane<kRegression2>(H, W, src, valid, prev, w);
    case kRegression3: return fill_plane<kRegression3>(H, W, src, valid, prev, w);
    default: fail("internal: not a coded layout");
  }
}

double estimate_as(uint8_t layout, int64_t H, int64_t W, const uint32_t* w, const uint8_t* valid,
                   const Side& prev, Row (&rows)[2]) {
  switch (layout) {
    case kDense: return estimate_plane<kDense>(H, W, w, valid, prev, rows);
    case kLorenzo2: return estimate_plane<kLorenzo2>(H, W, w, valid, prev, rows);
    case kTemporal: return estimate_plane<kTemporal>(H, W, w, valid, prev, rows);
    case kLorenzo3: return estimate_plane<kLorenzo3>(H, W, w, valid, prev, rows);
    case kRegression2: return estimate_plane<kRegression2>(H, W, w, valid, prev, rows);
    case kRegression3: return estimate_plane<kRegression3>(H, W, w, valid, prev, rows);
    default: fail("internal: not a coded layout");
  }
}

bool uses_previous_frame(uint8_t layout) {
  return layout == kTemporal || layout == kLorenzo3 || layout == kRegression3;
}

int tap_count(uint8_t layout) { return layout == kRegression3 ? kTaps3 : layout == kRegression2 ? kTaps2 : 0; }

// Least-squares weights of a regression layout over the valid interior cells of every
// `step`-th row whose taps are valid too (`all_valid` skips that check), quantised to int16.
// Falls back to the Lorenzo weights when there is too little to fit.
template <int L>
void fit_weights(int64_t H, int64_t W, const uint32_t* src, const uint8_t* valid, bool all_valid, const Side& s,
                 int64_t step, int32_t* out) {
  constexpr int n = taps<L>();
  double A[n][n] = {}, b[n] = {};
  int64_t count = 0;
  int64_t f[kTaps3];
  for (int64_t y = 2; y < H; y += step)
    for (int64_t x = 2, i = y * W + 2; x + 1 < W; ++x, ++i) {
      if (!valid[i]) continue;
      if (!all_valid && !(valid[i - 1] && valid[i - W] && valid[i - W - 1] && valid[i - W + 1] && valid[i - 2] &&
                          valid[i - 2 * W]))
        continue;
      features<L>(src, s, W, y, i, f);
      const double t = static_cast<int32_t>(src[i]);
      for (int r = 0; r < n; ++r) {
        const double fr = static_cast<double>(f[r]);
        b[r] += fr * t;
        for (int c = r; c < n; ++c) A[r][c] += fr * static_cast<double>(f[c]);
      }
      ++count;
    }
  static constexpr int32_t kLorenzo[kTaps3] = {1, 1, -1, 0, 0, 0, 1, -1, -1, 0, 0, 1};
  for (int j = 0; j < n; ++j) out[j] = kLorenzo[j] * (1 << kWeightBits);
  if (count < 4 * n) return;
  // Cholesky of the (slightly ridged) normal equations.
  double L_[n][n] = {};
  for (int r = 0; r < n; ++r) {
    A[r][r] += 1e-6 * A[r][r] + 1e-3;
    for (int c = 0; c <= r; ++c) {
      double v = A[c][r];
      for (int k = 0; k < c; ++k) v -= L_[r][k] * L_[c][k];
      if (r == c) {
        if (!(v > 0)) return;
        L_[r][r] = std::sqrt(v);
      } else {
        L_[r][c] = v / L_[c][c];
      }
    }
  }
  double z[n], x[n];
  for (int r = 0; r < n; ++r) {
    double v = b[r];
    for (int k = 0; k < r; ++k) v -= L_[r][k] * z[k];
    z[r] = v / L_[r][r];
  }
  for (int r = n - 1; r >= 0; --r) {
    double v = z[r];
    for (int k = r + 1; k < n; ++k) v -= L_[k][r] * x[k];
    x[r] = v / L_[r][r];
  }
  for (int j = 0; j < n; ++j) {
    const double q = std::nearbyint(x[j] * (1 << kWeightBits));
    if (!std::isfinite(q)) return;
  }
  for (int j = 0; j < n; ++j)
    out[j] = static_cast<int32_t>(std::clamp(std::nearbyint(x[j] * (1 << kWeightBits)), -32768.0, 32767.0));
}

// Plane c of a frame's validity as 0/1 per cell.
void plane_validity(FrameMask mask, int64_t HW, int64_t C, int64_t c, uint8_t* out) {
  if (!mask.valid) {
    std::fill(out, out + HW, uint8_t{1});
  } else if (mask.per_band) {
    for (int64_t i = 0; i < HW; ++i) out[i] = mask.valid[i * C + c] != 0;
  } else {
    for (int64_t i = 0; i < HW; ++i) out[i] = mask.valid[i] != 0;
  }
}

void check_shape(int64_t H, int64_t W, int64_t C) {
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  if (H < 0 || W < 0 || C < 0 || H > kMax || W > kMax || C > kMax)
    fail("frame shape (" + std::to_string(H) + ", " + std::to_string(W) + ", " + std::to_string(C) +
         ") is not representable");
}

constexpr size_t kFixedHeader = 1 + 4 * 4 + 4;  // version, T, H, W, C, key interval
constexpr size_t kIndexEntry = 12;              // length, CRC-32 of the bytes, of the validity

}  // namespace

const char* layout_name(uint8_t layout) {
  static const char* const kNames[kLayoutCount] = {"zero",     "raw",         "dense",      "lorenzo2",
                                                   "temporal", "lorenzo3", "regression2", "regression3"};
  return layout < kLayoutCount ? kNames[layout] : "unknown";
}

FrameMask MaskView::frame(int64_t t, int64_t H, int64_t W, int64_t C) const {
  if (!valid) return FrameMask{nullptr, per_band};
  const int64_t stride = H * W * (per_band ? C : 1);
  return FrameMask{valid + (frames == 1 ? 0 : t) * stride, per_band};
}

// ---- encoder ----------------------------------------------------------------------------------

// Per-plane buffers, kept between frames so a long series does not allocate per frame.
struct Scratch {
  std::vector<uint32_t> src, work, best_work;
  std::vector<uint8_t> valid;
  std::vector<std::vector<uint32_t>> next;  // the planes of the frame being coded, per band
  Row rows[2];
  PrevBuffers prev;
  std::string frame, best, trial;
};

CodeWriter::CodeWriter(int64_t H, int64_t W, int64_t C, Options options)
    : H_(H), W_(W), C_(C), options_(options), prev_(static_cast<size_t>(std::max<int64_t>(C, 0))),
      scratch_(std::make_unique<Scratch>()) {
  check_shape(H, W, C);
  if (options.key_interval == 0) fail("the key interval must be at least 1");
}

CodeWriter::~CodeWriter() = default;
CodeWriter::CodeWriter(CodeWriter&&) noexcept = default;
CodeWriter& CodeWriter::operator=(CodeWriter&&) noexcept = default;

void CodeWriter::add_frame(const int32_t* codes, FrameMask mask) {
  const int64_t HW = H_ * W_;
  if (frames() >= std::numeric_limits<int32_t>::max()) fail("too many frames");
  if (!codes && HW * C_ > 0) fail("no codes given");
  const int64_t t = frames();
  const bool key = t % options_.key_interval == 0;
  Scratch& sc = *scratch_;
  sc.src.resize(static_cast<size_t>(HW));
  sc.valid.resize(static_cast<size_t>(HW));
  sc.next.resize(static_cast<size_t>(C_));
  std::string& frame = sc.frame;
  frame.clear();
  uint32_t valid_crc = 0;
  for (int64_t c = 0; c < C_; ++c) {
    uint32_t* src = sc.src.data();
    const uint8_t* valid = sc.valid.data();
    plane_validity(mask, HW, C_, c, sc.valid.data());
    valid_crc = lzma_crc32(valid, static_cast<size_t>(HW), valid_crc);
    int64_t nvalid = 0;
    bool all_zero = true;
    for (int64_t i = 0; i < HW; ++i) {
      src[i] = static_cast<uint32_t>(codes[i * C_ + c]);
      nvalid += valid[i];
      all_zero &= !valid[i] || src[i] == 0;
    }
    const std::vector<uint32_t>& prev = prev_[c];
    Side side = key || prev.empty() ? Side{} : prepare_prev(prev, H_, W_, sc.prev);
    side.H = H_;

    uint8_t layout = all_zero ? kZero : kRaw;
    uint64_t best_size = 4 * static_cast<uint64_t>(nvalid);  // raw: the size every coded layout must beat
    if (!all_zero) {
      const bool raw_allowed = options_.layouts >> kRaw & 1u;
      sc.work.resize(static_cast<size_t>(HW));
      sc.best_work.resize(static_cast<size_t>(HW));
      // Estimates first, then the best one (or the best two, when close) coded for real.
      std::vector<std::pair<double, uint8_t>> ranked;
      for (uint8_t l : {kDense, kLorenzo2, kTemporal, kLorenzo3, kRegression2, kRegression3}) {
        if (!(options_.layouts >> l & 1u) || (uses_previous_frame(l) && !side.w)) continue;
        ranked.emplace_back(0.0, l);
        if (l == kRegression2)
          fit_weights<kRegression2>(H_, W_, src, valid, nvalid == HW, side, kFitStep, side.weights[0]);
        if (l == kRegression3)
          fit_weights<kRegression3>(H_, W_, src, valid, nvalid == HW, side, kFitStep, side.weights[1]);
      }
      if (ranked.size() > 1) {
        for (auto& [estimate, l] : ranked) {
          const uint32_t* w = src;
          if (nvalid < HW) {
            fill_as(l, H_, W_, src, valid, side, sc.work.data());
            w = sc.work.data();
          }
          estimate = estimate_as(l, H_, W_, w, valid, side, sc.rows);
        }
        std::sort(ranked.begin(), ranked.end());
        // A plane that looks incompressible (random codes) is not worth coding: raw it is.
        if (raw_allowed && ranked[0].first > 31.0) ranked.clear();
      }
      if (!raw_allowed && !ranked.empty()) best_size = std::numeric_limits<uint64_t>::max();
      for (size_t k = 0; k < ranked.size(); ++k) {
        if (k > 0 && ranked[k].first > ranked[0].first * kCloseEnough) break;
        const uint8_t l = ranked[k].second;
        sc.trial.clear();
        for (int j = 0; j < tap_count(l); ++j) put<int16_t>(sc.trial, static_cast<int16_t>(side.weights[l == kRegression3][j]));
        EncodeIO io{Encoder(sc.trial)};
        code_plane_as(l, io, H_, W_, src, valid, side, sc.work.data(), sc.rows);
        io.rc.finish();
        if (sc.trial.size() < best_size) {
          layout = l;
          best_size = sc.trial.size();
          sc.best.swap(sc.trial);
          sc.best_work.swap(sc.work);
        }
      }
    }
    std::vector<uint32_t>& next = sc.next[c];
    frame.push_back(static_cast<char>(layout));
    if (layout == kZero) {
      next.assign(static_cast<size_t>(HW), 0u);
      continue;
    }
    if (best_size > std::numeric_limits<uint32_t>::max()) fail("a plane is too large to store");
    put<uint32_t>(frame, static_cast<uint32_t>(best_size));
    if (layout == kRaw) {
      next.resize(static_cast<size_t>(HW));
      for (int64_t i = 0; i < HW; ++i) {
        next[i] = valid[i] ? src[i] : 0u;
        if (valid[i]) put<int32_t>(frame, static_cast<int32_t>(src[i]));
      }
    } else {
      frame += sc.best;
      next.swap(sc.best_work);
    }
  }
  if (frame.size() > std::numeric_limits<uint32_t>::max()) fail("a frame is too large to store");
  // Nothing is kept of a frame that failed half-way.
  area_ += frame;
  index_.push_back(static_cast<uint32_t>(frame.size()));
  index_.push_back(crc32(frame.data(), frame.size()));
  index_.push_back(valid_crc);
  prev_.swap(sc.next);
}

std::string CodeWriter::finish() const {
  std::string out;
  out.reserve(kFixedHeader + 4 * index_.size() + 4 + area_.size());
  out.push_back(static_cast<char>(kVersion));
  put<int32_t>(out, static_cast<int32_t>(frames()));
  put<int32_t>(out, static_cast<int32_t>(H_));
  put<int32_t>(out, static_cast<int32_t>(W_));
  put<int32_t>(out, static_cast<int32_t>(C_));
  put<uint32_t>(out, options_.key_interval);
  for (uint32_t v : index_) put<uint32_t>(out, v);
  put<uint32_t>(out, crc32(out.data(), out.size()));
  out += area_;
  return out;
}

std::string encode(const int32_t* codes, int64_t T, int64_t H, int64_t W, int64_t C, MaskView mask,
                   Options options) {
  if (T < 0) fail("negative frame count");
  if (mask.valid && mask.frames != 1 && mask.frames != T)
    fail("the mask has " + std::to_string(mask.frames) + " frames, expected 1 or " + std::to_string(T));
  CodeWriter w(H, W, C, options);
  const int64_t frame = H * W * C;
  for (int64_t t = 0; t < T; ++t) w.add_frame(codes + t * frame, mask.frame(t, H, W, C));
  return w.finish();
}

// ---- decoder ----------------------------------------------------------------------------------

Header parse_header(std::string_view blob, bool verify) {
  const auto* p = reinterpret_cast<const uint8_t*>(blob.data());
  const size_t n = blob.size();
  if (n < kFixedHeader + 4) fail("the blob is too short (" + std::to_string(n) + " bytes)");
  if (p[0] != kVersion) fail("unknown version " + std::to_string(p[0]));
  Header h;
  h.T = get<int32_t>(p + 1);
  h.H = get<int32_t>(p + 5);
  h.W = get<int32_t>(p + 9);
  h.C = get<int32_t>(p + 13);
  h.key_interval = get<uint32_t>(p + 17);
  if (h.T < 0 || h.H < 0 || h.W < 0 || h.C < 0) fail("the header states a negative size");
  if (h.key_interval == 0) fail("the header states a key interval of 0");
  const uint64_t index_end = kFixedHeader + kIndexEntry * static_cast<uint64_t>(h.T);
  if (index_end + 4 > n)
    fail("the frame index of " + std::to_string(h.T) + " frames is longer than the blob (" + std::to_string(n) +
         " bytes)");
  if (verify && crc32(p, index_end) != get<uint32_t>(p + index_end)) fail("header checksum mismatch");
  h.header_bytes = index_end + 4;
  h.frames.resize(static_cast<size_t>(h.T));
  uint64_t offset = h.header_bytes;
  for (int64_t t = 0; t < h.T; ++t) {
    FrameEntry& f = h.frames[t];
    f.offset = offset;
    const uint8_t* e = p + kFixedHeader + kIndexEntry * t;
    f.length = get<uint32_t>(e);
    f.crc = get<uint32_t>(e + 4);
    f.valid_crc = get<uint32_t>(e + 8);
    offset += f.length;
    if (offset > n) fail("frame " + std::to_string(t) + " runs past the end of the blob");
  }
  if (offset != n) fail(std::to_string(n - offset) + " bytes follow the last frame");
  return h;
}

CodeReader::CodeReader(std::string_view blob, int64_t T, int64_t H, int64_t W, int64_t C, bool verify)
    : blob_(blob), verify_(verify), scratch_(std::make_unique<Scratch>()) {
  header_ = parse_header(blob, verify);
  if (header_.T != T || header_.H != H || header_.W != W || header_.C != C)
    fail("the blob holds shape (" + std::to_string(header_.T) + ", " + std::to_string(header_.H) + ", " +
         std::to_string(header_.W) + ", " + std::to_string(header_.C) + "), expected (" + std::to_string(T) + ", " +
         std::to_string(H) + ", " + std::to_string(W) + ", " + std::to_string(C) + ")");
  prev_.resize(static_cast<size_t>(C));
}

CodeReader::~CodeReader() = default;
CodeReader::CodeReader(CodeReader&&) noexcept = default;
CodeReader& CodeReader::operator=(CodeReader&&) noexcept = default;

void CodeReader::decode(int64_t t0, int64_t t1, const std::function<FrameMask(int64_t)>& mask, int32_t* out) {
  if (t0 < 0 || t1 < t0 || t1 > header_.T)
    fail("frames [" + std::to_string(t0) + ", " + std::to_string(t1) + ") are outside [0, " +
         std::to_string(header_.T) + ")");
  if (t0 == t1) return;
  const int64_t key = t0 - t0 % header_.key_interval;
  int64_t t = next_ > key && next_ <= t0 ? next_ : key;
  const int64_t frame = header_.H * header_.W * header_.C;
  try {
    for (; t < t1; ++t) decode_frame(t, mask(t), t >= t0 ? out + (t - t0) * frame : nullptr);
  } catch (...) {
    next_ = -1;
    throw;
  }
}

void CodeReader::decode_frame(int64_t t, FrameMask mask, int32_t* out) {
  const FrameEntry& f = header_.frames[t];
  const auto* p = reinterpret_cast<const uint8_t*>(blob_.data()) + f.offset;
  if (verify_ && crc32(p, f.length) != f.crc) fail("frame " + std::to_string(t) + " checksum mismatch");
  const bool key = t % header_.key_interval == 0;
  const int64_t H = header_.H, W = header_.W, C = header_.C, HW = H * W;
  Scratch& sc = *scratch_;
  sc.valid.resize(static_cast<size_t>(HW));
  uint8_t* valid = sc.valid.data();
  const std::string where = "frame " + std::to_string(t) + ": ";
  if (verify_) {
    // Positions come from the mask, so another mask would silently misplace every code.
    uint32_t crc = 0;
    for (int64_t c = 0; c < C; ++c) {
      plane_validity(mask, HW, C, c, valid);
      crc = lzma_crc32(valid, static_cast<size_t>(HW), crc);
    }
    if (crc != f.valid_crc) fail(where + "the validity mask differs from the one the codes were written with");
  }
  size_t pos = 0;
  for (int64_t c = 0; c < C; ++c) {
    if (pos >= f.length) fail(where + "ends before its last band");
    const uint8_t layout = p[pos++];
    if (layout >= kLayoutCount) fail(where + "unknown layout " + std::to_string(layout));
    if (uses_previous_frame(layout) && key) fail(where + "a key frame refers to the previous frame");
    plane_validity(mask, HW, C, c, valid);
    std::vector<uint32_t>& work = sc.work;
    work.resize(static_cast<size_t>(HW));
    if (layout == kZero) {
      std::fill(work.begin(), work.end(), 0u);
    } else {
      if (f.length - pos < 4) fail(where + "a plane length is truncated");
      const uint32_t len = get<uint32_t>(p + pos);
      pos += 4;
      if (len > f.length - pos) fail(where + "a plane runs past the frame");
      const uint8_t* payload = p + pos;
      pos += len;
      if (layout == kRaw) {
        int64_t nvalid = 0;
        for (int64_t i = 0; i < HW; ++i) nvalid += valid[i];
        if (static_cast<uint64_t>(len) != 4 * static_cast<uint64_t>(nvalid))
          fail(where + "a raw plane holds " + std::to_string(len) + " bytes for " + std::to_string(nvalid) +
               " valid cells");
        for (int64_t i = 0, k = 0; i < HW; ++i) work[i] = valid[i] ? get<uint32_t>(payload + 4 * k++) : 0u;
      } else {
        const std::vector<uint32_t>& prev = prev_[c];
        if (!key && prev.size() != static_cast<size_t>(HW)) fail("internal: previous frame missing");
        Side side = key ? Side{} : prepare_prev(prev, H, W, sc.prev);
        side.H = H;
        const int n = tap_count(layout);
        if (len < 2u * n) fail(where + "a regression plane is shorter than its weights");
        for (int j = 0; j < n; ++j) side.weights[layout == kRegression3][j] = get<int16_t>(payload + 2 * j);
        DecodeIO io{Decoder(payload + 2 * n, len - 2 * n)};
        code_plane_as(layout, io, H, W, nullptr, valid, side, work.data(), sc.rows);
        if (!io.rc.at_end()) fail(where + "a coded plane is longer than its codes");
      }
    }
    if (out)
      for (int64_t i = 0; i < HW; ++i) out[i * C + c] = valid[i] ? static_cast<int32_t>(work[i]) : 0;
    prev_[c].swap(work);
  }
  if (pos != f.length) fail(where + std::to_string(f.length - pos) + " bytes follow its last band");
  next_ = t + 1;
}

void decode(std::string_view blob, int64_t T, int64_t H, int64_t W, int64_t C, MaskView mask, int64_t t0,
            int64_t t1, int32_t* out, bool verify) {
  if (mask.valid && mask.frames != 1 && mask.frames != T)
    fail("the mask has " + std::to_string(mask.frames) + " frames, expected 1 or " + std::to_string(T));
  CodeReader r(blob, T, H, W, C, verify);
  r.decode(t0, t1, [&](int64_t t) { return mask.frame(t, H, W, C); }, out);
}

Description describe(std::string_view blob) {
  const Header h = parse_header(blob, true);
  Description d;
  d.T = h.T;
  d.H = h.H;
  d.W = h.W;
  d.C = h.C;
  d.key_interval = h.key_interval;
  d.header_bytes = h.header_bytes;
  d.layout_counts.assign(kLayoutCount, 0);
  const auto* base = reinterpret_cast<const uint8_t*>(blob.data());
  const uint64_t raw_max = 4 * static_cast<uint64_t>(h.H) * static_cast<uint64_t>(h.W);
  d.frames.reserve(h.frames.size());
  for (int64_t t = 0; t < h.T; ++t) {
    const FrameEntry& f = h.frames[t];
    const uint8_t* p = base + f.offset;
    const std::string where = "frame " + std::to_string(t) + ": ";
    if (crc32(p, f.length) != f.crc) fail(where + "checksum mismatch");
    FrameDescription fd;
    fd.offset = f.offset;
    fd.length = f.length;
    fd.key = t % h.key_interval == 0;
    size_t pos = 0;
    // Every plane takes at least one byte, so the loop ends within the frame's bytes.
    for (int64_t c = 0; c < h.C; ++c) {
      if (pos >= f.length) fail(where + "ends before its last band");
      const uint8_t layout = p[pos++];
      if (layout >= kLayoutCount) fail(where + "unknown layout " + std::to_string(layout));
      if (uses_previous_frame(layout) && fd.key) fail(where + "a key frame refers to the previous frame");
      if (layout != kZero) {
        if (f.length - pos < 4) fail(where + "a plane length is truncated");
        const uint32_t len = get<uint32_t>(p + pos);
        pos += 4;
        if (len > f.length - pos) fail(where + "a plane runs past the frame");
        if (layout == kRaw ? len % 4 != 0 || len > raw_max : len < 5u + 2u * tap_count(layout))
          fail(where + "a plane has an impossible length");
        pos += len;
      }
      fd.layouts.push_back(layout);
      ++d.layout_counts[layout];
    }
    if (pos != f.length) fail(where + std::to_string(f.length - pos) + " bytes follow its last band");
    d.frames.push_back(std::move(fd));
  }
  return d;
}

}  // namespace qelm::residual_codec
