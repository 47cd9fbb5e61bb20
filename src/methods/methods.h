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
void build_qelm_model(py::object self, py::object xy_hash_size, py::object xy_base_resolution,
                      py::object xy_n_levels, py::object xy_per_level_scale,
                      py::object xy_features_per_level, py::object t_hash_size,
                      py::object t_base_resolution, py::object t_n_levels,
                      py::object t_per_level_scale, py::object t_features_per_level,
                      py::object spatial_scale, py::object decoder_hidden,
                      py::object n_hidden_layers, py::object enable_deformation,
                      py::object ref_t_for_deformation, py::object disable_temporal,
                      py::object block_size, py::object temporal_mode, py::object code_hash_size,
                      py::object code_base_resolution, py::object code_n_levels,
                      py::object code_per_level_scale, py::object code_features_per_level,
                      py::object t1d_hash_size, py::object t1d_base_resolution,
                      py::object t1d_n_levels, py::object t1d_per_level_scale,
                      py::object t1d_features_per_level);
py::list trainable_params(py::object module);
py::tuple split_optimizer_params(py::object self);

// ---- training -------------------------------------------------------------------------------
py::bool_ fit(py::object self, py::object epochs, py::object batch_size, py::object lr,
              py::object lr_hash, py::object loss_type, py::object force_zero_training,
              py::object early_stop, py::object early_stop_patience,
              py::object early_stop_min_delta_rel, py::object early_stop_warmup_epochs,
              py::object early_stop_ema_alpha, py::object importance_sampling,
              py::object imp_warmup_frac, py::object imp_alpha, py::object imp_refresh_epochs);

// ---- residuals and metrics ------------------------------------------------------------------

// ---- artifacts ------------------------------------------------------------------------------

}  // namespace qelm::shell
