#include "blobs.h"

#include <ATen/Parallel.h>
#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <unordered_set>

#include "common.h"

// Typed arrays are copied to and from the blobs with memcpy; every supported host is
// little-endian, which is what the blobs store.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "blob codecs assume a little-endian host");

namespace qelm::blobs {

namespace {

using std::invalid_argument;

// A Zstandard block of up to 128 KiB can be an RLE block of 4 bytes, so no frame decodes to
// more than this many bytes per compressed byte. Declared sizes beyond it are lies.
constexpr uint64_t kZstdMaxRatio = 32768;
// Enough for the decoder of any xz preset (preset 9 needs 65 MiB); larger dictionaries in a
// stream header are refused instead of being allocated.
constexpr uint64_t kXzMemLimit = 80ull << 20;

// ---- little-endian writer and bounds-checked reader -------------------------------------------

class ByteWriter {
 public:
  std::string out;
  void u8(uint8_t v) { out.push_back(static_cast<char>(v)); }
  void u32(uint32_t v) { raw(&v, 4); }
  void i32(int32_t v) { raw(&v, 4); }
  void u64(uint64_t v) { raw(&v, 8); }
  void f32(float v) { raw(&v, 4); }
  void bytes(std::string_view b) { out.append(b.data(), b.size()); }
  void raw(const void* p, size_t n) { out.append(static_cast<const char*>(p), n); }
};

class ByteReader {
 public:
  ByteReader(std::string_view data, std::string what) : d_(data), what_(std::move(what)) {}
  size_t pos() const { return pos_; }
  size_t remaining() const { return d_.size() - pos_; }
  uint8_t u8(const char* field) { return take<uint8_t>(field); }
  uint32_t u32(const char* field) { return take<uint32_t>(field); }
  int32_t i32(const char* field) { return take<int32_t>(field); }
  uint64_t u64(const char* field) { return take<uint64_t>(field); }
  float f32(const char* field) { return take<float>(field); }
  std::string_view bytes(uint64_t n, const std::string& field) {
    if (n > remaining())
      throw invalid_argument(strf("%s truncated: %s needs %llu bytes, %zu remain", what_.c_str(),
                                  field.c_str(), static_cast<unsigned long long>(n), remaining()));
    std::string_view v = d_.substr(pos_, n);
    pos_ += n;
    return v;
  }

 private:
  template <typename T>
  T take(const char* field) {
    if (remaining() < sizeof(T))
      throw invalid_argument(strf("%s truncated: %s needs %zu bytes, %zu remain", what_.c_str(),
                                  field, sizeof(T), remaining()));
    T v;
    std::memcpy(&v, d_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return v;
  }
  std::string_view d_;
  size_t pos_ = 0;
  std::string what_;
};

int64_t checked_mul(int64_t a, int64_t b, const char* what) {
  int64_t r;
  if (a < 0 || b < 0 || __builtin_mul_overflow(a, b, &r))
    throw invalid_argument(strf("%s too large", what));
  return r;
}

int32_t as_i32(int64_t v, const char* what) {
  if (v < 0 || v > std::numeric_limits<int32_t>::max())
    throw invalid_argument(strf("%s = %lld does not fit the blob's 32-bit field", what, static_cast<long long>(v)));
  return static_cast<int32_t>(v);
}

uint32_t as_u32_len(size_t v, const char* what) {
  if (v > std::numeric_limits<uint32_t>::max())
    throw invalid_argument(strf("%s of %zu bytes exceeds the 32-bit length field", what, v));
  return static_cast<uint32_t>(v);
}

torch::Tensor host_contiguous(const torch::Tensor& t) { return t.detach().to(torch::kCPU).contiguous(); }

std::string python_float_list(const std::vector<double>& v) {
  std::string s = "[";
  for (size_t i = 0; i < v.size(); ++i) s += (i ? ", " : "") + py_float_repr(v[i]);
  return s + "]";
}

}  // namespace

// ---- byte helpers -------------------------------------------------------------------------------

std::string zstd_compress(std::string_view src, int level) {
  std::string out(ZSTD_compressBound(src.size()), '\0');
  const size_t n = ZSTD_compress(out.data(), out.size(), src.data(), src.size(), level);
  if (ZSTD_isError(n)) throw std::runtime_error(std::string("Zstandard compression failed: ") + ZSTD_getErrorName(n));
  out.resize(n);
  return out;
}

void zstd_check_frame(std::string_view src, uint64_t expected, const std::string& what) {
  const unsigned long long declared = ZSTD_getFrameContentSize(src.data(), src.size());
  if (declared == ZSTD_CONTENTSIZE_ERROR) throw invalid_argument(what + " is not a Zstandard frame");
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN)
    throw invalid_argument(what + " is a Zstandard frame that does not declare its size");
  if (declared != expected)
    throw invalid_argument(strf("%s declares %llu bytes, %llu expected", what.c_str(), declared,
                                static_cast<unsigned long long>(expected)));
  const size_t frame_len = ZSTD_findFrameCompressedSize(src.data(), src.size());
  if (ZSTD_isError(frame_len))
    throw invalid_argument(what + " is truncated or corrupted: " + ZSTD_getErrorName(frame_len));
  if (frame_len != src.size())
    throw invalid_argument(strf("%s has %zu bytes after its Zstandard frame", what.c_str(), src.size() - frame_len));
  if (expected > kZstdMaxRatio * src.size())
    throw invalid_argument(strf("%s declares %llu bytes, more than %zu compressed bytes can hold",
                                what.c_str(), declared, src.size()));
}

namespace {

// Inflates a frame that passed zstd_check_frame into `out`, which holds exactly its size.
void zstd_decompress_into(std::string_view src, std::string& out, const std::string& what) {
  const size_t n = ZSTD_decompress(out.data(), out.size(), src.data(), src.size());
  if (ZSTD_isError(n)) throw invalid_argument(what + " is corrupted: " + ZSTD_getErrorName(n));
  if (n != out.size())
    throw invalid_argument(strf("%s decoded to %zu bytes, %zu expected", what.c_str(), n, out.size()));
}

}  // namespace

std::string zstd_decompress_exact(std::string_view src, uint64_t expected, const std::string& what) {
  zstd_check_frame(src, expected, what);
  std::string out(expected, '\0');
  zstd_decompress_into(src, out, what);
  return out;
}

std::string xz_compress(std::string_view src, uint32_t preset) {
  std::string out(lzma_stream_buffer_bound(src.size()), '\0');
  size_t out_pos = 0;
  const lzma_ret r = lzma_easy_buffer_encode(preset, LZMA_CHECK_CRC64, nullptr,
                                             reinterpret_cast<const uint8_t*>(src.data()), src.size(),
                                             reinterpret_cast<uint8_t*>(out.data()), &out_pos, out.size());
  if (r == LZMA_MEM_ERROR) throw std::bad_alloc();
  if (r != LZMA_OK) throw std::runtime_error(strf("XZ compression failed (liblzma code %d)", static_cast<int>(r)));
  out.resize(out_pos);
  return out;
}

std::string xz_decompress_bounded(std::string_view src, uint64_t max_out, const std::string& what) {
  std::string out(std::max<uint64_t>(max_out, 1), '\0');
  uint64_t memlimit = kXzMemLimit;
  size_t in_pos = 0, out_pos = 0;
  const lzma_ret r = lzma_stream_buffer_decode(&memlimit, 0, nullptr, reinterpret_cast<const uint8_t*>(src.data()),
                                               &in_pos, src.size(), reinterpret_cast<uint8_t*>(out.data()),
                                               &out_pos, max_out);
  switch (r) {
    case LZMA_OK: break;
    case LZMA_FORMAT_ERROR: throw invalid_argument(what + " is not an XZ stream");
    case LZMA_OPTIONS_ERROR: throw invalid_argument(what + " uses XZ options this reader does not support");
    case LZMA_DATA_ERROR: throw invalid_argument(what + " is a corrupted XZ stream");
    case LZMA_MEMLIMIT_ERROR: throw invalid_argument(what + " asks for an XZ dictionary larger than any preset");
    case LZMA_BUF_ERROR:
      throw invalid_argument(strf("%s is truncated or decodes to more than %llu bytes", what.c_str(),
                                  static_cast<unsigned long long>(max_out)));
    case LZMA_MEM_ERROR: throw std::bad_alloc();
    default: throw invalid_argument(strf("%s could not be decoded (liblzma code %d)", what.c_str(), static_cast<int>(r)));
  }
  if (in_pos != src.size())
    throw invalid_argument(strf("%s has %zu bytes after its XZ stream", what.c_str(), src.size() - in_pos));
  out.resize(out_pos);
  return out;
}

// ---- weights ------------------------------------------------------------------------------------

int WeightRecipe::bits() const {
  if (mode == "int8_per_tensor_f16dec") return 8;
  if (mode == "int16_per_tensor_f16dec") return 16;
  if (mode == "float16") return 0;
  throw invalid_argument("unknown weight quantization mode '" + mode + "'");
}

namespace {

void append_half(std::string& out, const torch::Tensor& flat) {
  const torch::Tensor h = flat.to(torch::kHalf).contiguous();
  out.append(reinterpret_cast<const char*>(h.data_ptr<at::Half>()), static_cast<size_t>(h.numel()) * 2);
}

template <typename Q>
void append_quantized(std::string& out, const torch::Tensor& flat, double scale) {
  const int64_t n = flat.numel();
  std::vector<Q> q(static_cast<size_t>(n));
  if (flat.scalar_type() == torch::kDouble) {
    const double* a = flat.data_ptr<double>();
    for (int64_t i = 0; i < n; ++i) q[i] = static_cast<Q>(std::nearbyint(a[i] * scale));
  } else {
    // Half and single precision parameters are scaled in single precision, with the scale
    // rounded to single precision first, as array arithmetic on them would do.
    const torch::Tensor f = flat.to(torch::kFloat).contiguous();
    const float* a = f.data_ptr<float>();
    const float s = static_cast<float>(scale);
    for (int64_t i = 0; i < n; ++i) q[i] = static_cast<Q>(std::nearbyint(a[i] * s));
  }
  out.append(reinterpret_cast<const char*>(q.data()), q.size() * sizeof(Q));
}

double abs_max(const torch::Tensor& flat) {
  return flat.numel() == 0 ? 0.0 : flat.abs().max().item<double>();
}

}  // namespace

QuantizedWeights quantize_weights(const std::vector<torch::Tensor>& tensors, const std::vector<std::string>& names,
                                  int64_t bits) {
  if (tensors.empty()) throw invalid_argument("no weight components to store");
  if (names.size() != tensors.size())
    throw invalid_argument(strf("%zu weight components but %zu names", tensors.size(), names.size()));
  std::vector<torch::Tensor> flat;
  flat.reserve(tensors.size());
  for (size_t i = 0; i < tensors.size(); ++i) {
    if (!tensors[i].defined()) throw invalid_argument("weight component '" + names[i] + "' is undefined");
    torch::Tensor t = host_contiguous(tensors[i]).reshape(-1);
    if (!at::isFloatingType(t.scalar_type()))
      throw invalid_argument("weight component '" + names[i] + "' is not floating point");
    if (t.numel() > 0 && !torch::isfinite(t).all().item<bool>())
      throw invalid_argument("weight component '" + names[i] + "' holds non-finite values (training diverged?)");
    if (t.scalar_type() != torch::kDouble && t.scalar_type() != torch::kFloat) t = t.to(torch::kFloat);
    flat.push_back(t);
  }

  QuantizedWeights res;
  WeightRecipe& rec = res.recipe;
  if (bits != 8 && bits != 16) {
    rec.mode = "float16";
    for (const auto& t : flat) append_half(res.raw, t);
    return res;
  }
  const double qmax = bits == 8 ? 127.0 : 32767.0;
  rec.mode = strf("int%d_per_tensor_f16dec", static_cast<int>(bits));
  const size_t last = flat.size() - 1;
  for (size_t i = 0; i < last; ++i) {
    const double amax = abs_max(flat[i]);
    const double scale = qmax / (amax + 1e-9);
    if (bits == 8)
      append_quantized<int8_t>(res.raw, flat[i], scale);
    else
      append_quantized<int16_t>(res.raw, flat[i], scale);
    rec.scales.push_back(scale);
    rec.sizes.push_back(flat[i].numel());
    rec.components.push_back(names[i]);
    res.lines.push_back(strf("   - %s:   %9lld params, |max|=%s, int%d scale=%s", names[i].c_str(),
                             static_cast<long long>(flat[i].numel()), py_fmt_g(amax, 4).c_str(),
                             static_cast<int>(bits), py_fmt_g(scale, 4).c_str()));
  }
  const torch::Tensor& dec = flat[last];
  append_half(res.raw, dec);
  rec.decoder_size = dec.numel();
  rec.decoder_name = names[last];
  res.lines.push_back(strf("   - %s: %9lld params, |max|=%s, stored as float16 (%.1f KB)", names[last].c_str(),
                           static_cast<long long>(dec.numel()), py_fmt_g(abs_max(dec), 4).c_str(),
                           static_cast<double>(dec.numel()) * 2.0 / 1024.0));
  return res;
}

namespace {

torch::Tensor half_to_float(const char* p, int64_t n) {
  torch::Tensor h = torch::empty({n}, torch::kHalf);
  if (n) std::memcpy(h.data_ptr<at::Half>(), p, static_cast<size_t>(n) * 2);
  return h.to(torch::kFloat);
}

// A positive scale far below any the encoder writes (it never goes under qmax / FLT_MAX)
// would restore stored integers as infinities; such a recipe is damaged, not a model.
template <typename Q>
torch::Tensor dequantize(const char* p, int64_t n, double scale, const std::string& name) {
  torch::Tensor out = torch::empty({n}, torch::kFloat);
  float* o = out.data_ptr<float>();
  for (int64_t i = 0; i < n; ++i) {
    Q q;
    std::memcpy(&q, p + i * static_cast<int64_t>(sizeof(Q)), sizeof(Q));
    o[i] = static_cast<float>(static_cast<double>(q) / scale);
    if (!std::isfinite(o[i]))
      throw invalid_argument(strf("weight component '%s' restores to a non-finite value (stored %d, scale %s)",
                                  name.c_str(), static_cast<int>(q), py_float_repr(scale).c_str()));
  }
  return out;
}

}  // namespace

std::vector<torch::Tensor> restore_weights(std::string_view raw, const WeightRecipe& rec,
                                           const std::vector<int64_t>* float16_sizes) {
  const int bits = rec.bits();
  const int64_t avail = static_cast<int64_t>(raw.size());
  std::vector<torch::Tensor> out;
  if (bits == 0) {
    if (raw.size() % 2) throw invalid_argument(strf("float16 weight payload has an odd length (%zu bytes)", raw.size()));
    const int64_t n = avail / 2;
    if (!float16_sizes) {
      out.push_back(half_to_float(raw.data(), n));
      return out;
    }
    int64_t sum = 0;
    for (int64_t s : *float16_sizes) {
      if (s < 0 || s > n - sum)
        throw invalid_argument(strf("component sizes exceed the %lld float16 values of the weight payload",
                                    static_cast<long long>(n)));
      sum += s;
    }
    if (sum != n)
      throw invalid_argument(strf("component sizes add up to %lld values, the weight payload holds %lld",
                                  static_cast<long long>(sum), static_cast<long long>(n)));
    int64_t off = 0;
    for (int64_t s : *float16_sizes) {
      out.push_back(half_to_float(raw.data() + off * 2, s));
      off += s;
    }
    return out;
  }

  const size_t k = rec.sizes.size();
  if (rec.scales.size() != k || rec.components.size() != k)
    throw invalid_argument(strf("weight recipe lists %zu scales, %zu sizes and %zu components", rec.scales.size(), k,
                                rec.components.size()));
  const int64_t elem = bits / 8;
  int64_t need = 0;
  for (size_t i = 0; i < k; ++i) {
    const double s = rec.scales[i];
    if (!std::isfinite(s) || s <= 0.0)
      throw invalid_argument(strf("weight recipe scale %zu (%s) is not a positive number", i, py_float_repr(s).c_str()));
    if (rec.sizes[i] < 0 || rec.sizes[i] > (avail - need) / elem)
      throw invalid_argument(strf("weight recipe sizes exceed the %lld-byte payload", static_cast<long long>(avail)));
    need += rec.sizes[i] * elem;
  }
  if (rec.decoder_size < 0 || rec.decoder_size > (avail - need) / 2)
    throw invalid_argument(strf("weight recipe decoder size exceeds the %lld-byte payload", static_cast<long long>(avail)));
  need += rec.decoder_size * 2;
  if (need != avail)
    throw invalid_argument(strf("weight recipe describes %lld bytes, the payload holds %lld", static_cast<long long>(need),
                                static_cast<long long>(avail)));
  int64_t off = 0;
  for (size_t i = 0; i < k; ++i) {
    out.push_back(bits == 8 ? dequantize<int8_t>(raw.data() + off, rec.sizes[i], rec.scales[i], rec.components[i])
                            : dequantize<int16_t>(raw.data() + off, rec.sizes[i], rec.scales[i], rec.components[i]));
    off += rec.sizes[i] * elem;
  }
  out.push_back(half_to_float(raw.data() + off, rec.decoder_size));
  return out;
}

// ---- mask ---------------------------------------------------------------------------------------

torch::Tensor expand_block_mask(const torch::Tensor& block_mask, int64_t N, int64_t H, int64_t W, int64_t bh,
                                int64_t bw) {
  if (N < 0 || H < 0 || W < 0) throw invalid_argument("mask shape must not be negative");
  if (bh < 1 || bw < 1) throw invalid_argument(strf("block size %lldx%lld is not positive", static_cast<long long>(bh),
                                                    static_cast<long long>(bw)));
  const int64_t Hb = (H + bh - 1) / bh, Wb = (W + bw - 1) / bw;
  const int64_t want = checked_mul(checked_mul(N, Hb, "mask"), Wb, "mask");
  if (block_mask.numel() != want)
    throw invalid_argument(strf("block mask holds %lld entries, %lld frames of %lldx%lld blocks need %lld",
                                static_cast<long long>(block_mask.numel()), static_cast<long long>(N),
                                static_cast<long long>(Hb), static_cast<long long>(Wb), static_cast<long long>(want)));
  return host_contiguous(block_mask)
      .reshape({N, Hb, Wb})
      .repeat_interleave(bh, 1)
      .repeat_interleave(bw, 2)
      .slice(1, 0, H)
      .slice(2, 0, W)
      .contiguous();
}

std::string encode_mask(const torch::Tensor& nodata, bool static_mode, int level) {
  if (nodata.dim() != 3) throw invalid_argument("no-data mask must have three dimensions (frames, rows, columns)");
  torch::Tensor m = host_contiguous(nodata).to(torch::kBool);
  if (static_mode) m = m.all(0, /*keepdim=*/true).contiguous();
  const int64_t F = m.size(0), H = m.size(1), W = m.size(2);
  ByteWriter w;
  w.u8(static_mode ? 0 : 1);
  w.i32(as_i32(F, "mask frames"));
  w.i32(as_i32(H, "mask height"));
  w.i32(as_i32(W, "mask width"));
  const int64_t hw = H * W;
  const bool* bits = m.data_ptr<bool>();
  // An empty cube may still have a huge frame size; nothing is packed then.
  std::string packed(F ? static_cast<size_t>((hw + 7) / 8) : 0, '\0');
  for (int64_t f = 0; f < F; ++f) {
    const bool* frame = bits + f * hw;
    for (int64_t j = 0; j < hw; j += 8) {
      const int64_t n = std::min<int64_t>(8, hw - j);
      unsigned byte = 0;
      for (int64_t k = 0; k < n; ++k) byte |= static_cast<unsigned>(frame[j + k]) << (7 - k);
      packed[j >> 3] = static_cast<char>(byte);
    }
    const std::string z = zstd_compress(packed, level);
    w.u32(as_u32_len(z.size(), "mask frame"));
    w.bytes(z);
  }
  return std::move(w.out);
}

MaskBlob build_mask_blob(const torch::Tensor& valid, int64_t N, int64_t H, int64_t W, int64_t bh, int64_t bw,
                         bool static_mode) {
  torch::Tensor m = host_contiguous(valid).to(torch::kBool).reshape(-1);
  if (bh != 1 || bw != 1) {
    m = expand_block_mask(m, N, H, W, bh, bw);
  } else {
    const int64_t want = checked_mul(checked_mul(N, H, "mask"), W, "mask");
    if (N < 0 || H < 0 || W < 0 || m.numel() != want)
      throw invalid_argument(strf("mask holds %lld entries, %lld frames of %lldx%lld pixels need %lld",
                                  static_cast<long long>(m.numel()), static_cast<long long>(N),
                                  static_cast<long long>(H), static_cast<long long>(W), static_cast<long long>(want)));
  }
  const torch::Tensor nodata = torch::logical_not(m).reshape({N, H, W});
  MaskBlob res;
  res.lines.push_back(static_mode ? " -> Mask (Real): Static" : " -> Mask (Real): Dynamic");
  res.bytes = encode_mask(nodata, static_mode);
  res.frames = static_mode ? 1 : N;
  res.lines.push_back(strf(" -> Mask Packed: %.2f MB (%lld frames)", static_cast<double>(res.bytes.size()) / 1024.0 / 1024.0,
                           static_cast<long long>(res.frames)));
  return res;
}

std::optional<torch::Tensor> decode_mask(std::string_view blob, const MaskLimits& limits) {
  if (blob.empty()) return std::nullopt;
  ByteReader r(blob, "mask blob");
  const uint8_t type = r.u8("type");
  if (type > 1) throw invalid_argument(strf("mask blob type %u is neither static (0) nor dynamic (1)", type));
  const int32_t F = r.i32("frame count"), H = r.i32("height"), W = r.i32("width");
  if (F < 0 || H < 0 || W < 0) throw invalid_argument(strf("mask blob shape (%d, %d, %d) is negative", F, H, W));
  if (type == 0 && F != 1) throw invalid_argument(strf("static mask blob holds %d frames, expected 1", F));
  if (limits.cube) {
    const auto& [T, eh, ew] = *limits.cube;
    if (H != eh || W != ew || (F != 1 && F != T))
      throw invalid_argument(strf("mask of shape (%d, %d, %d) does not fit the cube (%lld, %lld, %lld)", F, H, W,
                                  static_cast<long long>(T), static_cast<long long>(eh), static_cast<long long>(ew)));
  }
  const int64_t hw = static_cast<int64_t>(H) * W;
  const int64_t cells = checked_mul(F, hw, "mask blob");
  if (static_cast<uint64_t>(cells) > limits.max_cells)
    throw invalid_argument(strf("mask blob of %d x %d x %d pixels exceeds the limit of %llu", F, H, W,
                                static_cast<unsigned long long>(limits.max_cells)));
  // Every frame record needs at least its 4-byte length.
  if (static_cast<uint64_t>(F) * 4 > r.remaining())
    throw invalid_argument(strf("mask blob truncated: %d frames cannot fit in %zu bytes", F, r.remaining()));
  const uint64_t packed_len = static_cast<uint64_t>((hw + 7) / 8);
  // Each frame's declared size is checked against what its compressed bytes can hold before
  // the output is allocated, so a short blob cannot claim a large mask.
  std::vector<std::string_view> frames;
  frames.reserve(static_cast<size_t>(F));
  for (int32_t f = 0; f < F; ++f) {
    const std::string what = strf("mask frame %d", f);
    const uint32_t len = r.u32((what + " length").c_str());
    frames.push_back(r.bytes(len, what));
    zstd_check_frame(frames.back(), packed_len, what);
  }
  if (r.remaining()) throw invalid_argument(strf("mask blob has %zu bytes after its last frame", r.remaining()));
  // Each packed byte becomes eight bools at once through a table of 8-byte patterns.
  static const auto table = [] {
    std::array<std::array<uint8_t, 8>, 256> t{};
    for (int b = 0; b < 256; ++b)
      for (int k = 0; k < 8; ++k) t[b][k] = (b >> (7 - k)) & 1;
    return t;
  }();
  torch::Tensor out = torch::empty({F, H, W}, torch::kBool);
  uint8_t* o = reinterpret_cast<uint8_t*>(out.data_ptr<bool>());
  std::string packed(F ? packed_len : 0, '\0');  // one frame at a time
  for (int32_t f = 0; f < F; ++f) {
    const std::string what = strf("mask frame %d", f);
    zstd_decompress_into(frames[f], packed, what);
    // The padding of the last byte is written as zeros; anything else is damage.
    if (hw % 8) {
      const uint8_t last = static_cast<uint8_t>(packed.back());
      if (last & (0xFFu >> (hw % 8))) throw invalid_argument(what + " has non-zero padding bits");
    }
    const uint8_t* p = reinterpret_cast<const uint8_t*>(packed.data());
    uint8_t* of = o + f * hw;
    const int64_t full = hw / 8;
    for (int64_t j = 0; j < full; ++j) std::memcpy(of + 8 * j, table[p[j]].data(), 8);
    for (int64_t i = full * 8; i < hw; ++i) of[i] = table[p[full]][i - full * 8];
  }
  return out;
}

// ---- residuals ----------------------------------------------------------------------------------

bool is_integer_dtype_name(const std::string& name) {
  static const std::unordered_set<std::string> kNames = {
      "int8",  "int16",  "int32",  "int64", "uint8",  "uint16", "uint32",    "uint64",   "int",
      "uint",  "intp",   "uintp",  "int0",  "uint0",  "byte",   "ubyte",     "short",    "ushort",
      "intc",  "uintc",  "int_",   "long",  "ulong",  "longlong", "ulonglong"};
  static const std::unordered_set<std::string> kCodes = {"b",  "B",  "h",  "H",  "i",  "I",  "l",  "L",  "q",
                                                         "Q",  "p",  "P",  "i1", "i2", "i4", "i8", "u1", "u2",
                                                         "u4", "u8"};
  if (kNames.count(name) || kCodes.count(name)) return true;
  // A byte-order mark may precede a type code, never a type name.
  if (name.size() >= 2 && std::strchr("<>=|", name[0])) return kCodes.count(name.substr(1)) > 0;
  return false;
}

ResidualValueMode decide_residual_value_mode(const std::optional<std::vector<double>>& band_scales,
                                             const std::optional<std::string>& src_dtype, int64_t block_factor,
                                             int64_t C) {
  ResidualValueMode m;
  if (!band_scales || !src_dtype || block_factor != 1 || !is_integer_dtype_name(*src_dtype)) return m;
  std::vector<double> s = *band_scales;
  if (s.size() == 1 && C > 1) s.assign(static_cast<size_t>(C), s[0]);
  if (static_cast<int64_t>(s.size()) != C) return m;
  // An infinite scale would store every residual as 0, so only finite positive scales qualify.
  for (double v : s)
    if (!(v > 0.0) || !std::isfinite(v)) return m;
  m.native = true;
  m.scales = std::move(s);
  return m;
}

std::string residual_native_mode_line(const std::vector<double>& scales) {
  return " -> Residual value mode: native DN (per-band scale=" + python_float_list(scales) + ")";
}

namespace {

struct FrameChunk {
  std::string bytes;
  int64_t pos_len = 0, val_len = 0;
};

template <typename Q>
std::string stored_bytes(const std::vector<double>& q) {
  const double lo = std::numeric_limits<Q>::min(), hi = std::numeric_limits<Q>::max();
  std::string out(q.size() * sizeof(Q), '\0');
  for (size_t i = 0; i < q.size(); ++i) {
    const Q v = static_cast<Q>(std::clamp(q[i], lo, hi));
    std::memcpy(out.data() + i * sizeof(Q), &v, sizeof(Q));
  }
  return out;
}

}  // namespace

ResidualBlob encode_residuals(const torch::Tensor& indices, const torch::Tensor& values, int64_t T, int64_t H,
                              int64_t W, int64_t C, const ResidualValueMode& mode, int zstd_level,
                              uint32_t xz_preset) {
  as_i32(T, "T");
  as_i32(H, "H");
  as_i32(W, "W");
  as_i32(C, "C");
  const int64_t frame_cells = checked_mul(checked_mul(H, W, "residual frame"), C, "residual frame");
  const int64_t total_cells = checked_mul(T, frame_cells, "residual cube");
  if (mode.native && static_cast<int64_t>(mode.scales.size()) != C)
    throw invalid_argument(strf("native residual mode needs %lld band scales, got %zu", static_cast<long long>(C),
                                mode.scales.size()));
  if (indices.numel() != values.numel())
    throw invalid_argument(strf("%lld residual indices but %lld values", static_cast<long long>(indices.numel()),
                                static_cast<long long>(values.numel())));
  const torch::Tensor idx_t = host_contiguous(indices).reshape(-1).to(torch::kLong);
  const torch::Tensor val_t = host_contiguous(values).reshape(-1).to(torch::kFloat);
  const int64_t n = idx_t.numel();

  ResidualBlob res;
  res.native = mode.native;
  res.band_scales = mode.scales;
  res.outlier_count = n;
  ByteWriter w;
  w.u32(0);  // main stream: none
  if (n == 0) {
    w.u8(0);
    res.bytes = std::move(w.out);
    res.lines.push_back(strf(" -> Residuals Packed: %.2f MB (0 outliers)", static_cast<double>(res.bytes.size()) / 1024.0 / 1024.0));
    return res;
  }
  if (frame_cells - 1 > std::numeric_limits<int32_t>::max())
    throw invalid_argument(strf("a frame of %lld cells is too large for 32-bit residual positions",
                                static_cast<long long>(frame_cells)));

  const int64_t* idx = idx_t.data_ptr<int64_t>();
  const float* val = val_t.data_ptr<float>();
  float maxabs = 0.0f;
  for (int64_t i = 0; i < n; ++i) {
    if (idx[i] < 0 || idx[i] >= total_cells)
      throw invalid_argument(strf("residual index %lld lies outside the %lld cells of the cube",
                                  static_cast<long long>(idx[i]), static_cast<long long>(total_cells)));
    if (!std::isfinite(val[i]))
      throw invalid_argument(strf("residual value at index %lld is not finite", static_cast<long long>(idx[i])));
    maxabs = std::max(maxabs, std::fabs(val[i]));
  }
  std::vector<int64_t> order(static_cast<size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) { return idx[a] < idx[b]; });
  std::vector<int64_t> sidx(static_cast<size_t>(n));
  std::vector<float> sval(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    sidx[i] = idx[order[i]];
    sval[i] = val[order[i]];
    if (i && sidx[i] == sidx[i - 1])
      throw invalid_argument(strf("residual index %lld occurs more than once", static_cast<long long>(sidx[i])));
  }
  order = {};
  res.outlier_value_scale = std::max(static_cast<double>(maxabs) / 32767.0, 1e-6);

  // Native mode stores data numbers; their width is decided once for all frames.
  std::vector<double> native_q;
  bool int8 = false;
  if (mode.native) {
    native_q.resize(static_cast<size_t>(n));
    double qmax = 0.0;
    for (int64_t i = 0; i < n; ++i) {
      native_q[i] = std::nearbyint(static_cast<double>(sval[i]) / mode.scales[sidx[i] % C]);
      qmax = std::max(qmax, std::fabs(native_q[i]));
    }
    int8 = qmax <= 127.0;
  }
  res.dtype = int8 ? "int8" : "int16";

  std::vector<int64_t> start(static_cast<size_t>(T) + 1);
  for (int64_t k = 0; k <= T; ++k)
    start[k] = std::lower_bound(sidx.begin(), sidx.end(), k * frame_cells) - sidx.begin();

  std::vector<FrameChunk> chunks(static_cast<size_t>(T));
  auto encode_frame = [&](int64_t t) {
    const int64_t s = start[t], e = start[t + 1];
    ByteWriter fw;
    if (s == e) {
      fw.f32(1.0f);
      fw.u32(0);
      fw.u32(0);
      fw.u32(0);
      chunks[t].bytes = std::move(fw.out);
      return;
    }
    const int64_t cnt = e - s, base = t * frame_cells;
    std::vector<int32_t> deltas(static_cast<size_t>(cnt));
    int64_t prev = 0;
    for (int64_t i = 0; i < cnt; ++i) {
      const int64_t p = sidx[s + i] - base;
      deltas[i] = static_cast<int32_t>(p - prev);
      prev = p;
    }
    double scale = 1.0;
    std::vector<double> q(static_cast<size_t>(cnt));
    if (mode.native) {
      std::copy(native_q.begin() + s, native_q.begin() + e, q.begin());
    } else {
      float fmax = 0.0f;
      for (int64_t i = s; i < e; ++i) fmax = std::max(fmax, std::fabs(sval[i]));
      scale = std::max(static_cast<double>(fmax) / 32767.0, 1e-6);
      for (int64_t i = 0; i < cnt; ++i) q[i] = std::nearbyint(static_cast<double>(sval[s + i]) / scale);
    }
    const std::string pos = zstd_compress(
        std::string_view(reinterpret_cast<const char*>(deltas.data()), deltas.size() * 4), zstd_level);
    const std::string vals = xz_compress(int8 ? stored_bytes<int8_t>(q) : stored_bytes<int16_t>(q), xz_preset);
    fw.f32(static_cast<float>(scale));
    fw.u32(as_u32_len(pos.size(), "compressed residual positions"));
    fw.bytes(pos);
    fw.u32(static_cast<uint32_t>(cnt));
    fw.u32(as_u32_len(vals.size(), "compressed residual values"));
    fw.bytes(vals);
    chunks[t] = {std::move(fw.out), static_cast<int64_t>(pos.size()), static_cast<int64_t>(vals.size())};
  };
  // Frames are independent and XZ at preset 6 is slow, so frames with outliers are encoded in
  // parallel; the result does not depend on the thread count.
  std::vector<int64_t> busy;
  for (int64_t t = 0; t < T; ++t)
    if (start[t + 1] > start[t]) busy.push_back(t); else encode_frame(t);
  std::exception_ptr failure;
  std::mutex failure_mu;
  at::parallel_for(0, static_cast<int64_t>(busy.size()), 1, [&](int64_t b, int64_t e) {
    for (int64_t i = b; i < e; ++i) {
      try {
        encode_frame(busy[i]);
      } catch (...) {
        std::lock_guard<std::mutex> lock(failure_mu);
        if (!failure) failure = std::current_exception();
      }
    }
  });
  if (failure) std::rethrow_exception(failure);

  w.u8(1);
  w.i32(static_cast<int32_t>(T));
  w.i32(static_cast<int32_t>(H));
  w.i32(static_cast<int32_t>(W));
  w.i32(static_cast<int32_t>(C));
  w.u32(static_cast<uint32_t>(T));
  uint64_t off = 0;
  size_t area = 0;
  for (const auto& c : chunks) area += c.bytes.size();
  w.out.reserve(w.out.size() + static_cast<size_t>(T) * 8 + area);
  for (const auto& c : chunks) {
    w.u64(off);
    off += c.bytes.size();
    res.position_bytes += c.pos_len;
    res.value_bytes += c.val_len;
  }
  for (auto& c : chunks) {
    w.bytes(c.bytes);
    c.bytes = {};
  }
  res.bytes = std::move(w.out);
  const double mb = 1024.0 * 1024.0;
  res.lines.push_back(strf(" -> Residuals Packed: %.2f MB (delta-pos %.2f MB + %s vals %.2f MB for %lld outliers)",
                           static_cast<double>(res.bytes.size()) / mb, static_cast<double>(res.position_bytes) / mb,
                           res.dtype.c_str(), static_cast<double>(res.value_bytes) / mb, static_cast<long long>(n)));
  return res;
}

namespace {

// One frame chunk of a residual blob, located and checked but not yet inflated.
struct ResidualFrame {
  float scale = 1.0f;
  uint32_t count = 0;
  std::string_view positions, values;
};

}  // namespace

DecodedResiduals decode_residuals(std::string_view blob, const std::optional<std::vector<double>>& band_scales,
                                  const std::optional<std::string>& dtype, const ResidualLimits& limits) {
  int want_width = 0;
  if (dtype) {
    if (*dtype == "int8") want_width = 1;
    else if (*dtype == "int16") want_width = 2;
    else throw invalid_argument("residual value type '" + *dtype + "' is neither int8 nor int16");
  }
  ByteReader r(blob, "residual blob");
  DecodedResiduals out;
  const uint32_t main_len = r.u32("main length");
  if (main_len != 0)
    throw invalid_argument(strf("residual blob declares a %u-byte main stream; this layout has none", main_len));
  const uint8_t has = r.u8("outlier flag");
  if (has > 1) throw invalid_argument(strf("residual blob outlier flag is %u, expected 0 or 1", has));
  if (has == 0) {
    if (r.remaining()) throw invalid_argument(strf("residual blob without outliers has %zu extra bytes", r.remaining()));
    if (limits.count && *limits.count != 0)
      throw invalid_argument(strf("residual blob holds no outliers, the chunk metadata counts %lld",
                                  static_cast<long long>(*limits.count)));
    out.indices = torch::empty({0}, torch::kLong);
    out.values = torch::empty({0}, torch::kFloat);
    return out;
  }
  const int32_t T = r.i32("T"), H = r.i32("H"), W = r.i32("W"), C = r.i32("C");
  if (T < 0 || H < 0 || W < 0 || C < 0)
    throw invalid_argument(strf("residual blob shape (%d, %d, %d, %d) is negative", T, H, W, C));
  if (limits.cube) {
    const auto& [eT, eH, eW, eC] = *limits.cube;
    if (T != eT || H != eH || W != eW || C != eC)
      throw invalid_argument(strf("residual track shape (%d, %d, %d, %d) does not match the cube (%lld, %lld, %lld, %lld)",
                                  T, H, W, C, static_cast<long long>(eT), static_cast<long long>(eH),
                                  static_cast<long long>(eW), static_cast<long long>(eC)));
  }
  const int64_t frame_cells = checked_mul(static_cast<int64_t>(H) * W, C, "residual blob frame");
  // Positions are cell indices of the whole cube: it must be addressable before any is formed.
  checked_mul(static_cast<int64_t>(T), frame_cells, "residual blob cube");
  const uint32_t nframes = r.u32("frame count");
  if (nframes != static_cast<uint32_t>(T))
    throw invalid_argument(strf("residual blob holds %u frame chunks for T = %d", nframes, T));
  // Each frame needs an 8-byte offset and at least a 16-byte chunk.
  if (static_cast<uint64_t>(T) * 24 > r.remaining())
    throw invalid_argument(strf("residual blob truncated: %d frames cannot fit in %zu bytes", T, r.remaining()));
  std::vector<uint64_t> offsets(static_cast<size_t>(T));
  for (auto& o : offsets) o = r.u64("frame offset");

  // One scale stands for every band. It is not expanded: C comes from the blob and may be huge
  // in a blob that holds no outliers at all.
  std::vector<double> scales;
  bool one_scale = false;
  if (band_scales) {
    scales = *band_scales;
    one_scale = scales.size() == 1 && C > 1;
    if (!one_scale && static_cast<int64_t>(scales.size()) != C)
      throw invalid_argument(strf("%zu band scales given for %d bands", band_scales->size(), C));
    for (double s : scales)
      if (!(s > 0.0) || !std::isfinite(s)) throw invalid_argument("band scales must be finite positive numbers");
  }

  // First pass: locate every frame chunk and check what it claims against its bytes, so the
  // outlier total is known and backed by data before anything of its size is allocated.
  const size_t area_start = r.pos();
  std::vector<ResidualFrame> frames(static_cast<size_t>(T));
  uint64_t total = 0;
  for (int32_t t = 0; t < T; ++t) {
    const std::string what = strf("residual frame %d", t);
    if (offsets[t] != r.pos() - area_start)
      throw invalid_argument(strf("%s offset %llu does not follow the previous frame (at %zu)", what.c_str(),
                                  static_cast<unsigned long long>(offsets[t]), r.pos() - area_start));
    ResidualFrame& fr = frames[t];
    fr.scale = r.f32("frame value scale");
    const uint32_t pos_len = r.u32("position length");
    fr.positions = r.bytes(pos_len, what + " positions");
    fr.count = r.u32("outlier count");
    const uint32_t val_len = r.u32("values length");
    fr.values = r.bytes(val_len, what + " values");
    if (fr.count == 0) {
      if (pos_len || val_len) throw invalid_argument(what + " has no outliers but non-empty streams");
      continue;
    }
    if (static_cast<int64_t>(fr.count) > frame_cells)
      throw invalid_argument(strf("%s holds %u outliers in a frame of %lld cells", what.c_str(), fr.count,
                                  static_cast<long long>(frame_cells)));
    if (!std::isfinite(fr.scale) || !(fr.scale > 0.0f))
      throw invalid_argument(strf("%s value scale %s is not a positive number", what.c_str(),
                                  py_float_repr(fr.scale).c_str()));
    if (band_scales && fr.scale != 1.0f)
      throw invalid_argument(what + " has a per-frame value scale; band scales apply only to native values");
    zstd_check_frame(fr.positions, static_cast<uint64_t>(fr.count) * 4, what + " positions");
    total += fr.count;
  }
  if (r.remaining()) throw invalid_argument(strf("residual blob has %zu bytes after its last frame", r.remaining()));
  if (limits.count && total != static_cast<uint64_t>(*limits.count))
    throw invalid_argument(strf("residual blob holds %llu outliers, the chunk metadata counts %lld",
                                static_cast<unsigned long long>(total), static_cast<long long>(*limits.count)));
  if (total > limits.max_outliers)
    throw invalid_argument(strf("residual blob holds %llu outliers, more than the limit of %llu",
                                static_cast<unsigned long long>(total),
                                static_cast<unsigned long long>(limits.max_outliers)));

  const int64_t n = static_cast<int64_t>(total);
  out.indices = torch::empty({n}, torch::kLong);
  out.values = torch::empty({n}, torch::kFloat);
  int64_t* oi = out.indices.data_ptr<int64_t>();
  float* ov = out.values.data_ptr<float>();
  int width = want_width;
  int64_t k = 0;
  for (int32_t t = 0; t < T; ++t) {
    const ResidualFrame& fr = frames[t];
    if (fr.count == 0) continue;
    const std::string what = strf("residual frame %d", t);
    const uint32_t count = fr.count;
    const std::string deltas = zstd_decompress_exact(fr.positions, static_cast<uint64_t>(count) * 4, what + " positions");
    const std::string stored = xz_decompress_bounded(fr.values, static_cast<uint64_t>(count) * 2, what + " values");
    int w = 0;
    if (stored.size() == count) w = 1;
    else if (stored.size() == static_cast<size_t>(count) * 2) w = 2;
    if (w == 0 || (width && w != width))
      throw invalid_argument(strf("%s values hold %zu bytes for %u outliers%s", what.c_str(), stored.size(), count,
                                  width ? (width == 1 ? " of int8" : " of int16") : ""));
    width = w;
    const int64_t base = static_cast<int64_t>(t) * frame_cells;
    int64_t p = 0;
    for (uint32_t i = 0; i < count; ++i) {
      int32_t d;
      std::memcpy(&d, deltas.data() + 4 * static_cast<size_t>(i), 4);
      if (d < 0 || (i > 0 && d == 0))
        throw invalid_argument(strf("%s positions are not strictly ascending", what.c_str()));
      p += d;
      if (p >= frame_cells)
        throw invalid_argument(strf("%s position %lld lies outside the frame's %lld cells", what.c_str(),
                                    static_cast<long long>(p), static_cast<long long>(frame_cells)));
      int32_t q;
      if (w == 1) {
        q = static_cast<int8_t>(stored[i]);
      } else {
        int16_t q16;
        std::memcpy(&q16, stored.data() + 2 * static_cast<size_t>(i), 2);
        q = q16;
      }
      const double cell_scale = band_scales ? scales[one_scale ? 0 : p % C] : fr.scale;
      const float v = band_scales ? static_cast<float>(q * cell_scale) : static_cast<float>(q) * fr.scale;
      // A scale the encoder cannot produce may push a stored integer past float32.
      if (!std::isfinite(v))
        throw invalid_argument(strf("%s value %d times scale %s is not a finite float32", what.c_str(), q,
                                    py_float_repr(cell_scale).c_str()));
      oi[k] = base + p;
      ov[k] = v;
      ++k;
    }
  }
  out.has_shape = true;
  out.T = T;
  out.H = H;
  out.W = W;
  out.C = C;
  out.dtype = width == 1 ? "int8" : width == 2 ? "int16" : "";
  return out;
}

}  // namespace qelm::blobs
