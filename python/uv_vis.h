#pragma once
// Simulated UV-vis absorption spectrum from Python: the meci road for the
// ground state, then Gaussian bands of its states on a wavelength grid, and
// the class `UvVisSpectrumPy`.
#include "core/ci/uv_vis.h"
#include "python/meci.h"
#include "python/py_support.h"

namespace quorin::py {

struct UvVisGrid {
    double min_wavelength_nm = 100.0;
    double max_wavelength_nm = 800.0;
    double step_nm = 1.0;
    double fwhm_nm = 20.0;
};

// The meci road for the ground state (target root 1), then the spectrum of
// its states on `grid`. Refused input, including a bad grid, is refused
// before the SCF with InputError.
UvVisSpectrum run_uv_vis_request(MeciRequest request, const UvVisGrid& grid);

PyObject* create_uv_vis_spectrum_type();

// A new UvVisSpectrumPy owning `spectrum`. Throws PythonErrorSet on failure.
PyObject* new_uv_vis_spectrum(UvVisSpectrum spectrum);

// The uv_vis_spectrum function of the module.
PyMethodDef* uv_vis_spectrum_method_def();

}  // namespace quorin::py
