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



  // ---- training -----------------------------------------------------------------------------



  // ---- residuals and metrics ----------------------------------------------------------------



  // ---- artifacts ----------------------------------------------------------------------------



  // ---- codecs and readers -------------------------------------------------------------------
  m.def("decode_mask_blob", &decode_mask_blob, py::arg("blob"),
        "Mask blob -> bool array (frames, rows, columns), True = no data; None for the empty blob.");
  m.def("decode_residual_blob", &decode_residual_blob, py::arg("blob"), py::arg("band_scales") = py::none(),
        py::arg("dtype") = py::none(),
        "Residual blob -> (ascending int64 cell indices, float32 residuals, (T, H, W, C) or None). "
        "With band_scales (native value mode) values are restored per band.");
  m.def("restore_weight_components", &restore_weight_components, py::arg("raw"), py::arg("recipe"),
        py::arg("sizes") = py::none(),
        "Raw weight payload + recipe -> list of float32 tensors, decoder last. A float16 recipe "
        "records no sizes: pass every component's size to split it, else one flat tensor.");
  m.def("_quantize_weight_components", &quantize_weight_components, py::arg("tensors"), py::arg("names"),
        py::arg("quantization_bit"), "(tensors, names, bits) -> (raw payload, recipe dict, report lines).");
  m.def("_encode_mask_blob", &encode_mask_blob, py::arg("nodata"), py::arg("static"),
        "Bool no-data array (N, H, W) -> mask blob.");
  m.def("_expand_block_mask", &expand_block_mask, py::arg("block_mask"), py::arg("N"), py::arg("H"),
        py::arg("W"), py::arg("bh"), py::arg("bw"), "Per-block mask -> per-pixel (N, H, W), cropped.");
  m.def("_residual_value_mode", &residual_value_mode, py::arg("band_scales"), py::arg("src_dtype"),
        py::arg("block_factor"), py::arg("C"), "-> ('native', scales) or ('perframe_int16', None).");
  m.def("_encode_residual_blob", &encode_residual_blob, py::arg("indices"), py::arg("values"), py::arg("T"),
        py::arg("H"), py::arg("W"), py::arg("C"), py::arg("band_scales") = py::none(),
        py::arg("threshold") = 0.0, py::arg("scale") = 1.0,
        "-> (residual blob, residual info dict, report lines). band_scales selects native mode.");



  // ---- hash-grid encoding -------------------------------------------------------------------



}
