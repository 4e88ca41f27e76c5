#include "core/reactions/docking.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/engine_stop.h"
#include "common/geometry.h"
#include "core/scf/eigensolver.h"

namespace quorin {
namespace {

using fixtures::Geometry;
using fixtures::Rotation;
using Rows = std::vector<std::array<double, 3>>;

double distance(const Rows& a, const Rows& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (int c = 0; c < 3; ++c) sum += (a[i][c] - b[i][c]) * (a[i][c] - b[i][c]);
    }
    return std::sqrt(sum);
}

std::array<double, 3> centroid(const Rows& rows) {
    std::array<double, 3> c{};
    for (const auto& r : rows) {
        for (int k = 0; k < 3; ++k) c[k] += r[k] / double(rows.size());
    }
    return c;
}

Rows centred(Rows rows) {
    const auto c = centroid(rows);
    for (auto& r : rows) {
        for (int k = 0; k < 3; ++k) r[k] -= c[k];
    }
    return rows;
}

double det3(const double m[3][3]) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// Independent reference: the best proper rotation from the singular value
// decomposition of the 3 x 3 correlation matrix (H = A^T B, H^T H = V S^2 V^T,
// U = H V / S), with the last singular direction flipped when det < 0.
double svd_superposition_distance(const Rows& target, const Rows& mobile) {
    const Rows a = centred(target), b = centred(mobile);
    Matrix hth = Matrix::zeros(3, 3);
    double h[3][3] = {};
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (int p = 0; p < 3; ++p) {
            for (int q = 0; q < 3; ++q) h[p][q] += a[i][p] * b[i][q];
        }
    }
    for (int p = 0; p < 3; ++p) {
        for (int q = 0; q < 3; ++q) {
            for (int k = 0; k < 3; ++k) hth(p, q) += h[k][p] * h[k][q];
        }
    }
    Vec64 s2 = Vec64::zeros(3);
    Matrix v = Matrix::zeros(3, 3);
    diagonalize_symmetric(hth, s2, v);
    double u[3][3], vm[3][3];
    for (int j = 0; j < 3; ++j) {
        const double sigma = std::sqrt(s2[j]);
        for (int p = 0; p < 3; ++p) {
            vm[p][j] = v(p, j);
            u[p][j] = (h[p][0] * v(0, j) + h[p][1] * v(1, j) + h[p][2] * v(2, j)) / sigma;
        }
    }
    // R = U D V^T maps the mobile onto the target; D flips the smallest
    // singular direction (column 0, ascending) when U V^T is a reflection.
    const double sign = det3(u) * det3(vm) < 0.0 ? -1.0 : 1.0;
    double r[3][3] = {};
    for (int p = 0; p < 3; ++p) {
        for (int q = 0; q < 3; ++q) {
            for (int j = 0; j < 3; ++j) r[p][q] += u[p][j] * (j == 0 ? sign : 1.0) * vm[q][j];
        }
    }
    Rows moved(b.size());
    for (std::size_t i = 0; i < b.size(); ++i) {
        for (int p = 0; p < 3; ++p) moved[i][p] = r[p][0] * b[i][0] + r[p][1] * b[i][1] + r[p][2] * b[i][2];
    }
    return distance(a, moved);
}

Rotation random_rotation(std::mt19937& rng) {
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> angle(0.0, 2.0 * M_PI);
    return fixtures::rotation_matrix({normal(rng), normal(rng), normal(rng)}, angle(rng));
}

TEST(Docking, RigidCopiesDockExactlyOntoTheTarget) {
    const Geometry aspirin = fixtures::ladder_molecule("aspirin");
    std::mt19937 rng(5);
    const Geometry copy = fixtures::moved(aspirin, random_rotation(rng), {3.0, -7.5, 1.25});
    const auto [docked, d] = dock(aspirin.xyz, copy.xyz);
    EXPECT_LE(d, 1e-8);
    EXPECT_LE(distance(docked, aspirin.xyz), 1e-8);

    // Degenerate sizes.
    EXPECT_EQ(dock(Rows{}, Rows{}).second, 0.0);
    const auto [one, d_one] = dock(Rows{{1.0, 2.0, 3.0}}, Rows{{-4.0, 0.5, 9.0}});
    EXPECT_EQ(d_one, 0.0);
    EXPECT_EQ(one[0], (std::array<double, 3>{1.0, 2.0, 3.0}));
    EXPECT_EQ(fixtures::stop_message([] { dock(Rows(3), Rows(4)); }),
              "Target and mobile coordinate sets must have equal atom count (left: 4, right: 3)");
}

TEST(Docking, PerturbedCopiesGetTheBestProperRotation) {
    const Geometry aspirin = fixtures::ladder_molecule("aspirin");
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> jitter(-0.2, 0.2);
    Geometry perturbed = fixtures::moved(aspirin, random_rotation(rng), {-2.0, 0.5, 4.0});
    for (auto& r : perturbed.xyz) {
        for (double& c : r) c += jitter(rng);
    }
    const auto [docked, d] = dock(aspirin.xyz, perturbed.xyz);
    EXPECT_NEAR(d, distance(docked, aspirin.xyz), 1e-12);
    EXPECT_NEAR(d, svd_superposition_distance(aspirin.xyz, perturbed.xyz), 1e-8);
    const auto target_centre = centroid(aspirin.xyz), docked_centre = centroid(docked);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(docked_centre[k], target_centre[k], 1e-12);

    // No random rotation about the centroids does better.
    const Rows a = centred(aspirin.xyz), b = centred(perturbed.xyz);
    double best_random = 1e300;
    for (int draw = 0; draw < 10000; ++draw) {
        const Rotation r = random_rotation(rng);
        Rows turned(b.size());
        for (std::size_t i = 0; i < b.size(); ++i) turned[i] = fixtures::rotate(r, b[i]);
        best_random = std::min(best_random, distance(a, turned));
    }
    EXPECT_LE(d, best_random);

    // Proper rotation: the docked set keeps the mobile set's handedness (the
    // sign of the triple product of three centred rows), and a mirror image
    // of this non-planar (hence chiral) conformer stays clearly apart.
    auto triple = [](const Rows& rows) {
        const Rows c = centred(rows);
        const double m[3][3] = {{c[0][0], c[0][1], c[0][2]}, {c[3][0], c[3][1], c[3][2]}, {c[12][0], c[12][1], c[12][2]}};
        return det3(m);
    };
    EXPECT_NEAR(triple(docked), triple(perturbed.xyz), 1e-9);
    Rows mirror = aspirin.xyz;
    for (auto& r : mirror) r[0] = -r[0];
    EXPECT_GT(dock(aspirin.xyz, mirror).second, 0.5);
}

}  // namespace
}  // namespace quorin
