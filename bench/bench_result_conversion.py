"""Cost of turning an engine record into a Python result: water drc with every
frame recorded against the same run recording two frames (every step is
computed either way), best of five each.

Usage: python3 bench/bench_result_conversion.py [--steps 3000 20000]
"""
import argparse

import quorin_py

from bench_common import best_of, molecule


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, nargs="+", default=[3000, 20000])
    args = parser.parse_args()
    numbers, coordinates = molecule("water")
    for steps in args.steps:
        def run(interval):
            return best_of(lambda: quorin_py.drc(numbers, coordinates, total_steps=steps, recording_interval=interval),
                           budget_s=float("inf"))[0]
        every, two = run(1), run(steps)
        print(f"drc {steps} steps: {steps + 1} frames {every:.3f} s, 2 frames {two:.3f} s, "
              f"recording and conversion {every - two:.3f} s ({100 * (every - two) / every:.1f} % of the call)")


if __name__ == "__main__":
    main()
