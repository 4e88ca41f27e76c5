#include "core/gradients/nuclear_gradients.h"

#include <cmath>
#include <vector>

#include "core/fock/fock_builder.h"
#include "core/gradients/frozen_pair_energy.h"
#include "core/hamiltonian/hcore.h"
#include "core/integrals/core_repulsion.h"
#include "core/integrals/pair_integrals.h"
#include "core/scf/density.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

constexpr double kStepAngstrom = 1e-4;
// 1 / (2 step): central difference of energies displaced by +-step.
constexpr double kInverseTwoSteps = 5000.0;

void check_gradient_shapes(const MolecularBatch& molecule, const Matrix& density,
                           std::span<const std::array<double, 3>> gradient) {
    if (gradient.size() != molecule.n_atoms) {
        stop_assert_eq("Gradient output must hold one triple per atom", gradient.size(), molecule.n_atoms);
    }
    if (density.rows() != molecule.n_basis) {
        stop_assert_eq("Density matrix size mismatch", density.rows(), molecule.n_basis);
    }
    if (density.cols() != molecule.n_basis) {
        stop_assert_eq("Density matrix size mismatch", density.cols(), molecule.n_basis);
    }
}

bool is_exactly_symmetric(const Matrix& m) {
    for (std::size_t i = 0; i < m.rows(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (m(i, j) != m(j, i)) return false;
        }
    }
    return true;
}

// The one-centre tables do not depend on the geometry, so a caller that
// displaces atoms passes the same tables to every evaluation.
double frozen_energy(const MolecularBatch& molecule, const ParameterModel& model, const OneCenterTables& one_center,
                     const Matrix& density, GradientWorkspace& workspace, bool use_nddo) {
    const double core_ev = compute_total_core_repulsion(molecule, model);
    // A fresh table: the SCF's cached one belongs to the undisplaced geometry.
    std::vector<DiatomicPairIntegrals> pairs;
    if (use_nddo) pairs = precompute_diatomic_pairs(molecule, model);
    build_hcore_with_options(molecule, model, pairs, use_nddo, workspace.hcore);
    build_fock_with_options(molecule, model, one_center, pairs, use_nddo, workspace.hcore, density, workspace.fock);
    return core_ev + compute_electronic_energy(density, workspace.hcore, workspace.fock);
}

}  // namespace

void remove_net_force(std::span<std::array<double, 3>> gradient) {
    if (gradient.empty()) return;
    std::array<double, 3> mean{};
    for (const auto& g : gradient) {
        for (std::size_t axis = 0; axis < 3; ++axis) mean[axis] += g[axis];
    }
    const double n = static_cast<double>(gradient.size());
    for (double& m : mean) m /= n;
    for (auto& g : gradient) {
        for (std::size_t axis = 0; axis < 3; ++axis) g[axis] -= mean[axis];
    }
}

GradientWorkspace GradientWorkspace::allocate(std::size_t n_basis) {
    GradientWorkspace ws;
    ws.hcore = Matrix::zeros(n_basis, n_basis);
    ws.fock = Matrix::zeros(n_basis, n_basis);
    return ws;
}

double evaluate_frozen_energy(const MolecularBatch& molecule, const ParameterModel& model,
                              const Matrix& density, GradientWorkspace& workspace, bool use_nddo) {
    return frozen_energy(molecule, model, OneCenterTables::build(molecule, model), density, workspace, use_nddo);
}

void compute_cartesian_gradients_full_rebuild(MolecularBatch& molecule, const ParameterModel& model,
                                              const Matrix& density, GradientWorkspace& workspace,
                                              std::span<std::array<double, 3>> gradient, bool use_nddo) {
    check_gradient_shapes(molecule, density, gradient);
    const OneCenterTables one_center = OneCenterTables::build(molecule, model);
    central_difference_gradient(molecule, kStepAngstrom, gradient, [&](std::size_t) {
        return frozen_energy(molecule, model, one_center, density, workspace, use_nddo);
    });
}

void compute_cartesian_gradients_with_options(MolecularBatch& molecule, const ParameterModel& model,
                                              const Matrix& density, GradientWorkspace& workspace,
                                              std::span<std::array<double, 3>> gradient, bool use_nddo) {
    check_gradient_shapes(molecule, density, gradient);
    // The pair decomposition reads each off-diagonal density block once for
    // both triangles, which the full builders match only for a symmetric P.
    if (!is_exactly_symmetric(density)) {
        compute_cartesian_gradients_full_rebuild(molecule, model, density, workspace, gradient, use_nddo);
        return;
    }
    // Pair terms depend only on the vector between the two atoms: displacing
    // the upper atom by +-h gives the pair's derivative for both atoms, with
    // opposite signs. Between two s-only atoms they depend on the distance
    // alone, and one difference along the bond gives all three components.
    FrozenPairEnergyWorkspace pair_ws = FrozenPairEnergyWorkspace::prepare(molecule, model, density);
    const auto pair_energy = [&](std::size_t lo, std::size_t hi) {
        return frozen_energy_of_pair(molecule, model, density, pair_ws, lo, hi, use_nddo);
    };
    for (auto& g : gradient) g = {0.0, 0.0, 0.0};
    for (std::size_t hi = 1; hi < molecule.n_atoms; ++hi) {
        if (!pair_ws.records[hi]) continue;
        const std::array<double, 3> saved = {molecule.x[hi], molecule.y[hi], molecule.z[hi]};
        for (std::size_t lo = 0; lo < hi; ++lo) {
            if (!pair_ws.records[lo]) continue;
            if (molecule.orbitals_per_atom[lo] == 1 && molecule.orbitals_per_atom[hi] == 1) {
                const std::array<double, 3> bond = {saved[0] - molecule.x[lo], saved[1] - molecule.y[lo],
                                                    saved[2] - molecule.z[lo]};
                const double r = std::sqrt(bond[0] * bond[0] + bond[1] * bond[1] + bond[2] * bond[2]);
                if (r < 1e-10) continue;  // no direction; the pair's terms are constant there
                double energies[2];
                for (int side = 0; side < 2; ++side) {
                    const double step = (side == 0 ? kStepAngstrom : -kStepAngstrom) / r;
                    for (std::size_t axis = 0; axis < 3; ++axis) {
                        molecule.axis(axis)[hi] = saved[axis] + step * bond[axis];
                    }
                    energies[side] = pair_energy(lo, hi);
                }
                for (std::size_t axis = 0; axis < 3; ++axis) molecule.axis(axis)[hi] = saved[axis];
                const double radial = (energies[0] - energies[1]) * kInverseTwoSteps / r;
                for (std::size_t axis = 0; axis < 3; ++axis) {
                    gradient[hi][axis] += radial * bond[axis];
                    gradient[lo][axis] -= radial * bond[axis];
                }
                continue;
            }
            for (std::size_t axis = 0; axis < 3; ++axis) {
                Vec64& coords = molecule.axis(axis);
                coords[hi] = saved[axis] + kStepAngstrom;
                const double e_plus = pair_energy(lo, hi);
                coords[hi] = saved[axis] - kStepAngstrom;
                const double e_minus = pair_energy(lo, hi);
                coords[hi] = saved[axis];
                const double derivative = (e_plus - e_minus) * kInverseTwoSteps;
                gradient[hi][axis] += derivative;
                gradient[lo][axis] -= derivative;
            }
        }
    }
    remove_net_force(gradient);
}

}  // namespace quorin
