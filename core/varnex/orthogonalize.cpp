#include "core/varnex/orthogonalize.h"

#include <algorithm>
#include <cmath>

namespace quorin {

void OrbitalsByAtom::build(const std::vector<SparseVector>& orbitals, std::size_t n_atoms) {
    static const std::vector<SparseVector> none;
    build(orbitals, none, n_atoms);
}

void OrbitalsByAtom::build(const std::vector<SparseVector>& first, const std::vector<SparseVector>& second,
                           std::size_t n_atoms) {
    start_.assign(n_atoms + 1, 0);
    for (const auto* list : {&first, &second}) {
        for (const SparseVector& v : *list) {
            for (const std::uint32_t atom : v.atoms) ++start_[atom + 1];
        }
    }
    for (std::size_t a = 0; a < n_atoms; ++a) start_[a + 1] += start_[a];
    orbitals_.resize(start_[n_atoms]);
    blocks_.resize(start_[n_atoms]);
    fill_.assign(start_.begin(), start_.end() - 1);
    std::uint32_t k = 0;
    for (const auto* list : {&first, &second}) {
        for (const SparseVector& v : *list) {
            for (std::uint32_t block = 0; block < v.atoms.size(); ++block) {
                const std::size_t slot = fill_[v.atoms[block]]++;
                orbitals_[slot] = k;
                blocks_[slot] = block;
            }
            ++k;
        }
    }
}

namespace {

// For each orbital of `rows`, the orbitals of `columns` (indexed in
// `workspace.index`) sharing an atom with it and their overlaps; with
// `upper`, only partners above the row's own index (rows == columns).
void find_overlaps(const std::vector<SparseVector>& rows, const std::vector<SparseVector>& columns, bool upper,
                   OrthogonalizationWorkspace& ws) {
    ws.partners.clear();
    ws.overlaps.clear();
    ws.partner_start.assign(1, 0);
    if (ws.seen.size() < columns.size()) ws.seen.assign(columns.size(), 0);
    for (std::size_t a = 0; a < rows.size(); ++a) {
        ++ws.stamp;
        for (const std::uint32_t atom : rows[a].atoms) {
            for (const std::uint32_t* b = ws.index.begin(atom); b != ws.index.end(atom); ++b) {
                if ((upper && *b <= a) || ws.seen[*b] == ws.stamp) continue;
                ws.seen[*b] = ws.stamp;
                ws.partners.push_back(*b);
                ws.overlaps.push_back(dot(rows[a], columns[*b]));
            }
        }
        ws.partner_start.push_back(ws.partners.size());
    }
}

}  // namespace

double orthonormalize(std::vector<SparseVector>& orbitals, double drop, OrthogonalizationWorkspace& ws) {
    const std::size_t m = orbitals.size();
    double first_error = 0.0;
    ws.updated.resize(m);
    for (int step = 0; step < 5; ++step) {
        ws.index.build(orbitals, ws.n_atoms);
        find_overlaps(orbitals, orbitals, false, ws);
        double error = 0.0;
        for (std::size_t a = 0; a < m; ++a) {
            for (std::size_t k = ws.partner_start[a]; k < ws.partner_start[a + 1]; ++k) {
                error = std::max(error, std::abs(ws.overlaps[k] - (ws.partners[k] == a ? 1.0 : 0.0)));
            }
        }
        if (step == 0) first_error = error;
        if (error < 1e-11) break;
        // One first-order step leaves an error of about error^2.
        const bool last = error < 1e-6;
        for (std::size_t a = 0; a < m; ++a) {
            for (std::size_t k = ws.partner_start[a]; k < ws.partner_start[a + 1]; ++k) {
                const std::uint32_t b = ws.partners[k];
                const double e = ws.overlaps[k] - (b == a ? 1.0 : 0.0);
                ws.accumulator.add((b == a ? 1.0 : 0.0) - 0.5 * e, orbitals[b], b == a ? 0.0 : drop);
            }
            ws.accumulator.extract(ws.updated[a]);
        }
        std::swap(orbitals, ws.updated);
        if (last) break;
    }
    return first_error;
}

void project_out(const std::vector<SparseVector>& basis, std::vector<SparseVector>& targets, double drop,
                 OrthogonalizationWorkspace& ws) {
    ws.index.build(basis, ws.n_atoms);
    find_overlaps(targets, basis, false, ws);
    for (std::size_t t = 0; t < targets.size(); ++t) {
        if (ws.partner_start[t] == ws.partner_start[t + 1]) continue;
        ws.accumulator.add(1.0, targets[t]);
        for (std::size_t k = ws.partner_start[t]; k < ws.partner_start[t + 1]; ++k) {
            ws.accumulator.add(-ws.overlaps[k], basis[ws.partners[k]], drop);
        }
        ws.accumulator.extract(targets[t]);
    }
}

void repair_orthonormality(std::vector<SparseVector>& occupied, std::vector<SparseVector>& virtuals,
                           const std::vector<SparseVector>& removed_occupied,
                           const std::vector<SparseVector>& removed_virtual, double drop,
                           OrthogonalizationWorkspace& ws) {
    const std::size_t n_occ = occupied.size(), n = n_occ + virtuals.size();
    const auto orbital = [&](std::size_t k) -> SparseVector& { return k < n_occ ? occupied[k] : virtuals[k - n_occ]; };
    const auto removed = [&](std::size_t k) -> const SparseVector& {
        return k < n_occ ? removed_occupied[k] : removed_virtual[k - n_occ];
    };
    ws.index.build(occupied, virtuals, ws.n_atoms);
    ws.removed_index.build(removed_occupied, removed_virtual, ws.n_atoms);
    auto& error = ws.error_terms;
    error.resize(n);
    for (auto& terms : error) terms.clear();
    for (std::size_t a = 0; a < n; ++a) {
        const SparseVector& r = removed(a);
        for (std::size_t k = 0; k < r.atoms.size(); ++k) {
            const std::uint32_t atom = r.atoms[k];
            const double* x = r.block(k);
            const std::size_t length = r.block_size(k);
            // Against blocks of norm at most 1, a pruned block this small
            // changes no overlap by more than a hundredth of `drop`.
            if (block_norm(x, length) < 0.01 * drop) continue;
            const std::uint32_t* block = ws.index.blocks(atom);
            for (const std::uint32_t* b = ws.index.begin(atom); b != ws.index.end(atom); ++b, ++block) {
                const double* y = orbital(*b).block(*block);
                double value = 0.0;
                for (std::size_t e = 0; e < length; ++e) value += x[e] * y[e];
                error[a].emplace_back(*b, -value);
                error[*b].emplace_back(static_cast<std::uint32_t>(a), -value);
            }
            block = ws.removed_index.blocks(atom);
            for (const std::uint32_t* b = ws.removed_index.begin(atom); b != ws.removed_index.end(atom); ++b, ++block) {
                const double* y = removed(*b).block(*block);
                double value = 0.0;
                for (std::size_t e = 0; e < length; ++e) value += x[e] * y[e];
                error[a].emplace_back(*b, -value);
            }
        }
    }
    ws.updated.resize(n);
    ws.error_sums.resize(n);
    if (ws.seen.size() < n) ws.seen.assign(n, 0);
    for (std::size_t a = 0; a < n; ++a) {
        if (error[a].empty()) continue;
        // The terms of each partner summed; partners in ascending order.
        ++ws.stamp;
        ws.partners.clear();
        for (const auto& [b, value] : error[a]) {
            if (ws.seen[b] != ws.stamp) {
                ws.seen[b] = ws.stamp;
                ws.error_sums[b] = 0.0;
                ws.partners.push_back(b);
            }
            ws.error_sums[b] += value;
        }
        std::sort(ws.partners.begin(), ws.partners.end());
        ws.accumulator.add(1.0, orbital(a));
        for (const std::uint32_t b : ws.partners) {
            const double e = ws.error_sums[b];
            // No block of a normalised orbital exceeds 1: below `drop`, the
            // whole correction is negligible.
            if (b != a && 0.5 * std::abs(e) < drop) continue;
            ws.accumulator.add(-0.5 * e, orbital(b), drop);
        }
        ws.accumulator.extract(ws.updated[a]);
    }
    for (std::size_t a = 0; a < n; ++a) {
        if (!error[a].empty()) std::swap(orbital(a), ws.updated[a]);
    }
}

void build_density(const std::vector<SparseVector>& orbitals, BlockMatrix& density) {
    std::fill(density.values.begin(), density.values.end(), 0.0);
    const AtomNeighbours& nb = *density.pattern;
    for (const SparseVector& c : orbitals) {
        for (std::size_t k = 0; k < c.atoms.size(); ++k) {
            const std::uint32_t a = c.atoms[k];
            const double* ca = c.block(k);
            const std::size_t na = c.block_size(k);
            // Walk a's neighbours and the orbital's atoms together.
            std::size_t position = nb.row_start[a];
            const std::size_t end = nb.row_start[a + 1];
            for (std::size_t l = 0; l < c.atoms.size(); ++l) {
                const std::uint32_t b = c.atoms[l];
                while (position < end && nb.atom[position] < b) ++position;
                if (position == end) break;
                if (nb.atom[position] != b) continue;
                const double* cb = c.block(l);
                const std::size_t nbl = c.block_size(l);
                double* block = density.block(position);
                for (std::size_t mu = 0; mu < na; ++mu) {
                    const double x = 2.0 * ca[mu];
                    for (std::size_t nu = 0; nu < nbl; ++nu) block[mu * nbl + nu] += x * cb[nu];
                }
            }
        }
    }
}

}  // namespace quorin
