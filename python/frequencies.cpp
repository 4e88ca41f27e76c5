#include "python/engine_call.h"
#include "python/frequencies.h"

#include <cmath>
#include <memory>

#include "core/properties/request_memory.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/types/molecule.h"
#include "core/vibrations/hessian.h"
#include "python/arguments.h"
#include "python/docstrings.h"
#include "python/driver_support.h"
#include "python/method_lookup.h"
#include "python/record_object.h"

namespace quorin::py {

VibrationalRecord run_frequencies(const FrequenciesRequest& request) {
    const auto& numbers = request.atomic_numbers;
    const CheckedMolecule checked =
        check_request(numbers, {{request.coordinates}}, request.method,
                      {{"temperature_k", request.temperature_k, ranges::kThermoTemperature},
                       {"pressure_atm", request.pressure_atm, ranges::kPressure},
                       {"step_size_angstrom", request.step_size_angstrom, ranges::kHessianStep}});
    const ParameterModel& model = *checked.model;
    // The order of a group of rotations: a whole number, bounded by the atom count.
    const double sigma = request.rotational_symmetry_number;
    const double largest_sigma = largest_rotational_symmetry_number(numbers.size());
    if (!(sigma >= 1.0 && sigma <= largest_sigma && sigma == std::floor(sigma))) {
        refuse_argument("rotational_symmetry_number", "must be a whole number from 1 to " +
                                                          std::to_string(static_cast<std::uint64_t>(largest_sigma)) + " (got " +
                                                          format_shortest(sigma) + ")");
    }

    MolecularBatch molecule = MolecularBatch::new_for_model(numbers, request.coordinates, model);

    ScfOptions scf_options;
    scf_options.max_iterations = 100;
    scf_options.energy_tolerance = 1e-8;
    scf_options.density_tolerance = 1e-7;
    scf_options.level_shift = 0.0;
    scf_options.damping = 0.5;
    scf_options.use_nddo = request.use_nddo;

    HessianOptions options;
    options.custom_masses = request.custom_masses;
    options.step_size_angstrom = request.step_size_angstrom;
    options.temperature_k = request.temperature_k;
    options.pressure_atm = request.pressure_atm;
    options.rotational_symmetry_number = request.rotational_symmetry_number;
    options.reconverge_scf = true;
    options.use_nddo = request.use_nddo;
    options.project_external = request.project_external;
    if (const auto& masses = request.custom_masses) {
        if (masses->size() != numbers.size()) {
            refuse_argument("custom_masses", "must hold one mass per atom: got " + std::to_string(masses->size()) +
                                                 " for " + std::to_string(numbers.size()) + " atoms");
        }
        check_each_in_range("custom_masses", *masses, ranges::kAtomicMass);
    }
    check_engine_options([&] { hessian_masses(molecule, options); });
    require_memory(frequencies_memory(molecule, request.use_nddo));
    ScfWorkspace scf = ScfWorkspace::allocate(molecule.n_basis);
    HessianResult hessian = compute_hessian_and_frequencies(molecule, model, scf, scf_options, options);

    VibrationalRecord record;
    record.all_frequencies_cm1 = std::move(hessian.all_frequencies_cm1);
    record.vibrational_frequencies_cm1 = std::move(hessian.vibrational_frequencies_cm1);
    record.normal_modes = std::move(hessian.normal_modes);
    record.zpve_kcal_mol = hessian.zpve_kcal_mol;
    record.thermo = hessian.thermo;
    record.is_transition_state = count_imaginary_frequencies(record.vibrational_frequencies_cm1) == 1;
    record.cartesian_hessian = std::move(hessian.cartesian_hessian);
    return record;
}

namespace {

// ---- NormalModePy ----------------------------------------------------------

PyTypeObject* normal_mode_type = nullptr;

using M = NormalMode;

PyGetSetDef normal_mode_getset[] = {
    attribute<&M::frequency_cm1>("frequency_cm1", "Harmonic frequency in cm^-1 (negative if imaginary)"),
    attribute<&M::reduced_mass_amu>("reduced_mass_amu", "Effective reduced mass in amu"),
    attribute<&M::force_constant_mdyne_a>("force_constant_mdyne_a", "Force constant in mdyne/\u00c5"),
    attribute<&M::displacements>("displacements",
        "Normalized Cartesian displacements (delta x, delta y, delta z) for each atom"),
    kEndOfAttributes,
};

PyObject* normal_mode_repr(PyObject* self) {
    return guard([&] {
        const M& m = record_of<M>(self);
        return new_text("<NormalMode freq=" + format_fixed(m.frequency_cm1, 1) +
                        " cm^-1, mass=" + format_fixed(m.reduced_mass_amu, 3) +
                        " amu, k=" + format_fixed(m.force_constant_mdyne_a, 3) + " mdyne/A>");
    });
}

PyMethodDef normal_mode_methods[] = {
    {"to_dict", to_dict_of_table<normal_mode_getset>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- ThermodynamicsPy ------------------------------------------------------

PyTypeObject* thermodynamics_type = nullptr;

using T = Thermodynamics;

PyGetSetDef thermodynamics_getset[] = {
    attribute<&T::temperature_k>("temperature_k", ""),
    attribute<&T::pressure_atm>("pressure_atm", ""),
    attribute<&T::zpve_kcal_mol>("zpve_kcal_mol", "Zero-Point Vibrational Energy in kcal/mol"),
    attribute<&T::e_vib_cal_mol>("e_vib_cal_mol", "Thermal vibrational energy E_vib(T) in cal/mol"),
    attribute<&T::e_rot_cal_mol>("e_rot_cal_mol", "Thermal rotational energy E_rot(T) in cal/mol"),
    attribute<&T::e_trans_cal_mol>("e_trans_cal_mol", "Thermal translational energy E_trans(T) in cal/mol"),
    attribute<&T::enthalpy_thermal_cal_mol>("enthalpy_thermal_cal_mol",
        "Total thermal enthalpy correction H(T) - H(0) in cal/mol"),
    attribute<&T::cv_vib_cal_k_mol>("cv_vib_cal_k_mol",
        "Constant volume vibrational heat capacity Cv,vib in cal/(mol\u00b7K)"),
    attribute<&T::cv_rot_cal_k_mol>("cv_rot_cal_k_mol",
        "Constant volume rotational heat capacity Cv,rot in cal/(mol\u00b7K)"),
    attribute<&T::cp_trans_cal_k_mol>("cp_trans_cal_k_mol",
        "Constant pressure translational heat capacity Cp,trans = 5/2 R in cal/(mol\u00b7K)"),
    attribute<&T::cp_total_cal_k_mol>("cp_total_cal_k_mol",
        "Total constant pressure heat capacity Cp(T) = Cv + R in cal/(mol\u00b7K)"),
    attribute<&T::entropy_vib_cal_k_mol>("entropy_vib_cal_k_mol", "Vibrational entropy S_vib in cal/(mol\u00b7K)"),
    attribute<&T::entropy_rot_cal_k_mol>("entropy_rot_cal_k_mol", "Rotational entropy S_rot in cal/(mol\u00b7K)"),
    attribute<&T::entropy_trans_cal_k_mol>("entropy_trans_cal_k_mol",
        "Translational entropy S_trans (Sackur-Tetrode) in cal/(mol\u00b7K)"),
    attribute<&T::entropy_total_cal_k_mol>("entropy_total_cal_k_mol",
        "Total standard entropy S\u00b0(T) in cal/(mol\u00b7K)"),
    attribute<&T::gibbs_correction_kcal_mol>("gibbs_correction_kcal_mol",
        "Gibbs free energy thermal correction G_corr = H_thermal - T*S\u00b0 in kcal/mol"),
    kEndOfAttributes,
};

PyObject* thermodynamics_repr(PyObject* self) {
    return guard([&] {
        const T& t = record_of<T>(self);
        return new_text("<Thermodynamics T=" + format_fixed(t.temperature_k, 2) +
                        " K, ZPVE=" + format_fixed(t.zpve_kcal_mol, 2) +
                        " kcal/mol, S\u00b0=" + format_fixed(t.entropy_total_cal_k_mol, 2) +
                        " cal/(mol\u00b7K), H_thermal=" + format_fixed(t.enthalpy_thermal_cal_mol, 2) +
                        " cal/mol, G_corr=" + format_fixed(t.gibbs_correction_kcal_mol, 2) + " kcal/mol>");
    });
}

PyMethodDef thermodynamics_methods[] = {
    {"to_dict", to_dict_of_table<thermodynamics_getset>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- VibrationalResultPy ---------------------------------------------------

PyTypeObject* vibrational_type = nullptr;

using V = VibrationalRecord;

PyObject* get_normal_modes(PyObject* self, void*) {
    return guard([&] { return new_record_list<NormalMode>(normal_mode_type, record_of<V>(self).normal_modes); });
}

PyObject* get_thermo(PyObject* self, void*) {
    return guard([&] { return new_unchecked_record_object(thermodynamics_type, record_of<V>(self).thermo); });
}

PyGetSetDef vibrational_getset[] = {
    attribute<&V::all_frequencies_cm1>("all_frequencies_cm1",
        "All 3N harmonic frequencies in cm^-1 (sorted ascending)"),
    attribute<&V::vibrational_frequencies_cm1>("vibrational_frequencies_cm1",
        "Genuine internal vibrational frequencies (3N-6, or 3N-5 for a linear molecule: one whose atoms form a chain "
        "turning by less than 2 degrees at every atom) in cm^-1"),
    nested_attribute<&V::normal_modes, normal_mode_getset>("normal_modes", get_normal_modes,
        "Normal modes with atom displacement vectors"),
    attribute<&V::zpve_kcal_mol>("zpve_kcal_mol", "Zero-Point Vibrational Energy (ZPVE) in kcal/mol"),
    nested_attribute<&V::thermo, thermodynamics_getset>("thermo", get_thermo, "Statistical thermodynamic properties"),
    attribute<&V::is_transition_state>("is_transition_state",
        "Whether molecule is a transition state (exactly one vibrational frequency < -10 cm^-1); this means "
        "something only at a stationary point (an optimised or transition-state geometry). A minimum has no "
        "imaginary frequency: test it by all(f > -10 for f in vibrational_frequencies_cm1), not by "
        "`not is_transition_state`, which also holds at points with two or more imaginary modes"),
    attribute<&V::cartesian_hessian>("cartesian_hessian",
        "Full Cartesian Hessian matrix [3N x 3N] in kcal / (mol * \u00c5^2)"),
    kEndOfAttributes,
};

// Attribute values, except that thermo and each normal mode appear as
// their own dictionaries and the modes come last.
PyObject* vibrational_to_dict(PyObject* self, PyObject*) {
    return guard([&] {
        const V& r = record_of<V>(self);
        Ref dict(check(PyDict_New()));
        const auto put = [&](const char* key, getter get) {
            set_dict_item(dict.get(), key, Ref(check(get(self, nullptr))));
        };
        put("all_frequencies_cm1", get_field<&V::all_frequencies_cm1>);
        put("vibrational_frequencies_cm1", get_field<&V::vibrational_frequencies_cm1>);
        put("zpve_kcal_mol", get_field<&V::zpve_kcal_mol>);
        put("is_transition_state", get_field<&V::is_transition_state>);
        set_dict_item(dict.get(), "thermo",
                      Ref(dict_of_record(thermodynamics_type, r.thermo, thermodynamics_getset)));
        put("cartesian_hessian", get_field<&V::cartesian_hessian>);
        set_dict_item(dict.get(), "normal_modes",
                      Ref(new_dict_list(normal_mode_type, std::span<const NormalMode>(r.normal_modes),
                                        normal_mode_getset)));
        return dict.release();
    });
}

PyObject* vibrational_repr(PyObject* self) {
    return guard([&] {
        const V& r = record_of<V>(self);
        return new_text("<VibrationalResult num_vib=" + std::to_string(r.vibrational_frequencies_cm1.size()) +
                        ", ZPVE=" + format_fixed(r.zpve_kcal_mol, 2) +
                        " kcal/mol, is_TS=" + (r.is_transition_state ? "true" : "false") + ">");
    });
}

PyMethodDef vibrational_methods[] = {
    {"to_dict", vibrational_to_dict, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- frequencies -----------------------------------------------------------

constexpr const char* kFrequenciesParameters[] = {
    "atomic_numbers",     "coordinates",      "method",   "temperature_k", "pressure_atm", "rotational_symmetry_number",
    "step_size_angstrom", "project_external", "use_nddo", "custom_masses",
};

PyObject* frequencies(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("frequencies", kFrequenciesParameters, 2, args, kwargs);
        FrequenciesRequest request;
        request.atomic_numbers = to_atomic_numbers(bound.value(0), bound.name(0));
        request.coordinates = to_coordinate_list(bound.value(1), bound.name(1));
        request.method = name_or(bound, 2, "PM6");
        request.temperature_k = double_or(bound, 3, 298.15);
        request.pressure_atm = double_or(bound, 4, 1.0);
        request.rotational_symmetry_number = double_or(bound, 5, 1.0);
        // Omitted means the usual 0.005 angstrom; an explicit None the finer 0.001.
        request.step_size_angstrom = double_or(bound, 6, bound.given_as_none(6) ? 0.001 : 0.005);
        request.project_external = switch_or(bound, 7, true);
        request.use_nddo = switch_or(bound, 8, true);
        if (bound.value(9) != nullptr) request.custom_masses = to_float_list(bound.value(9), bound.name(9));
        return new_vibrational_result(engine_call([&] { return run_frequencies(request); }));
    });
}

PyMethodDef frequencies_def = {
    "frequencies",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frequencies)),
    METH_VARARGS | METH_KEYWORDS,
    "frequencies(atomic_numbers, coordinates, method=\"PM6\", temperature_k=298.15, pressure_atm=1.0, "
    "rotational_symmetry_number=1.0, step_size_angstrom=0.005, project_external=True, use_nddo=True, "
    "custom_masses=None)\n"
    "--\n"
    "\n"
    "Compute Cartesian Hessian, harmonic vibrational frequencies, normal modes, and thermodynamics.\n"
    "\n"
    "Parameters:\n"
    "- `atomic_numbers`: list of integer atomic numbers (e.g. `[8, 1, 1]`)\n"
    "- `coordinates`: 3D coordinates in \u00c5ngstr\u00f6ms (e.g. `[[0.0, 0.0, 0.0], ...]`)\n"
    QUORIN_METHOD_DOC
    "- `temperature_k`: Temperature in Kelvin for thermodynamics (default: 298.15 K)\n"
    "- `pressure_atm`: Pressure in standard atmospheres (default: 1.0 atm)\n"
    "- `rotational_symmetry_number`: Rotational symmetry number sigma, a whole number from 1 to the larger of 60 "
    "and twice the atom count (e.g. 2 for C2v water; default: 1.0)\n"
    "- `step_size_angstrom`: Finite difference displacement step size in \u00c5ngstr\u00f6ms, from 1e-5 to 0.1 "
    "(default: 0.005 \u00c5; below 1e-5 the SCF tolerances show in the frequencies)\n"
    "- `project_external`: Project out 6 translational/rotational external motions via Eckart frame "
    "(default: true)\n"
    QUORIN_USE_NDDO_DOC,
};

}  // namespace

PyObject* create_normal_mode_type() {
    return create_record_type<M>(
        {"quorin_py.NormalModePy",
         "Normal vibrational mode with harmonic frequency and Cartesian displacement vectors.", normal_mode_repr,
         normal_mode_getset, normal_mode_methods},
        normal_mode_type);
}

PyObject* create_thermodynamics_type() {
    return create_record_type<T>({"quorin_py.ThermodynamicsPy",
                                  "Statistical thermodynamic properties computed from vibrational, rotational, and "
                                  "translational partition functions.",
                                  thermodynamics_repr, thermodynamics_getset, thermodynamics_methods},
                                 thermodynamics_type);
}

PyObject* create_vibrational_result_type() {
    return create_record_type<V>({"quorin_py.VibrationalResultPy",
                                  "Comprehensive results of Hessian and normal coordinate analysis.", vibrational_repr,
                                  vibrational_getset, vibrational_methods},
                                 vibrational_type);
}

PyObject* new_vibrational_result(VibrationalRecord record) {
    return new_record_object(vibrational_type, std::move(record));
}

PyMethodDef* frequencies_method_def() { return &frequencies_def; }

}  // namespace quorin::py
