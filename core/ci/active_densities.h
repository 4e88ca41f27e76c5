#pragma once
// Spin-summed one- and two-particle densities of a CI vector over the active
// window, E = sum h_pq g_pq + 1/2 sum (pq|rs) G_pqrs for the window's
// one-electron operator h, and the CI energy as a linear function of the SCF
// Fock matrix and the integrals over the window, whose derivative at fixed
// CI vector is a root's gradient (the root is stationary in its vector).
#include <cstddef>
#include <span>
#include <vector>

#include "core/ci/active_integrals.h"
#include "core/ci/microstates.h"
#include "core/types/aligned.h"

namespace quorin {

// Most window orbitals the densities handle (one bit per orbital and spin).
inline constexpr std::size_t kMaxDensityOrbitals = 64;

struct ActiveDensities {
    Matrix one;               // n x n, g_pq = sum_s <a+_ps a_qs>
    std::vector<double> two;  // n^4, G_pqrs = sum_st <a+_ps a+_rt a_st a_qs> at ((p n + q) n + r) n + s
};

// Densities of the normalised vector `w` over `microstates` (alpha strings
// outer, beta inner, as generate_microstates makes them), in the spin-orbital
// order alpha 0, beta 0, alpha 1, ... of the CI matrix. Stops for more than
// kMaxDensityOrbitals orbitals.
ActiveDensities compute_active_densities(std::span<const Microstate> microstates, std::size_t n,
                                         std::span<const double> w);

// a - b, element by element, for densities of one window.
ActiveDensities difference(const ActiveDensities& a, const ActiveDensities& b);

// Weights W of the integrals in the CI energy of a vector relative to
// microstate 0, E = sum F_pq g_pq + sum W_pqrs (pq|rs), with F the SCF Fock
// matrix over the window, g and `d` the vector's densities minus those of
// microstate 0, and o the per-spin reference occupations: the reference mean
// field that the CI's one-electron operator leaves out of F moves into W.
// n^4 values at ((p n + q) n + r) n + s, symmetric like (pq|rs).
std::vector<double> integral_weights(const ActiveDensities& d, std::span<const double> reference_occupations);

}  // namespace quorin
