"""Times quorin_py.uv_vis_spectrum against quorin_py.calculate on benzene
(4 active orbitals) and caffeine (6): what the CI, its transition dipoles and
the spectrum add to the SCF and gradient. Then the gradient of an excited
root: quorin_py.meci with target root 2 on formaldehyde (4 active orbitals)
and caffeine (6), and the part of it the root gradient takes (meci minus
uv_vis_spectrum, which runs the same SCF and CI without the gradient).

Run with OPENBLAS_NUM_THREADS=1 for single-thread timings.
Usage: python3 bench/bench_uv_vis.py [--method PM6] [--runs 5]
"""
import argparse
import math

import quorin_py
from bench_common import best_of, molecule

FORMALDEHYDE = ([6, 8, 1, 1], [[0.0, 0.0, 0.0], [0.0, 0.0, 1.21], [0.94, 0.0, -0.59], [-0.94, 0.0, -0.59]])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--method", default="PM6")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    print(f"{'molecule':10s} {'orbitals':>8s} {'calculate s':>12s} {'uv_vis s':>10s} {'added s':>9s} {'ratio':>6s}")
    for name, orbitals in (("benzene", 4), ("caffeine", 6)):
        numbers, coordinates = molecule(name)
        single, _ = best_of(lambda: quorin_py.calculate(numbers, coordinates, args.method), math.inf, args.runs)
        spectrum, _ = best_of(
            lambda: quorin_py.uv_vis_spectrum(numbers, coordinates, args.method, orbitals), math.inf, args.runs)
        print(f"{name:10s} {orbitals:8d} {single:12.4f} {spectrum:10.4f} {spectrum - single:9.4f} "
              f"{spectrum / single:6.2f}")

    print()
    print(f"{'molecule':12s} {'orbitals':>8s} {'meci root 2 s':>14s} {'gradient s':>11s}")
    for name, orbitals in (("formaldehyde", 4), ("caffeine", 6)):
        numbers, coordinates = FORMALDEHYDE if name == "formaldehyde" else molecule(name)
        root, _ = best_of(
            lambda: quorin_py.meci(numbers, coordinates, args.method, orbitals, 2), math.inf, args.runs)
        road, _ = best_of(
            lambda: quorin_py.uv_vis_spectrum(numbers, coordinates, args.method, orbitals), math.inf, args.runs)
        print(f"{name:12s} {orbitals:8d} {root:14.4f} {root - road:11.4f}")


if __name__ == "__main__":
    main()
