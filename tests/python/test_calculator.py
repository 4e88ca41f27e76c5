"""QuorinCalculator settings and methods, and the converters and framework
bridges that the module's script defines."""
import math
import subprocess
import sys
import textwrap

import pytest

from conftest import WATER_XYZ, WATER_Z

H2_Z = [1, 1]
H2_XYZ = [[0.0, 0.0, 0.0], [0.0, 0.0, 0.76]]


def test_settings_defaults_setters_and_errors(qp):
    calc = qp.QuorinCalculator()
    assert (calc.method, calc.use_nddo, calc.cosmo_eps, calc.dispersion, calc.h_bonds, calc.max_iter) == (
        "PM6", True, None, None, False, 60)
    assert str(__import__("inspect").signature(qp.QuorinCalculator)) == (
        "(method='PM6', use_nddo=True, cosmo_eps=None, dispersion=None, h_bonds=False, max_iter=60)")

    calc.cosmo_eps = 78.4
    calc.dispersion = "pm7"  # stored as given; checked only when calculate runs
    assert (calc.cosmo_eps, calc.dispersion) == (78.4, "pm7")
    calc.cosmo_eps = None
    calc.dispersion = None
    assert (calc.cosmo_eps, calc.dispersion) == (None, None)

    for name, value in [("max_iter", None), ("h_bonds", None), ("use_nddo", 1), ("method", 3)]:
        with pytest.raises(TypeError, match=f"argument '{name}'"):
            setattr(calc, name, value)
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del calc.method

    # An unknown method is stored without complaint and refused at the first call.
    odd = qp.QuorinCalculator(method="pm99")
    with pytest.raises(ValueError, match="'PM99'"):
        odd.calculate(H2_Z, H2_XYZ)


def test_methods_match_module_functions(qp):
    calc = qp.QuorinCalculator(method="AM1", dispersion="PM7", h_bonds=True)
    direct = qp.calculate(WATER_Z, WATER_XYZ, method="AM1", dispersion="PM7", h_bonds=True)
    assert calc.calculate(WATER_Z, WATER_XYZ).to_dict() == direct.to_dict()
    calc.dispersion, calc.h_bonds = None, False  # calculate's own settings (see the next test)

    # optimize and frequencies run with the stored NDDO switch (on), the module functions only when asked.
    mine = calc.optimize(WATER_Z, WATER_XYZ, max_cycles=30)
    theirs = qp.optimize(WATER_Z, WATER_XYZ, method="AM1", max_cycles=30, use_nddo=True)
    assert mine.coordinates == theirs.coordinates
    assert mine.final_heat_of_formation_kcal == theirs.final_heat_of_formation_kcal

    vib = calc.frequencies(H2_Z, H2_XYZ, temperature_k=300.0)
    ref = qp.frequencies(H2_Z, H2_XYZ, method="AM1", temperature_k=300.0, use_nddo=True)
    assert vib.vibrational_frequencies_cm1 == ref.vibrational_frequencies_cm1

    ammonia = ([7, 1, 1, 1], [[0, 0, 0], [1.0, 0, -0.1], [-0.5, 0.866, -0.11], [-0.5, -0.866, -0.12]])
    saddle_point = calc.transition_state(*ammonia)
    assert saddle_point.to_dict() == qp.transition_state(*ammonia, method="AM1", use_nddo=True).to_dict()

    inversion = (ammonia[0], saddle_point.coordinates)
    assert calc.irc(*inversion, max_points=2).to_dict() == qp.irc(*inversion, "AM1", max_points=2).to_dict()
    assert (calc.drc(*ammonia, total_steps=3).to_dict()
            == qp.drc(*ammonia, "AM1", total_steps=3, use_nddo=True).to_dict())

    ethylene = ([6, 6, 1, 1, 1, 1], [[0, 0, 0.667], [0, 0, -0.667], [0, 0.923, 1.238], [0, -0.923, 1.238],
                                     [0, 0.923, -1.238], [0, -0.923, -1.238]])
    assert calc.meci(*ethylene).total_energy_ev == qp.meci(*ethylene, method="AM1").total_energy_ev
    assert (calc.uv_vis_spectrum(*ethylene, step_nm=5.0).extinction_coefficients
            == qp.uv_vis_spectrum(*ethylene, method="AM1", step_nm=5.0).extinction_coefficients)

    # pbc runs with the stored iteration cap (60 by default, the module function's is 100).
    chain = ([1, 1], [[0.0, 0.0, 0.0], [0.0, 0.0, 0.74]], [[0.0, 0.0, 2.2]])
    calc.max_iter = 1
    capped = calc.pbc(*chain, mers=[3, 1, 1], k_grid=[4, 1, 1])
    assert capped.iterations == 1
    assert capped.total_energy_per_cell_ev == qp.pbc(*chain, method="AM1", mers=[3, 1, 1], k_grid=[4, 1, 1],
                                                     max_iter=1).total_energy_per_cell_ev


def test_settings_only_calculate_applies_are_refused_by_the_other_methods(qp):
    # The drivers compute the gas phase without corrections: a calculator
    # holding a solvent or a correction refuses them instead of dropping it.
    ase_route = "or optimise with an ASE optimiser (ase.optimize.BFGS) on the forces of QuorinASECalculator("
    for settings, shown in [({"cosmo_eps": 78.4}, "cosmo_eps=78.4"), ({"dispersion": "PM7"}, "dispersion='PM7'"),
                            ({"h_bonds": True}, "h_bonds=True")]:
        calc = qp.QuorinCalculator(**settings)
        with pytest.raises(ValueError) as info:
            calc.optimize(WATER_Z, WATER_XYZ)
        assert str(info.value).startswith(f"QuorinCalculator.optimize cannot apply {shown}: only calculate adds")
        assert f"{ase_route}{shown}), which include it" in str(info.value)
        for method, args in [("frequencies", ()), ("drc", ()), ("irc", ()), ("pbc", ([[6.0, 0.0, 0.0]],))]:
            with pytest.raises(ValueError, match=f"^QuorinCalculator.{method} cannot apply {shown}: "):
                getattr(calc, method)(WATER_Z, WATER_XYZ, *args)


def test_script_fallbacks_and_converters_without_optional_packages():
    # In a fresh interpreter with ASE, NumPy and PyTorch blocked: the module
    # imports, the stand-in classes say what is missing, the converters work
    # on duck-typed objects and none of the script's names is in __all__.
    code = textwrap.dedent("""
        import sys
        for name in ("ase", "ase.calculators", "ase.calculators.calculator", "numpy", "torch"):
            sys.modules[name] = None
        import quorin_py as q

        class Values(list):
            def tolist(self):
                return list(self)

        class Atoms:
            def get_atomic_numbers(self):
                return Values([8, 1])
            def get_positions(self):
                return Values([[0.0, 0.0, 0.0], [0.0, 0.0, 0.97]])

        class Atom:
            def __init__(self, z):
                self.z = z
            def GetAtomicNum(self):
                return self.z
            def GetTotalNumHs(self):
                return 0
            def GetNumRadicalElectrons(self):
                return 0
            def GetFormalCharge(self):
                return 0

        class Conformer:
            def GetAtomPosition(self, i):
                return (float(i), 0.0, 0.0)

        class Mol:
            def GetConformer(self, conf_id):
                assert conf_id == -1
                return Conformer()
            def GetAtoms(self):
                return [Atom(6), Atom(8)]

        assert q.from_ase(Atoms()) == ([8, 1], [[0.0, 0.0, 0.0], [0.0, 0.0, 0.97]])
        assert q.from_rdkit(Mol()) == ([6, 8], [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]])
        assert not hasattr(q, "QuorinEnergyFunction")
        script = {"from_rdkit", "from_ase", "QuorinASECalculator", "QuorinEnergyFunction", "QuorinPotential"}
        assert not script & set(q.__all__)
        for cls, args, message in [
            (q.QuorinASECalculator, (), "ase and numpy are required to instantiate QuorinASECalculator"),
            (q.QuorinPotential, ([1, 1],), "PyTorch ('torch') is required to instantiate QuorinPotential"),
        ]:
            try:
                cls(*args)
            except ImportError as error:
                assert str(error) == message, error
            else:
                raise AssertionError("no ImportError")
        print("ok")
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "ok"


def test_rdkit_molecules_must_be_neutral_closed_shell_and_carry_their_hydrogens(qp):
    chem = pytest.importorskip("rdkit.Chem")
    from rdkit.Chem import AllChem

    def embedded(smiles):
        mol = chem.AddHs(chem.MolFromSmiles(smiles))
        AllChem.EmbedMolecule(mol, randomSeed=7)
        return mol

    for mol, text in [
        (embedded("[NH3+]CC[NH3+]"), "the formal charges add up to +2"),
        (embedded("CC(=O)[O-]"), "the formal charges add up to -1"),
        (embedded("[CH3]"), "atom 0 (C) has 1 radical electron(s)"),
        (chem.MolFromSmiles("CCO"), "atom 0 (C) carries 3 implicit hydrogen(s) that are not atoms of the molecule; "
                                    "add them with coordinates first: mol = Chem.AddHs(mol, addCoords=True)"),
    ]:
        with pytest.raises(ValueError) as info:
            qp.from_rdkit(mol)
        assert text in str(info.value)
    # A zwitterion's formal charges cancel: accepted, all ten atoms given.
    numbers, coords = qp.from_rdkit(embedded("[NH3+]CC(=O)[O-]"))
    assert sorted(numbers) == [1] * 5 + [6, 6, 7, 8, 8] and len(coords) == 10
    assert qp.calculate(numbers, coords).converged


def test_ase_calculator_energy_forces_dipole_and_optimiser(qp):
    ase = pytest.importorskip("ase")
    np = pytest.importorskip("numpy")
    from ase.optimize import BFGS

    atoms = ase.Atoms(numbers=WATER_Z, positions=WATER_XYZ)
    atoms.calc = qp.QuorinASECalculator()
    ref = qp.calculate(WATER_Z, WATER_XYZ)
    assert atoms.get_potential_energy() == pytest.approx(ref.total_energy_ev, abs=1e-9)
    forces = atoms.get_forces()
    assert np.allclose(forces, -np.array(ref.gradients_ev_angstrom), atol=1e-9)
    # 1 e*angstrom = 4.80320425 Debye (ASE's dipole unit).
    assert np.allclose(atoms.get_dipole_moment(), np.array(ref.dipole_debye[:3]) / 4.80320425, atol=1e-12)
    assert np.allclose(atoms.get_charges(), ref.mulliken_charges)

    # Forces are minus the central difference of the energy (step 1e-3 angstrom).
    h = 1e-3
    for atom, axis in [(0, 1), (1, 0), (2, 2)]:
        shifted = []
        for sign in (1, -1):
            probe = atoms.copy()
            probe.positions[atom, axis] += sign * h
            probe.calc = qp.QuorinASECalculator()
            shifted.append(probe.get_potential_energy())
        assert forces[atom, axis] == pytest.approx(-(shifted[0] - shifted[1]) / (2 * h), abs=1e-3)

    BFGS(atoms, logfile=None).run(fmax=0.05, steps=100)
    assert np.abs(atoms.get_forces()).max() < 0.05

    # An unconverged SCF is an error for callers that cannot see `converged`.
    from ase.calculators.calculator import CalculationFailed

    stubborn = ase.Atoms(numbers=WATER_Z, positions=WATER_XYZ)
    stubborn.calc = qp.QuorinASECalculator()
    original = qp.calculate
    try:
        qp.calculate = lambda *a, **k: original(*a, **k, max_iter=1)
        with pytest.raises(CalculationFailed, match="did not converge"):
            stubborn.get_potential_energy()
    finally:
        qp.calculate = original
    with pytest.raises(ValueError, match="needs an Atoms object"):
        qp.QuorinASECalculator().calculate()


TORCH_CHECK = textwrap.dedent("""
    import sys
    if BLOCK_NUMPY:
        sys.modules["numpy"] = None
    import torch
    import quorin_py as q
    Z, XYZ = {z}, {xyz}
    ref = q.calculate(Z, XYZ, method="AM1")
    for dtype in (torch.float32, torch.float64):
        coords = torch.tensor(XYZ, dtype=dtype, requires_grad=True)
        energy = q.QuorinPotential(Z)(coords)
        assert energy.dtype == dtype
        energy.backward()
        expected = torch.tensor(ref.gradients_ev_angstrom, dtype=dtype)
        assert torch.allclose(coords.grad, expected, rtol=1e-5, atol=1e-5), (coords.grad, expected)
        assert abs(float(energy) - ref.total_energy_ev) < (1e-3 if dtype == torch.float32 else 1e-9)
    print("ok")
""")


@pytest.mark.parametrize("block_numpy", [False, True])
def test_torch_bridge_gradient(block_numpy):
    pytest.importorskip("torch")
    code = TORCH_CHECK.replace("BLOCK_NUMPY", str(block_numpy)).format(z=WATER_Z, xyz=WATER_XYZ)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "ok"


def test_ase_calculator_uses_its_settings(qp):
    ase = pytest.importorskip("ase")
    np = pytest.importorskip("numpy")
    from ase.calculators.fd import calculate_numerical_forces

    atoms = ase.Atoms(numbers=WATER_Z, positions=WATER_XYZ)
    calc = atoms.calc = qp.QuorinASECalculator(cosmo_eps=78.4, h_bonds=True)
    solvated = qp.calculate(WATER_Z, WATER_XYZ, cosmo_eps=78.4, h_bonds=True).total_energy_ev
    assert atoms.get_potential_energy() == pytest.approx(solvated, abs=1e-9)
    # A changed setting clears the stored results and is used from then on.
    calc.set(method="AM1", cosmo_eps=None, h_bonds=False)
    assert calc.results == {} and calc.todict() == {"method": "AM1"} and calc.method == "AM1"
    am1 = qp.calculate(WATER_Z, WATER_XYZ, method="AM1").total_energy_ev
    assert atoms.get_potential_energy() == pytest.approx(am1, abs=1e-9)
    # No electronic temperature: the force-consistent (free) energy is the energy,
    # and ASE's central difference of it (step 1e-4 angstrom) gives the forces.
    assert atoms.get_potential_energy(force_consistent=True) == pytest.approx(am1, abs=1e-9)
    numerical = calculate_numerical_forces(atoms, 1e-4, force_consistent=True)
    assert np.abs(numerical - atoms.get_forces()).max() < 1e-4


def test_torch_bridge_refuses_batches_and_second_derivatives(qp):
    torch = pytest.importorskip("torch")
    potential = qp.QuorinPotential(WATER_Z)
    with pytest.raises(ValueError, match=r"^QuorinPotential expects one geometry, coords of shape \(3, 3\) for its "
                                         r"3 atoms, not \(2, 3, 3\)"):
        potential(torch.tensor([WATER_XYZ, WATER_XYZ], dtype=torch.float64))
    coords = torch.tensor(WATER_XYZ, dtype=torch.float64, requires_grad=True)
    assert torch.autograd.gradcheck(potential, (coords,), eps=1e-4, atol=1e-3)
    # The engine has no second derivatives: asking for them raises instead of giving zeros.
    for second in (lambda: torch.autograd.functional.hessian(potential, coords),
                   lambda: torch.autograd.gradgradcheck(potential, (coords,), eps=1e-4, atol=1e-3)):
        with pytest.raises(RuntimeError, match="^QuorinEnergyFunction is once differentiable"):
            second()
