// Small stand-ins shared by the training tests: a coordinate network written with torch::nn,
// a thread-safe reporter that records lines and progress calls, and a tiny prepared cube.
#pragma once

#include <torch/torch.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "training/driver.h"

namespace qelm::testing {

// The message of the E that action throws, or "" when it throws nothing.
template <typename E, typename F>
std::string thrown(F&& action) {
  try { action(); } catch (const E& e) { return e.what(); }
  return "";
}

inline bool has_entry(const std::vector<std::string>& lines, const std::string& text, bool prefix_only = false) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return prefix_only ? l.rfind(text, 0) == 0 : l == text; });
}

// An MLP from (x, y, t) to C bands.
class TinyNet : public Network {
 public:
  explicit TinyNet(int64_t bands)
      : mlp_(torch::nn::Linear(3, 32), torch::nn::ReLU(), torch::nn::Linear(32, 32), torch::nn::ReLU(),
             torch::nn::Linear(32, bands)) {}
  NetworkOutput forward(const torch::Tensor& coords) override {
    ++calls;
    NetworkOutput out{mlp_->forward(coords), std::nullopt};
    // Frozen: the output stays attached to the parameters but their gradients are zero.
    if (frozen) out.preds = out.preds.detach() + 0.0 * mlp_->parameters()[0].sum();
    if (aux_scale != 0.0) out.aux = out.preds * aux_scale;
    return out;
  }
  std::vector<torch::Tensor> parameters() override { return mlp_->parameters(); }
  void set_training(bool training) override { mlp_->train(training); }
  double ref_t_for_deformation() override { return ref_t; }

  torch::nn::Sequential mlp_;
  double ref_t = -1.0, aux_scale = 0.0;
  bool frozen = false;
  std::atomic<int64_t> calls{0};
};

// Records bar descriptions and, on close, how many steps the bar counted.
class RecordingProgress : public Progress {
 public:
  explicit RecordingProgress(std::vector<std::string>& log) : log_(log) {}
  void update(int64_t n) override { updates_ += n; }
  void set_postfix(const std::vector<std::pair<std::string, std::string>>&) override {}
  void set_description(const std::string& desc) override { log_.push_back("desc: " + desc); }
  void close() override { log_.push_back("close: " + std::to_string(updates_)); }

 private:
  std::vector<std::string>& log_;
  int64_t updates_ = 0;
};

// Lines may come from the producer thread too.
class TestReporter : public Reporter {
 public:
  void line(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines.push_back(text);
  }
  std::unique_ptr<Progress> progress(int64_t, const std::string&) override {
    return std::make_unique<RecordingProgress>(bar_log);
  }
  void check_interrupt() override {
    if (interrupt_after >= 0 && ++interrupt_checks > interrupt_after) throw std::runtime_error("interrupted");
  }
  bool has_line(const std::string& text, bool prefix_only = false) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return has_entry(lines, text, prefix_only);
  }
  bool has_line_starting(const std::string& prefix) const { return has_line(prefix, true); }
  std::vector<std::string> lines, bar_log;
  int64_t interrupt_checks = 0, interrupt_after = -1;

 private:
  mutable std::mutex mutex_;
};

// Threads of this process, to tell that no helper thread outlived its run.
inline int64_t thread_count() {
  int64_t n = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

// The (x, y) of every pixel of an H x W grid, row by row, in [0, 1).
inline torch::Tensor grid_xyz(int64_t H, int64_t W) {
  torch::Tensor ys = torch::arange(H, torch::kFloat).repeat_interleave(W) / static_cast<double>(H);
  torch::Tensor xs = torch::arange(W, torch::kFloat).repeat({H}) / static_cast<double>(W);
  return torch::stack({xs, ys}, 1);
}

// A smooth T x H x W x C cube in [0, 1] with a few invalid points, laid out for training.
inline training::TrainingSet tiny_cube(int64_t T = 3, int64_t H = 6, int64_t W = 5, int64_t C = 2,
                                       double invalid_share = 0.2) {
  training::TrainingSet d;
  d.n_frames = T, d.height = H, d.width = W, d.n_bands = C;
  d.xyz = grid_xyz(H, W);
  d.time_lut = torch::linspace(0, 1, T, torch::kFloat);
  torch::Tensor t = d.time_lut.repeat_interleave(H * W), x = d.xyz.select(1, 0).repeat({T}),
                y = d.xyz.select(1, 1).repeat({T});
  std::vector<torch::Tensor> bands;
  for (int64_t c = 0; c < C; ++c) bands.push_back(0.5 + 0.4 * torch::sin(3.0 * x + 2.0 * y * (c + 1) + t));
  d.values = torch::stack(bands, 1);
  torch::manual_seed(7);
  d.mask = torch::rand({T * H * W}) >= invalid_share;
  d.data_range = torch::tensor({0.0, 1.0}, torch::kFloat64);
  return d;
}

// Numbered super batches; may fail, come up empty or stall on request.
class CountingSampler : public training::SuperBatchSampler {
 public:
  std::optional<training::SuperBatch> next(int64_t size) override {
    const int64_t k = calls++;
    if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    if (fail_at >= 0 && k == fail_at) throw std::runtime_error("disk vanished");
    if (always_empty) return std::nullopt;
    return training::SuperBatch{torch::full({size, 3}, static_cast<float>(k)), torch::zeros({size, 1})};
  }
  std::atomic<int64_t> calls{0};
  int64_t fail_at = -1;
  int delay_ms = 0;
  bool always_empty = false;
};

// One fit on the CPU with a tiny network and cube; tests adjust the members before run().
struct FitRig {
  TestReporter out;
  NoCudaDevice cpu;
  TinyNet net;
  training::TrainingSet data;
  training::FitEnvironment env;
  training::FitOptions opts;
  std::function<std::unique_ptr<training::SuperBatchSampler>(const training::CubeTensors&)> source;
  std::shared_ptr<training::CorrectionSteps> corrections;
  int split_calls = 0;

  explicit FitRig(training::TrainingSet d = tiny_cube(), int64_t bands = 2) : net(bands), data(std::move(d)) {
    torch::manual_seed(11);
    opts.epochs = 2;
    opts.batch_size = 16;
  }
  bool run() {
    training::FitServices s{net, out, cpu, torch::Device(torch::kCPU), "cpu", false, {}, source, corrections};
    s.split_params = [this] {
      ++split_calls;
      auto p = net.parameters();
      return std::make_pair(std::vector<torch::Tensor>(p.begin(), p.begin() + 2),
                            std::vector<torch::Tensor>(p.begin() + 2, p.end()));
    };
    return training::fit(s, data, opts, env);
  }
};

}  // namespace qelm::testing
