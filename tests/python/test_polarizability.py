"""Finite-field polarizability from Python: argument handling, refusals and
the seventeen attributes of the result class."""
import math

import pytest

from conftest import WATER_XYZ, WATER_Z, open_shell_message

ATTRIBUTES = [
    "alpha_tensor", "alpha_isotropic_au", "alpha_isotropic_angstrom3", "alpha_anisotropy_au", "alpha_eigenvalues",
    "alpha_eigenvectors", "alpha_raw_tensor", "alpha_raw_isotropic_au", "alpha_raw_isotropic_angstrom3",
    "beta_vector", "beta_total_au", "beta_total_esu", "gamma_diag", "gamma_average_au", "gamma_average_esu",
    "dipole_debye", "unperturbed_energy_ev",
]


def test_result_attributes(qp):
    cls = qp.PolarizabilityPyResult
    assert cls.__doc__ == "Comprehensive polarizability and NLO tensor calculation results for Python."
    assert [name for name in vars(cls) if not name.startswith("__")] == ATTRIBUTES
    assert cls.alpha_tensor.__doc__ == "3x3 polarizability tensor \\alpha in atomic units (a_0^3)"
    r = qp.polarizability(WATER_Z, WATER_XYZ, "AM1")
    assert not hasattr(r, "to_dict")
    assert all(len(getattr(r, name)) == 3 and all(len(row) == 3 for row in getattr(r, name))
               for name in ("alpha_tensor", "alpha_eigenvectors", "alpha_raw_tensor"))
    assert len(r.dipole_debye) == 4 and len(r.beta_vector) == 3 and len(r.gamma_diag) == 3
    assert r.dipole_debye[3] == pytest.approx(math.hypot(*r.dipole_debye[:3]), rel=1e-12)
    assert r.alpha_eigenvalues == sorted(r.alpha_eigenvalues) and r.alpha_eigenvalues[0] > 0
    # Unit conversions (constants of the result table).
    assert r.alpha_isotropic_angstrom3 == pytest.approx(r.alpha_isotropic_au * 0.1481847114721628, rel=1e-12)
    assert r.beta_total_esu == pytest.approx(r.beta_total_au * 8.639418e-33, rel=1e-12)
    assert r.gamma_average_esu == pytest.approx(r.gamma_average_au * 5.0367e-40, rel=1e-12)
    # The zero-field SCF is the single-point SCF at the same tolerances.
    single = qp.calculate(WATER_Z, WATER_XYZ, "AM1", energy_tol_ev=1e-9, density_tol=1e-8, max_iter=80)
    assert r.unperturbed_energy_ev == pytest.approx(single.total_energy_ev, abs=1e-5)
    r.alpha_tensor[0][0] = 0.0  # each read builds a new list
    assert r.alpha_tensor[0][0] != 0.0
    # Method names are case-insensitive; RM1 has no empirical relation.
    rm1 = qp.polarizability(WATER_Z, WATER_XYZ, "rm1", reorient=False, compute_hyperpolarizabilities=False)
    assert rm1.alpha_tensor == rm1.alpha_raw_tensor


W = WATER_XYZ


@pytest.mark.parametrize(
    "numbers, coords, kwargs, error, message",
    [
        ([8, 1, 1], W[:2], {}, ValueError, "Mismatch between atomic_numbers (3) and coordinates (2)"),
        ([8, 1, 1], [W[0], [0.0, 1.0], [1.0]], {}, ValueError,
         "argument 'coordinates': row 1 must be a sequence of 3 numbers (got length 2)"),
        ([8, 1], W[:2], {"method": "AM1"}, ValueError, open_shell_message(7)),
        (WATER_Z, [W[0], W[1], [math.nan, 0, 0]], {}, ValueError,
         "Non-finite coordinate for atom 2 (Z=1): coordinates must be finite numbers"),
        (WATER_Z, W, {"field_step_au": 0.0}, ValueError,
         "argument 'field_step_au': must lie in [1e-5, 0.1] a.u. (got 0.0)"),
        (WATER_Z, W, {"reorient": None}, TypeError,
         "argument 'reorient': 'NoneType' object cannot be converted to 'bool'"),
    ],
)
def test_refused_input(qp, numbers, coords, kwargs, error, message):
    with pytest.raises(error) as info:
        qp.polarizability(numbers, coords, **kwargs)
    assert str(info.value) == message
