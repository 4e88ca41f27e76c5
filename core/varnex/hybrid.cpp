#include "core/varnex/hybrid.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace quorin {

namespace {

constexpr double kHalfRoot2 = 0.7071067811865476;

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    double sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) sum += a[k] * b[k];
    return sum;
}

void normalise(std::vector<double>& v) {
    const double norm = std::sqrt(dot(v, v));
    if (norm > 1e-14) {
        for (double& c : v) c /= norm;
    }
}

// Symmetric (Loewdin) orthogonalisation of a few vectors on one atom:
// h_i <- sum_k X_ki h_k with X = S^-1/2 from a cyclic Jacobi diagonalisation
// of the small overlap matrix, each result normalised.
void loewdin_on_atom(std::vector<std::vector<double>>& h) {
    const std::size_t m = h.size();
    std::vector<double> s(m * m), v(m * m, 0.0);
    for (std::size_t p = 0; p < m; ++p) {
        v[p * m + p] = 1.0;
        for (std::size_t q = 0; q < m; ++q) s[p * m + q] = dot(h[p], h[q]);
    }
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
    std::vector<double> x(m * m, 0.0);
    for (std::size_t k = 0; k < m; ++k) {
        const double scale = 1.0 / std::sqrt(std::max(at(s, k, k), 1e-8));
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t j = 0; j < m; ++j) x[i * m + j] += at(v, i, k) * at(v, j, k) * scale;
        }
    }
    const std::vector<std::vector<double>> old = h;
    for (std::size_t i = 0; i < m; ++i) {
        std::fill(h[i].begin(), h[i].end(), 0.0);
        for (std::size_t k = 0; k < m; ++k) {
            for (std::size_t e = 0; e < h[i].size(); ++e) h[i][e] += x[k * m + i] * old[k][e];
        }
        normalise(h[i]);
    }
}

AtomHybrids hybrids_of_atom(const MolecularBatch& molecule, const LewisStructure& lewis, std::size_t a) {
    AtomHybrids hybrids;
    const std::size_t n = molecule.orbitals_per_atom[a];
    if (n == 1) {
        hybrids.sigma_hybrids.push_back({{1.0}, a});
        return hybrids;
    }
    std::vector<std::array<double, 3>> directions;
    std::size_t n_pi = 0;
    for (const LewisBond& bond : lewis.bonds) {
        if (bond.atom_i != a && bond.atom_j != a) continue;
        const std::size_t b = bond.atom_i == a ? bond.atom_j : bond.atom_i;
        const std::array<double, 3> d{molecule.x[b] - molecule.x[a], molecule.y[b] - molecule.y[a],
                                      molecule.z[b] - molecule.z[a]};
        const double length = std::max(std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]), 1e-12);
        directions.push_back({d[0] / length, d[1] / length, d[2] / length});
        n_pi += bond.order - 1;
    }
    const std::size_t n_lp = lewis.lone_pairs[a].second;
    const std::size_t n_sigma = directions.size();
    // Equal s share over the sigma bonds and lone pairs, the rest p.
    const double c_s = n_sigma + n_lp > 0 ? std::sqrt(1.0 / static_cast<double>(n_sigma + n_lp)) : 0.5;
    const double p_share = 1.0 - c_s * c_s;
    const double c_p = p_share > 0.0 ? std::sqrt(p_share) : 0.0;

    std::vector<std::vector<double>> sigma;
    for (const auto& u : directions) {
        std::vector<double> h(n, 0.0);
        h[0] = c_s;
        for (int k = 0; k < 3; ++k) h[1 + k] = c_p * u[k];
        normalise(h);
        sigma.push_back(std::move(h));
    }
    if (sigma.size() >= 2) loewdin_on_atom(sigma);

    // Complement of the sigma hybrids by modified Gram-Schmidt over the unit
    // vectors of the atom's AOs, filed in order of discovery.
    std::vector<std::vector<double>> basis = sigma;
    for (std::size_t k = 0; k < n; ++k) {
        std::vector<double> v(n, 0.0);
        v[k] = 1.0;
        for (const auto& w : basis) {
            const double overlap = dot(w, v);
            for (std::size_t e = 0; e < n; ++e) v[e] -= overlap * w[e];
        }
        if (std::sqrt(dot(v, v)) <= 1e-4) continue;
        normalise(v);
        basis.push_back(v);
        const std::size_t filed = basis.size() - sigma.size() - 1;
        auto& list = filed < n_pi ? hybrids.pi_hybrids
                                  : (filed < n_pi + n_lp ? hybrids.lone_pair_hybrids : hybrids.virtual_hybrids);
        list.push_back({std::move(v), a});
    }
    for (auto& h : sigma) hybrids.sigma_hybrids.push_back({std::move(h), a});
    return hybrids;
}

// A two-centre orbital from hybrids of atoms i < j: (h_i + sign h_j) / sqrt 2.
Lmo two_centre(const MolecularBatch& molecule, std::size_t i, const std::vector<double>& h_i, std::size_t j,
               const std::vector<double>& h_j, double sign, std::size_t index, double energy, bool occupied,
               LmoType type) {
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

Lmo one_centre(const MolecularBatch& molecule, std::size_t a, const std::vector<double>& h, std::size_t index,
               double energy, bool occupied, LmoType type) {
    Lmo lmo;
    lmo.atom_indices = {a};
    const std::size_t n = molecule.orbitals_per_atom[a];
    for (std::size_t k = 0; k < n; ++k) lmo.ao_indices.push_back(molecule.first_orbital[a] + k);
    lmo.coefficients = h;
    lmo.index = index;
    lmo.energy = energy;
    lmo.occupied = occupied;
    lmo.lmo_type = type;
    return lmo;
}

}  // namespace

std::vector<AtomHybrids> construct_atom_hybrids(const MolecularBatch& molecule, const LewisStructure& lewis) {
    std::vector<AtomHybrids> atoms;
    atoms.reserve(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) atoms.push_back(hybrids_of_atom(molecule, lewis, a));
    return atoms;
}

std::variant<InitialLmos, std::string> construct_initial_lmos(const MolecularBatch& molecule,
                                                              const LewisStructure& lewis) {
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        if (molecule.orbitals_per_atom[a] == 1 && lewis.bond_counts[a] >= 2) {
            return "Atom " + std::to_string(a) + " has " + std::to_string(lewis.bond_counts[a]) +
                   " bonds but only one orbital";
        }
    }
    const std::vector<AtomHybrids> atoms = construct_atom_hybrids(molecule, lewis);
    InitialLmos lmos;
    std::size_t index = 0;
    std::vector<std::size_t> sigma_used(molecule.n_atoms, 0), pi_used(molecule.n_atoms, 0);
    for (const LewisBond& bond : lewis.bonds) {
        const std::size_t i = bond.atom_i, j = bond.atom_j;
        const auto& s_i = atoms[i].sigma_hybrids[sigma_used[i]++].coefficients;
        const auto& s_j = atoms[j].sigma_hybrids[sigma_used[j]++].coefficients;
        lmos.occupied.push_back(two_centre(molecule, i, s_i, j, s_j, 1.0, index, -12.0, true, LmoType::BondingSigma));
        lmos.virtuals.push_back(
            two_centre(molecule, i, s_i, j, s_j, -1.0, index + 1, 4.0, false, LmoType::AntibondingSigma));
        index += 2;
        for (std::size_t component = 1; component < bond.order; ++component) {
            if (pi_used[i] >= atoms[i].pi_hybrids.size() || pi_used[j] >= atoms[j].pi_hybrids.size()) continue;
            const auto& p_i = atoms[i].pi_hybrids[pi_used[i]++].coefficients;
            const auto& p_j = atoms[j].pi_hybrids[pi_used[j]++].coefficients;
            const double sign = dot(p_i, p_j) < 0.0 ? -1.0 : 1.0;
            lmos.occupied.push_back(two_centre(molecule, i, p_i, j, p_j, sign, index, -9.0, true, LmoType::BondingPi));
            lmos.virtuals.push_back(
                two_centre(molecule, i, p_i, j, p_j, -sign, index + 1, 2.0, false, LmoType::AntibondingPi));
            index += 2;
        }
    }
    for (const auto& [a, count] : lewis.lone_pairs) {
        for (std::size_t t = 0; t < count && t < atoms[a].lone_pair_hybrids.size(); ++t) {
            lmos.occupied.push_back(one_centre(molecule, a, atoms[a].lone_pair_hybrids[t].coefficients, index++,
                                               -10.0, true, LmoType::LonePair));
        }
    }
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        for (std::size_t t = pi_used[a]; t < atoms[a].pi_hybrids.size(); ++t) {
            lmos.virtuals.push_back(one_centre(molecule, a, atoms[a].pi_hybrids[t].coefficients, index++, 5.0, false,
                                               LmoType::VirtualHybrid));
        }
        for (const auto& h : atoms[a].virtual_hybrids) {
            lmos.virtuals.push_back(
                one_centre(molecule, a, h.coefficients, index++, 6.0, false, LmoType::VirtualHybrid));
        }
    }
    return lmos;
}

}  // namespace quorin
