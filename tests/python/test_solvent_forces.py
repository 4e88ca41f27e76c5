"""Forces in a dielectric continuum and with the hydrogen-bond corrections:
the reported gradient is the derivative of the reported total energy, for
every way the engine is driven."""
import numpy as np
import pytest

from conftest import TIGHT, WATER_XYZ, WATER_Z

# Hand-built geometries from standard bond lengths and angles (angstrom), not
# minima, with small out-of-plane offsets so that no component vanishes by
# symmetry.
ETHANOL = ([6, 6, 8, 1, 1, 1, 1, 1, 1],
           [[0.0, 0.0, 0.0], [1.515, 0.01, -0.02], [2.03, 1.35, 0.03], [2.99, 1.30, 0.08],
            [-0.39, 1.02, 0.01], [-0.38, -0.51, 0.89], [-0.40, -0.52, -0.87],
            [1.89, -0.52, 0.89], [1.90, -0.51, -0.90]])
GLYCINE = ([7, 6, 6, 8, 8, 1, 1, 1, 1, 1],
           [[0.0, 0.0, 0.0], [1.46, 0.01, 0.02], [2.00, 1.42, -0.01], [1.30, 2.40, 0.03], [3.34, 1.50, -0.02],
            [3.62, 2.42, 0.04], [-0.35, -0.47, -0.81], [-0.34, 0.95, 0.05], [1.82, -0.52, 0.89],
            [1.83, -0.50, -0.90]])
ACETIC_ACID = ([6, 6, 8, 8, 1, 1, 1, 1],
               [[0.0, 0.0, 0.0], [1.50, 0.02, 0.01], [2.10, 1.05, -0.02], [2.18, -1.16, 0.03],
                [3.13, -1.02, 0.05], [-0.37, 1.02, 0.02], [-0.36, -0.52, 0.89], [-0.36, -0.50, -0.90]])
# Donor O-H pointing at the acceptor oxygen, O...O 2.93.
WATER_DIMER = ([8, 1, 1, 8, 1, 1],
               [[0.0, 0.0, 0.0], [0.96, 0.02, 0.01], [-0.2404, 0.9294, 0.03],
                [2.93, 0.05, -0.02], [3.5875, 0.03, 0.7592], [3.57, -0.04, -0.7592]])
# Cyclic, centrosymmetric before the offsets; O...O 2.65, H...O 1.66 (inside
# the neighbour-switching range of the acceptor oxygen).
_FORMIC = [[-2.0, 0.0], [-1.4, 1.05], [-1.25, -1.15], [-3.1, 0.05], [-0.2606, -1.1127]]
FORMIC_ACID_DIMER = ([6, 8, 8, 1, 1] * 2,
                     [[x, y, dz] for (x, y), dz in zip(_FORMIC + [[-x, -y] for x, y in _FORMIC],
                                                        [0.01, -0.02, 0.03, 0.0, 0.02, -0.01, 0.02, -0.03, 0.01, 0.0])])

# A force-field geometry (from the audit that found it) whose cavity has two
# segments of one carbon 0.012 angstrom apart: as two point charges they made
# the segment interaction matrix indefinite and every method and permittivity
# stopped. Joined into one segment, the molecule is solvated.
ANILINE = ([7, 6, 6, 6, 6, 6, 6, 1, 1, 1, 1, 1, 1, 1],
           [[2.27203, -0.35686, 0.31715], [0.91402, -0.11855, 0.07268], [0.30704, 1.04748, 0.54645],
            [-1.07016, 1.24147, 0.41049], [-1.8601, 0.24873, -0.16432], [-1.27436, -0.94299, -0.58461],
            [0.10335, -1.13153, -0.44617], [2.68483, -1.03937, -0.31045], [2.82776, 0.48961, 0.38605],
            [0.90356, 1.81815, 1.02677], [-1.52555, 2.16133, 0.76703], [-2.93206, 0.39497, -0.26537],
            [-1.88957, -1.73282, -1.0069], [0.5392, -2.07964, -0.74881]])

STEP = 1e-4  # angstrom


def finite_difference_check(energy, numbers, coordinates, analytic, tolerance):
    """Compares `analytic` with central differences of `energy` and returns
    the coordinates where the energy steps.

    The cavity is piecewise rigid: where a fine grid point of one sphere crosses
    another atom's solvent sphere inside the +-STEP window, the energy jumps
    (by about 1e-5 eV) and the central difference is off by jump / (2 STEP).
    The analytic slope is then the one-sided difference of the smooth side
    (truncation error STEP |E''| / 2, below 0.005 eV/angstrom here)."""
    e0 = energy(numbers, coordinates)
    steps = []
    for atom in range(len(numbers)):
        for axis in range(3):
            displaced = []
            for sign in (1, -1):
                moved = [list(p) for p in coordinates]
                moved[atom][axis] += sign * STEP
                displaced.append(energy(numbers, moved))
            central = (displaced[0] - displaced[1]) / (2 * STEP)
            right, left = (displaced[0] - e0) / STEP, (e0 - displaced[1]) / STEP
            g = analytic[atom][axis]
            if abs(g - central) <= tolerance:
                continue
            assert min(abs(g - right), abs(g - left)) < 0.01, (atom, axis, g, central, right, left)
            steps.append((atom, axis))
    return steps


CASES = [(name, molecule, method, eps)
         for name, molecule in [("water", (WATER_Z, WATER_XYZ)), ("ethanol", ETHANOL), ("glycine", GLYCINE),
                                ("acetic acid", ACETIC_ACID), ("aniline", ANILINE)]
         for method in ("PM6", "AM1") for eps in (78.4, 4.8)]


@pytest.mark.parametrize("name,molecule,method,eps", CASES)
def test_solvated_gradient_is_derivative_of_total_energy(qp, name, molecule, method, eps):
    settings = dict(method=method, cosmo_eps=eps, **TIGHT)
    result = qp.calculate(*molecule, **settings)
    assert result.converged

    def energy(numbers, coordinates):
        return qp.calculate(numbers, coordinates, **settings).total_energy_ev

    # Tolerance: the SCF is converged to 1e-11 eV, so the central difference
    # carries less than 1e-6 eV/angstrom of noise; the gradient left out the
    # whole dielectric term before (errors of 0.05 to 0.5 eV/angstrom).
    steps = finite_difference_check(energy, *molecule, result.gradients_ev_angstrom, 1e-3)
    # One crossing point moves with two atoms: six coordinates.
    assert len(steps) <= 6, steps


@pytest.mark.parametrize("name,molecule", [("water dimer", WATER_DIMER), ("formic acid dimer", FORMIC_ACID_DIMER)])
def test_hydrogen_bond_gradient_is_derivative_of_total_energy(qp, name, molecule):
    result = qp.calculate(*molecule, h_bonds=True, **TIGHT)

    def energy(numbers, coordinates):
        return qp.calculate(numbers, coordinates, h_bonds=True, **TIGHT).total_energy_ev

    # Gas phase: no cavity, every coordinate must agree. The H4 term was
    # missing before (0.005 eV/angstrom on the water dimer, 0.2 on the formic
    # acid dimer).
    assert finite_difference_check(energy, *molecule, result.gradients_ev_angstrom, 1e-5) == []


def test_every_consumer_reports_the_solvated_gradient(qp):
    """QuorinCalculator, the ASE calculator and the PyTorch bridge at their
    default SCF settings: energy noise up to 1e-7 eV gives 5e-4 eV/angstrom in
    the differences; the dielectric term is 0.3 eV/angstrom here."""
    ase = pytest.importorskip("ase")
    torch = pytest.importorskip("torch")
    calculator = qp.QuorinCalculator(method="AM1", cosmo_eps=78.4)

    def via_calculator(xyz):
        result = calculator.calculate(WATER_Z, xyz)
        return result.total_energy_ev, result.gradients_ev_angstrom

    def via_ase(xyz):
        atoms = ase.Atoms(numbers=WATER_Z, positions=xyz)
        atoms.calc = qp.QuorinASECalculator(method="AM1", cosmo_eps=78.4)
        return atoms.get_potential_energy(), -atoms.get_forces()

    def via_torch(xyz):
        coords = torch.tensor(xyz, dtype=torch.float64, requires_grad=True)
        energy = qp.QuorinPotential(WATER_Z, method="AM1", cosmo_eps=78.4)(coords)
        energy.backward()
        return energy.item(), coords.grad.numpy()

    for run in (via_calculator, via_ase, via_torch):
        gradient = np.asarray(run(WATER_XYZ)[1])
        steps = finite_difference_check(lambda z, xyz: run(xyz)[0], WATER_Z, WATER_XYZ, gradient, 2e-3)
        assert steps == [], run.__name__


def test_ase_bfgs_relaxes_ethanol_in_water(qp):
    ase = pytest.importorskip("ase")
    from ase.optimize import BFGS

    atoms = ase.Atoms(numbers=ETHANOL[0], positions=ETHANOL[1])
    atoms.calc = qp.QuorinASECalculator(method="PM6", cosmo_eps=78.4)
    start = atoms.get_potential_energy()
    optimizer = BFGS(atoms, logfile=None)
    assert optimizer.run(fmax=0.05, steps=200)
    assert np.linalg.norm(atoms.get_forces(), axis=1).max() < 0.05
    assert atoms.get_potential_energy() < start
    # The end point is a stationary point of the energy itself, not only of
    # the forces (with the dielectric term missing from them BFGS also
    # stopped, where the energy still fell by 0.1 to 0.2 eV/angstrom).
    final = atoms.get_positions().tolist()

    def energy(numbers, coordinates):
        return qp.calculate(numbers, coordinates, method="PM6", cosmo_eps=78.4).total_energy_ev

    assert len(finite_difference_check(energy, ETHANOL[0], final, -atoms.get_forces(), 2e-3)) <= 6
