// Lossless codec of a residual code field: one int32 code per valid cell of a cube
// (T, H, W, C), mostly small and correlated in space and time. The codes are what a bounded
// container stores to bring each value within its error bound, so every byte counts and every
// code must come back exactly, the full int32 range included.
//
// The field is coded frame by frame and, within a frame, band plane by band plane in raster
// order. Each plane picks the smallest of a few layouts by the bytes it actually produces:
//   0 "zero"      every valid code is 0 (or the plane has no valid cell): nothing stored
//   1 "raw"       each valid code as int32, raster order: the bound on the worst case
//   2 "dense"     each valid code, context-coded
//   3 "lorenzo2"  the difference to the 2-D Lorenzo prediction (left + up - up-left)
//   4 "temporal"  the difference to the same cell of the previous frame
//   5 "lorenzo3"  the difference to the 2-D Lorenzo prediction plus the previous frame's 2-D
//                 Lorenzo residual at the cell moved one step towards zero (the 3-D Lorenzo
//                 prediction, less the step of the previous frame that is mostly noise)
//   6 "regression2"  the difference to a linear prediction from left, up, up-left, up-right,
//                 two left and two up, weights fitted per plane (least squares on a sample of
//                 rows) and stored ahead of the stream as 6 int16 in 1/1024 units
//   7 "regression3"  the same with the previous frame's cell, its four neighbours and its
//                 up-left as six more taps (12 weights)
// Cells without every tap (the first two rows and columns, the last column) fall back to
// "lorenzo2" in "regression2" and to "lorenzo3" in "regression3".
// Positions are never stored: the caller's validity mask implies them, and invalid cells cost
// nothing. Layouts 2-7 go through an adaptive binary range coder: a zero flag whose context is
// the activity of the residuals around (left, up, up-left, up-right, and the same cell one frame
// back) and the previous frame's residual there, a sign with the neighbours' signs as context,
// then the magnitude in Elias-gamma form: unary exponent and the two leading mantissa bits
// adaptive, lower bits direct, and where the activity says residuals are wide, a few low bits
// direct up front. Predictions and differences wrap modulo 2^32, so any int32 code is exact; an
// invalid cell takes its prediction as value, which keeps predictors smooth across holes. The
// encoder picks a plane's layout from entropy estimates on a sample of rows, codes the best
// (and a close second) for real and keeps raw when that is smaller.
//
// Frames form groups of `key_interval` frames starting at every multiple of it: a key frame
// is coded on its own, every other frame may use the previous frame (layouts 4 and 5, and the
// previous-frame context), so decoding frame t needs the frames from its key frame on.
//
// Blob layout (little-endian, packed):
//   u8  version (1)
//   i32 T, H, W, C
//   u32 key interval K (>= 1)
//   T x { u32 frame length, u32 CRC-32 of the frame bytes, u32 CRC-32 of the frame's validity
//         (its band planes in order, one 0/1 byte per cell) }
//   u32 CRC-32 of all the header bytes before it
//   frame area: the T frames back to back (frame t starts at the sum of the earlier lengths)
// Frame: for each band c: u8 layout, then for layouts other than "zero": u32 payload length
// and the payload ("raw": 4 bytes per valid cell; the regression layouts: their int16 weights;
// then for layouts 2-7 one range-coder stream).
//
// Decoders trust nothing: the header must match the shape the caller passes, every length is
// checked against the bytes present before use, checksums are verified, a coded stream must
// end exactly where its length says, and all failures throw std::invalid_argument.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qelm::residual_codec {

enum Layout : uint8_t {
  kZero = 0,
  kRaw = 1,
  kDense = 2,
  kLorenzo2 = 3,
  kTemporal = 4,
  kLorenzo3 = 5,
  kRegression2 = 6,
  kRegression3 = 7,
};
constexpr int kLayoutCount = 8;
constexpr uint8_t kVersion = 1;
constexpr uint32_t kDefaultKeyInterval = 16;

// "zero", "raw", "dense", "lorenzo2", "temporal", "lorenzo3", "regression2", "regression3";
// "unknown" otherwise.
const char* layout_name(uint8_t layout);

// Validity of one frame's cells: H*W entries (one per pixel, all bands) or, with `per_band`,
// H*W*C entries in (row, column, band) order; nonzero = valid. A null pointer: all valid.
struct FrameMask {
  const uint8_t* valid = nullptr;
  bool per_band = false;
};

// Validity of a whole series: `frames` is 1 (one mask for every frame) or T; null data means
// every cell is valid.
struct MaskView {
  const uint8_t* valid = nullptr;
  int64_t frames = 1;
  bool per_band = false;
  FrameMask frame(int64_t t, int64_t H, int64_t W, int64_t C) const;
};

struct Options {
  uint32_t key_interval = kDefaultKeyInterval;
  // Bit i allows layout i. "zero" is always used where it applies, and "raw" wherever no
  // allowed coded layout does (a key frame with only the temporal ones). Narrowing it is for
  // measurements and tests: without "raw" a coded layout is kept even when raw is smaller.
  uint32_t layouts = (1u << kLayoutCount) - 1;
};

struct Scratch;

// Encodes frames as they come; holds the previous frame's planes and the coded bytes, never
// the cube.
class CodeWriter {
 public:
  // Throws std::invalid_argument for negative sizes, H, W or C beyond int32, or a key
  // interval of 0.
  CodeWriter(int64_t H, int64_t W, int64_t C, Options options = {});
  ~CodeWriter();
  CodeWriter(CodeWriter&&) noexcept;
  CodeWriter& operator=(CodeWriter&&) noexcept;
  // `codes`: H*W*C int32 in (row, column, band) order; codes of invalid cells are ignored. A
  // frame that throws leaves the writer as it was.
  void add_frame(const int32_t* codes, FrameMask mask);
  int64_t frames() const { return static_cast<int64_t>(index_.size() / 3); }
  // The blob of the frames added so far. The writer stays usable.
  std::string finish() const;

 private:
  int64_t H_, W_, C_;
  Options options_;
  std::vector<std::vector<uint32_t>> prev_;  // per band: working plane of the previous frame
  std::vector<uint32_t> index_;              // per frame: length, CRC-32 of bytes, of validity
  std::string area_;
  std::unique_ptr<Scratch> scratch_;
};

// The whole series at once: `codes` T*H*W*C int32 in (T, H, W, C) order.
std::string encode(const int32_t* codes, int64_t T, int64_t H, int64_t W, int64_t C, MaskView mask,
                   Options options = {});

struct FrameEntry {
  uint64_t offset = 0;  // in the blob
  uint32_t length = 0;
  uint32_t crc = 0;        // of the frame bytes
  uint32_t valid_crc = 0;  // of the frame's validity, band planes of 0/1 bytes in order
};

struct Header {
  int64_t T = 0, H = 0, W = 0, C = 0;
  uint32_t key_interval = 1;
  uint64_t header_bytes = 0;
  std::vector<FrameEntry> frames;
};

// Parses and checks the header and frame index (lengths add up to the blob exactly, header
// checksum when `verify`).
Header parse_header(std::string_view blob, bool verify = true);

// Sequential decoder with random access by key frame.
class CodeReader {
 public:
  // The header must state exactly the shape (T, H, W, C) the caller expects.
  CodeReader(std::string_view blob, int64_t T, int64_t H, int64_t W, int64_t C, bool verify = true);
  ~CodeReader();
  CodeReader(CodeReader&&) noexcept;
  CodeReader& operator=(CodeReader&&) noexcept;
  // Decodes frames [t0, t1) into `out` ((t1 - t0) * H*W*C int32, zeros at invalid cells).
  // Frames between t0's key frame and t0 are decoded too, unless the reader already stands
  // at t0 after an earlier call. `mask(t)` gives frame t's validity.
  void decode(int64_t t0, int64_t t1, const std::function<FrameMask(int64_t)>& mask, int32_t* out);
  const Header& header() const { return header_; }

 private:
  void decode_frame(int64_t t, FrameMask mask, int32_t* out);
  std::string_view blob_;
  Header header_;
  bool verify_;
  int64_t next_ = -1;  // frame whose predecessor state `prev_` holds; -1: none
  std::vector<std::vector<uint32_t>> prev_;
  std::unique_ptr<Scratch> scratch_;
};

// Decodes frames [t0, t1) of a blob of shape (T, H, W, C) into `out`.
void decode(std::string_view blob, int64_t T, int64_t H, int64_t W, int64_t C, MaskView mask, int64_t t0,
            int64_t t1, int32_t* out, bool verify = true);

struct FrameDescription {
  uint64_t offset = 0;
  uint32_t length = 0;
  std::vector<uint8_t> layouts;  // one per band
  bool key = false;
};

struct Description {
  int64_t T = 0, H = 0, W = 0, C = 0;
  uint32_t key_interval = 1;
  uint64_t header_bytes = 0;
  std::vector<FrameDescription> frames;
  std::vector<int64_t> layout_counts;  // planes per layout, kLayoutCount entries
};

// Header and each plane's layout, without decoding any code; checks what it reads.
Description describe(std::string_view blob);

}  // namespace qelm::residual_codec
