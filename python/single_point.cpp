#include "python/engine_call.h"
#include "python/single_point.h"

#include "core/properties/request_memory.h"
#include "core/properties/single_point.h"
#include "core/types/molecule.h"
#include "python/arguments.h"
#include "python/docstrings.h"
#include "python/method_lookup.h"

namespace quorin::py {

CalculationRecord run_single_point_with_model(const std::vector<std::uint8_t>& atomic_numbers,
                                             const std::vector<std::array<double, 3>>& coordinates,
                                             const ParameterModel& model, const SinglePointOptions& options) {
    MolecularBatch molecule = MolecularBatch::new_for_model(atomic_numbers, coordinates, model);
    require_memory(single_point_memory(molecule, options.use_nddo, options.cosmo_eps.has_value()));
    return run_single_point(molecule, model, options);
}

CalculationRecord run_calculation_internal(const SinglePointRequest& request) {
    const CheckedMolecule checked = check_request(request.atomic_numbers, {{request.coordinates}}, request.method,
                                                  {{"energy_tol_ev", request.energy_tol_ev, ranges::kScfEnergyTolerance},
                                                   {"density_tol", request.density_tol, ranges::kScfDensityTolerance},
                                                   {"level_shift_ev", request.level_shift_ev, ranges::kLevelShift},
                                                   {"damping", request.damping, ranges::kScfDamping}},
                                                  {{"max_iter", request.max_iter, ranges::kLoopCount}});
    if (request.cosmo_eps) check_in_range("cosmo_eps", *request.cosmo_eps, ranges::kDielectricConstant);

    SinglePointOptions options;
    options.cosmo_eps = request.cosmo_eps;
    // A name the input alone refuses is refused before the SCF.
    if (request.dispersion) {
        dispersion_argument(*request.dispersion);
        options.dispersion = to_upper(*request.dispersion);
    }
    options.h_bonds = request.h_bonds;
    options.use_nddo = request.use_nddo;
    options.max_iterations = static_cast<std::size_t>(request.max_iter);
    options.energy_tolerance = request.energy_tol_ev;
    options.density_tolerance = request.density_tol;
    options.level_shift = request.level_shift_ev;
    options.damping = request.damping;
    return run_single_point_with_model(request.atomic_numbers, request.coordinates, *checked.model, options);
}

namespace {

constexpr const char* kCalculateParameters[] = {
    "atomic_numbers", "coordinates", "method",      "cosmo_eps",   "dispersion",     "h_bonds",
    "use_nddo",       "max_iter",    "energy_tol_ev", "density_tol", "level_shift_ev", "damping",
};

PyObject* calculate(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("calculate", kCalculateParameters, 2, args, kwargs);
        SinglePointRequest request;
        request.atomic_numbers = to_atomic_numbers(bound.value(0), bound.name(0));
        request.coordinates = to_coordinate_list(bound.value(1), bound.name(1));
        request.method = name_or(bound, 2, "PM6");
        request.cosmo_eps = optional_double(bound, 3);
        request.dispersion = optional_name(bound, 4);
        request.h_bonds = switch_or(bound, 5, false);
        request.use_nddo = switch_or(bound, 6, true);
        request.max_iter = count_or(bound, 7, 60);
        request.energy_tol_ev = double_or(bound, 8, 1e-7);
        request.density_tol = double_or(bound, 9, 1e-6);
        request.level_shift_ev = double_or(bound, 10, 0.0);
        request.damping = double_or(bound, 11, 0.5);
        return new_calculation_result(engine_call([&] { return run_calculation_internal(request); }));
    });
}

PyMethodDef calculate_def = {
    "calculate",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calculate)),
    METH_VARARGS | METH_KEYWORDS,
    "calculate(atomic_numbers, coordinates, method=\"PM6\", cosmo_eps=None, dispersion=None, h_bonds=False, "
    "use_nddo=True, max_iter=60, energy_tol_ev=1e-7, density_tol=1e-6, level_shift_ev=0.0, damping=0.5)\n"
    "--\n"
    "\n"
    "Compute single-point semi-empirical quantum chemical properties and analytical gradients.\n"
    "\n"
    "Parameters:\n"
    "- `atomic_numbers`: list of integer atomic numbers (e.g. `[6, 1, 1, 1, 35]`)\n"
    "- `coordinates`: list of 3D coordinates in \u00c5ngstr\u00f6ms (e.g. `[[0.0, 0.0, 0.0], ...]`)\n"
    QUORIN_METHOD_DOC
    "- `cosmo_eps`: Optional solvent dielectric constant for COSMO solvation (e.g. 78.4 for water)\n"
    "- `dispersion`: Optional empirical dispersion (\"PM6-DH+\", \"PM7\")\n"
    "- `h_bonds`: Add two hydrogen-bond corrections to the energy and the gradient: the H4 energy of "
    "N-H...N/O and O-H...N/O contacts, and a hydrogen-hydrogen repulsion over every pair of hydrogen atoms, "
    "those bonded to one atom included (methane +11.0 kcal/mol, water +4.8) (default: false)\n"
    QUORIN_USE_NDDO_DOC "\n"
    "- `max_iter`: Maximum SCF iterations of the call, those after a descent from an unstable solution and the "
    "second-order steps included (default: 60)\n"
    "- `energy_tol_ev`: Energy convergence threshold in eV (default: 1e-7)\n"
    "- `density_tol`: Density matrix convergence threshold (default: 1e-6)",
};

}  // namespace

PyMethodDef* calculate_method_def() { return &calculate_def; }

}  // namespace quorin::py
