#include "core/fock/one_center.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "core/parameters/d_element_params.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

constexpr std::size_t kSpdTableSize = kSpdPairs * kSpdPairs;

// One d-containing one-centre integral: orbital positions (a, b | c, d) and
// the number of the integral in the element's d list that fills it.
struct DCell {
    std::uint8_t a, b, c, d, integral;
};

// Positions: 0 s, 1-3 p, 4 d(x2-y2), 5 d(xz), 6 d(z2), 7 d(yz), 8 d(xy).
// Each entry is one unordered pair of orbital pairs.
constexpr DCell kDCells[] = {
    {0, 0, 4, 4, 1}, {0, 0, 5, 5, 1}, {0, 0, 6, 6, 1}, {0, 0, 7, 7, 1}, {0, 0, 8, 8, 1}, {1, 0, 4, 1, 3},
    {1, 0, 5, 3, 3}, {1, 0, 6, 1, 8}, {1, 0, 8, 2, 3}, {1, 1, 4, 0, 9}, {1, 1, 4, 4, 6}, {1, 1, 5, 5, 6},
    {1, 1, 6, 0, 12}, {1, 1, 6, 4, 14}, {1, 1, 6, 6, 13}, {1, 1, 7, 7, 7}, {1, 1, 8, 8, 6}, {2, 0, 4, 2, 15},
    {2, 0, 6, 2, 8}, {2, 0, 7, 3, 3}, {2, 0, 8, 1, 3}, {2, 1, 7, 5, 11}, {2, 1, 8, 0, 9}, {2, 1, 8, 6, 14},
    {2, 2, 4, 0, 17}, {2, 2, 4, 4, 6}, {2, 2, 5, 5, 7}, {2, 2, 6, 0, 12}, {2, 2, 6, 4, 18}, {2, 2, 6, 6, 13},
    {2, 2, 7, 7, 6}, {2, 2, 8, 8, 6}, {3, 0, 5, 1, 3}, {3, 0, 6, 3, 2}, {3, 0, 7, 2, 3}, {3, 1, 5, 0, 9},
    {3, 1, 5, 4, 11}, {3, 1, 6, 5, 10}, {3, 1, 8, 7, 11}, {3, 2, 7, 0, 9}, {3, 2, 7, 4, 16}, {3, 2, 7, 6, 10},
    {3, 2, 8, 5, 11}, {3, 3, 4, 4, 7}, {3, 3, 5, 5, 6}, {3, 3, 6, 0, 4}, {3, 3, 6, 6, 5}, {3, 3, 7, 7, 6},
    {3, 3, 8, 8, 7}, {4, 0, 4, 0, 19}, {4, 0, 5, 5, 32}, {4, 0, 6, 4, 22}, {4, 0, 7, 7, 40}, {4, 1, 4, 1, 33},
    {4, 1, 5, 3, 34}, {4, 1, 6, 1, 27}, {4, 1, 8, 2, 46}, {4, 2, 4, 2, 33}, {4, 2, 6, 2, 28}, {4, 2, 7, 3, 41},
    {4, 2, 8, 1, 47}, {4, 3, 4, 3, 35}, {4, 3, 5, 1, 35}, {4, 3, 7, 2, 42}, {4, 4, 4, 4, 29}, {4, 4, 5, 5, 38},
    {4, 4, 6, 0, 22}, {4, 4, 6, 6, 31}, {4, 4, 7, 7, 38}, {4, 4, 8, 8, 51}, {5, 0, 5, 0, 19}, {5, 0, 5, 4, 32},
    {5, 0, 6, 5, 21}, {5, 0, 8, 7, 32}, {5, 1, 5, 1, 33}, {5, 1, 6, 3, 24}, {5, 1, 7, 2, 34}, {5, 2, 5, 2, 35},
    {5, 2, 7, 1, 35}, {5, 2, 8, 3, 35}, {5, 3, 5, 3, 33}, {5, 3, 6, 1, 26}, {5, 3, 8, 2, 34}, {5, 4, 5, 4, 44},
    {5, 4, 6, 5, 37}, {5, 4, 8, 7, 49}, {5, 5, 5, 5, 29}, {5, 5, 6, 0, 21}, {5, 5, 6, 4, 39}, {5, 5, 6, 6, 30},
    {5, 5, 7, 7, 38}, {5, 5, 8, 8, 38}, {6, 0, 6, 0, 19}, {6, 0, 6, 6, 20}, {6, 0, 7, 7, 21}, {6, 0, 8, 8, 22},
    {6, 1, 6, 1, 25}, {6, 1, 8, 2, 27}, {6, 2, 6, 2, 25}, {6, 2, 7, 3, 26}, {6, 2, 8, 1, 27}, {6, 3, 6, 3, 23},
    {6, 3, 7, 2, 24}, {6, 4, 6, 4, 48}, {6, 4, 7, 7, 45}, {6, 5, 6, 5, 36}, {6, 5, 8, 7, 37}, {6, 6, 6, 6, 29},
    {6, 6, 7, 7, 30}, {6, 6, 8, 8, 31}, {7, 0, 7, 0, 19}, {7, 0, 7, 4, 40}, {7, 0, 7, 6, 21}, {7, 0, 8, 5, 32},
    {7, 1, 7, 1, 35}, {7, 1, 8, 3, 35}, {7, 2, 7, 2, 33}, {7, 3, 7, 3, 33}, {7, 3, 8, 1, 34}, {7, 4, 7, 4, 44},
    {7, 4, 7, 6, 43}, {7, 4, 8, 5, 50}, {7, 5, 7, 5, 44}, {7, 5, 8, 0, 32}, {7, 5, 8, 6, 39}, {7, 6, 7, 6, 36},
    {7, 6, 8, 5, 37}, {7, 7, 7, 7, 29}, {7, 7, 8, 8, 38}, {8, 0, 8, 0, 19}, {8, 0, 8, 6, 22}, {8, 1, 8, 1, 33},
    {8, 2, 8, 2, 33}, {8, 3, 8, 3, 35}, {8, 4, 8, 4, 52}, {8, 5, 8, 5, 44}, {8, 6, 8, 6, 48}, {8, 7, 8, 7, 44},
    {8, 8, 8, 8, 29},
};
static_assert(sizeof(kDCells) / sizeof(kDCells[0]) == 139);

void add_single_orbital_terms(const ElementParams& e, std::size_t f, const Matrix& p, Matrix& fock) {
    fock(f, f) += 0.5 * p(f, f) * e.g_ss;
}

// Closed form of the contraction over the ten sp pairs.
void add_sp_terms(const ElementParams& e, std::size_t f, const Matrix& p, Matrix& fock) {
    const double p_ss = p(f, f);
    const double ss_pp = e.g_sp - 0.5 * e.h_sp;
    const double pp_other = 1.25 * e.g_p2 - 0.25 * e.g_pp;
    const double sp_coupling = 1.5 * e.h_sp - 0.5 * e.g_sp;
    const double pp_coupling = 0.75 * e.g_pp - 1.25 * e.g_p2;
    const double p_diag[3] = {p(f + 1, f + 1), p(f + 2, f + 2), p(f + 3, f + 3)};
    const double p_total = p_diag[0] + p_diag[1] + p_diag[2];

    fock(f, f) += 0.5 * p_ss * e.g_ss + p_total * ss_pp;
    for (std::size_t a = 0; a < 3; ++a) {
        const std::size_t i = f + 1 + a;
        fock(i, i) += p_ss * ss_pp + 0.5 * p_diag[a] * e.g_pp + (p_total - p_diag[a]) * pp_other;
        fock(f, i) += p(f, i) * sp_coupling;
        fock(i, f) += p(i, f) * sp_coupling;
        for (std::size_t b = 0; b < 3; ++b) {
            if (b == a) continue;
            const std::size_t j = f + 1 + b;
            fock(i, j) += p(i, j) * pp_coupling;
        }
    }
}

void add_spd_terms(const double* table, std::size_t f, std::size_t norb, const Matrix& p, Matrix& fock) {
    double block[9][9];
    for (std::size_t k = 0; k < norb; ++k) {
        for (std::size_t l = 0; l < norb; ++l) block[k][l] = p(f + k, f + l);
    }
    for (std::size_t i = 0; i < norb; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            const double* coulomb = table + packed_pair_index(i, j) * kSpdPairs;
            double sum = 0.0;
            for (std::size_t k = 0; k < norb; ++k) {
                const double* exchange = table + packed_pair_index(j, k) * kSpdPairs;
                for (std::size_t l = 0; l < norb; ++l) {
                    const double pkl = block[k][l];
                    if (pkl == 0.0) continue;
                    sum += pkl * (coulomb[packed_pair_index(k, l)] - 0.5 * exchange[packed_pair_index(i, l)]);
                }
            }
            fock(f + i, f + j) += sum;
            if (i != j) fock(f + j, f + i) = fock(f + i, f + j);
        }
    }
}

}  // namespace

void fill_spd_one_center_table(const ElementParams& e, const DElementParams* d_params, double* table) {
    std::fill(table, table + kSpdTableSize, 0.0);
    auto set = [table](std::size_t a, std::size_t b, std::size_t c, std::size_t d, double v) {
        const std::size_t x = packed_pair_index(a, b);
        const std::size_t y = packed_pair_index(c, d);
        table[x * kSpdPairs + y] = v;
        table[y * kSpdPairs + x] = v;
    };
    set(0, 0, 0, 0, e.g_ss);
    const double pp_exchange = 0.5 * (e.g_pp - e.g_p2);
    for (std::size_t p = 1; p <= 3; ++p) {
        set(0, 0, p, p, e.g_sp);
        set(p, p, p, p, e.g_pp);
        set(p, 0, p, 0, e.h_sp);
        for (std::size_t q = 1; q <= 3; ++q) {
            if (q == p) continue;
            set(p, p, q, q, e.g_p2);
            set(p, q, p, q, pp_exchange);
        }
    }
    if (d_params == nullptr) return;
    for (const DCell& cell : kDCells) {
        set(cell.a, cell.b, cell.c, cell.d, d_params->one_center_integrals[cell.integral]);
    }
}

OneCenterTables OneCenterTables::build(const MolecularBatch& molecule, const ParameterModel& model) {
    OneCenterTables tables;
    std::vector<std::uint8_t> table_elements;
    for (std::size_t atom = 0; atom < molecule.n_atoms; ++atom) {
        const std::size_t norb = molecule.orbitals_per_atom[atom];
        if (norb == 1 || norb == 4) continue;
        const std::uint8_t z = molecule.atomic_numbers[atom];
        const std::optional<ElementParams> element = model.get_element(z);
        if (!element) continue;
        if (tables.table_of_atom.empty()) tables.table_of_atom.assign(molecule.n_atoms, 0);
        const auto known = std::find(table_elements.begin(), table_elements.end(), z);
        if (known != table_elements.end()) {
            tables.table_of_atom[atom] = static_cast<std::size_t>(known - table_elements.begin()) * kSpdTableSize;
            continue;
        }
        // A d shell without its own one-centre integrals would have no
        // electron repulsion and would soak up charge; derive them from the
        // element's own exponents instead.
        std::optional<DElementParams> d_params = model.get_d_element_params(z);
        if (!d_params && element->zeta_d > 1e-8) {
            d_params = compute_d_element_params(z, element->zeta_s, element->zeta_p, element->zeta_d, element->g_ss,
                                                element->g_sp, element->g_pp, element->g_p2, element->h_sp,
                                                element->zeta_s, element->zeta_p, element->zeta_d, 0.0, 0.0, 0.0);
        }
        tables.table_of_atom[atom] = tables.spd.size();
        table_elements.push_back(z);
        tables.spd.resize(tables.spd.size() + kSpdTableSize);
        fill_spd_one_center_table(*element, d_params ? &*d_params : nullptr,
                                  tables.spd.data() + tables.table_of_atom[atom]);
    }
    return tables;
}

void add_one_center_fock_terms(const MolecularBatch& molecule, const ParameterModel& model,
                               const OneCenterTables& tables, const Matrix& density, Matrix& fock) {
    const std::size_t tabled_atoms = tables.table_of_atom.size();
    if (tabled_atoms != 0 && tabled_atoms != molecule.n_atoms) {
        stop_assert_eq("assertion `left == right` failed", tabled_atoms, molecule.n_atoms);
    }
    for (std::size_t atom = 0; atom < molecule.n_atoms; ++atom) {
        const std::optional<ElementParams> element = model.get_element(molecule.atomic_numbers[atom]);
        if (!element) continue;
        const std::size_t f = molecule.first_orbital[atom];
        const std::size_t norb = molecule.orbitals_per_atom[atom];
        if (norb == 1) {
            add_single_orbital_terms(*element, f, density, fock);
        } else if (norb == 4) {
            add_sp_terms(*element, f, density, fock);
        } else {
            if (tabled_atoms == 0) stop_assert_eq("assertion `left == right` failed", tabled_atoms, molecule.n_atoms);
            add_spd_terms(tables.spd.data() + tables.table_of_atom[atom], f, std::min<std::size_t>(norb, 9), density,
                          fock);
        }
    }
}

void add_one_center_fock_terms(const MolecularBatch& molecule, const ParameterModel& model,
                               const Matrix& density, Matrix& fock) {
    add_one_center_fock_terms(molecule, model, OneCenterTables::build(molecule, model), density, fock);
}

}  // namespace quorin
