// decode_mask over a mask blob taken from the input:
//   u8 flags (bit 0: expect a cube), 3 x i32 expected cube (T, H, W), then the blob.
// A decoded mask must have the shape its header states, fit the expected cube and the budget,
// and survive encode_mask -> decode_mask unchanged.
#include "blobs.h"
#include "harness.h"

namespace blobs = qelm::blobs;
using qelm::fuzz::Fields;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qelm::fuzz::init_torch();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fields in(data, size);
  const uint8_t flags = in.take<uint8_t>();
  std::array<int64_t, 3> cube{};
  for (auto& v : cube) v = in.take<int32_t>();
  blobs::MaskLimits limits;
  if (flags & 1) limits.cube = cube;
  limits.max_cells = qelm::fuzz::kMaxCells;
  const std::string_view blob = in.rest();
  qelm::fuzz::decode_or_refuse([&] {
    const auto mask = blobs::decode_mask(blob, limits);
    if (!mask) {
      FUZZ_CHECK(blob.empty());
      return;
    }
    int32_t hdr[3];
    std::memcpy(hdr, blob.data() + 1, sizeof hdr);
    const bool static_mode = blob[0] == 0;
    FUZZ_CHECK(mask->scalar_type() == torch::kBool && mask->is_contiguous());
    FUZZ_CHECK(mask->dim() == 3 && mask->size(0) == hdr[0] && mask->size(1) == hdr[1] && mask->size(2) == hdr[2]);
    FUZZ_CHECK(!static_mode || mask->size(0) == 1);
    FUZZ_CHECK(static_cast<uint64_t>(mask->numel()) <= qelm::fuzz::kMaxCells);
    if (limits.cube)
      FUZZ_CHECK(mask->size(1) == cube[1] && mask->size(2) == cube[2] && (mask->size(0) == 1 || mask->size(0) == cube[0]));
    const auto again = blobs::decode_mask(blobs::encode_mask(*mask, static_mode), limits);
    FUZZ_CHECK(again && torch::equal(*again, *mask));
  });
  return 0;
}
