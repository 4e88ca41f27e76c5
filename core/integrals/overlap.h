#pragma once
// Overlap integrals between the valence Slater-type orbitals of two atoms.
// Orbital order within an atom: s, px, py, pz, d(x2-y2), d(xz), d(z2), d(yz), d(xy).
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/parameters/parameter_model.h"

namespace quorin {

// Rotation coefficients c[l + 1][slot][k] of the real orbitals of shell l
// (slot 1..2l+1, molecular order within the shell) on the local harmonics of
// the pair frame (k = 1 sigma, 2 pi, 3 pi', 4 delta, 5 delta'). Index 0 of
// every dimension is unused.
using OverlapRotationCoefficients = std::array<std::array<std::array<double, 6>, 6>, 4>;

// One s or p shell of an expanded atom (H, Li..F, Na..Cl) as six scaled
// Gaussian primitives.
struct GaussianShell {
    std::array<double, 6> exponent{};     // bohr^-2
    std::array<double, 6> coefficient{};  // expansion coefficient times the primitive normalisation
    bool present = false;                 // the shell exists (positive Slater exponent)
};

// Radial normalisation (2 zeta)^(n + 1/2) / sqrt((2n)!) of an atom's s, p and
// d Slater functions (d exponent floored at 0.3) and, for H, Li..F and
// Na..Cl, the Gaussian expansions of its s and p shells. It depends on the element alone,
// so a caller building the overlaps of many pairs makes it once per atom.
struct SlaterNorms {
    std::array<double, 3> shell{};  // s, p, d
    std::array<GaussianShell, 2> gaussian{};  // s, p; expanded atoms only
};
SlaterNorms slater_norms(std::uint8_t z, const ElementParams& params);

// 9 x 9 row-major overlap block, rows the AOs of A, columns those of B.
// (dx, dy, dz) = position of B minus position of A and r its length, angstrom.
// Only the leading norb_a x norb_b sub-block carries meaning; all 81 entries
// are overwritten. The second form takes slater_norms of both atoms.
void compute_diatomic_overlap_matrix_9x9(std::uint8_t z_a, std::uint8_t z_b, std::size_t norb_a,
                                         std::size_t norb_b, const ElementParams& params_a,
                                         const ElementParams& params_b, std::span<double, 81> out,
                                         double dx, double dy, double dz, double r);
void compute_diatomic_overlap_matrix_9x9(std::uint8_t z_a, std::uint8_t z_b, std::size_t norb_a,
                                         std::size_t norb_b, const ElementParams& params_a,
                                         const ElementParams& params_b, const SlaterNorms& norms_a,
                                         const SlaterNorms& norms_b, std::span<double, 81> out, double dx,
                                         double dy, double dz, double r);

// The 4 x 4 sp block (rows s, px, py, pz of A) for two atoms of H, Li..F and
// Na..Cl, from the direction cosines of the A->B vector and the distance r in
// angstrom. The s and p Slater functions of these atoms enter through their
// six-Gaussian expansions (slater_gaussian_expansion); their d shells and
// every other pair of atoms get the exact Slater overlaps.
void compute_diatomic_overlap_block_analytical(std::uint8_t z_a, std::uint8_t z_b,
                                               const ElementParams& params_a,
                                               const ElementParams& params_b, double cos_x,
                                               double cos_y, double cos_z, std::span<double, 16> out,
                                               double r);

// Local-frame overlap of two normalised real Slater functions, each with its
// z axis pointing at the other atom. l_plus_1 and m_plus_1 are one-based
// (l + 1, |m| + 1); exponents in bohr^-1, r in angstrom.
double slater_overlap_ss(std::size_t n_a, std::size_t n_b, std::size_t l_a_plus_1,
                         std::size_t l_b_plus_1, std::size_t m_plus_1, double zeta_a, double zeta_b,
                         double r);

// Six-Gaussian expansion of a unit-exponent Slater function: normalised
// primitives exp(-a r^2) (s) or x exp(-a r^2) (p) with these exponents a
// (bohr^-2) and coefficients.
struct SlaterGaussianExpansion {
    std::array<double, 6> exponent;
    std::array<double, 6> coefficient;
};

// The expansion used for the 1s, 2s, 3s (l = 0) and 2p, 3p (l = 1) functions
// of H, Li..F and Na..Cl; n = 1..3.
const SlaterGaussianExpansion& slater_gaussian_expansion(std::size_t n, std::size_t l);

// B_k(x) = integral of t^k exp(-x t) over [-1, 1], k = 0..12.
void bfn(std::span<double, 13> out, double x);

// Fills the rotation coefficients for the A->B vector and writes its length
// (angstrom) to distance. Returns 1.0.
double diatomic_rotation_coe(std::size_t norb_a, std::size_t norb_b,
                             OverlapRotationCoefficients& coefficients, double& distance, double dx,
                             double dy, double dz);

}  // namespace quorin
