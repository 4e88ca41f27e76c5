"""Which state a single point reports: far-apart fragments end at the sum of
their own energies, and max_iter bounds the reported iteration count."""
import pytest

import quorin_py

C2 = [[-1.07, 0.0, 0.0], [1.07, 0.0, 0.0]]  # C-C 2.14 angstrom


@pytest.mark.parametrize("method", ["MNDO", "AM1", "PM3", "RM1", "PM6", "PM7"])
def test_far_apart_molecules_end_at_the_sum_of_their_energies(method):
    # Two C2 molecules that do not overlap: states with electrons moved from
    # one to the other are stationary too, hundreds of eV up. The run must
    # converge within the default cap at twice the energy of one C2 (the
    # reference: the molecules feel each other only through neutral-fragment
    # terms, well below 0.01 eV at 20 angstrom and beyond).
    single = quorin_py.calculate([6, 6], C2, method=method)
    assert single.converged
    for distance in (20.0, 40.0, 100.0):
        pair = quorin_py.calculate([6] * 4, C2 + [[x + distance, y, z] for x, y, z in C2], method=method)
        assert pair.converged, distance
        assert pair.total_energy_ev == pytest.approx(2 * single.total_energy_ev, abs=0.01), distance


def test_max_iter_bounds_the_reported_iterations():
    # MNDO C2 descends from a saddle point: the line search and the Newton
    # steps after it count against the cap too.
    for cap in range(1, 21):
        assert quorin_py.calculate([6, 6], C2, method="MNDO", max_iter=cap).scf_iterations <= cap
