#include "artifacts.h"

#include <ATen/Parallel.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace qelm {

std::string isoize(const std::string& value) {
  std::string s = value;
  if (s.find('T') == std::string::npos) {
    const auto sp = s.find(' ');
    if (sp != std::string::npos) s[sp] = 'T';
  }
  const bool ends_z = !s.empty() && s.back() == 'Z';
  const bool plus_after_date = s.size() > 10 && s.find('+', 10) != std::string::npos;
  const bool minus_after_date = s.size() > 11 && s.find('-', 11) != std::string::npos;
  if (!ends_z && !plus_after_date && !minus_after_date) s += 'Z';
  return s;
}

std::string rectified_filename(const std::string& filename) {
  std::string lower = filename;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  const std::string ext = ".qelm";
  if (lower.size() >= ext.size() && lower.compare(lower.size() - ext.size(), ext.size(), ext) == 0)
    return filename.substr(0, filename.size() - ext.size()) + "-rectified.qelm";
  return filename + "-rectified.qelm";
}

torch::Tensor rows_all_finite(const torch::Tensor& values) {
  TORCH_CHECK(values.dim() == 2, "values must be (N, C)");
  auto v = values.contiguous();
  auto out = torch::empty({v.size(0)}, torch::TensorOptions().dtype(torch::kBool));
  bool* o = out.data_ptr<bool>();
  const int64_t C = v.size(1);
  AT_DISPATCH_FLOATING_TYPES_AND_HALF(v.scalar_type(), "rows_all_finite", [&] {
    const scalar_t* p = v.data_ptr<scalar_t>();
    at::parallel_for(0, v.size(0), 1 << 16, [&](int64_t b, int64_t e) {
      for (int64_t r = b; r < e; ++r) {
        bool ok = true;
        for (int64_t c = 0; c < C && ok; ++c) ok = std::isfinite(static_cast<float>(p[r * C + c]));
        o[r] = ok;
      }
    });
  });
  return out;
}

}  // namespace qelm
