#include "core/parameters/atomic_mass.h"

#include <array>

#include "core/types/errors.h"

namespace quorin {

namespace {

// Indexed by Z - 1 for Z = 1..107.
constexpr std::array<double, 107> kAtomicMassAmu = {
    1.0079,   4.0026,   6.94,     9.01218,  10.81,    12.011,   14.0067,  15.9994,  18.9984,  20.179,
    22.98977, 24.305,   26.98154, 28.0855,  30.97376, 32.06,    35.453,   39.948,   39.0983,  40.08,
    44.9559,  47.9,     50.9415,  51.996,   54.938,   55.847,   58.9332,  58.71,    63.546,   65.38,
    69.735,   72.59,    74.9216,  78.96,    79.904,   83.8,     85.4678,  87.62,    88.9059,  91.22,
    92.9064,  95.94,    98.9062,  101.07,   102.9055, 106.4,    107.868,  112.41,   114.82,   118.69,
    121.75,   127.6,    126.9045, 131.3,    132.9054, 137.33,   138.906,  140.116,  140.9077, 144.24,
    145.0,    150.36,   151.964,  157.25,   158.9253, 162.5,    164.9303, 167.26,   168.9342, 173.04,
    174.967,  178.49,   180.9479, 183.85,   186.207,  190.2,    192.22,   195.09,   196.9665, 200.59,
    204.37,   207.2,    208.9804, 209.0,    210.0,    222.0,    223.0,    226.0,    227.0,    232.0381,
    231.0359, 238.0289, 0.0,      0.0,      0.0,      0.0,      0.0,      5e-05,    0.0,      0.0,
    0.0,      1.0079,   0.0,      0.0,      0.0,      0.0,      0.0,
};

}  // namespace

double atomic_mass(std::uint8_t z) {
    if (z == 0 || z > kAtomicMassAmu.size()) return 0.0;
    return kAtomicMassAmu[z - 1];
}

std::array<double, 3> table_centre_of_mass(const MolecularBatch& molecule) {
    double mass = 0.0;
    std::array<double, 3> centre{};
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const double m = atomic_mass(molecule.atomic_numbers[a]);
        mass += m;
        centre[0] += m * molecule.x[a];
        centre[1] += m * molecule.y[a];
        centre[2] += m * molecule.z[a];
    }
    if (mass > 0.0) {
        for (double& c : centre) c /= mass;
    }
    return centre;
}

void require_tabulated_masses(const MolecularBatch& molecule, const std::string& remedy) {
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const std::uint8_t z = molecule.atomic_numbers[a];
        if (!(atomic_mass(z) > 0.0)) {
            throw EngineStop("No atomic mass is tabulated for atom " + std::to_string(a) + " (Z=" + std::to_string(z) +
                             ")" + remedy);
        }
    }
}

void add_inertia_tensor(const MolecularBatch& molecule, std::span<const double> masses_amu,
                        const std::array<double, 3>& centre, Matrix& inertia) {
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const double m = masses_amu[a];
        const double dx = molecule.x[a] - centre[0], dy = molecule.y[a] - centre[1], dz = molecule.z[a] - centre[2];
        inertia(0, 0) += m * (dy * dy + dz * dz);
        inertia(1, 1) += m * (dz * dz + dx * dx);
        inertia(2, 2) += m * (dx * dx + dy * dy);
        inertia(0, 1) -= m * dx * dy;
        inertia(0, 2) -= m * dx * dz;
        inertia(1, 2) -= m * dy * dz;
    }
    inertia(1, 0) = inertia(0, 1);
    inertia(2, 0) = inertia(0, 2);
    inertia(2, 1) = inertia(1, 2);
}

}  // namespace quorin
