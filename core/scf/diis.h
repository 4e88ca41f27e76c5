#pragma once
// Pulay extrapolation of Fock matrices (direct inversion in the iterative
// subspace). The history is a fixed set of preallocated slots; dropping the
// oldest entry only moves indices and inner products, never a matrix.
#include <array>
#include <cstddef>
#include <vector>

#include "core/types/aligned.h"

namespace quorin {

inline constexpr std::size_t MAX_DIIS_CAPACITY = 8;

using DiisMatrix = std::array<std::array<double, MAX_DIIS_CAPACITY>, MAX_DIIS_CAPACITY>;

// Outcome of one push_and_extrapolate step.
struct DiisStep {
    std::size_t entries_used = 0;
    double max_error = 0.0;  // largest |FP - PF| element of the new entry
    double rms_error = 0.0;
    bool extrapolated = false;  // the Fock matrix was replaced
};

struct DiisWorkspace {
    std::vector<Matrix> fock_history;   // by storage slot
    std::vector<Matrix> error_history;  // FP - PF, by storage slot
    std::size_t n = 0;
    std::size_t capacity = 0;
    std::size_t count = 0;
    std::array<std::size_t, MAX_DIIS_CAPACITY> order{};  // order[k]: slot of the k-th oldest entry
    DiisMatrix b{};  // error inner products, indexed by age position

    // capacity := clamp(requested, 2, MAX_DIIS_CAPACITY); all history matrices zeroed.
    static DiisWorkspace allocate(std::size_t n, std::size_t requested_capacity);
    void reset();
    void drop_oldest();
    // Stores F and its commutator error, then replaces F by the extrapolated
    // Fock matrix when the Pulay system gives usable coefficients. `scratch`
    // (n x n) receives the product F*P.
    DiisStep push_and_extrapolate(Matrix& fock, const Matrix& density, Matrix& scratch);
    // The two halves of push_and_extrapolate: store the entry (the step
    // reports its errors, nothing extrapolated), then extrapolate over the
    // history that ends with it.
    DiisStep push(const Matrix& fock, const Matrix& density, Matrix& scratch);
    void extrapolate(Matrix& fock, DiisStep& step);
    // The Pulay coefficients of the held entries, oldest first, for
    // histories of any matrix shape: the oldest entries are dropped until the
    // system is usable. Returns the number of entries used, 0 when none is
    // usable (the history then keeps only its newest entry).
    std::size_t solve_coefficients(std::array<double, MAX_DIIS_CAPACITY>& coefficients);
};

// Solves the bordered Pulay system for m entries (2 <= m <= 8). Returns false
// for a singular, badly scaled or implausible solution.
bool solve_pulay_system(const DiisMatrix& b, std::size_t m,
                        std::array<double, MAX_DIIS_CAPACITY>& coefficients);

}  // namespace quorin
