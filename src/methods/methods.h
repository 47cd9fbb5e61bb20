// The method shells of QELMCompressor and the module-level functions, one group per
// subsystem. bindings.cpp attaches them to the class.
#pragma once

#include "blobs.h"
#include "methods/shell.h"
#include "residuals.h"
#include "training/sampling.h"

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
                       py::object scale_factor, py::object valid_range, py::object source_options);
void load_dataset_zarr_streaming(py::object self, py::object zarr_path, py::object variable,
                                 py::object scale_factor, py::object valid_range, py::object source_options);
// The two Zarr loads over a source object the caller built (a window of a store, say).
void load_dataset_source(py::object self, py::object source, py::object valid_range, bool streaming);

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
              py::object imp_warmup_frac, py::object imp_alpha, py::object imp_refresh_epochs,
              py::object steps = py::none(), py::object error_bound = py::none(), py::object seed = py::none());
// The error bound (physical units; one number, or one per band) per output column of the
// training data in normalised units: E / (max - min) of the column's band, tiled over the block
// positions; with a log transform, the log-space error that keeps E at the band's largest value.
torch::Tensor normalised_error_bound(py::object self, py::object error_bound, int64_t columns);
// The streaming pool: reload, one super batch, and the producer's sampler over them.
void refresh_streaming_pool(py::object self);
py::tuple prepare_super_batch_streaming(py::object self, int64_t size);
std::unique_ptr<training::SuperBatchSampler> streaming_pool_sampler(py::object self,
                                                                     const training::CubeTensors& host_cube);
// Per-point importance weights of the model at flat positions of a cube.
torch::Tensor importance_weights_py(py::object self, torch::Tensor valid_pos, torch::Tensor values,
                                    torch::Tensor xyz, torch::Tensor time_lut, int64_t spatial_size,
                                    int64_t batch, double alpha);

// ---- residuals and metrics ------------------------------------------------------------------
class PyNetwork;
// What the residual and metric passes need from the compressor: the cube, coordinates, band
// ranges tiled over block positions, and the network wrapped for evaluation.
struct EvalSetup {
  EvalInputs in;
  std::shared_ptr<PyNetwork> net;
  int64_t n_bands = 1;
  int64_t block_factor = 1;
};
EvalSetup eval_setup(py::object self);
py::tuple compute_residuals(py::object self, py::object threshold, int64_t batch_size, py::object quantize);
py::object compute_quality_metrics(py::object self, int64_t n_frames, int64_t batch_size);
py::object finalize_metrics_py(py::object self, py::object m_sse, py::object m_sae, py::object m_max,
                               py::object m_n, int64_t n_bands, py::object source);

// ---- artifacts ------------------------------------------------------------------------------
// The network's weight components (tensors, names), decoder last, as the weight blob stores them.
std::pair<std::vector<torch::Tensor>, std::vector<std::string>> weight_components(py::object self);
py::tuple build_weights_bytes(py::object self, py::object quantization_bit);
py::bytes build_mask_bytes(py::object self, py::object mask_mode, int64_t N, int64_t H, int64_t W);
py::tuple build_residual_bytes(py::object self, int64_t T, int64_t H, int64_t W, int64_t C,
                               py::object residual_threshold, py::object residual_dtype);
std::string isoize_py(py::object value);
py::object build_outer_meta(py::object self, py::object pixel_shape);
py::object build_chunk_meta(py::object self, py::object quant_info_dict, py::object has_residuals,
                            py::object residual_info_dict);
py::dict build_v09_artifacts(py::object self, py::object quantization_bit, py::object mask_mode,
                             py::object save_residuals, py::object residual_threshold, py::object residual_dtype,
                             bool quality_metrics = true);
void write_v09_container(py::object self, py::object filename, py::object meta, py::object chunk_blob);
void save_qelm(py::object self, py::object filename, py::object quantization_bit, py::object mask_mode,
               py::object save_residuals, py::object residual_threshold, py::object residual_dtype);
py::tuple save_chunk_blob(py::object self, py::object filename, py::object quantization_bit, py::object mask_mode,
                          py::object save_residuals, py::object residual_threshold, py::object residual_dtype);

// ---- codecs and readers ---------------------------------------------------------------------
// Module-level decoders and encoders of the weight, mask and residual blobs (src/blobs.h).
py::object decode_mask_blob(py::object blob, py::object shape, py::object max_cells);
py::tuple decode_residual_blob(py::object blob, py::object band_scales, py::object dtype, py::object shape,
                               py::object count, py::object max_outliers);
py::list restore_weight_components(py::object raw, py::object recipe, py::object sizes);
py::tuple quantize_weight_components(py::object tensors, py::object names, int64_t bits);
py::bytes encode_mask_blob(py::object nodata, bool static_mode);
py::object expand_block_mask(py::object block_mask, int64_t N, int64_t H, int64_t W, int64_t bh, int64_t bw);
py::tuple residual_value_mode(py::object band_scales, py::object src_dtype, int64_t block_factor, int64_t C);
py::tuple encode_residual_blob(py::object indices, py::object values, int64_t T, int64_t H, int64_t W, int64_t C,
                               py::object band_scales, py::object threshold, double scale);
// Conversions for the save methods: the recipe dictionary (keys in stored order) and back; the
// residual info dictionary (keys in stored order) from an encoded blob; "band_scales" and
// "src_dtype" metadata values as the value-mode decision takes them (None -> nullopt; a number
// -> one scale; a dtype object -> its NumPy code, an unusable one -> "").
py::dict weight_recipe_to_dict(const blobs::WeightRecipe& r);
blobs::WeightRecipe weight_recipe_from_dict(py::handle obj);
py::dict residual_info_dict(const blobs::ResidualBlob& b, py::handle threshold, double scale);
std::optional<std::vector<double>> band_scales_from_py(py::handle obj);
std::optional<std::string> dtype_name_from_py(py::handle obj);

// ---- hash-grid encoding ---------------------------------------------------------------------
torch::Tensor hashgrid_encode(const torch::Tensor& positions, const torch::Tensor& params, int n_levels,
                              int n_features, int log2_hashmap_size, int base_resolution, double per_level_scale);
py::tuple hashgrid_layout(int n_dims, int n_levels, int n_features, int log2_hashmap_size, int base_resolution,
                          double per_level_scale);

}  // namespace qelm::shell
