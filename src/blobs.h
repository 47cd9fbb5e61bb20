// Byte-level codecs of the three blobs inside a chunk: quantized weights, the no-data mask and
// the sparse residual track. Plain functions over tensors, bytes and small structs; the save
// methods and the public decoders of the module call them, and so do the C++ tests.
//
// Every blob is little-endian and packed field after field. Decoders trust nothing: each
// length is checked against the bytes present and against the shapes it implies before any
// allocation, and every failure throws std::invalid_argument naming the fault (the module
// turns it into ValueError).
//
// Weight raw payload (before fast_compress, which stays in Python):
//   quantized ("int8_per_tensor_f16dec" / "int16_per_tensor_f16dec"):
//     for each non-decoder component, `sizes[i]` int8/int16 values q = round(a * scales[i]);
//     then `decoder_size` float16 values. No header; the recipe carries the sizes.
//   "float16": every component, decoder included, as float16, back to back.
//
// Mask blob:
//   u8 type (0 static, 1 dynamic) | i32 F | i32 H | i32 W |
//   F records of { u32 L | L bytes: one Zstandard frame of the H*W bits, row-major, MSB
//   first, zero-padded to a byte }.  Bit 1 = no data. Zero bytes in all = no mask.
//
// Residual blob ("chunked_v1"):
//   u32 main length (0) | u8 has outliers; when 1:
//   i32 T | i32 H | i32 W | i32 C | u32 frame count (= T) | T x u64 offsets | chunk area.
//   Frame chunk: f32 value scale | u32 position length | Zstandard frame of int32 deltas of
//   the ascending in-frame cell positions | u32 count | u32 values length | XZ stream of the
//   stored int8/int16 values. An empty frame is f32 1.0 and three u32 zeros.
//   A cell's in-frame position is (y*W + x)*C + c; its global index adds t*H*W*C.
#pragma once

#include <torch/torch.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelm::blobs {

// ---- weights ----------------------------------------------------------------------------------

// How a weight payload was laid out; mirrors the recipe dictionary stored with the chunk.
struct WeightRecipe {
  std::string mode;                     // "int8_per_tensor_f16dec", "int16_per_tensor_f16dec", "float16"
  std::vector<double> scales;           // multipliers: q = round(a * scale), a = q / scale
  std::vector<int64_t> sizes;           // element count of each non-decoder component
  std::vector<std::string> components;  // names of the non-decoder components, blob order
  int64_t decoder_size = 0;
  std::string decoder_name;

  bool quantized() const { return mode != "float16"; }
  // 8 or 16 for the quantized modes, 0 for "float16". Throws on an unknown mode.
  int bits() const;
};

struct QuantizedWeights {
  std::string raw;                 // payload, to be passed through fast_compress
  WeightRecipe recipe;
  std::vector<std::string> lines;  // one report line per component (quantized modes only)
};

// Quantize the host parameter tensors (any floating type, any shape; flattened), the decoder
// last. `bits` 8 or 16 selects per-tensor integers for all but the last component and float16
// for the last; any other value stores everything as float16. Products a*scale are formed in
// float32 for half/float tensors and in double for double tensors, then rounded half to even.
// Throws std::invalid_argument for an empty list, mismatched names, a non-floating tensor or
// non-finite parameters (a diverged model would otherwise be saved as garbage).
QuantizedWeights quantize_weights(const std::vector<torch::Tensor>& tensors,
                                  const std::vector<std::string>& names, int64_t bits);

// Inverse of quantize_weights: one float32 tensor per component (decoder last), restored as
// q / scale and float16 -> float32. The "float16" recipe records no sizes: pass the element
// count of every component in `float16_sizes` to split it; without them the result is one flat
// tensor. Throws std::invalid_argument when the recipe is malformed or its sizes do not add
// up to the payload length exactly.
std::vector<torch::Tensor> restore_weights(std::string_view raw, const WeightRecipe& recipe,
                                           const std::vector<int64_t>* float16_sizes = nullptr);

// ---- mask ---------------------------------------------------------------------------------------

// Block-mode expansion: `block_mask` holds N*Hb*Wb entries (any shape, frame-major), one per
// bh x bw block with Hb = ceil(H/bh), Wb = ceil(W/bw). Every entry is repeated over its block
// and the result cropped to (N, H, W). Throws std::invalid_argument when the sizes disagree.
torch::Tensor expand_block_mask(const torch::Tensor& block_mask, int64_t N, int64_t H, int64_t W,
                                int64_t bh, int64_t bw);

// Encode a boolean no-data cube (N, H, W), true = no data. Static mode stores one frame, the
// AND over time (a pixel is blank only when it is blank in every frame); dynamic stores all N.
std::string encode_mask(const torch::Tensor& nodata, bool static_mode, int level = 3);

struct MaskBlob {
  std::string bytes;
  int64_t frames = 0;
  std::vector<std::string> lines;  // the report lines of the save, in order
};

// The whole mask step of a save: `valid` is the training mask (true = holds data), one entry
// per pixel (N*H*W) or, when bh*bw > 1, per block (N*Hb*Wb), frame-major.
MaskBlob build_mask_blob(const torch::Tensor& valid, int64_t N, int64_t H, int64_t W, int64_t bh,
                         int64_t bw, bool static_mode);

// What a caller allows a mask blob to decode to, checked against the blob's header before
// anything is allocated. `cube` (T, H, W): the mask must hold 1 or T frames of H x W.
// `max_cells`: the most entries (frames x rows x columns) the caller accepts.
struct MaskLimits {
  std::optional<std::array<int64_t, 3>> cube;
  uint64_t max_cells = std::numeric_limits<uint64_t>::max();
};

// Decode a mask blob to a bool tensor (F, H, W), true = no data; std::nullopt for the empty
// blob (no mask). Every frame record is checked (length, Zstandard header, declared size
// against what its bytes can hold) before the output is allocated, and frames are inflated one
// at a time, so the memory used is bounded by the blob's bytes and by `limits`.
std::optional<torch::Tensor> decode_mask(std::string_view blob, const MaskLimits& limits = {});

// ---- residuals ----------------------------------------------------------------------------------

// The value-mode decision: native integer data numbers when the source supplies per-band
// scales and an integer element type, no block reshape is in effect (block_factor == 1) and the
// expanded scales are C positive numbers; per-frame int16 otherwise.
struct ResidualValueMode {
  bool native = false;
  std::vector<double> scales;  // C entries in native mode, empty otherwise
  const char* name() const { return native ? "native" : "perframe_int16"; }
};
ResidualValueMode decide_residual_value_mode(const std::optional<std::vector<double>>& band_scales,
                                             const std::optional<std::string>& src_dtype,
                                             int64_t block_factor, int64_t C);

// True when `name` is a NumPy spelling of an integer element type ("uint16", "<i2", "B", ...).
// Booleans and time deltas are not integers here.
bool is_integer_dtype_name(const std::string& name);

struct ResidualBlob {
  std::string bytes;
  std::string dtype = "int16";  // stored value type: "int8" or "int16"
  bool native = false;
  std::vector<double> band_scales;  // native mode only
  int64_t outlier_count = 0;
  double outlier_value_scale = 1.0;
  int64_t position_bytes = 0;  // compressed positions, all frames
  int64_t value_bytes = 0;     // compressed values, all frames
  std::vector<std::string> lines;  // the "Residuals Packed" report line
};

// Encode (indices, values): int64 flat cell indices ((t*H + y)*W + x)*C + c in any order and
// their float32 physical residuals. `mode` from decide_residual_value_mode. Throws
// std::invalid_argument for indices outside the cube, duplicate indices, non-finite values,
// mismatched lengths or a shape the layout cannot hold.
ResidualBlob encode_residuals(const torch::Tensor& indices, const torch::Tensor& values, int64_t T,
                              int64_t H, int64_t W, int64_t C, const ResidualValueMode& mode,
                              int zstd_level = 3, uint32_t xz_preset = 6);

// The report line of native mode: " -> Residual value mode: native DN (per-band scale=[...])".
std::string residual_native_mode_line(const std::vector<double>& scales);

struct DecodedResiduals {
  torch::Tensor indices;  // int64, ascending global cell indices
  torch::Tensor values;   // float32, restored physical residuals
  bool has_shape = false; // false for the 5-byte blob without outliers
  int64_t T = 0, H = 0, W = 0, C = 0;
  std::string dtype;      // "int8" / "int16" as found in the value streams ("" when empty)
};

// What a caller allows a residual blob to decode to, checked before anything is allocated.
// `cube` (T, H, W, C): the shape the blob must state. `count`: the outlier total it must hold
// (the chunk metadata's "outlier_count"). `max_outliers`: the most outliers the caller accepts.
struct ResidualLimits {
  std::optional<std::array<int64_t, 4>> cube;
  std::optional<int64_t> count;
  uint64_t max_outliers = std::numeric_limits<uint64_t>::max();
};

// Decode a residual blob. Values are restored as stored * frame scale; with `band_scales`
// (native mode: C entries, or one repeated) as stored * band scale of the cell. `dtype`, when
// given ("int8"/"int16"), must match the stored value width. The frame chunks are walked first
// (offsets, counts, stream lengths, the positions' declared sizes), so the outlier total is
// known, checked against `limits` and backed by bytes before the output is allocated.
DecodedResiduals decode_residuals(std::string_view blob,
                                  const std::optional<std::vector<double>>& band_scales = std::nullopt,
                                  const std::optional<std::string>& dtype = std::nullopt,
                                  const ResidualLimits& limits = {});

// ---- shared byte helpers -----------------------------------------------------------------------

// One Zstandard frame (content size recorded) of `src`.
std::string zstd_compress(std::string_view src, int level);
// Decompress exactly one Zstandard frame occupying all of `src`, whose declared content size
// must equal `expected`; `what` names the stream in errors.
std::string zstd_decompress_exact(std::string_view src, uint64_t expected, const std::string& what);
// The checks of zstd_decompress_exact without decompressing: `src` is exactly one Zstandard
// frame declaring `expected` bytes, no more than its compressed bytes can expand to.
void zstd_check_frame(std::string_view src, uint64_t expected, const std::string& what);
// One XZ stream (CRC64 check) of `src` at `preset`.
std::string xz_compress(std::string_view src, uint32_t preset);
// Decode exactly one XZ stream occupying all of `src` into at most `max_out` bytes.
std::string xz_decompress_bounded(std::string_view src, uint64_t max_out, const std::string& what);

}  // namespace qelm::blobs
