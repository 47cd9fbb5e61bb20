// The method shells of QELMCompressor and the module-level functions, one group per
// subsystem. bindings.cpp attaches them to the class.
#pragma once

#include "methods/shell.h"

namespace qelm::shell {

// ---- configuration --------------------------------------------------------------------------
bool has_tinycudann();
std::string resolve_train_mode(py::object train_mode);
void compressor_init(py::object self, py::object train_dtype, py::object global_start_date,
                     py::object global_end_date, py::object train_mode);
py::object with_reference_backend(py::object cls, py::object device, py::object train_dtype,
                                  py::object global_start_date, py::object global_end_date);

// ---- data sources ---------------------------------------------------------------------------
// Python's tuple unpacking with its messages (a loader result must hold exactly n values).
py::tuple unpack_exact(py::object value, size_t n);
py::tuple load_dataset_folder(py::object self, py::object folder_path, py::object mode,
                              py::object tile_name, py::object expected_bands, py::object scale_factor,
                              py::object valid_range, py::object p99_removal, py::object year_range);
void load_dataset_zarr(py::object self, py::object zarr_path, py::object variable,
                       py::object scale_factor, py::object valid_range);
void load_dataset_zarr_streaming(py::object self, py::object zarr_path, py::object variable,
                                 py::object scale_factor, py::object valid_range);

// ---- preparation ----------------------------------------------------------------------------
void prepare_training_data_optimized(py::object self, py::object use_log, py::object norm_mode,
                                     py::object force_zero_training, py::object block_size);
void apply_block_reshape(py::object self, py::object block_size);
// (xyz_cache, parameter dict) for a grid, as preparation computes them; decoders use it too.
py::tuple coordinate_cache_py(py::object norm_mode, int64_t height, int64_t width, py::object trans_matrix);
py::object available_memory_py();
void remove_file_quietly(const std::string& path);

// ---- model ----------------------------------------------------------------------------------

// ---- training -------------------------------------------------------------------------------

// ---- residuals and metrics ------------------------------------------------------------------

// ---- artifacts ------------------------------------------------------------------------------

}  // namespace qelm::shell
