#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "preparation.h"

namespace qelm {
namespace {

std::vector<float> floats(const torch::Tensor& t) {
  auto c = t.to(torch::kFloat32).contiguous();
  return {c.data_ptr<float>(), c.data_ptr<float>() + c.numel()};
}

torch::Tensor bools(std::initializer_list<int> v) {
  std::vector<int64_t> x(v.begin(), v.end());
  return torch::tensor(x).to(torch::kBool);
}

TEST(BandRanges, MaskedFiniteValuesAcrossChunks) {
  // 5 rows in chunks of 2: the middle chunk is all masked and holds garbage that must not
  // count; non-finite values of valid rows are skipped; band 1 has no finite valid value.
  const float inf = std::numeric_limits<float>::infinity();
  auto v = torch::tensor({3.f, NAN, -2.f, inf, -1e9f, 1e9f, 1e9f, -inf, 5.f, NAN}).view({5, 2});
  auto m = bools({1, 1, 0, 0, 1});
  for (int64_t chunk : {1, 2, 5, 1 << 25}) {
    auto r = band_ranges(v, m, chunk);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], (BandRange{-2.0, 5.0})) << "chunk " << chunk;
    EXPECT_EQ(r[1], (BandRange{0.0, 1.0})) << "chunk " << chunk;
  }
}

TEST(BandRanges, HalfValuesAndEmptyInput) {
  auto v = torch::tensor({0.5f, 2.25f, -4.f}).to(torch::kHalf).view({3, 1});
  EXPECT_EQ(band_ranges(v, bools({1, 1, 1}))[0], (BandRange{-4.0, 2.25}));
  auto empty = torch::zeros({0, 3});
  auto r = band_ranges(empty, torch::zeros({0}, torch::kBool));
  EXPECT_EQ(r, std::vector<BandRange>(3, BandRange{0.0, 1.0}));
}

TEST(Normalize, NoDataRowsZeroedThenBandsScaledInPlace) {
  auto v = torch::tensor({10.f, 1.f, 20.f, 2.f, 30.f, 3.f}).view({3, 2});
  auto nd = bools({0, 1, 0});
  zero_nodata_rows(v, nd);
  EXPECT_TRUE((v[1] == 0).all().item<bool>());
  negate_mask_inplace(nd);
  EXPECT_TRUE(torch::equal(nd, bools({1, 0, 1})));
  v[1].fill_(99.f);  // masked rows are zeroed again after scaling
  normalize_bands_inplace(v, {{{10.0, 30.0}}, {{1.0, 3.0}}}, nd, /*zero_masked=*/true);
  EXPECT_EQ(floats(v), std::vector<float>({0.f, 0.f, 0.f, 0.f, 20.f / static_cast<float>(20.0 + 1e-6),
                                           2.f / static_cast<float>(2.0 + 1e-6)}));
}

TEST(BlockGeometry, PaddingExamples) {
  auto g = block_geometry(16, 721, 1440, 3, 2, 2);
  EXPECT_EQ(g.H_pad, 722);
  EXPECT_EQ(g.W_pad, 1440);
  EXPECT_EQ(g.H_blk, 361);
  EXPECT_EQ(g.W_blk, 720);
  EXPECT_EQ(block_header_line(g),
            "[block reshape] block=[2, 2]: (16, 721, 1440, 3) -> (16, 361, 720, 12)  (pad: +1 rows, +0 cols)");
  auto odd = block_geometry(1, 3, 5, 1, 1, 2);
  EXPECT_EQ(odd.W_pad, 6);
  EXPECT_TRUE(odd.needs_pad());
  EXPECT_THROW(block_geometry(1, 3, 5, 1, 0, 2), std::invalid_argument);
}

TEST(BlockMemoryPlan, StrictComparisonAndHeadroom) {
  auto g = block_geometry(1, 1024, 1024, 256, 1, 1);  // output exactly 1 GiB of float32
  const double GiB = 1073741824.0;
  auto p = plan_block_memory(g, 1024 * 1024 * 256, 4, 6.0 * GiB);  // peak 1 + 1 + 4 = 6
  EXPECT_DOUBLE_EQ(p.peak_gb, 6.0);
  EXPECT_FALSE(p.memmap);
  EXPECT_TRUE(plan_block_memory(g, 1024 * 1024 * 256, 4, 5.9 * GiB).memmap);
  EXPECT_EQ(p.need_bytes, static_cast<int64_t>(GiB * 1.1));
  EXPECT_DOUBLE_EQ(plan_block_memory(g, 0, 4, std::nullopt).avail_gb, 64.0);
}

TEST(BlockReshape, ValuesAndMaskLayout) {
  // 1 frame, H=3, W=3, C=2, 2x2 blocks: element (y, x, c) = 100*y + 10*x + c.
  auto v = torch::empty({9, 2});
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x)
      for (int c = 0; c < 2; ++c) v[y * 3 + x][c] = 100 * y + 10 * x + c;
  auto g = block_geometry(1, 3, 3, 2, 2, 2);
  auto out = torch::full({1, 4, 8}, -1.f);
  block_reshape_values(v, out, g);
  // block (1, 0): pixels (2,0) (2,1) then the pad row
  EXPECT_EQ(floats(out[0][2]), std::vector<float>({200, 201, 210, 211, 0, 0, 0, 0}));
  // column = row_in_block*(bw*C) + col_in_block*C + band
  EXPECT_EQ(out[0][1][1].item<float>(), 21.f);           // block (0,1), pixel (0,2), band 1
  EXPECT_EQ(out[0][1][4].item<float>(), 120.f);          // block (0,1), pixel (1,2), band 0
  EXPECT_EQ(out[0][1][2].item<float>(), 0.f);            // block (0,1), pad pixel (0,3)
  EXPECT_EQ(out[0][0][4 + 2 + 1].item<float>(), 111.f);  // block (0,0), pixel (1,1), band 1
  auto mask = bools({0, 0, 0, 0, 0, 0, 0, 0, 1});
  EXPECT_TRUE(torch::equal(block_reshape_mask(mask, g), bools({0, 0, 0, 1})));
  EXPECT_EQ(count_true(block_reshape_mask(mask, g), 3), 1);
  EXPECT_THROW(block_reshape_values(v.narrow(0, 0, 8), out, g), c10::Error);
}

TEST(MappedTensor, BackedByFileAndRemovedWithStorage) {
  const std::string path = ::testing::TempDir() + "qelm_map_test.dat";
  {
    auto t = create_mapped_tensor(path, {3, 4}, torch::kFloat16);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 24);
    t.fill_(1.5);
    flush_mapping(t);
    auto view = t.view({12});
    t = torch::Tensor();
    EXPECT_EQ(::access(path.c_str(), F_OK), 0) << "a live view keeps the file";
    EXPECT_EQ(view.sum().item<float>(), 18.f);
  }
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
  EXPECT_THROW(create_mapped_tensor("/nonexistent/dir/x.dat", {2}, torch::kFloat32), std::runtime_error);
  EXPECT_FALSE(free_disk_bytes("/nonexistent/dir").has_value());
  EXPECT_TRUE(free_disk_bytes(::testing::TempDir()).has_value());
}

TEST(Coordinates, PlanarNorthUpAndPixelCentres) {
  Affine t;
  t.a = 0.5, t.c = 10, t.e = -0.5, t.f = 50;
  auto cc = planar_coordinates(2, 3, t);
  ASSERT_TRUE(cc.planar.has_value());
  EXPECT_DOUBLE_EQ(cc.planar->lat_min, 49.25);
  auto xy = cc.xyz.view({2, 3, 2});
  EXPECT_EQ(xy[1][0][1].item<float>(), 0.f);  // north-up: the last row is the southern edge
  EXPECT_EQ(floats(pixel_coordinates(2, 4).xyz[5]), std::vector<float>({0.375f, 0.75f}));
  EXPECT_THROW(coordinate_cache(2, 2, 2, nullptr), c10::Error);
}

}  // namespace
}  // namespace qelm
