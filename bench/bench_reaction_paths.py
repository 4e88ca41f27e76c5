"""Reaction-path drivers on aspirin: wall time of each driver and its cost in
SCF+gradient evaluations, i.e. its time over one `calculate` (energy and
gradient) at the starting geometry.

Usage: python3 bench/bench_reaction_paths.py [--method AM1] [--drc-steps 100]
"""
import argparse
import time

import quorin_py

from bench_calculate import MOLECULES, read_xyz


def timed(function, *args, **kwargs):
    start = time.perf_counter()
    result = function(*args, **kwargs)
    return time.perf_counter() - start, result


def one_evaluation(numbers, coordinates, method, runs=5):
    """Shortest time of one calculate (SCF, energy and gradient)."""
    return min(timed(quorin_py.calculate, numbers, coordinates, method=method)[0] for _ in range(runs))


def bench_drc(numbers, coordinates, method, steps, evaluation_s):
    elapsed, result = timed(quorin_py.drc, numbers, coordinates, method=method, ensemble="nve", total_steps=steps)
    cost = elapsed / evaluation_s
    print(f"drc nve, {steps} steps: {elapsed:.2f} s, {1000.0 * elapsed / steps:.1f} ms per step, "
          f"cost {cost:.1f} evaluations (expected {steps + 1}: {cost / (steps + 1):.3f} x), "
          f"max |dE| {result.max_energy_drift_ev:.2e} eV")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--method", default="AM1")
    parser.add_argument("--drc-steps", type=int, default=100)
    args = parser.parse_args()

    numbers, coordinates = read_xyz(MOLECULES / "aspirin.xyz")
    evaluation_s = one_evaluation(numbers, coordinates, args.method)
    print(f"aspirin ({len(numbers)} atoms, {args.method}): one calculate {1000.0 * evaluation_s:.1f} ms")
    bench_drc(numbers, coordinates, args.method, args.drc_steps, evaluation_s)


if __name__ == "__main__":
    main()
