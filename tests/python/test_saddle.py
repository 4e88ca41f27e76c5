"""Two-ended saddle search: refused input, the ammonia inversion between a
pyramid and its mirror image against transition_state, and the classes."""
import math
import re

import pytest

from conftest import open_shell_message

NH3_Z = [7, 1, 1, 1]


def inverted(rows):
    """The nitrogen reflected through the plane of the three hydrogens."""
    n, h = rows[0], rows[1:]
    u = [h[1][i] - h[0][i] for i in range(3)]
    v = [h[2][i] - h[0][i] for i in range(3)]
    normal = [u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]]
    length = math.sqrt(sum(c * c for c in normal))
    normal = [c / length for c in normal]
    height = sum((n[i] - h[0][i]) * normal[i] for i in range(3))
    return [[n[i] - 2.0 * height * normal[i] for i in range(3)]] + [list(r) for r in h]


@pytest.fixture(scope="module")
def ends(qp):
    start = [[0.0, 0.0, 0.0]] + [[math.cos(2 * math.pi * k / 3 + 0.05 * k), math.sin(2 * math.pi * k / 3 + 0.05 * k),
                                  -0.38 - 0.02 * k] for k in range(3)]
    pyramid = qp.optimize(NH3_Z, start, "AM1", grad_rms_tol=0.01, grad_max_tol=0.02, max_cycles=300,
                          use_nddo=True).coordinates
    return pyramid, inverted(pyramid)


@pytest.fixture(scope="module")
def refined(qp, ends):
    return qp.saddle(NH3_Z, *ends, "AM1")


W = [[0, 0, 0], [1, 0, 0], [0, 1, 0]]


@pytest.mark.parametrize(
    "numbers, reactant, product, kwargs, message",
    [
        ([], [], [], {}, "atomic_numbers cannot be empty"),
        ([8, 1, 1], W[:2], W[:1], {}, "Mismatch between atomic_numbers (3) and reactant_coords (2)"),
        ([8, 1, 1], W, W[:2], {}, "Mismatch between atomic_numbers (3) and product_coords (2)"),
        ([8, 1, 1], W, W, {"method": "xx"},
         "Unsupported semi-empirical method: 'XX'. Supported methods: PM7, PM6, AM1, RM1, PM3, MNDO"),
        # The final single point's checks run before the search.
        ([8, 1, 1], W, [W[0], [math.inf, 0, 0], W[2]], {},
         "Non-finite coordinate for atom 1 (Z=1): coordinates must be finite numbers"),
        ([8, 1, 2], W, W, {"method": "am1"}, "Unsupported element Z=2 for semi-empirical method 'am1'"),
        ([8, 1, 1, 1], W + [[1, 1, 1]], W + [[1, 1, 1]], {}, open_shell_message(9)),
        ([8, 1, 1], W, W, {"step_size": 0.0}, "argument 'step_size': must lie in (0.0, 0.5] angstrom (got 0.0)"),
        ([8, 1, 1], W, W, {"convergence_distance": math.nan},
         "argument 'convergence_distance': must lie in (0.0, 0.3] angstrom (got NaN)"),
        # Collinear HCN and HNC dock by a flip that swaps C and N, whose
        # straight path then runs C through N.
        ([1, 6, 7], [[0, 0, -1.07], [0, 0, 0], [0, 0, 1.16]], [[0, 0, -1.0], [0, 0, 1.17], [0, 0, 0]], {},
         "The straight path between the docked reactant and product brings atom 1 (Z=6) and atom 2 (Z=7) within "
         "0.000 angstrom of each other: the ends need a bent or less symmetric start"),
    ],
)
def test_refused_input(qp, numbers, reactant, product, kwargs, message):
    with pytest.raises(ValueError) as info:
        qp.saddle(numbers, reactant, product, **kwargs)
    assert str(info.value) == message


def test_ammonia_inversion(qp, ends, refined):
    s = refined
    assert s.converged and s.ts_refinement is not None and s.ts_refinement.converged
    # The refinement reaches the planar saddle that transition_state finds
    # from a near-planar start; one imaginary mode there.
    near_planar = [[0.0, 0.0, 0.0]] + [[r[0], r[1], -0.1] for r in ends[0][1:]]
    ts = qp.transition_state(NH3_Z, near_planar, "AM1")
    assert s.transition_state_heat_of_formation_kcal == pytest.approx(ts.final_result.heat_of_formation_kcal,
                                                                      abs=0.05)
    modes = qp.frequencies(NH3_Z, s.transition_state_coordinates, "AM1", use_nddo=True)
    assert sum(1 for nu in modes.vibrational_frequencies_cm1 if nu < 0.0) == 1
    # Mirror-image ends: equal barriers.
    assert s.barrier_forward_kcal == pytest.approx(s.barrier_reverse_kcal, abs=1e-6)

    estimate = qp.saddle(NH3_Z, *ends, "AM1", refine_with_ts=False)
    assert estimate.ts_refinement is None and estimate.to_dict()["ts_refinement"] is None
    assert [p.to_dict() for p in estimate.trajectory] == [p.to_dict() for p in s.trajectory]
    nones = qp.saddle(NH3_Z, *ends, "AM1", None, None, None, None, None, None, False)
    assert nones.to_dict() == estimate.to_dict()
    # The interpolated estimate comes close to the saddle (measured 1.06 kcal/mol above it).
    assert abs(estimate.transition_state_heat_of_formation_kcal - ts.final_result.heat_of_formation_kcal) < 1.5


def test_converged_only_for_a_barrier_between_two_basins(qp):
    h2, short, long = [1, 1], [[0, 0, 0], [0.7, 0, 0]], [[0, 0, 0], [1.5, 0, 0]]
    # The docked ends are sqrt(2) x 0.4 angstrom apart; steps of 0.1 down to
    # 0.12 angstrom: 0.466, 0.366, 0.266, 0.166, 0.12, five cycles. The ends
    # meet, but both are H2 in its one basin: no reaction joins them.
    met = qp.saddle(h2, short, long, "AM1", refine_with_ts=False)
    assert not met.converged and met.num_cycles == 5
    assert met.final_distance == pytest.approx(0.12, abs=1e-9)
    # H2 has no transition state: the ends meet but the refinement fails, also
    # where it pulls the atoms apart onto a flat stretch of the surface.
    unrefined = qp.saddle(h2, short, long, "PM6", convergence_distance=0.15)
    assert not unrefined.ts_refinement.converged and not unrefined.converged
    assert unrefined.final_distance == pytest.approx(0.15, abs=1e-9)
    # Steps too small to bring the ends closer end the search at once, unrecorded.
    stalled = qp.saddle(h2, short, long, "AM1", step_size=1e-14, refine_with_ts=False)
    assert not stalled.converged and stalled.num_cycles == 0 and stalled.trajectory == []

    # Formimidic acid HN=CH-OH against formamide H2N-CHO (PM6): the proton
    # moves from oxygen to nitrogen over one barrier, above both ends.
    z = [6, 7, 8, 1, 1, 1]
    imidic = qp.optimize(z, [[0, 0, 0], [0, 0, 1.27], [1.059, 0.318, -0.774], [-0.904, -0.271, -0.545],
                             [-0.918, -0.275, 1.619], [1.801, 0.54, -0.191]], grad_rms_tol=0.01,
                         grad_max_tol=0.02).coordinates
    amide = qp.optimize(z, [[0, 0, 0], [0, 0, 1.36], [0.969, 0.291, -0.682], [-0.97, -0.291, -0.43],
                            [-0.846, -0.254, 1.85], [0.829, 0.249, 1.88]], grad_rms_tol=0.01,
                        grad_max_tol=0.02).coordinates
    tautomerism = qp.saddle(z, imidic, amide)
    assert tautomerism.converged
    assert tautomerism.barrier_forward_kcal > 0 and tautomerism.barrier_reverse_kcal > 0
    modes = qp.frequencies(z, tautomerism.transition_state_coordinates).vibrational_frequencies_cm1
    assert sum(1 for nu in modes if nu < -10.0) == 1
    # The same structure twice (also the transition state twice) is refused;
    # a copy with the carbon moved 0.36 angstrom lies in the same basin.
    for same in (imidic, tautomerism.transition_state_coordinates):
        with pytest.raises(ValueError, match="The reactant and product are the same structure"):
            qp.saddle(z, same, [[1.0 - y, x, w] for x, y, w in same])
    moved = [list(r) for r in imidic]
    moved[0][2] += 0.36
    assert not qp.saddle(z, imidic, moved).converged


def test_result_classes(qp, refined):
    s = refined
    d = s.to_dict()
    assert list(d) == ["converged", "num_cycles", "final_distance", "transition_state_coordinates",
                       "transition_state_energy_ev", "transition_state_heat_of_formation_kcal",
                       "barrier_forward_kcal", "barrier_reverse_kcal", "trajectory", "final_result", "ts_refinement"]
    assert d["trajectory"] == [p.to_dict() for p in s.trajectory]
    assert d["final_result"] == s.final_result.to_dict()
    assert d["ts_refinement"] == s.ts_refinement.to_dict()
    # The refinement carries the search's own figures, the returned geometry
    # and the final single point at it.
    r = s.ts_refinement
    assert r.coordinates == s.transition_state_coordinates
    assert r.final_result.to_dict() == s.final_result.to_dict()
    assert r.final_heat_of_formation_kcal == s.transition_state_heat_of_formation_kcal
    point = s.trajectory[0]
    assert list(point.to_dict()) == ["cycle", "moving_structure", "distance", "heat_of_formation_kcal",
                                     "total_energy_ev", "grad_rms", "coordinates"]
    assert s.trajectory is not s.trajectory and s.ts_refinement is not s.ts_refinement
    assert re.fullmatch(r"<SaddlePointPy cycle=1 moving_structure=[12] dist=\d+\.\d{3} A, dHf=-?\d+\.\d{3} kcal/mol, "
                        r"grad_rms=\d+\.\d{4}>", repr(point)), repr(point)
    assert re.fullmatch(r"<SaddlePyResult converged=true cycles=\d+ final_dist=0\.1200 A, TS dHf=-?\d+\.\d{3} "
                        r"kcal/mol, barrier_fwd=-?\d+\.\d{3} kcal/mol>", repr(s)), repr(s)
    for name, doc in (("SaddlePointPy", "A discrete point along the two-ended reaction barrier ascent in SADDLE."),
                      ("SaddlePyResult", "Outcome of two-ended SADDLE transition state search.")):
        assert getattr(qp, name).__doc__ == doc
        with pytest.raises(TypeError, match=f"No constructor defined for {name}"):
            getattr(qp, name)()
    assert qp.saddle.__text_signature__ == (
        "(atomic_numbers, reactant_coords, product_coords, method=None, max_cycles=None, step_size=None, "
        "convergence_distance=None, inner_max_steps=None, inner_grad_tol=None, use_nddo=None, refine_with_ts=None)")


def test_estimate_without_refinement_is_documented_as_no_stationary_point(qp):
    """cis- to trans-HONO (PM6, ends minimised): without the refinement the
    interpolated estimate has two imaginary frequencies and a gradient of
    tens of kcal/(mol angstrom), 15 kcal/mol above the saddle point, yet the
    path search meets; converged must then say what it speaks of."""
    z = [1, 8, 7, 8]
    cis = [[-0.3979, 0.9317, 0.0752], [0.0516, 0.0214, 0.0221], [1.3943, 0.0267, -0.0206], [1.9567, 1.0634, 0.0057]]
    trans = [[-0.2544, -0.9728, 0.0604], [0.0120, -0.0028, 0.0214], [1.4041, 0.0248, 0.0219],
             [1.8429, 1.1108, -0.0214]]
    estimate = qp.saddle(z, cis, trans, refine_with_ts=False)
    largest = max(abs(g) for row in estimate.final_result.gradients_kcal_mol_angstrom for g in row)
    assert largest > 10.0
    if estimate.converged:
        assert "not a stationary point" in qp.saddle.__doc__
        assert "path search only" in qp.SaddlePyResult.converged.__doc__
