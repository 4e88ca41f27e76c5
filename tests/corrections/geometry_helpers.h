#pragma once
// Small geometry tools shared by the correction tests: building molecules as
// atom lists, rigid motions, reordering and central differences.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/geometry.h"
#include "core/types/molecule.h"

namespace quorin::testing {

struct Atom {
    std::uint8_t z;
    double x, y, z_coord;
};

inline MolecularBatch make_molecule(const std::vector<Atom>& atoms) {
    std::vector<std::uint8_t> numbers;
    std::vector<std::array<double, 3>> coords;
    for (const Atom& a : atoms) {
        numbers.push_back(a.z);
        coords.push_back({a.x, a.y, a.z_coord});
    }
    return MolecularBatch::new_by_atomic_number(std::move(numbers), coords);
}

inline std::vector<Atom> atoms_of(const MolecularBatch& mol) {
    std::vector<Atom> atoms;
    for (std::size_t i = 0; i < mol.n_atoms; ++i) {
        atoms.push_back({mol.atomic_numbers[i], mol.x[i], mol.y[i], mol.z[i]});
    }
    return atoms;
}

// Appends `b` shifted by `shift` to `a`.
inline std::vector<Atom> combine(std::vector<Atom> a, const std::vector<Atom>& b,
                                 std::array<double, 3> shift = {0.0, 0.0, 0.0}) {
    for (const Atom& atom : b) a.push_back({atom.z, atom.x + shift[0], atom.y + shift[1], atom.z_coord + shift[2]});
    return a;
}

using fixtures::Rotation;
using fixtures::rotate;
using fixtures::rotation_matrix;

// Rotates about the origin, then translates.
inline MolecularBatch moved(const MolecularBatch& mol, const Rotation& r, std::array<double, 3> shift) {
    std::vector<Atom> atoms = atoms_of(mol);
    for (Atom& a : atoms) {
        const std::array<double, 3> p = rotate(r, {a.x, a.y, a.z_coord});
        a = {a.z, p[0] + shift[0], p[1] + shift[1], p[2] + shift[2]};
    }
    return make_molecule(atoms);
}

// Atom k of the result is atom order[k] of `mol`.
inline MolecularBatch reordered(const MolecularBatch& mol, const std::vector<std::size_t>& order) {
    const std::vector<Atom> atoms = atoms_of(mol);
    std::vector<Atom> out;
    for (std::size_t k : order) out.push_back(atoms[k]);
    return make_molecule(out);
}

// A permutation of 0..n-1 that reverses the order and swaps neighbours, so no atom keeps its index
// pattern.
inline std::vector<std::size_t> scrambled_order(std::size_t n) {
    std::vector<std::size_t> order;
    for (std::size_t k = 0; k < n; ++k) order.push_back(n - 1 - k);
    for (std::size_t k = 0; k + 1 < n; k += 2) std::swap(order[k], order[k + 1]);
    return order;
}

// A molecule of data/molecules by file stem.
inline std::vector<Atom> ladder_atoms(const std::string& name) {
    const fixtures::Geometry g = fixtures::ladder_molecule(name);
    std::vector<Atom> atoms;
    for (std::size_t i = 0; i < g.z.size(); ++i) atoms.push_back({g.z[i], g.xyz[i][0], g.xyz[i][1], g.xyz[i][2]});
    return atoms;
}

// Central-difference gradient of an energy function, one row per atom.
inline std::vector<std::array<double, 3>> central_difference(
    const MolecularBatch& mol, const std::function<double(const MolecularBatch&)>& energy, double step) {
    std::vector<std::array<double, 3>> g(mol.n_atoms);
    for (std::size_t i = 0; i < mol.n_atoms; ++i) {
        for (int c = 0; c < 3; ++c) {
            MolecularBatch plus = mol;
            MolecularBatch minus = mol;
            Vec64& cp = c == 0 ? plus.x : (c == 1 ? plus.y : plus.z);
            Vec64& cm = c == 0 ? minus.x : (c == 1 ? minus.y : minus.z);
            cp[i] += step;
            cm[i] -= step;
            g[i][c] = (energy(plus) - energy(minus)) / (2.0 * step);
        }
    }
    return g;
}

}  // namespace quorin::testing
