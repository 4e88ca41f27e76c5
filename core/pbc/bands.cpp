#include "core/pbc/bands.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace quorin {

void compute_bands_and_dos(const UnitCell& cell, std::span<const TranslationIndex> translations, std::size_t n_occ,
                           std::uint64_t band_points, double dos_sigma, PbcWorkspace& ws, PbcResult& result) {
    const std::size_t n = ws.n_orbitals;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    result.kpoints = UnitCell::generate_band_path(cell, band_points);
    result.band_energies.assign(result.kpoints.size(), std::vector<double>(n, 0.0));
    result.vbm = -kInf;
    result.cbm = kInf;
    result.direct_gap = kInf;
    const bool has_gap_edges = n_occ > 0 && n_occ < n;

    double lowest = kInf;
    double highest = -kInf;
    for (std::size_t p = 0; p < result.kpoints.size(); ++p) {
        diagonalize_bloch_matrix(ws.fock_r, translations, result.kpoints[p].cartesian, ws);
        std::vector<double>& bands = result.band_energies[p];
        // Each level appears twice among the 2n eigenvalues of the embedding.
        for (std::size_t b = 0; b < n; ++b) bands[b] = ws.eigenvalues[2 * b];
        lowest = std::min(lowest, bands.front());
        highest = std::max(highest, bands.back());
        if (has_gap_edges) {
            const double homo = bands[n_occ - 1];
            const double lumo = bands[n_occ];
            result.vbm = std::max(result.vbm, homo);
            result.cbm = std::min(result.cbm, lumo);
            result.direct_gap = std::min(result.direct_gap, lumo - homo);
        }
    }
    result.band_gap = std::max(result.cbm - result.vbm, 0.0);

    // Gaussians cut at four widths, normalised per path point: the curve
    // integrates to about one per band.
    const double e_lo = lowest - 2.0;
    const double e_hi = highest + 2.0;
    const double step = (e_hi - e_lo) / static_cast<double>(kDosGridPoints);
    const double sigma = dos_sigma > 0.05 ? dos_sigma : 0.05;
    const double norm =
        1.0 / (static_cast<double>(result.kpoints.size()) * sigma * std::sqrt(2.0 * std::numbers::pi));
    result.dos_energies.resize(kDosGridPoints);
    result.dos_values.assign(kDosGridPoints, 0.0);
    for (std::size_t g = 0; g < kDosGridPoints; ++g) result.dos_energies[g] = e_lo + static_cast<double>(g) * step;
    for (const std::vector<double>& bands : result.band_energies) {
        for (const double e : bands) {
            for (std::size_t g = 0; g < kDosGridPoints; ++g) {
                const double x = result.dos_energies[g] - e;
                if (std::fabs(x) < 4.0 * sigma) result.dos_values[g] += std::exp(-x * x / (2.0 * sigma * sigma)) * norm;
            }
        }
    }
}

}  // namespace quorin
