"""varnex from Python: the localized-orbital SCF against calculate, its
result classes, progress lines and refusals."""
import re

import pytest

from conftest import WATER_XYZ, WATER_Z, open_shell_message, read_xyz

DIBORANE_Z = [5, 5, 1, 1, 1, 1, 1, 1]
DIBORANE_XYZ = [[0, 0, 0.885], [0, 0, -0.885], [0, 0.97, 0], [0, -0.97, 0], [1.04, 0, 1.47], [-1.04, 0, 1.47],
                [1.04, 0, -1.47], [-1.04, 0, -1.47]]


@pytest.fixture(scope="module")
def decane():
    return read_xyz("decane")


def test_decane_as_a_new_user_runs_it(qp, decane):
    z, xyz = decane
    result = qp.varnex(z, xyz, method="AM1")
    # Same energy functional as the diagonalising SCF.
    reference = qp.calculate(z, xyz, method="AM1", energy_tol_ev=1e-10, density_tol=1e-9, max_iter=300)
    assert result.converged
    assert result.total_energy_ev == pytest.approx(reference.total_energy_ev, abs=1e-3)
    assert result.heat_of_formation_kcal == pytest.approx(reference.heat_of_formation_kcal, abs=0.03)
    assert result.atomic_charges == pytest.approx(reference.atomic_charges, abs=1e-3)
    assert re.fullmatch(r"<VarnexPyResult converged=true iter=\d+ E_tot=-\d+\.\d{6} eV, dHf=-\d+\.\d{3} kcal/mol, "
                        r"num_lmos=62>", repr(result))
    occupied = [lmo for lmo in result.lmos if lmo.is_occupied]
    assert len(occupied) == 31 and {lmo.lmo_type for lmo in occupied} == {"BondingSigma"}
    first = result.lmos[0]
    assert repr(first) == "<VarnexLmo index=0 type='BondingSigma' occ=true atoms=[0, 1] E=-12.000 eV>"
    assert list(first.to_dict()) == ["index", "lmo_type", "is_occupied", "atom_indices", "ao_indices", "coeffs",
                                     "energy_ev"]
    assert len(first.ao_indices) == len(first.coeffs)
    data = result.to_dict()
    assert list(data) == ["converged", "iterations", "electronic_energy_ev", "nuclear_repulsion_ev",
                          "total_energy_ev", "heat_of_formation_kcal", "atomic_charges", "lmos"]
    assert data["lmos"][5] == result.lmos[5].to_dict()
    assert result.lmos is not result.lmos and result.lmos[0] is not result.lmos[0]


def test_progress_lines_and_dispersion(qp, capfd):
    base = qp.varnex(WATER_Z, WATER_XYZ, max_iter=3, verbose=True)
    lines = capfd.readouterr().out.splitlines()
    assert len(lines) == 3 and not base.converged
    assert re.fullmatch(r"VARNEX Iteration   1: Etot = -\d+\.\d{8} eV, DeltaE = \d+\.\d{8} eV", lines[0])
    # "pm7" adds the dispersion energy to the heat of formation only; other
    # spellings select none.
    pm7 = qp.varnex(WATER_Z, WATER_XYZ, max_iter=3, dispersion="pm7")
    upper = qp.varnex(WATER_Z, WATER_XYZ, max_iter=3, dispersion="PM7")
    assert pm7.total_energy_ev == base.total_energy_ev and upper.heat_of_formation_kcal == base.heat_of_formation_kcal
    assert pm7.heat_of_formation_kcal < base.heat_of_formation_kcal
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((DIBORANE_Z, DIBORANE_XYZ), {"method": "AM1"}, ValueError, "Atom 2 has 2 bonds but only one orbital"),
    (([6, 8, 8], [[0, 0, 0], [0, 0, 1.16], [0, 0, -1.16]]), {}, ValueError,
     "Localized orbitals hold 12 electrons but the molecule has 16 valence electrons"),
    (([1], [[0, 0, 0]]), {}, ValueError, open_shell_message(1)),
    ((WATER_Z, WATER_XYZ), {"damping": float("nan")}, ValueError, "damping must be a finite number"),
    ((WATER_Z, WATER_XYZ), {"cutoff_distance": float("inf")}, ValueError, "cutoff_distance must be a finite number"),
    ((WATER_Z, [[0, 0, float("nan")], [1, 0, 0], [0, 1, 0]]), {}, ValueError,
     "Non-finite coordinate for atom 0 (Z=8): coordinates must be finite numbers"),
    (([8, 1], [[0, 0, 0], [0, 0]]), {}, ValueError, "Atom 1 coordinate must be [x, y, z], got 2 elements"),
    (([8, 1, 1], [[0, 0, 0], [0, 0, 1]]), {}, ValueError, "Mismatch: 3 atomic numbers but 2 coordinates"),
    ((WATER_Z, WATER_XYZ), {"max_iter": None}, TypeError, None),
])
def test_refusals(qp, args, kwargs, error, message):
    with pytest.raises(error) as info:
        qp.varnex(*args, **kwargs)
    if message is not None:
        assert info.value.args == (message,)
