#include "core/ci/root_gradient.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/ci/active_densities.h"
#include "core/ci/active_integrals.h"
#include "core/ci/meci.h"
#include "core/fock/one_center.h"
#include "core/gradients/nuclear_gradients.h"
#include "core/integrals/pair_integrals.h"
#include "core/scf/blas.h"
#include "core/scf/fock_of_density.h"
#include "core/scf/stability.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

// Residual of the orbital response relative to its right-hand side.
constexpr double kResponseTolerance = 1e-10;
constexpr std::size_t kMaxResponseIterations = 200;
// Smallest occupied-virtual gap (eV) the response's preconditioner divides by.
constexpr double kMinPreconditionerGapEv = 1e-2;

std::size_t index4(std::size_t n, std::size_t p, std::size_t q, std::size_t r, std::size_t s) {
    return ((p * n + q) * n + r) * n + s;
}

Matrix transposed(const Matrix& a) {
    Matrix t = Matrix::zeros(a.cols(), a.rows());
    for (std::size_t i = 0; i < a.rows(); ++i) {
        for (std::size_t j = 0; j < a.cols(); ++j) t(j, i) = a(i, j);
    }
    return t;
}

// c m c^T with both triangles set from their mean, so that the pair-local
// gradient takes the result as exactly symmetric.
Matrix to_atomic_orbitals(const Matrix& c, const Matrix& c_t, const Matrix& m) {
    Matrix half = Matrix::zeros(c.rows(), m.cols()), out = Matrix::zeros(c.rows(), c.rows());
    multiply(c, m, half);
    multiply(half, c_t, out);
    for (std::size_t i = 0; i < out.rows(); ++i) {
        for (std::size_t j = 0; j < i; ++j) out(i, j) = out(j, i) = 0.5 * (out(i, j) + out(j, i));
    }
    return out;
}

// Derivative of the root's CI energy with respect to each window orbital's
// coefficients, in the MO basis: x(t, p) = dE_CI / dkappa_tp for the rotation
// that adds kappa_tp MO t to window orbital p, the Fock matrix held fixed.
// With canonical MOs, x(t, p) = 2 e_t g_tp [t in window] + 4 sum G_pqrs (tq|rs),
// and (tq|rs) is a contraction of the pair potentials of (rs).
Matrix window_orbital_gradient(const MolecularBatch& molecule, const Matrix& coefficients, const Matrix& c_t,
                               std::span<const double> orbital_energies, const ActiveWindow& window,
                               const ActiveDensities& densities, std::span<const double> weights,
                               const ActivePairFields& fields) {
    const std::size_t n = window.indices.size(), nb = molecule.n_basis, pairs = n_pairs(n), width = fields.width();
    // k[(p, q)][site] = sum over r, s of G_pqrs potential^(rs)[site]
    Matrix g = Matrix::zeros(n * n, pairs), potential = Matrix::zeros(pairs, width), k = Matrix::zeros(n * n, width);
    for (std::size_t p = 0; p < n; ++p) {
        for (std::size_t q = 0; q < n; ++q) {
            for (std::size_t r = 0; r < n; ++r) {
                for (std::size_t s = 0; s <= r; ++s) {
                    g(p * n + q, r * (r + 1) / 2 + s) = (r == s ? 1.0 : 2.0) * weights[index4(n, p, q, r, s)];
                }
            }
        }
    }
    for (std::size_t i = 0; i < pairs * width; ++i) potential.data()[i] = fields.potential[i];
    multiply(g, potential, k);
    // b(mu, p) = sum over q and nu on mu's atom of k[(p, q)][mu nu] c(nu, q)
    Matrix b = Matrix::zeros(nb, n);
    for (std::size_t atom = 0; atom < molecule.n_atoms; ++atom) {
        const std::size_t f = molecule.first_orbital[atom], norb = molecule.orbitals_per_atom[atom];
        for (std::size_t mu = 0; mu < norb; ++mu) {
            for (std::size_t p = 0; p < n; ++p) {
                double sum = 0.0;
                for (std::size_t q = 0; q < n; ++q) {
                    const double* kpq = k.row(p * n + q) + fields.offset[atom];
                    for (std::size_t nu = 0; nu < norb; ++nu) {
                        sum += kpq[packed_pair_index(mu, nu)] * coefficients(f + nu, window.indices[q]);
                    }
                }
                b(f + mu, p) = sum;
            }
        }
    }
    Matrix x = Matrix::zeros(nb, n);
    multiply(c_t, b, x);
    for (std::size_t i = 0; i < x.data().size(); ++i) x.data()[i] *= 4.0;
    for (std::size_t t = 0; t < n; ++t) {
        for (std::size_t p = 0; p < n; ++p) {
            x(window.indices[t], p) += 2.0 * orbital_energies[window.indices[t]] * densities.one(t, p);
        }
    }
    return x;
}

// Solves (A + B) z = rhs, the SCF's orbital Hessian over the
// occupied-virtual pairs (z_ia at i n_virt + a: the change of the Fock
// matrix's element ai per unit rotation ai), by conjugate gradients
// preconditioned with the orbital energy gaps. The Hessian is positive
// definite at a stable SCF.
std::vector<double> solve_orbital_response(const Matrix& coefficients, const Vec64& energies, std::size_t n_occupied,
                                           const FockOfDensity& fock, const std::vector<double>& rhs) {
    const std::size_t size = rhs.size(), n_virtual = coefficients.rows() - n_occupied;
    const auto dot = [size](const std::vector<double>& a, const std::vector<double>& b) {
        double sum = 0.0;
        for (std::size_t k = 0; k < size; ++k) sum += a[k] * b[k];
        return sum;
    };
    StabilityWorkspace ws = StabilityWorkspace::allocate(coefficients.rows());
    std::vector<double> z(size, 0.0), r = rhs, s(size), d(size), ad(size), inverse_gap(size);
    for (std::size_t i = 0; i < n_occupied; ++i) {
        for (std::size_t a = 0; a < n_virtual; ++a) {
            const double gap = energies[n_occupied + a] - energies[i];
            inverse_gap[i * n_virtual + a] = 1.0 / std::max(gap, kMinPreconditionerGapEv);
        }
    }
    const double goal = kResponseTolerance * std::sqrt(dot(rhs, rhs));
    for (std::size_t k = 0; k < size; ++k) d[k] = s[k] = r[k] * inverse_gap[k];
    double rs = dot(r, s);
    for (std::size_t iteration = 0; iteration < kMaxResponseIterations; ++iteration) {
        if (std::sqrt(dot(r, r)) <= goal) return z;
        apply_orbital_hessian(coefficients, energies, n_occupied, 0.0, fock, d.data(), ad.data(), ws);
        const double curvature = dot(d, ad);
        if (!(curvature > 0.0)) break;
        const double alpha = rs / curvature;
        for (std::size_t k = 0; k < size; ++k) {
            z[k] += alpha * d[k];
            r[k] -= alpha * ad[k];
            s[k] = r[k] * inverse_gap[k];
        }
        const double rs_next = dot(r, s);
        const double beta = rs_next / rs;
        rs = rs_next;
        for (std::size_t k = 0; k < size; ++k) d[k] = s[k] + beta * d[k];
    }
    if (std::sqrt(dot(r, r)) <= goal) return z;
    throw EngineStop("The orbital response of the CI root gradient did not converge");
}

// Gradient of E_SCF at fixed SCF density P plus tr(R dF/dx) at fixed P: the
// frozen-density gradient of P, plus half the difference of those of P + R
// and P - R (their terms quadratic in R cancel).
std::vector<std::array<double, 3>> relaxed_density_gradient(MolecularBatch& molecule, const ParameterModel& model,
                                                            const Matrix& density, const Matrix& relaxed,
                                                            bool use_nddo) {
    const std::size_t nb = molecule.n_basis;
    Matrix p = density;  // exactly symmetric, for the pair-local gradient
    for (std::size_t i = 0; i < nb; ++i) {
        for (std::size_t j = 0; j < i; ++j) p(i, j) = p(j, i) = 0.5 * (density(i, j) + density(j, i));
    }
    GradientWorkspace ws = GradientWorkspace::allocate(nb);
    std::vector<std::array<double, 3>> total(molecule.n_atoms), plus(molecule.n_atoms), minus(molecule.n_atoms);
    compute_cartesian_gradients_with_options(molecule, model, p, ws, total, use_nddo);
    Matrix shifted = p;
    for (std::size_t k = 0; k < shifted.data().size(); ++k) shifted.data()[k] = p.data()[k] + relaxed.data()[k];
    compute_cartesian_gradients_with_options(molecule, model, shifted, ws, plus, use_nddo);
    for (std::size_t k = 0; k < shifted.data().size(); ++k) shifted.data()[k] = p.data()[k] - relaxed.data()[k];
    compute_cartesian_gradients_with_options(molecule, model, shifted, ws, minus, use_nddo);
    for (std::size_t atom = 0; atom < molecule.n_atoms; ++atom) {
        for (std::size_t axis = 0; axis < 3; ++axis) total[atom][axis] += 0.5 * (plus[atom][axis] - minus[atom][axis]);
    }
    return total;
}

// The integral weights over window-orbital pairs (a, b), b <= a: sum over
// P, Q of weights[P][Q] (P|Q) is sum over p, q, r, s of W_pqrs (pq|rs).
std::vector<double> pair_weights(const std::vector<double>& weights, std::size_t n) {
    const std::size_t pairs = n_pairs(n);
    std::vector<double> out(pairs * pairs);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = 0; b <= a; ++b) {
            for (std::size_t c = 0; c < n; ++c) {
                for (std::size_t d = 0; d <= c; ++d) {
                    out[(a * (a + 1) / 2 + b) * pairs + c * (c + 1) / 2 + d] =
                        (a == b ? 1.0 : 2.0) * (c == d ? 1.0 : 2.0) * weights[index4(n, a, b, c, d)];
                }
            }
        }
    }
    return out;
}

}  // namespace

std::vector<std::array<double, 3>> compute_ci_root_gradient(MolecularBatch& molecule, const ParameterModel& model,
                                                            const ScfOptions& scf_options, const Matrix& density,
                                                            const Matrix& coefficients,
                                                            std::span<const double> orbital_energies,
                                                            const MeciOptions& options,
                                                            std::span<const double> ci_vector) {
    if (scf_options.cosmo || scf_options.electric_field || scf_options.external_charges) {
        throw EngineStop("CI root gradients are available in the gas phase only");
    }
    const ActiveWindow window = choose_active_window(molecule, model, options, orbital_energies);
    const std::size_t n = options.active_orbitals, n_electrons = options.active_electrons;
    const std::size_t nb = molecule.n_basis, n_occupied = window.n_occupied;
    const std::vector<Microstate> microstates =
        generate_microstates(n, static_cast<std::int32_t>(n_electrons), static_cast<std::int32_t>(n_electrons % 2));
    if (ci_vector.size() != microstates.size()) {
        stop_assert_eq("CI vector does not match the microstates", ci_vector.size(), microstates.size());
    }
    std::vector<double> occupations(n, 0.0);
    for (std::size_t k = 0; k < n_electrons / 2 + n_electrons % 2; ++k) occupations[k] = 1.0;
    std::vector<double> reference(microstates.size(), 0.0);
    reference[0] = 1.0;
    const ActiveDensities densities = difference(compute_active_densities(microstates, n, ci_vector),
                                                 compute_active_densities(microstates, n, reference));
    const std::vector<double> weights = integral_weights(densities, occupations);

    std::vector<DiatomicPairIntegrals> pairs;
    if (scf_options.use_nddo || options.use_nddo) pairs = precompute_diatomic_pairs(molecule, model);
    std::optional<std::span<const DiatomicPairIntegrals>> ci_pairs;
    if (options.use_nddo) ci_pairs = std::span<const DiatomicPairIntegrals>(pairs);
    const ActivePairFields fields = compute_active_pair_fields(molecule, model, coefficients, window.indices, ci_pairs);
    const Matrix c_t = transposed(coefficients);
    const Matrix x =
        window_orbital_gradient(molecule, coefficients, c_t, orbital_energies, window, densities, weights, fields);

    // Relaxed difference density over the MOs: the root's one-particle
    // difference density in the window, then the responses of the canonical
    // window orbitals within the occupied and within the virtual MOs (a
    // rotation by kappa_tp changes the MO Fock element F_tp by
    // (e_t - e_p) kappa_tp, so it costs -x_tp / (e_t - e_p) per unit of F_tp).
    Matrix m = Matrix::zeros(nb, nb);
    std::vector<std::ptrdiff_t> slot(nb, -1);  // window position of each MO
    for (std::size_t a = 0; a < n; ++a) slot[window.indices[a]] = static_cast<std::ptrdiff_t>(a);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = 0; b < n; ++b) m(window.indices[a], window.indices[b]) = densities.one(a, b);
    }
    for (std::size_t p_slot = 0; p_slot < n; ++p_slot) {
        const std::size_t p = window.indices[p_slot];
        const bool occupied = p < n_occupied;
        for (std::size_t t = occupied ? 0 : n_occupied; t < (occupied ? n_occupied : nb); ++t) {
            if (slot[t] >= 0 && t <= p) continue;  // each window pair once
            const double gap = orbital_energies[t] - orbital_energies[p];
            if (std::fabs(gap) < kDegenerateOrbitalsEv) continue;
            const double gradient = x(t, p_slot) - (slot[t] >= 0 ? x(p, static_cast<std::size_t>(slot[t])) : 0.0);
            const double w = -gradient / gap;
            m(t, p) += 0.5 * w;
            m(p, t) += 0.5 * w;
        }
    }

    // Occupied-virtual response: z solves (A + B) z = -dE/dkappa, the
    // rotations' direct effect on the window orbitals plus their effect on
    // the SCF density through every Fock matrix the energy reads so far.
    const OneCenterTables one_center = OneCenterTables::build(molecule, model);
    const Matrix no_hcore = Matrix::zeros(nb, nb);
    const FockOfDensity fock{molecule, model, one_center, pairs, scf_options.use_nddo, no_hcore, nullptr};
    const std::size_t n_virtual = nb - n_occupied;
    std::vector<double> rhs(n_occupied * n_virtual);
    {
        Matrix g = Matrix::zeros(nb, nb), half = Matrix::zeros(nb, nb), g_mo = Matrix::zeros(nb, nb);
        fock.build(to_atomic_orbitals(coefficients, c_t, m), g);
        multiply(c_t, g, half);
        multiply(half, coefficients, g_mo);
        for (std::size_t i = 0; i < n_occupied; ++i) {
            for (std::size_t a = n_occupied; a < nb; ++a) {
                double direct = 0.0;
                if (slot[i] >= 0) direct += x(a, static_cast<std::size_t>(slot[i]));
                if (slot[a] >= 0) direct -= x(i, static_cast<std::size_t>(slot[a]));
                rhs[i * n_virtual + a - n_occupied] = -(direct + 4.0 * g_mo(a, i));
            }
        }
    }
    Vec64 energies = Vec64::zeros(nb);
    for (std::size_t k = 0; k < nb; ++k) energies[k] = orbital_energies[k];
    const std::vector<double> z = solve_orbital_response(coefficients, energies, n_occupied, fock, rhs);
    for (std::size_t i = 0; i < n_occupied; ++i) {
        for (std::size_t a = n_occupied; a < nb; ++a) {
            m(a, i) += 0.5 * z[i * n_virtual + a - n_occupied];
            m(i, a) = m(a, i);
        }
    }

    std::vector<std::array<double, 3>> total =
        relaxed_density_gradient(molecule, model, density, to_atomic_orbitals(coefficients, c_t, m),
                                 scf_options.use_nddo);
    add_active_two_centre_gradient(molecule, model, fields, pair_weights(weights, n), options.use_nddo, total);
    remove_net_force(total);
    return total;
}

}  // namespace quorin
