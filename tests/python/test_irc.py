"""Intrinsic reaction coordinate from Python: input checks, binding, the
direction names, and the two result classes."""
import math
import re

import pytest

from conftest import WATER_XYZ, WATER_Z, open_shell_message

NH3_Z = [7, 1, 1, 1]
POINT_KEYS = ["path_coordinate", "energy_ev", "heat_of_formation_kcal", "coordinates", "cartesian_gradient_rms",
              "mass_weighted_gradient_rms"]


@pytest.fixture(scope="module")
def planar_nh3(qp):
    """The ammonia inversion saddle point: minimised from an exactly planar
    start, which the mirror symmetry keeps planar."""
    start = [[0.0, 0.0, 0.0]] + [[math.cos(2 * math.pi * k / 3), math.sin(2 * math.pi * k / 3), 0.0]
                                 for k in range(3)]
    return qp.optimize(NH3_Z, start, "AM1", grad_rms_tol=0.01, grad_max_tol=0.02, use_nddo=True).coordinates


@pytest.fixture(scope="module")
def path(qp, planar_nh3):
    return qp.irc(NH3_Z, planar_nh3, "AM1")


@pytest.mark.parametrize(
    "numbers, kwargs, message",
    [
        ([], {"method": "pm8"}, "atomic_numbers cannot be empty"),
        ([7, 1], {}, "Mismatch between atomic_numbers (2) and coordinates (4)"),
        (NH3_Z, {"method": "pm8", "direction": "up"},
         "Unsupported semi-empirical method: 'PM8'. Supported methods: PM7, PM6, AM1, RM1, PM3, MNDO"),
        (NH3_Z, {"direction": "UP"},
         "argument 'direction': unknown IRC direction 'up'; supported: 'both', 'forward', 'reverse'"),
        (NH3_Z, {"direction": "Both "},
         "argument 'direction': unknown IRC direction 'both '; supported: 'both', 'forward', 'reverse'"),
        (NH3_Z, {"direction": ""},
         "argument 'direction': unknown IRC direction ''; supported: 'both', 'forward', 'reverse'"),
        ([7, 1, 1, 2], {"method": "am1"}, "Unsupported element Z=2 for semi-empirical method 'am1'"),
        (NH3_Z, {"step_size": 0.0}, "argument 'step_size': must lie in (0.0, 10.0] amu^1/2 angstrom (got 0.0)"),
    ],
)
def test_refused_input(qp, planar_nh3, numbers, kwargs, message):
    coords = planar_nh3 if numbers else []
    with pytest.raises(ValueError) as info:
        qp.irc(numbers, coords, **kwargs)
    assert str(info.value) == message


def test_odd_electron_count_is_refused(qp):
    with pytest.raises(ValueError) as info:
        qp.irc([7, 1, 1], [[0, 0, 0], [1, 0, 0], [0, 1, 0]], "AM1")
    assert str(info.value) == open_shell_message(7)


def test_paths_fall_from_first_order_saddles_to_minima(qp, planar_nh3):
    # A step of 1 amu^1/2 angstrom overshoots the pyramid: the path halves it
    # there and falls, point after point, to a vanishing gradient.
    jump = qp.irc(NH3_Z, planar_nh3, "AM1", step_size=1.0)
    assert jump.forward_converged and jump.reverse_converged
    heats = [p.heat_of_formation_kcal for p in jump.points]
    ts = jump.ts_point_index
    assert all(a < b for a, b in zip(heats[:ts], heats[1:ts + 1]))
    assert all(a > b for a, b in zip(heats[ts:], heats[ts + 1:]))
    assert max(jump.points[0].mass_weighted_gradient_rms, jump.points[-1].mass_weighted_gradient_rms) < 0.05

    # Starts that are no first-order saddle points: a minimum, a point on the
    # HCN -> HNC slope, linear water (both bends curve down).
    with pytest.raises(ValueError, match="not a transition state: it has no imaginary vibrational frequency"):
        qp.irc(WATER_Z, qp.optimize(WATER_Z, WATER_XYZ, "AM1", grad_rms_tol=0.01, grad_max_tol=0.02).coordinates,
               "AM1")
    with pytest.raises(ValueError, match=r"not a transition state: its gradient RMS is \d+ kcal/\(mol angstrom\)"):
        qp.irc([6, 7, 1], [[0, 0, 0], [1.17, 0, 0], [0.35, 1.05, 0]])
    linear = qp.optimize(WATER_Z, [[0, 0, 0], [0, 0, 0.96], [0, 0, -0.96]], "PM6", grad_rms_tol=0.01,
                         grad_max_tol=0.02).coordinates
    with pytest.raises(ValueError, match=r"not a transition state: it has 2 imaginary vibrational frequencies"):
        qp.irc(WATER_Z, linear)


def test_direction_names_select_the_branches(qp, planar_nh3, path):
    forward = qp.irc(NH3_Z, planar_nh3, "AM1", max_points=2, direction="FWD")
    assert [p.path_coordinate for p in forward.points] == pytest.approx([0.0, 0.1, 0.2], abs=1e-12)
    assert forward.ts_point_index == 0 and not forward.reverse_converged
    reverse = qp.irc(NH3_Z, planar_nh3, "AM1", max_points=2, direction="Reverse")
    assert reverse.ts_point_index == 2 and reverse.points[-1].path_coordinate == 0.0
    assert not reverse.forward_converged
    # No points requested: the transition state alone, neither branch converged.
    alone = qp.irc(NH3_Z, planar_nh3, "AM1", max_points=0)
    assert len(alone.points) == 1 and not (alone.forward_converged or alone.reverse_converged)
    # None means the default everywhere: both branches, 50 points, step 0.1.
    assert qp.irc(NH3_Z, planar_nh3, "AM1", None, None, None, None).to_dict() == path.to_dict()


def test_result_classes(qp, path):
    as_dict = path.to_dict()
    assert list(as_dict) == ["ts_point_index", "forward_converged", "reverse_converged", "points"]
    assert list(as_dict["points"][0]) == POINT_KEYS
    assert as_dict["points"][path.ts_point_index] == path.points[path.ts_point_index].to_dict()
    assert path.points is not path.points
    assert repr(path) == f"<IrcPyResult points={len(path.points)} ts_idx={path.ts_point_index} fwd_conv=true rev_conv=true>"
    ts, first = path.points[path.ts_point_index], path.points[0]
    assert repr(ts).startswith("<IrcPoint s=+0.0000 E=")
    assert repr(first) == (f"<IrcPoint s={first.path_coordinate:+.4f} E={first.energy_ev:.6f} eV, "
                           f"dHf={first.heat_of_formation_kcal:.3f} kcal/mol, "
                           f"grad_rms={first.cartesian_gradient_rms:.4f}>")
    assert re.match(r"<IrcPoint s=-\d", repr(first))
    assert qp.IrcPyResult.__doc__ == "Comprehensive result of Intrinsic Reaction Coordinate path tracing."
    assert qp.IrcPointPy.mass_weighted_gradient_rms.__doc__ == (
        "Mass-weighted gradient RMS in kcal / (mol * \u00c5 * amu^(1/2))")
    assert qp.irc.__text_signature__ == (
        "(atomic_numbers, coordinates, method=None, step_size=None, max_points=None, direction=None, use_nddo=True)")
    with pytest.raises(TypeError):
        qp.IrcPyResult()


# Transition states under PM6, found by transition_state from hand-built
# guesses (one imaginary frequency each: -2390 and -725 cm^-1): the
# four-centre elimination of H2 from ethane, and the chair transition state
# of the Cope rearrangement of 1,5-hexadiene.
ETHANE_H2_TS = ([6, 6, 1, 1, 1, 1, 1, 1], [
    [-0.72363, -0.16388, -0.02413], [0.72363, -0.16389, 0.02414], [-0.40860, 1.34198, -0.23266],
    [0.40861, 1.34197, 0.23269], [-1.33637, 0.25725, 0.75118], [-1.22194, -0.98533, -0.52090],
    [1.22201, -0.98534, 0.52092], [1.33629, 0.25723, -0.75123]])
COPE_TS = ([6, 6, 6, 1, 1, 1, 1, 1, 6, 6, 6, 1, 1, 1, 1, 1], [
    [-0.17120, 1.22925, 0.85218], [0.37145, 0.00000, 1.32151], [-0.17120, -1.22925, 0.85218],
    [0.28523, 2.14685, 1.23781], [-1.26425, 1.32769, 0.86233], [1.34338, 0.00000, 1.80160],
    [0.28523, -2.14685, 1.23781], [-1.26425, -1.32769, 0.86233], [0.17120, -1.22925, -0.85218],
    [-0.37145, 0.00000, -1.32151], [0.17120, 1.22925, -0.85218], [-0.28523, -2.14685, -1.23781],
    [1.26425, -1.32769, -0.86233], [-1.34338, 0.00000, -1.80160], [-0.28523, 2.14685, -1.23781],
    [1.26425, 1.32769, -0.86233]])


# AM1 transition states: HCN -> HNC as reported (the 1e-18 angstrom z
# components included), and CH3NC -> CH3CN from transition_state (one
# imaginary frequency, -684 cm^-1).
HCN_TS = ([6, 7, 1], [[-0.00636071521058608, -0.014947443176455502, -1.478154933412884e-18],
                      [1.209554138725075, -0.05323386981590457, -1.3068085672618233e-20],
                      [0.5268065764855111, 1.1681813129923602, 9.22287768252158e-21]])
CH3NC_TS = ([6, 6, 7, 1, 1, 1], [
    [0.03704, 0.01258, -0.01244], [1.64407, 0.47492, -0.31689], [1.71055, -0.56048, 0.33687],
    [-0.31634, 0.93879, 0.50702], [-0.32823, -0.05254, -1.06832], [-0.32709, -0.88327, 0.55376]])


def test_converged_branches_only_go_down(qp):
    """Steps uphill by less than 0.01 kcal/mol were kept: near the minimum a
    branch bounced between two points at a fixed step (CH3NC -> CH3CN: one
    branch converged with 57 rises, the other not converged after 200 points
    with 76 rises, its end 0.008 angstrom from the minimum). Every point lies
    at or below the one before, the path coordinate grows by at least the
    mass-weighted distance between points, and the converged end is the
    minimum: a tight minimisation from it moves no atom by 0.005 angstrom."""
    for (numbers, ts), direction in ((HCN_TS, "reverse"), (CH3NC_TS, "both")):
        path = qp.irc(numbers, ts, "AM1", direction=direction, max_points=200)
        i = path.ts_point_index
        branches = [(path.reverse_converged, path.points[i::-1])]
        if direction == "both":
            branches.append((path.forward_converged, path.points[i:]))
        masses = [{1: 1.0079, 6: 12.011, 7: 14.0067}[z] for z in numbers]
        for converged, branch in branches:
            assert converged
            energies = [p.energy_ev for p in branch]
            assert all(b <= a for a, b in zip(energies, energies[1:])), energies
            for a, b in zip(branch, branch[1:]):
                walked = math.sqrt(sum(m * (u - w) ** 2 for m, ru, rw in zip(masses, a.coordinates, b.coordinates)
                                       for u, w in zip(ru, rw)))
                assert abs(b.path_coordinate - a.path_coordinate) >= walked - 1e-9
            end = branch[-1].coordinates
            minimum = qp.optimize(numbers, end, "AM1", grad_rms_tol=0.01, grad_max_tol=0.02).coordinates
            assert max(math.dist(u, w) for u, w in zip(end, minimum)) < 0.005


def test_converged_branches_end_at_minima(qp):
    """A path that keeps a symmetry of the transition state can end on a
    stationary point that is no minimum: from the elimination transition
    state the C2H4 + H2 branch ended converged where the vibrational analysis
    finds a -28 cm^-1 mode. A branch that says converged ends where the
    central-difference Hessian has no imaginary frequency. Its step is 0.001
    angstrom: at the flat C2H4...H2 end the default 0.005 reads the quartic
    tumbling of the H2 as a -30 cm^-1 mode where steps of 0.002 angstrom and
    below read +7 to +15 cm^-1."""
    for (numbers, ts), max_points in ((ETHANE_H2_TS, 50), (COPE_TS, 300)):
        path = qp.irc(numbers, ts, max_points=max_points)
        assert path.forward_converged or path.reverse_converged
        for converged, end in ((path.reverse_converged, path.points[0]), (path.forward_converged, path.points[-1])):
            if converged:
                modes = qp.frequencies(numbers, end.coordinates, step_size_angstrom=0.001).vibrational_frequencies_cm1
                assert modes[0] > -10.0, (numbers, end, modes[:3])
