#include "training/routing.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace qelm::training {

namespace {

// repr() of an ASCII text, as the conversion error quotes it.
std::string py_str_repr(const std::string& s) {
  const bool has_single = s.find('\'') != std::string::npos;
  const bool has_double = s.find('"') != std::string::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  std::string out(1, quote);
  for (unsigned char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == static_cast<unsigned char>(quote)) out += std::string("\\") + static_cast<char>(c);
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c < 0x20 || c == 0x7f) out += strf("\\x%02x", c);
    else out += static_cast<char>(c);
  }
  return out + quote;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits with single underscores between them; returns the digits without underscores, or
// nothing when the text does not have that form.
bool digit_part(const std::string& s, size_t& i, std::string& out) {
  const size_t start = i;
  while (i < s.size()) {
    if (is_digit(s[i])) {
      out += s[i++];
    } else if (s[i] == '_' && i > start && is_digit(s[i - 1]) && i + 1 < s.size() && is_digit(s[i + 1])) {
      ++i;
    } else {
      break;
    }
  }
  return i > start;
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

double parse_py_float(const std::string& text) {
  const auto fail = [&]() -> double {
    throw std::invalid_argument("could not convert string to float: " + py_str_repr(text));
  };
  size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  const std::string s = text.substr(b, e - b);
  if (s.empty()) return fail();
  size_t i = 0;
  std::string clean;
  if (s[i] == '+' || s[i] == '-') clean += s[i++];
  const std::string rest = lower(s.substr(i));
  if (rest == "inf" || rest == "infinity") return clean == "-" ? -INFINITY : INFINITY;
  if (rest == "nan") return clean == "-" ? -NAN : NAN;
  std::string digits;
  const bool int_digits = digit_part(s, i, digits);
  clean += digits;
  bool frac_digits = false;
  if (i < s.size() && s[i] == '.') {
    clean += s[i++];
    std::string frac;
    frac_digits = digit_part(s, i, frac);
    clean += frac;
  }
  if (!int_digits && !frac_digits) return fail();
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    clean += s[i++];
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) clean += s[i++];
    std::string exp;
    if (!digit_part(s, i, exp)) return fail();
    clean += exp;
  }
  if (i != s.size()) return fail();
  return std::strtod(clean.c_str(), nullptr);
}

int64_t training_data_bytes(int64_t values_numel, int64_t values_element_size, bool have_values,
                            int64_t total_pixels, int64_t n_bands, int64_t bytes_per_pixel) {
  if (have_values) return values_numel * values_element_size;
  return total_pixels * n_bands * bytes_per_pixel;
}

double stream_cutoff_gb(const std::optional<std::string>& threshold_env, DeviceInfo& device) {
  if (threshold_env) return parse_py_float(*threshold_env);
  if (device.cuda_available()) {
    const double total_gb = static_cast<double>(device.mem_get_info().second) / kGiB;
    return std::max(0.5 * total_gb, 2.0);
  }
  return 6.0;
}

bool route_training(const RoutingInputs& in, DeviceInfo& device, Reporter& out) {
  const double cutoff_gb = stream_cutoff_gb(in.threshold_env, device);
  bool use_streaming = static_cast<double>(in.data_size_bytes) > cutoff_gb * kGiB;
  out.line("  [router] in-memory cutoff " + py_fmt_f(cutoff_gb, 1) + " GB  (this chunk " +
           py_fmt_f(static_cast<double>(in.data_size_bytes) / kGiB, 2) + " GB)");
  if (in.loss_type == "S2_SR") {
    use_streaming = true;
    out.line("Force Streaming Mode for S2_SR to ensure structured batch sampling.");
  }
  if (in.has_streaming_source) {
    use_streaming = true;
    out.line("Force Streaming Mode: zarr_streaming source detected.");
  }
  if (in.importance_sampling && !use_streaming && device.cuda_available()) {
    const double est_peak = static_cast<double>(in.data_size_bytes) + static_cast<double>(in.total_pixels) +
                            16.0 * static_cast<double>(in.num_valid_pixels) + kGiB;
    const double free_b = static_cast<double>(device.mem_get_info().first);
    if (est_peak > 0.9 * free_b) {
      out.line("  [importance] Full-GPU footprint ~" + py_fmt_f(est_peak / kGiB, 1) + " GB > " +
               py_fmt_f(0.9 * free_b / kGiB, 1) +
               " GB free -> routing to streaming (per-pool importance, works at any size)");
      use_streaming = true;
    }
  }
  return use_streaming;
}

}  // namespace qelm::training
