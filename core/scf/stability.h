#pragma once
// Stability of a converged closed-shell SCF solution under real rotations
// between occupied and virtual orbitals, and the way down when it is not
// stable.
//
// Rotating the orbitals by exp(kappa), kappa_ai = theta x_ia for a unit
// vector x, changes the energy by 4 theta x.f + 2 theta^2 x.(A + B)x to
// second order, with the occupied-virtual Fock block f = C_o^T F C_v (zero
// at a solution) and the orbital Hessian (A + B)x = (eps_a - eps_i) x_ia +
// 2 [C_o^T G(D) C_v]_ia, D = C_o X C_v^T + C_v X^T C_o^T. Its lowest
// eigenvalue comes from Davidson iterations, each one response build of a
// trial density D. A negative eigenvalue means the solution is a saddle
// point: a lower closed-shell solution lies along that rotation.
#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "core/scf/davidson.h"
#include "core/scf/eigensolver.h"
#include "core/scf/fock_of_density.h"
#include "core/types/aligned.h"

namespace quorin {

// Eigenvalues below this (eV), numerical noise, count as unstable: the SCF
// then looks for a lower energy along the eigenvector.
inline constexpr double kUnstableEigenvalueEv = -1e-4;
// The check's budget of Hessian products.
inline constexpr std::size_t kStabilityProducts = 60;
// The check proves its lowest eigenvalue to kStabilityToleranceEv, with the
// residual norm of the lowest Ritz pair within kStabilityResidualEv,
// both absolute: no looser far from the threshold than near it.
inline constexpr double kStabilityToleranceEv = 5e-2;
inline constexpr double kStabilityResidualEv = 5e-2;
// A lowest Ritz value less than this (eV) above the threshold has every
// root within 0.1 eV of it converged.
inline constexpr double kNearThresholdEv = 0.5;
// A lowest Ritz value less than this (eV) above the threshold needs the
// second opinion of test_lowest_eigenvalue: the lowest eigenvalue has been
// seen 0.9 eV below such a converged value (S2 and S2 beside benzene, PM6,
// in bench/audit_stability.cpp), never further.
inline constexpr double kSecondOpinionEv = 1.5;
// Up to this many rotations the check builds and diagonalises the whole
// Hessian, one response build a column (a diatomic with d shells has up to
// 80); up to kExactStabilityPairs, a check that runs out of products does
// so instead.
inline constexpr std::size_t kDenseStabilityPairs = 100;
inline constexpr std::size_t kExactStabilityPairs = 400;

// The test of an orbital Hessian's lowest eigenvalue that every SCF's
// stability check makes: against kUnstableEigenvalueEv, to
// kStabilityToleranceEv and the lowest residual within kStabilityResidualEv,
// within `max_products` products; the whole Hessian up to
// kDenseStabilityPairs rotations, and when the budget runs out, or near the
// threshold, on at most kExactStabilityPairs. The molecular check
// (check_orbital_stability) takes a second opinion within kSecondOpinionEv
// of the threshold instead of the whole Hessian there.
EigenvalueTest orbital_stability_test(std::size_t max_products = kStabilityProducts);

struct StabilityWorkspace {
    static constexpr std::size_t kSubspace = DavidsonWorkspace::kSubspace;
    // Vectors over the occupied-virtual pairs (x_ia at i * n_virt + a), each
    // with room for the largest pair count of the basis, n^2 / 4, and one
    // more entry for the gradient-augmented Hessian of the Newton steps.
    // davidson.ritz_vector: the lowest Ritz vector; the unstable rotation
    // after a failed check.
    DavidsonWorkspace davidson;
    Vec64 diagonal;   // eps_a - eps_i; then the preconditioner's diagonal
    Vec64 residual;
    Vec64 gradient;   // occupied-virtual Fock block of a Newton step
    Matrix trial;     // n x n: trial density, rotated orbitals
    Matrix response;  // n x n: response of the trial density, overlaps
    Matrix half;      // n x n: half-transformed matrices

    static StabilityWorkspace allocate(std::size_t n_basis);
};

struct StabilityCheck {
    double lowest_eigenvalue = 0.0;  // eV; an upper bound on it when unstable
    double error_bound = 0.0;        // eV, how far the lowest eigenvalue may lie below it when decided
    std::size_t products = 0;        // Hessian products, one response build each
    bool stable = true;
    bool decided = true;  // false: the budget ran out with no verdict (then not stable either)
    // Unstable: the rotations found below kUnstableEigenvalueEv, lowest first
    // (ws.davidson.ritz_vector, then rows 1, 2, ... of ws.davidson.basis).
    std::size_t unstable_directions = 0;
    // The lowest Ritz pairs the check followed (exact eigenpairs after a
    // whole-Hessian build): values ascending, vectors in
    // ws.davidson.ritz_vector (the first) and rows 1, 2, ... of
    // ws.davidson.basis.
    std::array<double, kMaxRitzRoots> mode_values{};
    std::size_t modes = 0;
};

// The lowest eigenvalue of the orbital Hessian of the solution whose orbitals
// are the columns of `coefficients` (energies ascending, the first n_occ
// occupied). The virtual orbital energies are read less `virtual_shift`, the
// level shift they may carry. The orbital_stability_test by
// test_lowest_eigenvalue (core/scf/davidson.h, which says what each verdict
// proves), from start vectors made from the exact Hessian over the four
// lowest pairs (`start_rotation`, an earlier solution's lowest rotation in
// the form C_o X C_v^T, joins them). The verdicts:
// - unstable: a Ritz value lies below kUnstableEigenvalueEv, so the
//   solution is a saddle point; ws.davidson.ritz_vector holds that rotation
//   (the further ones found: see StabilityCheck::unstable_directions).
// - stable: the lowest Ritz value less error_bound (at most
//   kStabilityToleranceEv) lies above the threshold, its residual within
//   kStabilityResidualEv (what that proves, and what it rests on: see
//   test_lowest_eigenvalue), and within kSecondOpinionEv of the threshold
//   the second opinion of a random block agrees; exact with at most
//   kDenseStabilityPairs pairs, or with at most kExactStabilityPairs when
//   the iterations reach no verdict.
// - undecided (decided false, stable false): the budget ran out on a larger
//   system. The lowest Ritz vector is left in ws.davidson.ritz_vector.
// Without `decisive` (a solution whose verdict cannot end its SCF, which
// goes on from it either way) the stable verdict goes without the second
// opinion.
StabilityCheck check_orbital_stability(const Matrix& coefficients, const Vec64& orbital_energies, std::size_t n_occ,
                                       double virtual_shift, const FockOfDensity& fock, StabilityWorkspace& ws,
                                       const Matrix* start_rotation = nullptr,
                                       std::size_t max_products = kStabilityProducts, bool decisive = true);

// rotation := C_o X C_v^T for the lowest Ritz vector X of the last check in
// `ws`, whose orbitals were `coefficients`: the form in which it can start
// the check of a nearby geometry, whatever its orbitals.
void lowest_rotation(const Matrix& coefficients, std::size_t n_occ, StabilityWorkspace& ws, Matrix& rotation);

// y := (A + B) x for vectors over the occupied-virtual pairs (same orbitals
// and energies as above). One response build.
void apply_orbital_hessian(const Matrix& coefficients, const Vec64& orbital_energies, std::size_t n_occ,
                           double virtual_shift, const FockOfDensity& fock, const double* x, double* y,
                           StabilityWorkspace& ws);

// The lowest energy along a rotation by an angle, from `energy` at angle 0:
// the sense lower at a first angle of 0.2 rad (halved while neither sense
// lowers the energy), onward in steps of that angle while the energy keeps
// falling, up to a quarter turn, and the vertex of the parabola through the
// last three points. Returns the angle of the lowest energy found, 0 when
// none was lower, and that energy.
struct LowestAlongRotation {
    double angle;   // rad
    double energy;  // eV
};
LowestAlongRotation lowest_along_rotation(double energy, FunctionRef<double(double angle)> energy_at);

// Line searches on the energy down from the orbitals `coefficients`, whose
// density has electronic energy `energy`: along the unstable rotation in
// ws.davidson.ritz_vector, then, from the lowest point found, along each
// further one of the `directions` unstable rotations of the last check (the
// first rows of ws.davidson.basis), both senses each. density := the lowest
// density found (unchanged when nothing lower is found); returns its
// electronic energy. `trial_density` and `fock_scratch` are n x n work
// matrices.
double descend_along_unstable_rotation(const Matrix& coefficients, std::size_t n_occ, const FockOfDensity& fock,
                                       double energy, StabilityWorkspace& ws, Matrix& density,
                                       Matrix& trial_density, Matrix& fock_scratch, std::size_t directions = 1);

// The finite step beyond the local test: for each rotation x (o x v over the
// occupied-virtual pairs, as the check's vectors), the occupied orbital
// C_o u turned by a quarter turn into the virtual one C_v w, (u, w) the
// leading singular pair of x (the plane x turns most). The energy along a
// soft mode can fall again far from the solution, where the local test
// cannot see it. density := the lowest of these densities when it lies below
// `energy` (the electronic energy of `density`, unchanged otherwise);
// returns the lowest energy. `trial_density` and `fock_scratch` are n x n
// work matrices.
double lowest_quarter_turn(const Matrix& coefficients, std::size_t n_occ, const FockOfDensity& fock, double energy,
                           std::span<const double* const> rotations, StabilityWorkspace& ws, Matrix& density,
                           Matrix& trial_density, Matrix& fock_scratch);

// Scratch of the Newton steps besides the stability workspace: n x n
// matrices, orbital energies and the diagonalisation's own.
struct NewtonScratch {
    Matrix& fock;
    Matrix& work;
    Matrix& trial_density;
    Matrix& orbitals;
    Vec64& orbital_energies;
    EigensolverWorkspace& eigensolver;
};

// From the idempotent `density` (electronic energy `energy`), trust-region
// Newton steps down to the nearest minimum. Each step starts from orbitals
// that span the density's occupied space and its complement and diagonalise
// their own blocks of F(P), and follows the lowest eigenvector of the
// Hessian augmented by the gradient: a step that lowers the quadratic model
// even where the Hessian has negative eigenvalues, so the steps cannot climb
// back to the saddle point the density came from. Stops when the largest
// occupied-virtual element of F(P) falls below `gradient_tolerance` (eV),
// after `max_steps` steps, or after two steps in a row that each lowered the
// energy by less than `energy_tolerance` (eV; creeping along a soft or zero
// mode). density := the lowest density reached.
struct NewtonDescent {
    double energy;      // electronic energy of the density reached, eV
    std::size_t steps;  // steps taken, each one Fock build and diagonalisation
};
NewtonDescent descend_by_newton_steps(std::size_t n_occ, const FockOfDensity& fock, double energy, double gradient_tolerance,
                               std::size_t max_steps, Matrix& density, NewtonScratch scratch, StabilityWorkspace& ws,
                               double energy_tolerance = 0.0);

}  // namespace quorin
