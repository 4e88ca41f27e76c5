"""Configuration interaction and UV-vis spectra: registration, defaults,
refusals, and physical behaviour a user relies on (bright and dark states,
conjugation shifts, rotation invariance, band areas)."""
import math
import re

import pytest

from conftest import apply, open_shell_message, read_xyz, rotation

WATER_Z = [8, 1, 1]
WATER_XYZ = [[0.0, 0.0, 0.0], [0.759, 0.588, 0.0], [-0.759, 0.588, 0.0]]
ETHYLENE_Z = [6, 6, 1, 1, 1, 1]
ETHYLENE_XYZ = [[0.6695, 0, 0], [-0.6695, 0, 0], [1.232, 0.929, 0], [1.232, -0.929, 0], [-1.232, 0.929, 0],
                [-1.232, -0.929, 0]]


def butadiene():
    """Planar s-trans-butadiene: C=C 1.34, C-C 1.46, C-H 1.09 angstrom, 120-123 degree angles."""
    def at(origin, degrees, r):
        return (origin[0] + r * math.cos(math.radians(degrees)), origin[1] + r * math.sin(math.radians(degrees)))

    c2 = (0.73, 0.0)
    c1 = at(c2, 57.0, 1.34)
    half = [(6, c1), (6, c2), (1, at(c2, 298.5, 1.09)), (1, at(c1, 357.0, 1.09)), (1, at(c1, 117.0, 1.09))]
    atoms = half + [(z, (-p[0], -p[1])) for z, p in half]
    return [z for z, _ in atoms], [[p[0], p[1], 0.0] for _, p in atoms]


def benzaldehyde(twist_degrees=1.0):
    """Planar benzaldehyde from standard bond lengths (ring C-C 1.39, C-H 1.08,
    C-CHO 1.48, C=O 1.21, formyl C-H 1.10 angstrom, 120 degree angles), the
    formyl group turned out of the ring plane by `twist_degrees`."""
    ring = [(1.39 * math.cos(math.radians(60 * k)), 1.39 * math.sin(math.radians(60 * k))) for k in range(6)]
    z = [6] * 6 + [1] * 5 + [6, 8, 1]
    xyz = [[x, y, 0.0] for x, y in ring]
    xyz += [[x + 1.08 * math.cos(math.radians(60 * k)), y + 1.08 * math.sin(math.radians(60 * k)), 0.0]
            for k, (x, y) in enumerate(ring) if k > 0]
    twist = math.radians(twist_degrees)
    xyz.append([2.87, 0.0, 0.0])
    for r, degrees in ((1.21, 60.0), (1.10, -60.0)):
        across = r * math.sin(math.radians(degrees))
        xyz.append([2.87 + r * math.cos(math.radians(degrees)), across * math.cos(twist), across * math.sin(twist)])
    return z, xyz


def first_bright(result, threshold=1e-2):
    return next(s for s in result.states if s.oscillator_strength > threshold)


def test_signatures_classes_and_defaults(qp):
    assert qp.meci.__text_signature__ == (
        '(atomic_numbers, coordinates, method="PM6", active_orbitals=2, target_root=1, use_nddo=True)')
    assert qp.uv_vis_spectrum.__text_signature__ == (
        '(atomic_numbers, coordinates, method="PM6", active_orbitals=2, min_wavelength_nm=100.0, '
        'max_wavelength_nm=800.0, step_nm=1.0, fwhm_nm=20.0, use_nddo=True)')
    assert qp.meci.__doc__.splitlines()[0] == "Run Multi-Electron Configuration Interaction (MECI) excited state calculation."
    assert qp.CiStatePy.__doc__ == "Single CI electronic state result exposed to Python."
    assert qp.MeciPyResult.__doc__ == "Complete MECI calculation result exposed to Python."
    assert qp.UvVisSpectrumPy.__doc__ == "Simulated UV-Vis spectrum exposed to Python."
    for cls in (qp.CiStatePy, qp.MeciPyResult, qp.UvVisSpectrumPy):
        with pytest.raises(TypeError, match="^No constructor defined for"):
            cls()

    result = qp.meci(WATER_Z, WATER_XYZ, "AM1", None, None, None)
    assert result.num_microstates == 4 and result.target_root == 1 and len(result.states) == 4
    assert [s.spin_label for s in result.states].count("SINGLET") == 3
    first, again = result.states, result.states
    assert first is not again and first[0] is not again[0]
    assert [s.energy_ev for s in first] == [s.energy_ev for s in again]
    assert result.states[0].excitation_energy_ev == 0.0 and result.states[0].wavelength_nm == 0.0
    assert result.ci_energy_correction_ev <= 1e-10  # variational ground root
    gradients = result.gradients_kcal_mol_angstrom
    assert len(gradients) == 3 and all(len(g) == 3 for g in gradients)
    for k in range(3):  # no net force
        assert abs(sum(g[k] for g in gradients)) < 1e-6

    spectrum = qp.uv_vis_spectrum(WATER_Z, WATER_XYZ, "AM1", None, None, None, None, None, None)
    assert len(spectrum.wavelengths_nm) == 701
    assert spectrum.wavelengths_nm[0] == 100.0 and spectrum.wavelengths_nm[-1] == 800.0
    assert len(spectrum.extinction_coefficients) == 701


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (([], []), {}, "atomic_numbers cannot be empty"),
        ((WATER_Z, WATER_XYZ[:2]), {}, "Mismatch between atomic_numbers (3) and coordinates (2)"),
        ((WATER_Z, WATER_XYZ, "XYZ"), {}, "Unsupported semi-empirical method: 'XYZ'"),
        ((WATER_Z, [[0, 0, math.nan]] + WATER_XYZ[1:]), {}, "Non-finite coordinate for atom 0"),
        (([8, 1], WATER_XYZ[:2]), {}, open_shell_message(7)),
        (([8, 1, 1, 92], WATER_XYZ + [[5, 5, 5]], "AM1"), {}, "Unsupported element Z=92"),
        ((WATER_Z, WATER_XYZ, "AM1", 3), {}, "argument 'active_orbitals': must be even (got 3)"),
        ((WATER_Z, WATER_XYZ, "AM1", 10), {}, "argument 'active_orbitals': must be at most 8 (got 10)"),
    ],
)
def test_refused_inputs(qp, args, kwargs, message):
    for function in (qp.meci, qp.uv_vis_spectrum):
        with pytest.raises(ValueError, match="^" + message.replace("(", r"\(").replace(")", r"\)")):
            function(*args, **kwargs)


def test_refused_spectrum_grids_target_roots_and_empty_active_space(qp):
    for kwargs in ({"step_nm": 0.0}, {"step_nm": -1.0}, {"fwhm_nm": 0.0}, {"min_wavelength_nm": math.inf},
                   {"max_wavelength_nm": math.nan}, {"max_wavelength_nm": 1e7, "step_nm": 1e-3},
                   {"min_wavelength_nm": 500.0, "max_wavelength_nm": 400.0},
                   {"min_wavelength_nm": 400.0, "max_wavelength_nm": 400.0}):
        with pytest.raises(ValueError):
            qp.uv_vis_spectrum(WATER_Z, WATER_XYZ, "AM1", **kwargs)
    for root in (0, 5, 99):  # 2 electrons in 2 orbitals: 4 roots
        with pytest.raises(ValueError, match=rf"^argument 'target_root': must lie in \[1, 4\] \(got {root}\)$"):
            qp.meci(WATER_Z, WATER_XYZ, "AM1", 2, root)
    for function in (qp.meci, qp.uv_vis_spectrum):
        with pytest.raises(ValueError, match=r"^argument 'active_orbitals': must be at least 2 \(got 0\)$"):
            function(WATER_Z, WATER_XYZ, "AM1", 0)


@pytest.mark.parametrize("method", ["AM1", "PM6"])
def test_conjugation_red_shift_and_benzene_selection_rules(qp, method):
    ethylene = first_bright(qp.meci(ETHYLENE_Z, ETHYLENE_XYZ, method, 2))
    butadiene_state = first_bright(qp.meci(*butadiene(), method, 4))
    assert butadiene_state.wavelength_nm > ethylene.wavelength_nm

    z, xyz = read_xyz("benzene")
    result = qp.meci(z, xyz, method, 4)
    for state in result.states:
        assert state.oscillator_strength >= 0.0
        if state.multiplicity != 1 or state.root == 1:
            assert state.oscillator_strength < 1e-10
    singlets = [s for s in result.states if s.multiplicity == 1 and s.root > 1]
    bright = next(i for i, s in enumerate(singlets) if s.oscillator_strength > 1e-3)
    assert bright > 0 and all(s.oscillator_strength < 1e-3 for s in singlets[:bright])
    pair = singlets[bright : bright + 2]
    assert abs(pair[0].excitation_energy_ev - pair[1].excitation_energy_ev) < 1e-4  # SCF converged to 1e-6
    summed = pair[0].oscillator_strength + pair[1].oscillator_strength

    turn = rotation([1.0, 2.0, 0.5], 0.7)
    rotated = qp.meci(z, [apply(turn, r) for r in xyz], method, 4)
    rotated_singlets = [s for s in rotated.states if s.multiplicity == 1 and s.root > 1]
    rotated_pair = rotated_singlets[bright : bright + 2]
    assert rotated_pair[0].oscillator_strength + rotated_pair[1].oscillator_strength == pytest.approx(summed, rel=1e-4)


def test_spectrum_band_areas_and_peak(qp):
    # int eps d(wavenumber) = 2.3154e8 sum f for the bands inside the grid
    # (the absorptivity-oscillator strength relation), d(wavenumber) = 1e7 dlambda / lambda^2.
    z, xyz = butadiene()
    lo, hi, step, fwhm = 50.0, 800.0, 0.25, 10.0
    states = qp.meci(z, xyz, "AM1", 4).states
    spectrum = qp.uv_vis_spectrum(z, xyz, "AM1", 4, lo, hi, step, fwhm)
    inside = [s for s in states if s.oscillator_strength > 1e-6 and lo + 4 * fwhm < s.wavelength_nm < hi - 4 * fwhm]
    assert inside
    area = sum(e * 1e7 / (w * w) * step for w, e in zip(spectrum.wavelengths_nm, spectrum.extinction_coefficients))
    assert area == pytest.approx(2.3154e8 * sum(s.oscillator_strength for s in inside), rel=0.01)
    brightest = max(states, key=lambda s: s.oscillator_strength)
    assert abs(spectrum.lambda_max_nm - brightest.wavelength_nm) <= step
    assert spectrum.epsilon_max == max(spectrum.extinction_coefficients)
    assert qp.uv_vis_spectrum(z, xyz, "AM1", 4, use_nddo=False).lambda_max_nm != spectrum.lambda_max_nm


def test_excited_root_gradient_is_the_derivative_of_the_root_energy(qp):
    """Reference: central differences (1e-3 angstrom) of total_energy_ev of the same root."""
    z = [6, 8, 1, 1]
    xyz = [[0.01, 0.02, 0.0], [0.03, -0.01, 1.22], [0.95, 0.05, -0.58], [-0.93, -0.04, -0.61]]
    root = next(s.root for s in qp.meci(z, xyz, "PM6", 4).states if s.spin_label == "SINGLET" and s.root > 1)
    gradient = qp.meci(z, xyz, "PM6", 4, root).gradients_kcal_mol_angstrom
    for atom in range(4):
        for axis in range(3):
            energies = []
            for step in (1e-3, -1e-3):
                moved = [list(r) for r in xyz]
                moved[atom][axis] += step
                energies.append(qp.meci(z, moved, "PM6", 4, root).total_energy_ev)
            difference = (energies[0] - energies[1]) / 2e-3 * 23.06054783061903
            assert gradient[atom][axis] == pytest.approx(difference, abs=0.1), (atom, axis)


# Pyridine from a force-field geometry (the audit's), atom 2 moved along y:
# HOMO-1 and HOMO-2 (AM1) cross at d = 0, where the 4-orbital window swapped
# one for the other; the energy jumped by 9 kcal/mol over 1e-4 angstrom and
# the gradient reached 180,000 kcal/(mol angstrom). Benzaldehyde (PM6), its
# oxygen moved along x: HOMO-1 and HOMO-2 come within 6e-4 eV at +3.3e-3.
PYRIDINE_Z = [6, 6, 6, 7, 6, 6, 1, 1, 1, 1, 1]
PYRIDINE_XYZ = [[-0.38992, 1.11764, 0.02063], [-1.2807, 0.06603, -0.16761], [-0.77694, -1.22486, -0.18427],
                [0.53136, -1.52302, -0.02811], [1.37218, -0.48129, 0.15278], [0.9637, 0.84257, 0.18438],
                [-0.74765, 2.14299, 0.03955], [-2.34147, 0.24699, -0.29819], [-1.43191, -2.0793, -0.32798],
                [2.41805, -0.74726, 0.27582], [1.6833, 1.63952, 0.33299]]
EDGE_REFUSAL = (r"^The active window's edge falls between HOMO-1 \(inside\) and HOMO-2 \(outside\), \S+ eV apart, "
                r"closer than 0.01 eV: the CI states would depend on which of the two the window takes; "
                r"choose another active_orbitals \(2 or 6 keep both edges of the window clear\)$")


@pytest.mark.parametrize("molecule, method, atom, axis, crossing, offsets", [
    ((PYRIDINE_Z, PYRIDINE_XYZ), "AM1", 2, 1, 0.0, (-4.5e-3, -3.5e-3, 0.0, 3.5e-3, 4.5e-3)),
    (benzaldehyde(), "PM6", 12, 0, 3.3e-3, (-0.012, -0.010, 0.0, 0.010, 0.012)),
])
def test_scan_through_an_orbital_crossing_at_the_window_edge(qp, molecule, method, atom, axis, crossing, offsets):
    """Where the crossing MOs lie within 0.01 eV the call is refused; elsewhere
    the gradient is the central difference (1e-4 angstrom) of the reported heat
    of formation, and two points on one side are joined by it (trapezoid rule;
    its error here is below 1e-4 kcal/mol)."""
    z, xyz = molecule

    def at(offset):
        moved = [list(p) for p in xyz]
        moved[atom][axis] += crossing + offset
        return qp.meci(z, moved, method, 4)

    returned = {}
    for offset in offsets:
        try:
            result = at(offset)
        except ValueError as refused:
            assert re.match(EDGE_REFUSAL, str(refused)), str(refused)
            continue
        slope = (at(offset + 1e-4).heat_of_formation_kcal - at(offset - 1e-4).heat_of_formation_kcal) / 2e-4
        gradient = result.gradients_kcal_mol_angstrom[atom][axis]
        assert gradient == pytest.approx(slope, abs=0.01), offset
        returned[offset] = (result.heat_of_formation_kcal, gradient)
    assert 0.0 not in returned
    assert sorted(returned) == sorted(o for o in offsets if o != 0.0)
    for left, right in ((offsets[0], offsets[1]), (offsets[3], offsets[4])):
        (e0, g0), (e1, g1) = returned[left], returned[right]
        assert e1 - e0 == pytest.approx(0.5 * (g0 + g1) * (right - left), abs=1e-3)
    with pytest.raises(ValueError, match=EDGE_REFUSAL):
        moved = [list(p) for p in xyz]
        moved[atom][axis] += crossing
        qp.uv_vis_spectrum(z, moved, method, 4)
