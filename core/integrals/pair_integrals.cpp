#include "core/integrals/pair_integrals.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <optional>
#include <utility>

#include "core/integrals/d_integrals.h"
#include "core/integrals/d_rotation.h"
#include "core/integrals/multipole_params.h"
#include "core/integrals/multipoles.h"
#include "core/types/constants.h"
#include "core/types/interruption.h"

namespace quorin {

namespace {

// Local slots whose two distributions both carry a monopole: blended towards
// e^2/R under feathering; every other slot is only damped.
constexpr std::array<bool, 22> kMonopoleSlots = {
    true,  false, true,  true,  false, false, false, false, false, false, true,
    true,  false, false, false, true,  true,  true,  true,  false, true,  false};

void feather_local(std::span<double, 22> local, double r_angstrom) {
    const double weight = feathering_weight(r_angstrom);
    const double point_charge = kCoulombEvAngstrom / r_angstrom;
    for (std::size_t k = 0; k < 22; ++k)
        local[k] = kMonopoleSlots[k] ? weight * local[k] + (1.0 - weight) * point_charge
                                     : weight * local[k];
}

void fill_sp_record(std::size_t norb_i, std::size_t norb_j, std::span<const double, 22> local,
                    const PairAtomData& atom_i, const PairAtomData& atom_j, double dx, double dy, double dz,
                    double r, bool feathering, DiatomicPairIntegrals& rec) {
    rec.w.assign(100, 0.0);
    rec.e1b.assign(10, 0.0);
    rec.e2a.assign(10, 0.0);
    const DiatomicRotation3D rotation = DiatomicRotation3D::from_direction(dx, dy, dz, r);
    rotate_multipoles_to_w(norb_i, norb_j, local, rotation, rec.w.data(), rec.w.size());
    compute_electron_nuclear_attraction(norb_i, norb_j, atom_i.multipoles, atom_j.multipoles, atom_i.distributions,
                                        atom_j.distributions, rotation, rec.e1b.data(), rec.e1b.size(),
                                        rec.e2a.data(), rec.e2a.size(), feathering, atom_i.core_charge,
                                        atom_j.core_charge, r);
}

// The atom's own d multipole set, or one derived from its sp multipole
// parameters when the model has none for the element.
DMultipoleSet d_multipole_set(const ParameterModel& model, std::uint8_t z, const DerivedMultipoleParams& m) {
    DMultipoleSet set;
    if (const std::optional<DElementParams> d = model.get_d_element_params(z)) {
        set.additive = d->additive_terms;
        set.separations = d->charge_separations;
        return set;
    }
    set.additive = {0.0, m.rho0, m.rho1, m.rho2, 0.0, 0.0, 0.0, m.rho0, 0.0, m.rho0};
    set.separations = {0.0, 0.0, m.d1, m.d2 * std::numbers::sqrt2, 0.0, 0.0, 0.0};
    return set;
}

// Local attractions of one atom's s and p distributions to the partner's core
// (eV): ss, s-p sigma, p sigma p sigma, p pi p pi. The dipole of the second
// atom of the pair points away from the first.
void sp_core_terms(const DMultipoleSet& own, double partner_core_additive, double partner_core_charge,
                   bool has_p, bool own_is_second, double r_bohr, double* terms) {
    const auto inv = [](double x2, double rho) { return 1.0 / std::sqrt(x2 + rho * rho); };
    const double q = partner_core_additive;
    const double scale = -kHartreeToEv * partner_core_charge;
    const double r2 = r_bohr * r_bohr;
    terms[0] = scale * inv(r2, own.additive[1] + q);
    if (!has_p) return;
    const double d1 = own.separations[2];
    const double d2 = own.separations[3] / std::numbers::sqrt2;
    const double rho_d = own.additive[2] + q;
    const double rho_q = own.additive[3] + q;
    const double rho_m = own.additive[7] + q;
    const double towards = 0.5 * inv((r_bohr - d1) * (r_bohr - d1), rho_d);
    const double away = 0.5 * inv((r_bohr + d1) * (r_bohr + d1), rho_d);
    terms[1] = scale * (own_is_second ? away - towards : towards - away);
    const double common = inv(r2, rho_m) - 0.5 * inv(r2, rho_q);
    terms[2] = scale * (common + 0.25 * inv((r_bohr - 2.0 * d2) * (r_bohr - 2.0 * d2), rho_q) +
                        0.25 * inv((r_bohr + 2.0 * d2) * (r_bohr + 2.0 * d2), rho_q));
    terms[3] = scale * (common + 0.5 * inv(4.0 * d2 * d2 + r2, rho_q));
}

// Electron-core vector of one atom from its ten local terms (stride 2 in e,
// starting at offset) and the rotation: sigma, pi and delta parts per shell pair.
void rotate_core_terms(std::size_t norb, const DElectronCore& e, std::size_t offset,
                       const DOrbitalRotation3D& rot, std::vector<double>& out) {
    const auto k = [&](std::size_t index) { return e[2 * index + offset]; };
    const auto& c = rot.orbital;
    const auto shell = [](std::size_t mu) { return mu == 0 ? 0 : (mu < 4 ? 1 : 2); };
    // Products of the rotation coefficients over the local components
    // [first, last] of the shell of mu and nu.
    const auto component = [&](std::size_t mu, std::size_t nu, std::size_t first, std::size_t last) {
        double sum = 0.0;
        for (std::size_t a = first; a <= last; ++a) sum += c[a][mu] * c[a][nu];
        return sum;
    };
    for (std::size_t mu = 0; mu < norb; ++mu) {
        for (std::size_t nu = 0; nu <= mu; ++nu) {
            double value = 0.0;
            const int lm = shell(mu), ln = shell(nu);
            if (lm == 0) {
                value = k(0);
            } else if (lm == 1 && ln == 0) {
                value = c[1][mu] * k(1);
            } else if (lm == 1) {
                value = c[1][mu] * c[1][nu] * k(2) + component(mu, nu, 2, 3) * k(3);
            } else if (ln == 0) {
                value = c[4][mu] * k(4);
            } else if (ln == 1) {
                value = c[4][mu] * c[1][nu] * k(5) + (c[5][mu] * c[2][nu] + c[6][mu] * c[3][nu]) * k(7);
            } else {
                value = c[4][mu] * c[4][nu] * k(6) + component(mu, nu, 5, 6) * k(8) + component(mu, nu, 7, 8) * k(9);
            }
            out[packed_pair_index(mu, nu)] = value;
        }
    }
}

void fill_d_record(const PairAtomData& a, const PairAtomData& b, std::uint8_t z_a, std::uint8_t z_b,
                   std::size_t norb_a, std::size_t norb_b, std::span<const double, 22> local_sp, double dx,
                   double dy, double dz, double r, bool feathering, PairIntegralScratch& ws,
                   DiatomicPairIntegrals& rec) {
    const DOrbitalRotation3D rot = DOrbitalRotation3D::from_direction(dx, dy, dz, r);
    const double r_bohr = r / kBohrToAngstrom;
    const DMultipoleSet& set_a = a.d_set;
    const DMultipoleSet& set_b = b.d_set;

    DElectronCore e{};
    double terms[4] = {0.0, 0.0, 0.0, 0.0};
    sp_core_terms(set_a, set_b.additive[9], b.core_charge, z_a >= 3, false, r_bohr, terms);
    for (std::size_t k = 0; k < 4; ++k) e[2 * k] = terms[k];
    terms[0] = terms[1] = terms[2] = terms[3] = 0.0;
    sp_core_terms(set_b, set_a.additive[9], a.core_charge, z_b >= 3, true, r_bohr, terms);
    for (std::size_t k = 0; k < 4; ++k) e[2 * k + 1] = terms[k];

    compute_reppd2(norb_a, norb_b, local_sp, set_a.additive, set_a.separations, set_b.additive, set_b.separations,
                   ws.local, e, feathering, r_bohr, a.core_charge, b.core_charge);

    if (feathering) {
        const double weight = feathering_weight(r);
        constexpr bool kBlended[10] = {true, false, true, true, false, false, true, false, true, true};
        for (std::size_t k = 0; k < 10; ++k) {
            e[2 * k] *= weight;
            e[2 * k + 1] *= weight;
            if (kBlended[k]) {
                e[2 * k] -= (1.0 - weight) * b.core_charge * kHartreeToEv / r_bohr;
                e[2 * k + 1] -= (1.0 - weight) * a.core_charge * kHartreeToEv / r_bohr;
            }
        }
    }

    // tx and rotatd_step2 write every cell they later read.
    tx(norb_a, norb_b, ws.local, ws.mask, ws.half, rot);
    rotatd_step2(norb_a, norb_b, ws.half, ws.mask, rot, ws.w);
    if (feathering) apply_pm7_d_correction(norb_a, norb_b, norb_a >= 9, norb_b >= 9, ws.w, e);

    const std::size_t pa = n_pairs(norb_a), pb = n_pairs(norb_b);
    rec.w.assign(ws.w.begin(), ws.w.begin() + static_cast<std::ptrdiff_t>(pa * pb));
    rec.e1b.assign(pa, 0.0);
    rec.e2a.assign(pb, 0.0);
    rotate_core_terms(norb_a, e, 0, rot, rec.e1b);
    rotate_core_terms(norb_b, e, 1, rot, rec.e2a);
}

}  // namespace

std::vector<PairAtomData> prepare_pair_atoms(const MolecularBatch& molecule, const ParameterModel& model) {
    const std::size_t n = molecule.n_atoms;
    std::vector<PairAtomData> atoms(n);
    const bool has_d_atoms = std::any_of(molecule.orbitals_per_atom.begin(), molecule.orbitals_per_atom.end(),
                                         [](std::uint8_t norb) { return norb > 8; });
    for (std::size_t a = 0; a < n; ++a) {
        const std::optional<ElementParams> elem = model.get_element(molecule.atomic_numbers[a]);
        if (!elem) continue;
        PairAtomData& atom = atoms[a];
        atom.has_parameters = true;
        atom.core_charge = elem->core_charge;
        atom.multipoles = DerivedMultipoleParams::from_element(*elem);
        atom.distributions = build_distributions(atom.multipoles);
        if (has_d_atoms) atom.d_set = d_multipole_set(model, molecule.atomic_numbers[a], atom.multipoles);
    }
    return atoms;
}

bool compute_diatomic_pair(const MolecularBatch& molecule, const ParameterModel& model, std::size_t i,
                           std::size_t j, const PairAtomData& atom_i, const PairAtomData& atom_j,
                           DiatomicPairIntegrals& out, PairIntegralScratch& scratch) {
    if (!atom_i.has_parameters || !atom_j.has_parameters) return false;
    const double dx = molecule.x[j] - molecule.x[i];
    const double dy = molecule.y[j] - molecule.y[i];
    const double dz = molecule.z[j] - molecule.z[i];
    const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
    if (r < 1e-10) return false;

    const bool feathering = model.use_feathering();
    const std::size_t norb_i = molecule.orbitals_per_atom[i];
    const std::size_t norb_j = molecule.orbitals_per_atom[j];
    std::array<double, 22> local{};
    compute_22_multipoles(local, atom_i.multipoles, atom_j.multipoles, atom_i.distributions, atom_j.distributions,
                          r);
    if (feathering) feather_local(local, r);

    if (norb_i <= 8 && norb_j <= 8) {
        fill_sp_record(norb_i, norb_j, local, atom_i, atom_j, dx, dy, dz, r, feathering, out);
    } else {
        fill_d_record(atom_i, atom_j, molecule.atomic_numbers[i], molecule.atomic_numbers[j], norb_i, norb_j, local,
                      dx, dy, dz, r, feathering, scratch, out);
    }
    out.atom_a = i;
    out.atom_b = j;
    out.norb_a = norb_i;
    out.norb_b = norb_j;
    out.first_orbital_a = molecule.first_orbital[i];
    out.first_orbital_b = molecule.first_orbital[j];
    return true;
}

std::vector<DiatomicPairIntegrals> precompute_diatomic_pairs(const MolecularBatch& molecule,
                                                             const ParameterModel& model) {
    const std::size_t n = molecule.n_atoms;
    std::vector<DiatomicPairIntegrals> table;
    table.reserve(n > 1 ? n * (n - 1) / 2 : 0);
    const std::vector<PairAtomData> atoms = prepare_pair_atoms(molecule, model);
    // Not zeroed: only pairs with d orbitals touch it, and they write every block first.
    const std::unique_ptr<PairIntegralScratch> scratch = std::make_unique_for_overwrite<PairIntegralScratch>();

    for (std::size_t i = 0; i < n; ++i) {
        check_interruption();
        for (std::size_t j = 0; j < i; ++j) {
            DiatomicPairIntegrals rec;
            if (compute_diatomic_pair(molecule, model, i, j, atoms[i], atoms[j], rec, *scratch)) {
                table.push_back(std::move(rec));
            }
        }
    }
    return table;
}

}  // namespace quorin
