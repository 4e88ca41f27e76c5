#include "core/pbc/periodic_operators.h"

#include <algorithm>
#include <array>
#include <cmath>
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

// |r_i - r_j - R|, the same number wherever a pair's nearness is decided.
double image_distance(const MolecularBatch& cell, std::size_t i, std::size_t j, const TranslationIndex& t) {
    const double dx = cell.x[i] - cell.x[j] - t.cartesian[0];
    const double dy = cell.y[i] - cell.y[j] - t.cartesian[1];
    const double dz = cell.z[i] - cell.z[j] - t.cartesian[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// h[first + mu][first + nu] += e over the packed pairs (mu >= nu) of an atom.
void add_packed(const double* e, std::size_t norb, std::size_t first, std::size_t n, double* h) {
    std::size_t k = 0;
    for (std::size_t mu = 0; mu < norb; ++mu) {
        for (std::size_t nu = 0; nu <= mu; ++nu, ++k) {
            h[(first + mu) * n + first + nu] += e[k];
            if (mu != nu) h[(first + nu) * n + first + mu] += e[k];
        }
    }
}

// Coulomb field of the image atom's electrons (its on-site block of P(0)) on
// the home atom, and exchange between the two through P(R_t): the NDDO
// two-centre terms of one pair with the home atom's rows only.
void add_image_pair_nddo(const MolecularBatch& cell, const ImagePair& pair, const double* p0, const double* p_r,
                         double* f0, double* f_r) {
    const std::size_t n = cell.n_basis;
    const std::size_t na = cell.orbitals_per_atom[pair.image_atom], fa = cell.first_orbital[pair.image_atom];
    const std::size_t nb = cell.orbitals_per_atom[pair.home_atom], fb = cell.first_orbital[pair.home_atom];
    const std::size_t pairs_b = n_pairs(nb);
    const double* w = pair.integrals.w.data();

    // On-site density of the image atom over its packed pairs, both orders
    // of an off-diagonal pair summed.
    std::array<double, n_pairs(9)> pa{};
    std::size_t k = 0;
    for (std::size_t la = 0; la < na; ++la) {
        for (std::size_t si = 0; si <= la; ++si, ++k) {
            pa[k] = la == si ? p0[(fa + la) * n + fa + la] : p0[(fa + la) * n + fa + si] + p0[(fa + si) * n + fa + la];
        }
    }
    const std::size_t pairs_a = k;
    std::size_t q = 0;
    for (std::size_t mu = 0; pair.near && mu < nb; ++mu) {
        for (std::size_t nu = 0; nu <= mu; ++nu, ++q) {
            double sum = 0.0;
            for (std::size_t p = 0; p < pairs_a; ++p) sum += w[p * pairs_b + q] * pa[p];
            f0[(fb + mu) * n + fb + nu] += sum;
            if (mu != nu) f0[(fb + nu) * n + fb + mu] += sum;
        }
    }
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

// The same in the point-charge form: the image atom's population on the
// home atom's diagonal, exchange -gamma/2 P(R_t) elementwise.
void add_image_pair_gamma(const MolecularBatch& cell, const ImagePair& pair, const double* p0, const double* p_r,
                          double* f0, double* f_r) {
    const std::size_t n = cell.n_basis;
    const std::size_t na = cell.orbitals_per_atom[pair.image_atom], fa = cell.first_orbital[pair.image_atom];
    const std::size_t nb = cell.orbitals_per_atom[pair.home_atom], fb = cell.first_orbital[pair.home_atom];
    double population = 0.0;
    for (std::size_t la = 0; la < na; ++la) population += p0[(fa + la) * n + fa + la];
    for (std::size_t mu = 0; mu < nb; ++mu) {
        if (pair.near) f0[(fb + mu) * n + fb + mu] += pair.gamma * population;
        for (std::size_t la = 0; la < na; ++la) {
            f_r[(fb + mu) * n + fa + la] -= 0.5 * pair.gamma * p_r[(fb + mu) * n + fa + la];
        }
    }
}

}  // namespace

PeriodicOperators build_periodic_operators(const MolecularBatch& cell, const ParameterModel& model,
                                           const UnitCell& lattice, std::span<const TranslationIndex> translations,
                                           bool use_nddo, double point_charge_radius, Matrix& h_stack) {
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
    ops.core_charges.assign(m, 0.0);
    for (std::size_t a = 0; a < m; ++a) {
        records[a] = model.get_element(cell.atomic_numbers[a]);
        if (records[a]) norms[a] = slater_norms(cell.atomic_numbers[a], *records[a]);
        if (records[a]) ops.core_charges[a] = records[a]->core_charge;
    }
    ops.coulomb_tail = coulomb_beyond(lattice, coordinate_triples(cell), translations);
    const std::vector<PairAtomData> atoms = prepare_pair_atoms(cell, model);
    const auto scratch = std::make_unique_for_overwrite<PairIntegralScratch>();
    const MolecularBatch cluster = build_cluster(cell, model, translations);

    // Atoms of another cell at least point_charge_radius apart interact
    // only as point charges, as those of the cells beyond do, and through
    // exchange: their charge distributions' integrals fall off as e^2/r plus
    // dipole and r^-3 terms whose sums over a lattice have no limit, and a
    // cluster of whole cells would give those sums values set by its shape.
    ops.point_charge_radius = point_charge_radius;

    h_stack = Matrix::zeros(translations.size(), n * n);
    double* h0 = ops.home_hcore.data().data();
    std::array<double, 81> block;
    for (std::size_t t = 1; t < translations.size(); ++t) {
        check_interruption();
        double* h_r = h_stack.row(t);
        for (std::size_t i = 0; i < m; ++i) {
            if (!records[i]) continue;
            const std::size_t fi = cell.first_orbital[i], ni = cell.orbitals_per_atom[i];
            for (std::size_t j = 0; j < m; ++j) {
                if (!records[j]) continue;
                const std::size_t image = t * m + j;
                const double r = image_distance(cell, i, j, translations[t]);
                ImagePair pair{i, j, t, r < point_charge_radius, 0.0, {}};
                if (!pair.near) ops.coulomb_tail(i, j) += kCoulombEvAngstrom / r;
                if (use_nddo) {
                    if (!compute_diatomic_pair(cluster, model, image, i, atoms[j], atoms[i], pair.integrals,
                                               *scratch)) {
                        continue;
                    }
                    if (pair.near) add_packed(pair.integrals.e2a.data(), ni, fi, n, h0);
                    pair.integrals.e1b = {};
                    pair.integrals.e2a = {};
                } else {
                    const double rho = klopman_ohno_radius(*records[i]) + klopman_ohno_radius(*records[j]);
                    pair.gamma = klopman_ohno_gamma(cluster, i, image, rho);
                    for (std::size_t mu = 0; pair.near && mu < ni; ++mu) {
                        h0[(fi + mu) * n + fi + mu] -= records[j]->core_charge * pair.gamma;
                    }
                }
                if (resonance_block(cluster, i, image, *records[i], *records[j], norms[i], norms[j], block)) {
                    const std::size_t fj = cell.first_orbital[j], nj = cell.orbitals_per_atom[j];
                    for (std::size_t mu = 0; mu < ni; ++mu) {
                        for (std::size_t nu = 0; nu < nj; ++nu) h_r[(fi + mu) * n + fj + nu] = block[mu * nj + nu];
                    }
                }
                ops.image_pairs.push_back(std::move(pair));
            }
        }
    }
    for (std::size_t i = 0; i < m; ++i) {
        if (!records[i]) continue;
        double attraction = 0.0;
        for (std::size_t j = 0; j < m; ++j) attraction += ops.coulomb_tail(i, j) * ops.core_charges[j];
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
    for (std::size_t i = 0; i < m; ++i) {
        if (ops.core_charges[i] == 0.0) continue;
        double repulsion = 0.0;
        for (std::size_t j = 0; j < m; ++j) {
            if (ops.core_charges[j] == 0.0) continue;
            double population = 0.0;
            for (std::size_t la = 0; la < cell.orbitals_per_atom[j]; ++la) {
                const std::size_t diagonal = cell.first_orbital[j] + la;
                population += p0[diagonal * n + diagonal];
            }
            repulsion += ops.coulomb_tail(i, j) * population;
        }
        for (std::size_t mu = 0; mu < cell.orbitals_per_atom[i]; ++mu) {
            const std::size_t diagonal = cell.first_orbital[i] + mu;
            f0[diagonal * n + diagonal] += repulsion;
        }
    }
    for (const ImagePair& pair : ops.image_pairs) {
        const double* p_r = p_stack.row(pair.translation);
        double* f_r = f_stack.row(pair.translation);
        if (ops.use_nddo) {
            add_image_pair_nddo(cell, pair, p0, p_r, f0, f_r);
        } else {
            add_image_pair_gamma(cell, pair, p0, p_r, f0, f_r);
        }
    }
}

double periodic_core_repulsion(const MolecularBatch& cell, const ParameterModel& model,
                               std::span<const TranslationIndex> translations, const PeriodicOperators& ops) {
    std::vector<std::optional<ElementParams>> records(cell.n_atoms);
    for (std::size_t i = 0; i < cell.n_atoms; ++i) records[i] = model.get_element(cell.atomic_numbers[i]);
    double energy = 0.0;
    for (std::size_t i = 0; i < cell.n_atoms; ++i) {
        if (!records[i]) continue;
        for (std::size_t j = 0; j < cell.n_atoms; ++j) {
            if (!records[j]) continue;
            energy += 0.5 * ops.core_charges[i] * ops.coulomb_tail(i, j) * ops.core_charges[j];
            for (std::size_t t = 0; t < translations.size(); ++t) {
                if (t == 0 && j == i) continue;
                const double r = image_distance(cell, i, j, translations[t]);
                // Far atoms of other cells repel as point charges, in the tail.
                if (t > 0 && !(r < ops.point_charge_radius)) continue;
                energy += 0.5 * model.pair_core_repulsion(*records[i], *records[j], r);
            }
        }
    }
    return energy;
}

std::size_t image_pair_doubles(const MolecularBatch& cell) {
    std::size_t largest = 1;
    for (const std::uint8_t orbitals : cell.orbitals_per_atom) {
        largest = std::max<std::size_t>(largest, n_pairs(orbitals));
    }
    return largest * largest + sizeof(ImagePair) / sizeof(double);
}

}  // namespace quorin
