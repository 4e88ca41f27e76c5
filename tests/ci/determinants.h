#pragma once
// Second-quantised reference for the CI tests: determinants as bit strings
// over the spin orbitals alpha 0, beta 0, alpha 1, ... (creation operators in
// ascending order on the vacuum), operators applied with their fermion signs.
#include <array>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "core/ci/active_integrals.h"
#include "core/ci/microstates.h"
#include "core/types/aligned.h"

namespace quorin::fixtures {

using Mask = std::uint32_t;
// A vector in the determinant space: determinant -> coefficient.
using State = std::map<Mask, double>;

inline Mask mask_of(const Microstate& s) {
    Mask m = 0;
    for (std::size_t k = 0; k < s.alpha.size(); ++k) {
        if (s.alpha[k]) m |= Mask{1} << (2 * k);
        if (s.beta[k]) m |= Mask{1} << (2 * k + 1);
    }
    return m;
}

// a_so (create = false) or a+_so (create = true) on one determinant; false
// when the result vanishes.
inline bool apply(bool create, int so, Mask& m, double& sign) {
    const bool occupied = (m >> so) & 1u;
    if (occupied == create) return false;
    if (__builtin_popcount(m & ((Mask{1} << so) - 1)) % 2) sign = -sign;
    m ^= Mask{1} << so;
    return true;
}

// a+_p a_q summed over spin (spin_orbital(k, spin) = 2k + spin), on a state.
inline State excite(const State& in, std::size_t p, std::size_t q, int spin) {
    State out;
    for (const auto& [m0, c] : in) {
        Mask m = m0;
        double s = c;
        if (apply(false, static_cast<int>(2 * q) + spin, m, s) && apply(true, static_cast<int>(2 * p) + spin, m, s)) {
            out[m] += s;
        }
    }
    return out;
}

inline double overlap(const State& a, const State& b) {
    double sum = 0.0;
    for (const auto& [m, c] : a) {
        const auto it = b.find(m);
        if (it != b.end()) sum += c * it->second;
    }
    return sum;
}

// <I| sum_{pq, spin} o_pq a+_p a_q |J> over the microstates.
inline Matrix one_body_matrix(const std::vector<Microstate>& states, const Matrix& o) {
    const std::size_t m = states.size(), n = o.rows();
    Matrix out = Matrix::zeros(m, m);
    for (std::size_t j = 0; j < m; ++j) {
        const State ket{{mask_of(states[j]), 1.0}};
        for (std::size_t p = 0; p < n; ++p) {
            for (std::size_t q = 0; q < n; ++q) {
                for (int spin = 0; spin < 2; ++spin) {
                    for (const auto& [mask, c] : excite(ket, p, q, spin)) {
                        for (std::size_t i = 0; i < m; ++i) {
                            if (mask_of(states[i]) == mask) out(i, j) += o(p, q) * c;
                        }
                    }
                }
            }
        }
    }
    return out;
}

// The determinant Hamiltonian sum h_pq E_pq + 1/2 sum (pq|rs) a+_p a+_r a_s a_q.
inline Matrix hamiltonian_matrix(const std::vector<Microstate>& states, const Matrix& h, const ActiveIntegrals& v) {
    const std::size_t m = states.size(), n = v.n;
    Matrix out = one_body_matrix(states, h);
    std::map<Mask, std::size_t> index;
    for (std::size_t i = 0; i < m; ++i) index[mask_of(states[i])] = i;
    for (std::size_t j = 0; j < m; ++j) {
        const Mask ket = mask_of(states[j]);
        for (int sp = 0; sp < static_cast<int>(2 * n); ++sp) {
            for (int sq = 0; sq < static_cast<int>(2 * n); ++sq) {
                for (int sr = 0; sr < static_cast<int>(2 * n); ++sr) {
                    for (int ss = 0; ss < static_cast<int>(2 * n); ++ss) {
                        if (sp % 2 != sq % 2 || sr % 2 != ss % 2) continue;
                        Mask mk = ket;
                        double sign = 1.0;
                        if (!apply(false, sq, mk, sign) || !apply(false, ss, mk, sign) ||
                            !apply(true, sr, mk, sign) || !apply(true, sp, mk, sign)) {
                            continue;
                        }
                        const auto it = index.find(mk);
                        if (it == index.end()) continue;
                        out(it->second, j) += 0.5 * sign * v(sp / 2, sq / 2, sr / 2, ss / 2);
                    }
                }
            }
        }
    }
    return out;
}

// S^2 = S- S+ + Sz (Sz + 1).
inline Matrix s2_matrix(const std::vector<Microstate>& states) {
    const std::size_t m = states.size(), n = states.empty() ? 0 : states[0].alpha.size();
    Matrix out = Matrix::zeros(m, m);
    for (std::size_t j = 0; j < m; ++j) {
        State raised;
        for (std::size_t k = 0; k < n; ++k) {
            Mask mk = mask_of(states[j]);
            double s = 1.0;
            if (apply(false, static_cast<int>(2 * k + 1), mk, s) && apply(true, static_cast<int>(2 * k), mk, s)) {
                raised[mk] += s;
            }
        }
        State lowered;
        for (const auto& [m0, c] : raised) {
            for (std::size_t k = 0; k < n; ++k) {
                Mask mk = m0;
                double s = c;
                if (apply(false, static_cast<int>(2 * k), mk, s) && apply(true, static_cast<int>(2 * k + 1), mk, s)) {
                    lowered[mk] += s;
                }
            }
        }
        double sz = 0.0;
        for (std::size_t k = 0; k < n; ++k) sz += 0.5 * (states[j].alpha[k] - states[j].beta[k]);
        lowered[mask_of(states[j])] += sz * (sz + 1.0);
        for (std::size_t i = 0; i < m; ++i) out(i, j) = overlap(State{{mask_of(states[i]), 1.0}}, lowered);
    }
    return out;
}

// Random (pq|rs) with the eight-fold symmetry of real orbitals.
inline ActiveIntegrals random_integrals(std::size_t n, std::mt19937& rng) {
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    ActiveIntegrals v = ActiveIntegrals::zeros(n);
    for (std::size_t p = 0; p < n; ++p)
        for (std::size_t q = 0; q <= p; ++q)
            for (std::size_t r = 0; r < n; ++r)
                for (std::size_t s = 0; s <= r; ++s) {
                    if (r * (r + 1) / 2 + s > p * (p + 1) / 2 + q) continue;
                    const double x = dist(rng) + (p == q && r == s ? 5.0 : 0.0);
                    for (auto [a, b, c, d] : {std::array{p, q, r, s}, std::array{q, p, r, s}, std::array{p, q, s, r},
                                              std::array{q, p, s, r}, std::array{r, s, p, q}, std::array{s, r, p, q},
                                              std::array{r, s, q, p}, std::array{s, r, q, p}}) {
                        v(a, b, c, d) = x;
                    }
                }
    return v;
}

}  // namespace quorin::fixtures
