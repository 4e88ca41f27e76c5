#include "core/varnex/mixing.h"

#include <cmath>

#include <cblas.h>

namespace quorin {

namespace {

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    return scipy_cblas_ddot(static_cast<blasint>(a.size()), a.data(), 1, b.data(), 1);
}

// Solves the small dense system A x = b by Gaussian elimination with partial
// pivoting; false when it is singular.
bool solve(std::vector<double> a, std::vector<double>& b, std::size_t n) {
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t pivot = c;
        for (std::size_t r = c + 1; r < n; ++r) {
            if (std::abs(a[r * n + c]) > std::abs(a[pivot * n + c])) pivot = r;
        }
        if (std::abs(a[pivot * n + c]) < 1e-300) return false;
        if (pivot != c) {
            for (std::size_t k = 0; k < n; ++k) std::swap(a[c * n + k], a[pivot * n + k]);
            std::swap(b[c], b[pivot]);
        }
        for (std::size_t r = c + 1; r < n; ++r) {
            const double f = a[r * n + c] / a[c * n + c];
            for (std::size_t k = c; k < n; ++k) a[r * n + k] -= f * a[c * n + k];
            b[r] -= f * b[c];
        }
    }
    for (std::size_t c = n; c-- > 0;) {
        for (std::size_t k = c + 1; k < n; ++k) b[c] -= a[c * n + k] * b[k];
        b[c] /= a[c * n + c];
    }
    return true;
}

}  // namespace

void DensityMixer::mix(std::vector<double>& input, const std::vector<double>& output) {
    Entry entry;
    entry.input = input;
    entry.residual.resize(input.size());
    for (std::size_t k = 0; k < input.size(); ++k) entry.residual[k] = output[k] - input[k];
    if (history_.size() == depth_) history_.pop_front();
    history_.push_back(std::move(entry));

    // Weights c (sum 1) minimising |sum c_i R_i|^2, from the bordered
    // system [B 1; 1 0] [c; lambda] = [0; 1], B_ij = R_i . R_j.
    const std::size_t m = history_.size();
    std::vector<double> weights(m, 0.0);
    if (m == 1) weights[0] = 1.0;
    if (m > 1) {
        const std::size_t n = m + 1;
        std::vector<double> a(n * n, 0.0), b(n, 0.0);
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t j = 0; j <= i; ++j) {
                a[i * n + j] = a[j * n + i] = dot(history_[i].residual, history_[j].residual);
            }
            a[i * n + m] = a[m * n + i] = 1.0;
        }
        b[m] = 1.0;
        // Nearly dependent residuals make wild weights: fall back to the
        // plain step and forget the older densities.
        bool usable = solve(a, b, n);
        for (std::size_t i = 0; i < m && usable; ++i) usable = std::isfinite(b[i]) && std::abs(b[i]) < 1e3;
        if (usable) {
            for (std::size_t i = 0; i < m; ++i) weights[i] = b[i];
        } else {
            weights.assign(1, 1.0);
            history_.erase(history_.begin(), history_.end() - 1);
        }
    }
    const std::size_t m_used = history_.size();
    for (std::size_t k = 0; k < input.size(); ++k) input[k] = 0.0;
    for (std::size_t i = 0; i < m_used; ++i) {
        const Entry& e = history_[i];
        for (std::size_t k = 0; k < input.size(); ++k) input[k] += weights[i] * (e.input[k] + step_ * e.residual[k]);
    }
}

}  // namespace quorin
