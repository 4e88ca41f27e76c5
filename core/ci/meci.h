#pragma once
// Multi-electron configuration interaction in an active window of a converged
// closed-shell SCF: CI roots with spin labels and excitation energies, the
// energy of a chosen root and its one-particle density.
#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/ci/ci_matrix.h"
#include "core/ci/microstates.h"
#include "core/parameters/parameter_model.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// Excitation energy (eV) below which a root has no wavelength, absorbs
// nothing and forms no band.
inline constexpr double kMinExcitationEv = 1e-4;

// Roots closer than this (eV) count as degenerate: their vectors are made
// eigenfunctions of S^2.
inline constexpr double kDegenerateRootsEv = 1e-6;

// SCF convergence under a CI: energy change (eV) and density change.
inline constexpr double kCiScfEnergyTolerance = 1e-10;
inline constexpr double kCiScfDensityTolerance = 1e-9;

struct CiState {
    std::vector<double> coefficients;  // CI vector over the microstates
    std::string spin_label;            // "SINGLET", "DOUBLET", ..., "SEXTET", "MULTIPLET"
    double s_squared = 0.0;            // <S^2>, never negative
    double spin = 0.0;                 // S
    std::size_t multiplicity = 0;      // 2S + 1 rounded
    std::size_t root = 0;              // 1-based, ascending energy
    double energy_ev = 0.0;            // eigenvalue, relative to microstate 0's diagonal energy
    double excitation_energy_ev = 0.0;
    double excitation_energy_cm1 = 0.0;
    double wavelength_nm = 0.0;        // 0 for the lowest root and near-degenerate ones
    std::array<double, 3> transition_dipole_debye{};  // |x|, |y|, |z| components from root 1
    double dipole_strength_debye = 0.0;
    std::array<double, 3> polarization_angstrom2{};   // squared components, (e angstrom)^2
    double oscillator_strength = 0.0;
};

struct MeciResult {
    std::vector<CiState> states;           // one per microstate, ascending energy
    std::vector<Microstate> microstates;   // with absolute diagonal energies
    std::size_t target_root = 1;           // 1-based, as used
    double ci_energy_correction_ev = 0.0;  // energy_ev of the target root
    double electronic_energy_ev = 0.0;     // SCF electronic energy + correction
    double total_energy_ev = 0.0;          // SCF total energy + correction
    double heat_of_formation_kcal_mol = 0.0;
    Matrix state_density;                  // n_basis x n_basis AO density of the target root
};

// The window of a request: n_occ doubly occupied MOs of the closed-shell
// SCF, and the MOs first .. first + n - 1 that hold the active electrons'
// ceil(N/2) highest occupied levels and the lowest virtual ones above them.
struct ActiveWindow {
    std::size_t n_occupied = 0;
    std::size_t first = 0;
    std::vector<std::size_t> indices;  // MO numbers in window order
};

// Smallest gap (eV) between the MO at an edge of the active window and its
// neighbour outside. Closer MOs may cross under a small change of geometry,
// and the window then takes the other one: the CI energy jumps (0.4 eV for
// pyridine under AM1) and, near the crossing, turns as fast as the two MOs
// mix. A window that splits a degenerate level also holds only part of its
// states.
inline constexpr double kWindowEdgeGapEv = 0.01;

// Stops with "Not enough occupied MOs (n_occ) for active electrons (N)" or
// "Active space exceeds total molecular orbitals". Given the SCF's MO
// energies, also refuses (RequestError) a window whose edge lies within
// kWindowEdgeGapEv of the next MO outside, naming the two MOs, their gap and
// the active_orbitals (both edges moved by the same number of MOs) whose
// window edges are clear.
ActiveWindow choose_active_window(const MolecularBatch& molecule, const ParameterModel& model,
                                  const MeciOptions& options, std::span<const double> orbital_energies = {});

// Refuses (RequestError) a 1-based target root outside 1 .. n_states.
void check_target_root(std::size_t target_root, std::size_t n_states);

// Continues a converged SCF (`converged`, in `scf`) from its own density to
// kCiScfEnergyTolerance and kCiScfDensityTolerance, with the iteration budget
// of `options`, and returns the continued result. The CI energy, unlike the
// SCF energy, is not stationary in the orbitals: an SCF stopped at a density
// change d leaves errors of order d in the CI energies and the roots'
// gradients, large where MOs nearly coincide at the window's edge. Where the
// continuation does not converge, the result and what the CI reads of `scf`
// (density, MO coefficients and energies) stay as they were.
ScfResult converge_scf_for_ci(const MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                              const ScfOptions& options, const ScfResult& converged);

// Runs the CI on the SCF's MO coefficients (one MO per column, ascending
// energy) and MO energies. Replaces `workspace` when its shape does not fit
// the request. Stops, before anything is allocated, when N > 2n, when the
// window does not fit, or when the CI would exceed kMaxMicrostates; refuses
// a window edge between MOs closer than kWindowEdgeGapEv and a target root
// outside 1 .. number of microstates.
MeciResult run_meci(const MolecularBatch& molecule, const ParameterModel& model, const Matrix& coefficients,
                    std::span<const double> orbital_energies, double electronic_energy_ev, double total_energy_ev,
                    const MeciOptions& options, MeciWorkspace& workspace);

// SCF density plus Cact (D_CI - D_ref) Cact^T: the one-particle density of
// the CI vector `ci_vector` minus that of the reference determinant, carried
// into the AO basis by the window's MO columns `active`.
Matrix compute_ci_state_density(std::size_t n_basis, const Matrix& coefficients, std::span<const std::size_t> active,
                                std::span<const Microstate> microstates, std::span<const double> ci_vector,
                                std::span<const double> reference_occupations, const Matrix& scf_density);

}  // namespace quorin
