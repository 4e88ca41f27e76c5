"""Shared by the benchmark scripts: the molecules of data/molecules and a
best-of timer."""
import math
import pathlib
import time

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


def molecule(name):
    """Atomic numbers and coordinates of data/molecules/<name>.xyz."""
    return read_xyz(MOLECULES / f"{name}.xyz")


def best_of(call, budget_s=1.0, max_runs=5):
    """Shortest of several runs of `call` and the last result; after the first
    run, no more once `budget_s` seconds are spent (fewer runs for slow cases)."""
    best, spent, runs, result = math.inf, 0.0, 0, None
    while runs < max_runs and (runs == 0 or spent < budget_s):
        start = time.perf_counter()
        result = call()
        elapsed = time.perf_counter() - start
        best, spent, runs = min(best, elapsed), spent + elapsed, runs + 1
    return best, result


def fit_exponent(sizes, times):
    """Least-squares slope of log(time) against log(atoms)."""
    xs = [math.log(n) for n in sizes]
    ys = [math.log(t) for t in times]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    sxx = sum((x - mx) ** 2 for x in xs)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx
