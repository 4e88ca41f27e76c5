#pragma once
// Small geometry tools shared by the correction tests: building molecules,
// rigid motions, reordering and central differences.
#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

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

using Rotation = std::array<std::array<double, 3>, 3>;

// Rotation by `angle` about the (normalised) `axis`, Rodrigues' formula.
inline Rotation rotation(std::array<double, 3> axis, double angle) {
    const double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    const double x = axis[0] / n, y = axis[1] / n, z = axis[2] / n;
    const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
    return {{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
             {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
             {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
}

inline std::array<double, 3> apply(const Rotation& r, std::array<double, 3> v) {
    return {r[0][0] * v[0] + r[0][1] * v[1] + r[0][2] * v[2], r[1][0] * v[0] + r[1][1] * v[1] + r[1][2] * v[2],
            r[2][0] * v[0] + r[2][1] * v[1] + r[2][2] * v[2]};
}

// Rotates about the origin, then translates.
inline MolecularBatch moved(const MolecularBatch& mol, const Rotation& r, std::array<double, 3> shift) {
    std::vector<Atom> atoms = atoms_of(mol);
    for (Atom& a : atoms) {
        const std::array<double, 3> p = apply(r, {a.x, a.y, a.z_coord});
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

inline std::vector<Atom> read_xyz(const std::string& name) {
    std::ifstream in(std::string(QUORIN_MOLECULES_DIR) + "/" + name);
    std::size_t n = 0;
    in >> n;
    std::string line;
    std::getline(in, line);
    std::getline(in, line);
    std::vector<Atom> atoms;
    const std::vector<std::pair<std::string, std::uint8_t>> symbols = {{"H", 1}, {"C", 6}, {"N", 7}, {"O", 8}};
    for (std::size_t i = 0; i < n; ++i) {
        std::string symbol;
        double x, y, z;
        in >> symbol >> x >> y >> z;
        std::uint8_t number = 0;
        for (const auto& [s, zz] : symbols) {
            if (s == symbol) number = zz;
        }
        atoms.push_back({number, x, y, z});
    }
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
