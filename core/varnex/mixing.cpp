#include "core/varnex/mixing.h"

#include <algorithm>
#include <numeric>

#include <cblas.h>

namespace quorin {

namespace {

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    return scipy_cblas_ddot(static_cast<blasint>(a.size()), a.data(), 1, b.data(), 1);
}

}  // namespace

DensityMixer::DensityMixer(double step, std::size_t depth)
    : step_(step), depth_(std::clamp<std::size_t>(depth, 1, MAX_DIIS_CAPACITY)), inputs_(depth_), residuals_(depth_) {
    std::iota(order_.begin(), order_.end(), std::size_t{0});
}

void DensityMixer::mix(std::vector<double>& input, const std::vector<double>& output) {
    if (count_ == depth_) {
        const std::size_t oldest = order_[0];
        for (std::size_t k = 0; k + 1 < count_; ++k) {
            order_[k] = order_[k + 1];
            for (std::size_t j = 0; j + 1 < count_; ++j) products_[k][j] = products_[k + 1][j + 1];
        }
        order_[count_ - 1] = oldest;
        --count_;
    }
    const std::size_t slot = order_[count_];
    std::vector<double>& residual = residuals_[slot];
    inputs_[slot] = input;
    residual.resize(input.size());
    for (std::size_t k = 0; k < input.size(); ++k) residual[k] = output[k] - input[k];
    for (std::size_t k = 0; k <= count_; ++k) {
        products_[count_][k] = products_[k][count_] = dot(residual, residuals_[order_[k]]);
    }
    ++count_;

    // Weights c (sum 1) minimising |sum c_i R_i|^2, from the bordered Pulay
    // system. Nearly dependent residuals make wild weights: fall back to the
    // plain step and forget the older densities.
    std::array<double, MAX_DIIS_CAPACITY> weights{};
    weights[0] = 1.0;
    if (count_ > 1 && !solve_pulay_system(products_, count_, weights)) {
        std::swap(order_[0], order_[count_ - 1]);
        products_[0][0] = products_[count_ - 1][count_ - 1];
        count_ = 1;
    }
    std::fill(input.begin(), input.end(), 0.0);
    for (std::size_t i = 0; i < count_; ++i) {
        const std::vector<double>& in = inputs_[order_[i]];
        const std::vector<double>& r = residuals_[order_[i]];
        for (std::size_t k = 0; k < input.size(); ++k) input[k] += weights[i] * (in[k] + step_ * r[k]);
    }
}

}  // namespace quorin
