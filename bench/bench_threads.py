"""Times quorin_py.calculate (PM6, energy + gradient) on large molecules with
the BLAS library on one thread and on all cores: the 242-atom end of the
molecule ladder (data/molecules/octacontane.xyz) and straight-chain alkanes
up to C330H662 (992 atoms, 1,982 basis functions).

Each thread setting runs in its own interpreter, since the library reads
OPENBLAS_NUM_THREADS when it loads. The load average is printed before and
after: on a machine busy with other work, threads that wait for each other
can make the threaded run slower than one thread.

Usage: python3 bench/bench_threads.py [--carbons 150 250 330] [--repeats 2] [--threads N]
"""
import argparse
import json
import math
import os
import subprocess
import sys

CHILD = """
import json, sys, time
sys.path.insert(0, {bench!r})
import quorin_py
from bench_common import best_of, molecule
from bench_threads import linear_alkane
names, repeats = {names!r}, {repeats}
out = {{}}
for name in names:
    numbers, coordinates = molecule(name) if not name.startswith("C") else linear_alkane(int(name[1:]))
    seconds, result = best_of(lambda: quorin_py.calculate(numbers, coordinates), budget_s=0.0, max_runs=repeats)
    out[name] = [len(numbers), seconds, result.scf_iterations, result.total_energy_ev]
print(json.dumps(out))
"""


def linear_alkane(carbons):
    """All-trans CnH(2n+2): C-C 1.54 and C-H 1.09 angstrom, tetrahedral angles."""
    half = math.radians(109.47) / 2
    step, offset = 1.54 * math.sin(half), 1.54 * math.cos(half) / 2
    hy, hz = 1.09 * math.cos(math.radians(54.735)), 1.09 * math.sin(math.radians(54.735))
    carbon = [[i * step, offset if i % 2 else -offset, 0.0] for i in range(carbons)]
    numbers, coordinates = [6] * carbons, [list(c) for c in carbon]
    for c in carbon:
        out = 1.0 if c[1] > 0 else -1.0
        for side in (1.0, -1.0):
            numbers.append(1)
            coordinates.append([c[0], c[1] + out * hy, side * hz])
    for end, sign in ((0, -1.0), (carbons - 1, 1.0)):
        c = carbon[end]
        inward = 1.0 if c[1] > 0 else -1.0
        numbers.append(1)
        coordinates.append([c[0] + sign * 1.09 * math.sin(half), c[1] - inward * 1.09 * math.cos(half), 0.0])
    return numbers, coordinates


def run(names, repeats, threads):
    env = dict(os.environ)
    env.pop("OMP_NUM_THREADS", None)
    if threads is None:
        env.pop("OPENBLAS_NUM_THREADS", None)
    else:
        env["OPENBLAS_NUM_THREADS"] = str(threads)
    bench = os.path.dirname(os.path.abspath(__file__))
    code = CHILD.format(bench=bench, names=names, repeats=repeats)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--carbons", type=int, nargs="*", default=[150, 250, 330])
    parser.add_argument("--repeats", type=int, default=2, help="runs per molecule; the shortest counts")
    parser.add_argument("--threads", type=int, default=None, help="threads of the second run (default: all cores)")
    args = parser.parse_args()
    names = ["octacontane"] + [f"C{n}" for n in args.carbons]
    print(f"load average before: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    one = run(names, args.repeats, 1)
    many = run(names, args.repeats, args.threads)
    label = "all cores" if args.threads is None else f"{args.threads} threads"
    print(f"calculate (PM6, energy + gradient), shortest of {args.repeats} runs")
    print(f"{'molecule':<12}{'atoms':>6}{'1 thread / s':>14}{label + ' / s':>16}{'speed-up':>10}{'SCF iter':>10}"
          f"{'|dE| / eV':>11}")
    for name in names:
        atoms, t1, iterations, e1 = one[name]
        _, tn, _, en = many[name]
        print(f"{name:<12}{atoms:>6}{t1:>14.3f}{tn:>16.3f}{t1 / tn:>10.2f}{iterations:>10}{abs(e1 - en):>11.1e}")
    print(f"load average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
