"""esp_charges and am1_bcc from Python: physical checks against calculate,
the result classes and the refusals."""
import math

import pytest

from conftest import WATER_XYZ, WATER_Z, open_shell_message

FORMALDEHYDE_Z = [6, 8, 1, 1]
FORMALDEHYDE_XYZ = [[0, 0, 0], [0.02, 0, 1.22], [0.94, 0.03, -0.56], [-0.93, -0.02, -0.55]]
H4_Z = [1, 1, 1, 1]
H4_XYZ = [[0, 0, 0], [0.75, 0.05, 0], [0.8, 1.6, 0.1], [-0.05, 1.55, 0.0]]
METHANE_Z = [6, 1, 1, 1, 1]
METHANE_XYZ = [[0, 0, 0], [0.629, 0.629, 0.629], [-0.629, -0.629, 0.629], [-0.629, 0.629, -0.629],
               [0.629, -0.629, -0.629]]
METHANETHIOL_Z = [6, 16, 1, 1, 1, 1]
METHANETHIOL_XYZ = [[0, 0, 0], [1.82, 0, 0], [2.15, 1.3, 0], [-0.37, 1.03, 0], [-0.37, -0.5, 0.89],
                    [-0.37, -0.5, -0.89]]


def chlorobenzene():
    z, xyz = [], []
    for k in range(6):
        phi = k * math.pi / 3
        z.append(6)
        xyz.append([1.39 * math.cos(phi), 1.39 * math.sin(phi), 0.0])
    for k in range(6):
        phi = k * math.pi / 3
        bond = 1.75 if k == 0 else 1.09
        z.append(17 if k == 0 else 1)
        xyz.append([(1.39 + bond) * math.cos(phi), (1.39 + bond) * math.sin(phi), 0.0])
    return z, xyz


def test_esp_fit_of_point_charges_and_dipoles(qp):
    # Hydrogen-only: the reference potential is that of the atomic charges,
    # so the fit returns calculate's atomic_charges.
    fit = qp.esp_charges(H4_Z, H4_XYZ)
    reference = qp.calculate(H4_Z, H4_XYZ).atomic_charges
    assert fit.charges == pytest.approx(reference, abs=1e-5)
    assert fit.rms_error_ev < 1e-6
    # The fitted charges carry the molecular dipole of the density to 10%.
    for z, xyz in ((WATER_Z, WATER_XYZ), (FORMALDEHYDE_Z, FORMALDEHYDE_XYZ)):
        fit = qp.esp_charges(z, xyz)
        dipole = qp.calculate(z, xyz).dipole_debye
        assert fit.dipole_magnitude_debye == pytest.approx(dipole[3], rel=0.1)
        assert math.hypot(*fit.dipole_debye) == pytest.approx(fit.dipole_magnitude_debye, rel=1e-12)
    # The molecule is neutral: the charges sum to zero.
    assert sum(fit.charges) == pytest.approx(0.0, abs=1e-10)


def test_esp_result_class(qp):
    fit = qp.esp_charges(WATER_Z, WATER_XYZ, method=None, net_charge=None, points_per_shell=None)
    assert list(fit.to_dict()) == ["charges", "dipole_debye", "dipole_magnitude_debye", "rms_error_ev",
                                   "num_grid_points"]
    assert fit.to_dict()["charges"] == fit.charges and fit.charges is not fit.charges
    text = ", ".join(repr(c) for c in fit.charges)
    assert repr(fit) == (f"<EspResult charges=[{text}], dipole={fit.dipole_magnitude_debye:.3f} D, "
                         f"rms_err={fit.rms_error_ev:.4f} eV, grid_pts={fit.num_grid_points}>")
    with pytest.raises(TypeError):
        qp.EspResultPy()


@pytest.mark.parametrize("args, kwargs, error, message", [
    (([1], [[0, 0, 0]]), {}, ValueError, open_shell_message(1)),
    (([26, 1, 1], WATER_XYZ), {"method": "AM1"}, ValueError, "Unsupported element Z=26 for semi-empirical method 'AM1'"),
    ((WATER_Z, [[0, 0, 0], [0, float("nan"), 0], [1, 0, 0]]), {}, ValueError,
     "Non-finite coordinate for atom 1 (Z=1): coordinates must be finite numbers"),
    ((WATER_Z, WATER_XYZ), {"net_charge": float("inf")}, ValueError,
     "argument 'net_charge': must be 0 (got inf): the molecule is always computed neutral, so its fitted charges sum "
     "to zero"),
    # Too few points give charges without meaning, too many gigabytes of grid (bounds in arguments.h).
    ((WATER_Z, WATER_XYZ), {"points_per_shell": 1}, ValueError,
     "argument 'points_per_shell': must lie in [24, 10000] (got 1)"),
    ((WATER_Z, WATER_XYZ), {"points_per_shell": 10**6}, ValueError,
     "argument 'points_per_shell': must lie in [24, 10000] (got 1000000)"),
    (([], []), {}, ValueError, "atomic_numbers cannot be empty"),
    ((None, None), {}, TypeError, "argument 'atomic_numbers': 'NoneType' object cannot be converted to 'Sequence'"),
    ((WATER_Z, WATER_XYZ[:2]), {}, ValueError, "Mismatch between atomic_numbers (3) and coordinates (2)"),
])
def test_esp_refusals(qp, args, kwargs, error, message):
    with pytest.raises(error) as info:
        qp.esp_charges(*args, **kwargs)
    assert info.value.args == (message,)


def test_am1_bcc_initial_charges_are_the_methods_mulliken_charges(qp):
    methane = qp.am1_bcc(METHANE_Z, METHANE_XYZ)
    assert methane.bond_charge_corrections[0] == pytest.approx(-0.1948, abs=1e-12)
    assert methane.total_charge == pytest.approx(sum(methane.initial_charges), abs=1e-12)
    for z, xyz in ((METHANE_Z, METHANE_XYZ), (WATER_Z, WATER_XYZ)):
        reference = qp.calculate(z, xyz, method="AM1").mulliken_charges
        assert qp.am1_bcc(z, xyz).initial_charges == pytest.approx(reference, abs=1e-5)
    # PM6 gives S and Cl d orbitals: the SCF is the method's own only when the
    # molecule is built for the method.
    for z, xyz in ((METHANETHIOL_Z, METHANETHIOL_XYZ), chlorobenzene()):
        reference = qp.calculate(z, xyz, method="PM6").mulliken_charges
        assert qp.am1_bcc(z, xyz, "pm6").initial_charges == pytest.approx(reference, abs=1e-5)
    result = qp.am1_bcc(METHANE_Z, METHANE_XYZ)
    assert list(result.to_dict()) == ["initial_charges", "bond_charge_corrections", "bcc_charges", "total_charge"]
    assert result.to_dict()["bcc_charges"] == result.bcc_charges


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((WATER_Z, WATER_XYZ), {"method": None}, TypeError,
     "argument 'method': 'NoneType' object cannot be converted to 'str'"),
    ((WATER_Z, WATER_XYZ), {"use_nddo": None}, TypeError,
     "argument 'use_nddo': 'NoneType' object cannot be converted to 'bool'"),
    ((WATER_Z, [[0, 0, 0], [1, 0, 0], [0, 1]]), {}, ValueError,
     "argument 'coordinates': row 2 must be a sequence of 3 numbers (got length 2)"),
    ((WATER_Z, WATER_XYZ[:2]), {}, ValueError, "Mismatch between atomic_numbers (3) and coordinates (2)"),
    (([1], [[0, 0, 0]]), {}, ValueError, open_shell_message(1)),
    (([26, 1, 1], WATER_XYZ), {}, ValueError, "Unsupported element Z=26 for semi-empirical method 'AM1'"),
    ((WATER_Z, [[0, 0, 0], [0, float("nan"), 0], [1, 0, 0]]), {}, ValueError,
     "Non-finite coordinate for atom 1 (Z=1): coordinates must be finite numbers"),
])
def test_am1_bcc_refusals(qp, args, kwargs, error, message):
    with pytest.raises(error) as info:
        qp.am1_bcc(*args, **kwargs)
    assert info.value.args == (message,)
