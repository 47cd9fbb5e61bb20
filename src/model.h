// Model construction rules shared by the shell that builds the network and by the parts that
// read its recorded configuration.
#pragma once

#include <array>
#include <string>

namespace qelm {

// Number of spatial input coordinates for a coordinate normalisation mode: 2 for the planar
// (2) and pixel (3) modes, 3 for the spherical ones.
int spatial_dims_for_norm_mode(double norm_mode);

// Sub-modules of the network whose trainable tensors form the hash-grid optimizer group, and
// those that form the decoder group, in the order they are collected.
inline constexpr std::array<const char*, 5> kHashSubmodules = {"enc_spatial", "enc_phenology", "enc_code",
                                                               "enc_time", "enc_deform"};
inline constexpr std::array<const char*, 2> kMlpSubmodules = {"decoder", "net_deform"};

// Keys of the recorded model configuration, in order.
inline constexpr std::array<const char*, 20> kConfigKeys = {
    "type",          "train_mode",          "n_bands",          "xy_hash_size",
    "xy_base_resolution", "xy_n_levels",    "xy_per_level_scale", "xy_features_per_level",
    "t_hash_size",   "t_base_resolution",   "t_n_levels",       "t_per_level_scale",
    "t_features_per_level", "spatial_scale", "decoder_hidden",  "n_hidden_layers",
    "spatial_dims",  "disable_temporal",    "block_size",       "temporal_mode"};

// The thirteen required quality arguments of the network, in order.
inline constexpr std::array<const char*, 13> kQualityArgs = {
    "xy_hash_size",  "xy_base_resolution", "xy_n_levels",       "xy_per_level_scale",
    "xy_features_per_level", "t_hash_size", "t_base_resolution", "t_n_levels",
    "t_per_level_scale", "t_features_per_level", "spatial_scale", "decoder_hidden",
    "n_hidden_layers"};

inline constexpr std::array<const char*, 5> kCodeArgs = {"code_hash_size", "code_base_resolution",
                                                         "code_n_levels", "code_per_level_scale",
                                                         "code_features_per_level"};
inline constexpr std::array<const char*, 5> kTime1dArgs = {"t1d_hash_size", "t1d_base_resolution",
                                                           "t1d_n_levels", "t1d_per_level_scale",
                                                           "t1d_features_per_level"};

}  // namespace qelm
