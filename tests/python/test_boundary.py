"""What every entry point refuses before any SCF, and that no call returns a
NaN or an infinity as a result."""
import math

import pytest

from conftest import WATER_XYZ, WATER_Z, read_xyz

H2_Z = [1, 1]
H2_XYZ = [[0.0, 0.0, 0.0], [0.0, 0.0, 0.76]]
H2_STRETCHED = [[0.0, 0.0, 0.0], [0.0, 0.0, 0.95]]
CELL = [[3.0, 0.0, 0.0]]

# Water with a hydrogen 0.1 angstrom from the oxygen.
CLASH = [[0.0, 0.0, 0.0], [0.0, 0.0, 0.1], [-0.757, 0.586, 0.0]]
CLASH_MESSAGE = ("Atoms 0 (Z=8) and 1 (Z=1) are 0.1000 angstrom apart: atoms closer than 0.3 angstrom overlap "
                 "and cannot be computed")


def molecule_calls(qp, z, xyz):
    """Every module function and calculator method on one molecule (saddle
    from it to water, pbc with it in a 6 angstrom chain cell)."""
    calc = qp.QuorinCalculator()
    return {
        "calculate": lambda: qp.calculate(z, xyz),
        "optimize": lambda: qp.optimize(z, xyz),
        "transition_state": lambda: qp.transition_state(z, xyz),
        "frequencies": lambda: qp.frequencies(z, xyz),
        "esp_charges": lambda: qp.esp_charges(z, xyz),
        "irc": lambda: qp.irc(z, xyz),
        "drc": lambda: qp.drc(z, xyz),
        "saddle": lambda: qp.saddle(z, xyz, WATER_XYZ),
        "meci": lambda: qp.meci(z, xyz),
        "uv_vis_spectrum": lambda: qp.uv_vis_spectrum(z, xyz),
        "pbc": lambda: qp.pbc(z, xyz, [[6.0, 0.0, 0.0]]),
        "polarizability": lambda: qp.polarizability(z, xyz),
        "varnex": lambda: qp.varnex(z, xyz),
        "am1_bcc": lambda: qp.am1_bcc(z, xyz),
        **{f"QuorinCalculator.{name}": (lambda name=name: getattr(calc, name)(z, xyz))
           for name in ("calculate", "optimize", "frequencies", "transition_state", "irc", "drc", "meci",
                        "uv_vis_spectrum")},
        "QuorinCalculator.pbc": lambda: calc.pbc(z, xyz, [[6.0, 0.0, 0.0]]),
    }


def test_refusals_name_what_is_wrong(qp):
    for name, call in molecule_calls(qp, WATER_Z, CLASH).items():
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == CLASH_MESSAGE, name

    cases = [
        (lambda: qp.calculate(WATER_Z, [WATER_XYZ[0], WATER_XYZ[1], [0.0, 0.0, -1e308]]),
         "Coordinate -1e308 of atom 2 (Z=1) is out of range: coordinates must lie between -100000.0 and 100000.0 "
         "angstrom"),
        # Neighbours in different cells of any contact search: 0.1 * sqrt(3) apart.
        (lambda: qp.calculate([6, 1, 1], [[0.05, 0.05, 0.05], [2, 0, 0], [-0.05, -0.05, -0.05]]),
         "Atoms 0 (Z=6) and 2 (Z=1) are 0.1732 angstrom apart: atoms closer than 0.3 angstrom overlap and cannot "
         "be computed"),
        (lambda: qp.esp_charges(WATER_Z, WATER_XYZ, net_charge=1),
         "argument 'net_charge': must be 0 (got 1.0): the molecule is always computed neutral, so its fitted charges "
         "sum to "
         "zero"),
        (lambda: qp.am1_bcc([], []), "atomic_numbers cannot be empty"),
        (lambda: qp.polarizability([], []), "atomic_numbers cannot be empty"),
        (lambda: qp.frequencies(WATER_Z, WATER_XYZ, pressure_atm=1e-300),
         "argument 'pressure_atm': must lie in [1e-10, 10000000000.0] atm (got 1e-300)"),
        (lambda: qp.frequencies(WATER_Z, WATER_XYZ, custom_masses=[16, 1e-300, 1]),
         "argument 'custom_masses': item 1 must lie in [0.001, 1000000.0] u (got 1e-300)"),
        (lambda: qp.polarizability(WATER_Z, WATER_XYZ, field_step_au=1e-300),
         "argument 'field_step_au': must lie in [1e-5, 0.1] a.u. (got 1e-300)"),
        (lambda: qp.calculate(WATER_Z, WATER_XYZ, damping=1.0), "argument 'damping': must lie in [0.0, 1.0) (got 1.0)"),
        (lambda: qp.QuorinCalculator(cosmo_eps=math.nan),
         "argument 'cosmo_eps': must be a finite number of at least 1.0 (got NaN)"),
        (lambda: setattr(qp.QuorinCalculator(), "cosmo_eps", 0.5),
         "argument 'cosmo_eps': must be a finite number of at least 1.0 (got 0.5)"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
    # A thermostat temperature that would overflow the dynamics is refused before it runs.
    with pytest.raises(ValueError, match=r"^argument 'temperature_k': must lie in \[0.0, 1000000.0\] K \(got 1e308\)$"):
        qp.drc(H2_Z, H2_XYZ, ensemble="nvt", temperature_k=1e308, total_steps=2)

    # The ASE calculator takes isolated, neutral, closed-shell molecules and its own settings only.
    ase = pytest.importorskip("ase")
    periodic = ase.Atoms(numbers=WATER_Z, positions=WATER_XYZ, pbc=[False, True, False])
    charged = ase.Atoms(numbers=WATER_Z, positions=WATER_XYZ, info={"charge": -1})
    magnetic = ase.Atoms(numbers=WATER_Z, positions=WATER_XYZ, magmoms=[0.0, 0.5, 0.0])
    # Oxalate, its charge only in the initial charges (an even electron count as atoms).
    oxalate = ase.Atoms(numbers=[6, 6, 8, 8, 8, 8], charges=[0, 0, -0.5, -0.5, -0.5, -0.5],
                        positions=[[0, 0, 0.78], [0, 0, -0.78], [1.08, 0, 1.40], [-1.08, 0, 1.40],
                                   [1.08, 0, -1.40], [-1.08, 0, -1.40]])
    cases = [
        (lambda: qp.QuorinASECalculator().get_potential_energy(periodic),
         "QuorinASECalculator computes isolated molecules only: the Atoms are periodic (pbc=[False, True, False]); "
         "set atoms.pbc = False"),
        (lambda: qp.QuorinASECalculator().get_potential_energy(charged),
         "QuorinASECalculator computes neutral molecules only: atoms.info['charge'] is -1"),
        (lambda: qp.QuorinASECalculator().get_potential_energy(oxalate),
         "QuorinASECalculator computes neutral molecules only: the initial charges of the Atoms add up to -2"),
        (lambda: qp.QuorinASECalculator().get_potential_energy(magnetic),
         "QuorinASECalculator computes closed-shell molecules only: the Atoms carry non-zero initial magnetic "
         "moments"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        qp.QuorinASECalculator(max_iter=500, typo_option=True)
    assert str(info.value) == ("QuorinASECalculator got unknown setting(s) 'max_iter', 'typo_option'; its settings "
                               "are 'method', 'dispersion', 'cosmo_eps', 'h_bonds' and 'use_nddo'")


GRADIENT = "kcal/(mol angstrom)"
# Inputs that would let a run overflow a count, skip its work or fail inside
# the engine, each refused before any SCF with the argument named. The bounds
# and the data behind them are in python/arguments.h; water's minimal basis
# has 4 occupied and 2 virtual orbitals, H2's 1 and 1 (counted by hand).
LOOSE_INPUTS = [
    ("drc", (H2_Z, H2_XYZ), {"total_steps": 10**12},
     "argument 'total_steps': must lie in [0, 1000000000] (got 1000000000000)"),
    ("drc", (H2_Z, H2_XYZ), {"recording_interval": 0},
     "argument 'recording_interval': must lie in [1, 1000000000] (got 0)"),
    ("polarizability", (H2_Z, H2_XYZ), {"scf_max_iter": 2**63},
     "argument 'scf_max_iter': must lie in [0, 1000000000] (got 9223372036854775808)"),
    ("optimize", (WATER_Z, WATER_XYZ), {"grad_rms_tol": 1e6},
     f"argument 'grad_rms_tol': must lie in (0.0, 5.0] {GRADIENT} (got 1000000.0)"),
    ("transition_state", (WATER_Z, WATER_XYZ), {"trust_radius": 10.0},
     "argument 'trust_radius': must lie in (0.0, 1.0] angstrom (got 10.0)"),
    ("saddle", (H2_Z, H2_XYZ, H2_STRETCHED), {"convergence_distance": 1e300},
     "argument 'convergence_distance': must lie in (0.0, 0.3] angstrom (got 1e300)"),
    ("saddle", (H2_Z, H2_XYZ, H2_STRETCHED), {"inner_grad_tol": 100.0},
     f"argument 'inner_grad_tol': must lie in (0.0, 10.0] {GRADIENT} (got 100.0)"),
    ("varnex", read_xyz("benzene"), {"jacobi_tol": 1.0}, "argument 'jacobi_tol': must lie in (0.0, 0.01] eV (got 1.0)"),
    ("uv_vis_spectrum", (WATER_Z, WATER_XYZ), {"min_wavelength_nm": -100.0},
     "argument 'min_wavelength_nm': must be a finite number above 0.0 nm (got -100.0)"),
    ("uv_vis_spectrum", (WATER_Z, WATER_XYZ), {"min_wavelength_nm": 400.0, "max_wavelength_nm": 300.0},
     "argument 'max_wavelength_nm': must lie above min_wavelength_nm, 400.0 nm (got 300.0)"),
    ("meci", (WATER_Z, WATER_XYZ), {"active_orbitals": 8},
     "argument 'active_orbitals': must be at most 4 for this molecule: the window takes half its orbitals from the "
     "4 occupied and half from the 2 virtual ones (got 8)"),
    ("uv_vis_spectrum", (H2_Z, H2_XYZ), {"active_orbitals": 4},
     "argument 'active_orbitals': must be at most 2 for this molecule: the window takes half its orbitals from the "
     "1 occupied and half from the 1 virtual ones (got 4)"),
]


def test_loose_inputs_are_refused_before_any_scf_and_numpy_flags_accepted(qp):
    for name, args, kwargs, message in LOOSE_INPUTS:
        with pytest.raises(ValueError) as info:
            getattr(qp, name)(*args, **kwargs)
        assert str(info.value) == message, name
    # A flag read from a NumPy array is a flag; a NumPy integer is not.
    np = pytest.importorskip("numpy")
    flags = np.array([True, False])
    assert (qp.calculate(WATER_Z, WATER_XYZ, h_bonds=flags[0], use_nddo=flags[0]).to_dict()
            == qp.calculate(WATER_Z, WATER_XYZ, h_bonds=True).to_dict())
    assert qp.drc(H2_Z, H2_XYZ, total_steps=2, use_nddo=flags[1]).to_dict() == qp.drc(
        H2_Z, H2_XYZ, total_steps=2, use_nddo=False).to_dict()
    with pytest.raises(TypeError, match="^argument 'h_bonds': 'int64' object cannot be converted to 'bool'$"):
        qp.calculate(WATER_Z, WATER_XYZ, h_bonds=np.int64(1))


# Each function with cheap settings and its float arguments.
FUZZED = {
    "calculate": ((H2_Z, H2_XYZ), {}, ["cosmo_eps", "energy_tol_ev", "density_tol", "level_shift_ev", "damping"]),
    "optimize": ((H2_Z, H2_XYZ), {"max_cycles": 2}, ["grad_rms_tol", "grad_max_tol"]),
    "transition_state": ((H2_Z, H2_XYZ), {"max_cycles": 2}, ["grad_rms_tol", "grad_max_tol", "trust_radius"]),
    "frequencies": ((H2_Z, H2_XYZ), {}, ["temperature_k", "pressure_atm", "rotational_symmetry_number",
                                         "step_size_angstrom"]),
    "esp_charges": ((H2_Z, H2_XYZ), {}, ["net_charge"]),
    "irc": ((H2_Z, H2_XYZ), {"max_points": 2}, ["step_size"]),
    "drc": ((H2_Z, H2_XYZ), {"total_steps": 2, "ensemble": "nvt"}, ["time_step_fs", "temperature_k",
                                                                    "berendsen_tau_fs"]),
    "saddle": ((H2_Z, H2_XYZ, H2_STRETCHED), {"max_cycles": 2, "refine_with_ts": False},
               ["step_size", "convergence_distance", "inner_grad_tol"]),
    "meci": ((H2_Z, H2_XYZ), {}, []),
    "uv_vis_spectrum": ((H2_Z, H2_XYZ), {}, ["min_wavelength_nm", "max_wavelength_nm", "step_nm", "fwhm_nm"]),
    "pbc": ((H2_Z, H2_XYZ, CELL), {"band_points": 2}, []),
    "polarizability": ((H2_Z, H2_XYZ), {}, ["field_step_au", "energy_tol_ev", "density_tol"]),
    "varnex": ((H2_Z, H2_XYZ), {}, ["energy_tol", "jacobi_tol", "cutoff_distance", "damping"]),
    "am1_bcc": ((H2_Z, H2_XYZ), {}, []),
}
EXTREMES = [0.0, -1.0, 1e308, -1e308, 1e-300, -1e-300]


def test_extreme_finite_inputs_give_a_refusal_or_finite_numbers(qp):
    failures = []
    for name, (args, kwargs, floats) in FUZZED.items():
        function = getattr(qp, name)
        # (argument, value, positional arguments, keyword arguments)
        calls = [(f, x, args, {**kwargs, f: x}) for f in floats for x in EXTREMES]
        calls += [("coordinates", x, (args[0], [args[1][0], [0.0, 0.0, x]]) + args[2:], kwargs)
                  for x in (1e308, -1e308, 1e-300)]
        if name == "frequencies":
            calls += [("custom_masses", m, args, {"custom_masses": [m, 1.0]}) for m in (1e-300, 1e308)]
        for argument, value, call_args, call_kwargs in calls:
            # A refusal is the answer to a value out of range; a result the
            # module refused for holding a NaN or an infinity, or an engine
            # stop, is a computation that went wrong.
            try:
                function(*call_args, **call_kwargs)
            except ValueError as e:
                if str(e).startswith("Non-finite result"):
                    failures.append((name, argument, value, str(e)))
            except BaseException as e:  # noqa: B036 - an engine stop is a failure here
                failures.append((name, argument, value, f"{type(e).__name__}: {e}"))
    assert failures == []
