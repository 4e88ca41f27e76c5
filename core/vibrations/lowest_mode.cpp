#include "core/vibrations/lowest_mode.h"

#include <cblas.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "core/scf/eigensolver.h"
#include "core/scf/stability.h"
#include "core/types/constants.h"
#include "core/types/errors.h"
#include "core/vibrations/model_hessian.h"
#include "core/vibrations/normal_modes.h"

namespace quorin {

namespace {

// The iterations see the Hessian in units of the curvature of a vibration
// of |kImaginaryFrequencyCm1| (kcal/(mol angstrom^2 amu)): the threshold is
// -1, and the eV-sized constants of the Davidson iterations (a floor of 0.1
// on the preconditioner, roots within 0.1 forming a cluster) are small next
// to the soft modes (a 20 cm^-1 mode is 4) and to the stiff ones (above 1e4).
constexpr double kUnitCurvature = (kImaginaryFrequencyCm1 / kHessianEigenvalueToWavenumber) *
                                  (kImaginaryFrequencyCm1 / kHessianEigenvalueToWavenumber);
// The lowest root's residual bound and the error bound on its eigenvalue, in
// those units.
constexpr double kResidualBound = 0.5;
constexpr double kErrorBound = 0.5;
// Below this many units above the threshold (a Ritz value below 0) every
// root of the lowest cluster must reach the residual bound.
constexpr double kNearMargin = 1.0;
// The rigid-body motions get this model curvature, far above every internal
// one, so that the internal modes come first.
constexpr double kRigidCurvature = 1e12;

blasint as_blas_int(std::size_t value) { return static_cast<blasint>(value); }

}  // namespace

LowestMode find_lowest_vibration(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                                 GradientWorkspace& gradient_workspace, const ScfOptions& scf_options,
                                 std::span<const double> masses_amu, const LowestModeOptions& options) {
    const std::size_t n_atoms = molecule.n_atoms, dim = 3 * n_atoms;
    if (masses_amu.size() != n_atoms) stop_assert_eq("Lowest mode needs one mass per atom", masses_amu.size(), n_atoms);
    LowestMode result;
    result.mode.assign(dim, 0.0);
    if (n_atoms < 2) {
        result.verdict = EigenvalueVerdict::above;  // no vibration at all
        return result;
    }

    // The internal modes of the mass-weighted model Hessian, lowest first:
    // the coordinates of the iterations and their preconditioner.
    Matrix weighted = model_cartesian_hessian(molecule);
    for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t j = 0; j < dim; ++j) {
            weighted(i, j) /= std::sqrt(masses_amu[i / 3] * masses_amu[j / 3]);
        }
    }
    Matrix rigid = Matrix::zeros(6, dim);
    const std::size_t n_rigid = external_motion_basis(molecule, masses_amu, rigid);
    Matrix scratch = Matrix::zeros(6, dim);
    project_external_motions(rigid, n_rigid, kRigidCurvature, scratch, weighted);
    symmetrize_by_averaging(weighted);
    Vec64 model_curvatures = Vec64::zeros(dim);
    Matrix modes = Matrix::zeros(dim, dim);  // model modes in its columns
    diagonalize_symmetric(weighted, model_curvatures, modes);
    const std::size_t len = dim - n_rigid;
    if (len == 0) {
        result.verdict = EigenvalueVerdict::above;
        return result;
    }
    Vec64 precondition = Vec64::zeros(len);
    for (std::size_t k = 0; k < len; ++k) precondition[k] = model_curvatures[k] / kUnitCurvature;

    // Products y -> U^T H U y / unit, U the internal model modes: H U y by
    // central differences of the mass-weighted gradient along x = U y.
    const std::vector<std::array<double, 3>> origin = coordinate_triples(molecule);
    const Matrix base_density = scf.density;
    Matrix base_rotation = Matrix::zeros(molecule.n_basis, molecule.n_basis);
    lowest_rotation(scf.coefficients, count_valence_electrons(molecule, model) / 2, scf.stability, base_rotation);
    ScfOptions displaced = scf_options;
    displaced.initial_rotation = &base_rotation;
    Matrix start = Matrix::zeros(molecule.n_basis, molecule.n_basis);
    std::vector<std::array<double, 3>> g_plus(n_atoms), g_minus(n_atoms);
    std::vector<double> x(dim), hx(dim);
    const auto restore = [&] {
        set_coordinates(molecule, origin);
        scf.density.copy_from(base_density);
    };
    const auto gradient_at = [&](double sign, double delta, std::span<std::array<double, 3>> g) {
        for (std::size_t a = 0; a < n_atoms; ++a) {
            const double w = sign * delta / std::sqrt(masses_amu[a]);
            molecule.x[a] = origin[a][0] + w * x[3 * a];
            molecule.y[a] = origin[a][1] + w * x[3 * a + 1];
            molecule.z[a] = origin[a][2] + w * x[3 * a + 2];
        }
        if (sign > 0.0) {
            displaced.initial_density = &base_density;
        } else {
            const double* p0 = base_density.data().data();
            const double* p_plus = scf.density.data().data();
            double* s = start.data().data();
            for (std::size_t k = 0; k < start.data().size(); ++k) s[k] = 2.0 * p0[k] - p_plus[k];
            displaced.initial_density = &start;
        }
        if (!run_rhf_scf_with_options(molecule, model, scf, displaced).converged) {
            throw EngineStop("SCF did not converge at a displaced geometry of the lowest-mode search");
        }
        compute_cartesian_gradients_with_options(molecule, model, scf.density, gradient_workspace, g,
                                                 options.use_nddo);
        result.gradients += 1;
    };
    const blasint bd = as_blas_int(dim), bl = as_blas_int(len);
    const auto product = [&](const double* y, double* image, std::size_t count, std::size_t stride) {
        for (std::size_t v = 0; v < count; ++v) {
            scipy_cblas_dgemv(CblasRowMajor, CblasNoTrans, bd, bl, 1.0, modes.data().data(), bd, y + v * stride, 1,
                              0.0, x.data(), 1);
            // The step moves the atom that moves most by step_angstrom.
            double largest2 = 0.0;
            for (std::size_t a = 0; a < n_atoms; ++a) {
                const double moved2 = x[3 * a] * x[3 * a] + x[3 * a + 1] * x[3 * a + 1] + x[3 * a + 2] * x[3 * a + 2];
                largest2 = std::max(largest2, moved2 / masses_amu[a]);
            }
            const double delta = options.step_angstrom / std::sqrt(largest2);
            gradient_at(1.0, delta, g_plus);
            gradient_at(-1.0, delta, g_minus);
            for (std::size_t i = 0; i < dim; ++i) {
                const double dg = g_plus[i / 3][i % 3] - g_minus[i / 3][i % 3];
                hx[i] = dg * kEvToKcalMol / std::sqrt(masses_amu[i / 3]) / (2.0 * delta * kUnitCurvature);
            }
            scipy_cblas_dgemv(CblasRowMajor, CblasTrans, bd, bl, 1.0, modes.data().data(), bd, hx.data(), 1, 0.0,
                              image + v * stride, 1);
        }
        restore();
    };

    DavidsonWorkspace ws = DavidsonWorkspace::allocate(len);
    std::size_t products = 0;
    LowestEigenvalue lowest;
    try {
        // The exact block over the softest model modes, then the start
        // vectors from it (davidson.h).
        const std::size_t n_start = std::min(kStartBlockSize, len);
        std::array<std::size_t, kStartBlockSize> soft{};
        lowest_coordinates(precondition.data(), len, n_start, soft.data());
        std::array<double, kStartBlockSize * kStartBlockSize> block{};
        std::vector<double> unit(len, 0.0), image(len, 0.0);
        for (std::size_t s = 0; s < n_start; ++s) {
            unit[soft[s]] = 1.0;
            product(unit.data(), image.data(), 1, len);
            unit[soft[s]] = 0.0;
            for (std::size_t l = 0; l < n_start; ++l) block[s * n_start + l] = image[soft[l]];
        }
        products += n_start;
        const std::size_t m = add_start_vectors(ws, len, 0, precondition.data(), std::span(soft.data(), n_start),
                                                block.data(), product, products);
        EigenvalueTest test;
        test.threshold = -1.0;
        test.absolute_tolerance = kErrorBound;
        test.residual_bound = kResidualBound;
        test.near_margin = kNearMargin;
        test.max_products = options.max_products;
        const auto no_column = [](std::size_t, double*) {};  // never asked: no dense build
        lowest = test_lowest_eigenvalue(ws, len, m, products, precondition.data(), product, no_column, test);
    } catch (...) {
        restore();
        throw;
    }

    result.verdict = lowest.verdict;
    const double curvature = lowest.value * kUnitCurvature;
    const double nu = kHessianEigenvalueToWavenumber * std::sqrt(std::fabs(curvature));
    result.frequency_cm1 = curvature < 0.0 ? -nu : nu;
    scipy_cblas_dgemv(CblasRowMajor, CblasNoTrans, bd, bl, 1.0, modes.data().data(), bd, ws.ritz_vector.data(), 1,
                      0.0, result.mode.data(), 1);
    double norm2 = 0.0;
    for (double c : result.mode) norm2 += c * c;
    if (norm2 > 0.0) {
        for (double& c : result.mode) c /= std::sqrt(norm2);
    }
    return result;
}

}  // namespace quorin
