#pragma once
// A plain Roothaan loop with Pulay extrapolation from a given density, over
// the engine's core Hamiltonian and pair table, and randomly rotated
// starting densities: the tests' independent way to reach the solutions a
// start leads to.
#include <cmath>
#include <random>
#include <vector>

#include "core/fock/fock_builder.h"
#include "core/scf/density.h"
#include "core/scf/diis.h"
#include "core/scf/eigensolver.h"
#include "core/scf/fock_of_density.h"
#include "core/scf/initial_guess.h"
#include "core/scf/workspace.h"

namespace quorin::fixtures {

struct RoothaanSolution {
    double electronic_energy = std::nan("");  // eV; NaN when the loop did not settle
    Matrix density, coefficients;
    Vec64 orbital_energies;
};

inline RoothaanSolution roothaan_from(const MolecularBatch& m, const ParameterModel& model, const ScfWorkspace& ws,
                                      std::size_t n_occ, Matrix p) {
    const std::size_t n = m.n_basis;
    RoothaanSolution s{std::nan(""), Matrix::zeros(n, n), Matrix::zeros(n, n), Vec64::zeros(n)};
    Matrix f = Matrix::zeros(n, n), scratch = Matrix::zeros(n, n);
    DiisWorkspace diis = DiisWorkspace::allocate(n, 6);
    double previous = 0.0;
    for (int iter = 0; iter < 300; ++iter) {
        build_fock_nddo(m, model, ws.pairs, ws.hcore, p, f);
        const double energy = compute_electronic_energy(p, ws.hcore, f);
        const bool extrapolated = diis.push_and_extrapolate(f, p, scratch).extrapolated;
        diagonalize_symmetric(f, s.orbital_energies, s.coefficients);
        compute_density_matrix(s.coefficients, n_occ, s.density);
        double change = 0.0;
        for (std::size_t i = 0; i < n * n; ++i) change = std::max(change, std::fabs(s.density.data()[i] - p.data()[i]));
        if (iter > 0 && std::fabs(energy - previous) < 1e-10 && change < 1e-8) {
            s.electronic_energy = energy;
            return s;
        }
        for (std::size_t i = 0; i < n * n; ++i) {
            p.data()[i] = extrapolated ? s.density.data()[i] : 0.5 * (p.data()[i] + s.density.data()[i]);
        }
        previous = energy;
    }
    return s;
}

// The solution the engine's own start leads to: the occupied orbitals of the
// Fock matrix of neutral, unbonded atoms, then the plain loop.
inline RoothaanSolution roothaan_from_atomic_guess(const MolecularBatch& m, const ParameterModel& model,
                                                   const ScfWorkspace& ws, const FockOfDensity& fock,
                                                   std::size_t n_occ) {
    const std::size_t n = m.n_basis;
    Matrix p = Matrix::zeros(n, n), f = Matrix::zeros(n, n), orbitals = Matrix::zeros(n, n);
    Vec64 eps = Vec64::zeros(n);
    build_atomic_guess_density(m, model, p);
    fock.build(p, f);
    diagonalize_symmetric(f, eps, orbitals);
    build_guess_orbital_density(orbitals, eps, n_occ, p);
    return roothaan_from(m, model, ws, n_occ, std::move(p));
}

inline double electronic_energy_from(const MolecularBatch& m, const ParameterModel& model, const ScfWorkspace& ws,
                                     std::size_t n_occ, Matrix p) {
    return roothaan_from(m, model, ws, n_occ, std::move(p)).electronic_energy;
}

// Orbitals c with random rotations between occupied and virtual pairs mixed
// in, then occupied: a starting density far from the aufbau guess.
inline Matrix rotated_density(Matrix c, std::size_t n_occ, std::mt19937& rng) {
    const std::size_t n = c.rows();
    std::uniform_real_distribution<double> angle(-1.2, 1.2);
    std::uniform_int_distribution<std::size_t> occ(0, n_occ - 1), virt(n_occ, n - 1);
    for (int r = 0; r < 6; ++r) {
        const std::size_t i = occ(rng), a = virt(rng);
        const double t = angle(rng), cs = std::cos(t), sn = std::sin(t);
        for (std::size_t k = 0; k < n; ++k) {
            const double ci = c(k, i), ca = c(k, a);
            c(k, i) = cs * ci - sn * ca;
            c(k, a) = sn * ci + cs * ca;
        }
    }
    Matrix p = Matrix::zeros(n, n);
    compute_density_matrix(c, n_occ, p);
    return p;
}

// Orbitals of equal energy (within 1e-5 eV, occupied and virtual apart)
// turned among themselves by a random orthogonal matrix: another orientation
// of a degenerate set, as another geometry's orientation or another
// eigensolver gives it.
inline void turn_degenerate_orbitals(Matrix& c, const Vec64& eps, std::size_t n_occ, std::mt19937& rng) {
    const std::size_t n = c.rows();
    std::normal_distribution<double> normal;
    std::size_t first = 0;
    while (first < n) {
        std::size_t last = first + 1;
        while (last < n && last != n_occ && eps[last] - eps[last - 1] < 1e-5) ++last;
        const std::size_t g = last - first;
        if (g > 1) {
            std::vector<double> q(g * g);
            for (std::size_t k = 0; k < g; ++k) {  // Gram-Schmidt on Gaussian columns
                for (std::size_t l = 0; l < g; ++l) q[l * g + k] = normal(rng);
                for (std::size_t j = 0; j < k; ++j) {
                    double along = 0.0;
                    for (std::size_t l = 0; l < g; ++l) along += q[l * g + j] * q[l * g + k];
                    for (std::size_t l = 0; l < g; ++l) q[l * g + k] -= along * q[l * g + j];
                }
                double norm = 0.0;
                for (std::size_t l = 0; l < g; ++l) norm += q[l * g + k] * q[l * g + k];
                for (std::size_t l = 0; l < g; ++l) q[l * g + k] /= std::sqrt(norm);
            }
            std::vector<double> row(g);
            for (std::size_t p = 0; p < n; ++p) {
                for (std::size_t k = 0; k < g; ++k) {
                    double sum = 0.0;
                    for (std::size_t l = 0; l < g; ++l) sum += c(p, first + l) * q[l * g + k];
                    row[k] = sum;
                }
                for (std::size_t k = 0; k < g; ++k) c(p, first + k) = row[k];
            }
        }
        first = last;
    }
}

}  // namespace quorin::fixtures
