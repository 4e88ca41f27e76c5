#include "core/properties/am1_bcc.h"

#include <algorithm>
#include <optional>

#include "core/varnex/lewis.h"

namespace quorin {

namespace {

constexpr std::uint8_t kH = 1, kC = 6, kN = 7, kO = 8, kF = 9, kP = 15, kS = 16, kCl = 17, kBr = 35, kI = 53;

using H = Hybridization;

// The table row for a bond whose first atom is (z_i, class_i), if the table
// lists the pair in this order.
std::optional<double> listed_delta(std::uint8_t z_i, H class_i, std::uint8_t z_j, H class_j, std::size_t order) {
    const bool aromatic_carbon = (z_i == kC && class_i == H::Aromatic) || (z_j == kC && class_j == H::Aromatic);
    if (z_i == kC && z_j == kH) {
        switch (class_i) {
            case H::Sp3:
            case H::Terminal: return -0.0487;
            case H::Sp2: return -0.0435;
            case H::Sp: return -0.0768;
            case H::Aromatic: return -0.0407;
        }
    }
    if (z_i == kC && z_j == kC) {
        if (class_i != H::Sp3) return std::nullopt;
        switch (class_j) {
            case H::Sp2: return -0.012;
            case H::Sp: return -0.025;
            case H::Aromatic: return -0.015;
            default: return std::nullopt;
        }
    }
    if (z_i == kC) {
        switch (z_j) {
            case kN: return order == 3 ? 0.132 : order == 2 ? 0.092 : (aromatic_carbon ? 0.038 : 0.045);
            case kO: return order == 2 ? 0.134 : (aromatic_carbon ? 0.065 : 0.075);
            case kF: return aromatic_carbon ? 0.125 : 0.142;
            case kCl: return aromatic_carbon ? 0.068 : 0.082;
            case kBr: return aromatic_carbon ? 0.051 : 0.061;
            case kI: return aromatic_carbon ? 0.035 : 0.042;
            case kS: return order == 2 ? 0.055 : 0.022;
            default: return std::nullopt;
        }
    }
    if (z_i == kH) {
        switch (z_j) {
            case kN: return 0.046;
            case kO: return 0.062;
            case kS: return 0.021;
            default: return std::nullopt;
        }
    }
    if (z_i == kN && z_j == kO) return order == 2 ? 0.11 : 0.06;
    if (z_i == kO && z_j == kP) return -0.12;
    if (z_i == kO && z_j == kS) return -0.115;
    return std::nullopt;
}

// Atoms on a six-membered ring, found from each carbon or nitrogen, whose
// six members all have fewer than four bonds.
std::vector<bool> mark_aromatic(const MolecularBatch& molecule, const LewisStructure& lewis,
                                const std::vector<std::vector<std::size_t>>& neighbours) {
    const std::size_t n = molecule.n_atoms;
    std::vector<bool> aromatic(n, false);
    const auto bonded = [&](std::size_t a, std::size_t b) {
        return std::find(neighbours[a].begin(), neighbours[a].end(), b) != neighbours[a].end();
    };
    for (std::size_t a0 = 0; a0 < n; ++a0) {
        const std::uint8_t z = molecule.atomic_numbers[a0];
        if (z != kC && z != kN) continue;
        for (const std::size_t a1 : neighbours[a0]) {
            if (a1 <= a0) continue;
            for (const std::size_t a2 : neighbours[a1]) {
                if (a2 == a0) continue;
                for (const std::size_t a3 : neighbours[a2]) {
                    if (a3 == a0 || a3 == a1) continue;
                    for (const std::size_t a4 : neighbours[a3]) {
                        if (a4 == a0 || a4 == a1 || a4 == a2) continue;
                        for (const std::size_t a5 : neighbours[a4]) {
                            if (a5 == a1 || a5 == a2 || a5 == a3 || !bonded(a5, a0)) continue;
                            const std::size_t ring[6] = {a0, a1, a2, a3, a4, a5};
                            if (std::all_of(std::begin(ring), std::end(ring),
                                            [&](std::size_t a) { return lewis.bond_counts[a] < 4; })) {
                                for (const std::size_t a : ring) aromatic[a] = true;
                            }
                        }
                    }
                }
            }
        }
    }
    return aromatic;
}

std::vector<H> classify_atoms(const MolecularBatch& molecule, const LewisStructure& lewis) {
    const std::size_t n = molecule.n_atoms;
    std::vector<std::vector<std::size_t>> neighbours(n);
    std::vector<bool> in_double_bond(n, false);
    for (const LewisBond& bond : lewis.bonds) {
        neighbours[bond.atom_i].push_back(bond.atom_j);
        neighbours[bond.atom_j].push_back(bond.atom_i);
        if (bond.order == 2) in_double_bond[bond.atom_i] = in_double_bond[bond.atom_j] = true;
    }
    const std::vector<bool> aromatic = mark_aromatic(molecule, lewis, neighbours);
    std::vector<H> classes(n, H::Sp3);
    for (std::size_t a = 0; a < n; ++a) {
        const std::size_t bonds = lewis.bond_counts[a];
        const std::uint8_t z = molecule.atomic_numbers[a];
        if (aromatic[a]) {
            classes[a] = H::Aromatic;
        } else if (bonds < 2) {
            classes[a] = H::Terminal;
        } else if (z == kC) {
            classes[a] = bonds >= 4 ? H::Sp3 : (bonds == 3 ? H::Sp2 : H::Sp);
        } else if (z == kN) {
            // A nitrogen next to a double bond (its own included) is planar.
            const bool conjugated = std::any_of(neighbours[a].begin(), neighbours[a].end(),
                                                [&](std::size_t b) { return in_double_bond[b]; });
            classes[a] = bonds == 2 || conjugated ? H::Sp2 : H::Sp3;
        } else if (z == 14 || z == kP || z == kS) {
            classes[a] = bonds < 4 ? H::Sp2 : H::Sp3;
        }
    }
    return classes;
}

}  // namespace

double lookup_bcc_delta(std::uint8_t z_i, Hybridization class_i, std::uint8_t z_j, Hybridization class_j,
                        std::size_t order) {
    if (const auto d = listed_delta(z_i, class_i, z_j, class_j, order)) return *d;
    if (const auto d = listed_delta(z_j, class_j, z_i, class_i, order)) return -*d;
    return 0.0;
}

std::variant<Am1BccResult, std::string> compute_am1_bcc_charges(const MolecularBatch& molecule,
                                                                 std::span<const double> initial_charges) {
    const std::size_t n = molecule.n_atoms;
    if (initial_charges.size() != n) {
        return "Mismatch between initial charges length (" + std::to_string(initial_charges.size()) +
               ") and number of atoms (" + std::to_string(n) + ")";
    }
    const LewisStructure lewis = construct_lewis_structure(molecule);
    const std::vector<H> classes = classify_atoms(molecule, lewis);

    Am1BccResult result;
    result.initial_charges.assign(initial_charges.begin(), initial_charges.end());
    result.bond_charge_corrections.assign(n, 0.0);
    for (const LewisBond& bond : lewis.bonds) {
        const std::size_t i = bond.atom_i, j = bond.atom_j;
        const double d = lookup_bcc_delta(molecule.atomic_numbers[i], classes[i], molecule.atomic_numbers[j],
                                          classes[j], bond.order);
        result.bond_charge_corrections[i] += d;
        result.bond_charge_corrections[j] -= d;
    }
    result.bcc_charges.resize(n);
    for (std::size_t a = 0; a < n; ++a) {
        result.bcc_charges[a] = result.initial_charges[a] + result.bond_charge_corrections[a];
        result.total_charge += result.bcc_charges[a];
    }
    return result;
}

}  // namespace quorin
