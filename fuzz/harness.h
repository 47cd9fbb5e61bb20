// Shared pieces of the libFuzzer targets of the blob decoders.
//
// A decoder may refuse its input only with std::invalid_argument. Any other exception, a
// sanitizer report, or a decoded result that breaks the invariants its caller relies on is a
// finding: the target aborts and libFuzzer keeps the input.
//
// Conventions of every target:
// * An input starts with fixed-size fields read with `Fields` (missing bytes read as zeros):
//   first the limits a caller would pass (an expected shape or count, each used when a flag bit
//   is set), then the target's own settings, then the blob.
// * The decoder always gets a budget (kMaxCells, kMaxOutliers) on top of those limits, as the
//   decoder of a container does, and the result must respect both.
// * Runs are limited in memory (fuzz/run.sh: -rss_limit_mb, and -malloc_limit_mb below any
//   budget's allocations but far below what a blob of -max_len bytes may claim), so a decoder
//   that sizes an allocation from a claim it has not checked is a finding, not a slow run.
// * Seeds (fuzz/make_seeds.py) include small blobs that claim large sizes.
#pragma once

#include <ATen/Parallel.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string_view>

#define FUZZ_CHECK(cond)                                                                         \
  do {                                                                                           \
    if (!(cond)) {                                                                               \
      std::fprintf(stderr, "fuzz invariant violated: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                              \
    }                                                                                            \
  } while (0)

namespace qelm::fuzz {

// Budgets of every run: a mask of 16 M entries (16 MB as bools), 4 M outliers (48 MB decoded).
constexpr uint64_t kMaxCells = 1ull << 24;
constexpr uint64_t kMaxOutliers = 1ull << 22;

// Reads the fixed-size fields that prefix some inputs (a recipe, band scales); missing bytes
// read as zeros so that every input is usable.
class Fields {
 public:
  Fields(const uint8_t* data, size_t size) : p_(data), n_(size) {}
  template <typename T>
  T take() {
    T v{};
    const size_t k = std::min(sizeof(T), n_);
    std::memcpy(&v, p_, k);
    p_ += k;
    n_ -= k;
    return v;
  }
  std::string_view rest() const { return {reinterpret_cast<const char*>(p_), n_}; }

 private:
  const uint8_t* p_;
  size_t n_;
};

// Runs one decode; refusals are fine, anything else escaping is reported and aborts.
template <typename F>
void decode_or_refuse(F&& f) {
  try {
    f();
  } catch (const std::invalid_argument&) {
  } catch (const std::exception& e) {
    std::fprintf(stderr, "decoder threw something other than std::invalid_argument: %s\n", e.what());
    std::abort();
  }
}

// One intra-op thread: runs are then deterministic and the process stays lean.
inline void init_torch() { at::set_num_threads(1); }

}  // namespace qelm::fuzz
