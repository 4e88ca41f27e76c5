#pragma once
// Pulay (DIIS) mixing of the density between SCF iterations: the next input
// density is the combination of the last few inputs, each moved a damped step
// along its residual, whose residuals cancel best.
#include <cstddef>
#include <deque>
#include <vector>

namespace quorin {

class DensityMixer {
public:
    // `step` is the weight of a residual (0.65: the plain mixing of the
    // newest density); `depth` the number of iterations remembered.
    DensityMixer(double step, std::size_t depth) : step_(step), depth_(depth) {}

    // Replaces `input` (the density the last Fock matrix came from) by the
    // next input density, given `output` (the density that iteration made).
    void mix(std::vector<double>& input, const std::vector<double>& output);
    void reset() { history_.clear(); }

private:
    struct Entry {
        std::vector<double> input;
        std::vector<double> residual;
    };
    double step_;
    std::size_t depth_;
    std::deque<Entry> history_;
};

}  // namespace quorin
