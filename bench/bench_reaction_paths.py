"""Cost of the reaction-path drivers on aspirin under AM1, in units of one
calculate (SCF, energy and gradient) at the starting geometry: wall time of
each driver over the time of that single point, and drc on benzene, aspirin
and caffeine. Then, under PM6, the textbook transition states of
data/molecules/reactions (search, vibrational check, path down both ways,
imaginary frequencies at its two ends), the butane syn-eclipsed path at three
step sizes, and the formimidic acid to formamide saddle search with its
verification.

Usage: python3 bench/bench_reaction_paths.py [--method AM1] [--drc-steps 100] [--irc-points 10] [--ten-ts-only]

--ten-ts-only times irc alone (both branches, defaults, PM6) from the ten
transition states of data/molecules/reactions/*_ts.xyz, best of three each.
"""
import argparse
import math
import time

import quorin_py

from bench_common import best_of, molecule


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def unit_cost(numbers, coordinates, method):
    """Best of five single points (energy and gradient), seconds."""
    return best_of(lambda: quorin_py.calculate(numbers, coordinates, method), budget_s=math.inf)[0]


def methyl(numbers, coordinates):
    """(methyl carbon, its heavy neighbour, its three hydrogens)."""
    def bonded(a, b, cutoff):
        return a != b and math.dist(coordinates[a], coordinates[b]) < cutoff
    for c, z in enumerate(numbers):
        hydrogens = [h for h, zh in enumerate(numbers) if zh == 1 and bonded(c, h, 1.2)]
        if z == 6 and len(hydrogens) == 3:
            heavy = next(a for a, za in enumerate(numbers) if za > 1 and bonded(c, a, 1.7))
            return c, heavy, hydrogens
    raise ValueError("no methyl group")


def rotate_about(point, origin, axis, angle):
    """Rodrigues rotation of `point` about the line through `origin` along `axis`."""
    norm = math.sqrt(sum(a * a for a in axis))
    k = [a / norm for a in axis]
    v = [p - o for p, o in zip(point, origin)]
    c, s = math.cos(angle), math.sin(angle)
    kv = sum(a * b for a, b in zip(k, v))
    cross = [k[1] * v[2] - k[2] * v[1], k[2] * v[0] - k[0] * v[2], k[0] * v[1] - k[1] * v[0]]
    return [o + vi * c + ci * s + ki * kv * (1 - c) for o, vi, ci, ki in zip(origin, v, cross, k)]


def dihedral(p0, p1, p2, p3):
    b0 = [a - b for a, b in zip(p0, p1)]
    b1 = [a - b for a, b in zip(p2, p1)]
    b2 = [a - b for a, b in zip(p3, p2)]
    n = math.sqrt(sum(x * x for x in b1))
    b1 = [x / n for x in b1]
    v = [a - sum(x * y for x, y in zip(b0, b1)) * b for a, b in zip(b0, b1)]
    w = [a - sum(x * y for x, y in zip(b2, b1)) * b for a, b in zip(b2, b1)]
    cross = [b1[1] * v[2] - b1[2] * v[1], b1[2] * v[0] - b1[0] * v[2], b1[0] * v[1] - b1[1] * v[0]]
    return math.atan2(sum(a * b for a, b in zip(cross, w)), sum(a * b for a, b in zip(v, w)))


def eclipsed_acetyl(numbers, coordinates):
    """Aspirin with one acetyl-methyl hydrogen eclipsing the carbonyl oxygen."""
    c, carbonyl, hydrogens = methyl(numbers, coordinates)
    oxygen = next(o for o, z in enumerate(numbers) if z == 8 and math.dist(coordinates[o], coordinates[carbonyl]) < 1.3)
    turn = -dihedral(coordinates[oxygen], coordinates[carbonyl], coordinates[c], coordinates[hydrogens[0]])
    axis = [a - b for a, b in zip(coordinates[c], coordinates[carbonyl])]
    moved = [list(row) for row in coordinates]
    for h in hydrogens:
        moved[h] = rotate_about(coordinates[h], coordinates[c], axis, turn)
    return moved


def main():
    """The aspirin table; False when only the ten transition states were asked for."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--method", default="AM1")
    parser.add_argument("--drc-steps", type=int, default=100)
    parser.add_argument("--irc-points", type=int, default=10)
    parser.add_argument("--ten-ts-only", action="store_true")
    args = parser.parse_args()
    if args.ten_ts_only:
        ten_transition_states()
        return False
    numbers, coordinates = molecule("aspirin")
    n = len(numbers)
    unit = unit_cost(numbers, coordinates, args.method)
    print(f"aspirin ({n} atoms, {args.method}): one calculate = {unit * 1e3:.1f} ms")
    print(f"{'driver':<18}{'time / s':>10}{'cycles':>8}{'converged':>13}{'cost':>8}{'expected':>12}")

    def report(name, seconds, cycles, converged, expected):
        print(f"{name:<18}{seconds:>10.2f}{cycles:>8}{str(converged):>13}{seconds / unit:>8.1f}{expected:>12}")

    # Start, 6N for the first Hessian, one per cycle, the final single point;
    # a search that meets the gradient tests measures the curvature of its
    # mode there with two more. From the force-field geometry the search
    # wanders for all 100 cycles; from the relaxed molecule with a smaller
    # trust radius it reaches a saddle point.
    seconds, ts = timed(lambda: quorin_py.transition_state(numbers, eclipsed_acetyl(numbers, coordinates),
                                                           args.method))
    report("transition_state", seconds, ts.cycles, ts.converged, 2 + 6 * n + ts.cycles + 2 * ts.converged)
    relaxed = quorin_py.optimize(numbers, coordinates, args.method, grad_rms_tol=0.05, grad_max_tol=0.1,
                                 max_cycles=500).coordinates
    seconds, ts = timed(lambda: quorin_py.transition_state(numbers, eclipsed_acetyl(numbers, relaxed), args.method,
                                                           max_cycles=300, trust_radius=0.03))
    report("  relaxed start", seconds, ts.cycles, ts.converged, 2 + 6 * n + ts.cycles + 2 * ts.converged)

    # From the transition state: 6N for the Hessian, the corrector evaluations
    # of each point. Only a saddle point has a path down.
    if ts.converged:
        seconds, path = timed(lambda: quorin_py.irc(numbers, ts.coordinates, args.method, max_points=args.irc_points))
        points = len(path.points) - 1
        report("irc", seconds, points, f"{path.forward_converged}/{path.reverse_converged}", f"6N + {points} x (1..25)")
        print(f"  corrector evaluations per point ~ {(seconds / unit - 6 * n - 3) / max(points, 1):.1f}")

    # One evaluation per step and one at the start.
    seconds, md = timed(lambda: quorin_py.drc(numbers, coordinates, args.method, total_steps=args.drc_steps))
    report("drc (nve)", seconds, args.drc_steps, "-", args.drc_steps + 1)
    print(f"  {1e3 * seconds / args.drc_steps:.1f} ms per step, max |dE| {md.max_energy_drift_ev:.2e} eV")
    for name in ("benzene", "aspirin", "caffeine"):
        z, x = molecule(name)
        seconds, md = best_of(lambda: quorin_py.drc(z, x, args.method, total_steps=args.drc_steps), budget_s=math.inf,
                              max_runs=3)
        print(f"  {name}: {seconds:.3f} s per {args.drc_steps} steps (best of 3), changes of solution "
              f"{md.state_change_steps}")

    # Aspirin to itself with the methyl hydrogens permuted cyclically (a 120
    # degree turn). Set-up, estimate and final single point cost about 4, the
    # refinement 6N + 1 + its cycles; the rest are relaxation steps, between
    # num_cycles and num_cycles * inner_max_steps (12).
    _, _, hydrogens = methyl(numbers, coordinates)
    product = [list(row) for row in coordinates]
    for a, b in zip(hydrogens, hydrogens[1:] + hydrogens[:1]):
        product[b] = list(coordinates[a])
    seconds, s = timed(lambda: quorin_py.saddle(numbers, coordinates, product, args.method))
    refinement = s.ts_refinement
    steps = seconds / unit - 4 - (6 * n + 1 + refinement.cycles)
    report("saddle", seconds, s.num_cycles, s.converged, "see below")
    print(f"  relaxation steps ~ {steps:.0f} (allowed {s.num_cycles} to {12 * s.num_cycles}); refinement "
          f"{refinement.cycles} cycles, converged {refinement.converged}; barrier {s.barrier_forward_kcal:.3f} kcal/mol")
    return True


def imaginary_count(numbers, coordinates):
    return sum(1 for nu in quorin_py.frequencies(numbers, coordinates).vibrational_frequencies_cm1 if nu < -10.0)


def textbook():
    print("\ntextbook reactions (PM6)")
    print(f"{'start':<30}{'ts / s':>8}{'cycles':>8}{'converged':>11}{'imaginary':>11}{'irc / s':>9}{'points':>8}"
          f"{'ends converged':>16}{'ends imaginary':>16}")
    for name in ("claisen_ts_guess", "malonaldehyde_ts_guess", "pentadiene_h_shift_ts_guess",
                 "diels_alder_ts_guess"):
        numbers, start = molecule(f"reactions/{name}")
        seconds, ts = timed(lambda: quorin_py.transition_state(numbers, start))
        line = f"{name:<30}{seconds:>8.2f}{ts.cycles:>8}{str(ts.converged):>11}"
        line += f"{imaginary_count(numbers, ts.coordinates):>11}"
        if ts.converged:
            seconds, path = timed(lambda: quorin_py.irc(numbers, ts.coordinates))
            line += f"{seconds:>9.2f}{len(path.points):>8}{f'{path.reverse_converged}/{path.forward_converged}':>16}"
            ends = [imaginary_count(numbers, p.coordinates) for p in (path.points[0], path.points[-1])]
            line += f"{f'{ends[0]}/{ends[1]}':>16}"
        print(line)

    numbers, syn = molecule("reactions/butane_syn_ts")
    print(f"{'butane syn, step':<30}{'irc / s':>8}{'points':>8}{'ends converged':>16}{'dihedrals / deg':>18}")
    for step in (0.05, 0.1, 0.2):
        seconds, path = timed(lambda: quorin_py.irc(numbers, syn, step_size=step))
        ends = [math.degrees(dihedral(*p.coordinates[:4])) for p in (path.points[0], path.points[-1])]
        print(f"{step:<30}{seconds:>8.2f}{len(path.points):>8}"
              f"{f'{path.reverse_converged}/{path.forward_converged}':>16}{ends[0]:>9.1f}{ends[1]:>9.1f}")

    z = [6, 7, 8, 1, 1, 1]
    imidic = quorin_py.optimize(z, [[0, 0, 0], [0, 0, 1.27], [1.059, 0.318, -0.774], [-0.904, -0.271, -0.545],
                                    [-0.918, -0.275, 1.619], [1.801, 0.54, -0.191]], grad_rms_tol=0.01,
                                grad_max_tol=0.02).coordinates
    amide = quorin_py.optimize(z, [[0, 0, 0], [0, 0, 1.36], [0.969, 0.291, -0.682], [-0.97, -0.291, -0.43],
                                   [-0.846, -0.254, 1.85], [0.829, 0.249, 1.88]], grad_rms_tol=0.01,
                               grad_max_tol=0.02).coordinates
    seconds, s = timed(lambda: quorin_py.saddle(z, imidic, amide))
    print(f"saddle formimidic acid -> formamide: {seconds:.2f} s, converged {s.converged}, barriers "
          f"{s.barrier_forward_kcal:.2f} / {s.barrier_reverse_kcal:.2f} kcal/mol")


TEN_TRANSITION_STATES = ("ethane_rotation_ts", "ammonia_inversion_ts", "hcn_isomerisation_ts",
                         "methyl_isocyanide_ts", "formamide_h_shift_ts", "butane_syn_ts", "malonaldehyde_ts",
                         "claisen_ts", "pentadiene_h_shift_ts", "diels_alder_ts")


def ten_transition_states():
    print("\nirc from ten transition states (PM6, both branches, defaults), best of 3")
    print(f"{'transition state':<24}{'atoms':>6}{'irc / s':>9}{'points':>8}{'ends converged':>16}")
    total = 0.0
    for name in TEN_TRANSITION_STATES:
        numbers, ts = molecule(f"reactions/{name}")
        seconds, path = best_of(lambda: quorin_py.irc(numbers, ts), budget_s=math.inf, max_runs=3)
        total += seconds
        print(f"{name:<24}{len(numbers):>6}{seconds:>9.3f}{len(path.points):>8}"
              f"{f'{path.reverse_converged}/{path.forward_converged}':>16}")
    print(f"{'total':<24}{'':>6}{total:>9.3f}")


if __name__ == "__main__":
    if main():
        textbook()
        ten_transition_states()
