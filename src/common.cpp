#include "common.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace qelm {

namespace {
class NullProgress : public Progress {
 public:
  void update(int64_t) override {}
  void set_postfix(const std::vector<std::pair<std::string, std::string>>&) override {}
  void set_description(const std::string&) override {}
  void close() override {}
};
}  // namespace

std::unique_ptr<Progress> CaptureReporter::progress(int64_t, const std::string&) {
  return std::make_unique<NullProgress>();
}

std::string strf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, ap2);
  va_end(ap2);
  return out;
}

std::string py_float_repr(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  if (v == 0.0) return std::signbit(v) ? "-0.0" : "0.0";
  // Shortest round-trip digits, found as Python does: the fewest significant digits that
  // read back to the same value.
  char buf[64];
  int prec = 1;
  for (; prec <= 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*e", prec - 1, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  // buf holds d.ddde[+-]XX; split into digits and exponent.
  std::string s(buf);
  const bool neg = s[0] == '-';
  if (neg) s.erase(0, 1);
  const size_t epos = s.find('e');
  const int exp10 = std::atoi(s.c_str() + epos + 1);
  std::string digits;
  for (size_t i = 0; i < epos; ++i)
    if (s[i] != '.') digits.push_back(s[i]);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string out;
  if (exp10 < -4 || exp10 >= 16) {
    out = digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += strf("e%c%02d", exp10 < 0 ? '-' : '+', std::abs(exp10));
  } else if (exp10 < 0) {
    out = "0." + std::string(static_cast<size_t>(-exp10 - 1), '0') + digits;
  } else {
    const size_t int_len = static_cast<size_t>(exp10) + 1;
    if (digits.size() <= int_len) {
      out = digits + std::string(int_len - digits.size(), '0') + ".0";
    } else {
      out = digits.substr(0, int_len) + "." + digits.substr(int_len);
    }
  }
  return neg ? "-" + out : out;
}

std::string py_fmt_e(double v, int precision) { return strf("%.*e", precision, v); }
std::string py_fmt_f(double v, int precision) { return strf("%.*f", precision, v); }
std::string py_fmt_pct(double v, int precision) { return strf("%.*f%%", precision, v * 100.0); }
std::string py_fmt_g(double v, int precision) { return strf("%.*g", precision, v); }

std::string torch_size_repr(at::IntArrayRef sizes) {
  std::ostringstream os;
  os << "torch.Size([";
  for (size_t i = 0; i < sizes.size(); ++i) os << (i ? ", " : "") << sizes[i];
  os << "])";
  return os.str();
}

std::string py_tuple_repr(at::IntArrayRef sizes) {
  std::ostringstream os;
  os << "(";
  for (size_t i = 0; i < sizes.size(); ++i) os << (i ? ", " : "") << sizes[i];
  if (sizes.size() == 1) os << ",";
  os << ")";
  return os.str();
}

}  // namespace qelm
