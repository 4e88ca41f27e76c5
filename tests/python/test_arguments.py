"""Argument binding and conversion, and the exact errors they raise."""
import pytest

from conftest import WATER_XYZ, WATER_Z

W = WATER_XYZ


class Claims:
    """A sequence that claims a length far beyond any memory."""

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        return 1


def test_positional_keyword_and_none_bind_the_same_values(qp):
    reference = qp.calculate(WATER_Z, W, "AM1", None, None, False, True, 60, 1e-7, 1e-6, 0.0, 0.5).to_dict()
    variants = [
        qp.calculate(WATER_Z, W, "AM1"),
        qp.calculate(coordinates=W, atomic_numbers=WATER_Z, method="am1"),
        qp.calculate(WATER_Z, W, method="aM1", max_iter=None, use_nddo=None, h_bonds=None, damping=None,
                     energy_tol_ev=None, density_tol=None, level_shift_ev=None, cosmo_eps=None, dispersion=None),
        qp.calculate(tuple(WATER_Z), [tuple(r) for r in W], "AM1"),
    ]
    for result in variants:
        assert result.to_dict() == reference
    assert qp.calculate(WATER_Z, W, method=None).to_dict() == qp.calculate(WATER_Z, W, "PM6").to_dict()
    # Integer coordinates are converted to floats.
    assert (qp.calculate([1, 1], [[0, 0, 0], [0, 0, 1]]).to_dict()
            == qp.calculate([1, 1], [[0.0, 0.0, 0.0], [0.0, 0.0, 1.0]]).to_dict())


def test_numpy_arrays_are_sequences(qp):
    np = pytest.importorskip("numpy")
    a = qp.calculate(np.array(WATER_Z), np.array(W))
    b = qp.calculate(WATER_Z, W)
    assert a.to_dict() == b.to_dict()


def test_numbers_refuse_booleans_and_complex_values_while_switches_take_numpy_booleans(qp):
    # Each of these ran before: a boolean as 1 (k_grid=[True, 1, 1] a one-point
    # grid, total_steps=True one step) and a NumPy complex number as its real
    # part, with a ComplexWarning as the only sign.
    np = pytest.importorskip("numpy")
    numpy_bool = type(np.True_).__name__
    cell = [[3.0, 0, 0], [0, 3.0, 0], [0, 0, 3.0]]
    refused = [
        (lambda: qp.calculate(WATER_Z, np.array(W, dtype=complex)), "coordinates", "complex128", "float"),
        (lambda: qp.calculate(WATER_Z, [[0, 0, 1j]] + W[1:]), "coordinates", "complex", "float"),
        (lambda: qp.frequencies(WATER_Z, W, custom_masses=np.array([16, 1, 1], dtype=np.complex64)),
         "custom_masses", "complex64", "float"),
        (lambda: qp.pbc([1, 1], [[0, 0, 0], [0.74, 0, 0]], cell, k_grid=[True, 1, 1]), "k_grid", "bool", "int"),
        (lambda: qp.drc(WATER_Z, W, total_steps=True), "total_steps", "bool", "int"),
        (lambda: qp.calculate([8, np.True_, 1], W), "atomic_numbers", numpy_bool, "int"),
        (lambda: qp.calculate(WATER_Z, W, damping=np.False_), "damping", numpy_bool, "float"),
    ]
    for call, name, kind, target in refused:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"argument '{name}': '{kind}' object cannot be converted to '{target}'"
    flags = np.array([True, False])
    assert (qp.calculate(WATER_Z, W, use_nddo=flags[0], h_bonds=flags[1]).to_dict()
            == qp.calculate(WATER_Z, W, use_nddo=True, h_bonds=False).to_dict())


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError,
         "calculate() missing 2 required positional arguments: 'atomic_numbers' and 'coordinates'"),
        ((WATER_Z,), {}, TypeError, "calculate() missing 1 required positional argument: 'coordinates'"),
        ((WATER_Z, W, "PM6", None, None, False, True, 60, 1e-7, 1e-6, 0.0, 0.5, 1), {}, TypeError,
         "calculate() takes from 2 to 12 positional arguments but 13 were given"),
        ((WATER_Z, W), {"methd": "AM1"}, TypeError, "calculate() got an unexpected keyword argument 'methd'"),
        ((WATER_Z, W, "PM6"), {"method": "AM1"}, TypeError, "calculate() got multiple values for argument 'method'"),
        (("OHH", W), {}, TypeError, "argument 'atomic_numbers': 'str' object cannot be converted to 'Sequence'"),
        # None is no default for a required argument.
        ((None, W), {}, TypeError, "argument 'atomic_numbers': 'NoneType' object cannot be converted to 'Sequence'"),
        ((WATER_Z, None), {}, TypeError, "argument 'coordinates': 'NoneType' object cannot be converted to 'Sequence'"),
        ((8, W), {}, TypeError, "argument 'atomic_numbers': 'int' object cannot be converted to 'Sequence'"),
        (([8.0, 1, 1], W), {}, TypeError,
         "argument 'atomic_numbers': 'float' object cannot be interpreted as an integer"),
        # Refused values of the right type are ValueErrors naming the argument and the value.
        (([8, 1, 300], W), {}, ValueError,
         "argument 'atomic_numbers': item 2 is no atomic number: atomic numbers run from 1 to 118 (got 300)"),
        (([-1, 1, 1], W), {}, ValueError,
         "argument 'atomic_numbers': item 0 is no atomic number: atomic numbers run from 1 to 118 (got -1)"),
        (([10**30, 1, 1], W), {}, ValueError, "argument 'atomic_numbers': item 0 is no atomic number: atomic "
         "numbers run from 1 to 118 (got 1000000000000000000000000000000)"),
        ((WATER_Z, [1.0, 2.0, 3.0]), {}, TypeError,
         "argument 'coordinates': 'float' object cannot be converted to 'Sequence'"),
        ((WATER_Z, [[0, 0, 0], [0, 0], [0, 0, 0]]), {}, ValueError,
         "argument 'coordinates': row 1 must be a sequence of 3 numbers (got length 2)"),
        ((WATER_Z, [[0, 0, "a"], [0, 0, 0], [0, 0, 0]]), {}, TypeError,
         "argument 'coordinates': must be real number, not str"),
        ((WATER_Z, W), {"method": 6}, TypeError, "argument 'method': 'int' object cannot be converted to 'str'"),
        # A NUL would cut short every message that quotes the name.
        ((WATER_Z, W), {"method": "AM1\0x"}, ValueError, "argument 'method': embedded null character"),
        ((WATER_Z, W), {"dispersion": "PM7\0"}, ValueError, "argument 'dispersion': embedded null character"),
        ((WATER_Z, W), {"cosmo_eps": "water"}, TypeError, "argument 'cosmo_eps': must be real number, not str"),
        ((WATER_Z, W), {"dispersion": 1}, TypeError,
         "argument 'dispersion': 'int' object cannot be converted to 'str'"),
        ((WATER_Z, W), {"h_bonds": 1}, TypeError, "argument 'h_bonds': 'int' object cannot be converted to 'bool'"),
        ((WATER_Z, W), {"use_nddo": 0}, TypeError,
         "argument 'use_nddo': 'int' object cannot be converted to 'bool'"),
        ((WATER_Z, W), {"max_iter": -1}, ValueError,
         "argument 'max_iter': must be a whole number from 0 to 18446744073709551615 (got -1)"),
        ((WATER_Z, W), {"max_iter": 2**64}, ValueError, None),
        ((WATER_Z, W), {"cosmo_eps": 10**400}, ValueError, "argument 'cosmo_eps': int too large to convert to float"),
        ((WATER_Z, W), {"max_iter": 60.0}, TypeError,
         "argument 'max_iter': 'float' object cannot be interpreted as an integer"),
        ((WATER_Z, W), {"damping": [0.5]}, TypeError, "argument 'damping': must be real number, not list"),
        # The first failing argument in declaration order is the one reported.
        ((WATER_Z, "x"), {"method": 1}, TypeError,
         "argument 'coordinates': 'str' object cannot be converted to 'Sequence'"),
        # A claimed length that cannot be stored is a memory failure, not a crash.
        ((Claims(), W), {}, MemoryError, None),
        ((WATER_Z, Claims()), {}, MemoryError, None),
    ],
)
def test_conversion_errors(qp, args, kwargs, error, message):
    with pytest.raises(error) as info:
        qp.calculate(*args, **kwargs)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


def test_method_names(qp):
    upper = qp.calculate(WATER_Z, W, "PM3").total_energy_ev
    for name in ["pm3", "Pm3", "pM3"]:
        assert qp.calculate(WATER_Z, W, name).total_energy_ev == upper
    for given, shown in [(" pm6", " PM6"), ("PM6 ", "PM6 "), ("xyz", "XYZ"), ("", ""), ("stra\u00dfe", "STRASSE")]:
        with pytest.raises(ValueError) as info:
            qp.calculate(WATER_Z, W, given)
        assert str(info.value) == (
            f"Unsupported semi-empirical method: '{shown}'. Supported methods: PM7, PM6, AM1, RM1, PM3, MNDO"
        )


def test_converters_refuse_what_is_no_molecule(qp):
    # Read before any molecule method is called, so RDKit and ASE need not be installed.
    for call, message in [
        (lambda: qp.from_rdkit(None), "argument 'mol': 'NoneType' object is not an RDKit molecule"),
        (lambda: qp.from_rdkit("CCO"), "argument 'mol': 'str' object is not an RDKit molecule"),
        (lambda: qp.from_ase(None), "argument 'atoms': 'NoneType' object is not an ASE Atoms object"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
