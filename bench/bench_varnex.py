"""Times quorin_py.varnex against quorin_py.calculate (the reference, with its
defaults) on all-trans alkanes of 62 to 962 atoms, two capped peptides of
about 250 atoms (an extended strand and a helix) and, when asked, all-trans
polyenes (whose pi bonds the stability check of varnex works on), with the energy difference
of the two per atom and the growth exponent of each time against the atom
count. Times are the best of up to 3 runs. Run with OPENBLAS_NUM_THREADS=1.

The geometries are built here from standard bond lengths and angles:
alkanes with C-C 1.53 and C-H 1.09 angstrom and tetrahedral angles; planar
polyenes with C=C 1.34, C-C 1.46, C-H 1.09 angstrom and C-C-C 124 degrees; peptides
residue by residue from internal coordinates (N-CA 1.458, CA-C 1.525, C-N
1.329, C=O 1.231 angstrom, planar trans peptide bonds), side chains with
staggered torsions and planar rings.

Usage: python3 bench/bench_varnex.py [--methods PM6 AM1] [--alkanes 20 40 80 160 320] [--no-peptides]
       [--polyenes 160] (double bonds per polyene) [--no-calculate]
"""
import argparse
import math

import quorin_py
from bench_common import best_of, fit_exponent

KCAL_PER_EV = 23.06054783061903


def _sub(a, b):
    return [a[0] - b[0], a[1] - b[1], a[2] - b[2]]


def _add(a, b):
    return [a[0] + b[0], a[1] + b[1], a[2] + b[2]]


def _scale(a, s):
    return [a[0] * s, a[1] * s, a[2] * s]


def _unit(a):
    n = math.sqrt(a[0] ** 2 + a[1] ** 2 + a[2] ** 2)
    return [a[0] / n, a[1] / n, a[2] / n]


def _cross(a, b):
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]


def _dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def place(a, b, c, bond, angle_deg, torsion_deg):
    """The atom d with |cd| = bond, angle bcd and torsion abcd (degrees)."""
    angle, torsion = math.radians(angle_deg), math.radians(torsion_deg)
    bc = _unit(_sub(c, b))
    n = _unit(_cross(_sub(b, a), bc))
    m = _cross(n, bc)
    d = [-bond * math.cos(angle), bond * math.sin(angle) * math.cos(torsion), bond * math.sin(angle) * math.sin(torsion)]
    return _add(c, [bc[i] * d[0] + m[i] * d[1] + n[i] * d[2] for i in range(3)])


def alkane(n_carbons):
    """All-trans n-alkane C(n)H(2n+2)."""
    cc, ch = 1.53, 1.09
    half = math.radians(109.47) / 2
    dx, dy = cc * math.sin(half), cc * math.cos(half)
    chain = [[k * dx, 0.0 if k % 2 == 0 else dy, 0.0] for k in range(-1, n_carbons + 1)]
    numbers, coords = [6] * n_carbons, [list(c) for c in chain[1:-1]]
    for k in range(1, n_carbons + 1):
        a, c, b = chain[k - 1], chain[k], chain[k + 1]
        w = _unit(_add(_sub(c, a), _sub(c, b)))
        n = _unit(_cross(_sub(a, c), _sub(b, c)))
        for s in (1, -1):
            numbers.append(1)
            coords.append(_add(c, _scale(_add(_scale(w, math.cos(half)), _scale(n, s * math.sin(half))), ch)))
        for end, virtual in ((1, a), (n_carbons, b)):
            if k == end:
                numbers.append(1)
                coords.append(_add(c, _scale(_unit(_sub(virtual, c)), ch)))
    return numbers, coords


def polyene(n_double):
    """All-trans planar polyene C(2n)H(2n+2)."""
    half = math.radians(124.0) / 2
    chain = [[0.0, 0.0, 0.0]]
    for k in range(2 * n_double - 1):
        length, side = (1.34, 1.0) if k % 2 == 0 else (1.46, -1.0)
        last = chain[-1]
        chain.append([last[0] + length * math.sin(half), last[1] + side * length * math.cos(half), 0.0])
    numbers, coords = [6] * len(chain), [list(c) for c in chain]
    for k, c in enumerate(chain):
        if 0 < k < len(chain) - 1:
            numbers.append(1)
            coords.append(_add(c, _scale(_unit(_add(_sub(c, chain[k - 1]), _sub(c, chain[k + 1]))), 1.09)))
            continue
        u = _unit(_sub(c, chain[1] if k == 0 else chain[k - 1]))  # ends: CH2, H-C-C 120 degrees
        for turn in (math.pi / 3, -math.pi / 3):
            numbers.append(1)
            coords.append(_add(c, _scale([u[0] * math.cos(turn) - u[1] * math.sin(turn),
                                          u[0] * math.sin(turn) + u[1] * math.cos(turn), 0.0], 1.09)))
    return numbers, coords


class _Builder:
    def __init__(self):
        self.numbers, self.coords = [], []

    def add(self, z, xyz):
        self.numbers.append(z)
        self.coords.append(xyz)
        return xyz

    def planar_h(self, atom, n1, n2, length=1.08):
        """An H on a trigonal atom, opposite the bisector of its two neighbours."""
        d = _unit(_add(_unit(_sub(atom, n1)), _unit(_sub(atom, n2))))
        return self.add(1, _add(atom, _scale(d, length)))

    def methyl_h(self, atom, n1, n2, length=1.09, z=1):
        """Three staggered atoms on an sp3 atom bonded to n1 (n2 fixes the torsion)."""
        for t in (60.0, 180.0, 300.0):
            self.add(z, place(n2, n1, atom, length, 109.5, t))

    def tetrahedral_pair(self, atom, n1, n2, length=1.09):
        """The two remaining tetrahedral positions on an atom with neighbours n1, n2."""
        u, v = _unit(_sub(n1, atom)), _unit(_sub(n2, atom))
        b = _unit(_scale(_add(u, v), -1.0))
        n = _unit(_cross(u, v))
        theta = math.radians(54.75)
        return [_add(atom, _scale(_add(_scale(b, math.cos(theta)), _scale(n, s * math.sin(theta))), length))
                for s in (1, -1)]


def _ring_h(b, ring, neighbours):
    for atom, (n1, n2) in zip(ring, neighbours):
        b.planar_h(atom, n1, n2)


def _isopropyl_end(b, n2, n1, atom, torsions):
    """Two methyl groups and an H on the sp3 atom bonded to n1, at the
    torsions n2-n1-atom-X given in that order."""
    g1 = b.add(6, place(n2, n1, atom, 1.53, 110.5, torsions[0]))
    g2 = b.add(6, place(n2, n1, atom, 1.53, 110.5, torsions[1]))
    b.add(1, place(n2, n1, atom, 1.09, 108.0, torsions[2]))
    b.methyl_h(g1, atom, n1)
    b.methyl_h(g2, atom, n1)


def _side_chain(b, name, n, ca, cb, chi1):
    """Side-chain atoms beyond CB (and the H of CB) for one residue name."""
    if name == "ALA":
        b.methyl_h(cb, ca, n)
        return
    if name == "SER":
        og = b.add(8, place(n, ca, cb, 1.43, 111.0, chi1))
        for h in b.tetrahedral_pair(cb, ca, og):
            b.add(1, h)
        b.add(1, place(ca, cb, og, 0.96, 109.0, 180.0))
        return
    if name == "VAL":
        _isopropyl_end(b, n, ca, cb, (chi1, chi1 + 120.0, chi1 - 120.0))
        return
    if name == "LEU":
        cg = b.add(6, place(n, ca, cb, 1.53, 116.0, chi1))
        for h in b.tetrahedral_pair(cb, ca, cg):
            b.add(1, h)
        _isopropyl_end(b, ca, cb, cg, (180.0, 60.0, -60.0))
        return
    if name == "LYS":
        atoms = [cb]
        prev2, prev1 = n, ca
        for z, bond in ((6, 1.53), (6, 1.53), (6, 1.53), (7, 1.47)):
            atom = b.add(z, place(prev2, prev1, atoms[-1], bond, 111.0, chi1 if len(atoms) == 1 else 180.0))
            prev2, prev1 = prev1, atoms[-1]
            atoms.append(atom)
        chain = [ca] + atoms
        for k in range(1, len(chain) - 1):
            for h in b.tetrahedral_pair(chain[k], chain[k - 1], chain[k + 1]):
                b.add(1, h)
        nz = chain[-1]
        b.add(1, place(chain[-3], chain[-2], nz, 1.01, 109.5, 60.0))
        b.add(1, place(chain[-3], chain[-2], nz, 1.01, 109.5, -60.0))
        return
    cg = b.add(6, place(n, ca, cb, 1.50, 114.0, chi1))
    for h in b.tetrahedral_pair(cb, ca, cg):
        b.add(1, h)
    if name in ("PHE", "TYR"):
        d1 = b.add(6, place(ca, cb, cg, 1.39, 120.0, 90.0))
        d2 = b.add(6, place(ca, cb, cg, 1.39, 120.0, -90.0))
        e1 = b.add(6, place(cb, cg, d1, 1.39, 120.0, 180.0))
        e2 = b.add(6, place(cb, cg, d2, 1.39, 120.0, 180.0))
        cz = b.add(6, place(cg, d1, e1, 1.39, 120.0, 0.0))
        _ring_h(b, [d1, d2, e1, e2], [(cg, e1), (cg, e2), (d1, cz), (d2, cz)])
        if name == "PHE":
            b.planar_h(cz, e1, e2)
        else:
            oh = b.add(8, _add(cz, _scale(_unit(_add(_unit(_sub(cz, e1)), _unit(_sub(cz, e2)))), 1.36)))
            b.add(1, place(e1, cz, oh, 0.96, 109.0, 0.0))
        return
    if name == "HIS":  # neutral, H on NE2
        d1 = b.add(7, place(ca, cb, cg, 1.38, 126.0, 90.0))
        d2 = b.add(6, place(ca, cb, cg, 1.36, 126.0, -90.0))
        e1 = b.add(6, place(cb, cg, d1, 1.32, 108.0, 180.0))
        e2 = b.add(7, place(cg, d1, e1, 1.37, 108.0, 0.0))
        _ring_h(b, [d2, e1, e2], [(cg, e2), (d1, e2), (e1, d2)])
        return
    if name == "TRP":
        d1 = b.add(6, place(ca, cb, cg, 1.37, 126.0, 90.0))
        d2 = b.add(6, place(ca, cb, cg, 1.43, 126.0, -90.0))
        e1 = b.add(7, place(cb, cg, d1, 1.38, 108.0, 180.0))
        e2 = b.add(6, place(cg, d1, e1, 1.38, 108.0, 0.0))
        e3 = b.add(6, place(e1, e2, d2, 1.40, 120.0, 180.0))
        z3 = b.add(6, place(e2, d2, e3, 1.39, 120.0, 0.0))
        h2 = b.add(6, place(d2, e3, z3, 1.39, 120.0, 0.0))
        z2 = b.add(6, place(e3, z3, h2, 1.39, 120.0, 0.0))
        _ring_h(b, [d1, e1, e3, z3, h2, z2], [(cg, e1), (d1, e2), (d2, z3), (e3, h2), (z3, z2), (h2, e2)])
        return
    raise ValueError(f"no side chain for {name}")


def _clear(b, start):
    for i in range(start, len(b.numbers)):
        for j in range(start - 7):  # the residue's own N, H, CA, C, O, HA and CB excluded
            limit = 2.5 if b.numbers[i] > 1 and b.numbers[j] > 1 else 1.8
            if math.dist(b.coords[i], b.coords[j]) < limit:
                return False
    return True


def peptide(residues, phi, psi):
    """Acetyl-(residues)-N-methylamide with backbone torsions phi, psi (degrees)."""
    b = _Builder()
    methyl = b.add(6, [0.0, 0.0, 0.0])
    carbonyl = b.add(6, [1.52, 0.0, 0.0])
    n = place([0.0, 1.0, 0.0], methyl, carbonyl, 1.329, 116.2, 180.0)
    b.add(8, place(n, methyl, carbonyl, 1.231, 121.0, 180.0))
    b.methyl_h(methyl, carbonyl, n)
    prev_c, prev_ca = carbonyl, methyl
    for name in residues + ["NME"]:
        b.add(7, n)
        ca = place(prev_ca, prev_c, n, 1.458, 121.7, 180.0)
        b.planar_h(n, prev_c, ca, 1.01)
        b.add(6, ca)
        if name == "NME":
            b.methyl_h(ca, n, prev_c)
            break
        c = place(prev_c, n, ca, 1.525, 111.2, phi)
        b.add(6, c)
        next_n = place(n, ca, c, 1.329, 116.2, psi)
        b.add(8, _add(c, _scale(_unit(_add(_unit(_sub(c, ca)), _unit(_sub(c, next_n)))), 1.231)))
        # L configuration: (N - CA) x (C - CA) . (CB - CA) > 0.
        first, second = b.tetrahedral_pair(ca, n, c, 1.0)
        side = first if _dot(_cross(_sub(n, ca), _sub(c, ca)), _sub(first, ca)) > 0 else second
        other = second if side is first else first
        b.add(1, _add(ca, _scale(_unit(_sub(other, ca)), 1.09)))
        if name == "GLY":
            b.add(1, _add(ca, _scale(_unit(_sub(side, ca)), 1.09)))
        else:
            cb = b.add(6, _add(ca, _scale(_unit(_sub(side, ca)), 1.53)))
            # The first staggered chi1 that keeps the side chain 1.8 angstrom
            # (heavy atoms 2.5) from every atom placed before.
            start = len(b.numbers)
            for chi1 in (-60.0, 180.0, 60.0):
                _side_chain(b, name, n, ca, cb, chi1)
                if _clear(b, start):
                    break
                del b.numbers[start:], b.coords[start:]
            else:
                raise ValueError(f"no room for the side chain of {name}")
        prev_ca, prev_c, n = ca, c, next_n
    return b.numbers, b.coords


# Two peptides of about 250 atoms with every aromatic side chain.
STRAND = ["ALA", "PHE", "GLY", "HIS", "SER", "TYR", "LEU", "TRP", "VAL", "LYS", "ALA", "GLY", "SER", "PHE", "ALA", "SER"]
HELIX = ["ALA", "LEU", "HIS", "PHE", "LYS", "SER", "TRP", "ALA", "TYR", "VAL", "GLY", "ALA", "SER", "LEU", "ALA", "SER"]


def benchmark_set(alkane_carbons, with_peptides, polyene_bonds=()):
    cases = [(f"C{n}H{2 * n + 2}", alkane(n)) for n in alkane_carbons]
    cases += [(f"C{2 * n}H{2 * n + 2}", polyene(n)) for n in polyene_bonds]
    if with_peptides:
        cases.append(("strand", peptide(STRAND, -139.0, 135.0)))
        cases.append(("helix", peptide(HELIX, -57.0, -47.0)))
    return cases


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--methods", nargs="+", default=["PM6"])
    parser.add_argument("--alkanes", nargs="+", type=int, default=[20, 40, 80, 160, 320])
    parser.add_argument("--no-peptides", action="store_true")
    parser.add_argument("--polyenes", nargs="*", type=int, default=[])
    parser.add_argument("--no-calculate", action="store_true", help="time varnex alone")
    parser.add_argument("--runs", type=int, default=3, help="best of this many runs (fewer after 1 s)")
    parser.add_argument("--all-runs", action="store_true", help="every run, however long")
    args = parser.parse_args()
    budget = float("inf") if args.all_runs else 1.0
    for method in args.methods:
        print(f"{method}: varnex and calculate, both with defaults")
        print(f"{'molecule':<12}{'atoms':>6}{'varnex s':>10}{'iter':>6}{'conv':>6}{'calc s':>10}{'iter':>6}"
              f"{'conv':>6}{'speed-up':>9}{'|dE|/atom kcal/mol':>20}")
        sizes, varnex_times, calculate_times = [], [], []
        alkanes = {f"C{n}H{2 * n + 2}" for n in args.alkanes}
        for name, (numbers, coordinates) in benchmark_set(args.alkanes, not args.no_peptides, args.polyenes):
            try:
                t_varnex, v = best_of(lambda: quorin_py.varnex(numbers, coordinates, method=method), budget,
                                      args.runs)
            except ValueError as refusal:
                print(f"{name:<12}{len(numbers):>6}  varnex refused: {refusal}", flush=True)
                continue
            if args.no_calculate:
                print(f"{name:<12}{len(numbers):>6}{t_varnex:>10.3f}{v.iterations:>6}{str(v.converged):>6}",
                      flush=True)
                continue
            t_calc, c = best_of(lambda: quorin_py.calculate(numbers, coordinates, method=method), budget, args.runs)
            error = abs(v.total_energy_ev - c.total_energy_ev) * KCAL_PER_EV / len(numbers)
            print(f"{name:<12}{len(numbers):>6}{t_varnex:>10.3f}{v.iterations:>6}{str(v.converged):>6}"
                  f"{t_calc:>10.3f}{c.scf_iterations:>6}{str(c.converged):>6}{t_calc / t_varnex:>9.2f}"
                  f"{error:>20.2e}", flush=True)
            if name in alkanes:
                sizes.append(len(numbers))
                varnex_times.append(t_varnex)
                calculate_times.append(t_calc)
        if len(sizes) >= 2:
            print(f"alkane growth exponent: varnex {fit_exponent(sizes, varnex_times):.2f}, "
                  f"calculate {fit_exponent(sizes, calculate_times):.2f}")


if __name__ == "__main__":
    main()
