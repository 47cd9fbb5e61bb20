// restore_weights over a recipe and payload taken from the input:
//   u8 mode selector (int8 / int16 / float16 / float16 with sizes / unknown), u8 component
//   count k (low 3 bits; bit 3 drops one component name), k x {f64 scale, i64 size} (float16
//   with sizes: k x i64 size), i64 decoder size, then the payload.
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
  static const char* const kModes[] = {"int8_per_tensor_f16dec", "int16_per_tensor_f16dec", "float16", "float16",
                                       "int4_per_tensor"};
  const unsigned sel = in.take<uint8_t>() % 5;
  const uint8_t kb = in.take<uint8_t>();
  const size_t k = kb & 7;
  blobs::WeightRecipe rec;
  rec.mode = kModes[sel];
  std::vector<int64_t> f16_sizes;
  for (size_t i = 0; i < k; ++i) {
    if (sel == 3) {
      f16_sizes.push_back(in.take<int64_t>());
      continue;
    }
    rec.scales.push_back(in.take<double>());
    rec.sizes.push_back(in.take<int64_t>());
    if (!((kb & 8) && i == 0)) rec.components.push_back("c" + std::to_string(i));
  }
  rec.decoder_size = in.take<int64_t>();
  rec.decoder_name = "decoder";
  const std::string_view raw = in.rest();

  qelm::fuzz::decode_or_refuse([&] {
    const auto out = blobs::restore_weights(raw, rec, sel == 3 ? &f16_sizes : nullptr);
    for (const auto& t : out) {
      FUZZ_CHECK(t.scalar_type() == torch::kFloat && t.dim() == 1 && t.is_contiguous());
    }
    if (sel == 2) {
      FUZZ_CHECK(out.size() == 1 && out[0].numel() == static_cast<int64_t>(raw.size() / 2));
      return;
    }
    if (sel == 3) {
      FUZZ_CHECK(out.size() == f16_sizes.size());
      for (size_t i = 0; i < out.size(); ++i) FUZZ_CHECK(out[i].numel() == f16_sizes[i]);
      return;
    }
    FUZZ_CHECK(out.size() == k + 1);
    int64_t bytes = rec.decoder_size * 2;
    for (size_t i = 0; i < k; ++i) {
      FUZZ_CHECK(out[i].numel() == rec.sizes[i]);
      // q / scale of a stored integer must come back as a usable weight.
      FUZZ_CHECK(torch::isfinite(out[i]).all().item<bool>());
      bytes += rec.sizes[i] * (sel == 0 ? 1 : 2);
    }
    FUZZ_CHECK(out[k].numel() == rec.decoder_size);
    FUZZ_CHECK(bytes == static_cast<int64_t>(raw.size()));
  });
  return 0;
}
