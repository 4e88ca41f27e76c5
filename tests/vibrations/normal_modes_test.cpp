#include "core/vibrations/normal_modes.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

namespace quorin {
namespace {

// Harmonic frequency (cm^-1) of force constant k (kcal/(mol angstrom^2)) and
// mass mu (amu), nu = sqrt(k / mu) / (2 pi c), from SI constants.
double wavenumber(double k, double mu) {
    const double k_si = k * 4184.0 / 6.02214076e23 * 1e20;  // J/m^2
    return std::sqrt(k_si / (mu * 1.66053906660e-27)) / (2.0 * M_PI * 2.99792458e10);
}
// 1 mdyn/angstrom = 100 N/m in kcal/(mol angstrom^2).
constexpr double kMdyneAngstromInKcal = 100.0 * 1e-20 * 6.02214076e23 / 4184.0;

using Coords = std::vector<std::array<double, 3>>;

MolecularBatch batch(const Coords& xyz) {
    return MolecularBatch::new_by_atomic_number(std::vector<std::uint8_t>(xyz.size(), 1), xyz);
}

struct Spring {
    std::size_t a, b;
    double k;
};

// Hessian of sum 1/2 k (|r_a - r_b| - r_ab)^2 at the given geometry (all
// springs at rest): blocks +-k u u^T along each bond direction u.
Matrix spring_hessian(const Coords& xyz, const std::vector<Spring>& springs) {
    const std::size_t dim = 3 * xyz.size();
    Matrix h = Matrix::zeros(dim, dim);
    for (const Spring& s : springs) {
        std::array<double, 3> u{};
        double len = 0.0;
        for (int c = 0; c < 3; ++c) {
            u[c] = xyz[s.b][c] - xyz[s.a][c];
            len += u[c] * u[c];
        }
        for (double& v : u) v /= std::sqrt(len);
        for (int c = 0; c < 3; ++c) {
            for (int d = 0; d < 3; ++d) {
                const double v = s.k * u[c] * u[d];
                h(3 * s.a + c, 3 * s.a + d) += v;
                h(3 * s.b + c, 3 * s.b + d) += v;
                h(3 * s.a + c, 3 * s.b + d) -= v;
                h(3 * s.b + c, 3 * s.a + d) -= v;
            }
        }
    }
    return h;
}

// Displacement-weighted quadratic form d^T H d over per-atom triples.
double quadratic_form(const Matrix& h, const std::vector<std::array<double, 3>>& d) {
    double s = 0.0;
    for (std::size_t i = 0; i < h.rows(); ++i) {
        for (std::size_t j = 0; j < h.cols(); ++j) s += d[i / 3][i % 3] * h(i, j) * d[j / 3][j % 3];
    }
    return s;
}

TEST(NormalModes, SpringModelsGiveAnalyticFrequencies) {
    // Diatomic: one stretch at sqrt(k / mu).
    {
        const Coords xyz{{0.1, 0.2, 0.3}, {0.1, 0.2, 1.43}};
        const std::vector<double> m{12.011, 15.9994};
        const double k = 1100.0;
        const Matrix h = spring_hessian(xyz, {{0, 1, k}});
        const NormalModeAnalysis r = analyze_normal_modes(batch(xyz), h, m, true);
        ASSERT_EQ(r.vibrational_frequencies_cm1.size(), 1u);
        const double mu = m[0] * m[1] / (m[0] + m[1]);
        EXPECT_NEAR(r.vibrational_frequencies_cm1[0], wavenumber(k, mu), 1e-6 * wavenumber(k, mu));
        const NormalMode& stretch = r.normal_modes.back();
        // Force constant along the unit Cartesian displacement, converted independently.
        EXPECT_NEAR(stretch.force_constant_mdyne_a * kMdyneAngstromInKcal, quadratic_form(h, stretch.displacements),
                    1e-5 * quadratic_form(h, stretch.displacements));
        EXPECT_NEAR(std::fabs(stretch.displacements[0][2]), m[1] / std::hypot(m[0], m[1]), 1e-9);
    }
    // Linear O-C-O with stretch springs only: symmetric sqrt(k/m_O),
    // antisymmetric sqrt(k (1/m_O + 2/m_C)); the two bends have no restoring force.
    {
        const Coords xyz{{0, 0, -1.16}, {0, 0, 0}, {0, 0, 1.16}};
        const std::vector<double> m{15.9994, 12.011, 15.9994};
        const double k = 1600.0;
        const NormalModeAnalysis r =
            analyze_normal_modes(batch(xyz), spring_hessian(xyz, {{0, 1, k}, {1, 2, k}}), m, true);
        ASSERT_EQ(r.vibrational_frequencies_cm1.size(), 4u);
        const double symmetric = wavenumber(k, m[0]);
        const double antisymmetric = wavenumber(k * (1.0 / m[0] + 2.0 / m[1]), 1.0);
        EXPECT_NEAR(r.vibrational_frequencies_cm1[0], 0.0, 1e-3);
        EXPECT_NEAR(r.vibrational_frequencies_cm1[1], 0.0, 1e-3);
        EXPECT_NEAR(r.vibrational_frequencies_cm1[2], symmetric, 1e-6 * symmetric);
        EXPECT_NEAR(r.vibrational_frequencies_cm1[3], antisymmetric, 1e-6 * antisymmetric);
    }
    // A negative force constant: one imaginary mode, first in the list, with a
    // positive force constant.
    {
        const Coords xyz{{0, 0, 0}, {0.9, 0.0, 0.0}};
        const std::vector<double> m{1.0079, 1.0079};
        const NormalModeAnalysis r = analyze_normal_modes(batch(xyz), spring_hessian(xyz, {{0, 1, -300.0}}), m, true);
        EXPECT_NEAR(r.all_frequencies_cm1[0], -wavenumber(300.0, 0.5 * m[0]), 1e-3);
        EXPECT_EQ(r.normal_modes[0].frequency_cm1, r.all_frequencies_cm1[0]);
        EXPECT_GT(r.normal_modes[0].force_constant_mdyne_a, 0.0);
        ASSERT_EQ(r.vibrational_frequencies_cm1.size(), 1u);
        EXPECT_LT(r.vibrational_frequencies_cm1[0], 0.0);
    }
}

TEST(NormalModes, ProjectionRemovesRigidBodyMotionOnly) {
    // Pyramidal NH3-like frame, rigid with its six springs.
    const Coords xyz{{0.05, -0.02, 0.12}, {0.95, 0.0, -0.25}, {-0.47, 0.82, -0.25}, {-0.48, -0.83, -0.26}};
    const std::vector<double> m{14.0067, 1.0079, 1.0079, 1.0079};
    const std::size_t dim = 12;
    const Matrix clean =
        spring_hessian(xyz, {{0, 1, 900.0}, {0, 2, 950.0}, {0, 3, 1000.0}, {1, 2, 60.0}, {1, 3, 70.0}, {2, 3, 80.0}});

    // Contaminate with every rigid motion, built in mass-weighted coordinates
    // (sqrt(m) times the motion) and carried back to Cartesian ones (times
    // sqrt(m) again).
    Matrix dirty = clean;
    std::array<double, 3> com{};
    double total = 0.0;
    for (std::size_t a = 0; a < 4; ++a) {
        for (int c = 0; c < 3; ++c) com[c] += m[a] * xyz[a][c];
        total += m[a];
    }
    for (double& v : com) v /= total;
    const std::array<double, 6> weight{0.002, 0.003, 0.001, 0.05, 0.02, 0.04};
    for (std::size_t motion = 0; motion < 6; ++motion) {
        std::vector<double> v(dim, 0.0);
        for (std::size_t a = 0; a < 4; ++a) {
            const std::array<double, 3> r{xyz[a][0] - com[0], xyz[a][1] - com[1], xyz[a][2] - com[2]};
            std::array<double, 3> axis{};
            axis[motion % 3] = 1.0;
            const std::array<double, 3> move =
                motion < 3 ? axis
                           : std::array<double, 3>{axis[1] * r[2] - axis[2] * r[1], axis[2] * r[0] - axis[0] * r[2],
                                                   axis[0] * r[1] - axis[1] * r[0]};
            for (int c = 0; c < 3; ++c) v[3 * a + c] = m[a] * move[c];
        }
        for (std::size_t i = 0; i < dim; ++i) {
            for (std::size_t j = 0; j < dim; ++j) dirty(i, j) += weight[motion] * v[i] * v[j];
        }
    }

    const NormalModeAnalysis reference = analyze_normal_modes(batch(xyz), clean, m, false);
    const NormalModeAnalysis projected = analyze_normal_modes(batch(xyz), dirty, m, true);
    const NormalModeAnalysis unprojected = analyze_normal_modes(batch(xyz), dirty, m, false);
    ASSERT_EQ(projected.vibrational_frequencies_cm1.size(), 6u);
    for (std::size_t k = 0; k < 6; ++k) {
        const double nu = reference.vibrational_frequencies_cm1[k];
        EXPECT_NEAR(projected.vibrational_frequencies_cm1[k], nu, 1e-6 * nu);
        // The contamination sits below the vibrations, so it is removed as external either way.
        EXPECT_NEAR(unprojected.vibrational_frequencies_cm1[k], nu, 1e-6 * nu);
    }
    double largest_external = 0.0, largest_unprojected = 0.0;
    for (std::size_t k = 0; k < 6; ++k) {
        largest_external = std::max(largest_external, std::fabs(projected.all_frequencies_cm1[k]));
        largest_unprojected = std::max(largest_unprojected, std::fabs(unprojected.all_frequencies_cm1[k]));
    }
    EXPECT_LT(largest_external, 1e-3);
    EXPECT_GT(largest_unprojected, 1.0);

    // Normal modes are orthogonal in the mass metric: sum_a m_a d_k(a) . d_l(a) = 0.
    for (std::size_t k = 6; k < dim; ++k) {
        for (std::size_t l = 6; l < k; ++l) {
            double s = 0.0;
            for (std::size_t a = 0; a < 4; ++a) {
                for (int c = 0; c < 3; ++c) {
                    s += m[a] * projected.normal_modes[k].displacements[a][c] * projected.normal_modes[l].displacements[a][c];
                }
            }
            EXPECT_NEAR(s, 0.0, 1e-9);
        }
    }
}

// One rule for the analysis' external-mode count and the linearity test:
// no atom farther than 1e-3 angstrom from the axis of smallest moment, or a
// chain that turns by less than 2 degrees at every atom. Levers by hand:
// three unit masses at x = 0, 1, 2 with the last one y off the line lie at
// most y/3 from the best line (0.33e-3 for y = 1e-3); O=C=O (16, 12, 16)
// with the carbon 3e-4 angstrom off axis, about 2.2e-4 (the carbon). Unit
// bonds turning by 1 degree (what a default optimisation of a linear
// molecule leaves) have levers of about 6e-3. Bent water keeps its three
// rotations whatever the masses in the accepted 1e-3 to 1e6 amu: one heavy
// atom at the mass centre shortens no lever of the others.
TEST(NormalModes, OneLinearityRuleForTheTestAndTheRigidMotions) {
    struct Case {
        const char* name;
        Coords xyz;
        std::vector<double> masses;
        bool linear;
    };
    const std::vector<double> unit3{1, 1, 1};
    const std::vector<Case> cases{
        {"two atoms", {{0, 0, 0}, {0.3, 0.4, 0.5}}, {1, 1}, true},
        {"collinear chain", {{0, 0, 0}, {0, 0, 1.2}, {0, 0, -1.2}, {0, 0, 3.0}}, {1, 1, 1, 1}, true},
        {"first two coincident", {{1, 1, 1}, {1, 1, 1 + 5e-7}, {3, 0, 0}}, unit3, true},
        {"1e-3 angstrom off the line", {{0, 0, 0}, {1, 0, 0}, {2, 1e-3, 0}}, unit3, true},
        {"turned by 1 degree at the middle atom", {{0, 0, 0}, {1, 0, 0}, {1.99985, 0.017452, 0}}, unit3, true},
        {"turned by 3 degrees at the middle atom", {{0, 0, 0}, {1, 0, 0}, {1.99863, 0.052336, 0}}, unit3, false},
        {"acetylene 1 degree off linear at one carbon",
         {{0, 0, -0.6}, {0, 0, 0.6}, {0, 0.0185, 1.66}, {0, 0, -1.66}}, {12.011, 12.011, 1.0079, 1.0079}, true},
        {"carbon dioxide", {{0, 0, -1.16}, {0, 0, 0}, {0, 0, 1.16}}, {15.9994, 12.011, 15.9994}, true},
        {"carbon dioxide, carbon 3e-4 angstrom off axis", {{0, 0, -1.16}, {3e-4, 0, 0}, {0, 0, 1.16}},
         {15.9994, 12.011, 15.9994}, true},
        {"bent", {{0, 0, 0}, {0.96, 0, 0}, {-0.24, 0.93, 0}}, {15.9994, 1.0079, 1.0079}, false},
        {"bent, heavy oxygen", {{0, 0, 0}, {0.96, 0, 0}, {-0.24, 0.93, 0}}, {1e6, 1, 1}, false},
        {"bent, heavy hydrogen", {{0, 0, 0}, {0.96, 0, 0}, {-0.24, 0.93, 0}}, {1e-3, 1e6, 1e-3}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MolecularBatch m = batch(c.xyz);
        EXPECT_EQ(is_linear_molecule(m, c.masses), c.linear);
        Matrix basis = Matrix::zeros(6, 3 * c.xyz.size());
        EXPECT_EQ(external_motion_basis(m, c.masses, basis), c.linear ? 5u : 6u);
        const std::size_t vibrations =
            analyze_normal_modes(m, Matrix::zeros(3 * c.xyz.size(), 3 * c.xyz.size()), c.masses, true)
                .vibrational_frequencies_cm1.size();
        EXPECT_EQ(vibrations, 3 * c.xyz.size() - (c.linear ? 5 : 6));
    }
}

}  // namespace
}  // namespace quorin
