#include "residuals.h"

#include <cfenv>
#include <cmath>
#include <stdexcept>

namespace qelm {

namespace {

const auto kI64 = torch::TensorOptions().dtype(torch::kInt64);

torch::Tensor row_vector(const std::vector<double>& v, torch::Device device) {
  return torch::tensor(v, torch::TensorOptions().dtype(torch::kFloat64))
      .to(torch::kFloat32)
      .view({1, static_cast<int64_t>(v.size())})
      .to(device);
}

void check_inputs(const EvalInputs& in) {
  TORCH_CHECK(in.forward, "no network to evaluate");
  TORCH_CHECK(in.values.dim() == 2 && in.mask.dim() == 1 && in.values.size(0) == in.mask.size(0),
              "values and mask disagree");
  TORCH_CHECK(in.values.size(0) == in.T * in.cells, "values hold ", in.values.size(0), " rows, expected ",
              in.T, " frames of ", in.cells, " cells");
  const int64_t cols = in.values.size(1);
  TORCH_CHECK(static_cast<int64_t>(in.dmin.size()) == cols && static_cast<int64_t>(in.scale.size()) == cols,
              "one range per output column expected");
  TORCH_CHECK(in.n_bands > 0 && cols % in.n_bands == 0, "columns are not a whole number of bands");
}

// Pixel index of every block position of the given rows, -1 for pad pixels. (B, bh*bw) int64.
torch::Tensor block_pixels(const torch::Tensor& rows, int64_t cells, const BlockLayout& b) {
  const int64_t W_blk = (b.W + b.bw - 1) / b.bw;
  auto t = rows.div(cells, "floor");
  auto cell = rows.remainder(cells);
  auto I = cell.div(W_blk, "floor"), J = cell.remainder(W_blk);
  auto pos = torch::arange(b.bh * b.bw, kI64);
  auto y = I.unsqueeze(1) * b.bh + pos.div(b.bw, "floor").unsqueeze(0);
  auto x = J.unsqueeze(1) * b.bw + pos.remainder(b.bw).unsqueeze(0);
  auto inside = (y < b.H) & (x < b.W);
  auto pix = (t.unsqueeze(1) * b.H + y) * b.W + x;
  return torch::where(inside, pix, torch::full_like(pix, -1));
}

struct Chunk {
  torch::Tensor rows;  // host int64
  torch::Tensor diff;  // device float32 (B, columns): truth - reconstruction, NaN where no pixel
  torch::Tensor pixels;  // host int64 (B, bf) in block mode
};

// Evaluate the network on the valid rows among [start, end) and return physical differences.
std::optional<Chunk> evaluate_rows(const EvalInputs& in, const torch::Tensor& time_host, int64_t start, int64_t end,
                                   const torch::Tensor& dmin_t, const torch::Tensor& scale_t) {
  auto rel = in.mask.narrow(0, start, end - start).nonzero().squeeze(1);
  if (rel.numel() == 0) return std::nullopt;
  Chunk ch;
  ch.rows = rel + start;
  auto frame = ch.rows.div(in.cells, "floor");
  auto cell = ch.rows.remainder(in.cells);
  auto coords = torch::cat({in.xyz.index_select(0, cell), time_host.index_select(0, frame).unsqueeze(1)}, 1)
                    .to(in.device, /*non_blocking=*/true);
  auto preds = in.forward(coords).to(torch::kFloat32);
  auto targets = in.values.index_select(0, ch.rows).to(in.device, /*non_blocking=*/true).to(torch::kFloat32);
  TORCH_CHECK(preds.sizes() == targets.sizes(), "network returned ", preds.sizes(), " for targets of ",
              targets.sizes());
  auto preds_phys = preds * scale_t + dmin_t;
  auto targets_phys = targets * scale_t + dmin_t;
  if (in.use_log) {
    preds_phys = torch::expm1(preds_phys);
    targets_phys = torch::expm1(targets_phys);
  }
  ch.diff = targets_phys - preds_phys;
  if (in.blocks) {
    // Pad pixels and no-data pixels inside a valid block are not part of the cube.
    ch.pixels = block_pixels(ch.rows, in.cells, *in.blocks);
    auto ok = ch.pixels >= 0;
    if (in.blocks->pixel_valid.defined())
      ok = ok & in.blocks->pixel_valid.index({ch.pixels.clamp_min(0)});
    ok = ok.repeat_interleave(in.n_bands, 1).to(in.device);
    ch.diff = torch::where(ok, ch.diff, torch::full_like(ch.diff, NAN));
  }
  return ch;
}

void accumulate(MetricSums& s, const torch::Tensor& err, const torch::Tensor& finite, int64_t n_bands) {
  // Each block position of a row counts as one sample of each band.
  auto e = err.reshape({-1, n_bands}).to(torch::kFloat64);
  auto f = finite.reshape({-1, n_bands});
  auto a = e.abs();
  s.sse += (e * e).sum(0);
  s.sae += a.sum(0);
  if (a.size(0) > 0) s.max = torch::maximum(s.max, std::get<0>(a.max(0)));
  s.n += f.sum(0).to(torch::kFloat64);
}

}  // namespace

MetricSums MetricSums::zeros(int64_t n_bands, torch::Device device) {
  auto o = torch::TensorOptions().dtype(torch::kFloat64).device(device);
  return {torch::zeros({n_bands}, o), torch::zeros({n_bands}, o), torch::zeros({n_bands}, o),
          torch::zeros({n_bands}, o)};
}

std::optional<std::vector<BandMetrics>> finalize_metrics(const MetricSums& s) {
  auto n = s.n.to(torch::kCPU).to(torch::kFloat64).contiguous();
  auto sse = s.sse.to(torch::kCPU).contiguous(), sae = s.sae.to(torch::kCPU).contiguous();
  auto mx = s.max.to(torch::kCPU).contiguous();
  const double* pn = n.data_ptr<double>();
  bool any = false;
  for (int64_t b = 0; b < n.numel(); ++b) any = any || pn[b] > 0;
  if (!any) return std::nullopt;
  std::vector<BandMetrics> out;
  for (int64_t b = 0; b < n.numel(); ++b) {
    const double cnt = pn[b];
    out.push_back({cnt > 0 ? std::sqrt(sse.data_ptr<double>()[b] / cnt) : 0.0,
                   cnt > 0 ? sae.data_ptr<double>()[b] / cnt : 0.0, mx.data_ptr<double>()[b],
                   static_cast<int64_t>(cnt)});
  }
  return out;
}

ResidualTrack compute_residual_track(const EvalInputs& in, const std::vector<double>& thresholds, int64_t batch_size,
                                     Reporter& rep) {
  check_inputs(in);
  TORCH_CHECK(batch_size > 0, "batch_size must be positive");
  const int64_t cols = in.values.size(1), nb = in.n_bands;
  TORCH_CHECK(static_cast<int64_t>(thresholds.size()) == cols, "one threshold per output column expected");
  torch::NoGradGuard no_grad;
  const auto dmin_t = row_vector(in.dmin, in.device), scale_t = row_vector(in.scale, in.device);
  const auto thr_t = row_vector(thresholds, in.device);
  const auto time_host = in.time_lut.to(torch::kCPU).to(torch::kFloat32);
  ResidualTrack out;
  out.model = MetricSums::zeros(nb, in.device);
  out.residual = MetricSums::zeros(nb, in.device);
  out.scanned_values = in.blocks ? in.T * in.blocks->H * in.blocks->W * nb : in.T * in.cells * nb;
  std::vector<torch::Tensor> idx_parts, val_parts;
  const int64_t total = in.values.size(0);
  auto bar = rep.progress((total + batch_size - 1) / batch_size, "Residual Stream");
  for (int64_t start = 0; start < total; start += batch_size) {
    rep.check_interrupt();
    auto ch = evaluate_rows(in, time_host, start, std::min(start + batch_size, total), dmin_t, scale_t);
    bar->update(1);
    if (!ch) continue;
    auto diff = ch->diff;
    auto finite = torch::isfinite(diff);
    diff = torch::where(finite, diff, torch::zeros_like(diff));
    accumulate(out.model, diff, finite, nb);
    auto deadzone = diff.abs() < thr_t;
    auto resid_err = torch::where(deadzone, diff, torch::zeros_like(diff));
    accumulate(out.residual, resid_err, finite, nb);
    auto kept = torch::where(deadzone, torch::zeros_like(diff), diff);
    auto pos = (kept != 0).nonzero().to(torch::kCPU);  // (row, column), row-major
    if (pos.size(0) == 0) continue;
    auto r = pos.select(1, 0), col = pos.select(1, 1);
    torch::Tensor idx;
    if (in.blocks) {
      auto pix = ch->pixels.index({r, col.div(nb, "floor")});
      idx = pix * nb + col.remainder(nb);
    } else {
      idx = ch->rows.index_select(0, r) * nb + col;
    }
    idx_parts.push_back(idx);
    val_parts.push_back(kept.index({r.to(in.device), col.to(in.device)}).to(torch::kCPU).to(torch::kFloat32));
  }
  bar->close();
  if (idx_parts.empty()) {
    out.idx = torch::empty({0}, kI64);
    out.val = torch::empty({0}, torch::TensorOptions().dtype(torch::kFloat32));
    return out;
  }
  out.idx = torch::cat(idx_parts);
  out.val = torch::cat(val_parts);
  const double pct = out.scanned_values > 0 ? 100.0 * out.idx.numel() / out.scanned_values : 0.0;
  rep.line(strf(" -> Outlier escape track: %lld values (%.4f%% of pixels)", (long long)out.idx.numel(), pct));
  return out;
}

std::vector<int64_t> sample_frames(int64_t T, int64_t n) {
  const int64_t num = std::min(n, T);
  std::vector<int64_t> frames;
  if (num <= 0) return frames;
  const double stop = static_cast<double>(T - 1);
  const double step = num > 1 ? stop / static_cast<double>(num - 1) : 0.0;
  const int saved = std::fegetround();
  std::fesetround(FE_TONEAREST);  // ties to even, as the array library rounds
  for (int64_t i = 0; i < num; ++i) {
    const double x = (i == num - 1 && num > 1) ? stop : static_cast<double>(i) * step;
    const auto f = static_cast<int64_t>(std::nearbyint(x));
    if (frames.empty() || frames.back() != f) frames.push_back(f);
  }
  std::fesetround(saved);
  return frames;
}

MetricSums sampled_metrics(const EvalInputs& in, const std::vector<int64_t>& frames, int64_t batch_size) {
  check_inputs(in);
  TORCH_CHECK(batch_size > 0, "batch_size must be positive");
  torch::NoGradGuard no_grad;
  const auto dmin_t = row_vector(in.dmin, in.device), scale_t = row_vector(in.scale, in.device);
  const auto time_host = in.time_lut.to(torch::kCPU).to(torch::kFloat32);
  auto sums = MetricSums::zeros(in.n_bands, in.device);
  for (int64_t f : frames) {
    TORCH_CHECK(f >= 0 && f < in.T, "frame ", f, " outside the cube");
    const int64_t end = (f + 1) * in.cells;
    for (int64_t start = f * in.cells; start < end; start += batch_size) {
      auto ch = evaluate_rows(in, time_host, start, std::min(start + batch_size, end), dmin_t, scale_t);
      if (!ch) continue;
      auto finite = torch::isfinite(ch->diff);
      accumulate(sums, torch::where(finite, ch->diff, torch::zeros_like(ch->diff)), finite, in.n_bands);
    }
  }
  return sums;
}

}  // namespace qelm
