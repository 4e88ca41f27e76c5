"""Engine stops and memory failures reach Python as exceptions; the
interpreter and the module stay usable."""
import pytest

from conftest import WATER_XYZ, WATER_Z


def test_engine_stop_type_is_a_base_exception_of_the_module(qp):
    # A stop must get past `except Exception` handlers and be catchable by name.
    assert qp.EngineStop.__module__ == "quorin_py"
    assert issubclass(qp.EngineStop, BaseException) and not issubclass(qp.EngineStop, Exception)


def test_value_errors_carry_the_plain_message(qp):
    with pytest.raises(ValueError) as info:
        qp.calculate([], [])
    assert info.value.args == ("atomic_numbers cannot be empty",)


def test_engine_stop_message_is_shown_once(qp, capfd):
    # Two PM7 iron atoms 7 angstrom apart: the SCF does not converge in the
    # Hessian's 100 iterations, which the engine finds only by running it.
    # The message travels in the exception only, not also on stderr.
    with pytest.raises(qp.EngineStop) as info:
        qp.frequencies([26, 26], [[0.0, 0.0, 0.0], [0.0, 0.0, 7.0]], "PM7")
    assert str(info.value) == "Base SCF must converge before computing Hessian"
    assert capfd.readouterr().err == ""
