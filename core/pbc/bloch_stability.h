#pragma once
// Stability of a converged Bloch SCF solution under rotations between its
// occupied and empty bands, and the way down when it is not stable.
//
// What is covered: at every k-point of the grid, the occupied bands turned
// towards the empty bands of the same k-point, c_i(k) -> c_i(k) + sum_a
// X_ia(k) c_a(k). Such rotations keep the lattice's translation symmetry
// (wave vector zero of the cell): they are the changes of the closed-shell
// density the cell can hold. X(k) is complex, and the rotation at -k is
// its complex conjugate, so that the real-space density stays real; the
// grid's k, -k pairs therefore count once, with two real parameters per
// pair of bands (real and imaginary part), and a k-point that is its own
// inverse (the zone centre) has real orbitals and real rotations only.
// What is not covered: rotations that mix bands of different k-points,
// which would make the density of neighbouring cells differ (a doubled or
// larger repeat, as a charge or bond density wave of longer period): such an
// instability shows only in a larger cell, a supercell of this one. Neither
// are rotations towards open-shell or complex-valued real-space densities.
//
// With z_k = sqrt(w_k) X(k) (w_k the grid weight, k and -k together) the
// energy per cell changes by 2 z.H z to second order, with
//   H z = (eps_a - eps_i) z + 2 sqrt(w_k) (C_o^H G(P~) C_v)(k)  (real part
//         for Re z, minus the imaginary part for Im z),
// G the two-electron part of the periodic Fock build and P~ the real-space
// density of D~(k) = C_v X^T C_o^H + h.c. (the molecular form, one k-point
// of weight 1, is the molecular check's Hessian). Its lowest eigenvalue
// comes from the same Davidson iterations and test as the molecular check's
// (core/scf/davidson.h, core/scf/stability.h), each product one periodic
// response build.
#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/pbc/bloch_scf.h"
#include "core/pbc/periodic_operators.h"
#include "core/scf/davidson.h"
#include "core/scf/stability.h"
#include "core/types/aligned.h"
#include "core/types/memory_plan.h"

namespace quorin {

// What a Hessian product needs of the run.
struct BlochRun {
    const MolecularBatch& cell;
    const ParameterModel& model;
    PeriodicOperators& operators;
    const Matrix& hcore_r;  // H(R_t) stack
    const BlochTransform& transform;
    std::span<const KPoint> kpoints;
};

struct BlochStabilityWorkspace {
    std::size_t n = 0;
    std::size_t n_k = 0;
    std::size_t n_occ = 0;
    std::size_t len = 0;  // rotation coordinates of the whole grid
    // Orbitals of each k-point: n_k blocks of n x n, column-major, the
    // levels ascending in the columns; their energies n_k x n.
    std::vector<std::complex<double>> orbitals;
    Vec64 energies;
    std::vector<std::size_t> offset;  // first coordinate of each k-point, and len
    std::vector<std::uint8_t> real_point;
    Vec64 diagonal;  // eps_a - eps_i, then the preconditioner
    Vec64 unit;      // a unit vector of one coordinate
    DavidsonWorkspace davidson;
    Matrix trial_k;     // Bloch parts of a trial density (2 N_k x n^2)
    Matrix response_k;  // Bloch parts of its response
    Matrix trial_r;     // the same in real space (N_T x n^2)
    Matrix response_r;
    std::vector<std::complex<double>> a, b, c;  // n x n complex scratch
    std::vector<std::complex<double>> eigen_work;
    Vec64 eigen_real_work;
    std::vector<std::int32_t> eigen_int_work;
    Matrix real_block;  // n x n: the real Fock matrix of a zone-centre point
    Matrix real_vectors;
    Vec64 real_values;

    static BlochStabilityWorkspace allocate(std::size_t n, std::size_t n_occ, std::size_t n_translations,
                                            std::size_t n_kpoints);
    // What allocate holds, for the memory plan.
    static MemoryPlan plan(std::size_t n, std::size_t n_occ, std::size_t n_translations, std::size_t n_kpoints);
};

// Pairs of levels closer than this (eV) across the occupied-empty border
// share their electrons (bloch_density_from_embedding); rotations between
// them are left out of the check.
inline constexpr double kSharedLevelEv = 1e-6;

// Orbitals and energies of each k-point of fock_k (the Bloch parts of the
// Fock blocks, laid out as BlochTransform::to_kpoints writes them), the
// coordinate layout and the Hessian's diagonal. Returns the largest element
// of |D(k) - D_aufbau(k)| over the grid, D(k) the Bloch parts `density_k`
// of the state and D_aufbau 2 C_o C_o^H of the lowest n_occ levels (levels
// that share electrons across the border excepted): how far the state is
// from being filled from the bottom of its own Fock matrices.
double prepare_bloch_orbitals(const Matrix& fock_k, const Matrix& density_k, std::span<const KPoint> kpoints,
                              BlochStabilityWorkspace& ws);

// y := H x for vectors of ws.len coordinates; one periodic response build.
void apply_bloch_hessian(const BlochRun& run, const double* x, double* y, BlochStabilityWorkspace& ws);

// The lowest eigenvalue of H at the orbitals of prepare_bloch_orbitals, by
// the molecular check's test (orbital_stability_test) and with its
// verdicts; the rotation of the lowest Ritz value in ws.davidson.ritz_vector.
StabilityCheck check_bloch_stability(const BlochRun& run, BlochStabilityWorkspace& ws);

// out := the state density_k with the occupied bands of every k-point
// turned by t along z (C_o + t C_v X^T, orthonormalised, X(k) = z_k /
// sqrt(w_k)): 2 C' (C'^H C')^-1 C'^H in place of 2 C_o C_o^H, the shares
// of levels that share electrons kept. Uses ws.a, ws.b, ws.c.
void rotate_bloch_state(const BlochRun& run, const double* z, double t, const Matrix& density_k,
                        BlochStabilityWorkspace& ws, Matrix& out);

// Line search on the energy per cell along the rotation in
// ws.davidson.ritz_vector (lowest_along_rotation), from the state
// `density_k` of electronic energy `energy`. density_k := the lowest state
// found (unchanged when none is lower); returns its electronic energy.
double descend_along_bloch_rotation(const BlochRun& run, double energy, BlochStabilityWorkspace& ws,
                                    Matrix& density_k);

// 1/2 sum_t P(R_t) . (H(R_t) + F(R_t)) for the state density_k, eV per cell.
// Uses ws.trial_r and ws.response_r.
double bloch_electronic_energy(const BlochRun& run, const Matrix& density_k, BlochStabilityWorkspace& ws);

}  // namespace quorin
