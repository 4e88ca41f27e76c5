"""Times quorin_py.varnex against quorin_py.calculate (the reference, with its
defaults) on the long alkanes of data/molecules, with the energy difference of
the two and the growth exponent of each time against the atom count. Times are
the best of up to 3 runs. Run with OPENBLAS_NUM_THREADS=1.

Usage: python3 bench/bench_varnex.py [--methods AM1 PM6] [--molecules icosane tetracontane octacontane]
"""
import argparse

import quorin_py
from bench_common import best_of, fit_exponent, molecule


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--methods", nargs="+", default=["AM1", "PM6"])
    parser.add_argument("--molecules", nargs="+", default=["icosane", "tetracontane", "octacontane"])
    args = parser.parse_args()
    for method in args.methods:
        print(f"{method}: varnex and calculate, both with defaults")
        print(f"{'molecule':<14}{'atoms':>6}{'varnex s':>10}{'iter':>6}{'conv':>6}{'calc s':>10}{'iter':>6}"
              f"{'conv':>6}{'|dE| eV':>12}")
        sizes, varnex_times, calculate_times = [], [], []
        for name in args.molecules:
            numbers, coordinates = molecule(name)
            t_varnex, v = best_of(lambda: quorin_py.varnex(numbers, coordinates, method=method), max_runs=3)
            t_calc, c = best_of(lambda: quorin_py.calculate(numbers, coordinates, method=method), max_runs=3)
            sizes.append(len(numbers))
            varnex_times.append(t_varnex)
            calculate_times.append(t_calc)
            print(f"{name:<14}{len(numbers):>6}{t_varnex:>10.3f}{v.iterations:>6}{str(v.converged):>6}"
                  f"{t_calc:>10.3f}{c.scf_iterations:>6}{str(c.converged):>6}"
                  f"{abs(v.total_energy_ev - c.total_energy_ev):>12.2e}")
        if len(sizes) >= 2:
            print(f"growth exponent: varnex {fit_exponent(sizes, varnex_times):.2f}, "
                  f"calculate {fit_exponent(sizes, calculate_times):.2f}")


if __name__ == "__main__":
    main()
