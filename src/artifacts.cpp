#include "artifacts.h"

#include <ATen/Parallel.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numeric>
#include <stdexcept>

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

namespace {
std::pair<torch::Tensor, torch::Tensor> host_track(const torch::Tensor& indices, const torch::Tensor& values) {
  if (indices.numel() != values.numel())
    throw std::invalid_argument("residual indices and values differ in length");
  return {indices.reshape(-1).to(torch::kCPU).to(torch::kInt64).contiguous(),
          values.reshape(-1).to(torch::kCPU).to(torch::kFloat64).contiguous()};
}
}  // namespace

double largest_native_code(const torch::Tensor& indices, const torch::Tensor& values, const std::vector<double>& scales,
                           int64_t C) {
  if (C <= 0 || static_cast<int64_t>(scales.size()) != C) throw std::invalid_argument("one scale per band expected");
  auto [idx, val] = host_track(indices, values);
  const int64_t* pi = idx.data_ptr<int64_t>();
  const double* pv = val.data_ptr<double>();
  double largest = 0.0;
  for (int64_t i = 0; i < idx.numel(); ++i) {
    if (pi[i] < 0) throw std::invalid_argument("residual index is negative");
    largest = std::max(largest, std::fabs(std::nearbyint(pv[i] / scales[static_cast<size_t>(pi[i] % C)])));
  }
  return largest;
}

StoredResidualError stored_residual_error(const torch::Tensor& indices, const torch::Tensor& values,
                                          const torch::Tensor& restored_indices, const torch::Tensor& restored,
                                          int64_t C) {
  if (C <= 0) throw std::invalid_argument("the band count must be positive");
  auto [idx, val] = host_track(indices, values);
  auto [ridx, rval] = host_track(restored_indices, restored);
  if (idx.numel() != ridx.numel())
    throw std::invalid_argument("the restored track holds a different number of cells");
  const int64_t n = idx.numel();
  const int64_t* pi = idx.data_ptr<int64_t>();
  const double* pv = val.data_ptr<double>();
  const int64_t* pr = ridx.data_ptr<int64_t>();
  const double* prv = rval.data_ptr<double>();
  std::vector<int64_t> order(static_cast<size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) { return pi[a] < pi[b]; });
  StoredResidualError out{std::vector<double>(C, 0.0), std::vector<double>(C, 0.0), std::vector<double>(C, 0.0)};
  for (int64_t k = 0; k < n; ++k) {
    const int64_t i = order[static_cast<size_t>(k)];
    if (pi[i] != pr[k] || pi[i] < 0)
      throw std::invalid_argument("the restored track names other cells than the computed one");
    const double e = std::fabs(pv[i] - prv[k]);
    const size_t b = static_cast<size_t>(pi[i] % C);
    out.sse[b] += e * e;
    out.sae[b] += e;
    out.max[b] = std::max(out.max[b], e);
  }
  return out;
}

}  // namespace qelm
