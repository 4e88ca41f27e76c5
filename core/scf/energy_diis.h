#pragma once
// Energy-guided interpolation over the Pulay history. The closed-shell
// energy is quadratic in the density, E(P) = tr PH + 1/2 tr P G(P), and the
// Fock matrix F(P) = H + G(P) is affine in it; so the energy of any convex
// combination sum c_i P_i of the stored densities follows exactly from the
// traces tr P_i H and tr P_i G(P_j), and its Fock matrix is sum c_i F_i. The
// combination of lowest energy gives the next Fock matrix: the energy of the
// best point of the history never rises, and the iterations cannot be drawn
// up to a saddle point the way commutator extrapolation can.
#include <array>
#include <cstddef>

#include "core/scf/diis.h"
#include "core/types/aligned.h"

namespace quorin {

struct EnergyDiis {
    // By storage slot of the Pulay history: tr P_i G(P_j) and tr P_i H.
    std::array<std::array<double, MAX_DIIS_CAPACITY>, MAX_DIIS_CAPACITY> density_response{};
    std::array<double, MAX_DIIS_CAPACITY> density_core{};

    // Records the traces of the entry just pushed into `diis` (its density
    // `density`, its Fock matrix the newest of the history) against every
    // entry held, as tr P_new (F_j - H). G is symmetric (tr A G(B) = tr B
    // G(A)), so the older densities need not be stored.
    void record(const DiisWorkspace& diis, const Matrix& density, const Matrix& hcore);

    struct Step {
        double energy = 0.0;                                      // eV, electronic
        std::array<double, MAX_DIIS_CAPACITY> coefficients{};     // by age position, oldest first
    };
    // fock := sum c_i F_i for the convex combination of the held entries with
    // the lowest energy; returns that energy and the coefficients.
    Step interpolate(const DiisWorkspace& diis, Matrix& fock) const;
};

}  // namespace quorin
