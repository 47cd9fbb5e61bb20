#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

#include "preparation.h"

namespace qelm {
namespace {

TEST(BandRanges, MaskedFiniteValuesAcrossChunks) {
  // 5 rows in chunks of 2: the middle chunk is all masked and holds garbage that must not
  // count; non-finite values of valid rows are skipped; band 1 has no finite valid value.
  const float inf = std::numeric_limits<float>::infinity();
  auto v = torch::tensor({3.f, NAN, -2.f, inf, -1e9f, 1e9f, 1e9f, -inf, 5.f, NAN}).view({5, 2});
  auto m = torch::tensor({1, 1, 0, 0, 1}).to(torch::kBool);
  for (int64_t chunk : {1, 2, 5, 1 << 25}) {
    auto r = band_ranges(v, m, chunk);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], (BandRange{-2.0, 5.0})) << "chunk " << chunk;
    EXPECT_EQ(r[1], (BandRange{0.0, 1.0})) << "chunk " << chunk;
  }
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

}  // namespace
}  // namespace qelm
