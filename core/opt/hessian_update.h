#pragma once
// Quasi-Newton corrections of a Cartesian Hessian after one step: the
// Hessian is changed in place from the step s and the gradient change y so
// that the secant condition H s = y holds afterwards. Units are the caller's.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/types/aligned.h"

namespace quorin {

enum class QuasiNewtonUpdate : std::uint8_t {
    Psb = 0,     // Powell-symmetric-Broyden
    Bofill = 1,  // Bofill's weighted mixture of SR1 and PSB
    Sr1 = 2,     // symmetric rank one
    Bfgs = 3,    // Broyden-Fletcher-Goldfarb-Shanno
};

// Scratch of the update, owned by the caller so repeated updates do not
// allocate: H s and the residual r = y - H s.
struct HessianUpdateWorkspace {
    std::vector<double> hs;
    std::vector<double> residual;

    // Grows both vectors to at least n entries (zero-filled); never shrinks.
    void ensure_capacity(std::size_t n);
};

// Updates the n x n `hessian` in place with the formula `kind`, writing the
// upper triangle into the lower one so the result is exactly symmetric. A
// step with s.s < 1e-24, or a guarded denominator of the formula that is too
// small, leaves the matrix untouched. Stops when the matrix is not square or
// s or y does not have n entries.
void update_cartesian_hessian(Matrix& hessian, std::span<const double> s, std::span<const double> y,
                              QuasiNewtonUpdate kind, HessianUpdateWorkspace& workspace);

}  // namespace quorin
