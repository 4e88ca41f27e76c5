#pragma once
// Dense numerical storage: zero-filled, 64-byte-aligned buffers of doubles
// and a row-major matrix on top of them. Buffers never grow after creation.
#include <cstddef>
#include <utility>

namespace quorin {

// Allocates `count` zeroed doubles on a 64-byte boundary (nullptr for 0).
// Stops with "Invalid layout for AlignedVec64: ..." for a size no allocation
// can have; throws std::bad_alloc when the memory cannot be had.
double* aligned_alloc_zeroed(std::size_t count);
void aligned_free(double* ptr) noexcept;

template <typename T>
class AlignedVec64;

template <>
class AlignedVec64<double> {
public:
    AlignedVec64() = default;
    static AlignedVec64 zeros(std::size_t len) {
        AlignedVec64 v;
        v.ptr_ = aligned_alloc_zeroed(len);
        v.len_ = len;
        v.cap_ = len;
        return v;
    }
    AlignedVec64(const AlignedVec64& other) : AlignedVec64(zeros(other.len_)) {
        for (std::size_t i = 0; i < len_; ++i) ptr_[i] = other.ptr_[i];
    }
    AlignedVec64(AlignedVec64&& other) noexcept
        : ptr_(std::exchange(other.ptr_, nullptr)),
          len_(std::exchange(other.len_, 0)),
          cap_(std::exchange(other.cap_, 0)) {}
    AlignedVec64& operator=(const AlignedVec64& other) {
        if (this != &other) *this = AlignedVec64(other);
        return *this;
    }
    AlignedVec64& operator=(AlignedVec64&& other) noexcept {
        std::swap(ptr_, other.ptr_);
        std::swap(len_, other.len_);
        std::swap(cap_, other.cap_);
        return *this;
    }
    ~AlignedVec64() { aligned_free(ptr_); }

    std::size_t size() const { return len_; }
    std::size_t capacity() const { return cap_; }
    bool empty() const { return len_ == 0; }
    double* data() { return ptr_; }
    const double* data() const { return ptr_; }
    double& operator[](std::size_t i) { return ptr_[i]; }
    const double& operator[](std::size_t i) const { return ptr_[i]; }
    double* begin() { return ptr_; }
    double* end() { return ptr_ + len_; }
    const double* begin() const { return ptr_; }
    const double* end() const { return ptr_ + len_; }
    void fill(double value) {
        for (std::size_t i = 0; i < len_; ++i) ptr_[i] = value;
    }

private:
    double* ptr_ = nullptr;
    std::size_t len_ = 0;
    std::size_t cap_ = 0;
};

template <typename T>
class AlignedMatrix;

template <>
class AlignedMatrix<double> {
public:
    AlignedMatrix() = default;
    // Stops with the layout message when rows * cols overflows; throws
    // std::bad_alloc when the allocation fails.
    static AlignedMatrix zeros(std::size_t rows, std::size_t cols);

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    double& operator()(std::size_t i, std::size_t j) { return data_[i * cols_ + j]; }
    double operator()(std::size_t i, std::size_t j) const { return data_[i * cols_ + j]; }
    double* row(std::size_t i) { return data_.data() + i * cols_; }
    const double* row(std::size_t i) const { return data_.data() + i * cols_; }
    AlignedVec64<double>& data() { return data_; }
    const AlignedVec64<double>& data() const { return data_; }
    void fill(double value) { data_.fill(value); }
    // Copies the values of an equally shaped matrix without reallocating.
    void copy_from(const AlignedMatrix& other);

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    AlignedVec64<double> data_;
};

using Vec64 = AlignedVec64<double>;
using Matrix = AlignedMatrix<double>;

// Replaces both entries of every off-diagonal pair of a square matrix by
// their mean, leaving it exactly symmetric.
void symmetrize_by_averaging(Matrix& m);

}  // namespace quorin
