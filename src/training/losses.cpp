#include "training/losses.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace qelm::training {

torch::Tensor criterion_mse(const torch::Tensor& preds, const torch::Tensor& targets) {
  const torch::Tensor finite = torch::isfinite(targets);
  // Masking before squaring keeps NaN targets out of the gradient as well as the value.
  const torch::Tensor diff = torch::where(finite, preds - targets, torch::zeros_like(targets));
  const torch::Tensor channel_weight =
      finite.sum(-1, /*keepdim=*/true).clamp_min(1e-8).to(preds.scalar_type());
  const torch::Tensor per_query = diff.pow(2).sum(-1, /*keepdim=*/true) / channel_weight;
  return per_query.mean();
}

torch::Tensor sam_loss(const torch::Tensor& pred, const torch::Tensor& target) {
  const torch::Tensor dot = (pred * target).sum(-1);
  const torch::Tensor norm_pred = pred.norm(2, -1);
  const torch::Tensor norm_target = target.norm(2, -1);
  torch::Tensor cos_sim = dot / (norm_pred * norm_target + 1e-8);
  cos_sim = cos_sim.clamp(-0.9999999, 0.9999999);
  return torch::acos(cos_sim).mean();
}

torch::Tensor relative_mse(const torch::Tensor& preds, const torch::Tensor& targets, double floor) {
  const torch::Tensor scale = targets.abs().clamp_min(floor);
  return ((preds - targets) / scale).pow(2).mean();
}

torch::Tensor relative_mse_b3(const torch::Tensor& preds, const torch::Tensor& targets) {
  torch::Tensor floors = torch::full({targets.size(1)}, 0.05, targets.options());
  if (targets.size(1) > 2) floors[2] = 0.03;
  const torch::Tensor scale = torch::maximum(targets.abs(), floors);
  return ((preds - targets) / scale).pow(2).mean();
}

torch::Tensor band_weighted_mse(const torch::Tensor& preds, const torch::Tensor& targets,
                                const torch::Tensor& weights) {
  return ((preds - targets).pow(2) * weights).mean();
}

torch::Tensor l1_loss(const torch::Tensor& preds, const torch::Tensor& targets) {
  return torch::l1_loss(preds, targets);
}

torch::Tensor bound_loss(const torch::Tensor& preds, const torch::Tensor& targets, const torch::Tensor& bound,
                         double knee, double width) {
  const torch::Tensor finite = torch::isfinite(targets);
  // Masked before the absolute value, so a NaN target reaches neither the value nor the gradient.
  const torch::Tensor diff = torch::where(finite, preds - targets, torch::zeros_like(targets));
  const torch::Tensor r = diff.abs() / bound.to(preds.scalar_type());
  torch::Tensor penalty = torch::log1p(width * torch::softplus((r - knee) / width));
  penalty = torch::where(finite, penalty, torch::zeros_like(penalty));
  const torch::Tensor channel_weight =
      finite.sum(-1, /*keepdim=*/true).clamp_min(1e-8).to(preds.scalar_type());
  return (penalty.sum(-1, /*keepdim=*/true) / channel_weight).mean();
}

torch::Tensor mse_sam_loss(const torch::Tensor& preds, const torch::Tensor& targets) {
  return criterion_mse(preds, targets) + 0.01 * sam_loss(preds, targets);
}

torch::Tensor mse_lai_fpar_loss(const torch::Tensor& preds, const torch::Tensor& targets) {
  const torch::Tensor lai = criterion_mse(preds.slice(1, 0, 1), targets.slice(1, 0, 1));
  const torch::Tensor fpar = criterion_mse(preds.slice(1, 1, 2), targets.slice(1, 1, 2));
  return lai + 5 * fpar;
}

RrmseWeights rrmse_band_weights(const torch::Tensor& values, const torch::Tensor& mask,
                                const torch::Tensor& data_range, bool use_log,
                                bool force_zero_training, const torch::Device& device,
                                Reporter& out) {
  if (!values.defined())
    throw std::invalid_argument("TCNN MSE_RRMSE requires materialized CPU training values");
  if (use_log) throw std::invalid_argument("MSE_RRMSE is not supported together with use_log");
  const int64_t output_dim = values.size(1);
  torch::Tensor ranges = data_range.to(torch::kFloat64).cpu();
  if (ranges.dim() != 2 || ranges.size(1) != 2) {
    const torch::Tensor flat = ranges.reshape({-1});
    ranges = torch::stack({flat[0], flat[1]}).reshape({1, 2});
  }
  const int64_t rows = ranges.size(0);
  if (rows == 0 || output_dim % rows != 0)
    throw std::invalid_argument("MSE_RRMSE output dimension does not match band data ranges");
  const int64_t repeats = output_dim / rows;
  const torch::Tensor output_min = ranges.select(1, 0).repeat({repeats});
  const torch::Tensor output_scale = (ranges.select(1, 1) - ranges.select(1, 0)).repeat({repeats});

  torch::Tensor power_sum = torch::zeros({output_dim}, torch::kFloat64);
  int64_t power_count = 0;
  constexpr int64_t kChunk = 1000000;
  const int64_t n_rows = values.size(0);
  for (int64_t start = 0; start < n_rows; start += kChunk) {
    const int64_t stop = std::min(start + kChunk, n_rows);
    torch::Tensor normalized = values.slice(0, start, stop).to(torch::kFloat64);
    if (!force_zero_training) normalized = normalized.index({mask.slice(0, start, stop).to(torch::kBool)});
    if (normalized.size(0) == 0) continue;
    const torch::Tensor physical = normalized * output_scale + output_min;
    power_sum += physical.pow(2).sum(0);
    power_count += normalized.size(0);
  }
  RrmseWeights w;
  w.band_power = (power_sum / static_cast<double>(std::max<int64_t>(power_count, 1))).clamp_min(1e-4);
  torch::Tensor weights = output_scale.pow(2) / w.band_power;
  w.scale = weights.mean().item<double>();
  w.weights_cpu = weights / w.scale;
  w.weights = w.weights_cpu.to(device, torch::kFloat32);

  auto as_vector = [](const torch::Tensor& t) {
    const torch::Tensor c = t.contiguous();
    return std::vector<double>(c.data_ptr<double>(), c.data_ptr<double>() + c.numel());
  };
  out.line("TCNN loss: global band-wise relative MSE (power=" +
           numpy_array_str(as_vector(w.band_power), 4) +
           ", weights=" + numpy_array_str(as_vector(w.weights_cpu), 3) + ")");
  return w;
}

const std::vector<std::string>& accepted_loss_types() {
  static const std::vector<std::string> types = {"MSE",        "MSE_REL", "MSE_REL03",
                                                 "MSE_REL_B3_03", "MSE_RRMSE", "L1",
                                                 "MSE_SAM",    "MSE_LAI_FPAR", "BOUND"};
  return types;
}

BoundLoss bind_loss(const std::string& loss_type, const std::optional<RrmseWeights>& rrmse_weights,
                    Reporter& out, const torch::Tensor& error_bound) {
  using torch::Tensor;
  BoundLoss b;
  b.type = loss_type;
  std::string message;
  if (loss_type == "MSE") {
    message = "Using MSE Loss.";
    b.fn = [](const Tensor& p, const Tensor& t, int64_t, const Tensor&) { return criterion_mse(p, t); };
  } else if (loss_type == "MSE_REL") {
    message = "Using relative MSE Loss.";
    b.fn = [](const Tensor& p, const Tensor& t, int64_t, const Tensor&) { return relative_mse(p, t, 0.05); };
  } else if (loss_type == "MSE_REL03") {
    message = "Using relative MSE Loss (min scale 0.03).";
    b.fn = [](const Tensor& p, const Tensor& t, int64_t, const Tensor&) { return relative_mse(p, t, 0.03); };
  } else if (loss_type == "MSE_REL_B3_03") {
    message = "Using relative MSE Loss (B3 min scale 0.03, others 0.05).";
    b.fn = [](const Tensor& p, const Tensor& t, int64_t, const Tensor&) { return relative_mse_b3(p, t); };
  } else if (loss_type == "MSE_RRMSE") {
    if (!rrmse_weights) throw std::logic_error("MSE_RRMSE needs its band weights computed first");
    message = "Using global band-wise RRMSE Loss.";
    const Tensor weights = rrmse_weights->weights;
    b.fn = [weights](const Tensor& p, const Tensor& t, int64_t, const Tensor&) {
      return band_weighted_mse(p, t, weights);
    };
    b.rrmse_scale = rrmse_weights->scale;
  } else if (loss_type == "L1") {
    message = "Using L1 Loss.";
    b.fn = [](const Tensor& p, const Tensor& t, int64_t, const Tensor&) { return training::l1_loss(p, t); };
  } else if (loss_type == "MSE_SAM") {
    message = "Using MSE_SAM Loss.";
    b.fn = [](const Tensor& p, const Tensor& t, int64_t, const Tensor&) { return mse_sam_loss(p, t); };
  } else if (loss_type == "MSE_LAI_FPAR") {
    message = "Using MSE_LAI_FPAR Loss.";
    b.fn = [](const Tensor& p, const Tensor& t, int64_t, const Tensor&) { return mse_lai_fpar_loss(p, t); };
  } else if (loss_type == "BOUND") {
    if (!error_bound.defined() || error_bound.numel() == 0)
      throw std::invalid_argument("loss_type 'BOUND' trains for an error bound: give error_bound");
    const Tensor bound = error_bound.to(torch::kCPU, torch::kFloat64).contiguous().reshape({-1});
    if (!torch::isfinite(bound).all().item<bool>() || !(bound > 0).all().item<bool>())
      throw std::invalid_argument("error_bound must be positive and finite in every band");
    std::vector<double> shown(bound.data_ptr<double>(), bound.data_ptr<double>() + bound.numel());
    message = "Using bound Loss (errors near and above E = " + numpy_array_str(shown, 4) +
              " of the normalised range).";
    const Tensor e = error_bound.reshape({-1}).to(torch::kFloat32);
    b.fn = [e](const Tensor& p, const Tensor& t, int64_t, const Tensor&) {
      return bound_loss(p, t, e.device() == p.device() ? e : e.to(p.device()));
    };
  } else {
    std::string list;
    for (const auto& t : accepted_loss_types()) list += (list.empty() ? "" : ", ") + t;
    throw std::invalid_argument("Unknown loss_type '" + loss_type + "'. Accepted loss types: " + list +
                                ".");
  }
  out.line(message);
  return b;
}

// ---- NumPy's array printing -------------------------------------------------------------------

namespace {

// Shortest round-trip decimal digits of |v| (no trailing zeros) and the decimal exponent of
// the first digit.
void shortest_digits(double v, std::string& digits, int& exp10) {
  char buf[64];
  int prec = 1;
  for (; prec <= 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*e", prec - 1, std::fabs(v));
    if (std::strtod(buf, nullptr) == std::fabs(v)) break;
  }
  const std::string s(buf);
  const size_t epos = s.find('e');
  exp10 = std::atoi(s.c_str() + epos + 1);
  digits.clear();
  for (size_t i = 0; i < epos; ++i)
    if (s[i] != '.') digits.push_back(s[i]);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
}

struct Parts {
  std::string sign, int_part, frac_part, exp_part;  // exp_part: sign and digits, e.g. "+07"
};

void trim_zeros(std::string& frac) {
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
}

// Fixed notation with at most `precision` fractional digits, fewer when fewer identify the
// value; trailing zeros dropped (the decimal point stays).
Parts positional(double v, int precision) {
  Parts p;
  if (std::signbit(v)) p.sign = "-";
  std::string digits;
  int e = 0;
  shortest_digits(v, digits, e);
  if (v == 0.0) {
    p.int_part = "0";
    return p;
  }
  std::string ip, fp;
  if (e >= 0) {
    const size_t n_int = static_cast<size_t>(e) + 1;
    if (digits.size() <= n_int) {
      ip = digits + std::string(n_int - digits.size(), '0');
    } else {
      ip = digits.substr(0, n_int);
      fp = digits.substr(n_int);
    }
  } else {
    ip = "0";
    fp = std::string(static_cast<size_t>(-e - 1), '0') + digits;
  }
  if (static_cast<int>(fp.size()) > precision) {
    const std::string s = strf("%.*f", precision, std::fabs(v));
    const size_t dot = s.find('.');
    ip = dot == std::string::npos ? s : s.substr(0, dot);
    fp = dot == std::string::npos ? "" : s.substr(dot + 1);
    trim_zeros(fp);
  }
  p.int_part = ip;
  p.frac_part = fp;
  return p;
}

Parts scientific(double v, int precision) {
  Parts p;
  if (std::signbit(v)) p.sign = "-";
  std::string digits;
  int e = 0;
  if (v == 0.0) {
    digits = "0";
  } else {
    shortest_digits(v, digits, e);
  }
  if (static_cast<int>(digits.size()) - 1 > precision) {
    const std::string s = strf("%.*e", precision, std::fabs(v));
    const size_t epos = s.find('e');
    e = std::atoi(s.c_str() + epos + 1);
    digits.clear();
    for (size_t i = 0; i < epos; ++i)
      if (s[i] != '.') digits.push_back(s[i]);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  }
  p.int_part = digits.substr(0, 1);
  p.frac_part = digits.substr(1);
  p.exp_part = strf("%c%02d", e < 0 ? '-' : '+', std::abs(e));
  return p;
}

}  // namespace

std::string numpy_array_str(const std::vector<double>& v, int precision) {
  std::vector<double> finite;
  for (double x : v)
    if (std::isfinite(x)) finite.push_back(x);
  bool exp_format = false;
  {
    double max_val = 0.0, min_val = INFINITY;
    bool any = false;
    for (double x : finite) {
      if (x == 0.0) continue;
      any = true;
      max_val = std::max(max_val, std::fabs(x));
      min_val = std::min(min_val, std::fabs(x));
    }
    if (any && (max_val >= 1e8 || min_val < 0.0001 || max_val / min_val > 1000.0)) exp_format = true;
  }
  size_t pad_left = 0, pad_right = 0;
  size_t exp_size = 0;
  std::vector<Parts> parts(v.size());
  for (size_t i = 0; i < v.size(); ++i)
    if (std::isfinite(v[i])) parts[i] = exp_format ? scientific(v[i], precision) : positional(v[i], precision);
  for (size_t i = 0; i < v.size(); ++i) {
    if (!std::isfinite(v[i])) continue;
    pad_left = std::max(pad_left, parts[i].sign.size() + parts[i].int_part.size());
    pad_right = std::max(pad_right, parts[i].frac_part.size());
    exp_size = std::max(exp_size, parts[i].exp_part.size() - (exp_format ? 1 : 0));
  }
  if (exp_format) pad_right = exp_size + 2 + pad_right;  // only used to size nan/inf
  bool any_nonfinite = finite.size() != v.size();
  if (any_nonfinite) {
    bool neginf = false;
    for (double x : v)
      if (std::isinf(x) && x < 0) neginf = true;
    const size_t offset = pad_right + 1;
    const size_t nanlen = 3, inflen = 3 + (neginf ? 1 : 0);
    if (nanlen > offset) pad_left = std::max(pad_left, nanlen - offset);
    if (inflen > offset) pad_left = std::max(pad_left, inflen - offset);
  }
  const size_t frac_digits = exp_format ? pad_right - exp_size - 2 : 0;

  auto format = [&](size_t i) {
    const double x = v[i];
    if (!std::isfinite(x)) {
      const std::string ret = std::isnan(x) ? "nan" : (x < 0 ? "-inf" : "inf");
      const size_t width = pad_left + pad_right + 1;
      return std::string(width > ret.size() ? width - ret.size() : 0, ' ') + ret;
    }
    const Parts& p = parts[i];
    std::string head = p.sign + p.int_part;
    head = std::string(pad_left > head.size() ? pad_left - head.size() : 0, ' ') + head;
    if (exp_format) {
      std::string frac = p.frac_part + std::string(frac_digits - p.frac_part.size(), '0');
      std::string exp_digits = p.exp_part.substr(1);
      if (exp_digits.size() < exp_size) exp_digits = std::string(exp_size - exp_digits.size(), '0') + exp_digits;
      return head + "." + frac + "e" + p.exp_part.substr(0, 1) + exp_digits;
    }
    return head + "." + p.frac_part + std::string(pad_right - p.frac_part.size(), ' ');
  };

  if (v.empty()) return "[]";
  constexpr size_t kElemWidth = 75 - 1;
  std::string s, line = " ";
  for (size_t i = 0; i < v.size(); ++i) {
    const std::string word = format(i);
    if (line.size() + word.size() > kElemWidth && line.size() > 1) {
      size_t end = line.find_last_not_of(' ');
      s += line.substr(0, end == std::string::npos ? 0 : end + 1) + "\n";
      line = " ";
    }
    line += word;
    if (i + 1 < v.size()) line += " ";
  }
  s += line;
  return "[" + s.substr(1) + "]";
}

}  // namespace qelm::training
