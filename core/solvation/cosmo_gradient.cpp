#include "core/solvation/cosmo_gradient.h"

#include <cmath>
#include <cstddef>
#include <vector>

#include "core/integrals/pair_integrals.h"
#include "core/types/constants.h"
#include "core/types/errors.h"
#include "core/types/interruption.h"

namespace quorin {
namespace {

using Vec3 = std::array<double, 3>;

// The one-centre charge distribution of an atom as the segment potentials
// see it: V(d) = Q/r - (mu . d)/r^3 - 3 d^T T d / r^5 + tr(T)/r^3 at
// d = segment - atom, with Q the net charge (core minus electrons),
// mu_a = 2 D1 P(s, p_a) and T_ab = D2^2 P(p_a, p_b).
struct AtomMultipoles {
    double charge = 0.0;
    Vec3 dipole{};
    std::array<Vec3, 3> quadrupole{};
    double quadrupole_trace = 0.0;
};

AtomMultipoles multipoles_of(const CosmoState& state, const Matrix& density, std::size_t atom) {
    AtomMultipoles m;
    const std::size_t k = state.atom_orbitals[atom];
    const std::size_t first = state.atom_first_orbital[atom];
    m.charge = state.atom_core_charge[atom];
    for (std::size_t mu = 0; mu < k; ++mu) m.charge -= density(first + mu, first + mu);
    if (k < 4) return m;
    const double d1 = state.atom_d1_angstrom[atom];
    const double d2sq = state.atom_d2_angstrom[atom] * state.atom_d2_angstrom[atom];
    for (std::size_t a = 0; a < 3; ++a) {
        m.dipole[a] = 2.0 * d1 * density(first, first + 1 + a);
        for (std::size_t b = 0; b < 3; ++b) m.quadrupole[a][b] = d2sq * density(first + 1 + a, first + 1 + b);
        m.quadrupole_trace += m.quadrupole[a][a];
    }
    return m;
}

// Gradient of V(d) with respect to d.
Vec3 potential_gradient(const AtomMultipoles& m, const Vec3& d, double r) {
    const double g1 = 1.0 / r;
    const double g3 = g1 * g1 * g1;
    const double g5 = g3 * g1 * g1;
    const double g7 = g5 * g1 * g1;
    double mu_d = 0.0;
    Vec3 t_d{};
    double d_t_d = 0.0;
    for (std::size_t a = 0; a < 3; ++a) {
        mu_d += m.dipole[a] * d[a];
        for (std::size_t b = 0; b < 3; ++b) t_d[a] += m.quadrupole[a][b] * d[b];
        d_t_d += d[a] * t_d[a];
    }
    const double radial = -m.charge * g3 + 3.0 * mu_d * g5 + 15.0 * d_t_d * g7 - 3.0 * m.quadrupole_trace * g5;
    Vec3 g{};
    for (std::size_t a = 0; a < 3; ++a) g[a] = radial * d[a] - m.dipole[a] * g3 - 6.0 * g5 * t_d[a];
    return g;
}

void add_to(std::span<Vec3> gradient, std::size_t towards, std::size_t from, const Vec3& g) {
    for (std::size_t a = 0; a < 3; ++a) {
        gradient[towards][a] += g[a];
        gradient[from][a] -= g[a];
    }
}

}  // namespace

void add_cosmo_gradient(const MolecularBatch& molecule, const Matrix& density, CosmoState& state,
                        std::span<std::array<double, 3>> gradient) {
    if (gradient.size() != molecule.n_atoms) {
        stop_assert_eq("Gradient output must hold one triple per atom", gradient.size(), molecule.n_atoms);
    }
    const double f = cosmo_dielectric_factor(state.epsilon);
    if (f == 0.0) return;
    state.update_electronic_charges(density);

    const std::vector<CavitySegment>& seg = state.cavity.segments;
    const std::size_t n_seg = seg.size();
    std::vector<double> q(n_seg);  // total screening charge per segment
    for (std::size_t s = 0; s < n_seg; ++s) q[s] = state.q_nuclear[s] + state.q_electronic[s];

    // Segment-segment term: -(e^2 / 2f) q_s q_t dA_st/dX over ordered pairs on
    // different atoms, with dA_st/dp_s = -(p_s - p_t) slope_over_r (1/r^3 for
    // the Coulomb form).
    const double pair_scale = kCoulombEvAngstrom / f;
    for (std::size_t s = 0; s < n_seg; ++s) {
        if (s % 256 == 0) check_interruption();
        for (std::size_t t = 0; t < s; ++t) {
            if (seg[s].atom == seg[t].atom) continue;
            const Vec3 d = {seg[s].position[0] - seg[t].position[0], seg[s].position[1] - seg[t].position[1],
                            seg[s].position[2] - seg[t].position[2]};
            const double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            const double scale = pair_scale * q[s] * q[t] * segment_coupling(seg[s], seg[t], r).slope_over_r;
            add_to(gradient, seg[s].atom, seg[t].atom, {scale * d[0], scale * d[1], scale * d[2]});
        }
    }

    // Segment-atom term: e^2 q_s dV_a(p_s - R_a)/dX for every atom a that does
    // not carry the segment.
    std::vector<AtomMultipoles> multipoles(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        if (state.atom_orbitals[a] > 0) multipoles[a] = multipoles_of(state, density, a);
    }
    for (std::size_t s = 0; s < n_seg; ++s) {
        const double weight = kCoulombEvAngstrom * q[s];
        for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
            if (a == seg[s].atom || state.atom_orbitals[a] == 0) continue;
            const Vec3 d = {seg[s].position[0] - molecule.x[a], seg[s].position[1] - molecule.y[a],
                            seg[s].position[2] - molecule.z[a]};
            const double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            if (r <= 1e-12) continue;
            Vec3 g = potential_gradient(multipoles[a], d, r);
            for (double& c : g) c *= weight;
            add_to(gradient, seg[s].atom, a, g);
        }
    }
}

}  // namespace quorin
