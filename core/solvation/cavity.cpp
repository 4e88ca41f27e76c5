#include "core/solvation/cavity.h"

#include <cmath>

#include "core/solvation/tessellation.h"
#include "core/types/errors.h"
#include "core/types/interruption.h"

namespace quorin {
namespace {

// Van der Waals radii (angstrom) for Z = 1..86, indexed Z - 1.
constexpr double kBaseRadius[86] = {
    1.2,  1.4,  1.82, 1.87, 1.69, 1.7,  1.55, 1.52, 1.47, 1.54,  // 1-10
    2.27, 1.73, 2.06, 2.1,  1.8,  1.8,  1.75, 1.88, 2.75, 2.17,  // 11-20
    2.26, 2.26, 2.15, 2.05, 2.1,  2.06, 2.05, 1.63, 1.4,  1.39,  // 21-30
    1.87, 2.1,  1.85, 1.9,  1.85, 2.02, 3.23, 2.94, 2.9,  2.85,  // 31-40
    2.8,  2.2,  2.2,  2.2,  2.2,  1.63, 1.72, 1.58, 1.93, 2.17,  // 41-50
    2.16, 2.06, 1.98, 2.16, 3.42, 2.97, 2.4,  2.4,  2.4,  2.4,   // 51-60
    2.4,  2.4,  2.4,  2.4,  2.4,  2.4,  2.4,  2.4,  2.4,  2.4,   // 61-70
    2.4,  2.2,  2.2,  2.2,  2.2,  2.2,  2.2,  1.75, 1.66, 1.55,  // 71-80
    1.96, 2.02, 2.26, 2.26, 2.25, 2.3};                          // 81-86

std::array<double, 3> unit_or_x(const std::array<double, 3>& s) {
    const double len = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
    return len > 1e-12 ? std::array<double, 3>{s[0] / len, s[1] / len, s[2] / len}
                       : std::array<double, 3>{1.0, 0.0, 0.0};
}

// Joins, one pair at a time and the most nearly coincident first, the bins of
// one atom whose segments would lie closer than kCoincidentSegmentFraction of
// the geometric mean of their sizes: the later bin's points go to the earlier
// one, as if both coarse points were one.
void merge_coincident_bins(std::vector<double>& area, std::vector<std::array<double, 3>>& direction,
                           std::vector<bool>& used, std::size_t n_bins, double radius,
                           std::vector<std::array<double, 3>>& normal) {
    constexpr double kFraction4 = kCoincidentSegmentFraction * kCoincidentSegmentFraction *
                                  kCoincidentSegmentFraction * kCoincidentSegmentFraction;
    for (std::size_t m = 0; m < n_bins; ++m) {
        if (used[m]) normal[m] = unit_or_x(direction[m]);
    }
    for (;;) {
        // (r^4 / (a_s a_t)) / fraction^4 below 1 means closer than the limit.
        double closest = 1.0;
        std::size_t keep = 0, join = 0;
        for (std::size_t t = 0; t < n_bins; ++t) {
            if (!used[t]) continue;
            for (std::size_t s = 0; s < t; ++s) {
                if (!used[s]) continue;
                double r2 = 0.0;
                for (int c = 0; c < 3; ++c) r2 += (normal[s][c] - normal[t][c]) * (normal[s][c] - normal[t][c]);
                r2 *= radius * radius;
                const double measure = r2 * r2 / (area[s] * area[t] * kFraction4);
                if (measure < closest) {
                    closest = measure;
                    keep = s;
                    join = t;
                }
            }
        }
        if (closest >= 1.0) return;
        area[keep] += area[join];
        for (int c = 0; c < 3; ++c) direction[keep][c] += direction[join][c];
        normal[keep] = unit_or_x(direction[keep]);
        used[join] = false;
    }
}

}  // namespace

double cosmo_atomic_radius_angstrom(std::uint8_t z) {
    switch (z) {
        case 0: return 2.0;
        case 1: return 1.3;
        case 5: return 2.0475;
        case 6: return 2.0;
        case 7: return 1.83;
        case 8:
        case 9: return 1.72;
        case 14: return 2.457;
        case 15: return 2.106;
        case 16:
        case 35: return 2.16;
        case 17: return 2.05;
        case 33:
        case 34: return 2.223;
        case 53: return 2.32;
        default: break;
    }
    if (z <= 86) return 1.17 * kBaseRadius[z - 1];
    return 2.0;
}

CosmoCavity CosmoCavity::construct(const MolecularBatch& molecule, double solvent_radius_angstrom) {
    const std::size_t n_atoms = molecule.n_atoms;
    if (n_atoms == 0) throw EngineStop("Molecular batch cannot be empty for COSMO");

    const std::vector<SpherePoint> fine = generate_sphere_tessellation(1082);
    const std::vector<SpherePoint> coarse42 = generate_sphere_tessellation(42);
    const std::vector<SpherePoint> coarse12 = generate_sphere_tessellation(12);

    std::vector<double> probe_radius_sq(n_atoms);
    std::vector<double> radius(n_atoms);
    for (std::size_t j = 0; j < n_atoms; ++j) {
        radius[j] = cosmo_atomic_radius_angstrom(molecule.atomic_numbers[j]);
        const double r = radius[j] + solvent_radius_angstrom;
        probe_radius_sq[j] = r * r;
    }

    // Fine points gathered per coarse point: accumulated area and area-weighted direction.
    std::vector<double> bin_area(42);
    std::vector<std::array<double, 3>> bin_direction(42);
    std::vector<bool> bin_used(42);
    std::vector<std::array<double, 3>> bin_normal(42);

    CosmoCavity cavity;
    for (std::size_t i = 0; i < n_atoms; ++i) {
        check_interruption();
        const std::vector<SpherePoint>& coarse = molecule.atomic_numbers[i] == 1 ? coarse12 : coarse42;
        const double ci[3] = {molecule.x[i], molecule.y[i], molecule.z[i]};
        const double ri = radius[i];
        const double probe = ri + solvent_radius_angstrom;
        for (std::size_t m = 0; m < coarse.size(); ++m) {
            bin_area[m] = 0.0;
            bin_direction[m] = {0.0, 0.0, 0.0};
            bin_used[m] = false;
        }

        for (const SpherePoint& u : fine) {
            const double px = ci[0] + probe * u.x;
            const double py = ci[1] + probe * u.y;
            const double pz = ci[2] + probe * u.z;
            bool buried = false;
            for (std::size_t j = 0; j < n_atoms && !buried; ++j) {
                if (j == i) continue;
                const double dx = px - molecule.x[j];
                const double dy = py - molecule.y[j];
                const double dz = pz - molecule.z[j];
                buried = dx * dx + dy * dy + dz * dz < probe_radius_sq[j];
            }
            if (buried) continue;

            std::size_t best = 0;
            double best_dot = -2.0;
            for (std::size_t m = 0; m < coarse.size(); ++m) {
                const double dot = u.x * coarse[m].x + u.y * coarse[m].y + u.z * coarse[m].z;
                if (dot > best_dot) {
                    best_dot = dot;
                    best = m;
                }
            }
            const double a = u.weight * ri * ri;
            bin_area[best] += a;
            bin_direction[best][0] += a * u.x;
            bin_direction[best][1] += a * u.y;
            bin_direction[best][2] += a * u.z;
            bin_used[best] = true;
        }

        merge_coincident_bins(bin_area, bin_direction, bin_used, coarse.size(), ri, bin_normal);
        for (std::size_t m = 0; m < coarse.size(); ++m) {
            if (!bin_used[m]) continue;
            CavitySegment seg;
            seg.normal = unit_or_x(bin_direction[m]);
            for (int c = 0; c < 3; ++c) seg.position[c] = ci[c] + ri * seg.normal[c];
            seg.area = bin_area[m];
            seg.atom = i;
            cavity.total_area += seg.area;
            cavity.volume += seg.area *
                             (seg.normal[0] * seg.position[0] + seg.normal[1] * seg.position[1] +
                              seg.normal[2] * seg.position[2]) /
                             3.0;
            cavity.segments.push_back(seg);
        }
    }
    return cavity;
}

}  // namespace quorin
