#include "preparation.h"

#include <ATen/Parallel.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace qelm {

namespace {

constexpr double kSpanEpsilon = 1e-6;

void check_rows(const torch::Tensor& values, const torch::Tensor& rows, const char* what) {
  TORCH_CHECK(values.dim() == 2 && values.is_contiguous() && values.device().is_cpu(),
              "values must be a contiguous host tensor of shape (N, C)");
  TORCH_CHECK(rows.dim() == 1 && rows.scalar_type() == at::kBool && rows.is_contiguous() &&
                  rows.device().is_cpu(),
              what, " must be a contiguous host bool tensor");
  TORCH_CHECK(rows.size(0) == values.size(0), what, " has ", rows.size(0), " entries for ",
              values.size(0), " rows");
}

// Runs fn(thread_index, row_begin, row_end) over `n` rows split into one contiguous range per
// intra-op thread, so per-thread accumulators need no locking and reduce in a fixed order.
template <typename F>
void for_each_thread_range(int64_t n, int64_t nthreads, F&& fn) {
  at::parallel_for(0, nthreads, 1, [&](int64_t b, int64_t e) {
    for (int64_t t = b; t < e; ++t) fn(t, n * t / nthreads, n * (t + 1) / nthreads);
  });
}

int64_t work_threads(int64_t n) {
  const int64_t per = 1 << 16;  // rows below which another thread costs more than it saves
  return std::max<int64_t>(1, std::min<int64_t>(at::get_num_threads(), (n + per - 1) / per));
}

}  // namespace

void zero_nodata_rows(torch::Tensor values, const torch::Tensor& nodata) {
  check_rows(values, nodata, "no-data mask");
  const int64_t N = values.size(0), C = values.size(1);
  const int64_t row_bytes = C * static_cast<int64_t>(values.element_size());
  auto* base = static_cast<char*>(values.data_ptr());
  const bool* nd = nodata.data_ptr<bool>();
  for_each_thread_range(N, work_threads(N), [&](int64_t, int64_t b, int64_t e) {
    for (int64_t r = b; r < e; ++r)
      if (nd[r]) std::memset(base + r * row_bytes, 0, static_cast<size_t>(row_bytes));
  });
}

void negate_mask_inplace(torch::Tensor mask) {
  TORCH_CHECK(mask.scalar_type() == at::kBool && mask.is_contiguous(), "mask must be contiguous bool");
  bool* p = mask.data_ptr<bool>();
  const int64_t n = mask.numel();
  for_each_thread_range(n, work_threads(n), [&](int64_t, int64_t b, int64_t e) {
    for (int64_t i = b; i < e; ++i) p[i] = !p[i];
  });
}

void log1p_inplace(torch::Tensor values) {
  TORCH_CHECK(values.is_contiguous(), "values must be contiguous");
  AT_DISPATCH_FLOATING_TYPES_AND_HALF(values.scalar_type(), "log1p_inplace", [&] {
    scalar_t* p = values.data_ptr<scalar_t>();
    const int64_t n = values.numel();
    for_each_thread_range(n, work_threads(n), [&](int64_t, int64_t b, int64_t e) {
      for (int64_t i = b; i < e; ++i) {
        if constexpr (std::is_same_v<scalar_t, c10::Half>) {
          p[i] = static_cast<scalar_t>(std::log1p(static_cast<float>(p[i])));
        } else {
          p[i] = std::log1p(p[i]);
        }
      }
    });
  });
}

std::vector<BandRange> band_ranges(const torch::Tensor& values, const torch::Tensor& mask,
                                   int64_t chunk_rows) {
  check_rows(values, mask, "mask");
  TORCH_CHECK(chunk_rows > 0, "chunk_rows must be positive");
  const int64_t N = values.size(0), C = values.size(1);
  std::vector<double> mn(C, std::numeric_limits<double>::infinity());
  std::vector<double> mx(C, -std::numeric_limits<double>::infinity());
  std::vector<char> found(C, 0);
  const bool* m = mask.data_ptr<bool>();

  AT_DISPATCH_FLOATING_TYPES_AND_HALF(values.scalar_type(), "band_ranges", [&] {
    using acc_t = std::conditional_t<std::is_same_v<scalar_t, c10::Half>, float, scalar_t>;
    const scalar_t* v = values.data_ptr<scalar_t>();
    for (int64_t i = 0; i < N; i += chunk_rows) {
      const int64_t end = std::min(i + chunk_rows, N);
      const int64_t n = end - i;
      const int64_t nt = work_threads(n);
      std::vector<acc_t> tmn(nt * C, std::numeric_limits<acc_t>::infinity());
      std::vector<acc_t> tmx(nt * C, -std::numeric_limits<acc_t>::infinity());
      std::vector<char> tfound(nt * C, 0);
      std::vector<char> tany(nt, 0);
      for_each_thread_range(n, nt, [&](int64_t t, int64_t b, int64_t e) {
        acc_t* lmn = &tmn[t * C];
        acc_t* lmx = &tmx[t * C];
        char* lf = &tfound[t * C];
        for (int64_t r = i + b; r < i + e; ++r) {
          if (!m[r]) continue;
          tany[t] = 1;
          const scalar_t* row = v + r * C;
          for (int64_t c = 0; c < C; ++c) {
            const acc_t x = static_cast<acc_t>(row[c]);
            if (!std::isfinite(x)) continue;
            if (x < lmn[c]) lmn[c] = x;
            if (x > lmx[c]) lmx[c] = x;
            lf[c] = 1;
          }
        }
      });
      for (int64_t t = 0; t < nt; ++t)
        for (int64_t c = 0; c < C; ++c)
          if (tfound[t * C + c]) {
            mn[c] = std::min(mn[c], static_cast<double>(tmn[t * C + c]));
            mx[c] = std::max(mx[c], static_cast<double>(tmx[t * C + c]));
            found[c] = 1;
          }
    }
  });

  std::vector<BandRange> out(C);
  for (int64_t c = 0; c < C; ++c) out[c] = found[c] ? BandRange{mn[c], mx[c]} : BandRange{0.0, 1.0};
  return out;
}

void normalize_bands_inplace(torch::Tensor values, const std::vector<BandRange>& ranges,
                             const torch::Tensor& mask, bool zero_masked) {
  TORCH_CHECK(values.dim() == 2 && values.is_contiguous(), "values must be contiguous (N, C)");
  const int64_t N = values.size(0), C = values.size(1);
  TORCH_CHECK(static_cast<int64_t>(ranges.size()) == C, "one range per band expected");
  if (zero_masked) check_rows(values, mask, "mask");
  const bool* m = zero_masked ? mask.data_ptr<bool>() : nullptr;

  AT_DISPATCH_FLOATING_TYPES_AND_HALF(values.scalar_type(), "normalize_bands", [&] {
    // Arithmetic in the element type (float for half), scalars rounded to it first: the same
    // operations an array library performs for `(v - min) / span` on this element type.
    using op_t = std::conditional_t<std::is_same_v<scalar_t, c10::Half>, float, scalar_t>;
    std::vector<op_t> lo(C), span(C);
    for (int64_t c = 0; c < C; ++c) {
      lo[c] = static_cast<op_t>(ranges[c][0]);
      span[c] = static_cast<op_t>(ranges[c][1] - ranges[c][0] + kSpanEpsilon);
    }
    scalar_t* v = values.data_ptr<scalar_t>();
    for_each_thread_range(N, work_threads(N), [&](int64_t, int64_t b, int64_t e) {
      for (int64_t r = b; r < e; ++r) {
        scalar_t* row = v + r * C;
        if (m && !m[r]) {
          for (int64_t c = 0; c < C; ++c) row[c] = scalar_t(0);
          continue;
        }
        for (int64_t c = 0; c < C; ++c) {
          const op_t diff = static_cast<op_t>(row[c]) - lo[c];
          row[c] = static_cast<scalar_t>(diff / span[c]);
        }
      }
    });
  });
}

std::string band_range_line(int64_t band, const BandRange& r, bool from_valid_range) {
  return strf("    Band %lld: Range [%s, %s]%s", static_cast<long long>(band),
              py_fmt_f(r[0], 4).c_str(), py_fmt_f(r[1], 4).c_str(),
              from_valid_range ? " (from input_valid_range)" : "");
}

// ---- Coordinates ------------------------------------------------------------------------------

bool is_known_norm_mode(double norm_mode) {
  return norm_mode == 0 || norm_mode == 1 || norm_mode == 2 || norm_mode == 3;
}

namespace {
torch::Tensor grid_pairs(const torch::Tensor& x, const torch::Tensor& y) {
  // Row p = i * W + j holds (x_j, y_i).
  auto grids = torch::meshgrid({y, x}, "ij");
  return torch::stack({grids[1].reshape(-1), grids[0].reshape(-1)}, 1).contiguous();
}
const auto kF32 = torch::TensorOptions().dtype(torch::kFloat32);
}  // namespace

CoordinateCache pixel_coordinates(int64_t H, int64_t W) {
  auto x = ((torch::linspace(0, static_cast<double>(W - 1), W, kF32) + 0.5) / static_cast<double>(W)).clamp(0, 1);
  auto y = ((torch::linspace(0, static_cast<double>(H - 1), H, kF32) + 0.5) / static_cast<double>(H)).clamp(0, 1);
  return {grid_pairs(x, y), " -> [Mode] Pixel Coordinates Normalization (0-1)", std::nullopt, std::nullopt};
}

CoordinateCache planar_coordinates(int64_t H, int64_t W, const Affine& t) {
  const double x_start = t.c + 0.5 * t.a, y_start = t.f + 0.5 * t.e;
  const double x_end = t.c + (static_cast<double>(W) - 0.5) * t.a;
  const double y_end = t.f + (static_cast<double>(H) - 0.5) * t.e;
  const double x_min = std::min(x_start, x_end), x_max = std::max(x_start, x_end);
  const double y_min = std::min(y_start, y_end), y_max = std::max(y_start, y_end);
  PlanarParams p{x_min, x_max - x_min + kSpanEpsilon, y_min, y_max - y_min + kSpanEpsilon};
  const double u_first = (x_start - x_min) / p.lon_span, u_last = (x_end - x_min) / p.lon_span;
  const double v_first = (y_start - y_min) / p.lat_span, v_last = (y_end - y_min) / p.lat_span;
  auto x = torch::linspace(u_first, u_last, W, kF32).clamp(0, 1);
  auto y = torch::linspace(v_first, v_last, H, kF32).clamp(0, 1);
  return {grid_pairs(x, y), " -> [Mode] 2D Plane Normalization", p, std::nullopt};
}

CoordinateCache spherical_coordinates(int64_t H, int64_t W, const Affine& t, bool local) {
  const double deg = M_PI / 180.0;
  auto j = torch::arange(W, kF32);
  auto i = torch::arange(H, kF32);
  auto lon = (t.c + (j + 0.5) * t.a) * deg;
  auto lat = (t.f + (i + 0.5) * t.e) * deg;
  auto grids = torch::meshgrid({lat, lon}, "ij");
  auto phi = grids[0].reshape(-1), lam = grids[1].reshape(-1);
  auto X = torch::cos(phi) * torch::cos(lam);
  auto Y = torch::cos(phi) * torch::sin(lam);
  auto Z = torch::sin(phi);
  CoordinateCache out;
  out.mode_line = " -> [Mode] 3D Spherical";
  if (!local) {
    out.xyz = torch::stack({(X + 1) * 0.5, (Y + 1) * 0.5, (Z + 1) * 0.5}, 1).contiguous();
    return out;
  }
  auto span_of = [](const torch::Tensor& v, double& lo) {
    lo = v.min().item<double>();
    return v.max().item<double>() - lo + kSpanEpsilon;
  };
  XyzParams p{};
  p.x_span = span_of(X, p.x_min);
  p.y_span = span_of(Y, p.y_min);
  p.z_span = span_of(Z, p.z_min);
  out.xyz = torch::stack({((X - p.x_min) / p.x_span).clamp(0, 1), ((Y - p.y_min) / p.y_span).clamp(0, 1),
                          ((Z - p.z_min) / p.z_span).clamp(0, 1)},
                         1)
                .contiguous();
  out.local_xyz = p;
  return out;
}

CoordinateCache coordinate_cache(int norm_mode, int64_t H, int64_t W, const Affine* t) {
  TORCH_CHECK(H >= 0 && W >= 0, "grid size must not be negative");
  if (norm_mode == 3) return pixel_coordinates(H, W);
  TORCH_CHECK(t != nullptr, "coordinate mode ", norm_mode, " needs the grid's affine transform");
  if (norm_mode == 2) return planar_coordinates(H, W, *t);
  return spherical_coordinates(H, W, *t, norm_mode == 1);
}

// ---- Block regrouping -------------------------------------------------------------------------

BlockGeometry block_geometry(int64_t T, int64_t H, int64_t W, int64_t C, int64_t bh, int64_t bw) {
  if (bh <= 0 || bw <= 0)
    throw std::invalid_argument(strf("block_size must hold two positive integers, got [%lld, %lld]",
                                     static_cast<long long>(bh), static_cast<long long>(bw)));
  BlockGeometry g{T, H, W, C, bh, bw, 0, 0, 0, 0};
  g.H_pad = ((H + bh - 1) / bh) * bh;
  g.W_pad = ((W + bw - 1) / bw) * bw;
  g.H_blk = g.H_pad / bh;
  g.W_blk = g.W_pad / bw;
  return g;
}

std::string block_header_line(const BlockGeometry& g) {
  return strf("[block reshape] block=[%lld, %lld]: (%lld, %lld, %lld, %lld) -> (%lld, %lld, %lld, %lld)  "
              "(pad: +%lld rows, +%lld cols)",
              (long long)g.bh, (long long)g.bw, (long long)g.T, (long long)g.H, (long long)g.W,
              (long long)g.C, (long long)g.T, (long long)g.H_blk, (long long)g.W_blk,
              (long long)g.block_values(), (long long)(g.H_pad - g.H), (long long)(g.W_pad - g.W));
}

BlockMemoryPlan plan_block_memory(const BlockGeometry& g, int64_t in_numel, int element_size,
                                  std::optional<double> avail_bytes) {
  constexpr double GiB = 1073741824.0;
  BlockMemoryPlan p{};
  p.out_gb = static_cast<double>(g.T) * g.H_blk * g.W_blk * g.bh * g.bw * g.C * element_size / GiB;
  p.avail_gb = avail_bytes ? *avail_bytes / GiB : 64.0;
  p.in_gb = static_cast<double>(in_numel) * element_size / GiB;
  p.peak_gb = p.in_gb + p.out_gb + 4.0;
  p.memmap = p.peak_gb > p.avail_gb;
  p.need_bytes = static_cast<int64_t>(p.out_gb * GiB * 1.1);
  return p;
}

std::string block_memory_line(const BlockMemoryPlan& p) {
  return strf("[block reshape] input %.1f GB, output %.1f GB, peak %.1f GB vs avail %.1f GB => %s output buffer",
              p.in_gb, p.out_gb, p.peak_gb, p.avail_gb, p.memmap ? "memmap" : "RAM");
}

void block_reshape_values(const torch::Tensor& values, torch::Tensor out, const BlockGeometry& g) {
  TORCH_CHECK(values.dim() == 2 && values.size(0) == g.T * g.H * g.W && values.size(1) == g.C,
              "values of shape ", values.sizes(), " do not hold ", g.T, " frames of ", g.H, " x ", g.W,
              " x ", g.C);
  TORCH_CHECK(out.sizes() == at::IntArrayRef({g.T, g.H_blk * g.W_blk, g.block_values()}),
              "output buffer has the wrong shape");
  auto cube = values.view({g.T, g.H, g.W, g.C});
  torch::Tensor padded;
  if (g.needs_pad()) padded = torch::zeros({g.H_pad, g.W_pad, g.C}, values.options());
  for (int64_t t = 0; t < g.T; ++t) {
    torch::Tensor frame = cube[t];
    if (g.needs_pad()) {
      padded.narrow(0, 0, g.H).narrow(1, 0, g.W).copy_(frame);
      frame = padded;
    }
    out[t].copy_(frame.view({g.H_blk, g.bh, g.W_blk, g.bw, g.C})
                     .permute({0, 2, 1, 3, 4})
                     .reshape({g.H_blk * g.W_blk, g.block_values()}));
  }
}

torch::Tensor block_reshape_mask(const torch::Tensor& mask, const BlockGeometry& g) {
  TORCH_CHECK(mask.numel() == g.T * g.H * g.W, "mask has ", mask.numel(), " entries, expected ",
              g.T * g.H * g.W);
  auto m = mask.reshape({g.T, g.H, g.W});
  if (g.needs_pad()) {
    auto padded = torch::zeros({g.T, g.H_pad, g.W_pad}, mask.options().dtype(at::kBool));
    padded.narrow(1, 0, g.H).narrow(2, 0, g.W).copy_(m);
    m = padded;
  }
  return m.view({g.T, g.H_blk, g.bh, g.W_blk, g.bw})
      .permute({0, 1, 3, 2, 4})
      .reshape({g.T, g.H_blk, g.W_blk, g.bh * g.bw})
      .any(-1)
      .reshape({g.T * g.H_blk * g.W_blk});
}

int64_t count_true(const torch::Tensor& mask, int64_t slice) {
  auto flat = mask.reshape(-1);
  int64_t total = 0;
  for (int64_t i = 0; i < flat.numel(); i += slice)
    total += flat.narrow(0, i, std::min(slice, flat.numel() - i)).sum().item<int64_t>();
  return total;
}

torch::Tensor create_mapped_tensor(const std::string& path, at::IntArrayRef shape, at::ScalarType dtype) {
  int64_t numel = 1;
  for (auto s : shape) numel *= s;
  const size_t bytes = static_cast<size_t>(numel) * c10::elementSize(dtype);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  auto fail = [&](const char* what, int err) {
    ::close(fd);
    ::unlink(path.c_str());
    throw std::runtime_error(std::string(what) + " " + path + ": " + std::strerror(err));
  };
  if (bytes == 0) {
    ::close(fd);
    ::unlink(path.c_str());
    return torch::empty(shape, torch::TensorOptions().dtype(dtype));
  }
  // Reserve the blocks now: writes through a mapping onto a full disk would fault instead of
  // reporting an error.
  if (const int err = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes)); err != 0)
    fail("cannot reserve space for", err);
  void* addr = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (addr == MAP_FAILED) fail("cannot map", errno);
  ::close(fd);
  auto deleter = [path, bytes](void* p) {
    ::munmap(p, bytes);
    ::unlink(path.c_str());
  };
  return torch::from_blob(addr, shape, deleter, torch::TensorOptions().dtype(dtype));
}

std::optional<int64_t> free_disk_bytes(const std::string& dir) {
  struct statvfs st {};
  if (::statvfs(dir.c_str(), &st) != 0) return std::nullopt;
  return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

std::optional<int64_t> available_memory_bytes() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  int64_t kb = 0;
  std::string unit;
  while (in >> key >> kb) {
    std::getline(in, unit);
    if (key == "MemAvailable:") return kb * 1024;
  }
  return std::nullopt;
}

}  // namespace qelm

namespace qelm {
void flush_mapping(const torch::Tensor& t) {
  if (!t.defined() || t.nbytes() == 0) return;
  const long page = ::sysconf(_SC_PAGESIZE);
  auto addr = reinterpret_cast<uintptr_t>(t.storage().data());
  const uintptr_t start = addr - addr % static_cast<uintptr_t>(page);
  ::msync(reinterpret_cast<void*>(start), t.storage().nbytes() + (addr - start), MS_SYNC);
}
}  // namespace qelm
