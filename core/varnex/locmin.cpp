#include "core/varnex/locmin.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <limits>

#include "core/varnex/orthogonalize.h"

namespace quorin {

namespace {

std::array<double, 3> centroid(const MolecularBatch& molecule, const Lmo& lmo) {
    std::array<double, 3> c{0.0, 0.0, 0.0};
    if (lmo.atom_indices.empty()) return c;
    for (const std::size_t a : lmo.atom_indices) {
        c[0] += molecule.x[a];
        c[1] += molecule.y[a];
        c[2] += molecule.z[a];
    }
    for (double& v : c) v /= static_cast<double>(lmo.atom_indices.size());
    return c;
}

}  // namespace

JacobiCandidates find_jacobi_candidates(const MolecularBatch& molecule, const std::vector<Lmo>& occupied,
                                        const std::vector<Lmo>& virtuals, double cutoff_angstrom) {
    std::vector<std::array<double, 3>> virtual_centroids;
    virtual_centroids.reserve(virtuals.size());
    for (const Lmo& v : virtuals) virtual_centroids.push_back(centroid(molecule, v));
    std::vector<std::vector<std::uint32_t>> on_atom(molecule.n_atoms);
    for (std::size_t v = 0; v < virtuals.size(); ++v) {
        for (const std::size_t a : virtuals[v].atom_indices) on_atom[a].push_back(static_cast<std::uint32_t>(v));
    }
    const PointGrid grid(virtual_centroids, cutoff_angstrom);
    JacobiCandidates candidates;
    candidates.start.assign(1, 0);
    std::vector<std::uint32_t> found;
    for (const Lmo& o : occupied) {
        found.clear();
        grid.collect(centroid(molecule, o), found);
        for (const std::size_t a : o.atom_indices) found.insert(found.end(), on_atom[a].begin(), on_atom[a].end());
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        candidates.virtuals.insert(candidates.virtuals.end(), found.begin(), found.end());
        candidates.start.push_back(candidates.virtuals.size());
    }
    return candidates;
}

void block_bounds(const BlockMatrix& matrix, std::vector<double>& bounds) {
    const AtomNeighbours& nb = *matrix.pattern;
    bounds.resize(nb.atom.size());
    for (std::size_t k = 0; k < nb.atom.size(); ++k) {
        const std::size_t end = k + 1 < nb.atom.size() ? nb.block_offset[k + 1] : nb.n_values;
        bounds[k] = largest_entry(matrix.values.data() + nb.block_offset[k], end - nb.block_offset[k]);
    }
}

namespace {

// y += F_ab^T c_a for one n_a x n_b block of atoms a and b (F symmetric, so
// this is the block of b and a times c_a).
template <std::size_t NA, std::size_t NB>
void add_block_product(const double* f, const double* c, double* y) {
    for (std::size_t nu = 0; nu < NA; ++nu) {
        const double x = c[nu];
        const double* row = f + nu * NB;
        for (std::size_t mu = 0; mu < NB; ++mu) y[mu] += row[mu] * x;
    }
}

void add_block_product(std::size_t na, std::size_t nb, const double* f, const double* c, double* y) {
    switch (na * 16 + nb) {
        case 1 * 16 + 1: add_block_product<1, 1>(f, c, y); return;
        case 1 * 16 + 4: add_block_product<1, 4>(f, c, y); return;
        case 4 * 16 + 1: add_block_product<4, 1>(f, c, y); return;
        case 4 * 16 + 4: add_block_product<4, 4>(f, c, y); return;
        default:
            for (std::size_t nu = 0; nu < na; ++nu) {
                for (std::size_t mu = 0; mu < nb; ++mu) y[mu] += f[nu * nb + mu] * c[nu];
            }
    }
}

}  // namespace

void multiply_fock(const BlockMatrix& fock, const std::vector<double>& bounds, const SparseVector& c, double drop,
                   DenseAccumulator& accumulator, SparseVector& out) {
    const AtomNeighbours& nb = *fock.pattern;
    for (std::size_t k = 0; k < c.atoms.size(); ++k) {
        const std::uint32_t a = c.atoms[k];
        const double* ca = c.block(k);
        const std::size_t na = c.block_size(k);
        const double scale = largest_entry(ca, na) * static_cast<double>(na);
        // The blocks of a's row, in storage order.
        for (std::size_t position = nb.row_start[a]; position < nb.row_start[a + 1]; ++position) {
            if (bounds[position] * scale < drop) continue;
            const std::uint32_t b = nb.atom[position];
            accumulator.touch(b);
            add_block_product(na, accumulator.block_size(b), fock.block(position), ca, accumulator.block(b));
        }
    }
    accumulator.extract(out);
}

JacobiSweeper::JacobiSweeper(const MolecularBatch& molecule, JacobiCandidates candidates,
                             SparseTolerances tolerances)
    : molecule_(molecule),
      candidates_(std::move(candidates)),
      tolerances_(tolerances),
      product_(molecule),
      scratch_(molecule) {}

double JacobiSweeper::start_iteration(const BlockMatrix& fock, const std::vector<SparseVector>& occupied,
                                      const std::vector<SparseVector>& virtuals, double tolerance, bool all_pairs) {
    block_bounds(fock, bounds_);
    const auto products = [&](const std::vector<SparseVector>& orbitals, std::vector<SparseVector>& out,
                              std::vector<double>& diagonal) {
        out.resize(orbitals.size());
        diagonal.resize(orbitals.size());
        for (std::size_t k = 0; k < orbitals.size(); ++k) {
            multiply_fock(fock, bounds_, orbitals[k], tolerances_.fock_product, scratch_, out[k]);
            diagonal[k] = dot(orbitals[k], out[k]);
        }
    };
    products(occupied, occupied_products_, occupied_diagonal_);
    products(virtuals, virtual_products_, virtual_diagonal_);
    if (!all_pairs) {
        pair_coupling_.assign(candidates_.virtuals.size(), 0.0);
        pair_read_.assign(candidates_.virtuals.size(), 0);
        occupied_changed_.assign(occupied.size(), 0);
        virtual_changed_.assign(virtuals.size(), 0);
        stamp_ = 0;
        return 0.0;
    }
    return read_all_pairs(occupied, virtuals, tolerance, true);
}

double JacobiSweeper::read_all_pairs(const std::vector<SparseVector>& occupied,
                                     const std::vector<SparseVector>& virtuals, double tolerance, bool cache) {
    index_.build(virtuals, molecule_.n_atoms);
    seen_.assign(virtuals.size(), 0);
    auto& read = read_;
    read.resize(occupied.size());
    for (auto& pairs : read) pairs.clear();
    double largest = 0.0;
    for (std::size_t oi = 0; oi < occupied.size(); ++oi) {
        const SparseVector& product = occupied_products_[oi];
        product_.add(1.0, product);
        const auto first = candidates_.virtuals.begin() + static_cast<std::ptrdiff_t>(candidates_.start[oi]);
        const auto last = candidates_.virtuals.begin() + static_cast<std::ptrdiff_t>(candidates_.start[oi + 1]);
        for (const std::uint32_t atom : product.atoms) {
            for (const std::uint32_t* v = index_.begin(atom); v != index_.end(atom); ++v) {
                if (seen_[*v] == oi + 1) continue;
                seen_[*v] = oi + 1;
                const double coupling = product_.dot(virtuals[*v]);
                largest = std::max(largest, std::abs(coupling));
                const bool candidate = std::binary_search(first, last, *v);
                if (candidate ? cache : std::abs(coupling) > tolerance) read[oi].emplace_back(*v, coupling);
            }
        }
        product_.clear();
    }
    // New candidates merged in; the couplings just read kept for the first
    // sweep (a candidate none of whose blocks meets F o couples zero).
    JacobiCandidates& merged = merged_;
    merged.start.assign(1, 0);
    merged.virtuals.clear();
    pair_coupling_.clear();
    for (std::size_t oi = 0; oi < occupied.size(); ++oi) {
        std::sort(read[oi].begin(), read[oi].end());
        std::size_t r = 0;
        for (std::size_t p = candidates_.start[oi]; p < candidates_.start[oi + 1] || r < read[oi].size();) {
            const std::uint32_t old = p < candidates_.start[oi + 1] ? candidates_.virtuals[p]
                                                                      : std::numeric_limits<std::uint32_t>::max();
            if (r < read[oi].size() && read[oi][r].first <= old) {
                merged.virtuals.push_back(read[oi][r].first);
                pair_coupling_.push_back(read[oi][r].second);
                if (read[oi][r].first == old) ++p;
                ++r;
            } else {
                merged.virtuals.push_back(old);
                pair_coupling_.push_back(0.0);
                ++p;
            }
        }
        merged.start.push_back(merged.virtuals.size());
    }
    std::swap(candidates_, merged);
    pair_read_.assign(candidates_.virtuals.size(), cache ? 1 : 0);
    occupied_changed_.assign(occupied.size(), 0);
    virtual_changed_.assign(virtuals.size(), 0);
    stamp_ = 1;
    return largest;
}

std::pair<std::size_t, double> JacobiSweeper::sweep(std::vector<SparseVector>& occupied,
                                                    std::vector<SparseVector>& virtuals, double damping,
                                                    double tolerance) {
    std::size_t rotations = 0;
    double max_coupling = 0.0;
    if (occupied.empty() || virtuals.empty()) return {0, 0.0};
    for (std::size_t oi = 0; oi < occupied.size(); ++oi) {
        const std::size_t first = candidates_.start[oi], last = candidates_.start[oi + 1];
        if (first == last) continue;
        product_.add(1.0, occupied_products_[oi]);
        double f_oo = occupied_diagonal_[oi];
        for (std::size_t p = first; p < last; ++p) {
            const std::uint32_t vi = candidates_.virtuals[p];
            double f_ov;
            if (pair_read_[p] > occupied_changed_[oi] && pair_read_[p] > virtual_changed_[vi]) {
                f_ov = pair_coupling_[p];
            } else {
                f_ov = product_.dot(virtuals[vi]);
                pair_coupling_[p] = f_ov;
                pair_read_[p] = ++stamp_;
            }
            max_coupling = std::max(max_coupling, std::abs(f_ov));
            if (!(std::abs(f_ov) > tolerance)) continue;
            ++rotations;
            if (std::abs(f_ov) < 1e-12) continue;
            const double f_vv = virtual_diagonal_[vi];
            // The denominator is held at -0.05 eV or below, also when the
            // occupied orbital lies above the virtual one.
            const double delta = std::min(f_oo - f_vv, -0.05);
            const double theta = 0.5 * std::atan(2.0 * f_ov / delta) * damping;
            const double c = std::cos(theta), s = std::sin(theta);
            SparseVector& o = occupied[oi];
            SparseVector& v = virtuals[vi];
            SparseVector& fo = occupied_products_[oi];
            SparseVector& fv = virtual_products_[vi];
            product_.scale(c);
            product_.add(s, fv, tolerances_.fock_product);
            combine(c, v, -s, o, tolerances_.rotation, new_virtual_);
            combine(c, o, s, v, tolerances_.rotation, new_occupied_);
            std::swap(v, new_virtual_);
            std::swap(o, new_occupied_);
            combine(c, fv, -s, fo, tolerances_.fock_product, new_virtual_);
            combine(c, fo, s, fv, tolerances_.fock_product, new_occupied_);
            std::swap(fv, new_virtual_);
            std::swap(fo, new_occupied_);
            const double cc = c * c, ss = s * s, cs2 = 2.0 * c * s;
            virtual_diagonal_[vi] = cc * f_vv - cs2 * f_ov + ss * f_oo;
            f_oo = cc * f_oo + cs2 * f_ov + ss * f_vv;
            occupied_changed_[oi] = virtual_changed_[vi] = ++stamp_;
        }
        occupied_diagonal_[oi] = f_oo;
        product_.clear();
    }
    return {rotations, max_coupling};
}

double JacobiSweeper::check_all_pairs(const BlockMatrix& fock, const std::vector<SparseVector>& occupied,
                                      const std::vector<SparseVector>& virtuals, double tolerance) {
    block_bounds(fock, bounds_);
    occupied_products_.resize(occupied.size());
    for (std::size_t k = 0; k < occupied.size(); ++k) {
        multiply_fock(fock, bounds_, occupied[k], 0.0, scratch_, occupied_products_[k]);
    }
    return read_all_pairs(occupied, virtuals, tolerance, false);
}

}  // namespace quorin
