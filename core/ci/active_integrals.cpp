#include "core/ci/active_integrals.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "core/fock/one_center.h"
#include "core/integrals/core_repulsion.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

constexpr std::size_t kSpPairs = n_pairs(4);
using OneCenterTable = std::array<std::array<double, kSpPairs>, kSpPairs>;

// (uv|wx) over the ten packed s/p pairs of one atom: the s/p block of the
// atom's one-centre table. Zero for an element the model lacks.
OneCenterTable one_center_table(const std::optional<ElementParams>& e) {
    OneCenterTable g{};
    if (!e) return g;
    std::array<double, kSpdPairs * kSpdPairs> spd;
    fill_spd_one_center_table(*e, nullptr, spd.data());
    for (std::size_t u = 0; u < kSpPairs; ++u) {
        for (std::size_t w = 0; w < kSpPairs; ++w) g[u][w] = spd[u * kSpdPairs + w];
    }
    return g;
}

// Charge of one pair density on one atom: the sum of its diagonal packed entries.
double pair_charge(const double* density, std::size_t norb) {
    double q = 0.0;
    for (std::size_t mu = 0; mu < norb; ++mu) q += density[packed_pair_index(mu, mu)];
    return q;
}

// Interaction of unit charges on atoms a and b where the pair has no NDDO record.
double point_charge_gamma(const MolecularBatch& molecule, std::size_t a, std::size_t b, const ElementParams& ea,
                          const ElementParams& eb) {
    const double dx = molecule.x[a] - molecule.x[b];
    const double dy = molecule.y[a] - molecule.y[b];
    const double dz = molecule.z[a] - molecule.z[b];
    return klopman_ohno_gamma(dx * dx + dy * dy + dz * dz, klopman_ohno_radius(ea) + klopman_ohno_radius(eb));
}

}  // namespace

ActiveIntegrals ActiveIntegrals::zeros(std::size_t n) {
    std::size_t n2 = 0, n4 = 0;
    if (__builtin_mul_overflow(n, n, &n2) || __builtin_mul_overflow(n2, n2, &n4) ||
        n4 > std::numeric_limits<std::size_t>::max() / sizeof(double)) {
        throw EngineStop("Active-space integral table of " + std::to_string(n) + " orbitals does not fit in memory");
    }
    ActiveIntegrals table;
    table.n = n;
    table.values.assign(n4, 0.0);
    return table;
}

ActivePairFields compute_active_pair_fields(const MolecularBatch& molecule, const ParameterModel& model,
                                            const Matrix& coefficients, std::span<const std::size_t> active,
                                            std::optional<std::span<const DiatomicPairIntegrals>> pairs) {
    const std::size_t n = active.size();
    const std::size_t n_atoms = molecule.n_atoms;

    std::vector<std::optional<ElementParams>> elements(n_atoms);
    std::vector<OneCenterTable> tables(n_atoms);
    ActivePairFields fields;
    fields.offset.assign(n_atoms + 1, 0);
    for (std::size_t a = 0; a < n_atoms; ++a) {
        elements[a] = model.get_element(molecule.atomic_numbers[a]);
        tables[a] = one_center_table(elements[a]);
        fields.offset[a + 1] = fields.offset[a] + n_pairs(molecule.orbitals_per_atom[a]);
    }
    const std::vector<std::size_t>& offset = fields.offset;
    const std::size_t width = fields.width();

    const std::size_t n_active_pairs = n_pairs(n);
    fields.density.assign(n_active_pairs * width, 0.0);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = 0; b <= a; ++b) {
            double* d = fields.density.data() + (a * (a + 1) / 2 + b) * width;
            for (std::size_t atom = 0; atom < n_atoms; ++atom) {
                const std::size_t f = molecule.first_orbital[atom];
                double* da = d + offset[atom];
                for (std::size_t mu = 0; mu < molecule.orbitals_per_atom[atom]; ++mu) {
                    const double ca = coefficients(f + mu, active[a]);
                    const double cb = coefficients(f + mu, active[b]);
                    da[packed_pair_index(mu, mu)] = ca * cb;
                    for (std::size_t nu = 0; nu < mu; ++nu) {
                        da[packed_pair_index(mu, nu)] =
                            ca * coefficients(f + nu, active[b]) + coefficients(f + nu, active[a]) * cb;
                    }
                }
            }
        }
    }

    std::vector<const DiatomicPairIntegrals*> record_of(pairs ? n_atoms * n_atoms : 0, nullptr);
    if (pairs) {
        for (const DiatomicPairIntegrals& rec : *pairs) {
            record_of[rec.atom_a * n_atoms + rec.atom_b] = &rec;
            record_of[rec.atom_b * n_atoms + rec.atom_a] = &rec;
        }
    }

    // Potential of each pair density on every atom's packed pairs: one-centre
    // plus two-centre terms, so that (P|Q) = sum over atoms of potential^P . D^Q.
    fields.potential.assign(n_active_pairs * width, 0.0);
    for (std::size_t pair = 0; pair < n_active_pairs; ++pair) {
        const double* d = fields.density.data() + pair * width;
        double* v = fields.potential.data() + pair * width;
        for (std::size_t a = 0; a < n_atoms; ++a) {
            const double* da = d + offset[a];
            double* va = v + offset[a];
            if (molecule.orbitals_per_atom[a] == 1) {
                va[0] += (elements[a] ? elements[a]->g_ss : 0.0) * da[0];
                continue;
            }
            for (std::size_t u = 0; u < kSpPairs; ++u) {
                if (std::fabs(da[u]) < 1e-15) continue;
                for (std::size_t w = 0; w < kSpPairs; ++w) va[w] += tables[a][u][w] * da[u];
            }
        }
        for (std::size_t a = 0; a < n_atoms; ++a) {
            for (std::size_t b = 0; b < a; ++b) {
                const DiatomicPairIntegrals* rec = pairs ? record_of[a * n_atoms + b] : nullptr;
                if (rec != nullptr) {
                    // Rows: packed pairs of the record's first atom; columns: its second's.
                    const std::size_t first = rec->atom_a, second = rec->atom_b;
                    const std::size_t rows = n_pairs(molecule.orbitals_per_atom[first]);
                    const std::size_t cols = n_pairs(molecule.orbitals_per_atom[second]);
                    const double* d_first = d + offset[first];
                    const double* d_second = d + offset[second];
                    double* v_first = v + offset[first];
                    double* v_second = v + offset[second];
                    for (std::size_t u = 0; u < rows; ++u) {
                        const double* w_row = rec->w.data() + u * cols;
                        double row_sum = 0.0;
                        for (std::size_t w = 0; w < cols; ++w) {
                            row_sum += w_row[w] * d_second[w];
                            v_second[w] += w_row[w] * d_first[u];
                        }
                        v_first[u] += row_sum;
                    }
                    continue;
                }
                if (!elements[a] || !elements[b]) continue;
                const double gamma = point_charge_gamma(molecule, a, b, *elements[a], *elements[b]);
                const double q_a = pair_charge(d + offset[a], molecule.orbitals_per_atom[a]);
                const double q_b = pair_charge(d + offset[b], molecule.orbitals_per_atom[b]);
                for (std::size_t mu = 0; mu < molecule.orbitals_per_atom[a]; ++mu) {
                    v[offset[a] + packed_pair_index(mu, mu)] += gamma * q_b;
                }
                for (std::size_t mu = 0; mu < molecule.orbitals_per_atom[b]; ++mu) {
                    v[offset[b] + packed_pair_index(mu, mu)] += gamma * q_a;
                }
            }
        }
    }

    return fields;
}

void compute_active_mo_two_electron_integrals(const MolecularBatch& molecule, const ParameterModel& model,
                                              const Matrix& coefficients, std::span<const std::size_t> active,
                                              std::optional<std::span<const DiatomicPairIntegrals>> pairs,
                                              ActiveIntegrals& integrals) {
    const std::size_t n = active.size();
    if (integrals.n != n) stop_assert_eq("assertion `left == right` failed", integrals.n, n);
    const ActivePairFields fields = compute_active_pair_fields(molecule, model, coefficients, active, pairs);
    const std::size_t width = fields.width();
    std::fill(integrals.values.begin(), integrals.values.end(), 0.0);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = 0; b <= a; ++b) {
            const std::size_t p = a * (a + 1) / 2 + b;
            const double* v = fields.potential.data() + p * width;
            for (std::size_t c = 0; c < n; ++c) {
                for (std::size_t e = 0; e <= c; ++e) {
                    const std::size_t q = c * (c + 1) / 2 + e;
                    if (q > p) break;
                    const double* dq = fields.density.data() + q * width;
                    double value = 0.0;
                    for (std::size_t k = 0; k < width; ++k) value += v[k] * dq[k];
                    integrals(a, b, c, e) = value;
                    integrals(b, a, c, e) = value;
                    integrals(a, b, e, c) = value;
                    integrals(b, a, e, c) = value;
                    integrals(c, e, a, b) = value;
                    integrals(e, c, a, b) = value;
                    integrals(c, e, b, a) = value;
                    integrals(e, c, b, a) = value;
                }
            }
        }
    }
}

void add_active_two_centre_gradient(MolecularBatch& molecule, const ParameterModel& model,
                                    const ActivePairFields& fields, std::span<const double> weights, bool use_nddo,
                                    std::span<std::array<double, 3>> gradient) {
    // Pair integrals depend only on the vector between the two atoms, so one
    // central difference per pair and axis (the upper atom moved) gives the
    // pair's derivative for both atoms, with opposite signs.
    constexpr double kStep = 1e-4;  // angstrom
    const std::size_t n_atoms = molecule.n_atoms;
    const std::size_t width = fields.width();
    const std::size_t n_active_pairs = width == 0 ? 0 : fields.density.size() / width;
    if (weights.size() != n_active_pairs * n_active_pairs) {
        stop_assert_eq("Pair weights do not match the window", weights.size(), n_active_pairs * n_active_pairs);
    }
    // left[k][Q] = sum_P D^P[k] weights[P][Q]; right[k][Q] = D^Q[k].
    std::vector<double> left(width * n_active_pairs, 0.0), right(width * n_active_pairs, 0.0);
    for (std::size_t p = 0; p < n_active_pairs; ++p) {
        for (std::size_t k = 0; k < width; ++k) {
            const double d = fields.density[p * width + k];
            right[k * n_active_pairs + p] = d;
            if (d == 0.0) continue;
            const double* row = weights.data() + p * n_active_pairs;
            for (std::size_t q = 0; q < n_active_pairs; ++q) left[k * n_active_pairs + q] += d * row[q];
        }
    }
    std::vector<std::optional<ElementParams>> elements(n_atoms);
    for (std::size_t a = 0; a < n_atoms; ++a) elements[a] = model.get_element(molecule.atomic_numbers[a]);
    std::vector<PairAtomData> pair_atoms;
    if (use_nddo) pair_atoms = prepare_pair_atoms(molecule, model);
    DiatomicPairIntegrals record;
    const auto scratch = std::make_unique_for_overwrite<PairIntegralScratch>();
    std::vector<double> block;  // d E / d (hi pair u | lo pair v), both orders of the atoms
    for (std::size_t hi = 1; hi < n_atoms; ++hi) {
        if (!elements[hi]) continue;
        const std::size_t rows = n_pairs(molecule.orbitals_per_atom[hi]);
        for (std::size_t lo = 0; lo < hi; ++lo) {
            if (!elements[lo]) continue;
            const std::size_t cols = n_pairs(molecule.orbitals_per_atom[lo]);
            block.assign(rows * cols, 0.0);
            for (std::size_t u = 0; u < rows; ++u) {
                const double* l_hi = left.data() + (fields.offset[hi] + u) * n_active_pairs;
                const double* r_hi = right.data() + (fields.offset[hi] + u) * n_active_pairs;
                for (std::size_t v = 0; v < cols; ++v) {
                    const double* l_lo = left.data() + (fields.offset[lo] + v) * n_active_pairs;
                    const double* r_lo = right.data() + (fields.offset[lo] + v) * n_active_pairs;
                    double sum = 0.0;
                    for (std::size_t q = 0; q < n_active_pairs; ++q) sum += l_hi[q] * r_lo[q] + l_lo[q] * r_hi[q];
                    block[u * cols + v] = sum;
                }
            }
            const auto pair_energy = [&] {
                double energy = 0.0;
                if (use_nddo && compute_diatomic_pair(molecule, model, hi, lo, pair_atoms[hi], pair_atoms[lo],
                                                      record, *scratch)) {
                    for (std::size_t k = 0; k < rows * cols; ++k) energy += record.w[k] * block[k];
                    return energy;
                }
                for (std::size_t mu = 0; mu < molecule.orbitals_per_atom[hi]; ++mu) {
                    for (std::size_t lam = 0; lam < molecule.orbitals_per_atom[lo]; ++lam) {
                        energy += block[packed_pair_index(mu, mu) * cols + packed_pair_index(lam, lam)];
                    }
                }
                return energy * point_charge_gamma(molecule, hi, lo, *elements[hi], *elements[lo]);
            };
            for (std::size_t axis = 0; axis < 3; ++axis) {
                Vec64& coords = molecule.axis(axis);
                const double saved = coords[hi];
                coords[hi] = saved + kStep;
                const double e_plus = pair_energy();
                coords[hi] = saved - kStep;
                const double e_minus = pair_energy();
                coords[hi] = saved;
                const double derivative = (e_plus - e_minus) / (2.0 * kStep);
                gradient[hi][axis] += derivative;
                gradient[lo][axis] -= derivative;
            }
        }
    }
}

}  // namespace quorin
