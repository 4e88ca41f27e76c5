"""Single-point PM6 calculations on water and benzene.

Run after installing the package:  pip install . && python3 examples/single_point.py
"""
import pathlib

import quorin_py

MOLECULES = pathlib.Path(__file__).resolve().parent.parent / "data" / "molecules"
ATOMIC_NUMBERS = {"H": 1, "C": 6, "N": 7, "O": 8}


def read_xyz(path):
    """Atomic numbers and coordinates (angstrom) of an XYZ file."""
    lines = path.read_text().splitlines()
    count = int(lines[0])
    numbers, coordinates = [], []
    for line in lines[2 : 2 + count]:
        symbol, x, y, z = line.split()[:4]
        numbers.append(ATOMIC_NUMBERS[symbol])
        coordinates.append([float(x), float(y), float(z)])
    return numbers, coordinates


def main():
    for name in ("water", "benzene"):
        numbers, coordinates = read_xyz(MOLECULES / f"{name}.xyz")
        result = quorin_py.calculate(numbers, coordinates, method="PM6")
        dx, dy, dz, total = result.dipole_debye
        print(f"{name} ({len(numbers)} atoms), PM6")
        print(f"  SCF converged          {result.converged} after {result.scf_iterations} iterations")
        print(f"  total energy           {result.total_energy_ev:14.6f} eV")
        print(f"  heat of formation      {result.heat_of_formation_kcal:14.3f} kcal/mol")
        print(f"  dipole moment          {total:14.3f} D   ({dx:+.3f}, {dy:+.3f}, {dz:+.3f})")
        print(f"  HOMO / LUMO            {result.homo_energy_ev:10.3f} / {result.lumo_energy_ev:.3f} eV")
        print(f"  HOMO-LUMO gap          {result.homo_lumo_gap_ev:14.3f} eV")
        print()


if __name__ == "__main__":
    main()
