// Types shared by every subsystem of the core. Nothing here knows about Python: the shell
// (src/methods) supplies Python-backed implementations of these interfaces, the C++ tests
// supply plain ones.
#pragma once

#include <torch/torch.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qelm {

// Raised where the host expects NotImplementedError (unsupported combinations).
class NotImplementedError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Device memory exhausted. The Python network adapter turns torch.cuda.OutOfMemoryError into
// this, so the training driver has one type to fall back on besides c10::OutOfMemoryError.
class DeviceOutOfMemory : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Text output and console progress. All output of the core goes through a Reporter so that
// the host decides where it ends up (Python's sys.stdout and tqdm in the module).
class Progress {
 public:
  virtual ~Progress() = default;
  virtual void update(int64_t n = 1) = 0;
  virtual void set_postfix(const std::vector<std::pair<std::string, std::string>>& fields) = 0;
  virtual void set_description(const std::string& desc) = 0;
  virtual void close() = 0;
};

class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual void line(const std::string& text) = 0;
  virtual std::unique_ptr<Progress> progress(int64_t total, const std::string& desc) = 0;
  // Called between units of long work; the Python reporter raises KeyboardInterrupt here.
  virtual void check_interrupt() {}
};

// A reporter that keeps lines in memory and ignores progress; for tests and quiet callers.
class CaptureReporter : public Reporter {
 public:
  std::vector<std::string> lines;
  void line(const std::string& text) override { lines.push_back(text); }
  std::unique_ptr<Progress> progress(int64_t total, const std::string& desc) override;
};

// The trained network as the core sees it.
struct NetworkOutput {
  torch::Tensor preds;
  std::optional<torch::Tensor> aux;
};

class Network {
 public:
  virtual ~Network() = default;
  virtual NetworkOutput forward(const torch::Tensor& coords) = 0;
  virtual std::vector<torch::Tensor> parameters() = 0;
  virtual void set_training(bool training) = 0;
  // Negative means no deformation reference frame.
  virtual double ref_t_for_deformation() = 0;
};

// CUDA queries. The module answers them through torch.cuda so a CPU build never links CUDA.
class DeviceInfo {
 public:
  virtual ~DeviceInfo() = default;
  virtual bool cuda_available() = 0;
  // (free, total) bytes of the current CUDA device.
  virtual std::pair<int64_t, int64_t> mem_get_info() = 0;
  virtual void empty_cache() = 0;
};

class NoCudaDevice : public DeviceInfo {
 public:
  bool cuda_available() override { return false; }
  std::pair<int64_t, int64_t> mem_get_info() override { return {0, 0}; }
  void empty_cache() override {}
};

// ---- Formatting with the host language's conventions -------------------------------------

// printf-style formatting into a std::string.
std::string strf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The shortest text that reads back as the same double, laid out as Python's repr(float).
std::string py_float_repr(double v);
inline const char* py_bool(bool b) { return b ? "True" : "False"; }
// Python's "{:.Ne}" / "{:.Nf}" / "{:.N%}" / "{:.Ng}" for a double.
std::string py_fmt_e(double v, int precision);
std::string py_fmt_f(double v, int precision);
std::string py_fmt_pct(double v, int precision);
std::string py_fmt_g(double v, int precision);
// torch.Size([a, b]) and (a, b) / (a,) as Python prints them.
std::string torch_size_repr(at::IntArrayRef sizes);
std::string py_tuple_repr(at::IntArrayRef sizes);

}  // namespace qelm
