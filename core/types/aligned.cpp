#include "core/types/aligned.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "core/types/errors.h"

namespace quorin {

namespace {
constexpr std::size_t kAlign = 64;
constexpr std::size_t kMaxBytes = (std::size_t{1} << 63) - kAlign;
}  // namespace

double* aligned_alloc_zeroed(std::size_t count) {
    if (count == 0) return nullptr;
    if (count > kMaxBytes / sizeof(double)) {
        throw EngineStop("Invalid layout for AlignedVec64: size of " + std::to_string(count) +
                         " doubles exceeds the largest aligned allocation");
    }
    std::size_t bytes = count * sizeof(double);
    // aligned_alloc wants a size that is a multiple of the alignment.
    std::size_t rounded = (bytes + kAlign - 1) / kAlign * kAlign;
    void* p = std::aligned_alloc(kAlign, rounded);
    // Exhausted memory is a bad_alloc, which callers report as such.
    if (p == nullptr) throw std::bad_alloc();
    std::memset(p, 0, rounded);
    return static_cast<double*>(p);
}

void aligned_free(double* ptr) noexcept { std::free(ptr); }

AlignedMatrix<double> AlignedMatrix<double>::zeros(std::size_t rows, std::size_t cols) {
    if (cols != 0 && rows > std::numeric_limits<std::size_t>::max() / cols) {
        throw EngineStop("Invalid layout for AlignedVec64: matrix of " + std::to_string(rows) +
                         " x " + std::to_string(cols) + " overflows");
    }
    AlignedMatrix m;
    m.data_ = AlignedVec64<double>::zeros(rows * cols);
    m.rows_ = rows;
    m.cols_ = cols;
    return m;
}

void AlignedMatrix<double>::copy_from(const AlignedMatrix& other) {
    if (other.rows_ != rows_ || other.cols_ != cols_) {
        throw EngineStop("Matrix shape mismatch in copy");
    }
    if (!data_.empty()) std::memcpy(data_.data(), other.data_.data(), data_.size() * sizeof(double));
}

void symmetrize_by_averaging(Matrix& m) {
    for (std::size_t i = 0; i < m.rows(); ++i) {
        for (std::size_t j = i + 1; j < m.cols(); ++j) {
            const double mean = 0.5 * (m(i, j) + m(j, i));
            m(i, j) = mean;
            m(j, i) = mean;
        }
    }
}

void stop_assert_eq(const char* message, std::size_t left, std::size_t right) {
    throw EngineStop(std::string(message) + " (left: " + std::to_string(left) +
                     ", right: " + std::to_string(right) + ")");
}

}  // namespace quorin
