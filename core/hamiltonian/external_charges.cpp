#include "core/hamiltonian/external_charges.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "core/hamiltonian/hcore.h"
#include "core/integrals/core_repulsion.h"
#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {

void apply_external_charges_to_hcore(const MolecularBatch& molecule, const ParameterModel& model,
                                     std::span<const PointCharge> charges, std::size_t count, Matrix& h) {
    count = std::min(count, charges.size());
    if (count == 0 || molecule.n_atoms == 0) return;
    if (h.rows() != molecule.n_basis) stop_assert_eq("assertion `left == right` failed", h.rows(), molecule.n_basis);
    if (h.cols() != molecule.n_basis) stop_assert_eq("assertion `left == right` failed", h.cols(), molecule.n_basis);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const std::optional<ElementParams> e = model.get_element(molecule.atomic_numbers[a]);
        if (!e) continue;
        double rho_sq = 0.25;
        if (e->g_ss > 1e-6) {
            const double rho = klopman_ohno_radius(*e);
            rho_sq = rho * rho;
        }
        double potential = 0.0;
        for (std::size_t c = 0; c < count; ++c) {
            const double dx = molecule.x[a] - charges[c][0];
            const double dy = molecule.y[a] - charges[c][1];
            const double dz = molecule.z[a] - charges[c][2];
            potential -= kCoulombEvAngstrom * charges[c][3] / std::sqrt(dx * dx + dy * dy + dz * dz + rho_sq);
        }
        const std::size_t f = molecule.first_orbital[a];
        for (std::size_t k = 0; k < molecule.orbitals_per_atom[a]; ++k) h(f + k, f + k) += potential;
    }
}

double compute_external_charges_core_energy(const MolecularBatch& molecule, const ParameterModel& model,
                                            std::span<const PointCharge> charges, std::size_t count) {
    count = std::min(count, charges.size());
    if (count == 0 || molecule.n_atoms == 0) return 0.0;
    double energy = 0.0;
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const std::optional<ElementParams> e = model.get_element(molecule.atomic_numbers[a]);
        if (!e) continue;
        for (std::size_t c = 0; c < count; ++c) {
            const double dx = molecule.x[a] - charges[c][0];
            const double dy = molecule.y[a] - charges[c][1];
            const double dz = molecule.z[a] - charges[c][2];
            const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
            if (r > 1e-8) energy += kCoulombEvAngstrom * charges[c][3] * e->core_charge / r;
        }
    }
    return energy;
}

}  // namespace quorin
