#include "python/embedded_script.h"

namespace quorin::py {

// Converters and framework bridges, defined as plain Python. ASE, NumPy and
// PyTorch are optional: a missing package leaves a stand-in class whose
// constructor says what to install. Only ImportError is caught.
const char* const kEmbeddedScript = R"PY(
def from_rdkit(mol, conf_id=-1):
    """Extract atomic numbers and 3D Cartesian coordinates from an RDKit Mol object."""
    conf = mol.GetConformer(conf_id)
    atomic_numbers = [atom.GetAtomicNum() for atom in mol.GetAtoms()]
    coords = [list(conf.GetAtomPosition(i)) for i in range(len(atomic_numbers))]
    return atomic_numbers, coords


def from_ase(atoms):
    """Extract atomic numbers and 3D Cartesian coordinates from an ASE Atoms object."""
    return atoms.get_atomic_numbers().tolist(), atoms.get_positions().tolist()


try:
    from ase.calculators.calculator import Calculator, all_changes
    import numpy as np

    class QuorinASECalculator(Calculator):
        """Atomic Simulation Environment (ASE) Calculator backed by QUORIN_RS."""

        implemented_properties = ['energy', 'forces', 'dipole', 'charges']

        def __init__(self, method='PM6', dispersion=None, cosmo_eps=None, use_nddo=True, **kwargs):
            Calculator.__init__(self, **kwargs)
            self.method = method
            self.dispersion = dispersion
            self.cosmo_eps = cosmo_eps
            self.use_nddo = use_nddo

        def calculate(self, atoms=None, properties=['energy'], system_changes=all_changes):
            Calculator.calculate(self, atoms, properties, system_changes)
            atoms = self.atoms
            if atoms is None:
                raise ValueError("QuorinASECalculator.calculate needs an Atoms object: none was given or attached")
            result = calculate(atoms.get_atomic_numbers().tolist(), atoms.get_positions().tolist(),
                               method=self.method, dispersion=self.dispersion, cosmo_eps=self.cosmo_eps,
                               use_nddo=self.use_nddo)
            # ASE's callers cannot see `converged`: an unconverged SCF is an error here.
            if not result.converged:
                import ase.calculators.calculator as _ase_calculator
                failure = getattr(_ase_calculator, 'CalculationFailed', RuntimeError)
                raise failure(f"QuorinASECalculator: SCF did not converge in {result.scf_iterations} iterations")
            self.results['energy'] = result.total_energy_ev
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

        @staticmethod
        def backward(ctx, grad_output):
            (gradient,) = ctx.saved_tensors
            return grad_output * gradient, None, None, None, None, None

    class QuorinPotential(torch.nn.Module):
        """Differentiable Semi-Empirical Quantum Potential Module for PyTorch and TorchMD."""

        def __init__(self, atomic_numbers, method="AM1", dispersion=None, cosmo_eps=None, use_nddo=True):
            super().__init__()
            self.atomic_numbers = list(atomic_numbers)
            self.method = method
            self.dispersion = dispersion
            self.cosmo_eps = cosmo_eps
            self.use_nddo = use_nddo

        def forward(self, coords):
            return QuorinEnergyFunction.apply(coords, self.atomic_numbers, self.method, self.dispersion,
                                              self.cosmo_eps, self.use_nddo)
except ImportError:
    class QuorinPotential:
        def __init__(self, *args, **kwargs):
            raise ImportError("PyTorch ('torch') is required to instantiate QuorinPotential")
)PY";

}  // namespace quorin::py
