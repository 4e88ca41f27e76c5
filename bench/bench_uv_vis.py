"""Times quorin_py.uv_vis_spectrum against quorin_py.calculate on benzene
(4 active orbitals) and caffeine (6): what the CI, its transition dipoles and
the spectrum add to the SCF and gradient.

Usage: python3 bench/bench_uv_vis.py [--method PM6] [--runs 5]
"""
import argparse
import math

import quorin_py
from bench_common import best_of, molecule


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


if __name__ == "__main__":
    main()
