"""Module object, registration order, docstrings and text signatures."""
import inspect

import pytest

REGISTRATION_ORDER = [
    "Am1BccPyResult", "CalculationResult", "OptimizationPyResult", "TransitionStatePyResult", "NormalModePy",
    "ThermodynamicsPy", "VibrationalResultPy", "IrcPointPy", "IrcPyResult", "DrcFramePy", "DrcPyResult",
    "SaddlePointPy", "SaddlePyResult", "CiStatePy", "MeciPyResult", "UvVisSpectrumPy", "PbcResultPy",
    "EspResultPy", "PolarizabilityPyResult", "VarnexLmoPy", "VarnexPyResult", "QuorinCalculator",
    "calculate", "optimize", "transition_state", "frequencies", "esp_charges", "irc", "drc", "saddle", "meci",
    "uv_vis_spectrum", "pbc", "polarizability", "varnex", "am1_bcc",
]
SCRIPT_NAMES = ["from_rdkit", "from_ase", "QuorinASECalculator", "QuorinEnergyFunction", "QuorinPotential"]


def test_module_docstring_and_all(qp):
    assert qp.__name__ == "quorin_py"
    assert qp.__doc__ == "QUORIN_RS Python Module"
    # Classes first, then functions, each in its order of addition; the
    # registered names are a subsequence of the full table.
    assert qp.__all__ == [name for name in REGISTRATION_ORDER if name in qp.__all__]
    assert {"CalculationResult", "calculate", "optimize", "frequencies"} <= set(qp.__all__)
    assert not set(SCRIPT_NAMES) & set(qp.__all__)
    for name in qp.__all__:
        assert getattr(qp, name) is not None


def test_calculate_text_signature_and_docstring(qp):
    assert qp.calculate.__text_signature__ == (
        '(atomic_numbers, coordinates, method="PM6", cosmo_eps=None, dispersion=None, h_bonds=False, '
        "use_nddo=True, max_iter=60, energy_tol_ev=1e-7, density_tol=1e-6, level_shift_ev=0.0, damping=0.5)"
    )
    params = inspect.signature(qp.calculate).parameters
    assert list(params) == [
        "atomic_numbers", "coordinates", "method", "cosmo_eps", "dispersion", "h_bonds",
        "use_nddo", "max_iter", "energy_tol_ev", "density_tol", "level_shift_ev", "damping",
    ]
    assert params["method"].default == "PM6" and params["max_iter"].default == 60
    lines = qp.calculate.__doc__.splitlines()
    assert lines[0] == "Compute single-point semi-empirical quantum chemical properties and analytical gradients."
    assert lines[1:3] == ["", "Parameters:"]
    documented = [line.split("`")[1] for line in lines[3:]]
    assert documented == list(params)[:10]
    assert lines[4] == "- `coordinates`: list of 3D coordinates in \u00c5ngstr\u00f6ms (e.g. `[[0.0, 0.0, 0.0], ...]`)"
    assert lines[5] == '- `method`: Semi-empirical Hamiltonian ("PM6", "AM1", "RM1", "PM3", "MNDO"; default: "PM6")'


def test_result_class_has_no_constructor(qp):
    cls = qp.CalculationResult
    assert cls.__module__ == "quorin_py"
    assert cls.__doc__ == "Calculation results containing quantum chemical properties and analytical gradients."
    with pytest.raises(TypeError, match="^No constructor defined for CalculationResult$"):
        cls()
    assert cls.total_energy_ev.__doc__ == "Total SCF energy in electron-volts (eV)"
    assert cls.heat_of_formation_kcal.__doc__ == "Standard heat of formation \\Delta H_f^\\circ in kcal/mol"
    with pytest.raises(TypeError):
        cls.extra = 1  # immutable class
