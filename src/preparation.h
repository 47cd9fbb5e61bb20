// Training-data preparation: no-data handling, log transform, per-band normalisation, block
// regrouping, and the coordinate cache / time table the network reads.
#pragma once

#include <torch/torch.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common.h"

namespace qelm {

// Rows per min/max slice: bounds the masked, finite-filtered temporaries of a plain
// tensor-expression implementation and keeps each slice's work cache-sized here.
inline constexpr int64_t kRangeChunkRows = int64_t{1} << 25;

using BandRange = std::array<double, 2>;  // [min, max]

// ---- Raw-cube route ------------------------------------------------------------------------
// Everything runs in place on `values` (N, C) (float16/32/64) and `nodata` (N, bool): no-data
// rows are zeroed, `nodata` is negated into the training mask, values optionally go through
// log(1 + v), each band is normalised by its range over valid finite values, and (unless
// force_zero) masked rows end at exactly 0. Returns the per-band [min, max]; a band without a
// valid finite value gets [0, 1]. Reports the band lines; the caller prints the step banners.
struct RawCubeOptions {
  bool force_zero_training = false;
  bool use_log = false;
  int64_t chunk_rows = kRangeChunkRows;
};
void zero_nodata_rows(torch::Tensor values, const torch::Tensor& nodata);
void negate_mask_inplace(torch::Tensor mask);
void log1p_inplace(torch::Tensor values);
// Min/max per band over rows whose mask is true, finite values only; slices of chunk_rows
// whose mask is all false are skipped without touching their values.
std::vector<BandRange> band_ranges(const torch::Tensor& values, const torch::Tensor& mask,
                                   int64_t chunk_rows = kRangeChunkRows);
// v <- (v - min) / (max - min + 1e-6) per band, and rows whose mask is false set to 0 when
// `zero_masked` (mask may be undefined when not zeroing).
void normalize_bands_inplace(torch::Tensor values, const std::vector<BandRange>& ranges,
                             const torch::Tensor& mask, bool zero_masked);
std::string band_range_line(int64_t band, const BandRange& r, bool from_valid_range = false);

// ---- Coordinate cache (norm modes 0-3) and time table -------------------------------------
struct Affine {
  double a = 1, b = 0, c = 0, d = 0, e = -1, f = 0;
};

struct PlanarParams {
  double lon_min, lon_span, lat_min, lat_span;
};
struct XyzParams {
  double x_min, x_span, y_min, y_span, z_min, z_span;
};

struct CoordinateCache {
  torch::Tensor xyz;                  // (H*W, 2) or (H*W, 3) float32, host
  std::string mode_line;              // " -> [Mode] ..."
  std::optional<PlanarParams> planar;  // mode 2
  std::optional<XyzParams> local_xyz;  // mode 1
};

bool is_known_norm_mode(double norm_mode);
// Mode 3 needs no affine; modes 0-2 use a, c, e, f only.
CoordinateCache pixel_coordinates(int64_t H, int64_t W);
CoordinateCache planar_coordinates(int64_t H, int64_t W, const Affine& t);
CoordinateCache spherical_coordinates(int64_t H, int64_t W, const Affine& t, bool local);
CoordinateCache coordinate_cache(int norm_mode, int64_t H, int64_t W, const Affine* t);

// ---- Block regrouping ------------------------------------------------------------------------
struct BlockGeometry {
  int64_t T, H, W, C, bh, bw;
  int64_t H_pad, W_pad, H_blk, W_blk;
  bool needs_pad() const { return H_pad != H || W_pad != W; }
  int64_t block_values() const { return bh * bw * C; }
};
BlockGeometry block_geometry(int64_t T, int64_t H, int64_t W, int64_t C, int64_t bh, int64_t bw);
std::string block_header_line(const BlockGeometry& g);

// Sizes in GiB that decide between a RAM and a memory-mapped output.
struct BlockMemoryPlan {
  double in_gb, out_gb, avail_gb, peak_gb;
  bool memmap;
  int64_t need_bytes;  // free space a mapped output needs (10 % headroom)
};
BlockMemoryPlan plan_block_memory(const BlockGeometry& g, int64_t in_numel, int element_size,
                                  std::optional<double> avail_bytes);
std::string block_memory_line(const BlockMemoryPlan& p);

// Fill `out` (T, H_blk*W_blk, bh*bw*C) from `values` (T*H*W, C), one frame at a time.
void block_reshape_values(const torch::Tensor& values, torch::Tensor out, const BlockGeometry& g);
// Per-block validity: a block is valid when any of its pixels is; pad pixels are invalid.
torch::Tensor block_reshape_mask(const torch::Tensor& mask, const BlockGeometry& g);
// Sum of a boolean mask in slices of 1e8 entries.
int64_t count_true(const torch::Tensor& mask, int64_t slice = 100000000);

// A host tensor backed by a file mapping. The file is created (space reserved up front, so a
// full disk fails here and not as a fault mid-copy), mapped shared, and removed when the
// tensor's storage is released.
torch::Tensor create_mapped_tensor(const std::string& path, at::IntArrayRef shape,
                                   at::ScalarType dtype);
// Free bytes of the file system holding `dir`; nullopt when the query fails.
std::optional<int64_t> free_disk_bytes(const std::string& dir);
// MemAvailable of the host; nullopt when unknown.
std::optional<int64_t> available_memory_bytes();

}  // namespace qelm

namespace qelm {
// msync a tensor's file-backed storage (no-op for ordinary memory).
void flush_mapping(const torch::Tensor& t);
}  // namespace qelm
