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

  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const qelm::NotImplementedError& e) {
      PyErr_SetString(PyExc_NotImplementedError, e.what());
    }
  });

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
  add_method(cls, "load_dataset_folder", &load_dataset_folder, py::arg("folder_path"),
             py::arg("mode") = "standard", py::arg("tile_name") = py::none(), py::arg("expected_bands") = 1,
             py::arg("scale_factor") = 0.1, py::arg("valid_range") = py::none(),
             py::arg("p99_removal") = false, py::arg("year_range") = py::none(),
             "Load a cube from a folder of rasters; returns (volume, nodata_mask_vol).");
  add_method(cls, "load_dataset_zarr", &load_dataset_zarr, py::arg("zarr_path"),
             py::arg("variable") = py::none(), py::arg("scale_factor") = py::none(),
             py::arg("valid_range") = py::none(),
             "Read a whole Zarr store into memory, normalised to [0, 1] by valid_range.");
  add_method(cls, "load_dataset_zarr_streaming", &load_dataset_zarr_streaming,
             py::arg("zarr_path"), py::arg("variable") = py::none(), py::arg("scale_factor") = py::none(),
             py::arg("valid_range") = py::none(), "Attach a Zarr store as an out-of-core source.");


  // ---- preparation --------------------------------------------------------------------------
  add_method(cls, "prepare_training_data_optimized", &prepare_training_data_optimized,
             py::arg("use_log") = false, py::arg("norm_mode") = 3, py::arg("force_zero_training") = false,
             py::arg("block_size") = py::make_tuple(1, 1),
             "Normalise, mask and lay out the training data; build the coordinate cache and time table.");
  add_method(cls, "_apply_block_reshape", &apply_block_reshape, py::arg("block_size"));
  m.def("_coordinate_cache", &coordinate_cache_py, py::arg("norm_mode"), py::arg("height"), py::arg("width"),
        py::arg("trans_matrix") = py::none(),
        "(xyz_cache, parameters) of a grid in a coordinate mode, exactly as training builds them.");
  m.def("_available_memory_bytes", &available_memory_py,
        "Available physical memory in bytes, or None when unknown (block reshape sizing).");
  m.def("_remove_file_quietly", &remove_file_quietly, py::arg("path"));


  // ---- model --------------------------------------------------------------------------------



  // ---- training -----------------------------------------------------------------------------



  // ---- residuals and metrics ----------------------------------------------------------------



  // ---- artifacts ----------------------------------------------------------------------------



  // ---- codecs and readers -------------------------------------------------------------------



  // ---- hash-grid encoding -------------------------------------------------------------------



}
