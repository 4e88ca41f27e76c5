"""Single-point PM6 calculations on water and benzene.

Run after installing the package:  pip install . && python3 examples/single_point.py
"""
import quorin_py

# Atomic numbers and coordinates (angstrom), as in data/molecules/water.xyz
# and benzene.xyz.
MOLECULES = {
    "water": ([8, 1, 1], [[0.006844, 0.397756, 0.000000],
                          [-0.766778, -0.185743, 0.000000],
                          [0.759933, -0.212013, 0.000000]]),
    "benzene": ([6] * 6 + [1] * 6, [[1.072070, 0.891925, -0.026002],
                                    [1.308701, -0.482514, -0.004499],
                                    [0.236631, -1.374438, 0.021507],
                                    [-1.072071, -0.891926, 0.025998],
                                    [-1.308702, 0.482513, 0.004487],
                                    [-0.236632, 1.374438, -0.021515],
                                    [1.907335, 1.586840, -0.046242],
                                    [2.328329, -0.858449, -0.007992],
                                    [0.421001, -2.445283, 0.038271],
                                    [-1.907339, -1.586837, 0.046250],
                                    [-2.328332, 0.858447, 0.008004],
                                    [-0.420991, 2.445285, -0.038266]]),
}


def main():
    for name, (numbers, coordinates) in MOLECULES.items():
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
