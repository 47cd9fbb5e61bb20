// The container format lives in the Python package (pyqelm.format); these are the calls the
// save methods make into it. Modules are imported when a save runs, so a missing format
// library fails only the save.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace qelm::format {

namespace py = pybind11;

py::object band_info(py::object name, double scale_factor, double add_offset, py::object valid_range);
py::object band_info_from_dict(py::handle d);
py::object time_info(py::object values, py::object calendar, py::object global_start, py::object global_end);
py::object meta(py::kwargs kwargs);
py::object coerce_affine(py::handle value);

py::object quantization_info_from_dict(py::handle d);
py::object residual_info_from_dict(py::handle d);
py::object train_time_range(const std::string& start, const std::string& end, int64_t n_frames);
py::object chunk_meta(py::kwargs kwargs);
py::bytes write_chunk_bytes(py::handle chunk_meta, py::handle weights, py::handle mask, py::handle residuals);
std::string encode_chunk_filename();

// A manifest of one chunk covering the whole (T, H, W) grid, stored under `member`.
py::object one_chunk_manifest(int64_t T, int64_t H, int64_t W, const std::string& member, int64_t size_bytes);
void write_container(py::handle path, py::handle meta, py::handle manifest, const std::string& member,
                     py::handle chunk_blob);
// Replace `path` with `data` through a temporary file in the same folder.
void write_bytes_atomic(py::handle path, py::handle data);

}  // namespace qelm::format
