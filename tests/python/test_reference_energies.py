"""Total energies against two independent implementations of the same methods.

Reference: data/refdata/small_molecule_energies.csv (see its README). Each row
holds the total energy (eV) of one molecule under one method from two programs
that agree within 0.3 meV; we compare with their mean at the same tolerance.
"""
import csv
import pathlib

import pytest
import quorin_py

from conftest import TIGHT

CSV = pathlib.Path(__file__).resolve().parents[2] / "data" / "refdata" / "small_molecule_energies.csv"
TOLERANCE_EV = 3e-4

# Rows where our electronic energy still differs from both programs by more
# than they differ from each other (measured deviation from their mean, meV).
# The core-core energies agree with the programs' own split; the difference is
# electronic, grows with polar X-H bonds of first-row atoms and is not yet
# explained.
OPEN = {
    ("HF", "MNDO"): -0.38, ("HF", "AM1"): -1.40, ("HF", "PM3"): -3.52, ("HF", "RM1"): -2.77,
    ("HF", "PM6"): -1.62, ("H2O", "AM1"): -1.17, ("H2O", "PM3"): -3.61, ("H2O", "RM1"): -2.26,
    ("H2O", "PM6"): -3.50, ("NH3", "PM3"): -2.02, ("NH3", "RM1"): -0.67, ("CH4", "PM3"): -0.59,
    ("CO", "PM6"): -1.52, ("N2", "PM3"): -0.32, ("F2", "MNDO"): -1.56, ("F2", "AM1"): +1.20,
    ("F2", "RM1"): -0.47, ("F2", "PM6"): -1.34, ("H2CO", "MNDO"): +0.94, ("H2CO", "AM1"): +0.42,
    ("H2CO", "RM1"): +0.32, ("H2CO", "PM6"): -1.59, ("C2H4", "PM3"): -0.70,
}


def rows():
    with CSV.open(newline="") as f:
        for row in csv.DictReader(f):
            key = (row["name"], row["method"])
            marks = [pytest.mark.xfail(strict=True, reason=f"open: {OPEN[key]:+.2f} meV")] if key in OPEN else []
            yield pytest.param(row, id=f"{key[0]}-{key[1]}", marks=marks)


@pytest.mark.parametrize("row", list(rows()))
def test_total_energy_matches_independent_programs(row):
    numbers = [int(z) for z in row["atomic_numbers"].split()]
    coordinates = [[float(v) for v in atom.split()] for atom in row["coordinates_angstrom"].split(";")]
    reference = 0.5 * (float(row["program_a_total_ev"]) + float(row["program_b_total_ev"]))
    result = quorin_py.calculate(numbers, coordinates, method=row["method"], **TIGHT)
    assert result.converged
    assert result.total_energy_ev == pytest.approx(reference, abs=TOLERANCE_EV)
