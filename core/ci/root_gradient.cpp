#include "core/ci/root_gradient.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/ci/active_densities.h"
#include "core/ci/meci.h"
#include "core/gradients/nuclear_gradients.h"
#include "core/integrals/pair_integrals.h"
#include "core/scf/eigensolver.h"
#include "core/scf/workspace.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

constexpr double kStepAngstrom = 1e-3;
// The CI energy is not variational in the orbitals, so its error follows the
// SCF's linearly: the displaced SCFs converge well below the step's effect.
constexpr double kDisplacedEnergyTolerance = 1e-9;  // eV
constexpr double kDisplacedDensityTolerance = 1e-8;
// Below this, the chosen orbitals miss part of the reference window.
constexpr double kMinFollowedOverlap = 1e-8;
// Levels closer than this (eV) at the reference geometry count as one
// degenerate level; the gradient step splits such a level by about as much.
constexpr double kDegenerateLevelsEv = 1e-3;

// The window's orbitals at one geometry and the SCF Fock matrix over them.
struct Window {
    Matrix orbitals;  // n_basis x n, one window orbital per column
    Matrix fock;      // n x n, eV
};

// The window orbitals of one block of MOs (occupied or virtual).
struct Block {
    std::size_t begin = 0, end = 0;  // the block's MOs
    std::size_t first = 0, k = 0;    // the window columns it fills
    // n_basis x g, at the reference geometry: the block's window MOs and the
    // MOs degenerate with them across the window's edge.
    Matrix group;
};

// Fills the block's window columns at a displaced geometry. Of the block's
// MOs (coefficients c, energies e), the g that overlap the reference group
// most are chosen: the energy-ordered window wherever no level is
// degenerate across its edge. Within their span, the window orbitals are the
// orthonormal combinations closest to the reference window orbitals:
// C_chosen X (X^T X)^-1/2 with X = C_chosen^T C_window. The root's energy
// does not depend on rotations among the window orbitals, but its fixed CI
// vector does; where a degenerate level is split by the window's edge, the
// window orbital is carried over smoothly instead of switching between the
// split levels. The Fock matrix over the window follows from the energies.
void follow_block(const Matrix& c, std::span<const double> e, const Block& block, const Matrix& reference,
                  Window& out) {
    const std::size_t k = block.k, g = block.group.cols();
    if (k == 0) return;
    const std::size_t nb = c.rows(), m = block.end - block.begin;
    std::vector<std::pair<double, std::size_t>> weights(m);
    for (std::size_t i = 0; i < m; ++i) {
        double weight = 0.0;
        for (std::size_t a = 0; a < g; ++a) {
            double sum = 0.0;
            for (std::size_t mu = 0; mu < nb; ++mu) sum += c(mu, block.begin + i) * block.group(mu, a);
            weight += sum * sum;
        }
        weights[i] = {-weight, block.begin + i};
    }
    std::partial_sort(weights.begin(), weights.begin() + static_cast<std::ptrdiff_t>(g), weights.end());
    std::vector<std::size_t> chosen(g);
    for (std::size_t i = 0; i < g; ++i) chosen[i] = weights[i].second;
    std::sort(chosen.begin(), chosen.end());

    Matrix x = Matrix::zeros(g, k);
    for (std::size_t i = 0; i < g; ++i) {
        for (std::size_t a = 0; a < k; ++a) {
            double sum = 0.0;
            for (std::size_t mu = 0; mu < nb; ++mu) sum += c(mu, chosen[i]) * reference(mu, block.first + a);
            x(i, a) = sum;
        }
    }
    Matrix s = Matrix::zeros(k, k);
    for (std::size_t a = 0; a < k; ++a) {
        for (std::size_t b = 0; b < k; ++b) {
            for (std::size_t i = 0; i < g; ++i) s(a, b) += x(i, a) * x(i, b);
        }
    }
    Vec64 values = Vec64::zeros(k);
    Matrix vectors = Matrix::zeros(k, k);
    diagonalize_symmetric(s, values, vectors);
    if (!(values[0] > kMinFollowedOverlap)) {
        throw EngineStop("The CI window orbitals cannot be followed within the gradient step");
    }
    Matrix inverse_root = Matrix::zeros(k, k);
    for (std::size_t a = 0; a < k; ++a) {
        for (std::size_t b = 0; b < k; ++b) {
            for (std::size_t f = 0; f < k; ++f) {
                inverse_root(a, b) += vectors(a, f) * vectors(b, f) / std::sqrt(values[f]);
            }
        }
    }
    Matrix y = Matrix::zeros(g, k);  // window orbitals over the chosen MOs
    for (std::size_t i = 0; i < g; ++i) {
        for (std::size_t a = 0; a < k; ++a) {
            for (std::size_t b = 0; b < k; ++b) y(i, a) += x(i, b) * inverse_root(b, a);
        }
    }
    for (std::size_t mu = 0; mu < nb; ++mu) {
        for (std::size_t a = 0; a < k; ++a) {
            double sum = 0.0;
            for (std::size_t i = 0; i < g; ++i) sum += c(mu, chosen[i]) * y(i, a);
            out.orbitals(mu, block.first + a) = sum;
        }
    }
    for (std::size_t a = 0; a < k; ++a) {
        for (std::size_t b = 0; b < k; ++b) {
            double sum = 0.0;
            for (std::size_t i = 0; i < g; ++i) sum += y(i, a) * e[chosen[i]] * y(i, b);
            out.fock(block.first + a, block.first + b) = sum;
        }
    }
}

// The block of MOs [begin, end) whose window MOs are [window_begin,
// window_end). The window's edge inside the block is below it in the
// occupied block and above it in the virtual one; the group reaches past
// that edge to every level within kDegenerateLevelsEv of its neighbour.
Block make_block(const Matrix& c, std::span<const double> e, std::size_t begin, std::size_t end,
                 std::size_t window_begin, std::size_t window_end, std::size_t first, bool occupied) {
    Block block{begin, end, first, window_end - window_begin, {}};
    std::size_t lo = window_begin, hi = window_end;
    if (block.k > 0 && occupied) {
        while (lo > begin && e[lo] - e[lo - 1] <= kDegenerateLevelsEv) --lo;
    } else if (block.k > 0) {
        while (hi < end && e[hi] - e[hi - 1] <= kDegenerateLevelsEv) ++hi;
    }
    block.group = Matrix::zeros(c.rows(), hi - lo);
    for (std::size_t mu = 0; mu < c.rows(); ++mu) {
        for (std::size_t j = lo; j < hi; ++j) block.group(mu, j - lo) = c(mu, j);
    }
    return block;
}

// E_SCF + E_CI of one CI vector at any geometry of the molecule.
class RootEnergy {
public:
    RootEnergy(const MolecularBatch& molecule, const ParameterModel& model, const ScfOptions& scf_options,
               const Matrix& density, const Matrix& coefficients, std::span<const double> orbital_energies,
               const MeciOptions& options, std::span<const double> ci_vector)
        : model_(model), options_(options), scf_options_(scf_options) {
        const ActiveWindow window = choose_active_window(molecule, model, options);
        const std::size_t n = options.active_orbitals, n_electrons = options.active_electrons;
        const std::size_t n_occupied = window.n_occupied, n_occupied_window = n_electrons / 2 + n_electrons % 2;
        occupied_ = make_block(coefficients, orbital_energies, 0, n_occupied, window.first, n_occupied, 0, true);
        virtual_ = make_block(coefficients, orbital_energies, n_occupied, molecule.n_basis, n_occupied,
                              window.first + n, n_occupied_window, false);
        reference_ = Matrix::zeros(molecule.n_basis, n);
        for (std::size_t mu = 0; mu < molecule.n_basis; ++mu) {
            for (std::size_t a = 0; a < n; ++a) reference_(mu, a) = coefficients(mu, window.indices[a]);
        }
        occupations_.assign(n, 0.0);
        for (std::size_t k = 0; k < n_occupied_window; ++k) occupations_[k] = 1.0;
        const std::vector<Microstate> microstates =
            generate_microstates(n, static_cast<std::int32_t>(n_electrons), static_cast<std::int32_t>(n_electrons % 2));
        if (ci_vector.size() != microstates.size()) {
            stop_assert_eq("CI vector does not match the microstates", ci_vector.size(), microstates.size());
        }
        std::vector<double> reference_determinant(microstates.size(), 0.0);
        reference_determinant[0] = 1.0;
        densities_ = difference(compute_active_densities(microstates, n, ci_vector),
                                compute_active_densities(microstates, n, reference_determinant));
        scf_options_.initial_density = &density;
        scf_options_.energy_tolerance = kDisplacedEnergyTolerance;
        scf_options_.density_tolerance = kDisplacedDensityTolerance;
        scf_ = ScfWorkspace::allocate(molecule.n_basis);
        window_ = Window{Matrix::zeros(molecule.n_basis, n), Matrix::zeros(n, n)};
        integrals_ = ActiveIntegrals::zeros(n);
        indices_.resize(n);
        for (std::size_t a = 0; a < n; ++a) indices_[a] = a;
    }

    double at(const MolecularBatch& molecule) {
        const ScfResult scf = run_rhf_scf_with_options(molecule, model_, scf_, scf_options_);
        if (!scf.converged) throw EngineStop("SCF did not converge at a displaced geometry of the CI root gradient");
        const std::span<const double> energies(scf_.orbital_energies.data(), molecule.n_basis);
        window_.fock.fill(0.0);
        follow_block(scf_.coefficients, energies, occupied_, reference_, window_);
        follow_block(scf_.coefficients, energies, virtual_, reference_, window_);

        std::optional<std::vector<DiatomicPairIntegrals>> own_pairs;
        std::optional<std::span<const DiatomicPairIntegrals>> pairs;
        if (options_.use_nddo) {
            if (scf_options_.use_nddo) {
                pairs = std::span<const DiatomicPairIntegrals>(scf_.pairs);
            } else {
                own_pairs = precompute_diatomic_pairs(molecule, model_);
                pairs = std::span<const DiatomicPairIntegrals>(*own_pairs);
            }
        }
        compute_active_mo_two_electron_integrals(molecule, model_, window_.orbitals, indices_, pairs, integrals_);
        const Matrix h = window_core_operator(window_.fock, occupations_, integrals_);
        return scf.total_energy + active_space_energy(h, integrals_, densities_);
    }

private:
    const ParameterModel& model_;
    MeciOptions options_;
    ScfOptions scf_options_;
    Block occupied_;
    Block virtual_;
    Matrix reference_;  // n_basis x n, the window orbitals at the reference geometry
    std::vector<double> occupations_;
    ActiveDensities densities_;  // of the CI vector minus those of microstate 0
    ScfWorkspace scf_;
    Window window_;
    ActiveIntegrals integrals_;
    std::vector<std::size_t> indices_;
};

}  // namespace

std::vector<std::array<double, 3>> compute_ci_root_gradient(MolecularBatch& molecule, const ParameterModel& model,
                                                            const ScfOptions& scf_options, const Matrix& density,
                                                            const Matrix& coefficients,
                                                            std::span<const double> orbital_energies,
                                                            const MeciOptions& options,
                                                            std::span<const double> ci_vector) {
    RootEnergy energy(molecule, model, scf_options, density, coefficients, orbital_energies, options, ci_vector);
    std::vector<std::array<double, 3>> gradient(molecule.n_atoms, {0.0, 0.0, 0.0});
    central_difference_gradient(molecule, kStepAngstrom, gradient, [&](std::size_t) { return energy.at(molecule); });
    return gradient;
}

}  // namespace quorin
