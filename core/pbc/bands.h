#pragma once
// Band structure of a converged (or abandoned) periodic SCF: band energies
// along the high-symmetry path, band edges and gaps over the whole zone, and
// a Gaussian-broadened density of states sampled on the path points.
#include <cstddef>
#include <span>

#include "core/pbc/bloch_scf.h"

namespace quorin {

inline constexpr std::size_t kDosGridPoints = 300;

// Most points the band-edge search diagonalises besides the path and the
// grid (three searches, nine step lengths, 32 moves of up to 26
// directions), and the bytes each point it remembers holds.
inline constexpr std::size_t kBandSearchPoints = 3 * 9 * 32 * 26;
inline constexpr std::size_t kLevelMapNodeBytes = 96;

// Fills kpoints, band_energies, vbm, cbm, direct_gap, band_gap, dos_energies
// and dos_values of `result` from the Fock blocks workspace.fock_r. The band
// path is that of `path_cell`, the cell as the caller gave it. The band edges
// and the direct gap are taken over the path and the SCF's k-points `grid`
// (fractional in `grid_cell`, the same lattice), then followed from the best
// of them along grid_cell's reciprocal axes to the nearby extremum, which in
// general lies between samples (a band crossing at a zone corner, say).
// Edges are tested only when 0 < n_occ < n; otherwise vbm stays -inf and cbm
// and both gaps +inf. Returns the smallest direct gap over the grid's own
// points (+inf when untested).
double compute_bands_and_dos(const UnitCell& path_cell, const UnitCell& grid_cell,
                           std::span<const TranslationIndex> translations, std::span<const KPoint> grid,
                           std::size_t n_occ, std::uint64_t band_points, double dos_sigma, PbcWorkspace& workspace,
                           PbcResult& result);

}  // namespace quorin
