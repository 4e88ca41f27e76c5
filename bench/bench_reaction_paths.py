"""Reaction-path drivers on aspirin: wall time of each driver and its cost in
SCF+gradient evaluations, i.e. its time over one `calculate` (energy and
gradient) at the starting geometry.

Usage: python3 bench/bench_reaction_paths.py [--method AM1] [--drc-steps 100] [--irc-points 10]
"""
import argparse
import math
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


def eclipsed_methyl(coordinates):
    """Aspirin with its acetyl methyl (C0, H13-H15) turned 60 degrees about
    the C1-C0 bond: the start of the methyl-rotation saddle search."""
    axis_from, axis_to = coordinates[1], coordinates[0]
    axis = [b - a for a, b in zip(axis_from, axis_to)]
    norm = math.sqrt(sum(a * a for a in axis))
    k = [a / norm for a in axis]
    c, s = math.cos(math.pi / 3), math.sin(math.pi / 3)
    turned = [list(r) for r in coordinates]
    for atom in (13, 14, 15):
        v = [r - o for r, o in zip(coordinates[atom], axis_to)]
        kv = sum(a * b for a, b in zip(k, v))
        cross = [k[1] * v[2] - k[2] * v[1], k[2] * v[0] - k[0] * v[2], k[0] * v[1] - k[1] * v[0]]
        turned[atom] = [o + v[i] * c + cross[i] * s + k[i] * kv * (1 - c) for i, o in enumerate(axis_to)]
    return turned


def bench_irc(numbers, ts_coordinates, method, max_points, evaluation_s):
    elapsed, result = timed(quorin_py.irc, numbers, ts_coordinates, method=method, max_points=max_points)
    cost = elapsed / evaluation_s
    points = len(result.points) - 1
    per_point = (cost - 6 * len(numbers) - 3) / max(points, 1)
    print(f"irc, max_points {max_points}: {elapsed:.2f} s, {points} points, converged "
          f"{result.forward_converged}/{result.reverse_converged}, cost {cost:.1f} evaluations, "
          f"{per_point:.1f} corrector evaluations per point")


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
    parser.add_argument("--irc-points", type=int, default=10)
    args = parser.parse_args()

    numbers, coordinates = read_xyz(MOLECULES / "aspirin.xyz")
    evaluation_s = one_evaluation(numbers, coordinates, args.method)
    print(f"aspirin ({len(numbers)} atoms, {args.method}): one calculate {1000.0 * evaluation_s:.1f} ms")
    bench_drc(numbers, coordinates, args.method, args.drc_steps, evaluation_s)
    start = eclipsed_methyl(coordinates)
    if hasattr(quorin_py, "transition_state"):
        start = quorin_py.transition_state(numbers, start, method=args.method).coordinates
    else:
        print("irc starts from the unrefined eclipsed methyl (no transition_state in this build)")
    bench_irc(numbers, start, args.method, args.irc_points, evaluation_s)


if __name__ == "__main__":
    main()
