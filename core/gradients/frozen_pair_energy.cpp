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

// Sum of P H over both triangles of the resonance block of atoms lo < hi.
double resonance_energy(const MolecularBatch& molecule, const Matrix& density, const FrozenPairEnergyWorkspace& ws,
                        std::size_t lo, std::size_t hi, const ElementParams& rec_lo, const ElementParams& rec_hi,
                        double dx, double dy, double dz, double r) {
    const std::size_t n_lo = molecule.orbitals_per_atom[lo];
    const std::size_t n_hi = molecule.orbitals_per_atom[hi];
    std::array<double, 81> overlap{};
    compute_diatomic_overlap_matrix_9x9(molecule.atomic_numbers[lo], molecule.atomic_numbers[hi], n_lo, n_hi,
                                        rec_lo, rec_hi, ws.slater_norms[lo], ws.slater_norms[hi],
                                        std::span<double, 81>(overlap), dx, dy, dz, r);
    const std::size_t f_lo = molecule.first_orbital[lo];
    const std::size_t f_hi = molecule.first_orbital[hi];
    double sum = 0.0;
    for (std::size_t mu = 0; mu < n_lo; ++mu) {
        const double beta_mu = resonance_parameter(rec_lo, mu);
        const double* p_row = density.row(f_lo + mu) + f_hi;
        for (std::size_t nu = 0; nu < n_hi; ++nu) {
            sum += p_row[nu] * overlap[9 * mu + nu] * (beta_mu + resonance_parameter(rec_hi, nu)) / 2.0;
        }
    }
    return 2.0 * sum;
}

// Point-charge form: electron-core attraction, Coulomb and exchange of the
// pair all scale with one Klopman-Ohno gamma.
double gamma_pair_energy(const MolecularBatch& molecule, const Matrix& density,
                         const FrozenPairEnergyWorkspace& ws, std::size_t lo, std::size_t hi,
                         const ElementParams& rec_lo, const ElementParams& rec_hi, double r) {
    const double gamma = klopman_ohno_gamma(r * r, klopman_ohno_radius(rec_lo) + klopman_ohno_radius(rec_hi));
    const std::size_t f_lo = molecule.first_orbital[lo];
    const std::size_t f_hi = molecule.first_orbital[hi];
    const std::size_t n_lo = molecule.orbitals_per_atom[lo];
    const std::size_t n_hi = molecule.orbitals_per_atom[hi];
    double exchange = 0.0;
    for (std::size_t mu = 0; mu < n_lo; ++mu) {
        const double* p_row = density.row(f_lo + mu) + f_hi;
        for (std::size_t nu = 0; nu < n_hi; ++nu) exchange += p_row[nu] * p_row[nu];
    }
    const double q_lo = ws.population[lo];
    const double q_hi = ws.population[hi];
    return gamma * (q_lo * q_hi - rec_hi.core_charge * q_lo - rec_lo.core_charge * q_hi - 0.5 * exchange);
}

// NDDO form from the pair's integral record: electron-core attraction of
// both atoms, Coulomb (P_A W P_B) and exchange (-1/2 P_AB W P_AB).
double nddo_pair_energy(const MolecularBatch& molecule, const ParameterModel& model, const Matrix& density,
                        FrozenPairEnergyWorkspace& ws, std::size_t lo, std::size_t hi) {
    // A = hi, B = lo.
    DiatomicPairIntegrals& rec = ws.pair_record;
    if (!compute_diatomic_pair(molecule, model, hi, lo, ws.pair_atoms[hi], ws.pair_atoms[lo], rec,
                               *ws.pair_scratch)) {
        return 0.0;
    }

    const std::size_t n_a = rec.norb_a;
    const std::size_t n_b = rec.norb_b;
    const std::size_t pairs_a = n_pairs(n_a);
    const std::size_t pairs_b = n_pairs(n_b);
    const double* d_a = ws.packed_density.data() + ws.packed_offset[hi];
    const double* d_b = ws.packed_density.data() + ws.packed_offset[lo];

    double energy_ev = 0.0;
    for (std::size_t p = 0; p < pairs_a; ++p) energy_ev += d_a[p] * rec.e1b[p];
    for (std::size_t p = 0; p < pairs_b; ++p) energy_ev += d_b[p] * rec.e2a[p];

    const std::size_t f_a = molecule.first_orbital[hi];
    const std::size_t f_b = molecule.first_orbital[lo];
    double cross[kMaxOrbitals][kMaxOrbitals];
    for (std::size_t mu = 0; mu < n_a; ++mu) {
        const double* p_row = density.row(f_a + mu) + f_b;
        for (std::size_t lam = 0; lam < n_b; ++lam) cross[mu][lam] = p_row[lam];
    }
    // Over ordered orbital pairs the exchange weight of a packed pair product
    // is (fA fB / 2)(P_mu_lam P_nu_sig + P_mu_sig P_nu_lam), f = 2 off the diagonal.
    double two_electron = 0.0;
    for (std::size_t pa = 0; pa < pairs_a; ++pa) {
        const std::size_t mu = kOrbitalPairs[pa].mu;
        const std::size_t nu = kOrbitalPairs[pa].nu;
        const double f_pa = mu == nu ? 0.25 : 0.5;
        const double* w_row = rec.w.data() + pa * pairs_b;
        for (std::size_t pb = 0; pb < pairs_b; ++pb) {
            const std::size_t lam = kOrbitalPairs[pb].mu;
            const std::size_t sig = kOrbitalPairs[pb].nu;
            const double f_pb = lam == sig ? 1.0 : 2.0;
            const double exchange =
                f_pa * f_pb * (cross[mu][lam] * cross[nu][sig] + cross[mu][sig] * cross[nu][lam]);
            two_electron += w_row[pb] * (d_a[pa] * d_b[pb] - exchange);
        }
    }
    return energy_ev + two_electron;
}

}  // namespace

FrozenPairEnergyWorkspace FrozenPairEnergyWorkspace::prepare(const MolecularBatch& molecule,
                                                             const ParameterModel& model,
                                                             const Matrix& density) {
    FrozenPairEnergyWorkspace ws;
    const std::size_t n_atoms = molecule.n_atoms;
    ws.records.resize(n_atoms);
    ws.slater_norms.resize(n_atoms);
    ws.pair_atoms = prepare_pair_atoms(molecule, model);
    ws.packed_offset.resize(n_atoms);
    ws.population.assign(n_atoms, 0.0);
    std::size_t total_pairs = 0;
    std::size_t max_pairs = 10;  // records of sp atoms always hold 10 x 10
    for (std::size_t a = 0; a < n_atoms; ++a) {
        ws.records[a] = model.get_element(molecule.atomic_numbers[a]);
        if (ws.records[a]) ws.slater_norms[a] = quorin::slater_norms(molecule.atomic_numbers[a], *ws.records[a]);
        ws.packed_offset[a] = total_pairs;
        total_pairs += n_pairs(molecule.orbitals_per_atom[a]);
        max_pairs = std::max(max_pairs, n_pairs(molecule.orbitals_per_atom[a]));
    }
    ws.packed_density.assign(total_pairs, 0.0);
    for (std::size_t a = 0; a < n_atoms; ++a) {
        const std::size_t f = molecule.first_orbital[a];
        const std::size_t n = molecule.orbitals_per_atom[a];
        double* packed = ws.packed_density.data() + ws.packed_offset[a];
        for (std::size_t mu = 0; mu < n; ++mu) {
            for (std::size_t nu = 0; nu <= mu; ++nu) {
                const double p = density(f + mu, f + nu);
                packed[packed_pair_index(mu, nu)] = mu == nu ? p : 2.0 * p;
            }
            ws.population[a] += density(f + mu, f + mu);
        }
    }
    ws.pair_record.w.reserve(max_pairs * max_pairs);
    ws.pair_record.e1b.reserve(max_pairs);
    ws.pair_record.e2a.reserve(max_pairs);
    // Not zeroed: pairs with d orbitals write every block before reading it.
    ws.pair_scratch = std::make_unique_for_overwrite<PairIntegralScratch>();
    return ws;
}

double frozen_energy_of_pair(const MolecularBatch& molecule, const ParameterModel& model, const Matrix& density,
                             FrozenPairEnergyWorkspace& ws, std::size_t lo, std::size_t hi, bool use_nddo) {
    const auto& rec_lo = ws.records[lo];
    const auto& rec_hi = ws.records[hi];
    if (!rec_lo || !rec_hi) return 0.0;
    const double dx = molecule.x[hi] - molecule.x[lo];
    const double dy = molecule.y[hi] - molecule.y[lo];
    const double dz = molecule.z[hi] - molecule.z[lo];
    const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
    double energy_ev = model.pair_core_repulsion(*rec_lo, *rec_hi, r);
    if (r >= 1e-10) energy_ev += resonance_energy(molecule, density, ws, lo, hi, *rec_lo, *rec_hi, dx, dy, dz, r);
    if (use_nddo) {
        energy_ev += nddo_pair_energy(molecule, model, density, ws, lo, hi);
    } else {
        energy_ev += gamma_pair_energy(molecule, density, ws, lo, hi, *rec_lo, *rec_hi, r);
    }
    return energy_ev;
}

}  // namespace quorin
