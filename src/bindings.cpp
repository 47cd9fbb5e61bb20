// The extension module pyqelm.encoder.tcnn_compressor: import-time environment, the imports
// of the sibling modules, and every Python-visible name of the module.
//
// QELMCompressor is a plain Python class whose methods are C++ functions: instances keep their
// state in an ordinary __dict__, so callers may add attributes and hasattr tells what a stage
// has set.
#include <cstdlib>

#include "methods/methods.h"

namespace py = pybind11;
using namespace qelm::shell;

PYBIND11_MODULE(tcnn_compressor, m) {
  // The package sets this before the shared object loads; repeat it for direct loads.
  setenv("KMP_DUPLICATE_LIB_OK", "TRUE", 1);
  py::module_::import("os").attr("environ")["KMP_DUPLICATE_LIB_OK"] = "TRUE";

  m.doc() = "Encoder engine: fits a hash-grid coordinate network to a raster time series and "
            "writes it as a compact container.";

  // Dependencies, in order; a failure propagates and the module does not load.
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("np") = py::module_::import("numpy");
  m.attr("tqdm") = py::module_::import("tqdm").attr("tqdm");
  m.attr("QELMNetwork") = py::module_::import("pyqelm.models.QELMNetwork").attr("QELMNetwork");
  m.attr("QELMNetworkTorch") =
      py::module_::import("pyqelm.models.QELMNetworkTorch").attr("QELMNetworkTorch");
  m.attr("QELMDatasetLoader") =
      py::module_::import("pyqelm.encoder.loaders").attr("QELMDatasetLoader");
  m.attr("fast_compress") = py::module_::import("pyqelm.encoder.compression").attr("fast_compress");
  m.attr("fast_decompress") =
      py::module_::import("pyqelm.utils.compression").attr("fast_decompress");
  m.attr("normalize_time") = py::module_::import("pyqelm.utils.date_utils").attr("normalize_time");

  py::object builtins = py::module_::import("builtins");
  py::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__doc__"] =
      "Neural compressor of one data cube: load, prepare, build, fit, then save.";
  py::object cls = builtins.attr("type")("QELMCompressor", py::make_tuple(builtins.attr("object")), ns);
  m.attr("QELMCompressor") = cls;

  // ---- configuration ------------------------------------------------------------------------
  m.def("_has_tinycudann", &has_tinycudann,
        "True when tiny-cuda-nn's bindings import as 'tinycudann'.");
  m.def("_resolve_train_mode", &resolve_train_mode, py::arg("train_mode"),
        "Resolve a training-mode name to 'tcnn_cuda' or raise.");
  add_method(cls, "__init__", &compressor_init, py::arg("train_dtype") = "auto",
             py::arg("global_start_date") = py::none(), py::arg("global_end_date") = py::none(),
             py::arg("train_mode") = "tcnn_cuda");
  add_classmethod(cls, "_with_reference_backend", &with_reference_backend, py::arg("cls"),
                  py::arg("device") = "cpu", py::arg("train_dtype") = "auto",
                  py::arg("global_start_date") = py::none(),
                  py::arg("global_end_date") = py::none(),
                  "A compressor on the pure-PyTorch network, for machines without tiny-cuda-nn.");



  // ---- data sources -------------------------------------------------------------------------



  // ---- preparation --------------------------------------------------------------------------



  // ---- model --------------------------------------------------------------------------------
  add_method(cls, "build_qelm_model", &build_qelm_model, py::arg("xy_hash_size"),
             py::arg("xy_base_resolution"), py::arg("xy_n_levels"), py::arg("xy_per_level_scale"),
             py::arg("xy_features_per_level"), py::arg("t_hash_size"), py::arg("t_base_resolution"),
             py::arg("t_n_levels"), py::arg("t_per_level_scale"), py::arg("t_features_per_level"),
             py::arg("spatial_scale"), py::arg("decoder_hidden"), py::arg("n_hidden_layers"),
             py::arg("enable_deformation") = false, py::arg("ref_t_for_deformation") = -1.0,
             py::arg("disable_temporal") = false, py::arg("block_size") = py::make_tuple(1, 1),
             py::arg("temporal_mode") = "hash3d", py::arg("code_hash_size") = py::none(),
             py::arg("code_base_resolution") = py::none(), py::arg("code_n_levels") = py::none(),
             py::arg("code_per_level_scale") = py::none(),
             py::arg("code_features_per_level") = py::none(), py::arg("t1d_hash_size") = py::none(),
             py::arg("t1d_base_resolution") = py::none(), py::arg("t1d_n_levels") = py::none(),
             py::arg("t1d_per_level_scale") = py::none(),
             py::arg("t1d_features_per_level") = py::none(),
             "Build the network on the compressor's device and record its configuration.");
  add_staticmethod(cls, "_trainable_params", &trainable_params, py::arg("module"),
                   "The trainable tensors of one sub-module of the network.");
  add_method(cls, "_split_optimizer_params", &split_optimizer_params,
             "(hash-grid parameters, decoder parameters) of the model.");



  // ---- training -----------------------------------------------------------------------------
  add_method(cls, "fit", &fit, py::arg("epochs") = 100, py::arg("batch_size") = 524288,
             py::arg("lr") = 0.01, py::arg("lr_hash") = py::none(), py::arg("loss_type") = "MSE",
             py::arg("force_zero_training") = false, py::arg("early_stop") = false,
             py::arg("early_stop_patience") = 8, py::arg("early_stop_min_delta_rel") = 0.005,
             py::arg("early_stop_warmup_epochs") = 20, py::arg("early_stop_ema_alpha") = 0.3,
             py::arg("importance_sampling") = false, py::arg("imp_warmup_frac") = 0.5,
             py::arg("imp_alpha") = 1.0, py::arg("imp_refresh_epochs") = 3,
             "Train the model on the prepared data; False when there is no valid point.");



  // ---- residuals and metrics ----------------------------------------------------------------



  // ---- artifacts ----------------------------------------------------------------------------



  // ---- codecs and readers -------------------------------------------------------------------



  // ---- hash-grid encoding -------------------------------------------------------------------



}
