#include "python/embedded_script.h"

namespace quorin::py {

// Converters and framework bridges, defined as plain Python. ASE, NumPy and
// PyTorch are optional: a missing package leaves a stand-in class whose
// constructor says what to install. Only ImportError is caught.
const char* const kEmbeddedScript = R"PY(
def from_rdkit(mol, conf_id=-1):
    """Extract atomic numbers and 3D Cartesian coordinates from an RDKit Mol object.

    Every molecule is computed neutral and closed-shell with all its atoms
    given, so a molecule whose formal charges do not add up to zero, one with
    radical electrons, and one whose hydrogens are implicit (not atoms of the
    molecule) are refused with ValueError. Zwitterions, whose formal charges
    cancel, are accepted. Add hydrogens with coordinates first:
    `Chem.AddHs(mol, addCoords=True)`."""
    # RDKit is not imported: anything with a molecule's methods is read as one.
    if not (hasattr(mol, "GetAtoms") and hasattr(mol, "GetConformer")):
        raise TypeError(f"argument 'mol': '{type(mol).__name__}' object is not an RDKit molecule")
    from operator import index
    try:
        conf_id = index(conf_id)
    except TypeError as error:
        raise TypeError(f"argument 'conf_id': {error}") from None
    atoms = list(mol.GetAtoms())
    for i, atom in enumerate(atoms):
        if atom.GetTotalNumHs():
            raise ValueError(f"argument 'mol': atom {i} ({atom.GetSymbol()}) carries {atom.GetTotalNumHs()} "
                             "implicit hydrogen(s) that are not atoms of the molecule; add them with coordinates "
                             "first: mol = Chem.AddHs(mol, addCoords=True)")
        if atom.GetNumRadicalElectrons():
            raise ValueError(f"argument 'mol': atom {i} ({atom.GetSymbol()}) has {atom.GetNumRadicalElectrons()} "
                             "radical electron(s); every molecule is computed neutral and closed-shell, so radicals "
                             "and ions are both refused")
    charge = sum(atom.GetFormalCharge() for atom in atoms)
    if charge:
        raise ValueError(f"argument 'mol': the formal charges add up to {charge:+d}; every molecule is computed "
                         "neutral and closed-shell, so ions are refused (zwitterions, whose charges cancel, are "
                         "accepted)")
    try:
        conf = mol.GetConformer(conf_id)
    except ValueError:
        raise ValueError(f"argument 'conf_id': the molecule has no conformer with id {conf_id} (a molecule without "
                         "3D coordinates has none; embed one first)") from None
    atomic_numbers = [atom.GetAtomicNum() for atom in atoms]
    coords = [list(conf.GetAtomPosition(i)) for i in range(len(atomic_numbers))]
    return atomic_numbers, coords


def from_ase(atoms):
    """Extract atomic numbers and 3D Cartesian coordinates from an ASE Atoms object."""
    if not (hasattr(atoms, "get_atomic_numbers") and hasattr(atoms, "get_positions")):
        raise TypeError(f"argument 'atoms': '{type(atoms).__name__}' object is not an ASE Atoms object")
    return atoms.get_atomic_numbers().tolist(), atoms.get_positions().tolist()


try:
    from ase.calculators.calculator import Calculator, all_changes
    import numpy as np

    class QuorinASECalculator(Calculator):
        """Atomic Simulation Environment (ASE) Calculator backed by QUORIN_RS.

        Energy, forces, dipole and Mulliken charges of `calculate` with this
        calculator's settings (method, dispersion, cosmo_eps, h_bonds,
        use_nddo, as `calculate` documents them); the forces include the
        solvent and correction terms, so ASE optimisers, vibrations and
        dynamics run on the same surface. Only isolated, neutral,
        closed-shell molecules are computed."""

        implemented_properties = ['energy', 'free_energy', 'forces', 'dipole', 'charges']
        # The settings live in ASE's `parameters`, so that set() and todict()
        # see the ones used.
        default_parameters = {'method': 'PM6', 'dispersion': None, 'cosmo_eps': None, 'h_bonds': False,
                              'use_nddo': True}

        def __init__(self, method='PM6', dispersion=None, cosmo_eps=None, use_nddo=True, h_bonds=False, **kwargs):
            Calculator.__init__(self, method=method, dispersion=dispersion, cosmo_eps=cosmo_eps,
                                use_nddo=use_nddo, h_bonds=h_bonds, **kwargs)

        def set(self, **kwargs):
            unknown = sorted(set(kwargs) - set(self.default_parameters))
            if unknown:
                raise TypeError("QuorinASECalculator got unknown setting(s) " + ", ".join(map(repr, unknown)) +
                                "; its settings are 'method', 'dispersion', 'cosmo_eps', 'h_bonds' and "
                                "'use_nddo'")
            changed = Calculator.set(self, **kwargs)
            if changed:
                self.reset()
            return changed

        method = property(lambda self: self.parameters['method'], lambda self, v: self.set(method=v))
        dispersion = property(lambda self: self.parameters['dispersion'], lambda self, v: self.set(dispersion=v))
        cosmo_eps = property(lambda self: self.parameters['cosmo_eps'], lambda self, v: self.set(cosmo_eps=v))
        use_nddo = property(lambda self: self.parameters['use_nddo'], lambda self, v: self.set(use_nddo=v))
        h_bonds = property(lambda self: self.parameters['h_bonds'], lambda self, v: self.set(h_bonds=v))

        def calculate(self, atoms=None, properties=['energy'], system_changes=all_changes):
            Calculator.calculate(self, atoms, properties, system_changes)
            atoms = self.atoms
            if atoms is None:
                raise ValueError("QuorinASECalculator.calculate needs an Atoms object: none was given or attached")
            # Every calculation is of an isolated, neutral, closed-shell molecule.
            if any(atoms.pbc):
                raise ValueError("QuorinASECalculator computes isolated molecules only: the Atoms are periodic "
                                 f"(pbc={list(map(bool, atoms.pbc))}); set atoms.pbc = False")
            charge = atoms.info.get('charge', 0)
            if charge:
                raise ValueError("QuorinASECalculator computes neutral molecules only: "
                                 f"atoms.info['charge'] is {charge}")
            # Partial charges of a neutral molecule cancel to rounding.
            initial_charge = float(atoms.get_initial_charges().sum())
            if abs(initial_charge) > 1e-6:
                raise ValueError("QuorinASECalculator computes neutral molecules only: the initial charges of the "
                                 f"Atoms add up to {initial_charge:g}")
            if np.any(atoms.get_initial_magnetic_moments()):
                raise ValueError("QuorinASECalculator computes closed-shell molecules only: "
                                 "the Atoms carry non-zero initial magnetic moments")
            p = self.parameters
            result = calculate(atoms.get_atomic_numbers().tolist(), atoms.get_positions().tolist(),
                               method=p['method'], dispersion=p['dispersion'], cosmo_eps=p['cosmo_eps'],
                               h_bonds=p['h_bonds'], use_nddo=p['use_nddo'])
            # ASE's callers cannot see `converged`: an unconverged SCF is an error here.
            if not result.converged:
                import ase.calculators.calculator as _ase_calculator
                failure = getattr(_ase_calculator, 'CalculationFailed', RuntimeError)
                raise failure(f"QuorinASECalculator: SCF did not converge in {result.scf_iterations} iterations")
            self.results['energy'] = result.total_energy_ev
            # No electronic temperature: the free energy is the energy.
            self.results['free_energy'] = result.total_energy_ev
            self.results['forces'] = -np.array(result.gradients_ev_angstrom)
            # ASE's dipole unit is e*angstrom: 1 e*angstrom = 4.80320425 Debye.
            self.results['dipole'] = np.array(result.dipole_debye[:3]) / 4.80320425
            self.results['charges'] = np.array(result.mulliken_charges)
except ImportError:
    class QuorinASECalculator:
        def __init__(self, *args, **kwargs):
            raise ImportError("ase and numpy are required to instantiate QuorinASECalculator")


try:
    import torch

    class QuorinEnergyFunction(torch.autograd.Function):
        """Differentiable PyTorch autograd bridge to QUORIN_RS semi-empirical quantum engine."""

        @staticmethod
        def forward(ctx, coords, atomic_numbers, method="AM1", dispersion=None, cosmo_eps=None, use_nddo=True):
            result = calculate(atomic_numbers, coords.detach().cpu().tolist(), method=method,
                               dispersion=dispersion, cosmo_eps=cosmo_eps, use_nddo=use_nddo)
            # The caller cannot see `converged`: an unconverged SCF is an error here.
            if not result.converged:
                raise RuntimeError(f"QuorinEnergyFunction: SCF did not converge in {result.scf_iterations} iterations")
            gradient = torch.tensor(result.gradients_ev_angstrom, dtype=coords.dtype, device=coords.device)
            ctx.save_for_backward(gradient)
            return torch.tensor(result.total_energy_ev, dtype=coords.dtype, device=coords.device)

        # The engine gives first derivatives only. A backward pass that builds
        # a graph for a second derivative (create_graph=True, as hessian and
        # gradgradcheck do) is refused instead of coming back as zeros: the
        # saved gradient does not depend on the coordinates.
        @staticmethod
        def backward(ctx, grad_output):
            if torch.is_grad_enabled():
                raise RuntimeError("QuorinEnergyFunction is once differentiable: second derivatives of the energy "
                                   "(create_graph=True, torch.autograd.functional.hessian) are not available")
            (gradient,) = ctx.saved_tensors
            return grad_output * gradient, None, None, None, None, None

    class QuorinPotential(torch.nn.Module):
        """Differentiable Semi-Empirical Quantum Potential Module for PyTorch and TorchMD.

        forward(coords) takes one geometry, a tensor of shape (n_atoms, 3) in
        angstrom, and returns the total energy in eV of `calculate` with these
        settings; its gradient is calculate's. The default method is "AM1",
        not the "PM6" of the module functions: pass method="PM6" for theirs."""

        def __init__(self, atomic_numbers, method="AM1", dispersion=None, cosmo_eps=None, use_nddo=True):
            super().__init__()
            self.atomic_numbers = list(atomic_numbers)
            self.method = method
            self.dispersion = dispersion
            self.cosmo_eps = cosmo_eps
            self.use_nddo = use_nddo

        def forward(self, coords):
            expected = (len(self.atomic_numbers), 3)
            if tuple(coords.shape) != expected:
                raise ValueError(f"QuorinPotential expects one geometry, coords of shape {expected} for its "
                                 f"{expected[0]} atoms, not {tuple(coords.shape)}; a batch of geometries is "
                                 "computed one at a time")
            return QuorinEnergyFunction.apply(coords, self.atomic_numbers, self.method, self.dispersion,
                                              self.cosmo_eps, self.use_nddo)
except ImportError:
    class QuorinPotential:
        def __init__(self, *args, **kwargs):
            raise ImportError("PyTorch ('torch') is required to instantiate QuorinPotential")
)PY";

}  // namespace quorin::py
