import math
import pathlib

import pytest

MOLECULES = pathlib.Path(__file__).resolve().parents[2] / "data" / "molecules"
SYMBOLS = {"H": 1, "C": 6, "N": 7, "O": 8}

# Water from data/molecules/water.xyz, bent slightly out of plane so that no
# gradient component vanishes by symmetry.
WATER_Z = [8, 1, 1]
WATER_XYZ = [[0.006844, 0.397756, 0.01], [-0.766778, -0.185743, 0.02], [0.759933, -0.212013, -0.03]]

# Tight SCF settings for comparisons between calculations.
TIGHT = {"energy_tol_ev": 1e-11, "density_tol": 1e-10, "max_iter": 300}


def open_shell_message(electrons):
    return (f"Odd number of valence electrons ({electrons}): every molecule is computed neutral and closed-shell "
            "(restricted Hartree-Fock), so radicals and ions are both refused; give the atoms of a neutral "
            "closed-shell molecule")


def read_xyz(name, folder=MOLECULES):
    lines = (folder / f"{name}.xyz").read_text().splitlines()
    n = int(lines[0])
    numbers, coords = [], []
    for line in lines[2 : 2 + n]:
        symbol, x, y, z = line.split()[:4]
        numbers.append(SYMBOLS[symbol])
        coords.append([float(x), float(y), float(z)])
    return numbers, coords


def rotation(axis, angle):
    """Rodrigues rotation matrix about a (not necessarily unit) axis."""
    norm = math.sqrt(sum(a * a for a in axis))
    x, y, z = (a / norm for a in axis)
    c, s = math.cos(angle), math.sin(angle)
    t = 1.0 - c
    return [
        [t * x * x + c, t * x * y - s * z, t * x * z + s * y],
        [t * x * y + s * z, t * y * y + c, t * y * z - s * x],
        [t * x * z - s * y, t * y * z + s * x, t * z * z + c],
    ]


def apply(matrix, vector):
    return [sum(matrix[i][j] * vector[j] for j in range(3)) for i in range(3)]


@pytest.fixture(scope="session")
def qp():
    import quorin_py

    return quorin_py


@pytest.fixture(scope="session")
def water(qp):
    return qp.calculate(WATER_Z, WATER_XYZ)
