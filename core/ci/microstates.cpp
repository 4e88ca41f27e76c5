#include "core/ci/microstates.h"

#include <limits>

namespace quorin {

namespace {

void place_ones(std::size_t n, std::size_t from, std::size_t remaining, OccupationString& current,
                std::vector<OccupationString>& out) {
    if (remaining == 0) {
        out.push_back(current);
        return;
    }
    for (std::size_t i = from; i + remaining <= n; ++i) {
        current[i] = 1;
        place_ones(n, i + 1, remaining - 1, current, out);
        current[i] = 0;
    }
}

// binomial(n, k), or SIZE_MAX on overflow.
std::size_t checked_binomial(std::size_t n, std::size_t k) {
    if (k > n) return 0;
    if (k > n - k) k = n - k;
    std::size_t value = 1;
    for (std::size_t i = 1; i <= k; ++i) {
        // value * (n - k + i) / i stays integral at every step.
        std::size_t product = 0;
        if (__builtin_mul_overflow(value, n - k + i, &product)) return std::numeric_limits<std::size_t>::max();
        value = product / i;
    }
    return value;
}

}  // namespace

std::vector<OccupationString> generate_combinations(std::size_t n, std::size_t k) {
    std::vector<OccupationString> out;
    if (k > n) return out;
    OccupationString current(n, 0);
    place_ones(n, 0, k, current, out);
    return out;
}

std::vector<Microstate> generate_microstates(std::size_t n_active, std::int32_t n_electrons, std::int32_t two_ms) {
    const std::int64_t sum = static_cast<std::int64_t>(n_electrons) + two_ms;
    if (sum < 0 || sum % 2 != 0) return {};
    const std::int64_t n_alpha = sum / 2;
    const std::int64_t n_beta = n_electrons - n_alpha;
    if (n_beta < 0) return {};
    const auto n = static_cast<std::int64_t>(n_active);
    if (n < n_alpha || n < n_beta) return {};
    const std::vector<OccupationString> alpha = generate_combinations(n_active, static_cast<std::size_t>(n_alpha));
    const std::vector<OccupationString> beta = generate_combinations(n_active, static_cast<std::size_t>(n_beta));
    std::vector<Microstate> out;
    out.reserve(alpha.size() * beta.size());
    for (const OccupationString& a : alpha) {
        for (const OccupationString& b : beta) out.push_back({a, b, 0.0});
    }
    return out;
}

std::size_t count_microstates(std::size_t n_active, std::size_t n_electrons) {
    const std::size_t alpha = checked_binomial(n_active, n_electrons - n_electrons / 2);
    const std::size_t beta = checked_binomial(n_active, n_electrons / 2);
    std::size_t count = 0;
    if (__builtin_mul_overflow(alpha, beta, &count)) return std::numeric_limits<std::size_t>::max();
    return count;
}

int electrons_between(const OccupationString& alpha, const OccupationString& beta, std::size_t p, std::size_t q) {
    int count = 0;
    for (std::size_t r = p + 1; r < q; ++r) count += alpha[r] + beta[r];
    return count;
}

// Between alpha p and alpha q lie beta p and both spins of every orbital
// strictly between; between beta p and beta q, those orbitals and alpha q.
double alpha_move_sign(const OccupationString& alpha, const OccupationString& beta, std::size_t p, std::size_t q) {
    return (beta[p] + electrons_between(alpha, beta, p, q)) % 2 == 0 ? 1.0 : -1.0;
}

double beta_move_sign(const OccupationString& alpha, const OccupationString& beta, std::size_t p, std::size_t q) {
    return (alpha[q] + electrons_between(alpha, beta, p, q)) % 2 == 0 ? 1.0 : -1.0;
}

std::size_t count_differences(const OccupationString& a, const OccupationString& b) {
    std::size_t count = 0;
    for (std::size_t k = 0; k < a.size(); ++k) count += a[k] != b[k];
    return count;
}

OrbitalPair first_two_differences(const OccupationString& a, const OccupationString& b) {
    OrbitalPair pair;
    std::size_t found = 0;
    for (std::size_t k = 0; k < a.size() && found < 2; ++k) {
        if (a[k] == b[k]) continue;
        (found == 0 ? pair.p : pair.q) = k;
        ++found;
    }
    return pair;
}

}  // namespace quorin
