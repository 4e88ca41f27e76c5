#include "core/scf/energy_diis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/molecules.h"
#include "core/fock/fock_builder.h"
#include "core/scf/density.h"
#include "core/scf/scf_loop.h"

namespace quorin {
namespace {

// The ground-state orbitals with occupied orbital i turned towards virtual
// orbital a by t radians, occupied.
Matrix turned_density(Matrix c, std::size_t n_occ, std::size_t i, std::size_t a, double t) {
    for (std::size_t k = 0; k < c.rows(); ++k) {
        const double ci = c(k, i), ca = c(k, a);
        c(k, i) = std::cos(t) * ci - std::sin(t) * ca;
        c(k, a) = std::sin(t) * ci + std::cos(t) * ca;
    }
    Matrix p = Matrix::zeros(c.rows(), c.rows());
    compute_density_matrix(c, n_occ, p);
    return p;
}

// Eight densities, the ground state turned both ways about four pairs (so the
// lowest combination lies inside the simplex, between the opposite turns),
// pushed through a history of six, the window sliding over its slots: after
// every push the interpolated Fock matrix is the Fock matrix of the combined density and the reported energy is that density's
// energy (both rebuilt directly), and no vertex or random convex combination
// of the held densities (energies again from rebuilt Fock matrices) is lower.
TEST(EnergyDiis, InterpolationIsTheLowestCombinationOfTheHistory) {
    const Am1Model am1;
    const MolecularBatch m = fixtures::make_molecule(fixtures::formaldehyde(), am1);
    const std::size_t n = m.n_basis, n_occ = count_valence_electrons(m, am1) / 2;
    ScfWorkspace ws = ScfWorkspace::allocate(n);
    ASSERT_TRUE(run_rhf_scf_with_options(m, am1, ws, {}).converged);

    const auto fock_of = [&](const Matrix& p, Matrix& f) { build_fock_nddo(m, am1, ws.pairs, ws.hcore, p, f); };
    const auto energy_of = [&](const Matrix& p) {
        Matrix f = Matrix::zeros(n, n);
        fock_of(p, f);
        return compute_electronic_energy(p, ws.hcore, f);
    };
    std::mt19937 rng(5);  // random convex combinations
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    DiisWorkspace diis = DiisWorkspace::allocate(n, 6);
    EnergyDiis energy;
    std::vector<Matrix> densities;  // by push
    Matrix f = Matrix::zeros(n, n), scratch = Matrix::zeros(n, n), f_combined = Matrix::zeros(n, n);
    for (std::size_t push = 0; push < 8; ++push) {
        SCOPED_TRACE(push);
        const std::size_t pair = push / 2;
        densities.push_back(turned_density(ws.coefficients, n_occ, n_occ - 1 - pair % 3, n_occ + pair,
                                           push % 2 == 0 ? 0.7 : -0.5));
        fock_of(densities.back(), f);
        diis.push(f, densities.back(), scratch);
        energy.record(diis, densities.back(), ws.hcore);
        const EnergyDiis::Step step = energy.interpolate(diis, f_combined);

        // Held entries, oldest first, are the last diis.count pushes.
        const std::size_t held = diis.count, first = densities.size() - held;
        const auto combination = [&](const std::array<double, MAX_DIIS_CAPACITY>& c) {
            Matrix p = Matrix::zeros(n, n);
            for (std::size_t k = 0; k < held; ++k) {
                for (std::size_t i = 0; i < n * n; ++i) p.data()[i] += c[k] * densities[first + k].data()[i];
            }
            return p;
        };
        double sum = 0.0;
        for (std::size_t k = 0; k < held; ++k) {
            EXPECT_GE(step.coefficients[k], 0.0);
            sum += step.coefficients[k];
        }
        EXPECT_NEAR(sum, 1.0, 1e-12);
        const Matrix p = combination(step.coefficients);
        fock_of(p, f);
        for (std::size_t i = 0; i < n * n; ++i) EXPECT_NEAR(f_combined.data()[i], f.data()[i], 1e-9);
        EXPECT_NEAR(step.energy, compute_electronic_energy(p, ws.hcore, f), 1e-8);

        for (std::size_t k = 0; k < held; ++k) EXPECT_LE(step.energy, energy_of(densities[first + k]) + 1e-9);
        for (int sample = 0; sample < 50; ++sample) {
            std::array<double, MAX_DIIS_CAPACITY> c{};
            double total = 0.0;
            for (std::size_t k = 0; k < held; ++k) total += c[k] = -std::log(uniform(rng) + 1e-300);
            for (std::size_t k = 0; k < held; ++k) c[k] /= total;
            EXPECT_LE(step.energy, energy_of(combination(c)) + 1e-9);
        }
    }
}

// A model whose lowest combination lies inside the simplex: H = 0 and G(P) =
// kappa P + mu tr(P) I over the densities e_k e_k^T, so E = 1/2 (kappa sum
// c_k^2 + mu). By symmetry and convexity the lowest point of the held entries
// is their centroid, with E = kappa / (2 m) + mu / 2 for m entries and
// F = mu I plus kappa / m on their diagonal (hand derivation); the history
// of six slides over eight pushes. The same with kappa and mu 1e7 times
// larger, the size tr P G(P) reaches in a molecule of a thousand atoms,
// where a fixed bound on the pivots once found every face singular and
// left a zero Fock matrix.
TEST(EnergyDiis, LowestCombinationCanLieInsideTheSimplex) {
    constexpr std::size_t n = 8;
    for (const double scale : {1.0, 1e7}) {
        SCOPED_TRACE(scale);
        const double kappa = 3.0 * scale, mu = 0.7 * scale;
        DiisWorkspace diis = DiisWorkspace::allocate(n, 6);
        EnergyDiis energy;
        const Matrix hcore = Matrix::zeros(n, n);
        Matrix p = Matrix::zeros(n, n), f = Matrix::zeros(n, n), scratch = Matrix::zeros(n, n);
        Matrix f_combined = Matrix::zeros(n, n);
        for (std::size_t push = 0; push < n; ++push) {
            SCOPED_TRACE(push);
            p.fill(0.0);
            p(push, push) = 1.0;
            f.fill(0.0);
            for (std::size_t k = 0; k < n; ++k) f(k, k) = mu;
            f(push, push) += kappa;
            diis.push(f, p, scratch);
            energy.record(diis, p, hcore);
            const EnergyDiis::Step step = energy.interpolate(diis, f_combined);
            const double m = static_cast<double>(diis.count);
            EXPECT_NEAR(step.energy, kappa / (2.0 * m) + mu / 2.0, 1e-12 * scale);
            for (std::size_t k = 0; k < diis.count; ++k) EXPECT_NEAR(step.coefficients[k], 1.0 / m, 1e-12);
            for (std::size_t k = 0; k < n; ++k) {
                const bool held = k <= push && k + diis.count > push;
                EXPECT_NEAR(f_combined(k, k), mu + (held ? kappa / m : 0.0), 1e-12 * scale);
            }
        }
    }
}

}  // namespace
}  // namespace quorin
