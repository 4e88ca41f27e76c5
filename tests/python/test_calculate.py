"""The single-point road: input checks, invariances, gradients against finite
differences of the energy, charges, corrections and solvent."""
import math

import pytest

from conftest import TIGHT, WATER_XYZ, WATER_Z, apply, open_shell_message, read_xyz, rotation

KCAL_PER_EV = 23.06054783061903  # kcal/mol per eV
W = WATER_XYZ


@pytest.mark.parametrize(
    "numbers, coords, kwargs, message",
    [
        ([], W, {}, "atomic_numbers cannot be empty"),
        ([8, 1], W, {}, "Mismatch between atomic_numbers (2) and coordinates (3)"),
        (WATER_Z, W, {"method": "pm8"},
         "Unsupported semi-empirical method: 'PM8'. Supported methods: PM7, PM6, AM1, RM1, PM3, MNDO"),
        # The element message keeps the method name as written.
        (WATER_Z, W, {"method": "pm7"}, "Unsupported element Z=8 for semi-empirical method 'pm7'"),
        ([8, 1, 2], W, {}, "Unsupported element Z=2 for semi-empirical method 'PM6'"),
        ([1], [[0, 0, 0]], {}, open_shell_message(1)),
        ([8, 1], W[:2], {}, open_shell_message(7)),
        # Non-finite input is refused before the engine runs, naming the atom.
        (WATER_Z, [W[0], [math.nan, 0, 0], W[2]], {},
         "Non-finite coordinate for atom 1 (Z=1): coordinates must be finite numbers"),
        (WATER_Z, [W[0], W[1], [0, 0, -math.inf]], {},
         "Non-finite coordinate for atom 2 (Z=1): coordinates must be finite numbers"),
        (WATER_Z, W, {"cosmo_eps": math.inf},
         "argument 'cosmo_eps': must be a finite number of at least 1.0 (got inf)"),
        (WATER_Z, W, {"damping": math.nan}, "argument 'damping': must lie in [0.0, 1.0) (got NaN)"),
        # Settings under which "converged" would not mean converged (bounds in arguments.h).
        (WATER_Z, W, {"level_shift_ev": 1e6}, "argument 'level_shift_ev': must lie in [0.0, 100.0] eV (got 1000000.0)"),
        (WATER_Z, W, {"energy_tol_ev": -1}, "argument 'energy_tol_ev': must lie in (0.0, 0.1] eV (got -1.0)"),
        (WATER_Z, W, {"density_tol": math.nan}, "argument 'density_tol': must lie in (0.0, 0.01] (got NaN)"),
        (WATER_Z, W, {"dispersion": "d4"},
         "argument 'dispersion': Unknown dispersion model 'D4'. Supported: 'PM6-DH+', 'PM7', 'D3-BJ'"),
    ],
)
def test_refused_input(qp, numbers, coords, kwargs, message):
    with pytest.raises(ValueError) as info:
        qp.calculate(numbers, coords, **kwargs)
    assert str(info.value) == message


def test_energy_is_invariant_under_rigid_motion(qp):
    # Rotating and translating the molecule leaves energies, heat and charges
    # unchanged and turns gradients and dipole with it.
    for name, method in [("water", "PM6"), ("benzene", "AM1")]:
        numbers, coords = read_xyz(name)
        ref = qp.calculate(numbers, coords, method, **TIGHT)
        r = rotation([0.3, -1.0, 0.6], 1.1)
        moved_coords = [[c + t for c, t in zip(apply(r, xyz), [2.5, -7.0, 13.0])] for xyz in coords]
        moved = qp.calculate(numbers, moved_coords, method, **TIGHT)
        assert moved.total_energy_ev == pytest.approx(ref.total_energy_ev, abs=1e-7)
        assert moved.heat_of_formation_kcal == pytest.approx(ref.heat_of_formation_kcal, abs=1e-5)
        assert moved.atomic_charges == pytest.approx(ref.atomic_charges, abs=1e-6)
        assert moved.mulliken_charges == pytest.approx(ref.mulliken_charges, abs=1e-6)
        for g_ref, g_moved in zip(ref.gradients_ev_angstrom, moved.gradients_ev_angstrom):
            assert g_moved == pytest.approx(apply(r, g_ref), abs=2e-5)
        assert moved.dipole_debye[:3] == pytest.approx(apply(r, ref.dipole_debye[:3]), abs=1e-5)


@pytest.mark.parametrize(
    "kwargs",
    [{}, {"use_nddo": False}, {"method": "AM1"}, {"method": "MNDO"}, {"dispersion": "D3-BJ", "h_bonds": True}],
)
def test_gradient_equals_finite_difference_of_total_energy(qp, kwargs):
    # Central differences of the reported total energy with h = 1e-3 angstrom;
    # the SCF is converged tightly so the variational energy is smooth.
    options = dict(TIGHT, **kwargs)
    result = qp.calculate(WATER_Z, W, **options)
    h = 1e-3
    for atom in range(3):
        for k in range(3):
            plus = [row[:] for row in W]
            minus = [row[:] for row in W]
            plus[atom][k] += h
            minus[atom][k] -= h
            fd = (qp.calculate(WATER_Z, plus, **options).total_energy_ev
                  - qp.calculate(WATER_Z, minus, **options).total_energy_ev) / (2 * h)
            assert result.gradients_ev_angstrom[atom][k] == pytest.approx(fd, abs=1e-4)
    sums = [sum(row[k] for row in result.gradients_ev_angstrom) for k in range(3)]
    assert sums == pytest.approx([0.0, 0.0, 0.0], abs=1e-10)


def test_correction_gradients_match_their_energies(qp):
    # Two hydrogen molecules 1.7 angstrom apart: the H-H repulsion and the
    # dispersion act between them. The SCF part is the same with and without
    # corrections, so energy and gradient differences are the corrections alone.
    numbers = [1, 1, 1, 1]
    coords = [[0.0, 0.0, 0.0], [0.74, 0.0, 0.0], [0.2, 1.7, 0.1], [0.9, 1.9, 0.3]]
    options = {"dispersion": "pm6-dh+", "h_bonds": True}

    def correction(xyz):
        return qp.calculate(numbers, xyz, **options).total_energy_ev - qp.calculate(numbers, xyz).total_energy_ev

    with_c = qp.calculate(numbers, coords, **options)
    without = qp.calculate(numbers, coords)
    assert with_c.binding_energy_ev == without.binding_energy_ev
    x_kcal = (with_c.total_energy_ev - without.total_energy_ev) * KCAL_PER_EV
    assert abs(x_kcal) > 0.1
    assert with_c.heat_of_formation_kcal - without.heat_of_formation_kcal == pytest.approx(x_kcal, abs=1e-9)
    h = 1e-5
    for atom in range(4):
        for k in range(3):
            plus = [row[:] for row in coords]
            minus = [row[:] for row in coords]
            plus[atom][k] += h
            minus[atom][k] -= h
            fd = (correction(plus) - correction(minus)) / (2 * h)
            analytic = with_c.gradients_ev_angstrom[atom][k] - without.gradients_ev_angstrom[atom][k]
            assert analytic == pytest.approx(fd, abs=1e-7)
    for ev_row, kcal_row in zip(with_c.gradients_ev_angstrom, with_c.gradients_kcal_mol_angstrom):
        assert kcal_row == pytest.approx([g * KCAL_PER_EV for g in ev_row], rel=1e-12, abs=1e-12)


def test_dispersion_names(qp):
    base = qp.calculate(WATER_Z, W).total_energy_ev
    groups = [["DH+", "pm6-dh+", "Pm6_Dh+"], ["PM7", "pm7"], ["D3", "d3bj", "D3-BJ", "pm6-d3", "AM1-D3"]]
    energies = []
    for names in groups:
        values = {qp.calculate(WATER_Z, W, dispersion=n).total_energy_ev for n in names}
        assert len(values) == 1
        energies.append(values.pop())
    # Three distinct forms, each lowering the energy (attractive).
    assert len(set(energies)) == 3 and all(e < base for e in energies)


def test_charges_sum_to_zero(qp):
    for name in ["water", "benzene", "aspirin"]:
        numbers, coords = read_xyz(name)
        r = qp.calculate(numbers, coords, "AM1")
        assert sum(r.atomic_charges) == pytest.approx(0.0, abs=1e-6)
        assert sum(r.mulliken_charges) == pytest.approx(0.0, abs=1e-6)
    h2 = qp.calculate([1, 1], [[0, 0, 0], [0.2, 0.3, 0.6]])
    assert h2.atomic_charges == pytest.approx([0.0, 0.0], abs=1e-10)
    assert h2.mulliken_charges == pytest.approx([0.0, 0.0], abs=1e-10)
    assert h2.dipole_debye == pytest.approx([0.0] * 4, abs=1e-9)


def test_unconverged_scf_returns_a_full_result(qp):
    r = qp.calculate(WATER_Z, W, max_iter=1)
    assert r.converged is False and r.scf_iterations == 1
    assert len(r.gradients_ev_angstrom) == 3 and all(math.isfinite(v) for v in r.atomic_charges)


def test_solvent(qp, water):
    # A dielectric constant of 1 screens nothing: the gas-phase result.
    vacuum = qp.calculate(WATER_Z, W, cosmo_eps=1.0)
    assert vacuum.total_energy_ev == pytest.approx(water.total_energy_ev, abs=1e-6)
    # Water in water is stabilised and more polarised.
    solvated = qp.calculate(WATER_Z, W, cosmo_eps=78.4)
    assert solvated.total_energy_ev < water.total_energy_ev - 0.05
    assert solvated.dipole_debye[3] > water.dipole_debye[3]
    assert qp.calculate(WATER_Z, W, cosmo_eps=None).to_dict() == water.to_dict()
