#include "core/types/molecule.h"

#include "core/parameters/parameter_model.h"
#include "core/types/errors.h"

namespace quorin {

MolecularBatch MolecularBatch::new_with_basis(std::vector<std::uint8_t> atomic_numbers,
                                              std::span<const std::array<double, 3>> coordinates,
                                              std::vector<std::uint8_t> basis) {
    if (atomic_numbers.size() != coordinates.size()) {
        stop_assert_eq("Atomic numbers and coordinates length mismatch", atomic_numbers.size(),
                       coordinates.size());
    }
    if (coordinates.size() != basis.size()) {
        stop_assert_eq("Atomic numbers and basis types length mismatch", coordinates.size(),
                       basis.size());
    }
    MolecularBatch mol;
    const std::size_t n = atomic_numbers.size();
    mol.x = Vec64::zeros(n);
    mol.y = Vec64::zeros(n);
    mol.z = Vec64::zeros(n);
    for (std::size_t i = 0; i < n; ++i) {
        mol.x[i] = coordinates[i][0];
        mol.y[i] = coordinates[i][1];
        mol.z[i] = coordinates[i][2];
    }
    mol.first_orbital.resize(n);
    std::size_t running = 0;
    for (std::size_t i = 0; i < n; ++i) {
        mol.first_orbital[i] = running;
        running += basis[i];
    }
    mol.n_basis = running;
    mol.n_atoms = n;
    mol.atomic_numbers = std::move(atomic_numbers);
    mol.orbitals_per_atom = std::move(basis);
    return mol;
}

MolecularBatch MolecularBatch::new_for_model(std::vector<std::uint8_t> atomic_numbers,
                                             std::span<const std::array<double, 3>> coordinates,
                                             const ParameterModel& model) {
    std::vector<std::uint8_t> basis(atomic_numbers.size());
    for (std::size_t i = 0; i < atomic_numbers.size(); ++i) basis[i] = model.basis_type(atomic_numbers[i]);
    return new_with_basis(std::move(atomic_numbers), coordinates, std::move(basis));
}

std::uint8_t default_orbital_count(std::uint8_t z) {
    if (z == 1) return 1;
    if (z >= 2 && z <= 20) return 4;
    if (z >= 21 && z <= 29) return 9;
    if (z >= 30 && z <= 38) return 4;
    if (z >= 39 && z <= 47) return 9;
    if (z >= 48 && z <= 56) return 4;
    if (z >= 57 && z <= 79) return 9;
    if (z >= 80 && z <= 86) return 4;
    return 9;
}

MolecularBatch MolecularBatch::new_by_atomic_number(std::vector<std::uint8_t> atomic_numbers,
                                                    std::span<const std::array<double, 3>> coordinates) {
    std::vector<std::uint8_t> basis(atomic_numbers.size());
    for (std::size_t i = 0; i < atomic_numbers.size(); ++i) basis[i] = default_orbital_count(atomic_numbers[i]);
    return new_with_basis(std::move(atomic_numbers), coordinates, std::move(basis));
}

std::vector<std::array<double, 3>> coordinate_triples(const MolecularBatch& molecule) {
    std::vector<std::array<double, 3>> triples(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) triples[a] = {molecule.x[a], molecule.y[a], molecule.z[a]};
    return triples;
}

double diagonal_population(const MolecularBatch& molecule, const Matrix& density, std::size_t atom) {
    const std::size_t first = molecule.first_orbital[atom];
    double population = 0.0;
    for (std::size_t mu = first; mu < first + molecule.orbitals_per_atom[atom]; ++mu) population += density(mu, mu);
    return population;
}

void set_coordinates(MolecularBatch& molecule, std::span<const std::array<double, 3>> coordinates) {
    if (coordinates.size() != molecule.n_atoms) {
        stop_assert_eq("Coordinate count does not match the atom count", coordinates.size(), molecule.n_atoms);
    }
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        molecule.x[a] = coordinates[a][0];
        molecule.y[a] = coordinates[a][1];
        molecule.z[a] = coordinates[a][2];
    }
}

}  // namespace quorin
