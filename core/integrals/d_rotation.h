#pragma once
// Rotation of spd two-centre integral blocks from the local pair frame (z'
// along the pair axis) into the molecular frame.
//
// Local orbital positions 0..8: s; p-sigma, p-pi (x'), p-pi' (y'); d-sigma
// (z'^2), d-pi (x'z'), d-pi' (y'z'), d-delta (x'^2 - y'^2), d-delta' (x'y').
// Molecular positions: s; px, py, pz; d(x2-y2), d(xz), d(z2), d(yz), d(xy).
// Orbital pairs a >= b of one atom are packed as a(a+1)/2 + b in both frames.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quorin {

inline constexpr std::size_t kSpdPairCount = 45;
inline constexpr std::size_t kSpdBlockSize = kSpdPairCount * kSpdPairCount;
// A 45 x 45 block of pair-pair values, row-major.
using SpdBlock = std::array<double, kSpdBlockSize>;
using SpdMask = std::array<std::uint8_t, kSpdBlockSize>;

constexpr std::size_t spd_pair_index(std::size_t a, std::size_t b) {
    return a >= b ? a * (a + 1) / 2 + b : b * (b + 1) / 2 + a;
}

// n(n+1)/2 for an atom with n orbitals; stops unless 1 <= n <= 9.
std::size_t spd_pair_count(std::size_t n_orbitals);

// Local frame of an atom pair from (dx, dy, dz), second atom minus first, and
// its length r: z' along the pair axis, x' and y' completing a right-handed set.
// A pair within 1e-7 (sin theta) of the z axis takes phi = 0 or pi by the sign of dz.
struct PairFrame {
    double cos_theta = 0.0, sin_theta = 0.0;
    double cos_phi = 0.0, sin_phi = 0.0;
    // Rows z', x', y'; columns the molecular x, y, z components.
    std::array<std::array<double, 3>, 3> axes{};
};

PairFrame pair_frame(double dx, double dy, double dz, double r);

// Overlaps <local_a|molecular_mu> of the five real d functions on the local
// axes (order z'^2, x'z', y'z', x'^2-y'^2, x'y') with those on the molecular
// axes (order x^2-y^2, xz, z^2, yz, xy).
std::array<std::array<double, 5>, 5> d_rotation_block(const std::array<double, 3>& x_local,
                                                      const std::array<double, 3>& y_local,
                                                      const std::array<double, 3>& z_local);

struct DOrbitalRotation3D {
    double cos_theta = 0.0, sin_theta = 0.0;
    double cos_phi = 0.0, sin_phi = 0.0;
    double distance_bohr = 0.0;
    // orbital[a][mu]: coefficient of local orbital a on molecular orbital mu
    // (1 for s, the p and d blocks, 0 between different l).
    std::array<std::array<double, 9>, 9> orbital{};
    // pair[P(a,b) * 45 + P(mu,nu)] = R[a][mu] R[b][nu] + R[b][mu] R[a][nu] (a != b),
    // R[a][mu] R[a][nu] (a == b); products below 1e-15 are dropped.
    SpdBlock pair{};

    // (dx, dy, dz): second atom minus first, r its length; all angstrom.
    static DOrbitalRotation3D from_direction(double dx, double dy, double dz, double r);
};

// First half of the rotation: half[pA][PB] = sum over local pairs q of B of
// local[pA][q] pair[q][PB], for A's local pairs pA and B's molecular pairs PB
// (stride 45 in both blocks). mask marks the non-zero cells of half.
void tx(std::size_t n_a, std::size_t n_b, std::span<const double, kSpdBlockSize> local,
        std::span<std::uint8_t, kSpdBlockSize> mask, std::span<double, kSpdBlockSize> half,
        const DOrbitalRotation3D& rotation);

// Second half: w[PA * nb + PB] = sum over pA of pair[pA][PA] half[pA][PB], with
// nb = n_b(n_b+1)/2 columns; the first n_a(n_a+1)/2 * nb entries are written.
void rotatd_step2(std::size_t n_a, std::size_t n_b, std::span<const double, kSpdBlockSize> half,
                  std::span<const std::uint8_t, kSpdBlockSize> mask, const DOrbitalRotation3D& rotation,
                  std::span<double, kSpdBlockSize> w);

}  // namespace quorin
