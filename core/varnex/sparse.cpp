#include "core/varnex/sparse.h"

#include <algorithm>
#include <cmath>

namespace quorin {

void SparseVector::clear() {
    atoms.clear();
    values.clear();
    starts.assign(1, 0);
}

double* SparseVector::append(std::uint32_t atom, std::size_t length) {
    if (starts.empty()) starts.push_back(0);
    atoms.push_back(atom);
    values.resize(values.size() + length, 0.0);
    starts.push_back(static_cast<std::uint32_t>(values.size()));
    return values.data() + values.size() - length;
}

double dot(const SparseVector& a, const SparseVector& b) {
    double sum = 0.0;
    std::size_t i = 0, j = 0;
    while (i < a.atoms.size() && j < b.atoms.size()) {
        if (a.atoms[i] < b.atoms[j]) {
            ++i;
        } else if (b.atoms[j] < a.atoms[i]) {
            ++j;
        } else {
            const double* x = a.block(i);
            const double* y = b.block(j);
            for (std::size_t k = 0, n = a.block_size(i); k < n; ++k) sum += x[k] * y[k];
            ++i;
            ++j;
        }
    }
    return sum;
}

SparseVector to_sparse(const MolecularBatch& molecule, const Lmo& lmo) {
    std::vector<std::pair<std::size_t, double>> entries;
    for (std::size_t k = 0; k < lmo.ao_indices.size(); ++k) entries.emplace_back(lmo.ao_indices[k], lmo.coefficients[k]);
    std::sort(entries.begin(), entries.end());
    SparseVector v;
    v.clear();
    for (const auto& [ao, c] : entries) {
        const auto it = std::upper_bound(molecule.first_orbital.begin(), molecule.first_orbital.end(), ao);
        const auto atom = static_cast<std::uint32_t>(it - molecule.first_orbital.begin() - 1);
        if (v.atoms.empty() || v.atoms.back() != atom) v.append(atom, molecule.orbitals_per_atom[atom]);
        v.values[v.starts[v.atoms.size() - 1] + (ao - molecule.first_orbital[atom])] += c;
    }
    return v;
}

void write_to_lmo(const MolecularBatch& molecule, const SparseVector& v, Lmo& lmo) {
    lmo.ao_indices.clear();
    lmo.coefficients.clear();
    for (std::size_t k = 0; k < v.atoms.size(); ++k) {
        for (std::size_t e = 0; e < v.block_size(k); ++e) {
            lmo.ao_indices.push_back(molecule.first_orbital[v.atoms[k]] + e);
            lmo.coefficients.push_back(v.block(k)[e]);
        }
    }
}

double block_norm(const double* block, std::size_t length) {
    double sum = 0.0;
    for (std::size_t k = 0; k < length; ++k) sum += block[k] * block[k];
    return std::sqrt(sum);
}

double largest_entry(const double* block, std::size_t length) {
    double m = 0.0;
    for (std::size_t k = 0; k < length; ++k) m = std::max(m, std::abs(block[k]));
    return m;
}

void combine(double alpha, const SparseVector& a, double beta, const SparseVector& b, double drop, SparseVector& out) {
    out.clear();
    out.values.reserve(a.values.size() + b.values.size());
    std::size_t i = 0, j = 0;
    while (i < a.atoms.size() || j < b.atoms.size()) {
        const bool take_a = i < a.atoms.size() && (j == b.atoms.size() || a.atoms[i] <= b.atoms[j]);
        const bool take_b = j < b.atoms.size() && (i == a.atoms.size() || b.atoms[j] <= a.atoms[i]);
        if (take_a && take_b) {
            const std::size_t n = a.block_size(i);
            double* o = out.append(a.atoms[i], n);
            const double* x = a.block(i);
            const double* y = b.block(j);
            for (std::size_t k = 0; k < n; ++k) o[k] = alpha * x[k] + beta * y[k];
            ++i;
            ++j;
        } else if (take_a) {
            const std::size_t n = a.block_size(i);
            double* o = out.append(a.atoms[i], n);
            const double* x = a.block(i);
            for (std::size_t k = 0; k < n; ++k) o[k] = alpha * x[k];
            ++i;
        } else {
            const std::size_t n = b.block_size(j);
            const double* y = b.block(j);
            if (std::abs(beta) * largest_entry(y, n) >= drop) {
                double* o = out.append(b.atoms[j], n);
                for (std::size_t k = 0; k < n; ++k) o[k] = beta * y[k];
            }
            ++j;
        }
    }
}

void prune(SparseVector& v, double threshold, SparseVector* removed) {
    if (removed != nullptr) removed->clear();
    std::size_t kept = 0, write = 0;
    for (std::size_t k = 0; k < v.atoms.size(); ++k) {
        const std::size_t n = v.block_size(k);
        const std::size_t start = v.starts[k];
        if (block_norm(v.values.data() + start, n) < threshold) {
            if (removed != nullptr) std::copy_n(v.values.data() + start, n, removed->append(v.atoms[k], n));
            continue;
        }
        for (std::size_t e = 0; e < n; ++e) v.values[write + e] = v.values[start + e];
        v.atoms[kept] = v.atoms[k];
        v.starts[kept] = static_cast<std::uint32_t>(write);
        write += n;
        ++kept;
    }
    v.atoms.resize(kept);
    v.values.resize(write);
    v.starts.resize(kept + 1);
    v.starts[kept] = static_cast<std::uint32_t>(write);
}

DenseAccumulator::DenseAccumulator(const MolecularBatch& molecule)
    : values_(molecule.n_basis, 0.0),
      first_(molecule.first_orbital),
      size_(molecule.orbitals_per_atom),
      held_(molecule.n_atoms, 0) {}

void DenseAccumulator::touch(std::uint32_t atom) {
    if (!held_[atom]) {
        held_[atom] = 1;
        atoms_.push_back(atom);
    }
}

void DenseAccumulator::add_block(double scale, std::uint32_t atom, const double* x, double drop) {
    const std::size_t n = size_[atom];
    if (!held_[atom]) {
        if (drop > 0.0 && std::abs(scale) * largest_entry(x, n) < drop) return;
        held_[atom] = 1;
        atoms_.push_back(atom);
    }
    double* y = values_.data() + first_[atom];
    for (std::size_t e = 0; e < n; ++e) y[e] += scale * x[e];
}

void DenseAccumulator::add(double scale, const SparseVector& v, double drop) {
    for (std::size_t k = 0; k < v.atoms.size(); ++k) add_block(scale, v.atoms[k], v.block(k), drop);
}

void DenseAccumulator::scale(double factor) {
    for (const std::uint32_t atom : atoms_) {
        double* y = values_.data() + first_[atom];
        for (std::size_t e = 0; e < size_[atom]; ++e) y[e] *= factor;
    }
}

double DenseAccumulator::dot(const SparseVector& v) const {
    double sum = 0.0;
    for (std::size_t k = 0; k < v.atoms.size(); ++k) {
        const double* x = v.block(k);
        const double* y = values_.data() + first_[v.atoms[k]];
        for (std::size_t e = 0, n = v.block_size(k); e < n; ++e) sum += x[e] * y[e];
    }
    return sum;
}

void DenseAccumulator::extract(SparseVector& out) {
    std::sort(atoms_.begin(), atoms_.end());
    out.clear();
    for (const std::uint32_t atom : atoms_) {
        double* y = values_.data() + first_[atom];
        double* o = out.append(atom, size_[atom]);
        for (std::size_t e = 0; e < size_[atom]; ++e) {
            o[e] = y[e];
            y[e] = 0.0;
        }
        held_[atom] = 0;
    }
    atoms_.clear();
}

void DenseAccumulator::clear() {
    for (const std::uint32_t atom : atoms_) {
        std::fill_n(values_.data() + first_[atom], size_[atom], 0.0);
        held_[atom] = 0;
    }
    atoms_.clear();
}

PointGrid::PointGrid(const std::vector<std::array<double, 3>>& points, double reach) : points_(points), reach_(reach) {
    std::array<double, 3> lo{0.0, 0.0, 0.0}, hi{0.0, 0.0, 0.0};
    if (!points.empty()) lo = hi = points[0];
    for (const auto& p : points) {
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], p[k]);
            hi[k] = std::max(hi[k], p[k]);
        }
    }
    // Cells at least `reach` wide, and not more cells than about eight per point.
    const double extent = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2], 1e-6});
    cell_ = std::max(reach, extent / std::cbrt(8.0 * static_cast<double>(points.size()) + 1.0));
    origin_ = lo;
    std::size_t cells = 1;
    for (int k = 0; k < 3; ++k) {
        dims_[k] = static_cast<long>((hi[k] - lo[k]) / cell_) + 1;
        cells *= static_cast<std::size_t>(dims_[k]);
    }
    std::vector<std::size_t> cell_of(points.size());
    cell_start_.assign(cells + 1, 0);
    for (std::size_t i = 0; i < points.size(); ++i) {
        std::size_t c = 0;
        for (int k = 0; k < 3; ++k) {
            const long ck = std::min(dims_[k] - 1, static_cast<long>((points[i][k] - origin_[k]) / cell_));
            c = c * static_cast<std::size_t>(dims_[k]) + static_cast<std::size_t>(ck);
        }
        cell_of[i] = c;
        ++cell_start_[c + 1];
    }
    for (std::size_t c = 0; c < cells; ++c) cell_start_[c + 1] += cell_start_[c];
    cell_points_.resize(points.size());
    std::vector<std::size_t> fill(cell_start_.begin(), cell_start_.end() - 1);
    for (std::size_t i = 0; i < points.size(); ++i) cell_points_[fill[cell_of[i]]++] = static_cast<std::uint32_t>(i);
}

void PointGrid::collect(const std::array<double, 3>& p, std::vector<std::uint32_t>& out) const {
    std::array<long, 3> lo{}, hi{};
    for (int k = 0; k < 3; ++k) {
        lo[k] = std::max(0L, static_cast<long>(std::floor((p[k] - reach_ - origin_[k]) / cell_)));
        hi[k] = std::min(dims_[k] - 1, static_cast<long>(std::floor((p[k] + reach_ - origin_[k]) / cell_)));
    }
    const double reach2 = reach_ * reach_;
    for (long x = lo[0]; x <= hi[0]; ++x) {
        for (long y = lo[1]; y <= hi[1]; ++y) {
            for (long z = lo[2]; z <= hi[2]; ++z) {
                const std::size_t c = (static_cast<std::size_t>(x) * static_cast<std::size_t>(dims_[1]) +
                                       static_cast<std::size_t>(y)) * static_cast<std::size_t>(dims_[2]) +
                                      static_cast<std::size_t>(z);
                for (std::size_t s = cell_start_[c]; s < cell_start_[c + 1]; ++s) {
                    const auto& q = points_[cell_points_[s]];
                    const double dx = q[0] - p[0], dy = q[1] - p[1], dz = q[2] - p[2];
                    if (dx * dx + dy * dy + dz * dz <= reach2) out.push_back(cell_points_[s]);
                }
            }
        }
    }
}

AtomNeighbours AtomNeighbours::within(const MolecularBatch& molecule, double reach,
                                      std::span<const std::pair<std::uint32_t, std::uint32_t>> further) {
    std::vector<std::array<double, 3>> positions(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) positions[a] = {molecule.x[a], molecule.y[a], molecule.z[a]};
    const PointGrid grid(positions, reach);
    std::vector<std::vector<std::uint32_t>> further_of(further.empty() ? 0 : molecule.n_atoms);
    for (const auto& [a, b] : further) {
        further_of[a].push_back(b);
        further_of[b].push_back(a);
    }
    AtomNeighbours pattern;
    pattern.row_start.assign(1, 0);
    std::vector<std::uint32_t> found;
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        found.clear();
        grid.collect(positions[a], found);
        if (!further.empty()) found.insert(found.end(), further_of[a].begin(), further_of[a].end());
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        for (const std::uint32_t b : found) {
            pattern.atom.push_back(b);
            pattern.block_offset.push_back(pattern.n_values);
            pattern.n_values += static_cast<std::size_t>(molecule.orbitals_per_atom[a]) * molecule.orbitals_per_atom[b];
        }
        pattern.row_start.push_back(pattern.atom.size());
    }
    pattern.transpose.resize(pattern.atom.size());
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        for (std::size_t k = pattern.row_start[a]; k < pattern.row_start[a + 1]; ++k) {
            pattern.transpose[k] = pattern.find(pattern.atom[k], static_cast<std::uint32_t>(a));
        }
    }
    return pattern;
}

std::size_t AtomNeighbours::find(std::size_t a, std::uint32_t b) const {
    const auto first = atom.begin() + static_cast<std::ptrdiff_t>(row_start[a]);
    const auto last = atom.begin() + static_cast<std::ptrdiff_t>(row_start[a + 1]);
    const auto it = std::lower_bound(first, last, b);
    return it != last && *it == b ? static_cast<std::size_t>(it - atom.begin()) : row_start[a + 1];
}

BlockMatrix BlockMatrix::zeros(std::shared_ptr<const AtomNeighbours> pattern) {
    BlockMatrix m;
    m.values.assign(pattern->n_values, 0.0);
    m.pattern = std::move(pattern);
    return m;
}

double BlockMatrix::element(const MolecularBatch& molecule, std::size_t i, std::size_t j) const {
    const auto atom_of = [&](std::size_t k) {
        const auto it = std::upper_bound(molecule.first_orbital.begin(), molecule.first_orbital.end(), k);
        return static_cast<std::size_t>(it - molecule.first_orbital.begin()) - 1;
    };
    const std::size_t a = atom_of(i), b = atom_of(j);
    const std::size_t position = pattern->find(a, static_cast<std::uint32_t>(b));
    if (position == pattern->row_start[a + 1]) return 0.0;
    return block(position)[(i - molecule.first_orbital[a]) * molecule.orbitals_per_atom[b] +
                           (j - molecule.first_orbital[b])];
}

}  // namespace quorin
