// Python side of the residual code codec: NumPy arrays in and out, checked before the core
// sees them, with the GIL released around the byte work.
#pragma once

#include <mutex>

#include "methods/shell.h"
#include "residual_codec.h"

namespace qelm::shell {

// codes: integer array (T, H, W, C) whose values fit int32; valid: None (all valid) or a
// bool/integer array (1 or T, H, W) or (1 or T, H, W, C). layouts: None or the names of the
// coded layouts to try.
py::bytes encode_residual_codes(py::object codes, py::object valid, int64_t key_interval, py::object layouts);
// -> int32 array (t1 - t0, H, W, C), zeros at invalid cells.
py::object decode_residual_codes(py::object blob, py::object valid, py::object shape, int64_t t0, py::object t1,
                                 bool verify, py::object valid_from = py::none());
py::dict describe_residual_codes(py::object blob);

// Frame batches in, one blob out; keeps the previous frame, never the cube.
class ResidualCodeWriter {
 public:
  ResidualCodeWriter(int64_t H, int64_t W, int64_t C, int64_t key_interval, py::object layouts);
  // codes (B, H, W, C); valid as for encode_residual_codes with 1 or B frames.
  void add(py::object codes, py::object valid);
  py::bytes finish() const;
  int64_t frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writer_.frames();
  }
  py::tuple frame_shape() const { return py::make_tuple(H_, W_, C_); }

 private:
  int64_t H_, W_, C_;
  residual_codec::CodeWriter writer_;
  mutable std::mutex mutex_;  // the GIL is released while coding; threads must not share the writer's state
};

}  // namespace qelm::shell
