#pragma once
// Cartesian nuclear gradients (eV/angstrom) of a converged density by central
// differences of the frozen-density energy: core repulsion plus
// 0.5 sum P (H + F) with H and F rebuilt at each displaced geometry and P
// held fixed. No SCF is run at the displaced geometries.
#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// Subtracts the mean gradient, so that the gradients sum to zero along each axis.
void remove_net_force(std::span<std::array<double, 3>> gradient);

// Central differences, +-step_angstrom, of energy(atom) for every coordinate
// of the molecule into `gradient` (one triple per atom), then net-force
// removal. Each displaced coordinate is written back exactly, also when
// `energy` throws.
template <typename EnergyOfAtom>
void central_difference_gradient(MolecularBatch& molecule, double step_angstrom,
                                 std::span<std::array<double, 3>> gradient, EnergyOfAtom&& energy) {
    const double inverse_two_steps = 0.5 / step_angstrom;
    for (std::size_t atom = 0; atom < molecule.n_atoms; ++atom) {
        for (std::size_t axis = 0; axis < 3; ++axis) {
            Vec64& coords = molecule.axis(axis);
            const double saved = coords[atom];
            double e_plus = 0.0, e_minus = 0.0;
            try {
                coords[atom] = saved + step_angstrom;
                e_plus = energy(atom);
                coords[atom] = saved - step_angstrom;
                e_minus = energy(atom);
            } catch (...) {
                coords[atom] = saved;
                throw;
            }
            coords[atom] = saved;
            gradient[atom][axis] = (e_plus - e_minus) * inverse_two_steps;
        }
    }
    remove_net_force(gradient);
}

struct GradientWorkspace {
    Matrix hcore;  // core Hamiltonian at the last displaced geometry
    Matrix fock;   // Fock matrix of the fixed density there

    static GradientWorkspace allocate(std::size_t n_basis);
};

// Frozen-density energy (eV) at the molecule's current geometry.
double evaluate_frozen_energy(const MolecularBatch& molecule, const ParameterModel& model,
                              const Matrix& density, GradientWorkspace& workspace, bool use_nddo);

// Gradient of every atom, one (x, y, z) triple per atom in eV/angstrom, with
// the net force removed. The molecule's coordinates are displaced one at a
// time and written back exactly. Moving one atom changes only the pair terms
// of that atom, so only those are re-evaluated; a density that is not exactly
// symmetric takes the full-rebuild path instead. Stops when `gradient` does
// not hold one triple per atom or the density is not n_basis x n_basis.
void compute_cartesian_gradients_with_options(MolecularBatch& molecule, const ParameterModel& model,
                                              const Matrix& density, GradientWorkspace& workspace,
                                              std::span<std::array<double, 3>> gradient, bool use_nddo);

// Derivatives, by the same central differences, of every pair's frozen-energy
// terms (frozen_pair_energy.h) with respect to the coordinates of its upper
// atom, at one geometry. They do not depend on the density, and a pair
// whose atoms have not moved keeps them: gradients at geometries where one
// atom moved reuse those of every pair without it.
struct PairTermDerivatives {
    std::vector<double> values;  // per pair, the x, y and z sets of its terms
    // Per pair lo < hi at hi (hi - 1) / 2 + lo: start of its sets in values
    // (pairs with an atom the model lacks have none).
    std::vector<std::size_t> offsets;
    bool use_nddo = false;
};

// The derivatives at the molecule's current geometry; its coordinates are
// displaced one at a time and written back exactly.
PairTermDerivatives compute_pair_term_derivatives(MolecularBatch& molecule, const ParameterModel& model,
                                                  bool use_nddo);

// compute_cartesian_gradients_with_options (in the Hamiltonian form of
// `unmoved`) at a geometry that differs from the one `unmoved` was computed at
// only in the coordinates of `moved_atom`. The same numbers, with only the
// pairs of that atom differentiated anew.
void compute_cartesian_gradients_after_move(MolecularBatch& molecule, const ParameterModel& model,
                                            const Matrix& density, GradientWorkspace& workspace,
                                            std::span<std::array<double, 3>> gradient,
                                            const PairTermDerivatives& unmoved, std::size_t moved_atom);

// The same gradient from full rebuilds: every displaced energy is a complete
// evaluate_frozen_energy. O(N^3); the reference for the pair-local path.
void compute_cartesian_gradients_full_rebuild(MolecularBatch& molecule, const ParameterModel& model,
                                              const Matrix& density, GradientWorkspace& workspace,
                                              std::span<std::array<double, 3>> gradient, bool use_nddo);

}  // namespace quorin
