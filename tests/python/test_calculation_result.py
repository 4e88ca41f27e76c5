"""CalculationResult: read-only attributes, fresh values, to_dict and repr."""
import math
import re

import pytest

from conftest import WATER_XYZ, WATER_Z, read_xyz

FIELDS = [
    "total_energy_ev", "electronic_energy_ev", "nuclear_repulsion_ev", "binding_energy_ev",
    "heat_of_formation_kcal", "gradients_ev_angstrom", "gradients_kcal_mol_angstrom", "dipole_debye",
    "atomic_charges", "mulliken_charges", "converged", "scf_iterations", "homo_energy_ev", "lumo_energy_ev",
    "homo_lumo_gap_ev",
]


def test_attributes_are_read_only(water):
    for name in FIELDS:
        with pytest.raises(AttributeError):
            setattr(water, name, 0.0)
        with pytest.raises(AttributeError):
            delattr(water, name)
    with pytest.raises(AttributeError):
        water.new_attribute = 1


def test_reads_return_fresh_copies(water):
    for name in ["gradients_ev_angstrom", "gradients_kcal_mol_angstrom", "dipole_debye", "atomic_charges",
                 "mulliken_charges"]:
        first = getattr(water, name)
        kept = repr(first)
        assert first is not getattr(water, name)
        first.clear()
        assert repr(getattr(water, name)) == kept
    rows = water.gradients_ev_angstrom
    rows[0][0] = 1e9
    assert water.gradients_ev_angstrom[0][0] != 1e9
    assert water.to_dict() is not water.to_dict()


def test_shapes_and_types(qp):
    for name in ["water", "benzene"]:
        numbers, coords = read_xyz(name)
        r = qp.calculate(numbers, coords)
        n = len(numbers)
        for grads in (r.gradients_ev_angstrom, r.gradients_kcal_mol_angstrom):
            assert len(grads) == n and all(isinstance(row, list) and len(row) == 3 for row in grads)
        assert len(r.atomic_charges) == n and len(r.mulliken_charges) == n
        d = r.dipole_debye
        assert len(d) == 4 and d[3] == pytest.approx(math.sqrt(d[0] ** 2 + d[1] ** 2 + d[2] ** 2), rel=1e-14)
        assert type(r.converged) is bool and type(r.scf_iterations) is int
        assert all(type(getattr(r, f)) is float for f in FIELDS if f.endswith("_ev") or f.endswith("_kcal"))
        assert r.homo_lumo_gap_ev == r.lumo_energy_ev - r.homo_energy_ev


def test_to_dict_has_the_fifteen_attributes_in_order(water):
    d = water.to_dict()
    assert list(d) == FIELDS
    for name in FIELDS:
        assert d[name] == getattr(water, name)


def test_repr_format(qp, water):
    pattern = r"<CalculationResult E=(-?\d+\.\d{6}) eV, dHf=(-?\d+\.\d{3}) kcal/mol, dipole=(\d+\.\d{3}) D, converged=(true|false)>"
    m = re.fullmatch(pattern, repr(water))
    assert m, repr(water)
    assert m.group(1) == f"{water.total_energy_ev:.6f}"
    assert m.group(2) == f"{water.heat_of_formation_kcal:.3f}"
    assert m.group(3) == f"{water.dipole_debye[3]:.3f}"
    assert m.group(4) == "true" and water.converged
    unconverged = qp.calculate(WATER_Z, WATER_XYZ, max_iter=1)
    assert repr(unconverged).endswith(", converged=false>")
