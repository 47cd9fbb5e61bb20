// decode_mask over the input as a mask blob. A decoded mask must have the shape its header
// states and must survive encode_mask -> decode_mask unchanged.
#include "blobs.h"
#include "harness.h"

namespace blobs = qelm::blobs;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qelm::fuzz::init_torch();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view blob(reinterpret_cast<const char*>(data), size);
  qelm::fuzz::decode_or_refuse([&] {
    const auto mask = blobs::decode_mask(blob);
    if (!mask) {
      FUZZ_CHECK(size == 0);
      return;
    }
    int32_t hdr[3];
    std::memcpy(hdr, data + 1, sizeof hdr);
    const bool static_mode = data[0] == 0;
    FUZZ_CHECK(mask->scalar_type() == torch::kBool && mask->is_contiguous());
    FUZZ_CHECK(mask->dim() == 3 && mask->size(0) == hdr[0] && mask->size(1) == hdr[1] && mask->size(2) == hdr[2]);
    FUZZ_CHECK(!static_mode || mask->size(0) == 1);
    const auto again = blobs::decode_mask(blobs::encode_mask(*mask, static_mode));
    FUZZ_CHECK(again && torch::equal(*again, *mask));
  });
  return 0;
}
