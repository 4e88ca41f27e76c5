#include "core/vibrations/lowest_mode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "common/frequencies.h"
#include "common/geometry.h"
#include "core/parameters/atomic_mass.h"
#include "core/scf/eigensolver.h"
#include "core/vibrations/hessian.h"
#include "core/vibrations/model_hessian.h"
#include "core/vibrations/normal_modes.h"

namespace quorin {
namespace {

const Pm6Model kPm6;

using fixtures::Geometry;

std::vector<double> table_masses(const Geometry& g) {
    std::vector<double> masses;
    for (std::uint8_t z : g.z) masses.push_back(atomic_mass(z));
    return masses;
}

// Every term of the model is a function of distances and angles, so no
// rigid motion changes it: the model times each translation and rotation
// vanishes, which holds only where the bend and torsion derivatives are
// right (a wrong torsion term alone would leave 1e-3 of the largest entry;
// the bends of nearly linear triples, across the ring in benzene, are taken
// across their line and leave 1e-7). It curves up along every other motion:
// 3N - 6 positive eigenvalues (3N - 5 for a linear chain), planar
// out-of-plane motions included.
TEST(ModelHessian, BlindToRigidMotionsAndCurvedAlongAllOthers) {
    struct Case {
        const char* name;
        Geometry geometry;
        std::size_t rigid;
    };
    const std::vector<Case> cases{
        {"bent water", {{8, 1, 1}, {{0, 0, 0}, {0.96, 0, 0}, {-0.24, 0.93, 0}}}, 6},
        {"benzene, planar", fixtures::ladder_molecule("benzene"), 6},
        {"butane, eclipsed", fixtures::ladder_molecule("reactions/butane_syn_ts"), 6},
        {"acetylene, linear bends", {{1, 6, 6, 1}, {{0, 0, -1.66}, {0, 0, -0.6}, {0, 0, 0.6}, {0, 0, 1.66}}}, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MolecularBatch m = fixtures::make_molecule(c.geometry, kPm6);
        const std::size_t dim = 3 * m.n_atoms;
        const Matrix h = model_cartesian_hessian(m);
        double largest = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            for (std::size_t j = 0; j < dim; ++j) {
                EXPECT_NEAR(h(i, j), h(j, i), 1e-9 * std::fabs(h(i, j)));
                largest = std::max(largest, std::fabs(h(i, j)));
            }
        }
        // Infinitesimal rigid motions, unweighted: e_c, and axis x r.
        for (std::size_t k = 0; k < 6; ++k) {
            std::vector<double> v(dim);
            for (std::size_t a = 0; a < m.n_atoms; ++a) {
                const std::array<double, 3> r{m.x[a], m.y[a], m.z[a]};
                for (std::size_t c3 = 0; c3 < 3; ++c3) {
                    const std::size_t axis = k % 3, next = (axis + 1) % 3, last = (axis + 2) % 3;
                    if (k < 3) v[3 * a + c3] = c3 == axis ? 1.0 : 0.0;
                    else v[3 * a + c3] = c3 == next ? -r[last] : c3 == last ? r[next] : 0.0;
                }
            }
            for (std::size_t i = 0; i < dim; ++i) {
                double hv = 0.0;
                for (std::size_t j = 0; j < dim; ++j) hv += h(i, j) * v[j];
                EXPECT_NEAR(hv, 0.0, 1e-5 * largest) << "rigid motion " << k << ", row " << i;
            }
        }
        Vec64 values = Vec64::zeros(dim);
        Matrix vectors = Matrix::zeros(dim, dim);
        diagonalize_symmetric(h, values, vectors);
        const auto curved = std::count_if(values.begin(), values.end(), [&](double x) { return x > 1e-6 * largest; });
        EXPECT_EQ(static_cast<std::size_t>(curved), dim - c.rigid);
        EXPECT_GT(values[0], -1e-9 * largest);
    }
}

// The search against the central-difference Hessian (6N gradients): the
// same lowest frequency to 0.5 cm^-1 (the two difference steps differ), the
// same verdict, the same mode at a saddle point, for fewer gradients. A
// minimum (benzene), the butane syn-eclipsed and planar-ammonia saddle
// points.
TEST(LowestMode, AgreesWithTheCentralDifferenceHessianForFewerGradients) {
    struct Case {
        const char* name;
        Geometry geometry;
        EigenvalueVerdict verdict;
    };
    const std::vector<Case> cases{
        {"benzene", fixtures::ladder_molecule("benzene"), EigenvalueVerdict::above},
        {"butane syn", fixtures::ladder_molecule("reactions/butane_syn_ts"), EigenvalueVerdict::below},
        {"planar ammonia", {{7, 1, 1, 1}, {{0, 0, 0}, {1.0, 0, 0}, {-0.5, 0.866, 0}, {-0.5, -0.866, 0}}},
         EigenvalueVerdict::below},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MolecularBatch m = fixtures::make_molecule(c.geometry, kPm6);
        ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
        GradientWorkspace gradient = GradientWorkspace::allocate(m.n_basis);
        ScfOptions options = fixtures::frequency_scf_options();
        const HessianResult exact =
            compute_hessian_and_frequencies(m, kPm6, scf, options, fixtures::frequency_options());
        ASSERT_TRUE(run_rhf_scf_with_options(m, kPm6, scf, options).converged);
        const std::vector<double> masses = table_masses(c.geometry);
        const std::vector<std::array<double, 3>> before = coordinate_triples(m);
        const LowestMode search = find_lowest_vibration(m, kPm6, scf, gradient, options, masses, {});
        EXPECT_EQ(coordinate_triples(m), before);
        EXPECT_EQ(search.verdict, c.verdict);
        EXPECT_NEAR(search.frequency_cm1, exact.vibrational_frequencies_cm1.front(), 0.5);
        EXPECT_LT(search.gradients, 6 * m.n_atoms);
        if (c.verdict != EigenvalueVerdict::below) continue;
        // The imaginary mode, mass-weighted and normalised, against the search's.
        double overlap = 0.0, norm2 = 0.0;
        for (std::size_t a = 0; a < m.n_atoms; ++a) {
            for (std::size_t k = 0; k < 3; ++k) {
                const double u = exact.normal_modes.front().displacements[a][k] * std::sqrt(masses[a]);
                overlap += u * search.mode[3 * a + k];
                norm2 += u * u;
            }
        }
        EXPECT_GT(std::fabs(overlap) / std::sqrt(norm2), 0.999);
    }
}

}  // namespace
}  // namespace quorin
