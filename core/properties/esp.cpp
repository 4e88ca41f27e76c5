#include "core/properties/esp.h"

#include <algorithm>
#include <cmath>

#include <cblas.h>

#include "core/integrals/multipole_params.h"
#include "core/properties/dipole.h"
#include "core/scf/blas.h"
#include "core/types/constants.h"
#include "core/types/interruption.h"

namespace quorin {

namespace {

constexpr double kGoldenAngle = 2.399963229728653;  // radians
constexpr double kPivotFloor = 1e-14;
// Points per block of the normal-matrix accumulation.
constexpr std::size_t kBlock = 64;

using Point = std::array<double, 3>;

// Fibonacci points on the unit sphere with y as the polar axis.
std::vector<Point> unit_sphere(std::uint64_t count) {
    std::vector<Point> points;
    points.reserve(count);
    const double spacing = count > 1 ? static_cast<double>(count - 1) : 1.0;
    for (std::uint64_t k = 0; k < count; ++k) {
        const double theta = kGoldenAngle * static_cast<double>(k);
        const double y = 1.0 - 2.0 * static_cast<double>(k) / spacing;
        const double rho = std::sqrt(std::max(0.0, 1.0 - y * y));
        points.push_back({rho * std::cos(theta), y, rho * std::sin(theta)});
    }
    return points;
}

}  // namespace

std::vector<Point> esp_grid_points(const MolecularBatch& molecule, const EspOptions& options) {
    std::vector<Point> grid;
    if (options.scale_factors.empty() || options.points_per_shell == 0) return grid;
    std::vector<double> radii(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) radii[a] = esp_vdw_radius(molecule.atomic_numbers[a]);
    const std::vector<Point> sphere = unit_sphere(options.points_per_shell);
    const std::size_t n = molecule.n_atoms;
    // Room for every point at once: growing by doubling would hold up to
    // three times the final grid while it copies.
    grid.reserve(n * options.scale_factors.size() * sphere.size());
    for (std::size_t i = 0; i < n; ++i) {
        check_interruption();
        for (const double scale : options.scale_factors) {
            const double radius = scale * radii[i];
            for (const Point& u : sphere) {
                const Point p{molecule.x[i] + radius * u[0], molecule.y[i] + radius * u[1],
                              molecule.z[i] + radius * u[2]};
                bool inside = false;
                for (std::size_t j = 0; j < n && !inside; ++j) {
                    if (j == i) continue;
                    const double dx = p[0] - molecule.x[j], dy = p[1] - molecule.y[j], dz = p[2] - molecule.z[j];
                    inside = dx * dx + dy * dy + dz * dz < radii[j] * radii[j];
                }
                if (!inside) grid.push_back(p);
            }
        }
    }
    return grid;
}

namespace {

// Solves M t = b (m x m, row-major, both overwritten) by Gaussian elimination
// with partial pivoting. False when a pivot falls below the floor.
bool solve_pivoted(std::vector<double>& m_rows, std::vector<double>& b, std::size_t m, std::vector<double>& t) {
    auto at = [&](std::size_t r, std::size_t c) -> double& { return m_rows[r * m + c]; };
    for (std::size_t c = 0; c < m; ++c) {
        std::size_t pivot = c;
        double largest = std::abs(at(c, c));
        for (std::size_t r = c + 1; r < m; ++r) {
            if (std::abs(at(r, c)) > largest) {
                largest = std::abs(at(r, c));
                pivot = r;
            }
        }
        if (largest < kPivotFloor) return false;
        if (pivot != c) {
            for (std::size_t k = 0; k < m; ++k) std::swap(at(c, k), at(pivot, k));
            std::swap(b[c], b[pivot]);
        }
        for (std::size_t r = c + 1; r < m; ++r) {
            const double f = at(r, c) / at(c, c);
            for (std::size_t k = c; k < m; ++k) at(r, k) -= f * at(c, k);
            b[r] -= f * b[c];
        }
    }
    t.assign(m, 0.0);
    for (std::size_t i = m; i-- > 0;) {
        double sum = b[i];
        for (std::size_t k = i + 1; k < m; ++k) sum -= at(i, k) * t[k];
        t[i] = sum / at(i, i);
    }
    return true;
}

}  // namespace

double esp_vdw_radius(std::uint8_t z) {
    switch (z) {
        case 1: return 1.2;
        case 2: return 1.4;
        case 3: return 1.82;
        case 4: return 1.53;
        case 5: return 1.92;
        case 6: return 1.7;
        case 7: return 1.55;
        case 8: return 1.52;
        case 9: return 1.47;
        case 10: return 1.54;
        case 11: return 2.27;
        case 12: return 1.73;
        case 13: return 1.84;
        case 14: return 2.1;
        case 17: return 1.75;
        case 18: return 1.88;
        case 19: return 2.75;
        case 20: return 2.31;
        case 26: return 2.05;
        case 28: return 1.63;
        case 29: return 1.4;
        case 30: return 1.39;
        case 35: return 1.85;
        case 53: return 1.98;
        default: return 1.8;
    }
}

std::variant<EspResult, std::string> compute_esp_charges(const MolecularBatch& molecule,
                                                         const ParameterModel& model, const Matrix& density,
                                                         const EspOptions& options) {
    const std::size_t n = molecule.n_atoms;
    if (n == 0) return std::string("Cannot compute ESP charges for empty molecular batch");

    const std::vector<Point> grid = esp_grid_points(molecule, options);
    if (grid.size() < n) {
        return "Insufficient grid points (" + std::to_string(grid.size()) + ") for " + std::to_string(n) +
               " atoms in ESP fitting";
    }

    // Net charge and hybrid (s-p, p-d) dipole (bohr * e) of every atom from the density.
    std::vector<double> net_charge(n);
    std::vector<std::array<double, 3>> sp_dipole(n, {0.0, 0.0, 0.0});
    for (std::size_t a = 0; a < n; ++a) {
        const auto element = model.get_element(molecule.atomic_numbers[a]);
        if (!element) {
            return "Unsupported element Z=" + std::to_string(molecule.atomic_numbers[a]) +
                   " in ESP parameter model";
        }
        net_charge[a] = element->core_charge - diagonal_population(molecule, density, a);
        const OnAtomDipoleIntegrals integrals = on_atom_dipole_integrals(*element, molecule.orbitals_per_atom[a]);
        const std::size_t f = molecule.first_orbital[a];
        for (std::size_t k = 0; k < integrals.count; ++k) {
            const OnAtomDipoleIntegral& e = integrals.entries[k];
            sp_dipole[a][e.axis] += 2.0 * e.value * density(f + e.i, f + e.j);
        }
    }

    // Reference potential (hartree/e) at every point, and the normal
    // equations of the fit summed over blocks of points: the block's inverse
    // distances (atoms x points) update the normal matrix by a symmetric
    // rank update.
    const std::size_t points = grid.size();
    const std::size_t m = n + 1;
    std::vector<double> potential(points);
    std::vector<double> normal(m * m, 0.0);
    std::vector<double> rhs(m, 0.0);
    std::vector<double> block(n * kBlock);
    select_blas_threads(0);  // the small rank updates below run on the calling thread
    for (std::size_t start = 0; start < points; start += kBlock) {
        check_interruption();
        const std::size_t count = std::min(kBlock, points - start);
        for (std::size_t k = 0; k < count; ++k) {
            const Point& p = grid[start + k];
            double v = 0.0;
            for (std::size_t a = 0; a < n; ++a) {
                const double dx = (p[0] - molecule.x[a]) * kAngstromToBohr;
                const double dy = (p[1] - molecule.y[a]) * kAngstromToBohr;
                const double dz = (p[2] - molecule.z[a]) * kAngstromToBohr;
                const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
                const double inv_r = 1.0 / r;
                const auto& mu = sp_dipole[a];
                v += net_charge[a] * inv_r - (mu[0] * dx + mu[1] * dy + mu[2] * dz) * inv_r * inv_r * inv_r;
                block[a * kBlock + k] = inv_r;
            }
            potential[start + k] = v;
        }
        // Rank-`count` update of the upper triangle and the right-hand side.
        scipy_cblas_dsyrk(CblasRowMajor, CblasUpper, CblasNoTrans, static_cast<blasint>(n),
                          static_cast<blasint>(count), 1.0, block.data(), static_cast<blasint>(kBlock), 1.0,
                          normal.data(), static_cast<blasint>(m));
        scipy_cblas_dgemv(CblasRowMajor, CblasNoTrans, static_cast<blasint>(n), static_cast<blasint>(count), 1.0,
                          block.data(), static_cast<blasint>(kBlock), potential.data() + start, 1, 1.0, rhs.data(), 1);
    }
    // Symmetric lower half and the Lagrange row and column of the constraint.
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < i; ++j) normal[i * m + j] = normal[j * m + i];
        normal[i * m + n] = 1.0;
        normal[n * m + i] = 1.0;
    }
    rhs[n] = options.total_charge;

    // The residual sum of squares as a quadratic form in the charges,
    // sum V^2 - 2 t.b + t.M.t, from the normal equations before elimination.
    const std::vector<double> normal_copy(normal.begin(), normal.begin() + static_cast<std::ptrdiff_t>(n * m));
    const std::vector<double> rhs_copy(rhs.begin(), rhs.begin() + static_cast<std::ptrdiff_t>(n));
    std::vector<double> t;
    if (!solve_pivoted(normal, rhs, m, t)) return std::string("Singular or ill-conditioned matrix in ESP charge regression");

    EspResult result;
    result.charges.assign(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(n));
    double squared = 0.0;
    for (const double v : potential) squared += v * v;
    for (std::size_t i = 0; i < n; ++i) {
        double mt = 0.0;
        for (std::size_t j = 0; j < n; ++j) mt += normal_copy[i * m + j] * t[j];
        squared += t[i] * (mt - 2.0 * rhs_copy[i]);
    }
    result.rms_error = kHartreeToEv * std::sqrt(std::max(0.0, squared) / static_cast<double>(points));
    result.dipole = point_charge_dipole_debye(molecule, result.charges, {0.0, 0.0, 0.0});
    result.dipole_magnitude = dipole_magnitude(result.dipole);
    result.num_grid_points = points;
    return result;
}

}  // namespace quorin
