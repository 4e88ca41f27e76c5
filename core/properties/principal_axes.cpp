#include "core/properties/principal_axes.h"

#include <array>
#include <vector>

#include "core/parameters/atomic_mass.h"
#include "core/scf/eigensolver.h"

namespace quorin {

namespace {

// Small distinct seeds of the inertia tensor (amu angstrom^2): they split the
// degeneracy of a single atom or a symmetric top so that the axes come out
// the same on every run.
constexpr double kOffsetXX = 1e-10, kOffsetXY = 2e-10, kOffsetYY = 3e-10;
constexpr double kOffsetXZ = 4e-10, kOffsetYZ = 5e-10, kOffsetZZ = 6e-10;

double determinant(const Matrix& m) {
    return m(0, 0) * (m(1, 1) * m(2, 2) - m(1, 2) * m(2, 1)) - m(0, 1) * (m(1, 0) * m(2, 2) - m(1, 2) * m(2, 0)) +
           m(0, 2) * (m(1, 0) * m(2, 1) - m(1, 1) * m(2, 0));
}

void negate_column(Matrix& m, std::size_t k) {
    for (std::size_t i = 0; i < 3; ++i) m(i, k) = -m(i, k);
}

}  // namespace

PrincipalAxesFrame align_principal_axes(const MolecularBatch& molecule) {
    const std::size_t n = molecule.n_atoms;
    Matrix axes = Matrix::zeros(3, 3);
    if (n == 0) {
        for (std::size_t k = 0; k < 3; ++k) axes(k, k) = 1.0;
        return {molecule, std::move(axes)};
    }

    const std::array<double, 3> centre = table_centre_of_mass(molecule);
    std::vector<std::array<double, 3>> shifted(n);
    for (std::size_t a = 0; a < n; ++a) {
        shifted[a] = {molecule.x[a] - centre[0], molecule.y[a] - centre[1], molecule.z[a] - centre[2]};
    }

    Matrix inertia = Matrix::zeros(3, 3);
    inertia(0, 0) = kOffsetXX;
    inertia(1, 1) = kOffsetYY;
    inertia(2, 2) = kOffsetZZ;
    inertia(0, 1) = kOffsetXY;
    inertia(0, 2) = kOffsetXZ;
    inertia(1, 2) = kOffsetYZ;
    std::vector<double> masses(n);
    for (std::size_t a = 0; a < n; ++a) masses[a] = atomic_mass(molecule.atomic_numbers[a]);
    add_inertia_tensor(molecule, masses, centre, inertia);

    Vec64 moments = Vec64::zeros(3);
    diagonalize_symmetric(inertia, moments, axes);

    for (std::size_t k = 0; k < 3; ++k) {
        if (axes(k, k) < 0.0) negate_column(axes, k);
    }
    if (determinant(axes) < 0.0) {
        std::size_t smallest = 0;
        for (std::size_t k = 1; k < 3; ++k) {
            if (axes(k, k) < axes(smallest, smallest)) smallest = k;
        }
        negate_column(axes, smallest);
    }

    std::vector<std::array<double, 3>> rotated(n);
    std::array<double, 3> centroid{};
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t k = 0; k < 3; ++k) {
            rotated[a][k] = shifted[a][0] * axes(0, k) + shifted[a][1] * axes(1, k) + shifted[a][2] * axes(2, k);
            centroid[k] += rotated[a][k];
        }
    }
    for (std::size_t k = 0; k < 3; ++k) centroid[k] /= static_cast<double>(n);
    for (auto& r : rotated) {
        for (std::size_t k = 0; k < 3; ++k) r[k] -= centroid[k];
    }

    return {MolecularBatch::new_with_basis(molecule.atomic_numbers, rotated, molecule.orbitals_per_atom),
            std::move(axes)};
}

}  // namespace quorin
