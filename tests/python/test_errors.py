"""Engine stops and memory failures reach Python as exceptions; the
interpreter and the module stay usable."""
import pathlib

import pytest

from conftest import WATER_XYZ, WATER_Z


def overcommit_refuses_huge_requests():
    path = pathlib.Path("/proc/sys/vm/overcommit_memory")
    return path.exists() and path.read_text().strip() in ("0", "2")


@pytest.mark.skipif(not overcommit_refuses_huge_requests(), reason="needs an allocator that refuses terabytes")
def test_engine_stop_is_a_base_exception_with_the_message(qp, capfd):
    # A million hydrogen atoms need n_basis^2 = 1e12 doubles (8 TB) per SCF
    # matrix: the storage layer stops the request.
    n = 10**6
    coords = [[1.5 * i, 1.5 * j, 1.5 * k] for i in range(100) for j in range(100) for k in range(100)]
    caught = None
    try:
        qp.calculate([1] * n, coords)
    except Exception:  # must not catch it
        pytest.fail("an engine stop must not derive from Exception")
    except BaseException as e:  # noqa: B036
        caught = e
    assert caught is not None
    message = "Memory allocation of size 8000000000000 failed"
    assert caught.args == (message,)
    # Catchable by name from the module namespace.
    assert type(caught) is qp.EngineStop and qp.EngineStop.__module__ == "quorin_py"
    assert issubclass(qp.EngineStop, BaseException) and not issubclass(qp.EngineStop, Exception)
    assert message in capfd.readouterr().err
    # The module keeps working.
    assert qp.calculate(WATER_Z, WATER_XYZ).converged


def test_value_errors_carry_the_plain_message(qp):
    with pytest.raises(ValueError) as info:
        qp.calculate([], [])
    assert info.value.args == ("atomic_numbers cannot be empty",)
