#include "core/varnex/hybrid.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace quorin {

namespace {

constexpr double kHalfRoot2 = 0.7071067811865476;

using Vector = std::vector<double>;

double dot(const Vector& a, const Vector& b) {
    const std::size_t n = std::min(a.size(), b.size());
    double sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) sum += a[k] * b[k];
    return sum;
}

void normalise(Vector& v) {
    const double norm = std::sqrt(dot(v, v));
    if (norm > 1e-14) {
        for (double& c : v) c /= norm;
    }
}

// Cyclic Jacobi diagonalisation of the symmetric m x m matrix `s` (row
// major, overwritten by its diagonal form); `v` receives the eigenvectors as
// columns.
void jacobi_eigen(std::vector<double>& s, std::size_t m, std::vector<double>& v) {
    v.assign(m * m, 0.0);
    for (std::size_t p = 0; p < m; ++p) v[p * m + p] = 1.0;
    auto at = [m](std::vector<double>& a, std::size_t i, std::size_t j) -> double& { return a[i * m + j]; };
    for (int sweep = 0; sweep < 50; ++sweep) {
        double largest = 0.0;
        for (std::size_t p = 0; p < m; ++p) {
            for (std::size_t q = p + 1; q < m; ++q) {
                const double spq = at(s, p, q);
                largest = std::max(largest, std::abs(spq));
                if (std::abs(spq) <= 1e-12) continue;
                const double theta = 0.5 * std::atan2(2.0 * spq, at(s, q, q) - at(s, p, p));
                const double c = std::cos(theta), sn = std::sin(theta);
                for (std::size_t k = 0; k < m; ++k) {
                    const double kp = at(s, k, p), kq = at(s, k, q);
                    at(s, k, p) = c * kp - sn * kq;
                    at(s, k, q) = sn * kp + c * kq;
                }
                for (std::size_t k = 0; k < m; ++k) {
                    const double pk = at(s, p, k), qk = at(s, q, k);
                    at(s, p, k) = c * pk - sn * qk;
                    at(s, q, k) = sn * pk + c * qk;
                }
                for (std::size_t k = 0; k < m; ++k) {
                    const double kp = at(v, k, p), kq = at(v, k, q);
                    at(v, k, p) = c * kp - sn * kq;
                    at(v, k, q) = sn * kp + c * kq;
                }
            }
        }
        if (largest < 1e-12) break;
    }
}

// Symmetric (Loewdin) orthogonalisation of a few vectors on one atom:
// h_i <- sum_k X_ki h_k with X = S^-1/2, each result normalised.
void loewdin_on_atom(std::vector<Vector>& h) {
    const std::size_t m = h.size();
    std::vector<double> s(m * m), v;
    for (std::size_t p = 0; p < m; ++p) {
        for (std::size_t q = 0; q < m; ++q) s[p * m + q] = dot(h[p], h[q]);
    }
    jacobi_eigen(s, m, v);
    std::vector<double> x(m * m, 0.0);
    for (std::size_t k = 0; k < m; ++k) {
        const double scale = 1.0 / std::sqrt(std::max(s[k * m + k], 1e-8));
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t j = 0; j < m; ++j) x[i * m + j] += v[i * m + k] * v[j * m + k] * scale;
        }
    }
    const std::vector<Vector> old = h;
    for (std::size_t i = 0; i < m; ++i) {
        std::fill(h[i].begin(), h[i].end(), 0.0);
        for (std::size_t k = 0; k < m; ++k) {
            for (std::size_t e = 0; e < h[i].size(); ++e) h[i][e] += x[k * m + i] * old[k][e];
        }
        normalise(h[i]);
    }
}

// Orthonormal vectors completing `taken` (orthonormal) to the atom's n AOs:
// modified Gram-Schmidt over the unit vectors s, p_x, p_y, p_z, d..., so the
// s-rich remainder comes first.
std::vector<Vector> complement(const std::vector<Vector>& taken, std::size_t n) {
    std::vector<Vector> basis = taken, found;
    for (std::size_t k = 0; k < n && basis.size() < n; ++k) {
        Vector v(n, 0.0);
        v[k] = 1.0;
        for (const Vector& w : basis) {
            const double overlap = dot(w, v);
            for (std::size_t e = 0; e < n; ++e) v[e] -= overlap * w[e];
        }
        if (std::sqrt(dot(v, v)) <= 1e-4) continue;
        normalise(v);
        basis.push_back(v);
        found.push_back(std::move(v));
    }
    return found;
}

struct AtomOrbitals {
    std::vector<Vector> sigma;      // one per bond, bond-list order
    std::vector<Vector> free;       // orthonormal complement not yet given out
    std::vector<Vector> pi;         // in the order the pi bonds were served
    std::array<double, 3> position{};
};

std::vector<Vector> directional_sigma_hybrids(const MolecularBatch& molecule, const LewisStructure& lewis,
                                              std::size_t a) {
    const std::size_t n = molecule.orbitals_per_atom[a];
    std::vector<std::array<double, 3>> directions;
    for (const LewisBond& bond : lewis.bonds) {
        if (bond.atom_i != a && bond.atom_j != a) continue;
        const std::size_t b = bond.atom_i == a ? bond.atom_j : bond.atom_i;
        const std::array<double, 3> d{molecule.x[b] - molecule.x[a], molecule.y[b] - molecule.y[a],
                                      molecule.z[b] - molecule.z[a]};
        const double length = std::max(std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]), 1e-12);
        directions.push_back({d[0] / length, d[1] / length, d[2] / length});
    }
    const std::size_t n_lp = lewis.lone_pairs[a].second;
    const std::size_t n_sigma = directions.size();
    // Equal s share over the sigma bonds and lone pairs, the rest p.
    const double c_s = n_sigma + n_lp > 0 ? std::sqrt(1.0 / static_cast<double>(n_sigma + n_lp)) : 0.5;
    const double p_share = 1.0 - c_s * c_s;
    const double c_p = p_share > 0.0 && n >= 4 ? std::sqrt(p_share) : 0.0;
    std::vector<Vector> sigma;
    for (const auto& u : directions) {
        Vector h(n, 0.0);
        h[0] = c_s;
        if (n >= 4) {
            for (int k = 0; k < 3; ++k) h[1 + k] = c_p * u[k];
        }
        normalise(h);
        sigma.push_back(std::move(h));
    }
    if (sigma.size() >= 2) loewdin_on_atom(sigma);
    return sigma;
}

// The p part of a hybrid (zero for an s-only atom).
std::array<double, 3> p_part(const Vector& h) {
    if (h.size() < 4) return {0.0, 0.0, 0.0};
    return {h[1], h[2], h[3]};
}

// Pi hybrids for `components` pi bonds between atoms i and j, taken from
// their free complements: the singular vectors of the sideways p overlap
// M_kl = p(f_i,k) . (1 - u u^T) p(f_j,l), u the bond axis.
struct PiChoice {
    std::vector<Vector> on_i, on_j;
    bool decisive = false;  // the chosen overlaps stand clear of the next one
};

PiChoice choose_pi_hybrids(const AtomOrbitals& ai, const AtomOrbitals& aj, std::size_t components) {
    PiChoice choice;
    const std::size_t mi = ai.free.size(), mj = aj.free.size();
    components = std::min({components, mi, mj});
    if (components == 0) return choice;
    std::array<double, 3> u{aj.position[0] - ai.position[0], aj.position[1] - ai.position[1],
                            aj.position[2] - ai.position[2]};
    const double length = std::max(std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]), 1e-12);
    for (double& c : u) c /= length;
    std::vector<double> m(mi * mj);
    for (std::size_t k = 0; k < mi; ++k) {
        const auto pk = p_part(ai.free[k]);
        const double pk_u = pk[0] * u[0] + pk[1] * u[1] + pk[2] * u[2];
        for (std::size_t l = 0; l < mj; ++l) {
            const auto pl = p_part(aj.free[l]);
            const double pl_u = pl[0] * u[0] + pl[1] * u[1] + pl[2] * u[2];
            m[k * mj + l] = pk[0] * pl[0] + pk[1] * pl[1] + pk[2] * pl[2] - pk_u * pl_u;
        }
    }
    // Left singular vectors from M M^T, largest first.
    std::vector<double> mmt(mi * mi, 0.0), vectors;
    for (std::size_t k = 0; k < mi; ++k) {
        for (std::size_t q = 0; q < mi; ++q) {
            for (std::size_t l = 0; l < mj; ++l) mmt[k * mi + q] += m[k * mj + l] * m[q * mj + l];
        }
    }
    jacobi_eigen(mmt, mi, vectors);
    std::vector<std::size_t> order(mi);
    for (std::size_t k = 0; k < mi; ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return mmt[a * mi + a] > mmt[b * mi + b]; });
    const auto singular = [&](std::size_t rank) {
        return rank < mi ? std::sqrt(std::max(mmt[order[rank] * mi + order[rank]], 0.0)) : 0.0;
    };
    choice.decisive = singular(components - 1) - singular(components) > 0.1;
    std::vector<Vector> right;  // coefficients over aj.free
    for (std::size_t c = 0; c < components; ++c) {
        Vector a(mi), b(mj, 0.0);
        for (std::size_t k = 0; k < mi; ++k) a[k] = vectors[k * mi + order[c]];
        for (std::size_t l = 0; l < mj; ++l) {
            for (std::size_t k = 0; k < mi; ++k) b[l] += m[k * mj + l] * a[k];
        }
        // Orthogonal to the partners chosen before (exactly so for distinct
        // singular values); without any sideways overlap, the next free vector.
        for (const Vector& r : right) {
            const double o = dot(r, b);
            for (std::size_t l = 0; l < mj; ++l) b[l] -= o * r[l];
        }
        if (std::sqrt(dot(b, b)) < 1e-8) {
            for (std::size_t l = 0; l < mj; ++l) {
                b.assign(mj, 0.0);
                b[l] = 1.0;
                for (const Vector& r : right) {
                    const double o = dot(r, b);
                    for (std::size_t e = 0; e < mj; ++e) b[e] -= o * r[e];
                }
                if (std::sqrt(dot(b, b)) > 1e-4) break;
            }
        }
        normalise(b);
        right.push_back(b);
        Vector hi(ai.free[0].size(), 0.0), hj(aj.free[0].size(), 0.0);
        for (std::size_t k = 0; k < mi; ++k) {
            for (std::size_t e = 0; e < hi.size(); ++e) hi[e] += a[k] * ai.free[k][e];
        }
        for (std::size_t l = 0; l < mj; ++l) {
            for (std::size_t e = 0; e < hj.size(); ++e) hj[e] += b[l] * aj.free[l][e];
        }
        normalise(hi);
        normalise(hj);
        choice.on_i.push_back(std::move(hi));
        choice.on_j.push_back(std::move(hj));
    }
    return choice;
}

// Removes the given (orthonormal) hybrids from an atom's free complement.
void take_from_free(AtomOrbitals& atom, const std::vector<Vector>& taken) {
    std::vector<Vector> rest;
    for (Vector v : atom.free) {
        for (const Vector& w : taken) {
            const double o = dot(w, v);
            for (std::size_t e = 0; e < v.size(); ++e) v[e] -= o * w[e];
        }
        for (const Vector& w : rest) {
            const double o = dot(w, v);
            for (std::size_t e = 0; e < v.size(); ++e) v[e] -= o * w[e];
        }
        if (std::sqrt(dot(v, v)) <= 1e-4) continue;
        normalise(v);
        rest.push_back(std::move(v));
    }
    atom.free = std::move(rest);
    atom.pi.insert(atom.pi.end(), taken.begin(), taken.end());
}

// A two-centre orbital from hybrids of atoms i < j: (h_i + sign h_j) / sqrt 2.
Lmo two_centre(const MolecularBatch& molecule, std::size_t i, const Vector& h_i, std::size_t j, const Vector& h_j,
               double sign, std::size_t index, double energy, bool occupied, LmoType type) {
    Lmo lmo;
    lmo.atom_indices = {i, j};
    for (std::size_t k = 0; k < h_i.size(); ++k) {
        lmo.ao_indices.push_back(molecule.first_orbital[i] + k);
        lmo.coefficients.push_back(kHalfRoot2 * h_i[k]);
    }
    for (std::size_t k = 0; k < h_j.size(); ++k) {
        lmo.ao_indices.push_back(molecule.first_orbital[j] + k);
        lmo.coefficients.push_back(sign * kHalfRoot2 * h_j[k]);
    }
    lmo.index = index;
    lmo.energy = energy;
    lmo.occupied = occupied;
    lmo.lmo_type = type;
    return lmo;
}

Lmo one_centre(const MolecularBatch& molecule, std::size_t a, const Vector& h, std::size_t index, double energy,
               bool occupied, LmoType type) {
    Lmo lmo;
    lmo.atom_indices = {a};
    for (std::size_t k = 0; k < h.size(); ++k) lmo.ao_indices.push_back(molecule.first_orbital[a] + k);
    lmo.coefficients = h;
    lmo.index = index;
    lmo.energy = energy;
    lmo.occupied = occupied;
    lmo.lmo_type = type;
    return lmo;
}

}  // namespace

std::variant<InitialLmos, std::string> construct_initial_lmos(const MolecularBatch& molecule,
                                                              const LewisStructure& lewis) {
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        if (molecule.orbitals_per_atom[a] == 1 && lewis.bond_counts[a] >= 2) {
            return "Atom " + std::to_string(a) + " has " + std::to_string(lewis.bond_counts[a]) +
                   " bonds but only one orbital";
        }
    }
    std::vector<AtomOrbitals> atoms(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        atoms[a].sigma = directional_sigma_hybrids(molecule, lewis, a);
        atoms[a].free = complement(atoms[a].sigma, molecule.orbitals_per_atom[a]);
        atoms[a].position = {molecule.x[a], molecule.y[a], molecule.z[a]};
    }

    // Pi hybrids, bond by bond: first every bond whose choice is clear (an
    // atom with one sideways p orbital left fixes its partner's), over and
    // over as choices free up, then the first undecided one.
    std::vector<std::size_t> pending;
    for (std::size_t k = 0; k < lewis.bonds.size(); ++k) {
        if (lewis.bonds[k].order > 1) pending.push_back(k);
    }
    std::vector<std::vector<Vector>> pi_i(lewis.bonds.size()), pi_j(lewis.bonds.size());
    const auto serve = [&](std::size_t k, PiChoice& choice) {
        take_from_free(atoms[lewis.bonds[k].atom_i], choice.on_i);
        take_from_free(atoms[lewis.bonds[k].atom_j], choice.on_j);
        pi_i[k] = std::move(choice.on_i);
        pi_j[k] = std::move(choice.on_j);
    };
    while (!pending.empty()) {
        std::vector<std::size_t> undecided;
        for (const std::size_t k : pending) {
            const LewisBond& bond = lewis.bonds[k];
            PiChoice choice = choose_pi_hybrids(atoms[bond.atom_i], atoms[bond.atom_j], bond.order - 1);
            if (choice.decisive) {
                serve(k, choice);
            } else {
                undecided.push_back(k);
            }
        }
        if (undecided.size() == pending.size()) {
            const LewisBond& bond = lewis.bonds[undecided.front()];
            PiChoice choice = choose_pi_hybrids(atoms[bond.atom_i], atoms[bond.atom_j], bond.order - 1);
            serve(undecided.front(), choice);
            undecided.erase(undecided.begin());
        }
        pending = std::move(undecided);
    }

    InitialLmos lmos;
    std::size_t index = 0;
    std::vector<std::size_t> sigma_used(molecule.n_atoms, 0);
    for (std::size_t k = 0; k < lewis.bonds.size(); ++k) {
        const LewisBond& bond = lewis.bonds[k];
        const std::size_t i = bond.atom_i, j = bond.atom_j;
        const Vector& s_i = atoms[i].sigma[sigma_used[i]++];
        const Vector& s_j = atoms[j].sigma[sigma_used[j]++];
        lmos.occupied.push_back(two_centre(molecule, i, s_i, j, s_j, 1.0, index, -12.0, true, LmoType::BondingSigma));
        lmos.virtuals.push_back(
            two_centre(molecule, i, s_i, j, s_j, -1.0, index + 1, 4.0, false, LmoType::AntibondingSigma));
        index += 2;
        for (std::size_t c = 0; c < pi_i[k].size(); ++c) {
            const Vector& p_i = pi_i[k][c];
            const Vector& p_j = pi_j[k][c];
            lmos.occupied.push_back(two_centre(molecule, i, p_i, j, p_j, 1.0, index, -9.0, true, LmoType::BondingPi));
            lmos.virtuals.push_back(
                two_centre(molecule, i, p_i, j, p_j, -1.0, index + 1, 2.0, false, LmoType::AntibondingPi));
            index += 2;
        }
    }
    // Lone pairs and virtual hybrids from what is left on each atom, s-rich
    // vectors first.
    std::vector<std::vector<Vector>> rest(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        std::vector<Vector> taken = atoms[a].sigma;
        taken.insert(taken.end(), atoms[a].pi.begin(), atoms[a].pi.end());
        rest[a] = complement(taken, molecule.orbitals_per_atom[a]);
    }
    for (const auto& [a, count] : lewis.lone_pairs) {
        for (std::size_t t = 0; t < count && t < rest[a].size(); ++t) {
            lmos.occupied.push_back(one_centre(molecule, a, rest[a][t], index++, -10.0, true, LmoType::LonePair));
        }
    }
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        for (std::size_t t = std::min(lewis.lone_pairs[a].second, rest[a].size()); t < rest[a].size(); ++t) {
            lmos.virtuals.push_back(one_centre(molecule, a, rest[a][t], index++, 6.0, false, LmoType::VirtualHybrid));
        }
    }
    return lmos;
}

}  // namespace quorin
