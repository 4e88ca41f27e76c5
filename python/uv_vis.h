#pragma once
// Simulated UV-vis absorption spectrum from Python: the meci road for the
// ground state, then Gaussian bands of its states on a wavelength grid, and
// the class `UvVisSpectrumPy`.
#include "python/py_support.h"

namespace quorin::py {

PyObject* create_uv_vis_spectrum_type();

// The uv_vis_spectrum function of the module.
PyMethodDef* uv_vis_spectrum_method_def();

}  // namespace quorin::py
