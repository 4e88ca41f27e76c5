"""Times quorin_py.calculate (SCF, energy and gradient) on the molecule
ladder of data/molecules and fits the growth exponent of time against atom
count on a log-log scale.

The calculator object and, when ASE imports, the ASE calculator are timed on
the same molecules; their overhead over calculate is printed in percent.

Usage: python3 bench/bench_calculate.py [--method PM6] [--max-atoms N] [--cosmo-eps 78.4]
Runs with OPENBLAS_NUM_THREADS=1 unless the environment sets it: the engine
computes on one thread, and the library's idle thread pool is not wanted.
"""
import argparse
import math
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # before the library loads

import quorin_py  # noqa: E402

from bench_common import MOLECULES, best_of, fit_exponent, read_xyz  # noqa: E402


def ase_energy_call(numbers, coordinates, method, cosmo_eps):
    """A call that computes the ASE calculator's results anew, or None without ASE."""
    try:
        import ase
    except ImportError:
        return None

    atoms = ase.Atoms(numbers=numbers, positions=coordinates)
    atoms.calc = quorin_py.QuorinASECalculator(method=method, cosmo_eps=cosmo_eps)
    return lambda: atoms.calc.calculate(atoms)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--method", default="PM6")
    parser.add_argument("--max-atoms", type=int, default=10**9)
    parser.add_argument("--cosmo-eps", type=float, default=None, help="run in a dielectric continuum")
    args = parser.parse_args()

    ladder = sorted((read_xyz(p) + (p.stem,) for p in MOLECULES.glob("*.xyz")), key=lambda m: len(m[0]))
    names, sizes, times = [], [], []
    solvent = "" if args.cosmo_eps is None else f", COSMO eps={args.cosmo_eps}"
    print(f"calculate ({args.method}{solvent}, energy + gradient), best of up to 5 runs")
    calculator = quorin_py.QuorinCalculator(method=args.method, cosmo_eps=args.cosmo_eps)
    print(f"{'molecule':<14}{'atoms':>6}{'time / s':>12}{'SCF iter':>10}{'converged':>11}"
          f"{'calculator':>12}{'ASE':>9}")
    for numbers, coordinates, name in ladder:
        if len(numbers) > args.max_atoms:
            continue
        elapsed, result = best_of(lambda: quorin_py.calculate(numbers, coordinates, method=args.method,
                                                               cosmo_eps=args.cosmo_eps))
        object_s, _ = best_of(lambda: calculator.calculate(numbers, coordinates))
        ase_call = ase_energy_call(numbers, coordinates, args.method, args.cosmo_eps)
        ase_text = f"{100.0 * (best_of(ase_call)[0] / elapsed - 1.0):>+8.1f}%" if ase_call else f"{'-':>9}"
        names.append(name)
        sizes.append(len(numbers))
        times.append(elapsed)
        print(f"{name:<14}{len(numbers):>6}{elapsed:>12.4f}{result.scf_iterations:>10}{str(result.converged):>11}"
              f"{100.0 * (object_s / elapsed - 1.0):>+11.1f}%{ase_text}")
    if len(sizes) >= 2:
        print(f"growth exponent (log-log fit, all molecules): {fit_exponent(sizes, times):.2f}")
        large = [(n, t) for n, t in zip(sizes, times) if n >= 20]
        if len(large) >= 2:
            exponent = fit_exponent([n for n, _ in large], [t for _, t in large])
            print(f"growth exponent (20 atoms and more):          {exponent:.2f}")
        alkanes = {name: (n, t) for name, n, t in zip(names, sizes, times)}
        if "icosane" in alkanes and "octacontane" in alkanes:
            (n0, t0), (n1, t1) = alkanes["icosane"], alkanes["octacontane"]
            print(f"growth exponent (icosane to octacontane):     {math.log(t1 / t0) / math.log(n1 / n0):.2f}")


if __name__ == "__main__":
    main()
