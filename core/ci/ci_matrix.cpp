#include "core/ci/ci_matrix.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/types/errors.h"
#include "core/types/interruption.h"

namespace quorin {

namespace {

double signed_by(int parity, double value) { return parity % 2 == 0 ? value : -value; }

// The first two orbitals where `from` is 0 and `to` is 1; false when fewer exist.
bool first_two_gained(const OccupationString& from, const OccupationString& to, std::size_t n, std::size_t& first,
                      std::size_t& second) {
    std::size_t found = 0;
    for (std::size_t k = 0; k < n && found < 2; ++k) {
        if (from[k] < to[k]) (found == 0 ? first : second) = k;
        found += from[k] < to[k];
    }
    return found == 2;
}

// The orbital among the first two differences of two strings that is
// occupied in `owner`.
std::size_t occupied_in(const OccupationString& owner, const OrbitalPair& pair) {
    return owner[pair.p] != 0 ? pair.p : pair.q;
}

int electrons_in_range(const Microstate& s, std::size_t x, std::size_t y) {
    const std::size_t lo = std::min(x, y), hi = std::max(x, y);
    int count = 0;
    for (std::size_t r = lo; r <= hi; ++r) count += s.alpha[r] + s.beta[r];
    return count;
}

void require_square(const Matrix& m, std::size_t size) {
    if (m.rows() != size) stop_assert_eq("assertion `left == right` failed", m.rows(), size);
    if (m.cols() != size) stop_assert_eq("assertion `left == right` failed", m.cols(), size);
}

// One electron of the spin whose strings are `moved` between p < q; `other`
// the strings of the other spin (equal in I and J).
double single_excitation(const OccupationString& moved, const OccupationString& other, std::size_t p,
                         std::size_t q, const ActiveIntegrals& v, std::span<const double> occ) {
    double value = 0.0;
    for (std::size_t k = 0; k < v.n; ++k) {
        value += (other[k] - occ[k]) * v(p, q, k, k) + (moved[k] - occ[k]) * (v(p, q, k, k) - v(p, k, q, k));
    }
    return value;
}

}  // namespace

MeciWorkspace MeciWorkspace::allocate(std::size_t n_active, std::size_t n_microstates) {
    std::size_t cells = 0;
    if (__builtin_mul_overflow(n_microstates, n_microstates, &cells) ||
        cells > std::numeric_limits<std::size_t>::max() / (3 * sizeof(double))) {
        throw EngineStop("CI matrices of " + std::to_string(n_microstates) + " microstates do not fit in memory");
    }
    MeciWorkspace ws;
    ws.integrals = ActiveIntegrals::zeros(n_active);
    ws.diagonal_energies.assign(n_microstates, 0.0);
    ws.orbital_energies.assign(n_active, 0.0);
    ws.reference_occupations.assign(n_active, 0.0);
    // Each matrix is zeroed as it is allocated, 0.2 GB at 4,900 microstates:
    // a look for a stop between them.
    ws.ci_matrix = Matrix::zeros(n_microstates, n_microstates);
    check_interruption();
    ws.eigenvalues = Vec64::zeros(n_microstates);
    ws.eigenvectors = Matrix::zeros(n_microstates, n_microstates);
    check_interruption();
    ws.s2_matrix = Matrix::zeros(n_microstates, n_microstates);
    check_interruption();
    return ws;
}

double reference_mean_field(const ActiveIntegrals& integrals, std::span<const double> reference_occupations,
                            std::size_t p, std::size_t q) {
    double mean_field = 0.0;
    for (std::size_t k = 0; k < integrals.n; ++k) {
        mean_field += reference_occupations[k] * (2.0 * integrals(p, q, k, k) - integrals(p, k, q, k));
    }
    return mean_field;
}

void compute_active_orbital_energies(std::span<const double> scf_orbital_energies,
                                     std::span<const double> reference_occupations,
                                     const ActiveIntegrals& integrals, std::span<double> orbital_energies) {
    for (std::size_t a = 0; a < integrals.n; ++a) {
        orbital_energies[a] = scf_orbital_energies[a] - reference_mean_field(integrals, reference_occupations, a, a);
    }
}

double diagi(const OccupationString& alpha, const OccupationString& beta, std::span<const double> orbital_energies,
             const ActiveIntegrals& v, std::size_t n) {
    double energy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (alpha[i] == 0) continue;
        energy += orbital_energies[i];
        for (std::size_t k = 0; k < n; ++k) {
            energy += beta[k] * v(i, i, k, k) + 0.5 * alpha[k] * (v(i, i, k, k) - v(i, k, i, k));
        }
    }
    for (std::size_t j = 0; j < n; ++j) {
        if (beta[j] == 0) continue;
        energy += orbital_energies[j];
        for (std::size_t k = 0; k < j; ++k) energy += beta[k] * (v(j, j, k, k) - v(j, k, j, k));
    }
    return energy;
}

double aababc(const Microstate& i, const Microstate& j, std::size_t n, const ActiveIntegrals& v,
              std::span<const double> occ) {
    if (count_differences(i.alpha, j.alpha) != 2 || n != v.n) return 0.0;
    const OrbitalPair pq = first_two_differences(i.alpha, j.alpha);
    return alpha_move_sign(i.alpha, i.beta, pq.p, pq.q) * single_excitation(i.alpha, i.beta, pq.p, pq.q, v, occ);
}

double babbbc(const Microstate& i, const Microstate& j, std::size_t n, const ActiveIntegrals& v,
              std::span<const double> occ) {
    if (count_differences(i.beta, j.beta) != 2 || n != v.n) return 0.0;
    const OrbitalPair pq = first_two_differences(i.beta, j.beta);
    return beta_move_sign(i.alpha, i.beta, pq.p, pq.q) * single_excitation(i.beta, i.alpha, pq.p, pq.q, v, occ);
}

double aabacd(const Microstate& i, const Microstate& j, std::size_t n, const ActiveIntegrals& v) {
    std::size_t i1 = 0, i2 = 0, j1 = 0, j2 = 0;
    if (!first_two_gained(i.alpha, j.alpha, n, i1, i2) || !first_two_gained(j.alpha, i.alpha, n, j1, j2)) return 0.0;
    const int parity = j.beta[i1] + electrons_between(j.alpha, j.beta, i1, i2) + i.beta[j1] +
                       electrons_between(i.alpha, i.beta, j1, j2);
    return signed_by(parity, v(i1, j1, i2, j2) - v(i1, j2, j1, i2));
}

double babbcd(const Microstate& i, const Microstate& j, std::size_t n, const ActiveIntegrals& v) {
    std::size_t i1 = 0, i2 = 0, j1 = 0, j2 = 0;
    if (!first_two_gained(i.beta, j.beta, n, i1, i2) || !first_two_gained(j.beta, i.beta, n, j1, j2)) return 0.0;
    const int parity = j.alpha[i2] + electrons_between(j.alpha, j.beta, i1, i2) + i.alpha[j2] +
                       electrons_between(i.alpha, i.beta, j1, j2);
    return signed_by(parity, v(i1, j1, i2, j2) - v(i1, j2, i2, j1));
}

double aabbcd(const Microstate& i, const Microstate& j, std::size_t n, const ActiveIntegrals& v) {
    if (n != v.n || count_differences(i.alpha, j.alpha) != 2 || count_differences(i.beta, j.beta) != 2) return 0.0;
    const OrbitalPair alpha_pair = first_two_differences(i.alpha, j.alpha);
    const OrbitalPair beta_pair = first_two_differences(i.beta, j.beta);
    const std::size_t ai = occupied_in(i.alpha, alpha_pair), aj = occupied_in(j.alpha, alpha_pair);
    const std::size_t bi = occupied_in(i.beta, beta_pair), bj = occupied_in(j.beta, beta_pair);
    const bool j_crossed = aj > bj;
    const bool i_crossed = bi < ai;
    int parity = j_crossed != i_crossed ? 1 : 0;
    if (i_crossed) parity += i.beta[ai] + i.alpha[bi];
    if (j_crossed) parity += j.beta[aj] + j.alpha[bj];
    parity += electrons_in_range(i, ai, bi) + electrons_in_range(j, aj, bj);
    return signed_by(parity, v(ai, aj, bi, bj));
}

void build_ci_hamiltonian(std::span<const Microstate> microstates, std::span<const double> diagonal_energies,
                          std::size_t n, std::span<const double> occ, const ActiveIntegrals& integrals,
                          Matrix& h) {
    const std::size_t m = microstates.size();
    require_square(h, m);
    for (std::size_t i = 0; i < m; ++i) {
        check_interruption();
        const Microstate& si = microstates[i];
        h(i, i) = diagonal_energies[i];
        for (std::size_t j = 0; j < i; ++j) {
            const Microstate& sj = microstates[j];
            const std::size_t na = count_differences(si.alpha, sj.alpha);
            const std::size_t nb = count_differences(si.beta, sj.beta);
            double value = 0.0;
            if (na + nb == 4) {
                value = na == 0   ? babbcd(si, sj, n, integrals)
                        : na == 2 ? aabbcd(si, sj, n, integrals)
                                  : aabacd(si, sj, n, integrals);
            } else if (na + nb < 4) {
                value = na == 2   ? aababc(si, sj, n, integrals, occ)
                        : nb == 2 ? babbbc(si, sj, n, integrals, occ)
                                  : 0.0;
            }
            h(i, j) = value;
            h(j, i) = value;
        }
    }
}

void add_diagonal_tie_break(Matrix& ci_matrix) {
    for (std::size_t i = 0; i < ci_matrix.rows(); ++i) {
        const double shift = static_cast<double>(i + 1) * 1e-10;
        ci_matrix(i, i) += i % 2 == 0 ? shift : -shift;
    }
}

void build_s2_matrix(std::span<const Microstate> microstates, std::size_t n, Matrix& s2, double ms) {
    const std::size_t m = microstates.size();
    require_square(s2, m);
    s2.fill(0.0);
    for (std::size_t i = 0; i < m; ++i) {
        check_interruption();
        const Microstate& si = microstates[i];
        double electrons = 0.0, doubly = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            electrons += si.alpha[k] + si.beta[k];
            doubly += si.alpha[k] * si.beta[k];
        }
        s2(i, i) = ms * ms + 0.5 * electrons - doubly;
        for (std::size_t j = 0; j < i; ++j) {
            const Microstate& sj = microstates[j];
            if (count_differences(si.alpha, sj.alpha) != 2 || count_differences(si.beta, sj.beta) != 2) continue;
            const OrbitalPair a = first_two_differences(si.alpha, sj.alpha);
            const OrbitalPair b = first_two_differences(si.beta, sj.beta);
            if (a.p != b.p || a.q != b.q) continue;
            // Both orbitals singly occupied with opposite spins, swapped between I and J.
            const bool exchange = si.alpha[a.p] != si.beta[a.p] && si.alpha[a.q] != si.beta[a.q] &&
                                  si.alpha[a.p] != si.alpha[a.q];
            if (!exchange) continue;
            s2(i, j) = 1.0;
            s2(j, i) = 1.0;
        }
    }
}

}  // namespace quorin
