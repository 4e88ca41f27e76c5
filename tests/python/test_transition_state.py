"""Transition-state search: refused input, the ammonia inversion saddle
against the minimiser and the vibrational analysis, and the result class."""
import math
import re

import pytest

from conftest import WATER_XYZ, WATER_Z, open_shell_message

NH3_Z = [7, 1, 1, 1]


def ammonia(height):
    """N at the origin, N-H 1.0 angstrom, hydrogens `height` below (unevenly)."""
    rows = [[0.0, 0.0, 0.0]]
    for k in range(3):
        phi = 2.0 * math.pi * k / 3.0 + 0.03 * k
        rows.append([math.cos(phi), math.sin(phi), -height * (1.0 + 0.1 * k)])
    return rows


def angle(c, centre, a, b):
    u = [c[a][i] - c[centre][i] for i in range(3)]
    v = [c[b][i] - c[centre][i] for i in range(3)]
    return math.degrees(math.acos(sum(p * q for p, q in zip(u, v)) / (math.hypot(*u) * math.hypot(*v))))


@pytest.fixture(scope="module")
def inversion(qp):
    return qp.transition_state(NH3_Z, ammonia(0.1), "AM1")


@pytest.mark.parametrize(
    "numbers, coords, kwargs, message",
    [
        ([], [], {}, "atomic_numbers cannot be empty"),
        ([8, 1], WATER_XYZ, {}, "Mismatch between atomic_numbers (2) and coordinates (3)"),
        (WATER_Z, WATER_XYZ, {"method": "pm7"}, "Unsupported element Z=8 for semi-empirical method 'pm7'"),
        ([1], [[0, 0, 0]], {}, open_shell_message(1)),
        # Options the search cannot work with are refused before any SCF.
        (WATER_Z, WATER_XYZ, {"target_mode": 9},
         "target_mode 9 does not exist: the Hessian has 9 modes (0 to 8)"),
        # Bent water has 3 vibrations; modes 3 to 8 are its rigid motions.
        (WATER_Z, WATER_XYZ, {"target_mode": 8},
         "target_mode 8 is an overall translation or rotation, not a vibration: the molecule has 3 internal modes "
         "(0 to 2)"),
        (WATER_Z, WATER_XYZ, {"target_mode": 3},
         "target_mode 3 is an overall translation or rotation, not a vibration: the molecule has 3 internal modes "
         "(0 to 2)"),
        (WATER_Z, WATER_XYZ, {"trust_radius": -0.1},
         "argument 'trust_radius': must lie in (0.0, 1.0] angstrom (got -0.1)"),
        (WATER_Z, WATER_XYZ, {"trust_radius": math.inf},
         "argument 'trust_radius': must lie in (0.0, 1.0] angstrom (got inf)"),
        (WATER_Z, WATER_XYZ, {"grad_rms_tol": 0.0},
         "argument 'grad_rms_tol': must lie in (0.0, 5.0] kcal/(mol angstrom) (got 0.0)"),
        (WATER_Z, WATER_XYZ, {"grad_max_tol": math.nan},
         "argument 'grad_max_tol': must lie in (0.0, 10.0] kcal/(mol angstrom) (got NaN)"),
    ],
)
def test_refused_input(qp, numbers, coords, kwargs, message):
    with pytest.raises(ValueError) as info:
        qp.transition_state(numbers, coords, **kwargs)
    assert str(info.value) == message


def test_ammonia_inversion_saddle(qp, inversion):
    ts = inversion
    assert ts.converged and ts.ts_mode_eigenvalue < 0.0
    c = ts.coordinates
    assert angle(c, 0, 1, 2) + angle(c, 0, 2, 3) + angle(c, 0, 3, 1) == pytest.approx(360.0, abs=0.5)
    # The vibrational analysis sees exactly one imaginary mode there.
    modes = qp.frequencies(NH3_Z, c, "AM1", use_nddo=True)
    assert modes.is_transition_state
    assert sum(1 for nu in modes.vibrational_frequencies_cm1 if nu < 0.0) == 1
    # The minimiser started exactly planar stays planar (symmetry) and finds
    # the same stationary point; the pyramid lies a few kcal/mol lower.
    planar = [[0.0, 0.0, 0.0]] + [[math.cos(2 * math.pi * k / 3), math.sin(2 * math.pi * k / 3), 0.0] for k in range(3)]
    tight = {"grad_rms_tol": 0.01, "grad_max_tol": 0.02, "max_cycles": 300, "use_nddo": True}
    flat = qp.optimize(NH3_Z, planar, "AM1", **tight)
    assert ts.final_heat_of_formation_kcal == pytest.approx(flat.final_heat_of_formation_kcal, abs=0.02)
    pyramid = qp.optimize(NH3_Z, ammonia(0.35), "AM1", **tight)
    assert 0.0 < ts.final_heat_of_formation_kcal - pyramid.final_heat_of_formation_kcal < 10.0


def staggered_ethane():
    carbons = [[0.0, 0.0, -0.765], [0.0, 0.0, 0.765]]
    hydrogens = [[1.02 * math.cos(shift + 2 * math.pi * k / 3), 1.02 * math.sin(shift + 2 * math.pi * k / 3), z]
                 for z, shift in ((-1.16, 0.0), (1.16, math.pi / 3)) for k in range(3)]
    return [6, 6, 1, 1, 1, 1, 1, 1], carbons + hydrogens


def test_stationary_points_that_are_not_first_order_saddles_do_not_converge(qp):
    z, start = staggered_ethane()
    cases = [
        # A minimum: every curvature is positive.
        (z, qp.optimize(z, start, "PM6", grad_rms_tol=0.01, grad_max_tol=0.02).coordinates, "PM6"),
        # Linear HCN is a minimum with a degenerate bend.
        ([1, 6, 7], [[0.0, 0.0, 0.0], [0.0, 0.0, 1.07], [0.0, 0.0, 2.23]], "AM1"),
    ]
    for numbers, coords, method in cases:
        ts = qp.transition_state(numbers, coords, method)
        assert not ts.converged, (numbers, ts)
    # From the water minimum the search climbs until it has pulled the
    # molecule apart (PM6, PM3) or reaches the O + H2 insertion barrier
    # (MNDO); from linear water, a second-order saddle (both bends curve
    # down), it goes on and pulls the atoms apart. Where it reports success,
    # the vibrational analysis runs there and finds exactly one imaginary
    # frequency.
    linear_water = [[0.0, 0.0, 0.0], [0.0, 0.0, 0.96], [0.0, 0.0, -0.96]]
    for method, start in (("PM6", None), ("PM3", None), ("MNDO", None), ("AM1", linear_water)):
        if start is None:
            start = qp.optimize(WATER_Z, WATER_XYZ, method, grad_rms_tol=0.01, grad_max_tol=0.02).coordinates
        ts = qp.transition_state(WATER_Z, start, method)
        if ts.converged:
            modes = qp.frequencies(WATER_Z, ts.coordinates, method).vibrational_frequencies_cm1
            assert sum(1 for nu in modes if nu < -10.0) == 1, (method, ts, modes)


def test_bridged_hcn_converges_to_a_first_order_saddle(qp):
    numbers = [6, 7, 1]
    ts = qp.transition_state(numbers, [[0.0, 0.0, 0.0], [1.18, 0.0, 0.0], [0.6, 1.0, 0.05]], "AM1")
    assert ts.converged and ts.ts_mode_eigenvalue < 0.0
    assert sum(1 for nu in qp.frequencies(numbers, ts.coordinates, "AM1").vibrational_frequencies_cm1
               if nu < -10.0) == 1


def test_defaults_none_and_target_mode_zero(qp):
    start = ammonia(0.1)
    base = qp.transition_state(NH3_Z, start, "MNDO", max_cycles=3)
    for other in (
        qp.transition_state(NH3_Z, start, "MNDO", 3, None, None, None, None, None),
        qp.transition_state(NH3_Z, start, "MNDO", max_cycles=3, target_mode=0, use_nddo=True),
    ):
        assert other.to_dict() == base.to_dict()
    assert base.to_dict() != qp.transition_state(NH3_Z, start, "MNDO", max_cycles=3, use_nddo=False).to_dict()


def test_result_class(qp, inversion):
    ts = inversion
    d = ts.to_dict()
    assert list(d) == ["converged", "cycles", "final_energy_ev", "final_heat_of_formation_kcal", "initial_grad_rms",
                       "final_grad_rms", "final_grad_max", "ts_mode_eigenvalue", "ts_mode_index", "coordinates",
                       "final_result"]
    assert d["final_result"] == ts.final_result.to_dict()
    assert d["coordinates"] == ts.coordinates and isinstance(d["coordinates"][0], list)
    # The heat comes from the final single point at the returned geometry.
    separate = qp.calculate(NH3_Z, ts.coordinates, "AM1", max_iter=60, energy_tol_ev=1e-7, density_tol=1e-6)
    assert ts.final_heat_of_formation_kcal == ts.final_result.heat_of_formation_kcal
    assert ts.final_heat_of_formation_kcal == pytest.approx(separate.heat_of_formation_kcal, abs=1e-4)
    text = repr(ts)
    assert re.fullmatch(r"<TransitionStatePyResult converged=true cycles=\d+ E_final=-?\d+\.\d{6} eV, "
                        r"dHf=-?\d+\.\d{3} kcal/mol, ts_mode_val=-\d+\.\d{3}, grad_rms=\d+\.\d{4}>", text), text
    with pytest.raises(TypeError, match="No constructor defined for TransitionStatePyResult"):
        qp.TransitionStatePyResult()
    assert qp.TransitionStatePyResult.__doc__ == "Result of transition state search via Eigenvector Following."
    assert qp.transition_state.__text_signature__ == (
        '(atomic_numbers, coordinates, method="PM6", max_cycles=100, grad_rms_tol=0.1, grad_max_tol=0.2, '
        "trust_radius=0.1, target_mode=None, use_nddo=True)")
