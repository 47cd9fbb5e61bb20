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

// ---- preparation ----------------------------------------------------------------------------

// ---- model ----------------------------------------------------------------------------------

// ---- training -------------------------------------------------------------------------------

// ---- residuals and metrics ------------------------------------------------------------------

// ---- artifacts ------------------------------------------------------------------------------

}  // namespace qelm::shell
