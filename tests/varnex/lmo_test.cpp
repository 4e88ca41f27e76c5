#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <variant>
#include <vector>

#include "common/geometry.h"
#include "common/molecules.h"
#include "core/varnex/hybrid.h"
#include "core/varnex/lewis.h"
#include "core/varnex/locmin.h"
#include "core/varnex/orthogonalize.h"
#include "core/varnex/solver.h"

namespace quorin {
namespace {

using fixtures::Geometry;

const Am1Model kAm1;

InitialLmos initial_lmos(const MolecularBatch& mol) {
    auto outcome = construct_initial_lmos(mol, construct_lewis_structure(mol));
    EXPECT_TRUE(std::holds_alternative<InitialLmos>(outcome));
    return std::get<InitialLmos>(std::move(outcome));
}

// Columns of the dense n x m coefficient matrix of a list of orbitals.
std::vector<std::vector<double>> dense(const std::vector<Lmo>& lmos, std::size_t n) {
    std::vector<std::vector<double>> out(lmos.size(), std::vector<double>(n, 0.0));
    for (std::size_t a = 0; a < lmos.size(); ++a) {
        for (std::size_t k = 0; k < lmos[a].ao_indices.size(); ++k) out[a][lmos[a].ao_indices[k]] = lmos[a].coefficients[k];
    }
    return out;
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) s += a[k] * b[k];
    return s;
}

double worst_orthonormality(const std::vector<std::vector<double>>& c) {
    double worst = 0.0;
    for (std::size_t a = 0; a < c.size(); ++a)
        for (std::size_t b = 0; b < c.size(); ++b) worst = std::max(worst, std::abs(dot(c[a], c[b]) - (a == b)));
    return worst;
}

TEST(InitialLmos, KindsCountsAndAnOrthonormalBasis) {
    struct Case {
        const char* name;
        Geometry g;
        std::size_t sigma, pi, lone_pairs;
    };
    const std::vector<Case> cases = {
        {"methane", fixtures::methane(), 4, 0, 0},
        {"water", fixtures::water(), 2, 0, 2},
        {"formaldehyde", fixtures::formaldehyde(), 3, 1, 2},
        // Six ring bonds of order 2 but one pi hybrid per carbon: three pi bonds.
        {"benzene", fixtures::ladder_molecule("benzene"), 12, 3, 0},
        {"decane", fixtures::ladder_molecule("decane"), 31, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MolecularBatch mol = fixtures::make_molecule(c.g, kAm1);
        const InitialLmos lmos = initial_lmos(mol);
        std::size_t counts[8] = {};
        for (const Lmo& l : lmos.occupied) {
            EXPECT_TRUE(l.occupied);
            ++counts[static_cast<int>(l.lmo_type)];
        }
        EXPECT_EQ(counts[0], c.sigma);
        EXPECT_EQ(counts[2], c.pi);
        EXPECT_EQ(counts[4], c.lone_pairs);
        // Bonding and antibonding orbitals of a bond take consecutive indices;
        // all indices together are 0 .. total - 1.
        EXPECT_EQ(lmos.occupied[0].index, 0u);
        EXPECT_EQ(lmos.virtuals[0].index, 1u);
        std::vector<Lmo> all = lmos.occupied;
        all.insert(all.end(), lmos.virtuals.begin(), lmos.virtuals.end());
        std::vector<bool> seen(all.size(), false);
        for (const Lmo& l : all) {
            ASSERT_LT(l.index, all.size());
            seen[l.index] = true;
        }
        EXPECT_EQ(std::count(seen.begin(), seen.end(), false), 0);
        // Orthonormal and, with every hydrogen bonded, spanning the basis.
        EXPECT_EQ(all.size(), mol.n_basis);
        EXPECT_LT(worst_orthonormality(dense(all, mol.n_basis)), 1e-10);
    }
}

TEST(LmoSolver, OrthogonalisationIsTheSymmetricInverseSquareRoot) {
    // Reference S^-1/2 by the Denman-Beavers square-root iteration, which
    // shares nothing with an eigen-decomposition or a series.
    const std::size_t n = 7;
    const auto make = [&](double spread) {
        std::vector<Lmo> lmos(4);
        for (std::size_t a = 0; a < lmos.size(); ++a) {
            for (std::size_t k = 0; k < n; ++k) {
                if ((k + a) % 3 == 0 && k != a) continue;  // sparse, unsorted-free lists
                lmos[a].ao_indices.push_back(k);
                lmos[a].coefficients.push_back((k == a ? 1.0 : 0.0) + spread * std::sin(1.3 * k + 0.7 * a));
            }
        }
        return lmos;
    };
    for (const double spread : {0.3, 2e-8}) {  // eigen-decomposition, then the near-identity series
        SCOPED_TRACE(spread);
        std::vector<Lmo> lmos = make(spread);
        const auto before = dense(lmos, n);
        const std::size_t m = before.size();
        std::vector<std::vector<double>> y(m, std::vector<double>(m)), z(m, std::vector<double>(m, 0.0));
        for (std::size_t i = 0; i < m; ++i) {
            z[i][i] = 1.0;
            for (std::size_t j = 0; j < m; ++j) y[i][j] = dot(before[i], before[j]);
        }
        const auto inverse = [&](std::vector<std::vector<double>> a) {  // Gauss-Jordan
            std::vector<std::vector<double>> inv(m, std::vector<double>(m, 0.0));
            for (std::size_t i = 0; i < m; ++i) inv[i][i] = 1.0;
            for (std::size_t c = 0; c < m; ++c) {
                const double p = a[c][c];
                for (std::size_t k = 0; k < m; ++k) a[c][k] /= p, inv[c][k] /= p;
                for (std::size_t r = 0; r < m; ++r) {
                    if (r == c) continue;
                    const double f = a[r][c];
                    for (std::size_t k = 0; k < m; ++k) a[r][k] -= f * a[c][k], inv[r][k] -= f * inv[c][k];
                }
            }
            return inv;
        };
        for (int it = 0; it < 40; ++it) {  // Y -> S^1/2, Z -> S^-1/2
            const auto yi = inverse(y), zi = inverse(z);
            for (std::size_t i = 0; i < m; ++i)
                for (std::size_t j = 0; j < m; ++j) y[i][j] = 0.5 * (y[i][j] + zi[i][j]), z[i][j] = 0.5 * (z[i][j] + yi[i][j]);
        }
        orthogonalize_occupied_lmos(n, lmos);
        const auto after = dense(lmos, n);
        EXPECT_LT(worst_orthonormality(after), 1e-10);
        for (std::size_t a = 0; a < m; ++a) {
            EXPECT_TRUE(std::is_sorted(lmos[a].ao_indices.begin(), lmos[a].ao_indices.end()));
            for (std::size_t k = 0; k < n; ++k) {
                double expected = 0.0;
                for (std::size_t b = 0; b < m; ++b) expected += z[b][a] * before[b][k];
                EXPECT_NEAR(after[a][k], expected, 1e-12);
            }
        }
    }
    // Density of one normalised orbital (0.6, 0.8): 2 c c^T.
    Lmo one;
    one.ao_indices = {0, 1};
    one.coefficients = {0.6, 0.8};
    Matrix p = Matrix::zeros(3, 3);
    p(2, 2) = 5.0;
    construct_density_from_lmos({one}, p);
    EXPECT_NEAR(p(0, 0), 0.72, 1e-15);
    EXPECT_NEAR(p(0, 1), 0.96, 1e-15);
    EXPECT_NEAR(p(1, 0), 0.96, 1e-15);
    EXPECT_NEAR(p(1, 1), 1.28, 1e-15);
    EXPECT_EQ(p(2, 2), 0.0);
    // An unsorted list spanning a run of indices is read entry by entry.
    one.ao_indices = {0, 2, 1, 3};
    one.coefficients = {0.6, 0.8, 0.0, 0.0};
    Matrix q = Matrix::zeros(4, 4);
    construct_density_from_lmos({one}, q);
    EXPECT_NEAR(q(2, 2), 1.28, 1e-15);
    EXPECT_EQ(q(1, 1), 0.0);
}

TEST(JacobiLocalisation, RotationRemovesTheCouplingAndSweepsFollowThePairwiseDefinition) {
    // A 2 x 2 problem: after the rotation the two orbitals no longer couple.
    const Geometry ethylene{{6, 6, 1, 1, 1, 1},
                            {{{0, 0, 0.665}, {0, 0, -0.665}, {0.92, 0, 1.23}, {-0.92, 0, 1.23}, {0.92, 0, -1.23},
                              {-0.92, 0, -1.23}}}};
    const MolecularBatch mol = fixtures::make_molecule(ethylene, kAm1);
    Matrix fock = Matrix::zeros(mol.n_basis, mol.n_basis);
    for (std::size_t i = 0; i < mol.n_basis; ++i)
        for (std::size_t j = 0; j <= i; ++j) fock(i, j) = fock(j, i) = (i == j ? -8.0 + i : 0.0) + std::cos(1.0 + i * j);
    InitialLmos lmos = initial_lmos(mol);
    {
        Lmo o = lmos.occupied[0], v = lmos.virtuals[3];
        const FockElements f = evaluate_fock_elements(o, v, fock);
        ASSERT_LT(f.f_aa - f.f_bb, -0.05);
        rotate_lmo_pair(o, v, f.f_aa, f.f_bb, f.f_ab, 1.0);
        EXPECT_NEAR(evaluate_fock_elements(o, v, fock).f_ab, 0.0, 1e-12);
        // Union of the two AO lists, ascending.
        EXPECT_TRUE(std::is_sorted(o.ao_indices.begin(), o.ao_indices.end()));
        EXPECT_EQ(o.ao_indices, v.ao_indices);
    }
    // A sweep equals rotating pair by pair in list order with the elements
    // evaluated directly, for pairs whose centroids lie within the cutoff or
    // that share an atom.
    const auto centroid = [&](const Lmo& l) {
        std::array<double, 3> c{};
        for (auto atom : l.atom_indices) c[0] += mol.x[atom], c[1] += mol.y[atom], c[2] += mol.z[atom];
        for (double& x : c) x /= static_cast<double>(l.atom_indices.size());
        return c;
    };
    VarnexConfig config;
    config.cutoff_distance = 1.0;
    config.damping = 0.8;
    InitialLmos direct = lmos;
    std::size_t rotations = 0;
    double largest = 0.0;
    for (Lmo& o : direct.occupied) {
        for (Lmo& v : direct.virtuals) {
            const auto co = centroid(o), cv = centroid(v);
            bool shared = false;
            for (auto a : o.atom_indices)
                for (auto b : v.atom_indices) shared = shared || a == b;
            if (!shared && std::hypot(co[0] - cv[0], co[1] - cv[1], co[2] - cv[2]) > config.cutoff_distance) continue;
            const FockElements f = evaluate_fock_elements(o, v, fock);
            if (std::abs(f.f_ab) > config.jacobi_tol) {
                rotate_lmo_pair(o, v, f.f_aa, f.f_bb, f.f_ab, config.damping);
                ++rotations;
            }
            largest = std::max(largest, std::abs(f.f_ab));
        }
    }
    const auto [count, coupling] = execute_jacobi_sweep(mol, lmos.occupied, lmos.virtuals, fock, config);
    EXPECT_GT(rotations, 0u);
    EXPECT_EQ(count, rotations);
    EXPECT_NEAR(coupling, largest, 1e-12);
    for (std::size_t k = 0; k < lmos.occupied.size(); ++k) {
        ASSERT_EQ(lmos.occupied[k].ao_indices, direct.occupied[k].ao_indices);
        for (std::size_t e = 0; e < lmos.occupied[k].coefficients.size(); ++e)
            EXPECT_NEAR(lmos.occupied[k].coefficients[e], direct.occupied[k].coefficients[e], 1e-12);
    }
    for (std::size_t k = 0; k < lmos.virtuals.size(); ++k) {
        for (std::size_t e = 0; e < lmos.virtuals[k].coefficients.size(); ++e)
            EXPECT_NEAR(lmos.virtuals[k].coefficients[e], direct.virtuals[k].coefficients[e], 1e-12);
    }
}

}  // namespace
}  // namespace quorin
