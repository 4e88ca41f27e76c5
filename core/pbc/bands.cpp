#include "core/pbc/bands.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numbers>
#include <vector>

#include "core/types/interruption.h"

namespace quorin {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The search steps start at 1/32 of a reciprocal vector and stop below
// 1e-4 of one: a band edge found to that precision moves the gap of a linear
// band crossing by a few meV at most.
constexpr double kFirstStep = 1.0 / 32.0;
constexpr double kLastStep = 1e-4;
// Moves allowed at one step length before it is halved regardless.
constexpr int kMovesPerStep = 32;
static_assert(kFirstStep / 256.0 >= kLastStep && kFirstStep / 512.0 < kLastStep && kMovesPerStep == 32,
              "kBandSearchPoints counts nine step lengths of 32 moves");

// Highest occupied and lowest empty level at one k-point.
struct LevelPair {
    double homo = 0;
    double lumo = 0;
};

// The levels at fractional k-points, each point diagonalised once: the three
// searches below often start from the same sample and try the same points.
class LevelMap {
public:
    LevelMap(const UnitCell& cell, std::span<const TranslationIndex> translations, std::size_t n_occ,
             PbcWorkspace& ws)
        : cell_(cell), translations_(translations), n_occ_(n_occ), ws_(ws) {}

    LevelPair at(const Vec3& fractional) {
        const auto found = seen_.find(fractional);
        if (found != seen_.end()) return found->second;
        check_interruption();
        bloch_levels(ws_.fock_r, translations_, reciprocal_point(cell_, fractional), ws_);
        const LevelPair levels{ws_.levels[n_occ_ - 1], ws_.levels[n_occ_]};
        seen_.emplace(fractional, levels);
        return levels;
    }

private:
    const UnitCell& cell_;
    std::span<const TranslationIndex> translations_;
    std::size_t n_occ_;
    PbcWorkspace& ws_;
    std::map<Vec3, LevelPair> seen_;
};

// Coefficients of k along the cell's reciprocal vectors: k . a_i / (2 pi).
Vec3 fractional_in(const UnitCell& cell, const Vec3& k) {
    return {dot(k, cell.a1) / (2.0 * std::numbers::pi), dot(k, cell.a2) / (2.0 * std::numbers::pi),
            dot(k, cell.a3) / (2.0 * std::numbers::pi)};
}

using LevelScore = double (*)(const LevelPair&);
double valence_score(const LevelPair& l) { return l.homo; }
double conduction_score(const LevelPair& l) { return -l.lumo; }
double direct_score(const LevelPair& l) { return l.homo - l.lumo; }

// Where a score of the levels is largest among the points seen so far.
struct Best {
    Vec3 fractional{};
    double score = -kInf;
    void offer(const Vec3& f, double value) {
        if (value > score) {
            score = value;
            fractional = f;
        }
    }
};

// Pattern search: from the best sample, step along every combination of the
// cell's reciprocal axes (-1, 0 or +1 of each) and move wherever the score
// grows; halve the step when no neighbour does. It compares values only, so
// it reaches the tip of a cone (two bands crossing) as well as a smooth
// extremum.
void climb(Best& best, LevelScore score, LevelMap& levels, std::uint8_t dimension) {
    std::vector<Vec3> directions;
    const int r2 = dimension >= 2 ? 1 : 0, r3 = dimension == 3 ? 1 : 0;
    for (int i = -1; i <= 1; ++i) {
        for (int j = -r2; j <= r2; ++j) {
            for (int l = -r3; l <= r3; ++l) {
                if (i != 0 || j != 0 || l != 0) directions.push_back({double(i), double(j), double(l)});
            }
        }
    }
    for (double step = kFirstStep; step >= kLastStep; step *= 0.5) {
        for (int move = 0; move < kMovesPerStep; ++move) {
            bool moved = false;
            for (const Vec3& d : directions) {
                const Vec3 trial = {best.fractional[0] + step * d[0], best.fractional[1] + step * d[1],
                                    best.fractional[2] + step * d[2]};
                const double value = score(levels.at(trial));
                if (value > best.score + 1e-12) {
                    best = {trial, value};
                    moved = true;
                    break;
                }
            }
            if (!moved) break;
        }
    }
}

}  // namespace

double compute_bands_and_dos(const UnitCell& path_cell, const UnitCell& grid_cell,
                           std::span<const TranslationIndex> translations, std::span<const KPoint> grid,
                           std::size_t n_occ, std::uint64_t band_points, double dos_sigma, PbcWorkspace& ws,
                           PbcResult& result) {
    const std::size_t n = ws.n_orbitals;
    result.kpoints = UnitCell::generate_band_path(path_cell, band_points);
    result.band_energies.assign(result.kpoints.size(), std::vector<double>(n, 0.0));
    result.vbm = -kInf;
    result.cbm = kInf;
    result.direct_gap = kInf;
    const bool has_gap_edges = n_occ > 0 && n_occ < n;
    double sampled_gap = kInf;

    // Largest homo, smallest lumo and smallest same-point gap, as scores to
    // maximise.
    Best valence, conduction, direct;
    const auto offer = [&](const Vec3& f, const LevelPair& levels) {
        valence.offer(f, valence_score(levels));
        conduction.offer(f, conduction_score(levels));
        direct.offer(f, direct_score(levels));
    };

    double lowest = kInf;
    double highest = -kInf;
    for (std::size_t p = 0; p < result.kpoints.size(); ++p) {
        check_interruption();
        bloch_levels(ws.fock_r, translations, result.kpoints[p].cartesian, ws);
        std::vector<double>& bands = result.band_energies[p];
        for (std::size_t b = 0; b < n; ++b) bands[b] = ws.levels[b];
        lowest = std::min(lowest, bands.front());
        highest = std::max(highest, bands.back());
        if (has_gap_edges) {
            offer(fractional_in(grid_cell, result.kpoints[p].cartesian), {bands[n_occ - 1], bands[n_occ]});
        }
    }
    if (has_gap_edges) {
        LevelMap levels(grid_cell, translations, n_occ, ws);
        for (const KPoint& k : grid) {
            const LevelPair pair = levels.at(k.fractional);
            offer(k.fractional, pair);
            sampled_gap = std::min(sampled_gap, pair.lumo - pair.homo);
        }
        climb(valence, valence_score, levels, grid_cell.dimension);
        climb(conduction, conduction_score, levels, grid_cell.dimension);
        climb(direct, direct_score, levels, grid_cell.dimension);
        result.vbm = valence.score;
        result.cbm = -conduction.score;
        result.direct_gap = -direct.score;
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
    return sampled_gap;
}

}  // namespace quorin
