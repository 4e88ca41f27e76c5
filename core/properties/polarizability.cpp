#include "core/properties/polarizability.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/fock/fock_builder.h"
#include "core/properties/polarizability_scaling.h"
#include "core/properties/principal_axes.h"
#include "core/scf/density.h"
#include "core/scf/eigensolver.h"
#include "core/scf/escalation_ladder.h"
#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

using Vector3 = std::array<double, 3>;

// Axis fields in their order of evaluation: +F, -F, +2F, -2F.
constexpr std::array<double, 4> kAxisMultiples = {1.0, -1.0, 2.0, -2.0};
enum AxisPoint : std::size_t { kPlus1 = 0, kMinus1 = 1, kPlus2 = 2, kMinus2 = 3 };
// Axis pairs of the mixed fields and the four sign corners of each.
constexpr std::array<std::pair<std::size_t, std::size_t>, 3> kAxisPairs = {{{0, 1}, {0, 2}, {1, 2}}};
constexpr std::array<std::pair<double, double>, 4> kCorners = {{{1.0, 1.0}, {1.0, -1.0}, {-1.0, 1.0}, {-1.0, -1.0}}};

void check_options(const PolarizabilityOptions& options) {
    if (!std::isfinite(options.field_step_au) || options.field_step_au == 0.0) {
        throw RequestError("field_step_au must be a finite, non-zero field strength in atomic units");
    }
    if (!std::isfinite(options.energy_tolerance)) {
        throw RequestError("The SCF energy tolerance must be a finite number of eV");
    }
    if (!std::isfinite(options.density_tolerance)) {
        throw RequestError("The SCF density tolerance must be a finite number");
    }
}

std::string describe_field(const Vector3& field_au) {
    char text[96];
    std::snprintf(text, sizeof text, "(%g, %g, %g)", field_au[0], field_au[1], field_au[2]);
    return text;
}

// A field point's energy and dipole in atomic units, the units of the differences.
struct FieldPoint {
    double energy_hartree = 0.0;
    Vector3 dipole_au{};
};

FieldPoint in_atomic_units(const FieldScfResult& r) {
    FieldPoint point;
    point.energy_hartree = r.energy_ev / kHartreeToEv;
    for (std::size_t i = 0; i < 3; ++i) point.dipole_au[i] = r.dipole.total_dipole[i] * kDipoleAuPerDebye;
    return point;
}

// Eigenvalues (ascending) and eigenvectors (columns) of a symmetric 3 x 3 tensor.
struct Eigen3 {
    Vector3 values{};
    Tensor3 vectors{};
};

// The 3 x 3 solves of one request share their arrays.
struct TensorEigensolver {
    Matrix a = Matrix::zeros(3, 3);
    Vec64 values = Vec64::zeros(3);
    Matrix vectors = Matrix::zeros(3, 3);
    EigensolverWorkspace workspace = EigensolverWorkspace::allocate(3);

    Eigen3 diagonalize(const Tensor3& t) {
        for (std::size_t i = 0; i < 3; ++i) {
            for (std::size_t j = 0; j < 3; ++j) a(i, j) = t[i][j];
        }
        diagonalize_symmetric(a, workspace, values, vectors);
        Eigen3 e;
        for (std::size_t i = 0; i < 3; ++i) {
            e.values[i] = values[i];
            for (std::size_t j = 0; j < 3; ++j) e.vectors[i][j] = vectors(i, j);
        }
        return e;
    }
};

double trace_third(const Tensor3& t) { return (t[0][0] + t[1][1] + t[2][2]) / 3.0; }

double norm(const Vector3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// The empirical relation applied to the principal values: to the diagonal
// when the molecule already sits in its principal axes of inertia, otherwise
// to the eigenvalues, keeping the eigenvectors.
Tensor3 scaled_alpha(const Tensor3& raw, std::string_view method, std::span<const std::uint8_t> atomic_numbers,
                     bool principal_frame, TensorEigensolver& solver) {
    Tensor3 alpha = raw;
    if (principal_frame) {
        for (std::size_t i = 0; i < 3; ++i) alpha[i][i] = compute_pol_vol(raw[i][i], method, atomic_numbers);
        return alpha;
    }
    const Eigen3 e = solver.diagonalize(raw);
    Vector3 scaled{};
    for (std::size_t k = 0; k < 3; ++k) scaled[k] = compute_pol_vol(e.values[k], method, atomic_numbers);
    if (scaled == e.values) return raw;  // no relation for this method: keep alpha bit for bit
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < 3; ++k) sum += e.vectors[i][k] * scaled[k] * e.vectors[j][k];
            alpha[i][j] = sum;
        }
    }
    return alpha;
}

}  // namespace

FieldScfResult run_field_scf(const MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& workspace,
                             const std::array<double, 3>& field_au, const PolarizabilityOptions& options) {
    const Vector3 field = {field_au[0] * kFieldAuToVoltPerAngstrom, field_au[1] * kFieldAuToVoltPerAngstrom,
                           field_au[2] * kFieldAuToVoltPerAngstrom};
    // Every field point starts from nothing: no density or extrapolation
    // history of the previous field may bias it.
    workspace.clear_matrices();
    workspace.diis.reset();
    const ScfResult scf =
        run_rhf_scf_adaptive_with_field(molecule, model, workspace, options.max_iterations, options.use_nddo, field,
                                        options.energy_tolerance, options.density_tolerance);
    // The SCF's energy pairs the final density with the Fock matrix of the
    // one before, an error first order in the last density change (about
    // 1e-8 eV at the default tolerances). The two-axis energy differences
    // divide by F^4 (1.6e-11 at F = 0.002), so the energy is evaluated again
    // with the Fock matrix of the final density, where the error is second
    // order.
    build_fock_with_options(molecule, model, OneCenterTables::build(molecule, model), workspace.pairs,
                            options.use_nddo, workspace.hcore, workspace.density, workspace.fock);
    const double energy_ev =
        compute_electronic_energy(workspace.density, workspace.hcore, workspace.fock) + scf.core_energy;
    return {energy_ev, scf.converged, compute_dipole(molecule, model, workspace.density)};
}

PolarizabilityResult compute_polarizability(const MolecularBatch& molecule, const ParameterModel& model,
                                            const PolarizabilityOptions& options) {
    check_options(options);
    const MolecularBatch work = options.reorient ? align_principal_axes(molecule).molecule : molecule;
    ScfWorkspace workspace = ScfWorkspace::allocate(work.n_basis);
    TensorEigensolver tensor_solver;
    const double f = options.field_step_au;

    // A point whose SCF did not settle would corrupt every difference it enters.
    const auto converged_point = [&](const Vector3& field_au) {
        FieldScfResult r = run_field_scf(work, model, workspace, field_au, options);
        if (!r.converged) {
            throw RequestError("The SCF did not converge at the field point " + describe_field(field_au) +
                               " a.u., so the finite-difference polarizability would be unreliable");
        }
        return r;
    };

    PolarizabilityResult result;
    const FieldScfResult unperturbed = converged_point({0.0, 0.0, 0.0});
    for (std::size_t i = 0; i < 3; ++i) result.dipole_debye[i] = unperturbed.dipole.total_dipole[i];
    result.dipole_debye[3] = unperturbed.dipole.total_dipole_magnitude;
    result.unperturbed_energy_ev = unperturbed.energy_ev;
    const FieldPoint zero = in_atomic_units(unperturbed);
    const Vector3& mu0 = zero.dipole_au;

    std::array<std::array<FieldPoint, 4>, 3> axis{};  // [field axis][AxisPoint]
    for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t s = 0; s < kAxisMultiples.size(); ++s) {
            Vector3 field{};
            field[k] = kAxisMultiples[s] * f;
            axis[k][s] = in_atomic_units(converged_point(field));
        }
    }
    const auto mu = [&](std::size_t i, std::size_t k, AxisPoint s) { return axis[k][s].dipole_au[i]; };

    // dmu_i/dF_k, five-point central difference.
    Tensor3 derivative{};
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t k = 0; k < 3; ++k) {
            derivative[i][k] =
                (8.0 * (mu(i, k, kPlus1) - mu(i, k, kMinus1)) - (mu(i, k, kPlus2) - mu(i, k, kMinus2))) / (12.0 * f);
        }
    }
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            result.alpha_raw_tensor[i][j] = 0.5 * (derivative[i][j] + derivative[j][i]);
        }
    }
    result.alpha_raw_isotropic_au = trace_third(result.alpha_raw_tensor);
    result.alpha_raw_isotropic_angstrom3 = result.alpha_raw_isotropic_au * kPolarizabilityAuToAngstrom3;

    const Tensor3& raw = result.alpha_raw_tensor;
    result.alpha_tensor = options.apply_empirical_scaling
                              ? scaled_alpha(raw, model.name(), work.atomic_numbers, options.reorient, tensor_solver)
                              : raw;
    const Tensor3& a = result.alpha_tensor;
    const Eigen3 principal = tensor_solver.diagonalize(a);
    result.alpha_eigenvalues = principal.values;
    result.alpha_eigenvectors = principal.vectors;
    result.alpha_isotropic_au = trace_third(a);
    result.alpha_isotropic_angstrom3 = result.alpha_isotropic_au * kPolarizabilityAuToAngstrom3;
    const double dxy = a[0][0] - a[1][1], dyz = a[1][1] - a[2][2], dzx = a[2][2] - a[0][0];
    const double diagonal_spread = dxy * dxy + dyz * dyz + dzx * dzx;
    const double off_diagonal = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
    result.alpha_anisotropy_au = std::sqrt(std::max(0.0, 0.5 * (diagonal_spread + 6.0 * off_diagonal)));

    // beta_i = beta_iii + sum_j beta_ijj from second dipole derivatives.
    for (std::size_t i = 0; i < 3; ++i) {
        double beta = (16.0 * (mu(i, i, kPlus1) + mu(i, i, kMinus1)) - (mu(i, i, kPlus2) + mu(i, i, kMinus2)) -
                       30.0 * mu0[i]) /
                      (12.0 * f * f);
        for (std::size_t j = 0; j < 3; ++j) {
            if (j != i) beta += (mu(i, j, kPlus1) + mu(i, j, kMinus1) - 2.0 * mu0[i]) / (f * f);
        }
        result.beta_vector[i] = beta;
    }
    result.beta_total_au = norm(result.beta_vector);
    result.beta_total_esu = result.beta_total_au * kBetaAuToEsu;

    // gamma_iiii from the third dipole derivative.
    for (std::size_t i = 0; i < 3; ++i) {
        result.gamma_diag[i] =
            (mu(i, i, kPlus2) - mu(i, i, kMinus2) - 2.0 * (mu(i, i, kPlus1) - mu(i, i, kMinus1))) / (2.0 * f * f * f);
    }

    // gamma_iijj from the energies of the two-axis fields: summing the four
    // sign corners and removing twice the single-axis points and four times
    // E0 leaves -gamma_iijj F^4; every alpha, beta and gamma_iiii term cancels.
    double cross = 0.0;
    if (options.compute_hyperpolarizabilities) {
        for (const auto& [i, j] : kAxisPairs) {
            double corners = 0.0;
            for (const auto& [si, sj] : kCorners) {
                Vector3 field{};
                field[i] = si * f;
                field[j] = sj * f;
                corners += converged_point(field).energy_ev / kHartreeToEv;
            }
            const double singles = axis[i][kPlus1].energy_hartree + axis[i][kMinus1].energy_hartree +
                                   axis[j][kPlus1].energy_hartree + axis[j][kMinus1].energy_hartree;
            const double gamma_iijj = -(corners - 2.0 * singles + 4.0 * zero.energy_hartree) / (f * f * f * f);
            cross += 2.0 * gamma_iijj;
        }
    }
    result.gamma_average_au = (result.gamma_diag[0] + result.gamma_diag[1] + result.gamma_diag[2] + cross) / 5.0;
    result.gamma_average_esu = result.gamma_average_au * kGammaAuToEsu;
    return result;
}

}  // namespace quorin
