"""Module object, registration order, docstrings and text signatures, and
where the installed module finds its libraries."""
import inspect
import os
import re
import shutil
import subprocess
import types

import pytest

REGISTRATION_ORDER = [
    "Am1BccPyResult", "CalculationResult", "OptimizationPyResult", "TransitionStatePyResult", "NormalModePy",
    "ThermodynamicsPy", "VibrationalResultPy", "IrcPointPy", "IrcPyResult", "DrcFramePy", "DrcPyResult",
    "SaddlePointPy", "SaddlePyResult", "CiStatePy", "MeciPyResult", "UvVisSpectrumPy", "PbcResultPy",
    "EspResultPy", "PolarizabilityPyResult", "VarnexLmoPy", "VarnexPyResult", "QuorinCalculator",
    "calculate", "optimize", "transition_state", "frequencies", "esp_charges", "irc", "drc", "saddle", "meci",
    "uv_vis_spectrum", "pbc", "polarizability", "varnex", "am1_bcc",
]
SCRIPT_NAMES = ["from_rdkit", "from_ase", "QuorinASECalculator", "QuorinEnergyFunction", "QuorinPotential"]


def test_module_docstring_and_all(qp):
    assert qp.__name__ == "quorin_py"
    assert qp.__doc__ == "QUORIN_RS Python Module"
    # Classes first, then functions, each in its order of addition; the
    # registered names are a subsequence of the full table.
    assert qp.__all__ == [name for name in REGISTRATION_ORDER if name in qp.__all__]
    assert {"CalculationResult", "calculate", "optimize", "frequencies"} <= set(qp.__all__)
    assert not set(SCRIPT_NAMES) & set(qp.__all__)
    for name in qp.__all__:
        assert getattr(qp, name) is not None


def test_calculate_text_signature_and_docstring(qp):
    assert qp.calculate.__text_signature__ == (
        '(atomic_numbers, coordinates, method="PM6", cosmo_eps=None, dispersion=None, h_bonds=False, '
        "use_nddo=True, max_iter=60, energy_tol_ev=1e-7, density_tol=1e-6, level_shift_ev=0.0, damping=0.5)"
    )
    params = inspect.signature(qp.calculate).parameters
    assert list(params) == [
        "atomic_numbers", "coordinates", "method", "cosmo_eps", "dispersion", "h_bonds",
        "use_nddo", "max_iter", "energy_tol_ev", "density_tol", "level_shift_ev", "damping",
    ]
    assert params["method"].default == "PM6" and params["max_iter"].default == 60
    lines = qp.calculate.__doc__.splitlines()
    assert lines[0] == "Compute single-point semi-empirical quantum chemical properties and analytical gradients."
    assert lines[1:3] == ["", "Parameters:"]
    documented = [line.split("`")[1] for line in lines[3:]]
    assert documented == list(params)[:10]
    assert lines[4] == "- `coordinates`: list of 3D coordinates in \u00c5ngstr\u00f6ms (e.g. `[[0.0, 0.0, 0.0], ...]`)"
    # Every function that documents `method` lists the six methods get_model accepts.
    method_line = '- `method`: Semi-empirical Hamiltonian ("PM7", "PM6", "AM1", "RM1", "PM3", "MNDO"; default: "PM6")'
    assert lines[5] == method_line
    for name in qp.__all__:
        doc = getattr(qp, name).__doc__ or ""
        assert [line for line in doc.splitlines() if "`method`" in line] in ([], [method_line]), name


def test_result_class_has_no_constructor(qp):
    cls = qp.CalculationResult
    assert cls.__module__ == "quorin_py"
    assert cls.__doc__ == "Calculation results containing quantum chemical properties and analytical gradients."
    with pytest.raises(TypeError, match="^No constructor defined for CalculationResult$"):
        cls()
    assert cls.total_energy_ev.__doc__ == "Total SCF energy in electron-volts (eV)"
    assert cls.heat_of_formation_kcal.__doc__ == "Standard heat of formation \\Delta H_f^\\circ in kcal/mol"
    with pytest.raises(TypeError):
        cls.extra = 1  # immutable class


# The documented docstring and read-only attributes, in declaration order, of
# each result class, and the calculator's methods with their signatures and
# descriptions.
RESULT_CLASSES = {
    "CalculationResult": ("Calculation results containing quantum chemical properties and analytical gradients.",
                          "total_energy_ev electronic_energy_ev nuclear_repulsion_ev binding_energy_ev "
                          "heat_of_formation_kcal gradients_ev_angstrom gradients_kcal_mol_angstrom dipole_debye "
                          "atomic_charges mulliken_charges converged scf_iterations homo_energy_ev lumo_energy_ev "
                          "homo_lumo_gap_ev"),
    "OptimizationPyResult": ("Result of molecular geometry optimization.",
                             "converged cycles initial_energy_ev final_energy_ev final_heat_of_formation_kcal "
                             "final_grad_rms final_grad_max coordinates final_result"),
    "TransitionStatePyResult": ("Result of transition state search via Eigenvector Following.",
                                "converged cycles final_energy_ev final_heat_of_formation_kcal initial_grad_rms "
                                "final_grad_rms final_grad_max ts_mode_eigenvalue ts_mode_index coordinates "
                                "final_result"),
    "NormalModePy": ("Normal vibrational mode with harmonic frequency and Cartesian displacement vectors.",
                     "frequency_cm1 reduced_mass_amu force_constant_mdyne_a displacements"),
    "ThermodynamicsPy": ("Statistical thermodynamic properties computed from vibrational, rotational, and "
                         "translational partition functions.",
                         "temperature_k pressure_atm zpve_kcal_mol e_vib_cal_mol e_rot_cal_mol e_trans_cal_mol "
                         "enthalpy_thermal_cal_mol cv_vib_cal_k_mol cv_rot_cal_k_mol cp_trans_cal_k_mol "
                         "cp_total_cal_k_mol entropy_vib_cal_k_mol entropy_rot_cal_k_mol entropy_trans_cal_k_mol "
                         "entropy_total_cal_k_mol gibbs_correction_kcal_mol"),
    "VibrationalResultPy": ("Comprehensive results of Hessian and normal coordinate analysis.",
                            "all_frequencies_cm1 vibrational_frequencies_cm1 normal_modes zpve_kcal_mol thermo "
                            "is_transition_state cartesian_hessian"),
    "SaddlePointPy": ("A discrete point along the two-ended reaction barrier ascent in SADDLE.",
                      "cycle moving_structure distance heat_of_formation_kcal total_energy_ev grad_rms coordinates"),
    "SaddlePyResult": ("Outcome of two-ended SADDLE transition state search.",
                       "converged num_cycles final_distance transition_state_coordinates transition_state_energy_ev "
                       "transition_state_heat_of_formation_kcal barrier_forward_kcal barrier_reverse_kcal "
                       "trajectory final_result ts_refinement"),
    "CiStatePy": ("Single CI electronic state result exposed to Python.",
                  "root energy_ev excitation_energy_ev excitation_energy_cm1 wavelength_nm multiplicity spin_label "
                  "s_squared transition_dipole_debye dipole_strength_debye polarization_angstrom2 "
                  "oscillator_strength"),
    "MeciPyResult": ("Complete MECI calculation result exposed to Python.",
                     "states num_microstates target_root ci_energy_correction_ev electronic_energy_ev "
                     "total_energy_ev heat_of_formation_kcal gradients_kcal_mol_angstrom"),
    "UvVisSpectrumPy": ("Simulated UV-Vis spectrum exposed to Python.",
                        "wavelengths_nm extinction_coefficients lambda_max_nm epsilon_max"),
    "PbcResultPy": ("Periodic Boundary Condition calculation and band structure results.",
                    "converged iterations total_energy_per_cell_ev electronic_energy_per_cell_ev "
                    "nuclear_repulsion_per_cell_ev heat_of_formation_kcal_mol vbm_energy_ev cbm_energy_ev "
                    "direct_bandgap_ev indirect_bandgap_ev band_energies_ev dos_energies_ev dos_values"),
    "PolarizabilityPyResult": ("Comprehensive polarizability and NLO tensor calculation results for Python.",
                               "alpha_tensor alpha_isotropic_au alpha_isotropic_angstrom3 alpha_anisotropy_au "
                               "alpha_eigenvalues alpha_eigenvectors alpha_raw_tensor alpha_raw_isotropic_au "
                               "alpha_raw_isotropic_angstrom3 beta_vector beta_total_au beta_total_esu gamma_diag "
                               "gamma_average_au gamma_average_esu dipole_debye unperturbed_energy_ev"),
    "IrcPointPy": ("Single reaction path point along an Intrinsic Reaction Coordinate.",
                   "path_coordinate energy_ev heat_of_formation_kcal coordinates cartesian_gradient_rms "
                   "mass_weighted_gradient_rms"),
    "IrcPyResult": ("Comprehensive result of Intrinsic Reaction Coordinate path tracing.",
                    "points ts_point_index forward_converged reverse_converged"),
    "DrcFramePy": ("Recorded frame along Dynamic Reaction Coordinate Born-Oppenheimer Molecular Dynamics.",
                   "step time_fs potential_energy_ev kinetic_energy_ev total_energy_ev temperature_k coordinates "
                   "velocities forces"),
    "DrcPyResult": ("Comprehensive result of Dynamic Reaction Coordinate simulation.",
                    "frames initial_energy_ev final_energy_ev energy_drift_ev_per_ps max_energy_drift_ev "
                    "average_temperature_k thermostat_heat_ev state_change_steps"),
    "EspResultPy": ("Merz-Singh-Kollman Electrostatic Potential (ESP) fitting result.",
                    "charges dipole_debye dipole_magnitude_debye rms_error_ev num_grid_points"),
    "Am1BccPyResult": ("AM1-BCC Atomic Partial Charges result.",
                       "initial_charges bond_charge_corrections bcc_charges total_charge"),
    "VarnexLmoPy": ("Localized Molecular Orbital (LMO) representation for Python.",
                    "index lmo_type is_occupied atom_indices ao_indices coeffs energy_ev"),
    "VarnexPyResult": ("VARNEX O(N) linear-scaling localized molecular orbital SCF results for Python.",
                       "converged iterations electronic_energy_ev nuclear_repulsion_ev total_energy_ev "
                       "heat_of_formation_kcal atomic_charges lmos"),
}
CALCULATOR_METHODS = [
    ("calculate", "(atomic_numbers, coordinates)",
     "Calculate energy, gradients, dipole, and charges for a given molecule."),
    ("optimize", "(atomic_numbers, coordinates, max_cycles=100)", "Optimize geometry for a given molecule."),
    ("frequencies", "(atomic_numbers, coordinates, temperature_k=298.15, pressure_atm=1.0, "
     "rotational_symmetry_number=1.0, custom_masses=None)",
     "Compute harmonic vibrational frequencies, normal modes, and thermodynamics."),
    ("transition_state", "(atomic_numbers, coordinates, max_cycles=100, grad_rms_tol=0.1, grad_max_tol=0.2, "
     "trust_radius=0.1, target_mode=None)", "Locate transition state using Eigenvector Following (P-RFO Baker)."),
    ("irc", "(atomic_numbers, coordinates, step_size=0.1, max_points=50, direction=\"both\")",
     "Trace Intrinsic Reaction Coordinate (IRC) path from a transition state."),
    ("drc", "(atomic_numbers, coordinates, time_step_fs=0.5, total_steps=500, ensemble=\"nve\", temperature_k=298.15, "
     "berendsen_tau_fs=100.0, recording_interval=1)",
     "Propagate Dynamic Reaction Coordinate (DRC) / Born-Oppenheimer Molecular Dynamics."),
    ("meci", "(atomic_numbers, coordinates, active_orbitals=2, target_root=1)", "Run MECI excited state calculation."),
    ("uv_vis_spectrum", "(atomic_numbers, coordinates, active_orbitals=2, min_wavelength_nm=100.0, "
     "max_wavelength_nm=800.0, step_nm=1.0, fwhm_nm=20.0)", "Simulate UV-Vis absorption spectrum."),
    ("pbc", "(atomic_numbers, coordinates, translation_vectors, mers=None, k_grid=None, band_points=40)",
     "Calculate periodic boundary conditions Bloch SCF and band structure."),
]

# Module functions: text signature and the first line of the description;
# where a parameter list follows, it names every parameter in signature order.
FUNCTIONS = {
    "esp_charges": ('(atomic_numbers, coordinates, method="PM6", net_charge=0.0, points_per_shell=64)',
                    "Compute Merz-Singh-Kollman atom-centered Electrostatic Potential (ESP) partial charges."),
    "irc": ("(atomic_numbers, coordinates, method=None, step_size=None, max_points=None, direction=None, "
            "use_nddo=True)", "Trace Intrinsic Reaction Coordinate (IRC) path from a transition state."),
    "drc": ("(atomic_numbers, coordinates, method=None, time_step_fs=None, total_steps=None, ensemble=None, "
            "temperature_k=None, berendsen_tau_fs=None, recording_interval=None, use_nddo=True)",
            "Run Dynamic Reaction Coordinate (DRC) / Born-Oppenheimer Molecular Dynamics."),
    "varnex": ('(atomic_numbers, coordinates, method="PM6", dispersion=None, max_iter=200, max_jacobi_sweeps=50, '
               "energy_tol=1e-7, jacobi_tol=1e-4, cutoff_distance=8.5, damping=1.0, verbose=False)",
               "Perform O(N) linear-scaling localized molecular orbital calculation via VARNEX."),
    "am1_bcc": ('(atomic_numbers, coordinates, method="AM1", use_nddo=True)',
                "Calculate AM1-BCC atomic partial charges."),
}


def test_result_classes_and_calculator_methods_as_documented(qp):
    for name, (doc, attributes) in RESULT_CLASSES.items():
        cls = getattr(qp, name)
        assert cls.__doc__ == doc, name
        declared = [key for key, value in vars(cls).items() if isinstance(value, types.GetSetDescriptorType)]
        assert declared == attributes.split(), name
    calc = qp.QuorinCalculator
    assert calc.__doc__.startswith(
        "Object-oriented QUORIN Calculator class compatible with PyTorch / RDKit / ASE workflows.\n")
    # Declaration order; methods of functions added later may come in between.
    names = [name for name, _, _ in CALCULATOR_METHODS]
    assert [key for key in vars(calc) if key in names] == names
    for name, signature, description in CALCULATOR_METHODS:
        method = getattr(calc, name)
        assert method.__text_signature__ == "($self, " + signature[1:], name
        assert method.__doc__ == description, name
    for name, (signature, description) in FUNCTIONS.items():
        function = getattr(qp, name)
        assert function.__text_signature__ == signature, name
        lines = function.__doc__.splitlines()
        assert lines[0] == description, name
        if len(lines) > 1:
            assert lines[1:3] == ["", "Parameters:"], name
            assert [line.split("`")[1] for line in lines[3:]] == list(inspect.signature(function).parameters), name


def test_installed_module_finds_its_libraries_in_lasting_places(qp):
    # Each run-time search path is relative to the module or a directory that
    # outlives the build: an isolated pip build's environment is deleted after it.
    readelf = shutil.which("readelf") or pytest.skip("readelf (binutils) is not installed")
    dynamic = subprocess.run([readelf, "-d", qp.__file__], capture_output=True, text=True, check=True).stdout
    entries = [e for paths in re.findall(r"\((?:RUNPATH|RPATH)\)[^\[]*\[(.*)\]", dynamic) for e in paths.split(":")]
    assert entries
    for entry in entries:
        assert entry.startswith("$ORIGIN") or os.path.isdir(entry), entry
