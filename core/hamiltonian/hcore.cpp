#include "core/hamiltonian/hcore.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/integrals/core_repulsion.h"
#include "core/integrals/multipole_params.h"
#include "core/integrals/multipoles.h"
#include "core/integrals/overlap.h"
#include "core/parameters/atomic_mass.h"
#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

void require_basis_shape(const MolecularBatch& molecule, const Matrix& h) {
    if (h.rows() != molecule.n_basis) stop_assert_eq("assertion `left == right` failed", h.rows(), molecule.n_basis);
    if (h.cols() != molecule.n_basis) stop_assert_eq("assertion `left == right` failed", h.cols(), molecule.n_basis);
}

double one_center_energy(const ElementParams& e, std::size_t position) {
    if (position == 0) return e.u_ss;
    if (position < 4) return e.u_pp;
    return e.u_dd;
}

void set_one_center_energies(const MolecularBatch& molecule, const ParameterModel& model, Matrix& h) {
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const std::optional<ElementParams> e = model.get_element(molecule.atomic_numbers[a]);
        if (!e) continue;
        const std::size_t f = molecule.first_orbital[a];
        const std::size_t norb = molecule.orbitals_per_atom[a];
        for (std::size_t k = 0; k < norb; ++k) h(f + k, f + k) = one_center_energy(*e, k);
    }
}

// Off-diagonal blocks S_mu,nu (beta_mu + beta_nu) / 2 for every pair A < B.
void set_resonance_blocks(const MolecularBatch& molecule, const ParameterModel& model, Matrix& h) {
    // Element records and Slater normalisations once per atom, not per pair.
    std::vector<std::optional<ElementParams>> records(molecule.n_atoms);
    std::vector<SlaterNorms> norms(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        records[a] = model.get_element(molecule.atomic_numbers[a]);
        if (records[a]) norms[a] = slater_norms(molecule.atomic_numbers[a], *records[a]);
    }
    std::array<double, 81> block;
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        if (!records[a]) continue;
        const std::size_t fa = molecule.first_orbital[a];
        const std::size_t na = molecule.orbitals_per_atom[a];
        for (std::size_t b = a + 1; b < molecule.n_atoms; ++b) {
            if (!records[b]) continue;
            if (!resonance_block(molecule, a, b, *records[a], *records[b], norms[a], norms[b], block)) continue;
            const std::size_t fb = molecule.first_orbital[b];
            const std::size_t nb = molecule.orbitals_per_atom[b];
            for (std::size_t mu = 0; mu < na; ++mu) {
                for (std::size_t nu = 0; nu < nb; ++nu) {
                    h(fa + mu, fb + nu) = block[mu * nb + nu];
                    h(fb + nu, fa + mu) = block[mu * nb + nu];
                }
            }
        }
    }
}

}  // namespace

double resonance_parameter(const ElementParams& element, std::size_t position) {
    if (position == 0) return element.beta_s;
    if (position < 4) return element.beta_p;
    return element.beta_d;
}

bool resonance_block(const MolecularBatch& molecule, std::size_t a, std::size_t b, const ElementParams& ea,
                     const ElementParams& eb, const SlaterNorms& norms_a, const SlaterNorms& norms_b,
                     std::array<double, 81>& block) {
    const double dx = molecule.x[b] - molecule.x[a];
    const double dy = molecule.y[b] - molecule.y[a];
    const double dz = molecule.z[b] - molecule.z[a];
    const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
    if (r < 1e-10) return false;
    const std::size_t na = molecule.orbitals_per_atom[a];
    const std::size_t nb = molecule.orbitals_per_atom[b];
    std::array<double, 81> overlap;
    compute_diatomic_overlap_matrix_9x9(molecule.atomic_numbers[a], molecule.atomic_numbers[b], na, nb, ea, eb,
                                        norms_a, norms_b, overlap, dx, dy, dz, r);
    for (std::size_t mu = 0; mu < na; ++mu) {
        const double beta_mu = resonance_parameter(ea, mu);
        for (std::size_t nu = 0; nu < nb; ++nu) {
            block[mu * nb + nu] = overlap[9 * mu + nu] * 0.5 * (beta_mu + resonance_parameter(eb, nu));
        }
    }
    return true;
}

void build_hcore(const MolecularBatch& molecule, const ParameterModel& model, Matrix& h) {
    require_basis_shape(molecule, h);
    h.fill(0.0);
    if (molecule.n_atoms == 0) return;
    set_one_center_energies(molecule, model, h);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const std::optional<ElementParams> ea = model.get_element(molecule.atomic_numbers[a]);
        if (!ea) continue;
        const double rho_a = klopman_ohno_radius(*ea);
        double attraction = 0.0;
        for (std::size_t b = 0; b < molecule.n_atoms; ++b) {
            if (b == a) continue;
            const std::optional<ElementParams> eb = model.get_element(molecule.atomic_numbers[b]);
            if (!eb) continue;
            const double gamma = klopman_ohno_gamma(molecule, a, b, rho_a + klopman_ohno_radius(*eb));
            attraction += eb->core_charge * gamma;
        }
        const std::size_t f = molecule.first_orbital[a];
        for (std::size_t k = 0; k < molecule.orbitals_per_atom[a]; ++k) h(f + k, f + k) -= attraction;
    }
    set_resonance_blocks(molecule, model, h);
}

void build_hcore_nddo(const MolecularBatch& molecule, const ParameterModel& model,
                      std::span<const DiatomicPairIntegrals> pairs, Matrix& h) {
    require_basis_shape(molecule, h);
    h.fill(0.0);
    set_one_center_energies(molecule, model, h);
    apply_electron_nuclear_attractions(pairs, h);
    set_resonance_blocks(molecule, model, h);
}

void build_hcore_with_options(const MolecularBatch& molecule, const ParameterModel& model,
                              std::span<const DiatomicPairIntegrals> pairs, bool use_nddo, Matrix& h) {
    if (use_nddo) {
        build_hcore_nddo(molecule, model, pairs, h);
    } else {
        build_hcore(molecule, model, h);
    }
}

double apply_electric_field_to_hcore(const MolecularBatch& molecule, const ParameterModel& model,
                                     Matrix& h, const std::array<double, 3>& field) {
    if (molecule.n_atoms == 0) return 0.0;
    require_basis_shape(molecule, h);

    const std::array<double, 3> origin = table_centre_of_mass(molecule);

    double energy = 0.0;
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const std::optional<ElementParams> e = model.get_element(molecule.atomic_numbers[a]);
        if (!e) continue;
        // Potential energy of an electron at the atom, eV (V/angstrom times angstrom).
        const double phi = field[0] * (molecule.x[a] - origin[0]) + field[1] * (molecule.y[a] - origin[1]) +
                           field[2] * (molecule.z[a] - origin[2]);
        energy -= e->core_charge * phi;
        const std::size_t f = molecule.first_orbital[a];
        const std::size_t norb = molecule.orbitals_per_atom[a];
        for (std::size_t k = 0; k < norb; ++k) h(f + k, f + k) += phi;
        // On-atom <i|r|j>: s-p (D1) and p-d pairs of the atom's multipole model.
        const OnAtomDipoleIntegrals integrals = on_atom_dipole_integrals(*e, norb);
        for (std::size_t k = 0; k < integrals.count; ++k) {
            const OnAtomDipoleIntegral& d = integrals.entries[k];
            const double v = field[d.axis] * d.value * kBohrToAngstrom;
            h(f + d.i, f + d.j) += v;
            h(f + d.j, f + d.i) += v;
        }
    }
    return energy;
}

}  // namespace quorin
