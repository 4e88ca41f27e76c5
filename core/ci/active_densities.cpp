#include "core/ci/active_densities.h"

#include <bit>
#include <cstdint>
#include <string>

#include "core/types/errors.h"
#include "core/types/interruption.h"

namespace quorin {

namespace {

// A determinant as one bit pattern per spin (bit k: window orbital k).
struct Determinant {
    std::uint64_t alpha = 0;
    std::uint64_t beta = 0;
};

// Spin orbital 2k is alpha k, 2k + 1 beta k.
bool occupied(const Determinant& d, std::size_t so) {
    return (((so % 2 == 0 ? d.alpha : d.beta) >> (so / 2)) & 1u) != 0;
}

Determinant flipped(Determinant d, std::size_t so) {
    (so % 2 == 0 ? d.alpha : d.beta) ^= std::uint64_t{1} << (so / 2);
    return d;
}

// Sign of a creation or annihilation at spin orbital `so`: one factor -1 per
// occupied spin orbital before it in the order alpha 0, beta 0, alpha 1, ...
double operator_sign(const Determinant& d, std::size_t so) {
    const std::size_t k = so / 2;
    const std::uint64_t below = (std::uint64_t{1} << k) - 1;
    int count = std::popcount(d.alpha & below) + std::popcount(d.beta & below);
    if (so % 2 == 1) count += static_cast<int>(d.alpha >> k & 1u);
    return count % 2 == 0 ? 1.0 : -1.0;
}

// Position of each determinant in the microstate list: alpha strings outer,
// beta inner, each spin's strings in lexicographic order of their sorted
// orbital sets (the combinatorial number system gives the rank).
class DeterminantIndex {
public:
    DeterminantIndex(std::size_t n, std::size_t n_alpha, std::size_t n_beta)
        : n_(n), n_alpha_(n_alpha), n_beta_(n_beta), binomial_((n + 1) * (n + 1), 0) {
        for (std::size_t i = 0; i <= n; ++i) {
            binomial_[i * (n + 1)] = 1;
            for (std::size_t k = 1; k <= i; ++k) {
                binomial_[i * (n + 1) + k] = binomial_[(i - 1) * (n + 1) + k - 1] + binomial_[(i - 1) * (n + 1) + k];
            }
        }
        beta_strings_ = binomial(n, n_beta);
    }
    std::size_t operator()(const Determinant& d) const {
        return rank(d.alpha, n_alpha_) * beta_strings_ + rank(d.beta, n_beta_);
    }

private:
    std::size_t binomial(std::size_t i, std::size_t k) const { return k > i ? 0 : binomial_[i * (n_ + 1) + k]; }
    // Strings placing their next one later than orbital j come after all
    // those that place it at j: C(n - 1 - j, left - 1) of them.
    std::size_t rank(std::uint64_t bits, std::size_t ones) const {
        std::size_t r = 0, left = ones;
        for (std::size_t j = 0; j < n_ && left > 0; ++j) {
            if (bits >> j & 1u) {
                --left;
            } else {
                r += binomial(n_ - 1 - j, left - 1);
            }
        }
        return r;
    }
    std::size_t n_, n_alpha_, n_beta_;
    std::vector<std::size_t> binomial_;
    std::size_t beta_strings_ = 0;
};

Determinant determinant_of(const Microstate& s, std::size_t n) {
    Determinant d;
    for (std::size_t k = 0; k < n; ++k) {
        d.alpha |= static_cast<std::uint64_t>(s.alpha[k] != 0) << k;
        d.beta |= static_cast<std::uint64_t>(s.beta[k] != 0) << k;
    }
    return d;
}

}  // namespace

ActiveDensities compute_active_densities(std::span<const Microstate> microstates, std::size_t n,
                                         std::span<const double> w) {
    if (n > kMaxDensityOrbitals) {
        throw EngineStop("CI densities take at most " + std::to_string(kMaxDensityOrbitals) + " active orbitals");
    }
    ActiveDensities d{Matrix::zeros(n, n), std::vector<double>(n * n * n * n, 0.0)};
    if (microstates.empty()) return d;
    const Determinant first = determinant_of(microstates[0], n);
    const DeterminantIndex index(n, static_cast<std::size_t>(std::popcount(first.alpha)),
                                 static_cast<std::size_t>(std::popcount(first.beta)));
    const std::size_t spin_orbitals = 2 * n;
    for (std::size_t j = 0; j < microstates.size(); ++j) {
        if (j % 64 == 0) check_interruption();
        if (w[j] == 0.0) continue;
        const Determinant dj = determinant_of(microstates[j], n);
        for (std::size_t q = 0; q < spin_orbitals; ++q) {
            if (!occupied(dj, q)) continue;
            const double s1 = operator_sign(dj, q) * w[j];
            const Determinant d1 = flipped(dj, q);
            // One-particle: a+_p a_q, p with q's spin.
            for (std::size_t p = q % 2; p < spin_orbitals; p += 2) {
                if (occupied(d1, p)) continue;
                d.one(p / 2, q / 2) += s1 * operator_sign(d1, p) * w[index(flipped(d1, p))];
            }
            // Two-particle: a+_p a+_r a_s a_q, p with q's spin and r with s's.
            for (std::size_t s = 0; s < spin_orbitals; ++s) {
                if (!occupied(d1, s)) continue;
                const double s2 = s1 * operator_sign(d1, s);
                const Determinant d2 = flipped(d1, s);
                for (std::size_t r = s % 2; r < spin_orbitals; r += 2) {
                    if (occupied(d2, r)) continue;
                    const double s3 = s2 * operator_sign(d2, r);
                    const Determinant d3 = flipped(d2, r);
                    for (std::size_t p = q % 2; p < spin_orbitals; p += 2) {
                        if (occupied(d3, p)) continue;
                        d.two[((p / 2 * n + q / 2) * n + r / 2) * n + s / 2] +=
                            s3 * operator_sign(d3, p) * w[index(flipped(d3, p))];
                    }
                }
            }
        }
    }
    return d;
}

ActiveDensities difference(const ActiveDensities& a, const ActiveDensities& b) {
    ActiveDensities d = a;
    for (std::size_t k = 0; k < d.one.data().size(); ++k) d.one.data()[k] -= b.one.data()[k];
    for (std::size_t k = 0; k < d.two.size(); ++k) d.two[k] -= b.two[k];
    return d;
}

std::vector<double> integral_weights(const ActiveDensities& d, std::span<const double> occupations) {
    const std::size_t n = d.one.rows();
    const auto at = [n](std::size_t p, std::size_t q, std::size_t r, std::size_t s) {
        return ((p * n + q) * n + r) * n + s;
    };
    // h = F - sum_k o_k (2 (pq|kk) - (pk|qk)) in sum h g + 1/2 sum (pq|rs) G.
    std::vector<double> raw(d.two.size());
    for (std::size_t k = 0; k < raw.size(); ++k) raw[k] = 0.5 * d.two[k];
    for (std::size_t k = 0; k < n; ++k) {
        if (occupations[k] == 0.0) continue;
        for (std::size_t p = 0; p < n; ++p) {
            for (std::size_t q = 0; q < n; ++q) {
                raw[at(p, q, k, k)] -= 2.0 * occupations[k] * d.one(p, q);
                raw[at(p, k, q, k)] += occupations[k] * d.one(p, q);
            }
        }
    }
    std::vector<double> weights(raw.size());
    for (std::size_t p = 0; p < n; ++p) {
        for (std::size_t q = 0; q < n; ++q) {
            for (std::size_t r = 0; r < n; ++r) {
                for (std::size_t s = 0; s < n; ++s) {
                    weights[at(p, q, r, s)] =
                        0.125 * (raw[at(p, q, r, s)] + raw[at(q, p, r, s)] + raw[at(p, q, s, r)] + raw[at(q, p, s, r)] +
                                 raw[at(r, s, p, q)] + raw[at(s, r, p, q)] + raw[at(r, s, q, p)] + raw[at(s, r, q, p)]);
                }
            }
        }
    }
    return weights;
}

}  // namespace quorin
