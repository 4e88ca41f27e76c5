#include "core/varnex/stability.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "core/scf/eigensolver.h"
#include "core/types/interruption.h"
#include "core/varnex/locmin.h"
#include "core/varnex/orthogonalize.h"

namespace quorin {

namespace {

// Entries of trial densities, and of their responses times an orbital (eV),
// below this are left out: far below what moves the eigenvalue.
constexpr double kNegligible = 1e-10;
// Singular values of a split bond's density block up to this belong to no
// bond channel (a full pair in a two-centre orbital gives 1).
constexpr double kChannelWeight = 0.5;

// m += a b^T on the pattern of m (pairs out of its reach, and block
// products below kNegligible in every entry, left out). `b_largest` holds
// the largest entry of each block of b.
void add_outer(const SparseVector& a, const SparseVector& b, const std::vector<double>& b_largest, BlockMatrix& m) {
    const AtomNeighbours& nb = *m.pattern;
    for (std::size_t k = 0; k < a.atoms.size(); ++k) {
        const std::uint32_t atom = a.atoms[k];
        const double* x = a.block(k);
        const std::size_t na = a.block_size(k);
        std::size_t position = nb.row_start[atom];
        const std::size_t end = nb.row_start[atom + 1];
        const double largest = largest_entry(x, na);
        for (std::size_t l = 0; l < b.atoms.size(); ++l) {
            while (position < end && nb.atom[position] < b.atoms[l]) ++position;
            if (position == end) break;
            if (nb.atom[position] != b.atoms[l] || largest * b_largest[l] < kNegligible) continue;
            const double* y = b.block(l);
            const std::size_t nl = b.block_size(l);
            double* ab = m.block(position);
            for (std::size_t mu = 0; mu < na; ++mu) {
                for (std::size_t nu = 0; nu < nl; ++nu) ab[mu * nl + nu] += x[mu] * y[nu];
            }
        }
    }
}

// m := m + m^T, block by block.
void symmetrize(const MolecularBatch& molecule, BlockMatrix& m) {
    const AtomNeighbours& nb = *m.pattern;
    for (std::size_t atom = 0; atom < molecule.n_atoms; ++atom) {
        const std::size_t na = molecule.orbitals_per_atom[atom];
        for (std::size_t position = nb.row_start[atom]; position < nb.row_start[atom + 1]; ++position) {
            const std::uint32_t other = nb.atom[position];
            if (other < atom) continue;
            const std::size_t nl = molecule.orbitals_per_atom[other];
            double* ab = m.block(position);
            double* ba = m.block(nb.transpose[position]);
            for (std::size_t mu = 0; mu < na; ++mu) {
                for (std::size_t nu = other == atom ? mu : 0; nu < nl; ++nu) {
                    const double sum = ab[mu * nl + nu] + ba[nu * na + mu];
                    ab[mu * nl + nu] = sum;
                    ba[nu * na + mu] = sum;
                }
            }
        }
    }
}

}  // namespace

LmoStability::LmoStability(const MolecularBatch& molecule, const std::vector<Lmo>& occupied,
                           const std::vector<Lmo>& virtuals, double cutoff_angstrom,
                           std::span<const int> formal_charges)
    : molecule_(molecule), accumulator_(molecule) {
    // The atoms of split bonds: negative ones with a lone pair (-1),
    // positive ones with an empty hybrid (+1), when there are both.
    std::vector<int> role(molecule.n_atoms, 0);
    const auto one_centre_charge = [&](const Lmo& lmo, LmoType type) {
        return formal_charges.empty() || lmo.lmo_type != type ? 0 : formal_charges[lmo.atom_indices[0]];
    };
    std::vector<std::uint32_t> negative, positive;
    for (const Lmo& lmo : occupied) {
        if (one_centre_charge(lmo, LmoType::LonePair) < 0 && role[lmo.atom_indices[0]] == 0) {
            role[lmo.atom_indices[0]] = -1;
            negative.push_back(static_cast<std::uint32_t>(lmo.atom_indices[0]));
        }
    }
    for (const Lmo& lmo : virtuals) {
        if (one_centre_charge(lmo, LmoType::VirtualHybrid) > 0 && role[lmo.atom_indices[0]] == 0) {
            role[lmo.atom_indices[0]] = 1;
            positive.push_back(static_cast<std::uint32_t>(lmo.atom_indices[0]));
        }
    }
    if (negative.empty() || positive.empty()) role.assign(molecule.n_atoms, 0);
    // A split bond joins each of these atoms to its nearest partner.
    const auto nearest = [&](std::uint32_t atom, const std::vector<std::uint32_t>& partners) {
        const auto distance2 = [&](std::uint32_t other) {
            const double dx = molecule.x[other] - molecule.x[atom], dy = molecule.y[other] - molecule.y[atom],
                         dz = molecule.z[other] - molecule.z[atom];
            return dx * dx + dy * dy + dz * dz;
        };
        return *std::min_element(partners.begin(), partners.end(),
                                 [&](std::uint32_t p, std::uint32_t q) { return distance2(p) < distance2(q); });
    };
    if (!negative.empty() && !positive.empty()) {
        for (const std::uint32_t a : negative) split_bonds_.emplace_back(a, nearest(a, positive));
        for (const std::uint32_t b : positive) split_bonds_.emplace_back(nearest(b, negative), b);
        std::sort(split_bonds_.begin(), split_bonds_.end());
        split_bonds_.erase(std::unique(split_bonds_.begin(), split_bonds_.end()), split_bonds_.end());
    }
    const auto on_split_atom = [&](const Lmo& lmo) {
        return std::any_of(lmo.atom_indices.begin(), lmo.atom_indices.end(), [&](std::size_t a) { return role[a]; });
    };
    const auto split_end = [&](const Lmo& lmo, LmoType type, int sign) {
        return lmo.lmo_type == type && role[lmo.atom_indices[0]] == sign;
    };

    // The pi bonds and antibonds, and every orbital on an atom of a split bond.
    std::vector<Lmo> chosen_occupied, chosen_virtuals;
    for (std::size_t k = 0; k < occupied.size(); ++k) {
        if (occupied[k].lmo_type != LmoType::BondingPi && !on_split_atom(occupied[k])) continue;
        occupied_.push_back(static_cast<std::uint32_t>(k));
        chosen_occupied.push_back(occupied[k]);
    }
    std::vector<std::uint32_t> split_hybrids;  // places in virtuals_
    for (std::size_t k = 0; k < virtuals.size(); ++k) {
        if (virtuals[k].lmo_type != LmoType::AntibondingPi && !on_split_atom(virtuals[k])) continue;
        if (split_end(virtuals[k], LmoType::VirtualHybrid, 1)) {
            split_hybrids.push_back(static_cast<std::uint32_t>(virtuals_.size()));
        }
        virtuals_.push_back(static_cast<std::uint32_t>(k));
        chosen_virtuals.push_back(virtuals[k]);
    }
    // The pairs within the cutoff, and the lone pairs of split bonds with
    // their empty hybrids whatever the distance.
    const JacobiCandidates near = find_jacobi_candidates(molecule, chosen_occupied, chosen_virtuals, cutoff_angstrom);
    start_.assign(1, 0);
    std::vector<std::uint32_t> partners;
    for (std::size_t io = 0; io < occupied_.size(); ++io) {
        partners.assign(near.virtuals.begin() + static_cast<std::ptrdiff_t>(near.start[io]),
                        near.virtuals.begin() + static_cast<std::ptrdiff_t>(near.start[io + 1]));
        if (split_end(chosen_occupied[io], LmoType::LonePair, -1)) {
            partners.insert(partners.end(), split_hybrids.begin(), split_hybrids.end());
            std::sort(partners.begin(), partners.end());
            partners.erase(std::unique(partners.begin(), partners.end()), partners.end());
        }
        partner_.insert(partner_.end(), partners.begin(), partners.end());
        start_.push_back(partner_.size());
    }
    pairs_ = partner_.size();
    position_.assign(virtuals_.size(), -1);
    if (pairs_ > 0) davidson_ = DavidsonWorkspace::allocate(pairs_);
}

void LmoStability::apply_hessian(SparseNddoFock& builder, const std::vector<SparseVector>& occupied,
                                 const std::vector<SparseVector>& virtuals, const double* x, double* y,
                                 BlockMatrix& trial, BlockMatrix& response) {
    check_interruption();
    // Fock part: sum_v' F_vv' x_ov' - sum_o' F_o'o x_o'v, with the pairs of
    // the row of o scattered into position_.
    for (std::size_t io = 0; io < occupied_.size(); ++io) {
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) position_[partner_[p]] = static_cast<long>(p);
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) {
            double sum = 0.0;
            for (const auto& [other, f] : virtual_fock_[partner_[p]]) {
                if (position_[other] >= 0) sum += f * x[position_[other]];
            }
            y[p] = sum;
        }
        for (const auto& [other, f] : occupied_fock_[io]) {
            for (std::size_t q = start_[other]; q < start_[other + 1]; ++q) {
                if (position_[partner_[q]] >= 0) y[position_[partner_[q]]] -= f * x[q];
            }
        }
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) position_[partner_[p]] = -1;
    }
    // Two-electron part: 2 <o|G(D)|v>, D = M + M^T with M = sum_o o t_o^T
    // and t_o = sum_v x_ov v.
    std::fill(trial.values.begin(), trial.values.end(), 0.0);
    for (std::size_t io = 0; io < occupied_.size(); ++io) {
        if (start_[io] == start_[io + 1]) continue;
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) {
            if (x[p] != 0.0) accumulator_.add(x[p], virtuals[virtuals_[partner_[p]]]);
        }
        accumulator_.extract(combination_);
        largest_.resize(combination_.atoms.size());
        for (std::size_t l = 0; l < largest_.size(); ++l) {
            largest_[l] = largest_entry(combination_.block(l), combination_.block_size(l));
        }
        add_outer(occupied[occupied_[io]], combination_, largest_, trial);
    }
    symmetrize(molecule_, trial);
    builder.build_response(trial, response);
    block_bounds(response, bounds_);
    for (std::size_t io = 0; io < occupied_.size(); ++io) {
        if (start_[io] == start_[io + 1]) continue;
        multiply_fock(response, bounds_, occupied[occupied_[io]], kNegligible, accumulator_, product_);
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) {
            y[p] += 2.0 * dot(product_, virtuals[virtuals_[partner_[p]]]);
        }
    }
}

LmoStabilityCheck LmoStability::check(BlockMatrix& fock, BlockMatrix& scratch, SparseNddoFock& builder,
                                      const std::vector<SparseVector>& occupied,
                                      const std::vector<SparseVector>& virtuals, std::size_t max_products) {
    LmoStabilityCheck result;
    if (empty()) {
        result.lowest_eigenvalue = std::numeric_limits<double>::infinity();
        return result;
    }
    // The Fock matrix among the pi bonds and among the antibonds, through F
    // times each and the orbitals of the same kind on the atoms it reaches.
    block_bounds(fock, bounds_);
    const auto fock_rows = [&](const std::vector<std::uint32_t>& chosen, const std::vector<SparseVector>& orbitals,
                               std::vector<std::vector<std::pair<std::uint32_t, double>>>& rows) {
        std::vector<SparseVector> subset;
        subset.reserve(chosen.size());
        for (const std::uint32_t k : chosen) subset.push_back(orbitals[k]);
        OrbitalsByAtom index;
        index.build(subset, molecule_.n_atoms);
        std::vector<std::size_t> seen(subset.size(), 0);
        rows.assign(subset.size(), {});
        for (std::size_t k = 0; k < subset.size(); ++k) {
            multiply_fock(fock, bounds_, subset[k], 0.0, accumulator_, product_);
            for (const std::uint32_t atom : product_.atoms) {
                for (const std::uint32_t* other = index.begin(atom); other != index.end(atom); ++other) {
                    if (seen[*other] == k + 1) continue;
                    seen[*other] = k + 1;
                    rows[k].emplace_back(*other, dot(product_, subset[*other]));
                }
            }
        }
    };
    fock_rows(occupied_, occupied, occupied_fock_);
    fock_rows(virtuals_, virtuals, virtual_fock_);
    const auto diagonal_of = [](const std::vector<std::pair<std::uint32_t, double>>& row, std::size_t self) {
        for (const auto& [other, f] : row) {
            if (other == self) return f;
        }
        return 0.0;
    };
    diagonal_.resize(pairs_);
    for (std::size_t io = 0; io < occupied_.size(); ++io) {
        const double f_oo = diagonal_of(occupied_fock_[io], io);
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) {
            diagonal_[p] = diagonal_of(virtual_fock_[partner_[p]], partner_[p]) - f_oo;
        }
    }

    // The test of the dense SCF's check on these pairs. Its start block:
    // the unit vectors of the lowest pairs by F_vv - F_oo, whose images give
    // the exact Hessian over them, and the start vectors made from that.
    const std::size_t len = pairs_;
    DavidsonWorkspace& ws = davidson_;
    const auto product = [&](const double* x, double* y, std::size_t count, std::size_t stride) {
        for (std::size_t k = 0; k < count; ++k) {
            apply_hessian(builder, occupied, virtuals, x + k * stride, y + k * stride, scratch, fock);
        }
    };
    const auto column = [&](std::size_t k, double* y) {
        unit_.assign(len, 0.0);
        unit_[k] = 1.0;
        apply_hessian(builder, occupied, virtuals, unit_.data(), y, scratch, fock);
    };
    std::array<std::size_t, kStartBlockSize> start{};
    const std::size_t n_start = std::min(kStartBlockSize, len);
    lowest_coordinates(diagonal_.data(), len, n_start, start.data());
    for (std::size_t s = 0; s < n_start; ++s) {
        std::fill(ws.basis.row(s), ws.basis.row(s) + len, 0.0);
        ws.basis(s, start[s]) = 1.0;
    }
    product(ws.basis.row(0), ws.images.row(0), n_start, ws.basis.cols());
    std::array<double, kStartBlockSize * kStartBlockSize> block{};
    for (std::size_t l = 0; l < n_start; ++l) {
        for (std::size_t s = 0; s < n_start; ++s) block[l * n_start + s] = ws.images(s, start[l]);
    }
    std::size_t products = n_start;
    const std::size_t m = add_start_vectors(ws, len, n_start, diagonal_.data(), {start.data(), n_start},
                                            block.data(), product, products);

    const LowestEigenvalue lowest = test_lowest_eigenvalue(ws, len, m, products, diagonal_.data(), product, column,
                                                           orbital_stability_test(max_products));
    result.lowest_eigenvalue = lowest.value;
    result.products = lowest.products;
    result.stable = lowest.verdict == EigenvalueVerdict::above;
    result.decided = lowest.verdict != EigenvalueVerdict::undecided;
    unstable_ = lowest.verdict == EigenvalueVerdict::below;
    return result;
}

void LmoStability::rotate(double t, const double* x, std::vector<SparseVector>& occupied,
                          std::vector<SparseVector>& virtuals) const {
    SparseVector new_occupied, new_virtual;
    for (std::size_t io = 0; io < occupied_.size(); ++io) {
        for (std::size_t p = start_[io]; p < start_[io + 1]; ++p) {
            const double angle = t * x[p];
            if (angle == 0.0) continue;
            SparseVector& o = occupied[occupied_[io]];
            SparseVector& v = virtuals[virtuals_[partner_[p]]];
            const double c = std::cos(angle), s = std::sin(angle);
            combine(c, o, s, v, 0.0, new_occupied);
            combine(c, v, -s, o, 0.0, new_virtual);
            std::swap(o, new_occupied);
            std::swap(v, new_virtual);
        }
    }
}

double LmoStability::descend(double energy,
                             const std::function<double(const std::vector<SparseVector>&)>& energy_of,
                             std::vector<SparseVector>& occupied, std::vector<SparseVector>& virtuals) {
    if (!unstable_) return energy;
    unstable_ = false;
    const double* x = davidson_.ritz_vector.data();
    std::vector<SparseVector> trial_occupied, trial_virtuals;
    const auto energy_at = [&](double angle) {
        trial_occupied = occupied;
        trial_virtuals = virtuals;
        rotate(angle, x, trial_occupied, trial_virtuals);
        return energy_of(trial_occupied);
    };
    const LowestAlongRotation lowest = lowest_along_rotation(energy, energy_at);
    if (lowest.angle != 0.0) rotate(lowest.angle, x, occupied, virtuals);
    return lowest.energy;
}

bool LmoStability::find_antibonding_channel(const BlockMatrix& density, const BlockMatrix& hcore, double tolerance,
                                            const std::vector<SparseVector>& occupied,
                                            const std::vector<SparseVector>& virtuals) {
    // The channel with the most antibonding resonance: a singular triple
    // (s, a, b) of the density block of a split bond, P_AB = sum s a b^T.
    // Its occupied orbital is (a + b)/sqrt 2, its resonance energy
    // 2 s a^T H_AB b; the exchange reverses that sign.
    const AtomNeighbours& nb = *density.pattern;
    double most = 0.25 * tolerance;
    std::uint32_t bond_a = 0, bond_b = 0;
    std::vector<double> a, b, best_a, best_b;
    for (const auto& [atom_a, atom_b] : split_bonds_) {
        const std::size_t position = nb.find(atom_a, atom_b);
        if (position == nb.row_start[atom_a + 1]) continue;  // beyond reach: no density between them
        const std::size_t na = molecule_.orbitals_per_atom[atom_a], nl = molecule_.orbitals_per_atom[atom_b];
        const double* p = density.block(position);
        const double* h = hcore.block(position);
        Matrix squared = Matrix::zeros(na, na), vectors = Matrix::zeros(na, na);
        Vec64 values = Vec64::zeros(na);
        for (std::size_t i = 0; i < na; ++i) {
            for (std::size_t j = 0; j < na; ++j) {
                for (std::size_t l = 0; l < nl; ++l) squared(i, j) += p[i * nl + l] * p[j * nl + l];
            }
        }
        diagonalize_symmetric(squared, values, vectors);
        for (std::size_t k = 0; k < na; ++k) {
            if (!(values[k] > kChannelWeight * kChannelWeight)) continue;
            const double singular = std::sqrt(values[k]);
            a.assign(na, 0.0);
            b.assign(nl, 0.0);
            for (std::size_t i = 0; i < na; ++i) a[i] = vectors(i, k);
            for (std::size_t i = 0; i < na; ++i) {
                for (std::size_t l = 0; l < nl; ++l) b[l] += p[i * nl + l] * a[i] / singular;
            }
            double resonance = 0.0;
            for (std::size_t i = 0; i < na; ++i) {
                for (std::size_t l = 0; l < nl; ++l) resonance += a[i] * h[i * nl + l] * b[l];
            }
            if (singular * resonance > most) {
                most = singular * resonance;
                bond_a = atom_a;
                bond_b = atom_b;
                std::swap(a, best_a);
                std::swap(b, best_b);
            }
        }
    }
    if (best_a.empty()) return false;

    // (a +- b)/sqrt 2 over the two atoms, and its part in the occupied or
    // virtual space: the orbitals' overlaps with it, normalised, and that
    // combination of them. None when less than half of it lies there.
    const auto part_in = [&](const std::vector<SparseVector>& orbitals, double sign,
                             std::vector<std::pair<std::uint32_t, double>>& overlaps, SparseVector& part) {
        combination_.clear();
        for (const std::uint32_t atom : {std::min(bond_a, bond_b), std::max(bond_a, bond_b)}) {
            const std::vector<double>& values = atom == bond_a ? best_a : best_b;
            const double factor = (atom == bond_a ? 1.0 : sign) / std::sqrt(2.0);
            double* block = combination_.append(atom, values.size());
            for (std::size_t e = 0; e < values.size(); ++e) block[e] = factor * values[e];
        }
        index_.build(orbitals, molecule_.n_atoms);
        seen_.assign(orbitals.size(), 0);
        overlaps.clear();
        double norm2 = 0.0;
        for (const std::uint32_t atom : combination_.atoms) {
            for (const std::uint32_t* k = index_.begin(atom); k != index_.end(atom); ++k) {
                if (seen_[*k]) continue;
                seen_[*k] = 1;
                overlaps.emplace_back(*k, dot(orbitals[*k], combination_));
                norm2 += overlaps.back().second * overlaps.back().second;
            }
        }
        if (norm2 < 0.5) return false;
        for (auto& [k, x] : overlaps) {
            x /= std::sqrt(norm2);
            accumulator_.add(x, orbitals[k]);
        }
        accumulator_.extract(part);
        return true;
    };
    return part_in(occupied, 1.0, occupied_overlaps_, antibonding_) &&
           part_in(virtuals, -1.0, virtual_overlaps_, bonding_);
}

void LmoStability::exchange_antibonding_channel(std::vector<SparseVector>& occupied,
                                                std::vector<SparseVector>& virtuals) {
    // u (antibonding, occupied) and v (bonding, virtual) change places by
    // the reflection I - d d^T, d = u - v: o -= <o|u> d, v_j += <v_j|v> d.
    SparseVector d;
    combine(1.0, antibonding_, -1.0, bonding_, 0.0, d);
    for (const auto& [k, x] : occupied_overlaps_) {
        combine(1.0, occupied[k], -x, d, 0.0, combination_);
        std::swap(occupied[k], combination_);
    }
    for (const auto& [k, y] : virtual_overlaps_) {
        combine(1.0, virtuals[k], y, d, 0.0, combination_);
        std::swap(virtuals[k], combination_);
    }
}

}  // namespace quorin
