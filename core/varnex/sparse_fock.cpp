#include "core/varnex/sparse_fock.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "core/hamiltonian/hcore.h"
#include "core/integrals/overlap.h"
#include "core/integrals/pair_integrals.h"

namespace quorin {

namespace {

constexpr std::size_t kMaxPacked = n_pairs(9);

// Adds a vector over packed orbital pairs to the n x n block, both halves.
void add_packed(const double* packed, std::size_t n, double* block) {
    for (std::size_t mu = 0; mu < n; ++mu) {
        for (std::size_t nu = 0; nu <= mu; ++nu) {
            const double v = packed[packed_pair_index(mu, nu)];
            block[mu * n + nu] += v;
            if (mu != nu) block[nu * n + mu] += v;
        }
    }
}

}  // namespace

SparseNddoFock::SparseNddoFock(const MolecularBatch& molecule, const ParameterModel& model,
                               std::shared_ptr<const AtomNeighbours> pattern)
    : molecule_(molecule), model_(model), pattern_(std::move(pattern)), h_(BlockMatrix::zeros(pattern_)) {
    const std::size_t n = molecule.n_atoms;
    const AtomNeighbours& nb = *pattern_;
    packed_count_.resize(n);
    packed_before_.assign(n + 1, 0);
    pair_start_.assign(n + 1, 0);
    for (std::size_t a = 0; a < n; ++a) {
        packed_count_[a] = static_cast<std::uint8_t>(n_pairs(molecule.orbitals_per_atom[a]));
        packed_before_[a + 1] = packed_before_[a] + packed_count_[a];
        pair_start_[a + 1] = pair_start_[a] + packed_count_[a] * packed_before_[a];
    }
    w_.assign(pair_start_[n], 0.0);
    packed_density_.assign(n * kMaxPacked, 0.0);
    coulomb_.assign(n * kMaxPacked, 0.0);

    // One-atom molecules: their core Hamiltonian is the one-centre energies U.
    element_of_.resize(n);
    for (std::size_t a = 0; a < n; ++a) {
        const std::uint8_t z = molecule.atomic_numbers[a];
        auto known = std::find_if(elements_.begin(), elements_.end(), [z](const Element& e) { return e.z == z; });
        if (known == elements_.end()) {
            Element e;
            e.z = z;
            const std::array<double, 3> origin{0.0, 0.0, 0.0};
            e.atom = MolecularBatch::new_with_basis({z}, std::span(&origin, 1), {molecule.orbitals_per_atom[a]});
            e.tables = OneCenterTables::build(e.atom, model);
            const std::size_t norb = molecule.orbitals_per_atom[a];
            e.density = Matrix::zeros(norb, norb);
            e.fock = Matrix::zeros(norb, norb);
            build_hcore_nddo(e.atom, model, {}, e.fock);  // read into H below, then scratch
            elements_.push_back(std::move(e));
            known = elements_.end() - 1;
        }
        element_of_[a] = static_cast<std::size_t>(known - elements_.begin());
    }
    std::vector<std::optional<ElementParams>> records(n);
    std::vector<SlaterNorms> norms(n);
    diagonal_.resize(n);
    for (std::size_t a = 0; a < n; ++a) {
        records[a] = model.get_element(molecule.atomic_numbers[a]);
        if (records[a]) norms[a] = slater_norms(molecule.atomic_numbers[a], *records[a]);
        diagonal_[a] = nb.find(a, static_cast<std::uint32_t>(a));
        const Matrix& u = elements_[element_of_[a]].fock;
        double* block = h_.block(diagonal_[a]);
        for (std::size_t k = 0; k < u.rows() * u.cols(); ++k) block[k] = u.data()[k];
    }

    // Every pair: the two-electron block and the attraction of each atom's
    // electrons by the other core.
    const std::vector<PairAtomData> atoms = prepare_pair_atoms(molecule, model);
    const auto scratch = std::make_unique<PairIntegralScratch>();
    DiatomicPairIntegrals record;
    std::vector<double> attraction(n * kMaxPacked, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (!compute_diatomic_pair(molecule, model, i, j, atoms[i], atoms[j], record, *scratch)) continue;
            const std::size_t pi = packed_count_[i], pj = packed_count_[j];
            std::copy_n(record.w.begin(), pi * pj, w_.begin() + static_cast<std::ptrdiff_t>(pair_start_[i] + pi * packed_before_[j]));
            for (std::size_t k = 0; k < pi; ++k) attraction[i * kMaxPacked + k] += record.e1b[k];
            for (std::size_t k = 0; k < pj; ++k) attraction[j * kMaxPacked + k] += record.e2a[k];
        }
    }
    for (std::size_t a = 0; a < n; ++a) {
        add_packed(&attraction[a * kMaxPacked], molecule.orbitals_per_atom[a], h_.block(diagonal_[a]));
    }

    // Resonance S (beta_mu + beta_nu) / 2 for the pairs within reach.
    std::array<double, 81> resonance;
    for (std::size_t a = 0; a < n; ++a) {
        if (!records[a]) continue;
        const std::size_t na = molecule.orbitals_per_atom[a];
        for (std::size_t k = nb.row_start[a]; k < nb.row_start[a + 1]; ++k) {
            const std::size_t b = nb.atom[k];
            if (b <= a || !records[b]) continue;
            if (!resonance_block(molecule, a, b, *records[a], *records[b], norms[a], norms[b], resonance)) continue;
            const std::size_t nbo = molecule.orbitals_per_atom[b];
            double* ab = h_.block(k);
            double* ba = h_.block(nb.transpose[k]);
            for (std::size_t mu = 0; mu < na; ++mu) {
                for (std::size_t nu = 0; nu < nbo; ++nu) {
                    ab[mu * nbo + nu] = resonance[mu * nbo + nu];
                    ba[nu * na + mu] = resonance[mu * nbo + nu];
                }
            }
        }
    }
}

double SparseNddoFock::build(const BlockMatrix& density, BlockMatrix& fock) {
    fock.values = h_.values;
    add_two_electron(density, fock);
    double energy = 0.0;
    for (std::size_t k = 0; k < density.values.size(); ++k) {
        energy += density.values[k] * (h_.values[k] + fock.values[k]);
    }
    return 0.5 * energy;
}

void SparseNddoFock::build_response(const BlockMatrix& density, BlockMatrix& response) {
    std::fill(response.values.begin(), response.values.end(), 0.0);
    add_two_electron(density, response);
}

void SparseNddoFock::add_two_electron(const BlockMatrix& density, BlockMatrix& fock) {
    const std::size_t n = molecule_.n_atoms;
    const AtomNeighbours& nb = *pattern_;

    // Packed densities, both orders of an off-diagonal pair summed.
    for (std::size_t a = 0; a < n; ++a) {
        const std::size_t na = molecule_.orbitals_per_atom[a];
        const double* p = density.block(diagonal_[a]);
        double* packed = &packed_density_[a * kMaxPacked];
        for (std::size_t mu = 0; mu < na; ++mu) {
            for (std::size_t nu = 0; nu <= mu; ++nu) {
                packed[packed_pair_index(mu, nu)] = mu == nu ? p[mu * na + mu] : p[mu * na + nu] + p[nu * na + mu];
            }
        }
    }
    // Two-centre Coulomb terms of every pair.
    std::fill(coulomb_.begin(), coulomb_.end(), 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t pi = packed_count_[i];
        const double* di = &packed_density_[i * kMaxPacked];
        double* ji = &coulomb_[i * kMaxPacked];
        const double* w = w_.data() + pair_start_[i];
        for (std::size_t j = 0; j < i; ++j) {
            const std::size_t pj = packed_count_[j];
            const double* dj = &packed_density_[j * kMaxPacked];
            double* jj = &coulomb_[j * kMaxPacked];
            for (std::size_t k = 0; k < pi; ++k) {
                const double* row = w + k * pj;
                double sum = 0.0;
                for (std::size_t q = 0; q < pj; ++q) {
                    sum += row[q] * dj[q];
                    jj[q] += row[q] * di[k];
                }
                ji[k] += sum;
            }
            w += pi * pj;
        }
    }
    for (std::size_t a = 0; a < n; ++a) {
        const std::size_t na = molecule_.orbitals_per_atom[a];
        double* f = fock.block(diagonal_[a]);
        add_packed(&coulomb_[a * kMaxPacked], na, f);
        // One-centre Coulomb and exchange.
        Element& e = elements_[element_of_[a]];
        const double* p = density.block(diagonal_[a]);
        std::copy_n(p, na * na, e.density.data().data());
        e.fock.fill(0.0);
        add_one_center_fock_terms(e.atom, model_, e.tables, e.density, e.fock);
        for (std::size_t k = 0; k < na * na; ++k) f[k] += e.fock.data()[k];
    }
    // Two-centre exchange between the atoms within reach.
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t ni = molecule_.orbitals_per_atom[i];
        const std::size_t pi = packed_count_[i];
        for (std::size_t k = nb.row_start[i]; k < nb.row_start[i + 1]; ++k) {
            const std::size_t j = nb.atom[k];
            if (j >= i) break;
            const std::size_t nj = molecule_.orbitals_per_atom[j];
            const std::size_t pj = packed_count_[j];
            const double* w = w_.data() + pair_start_[i] + pi * packed_before_[j];
            const double* p = density.block(k);
            double* fij = fock.block(k);
            double* fji = fock.block(nb.transpose[k]);
            for (std::size_t mu = 0; mu < ni; ++mu) {
                for (std::size_t la = 0; la < nj; ++la) {
                    double sum = 0.0;
                    for (std::size_t nu = 0; nu < ni; ++nu) {
                        const double* row = w + packed_pair_index(mu, nu) * pj;
                        const double* prow = p + nu * nj;
                        for (std::size_t si = 0; si < nj; ++si) sum += prow[si] * row[packed_pair_index(la, si)];
                    }
                    fij[mu * nj + la] -= 0.5 * sum;
                    fji[la * ni + mu] -= 0.5 * sum;
                }
            }
        }
    }
}

}  // namespace quorin
