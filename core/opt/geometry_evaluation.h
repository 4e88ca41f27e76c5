#pragma once
// What every geometry-walking driver shares: one energy-and-gradient
// evaluation with the drivers' SCF settings, the check for a lower SCF
// solution than the one a driver follows, the frozen-coordinate mask and the
// gradient norms that all their convergence tests use.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "core/gradients/energy_and_gradient.h"
#include "core/parameters/parameter_model.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/types/molecule.h"

namespace quorin {

// A driver follows one SCF solution from geometry to geometry by warm
// starts, and that solution can stop being the lowest one (two solutions
// cross, or a warm start settles on a higher one). A converged SCF from the
// atomic guess more than this (eV) below the followed solution is another,
// lower solution; smaller differences are within the SCF tolerances.
inline constexpr double kLowerSolutionEv = 1e-4;
// Lower solutions a search may move to before it gives up, not converged.
inline constexpr std::size_t kMaxLowerSolutionMoves = 3;

// Runs one SCF ladder from the atomic guess at the molecule's geometry in
// `spare` (allocated on first use) with `settings`. When it converges more
// than kLowerSolutionEv below `followed_energy_ev`, the energy of the solution
// in `scf`, the two workspaces trade places, so that `scf` holds the lower
// solution and carries it to the next warm start, and its result is
// returned. Otherwise returns none and `scf` is untouched.
std::optional<ScfResult> adopt_lower_solution(const MolecularBatch& molecule, const ParameterModel& model,
                                              ScfWorkspace& scf, std::optional<ScfWorkspace>& spare,
                                              const SurfaceScfSettings& settings, double followed_energy_ev);

using ActiveMask = std::optional<std::span<const std::uint8_t>>;

// Sets the gradient components of frozen coordinates (zero flags) to zero.
void apply_active_mask(std::span<std::array<double, 3>> gradient, ActiveMask mask);

// (rms, max) of a gradient in eV/angstrom, returned in kcal/(mol angstrom).
// With a mask: over the active components (0, 0 when none is active). Without
// one: root mean square and largest of the per-atom gradient lengths. Stops
// when a mask does not hold three flags per atom.
std::pair<double, double> compute_effective_gradient_norms(std::span<const std::array<double, 3>> gradient,
                                                           ActiveMask mask);

// Option checks shared by the drivers; each stops with a fixed message.
void require_positive_finite(double value, const char* what);
void require_mask_length(std::span<const std::uint8_t> mask, std::size_t n_atoms);

// Atom-major flat copies between a molecule's coordinates and 3N values.
void read_flat_coordinates(const MolecularBatch& molecule, std::span<double> x);
void write_flat_coordinates(std::span<const double> x, MolecularBatch& molecule);

}  // namespace quorin
