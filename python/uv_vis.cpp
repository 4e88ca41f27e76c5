#include "python/engine_call.h"
#include "python/uv_vis.h"

#include "core/ci/uv_vis.h"
#include "python/arguments.h"
#include "python/docstrings.h"
#include "python/meci.h"
#include "python/record_object.h"

namespace quorin::py {

namespace {

PyTypeObject* spectrum_type = nullptr;

using U = UvVisSpectrum;

PyGetSetDef spectrum_getset[] = {
    attribute<&U::wavelengths_nm>("wavelengths_nm", "Wavelength grid in nm"),
    attribute<&U::extinction_coefficients>("extinction_coefficients", "Molar extinction coefficients in L/(mol*cm)"),
    attribute<&U::lambda_max_nm>("lambda_max_nm", "Peak absorption wavelength in nm"),
    attribute<&U::epsilon_max>("epsilon_max", "Maximum extinction coefficient"),
    kEndOfAttributes,
};

constexpr const char* kSpectrumParameters[] = {
    "atomic_numbers",    "coordinates", "method",  "active_orbitals", "min_wavelength_nm",
    "max_wavelength_nm", "step_nm",     "fwhm_nm", "use_nddo",
};

PyObject* uv_vis_spectrum(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("uv_vis_spectrum", kSpectrumParameters, 2, args, kwargs);
        MeciRequest request;
        read_leading_meci_arguments(bound, request);
        const UvVisGrid grid{double_or(bound, 4, 100.0), double_or(bound, 5, 800.0), double_or(bound, 6, 1.0),
                             double_or(bound, 7, 20.0)};
        request.use_nddo = switch_or(bound, 8, true);
        return new_uv_vis_spectrum(engine_call([&] { return run_uv_vis_request(std::move(request), grid); }));
    });
}

PyMethodDef spectrum_def = {
    "uv_vis_spectrum",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(uv_vis_spectrum)),
    METH_VARARGS | METH_KEYWORDS,
    "uv_vis_spectrum(atomic_numbers, coordinates, method=\"PM6\", active_orbitals=2, min_wavelength_nm=100.0, "
    "max_wavelength_nm=800.0, step_nm=1.0, fwhm_nm=20.0, use_nddo=True)\n"
    "--\n"
    "\n"
    "Simulate UV-Vis electronic absorption spectrum from CI states.\n"
    "\n"
    "Parameters:\n"
    "- `atomic_numbers`: list of integer atomic numbers (e.g. `[8, 1, 1]`)\n"
    "- `coordinates`: 3D coordinates in \u00c5ngstr\u00f6ms (e.g. `[[0.0, 0.0, 0.0], ...]`)\n"
    QUORIN_METHOD_DOC
    "- `active_orbitals`: Number of active molecular orbitals of the CI; the number of active electrons equals "
    "it" QUORIN_ACTIVE_WINDOW_EDGE_DOC " (default: 2)\n"
    "- `min_wavelength_nm`: First wavelength of the grid in nm (default: 100.0)\n"
    "- `max_wavelength_nm`: Upper end of the wavelength grid in nm (default: 800.0)\n"
    "- `step_nm`: Grid step in nm (default: 1.0)\n"
    "- `fwhm_nm`: Full width at half maximum of each Gaussian band in nm (default: 20.0)\n"
    QUORIN_USE_NDDO_DOC,
};

}  // namespace

UvVisSpectrum run_uv_vis_request(MeciRequest request, const UvVisGrid& grid) {
    request.target_root = 1;
    const std::unique_ptr<ParameterModel> model = check_meci_request(request);
    check_in_range("min_wavelength_nm", grid.min_wavelength_nm, ranges::kWavelength);
    check_in_range("max_wavelength_nm", grid.max_wavelength_nm, ranges::kWavelength);
    if (!(grid.max_wavelength_nm > grid.min_wavelength_nm)) {
        refuse_argument("max_wavelength_nm", "must lie above min_wavelength_nm, " +
                                                 format_shortest(grid.min_wavelength_nm) + " nm (got " +
                                                 format_shortest(grid.max_wavelength_nm) + ")");
    }
    check_in_range("step_nm", grid.step_nm, ranges::kWavelength);
    check_in_range("fwhm_nm", grid.fwhm_nm, ranges::kWavelength);
    // What is left to refuse of the grid is its number of points.
    if (uv_vis_grid_problem(grid.min_wavelength_nm, grid.max_wavelength_nm, grid.step_nm, grid.fwhm_nm)) {
        refuse_argument("step_nm", "must leave at most " + std::to_string(kMaxSpectrumPoints) +
                                       " grid points from min_wavelength_nm to max_wavelength_nm (got " +
                                       format_shortest(grid.step_nm) + ")");
    }
    const MeciRecord ground = run_checked_meci(request, *model, false);
    return simulate_uv_vis_spectrum(ground.states, grid.min_wavelength_nm, grid.max_wavelength_nm, grid.step_nm,
                                    grid.fwhm_nm);
}

PyObject* new_uv_vis_spectrum(UvVisSpectrum spectrum) {
    return new_record_object(spectrum_type, std::move(spectrum));
}

PyObject* create_uv_vis_spectrum_type() {
    return create_record_type<U>({"quorin_py.UvVisSpectrumPy", "Simulated UV-Vis spectrum exposed to Python.", nullptr,
                                  spectrum_getset, nullptr},
                                 spectrum_type);
}

PyMethodDef* uv_vis_spectrum_method_def() { return &spectrum_def; }

}  // namespace quorin::py
