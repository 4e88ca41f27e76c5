#include "core/reactions/docking.h"

#include <cmath>

#include "core/scf/eigensolver.h"
#include "core/types/aligned.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

std::array<double, 3> centroid(std::span<const std::array<double, 3>> rows) {
    std::array<double, 3> sum{0.0, 0.0, 0.0};
    for (const auto& r : rows) {
        for (int c = 0; c < 3; ++c) sum[c] += r[c];
    }
    const double inverse = 1.0 / static_cast<double>(rows.size());
    for (double& s : sum) s *= inverse;
    return sum;
}

}  // namespace

std::pair<std::vector<std::array<double, 3>>, double> dock(std::span<const std::array<double, 3>> target,
                                                           std::span<const std::array<double, 3>> mobile) {
    if (mobile.size() != target.size()) {
        stop_assert_eq("Target and mobile coordinate sets must have equal atom count", mobile.size(), target.size());
    }
    const std::size_t n = target.size();
    if (n == 0) return {{}, 0.0};
    const std::array<double, 3> ct = centroid(target), cm = centroid(mobile);

    // s[p][q] = sum_i a_ip b_iq, a the centred target rows, b the centred mobile rows.
    double s[3][3] = {};
    for (std::size_t i = 0; i < n; ++i) {
        for (int p = 0; p < 3; ++p) {
            const double a = target[i][p] - ct[p];
            for (int q = 0; q < 3; ++q) s[p][q] += a * (mobile[i][q] - cm[q]);
        }
    }
    const double xx = s[0][0], xy = s[0][1], xz = s[0][2];
    const double yx = s[1][0], yy = s[1][1], yz = s[1][2];
    const double zx = s[2][0], zy = s[2][1], zz = s[2][2];
    const double rows[4][4] = {
        {xx + yy + zz, zy - yz, xz - zx, yx - xy},
        {zy - yz, xx - yy - zz, xy + yx, zx + xz},
        {xz - zx, xy + yx, yy - xx - zz, zy + yz},
        {yx - xy, zx + xz, zy + yz, zz - xx - yy},
    };
    Matrix quaternion_matrix = Matrix::zeros(4, 4);
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < 4; ++j) quaternion_matrix(i, j) = rows[i][j];
    }
    Vec64 eigenvalues = Vec64::zeros(4);
    Matrix eigenvectors = Matrix::zeros(4, 4);
    diagonalize_symmetric(quaternion_matrix, eigenvalues, eigenvectors);
    // The largest eigenvalue's unit vector is the optimal rotation quaternion.
    const double q0 = eigenvectors(0, 3), q1 = eigenvectors(1, 3), q2 = eigenvectors(2, 3), q3 = eigenvectors(3, 3);
    const double r[3][3] = {
        {q0 * q0 + q1 * q1 - q2 * q2 - q3 * q3, 2.0 * (q1 * q2 - q0 * q3), 2.0 * (q1 * q3 + q0 * q2)},
        {2.0 * (q1 * q2 + q0 * q3), q0 * q0 - q1 * q1 + q2 * q2 - q3 * q3, 2.0 * (q2 * q3 - q0 * q1)},
        {2.0 * (q1 * q3 - q0 * q2), 2.0 * (q2 * q3 + q0 * q1), q0 * q0 - q1 * q1 - q2 * q2 + q3 * q3},
    };

    std::vector<std::array<double, 3>> docked(n);
    double sum2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double b[3] = {mobile[i][0] - cm[0], mobile[i][1] - cm[1], mobile[i][2] - cm[2]};
        for (int p = 0; p < 3; ++p) {
            docked[i][p] = r[p][0] * b[0] + r[p][1] * b[1] + r[p][2] * b[2] + ct[p];
            const double diff = target[i][p] - docked[i][p];
            sum2 += diff * diff;
        }
    }
    return {std::move(docked), std::sqrt(sum2)};
}

}  // namespace quorin
