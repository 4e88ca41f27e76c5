#include "core/gradients/frozen_pair_energy.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>

#include "core/hamiltonian/hcore.h"
#include "core/integrals/core_repulsion.h"
#include "core/integrals/overlap.h"
#include "core/integrals/pair_integrals.h"

namespace quorin {

namespace {

constexpr std::size_t kMaxOrbitals = 9;

struct OrbitalPair {
    std::uint8_t mu;
    std::uint8_t nu;
};

// Orbitals (mu >= nu) of every packed pair index of a 9-orbital atom; the
// 1- and 4-orbital atoms use its prefix.
constexpr std::array<OrbitalPair, 45> kOrbitalPairs = [] {
    std::array<OrbitalPair, 45> pairs{};
    for (std::uint8_t mu = 0; mu < kMaxOrbitals; ++mu) {
        for (std::uint8_t nu = 0; nu <= mu; ++nu) pairs[packed_pair_index(mu, nu)] = {mu, nu};
    }
    return pairs;
}();

}  // namespace

std::size_t frozen_pair_term_count(std::size_t n_lo, std::size_t n_hi, bool use_nddo) {
    const std::size_t p_lo = n_pairs(n_lo), p_hi = n_pairs(n_hi);
    return 1 + n_lo * n_hi + (use_nddo ? p_hi + p_lo + p_hi * p_lo : 1);
}

FrozenPairEnergyWorkspace FrozenPairEnergyWorkspace::prepare(const MolecularBatch& molecule,
                                                             const ParameterModel& model, bool use_nddo) {
    FrozenPairEnergyWorkspace ws;
    const std::size_t n_atoms = molecule.n_atoms;
    ws.records.resize(n_atoms);
    ws.slater_norms.resize(n_atoms);
    ws.pair_atoms = prepare_pair_atoms(molecule, model);
    ws.packed_offset.resize(n_atoms);
    ws.population.assign(n_atoms, 0.0);
    std::size_t total_pairs = 0;
    std::size_t max_pairs = 10;  // records of sp atoms always hold 10 x 10
    std::size_t max_orbitals = 1;
    for (std::size_t a = 0; a < n_atoms; ++a) {
        ws.records[a] = model.get_element(molecule.atomic_numbers[a]);
        if (ws.records[a]) ws.slater_norms[a] = quorin::slater_norms(molecule.atomic_numbers[a], *ws.records[a]);
        ws.packed_offset[a] = total_pairs;
        total_pairs += n_pairs(molecule.orbitals_per_atom[a]);
        max_pairs = std::max(max_pairs, n_pairs(molecule.orbitals_per_atom[a]));
        max_orbitals = std::max<std::size_t>(max_orbitals, molecule.orbitals_per_atom[a]);
    }
    ws.packed_density.assign(total_pairs, 0.0);
    ws.pair_record.w.reserve(max_pairs * max_pairs);
    ws.pair_record.e1b.reserve(max_pairs);
    ws.pair_record.e2a.reserve(max_pairs);
    // Not zeroed: pairs with d orbitals write every block before reading it.
    ws.pair_scratch = std::make_unique_for_overwrite<PairIntegralScratch>();
    ws.max_terms = frozen_pair_term_count(max_orbitals, max_orbitals, use_nddo);
    return ws;
}

void FrozenPairEnergyWorkspace::load_density(const MolecularBatch& molecule, const Matrix& density) {
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const std::size_t f = molecule.first_orbital[a];
        const std::size_t n = molecule.orbitals_per_atom[a];
        double* packed = packed_density.data() + packed_offset[a];
        population[a] = 0.0;
        for (std::size_t mu = 0; mu < n; ++mu) {
            for (std::size_t nu = 0; nu <= mu; ++nu) {
                const double p = density(f + mu, f + nu);
                packed[packed_pair_index(mu, nu)] = mu == nu ? p : 2.0 * p;
            }
            population[a] += density(f + mu, f + mu);
        }
    }
}

void frozen_pair_terms(const MolecularBatch& molecule, const ParameterModel& model, FrozenPairEnergyWorkspace& ws,
                       std::size_t lo, std::size_t hi, bool use_nddo, double* terms) {
    const ElementParams& rec_lo = *ws.records[lo];
    const ElementParams& rec_hi = *ws.records[hi];
    const std::size_t n_lo = molecule.orbitals_per_atom[lo];
    const std::size_t n_hi = molecule.orbitals_per_atom[hi];
    const std::size_t count = frozen_pair_term_count(n_lo, n_hi, use_nddo);
    std::fill(terms, terms + count, 0.0);
    const double dx = molecule.x[hi] - molecule.x[lo];
    const double dy = molecule.y[hi] - molecule.y[lo];
    const double dz = molecule.z[hi] - molecule.z[lo];
    const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
    terms[0] = model.pair_core_repulsion(rec_lo, rec_hi, r);
    std::array<double, 81> block;
    if (resonance_block(molecule, lo, hi, rec_lo, rec_hi, ws.slater_norms[lo], ws.slater_norms[hi], block)) {
        std::copy_n(block.begin(), n_lo * n_hi, terms + 1);
    }
    double* rest = terms + 1 + n_lo * n_hi;
    if (!use_nddo) {
        *rest = klopman_ohno_gamma(r * r, klopman_ohno_radius(rec_lo) + klopman_ohno_radius(rec_hi));
        return;
    }
    // A = hi, B = lo.
    DiatomicPairIntegrals& rec = ws.pair_record;
    if (!compute_diatomic_pair(molecule, model, hi, lo, ws.pair_atoms[hi], ws.pair_atoms[lo], rec,
                               *ws.pair_scratch)) {
        return;
    }
    const std::size_t pairs_a = n_pairs(n_hi), pairs_b = n_pairs(n_lo);
    rest = std::copy_n(rec.e1b.begin(), pairs_a, rest);
    rest = std::copy_n(rec.e2a.begin(), pairs_b, rest);
    std::copy_n(rec.w.begin(), pairs_a * pairs_b, rest);
}

void frozen_pair_weights(const MolecularBatch& molecule, const Matrix& density, const FrozenPairEnergyWorkspace& ws,
                         std::size_t lo, std::size_t hi, bool use_nddo, double* weights) {
    const std::size_t n_lo = molecule.orbitals_per_atom[lo];
    const std::size_t n_hi = molecule.orbitals_per_atom[hi];
    const std::size_t f_lo = molecule.first_orbital[lo];
    const std::size_t f_hi = molecule.first_orbital[hi];
    weights[0] = 1.0;
    // The resonance block enters both triangles of P H.
    double* resonance = weights + 1;
    for (std::size_t mu = 0; mu < n_lo; ++mu) {
        const double* p_row = density.row(f_lo + mu) + f_hi;
        for (std::size_t nu = 0; nu < n_hi; ++nu) resonance[mu * n_hi + nu] = 2.0 * p_row[nu];
    }
    double* rest = resonance + n_lo * n_hi;
    if (!use_nddo) {
        // Electron-core attraction, Coulomb and exchange all scale with gamma.
        double exchange = 0.0;
        for (std::size_t mu = 0; mu < n_lo; ++mu) {
            const double* p_row = density.row(f_lo + mu) + f_hi;
            for (std::size_t nu = 0; nu < n_hi; ++nu) exchange += p_row[nu] * p_row[nu];
        }
        const double q_lo = ws.population[lo];
        const double q_hi = ws.population[hi];
        *rest = q_lo * q_hi - ws.records[hi]->core_charge * q_lo - ws.records[lo]->core_charge * q_hi -
                0.5 * exchange;
        return;
    }
    // NDDO, A = hi, B = lo: electron-core attraction of both atoms, Coulomb
    // (P_A W P_B) and exchange (-1/2 P_AB W P_AB).
    const std::size_t pairs_a = n_pairs(n_hi), pairs_b = n_pairs(n_lo);
    const double* d_a = ws.packed_density.data() + ws.packed_offset[hi];
    const double* d_b = ws.packed_density.data() + ws.packed_offset[lo];
    rest = std::copy_n(d_a, pairs_a, rest);
    rest = std::copy_n(d_b, pairs_b, rest);
    double cross[kMaxOrbitals][kMaxOrbitals];
    for (std::size_t mu = 0; mu < n_hi; ++mu) {
        const double* p_row = density.row(f_hi + mu) + f_lo;
        for (std::size_t lam = 0; lam < n_lo; ++lam) cross[mu][lam] = p_row[lam];
    }
    // Over ordered orbital pairs the exchange weight of a packed pair product
    // is (fA fB / 2)(P_mu_lam P_nu_sig + P_mu_sig P_nu_lam), f = 2 off the diagonal.
    for (std::size_t pa = 0; pa < pairs_a; ++pa) {
        const std::size_t mu = kOrbitalPairs[pa].mu;
        const std::size_t nu = kOrbitalPairs[pa].nu;
        const double f_pa = mu == nu ? 0.25 : 0.5;
        double* w_row = rest + pa * pairs_b;
        for (std::size_t pb = 0; pb < pairs_b; ++pb) {
            const std::size_t lam = kOrbitalPairs[pb].mu;
            const std::size_t sig = kOrbitalPairs[pb].nu;
            const double f_pb = lam == sig ? 1.0 : 2.0;
            const double exchange =
                f_pa * f_pb * (cross[mu][lam] * cross[nu][sig] + cross[mu][sig] * cross[nu][lam]);
            w_row[pb] = d_a[pa] * d_b[pb] - exchange;
        }
    }
}

}  // namespace quorin
