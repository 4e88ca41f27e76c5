"""Vibrational analysis: input checks, the Hessian against finite differences
of single-point gradients, frequencies and thermochemistry against textbook
relations, and the three result classes."""
import math
import pathlib
import random
import re
import runpy

import pytest

from conftest import TIGHT, WATER_XYZ, WATER_Z, open_shell_message

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
W = WATER_XYZ
CO2_Z = [6, 8, 8]
CO2_XYZ = [[0.0, 0.0, 0.0], [0.0, 0.0, 1.19], [0.0, 0.0, -1.19]]
# Planar ammonia: the saddle point of the umbrella inversion.
PLANAR_NH3_Z = [7, 1, 1, 1]
PLANAR_NH3_XYZ = [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [-0.5, 0.8660254, 0.0], [-0.5, -0.8660254, 0.0]]
WATER_TABLE_MASSES = [15.9994, 1.0079, 1.0079]  # amu, the engine's mass table for O and H

# CODATA 2018 exact or recommended values.
H_PLANCK = 6.62607015e-34  # J s
K_BOLTZMANN = 1.380649e-23  # J/K
N_AVOGADRO = 6.02214076e23  # 1/mol
C_CM = 2.99792458e10  # cm/s
AMU_KG = 1.66053906660e-27
ATM_PA = 101325.0
CAL_J = 4.184
R_CAL = K_BOLTZMANN * N_AVOGADRO / CAL_J  # cal/(mol K)
# One wavenumber as a molar energy, kcal/mol.
WAVENUMBER_KCAL = H_PLANCK * C_CM * N_AVOGADRO / CAL_J / 1000.0


@pytest.fixture(scope="module")
def water_vib(qp):
    return qp.frequencies(WATER_Z, W, "AM1")


@pytest.mark.parametrize(
    "numbers, coords, kwargs, message",
    [
        (WATER_Z, W, {"method": "pm8"},
         "Unsupported semi-empirical method: 'PM8'. Supported methods: PM7, PM6, AM1, RM1, PM3, MNDO"),
        ([], [], {}, "atomic_numbers cannot be empty"),
        ([8, 1], W, {}, "Mismatch between atomic_numbers (2) and coordinates (3)"),
        (WATER_Z, W, {"method": "pm7"}, "Unsupported element Z=8 for semi-empirical method 'pm7'"),
        ([1], [[0, 0, 0]], {}, open_shell_message(1)),
        (WATER_Z, [W[0], W[1], [math.inf, 0, 0]], {},
         "Non-finite coordinate for atom 2 (Z=1): coordinates must be finite numbers"),
        # Conditions the analysis cannot use are refused before any SCF.
        (WATER_Z, W, {"temperature_k": math.nan}, "argument 'temperature_k': must lie in (0.0, 1000000.0] K (got NaN)"),
        (WATER_Z, W, {"pressure_atm": math.inf},
         "argument 'pressure_atm': must lie in [1e-10, 10000000000.0] atm (got inf)"),
        (WATER_Z, W, {"rotational_symmetry_number": 0},
         "argument 'rotational_symmetry_number': must be a whole number from 1 to 60 (got 0.0)"),
        (WATER_Z, W, {"step_size_angstrom": 0.0},
         "argument 'step_size_angstrom': must lie in [1e-5, 0.1] angstrom (got 0.0)"),
        # Values that gave numbers as if they were sound: a step doubles
        # cannot resolve (water minimum: a -5084 cm^-1 mode), a symmetry number
        # below one rotation (S_rot of 1385 cal/(mol K) at 1e-300), or one
        # that is no order of a rotation group (a fraction; more than the 60
        # of the icosahedral group, the most three atoms can have: 1e300
        # zeroed the rotational entropy).
        (WATER_Z, W, {"step_size_angstrom": 1e-12},
         "argument 'step_size_angstrom': must lie in [1e-5, 0.1] angstrom (got 1e-12)"),
        (WATER_Z, W, {"rotational_symmetry_number": 0.5},
         "argument 'rotational_symmetry_number': must be a whole number from 1 to 60 (got 0.5)"),
        (WATER_Z, W, {"rotational_symmetry_number": 2.5},
         "argument 'rotational_symmetry_number': must be a whole number from 1 to 60 (got 2.5)"),
        (WATER_Z, W, {"rotational_symmetry_number": 1e300},
         "argument 'rotational_symmetry_number': must be a whole number from 1 to 60 (got 1e300)"),
        # A mass list of the wrong length is refused rather than silently ignored.
        (WATER_Z, W, {"custom_masses": [16.0, 1.0]},
         "argument 'custom_masses': must hold one mass per atom: got 2 for 3 atoms"),
        (WATER_Z, W, {"custom_masses": [16.0, 1.0, 1.0, 1.0]},
         "argument 'custom_masses': must hold one mass per atom: got 4 for 3 atoms"),
        (WATER_Z, W, {"custom_masses": [16.0, 0.0, 1.0]},
         "argument 'custom_masses': item 1 must lie in [0.001, 1000000.0] u (got 0.0)"),
        (WATER_Z, W, {"custom_masses": [math.nan, 1.0, 1.0]},
         "argument 'custom_masses': item 0 must lie in [0.001, 1000000.0] u (got NaN)"),
    ],
)
def test_refused_input(qp, numbers, coords, kwargs, message):
    with pytest.raises(ValueError) as info:
        qp.frequencies(numbers, coords, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("temperature", [0.0, -10.0])
def test_non_positive_temperature_is_refused(qp, temperature):
    with pytest.raises(ValueError) as info:
        qp.frequencies(WATER_Z, W, "AM1", temperature_k=temperature)
    assert str(info.value) == f"argument 'temperature_k': must lie in (0.0, 1000000.0] K (got {temperature})"


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"custom_masses": "16 1 1"}, TypeError, "argument 'custom_masses'"),
        ({"custom_masses": 16.0}, TypeError, "argument 'custom_masses'"),
        ({"custom_masses": [16.0, "1", 1.0]}, TypeError, "argument 'custom_masses'"),
        ({"project_external": 1}, TypeError, "argument 'project_external'"),
        ({"temperature_k": "hot"}, TypeError, "argument 'temperature_k'"),
        ({"rotational_symmetry_number": True}, TypeError, "argument 'rotational_symmetry_number'"),
    ],
)
def test_argument_conversion_errors(qp, kwargs, error, text):
    with pytest.raises(error) as info:
        qp.frequencies(WATER_Z, W, **kwargs)
    assert text in str(info.value)


def test_step_default_differs_between_omitted_and_none(qp):
    def hessian(*args, **kwargs):
        return qp.frequencies(WATER_Z, W, "AM1", *args, **kwargs).cartesian_hessian

    omitted = hessian()
    assert hessian(step_size_angstrom=0.005) == omitted
    as_none = hessian(step_size_angstrom=None)
    assert as_none == hessian(step_size_angstrom=0.001)
    assert as_none == hessian(298.15, 1.0, 1.0, None)  # None given by position
    assert as_none != omitted


def test_none_arguments_equal_the_defaults(qp, water_vib):
    nones = qp.frequencies(WATER_Z, W, "AM1", temperature_k=None, pressure_atm=None,
                           rotational_symmetry_number=None, project_external=None, use_nddo=None,
                           custom_masses=None)
    assert nones.to_dict() == water_vib.to_dict()


def test_hessian_matches_finite_differences_of_single_point_gradients(qp, water_vib):
    hessian = water_vib.cartesian_hessian
    n = 3 * len(WATER_Z)
    assert len(hessian) == n and all(len(row) == n for row in hessian)
    for i in range(n):
        for j in range(n):
            assert hessian[i][j] == hessian[j][i]
    # Translational invariance: moving every atom alike costs no force.
    for i in range(n):
        for axis in range(3):
            assert abs(sum(hessian[i][3 * b + axis] for b in range(3))) < 0.5
    step = 0.005
    for j in (1, 5, 6):
        atom, axis = divmod(j, 3)
        gradients = []
        for sign in (1, -1):
            moved = [list(r) for r in W]
            moved[atom][axis] += sign * step
            result = qp.calculate(WATER_Z, moved, "AM1", **TIGHT)
            gradients.append([g for row in result.gradients_kcal_mol_angstrom for g in row])
        column = [(p - m) / (2 * step) for p, m in zip(*gradients)]
        for i in range(n):
            assert hessian[i][j] == pytest.approx(column[i], abs=0.05 + 1e-4 * abs(column[i]))


def test_water_frequencies_and_modes(water_vib):
    vib = water_vib.vibrational_frequencies_cm1
    assert len(water_vib.all_frequencies_cm1) == 9 and len(vib) == 3
    assert water_vib.all_frequencies_cm1 == sorted(water_vib.all_frequencies_cm1)
    assert all(f > 1000.0 for f in vib)
    assert sum(abs(f) < 1.0 for f in water_vib.all_frequencies_cm1) == 6
    assert not water_vib.is_transition_state
    # Zero-point energy: half of h c times the sum of wavenumbers, per mole.
    assert water_vib.zpve_kcal_mol == pytest.approx(0.5 * WAVENUMBER_KCAL * sum(vib), rel=1e-6)
    assert water_vib.thermo.zpve_kcal_mol == water_vib.zpve_kcal_mol
    modes = water_vib.normal_modes
    assert len(modes) == 9
    for mode, frequency in zip(modes, water_vib.all_frequencies_cm1):
        assert mode.frequency_cm1 == frequency
        assert len(mode.displacements) == 3
        assert sum(d * d for row in mode.displacements for d in row) == pytest.approx(1.0, abs=1e-9)
        if frequency > 100.0:
            # k = 4 pi^2 c^2 mu nu^2, converted from N/m to mdyn/angstrom.
            k = 4 * math.pi ** 2 * C_CM ** 2 * mode.reduced_mass_amu * AMU_KG * frequency ** 2 / 100.0
            assert mode.force_constant_mdyne_a == pytest.approx(k, rel=1e-4)


def test_uniform_mass_scaling_scales_frequencies(qp, water_vib):
    # The Hessian does not depend on the masses; four times every mass halves
    # every frequency, and the table masses given explicitly change nothing.
    table = qp.frequencies(WATER_Z, W, "AM1", custom_masses=WATER_TABLE_MASSES)
    assert table.to_dict() == water_vib.to_dict()
    heavy = qp.frequencies(WATER_Z, W, "AM1", custom_masses=tuple(4 * m for m in WATER_TABLE_MASSES))
    assert heavy.cartesian_hessian == water_vib.cartesian_hessian
    for f_heavy, f in zip(heavy.vibrational_frequencies_cm1, water_vib.vibrational_frequencies_cm1):
        assert f_heavy == pytest.approx(0.5 * f, rel=1e-9)


def test_extreme_masses_keep_three_rotations(qp):
    # Any mix of accepted masses leaves 3N - 6 vibrations: a heavy atom at the
    # mass centre does not make bent water linear. Reference: masses 1e5
    # times lighter at the heavy end, where the frequencies have reached the
    # infinite-mass limit to well within 0.1 cm^-1 (they move by O(m_H/m)).
    for limit, extreme in (([1e5, 1, 1], [1e6, 1, 1]), ([1e-3, 1e5, 1e-3], [1e-3, 1e6, 1e-3])):
        reference = qp.frequencies(WATER_Z, W, "AM1", custom_masses=limit)
        v = qp.frequencies(WATER_Z, W, "AM1", custom_masses=extreme)
        assert len(v.vibrational_frequencies_cm1) == 3
        assert v.vibrational_frequencies_cm1 == pytest.approx(reference.vibrational_frequencies_cm1, abs=0.1)
        assert v.zpve_kcal_mol == pytest.approx(reference.zpve_kcal_mol, abs=1e-3)


def test_thermochemistry_follows_ideal_gas_relations(qp, water_vib):
    t = water_vib.thermo
    temperature, rt = 298.15, R_CAL * 298.15
    assert (t.temperature_k, t.pressure_atm) == (temperature, 1.0)
    assert t.e_trans_cal_mol == pytest.approx(1.5 * rt, rel=1e-6)
    assert t.e_rot_cal_mol == pytest.approx(1.5 * rt, rel=1e-6)  # non-linear rotor
    assert t.cv_rot_cal_k_mol == pytest.approx(1.5 * R_CAL, rel=1e-6)
    assert t.cp_trans_cal_k_mol == pytest.approx(2.5 * R_CAL, rel=1e-6)
    assert t.enthalpy_thermal_cal_mol == pytest.approx(t.e_vib_cal_mol + t.e_rot_cal_mol + t.e_trans_cal_mol + rt,
                                                       rel=1e-9)
    assert t.cp_total_cal_k_mol == pytest.approx(t.cv_vib_cal_k_mol + t.cv_rot_cal_k_mol + t.cp_trans_cal_k_mol,
                                                 rel=1e-9)
    assert t.entropy_total_cal_k_mol == pytest.approx(
        t.entropy_vib_cal_k_mol + t.entropy_rot_cal_k_mol + t.entropy_trans_cal_k_mol, rel=1e-9)
    assert t.gibbs_correction_kcal_mol == pytest.approx(
        t.zpve_kcal_mol + (t.enthalpy_thermal_cal_mol - temperature * t.entropy_total_cal_k_mol) / 1000.0, rel=1e-9)
    # Sackur-Tetrode entropy of the total mass at 1 atm.
    mass = sum(WATER_TABLE_MASSES) * AMU_KG
    kt = K_BOLTZMANN * temperature
    q_trans = (2 * math.pi * mass * kt / H_PLANCK ** 2) ** 1.5 * kt / ATM_PA
    assert t.entropy_trans_cal_k_mol == pytest.approx(R_CAL * (math.log(q_trans) + 2.5), abs=2e-3)

    # A symmetry number of 2 removes R ln 2 from the rotational entropy, a
    # doubled pressure removes it from the translational entropy.
    t2 = qp.frequencies(WATER_Z, W, "AM1", rotational_symmetry_number=2, pressure_atm=2.0).thermo
    assert t2.entropy_rot_cal_k_mol == pytest.approx(t.entropy_rot_cal_k_mol - R_CAL * math.log(2), abs=1e-6)
    assert t2.entropy_trans_cal_k_mol == pytest.approx(t.entropy_trans_cal_k_mol - R_CAL * math.log(2), abs=1e-6)
    assert t2.entropy_vib_cal_k_mol == t.entropy_vib_cal_k_mol


def test_linear_molecule_has_3n_minus_5_modes(qp):
    co2 = qp.frequencies(CO2_Z, CO2_XYZ, "AM1")
    vib = co2.vibrational_frequencies_cm1
    assert len(vib) == 4 and len(co2.all_frequencies_cm1) == 9
    assert vib[0] == pytest.approx(vib[1], rel=1e-6)  # the degenerate bend
    assert all(f > 100.0 for f in vib)
    assert co2.thermo.e_rot_cal_mol == pytest.approx(R_CAL * 298.15, rel=1e-6)  # linear rotor: RT
    assert co2.thermo.cv_rot_cal_k_mol == pytest.approx(R_CAL, rel=1e-6)
    assert repr(co2).startswith("<VibrationalResult num_vib=4, ")


def test_saddle_point_is_flagged(qp):
    planar = qp.frequencies(PLANAR_NH3_Z, PLANAR_NH3_XYZ, "AM1")
    assert planar.vibrational_frequencies_cm1[0] < -10.0
    assert planar.vibrational_frequencies_cm1[1] > 0.0
    assert planar.is_transition_state
    assert repr(planar).endswith("is_TS=true>")
    assert "exactly one vibrational frequency" in qp.VibrationalResultPy.is_transition_state.__doc__


@pytest.fixture(scope="module")
def tour_is_minimum():
    """The tour's test of a minimum (examples/tour.py, read without running it)."""
    return runpy.run_path(str(EXAMPLES / "tour.py"))["is_minimum"]


@pytest.mark.parametrize("off_axis", [0.0, 2e-5, 2e-4])
def test_linear_water_is_a_second_order_saddle(qp, tour_is_minimum, off_axis):
    """Linear water (also bent by a few 1e-5 angstrom, still linear to the
    linearity test, or by 2e-4 angstrom, a bend far below what the Hessian
    step resolves) curves down along both bends: two imaginary frequencies,
    so it is neither a transition state nor a minimum."""
    linear = [[off_axis, 0.0, 0.0], [0.0, 0.0, 0.96], [0.0, 0.0, -0.96]]
    vib = qp.frequencies(WATER_Z, linear, "AM1")
    assert len(vib.vibrational_frequencies_cm1) == 4
    assert sum(1 for nu in vib.vibrational_frequencies_cm1 if nu < -10.0) == 2
    assert not vib.is_transition_state
    assert not tour_is_minimum(vib)


def test_tour_calls_the_water_minimum_a_minimum(water_vib, tour_is_minimum):
    assert tour_is_minimum(water_vib)


# Linear molecules along z (angstrom), from typical bond lengths.
LINEAR_MOLECULES = {
    "acetylene": ([6, 6, 1, 1], [[0, 0, 0.6], [0, 0, -0.6], [0, 0, 1.66], [0, 0, -1.66]]),
    "cyanoacetylene": ([1, 6, 6, 6, 7], [[0, 0, -1.06], [0, 0, 0], [0, 0, 1.21], [0, 0, 2.58], [0, 0, 3.74]]),
    "carbon dioxide": (CO2_Z, CO2_XYZ),
}


def test_optimised_linear_molecules_keep_both_components_of_every_bend(qp):
    """The default optimisation of a linear molecule stops a little off
    linear (acetylene at 179.77 degrees); there the rotation about the long
    axis is no symmetry of the energy, and the analysis must not remove it
    as one: 3N - 5 vibrations, degenerate bends in pairs. A molecule bent by
    3 degrees keeps 3N - 6."""
    rng = random.Random(7)
    for name, (numbers, coords) in LINEAR_MOLECULES.items():
        for _ in range(8):
            start = [[c + rng.uniform(-0.04, 0.04) for c in row] for row in coords]
            vib = qp.frequencies(numbers, qp.optimize(numbers, start).coordinates)
            assert len(vib.vibrational_frequencies_cm1) == 3 * len(numbers) - 5, (name, start)
    turned = math.radians(3.0)
    bent = [[0.0, 0.0, 0.0], [0.0, 0.0, 0.96], [0.0, 0.96 * math.sin(turned), -0.96 * math.cos(turned)]]
    assert len(qp.frequencies(WATER_Z, bent, "AM1").vibrational_frequencies_cm1) == 3


def test_result_classes(qp, water_vib):
    v = water_vib
    assert re.fullmatch(r"<VibrationalResult num_vib=3, ZPVE=\d+\.\d{2} kcal/mol, is_TS=false>", repr(v))
    mode = v.normal_modes[-1]
    assert repr(mode) == (f"<NormalMode freq={mode.frequency_cm1:.1f} cm^-1, mass={mode.reduced_mass_amu:.3f} amu, "
                          f"k={mode.force_constant_mdyne_a:.3f} mdyne/A>")
    t = v.thermo
    assert repr(t) == (f"<Thermodynamics T=298.15 K, ZPVE={t.zpve_kcal_mol:.2f} kcal/mol, "
                       f"S\u00b0={t.entropy_total_cal_k_mol:.2f} cal/(mol\u00b7K), "
                       f"H_thermal={t.enthalpy_thermal_cal_mol:.2f} cal/mol, G_corr={t.gibbs_correction_kcal_mol:.2f} "
                       f"kcal/mol>")

    d = v.to_dict()
    assert list(d) == ["all_frequencies_cm1", "vibrational_frequencies_cm1", "zpve_kcal_mol", "is_transition_state",
                       "thermo", "cartesian_hessian", "normal_modes"]
    assert d["thermo"] == t.to_dict()
    assert d["normal_modes"] == [m.to_dict() for m in v.normal_modes]
    assert d["cartesian_hessian"] == v.cartesian_hessian
    assert list(mode.to_dict()) == ["frequency_cm1", "reduced_mass_amu", "force_constant_mdyne_a", "displacements"]
    thermo_keys = list(t.to_dict())
    assert len(thermo_keys) == 16 and thermo_keys[:3] == ["temperature_k", "pressure_atm", "zpve_kcal_mol"]
    assert thermo_keys[-1] == "gibbs_correction_kcal_mol"
    assert all(t.to_dict()[k] == getattr(t, k) for k in thermo_keys)

    # Fresh values on every read; nothing can be set.
    assert v.thermo is not v.thermo and v.normal_modes[0] is not v.normal_modes[0]
    hessian = v.cartesian_hessian
    hessian[0][0] = 1e9
    assert v.cartesian_hessian[0][0] != 1e9
    for obj, name in ((v, "zpve_kcal_mol"), (mode, "frequency_cm1"), (t, "temperature_k")):
        with pytest.raises(AttributeError):
            setattr(obj, name, 0.0)
    for cls in ("VibrationalResultPy", "NormalModePy", "ThermodynamicsPy"):
        with pytest.raises(TypeError, match=f"No constructor defined for {cls}"):
            getattr(qp, cls)()
    assert qp.frequencies.__text_signature__.startswith('(atomic_numbers, coordinates, method="PM6", ')
    assert qp.frequencies.__text_signature__.endswith("step_size_angstrom=0.005, project_external=True, "
                                                      "use_nddo=True, custom_masses=None)")
