#pragma once
// Pulay (DIIS) mixing of the density between SCF iterations: the next input
// density is the combination of the last few inputs, each moved a damped step
// along its residual, whose residuals cancel best. The history is a fixed set
// of slots, filled on first use; dropping the oldest entry only moves indices
// and inner products.
#include <array>
#include <cstddef>
#include <vector>

#include "core/scf/diis.h"

namespace quorin {

class DensityMixer {
public:
    // `step` is the weight of a residual (0.65: the plain mixing of the
    // newest density); `depth` the number of iterations remembered, at most
    // MAX_DIIS_CAPACITY.
    DensityMixer(double step, std::size_t depth);

    // Replaces `input` (the density the last Fock matrix came from) by the
    // next input density, given `output` (the density that iteration made).
    void mix(std::vector<double>& input, const std::vector<double>& output);
    void reset() { count_ = 0; }

private:
    double step_;
    std::size_t depth_;
    std::size_t count_ = 0;
    std::vector<std::vector<double>> inputs_, residuals_;  // by slot
    std::array<std::size_t, MAX_DIIS_CAPACITY> order_{};   // order_[k]: slot of the k-th oldest entry
    DiisMatrix products_{};                                // residual inner products, by age
};

}  // namespace quorin
