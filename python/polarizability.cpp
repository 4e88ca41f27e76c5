#include "python/engine_call.h"
#include "python/polarizability.h"

#include <memory>

#include "core/properties/polarizability.h"
#include "core/properties/request_memory.h"
#include "core/types/molecule.h"
#include "python/arguments.h"
#include "python/method_lookup.h"
#include "python/record_object.h"

namespace quorin::py {

namespace {

using P = PolarizabilityResult;

PyTypeObject* polarizability_type = nullptr;

PyGetSetDef polarizability_getset[] = {
    attribute<&P::alpha_tensor>("alpha_tensor", "3x3 polarizability tensor \\alpha in atomic units (a_0^3)"),
    attribute<&P::alpha_isotropic_au>("alpha_isotropic_au", "Isotropic average polarizability in atomic units"),
    attribute<&P::alpha_isotropic_angstrom3>("alpha_isotropic_angstrom3",
        "Isotropic average polarizability in \\AA^3"),
    attribute<&P::alpha_anisotropy_au>("alpha_anisotropy_au", "Polarizability anisotropy in atomic units"),
    attribute<&P::alpha_eigenvalues>("alpha_eigenvalues",
        "Principal polarizability eigenvalues in ascending order in a.u."),
    attribute<&P::alpha_eigenvectors>("alpha_eigenvectors", "Principal polarizability eigenvectors (shape: [3, 3])"),
    attribute<&P::alpha_raw_tensor>("alpha_raw_tensor", "Raw uncorrected CP-SCF polarizability tensor in a.u."),
    attribute<&P::alpha_raw_isotropic_au>("alpha_raw_isotropic_au",
        "Raw uncorrected isotropic polarizability in a.u."),
    attribute<&P::alpha_raw_isotropic_angstrom3>("alpha_raw_isotropic_angstrom3",
        "Raw uncorrected isotropic polarizability in \\AA^3"),
    attribute<&P::beta_vector>("beta_vector", "Vector components of first hyperpolarizability \\beta_i in a.u."),
    attribute<&P::beta_total_au>("beta_total_au", "Total norm of first hyperpolarizability vector in a.u."),
    attribute<&P::beta_total_esu>("beta_total_esu", "Total norm of first hyperpolarizability vector in esu"),
    attribute<&P::gamma_diag>("gamma_diag",
        "Diagonal components of second hyperpolarizability [\\gamma_xxxx, \\gamma_yyyy, \\gamma_zzzz] in a.u."),
    attribute<&P::gamma_average_au>("gamma_average_au", "Average second hyperpolarizability in a.u."),
    attribute<&P::gamma_average_esu>("gamma_average_esu", "Average second hyperpolarizability in esu"),
    attribute<&P::dipole_debye>("dipole_debye", "Unperturbed permanent dipole moment [x, y, z, total] in Debye"),
    attribute<&P::unperturbed_energy_ev>("unperturbed_energy_ev", "Unperturbed total SCF energy in eV"),
    kEndOfAttributes,
};

constexpr const char* kPolarizabilityParameters[] = {
    "atomic_numbers",          "coordinates",  "method",        "field_step_au", "use_nddo",   "reorient",
    "apply_empirical_scaling", "compute_hyperpolarizabilities", "scf_max_iter",  "energy_tol_ev", "density_tol",
};

PyObject* polarizability(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        // Optional arguments are plain values: None is refused, not read as the default.
        const BoundArguments bound("polarizability", kPolarizabilityParameters, 2, args, kwargs);
        const std::vector<std::uint8_t> numbers = to_atomic_numbers(bound.given(0), bound.name(0));
        const std::vector<std::array<double, 3>> coordinates = to_coordinate_list(bound.given(1), bound.name(1));
        const std::string method = plain_or<std::string>(bound, 2, to_name, "PM6");
        PolarizabilityOptions options;
        options.field_step_au = plain_or(bound, 3, to_double, 0.002);
        options.use_nddo = plain_or(bound, 4, to_switch, true);
        options.reorient = plain_or(bound, 5, to_switch, true);
        options.apply_empirical_scaling = plain_or(bound, 6, to_switch, true);
        options.compute_hyperpolarizabilities = plain_or(bound, 7, to_switch, true);
        options.max_iterations = static_cast<std::size_t>(plain_or<std::uint64_t>(bound, 8, to_count, 80));
        options.energy_tolerance = plain_or(bound, 9, to_double, 1e-9);
        options.density_tolerance = plain_or(bound, 10, to_double, 1e-8);

        return new_record_object(polarizability_type, engine_call([&] {
            const CheckedMolecule checked = check_request(
                numbers, {{coordinates}}, method,
                {{"field_step_au", options.field_step_au, ranges::kFieldStep},
                 {"energy_tol_ev", options.energy_tolerance, ranges::kScfEnergyTolerance},
                 {"density_tol", options.density_tolerance, ranges::kScfDensityTolerance}},
                {{"scf_max_iter", options.max_iterations, ranges::kLoopCount}});
            const MolecularBatch molecule = MolecularBatch::new_for_model(numbers, coordinates, *checked.model);
            require_memory(driver_memory(molecule, options.use_nddo, 1, 0, false));
            return compute_polarizability(molecule, *checked.model, options);
        }));
    });
}

PyMethodDef polarizability_def = {
    "polarizability",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(polarizability)),
    METH_VARARGS | METH_KEYWORDS,
    "polarizability(atomic_numbers, coordinates, method=\"PM6\", field_step_au=0.002, use_nddo=True, "
    "reorient=True, apply_empirical_scaling=True, compute_hyperpolarizabilities=True, scf_max_iter=80, "
    "energy_tol_ev=1e-9, density_tol=1e-8)\n"
    "--\n"
    "\n"
    "Compute molecular polarizability and NLO hyperpolarizability tensors.",
};

}  // namespace

PyObject* create_polarizability_result_type() {
    return create_record_type<P>({"quorin_py.PolarizabilityPyResult",
                                  "Comprehensive polarizability and NLO tensor calculation results for Python.",
                                  nullptr, polarizability_getset, nullptr},
                                 polarizability_type);
}

PyMethodDef* polarizability_method_def() { return &polarizability_def; }

}  // namespace quorin::py
