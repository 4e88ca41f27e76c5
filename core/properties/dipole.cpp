#include "core/properties/dipole.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "core/integrals/multipole_params.h"
#include "core/parameters/atomic_mass.h"
#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {

std::array<double, 3> point_charge_dipole_debye(const MolecularBatch& molecule, std::span<const double> charges,
                                                const std::array<double, 3>& origin) {
    std::array<double, 3> dipole{};
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const double q = charges[a];
        dipole[0] += q * (molecule.x[a] - origin[0]);
        dipole[1] += q * (molecule.y[a] - origin[1]);
        dipole[2] += q * (molecule.z[a] - origin[2]);
    }
    for (double& c : dipole) c *= kDebyePerElectronAngstrom;
    return dipole;
}

double dipole_magnitude(const std::array<double, 3>& dipole) {
    return std::sqrt(dipole[0] * dipole[0] + dipole[1] * dipole[1] + dipole[2] * dipole[2]);
}

DipoleResult compute_dipole(const MolecularBatch& molecule, const ParameterModel& model,
                            const Matrix& density) {
    if (density.rows() != molecule.n_basis || density.cols() != molecule.n_basis) {
        stop_assert_eq("Density matrix does not match the basis size", density.rows() * density.cols(),
                       molecule.n_basis * molecule.n_basis);
    }
    DipoleResult result;
    const std::size_t n_atoms = molecule.n_atoms;
    result.charges.resize(n_atoms);

    for (std::size_t a = 0; a < n_atoms; ++a) {
        const auto element = model.get_element(molecule.atomic_numbers[a]);
        const double core_charge = element ? element->core_charge : 0.0;
        result.charges[a] = core_charge - diagonal_population(molecule, density, a);
        result.total_charge += result.charges[a];
    }

    // A charged system has an origin-dependent dipole; take it about the
    // centre of mass so the value does not depend on where the molecule sits.
    if (std::abs(result.total_charge) > 0.5) {
        result.origin = table_centre_of_mass(molecule);
    }

    result.point_charge_dipole = point_charge_dipole_debye(molecule, result.charges, result.origin);

    // An atom's s-p (and p-d) density blocks displace its electron cloud:
    // each pair contributes -2 P(i, j) <i|r|j>.
    for (std::size_t a = 0; a < n_atoms; ++a) {
        const std::uint8_t z = molecule.atomic_numbers[a];
        if (z == 1) continue;
        const auto element = model.get_element(z);
        if (!element) throw EngineStop("Parameters missing for element Z=" + std::to_string(z));
        const OnAtomDipoleIntegrals integrals = on_atom_dipole_integrals(*element, molecule.orbitals_per_atom[a]);
        const std::size_t f = molecule.first_orbital[a];
        for (std::size_t n = 0; n < integrals.count; ++n) {
            const OnAtomDipoleIntegral& e = integrals.entries[n];
            result.hybrid_dipole[e.axis] -= 2.0 * e.value * density(f + e.i, f + e.j);
        }
    }
    for (double& c : result.hybrid_dipole) c *= kBohrToAngstrom * kDebyePerElectronAngstrom;

    for (int k = 0; k < 3; ++k) result.total_dipole[k] = result.point_charge_dipole[k] + result.hybrid_dipole[k];
    result.point_charge_dipole_magnitude = dipole_magnitude(result.point_charge_dipole);
    result.hybrid_dipole_magnitude = dipole_magnitude(result.hybrid_dipole);
    result.total_dipole_magnitude = dipole_magnitude(result.total_dipole);
    return result;
}

}  // namespace quorin
