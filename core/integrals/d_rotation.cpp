#include "core/integrals/d_rotation.h"

#include <cmath>

#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

using Vec3 = std::array<double, 3>;
using Form = std::array<std::array<double, 3>, 3>;

constexpr double kProductCutoff = 1e-15;

Form outer_sum(const Vec3& a, const Vec3& b, double ca, const Vec3& c, const Vec3& d, double cb) {
    Form f{};
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) f[i][j] = ca * a[i] * b[j] + cb * c[i] * d[j];
    }
    return f;
}

// Normalised symmetric traceless forms of the five real d functions built
// on the axes (u, v, w), in the order d(x2-y2), d(xz), d(z2), d(yz), d(xy).
std::array<Form, 5> d_forms(const Vec3& u, const Vec3& v, const Vec3& w) {
    const double h = 1.0 / std::sqrt(2.0);
    const double t = 1.0 / std::sqrt(6.0);
    std::array<Form, 5> forms{};
    forms[0] = outer_sum(u, u, h, v, v, -h);
    forms[1] = outer_sum(u, w, h, w, u, h);
    const Form uu_vv = outer_sum(u, u, t, v, v, t);
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) forms[2][i][j] = 2.0 * t * w[i] * w[j] - uu_vv[i][j];
    }
    forms[3] = outer_sum(v, w, h, w, v, h);
    forms[4] = outer_sum(u, v, h, v, u, h);
    return forms;
}

double frobenius(const Form& a, const Form& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) s += a[i][j] * b[i][j];
    }
    return s;
}

double product_or_zero(double x, double y) {
    const double p = x * y;
    return std::abs(p) < kProductCutoff ? 0.0 : p;
}

}  // namespace

std::array<std::array<double, 5>, 5> d_rotation_block(const std::array<double, 3>& x_local,
                                                      const std::array<double, 3>& y_local,
                                                      const std::array<double, 3>& z_local) {
    const auto molecular = d_forms({1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0});
    const auto local_std = d_forms(x_local, y_local, z_local);
    // Local order sigma, pi, pi', delta, delta' = z'^2, x'z', y'z', x'^2-y'^2, x'y'.
    const std::array<const Form*, 5> local{&local_std[2], &local_std[1], &local_std[3], &local_std[0],
                                           &local_std[4]};
    std::array<std::array<double, 5>, 5> block{};
    for (std::size_t a = 0; a < 5; ++a) {
        for (std::size_t mu = 0; mu < 5; ++mu) block[a][mu] = frobenius(*local[a], molecular[mu]);
    }
    return block;
}

std::size_t spd_pair_count(std::size_t n_orbitals) {
    if (n_orbitals < 1 || n_orbitals > 9) {
        throw EngineStop("Orbital count of a d-orbital pair must lie between 1 and 9");
    }
    return n_orbitals * (n_orbitals + 1) / 2;
}

PairFrame pair_frame(double dx, double dy, double dz, double r) {
    PairFrame f;
    const double r_xy = std::sqrt(dx * dx + dy * dy);
    f.sin_theta = r > 0.0 ? r_xy / r : 0.0;
    if (f.sin_theta > 1e-7) {
        f.cos_phi = dx / r_xy;
        f.sin_phi = dy / r_xy;
        f.cos_theta = dz / r;
    } else {
        // Pair axis along z: the azimuth is undefined, take phi = 0 or pi.
        f.sin_phi = 0.0;
        f.cos_theta = dz > 0.0 ? 1.0 : (dz < 0.0 ? -1.0 : 0.0);
        f.cos_phi = f.cos_theta;
    }
    f.axes[0] = {f.sin_theta * f.cos_phi, f.sin_theta * f.sin_phi, f.cos_theta};
    f.axes[1] = {f.cos_theta * f.cos_phi, f.cos_theta * f.sin_phi, -f.sin_theta};
    f.axes[2] = {-f.sin_phi, f.cos_phi, 0.0};
    return f;
}

DOrbitalRotation3D DOrbitalRotation3D::from_direction(double dx, double dy, double dz, double r) {
    DOrbitalRotation3D rot;
    const PairFrame frame = pair_frame(dx, dy, dz, r);
    rot.cos_theta = frame.cos_theta;
    rot.sin_theta = frame.sin_theta;
    rot.cos_phi = frame.cos_phi;
    rot.sin_phi = frame.sin_phi;
    rot.distance_bohr = r / kBohrToAngstrom;

    const Vec3& z_local = frame.axes[0];
    const Vec3& x_local = frame.axes[1];
    const Vec3& y_local = frame.axes[2];

    rot.orbital[0][0] = 1.0;
    const std::array<Vec3, 3> p_local{z_local, x_local, y_local};
    for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t mu = 0; mu < 3; ++mu) rot.orbital[1 + a][1 + mu] = p_local[a][mu];
    }

    const auto d_block = d_rotation_block(x_local, y_local, z_local);
    for (std::size_t a = 0; a < 5; ++a) {
        for (std::size_t mu = 0; mu < 5; ++mu) rot.orbital[4 + a][4 + mu] = d_block[a][mu];
    }

    for (std::size_t a = 0; a < 9; ++a) {
        for (std::size_t b = 0; b <= a; ++b) {
            const std::size_t row = spd_pair_index(a, b) * kSpdPairCount;
            for (std::size_t mu = 0; mu < 9; ++mu) {
                for (std::size_t nu = 0; nu <= mu; ++nu) {
                    double t = product_or_zero(rot.orbital[a][mu], rot.orbital[b][nu]);
                    if (a != b) t += product_or_zero(rot.orbital[b][mu], rot.orbital[a][nu]);
                    rot.pair[row + spd_pair_index(mu, nu)] = t;
                }
            }
        }
    }
    return rot;
}

void tx(std::size_t n_a, std::size_t n_b, std::span<const double, kSpdBlockSize> local,
        std::span<std::uint8_t, kSpdBlockSize> mask, std::span<double, kSpdBlockSize> half,
        const DOrbitalRotation3D& rotation) {
    const std::size_t pairs_a = spd_pair_count(n_a);
    const std::size_t pairs_b = spd_pair_count(n_b);
    for (std::size_t pa = 0; pa < pairs_a; ++pa) {
        double* out = &half[pa * kSpdPairCount];
        std::uint8_t* out_mask = &mask[pa * kSpdPairCount];
        for (std::size_t pb = 0; pb < kSpdPairCount; ++pb) {
            out[pb] = 0.0;
            out_mask[pb] = 0;
        }
        for (std::size_t q = 0; q < pairs_b; ++q) {
            const double value = local[pa * kSpdPairCount + q];
            if (value == 0.0) continue;
            const double* coefficients = &rotation.pair[q * kSpdPairCount];
            for (std::size_t pb = 0; pb < pairs_b; ++pb) {
                if (coefficients[pb] == 0.0) continue;
                out[pb] += value * coefficients[pb];
                out_mask[pb] = 1;
            }
        }
    }
}

void rotatd_step2(std::size_t n_a, std::size_t n_b, std::span<const double, kSpdBlockSize> half,
                  std::span<const std::uint8_t, kSpdBlockSize> mask, const DOrbitalRotation3D& rotation,
                  std::span<double, kSpdBlockSize> w) {
    const std::size_t pairs_a = spd_pair_count(n_a);
    const std::size_t pairs_b = spd_pair_count(n_b);
    for (std::size_t i = 0; i < pairs_a * pairs_b; ++i) w[i] = 0.0;
    for (std::size_t pa = 0; pa < pairs_a; ++pa) {
        const double* coefficients = &rotation.pair[pa * kSpdPairCount];
        const double* source = &half[pa * kSpdPairCount];
        const std::uint8_t* source_mask = &mask[pa * kSpdPairCount];
        for (std::size_t big_a = 0; big_a < pairs_a; ++big_a) {
            const double c = coefficients[big_a];
            if (c == 0.0) continue;
            double* out = &w[big_a * pairs_b];
            for (std::size_t pb = 0; pb < pairs_b; ++pb) {
                if (source_mask[pb]) out[pb] += c * source[pb];
            }
        }
    }
}

}  // namespace quorin
