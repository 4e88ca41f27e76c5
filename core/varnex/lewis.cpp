#include "core/varnex/lewis.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "core/varnex/matching.h"

namespace quorin {

namespace {

bool is_halogen(std::uint8_t z) { return z == 9 || z == 17 || z == 35 || z == 53; }

// Pauling electronegativity; it only decides where a left-over electron pair
// goes (to the more electronegative atom).
double electronegativity(std::uint8_t z) {
    switch (z) {
        case 1: return 2.20;
        case 3: return 0.98;
        case 4: return 1.57;
        case 5: return 2.04;
        case 6: return 2.55;
        case 7: return 3.04;
        case 8: return 3.44;
        case 9: return 3.98;
        case 11: return 0.93;
        case 12: return 1.31;
        case 13: return 1.61;
        case 14: return 1.90;
        case 15: return 2.19;
        case 16: return 2.58;
        case 17: return 3.16;
        case 35: return 2.96;
        case 53: return 2.66;
        default: return 1.8;
    }
}

// Matching weight of a unit on an atom of atomic number z: the less
// electronegative the atom, the more it gains from being paired.
std::int64_t matching_preference(std::uint8_t z) { return std::llround(100.0 * (4.0 - electronegativity(z))); }

// Preference steps outweigh any sum of bond weights below.
constexpr std::int64_t kElectronegativityWeight = 1'000'000'000;

// Weight of a pi bond on `bond`: its bond order from the distance, n =
// exp((r_i + r_j - d) / 0.3 angstrom), with r_i + r_j the single-bond length
// (the logarithmic bond-order relation), in thousandths.
std::int64_t pi_bond_weight(const MolecularBatch& molecule, const LewisBond& bond) {
    const double single = covalent_radius(molecule.atomic_numbers[bond.atom_i]) +
                          covalent_radius(molecule.atomic_numbers[bond.atom_j]);
    return std::llround(1000.0 * std::exp((single - bond.distance) / 0.3));
}

// Every pair within bonding distance, i ascending, then j ascending, as
// single bonds.
std::vector<LewisBond> bonded_pairs(const MolecularBatch& molecule) {
    std::vector<LewisBond> bonds;
    for (std::size_t i = 0; i < molecule.n_atoms; ++i) {
        const double ri = covalent_radius(molecule.atomic_numbers[i]);
        for (std::size_t j = i + 1; j < molecule.n_atoms; ++j) {
            const double r_sum = ri + covalent_radius(molecule.atomic_numbers[j]);
            const double dx = molecule.x[j] - molecule.x[i];
            const double dy = molecule.y[j] - molecule.y[i];
            const double dz = molecule.z[j] - molecule.z[i];
            const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
            if (d <= 1.2 * r_sum + 0.2 && d > 0.4) bonds.push_back({i, j, 1, d});
        }
    }
    return bonds;
}

LewisStructure with_counts(std::vector<LewisBond> bonds, std::size_t n_atoms) {
    LewisStructure lewis;
    lewis.bonds = std::move(bonds);
    lewis.bond_counts.assign(n_atoms, 0);
    for (const LewisBond& bond : lewis.bonds) {
        ++lewis.bond_counts[bond.atom_i];
        ++lewis.bond_counts[bond.atom_j];
    }
    lewis.lone_pairs.reserve(n_atoms);
    return lewis;
}

// What one atom brings to the pi bonds and lone pairs once its sigma bonds
// are made, with no formal charge where the octet allows it.
struct AtomDemand {
    std::size_t capacity = 0;   // orbitals the atom may fill
    std::size_t pi_units = 0;   // unpaired electrons that ask for pi bonds
    std::size_t lone_pairs = 0;
};

// `electrons` left after the sigma bonds (negative: the atom takes electrons
// from its partners, as boron with four bonds), `free` orbitals left.
AtomDemand demand_of(long electrons, std::size_t free, std::size_t capacity, bool octet) {
    AtomDemand demand{capacity, 0, 0};
    if (electrons <= 0) return demand;
    const auto e = static_cast<std::size_t>(electrons);
    if (!octet) {
        // Beyond the octet: pairs first, a left-over electron asks for a partner.
        demand.lone_pairs = std::min(e / 2, free);
        demand.pi_units = e - 2 * demand.lone_pairs > 0 ? 1 : 0;
    } else if (e <= free) {
        demand.pi_units = e;
    } else if (e <= 2 * free) {
        demand.pi_units = 2 * free - e;
        demand.lone_pairs = e - free;
    } else {
        demand.lone_pairs = free;  // the rest leaves the atom as positive charge
    }
    return demand;
}

// The bond joining atoms a and b.
std::size_t bond_between(const std::vector<std::vector<std::size_t>>& bonds_of, const std::vector<LewisBond>& bonds,
                         std::size_t a, std::size_t b) {
    for (const std::size_t k : bonds_of[a]) {
        if (bonds[k].atom_i == b || bonds[k].atom_j == b) return k;
    }
    return bonds.size();
}

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
    std::vector<LewisBond> bonds = bonded_pairs(molecule);
    std::vector<std::size_t> order_sums(n, 0);
    for (LewisBond& bond : bonds) {
        const std::uint8_t zi = molecule.atomic_numbers[bond.atom_i], zj = molecule.atomic_numbers[bond.atom_j];
        // Hydrogen and the halogens make single bonds only; otherwise the
        // shorter the bond relative to the single-bond length, the higher.
        if (zi != 1 && zj != 1 && !is_halogen(zi) && !is_halogen(zj)) {
            const double ratio = bond.distance / (covalent_radius(zi) + covalent_radius(zj));
            bond.order = ratio < 0.82 ? 3 : (ratio < 0.92 ? 2 : 1);
        }
        order_sums[bond.atom_i] += bond.order;
        order_sums[bond.atom_j] += bond.order;
    }
    LewisStructure lewis = with_counts(std::move(bonds), n);
    for (std::size_t a = 0; a < n; ++a) {
        const std::size_t valence = lewis_valence(molecule.atomic_numbers[a]);
        const std::size_t pairs = valence >= order_sums[a] ? (valence - order_sums[a]) / 2 : 0;
        lewis.lone_pairs.emplace_back(a, pairs);
    }
    return lewis;
}

std::variant<LewisStructure, std::string> perceive_lewis_structure(const MolecularBatch& molecule,
                                                                   std::span<const std::size_t> valence_electrons) {
    const std::size_t n = molecule.n_atoms;
    LewisStructure lewis = with_counts(bonded_pairs(molecule), n);
    std::vector<LewisBond>& bonds = lewis.bonds;
    std::vector<std::vector<std::size_t>> bonds_of(n);
    for (std::size_t k = 0; k < bonds.size(); ++k) {
        bonds_of[bonds[k].atom_i].push_back(k);
        bonds_of[bonds[k].atom_j].push_back(k);
    }
    const std::size_t electrons = std::accumulate(valence_electrons.begin(), valence_electrons.end(), std::size_t{0});
    if (electrons % 2 != 0) {
        return "No closed-shell Lewis structure: " + std::to_string(electrons) + " valence electrons";
    }

    // Each atom's demand, and one matching vertex per pi unit that a bond can
    // take (at most two pi bonds per bond); other units start unpaired.
    std::vector<AtomDemand> demand(n);
    std::vector<std::size_t> unpaired(n, 0), lone(n, 0);
    std::vector<std::size_t> owner;
    std::vector<std::vector<std::size_t>> vertices_of(n);
    GraphMatching matching;
    for (std::size_t a = 0; a < n; ++a) {
        const std::size_t orbitals = molecule.orbitals_per_atom[a];
        const std::size_t degree = lewis.bond_counts[a];
        if (orbitals == 1 && degree >= 2) {
            return "Atom " + std::to_string(a) + " has " + std::to_string(degree) + " bonds but only one orbital";
        }
        const std::size_t octet = std::min<std::size_t>(orbitals, 4);
        const bool within_octet = degree <= octet && valence_electrons[a] <= 2 * octet;
        const std::size_t capacity = within_octet ? octet : orbitals;
        if (degree > capacity) {
            return "Atom " + std::to_string(a) + " has " + std::to_string(degree) + " bonds but only " +
                   std::to_string(capacity) + " orbitals";
        }
        const long left = static_cast<long>(valence_electrons[a]) - static_cast<long>(degree);
        demand[a] = demand_of(left, capacity - degree, capacity, within_octet);
        lone[a] = demand[a].lone_pairs;
        const std::size_t matchable = std::min(demand[a].pi_units, 2 * degree);
        unpaired[a] = demand[a].pi_units - matchable;
        for (std::size_t c = 0; c < matchable; ++c) {
            vertices_of[a].push_back(matching.add_vertex());
            owner.push_back(a);
        }
    }
    if (electrons / 2 < bonds.size()) {
        return "No closed-shell Lewis structure: " + std::to_string(electrons) + " valence electrons cannot fill " +
               std::to_string(bonds.size()) + " bonds";
    }
    const auto connect = [&](std::size_t v) {
        const std::size_t a = owner[v];
        for (const std::size_t k : bonds_of[a]) {
            const std::size_t b = bonds[k].atom_i == a ? bonds[k].atom_j : bonds[k].atom_i;
            for (const std::size_t w : vertices_of[b]) matching.add_edge(v, w);
        }
    };
    for (std::size_t v = 0; v < owner.size(); ++v) {
        const std::size_t a = owner[v];
        for (const std::size_t k : bonds_of[a]) {
            const std::size_t b = bonds[k].atom_i == a ? bonds[k].atom_j : bonds[k].atom_i;
            if (b < a) continue;
            for (const std::size_t w : vertices_of[b]) matching.add_edge(v, w);
        }
    }
    // A largest matching: its size alone is read until the weighted
    // matching below picks which units pair.
    std::vector<std::size_t> order(owner.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    matching.match_greedily(order);
    for (const std::size_t v : order) matching.augment_from(v);

    const auto count_free_units = [&] {
        std::size_t units = std::accumulate(unpaired.begin(), unpaired.end(), std::size_t{0});
        for (std::size_t v = 0; v < owner.size(); ++v) units += matching.mate(v) == GraphMatching::kUnmatched;
        return units;
    };
    const auto pairs_placed = [&] {
        std::size_t matched = 0;
        for (std::size_t v = 0; v < owner.size(); ++v) matched += matching.mate(v) != GraphMatching::kUnmatched;
        return matched / 2 + std::accumulate(lone.begin(), lone.end(), std::size_t{0});
    };
    const long pairs_needed = static_cast<long>(electrons / 2 - bonds.size());

    // Too few pairs for the unpaired units: turn a lone pair into one more pi
    // bond on an atom that then carries a positive charge (nitro groups,
    // N-oxides, carbon monoxide), as long as that pairs up another unit.
    std::vector<std::size_t> donors(n);
    std::iota(donors.begin(), donors.end(), std::size_t{0});
    std::stable_sort(donors.begin(), donors.end(), [&](std::size_t a, std::size_t b) {
        return electronegativity(molecule.atomic_numbers[a]) < electronegativity(molecule.atomic_numbers[b]);
    });
    bool converted = true;
    while (converted && pairs_needed - static_cast<long>(pairs_placed()) < static_cast<long>(count_free_units())) {
        converted = false;
        for (const std::size_t a : donors) {
            if (lone[a] == 0 || vertices_of[a].size() >= 2 || lewis.bond_counts[a] == 0) continue;
            const std::size_t v = matching.add_vertex();
            owner.push_back(a);
            vertices_of[a].push_back(v);
            connect(v);
            if (matching.augment_from(v)) {
                --lone[a];
                converted = true;
                break;
            }
            vertices_of[a].pop_back();
            owner.pop_back();
            matching.remove_last_vertex();
        }
    }

    // Which units pair up: of the matchings of this largest size, the one
    // that leaves the unpaired units on the most electronegative atoms, where
    // an extra electron pair is best held, and then puts the pi bonds on the
    // shortest bonds, so that the structure is the one the geometry shows
    // whatever the atom order.
    std::vector<WeightedEdge> weighted;
    for (std::size_t v = 0; v < owner.size(); ++v) {
        const std::size_t a = owner[v];
        for (const std::size_t k : bonds_of[a]) {
            const std::size_t b = bonds[k].atom_i == a ? bonds[k].atom_j : bonds[k].atom_i;
            if (b < a) continue;
            const std::int64_t weight = kElectronegativityWeight * (matching_preference(molecule.atomic_numbers[a]) +
                                                                    matching_preference(molecule.atomic_numbers[b])) +
                                        pi_bond_weight(molecule, bonds[k]);
            for (const std::size_t w : vertices_of[b]) weighted.push_back({v, w, weight});
        }
    }
    const std::vector<std::size_t> mate = maximum_weight_matching(owner.size(), weighted);

    // The pi bonds of the matching; then the electron pairs still to place:
    // first on unpaired units, most electronegative atoms first, then into
    // empty orbitals; too many pairs leave the least electronegative atoms.
    std::vector<std::size_t> units;  // one atom entry per unpaired unit
    for (std::size_t a = 0; a < n; ++a) units.insert(units.end(), unpaired[a], a);
    for (std::size_t v = 0; v < owner.size(); ++v) {
        const std::size_t w = mate[v];
        if (w == GraphMatching::kUnmatched) {
            units.push_back(owner[v]);
        } else if (v < w) {
            ++bonds[bond_between(bonds_of, bonds, owner[v], owner[w])].order;
        }
    }
    long remaining = pairs_needed - static_cast<long>(pairs_placed());
    std::vector<std::size_t> atoms(n);
    std::iota(atoms.begin(), atoms.end(), std::size_t{0});
    const auto more_electronegative = [&](std::size_t a, std::size_t b) {
        return electronegativity(molecule.atomic_numbers[a]) > electronegativity(molecule.atomic_numbers[b]);
    };
    std::stable_sort(units.begin(), units.end(), more_electronegative);
    for (std::size_t k = 0; k < units.size() && remaining > 0; ++k, --remaining) ++lone[units[k]];
    std::stable_sort(atoms.begin(), atoms.end(), more_electronegative);
    std::vector<std::size_t> pi_bonds(n, 0);
    for (const LewisBond& bond : bonds) {
        pi_bonds[bond.atom_i] += bond.order - 1;
        pi_bonds[bond.atom_j] += bond.order - 1;
    }
    // Empty valence orbitals first, then orbitals beyond the octet.
    for (const bool beyond_octet : {false, true}) {
        for (const std::size_t a : atoms) {
            const std::size_t used = lewis.bond_counts[a] + pi_bonds[a] + lone[a];
            const std::size_t limit = beyond_octet ? molecule.orbitals_per_atom[a] : demand[a].capacity;
            const std::size_t room = std::max(limit, used) - used;
            const auto added = static_cast<std::size_t>(std::min<long>(remaining, static_cast<long>(room)));
            lone[a] += added;
            remaining -= static_cast<long>(added);
        }
    }
    for (auto a = atoms.rbegin(); a != atoms.rend() && remaining < 0; ++a) {
        const auto removed = static_cast<std::size_t>(std::min<long>(-remaining, static_cast<long>(lone[*a])));
        lone[*a] -= removed;
        remaining += static_cast<long>(removed);
    }
    if (remaining != 0) {
        return "No closed-shell Lewis structure: " + std::to_string(electrons) +
               " valence electrons do not fit the orbitals of the bonded atoms";
    }
    for (std::size_t a = 0; a < n; ++a) lewis.lone_pairs.emplace_back(a, lone[a]);
    return lewis;
}

std::vector<int> formal_charges(const LewisStructure& lewis, std::span<const std::size_t> valence_electrons) {
    std::vector<int> charges(valence_electrons.size());
    for (std::size_t a = 0; a < charges.size(); ++a) charges[a] = static_cast<int>(valence_electrons[a]);
    for (const auto& [atom, pairs] : lewis.lone_pairs) charges[atom] -= 2 * static_cast<int>(pairs);
    for (const LewisBond& bond : lewis.bonds) {
        charges[bond.atom_i] -= static_cast<int>(bond.order);
        charges[bond.atom_j] -= static_cast<int>(bond.order);
    }
    return charges;
}

}  // namespace quorin
