#include "core/pbc/periodic_operators.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <memory>
#include <optional>

#include "core/fock/fock_builder.h"
#include "core/hamiltonian/hcore.h"
#include "core/integrals/core_repulsion.h"
#include "core/integrals/overlap.h"
#include "core/pbc/ewald.h"
#include "core/types/constants.h"
#include "core/types/interruption.h"

namespace quorin {

namespace {

// Copy t of the cell shifted by R_t, copies in the order of `translations`:
// atom t m + j is atom j of copy t, copy 0 the home cell.
MolecularBatch build_cluster(const MolecularBatch& cell, const ParameterModel& model,
                             std::span<const TranslationIndex> translations) {
    std::vector<std::uint8_t> numbers;
    std::vector<std::array<double, 3>> positions;
    numbers.reserve(translations.size() * cell.n_atoms);
    positions.reserve(translations.size() * cell.n_atoms);
    for (const TranslationIndex& t : translations) {
        for (std::size_t i = 0; i < cell.n_atoms; ++i) {
            numbers.push_back(cell.atomic_numbers[i]);
            positions.push_back({cell.x[i] + t.cartesian[0], cell.y[i] + t.cartesian[1], cell.z[i] + t.cartesian[2]});
        }
    }
    return MolecularBatch::new_for_model(std::move(numbers), positions, model);
}

// |r_i - r_j - R|.
double image_distance(const MolecularBatch& cell, std::size_t i, std::size_t j, const TranslationIndex& t) {
    const double dx = cell.x[i] - cell.x[j] - t.cartesian[0];
    const double dy = cell.y[i] - cell.y[j] - t.cartesian[1];
    const double dz = cell.z[i] - cell.z[j] - t.cartesian[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// The kept translations, then every other one that brings an atom within
// kHandoverEnd of a home atom.
std::vector<TranslationIndex> near_and_kept(const MolecularBatch& cell, const UnitCell& lattice,
                                            std::span<const TranslationIndex> kept) {
    using Key = std::array<std::int32_t, 3>;
    std::map<Key, bool> seen;
    std::vector<TranslationIndex> all(kept.begin(), kept.end());
    for (const TranslationIndex& t : kept) seen[{t.n1, t.n2, t.n3}] = true;
    for (const TranslationIndex& t : UnitCell::translations_within(lattice, coordinate_triples(cell), kHandoverEnd)) {
        if (!seen.contains({t.n1, t.n2, t.n3})) all.push_back(t);
    }
    return all;
}

// Packed on-site density of an atom, both orders of an off-diagonal pair summed.
std::size_t packed_density(const double* p0, std::size_t n, std::size_t first, std::size_t norb, double* out) {
    std::size_t k = 0;
    for (std::size_t la = 0; la < norb; ++la) {
        for (std::size_t si = 0; si <= la; ++si, ++k) {
            out[k] = la == si ? p0[(first + la) * n + first + la]
                              : p0[(first + la) * n + first + si] + p0[(first + si) * n + first + la];
        }
    }
    return k;
}

// Exchange between the home atom and the image atom through P(R_t): the
// NDDO two-centre terms of one pair with the home atom's rows only.
void add_image_exchange_nddo(const MolecularBatch& cell, const ImagePair& pair, const double* p_r, double* f_r) {
    const std::size_t n = cell.n_basis;
    const std::size_t na = cell.orbitals_per_atom[pair.image_atom], fa = cell.first_orbital[pair.image_atom];
    const std::size_t nb = cell.orbitals_per_atom[pair.home_atom], fb = cell.first_orbital[pair.home_atom];
    const std::size_t pairs_b = n_pairs(nb);
    const double* w = pair.integrals.w.data();
    for (std::size_t mu = 0; mu < nb; ++mu) {
        for (std::size_t la = 0; la < na; ++la) {
            double sum = 0.0;
            for (std::size_t nu = 0; nu < nb; ++nu) {
                const double* p_row = p_r + (fb + nu) * n + fa;
                const std::size_t b_pair = packed_pair_index(mu, nu);
                for (std::size_t si = 0; si < na; ++si) {
                    sum += p_row[si] * w[packed_pair_index(la, si) * pairs_b + b_pair];
                }
            }
            f_r[(fb + mu) * n + fa + la] -= 0.5 * sum;
        }
    }
}

// The same in the point-charge form: -gamma/2 P(R_t) elementwise.
void add_image_exchange_gamma(const MolecularBatch& cell, const ImagePair& pair, const double* p_r, double* f_r) {
    const std::size_t n = cell.n_basis;
    const std::size_t na = cell.orbitals_per_atom[pair.image_atom], fa = cell.first_orbital[pair.image_atom];
    const std::size_t nb = cell.orbitals_per_atom[pair.home_atom], fb = cell.first_orbital[pair.home_atom];
    for (std::size_t mu = 0; mu < nb; ++mu) {
        for (std::size_t la = 0; la < na; ++la) {
            f_r[(fb + mu) * n + fa + la] -= 0.5 * pair.gamma * p_r[(fb + mu) * n + fa + la];
        }
    }
}

}  // namespace

double handover_weight(double r) {
    if (r <= kHandoverStart) return 1.0;
    if (r >= kHandoverEnd) return 0.0;
    const double x = (r - kHandoverStart) / (kHandoverEnd - kHandoverStart);
    return 1.0 - x * x * x * (10.0 + x * (-15.0 + 6.0 * x));
}

PeriodicOperators build_periodic_operators(const MolecularBatch& cell, const ParameterModel& model,
                                           const UnitCell& lattice, std::span<const TranslationIndex> translations,
                                           bool use_nddo, Matrix& h_stack) {
    const std::size_t m = cell.n_atoms;
    const std::size_t n = cell.n_basis;
    PeriodicOperators ops;
    ops.use_nddo = use_nddo;
    ops.one_center = OneCenterTables::build(cell, model);
    if (use_nddo) ops.cell_pairs = precompute_diatomic_pairs(cell, model);
    ops.home_hcore = Matrix::zeros(n, n);
    ops.home_density = Matrix::zeros(n, n);
    ops.home_fock = Matrix::zeros(n, n);
    build_hcore_with_options(cell, model, ops.cell_pairs, use_nddo, ops.home_hcore);

    std::vector<std::optional<ElementParams>> records(m);
    std::vector<SlaterNorms> norms(m);
    std::vector<double> rho(m, 0.0);
    ops.core_charges.assign(m, 0.0);
    ops.near_field.resize(m * m);
    for (std::size_t a = 0; a < m; ++a) {
        records[a] = model.get_element(cell.atomic_numbers[a]);
        if (!records[a]) continue;
        norms[a] = slater_norms(cell.atomic_numbers[a], *records[a]);
        ops.core_charges[a] = records[a]->core_charge;
        rho[a] = klopman_ohno_radius(*records[a]);
    }
    ops.coulomb_tail = coulomb_lattice_sum(lattice, coordinate_triples(cell));
    const std::vector<TranslationIndex> all = near_and_kept(cell, lattice, translations);
    const std::vector<PairAtomData> atoms = prepare_pair_atoms(cell, model);
    const auto scratch = std::make_unique_for_overwrite<PairIntegralScratch>();
    const MolecularBatch cluster = build_cluster(cell, model, all);

    h_stack = Matrix::zeros(translations.size(), n * n);
    double* h0 = ops.home_hcore.data().data();
    std::array<double, 81> block;
    DiatomicPairIntegrals integrals;
    for (std::size_t t = 0; t < all.size(); ++t) {
        check_interruption();
        const bool kept = t > 0 && t < translations.size();
        for (std::size_t i = 0; i < m; ++i) {
            if (!records[i]) continue;
            const std::size_t fi = cell.first_orbital[i], ni = cell.orbitals_per_atom[i];
            for (std::size_t j = 0; j < m; ++j) {
                if (!records[j] || (t == 0 && j == i)) continue;
                const std::size_t image = t * m + j;
                const double r = image_distance(cell, i, j, all[t]);
                const double weight = handover_weight(r);
                // The molecular builder already gives pairs within the home
                // cell in full.
                const double near = weight - (t == 0 ? 1.0 : 0.0);
                if (weight > 0.0) {
                    ops.core_repulsion += 0.5 * weight * model.pair_core_repulsion(*records[i], *records[j], r);
                    ops.coulomb_tail(i, j) -= weight * kCoulombEvAngstrom / r;
                }
                if (near == 0.0 && !kept) continue;
                std::vector<double>& field = ops.near_field[i * m + j];
                if (near != 0.0 && field.empty()) {
                    field.assign(use_nddo ? n_pairs(ni) * n_pairs(cell.orbitals_per_atom[j]) : 1, 0.0);
                }
                if (use_nddo) {
                    if (!compute_diatomic_pair(cluster, model, image, i, atoms[j], atoms[i], integrals, *scratch)) {
                        continue;
                    }
                    for (std::size_t e = 0; near != 0.0 && e < field.size(); ++e) field[e] += near * integrals.w[e];
                    std::size_t k = 0;
                    for (std::size_t mu = 0; near != 0.0 && mu < ni; ++mu) {
                        for (std::size_t nu = 0; nu <= mu; ++nu, ++k) {
                            const double e = near * integrals.e2a[k];
                            h0[(fi + mu) * n + fi + nu] += e;
                            if (mu != nu) h0[(fi + nu) * n + fi + mu] += e;
                        }
                    }
                } else {
                    const double gamma = klopman_ohno_gamma(r * r, rho[i] + rho[j]);
                    field[0] += near * gamma;
                    for (std::size_t mu = 0; mu < ni; ++mu) {
                        h0[(fi + mu) * n + fi + mu] -= near * records[j]->core_charge * gamma;
                    }
                    integrals.w.assign(1, gamma);
                }
                if (!kept) continue;
                if (resonance_block(cluster, i, image, *records[i], *records[j], norms[i], norms[j], block)) {
                    double* h_r = h_stack.row(t);
                    const std::size_t fj = cell.first_orbital[j], nj = cell.orbitals_per_atom[j];
                    for (std::size_t mu = 0; mu < ni; ++mu) {
                        for (std::size_t nu = 0; nu < nj; ++nu) h_r[(fi + mu) * n + fj + nu] = block[mu * nj + nu];
                    }
                }
                ImagePair pair{i, j, t, use_nddo ? 0.0 : integrals.w[0], {}};
                if (use_nddo) {
                    pair.integrals = integrals;
                    pair.integrals.e1b = {};
                    pair.integrals.e2a = {};
                }
                ops.image_pairs.push_back(std::move(pair));
            }
        }
    }
    for (std::size_t i = 0; i < m; ++i) {
        if (!records[i]) continue;
        double attraction = 0.0;
        for (std::size_t j = 0; j < m; ++j) {
            attraction += ops.coulomb_tail(i, j) * ops.core_charges[j];
            ops.core_repulsion += 0.5 * ops.core_charges[i] * ops.coulomb_tail(i, j) * ops.core_charges[j];
        }
        const std::size_t first = cell.first_orbital[i];
        for (std::size_t mu = 0; mu < cell.orbitals_per_atom[i]; ++mu) h0[(first + mu) * n + first + mu] -= attraction;
    }
    std::copy(h0, h0 + n * n, h_stack.row(0));
    return ops;
}

void build_periodic_fock(const MolecularBatch& cell, const ParameterModel& model, PeriodicOperators& ops,
                         const Matrix& h_stack, const Matrix& p_stack, Matrix& f_stack) {
    const std::size_t n = cell.n_basis;
    f_stack.copy_from(h_stack);
    std::copy(p_stack.row(0), p_stack.row(0) + n * n, ops.home_density.row(0));
    build_fock_with_options(cell, model, ops.one_center, ops.cell_pairs, ops.use_nddo, ops.home_hcore,
                            ops.home_density, ops.home_fock);
    std::copy(ops.home_fock.row(0), ops.home_fock.row(0) + n * n, f_stack.row(0));
    const double* p0 = p_stack.row(0);
    double* f0 = f_stack.row(0);
    const std::size_t m = cell.n_atoms;
    std::array<double, n_pairs(9)> density{};
    for (std::size_t i = 0; i < m; ++i) {
        if (ops.core_charges[i] == 0.0) continue;
        const std::size_t fi = cell.first_orbital[i], ni = cell.orbitals_per_atom[i];
        const std::size_t pairs_i = n_pairs(ni);
        for (std::size_t j = 0; j < m; ++j) {
            if (ops.core_charges[j] == 0.0) continue;
            const std::size_t fj = cell.first_orbital[j], nj = cell.orbitals_per_atom[j];
            double population = 0.0;
            for (std::size_t la = 0; la < nj; ++la) population += p0[(fj + la) * n + fj + la];
            // Point charges, then the near images' own terms.
            const double tail = ops.coulomb_tail(i, j) * population;
            for (std::size_t mu = 0; mu < ni; ++mu) f0[(fi + mu) * n + fi + mu] += tail;
            const std::vector<double>& field = ops.near_field[i * m + j];
            if (field.empty()) continue;
            const std::size_t pairs_j = packed_density(p0, n, fj, nj, density.data());
            if (!ops.use_nddo) {
                for (std::size_t mu = 0; mu < ni; ++mu) f0[(fi + mu) * n + fi + mu] += field[0] * population;
                continue;
            }
            std::size_t q = 0;
            for (std::size_t mu = 0; mu < ni; ++mu) {
                for (std::size_t nu = 0; nu <= mu; ++nu, ++q) {
                    double sum = 0.0;
                    for (std::size_t p = 0; p < pairs_j; ++p) sum += field[p * pairs_i + q] * density[p];
                    f0[(fi + mu) * n + fi + nu] += sum;
                    if (mu != nu) f0[(fi + nu) * n + fi + mu] += sum;
                }
            }
        }
    }
    for (const ImagePair& pair : ops.image_pairs) {
        const double* p_r = p_stack.row(pair.translation);
        double* f_r = f_stack.row(pair.translation);
        if (ops.use_nddo) {
            add_image_exchange_nddo(cell, pair, p_r, f_r);
        } else {
            add_image_exchange_gamma(cell, pair, p_r, f_r);
        }
    }
}

std::size_t image_pair_doubles(const MolecularBatch& cell) {
    std::size_t largest = 1;
    for (const std::uint8_t orbitals : cell.orbitals_per_atom) {
        largest = std::max<std::size_t>(largest, n_pairs(orbitals));
    }
    return largest * largest + sizeof(ImagePair) / sizeof(double);
}

}  // namespace quorin
