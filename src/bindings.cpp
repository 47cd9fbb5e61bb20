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



  // ---- hash-grid encoding -------------------------------------------------------------------
  // _hashgrid_encode / _hashgrid_layout and the intra-op thread count; defined in
  // src/models/hashgrid_bindings.cpp so that the core's header stays out of this file.
  void register_hashgrid_encoding(py::module_ & m);
  register_hashgrid_encoding(m);

}
