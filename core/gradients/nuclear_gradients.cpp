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
#include "core/types/interruption.h"

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

// Derivatives of the terms of the pair lo < hi with respect to the x, y and
// z of hi, by central differences, into derivatives[axis * count + k];
// `scratch` holds two sets of terms. Between two s-only atoms the terms
// depend on the distance alone, and one difference along the bond gives all
// three (none for coincident atoms: no direction, and the terms are constant
// there).
void differentiate_pair_terms(MolecularBatch& molecule, const ParameterModel& model, FrozenPairEnergyWorkspace& ws,
                              std::size_t lo, std::size_t hi, bool use_nddo, double* derivatives, double* scratch) {
    const std::size_t count =
        frozen_pair_term_count(molecule.orbitals_per_atom[lo], molecule.orbitals_per_atom[hi], use_nddo);
    double* plus = scratch;
    double* minus = scratch + count;
    const std::array<double, 3> saved = {molecule.x[hi], molecule.y[hi], molecule.z[hi]};
    if (molecule.orbitals_per_atom[lo] == 1 && molecule.orbitals_per_atom[hi] == 1) {
        const std::array<double, 3> bond = {saved[0] - molecule.x[lo], saved[1] - molecule.y[lo],
                                            saved[2] - molecule.z[lo]};
        const double r = std::sqrt(bond[0] * bond[0] + bond[1] * bond[1] + bond[2] * bond[2]);
        if (r < 1e-10) {
            std::fill(derivatives, derivatives + 3 * count, 0.0);
            return;
        }
        for (int side = 0; side < 2; ++side) {
            const double step = (side == 0 ? kStepAngstrom : -kStepAngstrom) / r;
            for (std::size_t axis = 0; axis < 3; ++axis) molecule.axis(axis)[hi] = saved[axis] + step * bond[axis];
            frozen_pair_terms(molecule, model, ws, lo, hi, use_nddo, side == 0 ? plus : minus);
        }
        for (std::size_t axis = 0; axis < 3; ++axis) molecule.axis(axis)[hi] = saved[axis];
        for (std::size_t k = 0; k < count; ++k) {
            const double radial = (plus[k] - minus[k]) * kInverseTwoSteps / r;
            for (std::size_t axis = 0; axis < 3; ++axis) derivatives[axis * count + k] = radial * bond[axis];
        }
        return;
    }
    for (std::size_t axis = 0; axis < 3; ++axis) {
        Vec64& coords = molecule.axis(axis);
        coords[hi] = saved[axis] + kStepAngstrom;
        frozen_pair_terms(molecule, model, ws, lo, hi, use_nddo, plus);
        coords[hi] = saved[axis] - kStepAngstrom;
        frozen_pair_terms(molecule, model, ws, lo, hi, use_nddo, minus);
        coords[hi] = saved[axis];
        double* d = derivatives + axis * count;
        for (std::size_t k = 0; k < count; ++k) d[k] = (plus[k] - minus[k]) * kInverseTwoSteps;
    }
}

// Pair terms depend only on the vector between the two atoms: their
// derivatives for the upper atom are those for the lower one with the sign
// changed. Each pair's derivatives, dotted with its density weights, add to
// both atoms' gradients. With `unmoved`, pairs without `moved_atom` take
// theirs from it.
void pair_local_gradient(MolecularBatch& molecule, const ParameterModel& model, const Matrix& density,
                         GradientWorkspace& workspace, std::span<std::array<double, 3>> gradient, bool use_nddo,
                         const PairTermDerivatives* unmoved, std::size_t moved_atom) {
    check_gradient_shapes(molecule, density, gradient);
    // The pair decomposition reads each off-diagonal density block once for
    // both triangles, which the full builders match only for a symmetric P.
    if (!is_exactly_symmetric(density)) {
        compute_cartesian_gradients_full_rebuild(molecule, model, density, workspace, gradient, use_nddo);
        return;
    }
    FrozenPairEnergyWorkspace pair_ws = FrozenPairEnergyWorkspace::prepare(molecule, model, use_nddo);
    pair_ws.load_density(molecule, density);
    // Weights, fresh derivatives (three sets) and the terms of two displacements.
    std::vector<double> scratch(6 * pair_ws.max_terms);
    double* weights = scratch.data();
    double* fresh = weights + pair_ws.max_terms;
    double* terms = fresh + 3 * pair_ws.max_terms;
    for (auto& g : gradient) g = {0.0, 0.0, 0.0};
    for (std::size_t hi = 1; hi < molecule.n_atoms; ++hi) {
        check_interruption();
        if (!pair_ws.records[hi]) continue;
        for (std::size_t lo = 0; lo < hi; ++lo) {
            if (!pair_ws.records[lo]) continue;
            const std::size_t count =
                frozen_pair_term_count(molecule.orbitals_per_atom[lo], molecule.orbitals_per_atom[hi], use_nddo);
            const double* derivatives = fresh;
            if (unmoved && lo != moved_atom && hi != moved_atom) {
                derivatives = unmoved->values.data() + unmoved->offsets[hi * (hi - 1) / 2 + lo];
            } else {
                differentiate_pair_terms(molecule, model, pair_ws, lo, hi, use_nddo, fresh, terms);
            }
            frozen_pair_weights(molecule, density, pair_ws, lo, hi, use_nddo, weights);
            for (std::size_t axis = 0; axis < 3; ++axis) {
                const double* d = derivatives + axis * count;
                double derivative = 0.0;
                for (std::size_t k = 0; k < count; ++k) derivative += weights[k] * d[k];
                gradient[hi][axis] += derivative;
                gradient[lo][axis] -= derivative;
            }
        }
    }
    remove_net_force(gradient);
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
    pair_local_gradient(molecule, model, density, workspace, gradient, use_nddo, nullptr, 0);
}

PairTermDerivatives compute_pair_term_derivatives(MolecularBatch& molecule, const ParameterModel& model,
                                                  bool use_nddo) {
    PairTermDerivatives result;
    result.use_nddo = use_nddo;
    const std::size_t n = molecule.n_atoms;
    result.offsets.assign(n > 1 ? n * (n - 1) / 2 : 0, 0);
    FrozenPairEnergyWorkspace pair_ws = FrozenPairEnergyWorkspace::prepare(molecule, model, use_nddo);
    std::size_t total = 0;
    for (std::size_t hi = 1; hi < n; ++hi) {
        for (std::size_t lo = 0; lo < hi; ++lo) {
            if (!pair_ws.records[lo] || !pair_ws.records[hi]) continue;
            result.offsets[hi * (hi - 1) / 2 + lo] = total;
            total += 3 * frozen_pair_term_count(molecule.orbitals_per_atom[lo], molecule.orbitals_per_atom[hi],
                                                use_nddo);
        }
    }
    result.values.assign(total, 0.0);
    std::vector<double> scratch(2 * pair_ws.max_terms);
    for (std::size_t hi = 1; hi < n; ++hi) {
        check_interruption();
        for (std::size_t lo = 0; lo < hi; ++lo) {
            if (!pair_ws.records[lo] || !pair_ws.records[hi]) continue;
            differentiate_pair_terms(molecule, model, pair_ws, lo, hi, use_nddo,
                                     result.values.data() + result.offsets[hi * (hi - 1) / 2 + lo], scratch.data());
        }
    }
    return result;
}

void compute_cartesian_gradients_after_move(MolecularBatch& molecule, const ParameterModel& model,
                                            const Matrix& density, GradientWorkspace& workspace,
                                            std::span<std::array<double, 3>> gradient,
                                            const PairTermDerivatives& unmoved, std::size_t moved_atom) {
    const std::size_t n = molecule.n_atoms;
    if (unmoved.offsets.size() != (n > 1 ? n * (n - 1) / 2 : 0)) {
        stop_assert_eq("Pair derivatives must belong to the molecule", unmoved.offsets.size(), n * (n - 1) / 2);
    }
    pair_local_gradient(molecule, model, density, workspace, gradient, unmoved.use_nddo, &unmoved, moved_atom);
}

}  // namespace quorin
