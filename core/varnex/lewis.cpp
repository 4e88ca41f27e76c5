#include "core/varnex/lewis.h"

#include <cmath>

namespace quorin {

namespace {

bool is_halogen(std::uint8_t z) { return z == 9 || z == 17 || z == 35 || z == 53; }

}  // namespace

double covalent_radius(std::uint8_t z) {
    switch (z) {
        case 1: return 0.31;
        case 2: return 0.28;
        case 3: return 1.28;
        case 4: return 0.96;
        case 5: return 0.84;
        case 6: return 0.76;
        case 7: return 0.71;
        case 8: return 0.66;
        case 9: return 0.57;
        case 10: return 0.58;
        case 11: return 1.66;
        case 12: return 1.41;
        case 13: return 1.21;
        case 14: return 1.11;
        case 15: return 1.07;
        case 16: return 1.05;
        case 17: return 1.02;
        case 18: return 1.06;
        case 30: return 1.22;
        case 53: return 1.39;
        default: return 1.20;
    }
}

std::size_t lewis_valence(std::uint8_t z) {
    switch (z) {
        case 1: case 3: case 11: return 1;
        case 2: case 4: case 12: case 30: return 2;
        case 5: case 13: return 3;
        case 7: case 15: return 5;
        case 8: case 16: return 6;
        case 9: case 17: case 35: case 53: return 7;
        case 10: case 18: return 8;
        default: return 4;
    }
}

LewisStructure construct_lewis_structure(const MolecularBatch& molecule) {
    const std::size_t n = molecule.n_atoms;
    LewisStructure lewis;
    lewis.bond_counts.assign(n, 0);
    lewis.lone_pairs.reserve(n);
    std::vector<std::size_t> order_sums(n, 0);

    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t zi = molecule.atomic_numbers[i];
        const double ri = covalent_radius(zi);
        for (std::size_t j = i + 1; j < n; ++j) {
            const std::uint8_t zj = molecule.atomic_numbers[j];
            const double r_sum = ri + covalent_radius(zj);
            const double dx = molecule.x[j] - molecule.x[i];
            const double dy = molecule.y[j] - molecule.y[i];
            const double dz = molecule.z[j] - molecule.z[i];
            const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
            if (!(d <= 1.2 * r_sum + 0.2 && d > 0.4)) continue;
            std::size_t order = 1;
            // Hydrogen and the halogens make single bonds only; otherwise the
            // shorter the bond relative to the single-bond length, the higher.
            if (zi != 1 && zj != 1 && !is_halogen(zi) && !is_halogen(zj)) {
                const double ratio = d / r_sum;
                order = ratio < 0.82 ? 3 : (ratio < 0.92 ? 2 : 1);
            }
            lewis.bonds.push_back({i, j, order, d});
            ++lewis.bond_counts[i];
            ++lewis.bond_counts[j];
            order_sums[i] += order;
            order_sums[j] += order;
        }
    }
    for (std::size_t a = 0; a < n; ++a) {
        const std::size_t valence = lewis_valence(molecule.atomic_numbers[a]);
        const std::size_t pairs = valence >= order_sums[a] ? (valence - order_sums[a]) / 2 : 0;
        lewis.lone_pairs.emplace_back(a, pairs);
    }
    return lewis;
}

}  // namespace quorin
