"""Times quorin_py.optimize on mid-sized molecules (aspirin, caffeine) and
quorin_py.frequencies on benzene, aspirin and caffeine through the Python
API, with the NDDO switch off and on (frequencies of the larger two with NDDO
only). Each frequencies time is also given per 6N single points (calculate):
the displaced evaluations start from the base solution and rebuild only the
pair data of the atom that moved, so each costs less than a calculate from
scratch.

Usage: python3 bench/bench_opt_freq.py [--method PM6] [--runs 3]
"""
import argparse
import math

import quorin_py

from bench_common import best_of, molecule


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--method", default="PM6")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    print(f"optimize ({args.method}), best of {args.runs}")
    print(f"{'molecule':<10}{'atoms':>6}{'nddo':>6}{'time / s':>10}{'cycles':>8}{'converged':>11}"
          f"{'grad rms':>10}{'dHf kcal/mol':>14}")
    for name in ("aspirin", "caffeine"):
        numbers, coordinates = molecule(name)
        for nddo in (False, True):
            seconds, r = best_of(
                lambda: quorin_py.optimize(numbers, coordinates, args.method, use_nddo=nddo), math.inf, args.runs)
            print(f"{name:<10}{len(numbers):>6}{str(nddo):>6}{seconds:>10.3f}{r.cycles:>8}{str(r.converged):>11}"
                  f"{r.final_grad_rms:>10.4f}{r.final_heat_of_formation_kcal:>14.3f}")

    print(f"\nfrequencies ({args.method}), best of {args.runs}")
    print(f"{'molecule':<10}{'atoms':>6}{'nddo':>6}{'time / s':>10}{'modes':>7}{'lowest cm-1':>13}"
          f"{'ZPVE kcal/mol':>15}{'/ 6N calculate':>16}")
    for name, switches in (("benzene", (False, True)), ("aspirin", (True,)), ("caffeine", (True,))):
        numbers, coordinates = molecule(name)
        single, _ = best_of(lambda: quorin_py.calculate(numbers, coordinates, args.method), math.inf, args.runs)
        for nddo in switches:
            seconds, v = best_of(
                lambda: quorin_py.frequencies(numbers, coordinates, args.method, use_nddo=nddo), math.inf, args.runs)
            vib = v.vibrational_frequencies_cm1
            print(f"{name:<10}{len(numbers):>6}{str(nddo):>6}{seconds:>10.3f}{len(vib):>7}{vib[0]:>13.1f}"
                  f"{v.zpve_kcal_mol:>15.3f}{seconds / (6 * len(numbers) * single):>16.2f}")

if __name__ == "__main__":
    main()
