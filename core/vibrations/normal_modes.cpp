#include "core/vibrations/normal_modes.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <utility>
#include <vector>

#include "core/parameters/atomic_mass.h"
#include "core/scf/eigensolver.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

// Lever (angstrom per radian, the largest of any atom) below which a rotation
// about the molecule's own axis is no rigid motion: a fifth of the default
// Hessian step, so a finite-difference Hessian cannot tell it from a bend.
// The largest lever, not a mass-weighted mean, so that one heavy atom at the
// mass centre does not hide the levers of the light ones.
constexpr double kUnresolvedLeverAngstrom = 1e-3;
// A chain of atoms that turns by less than this at every atom is linear: an
// optimisation of a linear molecule to the default gradient tolerances stops
// up to about 1.3 degrees off (acetylene, cyanoacetylene and carbon dioxide
// from random starts, every method), while a molecule bent by 3 degrees or
// more at an atom is bent. At such a geometry the rotation about the long
// axis is no symmetry of the energy (the gradient does not vanish), and
// projecting it out would remove one component of a bend.
constexpr double kLinearTurnDegrees = 2.0;
// Atoms closer than this (angstrom) along the chain count as one point.
constexpr double kCoincidentAngstrom = 1e-6;

std::array<double, 3> position(const MolecularBatch& molecule, std::size_t a) {
    return {molecule.x[a], molecule.y[a], molecule.z[a]};
}

// Principal moments of inertia about the mass centre (ascending, amu
// angstrom^2), their axes in the columns of `axes`, and the mass centre.
struct Inertia {
    Vec64 moments = Vec64::zeros(3);
    Matrix axes = Matrix::zeros(3, 3);
    std::array<double, 3> centre{};
};

Inertia principal_inertia(const MolecularBatch& molecule, std::span<const double> masses) {
    Inertia out;
    Matrix tensor = Matrix::zeros(3, 3);
    out.centre = centre_of_mass(molecule, masses);
    add_inertia_tensor(molecule, masses, out.centre, tensor);
    diagonalize_symmetric(tensor, out.moments, out.axes);
    return out;
}

// Largest distance (angstrom) of an atom from the line through the mass
// centre along `axis` (unit): the longest lever of a rotation about it.
double largest_lever(const MolecularBatch& molecule, const std::array<double, 3>& centre,
                     const std::array<double, 3>& axis) {
    double largest2 = 0.0;
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const std::array<double, 3> d{molecule.x[a] - centre[0], molecule.y[a] - centre[1],
                                      molecule.z[a] - centre[2]};
        const double along = d[0] * axis[0] + d[1] * axis[1] + d[2] * axis[2];
        largest2 = std::max(largest2, d[0] * d[0] + d[1] * d[1] + d[2] * d[2] - along * along);
    }
    return std::sqrt(largest2);
}

// Fewer than three atoms; a rotation about the axis of the smallest moment
// with no lever as long as kUnresolvedLeverAngstrom; or the atoms, in their
// order along that axis, a chain that turns by less than kLinearTurnDegrees
// at every atom.
bool linear_geometry(const MolecularBatch& molecule, const Inertia& inertia) {
    const std::size_t n = molecule.n_atoms;
    if (n < 3) return true;
    const std::array<double, 3> axis{inertia.axes(0, 0), inertia.axes(1, 0), inertia.axes(2, 0)};
    if (largest_lever(molecule, inertia.centre, axis) < kUnresolvedLeverAngstrom) return true;
    auto along = [&](std::size_t a) {
        return axis[0] * molecule.x[a] + axis[1] * molecule.y[a] + axis[2] * molecule.z[a];
    };
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return along(a) < along(b); });
    const double cos_limit = std::cos(kLinearTurnDegrees * std::numbers::pi / 180.0);
    std::array<double, 3> last = position(molecule, order[0]), direction{};
    bool has_direction = false;
    for (std::size_t k = 1; k < n; ++k) {
        const auto r = position(molecule, order[k]);
        std::array<double, 3> step{r[0] - last[0], r[1] - last[1], r[2] - last[2]};
        const double length = std::sqrt(step[0] * step[0] + step[1] * step[1] + step[2] * step[2]);
        if (length < kCoincidentAngstrom) continue;
        for (double& c : step) c /= length;
        if (has_direction && step[0] * direction[0] + step[1] * direction[1] + step[2] * direction[2] < cos_limit) {
            return false;
        }
        direction = step;
        has_direction = true;
        last = r;
    }
    return true;
}

}  // namespace

std::array<double, 3> centre_of_mass(const MolecularBatch& molecule, std::span<const double> masses_amu) {
    std::array<double, 3> c{};
    double total = 0.0;
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        c[0] += masses_amu[a] * molecule.x[a];
        c[1] += masses_amu[a] * molecule.y[a];
        c[2] += masses_amu[a] * molecule.z[a];
        total += masses_amu[a];
    }
    for (double& v : c) v /= total;
    return c;
}

std::size_t external_motion_basis(const MolecularBatch& molecule, std::span<const double> masses, Matrix& basis) {
    const std::size_t n_atoms = molecule.n_atoms;
    const std::size_t dim = 3 * n_atoms;
    // Rotations about the principal axes; a linear molecule has none about
    // the axis of the smallest moment, its own.
    const Inertia inertia = principal_inertia(molecule, masses);
    const std::array<double, 3>& com = inertia.centre;
    const std::size_t first_axis = linear_geometry(molecule, inertia) ? 1 : 0;
    basis.fill(0.0);
    for (std::size_t a = 0; a < n_atoms; ++a) {
        const double s = std::sqrt(masses[a]);
        const auto r = position(molecule, a);
        const std::array<double, 3> d{r[0] - com[0], r[1] - com[1], r[2] - com[2]};
        for (std::size_t c = 0; c < 3; ++c) basis(c, 3 * a + c) = s;
        for (std::size_t k = first_axis; k < 3; ++k) {
            const std::array<double, 3> u{inertia.axes(0, k), inertia.axes(1, k), inertia.axes(2, k)};
            const std::array<double, 3> turn{u[1] * d[2] - u[2] * d[1], u[2] * d[0] - u[0] * d[2],
                                             u[0] * d[1] - u[1] * d[0]};
            for (std::size_t c = 0; c < 3; ++c) basis(3 + k - first_axis, 3 * a + c) = turn[c] * s;
        }
    }
    // Modified Gram-Schmidt; accepted vectors are packed into the leading rows.
    // A vector is dropped when what remains of it is a rounding residue of
    // its own length (rigid motions of masses from 1e-3 to 1e6 amu differ in
    // length by orders of magnitude).
    std::size_t count = 0;
    for (std::size_t k = 0; k < 6; ++k) {
        double* v = basis.row(k);
        const double length2 = std::inner_product(v, v + dim, v, 0.0);
        for (std::size_t m = 0; m < count; ++m) {
            const double* u = basis.row(m);
            const double dot = std::inner_product(v, v + dim, u, 0.0);
            for (std::size_t i = 0; i < dim; ++i) v[i] -= dot * u[i];
        }
        const double norm2 = std::inner_product(v, v + dim, v, 0.0);
        if (norm2 > 1e-10 * length2 && norm2 > 0.0) {
            const double inv = 1.0 / std::sqrt(norm2);
            double* target = basis.row(count);
            for (std::size_t i = 0; i < dim; ++i) target[i] = v[i] * inv;
            ++count;
        }
    }
    for (std::size_t k = count; k < 6; ++k) std::fill(basis.row(k), basis.row(k) + dim, 0.0);
    return count;
}

void project_external_motions(const Matrix& basis, std::size_t count, double curvature, Matrix& scratch,
                              Matrix& hessian) {
    // With A = E H and C = E H E^T = A E^T, the change is E^T B + B^T E for
    // B = -A + C E / 2 + curvature E / 2 (C is symmetric).
    const std::size_t dim = hessian.rows();
    const Matrix& e = basis;
    Matrix& b = scratch;
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t j = 0; j < dim; ++j) {
            double sum = 0.0;
            for (std::size_t i = 0; i < dim; ++i) sum += e(k, i) * hessian(i, j);
            b(k, j) = sum;
        }
    }
    double c[6][6] = {};
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t l = 0; l < count; ++l) {
            for (std::size_t j = 0; j < dim; ++j) c[k][l] += b(k, j) * e(l, j);
        }
    }
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t j = 0; j < dim; ++j) {
            double ce = 0.0;
            for (std::size_t l = 0; l < count; ++l) ce += c[k][l] * e(l, j);
            b(k, j) = -b(k, j) + 0.5 * ce + 0.5 * curvature * e(k, j);
        }
    }
    for (std::size_t i = 0; i < dim; ++i) {
        double* row = hessian.row(i);
        for (std::size_t j = 0; j < dim; ++j) {
            double delta = 0.0;
            for (std::size_t k = 0; k < count; ++k) delta += e(k, i) * b(k, j) + b(k, i) * e(k, j);
            row[j] += delta;
        }
    }
}

std::size_t count_imaginary_frequencies(std::span<const double> frequencies_cm1) {
    return static_cast<std::size_t>(std::count_if(frequencies_cm1.begin(), frequencies_cm1.end(),
                                                  [](double nu) { return nu < kImaginaryFrequencyCm1; }));
}

bool is_linear_molecule(const MolecularBatch& molecule, std::span<const double> masses) {
    if (molecule.n_atoms < 3) return true;
    return linear_geometry(molecule, principal_inertia(molecule, masses));
}

NormalModeAnalysis analyze_normal_modes(const MolecularBatch& molecule, const Matrix& cartesian_hessian,
                                        std::span<const double> masses_amu, bool project_external) {
    const std::size_t n_atoms = molecule.n_atoms;
    const std::size_t dim = 3 * n_atoms;
    if (n_atoms == 0) throw EngineStop("MolecularBatch must contain at least 1 atom");
    if (masses_amu.size() != n_atoms) stop_assert_eq("Normal modes need one mass per atom", masses_amu.size(), n_atoms);
    if (cartesian_hessian.rows() != dim || cartesian_hessian.cols() != dim) {
        stop_assert_eq("Cartesian Hessian must be 3N x 3N", cartesian_hessian.rows(), dim);
    }
    for (double m : masses_amu) {
        if (!(m > 0.0) || !std::isfinite(m)) throw EngineStop("Atomic masses must be positive finite numbers");
    }

    NormalModeAnalysis out;
    out.mass_weighted_hessian = Matrix::zeros(dim, dim);
    for (std::size_t r = 0; r < dim; ++r) {
        const double m_row = masses_amu[r / 3];
        for (std::size_t j = 0; j < dim; ++j) {
            out.mass_weighted_hessian(r, j) = cartesian_hessian(r, j) * (1.0 / std::sqrt(masses_amu[j / 3] * m_row));
        }
    }

    Matrix d = out.mass_weighted_hessian;
    std::size_t n_external = 3;
    if (n_atoms > 1) {
        Matrix basis = Matrix::zeros(6, dim);
        n_external = external_motion_basis(molecule, masses_amu, basis);
        if (project_external) {
            Matrix scratch = Matrix::zeros(6, dim);
            project_external_motions(basis, n_external, 0.0, scratch, d);
            // P M P is symmetric in exact arithmetic; remove the rounding asymmetry.
            symmetrize_by_averaging(d);
        }
    }

    Vec64 eigenvalues = Vec64::zeros(dim);
    Matrix eigenvectors = Matrix::zeros(dim, dim);
    diagonalize_symmetric(d, eigenvalues, eigenvectors);

    out.all_frequencies_cm1.resize(dim);
    for (std::size_t k = 0; k < dim; ++k) {
        const double nu = kHessianEigenvalueToWavenumber * std::sqrt(std::fabs(eigenvalues[k]));
        out.all_frequencies_cm1[k] = eigenvalues[k] < 0.0 ? -nu : nu;
    }

    std::vector<std::size_t> by_magnitude(dim);
    std::iota(by_magnitude.begin(), by_magnitude.end(), std::size_t{0});
    std::stable_sort(by_magnitude.begin(), by_magnitude.end(), [&](std::size_t a, std::size_t b) {
        return std::fabs(eigenvalues[a]) < std::fabs(eigenvalues[b]);
    });
    std::vector<bool> external(dim, false);
    for (std::size_t i = 0; i < std::min(n_external, dim); ++i) external[by_magnitude[i]] = true;
    for (std::size_t k = 0; k < dim; ++k) {
        if (!external[k]) out.vibrational_frequencies_cm1.push_back(out.all_frequencies_cm1[k]);
    }

    out.normal_modes.resize(dim);
    for (std::size_t k = 0; k < dim; ++k) {
        NormalMode& mode = out.normal_modes[k];
        mode.frequency_cm1 = out.all_frequencies_cm1[k];
        mode.displacements.resize(n_atoms);
        double norm2 = 0.0;
        for (std::size_t a = 0; a < n_atoms; ++a) {
            const double inv_sqrt_m = 1.0 / std::sqrt(masses_amu[a]);
            for (std::size_t c = 0; c < 3; ++c) {
                const double v = eigenvectors(3 * a + c, k) * inv_sqrt_m;
                mode.displacements[a][c] = v;
                norm2 += v * v;
            }
        }
        const double norm = std::sqrt(norm2);
        if (norm > 1e-12) {
            for (auto& disp : mode.displacements) {
                for (double& v : disp) v /= norm;
            }
            mode.reduced_mass_amu = 1.0 / (norm * norm);
        } else {
            mode.reduced_mass_amu = 1.0;
        }
        const double ratio = std::fabs(mode.frequency_cm1) / kWavenumberPerSqrtMdyneAngstrom;
        mode.force_constant_mdyne_a = ratio * ratio * mode.reduced_mass_amu;
    }
    return out;
}

}  // namespace quorin
